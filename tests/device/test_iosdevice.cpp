#include <gtest/gtest.h>

#include "device/iosdevice.h"
#include "foundation/datadir.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/simiphone.h"

namespace {

TEST(IOSDevice, BackupSettingsWarnOnlyAboutWhatIsAskedICloudFirst)
{
    const struct { bool iCloud, encrypted, checkICloud, checkEncrypt, result; const char* picture; } cases[] = {
        {true, false, true, false, false, "close_icloudbk.jpg"},
        {false, true, true, false, true, nullptr},
        {false, true, false, true, false, "close_itunesbkenc.jpg"},
        {true, true, true, true, false, "close_icloudbk.jpg"},
        {false, false, true, true, true, nullptr},
    };
    SimIPhone sim;
    IOSDevice device;
    for (const auto& c : cases) {
        device.udid = QString::number(&c - cases);
        SimDevice phone(device.udid);
        if (c.iCloud) // missing counts as off
            phone.set("com.apple.mobile.backup", "CloudBackupEnabled", PlistCFType::createCFBoolean(true));
        phone.faults = {{SimFault::Slow, "lockdown", 4, 30}}; // late answers are waited for
        sim.attach(phone.set("com.apple.mobile.backup", "WillEncrypt", PlistCFType::createCFBoolean(c.encrypted)));
        ModalDriver driver;
        driver.answer(QMessageBox::Ok);
        EXPECT_EQ(device.checkiTunesBackupSettings(c.checkICloud, c.checkEncrypt), c.result) << device.udid.toStdString();
        EXPECT_EQ(driver.texts.value(0).section(":res/", 1), c.picture ? QString(c.picture) + "\"/>" : "") << device.udid.toStdString();
    }
    device.udid = "ab"; // not connected: settings that cannot be read allow it
    EXPECT_TRUE(device.checkiTunesBackupSettings(true, true));
}

TEST(IOSDevice, VersionNumbersInOrder)
{
    const QList<QPair<QString, QList<int>>> cases = {{"11.4.1", {11, 4, 1}}, {"10.0", {10, 0}}, {"", {}}, {"12.2 beta 3", {12, 2, 3}}};
    IOSDevice device;
    for (const auto& [version, numbers] : cases) {
        device.ProductVersion = version;
        EXPECT_EQ(device.versionList(), numbers) << version.toStdString();
    }
}

TEST(IOSDevice, CacheFolderOnlyForPlainUdidsAndOnlyWhenMade)
{
    ScopedDataHome home;
    IOSDevice device;
    device.udid = "00008030-001A2B3C4D5E6F70";
    bool ok = false;
    const QDir cache = device.cacheDir(&ok);
    EXPECT_TRUE(ok && cache.exists() && !device.lineRootDir().exists());
    EXPECT_EQ(cache.path(), g_dataSaveDir().filePath("ios_cache/" + device.udid));
    EXPECT_EQ(device.lineRootDir().path(), cache.filePath("jp.naver.line"));
    for (const QString& bad : {QString(), QString(".."), QString("../x"), QString("ab/cd"), QString("a b"), QString(65, 'a')}) {
        device.udid = bad;
        EXPECT_FALSE(QDir().mkpath(device.lineRootDir(&ok).path()) || ok) << bad.toStdString();
    }
    EXPECT_EQ(QDir(g_dataSaveDir().filePath("ios_cache")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"00008030-001A2B3C4D5E6F70"}));

    ScopedDataHome blocked; // "ios_cache" is a file there, so the folder cannot be made
    QFile(g_dataSaveDir().filePath("ios_cache")).open(QIODevice::WriteOnly);
    device.udid = "0a";
    EXPECT_TRUE(device.cacheDir(&ok).path().startsWith("/dev/null/") && !ok); // where nothing can be written
}

} // namespace
