#include "device/mobiledevice_sync.h"

#include <libimobiledevice/mobilesync.h>

#include <cstdlib>
#include <stdexcept>

#include "device/idevice.h"
#include "device/mobiledevice.h"

namespace {

// The computer's version of every data class it syncs.
constexpr uint64_t kComputerDataClassVersion = 106;

void check(int code, const char* text)
{
    if (code != MOBILESYNC_E_SUCCESS)
        throw std::runtime_error(QString::fromLatin1(text).arg(code).toStdString());
}

// Stands in for the ready-to-send call that only a private build of
// libimobiledevice exports, which turns the client towards the device without
// waiting for the device to say it is ready. The public call turns it only on
// the device's "ready to receive" message, and a phone sends that once the
// computer has taken its own changes; so they are asked for and acknowledged
// unread here first. A session that has already taken them (receiving, then
// sending) would ask twice: sessions do one or the other.
int mobilesync_ready_to_send_changes_from_computer_nocheck(mobilesync_client_t client)
{
    int code = mobilesync_get_changes_from_device(client);
    for (uint8_t last = 0; code == MOBILESYNC_E_SUCCESS && !last;) {
        plist_t entities = nullptr;
        code = mobilesync_receive_changes(client, &entities, &last, nullptr);
        PlistCFType dropped(entities, true);
        if (code == MOBILESYNC_E_SUCCESS)
            code = mobilesync_acknowledge_changes_from_device(client);
    }
    return code == MOBILESYNC_E_SUCCESS ? mobilesync_ready_to_send_changes_from_computer(client) : code;
}

} // namespace

_mobiledevice_sync_ctx::_mobiledevice_sync_ctx(const QString& dataClass, const QString& deviceAnchor,
                                               const QString& computerAnchor)
    : dataClass(dataClass)
    , deviceAnchor(deviceAnchor)
    , computerAnchor(computerAnchor)
{
}

mobiledevice_sync_client::mobiledevice_sync_client() = default;

mobiledevice_sync_client::~mobiledevice_sync_client()
{
    release();
}

void mobiledevice_sync_client::release()
{
    // A session still open is cancelled on the phone; that also frees the
    // library's copy of the data class, which its client release forgets
    // (without a session the call does nothing). The client's connection
    // was made on the device handle: the client goes first.
    if (client) {
        mobilesync_cancel(client, "Session released by the computer");
        mobilesync_client_free(client);
    }
    client = nullptr;
    device.reset();
}

void mobiledevice_sync_start_throw(const QString& udid, const _mobiledevice_sync_ctx& ctx, mobiledevice_sync_client& client)
{
    client.release();
    auto device = std::make_unique<iDevice>(udid);
    check(device->newDevice(), "mobiledevice_sync_start_throw: open device failed. return %1.");
    mobilesync_client_t handle = nullptr;
    check(mobilesync_client_start_service(device->device(), &handle, kLockdownLabel),
          "mobiledevice_sync_start_throw: start service failed. return %1.");
    client.client = handle;
    client.device = std::move(device);

    const QByteArray deviceAnchor = ctx.deviceAnchor.toUtf8(), computerAnchor = ctx.computerAnchor.toUtf8();
    mobilesync_anchors_t anchors =
        mobilesync_anchors_new(deviceAnchor.isEmpty() ? nullptr : deviceAnchor.constData(), computerAnchor.constData());
    mobilesync_sync_type_t type = MOBILESYNC_SYNC_TYPE_FAST;
    uint64_t deviceVersion = 0;
    char* description = nullptr;
    const int code = mobilesync_start(handle, ctx.dataClass.toUtf8().constData(), anchors, kComputerDataClassVersion,
                                      &type, &deviceVersion, &description);
    mobilesync_anchors_free(anchors);
    const QString detail = QString::fromUtf8(description);
    free(description);
    if (code == MOBILESYNC_E_SUCCESS)
        return;
    client.release();
    throw std::runtime_error(
        QStringLiteral("mobiledevice_sync_start_throw: start failed. return %1. %2").arg(QString::number(code), detail).toStdString());
}

void mobiledevice_sync_start_recv_all_records_throw(mobiledevice_sync_client& client)
{
    if (client.client)
        check(mobilesync_get_all_records_from_device(client.client), "mobilesync_get_all_records_from_device failed. return %1.");
}

void mobiledevice_sync_start_send_to_device_throw(mobiledevice_sync_client& client)
{
    if (client.client)
        check(mobilesync_ready_to_send_changes_from_computer_nocheck(client.client),
              "mobilesync_ready_to_send_changes_from_computer failed. return %1.");
}

bool mobiledevice_sync_record_next_throw(mobiledevice_sync_client& client, PlistCFType& entities, PlistCFType* actions)
{
    if (!client.client)
        return false;
    plist_t received = nullptr, receivedActions = nullptr;
    uint8_t last = 0;
    const int code = mobilesync_receive_changes(client.client, &received, &last, actions ? &receivedActions : nullptr);
    entities = PlistCFType(received, true);
    if (actions)
        *actions = PlistCFType(receivedActions, true);
    check(code, "mobilesync_receive_changes failed. return %1.");
    check(mobilesync_acknowledge_changes_from_device(client.client), "mobilesync_acknowledge_changes_from_device failed. return %1.");
    return !last;
}

PlistCFType mobiledevice_sync_send_throw(mobiledevice_sync_client& client, PlistCFType entities, bool isLastRecord,
                                         PlistCFType actions)
{
    if (!client.client)
        return PlistCFType();
    check(mobilesync_send_changes(client.client, entities.ref(), isLastRecord ? 1 : 0, actions.ref()),
          "mobilesync_send_changes failed. return %1.");
    plist_t mapping = nullptr;
    const int code = mobilesync_remap_identifiers(client.client, &mapping);
    PlistCFType result(mapping, true);
    check(code, "mobilesync_remap_identifiers failed. return %1.");
    return result;
}

void mobiledevice_sync_send_finish_throw(mobiledevice_sync_client& client)
{
    if (client.client)
        check(mobilesync_finish(client.client), "mobilesync_finish failed. return %1.");
}

bool mobiledevice_sync_set_tethered_throw(const QString& udid, const QString& key, bool disable)
{
    PlistCFType settings = PlistCFType::createCFDictionary();
    settings.put(QStringLiteral("DisableTethered"), PlistCFType::createCFBoolean(disable));
    return mobiledevice_set(udid, QStringLiteral("com.apple.mobile.tethered_sync"), key, settings);
}
