#pragma once

#include <QMutex>

// The process-wide try-lock that keeps printing, exporting and searching
// from overlapping. It never blocks: an operation whose locker has `locked`
// false returns at once. The mutex is not recursive, so a second operation on
// the same thread fails the try-lock instead of deadlocking.
class OperationLocker
{
public:
    OperationLocker();
    ~OperationLocker();
    OperationLocker(const OperationLocker&) = delete;
    OperationLocker& operator=(const OperationLocker&) = delete;

    static QMutex& mutex();

    const bool locked;
};
