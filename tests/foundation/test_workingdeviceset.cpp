#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/workingdevicelocker.h"
#include "foundation/workingdeviceset.h"

namespace {

// The first of two jobs on one device to finish must not free it, whichever
// threads they run on.
TEST(WorkingDeviceSet, ConcurrentLockersKeepADeviceBusyUntilTheLastOneEnds)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    auto first = std::make_unique<WorkingDeviceLocker>("udid-1", QStringLiteral("backup"));
    {
        WorkingDeviceLocker second("udid-1", QStringLiteral("restore"));
        first.reset();
        EXPECT_EQ(reg->get("udid-1"), QVariant(QStringLiteral("restore")));
    }
    EXPECT_FALSE(reg->contains("udid-1"));

    std::atomic<int> sawMissing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, reg, &sawMissing] {
            for (int i = 0; i < 500; ++i) {
                WorkingDeviceLocker shared("shared", t);
                WorkingDeviceLocker own(QString::number(t), i);
                if (!reg->contains("shared") || reg->get(QString::number(t)) != QVariant(i))
                    ++sawMissing;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(sawMissing.load(), 0);
    EXPECT_FALSE(reg->contains("shared") || reg->contains("0"));
    EXPECT_EQ(thread_sleep(-1), 0u); // not an almost endless unsigned sleep
}

} // namespace
