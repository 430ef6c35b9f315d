#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

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
    // The requests read so far, each as it came: head lines, a blank line, body.
    QList<QByteArray> requests() const;

    // A complete answer with a Content-Length.
    static QByteArray response(int code, const QByteArray& reason, const QByteArray& body,
                               const QByteArray& headerLines = {});
    // A loopback port nothing listens on (it was free a moment ago).
    static quint16 closedPort();

private:
    Answers answers;
    QString certFile, keyFile;
    QTemporaryFile record;
    QProcess python;
    quint16 boundPort = 0;
};
