// The phone's mobilesync service: the DeviceLink greeting, then sessions of
// the data class "com.apple.Contacts" (others are refused). Records go out in
// the phone's batches, each acknowledged before the next, the last followed
// by "ready to receive"; each batch of changes that comes in is kept and
// answered with new identifiers.
#include "tests/support/simiphone.h"

using namespace simpl;

namespace {

// Items are copied, so one value can go into several messages.
PlistCFType array(const QList<PlistCFType>& items)
{
    PlistCFType out = PlistCFType::createCFArray();
    for (const PlistCFType& item : items)
        out.append(item.isNull() ? str("___EmptyParameterString___") : PlistCFType::clone(item));
    return out;
}

QString nameOf(const PlistCFType& message) { return message.at(0).CFStringQString(); }

} // namespace

void simMobileSync(SimLink& link)
{
    if (!link.sendPlist(array({str("DLMessageVersionExchange"), num(300), num(100)}))
        || link.readPlist().at(1).CFStringQString() != "DLVersionsOk" || !link.sendPlist(array({str("DLMessageDeviceReady")})))
        return;
    for (PlistCFType message; !(message = link.readPlist()).isNull();) {
        const QString request = nameOf(message);
        const PlistCFType dataClass = str(message.at(1).CFStringQString());
        link.note(request);
        PlistCFType reply;
        if (request == "DLMessageDisconnect") {
            return;
        } else if (request == "SDMessageSyncDataClassWithDevice" && dataClass.CFStringQString() != "com.apple.Contacts") {
            reply = array({str("SDMessageRefuseToSyncDataClassWithComputer"), dataClass, str("Unknown data class")});
        } else if (request == "SDMessageSyncDataClassWithDevice") {
            reply = array({str("SDMessageSyncDataClassWithComputer"), dataClass, str("device-anchor"), message.at(3),
                           str("SDSyncTypeSlow"), num(106)});
        } else if (request == "SDMessageGetAllRecordsFromDevice" || request == "SDMessageGetChangesFromDevice") {
            link.sim.mutex.lock();
            QList<PlistCFType> batches;
            for (const PlistCFType& batch : link.dev->syncBatches)
                batches.append(PlistCFType::clone(batch)); // not shared with the test's thread
            link.sim.mutex.unlock();
            if (batches.isEmpty())
                batches.append(dict());
            for (int i = 0; i < batches.size(); ++i) {
                const bool more = i + 1 < batches.size();
                const PlistCFType actions = more ? PlistCFType() : dict().put("SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey", PlistCFType::createCFBoolean(true));
                if (!link.sendPlist(array({str("SDMessageProcessChanges"), dataClass, batches[i], PlistCFType::createCFBoolean(more), actions})))
                    return;
                const PlistCFType ack = link.readPlist();
                link.note(nameOf(ack));
                if (nameOf(ack) != "SDMessageAcknowledgeChangesFromDevice")
                    return;
            }
            reply = array({str("SDMessageDeviceReadyToReceiveChanges")});
        } else if (request == "SDMessageProcessChanges") {
            PlistCFType mapping = dict();
            for (const PlistCFType& key : message.at(2).dict_keys())
                mapping.put(key, str("sim-" + key.CFStringQString()));
            QMutexLocker lock(&link.sim.mutex);
            link.dev->syncBatches.append(PlistCFType::clone(message.at(2)));
            reply = array({str("SDMessageRemapRecordIdentifiers"), dataClass, mapping});
        } else if (request == "SDMessageFinishSessionOnDevice") {
            reply = array({str("SDMessageDeviceFinishedSession"), dataClass});
        }
        if (!reply.isNull())
            link.sendPlist(reply); // a host that has left may still have said goodbye
    }
}
