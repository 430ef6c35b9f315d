#include "tests/support/httptestserver.h"

#include "tests/support/testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Reads the answers (path: [[hex bytes, pause ms, times], ...]) as one line
// and prints its port; writes a line per request to the file named first:
// [method, target, headers, body in base64].
const char* const kServer = R"(
import base64, json, socket, ssl, sys, time
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
        def more():
            global data
            chunk = conn.recv(65536)
            if not chunk:
                raise EOFError
            data += chunk
        while b'\r\n\r\n' not in data:
            more()
        head = data.split(b'\r\n\r\n', 1)[0].decode('latin-1').split('\r\n')
        method, target = head[0].split(' ')[:2]
        headers = [[k.strip(), v.strip()] for k, v in (line.split(':', 1) for line in head[1:] if ':' in line)]
        def get(name):
            return next((v for k, v in headers if k.lower() == name), '')
        length = len(data.split(b'\r\n\r\n', 1)[0]) + 4 + int(get('content-length') or 0)
        if len(data) < length and get('expect').lower() == '100-continue':
            conn.sendall(b'HTTP/1.1 100 Continue\r\n\r\n')
        while len(data) < length:
            more()
        body = data.split(b'\r\n\r\n', 1)[1]
        print(json.dumps([method, target, headers, base64.b64encode(body).decode()]), file=record, flush=True)
        echo = ('%s %s ' % (method, target)).encode() + body
        echo = b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' % len(echo) + echo
        for part, pause, times in answers.get(target, [[echo.hex(), 0, 1]]):
            for _ in range(times):
                conn.sendall(bytes.fromhex(part))
                time.sleep(pause / 1000)
    except Exception:
        pass
    conn.close()
)";

} // namespace

QList<QByteArray> HttpTestRequest::headerValues(const QByteArray& name) const
{
    QList<QByteArray> out;
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            out << h.second;
    return out;
}

HttpTestServer::HttpTestServer(const Answers& answers, const QString& certFile, const QString& keyFile)
    : answers(answers), certFile(certFile), keyFile(keyFile)
{
}

HttpTestServer::~HttpTestServer()
{
    python.kill();
    python.waitForFinished();
}

bool HttpTestServer::start()
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
    python.start("python3", QStringList{"-c", kServer, record.fileName()}
                                + (certFile.isEmpty() ? QStringList() : QStringList{certFile, keyFile}));
    python.write(QJsonDocument(table).toJson(QJsonDocument::Compact) + '\n');
    while (!python.canReadLine() && python.waitForReadyRead(10000)) {
    }
    boundPort = quint16(python.readLine().trimmed().toUInt());
    return boundPort != 0;
}

QByteArray HttpTestServer::url(const QByteArray& path) const
{
    return (certFile.isEmpty() ? "http" : "https") + QByteArray("://127.0.0.1:") + QByteArray::number(boundPort) + path;
}

QList<HttpTestRequest> HttpTestServer::requests() const
{
    QList<HttpTestRequest> recorded;
    for (const QByteArray& line : testenv::readFile(record.fileName()).split('\n')) {
        const QJsonArray r = QJsonDocument::fromJson(line).array();
        if (r.size() != 4)
            continue;
        HttpTestRequest req{r[0].toString().toLatin1(), r[1].toString().toLatin1(), {},
                            QByteArray::fromBase64(r[3].toString().toLatin1())};
        for (const QJsonValue h : r[2].toArray())
            req.headers.append({h[0].toString().toLatin1(), h[1].toString().toLatin1()});
        recorded << req;
    }
    return recorded;
}

QByteArray HttpTestServer::response(int code, const QByteArray& reason, const QByteArray& body,
                                    const QList<QByteArray>& headerLines)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason + "\r\n";
    for (const QByteArray& line : headerLines)
        out += line + "\r\n";
    return out + "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

quint16 HttpTestServer::closedPort()
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

bool HttpTestServer::makeSelfSignedCertificate(const QString& dir, const QByteArray& subjectAltName,
                                               QString* certFile, QString* keyFile)
{
    const QString stem = QDir(dir).filePath(QString::fromLatin1(subjectAltName.toHex()));
    *certFile = stem + ".crt";
    *keyFile = stem + ".key";
    return testenv::runTool("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                        "-nodes", "-keyout", *keyFile, "-out", *certFile, "-days", "2", "-subj",
                                        "/CN=chatferry test server", "-addext",
                                        "subjectAltName=" + QString::fromLatin1(subjectAltName)})
           == 0;
}
