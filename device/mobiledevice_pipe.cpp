#include "device/mobiledevice_pipe.h"

#include <QElapsedTimer>

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

bool mobiledevice_pipe::wait(int fd, bool forWrite)
{
    // poll, not select: a descriptor number above FD_SETSIZE would overrun an fd_set.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int left = -1;
        if (m_timeoutMs > 0) {
            left = m_timeoutMs - int(clock.elapsed());
            if (left < 0)
                return false;
        }
        struct pollfd p = {fd, short(forWrite ? POLLOUT : POLLIN), 0};
        const int r = ::poll(&p, 1, left);
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

int mobiledevice_pipe::read(char* buffer, int length)
{
    int got = 0;
    while (m_responseRead != 0 && got < length && wait(m_responseRead, false)) {
        const ssize_t n = ::read(m_responseRead, buffer + got, size_t(length - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 1)
            break;
        got += int(n);
    }
    return got;
}

int mobiledevice_pipe::write(const char* data, int length, bool sync)
{
    int put = 0;
    while (m_requestWrite != 0 && put < length && wait(m_requestWrite, true)) {
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
    const quint32 length = quint32(body.size());
    char head[4];
    std::memcpy(head, &length, 4);
    const int sent = write(head, 4, true);
    if (sent == 4 && write(body.constData(), int(length), true) == int(length))
        return true;
    if (sent > 0)
        breakWith(QStringLiteral("a request was cut off in its middle"));
    return false;
}

PlistCFType mobiledevice_pipe::readReponse()
{
    if (isBroken())
        return PlistCFType();
    char head[4];
    const int got = read(head, 4);
    if (got == 0)
        return PlistCFType(); // nothing came; the next message can still be read
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
    if (read(body.data(), int(length)) != int(length)) {
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
