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
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linemsgsdatasource.h"
#include "device/iosdevice.h"
#include "device/iosloadlinefromitunesthread.h"
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
    ModalDriver driver;
    ProgressForm form {""};
    Drive() { driver.answer(QMessageBox::Ok), driver.answer(QMessageBox::Ok); }
    ~Drive() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); } // the workers' engines
    int run(QThread& worker) { const int result = form.runWorker(worker); return form.waitForThread(worker, true), result; }
    QString error() const { return driver.texts.value(0); }
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

// Every message of a LINE copy, oldest first: chat, id, sender, summary and
// attachment bytes.
QStringList messagesOf(const QString& lineDir)
{
    auto db = QSharedPointer<IOSLineDb>::create(QDir(lineDir), QString());
    LineData data(db, 5000);
    db->loadDataThrow(data);
    LineMsgsDataSource all(data, nullptr, true);
    QStringList out;
    for (qint64 i = 0; i < all.sizeThrow(); ++i) {
        const _LineMsg m = all.msgThrow(i);
        out << QStringList {m.chat->uid, m.uid, m.from ? m.from->uid : "me", m.summary(), m.attaPath.isEmpty() ? "" : readFile(m.attaPath)}.join(' ');
    }
    return out;
}
// The main window's load of a backup folder: open, unlock, parse, then the
// load job behind its window; `tweak` may change the tree or the window first.
struct Load { int result; bool found; QString error, lineDir; };
Load load(const QString& folder, const QString& cache, const QString& password = "",
          const std::function<void(BackupManifest&, ProgressForm&)>& tweak = {})
{
    BackupManifest backup(folder);
    backup.readManifestInfo();
    if (!password.isEmpty())
        EXPECT_TRUE(backup.setPasscodeNoUIThrow(password));
    backup.parseInfo();
    Drive drive;
    IOSLoadLineFromiTunesThread job(&backup, drive.form, cache);
    if (tweak)
        tweak(backup, drive.form);
    const int result = drive.run(job);
    const QString dir = cache.isEmpty() ? QDir::temp().filePath("marrowquist-itunes_cache/" + backup.dirPathMd5()) : cache;
    return {result, job.lineDbFound, drive.error(), dir + "/jp.naver.line"};
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
        line.addMessage(LineMsgRow(chat, "m3").at(1600000002000).ofType(106).from(amy));
        line.addAttachment("uAmy", "m2", ".jpg", "photo bytes");
        line.build();
        Sqlite3DB db; // as the app keeps it
        db.openThrow(line.dbPath(), 2);
        db.queryThrow("PRAGMA journal_mode=WAL").moveNext();
        entries = lineEntries(container.path(), true);
        expected = messagesOf(container.path());
        g_delDirCascade(iosbackup_temp_dir("").absolutePath());
    }
    QSharedPointer<IOSDevice> device = QSharedPointer<IOSDevice>::create();
    QTemporaryDir container, work;
    QJsonArray entries; // the container's files, the store in the group's domain
    QStringList expected;
};

TEST_F(Roads, PhoneToChatsWithABackupKeptOnlyWhenFinishedCompleteAndOfTheDevicesVersion)
{
    backupbuilder::build(work.filePath("phone"), {{"mbdb", false}, {"entries", entries}});
    SimIPhone sim;
    SimDevice phone = linePhone(work.filePath("phone"), entries);
    phone.media = work.filePath("media");
    ASSERT_TRUE(testenv::writeFile(phone.media + "/iTunesRestore/RestoreApplications.plist", "apps"));
    const QDir folder(iosbackup_temp_dir("line").filePath(kUdid));
    const auto fail = [&phone](const QString& text) { return [&phone, text] { phone.backup2.errorCode = !text.isEmpty(), phone.backup2.errorDescription = text; }; };
    const auto status = [&] { testenv::writeFile(folder.filePath("Status.plist"), "<plist><dict><key>SnapshotState</key><string>new</string></dict></plist>"); };
    struct Case { QString version; std::function<void()> before; bool all /* files, not only metadata */; QString error; };
    const Case cases[] = {
        {"16.4", fail("x connection to device LOST y"), true, "Connection to device lost. Please try the following solutions: <br/><br/>A:<br/>Step 1) "},
        {"16.4", fail("wait until Setup is finished"), true, "Failed to connect your iPhone. Please try the following solutions: <br/><br/>A:"},
        {"16.4", fail("other"), true, "error code:1. <br/><br/>other Status.plist not exists.<br/><br/>Note: You can restart your device to try again."},
        {"16.4", fail(""), true, ""},
        {"16.4", [] {}, false, ""},
        {"16.4", status, true, ""},
        {"16.4.1", [] {}, true, ""},
        {"16.4", [&] { QFile::remove(folder.filePath("Manifest.db")); }, true, ""},
        {"16.4", [] {}, false, ""},
    };
    for (const Case& c : cases) {
        device->ProductVersion = c.version;
        c.before();
        sim.detach(kUdid);
        sim.attach(phone);
        Drive drive;
        IOSMobileBackupThread thread(&c != &cases[2], device, false, "line", drive.form);
        thread.apps << "jp.naver.line";
        EXPECT_EQ(drive.run(thread), c.error.isEmpty() ? 1 : 0) << c.error.toStdString();
        EXPECT_EQ(played(sim).uploaded.size(), c.all ? phone.backup2.files.size() + 4 : 4) << c.version.toStdString();
        EXPECT_TRUE(drive.error().contains(c.error)) << drive.error().toStdString();
        EXPECT_EQ(folder.exists(), c.error.isEmpty());
    }
    EXPECT_FALSE(QFile::exists(phone.media + "/iTunesRestore/RestoreApplications.plist"));
    const Load loaded = load(folder.path(), device->cacheDir().path());
    EXPECT_TRUE(loaded.result == 1 && loaded.found);
    EXPECT_EQ(messagesOf(loaded.lineDir), expected);
}

TEST_F(Roads, EncryptedBackupFoldersOfEitherListGiveTheChatsTheyHold)
{
    for (const bool mbdb : {true, false}) {
        const QString folder = work.filePath(mbdb ? "mbdb" : "db");
        backupbuilder::build(folder, {{"mbdb", mbdb}, {"password", "pw"}, {"entries", lineEntries(container.path(), mbdb)}});
        const Load loaded = load(folder, "", "pw");
        EXPECT_TRUE(loaded.result == 1 && loaded.found);
        EXPECT_EQ(messagesOf(loaded.lineDir), expected);
    }
}

TEST_F(Roads, TheLoadJobCopiesLinesFilesIntoItsCacheFolderAndNothingAnywhereElse)
{
    using Node = BackupManifest::_FileNode;
    const auto only = [&](const QString& domain) {
        QJsonArray out {backupbuilder::file("HomeDomain", "Library/x", "home")};
        std::copy_if(entries.begin(), entries.end(), std::back_inserter(out), [&](const QJsonValue& e) { return e["domain"] == domain; });
        return out;
    };
    const auto hostile = [](BackupManifest& b, ProgressForm&) {
        Node* lib = b.root.children[0]->children[0]->children[0];
        const MBDBParser::_MBDBItem file = lib->children[0]->children[0]->item;
        Node* up = new Node(lib, MBDBParser::_MBDBItem(), "..");
        up->item.mode = 0x4000;
        lib->children << up;
        up->children << new Node(up, file, "evil");
        for (const QString& name : {"a/../../x", "", "CON"})
            lib->children << new Node(lib, file, name);
    };
    const QString cache = work.filePath("cache"), line = "jp.naver.line/", lib = line + "Library/";
    const QString store = lib + "Application Support/PrivateStore/P_uOwner/";
    const QStringList prefs {lib + "Preferences/jp.naver.line.plist"}, db {line + "backup-domain", store + "Message Attachments/uAmy/m2.jpg", store + "Messages/Line.sqlite"};
    struct Case { QJsonArray entries; std::function<void(BackupManifest&, ProgressForm&)> tweak; int result; QStringList files; };
    const Case cases[] = {
        {only(kApp), {}, 1, prefs},
        {only(kGroup), {}, 1, db},
        {only("x"), {}, 0, db}, // nothing of LINE: the cache stays as it was
        {entries, [](BackupManifest&, ProgressForm& f) { f.cancelled = true; }, 0, {}},
        {entries, [&](BackupManifest&, ProgressForm&) { testenv::writeFile(cache + '/' + lib + "gone", ""), testenv::writeFile(cache + '/' + line + "kept", ""); }, 1, db + prefs + QStringList {line + "kept"}},
        {entries, hostile, 1, db + prefs + QStringList {line + "kept", lib + "%00", lib + "%2E%2E/evil", lib + "%43%4F%4E", lib + "a%2F..%2F..%2Fx"}},
    };
    for (const Case& c : cases) {
        g_delDirCascade(work.filePath("b"));
        backupbuilder::build(work.filePath("b"), {{"entries", c.entries}});
        const Load loaded = load(work.filePath("b"), cache, "", c.tweak);
        EXPECT_EQ(loaded.result, c.result);
        EXPECT_EQ(loaded.found, c.files.contains(store + "Messages/Line.sqlite") && c.result);
        EXPECT_EQ(loaded.error.contains("Found no Line data"), c.result == 0 && !c.tweak);
        QStringList files;
        for (QDirIterator it(work.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            files << (it.next().startsWith(work.filePath("b/")) ? QStringList() : QStringList {it.filePath().mid(cache.size() + 1)}); // outside: cut
        QStringList want = c.files;
        want.sort(), files.sort();
        EXPECT_EQ(files, want);
    }
}

TEST_F(Roads, DeviceRestoreSendsTheOptionsOfItsStyleAndForgetsOnlyABackupThePhoneRefused)
{
    struct Case { bool systemMode; QString passcode, phoneError, options; };
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
