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
        // The check itself runs to its end, but a wait for another window's
        // merge or load may be long: the window can be cancelled while it lasts.
        BackupLock::Waiting waiting = BackupLock::shownIn(form, status);
        waiting.shown = [shown = waiting.shown, window = &form](bool waiting) {
            QMetaObject::invokeMethod(window, [window, waiting] { window->setCancelable(waiting); },
                                      Qt::QueuedConnection);
            shown(waiting);
        };
        result = backup.setPasscodeNoUIThrow(password, waiting, BackupLock::workerWaitMs);
        form.invokeSucceed(QString());
    } catch (int) {
        // Cancelled while it waited: nothing was written.
    } catch (const std::exception& e) {
        form.invokeErrorOccurred(QStringLiteral("IOSiTunesBKSetPasswordThread: %1").arg(QString::fromUtf8(e.what())));
    }
}
