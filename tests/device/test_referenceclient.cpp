// The simulated iPhone against the reference client, idevicebackup2 of
// Debian's libimobiledevice-utils: what that client can back up and restore,
// the engine must store and send byte for byte the same way.
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include "device/backup2tool.h"
#include "device/fakebackup2toolhook.h"
#include "device/iosloadlinefromitunesthread.h"
#include "foundation/progressform.h"
#include "tests/support/backupbuilder.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;
const QString kTool = "/usr/bin/idevicebackup2";
const QString kUdid = "00008030-001A2B3C4D5E6F70";

QByteArray bytes(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char(i * 7 % 256);
    return out;
}

class ReferenceClient : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo::exists(kTool))
            GTEST_SKIP() << "/usr/bin/idevicebackup2 is absent: install libimobiledevice-utils (scripts/setup.sh does)";
        const QHash<QString, QString> groups {{"group.com.linecorp.line", "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"}};
        phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", groups},
                      {"com.other", "FEDCBA98-7654-4321-8FED-CBA987654321", {}}};
        // Sizes around the records of both sides: 32768 from a computer, 65536 from the phone.
        phone.backup2.files = {{"AppDomain-jp.naver.line", "Documents/talk.sqlite", "line data"},
                               {"AppDomain-jp.naver.line", "Library/empty", ""},
                               {"AppDomainGroup-group.com.linecorp.line", "Messages/Line.sqlite", bytes(140000)},
                               {"AppDomain-com.other", "Documents/o", bytes(65536)},
                               {"HomeDomain", "Library/Preferences/h.plist", bytes(32768)}};
        QJsonArray entries;
        for (const SimBackupFile& f : phone.backup2.files)
            entries.append(backupbuilder::file(f.domain, f.path, f.data));
        backupbuilder::build(work.filePath("phone"), {{"udid", kUdid}, {"entries", entries}});
        for (const char* name : {"Manifest.db", "Manifest.plist", "Status.plist"})
            phone.backup2.meta[name] = readFile(work.filePath("phone/") + name);
        phone.backup2.version = 400; // both clients meet today's phones' opening and binary messages
        phone.backup2.xmlMessages = false;
        phone.media = work.filePath("media"); // a real phone has the sync lock file
        ASSERT_TRUE(testenv::writeFile(phone.media + "/com.apple.itunes.lock_sync", ""));
        sim.attach(phone);
    }

    QString at(const QString& rel) const { return work.path() + '/' + rel; }

    // The reference client's output, or a note that it did not end.
    QString tool(const QStringList& args)
    {
        forget();
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(kTool, QStringList {"-u", kUdid} + args);
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return "<did not end>";
        }
        const QString exit = p.exitStatus() == QProcess::NormalExit ? QString::number(p.exitCode()) : "crash";
        return QString::fromUtf8(p.readAll()) + "<exit " + exit + '>';
    }

    // A run of the engine: "" or the text it threw.
    QString engine(const QString& root, backup2tool_op op, QSharedPointer<Backup2ToolHook> hook = {})
    {
        forget();
        QDir().mkpath(at(root));
        try {
            backup2tool(kUdid, QDir(at(root)), hook).runThrow(_backup2tool_req(op));
        } catch (const std::exception& e) {
            return e.what();
        }
        return QString();
    }

    SimBackup2 played() { return sim.backup2Played(kUdid); }

    void forget()
    {
        sim.edit(kUdid, [](SimDevice& d) {
            d.backup2.replies.clear();
            d.backup2.downloads.clear();
            d.backup2.received.clear();
            d.backup2.uploaded.clear();
            d.backup2.finished = 0;
        });
    }

    bool willEncrypt()
    {
        bool on = false;
        sim.edit(kUdid, [&](SimDevice& d) {
            on = d.values.value("com.apple.mobile.backup").get("WillEncrypt").CFNumberBool(false);
        });
        return on;
    }

    QTemporaryDir work;
    SimIPhone sim;
    SimDevice phone {kUdid};
};

// Every file below the folder with its bytes, by relative path.
QMap<QString, QByteArray> contents(const QString& folder)
{
    QMap<QString, QByteArray> out;
    for (const QString& file : simFilesBelow(folder))
        out[file] = readFile(folder + '/' + file);
    return out;
}

TEST_F(ReferenceClient, BacksUpAndRestoresThePhoneAndTheEngineStoresAndSendsTheSameBytes)
{
    const QString full = tool({"backup", work.path()});
    EXPECT_TRUE(full.contains("Full backup mode.") && full.contains("Backup Successful.")) << full.toStdString();
    EXPECT_EQ(played().uploaded.size(), phone.backup2.files.size() + 3);
    // The lock a real client takes, and the notifications around it.
    const QStringList seen = sim.requests();
    EXPECT_TRUE(seen.contains("com.apple.afc:FileLock"));
    EXPECT_TRUE(seen.contains("com.apple.mobile.notification_proxy:PostNotification "
                              "com.apple.itunes-mobdev.syncDidStart"));
    const QString incremental = tool({"backup", work.path()});
    EXPECT_TRUE(incremental.contains("Incremental backup mode.") && incremental.contains("Backup Successful."))
        << incremental.toStdString();
    const SimBackup2 again = played();
    EXPECT_EQ(again.uploaded.size(), 3); // the metadata only
    EXPECT_EQ(again.received.value(kUdid + "/Manifest.db"), phone.backup2.meta["Manifest.db"]); // the last list
    const QString forced = tool({"backup", "--full", work.path()});
    EXPECT_TRUE(forced.contains("Backup Successful.")) << forced.toStdString();
    EXPECT_EQ(played().uploaded.size(), phone.backup2.files.size() + 3);
    const QMap<QString, QByteArray> reference = contents(at(kUdid));
    // Info.plist is the computer's own account of the backup (a random GUID,
    // the date of the run); the reference client writes it, the engine keeps
    // none, and no reader of the product opens it.
    ASSERT_TRUE(reference.contains("Info.plist"));
    EXPECT_TRUE(reference["Info.plist"].contains(kUdid.toUtf8()));
    QMap<QString, QByteArray> phoneWritten = reference;
    phoneWritten.remove("Info.plist");
    EXPECT_EQ(phoneWritten.size(), phone.backup2.files.size() + 3);

    // The engine into new folders, then again over them: the second run sends
    // the phone the lists the reference client sent for its incremental backup.
    const auto partialHook = [] {
        auto hook = QSharedPointer<FakeBackup2ToolHook>::create();
        hook->keepApps = {"jp.naver.line"};
        hook->keepNonAppFiles = true;
        return hook;
    };
    for (const QString root : {"engine", "partial"}) {
        for (int run = 0; run < 2; ++run) {
            auto hook = root == "partial" ? partialHook() : QSharedPointer<Backup2ToolHook>();
            ASSERT_EQ(engine(root, Backup, hook), "") << root.toStdString();
            const SimBackup2 byEngine = played();
            EXPECT_EQ(byEngine.uploaded.size(), run ? 3 : phone.backup2.files.size() + 3) << root.toStdString();
            if (run) {
                EXPECT_EQ(byEngine.downloads, again.downloads) << root.toStdString();
            }
        } // the partial hook's index commits when the hook goes
    }
    EXPECT_EQ(contents(at("engine/" + kUdid)), phoneWritten);
    // The partial backup: the same bytes, without the other app's files, and
    // with the index of what the phone sent.
    QMap<QString, QByteArray> partial = contents(at("partial/" + kUdid));
    EXPECT_TRUE(partial.remove("dname.sqlite"));
    QMap<QString, QByteArray> kept = phoneWritten;
    const QString other = simFileId(phone.backup2.files[3]);
    EXPECT_EQ(kept.remove(other.left(2) + '/' + other), 1);
    EXPECT_EQ(partial, kept);

    const QString restored = tool({"restore", "--system", work.path()}); // as the engine asks by default
    EXPECT_TRUE(restored.contains("Restore Successful.")) << restored.toStdString();
    const SimBackup2 byReference = played();
    EXPECT_EQ(byReference.received.size(), phone.backup2.files.size() + 2); // the lists and every file
    ASSERT_EQ(engine("", Restore), "");
    const SimBackup2 byEngine = played();
    EXPECT_EQ(byEngine.downloads, byReference.downloads);
    EXPECT_EQ(byEngine.received.value(kUdid + '/' + other.left(2) + '/' + other), phone.backup2.files[3].data);
}

TEST_F(ReferenceClient, InfoListAndEncryptionRequestsGetTheirAnswer)
{
    QByteArray settings;
    EXPECT_EQ(testenv::runTool("/usr/bin/ideviceinfo", {"-u", kUdid, "-q", "com.apple.mobile.backup"}, &settings), 0);
    EXPECT_EQ(settings, "CloudBackupEnabled: false\nWillEncrypt: false\n"); // what the settings check reads
    const struct { QStringList args; QString said; bool encrypted; } cases[] = {
        {{"info", work.path()}, "", false}, // both quiet when they succeed
        {{"list", work.path()}, "", false},
        {{"encryption", "on", "secret"}, "Backup encryption has been enabled successfully.", true},
        {{"encryption", "off", "secret"}, "Backup encryption has been disabled successfully.", false},
    };
    for (const auto& c : cases) {
        const QString out = tool(c.args);
        EXPECT_TRUE(out.contains(c.said) && out.endsWith("<exit 0>") && !out.contains("ERROR")) << c.args.join(' ').toStdString() << ": "
                                                                     << out.toStdString();
        EXPECT_EQ(played().finished, 1) << c.args.join(' ').toStdString(); // answered, not left waiting
        EXPECT_EQ(willEncrypt(), c.encrypted) << c.args.join(' ').toStdString();
    }
}

// With encryption on, the phone's backups are encrypted: the reference
// client's folder opens with the password in an outside reader and in the
// load job, backup after backup, and a restore of it needs that password.
TEST_F(ReferenceClient, EncryptedBackupsOpenWithThePasswordAndRestoreOnlyWithIt)
{
    QTemporaryDir container; // LINE's store, for the load job to read back
    LineStoreBuilder line(container.path());
    addAmysChat(line);
    line.build();
    const auto messages = [](const QString& lineDir) {
        return messageLinesThrow(lineDir, [](const _LineMsg& m) {
            return m.uid + ' ' + (m.attaPath.isEmpty() ? QByteArray() : readFile(m.attaPath));
        });
    };
    for (QDirIterator it(container.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString rel = QDir(container.path()).relativeFilePath(it.next());
        const QString domain = rel.startsWith("Library/Application Support") ? "AppDomainGroup-group.com.linecorp.line"
                                                                           : "AppDomain-jp.naver.line";
        phone.backup2.files.append({domain, rel, readFile(it.filePath())});
    }
    phone.backup2.meta.clear(); // the phone's own lists
    sim.detach(kUdid);
    sim.attach(phone);
    ASSERT_TRUE(tool({"encryption", "on", "secret"}).endsWith("<exit 0>"));
    for (int run = 0; run < 2; ++run) { // the second backup sends the lists only
        const QString out = tool({"backup", work.path()});
        EXPECT_TRUE(out.contains("Backup Successful.")) << out.toStdString();
        EXPECT_EQ(played().uploaded.size(), run ? 3 : phone.backup2.files.size() + 3);
        const QJsonObject read = backupbuilder::readBack(at(kUdid), "secret");
        EXPECT_EQ(read.size(), phone.backup2.files.size());
        for (const SimBackupFile& f : phone.backup2.files)
            EXPECT_EQ(read[simFileId(f)].toString(), f.data.toHex()) << f.path.toStdString();
    }
    BackupManifest backup(at(kUdid));
    backup.readManifestInfo();
    EXPECT_TRUE(backup.info.isEncrypted);
    EXPECT_FALSE(backup.setPasscodeNoUIThrow("wrong"));
    ASSERT_TRUE(backup.setPasscodeNoUIThrow("secret"));
    backup.parseInfo();
    {
        ModalDriver driver;
        driver.answer(QMessageBox::Ok);
        ProgressForm form("");
        IOSLoadLineFromiTunesThread job(&backup, form, at("cache"));
        EXPECT_EQ(form.runWorker(job), 1) << driver.texts.join(' ').toStdString();
        form.waitForThread(job, true);
        EXPECT_TRUE(job.lineDbFound);
        EXPECT_EQ(messages(at("cache/jp.naver.line")), messages(container.path()));
    }
    // What a restore put back, by the phone's "<domain>-<path>".
    QHash<QString, QByteArray> all, apps;
    for (const SimBackupFile& f : phone.backup2.files) {
        all[f.domain + '-' + f.path] = f.data;
        if (f.domain != "HomeDomain")
            apps[f.domain + '-' + f.path] = f.data;
    }
    const struct { QStringList args; QString said; QHash<QString, QByteArray> restored; } cases[] = {
        {{"--password", "secret"}, "Restore Successful.", apps},
        {{"--system", "--password", "secret"}, "Restore Successful.", all},
        {{"--system", "--password", "wrong"}, "ErrorCode 207: Invalid password", {}},
    };
    for (const auto& c : cases) {
        sim.edit(kUdid, [](SimDevice& d) { d.backup2.restored.clear(); });
        const QString out = tool(QStringList {"restore"} + c.args + QStringList {work.path()});
        EXPECT_TRUE(out.contains(c.said)) << c.args.join(' ').toStdString() << ": " << out.toStdString();
        EXPECT_EQ(played().restored, c.restored) << c.args.join(' ').toStdString();
    }
}

} // namespace
