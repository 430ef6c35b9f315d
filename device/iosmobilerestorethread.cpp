#include "device/iosmobilerestorethread.h"

#include <exception>

#include "device/backup2tool.h"
#include "device/iosdevice.h"
#include "device/iosmobilebackupthread.h"
#include "foundation/progressform.h"

IOSMobileRestoreThread::IOSMobileRestoreThread(bool tutorialNote, QSharedPointer<IOSDevice> device, QDir root,
                                               bool systemMode, ProgressForm& progress, QObject* parent)
    : QThread(parent)
    , tutorialNote(tutorialNote)
    , device(device)
    , rootDir(root)
    , progress(&progress)
    , engine(new backup2tool(device->udid, root, {}))
    , systemMode(systemMode)
{
}

IOSMobileRestoreThread::~IOSMobileRestoreThread()
{
    engine->deleteLater(); // it belongs to the GUI thread
}

void IOSMobileRestoreThread::setBackupPasscode(const QString& passcode)
{
    this->passcode = passcode;
}

void IOSMobileRestoreThread::backupUpdate(double percent, QString status, QString text)
{
    progress->invokeUpdateProgress(status, int(percent), text);
}

void IOSMobileRestoreThread::run()
{
    try {
        progress->invokeUpdateProgress(tr("Transferring data to Device..."), 0, QString());
        connect(engine, &backup2tool::update, this, &IOSMobileRestoreThread::backupUpdate);
        connect(progress, &ProgressForm::userCancel, engine, &backup2tool::cancel);
        if (progress->cancelled)
            engine->setCancel(); // cancelled before the connection was made
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
