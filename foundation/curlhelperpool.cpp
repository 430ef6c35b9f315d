#include "foundation/curlhelperpool.h"

#include <QMutexLocker>

CURLHelperPool::CURLHelperPool(int size) : size(qMax(1, size)), semaphore(this->size) {}

QSharedPointer<CURLHelper> CURLHelperPool::acquire()
{
    semaphore.acquire();
    QMutexLocker lock(&mutex);
    if (freeList.isEmpty())
        freeList.append(QSharedPointer<CURLHelper>::create());
    return freeList.takeFirst();
}

void CURLHelperPool::release(const QSharedPointer<CURLHelper>& client)
{
    {
        QMutexLocker lock(&mutex);
        // A second release of one client would let two threads share it.
        if (!client || freeList.contains(client))
            return;
        freeList.append(client);
    }
    semaphore.release();
}
