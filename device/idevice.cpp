#include "device/idevice.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

const char* const kLockdownLabel = "MARROWQUIST";

bool isValidUdid(const QString& udid)
{
    if (udid.isEmpty() || udid.size() > 64)
        return false;
    for (const QChar c : udid) {
        if (!(c.isDigit() && c.unicode() < 128) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != '-')
            return false;
    }
    return true;
}

iDevice::iDevice(const QString& udid) : m_udid(udid) {}

iDevice::~iDevice()
{
    freeClient();
    if (m_device)
        idevice_free(m_device);
}

void iDevice::freeClient()
{
    if (m_client)
        lockdownd_client_free(m_client);
    m_client = nullptr;
}

int iDevice::newDevice()
{
    freeClient();
    if (m_device)
        idevice_free(m_device);
    m_device = nullptr;
    // Never NULL: the library would take any device for it.
    const QByteArray udid = m_udid.toUtf8();
    return idevice_new_with_options(&m_device, udid.constData(), IDEVICE_LOOKUP_USBMUX);
}

int iDevice::lockdowndWithHandshake()
{
    freeClient();
    return lockdownd_client_new_with_handshake(m_device, &m_client, kLockdownLabel);
}

int iDevice::lockdown()
{
    freeClient();
    return lockdownd_client_new(m_device, &m_client, kLockdownLabel);
}

bool iDevice::open()
{
    return newDevice() == 0 && lockdowndWithHandshake() == 0;
}
