#pragma once

#include <QByteArray>
#include <QHash>
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
    // Bytes sent, then a pause.
    struct Part
    {
        QByteArray bytes;
        int pauseMs = 0;
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
        QByteArray table; // a line per part: path, bytes in hex, pause
        for (auto it = answers.cbegin(); it != answers.cend(); ++it) {
            for (const Part& p : it.value())
                table += it.key() + ' ' + p.bytes.toHex() + ' ' + QByteArray::number(p.pauseMs) + '\n';
        }
        if (!record.open())
            return false;
        const QStringList tls = certFile.isEmpty() ? QStringList() : QStringList{certFile, keyFile};
        python.start("python3", QStringList{"-c", kServer, record.fileName()} + tls);
        python.write(table + "end\n");
        while (!python.canReadLine() && python.waitForReadyRead(10000)) {
        }
        boundPort = quint16(python.readLine().trimmed().toUInt());
        return boundPort != 0;
    }
    // "http://127.0.0.1:<port>" + path (https with TLS).
    QByteArray url(const QByteArray& path) const
    {
        const QByteArray scheme = certFile.isEmpty() ? "http" : "https";
        return scheme + "://127.0.0.1:" + QByteArray::number(boundPort) + path;
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
    static QByteArray response(int code, const QByteArray& body, const QByteArray& headerLines = {})
    {
        const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        const QByteArray head = "HTTP/1.1 " + QByteArray::number(code) + " X\r\n" + headerLines + length;
        return head + "Connection: close\r\n\r\n" + body;
    }
    // A socket bound to a free loopback port, or -1.
    static int boundSocket(quint16* port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ::close(fd);
            return -1;
        }
        *port = ntohs(addr.sin_port);
        return fd;
    }
    // A loopback port nothing listens on (it was free a moment ago).
    static quint16 closedPort()
    {
        quint16 port = 0;
        ::close(boundSocket(&port));
        return port;
    }

private:
    // Reads the answers up to "end" and prints its port; appends each request
    // in hex, one a line, to the file named first.
    static constexpr const char* kServer = R"(
import socket, ssl, sys, time
answers = {}
for line in iter(sys.stdin.readline, 'end\n'):
    path, part, pause = line.split()
    answers.setdefault(path, []).append((part, int(pause)))
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
            lines = head.decode('latin-1').lower().split('\r\n')[1:]
            fields = {k.strip(): v.strip() for k, _, v in (l.partition(':') for l in lines)}
            length = len(head) + 4 + int(fields.get('content-length') or 0)
            if not body and fields.get('expect') == '100-continue' and length > len(data):
                conn.sendall(b'HTTP/1.1 100 Continue\r\n\r\n')
        print(data.hex(), file=record, flush=True)
        echo = b' '.join(head.split(b' ')[:2]) + b' ' + body
        echo = b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' % len(echo) + echo
        for part, pause in answers.get(head.split(b' ')[1].decode(), [(echo.hex(), 0)]):
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
