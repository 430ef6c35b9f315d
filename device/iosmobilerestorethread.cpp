#include "device/iosmobilerestorethread.h"

#include <QFileInfo>

#include <exception>
#include <memory>
#include <stdexcept>

#include "backup/backuplock.h"
#include "device/backup2tool.h"
#include "device/idevice.h"
#include "device/iosdevice.h"
#include "foundation/progressform.h"

IOSMobileRestoreThread::IOSMobileRestoreThread(bool tutorialNote, QSharedPointer<IOSDevice> device, QDir root,
                                               bool systemMode, ProgressForm& progress, QObject* parent)
    : IOSBackup2Thread(tutorialNote, device, root, {}, progress, parent), systemMode(systemMode)
{
}

void IOSMobileRestoreThread::setBackupPasscode(const QString& passcode)
{
    this->passcode = passcode;
}

void IOSMobileRestoreThread::run()
{
    try {
        const QString status = tr("Transferring data to Device...");
        progress->invokeUpdateProgress(status, 0, QString());
        // The phone gets one state of the folder: a merge cut short in it is
        // settled first, and none commits while it is sent.
        const QString folder = rootDir.absoluteFilePath(device->udid);
        std::unique_ptr<BackupLock> lock;
        if (isValidUdid(device->udid) && QFileInfo(folder).isDir())
            lock = BackupLock::forReadingThrow(folder, BackupLock::workerWaitMs,
                                               BackupLock::shownIn(*progress, status));
        connectEngine();
        _backup2tool_req req(Restore);
        req.optionStyle = systemMode ? 1 : 0;
        req.RestoreSystemFiles = restoreSystemFiles;
        req.RestoreShouldReboot = 1;
        req.RestoreDontCopyBackup = 1;
        req.RestorePreserveSettings = 1;
        req.RemoveItemsNotRestored = 0;
        req.password = passcode;
        engine->manifestDbSubstitute = manifestName;
        engine->runThrow(req);
        // A phone that hangs up before its verdict has not taken the backup.
        if (!cancelled() && !engine->verdictOk())
            throw std::runtime_error(tr("The iPhone ended the restore before it was complete.").toStdString());
        progress->invokeSucceed(QString());
    } catch (int) {
        // Cancelled while another window held the folder: nothing was sent.
    } catch (const std::exception& e) {
        QString text = QString::fromUtf8(e.what());
        text += tutorialNote ? tr("<br/><br/>Tip: You can follow this ") + tutorialLink(tr("tutorial")) + tr(" to try.")
                             : tr("<br/><br/>Note: You can restart your device to try again.");
        // The phone refused this backup for good: the next load makes a fresh one.
        if (text.contains(QLatin1String("MBErrorDomain/205"), Qt::CaseInsensitive))
            deleteDeviceBackup(rootDir, device->udid);
        progress->invokeErrorOccurred(text);
    }
}
