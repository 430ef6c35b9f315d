#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// One request as the test server read it.
struct HttpTestRequest
{
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers; // in the order sent
    QByteArray body;

    // Values of every header line with this name (compared without case).
    QList<QByteArray> headerValues(const QByteArray& name) const;
    QByteArray header(const QByteArray& name) const;
};

// The server's side of one connection, handed to the test's script.
class HttpTestConnection
{
public:
    const HttpTestRequest& request() const { return req; }
    // False once the client has gone.
    bool send(const QByteArray& bytes);
    // Sleeps up to ms; false (at once) when the server is being stopped.
    bool pause(int ms) const;

private:
    friend class HttpTestServer;
    HttpTestConnection(int fd, SSL* ssl, const std::atomic<bool>& stopping) : fd(fd), ssl(ssl), stopping(stopping) {}
    int fd;
    SSL* ssl;
    const std::atomic<bool>& stopping;
    HttpTestRequest req;
};

// A scripted HTTP/1.1 server on 127.0.0.1, plain or TLS, run by a thread of
// the test. It serves one connection at a time and one request per
// connection: it reads the request (answering "Expect: 100-continue"),
// records it, runs the script, then closes the connection.
class HttpTestServer
{
public:
    using Script = std::function<void(HttpTestConnection&)>;

    // With a PEM certificate and key it speaks TLS.
    explicit HttpTestServer(Script script, const QString& certFile = QString(), const QString& keyFile = QString());
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Binds a free port and starts serving; false when that fails.
    bool start();
    quint16 port() const { return boundPort; }
    // "http://127.0.0.1:<port>" + path (https with TLS).
    QByteArray url(const QByteArray& path = "/") const;
    QList<HttpTestRequest> requests() const;

    // A complete answer with a Content-Length.
    static QByteArray response(int code, const QByteArray& reason, const QByteArray& body,
                               const QList<QByteArray>& headerLines = QList<QByteArray>());
    // A loopback port nothing listens on (it was free a moment ago).
    static quint16 closedPort();
    // Makes a self-signed certificate for subjectAltName (e.g.
    // "IP:127.0.0.1") with the openssl command in dir; false on failure.
    static bool makeSelfSignedCertificate(const QString& dir, const QByteArray& subjectAltName, QString* certFile,
                                          QString* keyFile);

private:
    void run();
    void serve(int fd);
    bool readRequest(HttpTestConnection& conn);
    int readSome(int fd, SSL* ssl, char* buffer, int size);

    Script script;
    QString certFile;
    QString keyFile;
    SSL_CTX* ctx = nullptr;
    int listenFd = -1;
    quint16 boundPort = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    mutable QMutex mutex;
    QList<HttpTestRequest> recorded;
};
