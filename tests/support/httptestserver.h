#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/testenv.h"

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

    explicit HttpTestServer(const Answers& answers = {}, const QString& certFile = {}, const QString& keyFile = {})
        : answers(answers), certFile(certFile), keyFile(keyFile)
    {
    }
    ~HttpTestServer()
    {
        python.kill();
        python.waitForFinished();
    }

    // Starts the server on a free port; false when that fails.
    bool start()
    {
        QJsonObject table;
        for (auto it = answers.cbegin(); it != answers.cend(); ++it) {
            QJsonArray parts;
            for (const Part& p : it.value())
                parts.append(QJsonArray{QString::fromLatin1(p.bytes.toHex()), p.pauseMs, p.times});
            table.insert(QString::fromLatin1(it.key()), parts);
        }
        if (!record.open())
            return false;
        const QStringList tls = certFile.isEmpty() ? QStringList() : QStringList{certFile, keyFile};
        python.start("python3", QStringList{"-c", kServer, record.fileName()} + tls);
        python.write(QJsonDocument(table).toJson(QJsonDocument::Compact) + '\n');
        while (!python.canReadLine() && python.waitForReadyRead(10000)) {
        }
        boundPort = quint16(python.readLine().trimmed().toUInt());
        return boundPort != 0;
    }
    quint16 port() const { return boundPort; }
    // "http://127.0.0.1:<port>" + path (https with TLS).
    QByteArray url(const QByteArray& path = "/") const
    {
        return (certFile.isEmpty() ? "http" : "https") + QByteArray("://127.0.0.1:") + QByteArray::number(boundPort)
               + path;
    }
    // The requests read so far, each as it came: head lines, a blank line, body.
    QList<QByteArray> requests() const
    {
        QList<QByteArray> recorded;
        for (const QByteArray& line : testenv::readFile(record.fileName()).split('\n')) {
            if (!line.isEmpty())
                recorded << QByteArray::fromHex(line);
        }
        return recorded;
    }

    // A complete answer with a Content-Length.
    static QByteArray response(int code, const QByteArray& reason, const QByteArray& body,
                               const QByteArray& headerLines = {})
    {
        return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason + "\r\n" + headerLines + "Content-Length: "
               + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    // A loopback port nothing listens on (it was free a moment ago).
    static quint16 closedPort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0
                           && ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        ::close(fd);
        return bound ? ntohs(addr.sin_port) : 0;
    }

private:
    // Reads the answers (path: [[hex bytes, pause ms, times], ...]) as one
    // line and prints its port; appends each request in hex, one a line, to
    // the file named first.
    static constexpr const char* kServer = R"(
import json, socket, ssl, sys, time
answers = json.loads(sys.stdin.readline())
listener = socket.create_server(('127.0.0.1', 0))
tls = None
if len(sys.argv) > 2:
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(sys.argv[2], sys.argv[3])
record = open(sys.argv[1], 'a')
print(listener.getsockname()[1], flush=True)
while True:
    conn = listener.accept()[0]
    try:
        conn.settimeout(20)
        if tls:
            conn = tls.wrap_socket(conn, server_side=True)
        data = b''
        while b'\r\n\r\n' not in data or len(data) < length:
            chunk = conn.recv(65536)
            if not chunk:
                raise EOFError
            data += chunk
            head, _, body = data.partition(b'\r\n\r\n')
            lines = head.decode('latin-1').split('\r\n')[1:]
            fields = {k.strip().lower(): v.strip() for k, _, v in (l.partition(':') for l in lines)}
            length = len(head) + 4 + int(fields.get('content-length') or 0)
            if not body and fields.get('expect', '').lower() == '100-continue' and length > len(data):
                conn.sendall(b'HTTP/1.1 100 Continue\r\n\r\n')
        print(data.hex(), file=record, flush=True)
        echo = b' '.join(head.split(b' ')[:2]) + b' ' + body
        echo = b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' % len(echo) + echo
        target = head.split(b' ')[1].decode()
        for part, pause, times in answers.get(target, [[echo.hex(), 0, 1]]):
            for _ in range(times):
                conn.sendall(bytes.fromhex(part))
                time.sleep(pause / 1000)
    except Exception:
        pass
    conn.close()
)";

    Answers answers;
    QString certFile, keyFile;
    QTemporaryFile record;
    QProcess python;
    quint16 boundPort = 0;
};
