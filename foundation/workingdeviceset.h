#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QVariant>

// Process-wide registry of the devices that some job is working on, usable
// from any thread. Registrations are counted per key: every set() is paired
// with one remove(), and a key stays registered until its last user removes
// it, so one job ending never frees a device that another job still uses.
class WorkingDeviceSet
{
public:
    // Created on first use (thread-safe) and kept until the process exits.
    static WorkingDeviceSet* instance();

    // Registers one more user of key; the value replaces the earlier one.
    void set(const QString& key, const QVariant& value);
    // An invalid QVariant when key is not registered.
    QVariant get(const QString& key) const;
    // Drops one user of key; the key goes when its last user is gone.
    // Nothing happens for a key that is not registered.
    void remove(const QString& key);
    bool contains(const QString& key) const;

    WorkingDeviceSet() = default;
    WorkingDeviceSet(const WorkingDeviceSet&) = delete;
    WorkingDeviceSet& operator=(const WorkingDeviceSet&) = delete;

private:
    struct Entry
    {
        QVariant value;
        int users = 0;
    };
    QHash<QString, Entry> map;
    mutable QMutex mutex;
};

// Suspends the calling thread for whole seconds; returns the seconds left
// unslept when a signal cut the sleep short (0 otherwise). A negative count
// does not sleep.
unsigned int thread_sleep(int seconds);
