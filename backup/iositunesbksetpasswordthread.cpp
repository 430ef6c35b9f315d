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
        form.invokeUpdateProgress(tr("Verifying. Please wait..."), 99, QString());
        result = backup.setPasscodeNoUIThrow(password);
        form.invokeSucceed(QString());
    } catch (const std::exception& e) {
        form.invokeErrorOccurred(QStringLiteral("IOSiTunesBKSetPasswordThread: %1").arg(QString::fromUtf8(e.what())));
    }
}
