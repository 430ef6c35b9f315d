#include "device/idevice.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <csignal>

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

void ignoreBrokenPipes()
{
    static const bool ignored = [] {
        struct sigaction now {};
        return sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_DFL
               && std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    }();
    Q_UNUSED(ignored);
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
    ignoreBrokenPipes();
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
