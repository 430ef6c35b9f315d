#include "tests/support/httptestserver.h"

#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QMutexLocker>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

namespace {

constexpr int kMaxHead = 64 * 1024;
// Upper bound on waiting for a client, so a broken test cannot hang here.
constexpr auto kClientPatience = std::chrono::seconds(20);

// Binds fd to a free loopback port; the port, 0 on failure.
quint16 bindLoopback(int fd)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

} // namespace

QList<QByteArray> HttpTestRequest::headerValues(const QByteArray& name) const
{
    QList<QByteArray> out;
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            out << h.second;
    return out;
}

QByteArray HttpTestRequest::header(const QByteArray& name) const
{
    const QList<QByteArray> values = headerValues(name);
    return values.isEmpty() ? QByteArray() : values.first();
}

bool HttpTestConnection::send(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const int chunk = int(qMin<qsizetype>(left, 1 << 20));
        const long n = ssl ? SSL_write(ssl, p, chunk) : ::send(fd, p, size_t(chunk), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

bool HttpTestConnection::pause(int ms) const
{
    for (int waited = 0; waited < ms && !stopping; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(qMin(5, ms - waited)));
    return !stopping;
}

HttpTestServer::HttpTestServer(Script script, const QString& certFile, const QString& keyFile)
    : script(std::move(script)), certFile(certFile), keyFile(keyFile)
{
}

HttpTestServer::~HttpTestServer()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    if (listenFd >= 0)
        ::close(listenFd);
    if (ctx)
        SSL_CTX_free(ctx);
}

bool HttpTestServer::start()
{
    // A client that hangs up must end a write with an error, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (!certFile.isEmpty()) {
        ctx = SSL_CTX_new(TLS_server_method());
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, QFile::encodeName(certFile).constData()) != 1
            || SSL_CTX_use_PrivateKey_file(ctx, QFile::encodeName(keyFile).constData(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_check_private_key(ctx) != 1)
            return false;
    }
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || (boundPort = bindLoopback(listenFd)) == 0 || ::listen(listenFd, 16) != 0)
        return false;
    thread = std::thread([this] { run(); });
    return true;
}

QByteArray HttpTestServer::url(const QByteArray& path) const
{
    return (ctx ? "https" : "http") + QByteArray("://127.0.0.1:") + QByteArray::number(boundPort) + path;
}

QList<HttpTestRequest> HttpTestServer::requests() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}

void HttpTestServer::run()
{
    while (!stopping) {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            serve(fd);
    }
}

void HttpTestServer::serve(int fd)
{
    timeval tv{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SSL* ssl = nullptr;
    if (ctx) {
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        // A client that refuses our certificate ends here.
        if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            ::close(fd);
            return;
        }
    }
    HttpTestConnection conn(fd, ssl, stopping);
    if (readRequest(conn)) {
        {
            QMutexLocker lock(&mutex);
            recorded << conn.req;
        }
        script(conn);
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

int HttpTestServer::readSome(int fd, SSL* ssl, char* buffer, int size)
{
    const auto deadline = std::chrono::steady_clock::now() + kClientPatience;
    while (!(ssl && SSL_pending(ssl) > 0)) {
        if (stopping || std::chrono::steady_clock::now() > deadline)
            return -1;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0)
            break;
    }
    return ssl ? SSL_read(ssl, buffer, size) : int(::recv(fd, buffer, size_t(size), 0));
}

bool HttpTestServer::readRequest(HttpTestConnection& conn)
{
    QByteArray data;
    const auto more = [&] {
        char buffer[16384];
        const int n = readSome(conn.fd, conn.ssl, buffer, sizeof buffer);
        if (n > 0)
            data.append(buffer, n);
        return n > 0;
    };
    qsizetype end;
    while ((end = data.indexOf("\r\n\r\n")) < 0) {
        if (data.size() > kMaxHead || !more())
            return false;
    }
    HttpTestRequest& req = conn.req;
    const QList<QByteArray> lines = data.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    req.method = first.value(0);
    req.target = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            req.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    const qint64 length = end + 4 + req.header("Content-Length").toLongLong();
    if (length > data.size() && req.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0)
        conn.send("HTTP/1.1 100 Continue\r\n\r\n");
    while (data.size() < length) {
        if (!more())
            return false;
    }
    req.body = data.mid(end + 4);
    return true;
}

QByteArray HttpTestServer::response(int code, const QByteArray& reason, const QByteArray& body,
                                    const QList<QByteArray>& headerLines)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason + "\r\n";
    for (const QByteArray& line : headerLines)
        out += line + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    return out + body;
}

quint16 HttpTestServer::closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const quint16 port = fd >= 0 ? bindLoopback(fd) : 0;
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool HttpTestServer::makeSelfSignedCertificate(const QString& dir, const QByteArray& subjectAltName,
                                               QString* certFile, QString* keyFile)
{
    const QString stem = QDir(dir).filePath(QString::fromLatin1(subjectAltName.toHex()));
    *certFile = stem + ".crt";
    *keyFile = stem + ".key";
    QByteArray err;
    const int rc = testenv::runTool("openssl",
                                    {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                     "-nodes", "-keyout", *keyFile, "-out", *certFile, "-days", "2", "-subj",
                                     "/CN=chatferry test server", "-addext",
                                     "subjectAltName=" + QString::fromLatin1(subjectAltName)},
                                    nullptr, &err);
    return rc == 0 && QFile::exists(*certFile) && QFile::exists(*keyFile);
}
