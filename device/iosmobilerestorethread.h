#pragma once

#include <QDir>
#include <QSharedPointer>
#include <QString>
#include <QThread>

class backup2tool;
class IOSDevice;
class ProgressForm;

// Restores the backup in the folder of the device's UDID below `root` to the
// connected iPhone behind the progress window; the phone reboots with it.
class IOSMobileRestoreThread : public QThread
{
    Q_OBJECT
public:
    // tutorialNote chooses the note that ends an error text; systemMode asks
    // for the option style that sends only options differing from the
    // phone's defaults. The engine is made here, on the GUI thread.
    IOSMobileRestoreThread(bool tutorialNote, QSharedPointer<IOSDevice> device, QDir root, bool systemMode,
                           ProgressForm& progress, QObject* parent = nullptr);
    ~IOSMobileRestoreThread() override;

    // The password of the encrypted backup, sent with the restore.
    void setBackupPasscode(const QString& passcode);

    bool restoreSystemFiles = true;
    // A file in the device folder served whenever the phone asks for
    // "Manifest.db" (the list trimmed to LINE's files); empty for none.
    QString manifestName;

public slots:
    void backupUpdate(double percent, QString status, QString text);

protected:
    void run() override;

private:
    bool tutorialNote;
    QSharedPointer<IOSDevice> device;
    QDir rootDir;
    ProgressForm* progress;
    backup2tool* engine;
    QString passcode;
    bool systemMode;
};
