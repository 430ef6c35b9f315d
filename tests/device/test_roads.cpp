// The LINE jobs end to end, driven as the main window drives them: chats in
// from a phone or a backup folder, chosen messages back out to either.
#include <QCoreApplication>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageBox>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>

#include "backup/backuplock.h"
#include "backup/iosmergewafiles2itunesbkthread.h"
#include "backup/mergejournal.h"
#include "backup/stagedfiles.h"
#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/ioslinedb.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"
#include "device/iosdevice.h"
#include "device/iosloadlinefromitunesthread.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "device/iosrestorelinemsgthread.h"
#include "foundation/fileutil.h"
#include "foundation/progressform.h"
#include "tests/support/backupbuilder.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/modaldriver.h"
#include "tests/support/renamehook.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;
const QString kUdid = "00008030-001A2B3C4D5E6F70", kStore = "Library/Application Support/PrivateStore/P_uOwner/";
const QString kApp = "AppDomain-jp.naver.line", kGroup = "AppDomainGroup-group.com.linecorp.line";

// A progress window whose notices get answered; run() drives a worker behind it.
struct Drive
{
    ModalDriver driver;
    ProgressForm form {""};
    Drive()
    {
        driver.answer(QMessageBox::Ok);
        driver.answer(QMessageBox::Ok);
    }
    ~Drive() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); } // the workers' engines
    int run(QThread& worker)
    {
        const int result = form.runWorker(worker);
        form.waitForThread(worker, true);
        return result;
    }
    QString error() const { return driver.texts.value(0); }
};

// A LINE container as backup records, the store folder in the group's domain
// when dbInGroup.
QJsonArray lineEntries(const QString& dir, bool dbInGroup)
{
    using namespace backupbuilder;
    QJsonArray out {folder(kApp, ""), folder(kGroup, ""), folder(kGroup, "Library")};
    const auto filter = QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot;
    for (QDirIterator it(dir, filter, QDirIterator::Subdirectories); it.hasNext();) {
        const QString rel = QDir(dir).relativeFilePath(it.next());
        const QString domain = dbInGroup && rel.startsWith("Library/Application Support") ? kGroup : kApp;
        out.append(it.fileInfo().isDir() ? folder(domain, rel) : file(domain, rel, readFile(it.filePath())));
    }
    return out;
}

// Every message of a LINE copy read through its chat data, oldest first:
// chat, id, sender, summary and attachment bytes.
QStringList messagesOf(const QString& lineDir)
{
    return messageLinesThrow(lineDir, [](const _LineMsg& m) {
        const QString atta = m.attaPath.isEmpty() ? "" : readFile(m.attaPath);
        return QStringList {m.chat->uid, m.uid, m.from ? m.from->uid : "me", m.summary(), atta}.join(' ');
    });
}
// The main window's load of a backup folder: open (with the password of an
// encrypted one), parse, then the load job behind its window into the cache
// folder; `tweak` may change the tree or the window first.
struct Load
{
    int result;
    bool found;
    QString error, lineDir;
};
using Tweak = std::function<void(BackupManifest&, ProgressForm&)>;
Load load(const QString& folder, const QString& cache, const Tweak& tweak = {}, const QString& password = {})
{
    BackupManifest backup(folder);
    backup.readManifestInfo();
    if (backup.info.isEncrypted && !backup.setPasscodeNoUIThrow(password))
        return {0, false, "password refused", ""};
    backup.parseInfo();
    Drive drive;
    IOSLoadLineFromiTunesThread job(&backup, drive.form, cache);
    if (tweak)
        tweak(backup, drive.form);
    const int result = drive.run(job);
    return {result, job.lineDbFound, drive.error(), cache + "/jp.naver.line"};
}
class Roads : public ::testing::Test
{
protected:
    void SetUp() override
    {
        device->udid = kUdid;
        device->ProductVersion = "16.4";
        LineStoreBuilder line(container.path());
        qint64 amy = 0;
        const qint64 chat = addAmysChat(line, &amy);
        line.addMessage(LineMsgRow(chat, "m3").at(1600000002000).ofType(106).from(amy));
        line.build();
        Sqlite3DB db; // in write-ahead mode, as the app keeps it
        db.openThrow(line.dbPath(), 2);
        db.queryThrow("PRAGMA journal_mode=WAL").moveNext();
        entries = lineEntries(container.path(), true);
        expected = messagesOf(container.path());
        g_delDirCascade(iosbackup_temp_dir("").absolutePath());
    }
    // Messages as any store may hand them out: one already in the store, one
    // twice, a file named with an accent, two chats of one group, ids that
    // are no plain names, one without id and one without chat.
    QSharedPointer<LineMsgsListSource> source()
    {
        auto* group = new _LineGroupInfo {1, "gG"};
        auto* amy = new _LineUser {1, "uAmy"};
        records.insertGroup(1, group);
        records.insertUser(1, amy);
        for (const char* uid : {"uAmy", "cG", "..", "cG2"}) {
            const qint64 id = records.chats().size() + 1;
            records.insertChat(id, new _LineChat {id, uid, 0, {}, uid[0] == 'c' ? group : nullptr, {amy}});
        }
        const QString photo = work.filePath("p.jpg"), thumb = work.filePath("t");
        EXPECT_TRUE(testenv::writeFile(photo, "new photo") && testenv::writeFile(thumb, "thumb"));
        const QString cafe = QString::fromUtf8("caf\xc3\xa9.txt");
        const struct { int chat; QString uid; int type; QString atta {}, thumb {}, name {}; } msgs[] = {
            {1, "m1", 0}, {1, "n1", 1, photo, thumb}, {1, "n1", 1, photo, thumb}, {2, "g1", 6, photo, "", cafe},
            {4, "g2", 0}, {1, "x/y", 1, photo, thumb}, {3, "d1", 1, photo}, {1, "0", 0}, {0, "z1", 0},
        };
        auto list = QSharedPointer<LineMsgsListSource>::create();
        for (const auto& m : msgs) {
            _LineMsg msg;
            msg.chat = records.chat(m.chat);
            msg.uid = m.uid;
            msg.text = m.uid;
            msg.type = m.type;
            msg.attaPath = m.atta;
            msg.thumbPath = m.thumb;
            msg.from = amy;
            msg.ts = QDateTime::fromMSecsSinceEpoch(1700000000000 + list->size());
            msg.attaSetFileName(m.name);
            list->append(msg);
        }
        return list;
    }
    QSharedPointer<IOSDevice> device = QSharedPointer<IOSDevice>::create();
    LineData records {QSharedPointer<AbsLineDb>(), 5000};
    QTemporaryDir container, work;
    QJsonArray entries; // the container's, its store in the group's domain
    QStringList expected;
};

TEST_F(Roads, PhoneToChatsAndBackWithABackupKeptOnlyWhenFinishedCompleteAndOfTheDevicesVersion)
{
    backupbuilder::build(work.filePath("phone"), {{"entries", entries}});
    SimIPhone sim;
    SimDevice phone(kUdid); // its backup: the records of the container and the folder's metadata
    const QHash<QString, QString> groups {{"group.com.linecorp.line", "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"}};
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", groups}};
    for (const QJsonValue& e : entries) {
        if (e["kind"].toInt() == 0)
            phone.backup2.files.append({e["domain"].toString(), e["path"].toString(), e["data"].toString().toLatin1()});
    }
    for (const char* name : {"Manifest.db", "Manifest.plist", "Status.plist"})
        phone.backup2.meta[name] = readFile(work.filePath("phone/") + name);
    phone.media = work.filePath("media");
    ASSERT_TRUE(testenv::writeFile(phone.media + "/iTunesRestore/RestoreApplications.plist", "apps"));
    const QDir folder(iosbackup_temp_dir("line").filePath(kUdid));
    const QString lost = "Connection to device lost. Please try the following solutions: <br/><br/>A:<br/>Step 1) ";
    const QString setup = "Failed to connect your iPhone. Please try the following solutions: <br/><br/>A:";
    const QString other = "error code:1. <br/><br/>other Manifest.db not exists.<br/><br/>Note: You can restart";
    // Before the run: the phone's failure, and what happens to the kept folder.
    // PhoneUnfinished: the phone hangs up with its snapshot not marked finished.
    // Linked: the folder is a link to one of the user's elsewhere. Decrypted:
    // the kept folder holds a decrypted and a trimmed copy of an earlier list.
    enum Before { Nothing, Unfinished, NoManifest, PhoneUnfinished, Linked, Decrypted };
    const struct { QString version, phoneError; Before before; bool all /* files, not only metadata */; QString error; }
        cases[] = {
            {"16.4", "x connection to device LOST y", Nothing, true, lost},
            {"16.4", "wait until Setup is finished", Nothing, true, setup},
            {"16.4", "other", Nothing, true, other}, // without the tutorial's note
            {"16.4", "", PhoneUnfinished, true, "The iPhone ended the backup before it was complete."},
            {"16.4", "", Nothing, true, ""},
            {"16.4", "", Nothing, false, ""},
            {"16.4", "", Unfinished, true, ""},
            {"16.4.1", "", Nothing, true, ""},
            {"16.4", "", NoManifest, true, ""},
            {"16.4", "", Nothing, false, ""},
            {"16.4", "", Linked, true, ""},
            {"16.4", "", Decrypted, false, ""},
        };
    const QString elsewhere = work.filePath("elsewhere");
    for (const char* name : {"mine", ".hidden", "sub/mine"})
        ASSERT_TRUE(testenv::writeFile(elsewhere + '/' + name, name));
    const QStringList mine = simFilesBelow(elsewhere);
    const QByteArray finished = phone.backup2.meta["Status.plist"];
    const char* unfinished = "<plist><dict><key>SnapshotState</key><string>new</string></dict></plist>";
    for (const auto& c : cases) {
        device->ProductVersion = c.version;
        phone.backup2.errorCode = !c.phoneError.isEmpty();
        phone.backup2.errorDescription = c.phoneError;
        if (c.before == Unfinished)
            ASSERT_TRUE(testenv::writeFile(folder.filePath("Status.plist"), unfinished));
        phone.backup2.meta["Status.plist"] = c.before == PhoneUnfinished ? QByteArray(unfinished) : finished;
        if (c.before == NoManifest)
            ASSERT_TRUE(QFile::remove(folder.filePath("Manifest.db")));
        if (c.before == Linked)
            ASSERT_TRUE(QDir(folder).removeRecursively() && QFile::link(elsewhere, folder.path()));
        for (const char* derived : {"Manifest-decrypted.db", "Manifest-line.db"})
            ASSERT_TRUE(c.before != Decrypted || testenv::writeFile(folder.filePath(derived), "an earlier list"));
        sim.detach(kUdid);
        sim.attach(phone);
        Drive drive;
        IOSMobileBackupThread thread(c.error != other, device, false, "line", drive.form);
        thread.apps << "jp.naver.line";
        EXPECT_EQ(drive.run(thread), c.error.isEmpty() ? 1 : 0) << c.error.toStdString();
        EXPECT_EQ(sim.backup2Played(kUdid).uploaded.size(), c.all ? phone.backup2.files.size() + 3 : 3) << c.version.toStdString();
        EXPECT_TRUE(drive.error().contains(c.error)) << drive.error().toStdString();
        EXPECT_EQ(folder.exists(), c.error.isEmpty());
        EXPECT_FALSE(QFileInfo(folder.path()).isSymLink() || folder.exists("Manifest-decrypted.db")
                     || folder.exists("Manifest-line.db"));
        EXPECT_EQ(simFilesBelow(elsewhere), mine);
    }
    EXPECT_FALSE(QFile::exists(phone.media + "/iTunesRestore/RestoreApplications.plist"));
    const Load loaded = load(folder.path(), device->cacheDir().path());
    EXPECT_TRUE(loaded.result == 1 && loaded.found);
    EXPECT_EQ(messagesOf(loaded.lineDir), expected);

    // Back to the phone: messages kept in a local database first go into the
    // kept backup's LINE copy, which is merged into the folder; then the
    // trimmed list goes in place of Manifest.db with the options of a
    // system-mode answer; a restore refused for good forgets the backup.
    Drive keeping, restoring, merging;
    BackupLineMessagesThread keep(source(), QDir(work.filePath("local")), keeping.form);
    ASSERT_EQ(keeping.run(keep), 1);
    auto local = QSharedPointer<LineLocalDb>::create(QDir(work.filePath("local")));
    LineData kept(local, 5000);
    local->loadDataThrow(kept);
    const PAbsLineMsgsSource keptMessages(new LineMsgsDataSource(kept, nullptr, true));
    IOSRestoreLineMsgThread job(device, keptMessages, restoring.form);
    ASSERT_EQ(restoring.run(job), 1) << restoring.error().toStdString();
    BackupManifest backup(folder.path());
    backup.readManifestInfo();
    IOSMergeWAFiles2iTunesBKThread merge(backup, job.mergeItems, merging.form);
    ASSERT_EQ(merging.run(merge), 1) << merging.error().toStdString();
    backup.saveManifestDbAsThrow(false, {kApp, kGroup}, folder.filePath("Manifest-line.db"), nullptr);
    const QByteArray trimmed = readFile(folder.filePath("Manifest-line.db"));
    for (const QString phoneError : {"", "mberrordomain/205"}) {
        phone.backup2.errorCode = !phoneError.isEmpty();
        phone.backup2.errorDescription = phoneError;
        sim.detach(kUdid);
        sim.attach(phone);
        Drive drive;
        IOSMobileRestoreThread thread(true, device, iosbackup_temp_dir("line"), true, drive.form);
        thread.restoreSystemFiles = false;
        thread.manifestName = "Manifest-line.db";
        thread.setBackupPasscode("pw");
        EXPECT_EQ(drive.run(thread), phoneError.isEmpty());
        EXPECT_EQ(folder.exists(), phoneError.isEmpty());
        const SimBackup2 seen = sim.backup2Played(kUdid);
        const PlistCFType options = seen.request.get("Options");
        EXPECT_FALSE(options.get("RestoreSystemFiles").CFNumberBool(true));
        EXPECT_EQ(options.get("Password").CFStringQString(), "pw");
        const auto received = [&](const QString& domain, const QString& path) {
            const QString id = backupbuilder::fileId(domain, path);
            return seen.received.value(kUdid + '/' + id.left(2) + '/' + id);
        };
        EXPECT_EQ(received(kApp, kStore + "Message Attachments/uAmy/n1.jpg"), "new photo");
        const QString sent = work.filePath("sent.sqlite");
        ASSERT_TRUE(testenv::writeFile(sent, received(kGroup, kStore + "Messages/Line.sqlite")));
        const QString ids = sqlitecli::textThrow(sent, "select group_concat(ZID) from ZMESSAGE");
        EXPECT_EQ(ids, "m1,m2,n1,g1,g2,x/y,d1");
        EXPECT_EQ(seen.received.value(kUdid + "/Manifest.db"), trimmed);
        EXPECT_EQ(seen.received.size(), 10); // the list, Manifest.plist and the eight files it names
    }

    // A merge cut off inside its commit: the phone's next backup into the
    // folder, and a restore from it, each find it settled first, so that no
    // later open undoes it over what the phone sent, nor the phone gets a
    // state that the next open changes.
    for (SimBackupFile& f : phone.backup2.files)
        if (f.path.endsWith("Messages/Line.sqlite"))
            f.data = "the phone's newer store";
    const QString dbId = backupbuilder::fileId(kGroup, kStore + "Messages/Line.sqlite");
    const QString dbFile = folder.filePath(dbId.left(2) + '/' + dbId);
    for (const int round : {0, 1, 2}) { // a new backup, one into the kept folder, a restore
        const bool restore = round == 2;
        phone.backup2.errorCode = 0;
        sim.detach(kUdid);
        sim.attach(phone);
        Drive drive, cutting;
        if (folder.exists()) {
            BackupManifest cut(folder.path());
            cut.readManifestInfo();
            // Entries without the load's records, as other callers give
            // them: the folder holds the phone's newer backup now.
            QList<IOSMergeWAFiles2iTunesBKThread::_Item> items = job.mergeItems;
            for (auto& item : items)
                item.copiedFrom.clear();
            IOSMergeWAFiles2iTunesBKThread merge(cut, items, cutting.form);
            StagedFiles::stopAfterRenames = 2;
            EXPECT_EQ(cutting.run(merge), 0);
            StagedFiles::stopAfterRenames = -1;
            ASSERT_TRUE(MergeJournal::exists(folder.path()));
            // And an upload that a crash cut off; a link at such a name is not one.
            ASSERT_TRUE(testenv::writeFile(folder.filePath("Snapshot/ab/.x.part-AbC123"), "cut"));
            ASSERT_TRUE(restore || QFile::link(dbFile, folder.filePath(".y.part-LnK000")));
        }
        IOSMobileBackupThread backingUp(true, device, false, "line", drive.form);
        IOSMobileRestoreThread restoring(true, device, iosbackup_temp_dir("line"), false, drive.form);
        backingUp.apps << "jp.naver.line";
        EXPECT_EQ(drive.run(restore ? static_cast<QThread&>(restoring) : backingUp), 1) << drive.error().toStdString();
        EXPECT_FALSE(MergeJournal::exists(folder.path()));
        EXPECT_EQ(folder.exists("Snapshot/ab/.x.part-AbC123"), restore);
        EXPECT_EQ(QFileInfo(folder.filePath(".y.part-LnK000")).isSymLink(), round > 0);
        BackupManifest(folder.path()).readManifestInfo();
        const QByteArray sent = sim.backup2Played(kUdid).received.value(kUdid + '/' + dbId.left(2) + '/' + dbId);
        EXPECT_EQ(readFile(dbFile), restore ? sent : QByteArray("the phone's newer store"));
    }
    // Clearing the cache leaves a backup that another window still reads.
    auto reading = std::make_unique<BackupLock>(folder.path(), BackupLock::Shared);
    const int waitMs = std::exchange(BackupLock::defaultWaitMs, 0);
    iosbackup_clear_temp("line");
    EXPECT_TRUE(folder.exists(dbFile));
    reading.reset();
    iosbackup_clear_temp("line");
    BackupLock::defaultWaitMs = waitMs;
    EXPECT_FALSE(iosbackup_temp_dir("line").exists()) << simFilesBelow(iosbackup_temp_dir("line").path()).join(" ").toStdString();
}

// The phone's next backup lands in the folder (plain, or encrypted with the
// same keys) between the load of LINE and the restore's merge, or changes only
// the store's log there: the merge would put the older store over the newer
// one, so it writes nothing and asks for a new load, after which the restore
// keeps every message. The same backup landing before the load is merged at
// once. A load cut off between the store and its log, and a copy without the
// load's record, are refused before the copy or the backup changes. On media
// that refuse every change of a file's mode the load and the merge go as
// elsewhere.
TEST_F(Roads, ARestoreNeverPutsAStoreCopiedFromAnEarlierBackupOverTheNextOne)
{
    QTemporaryDir next; // the phone's store at its next backup: messages the copy never had
    LineStoreBuilder line(next.path());
    qint64 amy = 0;
    const qint64 chat = addAmysChat(line, &amy);
    for (int i = 0; i < 50; ++i)
        line.addMessage(LineMsgRow(chat, QString("next%1").arg(i)).at(1600000010000 + i).text("newer").from(amy));
    line.build();
    const auto messages = source();
    const auto restoreJob = [&] {
        Drive restoring;
        IOSRestoreLineMsgThread job(device, messages, restoring.form);
        EXPECT_EQ(restoring.run(job), 1) << restoring.error().toStdString();
        return job.mergeItems;
    };
    const QString cache = device->cacheDir().path(), oneOwner = QFileInfo(cache).path();
    const QString log = kStore + "Messages/Line.sqlite-wal";
    // The store as the app leaves it between checkpoints: its last messages
    // in the log alone, one more there at the next backup.
    QTemporaryDir app;
    ASSERT_TRUE(testenv::copyOver(container.path(), app.path()));
    Sqlite3DB logging;
    logging.openThrow(app.filePath(kStore + "Messages/Line.sqlite"), 2);
    const auto logged = [&](const QString& id) {
        logging.executeThrow("insert into ZMESSAGE (ZID, ZCHAT, ZSENDER, ZTIMESTAMP, ZCONTENTTYPE, ZTEXT) select '" + id
                             + "', ZCHAT, ZSENDER, ZTIMESTAMP, ZCONTENTTYPE, ZTEXT from ZMESSAGE where ZID='m1'");
        return lineEntries(app.path(), true);
    };
    const QJsonArray withLog = logged("logged1");
    QJsonArray nextLogOnly; // the store and the rest as they were
    for (const QJsonValue& newer : logged("logged2"))
        for (const QJsonValue& e : newer["path"] == log ? withLog : QJsonArray())
            nextLogOnly.append(e["path"] == log ? newer : e);
    enum Road { NextFirst, NextBetween, LogBetween, LoadCut, NoRecord, OneOwner };
    const Tweak cut = [](BackupManifest&, ProgressForm&) {
        hookRenames([](const QString&, const QString& to, bool done) { return !done && to.endsWith("-wal") ? EIO : 0; });
    };
    for (const QString password : {"", "pw"}) {
        const auto build = [&](const QJsonArray& e, const QString& at) {
            backupbuilder::build(at, {{"entries", e}, {"password", password}, {"seed", "phone"}});
            return at;
        };
        const auto merge = [&](const QString& folder, const QList<IOSMergeWAFiles2iTunesBKThread::_Item>& items) {
            BackupManifest backup(folder);
            backup.readManifestInfo();
            EXPECT_TRUE(password.isEmpty() || backup.setPasscodeNoUIThrow(password));
            Drive merging;
            IOSMergeWAFiles2iTunesBKThread job(backup, items, merging.form);
            return merging.run(job) ? QString() : merging.error();
        };
        for (const Road road : {NextFirst, NextBetween, LogBetween, LoadCut, NoRecord, OneOwner}) {
            const QString at = road == OneOwner ? oneOwner : work.path();
            const QString folder = build(withLog, at + QString("/b%1%2").arg(password).arg(road));
            const auto nextBackup = [&] { return testenv::copyOver(build(lineEntries(next.path(), true), folder + "n"), folder); };
            const auto nextLog = [&] { // only what changed lands: the log's data file and the list
                const QString from = build(nextLogOnly, folder + "w");
                for (const QString& name : simFilesBelow(from))
                    if (readFile(from + '/' + name) == readFile(folder + '/' + name))
                        QFile::remove(from + '/' + name);
                return testenv::copyOver(from, folder);
            };
            ASSERT_TRUE(road != NextFirst || nextBackup());
            refuseModeChangesBelow(road == OneOwner ? oneOwner : "");
            const Load loaded = load(folder, cache, road == LoadCut ? cut : Tweak(), password);
            hookRenames(nullptr);
            ASSERT_EQ(loaded.found, road != LoadCut) << loaded.error.toStdString();
            if (road == LoadCut || road == NoRecord) {
                EXPECT_TRUE(QFile::remove(loaded.lineDir + "/backup-records") != (road == LoadCut));
                EXPECT_TRUE(QFile::exists(loaded.lineDir + '/' + kStore + "Messages/Line.sqlite")
                            && QFile::exists(loaded.lineDir + '/' + log) == (road == NoRecord));
                const auto before = testenv::snapshot(folder), cached = testenv::snapshot(cache);
                Drive restoring;
                IOSRestoreLineMsgThread job(device, messages, restoring.form);
                EXPECT_EQ(restoring.run(job), 0);
                EXPECT_TRUE(restoring.error().contains("load LINE from the backup again")) << restoring.error().toStdString();
                EXPECT_TRUE(job.mergeItems.isEmpty() && testenv::snapshot(folder) == before && testenv::snapshot(cache) == cached);
                continue;
            }
            auto items = restoreJob();
            if (road == NextBetween || road == LogBetween) {
                ASSERT_TRUE(road == LogBetween ? nextLog() : nextBackup());
                auto before = testenv::snapshot(folder);
                const QString refused = merge(folder, items);
                EXPECT_TRUE(refused.contains("has changed since LINE was loaded from it")) << refused.toStdString();
                EXPECT_EQ(refused.contains("Line.sqlite-wal"), road == LogBetween) << refused.toStdString();
                auto after = testenv::snapshot(folder);
                before.remove("/Manifest-decrypted.db"), after.remove("/Manifest-decrypted.db"); // derived anew
                EXPECT_TRUE(after == before);
                ASSERT_TRUE(load(folder, cache, {}, password).found);
                items = restoreJob();
            }
            EXPECT_EQ(merge(folder, items), "") << password.toStdString() << road;
            refuseModeChangesBelow("");
            const QByteArray back = QJsonDocument(backupbuilder::readBack(folder, password)).toJson(); // hex or why not
            EXPECT_FALSE(back.size() < 1000 || back.contains("error") || back.contains("missing") || back.contains("failed"));
            ASSERT_TRUE(load(folder, work.filePath("check"), {}, password).found);
            const bool newer = road == NextFirst || road == NextBetween;
            EXPECT_EQ(sqlitecli::textThrow(work.filePath("check/jp.naver.line/") + kStore + "Messages/Line.sqlite",
                                           "select count(*) from ZMESSAGE where ZID like 'next%' or ZID like 'logged%'"
                                           " or ZID in ('g1', 'n1', 'm1', 'm2')"),
                      newer ? "54" : road == LogBetween ? "6" : "5") << road;
        }
    }
}

// Another window's merge that would commit while a load copies LINE's
// database and then its log waits for the load: the copy is of one state,
// and the next load has the other whole. One that commits after the list was
// read but before the copy makes the load read the list again.
TEST_F(Roads, AMergeThatWouldCommitDuringALoadWaitsForIt)
{
    const QString folder = work.filePath("b"), db = kStore + "Messages/Line.sqlite";
    QJsonArray withLog;
    QByteArray oldStore;
    for (const QJsonValue& e : entries) {
        if (e["path"].toString() == db)
            oldStore = e["data"].toString().toLatin1();
        if (e["path"].toString() != db + "-wal")
            withLog.append(e);
    }
    withLog.append(backupbuilder::file(kGroup, db + "-wal", "old log"));
    backupbuilder::build(folder, {{"entries", withLog}});
    using Item = IOSMergeWAFiles2iTunesBKThread::_Item;
    const auto items = [&](const QByteArray& store, const QByteArray& log) {
        EXPECT_TRUE(testenv::writeFile(work.filePath(store), store) && testenv::writeFile(work.filePath(log), log));
        return QList<Item>{Item(kGroup, work.filePath(store), db, true, false),
                           Item(kGroup, work.filePath(log), db + "-wal", true, false),
                           Item(kGroup, work.filePath(log), "Library/" + log, true, false)};
    };
    BackupManifest other(folder);
    other.readManifestInfo();
    Drive merging;
    IOSMergeWAFiles2iTunesBKThread merge(other, items("new store", "new log"), merging.form);
    std::atomic<bool> started{false};
    hookRenames([&](const QString&, const QString& to, bool done) {
        if (done && to.endsWith("/Line.sqlite") && !started.exchange(true)) {
            merge.start();
            merge.wait(300); // time enough to commit, unless it waits for the load
        }
        return 0;
    });
    const Tweak late = [&](BackupManifest&, ProgressForm&) {
        BackupManifest third(folder);
        third.readManifestInfo();
        Drive drive;
        IOSMergeWAFiles2iTunesBKThread commits(third, items("newer store", "newer log"), drive.form);
        EXPECT_EQ(drive.run(commits), 1);
    };
    for (const QByteArray& log : {QByteArray("old log"), QByteArray("new log"), QByteArray("newer log")}) {
        const Load loaded = load(folder, work.filePath("cache"), log == "newer log" ? late : Tweak());
        hookRenames(nullptr);
        ASSERT_TRUE(started && merge.wait(10000));
        ASSERT_EQ(loaded.result, 1) << loaded.error.toStdString();
        const QString copy = loaded.lineDir + '/' + db;
        EXPECT_EQ(readFile(copy + "-wal"), log);
        EXPECT_EQ(readFile(copy), log == "old log" ? oldStore : QByteArray(log).replace("log", "store"));
        EXPECT_EQ(readFile(loaded.lineDir + "/Library/" + log), log == "old log" ? "<missing>" : log);
    }
}

TEST_F(Roads, AnEncryptedPhoneLoadsAndTakesItsMessagesBackWithItsPasswordOnly)
{
    SimIPhone sim;
    SimDevice phone(kUdid);
    const QHash<QString, QString> groups {{"group.com.linecorp.line", "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"}};
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", groups}};
    QHash<QString, QByteArray> onPhone; // by "<domain>-<path>"
    for (const QJsonValue& e : entries) {
        if (e["kind"].toInt() == 0) {
            phone.backup2.files.append({e["domain"].toString(), e["path"].toString(), e["data"].toString().toLatin1()});
            onPhone[e["domain"].toString() + '-' + e["path"].toString()] = phone.backup2.files.last().data;
        }
    }
    phone.backup2.password = "pw";
    sim.attach(phone);
    const QDir folder(iosbackup_temp_dir("line").filePath(kUdid));
    { // each window's notices answered by its own driver only
        Drive backingUp, restoring, merging;
        IOSMobileBackupThread backupThread(true, device, false, "line", backingUp.form);
        backupThread.apps << "jp.naver.line";
        ASSERT_EQ(backingUp.run(backupThread), 1) << backingUp.error().toStdString();
        EXPECT_EQ(load(folder.path(), device->cacheDir().path(), {}, "wrong").error, "password refused");
        const Load loaded = load(folder.path(), device->cacheDir().path(), {}, "pw");
        ASSERT_TRUE(loaded.result == 1 && loaded.found) << loaded.error.toStdString();
        EXPECT_EQ(messagesOf(loaded.lineDir), expected);

        IOSRestoreLineMsgThread job(device, source(), restoring.form);
        ASSERT_EQ(restoring.run(job), 1) << restoring.error().toStdString();
        BackupManifest backup(folder.path());
        backup.readManifestInfo();
        ASSERT_TRUE(backup.setPasscodeNoUIThrow("pw"));
        IOSMergeWAFiles2iTunesBKThread merge(backup, job.mergeItems, merging.form);
        ASSERT_EQ(merging.run(merge), 1) << merging.error().toStdString();
        backup.saveManifestDbAsThrow(false, {kApp, kGroup}, folder.filePath("Manifest-line.db"), nullptr);
        for (const auto& item : job.mergeItems) { // what the phone must get back
            const QString name = item.domain + '-' + item.relativePath;
            if (item.overwrite || !onPhone.contains(name))
                onPhone[name] = readFile(item.localFile);
        }
    }
    const QString refused = "Invalid password when restoring encrypted backup (MBErrorDomain/207)";
    for (const QString password : {"wrong", "", "pw"}) {
        Drive drive;
        IOSMobileRestoreThread thread(true, device, iosbackup_temp_dir("line"), true, drive.form);
        thread.manifestName = "Manifest-line.db";
        thread.setBackupPasscode(password);
        EXPECT_EQ(drive.run(thread), password == "pw") << password.toStdString();
        EXPECT_EQ(drive.error().contains(refused), password != "pw") << drive.error().toStdString();
        EXPECT_TRUE(folder.exists()); // a wrong password is no reason to make the backup again
        const QHash<QString, QByteArray> none;
        EXPECT_EQ(sim.backup2Played(kUdid).restored, password == "pw" ? onPhone : none);
    }
}

TEST_F(Roads, TheLoadJobCopiesLinesFilesIntoItsCacheFolderAndNothingAnywhereElse)
{
    using Node = BackupManifest::_FileNode;
    const auto only = [&](const QString& domain) {
        QJsonArray out {backupbuilder::file("HomeDomain", "Library/x", "home")};
        const auto inDomain = [&](const QJsonValue& e) { return e["domain"] == domain; };
        std::copy_if(entries.begin(), entries.end(), std::back_inserter(out), inDomain);
        return out;
    };
    const auto hostile = [](BackupManifest& b, ProgressForm&) { // names no list gives: the load's own guard
        Node* lib = b.root.children[0]->children[0]->children[0];
        Node* up = new Node(lib, MBDBParser::_MBDBItem(), "..");
        const MBDBParser::_MBDBItem file = lib->children[0]->children[0]->item;
        up->item.mode = 0x4000;
        up->children << new Node(up, file, "evil");
        lib->children << up;
        for (const char* name : {"a/../../x", "", "CON"})
            lib->children << new Node(lib, file, name);
    };
    const QString cache = work.filePath("cache"), line = "jp.naver.line/", lib = line + "Library/";
    const QString messages = line + kStore + "Messages/Line.sqlite";
    const QStringList prefs {lib + "Preferences/jp.naver.line.plist"};
    const QStringList db {line + "backup-domain", line + "backup-records", line + kStore + "Message Attachments/uAmy/m2.jpg",
                          messages};
    const QStringList all = db + prefs + QStringList {line + "kept"};
    const Tweak cancel = [](BackupManifest&, ProgressForm& f) { f.cancelled = true; };
    const Tweak stale = [&](BackupManifest&, ProgressForm&) {
        EXPECT_TRUE(testenv::writeFile(cache + '/' + lib + "gone", ""));
        EXPECT_TRUE(testenv::writeFile(cache + '/' + line + "kept", ""));
    };
    const Tweak unrecorded = [](BackupManifest&, ProgressForm&) { // else a restore would take the copy for unloaded
        hookRenames([](const QString&, const QString& to, bool done) { return !done && to.endsWith("/backup-records") ? ENOSPC : 0; });
    };
    const Tweak stuck = [&](BackupManifest&, ProgressForm&) { testenv::writeFile(cache + '/' + line + "backup-records/x", ""); };
    const QStringList escaped {lib + "%00", lib + "%2E%2E/evil", lib + "%43%4F%4E", lib + "a%2F..%2F..%2Fx"};
    const struct { QJsonArray entries; Tweak tweak; int result; QStringList files; QString error {}; } cases[] = {
        {only(kApp), {}, 1, prefs},
        {only(kGroup), {}, 1, db},
        {only("x"), {}, 0, db}, // nothing of LINE: the cache stays as it was
        {entries, cancel, 0, {}},
        {entries, stale, 1, all},
        {entries, hostile, 1, all + escaped},
        {entries, unrecorded, 0, all.filter(QRegularExpression("^(?!.*backup-records)")), "could not record what it copied"},
        {entries, stuck, 0, {line + "backup-records/x", line + "kept"}, "could not record what it copied"}, // cannot go
    };
    for (const auto& c : cases) {
        g_delDirCascade(work.filePath("b"));
        backupbuilder::build(work.filePath("b"), {{"entries", c.entries}});
        const Load loaded = load(work.filePath("b"), cache, c.tweak);
        hookRenames(nullptr);
        EXPECT_EQ(loaded.result, c.result);
        EXPECT_TRUE(loaded.error.contains(c.error)) << loaded.error.toStdString();
        EXPECT_EQ(loaded.found, c.files.contains(messages) && c.result);
        EXPECT_EQ(loaded.error.contains("Found no Line data"), c.result == 0 && !c.tweak);
        QStringList want = c.files;
        want.sort();
        // Every file but the backup's, a file outside the cache with its whole name.
        QStringList files = simFilesBelow(work.path()).filter(QRegularExpression("^(?!b/)"));
        EXPECT_EQ(files.replaceInStrings(QRegularExpression("^cache/"), ""), want);
    }
}

TEST_F(Roads, TheRestoreJobWritesEachMessageOnceListsFilesUnderPlainNamesOnlyAndLosesNoCommittedMessage)
{
    const auto full = source();
    device->udid = "00000000-0000000000000001";
    backupbuilder::build(work.filePath("group"), {{"entries", entries}});
    backupbuilder::build(work.filePath("app"), {{"entries", lineEntries(container.path(), false)}});
    const QStringList files {"app Message Attachments/uAmy/n1.jpg p.jpg", "app Message Thumbnails/uAmy/n1.thumb t"};
    const QString cafe = QString::fromUtf8("app Message Attachments/cG/g1_cafe\xcc\x81.txt p.jpg");
    const QStringList sent = files + files + QStringList {cafe};
    // The store and its two side files as "<domain> <path> <local name>", "!" to overwrite.
    const auto withDb = [](QStringList items, const QString& domain, bool standIn) {
        for (const QString side : {"", "-wal", "-shm"}) {
            const QString local = side.isEmpty() || !standIn ? "Line.sqlite" + side : "empty";
            items << domain + " Messages/Line.sqlite" + side + " " + local + (side.isEmpty() ? "!" : "(empty)!");
        }
        return items;
    };
    Sqlite3DB reader; // another connection to the store: closed, idle, or in the middle of a read
    // Without the record of the domain, one by iOS version that the load's
    // record of what it copied does not cover is refused.
    const QString reload = "load LINE from the backup again";
    const struct { QString version, backup; bool full, noRecord; int reader; QStringList items;
                   QString error = "could not be made ready for the phone"; } cases[] = {
        {"16.4", "group", true, false, 0, withDb(sent, "group", false)},
        {"16.4", "app", false, false, 0, withDb({}, "app", false)},
        {"7.1", "group", false, true, 0, {}, reload},
        {"7.1", "app", false, true, 0, withDb({}, "app", false)},
        {"8.0", "group", false, true, 0, withDb({}, "group", false)},
        {"16.4", "group", true, false, 1, withDb(sent, "group", true)},
        {"16.4", "group", true, false, 2, {}},
    };
    const QString order = "select m.ZID, u.ZMID, c.ZENABLE from ZMESSAGE m join ZUSER u on u.Z_PK = m.ZSENDER"
                          " join ZCHAT c on c.Z_PK = m.ZCHAT order by m.ZTIMESTAMP";
    for (const auto& c : cases) {
        device->ProductVersion = c.version;
        g_delDirCascade(device->cacheDir().path());
        const QString lineDir = load(work.filePath(c.backup), device->cacheDir().path()).lineDir;
        const QString db = lineDir + '/' + kStore + "Messages/Line.sqlite";
        if (c.noRecord)
            QFile::remove(lineDir + "/backup-domain");
        reader.openThrow(db, 2);
        reader.executeThrow("update ZCHAT set ZENABLE=NULL where ZMID='uAmy'"); // to be enabled again
        if (c.reader == 2)
            reader.beginTran();
        reader.queryThrow("select count(*) from ZMESSAGE").moveNext();
        if (c.reader == 0)
            reader.close();
        Drive drive;
        IOSRestoreLineMsgThread job(device, c.full ? full : QSharedPointer<LineMsgsListSource>::create(), drive.form);
        EXPECT_EQ(drive.run(job), c.items.isEmpty() ? 0 : 1);
        EXPECT_EQ(drive.error().contains(c.error), c.items.isEmpty()) << drive.error().toStdString();
        QStringList items;
        for (const auto& i : job.mergeItems) {
            const QFileInfo local(i.localFile);
            const QString name = local.fileName() + (local.size() ? "" : "(empty)") + (i.overwrite ? "!" : "");
            const QString domain = i.domain == kApp ? "app" : "group";
            items << QStringList {domain, i.relativePath.mid(kStore.size()), name}.join(' ');
        }
        EXPECT_TRUE(c.items.isEmpty() || items == c.items) << items.join('\n').toStdString();
        EXPECT_EQ(job.restoredCount, c.full ? 7 : 0);
        EXPECT_EQ(job.filesLeftOut, c.full ? 3 : 0);
        if (c.reader)
            reader.queryThrow("select count(*) from ZMESSAGE").moveNext(); // still readable
        reader.close();
        EXPECT_EQ(lineStoreProblemsThrow(db), QStringList());
        const QString restored = "m1|uAmy|1\nn1|uAmy|1\ng1|uAmy|1\ng2|uAmy|1\nx/y|uAmy|1\nd1|uAmy|1";
        const QString stored = c.full ? restored : c.error == reload ? "m1|uAmy|\nm3|uAmy|" : "m1|uAmy|"; // a refused one keeps m3
        EXPECT_EQ(sqlitecli::textThrow(db, order), stored);
    }
}

// Without force a copy already in the cache is kept only when it holds
// something: an empty one (a copy cut short) is made again.
TEST_F(Roads, TheLoadKeepsAnEarlierCopyOnlyWhenItIsNotEmpty)
{
    using namespace backupbuilder;
    backupbuilder::build(work.filePath("b"), {{"entries", QJsonArray {folder(kApp, ""), folder(kApp, "Library"),
                                                                      file(kApp, "Library/a", "new")}}});
    BackupManifest backup(work.filePath("b"));
    backup.readManifestInfo();
    backup.parseInfo();
    std::function<const BackupManifest::_FileNode*(const BackupManifest::_FileNode*)> find = [&](auto* n) {
        for (const BackupManifest::_FileNode* c : n->children) {
            if (const BackupManifest::_FileNode* hit = c->name == "a" ? c : find(c))
                return hit;
        }
        return static_cast<const BackupManifest::_FileNode*>(nullptr);
    };
    const BackupManifest::_FileNode* node = find(&backup.root);
    ASSERT_TRUE(node);
    const struct { const char* earlier; bool force; const char* after; } cases[] = {
        {nullptr, false, "new"}, {"", false, "new"}, {"old", false, "old"}, {"old", true, "new"}, {"", true, "new"},
    };
    ProgressForm form {""};
    IOSLoadLineFromiTunesThread job(&backup, form, work.filePath("cache"));
    for (const auto& c : cases) {
        const QString target = work.filePath("dst/a");
        QFile::remove(target);
        if (c.earlier)
            ASSERT_TRUE(testenv::writeFile(target, c.earlier));
        job.copyThrow(node, QDir(work.filePath("dst")), c.force);
        EXPECT_EQ(readFile(target), c.after) << (c.earlier ? c.earlier : "none") << c.force;
    }
}

} // namespace
