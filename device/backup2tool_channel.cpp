// The connection of a mobilebackup2 run: every wait on the phone, sends
// included, can be ended by a cancel.
#include <QDeadlineTimer>
#include <QtGlobal>

#include <cerrno>
#include <utility>

#include <poll.h>
#include <sys/socket.h>

#include <libimobiledevice/libimobiledevice.h>

#include "device/backup2tool_p.h"

namespace backup2detail {

namespace {

// How long a wait goes without looking at the cancel flag: the window's own
// flag wakes no descriptor.
constexpr int kSliceMs = 250;
// Over SSL the library's send blocks until a whole piece is out: a piece no
// larger than the room a writable socket has keeps that wait short.
constexpr quint32 kSslPiece = 4096;
// Over SSL a timed-out receive loses what it had read: only the first byte
// of a wait is taken in slices; the rest of what the reader asked for comes
// within the library's usual patience for its services, or the channel is
// taken for broken.
constexpr unsigned kSslRestMs = 30000;

} // namespace

Channel::Channel(int wake, std::function<bool()> cancelled) : m_wake(wake), m_cancelled(std::move(cancelled)) { }

Channel::~Channel()
{
    if (m_connection)
        idevice_disconnect(m_connection);
}

int Channel::open(idevice_t device, const lockdownd_service_descriptor& service)
{
    if (const int r = idevice_connect(device, service.port, &m_connection)) {
        m_connection = nullptr;
        return r;
    }
    if (service.ssl_enabled) {
        if (const int r = idevice_connection_enable_ssl(m_connection))
            return r;
        m_ssl = true;
    }
    return idevice_connection_get_fd(m_connection, &m_fd);
}

Channel::Wait Channel::ready(short events, int patienceMs)
{
    QDeadlineTimer deadline(patienceMs > 0 ? qint64(patienceMs) : -1);
    for (;;) {
        if (m_cancelled())
            return Cancelled;
        pollfd fds[2] = {{m_fd, events, 0}, {m_wake, POLLIN, 0}};
        const int slice = deadline.isForever() ? kSliceMs : int(qMin<qint64>(kSliceMs, deadline.remainingTime()));
        const int n = ::poll(fds, m_wake >= 0 ? 2 : 1, slice);
        if (n < 0 && errno != EINTR) {
            m_broken = true;
            return Closed;
        }
        if (n > 0 && fds[1].revents)
            return Cancelled; // readable only once cancel() has written to it
        if (n > 0 && fds[0].revents)
            return Done; // a hang-up or an error too: the call that follows tells
        if (deadline.hasExpired())
            return Closed;
    }
}

Channel::Wait Channel::receiveSome(char* data, quint32 size, quint32* got)
{
    *got = 0;
    if (m_broken || m_fd < 0)
        return Closed;
    if (m_ssl) {
        for (;;) {
            if (m_cancelled())
                return Cancelled;
            const int r = idevice_connection_receive_timeout(m_connection, data, 1, got, kSliceMs);
            if (r == IDEVICE_E_SUCCESS && *got == 1)
                break;
            if (r != IDEVICE_E_TIMEOUT) {
                m_broken = true;
                return Closed;
            }
        }
        quint32 rest = 0;
        if (size > 1
            && (idevice_connection_receive_timeout(m_connection, data + 1, size - 1, &rest, kSslRestMs)
                    != IDEVICE_E_SUCCESS
                || rest != size - 1)) {
            m_broken = true;
            return Closed;
        }
        *got = size;
        return Done;
    }
    for (;;) {
        const Wait w = ready(POLLIN, 0);
        if (w != Done)
            return w;
        const ssize_t n = ::recv(m_fd, data, size, MSG_DONTWAIT);
        if (n > 0) {
            *got = quint32(n);
            return Done;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        m_broken = true; // 0: the phone has closed the channel
        return Closed;
    }
}

Channel::Wait Channel::sendAll(const char* data, quint32 size, int patienceMs)
{
    if (m_broken || m_fd < 0)
        return Closed;
    QDeadlineTimer deadline(patienceMs > 0 ? qint64(patienceMs) : -1);
    for (quint32 done = 0; done < size;) {
        const int left = deadline.isForever() ? 0 : int(qMax<qint64>(1, deadline.remainingTime()));
        const Wait w = ready(POLLOUT, left);
        if (w != Done)
            return w;
        if (m_ssl) {
            const quint32 piece = qMin(size - done, kSslPiece);
            quint32 sent = 0;
            if (idevice_connection_send(m_connection, data + done, piece, &sent) != IDEVICE_E_SUCCESS || sent == 0) {
                m_broken = true;
                return Closed;
            }
            done += sent;
            continue;
        }
        // MSG_NOSIGNAL: a phone that has gone is a failed send, not a signal.
        const ssize_t n = ::send(m_fd, data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += quint32(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_broken = true;
            return Closed;
        }
    }
    return Done;
}

} // namespace backup2detail
