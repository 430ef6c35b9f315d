#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/workingdevicelocker.h"
#include "foundation/workingdeviceset.h"

namespace {

TEST(WorkingDeviceSetTest, UnknownKeyGivesInvalidVariantAndRemovingItIsHarmless)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    ASSERT_EQ(reg, WorkingDeviceSet::instance());
    EXPECT_FALSE(reg->contains("never-set"));
    const QVariant v = reg->get("never-set");
    EXPECT_FALSE(v.isValid());
    EXPECT_TRUE(v.isNull());
    reg->remove("never-set");
    EXPECT_FALSE(reg->contains("never-set"));

    // An empty text is a value like any other, not "unregistered".
    reg->set("empty-value", QString());
    EXPECT_TRUE(reg->contains("empty-value"));
    EXPECT_TRUE(reg->get("empty-value").isValid());
    reg->remove("empty-value");
    EXPECT_FALSE(reg->get("empty-value").isValid());
}

TEST(WorkingDeviceSetTest, KeysCompareCaseSensitively)
{
    WorkingDeviceLocker lock("udid-ABC", 1);
    EXPECT_TRUE(WorkingDeviceSet::instance()->contains("udid-ABC"));
    EXPECT_FALSE(WorkingDeviceSet::instance()->contains("udid-abc"));
}

// Two jobs on one device: the first to finish must not free the device while
// the other still works on it.
TEST(WorkingDeviceSetTest, OverlappingLockersKeepTheDeviceBusyUntilTheLastOneEnds)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    auto first = std::make_unique<WorkingDeviceLocker>("udid-1", QStringLiteral("backup"));
    EXPECT_EQ(reg->get("udid-1"), QVariant(QStringLiteral("backup")));
    {
        WorkingDeviceLocker second("udid-1", QStringLiteral("restore"));
        EXPECT_EQ(reg->get("udid-1"), QVariant(QStringLiteral("restore")));
        first.reset();
        EXPECT_TRUE(reg->contains("udid-1"));
        EXPECT_EQ(reg->get("udid-1"), QVariant(QStringLiteral("restore")));
    }
    EXPECT_FALSE(reg->contains("udid-1"));
    EXPECT_FALSE(reg->get("udid-1").isValid());
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
                // While this thread holds its lockers, both keys must be there
                // whatever the other threads do.
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
    // A negative count must not turn into an almost endless unsigned sleep.
    EXPECT_EQ(thread_sleep(-1), 0u);
}

} // namespace
