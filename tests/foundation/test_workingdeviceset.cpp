#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/workingdevicelocker.h"
#include "foundation/workingdeviceset.h"

namespace {

TEST(WorkingDeviceSetTest, UnknownKeysAreInvalidAndEmptyValuesAndCaseCount)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    EXPECT_FALSE(reg->get("never-set").isValid());
    reg->remove("never-set");
    // An empty text is a value like any other, not "unregistered".
    reg->set("empty-value", QString());
    EXPECT_TRUE(reg->get("empty-value").isValid());
    reg->remove("empty-value");
    EXPECT_FALSE(reg->contains("empty-value"));

    WorkingDeviceLocker lock("udid-ABC", 1);
    EXPECT_TRUE(reg->contains("udid-ABC"));
    EXPECT_FALSE(reg->contains("udid-abc"));
}

// The first of two jobs on one device to finish must not free it.
TEST(WorkingDeviceSetTest, OverlappingLockersKeepTheDeviceBusyUntilTheLastOneEnds)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    auto first = std::make_unique<WorkingDeviceLocker>("udid-1", QStringLiteral("backup"));
    {
        WorkingDeviceLocker second("udid-1", QStringLiteral("restore"));
        first.reset();
        EXPECT_EQ(reg->get("udid-1"), QVariant(QStringLiteral("restore")));
    }
    EXPECT_FALSE(reg->contains("udid-1"));
}

TEST(WorkingDeviceSetTest, ConcurrentLockersOnSharedAndOwnKeysLeaveNothingBehind)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    std::atomic<int> sawMissing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, reg, &sawMissing] {
            const QString own = QStringLiteral("own-%1").arg(t);
            for (int i = 0; i < 500; ++i) {
                WorkingDeviceLocker shared("shared", t);
                WorkingDeviceLocker mine(own, i);
                if (!reg->contains("shared") || reg->get(own) != QVariant(i))
                    ++sawMissing;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(sawMissing.load(), 0);
    EXPECT_FALSE(reg->contains("shared"));
    for (int t = 0; t < 8; ++t)
        EXPECT_FALSE(reg->contains(QStringLiteral("own-%1").arg(t)));
}

TEST(WorkingDeviceSetTest, ThreadSleepOfZeroOrLessReturnsAtOnce)
{
    EXPECT_EQ(thread_sleep(0), 0u);
    // Not an almost endless unsigned sleep.
    EXPECT_EQ(thread_sleep(-1), 0u);
}

} // namespace
