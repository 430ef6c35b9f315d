// The phone's installation proxy: Browse lists the user apps of the
// description with their data and group containers, in one batch.
#include "tests/support/simiphone.h"

using namespace simpl;

void simInstProxy(SimLink& link)
{
    for (PlistCFType message; !(message = link.readPlist()).isNull();) {
        const QString command = message.get("Command").CFStringQString();
        link.note(command + ' ' + message.get("ClientOptions").get("ApplicationType").CFStringQString());
        PlistCFType apps = PlistCFType::createCFArray();
        link.sim.mutex.lock();
        for (const SimApp& app : link.dev->apps) {
            PlistCFType groups = dict();
            for (auto g = app.groups.cbegin(); g != app.groups.cend(); ++g)
                groups.put(g.key(), str("/private/var/mobile/Containers/Shared/AppGroup/" + g.value()));
            apps.append(dict().put("CFBundleIdentifier", str(app.bundleId)).put("GroupContainers", groups)
                            .put("Container", str("/private/var/mobile/Containers/Data/Application/" + app.container)));
        }
        link.sim.mutex.unlock();
        const qint64 n = apps.array_size();
        const PlistCFType batch = command != "Browse" ? dict().put("Error", str("UnknownCommand"))
            : dict().put("Status", str("BrowsingApplications")).put("CurrentList", apps).put("CurrentAmount", num(n))
                  .put("CurrentIndex", num(0)).put("Total", num(n));
        if (!link.sendPlist(batch) || !link.sendPlist(dict().put("Status", str("Complete"))))
            return;
    }
}
