#pragma once

#include <QString>

#include <memory>

#include "foundation/plistcftype.h"

class iDevice;
struct mobilesync_client_private;

// What one mobilesync session syncs: a data class such as
// "com.apple.Contacts" and the two sync anchors (an empty device anchor is
// sent as the library's "no anchor yet").
struct _mobiledevice_sync_ctx
{
    _mobiledevice_sync_ctx(const QString& dataClass, const QString& deviceAnchor, const QString& computerAnchor);

    QString dataClass;
    QString deviceAnchor;
    QString computerAnchor;
};

// One mobilesync client and the device handle it was made on, both released
// by release() or the destructor on every path (the wrappers below never do).
// Every wrapper given a client without a handle does nothing.
struct mobiledevice_sync_client
{
    mobiledevice_sync_client();
    ~mobiledevice_sync_client();
    mobiledevice_sync_client(const mobiledevice_sync_client&) = delete;
    mobiledevice_sync_client& operator=(const mobiledevice_sync_client&) = delete;

    // Cancels a session still open, says goodbye to the phone and frees the
    // client, then the device handle.
    void release();

    mobilesync_client_private* client = nullptr;
    std::unique_ptr<iDevice> device;
};

// A session is: start, then either receiving (recv_all_records, then
// record_next until it returns false) or sending (send_to_device, then
// send_throw per batch, the last one flagged), then send_finish. Each wrapper
// throws std::runtime_error with the library's code when its call fails.

// Opens the device and starts the session; a client held before is released
// first, and so is the new one when the session does not start.
void mobiledevice_sync_start_throw(const QString& udid, const _mobiledevice_sync_ctx& ctx, mobiledevice_sync_client& client);
void mobiledevice_sync_start_recv_all_records_throw(mobiledevice_sync_client& client);
// Turns the session towards the phone. The public library does so only once
// the phone has handed over its own changes: they are taken and acknowledged
// unread first.
void mobiledevice_sync_start_send_to_device_throw(mobiledevice_sync_client& client);
// Takes the next batch of the phone's records (and its actions, when asked
// for) and acknowledges it; true while more batches follow.
bool mobiledevice_sync_record_next_throw(mobiledevice_sync_client& client, PlistCFType& entities, PlistCFType* actions);
// Sends a batch of changes and returns the phone's mapping of the record
// identifiers it was given to its own.
PlistCFType mobiledevice_sync_send_throw(mobiledevice_sync_client& client, PlistCFType entities, bool isLastRecord,
                                         PlistCFType actions);
void mobiledevice_sync_send_finish_throw(mobiledevice_sync_client& client);
// Writes { "DisableTethered": disable } as `key` of the phone's tethered-sync
// settings; false when the phone cannot be reached or refuses. Never throws.
bool mobiledevice_sync_set_tethered_throw(const QString& udid, const QString& key, bool disable);
