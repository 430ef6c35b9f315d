#include "foundation/workingdevicelocker.h"

#include "foundation/workingdeviceset.h"

WorkingDeviceLocker::WorkingDeviceLocker(const QString& key, const QVariant& value) : key(key)
{
    WorkingDeviceSet::instance()->set(key, value);
}

WorkingDeviceLocker::~WorkingDeviceLocker()
{
    WorkingDeviceSet::instance()->remove(key);
}
