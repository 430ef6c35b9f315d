// The phone's installation proxy: Browse lists the user apps of the
// description with their data and group containers, in one batch.
#include "tests/support/simiphone.h"

void simInstProxy(SimLink& link)
{
    const auto str = PlistCFType::createCFString;
    for (PlistCFType message; !(message = link.readPlist()).isNull();) {
        const QString command = message.get("Command").CFStringQString();
        link.note(command + ' ' + message.get("ClientOptions").get("ApplicationType").CFStringQString());
        PlistCFType apps = PlistCFType::createCFArray();
        link.sim.mutex.lock();
        for (const SimApp& app : link.dev->apps) {
            PlistCFType groups = PlistCFType::createCFDictionary();
            for (auto g = app.groups.cbegin(); g != app.groups.cend(); ++g)
                groups.put(g.key(), str("/private/var/mobile/Containers/Shared/AppGroup/" + g.value()));
            apps.append(PlistCFType::createCFDictionary()
                            .put("CFBundleIdentifier", str(app.bundleId))
                            .put("Container", str("/private/var/mobile/Containers/Data/Application/" + app.container))
                            .put("GroupContainers", groups));
        }
        link.sim.mutex.unlock();
        const qint64 n = apps.array_size();
        PlistCFType batch = PlistCFType::createCFDictionary();
        if (command == "Browse")
            batch.put("Status", str("BrowsingApplications"))
                .put("CurrentList", apps)
                .put("CurrentAmount", PlistCFType::createCFNumberInt64(n))
                .put("CurrentIndex", PlistCFType::createCFNumberInt64(0))
                .put("Total", PlistCFType::createCFNumberInt64(n));
        else
            batch.put("Error", str("UnknownCommand"));
        if (!link.sendPlist(batch) || !link.sendPlist(PlistCFType::createCFDictionary().put("Status", str("Complete"))))
            return;
    }
}
