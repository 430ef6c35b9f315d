#pragma once

#include <QDateTime>

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

// The local wall-clock time of a moment, as a date-time at the local zone's
// offset for that moment (Qt::OffsetFromUTC): what Qt::LocalTime shows, made
// without asking the C library for the zone, which on glibc costs a look at
// the zone file for every date-time.
QDateTime localDateTimeFromMSecs(qint64 msecs);

// Less-than predicates for sorting arrays of pointers.
// Oldest first by whole Unix seconds (an invalid time after every valid
// one), then by id.
bool compareLineMsgAsc(const _LineMsg* a, const _LineMsg* b);
// The reverse of compareLineMsgAsc.
bool compareLineMsgDesc(const _LineMsg* a, const _LineMsg* b);
// The chat with the newer last message first.
bool compareLineChatAsc(const _LineChat* a, const _LineChat* b);
