// The LINE jobs end to end, driven as the main window drives them: LINE
// chats in from a phone or a backup folder, chosen messages back out.
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include "backup/backupmanifest.h"
#include "device/iosdevice.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "foundation/fileutil.h"
#include "foundation/progressform.h"
#include "tests/support/backupbuilder.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;
const QString kUdid = "00008030-001A2B3C4D5E6F70";
const QString kApp = "AppDomain-jp.naver.line", kGroup = "AppDomainGroup-group.com.linecorp.line";

// A progress window whose error box gets answered; run() drives a worker.
struct Drive
{
    Drive() { driver.answer(QMessageBox::Ok); }
    ~Drive() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); } // the workers' engines
    int run(QThread& worker)
    {
        const int result = form.runWorker(worker);
        form.waitForThread(worker, true);
        return result;
    }
    QString error() const { return driver.texts.value(0); }
    ModalDriver driver;
    ProgressForm form {""};
};

// A LINE container as backup records (the store folder in the group's
// domain when dbInGroup), and the phone that backs those records up.
QJsonArray lineEntries(const QString& dir, bool dbInGroup)
{
    QJsonArray out {backupbuilder::folder(kApp, ""), backupbuilder::folder(kGroup, ""), backupbuilder::folder(kGroup, "Library")};
    for (QDirIterator it(dir, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next(), rel = QDir(dir).relativeFilePath(path);
        const QString domain = dbInGroup && rel.startsWith("Library/Application Support") ? kGroup : kApp;
        out.append(it.fileInfo().isDir() ? backupbuilder::folder(domain, rel)
                                         : backupbuilder::file(domain, rel, readFile(path)));
    }
    return out;
}
SimDevice linePhone(const QString& backup, const QJsonArray& entries)
{
    SimDevice phone(kUdid);
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", {{"group.com.linecorp.line", "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"}}}};
    for (const QJsonValue& e : entries) {
        const QString domain = e["domain"].toString(), path = e["path"].toString();
        if (e["kind"].toInt() == 0)
            phone.backup2.files.append({domain, path, readFile(backupbuilder::dataPath(backup, backupbuilder::fileId(domain, path), false))});
    }
    for (const char* name : {"Manifest.db", "Manifest.plist", "Status.plist"})
        phone.backup2.meta[name] = readFile(backup + '/' + name);
    return phone;
}
// What the phone saw, once it is done with the connection.
SimBackup2 played(SimIPhone& sim)
{
    SimBackup2 seen;
    for (int i = 0; i < 500 && !seen.finished; ++i, QThread::msleep(seen.finished ? 0 : 10))
        sim.edit(kUdid, [&](SimDevice& d) { seen = d.backup2; });
    return seen;
}

class Roads : public ::testing::Test
{
protected:
    void SetUp() override
    {
        device->udid = kUdid;
        device->ProductVersion = "16.4";
        LineStoreBuilder line(container.path());
        line.setAccount("uOwner", "Owner");
        const qint64 amy = line.addUser(LineUserRow("uAmy").named("Amy"));
        const qint64 chat = line.addChat(LineChatRow("uAmy").withMembers({amy}));
        line.addMessage(LineMsgRow(chat, "m1").at(1600000000000).text("hello").from(amy));
        line.addMessage(LineMsgRow(chat, "m2").at(1600000001000).photo(8, 8));
        line.addAttachment("uAmy", "m2", ".jpg", "photo bytes");
        line.build();
        g_delDirCascade(iosbackup_temp_dir("").absolutePath());
    }
    QSharedPointer<IOSDevice> device = QSharedPointer<IOSDevice>::create();
    QTemporaryDir container, work;
};

TEST_F(Roads, PhoneBackupIsKeptOnlyWhenFinishedCompleteAndOfTheDevicesVersionAndGoesAfterAnError)
{
    const QJsonArray entries = lineEntries(container.path(), true);
    backupbuilder::build(work.filePath("phone"), {{"mbdb", false}, {"entries", entries}});
    SimIPhone sim;
    SimDevice phone = linePhone(work.filePath("phone"), entries);
    phone.media = work.filePath("media");
    ASSERT_TRUE(testenv::writeFile(phone.media + "/iTunesRestore/RestoreApplications.plist", "apps"));
    const QDir folder(iosbackup_temp_dir("line").filePath(kUdid));
    struct Case
    {
        QString version;
        std::function<void()> before;
        int uploads; // the phone's files and its metadata, or the metadata alone
        QString error;
    };
    const int all = phone.backup2.files.size() + 4, meta = 4;
    const QString lost = "Connection to device lost. Please try the following solutions: <br/><br/>A:<br/>Step 1) ";
    const auto fail = [&](const QString& text) { return [&phone, text] { phone.backup2.errorCode = 1, phone.backup2.errorDescription = text; }; };
    const Case cases[] = {
        {"16.4", [] {}, all, ""},
        {"16.4", [] {}, meta, ""},
        {"16.4", [&] { testenv::writeFile(folder.filePath("Status.plist"), "<plist><dict><key>SnapshotState</key><string>new</string></dict></plist>"); }, all, ""},
        {"16.4.1", [] {}, all, ""},
        {"16.4", [&] { QFile::remove(folder.filePath("Manifest.db")); }, all, ""},
        {"16.4", fail("x connection to device LOST y"), meta, lost},
        {"16.4", fail("wait until Setup is finished"), all, "Failed to connect your iPhone. Please try the following solutions: <br/><br/>A:"},
        {"16.4", fail("other"), all, "error code:1. <br/><br/>other Status.plist not exists.<br/><br/>Note: You can restart your device to try again."},
    };
    for (const Case& c : cases) {
        device->ProductVersion = c.version;
        c.before();
        sim.detach(kUdid);
        sim.attach(phone);
        Drive drive;
        IOSMobileBackupThread thread(&c != &cases[7], device, false, "line", drive.form);
        thread.apps << "jp.naver.line";
        EXPECT_EQ(drive.run(thread), c.error.isEmpty() ? 1 : 0) << c.error.toStdString();
        EXPECT_EQ(played(sim).uploaded.size(), c.uploads) << c.version.toStdString();
        EXPECT_TRUE(drive.error().contains(c.error)) << drive.error().toStdString();
        EXPECT_EQ(folder.exists(), c.error.isEmpty());
    }
    EXPECT_FALSE(QFile::exists(phone.media + "/iTunesRestore/RestoreApplications.plist"));
}

TEST_F(Roads, DeviceRestoreSendsTheOptionsOfItsStyleAndForgetsOnlyABackupThePhoneRefused)
{
    struct Case
    {
        bool systemMode;
        QString passcode, phoneError, options;
    };
    const Case cases[] = {
        {false, "", "", "RestoreSystemFiles=true RestorePreserveSettings=true RestoreShouldReboot=true RestoreDontCopyBackup=true RemoveItemsNotRestored=false"},
        {true, "pw", "mberrordomain/205", "RestoreSystemFiles=false RestorePreserveSettings=true RestoreDontCopyBackup=true Password=pw"},
        {false, "", "MBErrorDomain/206", "RestoreSystemFiles=true RestorePreserveSettings=true RestoreShouldReboot=true RestoreDontCopyBackup=true RemoveItemsNotRestored=false"},
    };
    SimIPhone sim;
    for (const Case& c : cases) {
        const QDir root(work.path());
        ASSERT_TRUE(testenv::writeFile(root.filePath(kUdid + "/Manifest.plist"), "m"));
        SimDevice phone(kUdid);
        phone.backup2.errorCode = c.phoneError.isEmpty() ? 0 : 1;
        phone.backup2.errorDescription = c.phoneError;
        sim.detach(kUdid);
        sim.attach(phone);
        Drive drive;
        IOSMobileRestoreThread thread(true, device, root, c.systemMode, drive.form);
        thread.restoreSystemFiles = !c.systemMode;
        thread.setBackupPasscode(c.passcode);
        EXPECT_EQ(drive.run(thread), c.phoneError.isEmpty() ? 1 : 0);
        const PlistCFType options = played(sim).request.get("Options");
        QStringList got;
        for (const PlistCFType& key : options.dict_keys()) {
            const PlistCFType v = options.get(key);
            got << key.CFStringQString() + '=' + (v.isCFBoolean() ? (v.CFNumberBool() ? "true" : "false") : v.CFStringQString());
        }
        EXPECT_EQ(got.join(' '), c.options);
        EXPECT_EQ(root.exists(kUdid), !c.phoneError.contains("205"));
        EXPECT_EQ(drive.error().contains("<br/><br/>Tip: You can follow this <a href="), !c.phoneError.isEmpty());
    }
}

} // namespace
