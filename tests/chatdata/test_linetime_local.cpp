// Local times made and read without the C library's zone look-up must agree
// with Qt's own local times everywhere, across daylight-saving changes too.
#include "chatdata/linetime.h"
#include "tests/support/gtest_qt.h"

#include <gtest/gtest.h>

#include <time.h>

namespace {

class ZoneScope
{
public:
    explicit ZoneScope(const char* zone) : m_old(qgetenv("TZ")), m_had(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneScope()
    {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray m_old;
    bool m_had;
};

// Qt's own answer: a wall-clock time the zone skips is invalid.
quint32 qtSecs(const QDateTime& dt)
{
    return dt.isValid() ? quint32(dt.toSecsSinceEpoch()) : 4294967295u;
}

TEST(LineTimeLocal, AgreesWithQtAcrossZoneTransitions)
{
    // Berlin and Sydney change twice a year, Tokyo never; UTC last, so that a
    // cache kept from an earlier zone would show.
    for (const char* zone : {"Europe/Berlin", "Australia/Sydney", "Asia/Tokyo", "UTC"}) {
        ZoneScope scope(zone);
        SCOPED_TRACE(zone);
        // Every half hour over the weeks around the 2021 transitions of both
        // hemispheres, and a stretch far from them.
        for (const qint64 start : {1616200000000LL, 1633000000000LL, 1635300000000LL, 1700000000000LL}) {
            for (qint64 ms = start; ms < start + 7 * 86400000LL; ms += 1800000 + 7) {
                const QDateTime qt = QDateTime::fromMSecsSinceEpoch(ms);
                const QDateTime ours = localDateTimeFromMSecs(ms);
                ASSERT_EQ(ours.toMSecsSinceEpoch(), ms);
                ASSERT_EQ(ours.date(), qt.date()) << ms;
                ASSERT_EQ(ours.time(), qt.time()) << ms;
                ASSERT_EQ(dtToUnixSecs32(qt), qtSecs(qt)) << ms;
                // A wall-clock time the zone skips or repeats reads as Qt reads it.
                const QDateTime wall(qt.date(), qt.time().addSecs(1800), Qt::LocalTime);
                ASSERT_EQ(dtToUnixSecs32(wall), qtSecs(wall)) << ms;
            }
        }
    }
}

} // namespace
