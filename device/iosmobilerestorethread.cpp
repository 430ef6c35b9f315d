#include "device/iosmobilerestorethread.h"

#include <exception>
#include <stdexcept>

#include "device/backup2tool.h"
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
        progress->invokeUpdateProgress(tr("Transferring data to Device..."), 0, QString());
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
