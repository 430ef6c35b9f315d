// The device layer against the simulated iPhone, through the real
// libimobiledevice client code.
#include <QObject>
#include <gtest/gtest.h>

#include "device/idevice.h"
#include "device/mobiledevice.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"

namespace {

const QString kUdid = "00008030-001A2B3C4D5E6F70";
const QString kOther = "0123456789abcdef0123456789abcdef01234567";

TEST(DevicePairing, TrustedPhonesPairOnceAndFailuresKeepTheirHistory)
{
    struct Case
    {
        const char* name;
        bool attached, network, paired;
        SimDevice::Trust trust;
        QList<SimFault> faults;
        bool result, pairAsked;
        QString detail;
    };
    const Case cases[] = {
        {"absent", false, false, true, SimDevice::Trusted, {}, false, false, "No device found."},
        {"network only", true, true, true, SimDevice::Trusted, {}, false, false, "No device found."},
        {"already trusted", true, false, true, SimDevice::Trusted, {}, true, false, ""},
        {"trusted on first ask", true, false, false, SimDevice::Trusted, {}, true, true, ""},
        {"dialog pending", true, false, false, SimDevice::Pending, {}, false, true, ""},
        {"declined", true, false, false, SimDevice::Declined, {}, false, true, ""},
        {"unplugged in the handshake", true, false, true, SimDevice::Trusted, {{SimFault::Unplug, "lockdown", 1}},
         false, false, "Could not connect to lockdownd, error code -8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimIPhone sim;
        SimDevice phone(kUdid);
        phone.network = c.network;
        phone.paired = c.paired;
        phone.trust = c.trust;
        phone.faults = c.faults;
        if (c.attached)
            sim.attach(phone);
        mobiledevice_pair pairing(kUdid);
        EXPECT_EQ(pairing.pair(), c.result);
        EXPECT_EQ(sim.requests().contains("lockdown:Pair"), c.pairAsked);
        EXPECT_EQ(sim.requests().contains("usbmuxd:SavePairRecord"), c.result && c.pairAsked);
        if (c.result)
            continue;
        const QString first = pairing.errorText();
        EXPECT_TRUE(first.startsWith("Please launch iTunes")) << first.toStdString();
        EXPECT_TRUE(first.endsWith("<br/><br/>Error detail: " + c.detail)) << first.toStdString();
        if (c.detail.isEmpty()) { // a second failure without a detail of its own tells the first one
            EXPECT_FALSE(pairing.pair());
            EXPECT_TRUE(pairing.errorText().endsWith("Error detail: " + first)) << pairing.errorText().toStdString();
        }
    }
}

TEST(DevicePairing, TheDialogAnsweredBetweenTwoTriesPairsOnTheSameObject)
{
    SimIPhone sim;
    SimDevice phone(kUdid);
    phone.paired = false;
    phone.trust = SimDevice::Pending;
    sim.attach(phone);
    mobiledevice_pair pairing(kUdid);
    EXPECT_FALSE(pairing.pair());
    sim.edit(kUdid, [](SimDevice& d) { d.trust = SimDevice::Trusted; });
    EXPECT_TRUE(pairing.pair());
    iDevice device(kUdid);
    EXPECT_TRUE(device.open()); // the record made by pairing opens sessions
}

TEST(DeviceEvents, OnlyUsbDevicesWithPlainUdidsAreSignalledAndCounted)
{
    SimIPhone sim;
    sim.attach(SimDevice(kUdid)); // reported when listening starts
    MobiledeviceSubscribe watcher;
    QObject receiver;
    QStringList seen;
    QObject::connect(&watcher, &MobiledeviceSubscribe::newDevice, &receiver, [&](QString u) { seen << "+" + u; });
    QObject::connect(&watcher, &MobiledeviceSubscribe::kickDevice, &receiver, [&](QString u) { seen << "-" + u; });
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(spinUntil([&] { return seen.size() == 1; }));

    SimDevice network(kOther), hostile("../../x"), fresh(kOther.toUpper());
    network.network = true;
    fresh.paired = false;
    sim.attach(network);
    sim.attach(hostile);
    sim.attach(fresh);
    EXPECT_TRUE(mobiledevice_pair(fresh.udid).pair()); // the phone's "paired" event
    sim.detach(kUdid);
    sim.detach(hostile.udid);
    sim.detach(network.udid);
    sim.attach(SimDevice("e0d"));
    ASSERT_TRUE(spinUntil([&] { return seen.size() >= 4; }));
    EXPECT_EQ(seen, QStringList({"+" + kUdid, "+" + fresh.udid, "-" + kUdid, "+e0d"}));
    EXPECT_EQ(watcher.count(), 2);
    watcher.stop();
}

TEST(LockdownValues, DomainsKeysAndWritesNeedAnOpenClient)
{
    SimIPhone sim;
    SimDevice phone(kUdid);
    phone.set("com.apple.mobile.backup", "WillEncrypt", PlistCFType::createCFBoolean(true));
    phone.faults = {{SimFault::Slow, "lockdown", 4, 30}};
    sim.attach(phone);

    EXPECT_EQ(mobiledevice_info(kUdid, "", "DeviceName").CFStringQString(), "Sim iPhone");
    EXPECT_EQ(mobiledevice_info(kUdid, "", "").get("ProductVersion").CFStringQString(), "12.4");
    EXPECT_TRUE(mobiledevice_info(kUdid, "com.apple.mobile.backup", "").get("WillEncrypt").CFNumberBool());
    EXPECT_TRUE(mobiledevice_info(kUdid, "", "NoSuchKey").isNull());
    EXPECT_TRUE(mobiledevice_info(kOther, "", "").isNull());

    const PlistCFType no = PlistCFType::createCFBoolean(false);
    EXPECT_TRUE(mobiledevice_set(kUdid, "com.apple.mobile.backup", "WillEncrypt", no));
    EXPECT_FALSE(mobiledevice_info(kUdid, "com.apple.mobile.backup", "WillEncrypt").CFNumberBool(true));
    EXPECT_FALSE(mobiledevice_set(kOther, "", "DeviceName", no));

    iDevice withoutClient(kUdid);
    ASSERT_EQ(withoutClient.newDevice(), 0);
    const int asked = sim.requests().size();
    EXPECT_FALSE(mobiledevice_set(&withoutClient, "", "DeviceName", no));
    EXPECT_FALSE(mobiledevice_set(nullptr, "", "DeviceName", no));
    EXPECT_EQ(sim.requests().size(), asked);
}

} // namespace
