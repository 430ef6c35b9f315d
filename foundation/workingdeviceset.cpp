#include "foundation/workingdeviceset.h"

#include <QMutexLocker>
#include <QSharedPointer>

#include <unistd.h>

WorkingDeviceSet* WorkingDeviceSet::instance()
{
    static const QSharedPointer<WorkingDeviceSet> registry(new WorkingDeviceSet);
    return registry.data();
}

void WorkingDeviceSet::set(const QString& key, const QVariant& value)
{
    QMutexLocker lock(&mutex);
    Entry& e = map[key];
    e.value = value;
    ++e.users;
}

QVariant WorkingDeviceSet::get(const QString& key) const
{
    QMutexLocker lock(&mutex);
    const auto it = map.constFind(key);
    return it == map.constEnd() ? QVariant() : it->value;
}

void WorkingDeviceSet::remove(const QString& key)
{
    QMutexLocker lock(&mutex);
    const auto it = map.find(key);
    if (it != map.end() && --it->users <= 0)
        map.erase(it);
}

bool WorkingDeviceSet::contains(const QString& key) const
{
    QMutexLocker lock(&mutex);
    return map.contains(key);
}

unsigned int thread_sleep(int seconds)
{
    return seconds > 0 ? ::sleep(static_cast<unsigned int>(seconds)) : 0;
}
