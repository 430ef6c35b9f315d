#include "device/mobiledevice.h"

#include <libimobiledevice/lockdown.h>

#include "device/idevice.h"

mobiledevice_pair::mobiledevice_pair(const QString& udid) : m_udid(udid) {}

bool mobiledevice_pair::pair()
{
    iDevice device(m_udid);
    if (device.newDevice() != 0) {
        m_error = "No device found.";
    } else if (device.lockdowndWithHandshake() == 0) {
        return true;
    } else if (const int code = device.lockdown()) {
        m_error = QString::asprintf("Could not connect to lockdownd, error code %d\n", code);
    } else if (lockdownd_pair(device.client(), nullptr) == 0) {
        return true;
    }
    // One arg() call for both, so a '%' in either text is never read as a marker.
    m_error = QString("%1<br/><br/>Error detail: %2")
                  .arg(QObject::tr("Please launch iTunes (Finder if MacOS 10.15 or above) first and then re-connect your "
                                   "iPhone. Once your iPhone is visible in iTunes (Finder if MacOS 10.15 or above), "
                                   "please restart Marrowquist software."),
                       m_error);
    return false;
}

MobiledeviceSubscribe::MobiledeviceSubscribe(QObject* parent) : QObject(parent) {}

MobiledeviceSubscribe::~MobiledeviceSubscribe()
{
    stop();
}

bool MobiledeviceSubscribe::start()
{
    stop();
    m_count = 0;
    m_started = idevice_event_subscribe(&MobiledeviceSubscribe::subscribe, this) == IDEVICE_E_SUCCESS;
    return m_started;
}

void MobiledeviceSubscribe::stop()
{
    // Only the started object ends the process-wide subscription; once this
    // returns the library's event thread has ended, so no callback is left
    // that could reach a destroyed object.
    if (m_started)
        idevice_event_unsubscribe();
    m_started = false;
}

void MobiledeviceSubscribe::invokeNewDevice(const QString& udid)
{
    ++m_count;
    emit newDevice(udid);
}

void MobiledeviceSubscribe::invokeKickDevice(const QString& udid)
{
    --m_count;
    emit kickDevice(udid);
}

void MobiledeviceSubscribe::subscribe(const idevice_event_t* event, void* user)
{
    if (!event || !user || !event->udid || event->conn_type != CONNECTION_USBMUXD)
        return;
    const QString udid = QString::fromLatin1(event->udid);
    if (!isValidUdid(udid))
        return;
    auto* self = static_cast<MobiledeviceSubscribe*>(user);
    if (event->event == IDEVICE_DEVICE_ADD)
        self->invokeNewDevice(udid);
    else if (event->event == IDEVICE_DEVICE_REMOVE)
        self->invokeKickDevice(udid);
}

PlistCFType mobiledevice_info(iDevice* device, const QString& domain, const QString& key)
{
    if (!device || !device->client())
        return PlistCFType();
    const QByteArray d = domain.toUtf8(), k = key.toUtf8();
    plist_t node = nullptr;
    const int code = lockdownd_get_value(device->client(), domain.isEmpty() ? nullptr : d.constData(),
                                         key.isEmpty() ? nullptr : k.constData(), &node);
    PlistCFType value(node, true);
    return code == 0 ? value : PlistCFType();
}

PlistCFType mobiledevice_info(const QString& udid, const QString& domain, const QString& key)
{
    iDevice device(udid);
    return device.open() ? mobiledevice_info(&device, domain, key) : PlistCFType();
}

bool mobiledevice_set(iDevice* device, const QString& domain, const QString& key, const PlistCFType& value)
{
    if (!device || !device->client() || value.isNull())
        return false;
    // The library takes the copy over, also when it fails.
    return lockdownd_set_value(device->client(), domain.toUtf8().constData(), key.toUtf8().constData(),
                               plist_copy(value.ref())) == LOCKDOWN_E_SUCCESS;
}

bool mobiledevice_set(const QString& udid, const QString& domain, const QString& key, const PlistCFType& value)
{
    iDevice device(udid);
    return device.open() && mobiledevice_set(&device, domain, key, value);
}
