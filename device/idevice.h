#pragma once

#include <QString>

struct idevice_private;
struct lockdownd_client_private;

// The label every lockdown and installation-proxy client of the program
// opens with.
extern const char* const kLockdownLabel;

// True for a text that can be a device UDID: 1 to 64 characters, each a
// hexadecimal digit or '-'. A UDID from a device or the usbmuxd socket names
// folders (cache, backup), so anything else must never become a path.
bool isValidUdid(const QString& udid);

// Lockdown's session is TLS (so is a service that asks for it), and OpenSSL
// writes to the socket without MSG_NOSIGNAL: a phone unplugged meanwhile
// would end the whole program with SIGPIPE at the next write, freeing a
// lockdown client included (it stops the session). With the signal ignored
// that write fails, as every caller already expects of a phone that has
// gone. Called before each device is opened; a handler of the program's own
// stays.
void ignoreBrokenPipes();

// One device handle of the USB multiplexer and its lockdown client, both
// freed by the destructor (client first). Each user makes one per operation.
// The calls return libimobiledevice's codes, 0 meaning success.
class iDevice
{
public:
    explicit iDevice(const QString& udid);
    ~iDevice();
    iDevice(const iDevice&) = delete;
    iDevice& operator=(const iDevice&) = delete;

    // Looks the UDID up among devices on the USB multiplexer only, so a
    // device reached over the network is never used.
    int newDevice();
    // A lockdown client with the pairing handshake and a session: needs a
    // computer the phone trusts.
    int lockdowndWithHandshake();
    // A plain lockdown client, without handshake.
    int lockdown();
    // newDevice() then lockdowndWithHandshake(); true when both succeed.
    bool open();

    const QString& udid() const { return m_udid; }
    // Null until the calls above succeed; owned by this object.
    idevice_private* device() const { return m_device; }
    lockdownd_client_private* client() const { return m_client; }

private:
    void freeClient();

    QString m_udid;
    idevice_private* m_device = nullptr;
    lockdownd_client_private* m_client = nullptr;
};
