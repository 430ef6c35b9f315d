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

#include "foundation/curlhelper.h"
#include "foundation/curlhelperpool.h"

namespace {

using namespace std::chrono_literals;

QString curlText(CURLcode code)
{
    return "CURL: " + QString::fromUtf8(curl_easy_strerror(code));
}

// The text of the runtime error that fn throws, or "<no error>".
template <typename Fn>
QString errorOf(Fn fn)
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return QString::fromUtf8(e.what());
    }
    return "<no error>";
}

QByteArray closedUrl()
{
    return "http://127.0.0.1:" + QByteArray::number(HttpTestServer::closedPort()) + "/";
}

// Answers chosen by the request's path; any other path gets its method,
// target and body echoed.
void scripted(HttpTestConnection& c)
{
    static const QHash<QByteArray, QByteArray> fixed{
        {"/interim", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type:    text/plain   \r\nX-Empty:\r\n"
                     "X-Twice: first\r\nX-Twice: second\r\nContent-Length: 5\r\n\r\nhello"},
        {"/hints", "HTTP/1.1 103 Early Hints\r\nLink: </style.css>\r\nX-Twice: hint\r\n\r\n"
                   "HTTP/1.1 200 OK\r\nX-Twice: final\r\nContent-Length: 2\r\n\r\nok"},
        {"/missing", HttpTestServer::response(404, "Not Found", "nope")},
        {"/nobody", "HTTP/1.1 204 No Content\r\nX-Only-First: 1\r\n\r\n"},
        {"/cut", "HTTP/1.1 200 Fine\r\nX-Sent: part\r\nContent-Length: 1000\r\n\r\n" + QByteArray(100, 'p')},
        {"/announced", HttpTestServer::response(200, "OK", QByteArray(5000, 'a'))},
        {"/exact", HttpTestServer::response(200, "OK", QByteArray(1000, 'a'))},
        {"/cookie", HttpTestServer::response(200, "OK", "c", {"Set-Cookie: sid=42; Path=/"})},
    };
    const HttpTestRequest& r = c.request();
    if (fixed.contains(r.target)) {
        c.send(fixed.value(r.target));
    } else if (r.target == "/trickle" || r.target == "/unannounced") {
        // A body without a length in pieces: a byte now and then for far
        // longer than any limit, or 5000 bytes at once.
        const bool trickle = r.target == "/trickle";
        c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        for (int i = 0; i < (trickle ? 400 : 10) && c.send(trickle ? QByteArray("t") : QByteArray(500, 'u')); ++i)
            c.pause(trickle ? 50 : 5);
    } else {
        c.send(HttpTestServer::response(200, "OK", r.method + ' ' + r.target + ' ' + r.body));
    }
}

class CURLHelperTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    HttpTestServer server{scripted};
    CURLHelper http;
};

TEST_F(CURLHelperTest, GetPostFormAndUploadSendExactlyWhatWasGiven)
{
    ASSERT_TRUE(http.request(server.url("/get"), QByteArray(), {"X-Test: yes"}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("GET /get "));
    ASSERT_TRUE(http.request(server.url("/post"), QByteArray("abc"), {}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("POST /post abc"));
    EXPECT_EQ(http.totalRecv(), 14);

    // "&", "=", "+" and UTF-8 bytes are percent-encoded exactly once.
    const QHash<QByteArray, QByteArray> fields{
        {"a&b", "c=d+e f"}, {"name", "日本"}, {"pct", "%41"}, {"plain", "x-y_z.~9"}, {"empty", ""}};
    const QByteArray form = "a%26b=c%3Dd%2Be%20f&empty=&name=%E6%97%A5%E6%9C%AC&pct=%2541&plain=x-y_z.~9";
    EXPECT_EQ(CURLHelper::encodeUrlData(fields), form);
    ASSERT_TRUE(http.request(server.url("/form"), fields, {}));
    http.responseBytesThrow();

    // Large enough that libcurl asks "Expect: 100-continue" first.
    QByteArray payload(1536 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(payload.data()), payload.size() / 4);
    QBuffer source(&payload);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    ASSERT_TRUE(http.request(server.url("/up"), source, payload.size(), {}));
    EXPECT_EQ(http.responseBytesThrow().size(), 8 + payload.size());
    EXPECT_EQ(http.totalSent(), payload.size());

    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 4);
    EXPECT_TRUE(reqs[0].headerValues("Content-Length").isEmpty());
    EXPECT_EQ(reqs[0].header("X-Test"), "yes");
    EXPECT_EQ(reqs[1].headerValues("Content-Length"), QList<QByteArray>({"3"}));
    EXPECT_EQ(reqs[2].method, "POST");
    EXPECT_EQ(reqs[2].body, form);
    EXPECT_EQ(reqs[3].method, "PUT");
    EXPECT_EQ(reqs[3].headerValues("Content-Length"), QList<QByteArray>({QByteArray::number(payload.size())}));
    EXPECT_TRUE(reqs[3].body == payload);
}

TEST_F(CURLHelperTest, InterimErrorAndCutAnswersAreParsed)
{
    http.setMd5Enabled(true);
    ASSERT_TRUE(http.request(server.url("/interim")));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("hello"));
    EXPECT_EQ(http.statusCode(), 200);
    EXPECT_EQ(http.statusText(), "OK");
    const QHash<QByteArray, QByteArray> h = http.respHeaders();
    EXPECT_EQ(h.value("Content-Type"), "text/plain");
    EXPECT_TRUE(h.contains("X-Empty"));
    EXPECT_EQ(h.value("X-Twice"), "second");
    EXPECT_EQ(h.size(), 4);
    EXPECT_EQ(http.md5Result(), QCryptographicHash::hash("hello", QCryptographicHash::Md5));

    // Header lines of an interim answer are not the final answer's.
    ASSERT_TRUE(http.request(server.url("/hints")));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("ok"));
    EXPECT_EQ(http.statusCode(), 200);
    EXPECT_EQ(http.respHeaders(), (QHash<QByteArray, QByteArray>{{"X-Twice", "final"}, {"Content-Length", "2"}}));

    // An HTTP error status is no failure.
    ASSERT_TRUE(http.request(server.url("/missing")));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("nope"));
    EXPECT_EQ(http.statusCode(), 404);
    EXPECT_EQ(http.statusText(), "Not Found");

    // A connection closed in the middle of the body fails, the head parsed.
    ASSERT_TRUE(http.request(server.url("/cut")));
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_PARTIAL_FILE));
    EXPECT_EQ(http.statusText(), "Fine");
    EXPECT_EQ(http.respHeaders().value("X-Sent"), "part");
    EXPECT_EQ(http.totalRecv(), 100);
}

TEST_F(CURLHelperTest, FailedConnectForeignSchemeTimeLimitAndBodyCapAreErrors)
{
    ASSERT_TRUE(http.request(closedUrl()));
    http.setConnectTimeout(5);
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(http.statusCode(), 0);
    ASSERT_TRUE(http.request("file:///etc/hostname"));
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_UNSUPPORTED_PROTOCOL));
    CURLHelper fresh;
    EXPECT_EQ(errorOf([&] { fresh.responseBytesThrow(); }), "CURL: no request was prepared");

    ASSERT_TRUE(http.request(server.url("/trickle")));
    http.setTimeoutMs(300);
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_OPERATION_TIMEDOUT));

    for (const QByteArray path : {"/announced", "/unannounced"}) {
        ASSERT_TRUE(http.request(server.url(path)));
        http.setMaxBodySize(1000);
        EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_FILESIZE_EXCEEDED)) << path.data();
        EXPECT_LE(http.totalRecv(), 1000);
    }
    ASSERT_TRUE(http.request(server.url("/exact")));
    http.setMaxBodySize(1000);
    EXPECT_EQ(http.responseBytesThrow().size(), 1000);
}

TEST_F(CURLHelperTest, AReusedObjectCarriesNothingOverFromItsPreviousRequest)
{
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
    EXPECT_EQ(http.totalSent(), 0);
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("GET /after "));
    EXPECT_FALSE(http.respHeaders().contains("X-Only-First"));
    const HttpTestRequest after = server.requests().value(2);
    EXPECT_EQ(after.method, "GET");
    EXPECT_TRUE(after.headerValues("X-First").isEmpty());
    EXPECT_TRUE(after.headerValues("Content-Length").isEmpty());

    // A failed request leaves no status of the one before it.
    ASSERT_TRUE(http.request(closedUrl()));
    EXPECT_THROW(http.responseBytesThrow(), std::runtime_error);
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_TRUE(http.statusText().isEmpty());
    EXPECT_TRUE(http.respHeaders().isEmpty());
}

TEST_F(CURLHelperTest, CookieFileKeepsCookiesAcrossRequestsAndObjects)
{
    QTemporaryDir tmp;
    const QByteArray jar = QFile::encodeName(tmp.filePath("cookies.txt"));
    http.setCookieFile(jar);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(http.request(server.url("/cookie")));
        http.responseBytesThrow();
    }
    CURLHelper later;
    later.setCookieFile(jar);
    ASSERT_TRUE(later.request(server.url("/cookie")));
    later.responseBytesThrow();
    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3);
    EXPECT_TRUE(reqs[0].header("Cookie").isEmpty());
    EXPECT_EQ(reqs[1].header("Cookie"), "sid=42");
    EXPECT_EQ(reqs[2].header("Cookie"), "sid=42");
}

TEST(CURLHelperStopTest, StopFromAnotherThreadEndsATransferWhileTheServerIsSilent)
{
    std::atomic<bool> released{false};
    HttpTestServer server([&](HttpTestConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + QByteArray(1000, 'y'));
        while (!released && c.pause(10)) {
        }
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url()));
    std::thread stopper([&] {
        for (int i = 0; i < 4000 && http.totalRecv() == 0; ++i)
            std::this_thread::sleep_for(5ms);
        http.stop();
    });
    const QString error = errorOf([&] { http.responseBytesThrow(); });
    released = true;
    stopper.join();
    EXPECT_EQ(error, curlText(CURLE_ABORTED_BY_CALLBACK));
    EXPECT_TRUE(http.isStopped());
    EXPECT_EQ(http.totalRecv(), 1000);
}

TEST(CURLHelperTlsTest, SelfSignedServerIsRefusedUnlessItsCertificateIsTrustedForItsName)
{
    if (!testenv::haveTool("openssl"))
        GTEST_SKIP() << "openssl is installed by scripts/setup.sh";
    QTemporaryDir tmp;
    for (const QByteArray san : {"IP:127.0.0.1", "DNS:elsewhere.invalid"}) {
        QString cert, key;
        ASSERT_TRUE(HttpTestServer::makeSelfSignedCertificate(tmp.path(), san, &cert, &key));
        HttpTestServer server([](HttpTestConnection& c) { c.send(HttpTestServer::response(200, "OK", "secret")); },
                              cert, key);
        ASSERT_TRUE(server.start());
        CURLHelper http;
        ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
        EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_PEER_FAILED_VERIFICATION));

        http.setCaFile(QFile::encodeName(cert));
        ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
        if (san.startsWith("IP:")) {
            EXPECT_EQ(http.responseBytesThrow(), QByteArray("secret"));
            ASSERT_EQ(server.requests().size(), 1);
        } else {
            // Trusted, but made out for another host name.
            EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_PEER_FAILED_VERIFICATION));
            // Nothing was sent to a server that could not be verified.
            EXPECT_TRUE(server.requests().isEmpty());
        }
    }
}

TEST(CURLHelperPoolTest, APoolOfTwoBlocksTheThirdAcquireUntilOneIsReleased)
{
    CURLHelperPool pool(2);
    const QSharedPointer<CURLHelper> a = pool.acquire(), b = pool.acquire();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    std::atomic<bool> acquired{false};
    QSharedPointer<CURLHelper> third;
    std::thread t([&] {
        third = pool.acquire();
        acquired = true;
    });
    // Gives a wrongly unblocked acquire every chance to show itself.
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(acquired);
    pool.release(b);
    t.join();
    EXPECT_EQ(third, b); // the released client, not a new one

    // Clients come back in release order; a double release does not let two
    // users share one.
    pool.release(third);
    pool.release(third);
    pool.release(a);
    EXPECT_EQ(pool.acquire(), b);
    EXPECT_EQ(pool.acquire(), a);
}

} // namespace
