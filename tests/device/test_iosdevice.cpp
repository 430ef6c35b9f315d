#include <QFile>
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
    struct Case
    {
        bool iCloud, encrypted, checkICloud, checkEncrypt, result;
        const char* picture;
    };
    const Case cases[] = {
        {true, false, true, false, false, ":res/close_icloudbk.jpg"},
        {false, true, true, false, true, nullptr},
        {false, true, false, true, false, ":res/close_itunesbkenc.jpg"},
        {true, true, true, true, false, ":res/close_icloudbk.jpg"},
        {false, false, true, true, true, nullptr},
    };
    SimIPhone sim;
    int n = 0;
    for (const Case& c : cases) {
        IOSDevice device;
        device.udid = QString::number(++n);
        SimDevice phone(device.udid);
        if (c.iCloud) // missing counts as off
            phone.set("com.apple.mobile.backup", "CloudBackupEnabled", PlistCFType::createCFBoolean(true));
        phone.set("com.apple.mobile.backup", "WillEncrypt", PlistCFType::createCFBoolean(c.encrypted));
        sim.attach(phone);
        ModalDriver driver;
        driver.answer(QMessageBox::Ok);
        EXPECT_EQ(device.checkiTunesBackupSettings(c.checkICloud, c.checkEncrypt), c.result) << n;
        EXPECT_EQ(driver.answered(), c.picture ? 1 : 0) << n;
        if (c.picture)
            EXPECT_TRUE(driver.texts.value(0).endsWith(QString("<br/><br/><img src=\"%1\"/>").arg(c.picture))) << n;
    }
    IOSDevice absent;
    absent.udid = "ab";
    EXPECT_TRUE(absent.checkiTunesBackupSettings(true, true));
}

TEST(IOSDevice, VersionNumbersInOrder)
{
    const QList<QPair<QString, QList<int>>> cases = {
        {"11.4.1", {11, 4, 1}}, {"9.3.5", {9, 3, 5}}, {"10.0", {10, 0}}, {"", {}}, {"12.2 beta 3", {12, 2, 3}}};
    for (const auto& [version, numbers] : cases) {
        IOSDevice device;
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
    EXPECT_TRUE(ok && cache.exists());
    EXPECT_EQ(cache.path(), g_dataSaveDir().filePath("ios_cache/" + device.udid));
    EXPECT_EQ(device.cacheDir().path(), cache.path());
    EXPECT_EQ(device.lineRootDir().path(), cache.filePath("jp.naver.line"));
    EXPECT_FALSE(device.lineRootDir().exists());

    for (const QString& bad : {QString(), QString(".."), QString("../x"), QString("ab/cd"), QString("a b"), QString(65, 'a')}) {
        device.udid = bad;
        const QDir dir = device.lineRootDir(&ok);
        EXPECT_FALSE(ok) << bad.toStdString();
        EXPECT_FALSE(QDir().mkpath(dir.path())) << dir.path().toStdString();
    }
    EXPECT_EQ(QDir(g_dataSaveDir().filePath("ios_cache")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"00008030-001A2B3C4D5E6F70"}));

    ScopedDataHome blocked; // "ios_cache" is a file there, so the folder cannot be made
    QFile(g_dataSaveDir().filePath("ios_cache")).open(QIODevice::WriteOnly);
    device.udid = "0a";
    EXPECT_FALSE(QDir().mkpath(device.cacheDir(&ok).filePath("x")));
    EXPECT_FALSE(ok);
}

} // namespace
