// Device handles, pairing, plug events and lockdown values against the
// simulated iPhone, through the real libimobiledevice client code.
#include <QObject>
#include <gtest/gtest.h>

#include "device/idevice.h"
#include "device/mobiledevice.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"

namespace {

const QString kUdid = "00008030-001A2B3C4D5E6F70", kOther = "0123456789abcdef0123456789abcdef01234567";

TEST(DevicePairing, TrustedPhonesPairOnceAndFailuresKeepTheirHistory)
{
    const struct { bool attached, network, paired; SimDevice::Trust trust; QList<SimFault> faults; bool result, pairAsked; QString detail; } cases[] = {
        {false, false, true, SimDevice::Trusted, {}, false, false, "No device found."}, // another phone is attached
        {true, true, true, SimDevice::Trusted, {}, false, false, "No device found."}, // on the network only
        {true, false, true, SimDevice::Trusted, {}, true, false, ""},
        {true, false, false, SimDevice::Trusted, {}, true, true, ""},
        {true, false, false, SimDevice::Pending, {}, false, true, ""},
        {true, false, false, SimDevice::Declined, {}, false, true, ""},
        {true, false, true, SimDevice::Trusted, {{SimFault::Unplug, "lockdown", 1}}, false, false, "Could not connect to lockdownd, error code -8\n"},
    };
    for (const auto& c : cases) {
        SimIPhone sim;
        SimDevice phone(kUdid);
        phone.network = c.network, phone.paired = c.paired, phone.trust = c.trust, phone.faults = c.faults;
        sim.attach(c.attached ? phone : SimDevice(kOther));
        mobiledevice_pair pairing(kUdid);
        EXPECT_EQ(pairing.pair(), c.result) << c.detail.toStdString() << c.trust;
        EXPECT_EQ(sim.requests().contains("lockdown:Pair"), c.pairAsked);
        EXPECT_EQ(sim.requests().contains("usbmuxd:SavePairRecord"), c.result && c.pairAsked);
        if (c.result) {
            EXPECT_TRUE(iDevice(kUdid).open()); // the record made by pairing opens sessions
            continue;
        }
        const QString first = pairing.errorText();
        EXPECT_TRUE(first.startsWith("Please launch iTunes") && first.endsWith("<br/><br/>Error detail: " + c.detail)) << first.toStdString();
        if (c.trust == SimDevice::Pending) { // answered between two tries of one object
            sim.edit(kUdid, [](SimDevice& d) { d.trust = SimDevice::Trusted; });
            EXPECT_TRUE(pairing.pair());
        } else if (c.detail.isEmpty()) { // a second failure without a detail of its own tells the first one
            EXPECT_FALSE(pairing.pair());
            EXPECT_TRUE(pairing.errorText().endsWith("Error detail: " + first)) << pairing.errorText().toStdString();
        }
    }
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
    network.network = true, fresh.paired = false;
    for (const SimDevice& d : {network, hostile, fresh})
        sim.attach(d);
    EXPECT_TRUE(mobiledevice_pair(fresh.udid).pair()); // the phone's "paired" event
    for (const QString& udid : {kUdid, hostile.udid, network.udid})
        sim.detach(udid);
    sim.attach(SimDevice("e0d"));
    ASSERT_TRUE(spinUntil([&] { return seen.size() >= 4; }));
    EXPECT_EQ(seen, QStringList({"+" + kUdid, "+" + fresh.udid, "-" + kUdid, "+e0d"}));
    EXPECT_EQ(watcher.count(), 2);
}

} // namespace
