#include "chatdata/linetime.h"

#include <cmath>
#include <limits>

#include "chatdata/linemsg.h"

namespace {

const qint64 kDt21Origin = 978307200;

// 2^63 as a double: the first value a qint64 cannot hold.
const double kInt64Bound = 9223372036854775808.0;

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

quint32 dtToUnixSecs32(const QDateTime& dt)
{
    if (!dt.isValid())
        return std::numeric_limits<quint32>::max();
    const qint64 secs = dt.toSecsSinceEpoch();
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
