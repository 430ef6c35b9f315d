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

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/curlhelper.h"
#include "foundation/curlhelperpool.h"

namespace {

using namespace std::chrono_literals;

QString curlText(CURLcode code)
{
    return "CURL: " + QString::fromUtf8(curl_easy_strerror(code));
}

// The text of the error the response throws, or "<no error>".
QString errorOf(CURLHelper& http)
{
    try {
        http.responseBytesThrow();
    } catch (const std::runtime_error& e) {
        return QString::fromUtf8(e.what());
    }
    return "<no error>";
}

QByteArray closedUrl()
{
    return "http://127.0.0.1:" + QByteArray::number(HttpTestServer::closedPort()) + "/";
}

// Answers by the request's path; other paths get method, target and body echoed.
const HttpTestServer::Answers kAnswers{
    // Header lines of an interim answer are not the final answer's.
    {"/hints", {{"HTTP/1.1 103 Early Hints\r\nX-Twice: hint\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type:  text/plain  \r\n"
                 "X-Twice: first\r\nX-Twice: final\r\nContent-Length: 2\r\n\r\nok"}}},
    {"/missing", {{HttpTestServer::response(404, "Not Found", "nope")}}},
    {"/nobody", {{"HTTP/1.1 204 No Content\r\nX-Only-First: 1\r\n\r\n"}}},
    {"/cut", {{"HTTP/1.1 200 Fine\r\nContent-Length: 1000\r\n\r\n" + QByteArray(100, 'p')}}},
    {"/announced", {{HttpTestServer::response(200, "OK", QByteArray(5000, 'a'))}}},
    {"/exact", {{HttpTestServer::response(200, "OK", QByteArray(1000, 'a'))}}},
    {"/cookie", {{HttpTestServer::response(200, "OK", "c", {"Set-Cookie: sid=42; Path=/"})}}},
    // Bodies without a length: a byte now and then for far longer than any
    // limit, or 5000 bytes at once.
    {"/trickle", {{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"}, {"t", 50, 400}}},
    {"/unannounced", {{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"}, {QByteArray(500, 'u'), 5, 10}}},
};

class CURLHelperTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    HttpTestServer server{kAnswers};
    CURLHelper http;
};

TEST_F(CURLHelperTest, GetPostFormAndUploadSendExactlyWhatWasGiven)
{
    ASSERT_TRUE(http.request(server.url("/get"), QByteArray(), {"X-Test: yes"}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("GET /get "));
    // "&", "=", "+" and UTF-8 bytes are percent-encoded exactly once.
    const QHash<QByteArray, QByteArray> fields{{"a&b", "c=d+e f"}, {"name", "日本"}, {"pct", "%41"}, {"empty", ""}};
    const QByteArray form = "a%26b=c%3Dd%2Be%20f&empty=&name=%E6%97%A5%E6%9C%AC&pct=%2541";
    ASSERT_TRUE(http.request(server.url("/form"), fields, {}));
    EXPECT_EQ(http.responseBytesThrow(), "POST /form " + form);
    EXPECT_EQ(http.totalRecv(), 11 + form.size());

    // Large enough that libcurl asks "Expect: 100-continue" first.
    QByteArray payload(1536 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(payload.data()), payload.size() / 4);
    QBuffer source(&payload);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    ASSERT_TRUE(http.request(server.url("/up"), source, payload.size(), {}));
    EXPECT_EQ(http.responseBytesThrow().size(), 8 + payload.size());
    EXPECT_EQ(http.totalSent(), payload.size());

    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3);
    EXPECT_TRUE(reqs[0].headerValues("Content-Length").isEmpty());
    EXPECT_EQ(reqs[0].header("X-Test"), "yes");
    EXPECT_EQ(reqs[1].headerValues("Content-Length"), QList<QByteArray>({QByteArray::number(form.size())}));
    EXPECT_EQ(reqs[2].method, "PUT");
    EXPECT_EQ(reqs[2].headerValues("Content-Length"), QList<QByteArray>({QByteArray::number(payload.size())}));
    EXPECT_TRUE(reqs[2].body == payload);
}

TEST_F(CURLHelperTest, InterimErrorAndCutAnswersAreParsedAndLimitsAreErrors)
{
    http.setMd5Enabled(true);
    ASSERT_TRUE(http.request(server.url("/hints")));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("ok"));
    EXPECT_EQ(http.statusText(), "OK");
    EXPECT_EQ(http.respHeaders(),
              (QHash<QByteArray, QByteArray>{{"X-Twice", "final"}, {"Content-Type", "text/plain"}, {"Content-Length", "2"}}));
    EXPECT_EQ(http.md5Result(), QCryptographicHash::hash("ok", QCryptographicHash::Md5));
    // An HTTP error status is no failure.
    ASSERT_TRUE(http.request(server.url("/missing")));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("nope"));
    EXPECT_EQ(http.statusCode(), 404);

    const struct
    {
        QByteArray url;
        CURLcode error;
    } failures[] = {{server.url("/cut"), CURLE_PARTIAL_FILE},
                    {closedUrl(), CURLE_COULDNT_CONNECT},
                    {"file:///etc/hostname", CURLE_UNSUPPORTED_PROTOCOL},
                    {server.url("/trickle"), CURLE_OPERATION_TIMEDOUT},
                    {server.url("/announced"), CURLE_FILESIZE_EXCEEDED},
                    {server.url("/unannounced"), CURLE_FILESIZE_EXCEEDED}};
    for (const auto& f : failures) {
        ASSERT_TRUE(http.request(f.url));
        http.setTimeoutMs(300);
        http.setMaxBodySize(1000);
        EXPECT_EQ(errorOf(http), curlText(f.error)) << f.url.constData();
        EXPECT_LE(http.totalRecv(), 1000);
    }
    ASSERT_TRUE(http.request(server.url("/exact")));
    http.setMaxBodySize(1000);
    EXPECT_EQ(http.responseBytesThrow().size(), 1000);
    CURLHelper fresh;
    EXPECT_EQ(errorOf(fresh), "CURL: no request was prepared");
}

TEST_F(CURLHelperTest, AReusedObjectCarriesNothingOverButItsCookies)
{
    QTemporaryDir tmp;
    http.setCookieFile(QFile::encodeName(tmp.filePath("cookies.txt")));
    ASSERT_TRUE(http.request(server.url("/cookie")));
    http.responseBytesThrow();
    QBuffer source;
    source.setData("uploaded");
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    ASSERT_TRUE(http.request(server.url("/put"), source, 8, {"X-First: 1"}));
    http.responseBytesThrow();
    ASSERT_TRUE(http.request(server.url("/nobody"), QByteArray("posted"), {"X-First: 1"}));
    http.setMaxBodySize(1);
    EXPECT_EQ(http.responseBytesThrow(), QByteArray());
    EXPECT_EQ(http.statusCode(), 204);
    http.stop();

    // A plain GET: no upload, body, header lines, size cap or stop of before.
    ASSERT_TRUE(http.request(server.url("/after")));
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("GET /after "));
    EXPECT_FALSE(http.respHeaders().contains("X-Only-First"));
    CURLHelper later; // cookies are kept in the file
    later.setCookieFile(QFile::encodeName(tmp.filePath("cookies.txt")));
    ASSERT_TRUE(later.request(server.url("/later")));
    later.responseBytesThrow();
    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 5);
    EXPECT_TRUE(reqs[0].header("Cookie").isEmpty());
    EXPECT_EQ(reqs[1].header("Cookie"), "sid=42");
    EXPECT_EQ(reqs[3].method + reqs[3].header("X-First") + reqs[3].header("Content-Length"), "GET");
    EXPECT_EQ(reqs[4].header("Cookie"), "sid=42");

    // A failed request leaves no status of the one before it.
    ASSERT_TRUE(http.request(closedUrl()));
    EXPECT_THROW(http.responseBytesThrow(), std::runtime_error);
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_TRUE(http.statusText().isEmpty() && http.respHeaders().isEmpty());
}

// The server is a plain socket of this process (ThreadSanitizer runs start no
// child processes): it sends a head and part of the body, then stays silent
// until the client goes.
TEST(CURLHelperStopTest, StopFromAnotherThreadEndsATransferWhileTheServerIsSilent)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(listener, 1) == 0
                && ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
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
        EXPECT_TRUE(http.request("http://127.0.0.1:" + QByteArray::number(ntohs(addr.sin_port)) + "/"));
        std::thread stopper([&] {
            for (int i = 0; i < 4000 && http.totalRecv() == 0; ++i)
                std::this_thread::sleep_for(5ms);
            http.stop();
        });
        error = errorOf(http);
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
    for (const QByteArray san : {"IP:127.0.0.1", "DNS:elsewhere.invalid"}) {
        QString cert, key;
        ASSERT_TRUE(HttpTestServer::makeSelfSignedCertificate(tmp.path(), san, &cert, &key));
        HttpTestServer server({}, cert, key);
        ASSERT_TRUE(server.start());
        CURLHelper http;
        ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
        EXPECT_EQ(errorOf(http), curlText(CURLE_PEER_FAILED_VERIFICATION));
        http.setCaFile(QFile::encodeName(cert));
        ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
        // Trusted, but made out for another host name: nothing is sent.
        const bool rightName = san.startsWith("IP:");
        EXPECT_EQ(errorOf(http), rightName ? "<no error>" : curlText(CURLE_PEER_FAILED_VERIFICATION));
        EXPECT_EQ(server.requests().size(), rightName ? 1 : 0);
    }
}

TEST(CURLHelperPoolTest, APoolOfTwoBlocksTheThirdAcquireUntilOneIsReleased)
{
    CURLHelperPool pool(2);
    const QSharedPointer<CURLHelper> a = pool.acquire(), b = pool.acquire();
    ASSERT_TRUE(a && b && a != b);
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
