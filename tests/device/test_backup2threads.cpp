// The device backup and restore threads behind their progress window: what
// they report when the phone ends a run without its verdict, and how a
// cancel from the window ends them.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextDocument>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>

#include "backup/backuplock.h"
#include "backup/backupmanifest.h"
#include "device/iosdevice.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "foundation/fileutil.h"
#include "foundation/progressform.h"
#include "tests/support/modaldriver.h"
#include "tests/support/renamehook.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using namespace simpl;
const QString kUdid = "00008030-001A2B3C4D5E6F70";

SimStep dl(const char* message, const QList<PlistCFType>& args = {}, const QByteArray& raw = {}, bool cut = false)
{
    return {list(QList<PlistCFType> {str(message)} + args + QList<PlistCFType> {dict()}), raw, cut};
}
SimStep verdict(int code)
{
    return dl("DLMessageProcessMessage", {dict().put("ErrorCode", num(code)).put("ErrorDescription", str(""))});
}
QByteArray xml(const PlistCFType& p) { return p.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0); }

enum Kind { Backup, Restore };

class Backup2Threads : public ::testing::Test
{
protected:
    void SetUp() override
    {
        device->udid = kUdid;
        device->ProductVersion = "16.4";
        phone.media = media.path();
        g_delDirCascade(root.absolutePath());
    }
    // The thread of that kind for this device, behind `form`.
    std::unique_ptr<QThread> thread(Kind kind, ProgressForm& form)
    {
        if (kind == Backup) {
            auto t = std::make_unique<IOSMobileBackupThread>(false, device, false, "line", form);
            t->apps << "jp.naver.line";
            return t;
        }
        return std::make_unique<IOSMobileRestoreThread>(false, device, root, false, form);
    }
    // A finished backup of the device's iOS version, which a backup reuses.
    void finishedBackup()
    {
        using testenv::writeFile;
        const PlistCFType lockdown = dict().put("ProductVersion", str(device->ProductVersion));
        ASSERT_TRUE(writeFile(folder.filePath("Status.plist"), xml(dict().put("SnapshotState", str("finished")))));
        ASSERT_TRUE(writeFile(folder.filePath("Manifest.plist"), xml(dict().put("Lockdown", lockdown))));
        ASSERT_TRUE(writeFile(folder.filePath("Manifest.db"), "earlier list"));
        ASSERT_TRUE(IOSMobileBackupThread::isReusable(folder, device->ProductVersion));
    }

    QSharedPointer<IOSDevice> device = QSharedPointer<IOSDevice>::create();
    const QDir root = iosbackup_temp_dir("line");
    const QDir folder {root.filePath(kUdid)};
    QTemporaryDir media;
    SimIPhone sim;
    SimDevice phone {kUdid};
};

TEST_F(Backup2Threads, ARunThePhoneEndsWithoutItsVerdictIsAFailureAndLeavesNoBackupToLoad)
{
    const QString backupLost = "The iPhone ended the backup before it was complete.";
    const QString restoreLost = "The iPhone ended the restore before it was complete.";
    // version: the phone's DeviceLink; inTheWay: a file of the user's at the folder's name.
    const struct { Kind kind; bool reuse; QList<SimStep> script; QString error;
                   qint64 version = 400; bool inTheWay = false; } cases[] = {
        {Backup, false, {dl("DLMessageDisconnect")}, backupLost},
        {Backup, false, {}, "version exchange, error code -6", 401},
        {Backup, false, {}, "can not create " + folder.path(), 400, true},
        {Backup, true, {dl("DLMessageDisconnect")}, backupLost}, // the earlier Status.plist proves nothing
        {Backup, true, {dl("DLMessageGetFreeDiskSpace"), verdict(0)}, ""},
        {Restore, false, {dl("DLMessageDisconnect")}, restoreLost},
        // Hung up once its message was answered: the hang-up is what is read.
        {Restore, false, {dl("DLMessageGetFreeDiskSpace"), {PlistCFType(), {}, true}},
         "Could not receive from mobilebackup2"},
        {Restore, false, {verdict(0)}, ""},
    };
    for (const auto& c : cases) {
        g_delDirCascade(root.absolutePath());
        if (c.reuse)
            finishedBackup();
        ASSERT_TRUE(!c.inTheWay || testenv::writeFile(folder.path(), "mine"));
        phone.backup2.script = c.script;
        phone.backup2.version = c.version;
        sim.detach(kUdid);
        sim.attach(phone);
        ModalDriver driver;
        driver.answer(QMessageBox::Ok);
        int result = -1;
        {
            ProgressForm form("");
            auto worker = thread(c.kind, form);
            result = form.runWorker(*worker);
            form.waitForThread(*worker, true);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the engine
        EXPECT_EQ(result, c.error.isEmpty() ? 1 : 0) << c.error.toStdString();
        EXPECT_TRUE(driver.texts.value(0).contains(c.error)) << driver.texts.value(0).toStdString();
        if (c.kind == Backup) {
            EXPECT_EQ(folder.exists(), c.error.isEmpty());
            EXPECT_EQ(root.exists(), c.reuse || c.inTheWay || c.error.isEmpty()); // made by the run, else gone again
            EXPECT_TRUE(!c.inTheWay || testenv::readFile(folder.path()) == "mine");
        }
    }
}

TEST_F(Backup2Threads, ACancelFromTheWindowIsNeverLostAndFreesItWithinASecondOfASilentPhone)
{
    const SimStep silent {PlistCFType(), {}, false, {}, true};
    // The window's cancel is confirmed while the phone answers this request.
    const struct { Kind kind; QString at; bool beforeEngine; } cases[] = {
        {Backup, "com.apple.afc:", true},
        {Backup, "com.apple.mobilebackup2:Backup", false},
        {Restore, "com.apple.mobilebackup2:Restore", false},
    };
    for (const auto& c : cases) {
        g_delDirCascade(root.absolutePath());
        ModalDriver driver;
        driver.answer(QMessageBox::Yes); // "Are You Sure You Want To Cancel?"
        ProgressForm form("");
        std::atomic<bool> asked {false};
        phone.backup2.script = {silent};
        phone.onRequest = [&](const QString& request) {
            if (!request.startsWith(c.at) || asked.exchange(true))
                return;
            // Before the engine: the worker waits for this answer until the
            // cancel is confirmed. Else the engine is left waiting meanwhile.
            QMetaObject::invokeMethod(&form, &ProgressForm::cancel,
                                      c.beforeEngine ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
        };
        sim.detach(kUdid);
        sim.attach(phone);
        const int before = sim.requests().size();
        auto worker = thread(c.kind, form);
        EXPECT_EQ(form.runWorker(*worker), 0);
        QElapsedTimer sinceCancel;
        sinceCancel.start();
        form.waitForThread(*worker, true);
        EXPECT_LT(sinceCancel.elapsed(), 3000) << c.at.toStdString();
        EXPECT_TRUE(asked);
        EXPECT_EQ(driver.answered(), 1); // the question only: no error box
        const QString requests = sim.requests().mid(before).join('\n');
        EXPECT_EQ(requests.contains("com.apple.mobilebackup2:"), !c.beforeEngine) << requests.toStdString();
        worker.reset();
        sim.detach(kUdid); // its request hook refers to this pass
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A cancel once the phone has begun to move its next backup into a kept
// folder (after its first, third or last move; the phone marking its snapshot
// finished last, as phones do, or before its files) leaves nothing that this
// program or another client would take for a backup, and the next run is
// whole. A cancel before the first move (0: once a file has arrived) keeps
// the earlier backup; one confirmed once the phone's good verdict had come
// keeps the new one. A folder discarded, after a cancel or a failed verdict,
// never vouches for itself while it is cleared. An upload in place, a removal
// or a copy outside "Snapshot" replaces the kept backup as a move does;
// removing a "Snapshot" an earlier run left does not. On a medium that
// refuses every change of a file's mode, owner or times a backup is made,
// fresh and into the kept folder.
TEST_F(Backup2Threads, ACancelOnceThePhoneBeganToReplaceAKeptBackupLeavesNoneToReuse)
{
    const QString app = "AppDomain-jp.naver.line";
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", {}}};
    const PlistCFType lockdown = dict().put("ProductVersion", str(device->ProductVersion));
    phone.backup2.meta = {{"Status.plist", xml(dict().put("SnapshotState", str("finished")))},
                          {"Manifest.plist", xml(dict().put("Lockdown", lockdown))}};
    const int last = 5; // the metadata and the two files changed
    const QString verdict = "DLMessageProcessMessage", remove = "DLMessageRemoveItems";
    const SimBackupFile gone {app, "Documents/gone", "gone"}; // in an earlier backup only
    const QString goneId = simFileId(gone);
    const SimBackup2 usual = phone.backup2;
    // after: the cancel is confirmed once the phone has had the answer to its
    // first message of that name, or holds the verdict that ends the run.
    // failWith: no cancel, the phone's verdict fails the run. change: made
    // before the second run (what the phone does besides moving, or the
    // medium the backup goes to).
    const struct { bool statusFirst; int cancelAt; QString after = {}; int failWith = 0;
                   std::function<void()> change = {}; } cases[] = {
        {false, 0}, {false, 1}, {false, 3}, {false, last}, {true, 1}, {true, 3}, {true, last},
        {false, -1, verdict}, {false, -1, {}, 1},
        {false, -1, remove, 0, [&] {
             ASSERT_TRUE(testenv::writeFile(folder.filePath(goneId.left(2) + '/' + goneId), "gone"));
             phone.backup2.removed = {gone};
         }},
        {false, -1, "DLMessageCopyItem", 0, [&] { phone.backup2.copies = {{phone.backup2.files[2], gone}}; }},
        {false, -1, "DLMessageUploadFiles", 0, [&] { phone.backup2.inPlace = true; }},
        {false, -1, remove, 0, [&] {
             ASSERT_TRUE(testenv::writeFile(folder.filePath("Snapshot/left"), "left"));
             phone.backup2.clearsSnapshot = true;
         }},
        {false, -1, {}, 0, [&] {
             g_delDirCascade(folder.path());
             refuseModeChangesBelow(root.path());
         }},
    };
    for (const auto& c : cases) {
        g_delDirCascade(root.absolutePath());
        const auto lift = qScopeGuard([] { refuseModeChangesBelow({}); });
        phone.backup2 = usual;
        phone.backup2.statusBeforeFiles = c.statusFirst;
        phone.backup2.ssl = phone.backup2.verdictLastByteApart = c.after == verdict;
        phone.backup2.files = {{app, "Documents/a", "a"}, {app, "Documents/b", "b"}, {app, "Documents/c", "c"}};
        bool reusableThen = false; // what a crash at the cancel would have left
        bool vouched = false; // ... or a crash while the folder was cleared after it
        const auto backup = [&](int cancelAt, QString after = {}, int failWith = 0) { // the files the phone sent
            phone.backup2.errorCode = failWith;
            std::atomic<bool> clearing {false};
            hookUnlinks([&](const QString& path) {
                if (clearing && !path.endsWith(BackupLock::fileName())
                    && IOSMobileBackupThread::isReusable(folder, device->ProductVersion))
                    vouched = true;
            });
            ModalDriver driver;
            driver.answer(QMessageBox::Yes); // "Are You Sure You Want To Cancel?"
            ProgressForm form("");
            const bool cancelling = cancelAt >= 0 || !after.isEmpty();
            const auto cancel = [&] {
                reusableThen = IOSMobileBackupThread::isReusable(folder, device->ProductVersion);
                clearing = true;
                QMetaObject::invokeMethod(&form, &ProgressForm::cancel, Qt::BlockingQueuedConnection);
            };
            bool answered = false; // the phone's message `after` was
            phone.onRequest = [&](const QString& request) {
                if (!request.startsWith("com.apple.mobilebackup2:"))
                    return;
                if (failWith && request.endsWith(':' + verdict))
                    clearing = true;
                if (after.isEmpty())
                    return;
                if (answered) {
                    after.clear();
                    cancel();
                } else {
                    answered = request.endsWith(':' + after);
                }
            };
            sim.detach(kUdid);
            sim.attach(phone);
            int moves = 0;
            hookRenames([&](const QString& from, const QString& to, bool done) {
                const bool move = from.contains("/Snapshot/") && !to.contains("/Snapshot/");
                if (done && cancelAt >= 0 && (move ? ++moves == cancelAt : cancelAt == 0)) {
                    cancelAt = -1;
                    cancel();
                }
                return 0;
            });
            auto worker = thread(Backup, form);
            EXPECT_EQ(form.runWorker(*worker), !cancelling && !failWith);
            form.waitForThread(*worker, true);
            hookRenames(nullptr);
            hookUnlinks(nullptr);
            worker.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the engine and its index
            const int uploaded = sim.backup2Played(kUdid).uploaded.size();
            sim.detach(kUdid); // its request hook refers to this pass
            return uploaded;
        };
        ASSERT_EQ(backup(-1), 6);
        phone.backup2.files[0].data = phone.backup2.files[1].data = "changed";
        if (c.change)
            c.change();
        backup(c.cancelAt, c.after, c.failWith);
        const bool cancelled = c.cancelAt >= 0 || !c.after.isEmpty();
        const bool kept = c.cancelAt == 0 || phone.backup2.clearsSnapshot;
        const bool made = c.after == verdict || (!cancelled && !c.failWith); // the new backup
        const std::string row = std::to_string(c.cancelAt) + c.after.toStdString();
        EXPECT_FALSE(vouched && !kept && !made) << row;
        EXPECT_EQ(reusableThen, cancelled && (kept || made || phone.backup2.inPlace || c.cancelAt == last
                                              || (c.statusFirst && c.cancelAt >= 3))) << row;
        EXPECT_EQ(IOSMobileBackupThread::isReusable(folder, device->ProductVersion), kept || made) << row;
        const QString a = simFileId(phone.backup2.files[0]);
        const QByteArray data = made ? "changed" : kept ? "a" : "<missing>";
        EXPECT_EQ(testenv::readFile(folder.filePath(a.left(2) + '/' + a)), data) << row;
        EXPECT_EQ(backup(-1), made ? 3 : kept ? 5 : 6) << c.statusFirst << row;
    }
}

TEST_F(Backup2Threads, ThePhonesProgressAndTextsReachTheWindowAsAPercentageAndPlainText)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct { double in; int shown; } percents[] = {
        {42.9, 42}, {1e300, 100}, {inf, 100}, {-inf, 0}, {-5, 0}, {std::nan(""), -1},
    };
    for (const auto& p : percents)
        EXPECT_EQ(IOSBackup2Thread::percentOf(p.in), p.shown) << p.in;
    // What a label shows of each text is the text itself.
    const QString texts[] = {"Sending a.txt to device...", "Sending <a href=\"http://x\">x</a> to device...",
                             "<b>bold</b> & <i>", "a <br/> b"};
    for (const QString& text : texts) {
        const QString shown = IOSBackup2Thread::shownAsText(text);
        QTextDocument label;
        if (Qt::mightBeRichText(shown))
            label.setHtml(shown);
        else
            label.setPlainText(shown);
        EXPECT_EQ(label.toPlainText(), text);
    }
}

} // namespace
