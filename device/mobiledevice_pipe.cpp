#include "device/mobiledevice_pipe.h"

#include <climits>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

mobiledevice_pipe::mobiledevice_pipe(int timeoutMs)
    : m_timeoutMs(timeoutMs)
{
}

mobiledevice_pipe::~mobiledevice_pipe()
{
    close();
}

bool mobiledevice_pipe::create()
{
    close();
    int response[2] = {0, 0};
    int request[2] = {0, 0};
    const bool ok = ::pipe(response) == 0 && ::pipe(request) == 0;
    m_responseRead = response[0];
    m_responseWrite = response[1];
    m_requestRead = request[0];
    m_requestWrite = request[1];
    m_requestReadText = QString::number(m_requestRead);
    m_responseWriteText = QString::number(m_responseWrite);
    if (!ok)
        return false;
    // Our own ends stay out of the child; writes never block past the
    // time-out. The child's ends stay open here until close(), so a write
    // never meets a closed pipe (no SIGPIPE).
    ::fcntl(m_responseRead, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_requestWrite, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_requestWrite, F_SETFL, ::fcntl(m_requestWrite, F_GETFL) | O_NONBLOCK);
    return true;
}

bool mobiledevice_pipe::connect()
{
    return true;
}

QDeadlineTimer mobiledevice_pipe::deadline() const
{
    return m_timeoutMs > 0 ? QDeadlineTimer(m_timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever);
}

bool mobiledevice_pipe::wait(int fd, bool forWrite, const QDeadlineTimer& until)
{
    // poll, not select: a descriptor number above FD_SETSIZE would overrun an fd_set.
    for (;;) {
        const int left = int(qMin<qint64>(until.remainingTime(), INT_MAX)); // -1: no limit
        if (left == 0)
            return false;
        struct pollfd p = {fd, short(forWrite ? POLLOUT : POLLIN), 0};
        const int r = ::poll(&p, 1, left);
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

int mobiledevice_pipe::readUntil(char* buffer, int length, const QDeadlineTimer& until)
{
    int got = 0;
    while (m_responseRead != 0 && got < length && wait(m_responseRead, false, until)) {
        const ssize_t n = ::read(m_responseRead, buffer + got, size_t(length - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 1)
            break;
        got += int(n);
    }
    return got;
}

int mobiledevice_pipe::writeUntil(const char* data, int length, bool sync, const QDeadlineTimer& until)
{
    int put = 0;
    while (m_requestWrite != 0 && put < length && wait(m_requestWrite, true, until)) {
        const ssize_t n = ::write(m_requestWrite, data + put, size_t(length - put));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 1)
            break;
        put += int(n);
    }
    if (sync && put > 0)
        ::fsync(m_requestWrite);
    return put;
}

int mobiledevice_pipe::read(char* buffer, int length)
{
    return readUntil(buffer, length, deadline());
}

int mobiledevice_pipe::write(const char* data, int length, bool sync)
{
    return writeUntil(data, length, sync, deadline());
}

void mobiledevice_pipe::breakWith(const QString& reason)
{
    if (m_broken.isEmpty())
        m_broken = reason;
}

bool mobiledevice_pipe::writeRequest(const PlistCFType& request)
{
    if (isBroken())
        return false;
    const QByteArray body = request.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    if (body.isEmpty())
        return true;
    if (body.size() > PlistCFType::kMaxBytes)
        return false;
    // One time-out for the whole message: a child that takes it a byte at a
    // time must not hold the caller for a wait per byte.
    const QDeadlineTimer until = deadline();
    const quint32 length = quint32(body.size());
    char head[4];
    std::memcpy(head, &length, 4);
    const int sent = writeUntil(head, 4, true, until);
    if (sent == 4 && writeUntil(body.constData(), int(length), true, until) == int(length))
        return true;
    if (sent > 0)
        breakWith(QStringLiteral("a request was cut off in its middle"));
    return false;
}

PlistCFType mobiledevice_pipe::readReponse()
{
    if (isBroken())
        return PlistCFType();
    const QDeadlineTimer until = deadline();
    char head[4];
    const int got = readUntil(head, 4, until);
    if (got == 0) {
        // The answer may still come; handed to the next request it would
        // answer the wrong question.
        breakWith(QStringLiteral("no response arrived within %1 ms").arg(m_timeoutMs));
        return PlistCFType();
    }
    if (got < 4) {
        breakWith(QStringLiteral("a response was cut off in its length"));
        return PlistCFType();
    }
    quint32 length;
    std::memcpy(&length, head, 4);
    if (length == 0)
        return PlistCFType();
    if (length > quint32(PlistCFType::kMaxBytes)) {
        breakWith(QStringLiteral("a response announced %1 bytes, more than allowed").arg(length));
        return PlistCFType();
    }
    QByteArray body(int(length), Qt::Uninitialized);
    if (readUntil(body.data(), int(length), until) != int(length)) {
        breakWith(QStringLiteral("a response was cut off in its middle"));
        return PlistCFType();
    }
    return PlistCFType::createCFPropertyList(body);
}

void mobiledevice_pipe::close()
{
    for (int* fd : {&m_responseRead, &m_responseWrite, &m_requestRead, &m_requestWrite}) {
        if (*fd != 0)
            ::close(*fd);
        *fd = 0;
    }
    m_broken.clear();
}
