#include "foundation/operationlocker.h"

OperationLocker::OperationLocker()
    : locked(mutex().tryLock())
{
}

OperationLocker::~OperationLocker()
{
    if (locked)
        mutex().unlock();
}

QMutex& OperationLocker::mutex()
{
    static QMutex m;
    return m;
}
