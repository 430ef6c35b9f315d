#include "device/iosmobilebackupthread.h"

#include <QTextDocument>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <sys/stat.h>

#include "backup/backuplock.h"
#include "backup/backupmanifest.h"
#include "device/backup2tool.h"
#include "device/backup2toolhook.h"
#include "device/fakebackup2toolhook.h"
#include "device/idevice.h"
#include "device/iosdevice.h"
#include "device/mobiledevice_afc.h"
#include "foundation/fileutil.h"
#include "foundation/plistcftype.h"
#include "foundation/productinfo.h"
#include "foundation/progressform.h"

IOSBackup2Thread::IOSBackup2Thread(bool tutorialNote, QSharedPointer<IOSDevice> device, QDir root,
                                   QSharedPointer<Backup2ToolHook> hook, ProgressForm& progress, QObject* parent)
    : QThread(parent)
    , tutorialNote(tutorialNote)
    , device(device)
    , rootDir(root)
    , progress(&progress)
    , engine(new backup2tool(device->udid, root, hook))
{
}

IOSBackup2Thread::~IOSBackup2Thread()
{
    // The engine belongs to the GUI thread; a backup's hook commits the
    // file-name index when the last of the two goes.
    engine->deleteLater();
}

int IOSBackup2Thread::percentOf(double percent)
{
    if (std::isnan(percent))
        return -1; // the window keeps what it shows
    return int(std::clamp(percent, 0.0, 100.0));
}

QString IOSBackup2Thread::shownAsText(const QString& text)
{
    // The window's labels read anything that looks like markup as markup.
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

void IOSBackup2Thread::backupUpdate(double percent, QString status, QString text)
{
    progress->invokeUpdateProgress(shownAsText(status), percentOf(percent), shownAsText(text));
}

void IOSBackup2Thread::connectEngine()
{
    connect(engine, &backup2tool::update, this, &IOSBackup2Thread::backupUpdate);
    connect(progress, &ProgressForm::userCancel, engine, &backup2tool::cancel);
    // A cancel confirmed before the connection was made, or while it was.
    engine->watchCancel(&progress->cancelled);
}

bool IOSBackup2Thread::cancelled() const
{
    return progress->cancelled || engine->isCancel();
}

IOSMobileBackupThread::IOSMobileBackupThread(bool tutorialNote, QSharedPointer<IOSDevice> device, bool keepNonAppFiles,
                                             QString tempName, ProgressForm& progress, QObject* parent)
    : IOSMobileBackupThread(tutorialNote, device, QSharedPointer<FakeBackup2ToolHook>::create(), tempName, progress, parent)
{
    hook->keepNonAppFiles = keepNonAppFiles;
}

IOSMobileBackupThread::IOSMobileBackupThread(bool tutorialNote, QSharedPointer<IOSDevice> device,
                                             QSharedPointer<FakeBackup2ToolHook> hook, QString tempName,
                                             ProgressForm& progress, QObject* parent)
    : IOSBackup2Thread(tutorialNote, device, iosbackup_temp_dir(tempName), hook, progress, parent), hook(hook)
{
}

void deleteDeviceBackup(const QDir& root, const QString& udid)
{
    if (isValidUdid(udid))
        BackupLock::deleteFolder(root.absoluteFilePath(udid));
}

namespace {

// Makes the folder and those above it that are missing, and adds those it
// made to `made`, outermost first, so that a failed run can take them back.
// One already there counts only as a real folder, never as a link to one.
// 0, or the errno of the folder that could not be made.
int makeFolders(const QString& path, QStringList& made)
{
    const QByteArray native = QFile::encodeName(path);
    int code = ::mkdir(native.constData(), 0777) == 0 ? 0 : errno;
    const QString parent = QFileInfo(path).path();
    if (code == ENOENT && parent != path && (code = makeFolders(parent, made)) == 0)
        code = ::mkdir(native.constData(), 0777) == 0 ? 0 : errno;
    if (code == 0)
        made << path;
    struct stat st;
    if (code == EEXIST && ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return code;
}

// The phone wrote its lists and marked the snapshot finished.
bool snapshotFinished(const QDir& folder)
{
    if (!folder.exists("Status.plist") || !folder.exists("Manifest.plist")
        || !(folder.exists("Manifest.mbdb") || folder.exists("Manifest.db")))
        return false;
    const PlistCFType status = PlistCFType::createCFPropertyListFromFile(folder.filePath("Status.plist"));
    return status.get("SnapshotState").CFStringQString() == QLatin1String("finished");
}

} // namespace

bool IOSMobileBackupThread::isReusable(const QDir& folder, const QString& productVersion)
{
    if (!snapshotFinished(folder))
        return false;
    const PlistCFType manifest = PlistCFType::createCFPropertyListFromFile(folder.filePath("Manifest.plist"));
    return manifest.get("Lockdown").get("ProductVersion").CFStringQString() == productVersion;
}

QString IOSMobileBackupThread::errorText(const QString& error, bool tutorialNote)
{
    QString text = error;
    const bool lost = error.contains(QLatin1String("Connection to device lost"), Qt::CaseInsensitive);
    if (lost || error.contains(QLatin1String("until Setup is finished"), Qt::CaseInsensitive)) {
        text = (lost ? tr("Connection to device lost. Please try the following solutions: <br/><br/>")
                     : tr("Failed to connect your iPhone. Please try the following solutions: <br/><br/>"))
            + tr("A:<br/>Step 1) Restart your iPhone.<br/>Step 2) Connect your iPhone to iTunes to backup your iPhone "
                 "on computer. <br/>Step 3) Run Marrowquist software to try again. <br/><br/>")
            + tr("B:<br/>Step 1) Delete the lockdown folder from your computer.(")
            + QStringLiteral("<a href=\"%1/guides/reset-lockdown-in-itunes.php\">").arg(QLatin1String(kMakerSite)) + tr("How to")
            + QStringLiteral("</a>")
            + tr(") <br/>Step 2) Connect your iPhone to iTunes to backup your iPhone on computer.<br/>Step 3) Run "
                 "Marrowquist software to try again. <br/>");
    }
    if (tutorialNote)
        return text + tr("<br/><br/>Note: You can follow this ") + tutorialLink(tr("tutorial")) + tr(" to try.");
    return text + tr("<br/><br/>Note: You can restart your device to try again.");
}

QString tutorialLink(const QString& text)
{
    return QStringLiteral("<a href=\"%1/transfer-messages-from-to-iphone-with-itunes.html\"><b>%2</b></a>")
        .arg(QLatin1String(kMakerSite), text);
}

void IOSMobileBackupThread::run()
{
    const QString status = QStringLiteral("Loading data from Device...");
    progress->invokeUpdateProgress(status, 0, QString());
    {
        // Left on the phone by a restore; removed before every backup.
        mobiledevice_afc afc(device->udid);
        if (afc.startService()) {
            afc.del(QStringLiteral("/iTunesRestore/RestoreApplications.plist"));
            afc.closeService();
        }
    }
    for (const QString& app : apps)
        hook->keepApps.insert(app);
    const QString folder = rootDir.absoluteFilePath(device->udid);
    const auto failure = [](const QString& text, int code) {
        return std::runtime_error(text.toStdString() + ": " + std::strerror(code));
    };
    QStringList made;
    std::unique_ptr<BackupLock> lock;
    // A folder this run could not take is another window's: it stays. The
    // folders the run made go again once empty: a failed run leaves none
    // behind.
    const auto discard = [&] {
        if (lock) {
            BackupLock::clearFolder(folder);
            lock.reset();
            QDir().rmdir(folder);
        }
        for (auto it = made.crbegin(); it != made.crend(); ++it)
            QDir().rmdir(*it);
    };
    try {
        // The phone writes into the folder: it is this run's alone, and a
        // merge cut short in it is settled before the folder is judged or
        // reused, so that the next open cannot undo it over the phone's files.
        // A link in its place (to a folder elsewhere) goes first: what the run
        // clears is always a folder of its own.
        if (isValidUdid(device->udid)) {
            g_removeLink(folder);
            if (const int code = makeFolders(folder, made))
                throw failure(tr("can not create %1").arg(folder), code);
            lock = BackupLock::forWritingThrow(folder, BackupLock::workerWaitMs,
                                               BackupLock::shownIn(*progress, status));
        }
        if (lock && !isReusable(QDir(folder), device->ProductVersion)) {
            BackupLock::clearFolder(folder);
        } else if (lock) {
            Backup2ToolHook::removePartialUploads(folder);
            // What was made from the list that the phone's new Manifest.db
            // makes stale: the plain copy of an encrypted backup's list, and
            // the trimmed list a restore would send.
            for (const char* name : {"Manifest-decrypted.db", "Manifest-line.db", "Manifest-line.db-decrypt"}) {
                const QString stale = QDir(folder).absoluteFilePath(name);
                if (const int code = g_removeRegularFile(stale))
                    throw failure(tr("can not remove %1").arg(stale), code);
            }
        }
        // Once the phone begins to replace files, only its verdict makes the
        // folder a backup again: the earlier Status.plist must not vouch for
        // a mix of two backups, even after a crash.
        engine->beforeBackupChange = [folder] { g_removeRegularFile(QDir(folder).absoluteFilePath("Status.plist")); };
        connectEngine();
        engine->runThrow(_backup2tool_req(Backup));
        // Only the phone's verdict says that this run made the backup: a
        // reused folder holds the Status.plist of an earlier one. A backup
        // made stays, whenever a cancel was confirmed.
        const bool made = engine->verdictOk() && snapshotFinished(QDir(folder));
        if (!made && !cancelled())
            throw std::runtime_error(tr("The iPhone ended the backup before it was complete.").toStdString());
        // Cancelled before the verdict once the phone had begun to replace
        // files: neither this program nor another client may take what is
        // left for a backup.
        if (!made && engine->backupChanged())
            discard();
        lock.reset();
        progress->invokeSucceed(QString());
    } catch (int) {
        // Cancelled while another window held the folder: nothing was written.
    } catch (const std::exception& e) {
        discard();
        progress->invokeErrorOccurred(errorText(QString::fromUtf8(e.what()), tutorialNote));
    }
}
