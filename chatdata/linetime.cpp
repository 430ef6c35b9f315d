#include "chatdata/linetime.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "chatdata/linemsg.h"

namespace {

const qint64 kDt21Origin = 978307200;

// 2^63 as a double: the first value a qint64 cannot hold.
const double kInt64Bound = 9223372036854775808.0;

// One per thread for dtToUnixSecs32, watching the zone.
thread_local LocalZone t_localZone(true);

} // namespace

QDateTime dtFromTimestamp(double dt21)
{
    const double whole = std::trunc(dt21);
    if (!std::isfinite(whole) || whole >= kInt64Bound || whole < -kInt64Bound)
        return QDateTime();
    const quint32 secs = quint32(quint64(kDt21Origin) + quint64(qint64(whole)));
    return QDateTime::fromSecsSinceEpoch(qint64(secs));
}

qint64 unixepochMsecFromDt21(double dt21)
{
    const double msecs = std::trunc((dt21 + double(kDt21Origin)) * 1000.0);
    if (std::isnan(msecs))
        return 0;
    if (msecs >= kInt64Bound)
        return std::numeric_limits<qint64>::max();
    if (msecs < -kInt64Bound)
        return std::numeric_limits<qint64>::min();
    return qint64(msecs);
}

double dt21FromUnixepochMsec(const qint64& msecs)
{
    return double(msecs) / 1000.0 - double(kDt21Origin);
}

double dt21FromUnixepochSecs(int secs)
{
    return double(qint32(quint32(secs) - quint32(kDt21Origin)));
}

LocalZone::LocalZone(bool watch)
    : m_watch(watch)
{
    if (!watch)
        m_zone = QTimeZone::systemTimeZone();
}

QDateTime LocalZone::dateTime(qint64 msecs)
{
    if (!current() || msecs < m_from || msecs >= m_to)
        learn(msecs);
    if (!m_zone.isValid())
        return QDateTime::fromMSecsSinceEpoch(msecs);
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::OffsetFromUTC, m_offset);
}

bool LocalZone::utcOf(qint64 wallMs, qint64* utcMs)
{
    if (!current() || !m_zone.isValid() || wallMs < -kFar || wallMs > kFar)
        return false;
    const qint64 utc = wallMs - qint64(m_offset) * 1000;
    if (utc < m_from + kMargin || utc >= m_to - kMargin)
        return false;
    *utcMs = utc;
    return true;
}

void LocalZone::learn(qint64 utcMs)
{
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC);
    m_offset = m_zone.isValid() ? m_zone.offsetFromUtc(when) : 0;
    m_from = std::numeric_limits<qint64>::min();
    m_to = std::numeric_limits<qint64>::max();
    if (!m_zone.isValid())
        return;
    const QTimeZone::OffsetData prev = m_zone.previousTransition(when);
    const QTimeZone::OffsetData next = m_zone.nextTransition(when);
    if (prev.atUtc.isValid())
        // At a transition itself the previous one is the one before it.
        m_from = m_zone.offsetFromUtc(prev.atUtc) == m_offset ? prev.atUtc.toMSecsSinceEpoch() : utcMs;
    if (next.atUtc.isValid())
        m_to = next.atUtc.toMSecsSinceEpoch();
}

bool LocalZone::current()
{
    if (!m_watch)
        return true;
    const auto now = std::chrono::steady_clock::now();
    const char* tz = std::getenv("TZ");
    if (m_read && now - m_readAt < std::chrono::seconds(1) && m_hasTz == (tz != nullptr) && (!tz || m_tz == tz))
        return true;
    m_zone = QTimeZone::systemTimeZone();
    m_read = true;
    m_readAt = now;
    m_hasTz = tz != nullptr;
    m_tz = tz ? tz : "";
    m_from = 1; // nothing known
    m_to = 0;
    return false;
}



quint32 dtToUnixSecs32(const QDateTime& dt)
{
    if (!dt.isValid())
        return std::numeric_limits<quint32>::max();
    qint64 ms = 0;
    if (dt.timeSpec() == Qt::LocalTime) {
        // Qt turns a local time into UTC through the C library, which looks
        // at the zone file each time; the zone's offset known for the
        // stretch of time does the same far from its transitions.
        const qint64 wall = QDateTime(dt.date(), dt.time(), Qt::UTC).toMSecsSinceEpoch();
        if (!t_localZone.utcOf(wall, &ms)) {
            ms = dt.toMSecsSinceEpoch();
            t_localZone.learn(ms);
        }
    } else {
        ms = dt.toMSecsSinceEpoch();
    }
    const qint64 secs = ms / 1000;
    if (secs < 0 || secs > qint64(std::numeric_limits<quint32>::max()))
        return std::numeric_limits<quint32>::max();
    return quint32(secs);
}

bool compareLineMsgAsc(const _LineMsg* a, const _LineMsg* b)
{
    const quint32 sa = dtToUnixSecs32(a->ts);
    const quint32 sb = dtToUnixSecs32(b->ts);
    if (sa != sb)
        return sa < sb;
    return a->id < b->id;
}

bool compareLineMsgDesc(const _LineMsg* a, const _LineMsg* b)
{
    return compareLineMsgAsc(b, a);
}

bool compareLineChatAsc(const _LineChat* a, const _LineChat* b)
{
    return a->lastTs > b->lastTs;
}
