// The phone's lockdown service: values by domain and key, pairing with the
// trust dialog's answer, sessions without encryption and service start.
#include "tests/support/simiphone.h"

using namespace simpl;

namespace {

// The error name of a refused request, or an empty text after filling answer.
QString answer(SimLink& link, const PlistCFType& message, const QString& request, PlistCFType& answer, bool& session)
{
    QMutexLocker lock(&link.sim.mutex);
    SimDevice& d = *link.dev;
    const QString domain = message.get("Domain").CFStringQString(), key = message.get("Key").CFStringQString();
    const QString name = message.get("Service").CFStringQString();
    const QString host = (request == "StartSession" ? message : message.get("PairRecord")).get("HostID").CFStringQString();
    if (request == "QueryType") {
        answer.put("Type", str("com.apple.mobile.lockdown"));
    } else if (request == "GetValue") {
        const PlistCFType value = key.isEmpty() ? d.values.value(domain) : d.values.value(domain).get(key);
        if (value.isNull())
            return "MissingValue";
        answer.put("Value", PlistCFType::clone(value)); // never hand the phone's own dictionary over
    } else if (request == "SetValue") {
        d.set(domain, key, PlistCFType::clone(message.get("Value")));
    } else if (request == "Pair") {
        if (d.trust != SimDevice::Trusted)
            return d.trust == SimDevice::Pending ? "PairingDialogResponsePending" : "UserDeniedPairing";
        d.hostIds.append(host);
        answer.put("EscrowBag", PlistCFType::createCFData("escrow"));
    } else if (request == "ValidatePair" || request == "StartSession") {
        if (!d.hostIds.contains(host))
            return "InvalidHostID";
        if (request == "StartSession")
            session = true, answer.put("SessionID", str("1")).put("EnableSessionSSL", PlistCFType::createCFBoolean(false));
    } else if (request == "StopSession") {
        session = false;
    } else if (request == "StartService") {
        const SimService* service = SimIPhone::service(name);
        if (!service || !session)
            return !service ? "InvalidService" : "SessionInactive";
        if (std::any_of(d.faults.begin(), d.faults.end(), [&](const SimFault& f) { return f.kind == SimFault::Refuse && f.service == name; }))
            return "ServiceProhibited";
        if (service->needsEscrowBag && !message.get("EscrowBag").isCFData())
            return "EscrowLocked";
        const quint16 port = quint16(49152 + d.ports.size());
        d.ports[port] = name;
        answer.put("Service", str(name)).put("Port", PlistCFType::createCFNumberInt32(port));
    } else if (request != "Goodbye") {
        return "InvalidRequest";
    }
    return QString();
}

} // namespace

void simLockdown(SimLink& link)
{
    bool session = false;
    for (PlistCFType message; !(message = link.readPlist()).isNull();) {
        const QString request = message.get("Request").CFStringQString();
        const QString escrow = message.get("EscrowBag").isCFData() ? " escrow" : "";
        link.note(request == "StartService" ? request + ' ' + message.get("Service").CFStringQString() + escrow : request);
        PlistCFType reply = dict().put("Request", str(request));
        const QString error = answer(link, message, request, reply, session);
        reply.put(error.isEmpty() ? "Result" : "Error", str(error.isEmpty() ? "Success" : error));
        if (!link.sendPlist(reply) || request == "Goodbye")
            return;
    }
}
