#pragma once

#include <QString>
#include <QThread>

class BackupManifest;
class ProgressForm;

// Checks a backup password on a worker thread behind a progress window
// (BackupManifest::setPasscode). A wrong password ends in success with
// result false; a failure inside the check is reported in the window.
class IOSiTunesBKSetPasswordThread : public QThread
{
    Q_OBJECT
public:
    // The backup and the window are the caller's and must outlive the thread.
    IOSiTunesBKSetPasswordThread(BackupManifest& backup, const QString& password, ProgressForm& form,
                                 QObject* parent = nullptr);

    bool result = false;

protected:
    void run() override;

private:
    BackupManifest& backup;
    QString password;
    ProgressForm& form;
};
