#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/httptestserver.h"
#include "tests/support/testenv.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "foundation/curlhelper.h"
#include "foundation/curlhelperpool.h"

namespace {

using namespace std::chrono_literals;

QString curlText(CURLcode code) { return "CURL: " + QString::fromUtf8(curl_easy_strerror(code)); }

// The body, or the text of the error the response throws.
QString answerOf(CURLHelper& http)
{
    try {
        return QString::fromLatin1(http.responseBytesThrow());
    } catch (const std::runtime_error& e) {
        return QString::fromUtf8(e.what());
    }
}

using Parts = QList<HttpTestServer::Part>;
const QByteArray kOpenHead = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"; // a body without a length

// Answers by the request's path; other paths get method, target and body echoed.
const HttpTestServer::Answers kAnswers{
    // Header lines of an interim answer are not the final answer's.
    {"/hints", {{"HTTP/1.1 103 Early Hints\r\nX-Early: hint\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type:  text/plain  \r\n"
                 "X-Twice: first\r\nX-Twice: final\r\nContent-Length: 2\r\n\r\nok"}}},
    {"/missing", {{HttpTestServer::response(404, "nope")}}},
    {"/nobody", {{"HTTP/1.1 204 No Content\r\nX-Only-First: 1\r\n\r\n"}}},
    {"/cut", {{"HTTP/1.1 200 Fine\r\nContent-Length: 1000\r\n\r\n" + QByteArray(100, 'p')}}},
    {"/announced", {{HttpTestServer::response(200, QByteArray(5000, 'a'))}}},
    {"/exact", {{HttpTestServer::response(200, QByteArray(1000, 'a'))}}},
    {"/cookie", {{HttpTestServer::response(200, "c", "Set-Cookie: sid=42; Path=/\r\n")}}},
    // A byte now and then for far longer than any limit, or 5000 bytes soon.
    {"/trickle", Parts{{kOpenHead}} + Parts(400, {"t", 50})},
    {"/unannounced", Parts{{kOpenHead}} + Parts(10, {QByteArray(500, 'u'), 5})},
};

class CURLHelperTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    HttpTestServer server{kAnswers};
    CURLHelper http;
};

// One object serves request after request: each sends exactly what it was
// given, and nothing of the one before it (upload mode, body, header lines,
// size cap, stop, status) carries over but the cookies.
TEST_F(CURLHelperTest, SuccessiveRequestsSendExactlyWhatEachWasGivenAndKeepOnlyTheCookies)
{
    QTemporaryDir tmp;
    http.setCookieFile(QFile::encodeName(tmp.filePath("cookies.txt")));
    ASSERT_TRUE(http.request(server.url("/cookie"), QByteArray(), {"X-Test: yes"}));
    EXPECT_EQ(answerOf(http), "c");
    // "&", "=", "+" and UTF-8 bytes are percent-encoded exactly once.
    const QHash<QByteArray, QByteArray> fields{{"a&b", "c=d+e f"}, {"name", "日本"}, {"pct", "%41"}, {"empty", ""}};
    const QByteArray form = "a%26b=c%3Dd%2Be%20f&empty=&name=%E6%97%A5%E6%9C%AC&pct=%2541";
    ASSERT_TRUE(http.request(server.url("/form"), fields, {}));
    EXPECT_EQ(answerOf(http), "POST /form " + form);
    // Large enough that libcurl asks "Expect: 100-continue" first.
    QByteArray payload(1536 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(payload.data()), payload.size() / 4);
    QBuffer source(&payload);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    ASSERT_TRUE(http.request(server.url("/up"), source, payload.size(), {"X-First: 1"}));
    EXPECT_EQ(http.responseBytesThrow().size(), 8 + payload.size());
    EXPECT_EQ(http.totalSent(), payload.size());
    ASSERT_TRUE(http.request(server.url("/nobody"), QByteArray("posted"), {"X-First: 1"}));
    http.setMaxBodySize(1);
    EXPECT_EQ(answerOf(http), "");
    EXPECT_EQ(http.statusCode(), 204);
    http.stop();
    ASSERT_TRUE(http.request(server.url("/after")));
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_EQ(answerOf(http), "GET /after ");
    EXPECT_FALSE(http.respHeaders().contains("X-Only-First"));
    CURLHelper later; // cookies are kept in the file
    later.setCookieFile(QFile::encodeName(tmp.filePath("cookies.txt")));
    ASSERT_TRUE(later.request(server.url("/later")));
    later.responseBytesThrow();

    const QList<QByteArray> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 6);
    // Per request: its start, texts it holds exactly once, texts it must not hold.
    const std::tuple<QByteArray, QByteArrayList, QByteArrayList> sent[] = {
        {"GET /cookie ", {"\r\nX-Test: yes\r\n"}, {"Cookie", "Content-Length"}},
        {"POST /form ", {"\r\nCookie: sid=42\r\n", "Content-Length: " + QByteArray::number(form.size())}, {"X-Test"}},
        {"PUT /up ", {"Content-Length: " + QByteArray::number(payload.size()) + "\r\n"}, {}},
        {"POST /nobody ", {"\r\nX-First: 1\r\n"}, {}},
        {"GET /after ", {}, {"X-First", "Content-Length", "posted"}},
        {"GET /later ", {"\r\nCookie: sid=42\r\n"}, {}}};
    for (int i = 0; i < 6; ++i) {
        const auto& [start, once, never] = sent[i];
        EXPECT_TRUE(reqs[i].startsWith(start)) << reqs[i].toStdString();
        for (const QByteArray& text : once)
            EXPECT_EQ(reqs[i].count(text), 1) << reqs[i].toStdString();
        for (const QByteArray& text : never)
            EXPECT_FALSE(reqs[i].contains(text)) << reqs[i].toStdString();
    }
    EXPECT_TRUE(reqs[2].endsWith("\r\n\r\n" + payload));

    // A failed request leaves no status of the one before it.
    ASSERT_TRUE(http.request("http://127.0.0.1:" + QByteArray::number(HttpTestServer::closedPort()) + "/"));
    EXPECT_EQ(answerOf(http), curlText(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_TRUE(http.respHeaders().isEmpty());
}

TEST_F(CURLHelperTest, InterimErrorAndCutAnswersAreParsedAndLimitsAreErrors)
{
    http.setMd5Enabled(true);
    ASSERT_TRUE(http.request(server.url("/hints")));
    EXPECT_EQ(answerOf(http), "ok");
    EXPECT_EQ(http.statusText(), "OK");
    const QHash<QByteArray, QByteArray> finalHeaders{
        {"X-Twice", "final"}, {"Content-Type", "text/plain"}, {"Content-Length", "2"}};
    EXPECT_EQ(http.respHeaders(), finalHeaders);
    EXPECT_EQ(http.md5Result(), QCryptographicHash::hash("ok", QCryptographicHash::Md5));
    // An HTTP error status is no failure.
    ASSERT_TRUE(http.request(server.url("/missing")));
    EXPECT_EQ(answerOf(http), "nope");
    EXPECT_EQ(http.statusCode(), 404);

    const std::pair<QByteArray, QString> cases[] = {{server.url("/cut"), curlText(CURLE_PARTIAL_FILE)},
                                                    {"file:///etc/hostname", curlText(CURLE_UNSUPPORTED_PROTOCOL)},
                                                    {server.url("/trickle"), curlText(CURLE_OPERATION_TIMEDOUT)},
                                                    {server.url("/announced"), curlText(CURLE_FILESIZE_EXCEEDED)},
                                                    {server.url("/unannounced"), curlText(CURLE_FILESIZE_EXCEEDED)},
                                                    {server.url("/exact"), QString(1000, 'a')}};
    for (const auto& [url, answer] : cases) {
        ASSERT_TRUE(http.request(url));
        http.setTimeoutMs(300);
        http.setMaxBodySize(1000);
        EXPECT_EQ(answerOf(http), answer) << url.constData();
        EXPECT_LE(http.totalRecv(), 1000);
    }
    CURLHelper fresh;
    EXPECT_EQ(answerOf(fresh), "CURL: no request was prepared");
}

// The server is a plain socket of this process (ThreadSanitizer runs start no
// child processes): it sends a head and part of the body, then stays silent
// until the client goes.
TEST(CURLHelperStopTest, StopFromAnotherThreadEndsATransferWhileTheServerIsSilent)
{
    quint16 port = 0;
    const int listener = HttpTestServer::boundSocket(&port);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::thread server([listener] {
        const int c = ::accept(listener, nullptr, nullptr);
        const timeval patience{20, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + QByteArray(1000, 'y');
        ::send(c, head.constData(), size_t(head.size()), MSG_NOSIGNAL);
        char buffer[4096];
        while (::recv(c, buffer, sizeof buffer, 0) > 0) {
        }
        ::close(c);
    });
    QString error;
    qint64 received = 0;
    {
        CURLHelper http;
        EXPECT_TRUE(http.request("http://127.0.0.1:" + QByteArray::number(port) + "/"));
        std::thread stopper([&] {
            for (int i = 0; i < 4000 && http.totalRecv() == 0; ++i)
                std::this_thread::sleep_for(5ms);
            http.stop();
        });
        error = answerOf(http);
        stopper.join();
        received = http.totalRecv();
    }
    server.join();
    ::close(listener);
    EXPECT_EQ(error, curlText(CURLE_ABORTED_BY_CALLBACK));
    EXPECT_EQ(received, 1000);
}

TEST(CURLHelperTlsTest, SelfSignedServerIsRefusedUnlessItsCertificateIsTrustedForItsName)
{
    if (!testenv::haveTool("openssl"))
        GTEST_SKIP() << "openssl is installed by scripts/setup.sh";
    QTemporaryDir tmp;
    for (const QString san : {"IP:127.0.0.1", "DNS:elsewhere.invalid"}) {
        const QString cert = tmp.filePath(san.left(2) + ".crt");
        const QString key = tmp.filePath(san.left(2) + ".key");
        const QStringList args{"req",  "-x509", "-newkey", "ec",  "-pkeyopt", "ec_paramgen_curve:prime256v1",
                               "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=test",
                               "-addext", "subjectAltName=" + san};
        ASSERT_EQ(testenv::runTool("openssl", args), 0);
        HttpTestServer server({}, cert, key);
        ASSERT_TRUE(server.start());
        CURLHelper http;
        ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
        EXPECT_EQ(answerOf(http), curlText(CURLE_PEER_FAILED_VERIFICATION));
        http.setCaFile(QFile::encodeName(cert));
        ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
        // Trusted, but made out for another host name: nothing is sent.
        const bool rightName = san.startsWith("IP:");
        EXPECT_EQ(answerOf(http), rightName ? "POST /tls password=1" : curlText(CURLE_PEER_FAILED_VERIFICATION));
        EXPECT_EQ(server.requests().size(), rightName ? 1 : 0);
    }
}

TEST(CURLHelperPoolTest, APoolOfTwoBlocksTheThirdAcquireUntilOneIsReleased)
{
    CURLHelperPool pool(2);
    const QSharedPointer<CURLHelper> a = pool.acquire();
    const QSharedPointer<CURLHelper> b = pool.acquire();
    std::atomic<bool> acquired{false};
    QSharedPointer<CURLHelper> third;
    std::thread t([&] {
        third = pool.acquire();
        acquired = true;
    });
    std::this_thread::sleep_for(200ms); // time for a wrongly unblocked acquire to show
    EXPECT_FALSE(acquired);
    pool.release(b);
    t.join();
    EXPECT_EQ(third, b); // the released client, not a new one
    // A double release does not let two users share one.
    pool.release(third);
    pool.release(third);
    pool.release(a);
    EXPECT_EQ(pool.acquire(), b);
    EXPECT_EQ(pool.acquire(), a);
}

} // namespace
