#pragma once

#include <QDir>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QThread>

class backup2tool;
class FakeBackup2ToolHook;
class IOSDevice;
class ProgressForm;

// Takes a partial backup of a connected iPhone behind the progress window:
// the backup's metadata and the containers of `apps`, into the folder of the
// device's UDID below root(). A finished backup of the same iOS version that
// is already there is left for the engine to bring up to date; anything else
// there is deleted first, and so is the folder after a failed backup.
class IOSMobileBackupThread : public QThread
{
    Q_OBJECT
public:
    // tutorialNote chooses the note that ends an error text: the tutorial
    // link, or the advice to restart the phone. The engine is made here, on
    // the GUI thread, where it lives.
    IOSMobileBackupThread(bool tutorialNote, QSharedPointer<IOSDevice> device, bool keepNonAppFiles,
                          QString tempName, ProgressForm& progress, QObject* parent = nullptr);
    ~IOSMobileBackupThread() override;

    QDir root() const { return rootDir; }

    // Bundle identifiers of the apps whose containers are kept; filled
    // before start().
    QStringList apps;

    // Whether the backup in `folder` is finished, complete and of iOS
    // `productVersion` (exact text), so that the engine may update it.
    static bool isReusable(const QDir& folder, const QString& productVersion);
    // The text the error box shows for the engine's error.
    static QString errorText(const QString& error, bool tutorialNote);

public slots:
    void backupUpdate(double percent, QString status, QString text);

protected:
    void run() override;

private:
    bool tutorialNote;
    QSharedPointer<IOSDevice> device;
    ProgressForm* progress;
    QDir rootDir;
    backup2tool* engine;
    QSharedPointer<FakeBackup2ToolHook> hook;
};

// Deletes the device's backup folder below root; a UDID that is not a plain
// UDID names no folder, and nothing is deleted for it.
void deleteDeviceBackup(const QDir& root, const QString& udid);
// A link with the text in bold to the tutorial on moving messages with iTunes.
QString tutorialLink(const QString& text);
