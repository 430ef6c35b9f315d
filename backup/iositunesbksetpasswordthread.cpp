#include "backup/iositunesbksetpasswordthread.h"

#include <exception>

#include "backup/backupmanifest.h"
#include "foundation/progressform.h"

IOSiTunesBKSetPasswordThread::IOSiTunesBKSetPasswordThread(BackupManifest& backup, const QString& password,
                                                           ProgressForm& form, QObject* parent)
    : QThread(parent)
    , backup(backup)
    , password(password)
    , form(form)
{
}

void IOSiTunesBKSetPasswordThread::run()
{
    result = false;
    try {
        const QString status = tr("Verifying. Please wait...");
        form.invokeUpdateProgress(status, 99, QString());
        result = backup.setPasscodeNoUIThrow(password, BackupLock::shownIn(form, status), BackupLock::workerWaitMs);
        form.invokeSucceed(QString());
    } catch (const std::exception& e) {
        form.invokeErrorOccurred(QStringLiteral("IOSiTunesBKSetPasswordThread: %1").arg(QString::fromUtf8(e.what())));
    }
}
