// Device handles, pairing, plug events, backup settings and the device's
// cache folder against the simulated iPhone, through the real
// libimobiledevice client code.
#include <QImage>
#include <QImageReader>
#include <QObject>
#include <QPixmap>
#include <QTextDocument>
#include <QUrl>
#include <gtest/gtest.h>

#include "device/idevice.h"
#include "device/iosdevice.h"
#include "device/mobiledevice.h"
#include "foundation/datadir.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/simiphone.h"

namespace {

const QString kUdid = "00008030-001A2B3C4D5E6F70";
const QString kOther = "0123456789abcdef0123456789abcdef01234567";

TEST(DevicePairing, TrustedPhonesPairOnceAndAFailureTellsWhy)
{
    using T = SimDevice::Trust;
    const struct { QString udid; bool network, paired; T trust; bool ok, asked; QString detail; } cases[] = {
        {kOther, false, true, T::Trusted, false, false, "No device found."}, // another phone is attached
        {kUdid, true, true, T::Trusted, false, false, "No device found."}, // on the network only
        {kUdid, false, true, T::Trusted, true, false, ""},
        {kUdid, false, false, T::Trusted, true, true, ""},
        {kUdid, false, false, T::Pending, false, true, ""},
        {kUdid, false, false, T::Declined, false, true, ""},
    };
    for (const auto& c : cases) {
        SimIPhone sim;
        SimDevice phone(c.udid);
        phone.network = c.network;
        phone.paired = c.paired;
        phone.trust = c.trust;
        sim.attach(phone);
        mobiledevice_pair pairing(kUdid);
        EXPECT_EQ(pairing.pair(), c.ok) << &c - cases;
        EXPECT_EQ(sim.requests().contains("lockdown:Pair"), c.asked);
        EXPECT_EQ(sim.requests().contains("usbmuxd:SavePairRecord"), c.ok && c.asked);
        if (c.ok)
            EXPECT_TRUE(iDevice(kUdid).open()); // the record made by pairing opens sessions
        else
            EXPECT_TRUE(pairing.errorText().endsWith("<br/><br/>Error detail: " + c.detail)) << &c - cases;
        if (c.trust == T::Pending) { // answered between two tries of one object
            sim.edit(kUdid, [](SimDevice& d) { d.trust = T::Trusted; });
            EXPECT_TRUE(pairing.pair());
        }
    }
}

TEST(DeviceEvents, OnlyUsbDevicesWithPlainUdidsAreSignalledAndCounted)
{
    SimIPhone sim;
    sim.attach(SimDevice(kUdid)); // reported when listening starts
    MobiledeviceSubscribe watcher;
    QStringList seen;
    QObject::connect(&watcher, &MobiledeviceSubscribe::newDevice, &watcher, [&](QString u) { seen << "+" + u; });
    QObject::connect(&watcher, &MobiledeviceSubscribe::kickDevice, &watcher, [&](QString u) { seen << "-" + u; });
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(spinUntil([&] { return seen.size() == 1; }));
    SimDevice network(kOther);
    SimDevice hostile("../../x");
    SimDevice fresh(kOther.toUpper());
    network.network = true;
    fresh.paired = false;
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

TEST(IOSDevice, BackupSettingsWarnOnlyAboutWhatIsAskedICloudFirst)
{
    const struct { bool iCloud, encrypted, checkICloud, checkEncrypt, result; QString picture; } cases[] = {
        {true, false, true, false, false, "close_icloudbk.jpg"},
        {false, true, true, false, true, ""},
        {false, true, false, true, false, "close_itunesbkenc.jpg"},
        {true, true, true, true, false, "close_icloudbk.jpg"},
    };
    SimIPhone sim;
    IOSDevice device;
    for (const auto& c : cases) {
        device.udid = QString::number(&c - cases);
        SimDevice phone(device.udid);
        if (c.iCloud) // missing counts as off
            phone.set("com.apple.mobile.backup", "CloudBackupEnabled", PlistCFType::createCFBoolean(true));
        phone.set("com.apple.mobile.backup", "WillEncrypt", PlistCFType::createCFBoolean(c.encrypted));
        sim.attach(phone);
        ModalDriver driver;
        driver.answer(QMessageBox::Ok);
        EXPECT_EQ(device.checkiTunesBackupSettings(c.checkICloud, c.checkEncrypt), c.result);
        EXPECT_EQ(driver.texts.value(0).section(":res/", 1).section('"', 0, 0), c.picture) << device.udid.toStdString();
        if (c.picture.isEmpty())
            continue;
        // The picture is found among the built-in resources, as the box's rich text loads it.
        const QString src = driver.texts.value(0).section("src=\"", 1).section('"', 0, 0);
        QTextDocument page;
        page.setHtml(driver.texts.value(0));
        const QVariant shown = page.resource(QTextDocument::ImageResource, QUrl(src));
        EXPECT_FALSE(shown.value<QImage>().isNull() && shown.value<QPixmap>().isNull()) << src.toStdString();
        QImageReader reader(src);
        EXPECT_EQ(reader.format(), "jpeg") << src.toStdString(); // what its name says, not a picture of another kind
        const QImage image = reader.read();
        EXPECT_GE(image.width(), 200) << reader.errorString().toStdString();
        EXPECT_GE(image.height(), 100) << src.toStdString();
    }
}

TEST(IOSDevice, TheCacheFolderIsMadeOnlyForPlainUdidsAndUsedOnlyWhenMade)
{
    ScopedDataHome home;
    IOSDevice device;
    bool ok = true;
    for (const QString& bad : {QString(), QString("../x"), QString("ab/cd"), QString("a b"), QString(65, 'a')}) {
        device.udid = bad;
        EXPECT_FALSE(QDir().mkpath(device.lineRootDir(&ok).path())) << bad.toStdString();
        EXPECT_FALSE(ok) << bad.toStdString();
    }
    device.udid = kUdid;
    EXPECT_EQ(device.lineRootDir(&ok).path(), g_dataSaveDir().filePath("ios_cache/" + kUdid + "/jp.naver.line"));
    EXPECT_TRUE(ok);

    ScopedDataHome blocked; // "ios_cache" is a file there, so the folder cannot be made
    ASSERT_TRUE(QFile(g_dataSaveDir().filePath("ios_cache")).open(QIODevice::WriteOnly));
    EXPECT_TRUE(device.cacheDir(&ok).path().startsWith("/dev/null/")); // where nothing can be written
    EXPECT_FALSE(ok);
}

} // namespace
