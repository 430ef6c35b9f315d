#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

// One request as the test server read it.
struct HttpTestRequest
{
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers; // in the order sent
    QByteArray body;

    // Values of every header line with this name (compared without case).
    QList<QByteArray> headerValues(const QByteArray& name) const;
    QByteArray header(const QByteArray& name) const { return headerValues(name).value(0); }
};

// A scripted HTTP/1.1 server on 127.0.0.1, plain or TLS (with a PEM
// certificate and key), run by Python in a child process. One connection at
// a time, one request each: it reads the request (answering "Expect:
// 100-continue"), records it, sends the answer given for its path, then
// closes the connection. Other paths get method, target and body echoed.
class HttpTestServer
{
public:
    // Bytes sent `times` times, each followed by a pause.
    struct Part
    {
        QByteArray bytes;
        int pauseMs = 0;
        int times = 1;
    };
    using Answers = QHash<QByteArray, QList<Part>>;

    explicit HttpTestServer(const Answers& answers = {}, const QString& certFile = {}, const QString& keyFile = {});
    ~HttpTestServer();

    // Starts the server on a free port; false when that fails.
    bool start();
    quint16 port() const { return boundPort; }
    // "http://127.0.0.1:<port>" + path (https with TLS).
    QByteArray url(const QByteArray& path = "/") const;
    // The requests read so far.
    QList<HttpTestRequest> requests() const;

    // A complete answer with a Content-Length.
    static QByteArray response(int code, const QByteArray& reason, const QByteArray& body,
                               const QList<QByteArray>& headerLines = {});
    // A loopback port nothing listens on (it was free a moment ago).
    static quint16 closedPort();
    // A self-signed certificate for subjectAltName (e.g. "IP:127.0.0.1"),
    // made by the openssl command in dir; false on failure.
    static bool makeSelfSignedCertificate(const QString& dir, const QByteArray& subjectAltName, QString* certFile,
                                          QString* keyFile);

private:
    Answers answers;
    QString certFile, keyFile;
    QTemporaryFile record;
    QProcess python;
    quint16 boundPort = 0;
};
