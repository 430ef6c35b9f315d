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
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/curlhelper.h"
#include "foundation/curlhelperpool.h"

namespace {

using namespace std::chrono_literals;

QString curlText(CURLcode code)
{
    return QStringLiteral("CURL: ") + QString::fromUtf8(curl_easy_strerror(code));
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
    return QStringLiteral("<no error>");
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

// Answers every request with its method, target and body.
void echo(HttpTestConnection& c)
{
    const HttpTestRequest& r = c.request();
    c.send(HttpTestServer::response(200, "OK", r.method + ' ' + r.target + ' ' + r.body));
}

TEST(CURLHelperTest, EmptyBodyIsAGetAndABodyIsAPostWithOneLengthLine)
{
    HttpTestServer server(echo);
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url("/get"), QByteArray(), {"X-Test: yes"}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("GET /get "));
    ASSERT_TRUE(http.request(server.url("/post"), QByteArray("abc"), {}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("POST /post abc"));

    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_TRUE(reqs[0].headerValues("Content-Length").isEmpty());
    EXPECT_EQ(reqs[0].header("X-Test"), "yes");
    EXPECT_EQ(reqs[1].method, "POST");
    EXPECT_EQ(reqs[1].headerValues("Content-Length"), QList<QByteArray>({"3"}));
    EXPECT_EQ(http.statusCode(), 200);
    EXPECT_EQ(http.totalRecv(), 14);
}

TEST(CURLHelperTest, FormFieldsArePercentEncodedExactlyOnceAsUtf8)
{
    const QHash<QByteArray, QByteArray> fields{
        {"a&b", "c=d+e f"},
        {"name", QString::fromUtf8("日本").toUtf8()},
        {"pct", "%41"},
        {"plain", "x-y_z.~9"},
        {"empty", ""},
    };
    const QByteArray expected = "a%26b=c%3Dd%2Be%20f&empty=&name=%E6%97%A5%E6%9C%AC&pct=%2541&plain=x-y_z.~9";
    EXPECT_EQ(CURLHelper::encodeUrlData(fields), expected);
    // Every pair decodes back to exactly what was given.
    for (const QByteArray& pair : expected.split('&')) {
        const QList<QByteArray> kv = pair.split('=');
        ASSERT_EQ(kv.size(), 2);
        EXPECT_EQ(fields.value(QByteArray::fromPercentEncoding(kv[0])), QByteArray::fromPercentEncoding(kv[1]));
    }
    EXPECT_EQ(CURLHelper::encodeUrlData({}), QByteArray());

    HttpTestServer server(echo);
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url("/form"), fields, {}));
    http.responseBytesThrow();
    ASSERT_TRUE(http.request(server.url("/noform"), QHash<QByteArray, QByteArray>(), {}));
    http.responseBytesThrow();
    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].body, expected);
    EXPECT_EQ(reqs[0].headerValues("Content-Length"), QList<QByteArray>({QByteArray::number(expected.size())}));
    EXPECT_EQ(reqs[1].method, "GET");
}

TEST(CURLHelperTest, InterimAnswerThenFinalOneAndHeaderLinesAreParsed)
{
    HttpTestServer server([](HttpTestConnection& c) {
        c.send("HTTP/1.1 100 Continue\r\n\r\n"
               "HTTP/1.1 200 OK\r\n"
               "Content-Type:    text/plain   \r\n"
               "X-Empty:\r\n"
               "X-Twice: first\r\n"
               "X-Twice: second\r\n"
               "Content-Length: 5\r\n"
               "\r\n"
               "hello");
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
    http.setMd5Enabled(true);
    ASSERT_TRUE(http.request(server.url(), QByteArray(), {}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("hello"));
    EXPECT_EQ(http.statusCode(), 200);
    EXPECT_EQ(http.statusText(), QStringLiteral("OK"));
    const QHash<QByteArray, QByteArray> h = http.respHeaders();
    EXPECT_EQ(h.value("Content-Type"), "text/plain");
    EXPECT_TRUE(h.contains("X-Empty"));
    EXPECT_EQ(h.value("X-Twice"), "second");
    EXPECT_FALSE(h.contains("content-type")); // keys keep the case they were sent in
    EXPECT_EQ(h.size(), 4);
    EXPECT_EQ(http.md5Result(), QCryptographicHash::hash("hello", QCryptographicHash::Md5));
}

TEST(CURLHelperTest, ErrorStatusIsNoFailure)
{
    HttpTestServer server([](HttpTestConnection& c) { c.send(HttpTestServer::response(404, "Not Found", "nope")); });
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url("/missing")));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("nope"));
    EXPECT_EQ(http.statusCode(), 404);
    EXPECT_EQ(http.statusText(), QStringLiteral("Not Found"));
}

TEST(CURLHelperTest, UploadSendsTheSourceAsAPutAndCountsIt)
{
    HttpTestServer server(echo);
    ASSERT_TRUE(server.start());
    // Large enough that libcurl asks "Expect: 100-continue" first.
    const QByteArray payload = randomBytes(1536 * 1024);
    QBuffer source;
    source.setData(payload);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url("/up"), source, payload.size(), {}));
    const QByteArray answer = http.responseBytesThrow();
    EXPECT_EQ(http.statusCode(), 200);
    EXPECT_EQ(http.totalSent(), payload.size());
    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1);
    EXPECT_EQ(reqs[0].method, "PUT");
    EXPECT_EQ(reqs[0].headerValues("Content-Length"), QList<QByteArray>({QByteArray::number(payload.size())}));
    EXPECT_TRUE(reqs[0].body == payload);
    EXPECT_EQ(answer.size(), 8 + payload.size());
}

// A device that stops the client as soon as the first bytes arrive.
class StoppingSink : public QBuffer
{
public:
    explicit StoppingSink(CURLHelper& http) : http(http) {}

protected:
    qint64 writeData(const char* data, qint64 len) override
    {
        http.stop();
        return QBuffer::writeData(data, len);
    }

private:
    CURLHelper& http;
};

TEST(CURLHelperTest, StopEndsTheDownloadAndTheCountersShowWhatMoved)
{
    HttpTestServer server([](HttpTestConnection& c) {
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 30000\r\n\r\n");
        for (int i = 0; i < 3 && c.send(QByteArray(10000, 'x')); ++i)
            c.pause(50);
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url()));
    StoppingSink sink(http);
    ASSERT_TRUE(sink.open(QIODevice::WriteOnly));
    const QString error = errorOf([&] { http.responseThrow(sink); });
    EXPECT_TRUE(error == curlText(CURLE_WRITE_ERROR) || error == curlText(CURLE_ABORTED_BY_CALLBACK))
        << error.toStdString();
    EXPECT_TRUE(http.isStopped());
    EXPECT_GT(http.totalRecv(), 0);
    EXPECT_LT(http.totalRecv(), 30000);
    EXPECT_EQ(http.totalRecv(), sink.data().size());
    EXPECT_EQ(http.statusCode(), 200);
}

TEST(CURLHelperTest, StopFromAnotherThreadEndsATransferWhileTheServerIsSilent)
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
    EXPECT_EQ(http.totalRecv(), 1000);
}

TEST(CURLHelperTest, ConnectionClosedInTheMiddleOfTheBodyFailsAfterParsingTheHead)
{
    HttpTestServer server([](HttpTestConnection& c) {
        c.send("HTTP/1.1 200 Fine\r\nX-Sent: part\r\nContent-Length: 1000\r\n\r\n" + QByteArray(100, 'p'));
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url()));
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_PARTIAL_FILE));
    EXPECT_EQ(http.statusCode(), 200);
    EXPECT_EQ(http.statusText(), QStringLiteral("Fine"));
    EXPECT_EQ(http.respHeaders().value("X-Sent"), "part");
    EXPECT_EQ(http.totalRecv(), 100);
}

TEST(CURLHelperTest, FailedConnectAndForeignSchemesAreErrors)
{
    CURLHelper http;
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(HttpTestServer::closedPort()) + "/";
    ASSERT_TRUE(http.request(url));
    http.setConnectTimeout(5);
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(http.statusCode(), 0);

    ASSERT_TRUE(http.request("file:///etc/hostname"));
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_UNSUPPORTED_PROTOCOL));

    CURLHelper fresh;
    EXPECT_EQ(errorOf([&] { fresh.responseBytesThrow(); }), QStringLiteral("CURL: no request was prepared"));
}

TEST(CURLHelperTest, OverallTimeLimitEndsATricklingAnswer)
{
    HttpTestServer server([](HttpTestConnection& c) {
        if (!c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"))
            return;
        // One byte now and then, for far longer than the client's limit.
        for (int i = 0; i < 400 && c.send("t"); ++i)
            c.pause(50);
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url()));
    http.setTimeoutMs(300);
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_OPERATION_TIMEDOUT));
    EXPECT_EQ(http.statusCode(), 200);
}

TEST(CURLHelperTest, BodyLargerThanTheCapFailsWithOrWithoutALengthLine)
{
    HttpTestServer server([](HttpTestConnection& c) {
        const QByteArray path = c.request().target;
        if (path == "/announced") {
            c.send(HttpTestServer::response(200, "OK", QByteArray(5000, 'a')));
        } else if (path == "/exact") {
            c.send(HttpTestServer::response(200, "OK", QByteArray(1000, 'e')));
        } else {
            c.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
            for (int i = 0; i < 10 && c.send(QByteArray(500, 'u')); ++i)
                c.pause(5);
        }
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
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

TEST(CURLHelperTest, AReusedObjectCarriesNothingOverFromItsPreviousRequest)
{
    HttpTestServer server([](HttpTestConnection& c) {
        if (c.request().target == "/nobody")
            c.send("HTTP/1.1 204 No Content\r\nX-Only-First: 1\r\n\r\n");
        else
            echo(c);
    });
    ASSERT_TRUE(server.start());
    CURLHelper http;
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
    EXPECT_EQ(http.respHeaders().size(), 0);
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_EQ(http.totalSent(), 0);
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("GET /after "));
    EXPECT_FALSE(http.respHeaders().contains("X-Only-First"));

    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3);
    EXPECT_EQ(reqs[0].method, "PUT");
    EXPECT_EQ(reqs[0].body, "uploaded");
    EXPECT_EQ(reqs[1].method, "POST");
    EXPECT_EQ(reqs[2].method, "GET");
    EXPECT_TRUE(reqs[2].body.isEmpty());
    EXPECT_TRUE(reqs[2].headerValues("X-First").isEmpty());
    EXPECT_TRUE(reqs[2].headerValues("Content-Length").isEmpty());

    // A failed request leaves no status of the one before it.
    ASSERT_TRUE(http.request("http://127.0.0.1:" + QByteArray::number(HttpTestServer::closedPort()) + "/"));
    EXPECT_THROW(http.responseBytesThrow(), std::runtime_error);
    EXPECT_EQ(http.statusCode(), 0);
    EXPECT_TRUE(http.statusText().isEmpty());
    EXPECT_TRUE(http.respHeaders().isEmpty());
}

TEST(CURLHelperTest, CookieFileKeepsCookiesAcrossRequestsAndObjects)
{
    QTemporaryDir tmp;
    HttpTestServer server([](HttpTestConnection& c) {
        c.send(HttpTestServer::response(200, "OK", "c", {"Set-Cookie: sid=42; Path=/"}));
    });
    ASSERT_TRUE(server.start());
    const QByteArray jar = QFile::encodeName(tmp.filePath("cookies.txt"));
    {
        CURLHelper http;
        http.setCookieFile(jar);
        ASSERT_TRUE(http.request(server.url("/login")));
        http.responseBytesThrow();
        ASSERT_TRUE(http.request(server.url("/again")));
        http.responseBytesThrow();
    }
    CURLHelper later;
    later.setCookieFile(jar);
    ASSERT_TRUE(later.request(server.url("/later")));
    later.responseBytesThrow();
    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3);
    EXPECT_TRUE(reqs[0].header("Cookie").isEmpty());
    EXPECT_EQ(reqs[1].header("Cookie"), "sid=42");
    EXPECT_EQ(reqs[2].header("Cookie"), "sid=42");
}

class CURLHelperTlsTest : public ::testing::Test
{
protected:
    QTemporaryDir tmp;
    QString cert, key, wrongNameCert, wrongNameKey;

    void SetUp() override
    {
        if (!testenv::haveTool("openssl"))
            GTEST_SKIP() << "openssl is installed by scripts/setup.sh";
        ASSERT_TRUE(HttpTestServer::makeSelfSignedCertificate(tmp.path(), "IP:127.0.0.1", &cert, &key));
        ASSERT_TRUE(HttpTestServer::makeSelfSignedCertificate(tmp.path(), "DNS:elsewhere.invalid", &wrongNameCert,
                                                              &wrongNameKey));
    }
};

TEST_F(CURLHelperTlsTest, SelfSignedServerIsRefusedUnlessItsCertificateIsTrusted)
{
    HttpTestServer server([](HttpTestConnection& c) { c.send(HttpTestServer::response(200, "OK", "secret")); },
                          cert, key);
    ASSERT_TRUE(server.start());
    CURLHelper http;
    ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_PEER_FAILED_VERIFICATION));
    // Nothing was sent to the server it could not verify.
    EXPECT_TRUE(server.requests().isEmpty());

    http.setCaFile(QFile::encodeName(cert));
    ASSERT_TRUE(http.request(server.url("/tls"), QByteArray("password=1"), {}));
    EXPECT_EQ(http.responseBytesThrow(), QByteArray("secret"));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].body, "password=1");
}

TEST_F(CURLHelperTlsTest, TrustedCertificateForAnotherHostNameIsRefused)
{
    HttpTestServer server([](HttpTestConnection& c) { c.send(HttpTestServer::response(200, "OK", "secret")); },
                          wrongNameCert, wrongNameKey);
    ASSERT_TRUE(server.start());
    CURLHelper http;
    http.setCaFile(QFile::encodeName(wrongNameCert));
    ASSERT_TRUE(http.request(server.url("/tls")));
    EXPECT_EQ(errorOf([&] { http.responseBytesThrow(); }), curlText(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST(CURLHelperPoolTest, APoolOfTwoBlocksTheThirdAcquireUntilOneIsReleased)
{
    CURLHelperPool pool(2);
    const QSharedPointer<CURLHelper> a = pool.acquire();
    const QSharedPointer<CURLHelper> b = pool.acquire();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);

    std::mutex m;
    std::condition_variable cv;
    bool started = false;
    QSharedPointer<CURLHelper> third;
    std::thread t([&] {
        {
            std::lock_guard<std::mutex> lock(m);
            started = true;
        }
        cv.notify_all();
        QSharedPointer<CURLHelper> got = pool.acquire();
        std::lock_guard<std::mutex> lock(m);
        third = got;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return started; });
        // Give a wrongly unblocked acquire every chance to show itself.
        EXPECT_FALSE(cv.wait_for(lock, 200ms, [&] { return !third.isNull(); }));
    }
    pool.release(b);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 60s, [&] { return !third.isNull(); }));
    }
    t.join();
    // The released client is handed out again, not a new one.
    EXPECT_EQ(third, b);

    // Released clients come back in the order they were released; releasing
    // one twice does not let two users share it.
    pool.release(third);
    pool.release(third);
    pool.release(a);
    EXPECT_EQ(pool.acquire(), b);
    EXPECT_EQ(pool.acquire(), a);
}

} // namespace
