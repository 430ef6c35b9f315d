#pragma once

#include "device/iosmobilebackupthread.h"

// Restores the backup in the folder of the device's UDID below `root` to the
// connected iPhone behind the progress window; the phone reboots with it.
class IOSMobileRestoreThread : public IOSBackup2Thread
{
    Q_OBJECT
public:
    // systemMode asks for the option style that sends only options differing
    // from the phone's defaults. The engine uses its default hook.
    IOSMobileRestoreThread(bool tutorialNote, QSharedPointer<IOSDevice> device, QDir root, bool systemMode,
                           ProgressForm& progress, QObject* parent = nullptr);

    // The password of the encrypted backup, sent with the restore.
    void setBackupPasscode(const QString& passcode);

    bool restoreSystemFiles = true;
    // A file in the device folder served whenever the phone asks for
    // "Manifest.db" (the list trimmed to LINE's files); empty for none.
    QString manifestName;

protected:
    void run() override;

private:
    QString passcode;
    bool systemMode;
};
