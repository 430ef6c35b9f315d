#pragma once

#include <QObject>
#include <QString>

#include <atomic>

#include <libimobiledevice/libimobiledevice.h>

#include "foundation/plistcftype.h"

class iDevice;

// Makes sure this computer is trusted by the phone with the given UDID.
class mobiledevice_pair
{
public:
    explicit mobiledevice_pair(const QString& udid);

    // True when the phone trusts this computer, after pairing with it when
    // it did not yet. On false errorText() tells the user what to do; a
    // failure that brings no detail of its own keeps the earlier text as its
    // detail, so retries on one object pile up their history.
    bool pair();
    const QString& errorText() const { return m_error; }

private:
    QString m_udid;
    QString m_error;
};

// Turns the device library's plug and unplug events into signals. The
// subscription is process-wide: only one object may be started at a time.
class MobiledeviceSubscribe : public QObject
{
    Q_OBJECT
public:
    explicit MobiledeviceSubscribe(QObject* parent = nullptr);
    ~MobiledeviceSubscribe() override;

    // Resets the count and subscribes; false when the library refuses.
    bool start();
    void stop();

    // Run on the library's event thread: they change the count and emit.
    void invokeNewDevice(const QString& udid);
    void invokeKickDevice(const QString& udid);
    // Devices added minus devices removed since start().
    int count() const { return m_count; }

    // The callback handed to the library; user is the MobiledeviceSubscribe.
    // Only USB devices with a plain UDID are reported; network devices and
    // "paired" events are not.
    static void subscribe(const idevice_event_t* event, void* user);

signals:
    void newDevice(QString udid);
    void kickDevice(QString udid);

private:
    std::atomic<int> m_count{0};
    bool m_started = false;
};

// One lockdown value of a device whose lockdown client is open: an empty key
// gives the whole domain as a dictionary, an empty domain and key all
// top-level values. A value without a node when the device does not answer.
PlistCFType mobiledevice_info(iDevice* device, const QString& domain, const QString& key);
// The same over a connection made (with the handshake) for this call only.
PlistCFType mobiledevice_info(const QString& udid, const QString& domain, const QString& key);

// Writes a copy of value; false without an open lockdown client, for a value
// without a node, or when the device refuses.
bool mobiledevice_set(iDevice* device, const QString& domain, const QString& key, const PlistCFType& value);
bool mobiledevice_set(const QString& udid, const QString& domain, const QString& key, const PlistCFType& value);
