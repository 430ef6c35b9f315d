#pragma once

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QSharedPointer>

#include "foundation/curlhelper.h"

// Hands out at most `size` clients at once, made when first needed; acquire()
// blocks while all are out. Released clients are handed out again in the
// order they came back, and keep their handle (and its open connections);
// their next request operation clears everything else.
class CURLHelperPool
{
public:
    explicit CURLHelperPool(int size);
    CURLHelperPool(const CURLHelperPool&) = delete;
    CURLHelperPool& operator=(const CURLHelperPool&) = delete;

    QSharedPointer<CURLHelper> acquire();
    // Takes back a client from acquire(); a null client, or one that is
    // already back, is ignored.
    void release(const QSharedPointer<CURLHelper>& client);

private:
    int size;
    QSemaphore semaphore;
    QMutex mutex;
    QList<QSharedPointer<CURLHelper>> freeList;
};
