#pragma once

#include <QString>
#include <QVariant>

// Registers a device key in the WorkingDeviceSet for the lifetime of one
// object, so that other code can see that the device is busy.
class WorkingDeviceLocker
{
public:
    WorkingDeviceLocker(const QString& key, const QVariant& value);
    ~WorkingDeviceLocker();
    WorkingDeviceLocker(const WorkingDeviceLocker&) = delete;
    WorkingDeviceLocker& operator=(const WorkingDeviceLocker&) = delete;

private:
    QString key;
};
