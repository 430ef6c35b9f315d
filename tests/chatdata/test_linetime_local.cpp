// Local times made and read without the C library's zone look-up must agree
// with Qt's own local times everywhere, across daylight-saving changes too.
#include "chatdata/linetime.h"
#include "tests/support/gtest_qt.h"

#include <gtest/gtest.h>

#include <time.h>

namespace {

// Qt's own answer: a wall-clock time the zone skips is invalid.
quint32 qtSecs(const QDateTime& dt)
{
    return dt.isValid() ? quint32(dt.toSecsSinceEpoch()) : 4294967295u;
}

TEST(LineTimeLocal, AgreesWithQtAcrossZoneTransitions)
{
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    const QByteArray oldZone = qgetenv("TZ");
    // UTC last, so that what was kept of an earlier zone would show.
    for (const char* zone : {"Europe/Berlin", "Australia/Sydney", "Asia/Tokyo", "UTC"}) {
        qputenv("TZ", zone);
        tzset();
        SCOPED_TRACE(zone);
        LocalZone page(false);
        // Every half hour around the 2021 changes of both hemispheres.
        for (const qint64 start : {1616200000000LL, 1633000000000LL, 1635300000000LL}) {
            for (qint64 ms = start; ms < start + 7 * 86400000LL; ms += 1800000 + 7) {
                const QDateTime qt = QDateTime::fromMSecsSinceEpoch(ms);
                const QDateTime ours = page.dateTime(ms);
                ASSERT_EQ(ours.toMSecsSinceEpoch(), ms);
                ASSERT_EQ(ours.toString("yyyy-MM-dd HH:mm:ss.zzz"), qt.toString("yyyy-MM-dd HH:mm:ss.zzz"));
                ASSERT_EQ(dtToUnixSecs32(qt), qtSecs(qt)) << ms;
                // Wall-clock times the zone skips or repeats too.
                const QDateTime wall(qt.date(), qt.time().addSecs(1800), Qt::LocalTime);
                ASSERT_EQ(dtToUnixSecs32(wall), qtSecs(wall)) << ms;
            }
        }
    }
    hadZone ? qputenv("TZ", oldZone) : qunsetenv("TZ");
    tzset();
}

} // namespace
