#pragma once

#include <QDateTime>
#include <QTimeZone>

#include <chrono>
#include <string>

struct _LineMsg;
struct _LineChat;

// The databases keep time in three scales:
//   dt21: seconds since 2001-01-01 00:00:00 UTC as a double (the LINE
//         store's creation and update times);
//   Unix milliseconds as a signed 64-bit int (the LINE store's messages);
//   Unix seconds as an int (the local database), converted as unsigned
//   32-bit values.
// The two origins are 978307200 seconds apart.

// The local date-time dt21 seconds after 2001, to the whole second; the
// Unix seconds wrap around in unsigned 32-bit arithmetic. Invalid for a
// NaN, an infinity or a value beyond 64-bit integers.
QDateTime dtFromTimestamp(double dt21);
// Truncated toward zero; values beyond the 64-bit range are clamped to it
// and a NaN gives 0.
qint64 unixepochMsecFromDt21(double dt21);
double dt21FromUnixepochMsec(const qint64& msecs);
// secs - 978307200 in signed 32-bit arithmetic (wrapping), so that an
// unsigned time stored as a negative int still lands on its moment.
double dt21FromUnixepochSecs(int secs);

// A date-time as unsigned 32-bit Unix seconds: 4294967295 for an invalid
// time or one outside 1970-01-01 .. 2106-02-07 06:28:15 UTC.
quint32 dtToUnixSecs32(const QDateTime& dt);

// The local zone's offset over the stretch of time around the last moment
// asked for, between two of the zone's transitions, for many conversions in
// a row without asking the C library for the zone, which on glibc costs a
// look at the zone file for every date-time. One that watches reads the zone
// again when TZ changes and at least once a second, as the C library would
// notice a new zone file (each thread keeps one for dtToUnixSecs32); one
// that does not reads it once, when made (for a page of messages).
class LocalZone
{
public:
    explicit LocalZone(bool watch);
    // The local wall-clock time of a moment, as a date-time at the zone's
    // offset for that moment (Qt::OffsetFromUTC): what Qt::LocalTime shows.
    QDateTime dateTime(qint64 msecs);
    // The UTC moment (ms) of a local wall-clock time (ms, counted as if it
    // were UTC), when the stretch known holds it far from both ends, where
    // no other offset of the zone could give the same wall-clock time.
    bool utcOf(qint64 wallMs, qint64* utcMs);
    // Looks up the stretch around a UTC moment (ms).
    void learn(qint64 utcMs);

private:
    // Two days: more than the difference of any two offsets a zone has.
    static constexpr qint64 kMargin = 2 * 86400 * 1000LL;
    // Times beyond a million years are left to Qt.
    static constexpr qint64 kFar = 1000000LL * 366 * 86400 * 1000;

    bool current();

    const bool m_watch;
    QTimeZone m_zone;
    bool m_read = false;
    std::chrono::steady_clock::time_point m_readAt;
    bool m_hasTz = false;
    std::string m_tz;
    qint64 m_from = 1; // nothing known yet
    qint64 m_to = 0;
    int m_offset = 0;
};

// Less-than predicates for sorting arrays of pointers.
// Oldest first by whole Unix seconds (an invalid time after every valid
// one), then by id.
bool compareLineMsgAsc(const _LineMsg* a, const _LineMsg* b);
// The reverse of compareLineMsgAsc.
bool compareLineMsgDesc(const _LineMsg* a, const _LineMsg* b);
// The chat with the newer last message first.
bool compareLineChatAsc(const _LineChat* a, const _LineChat* b);
