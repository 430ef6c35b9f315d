#pragma once

#include <QDir>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QThread>

class backup2tool;
class Backup2ToolHook;
class FakeBackup2ToolHook;
class IOSDevice;
class ProgressForm;

// What the device backup and restore threads share: the engine for the
// device's folder below rootDir, made on the GUI thread where it lives, its
// progress shown in the window, and the window's cancel passed to it.
class IOSBackup2Thread : public QThread
{
    Q_OBJECT
public:
    ~IOSBackup2Thread() override;

    // The percentage the window shows for the engine's progress: clamped to
    // 0..100, -1 (unchanged) for NaN.
    static int percentOf(double percent);
    // A status text from the engine (it may hold a name the phone chose) as
    // the window's labels show it: plain text, never markup.
    static QString shownAsText(const QString& text);

public slots:
    void backupUpdate(double percent, QString status, QString text);

protected:
    // tutorialNote chooses the note that ends an error text: the tutorial
    // link, or the advice to restart the phone. An empty hook: the default one.
    IOSBackup2Thread(bool tutorialNote, QSharedPointer<IOSDevice> device, QDir root,
                     QSharedPointer<Backup2ToolHook> hook, ProgressForm& progress, QObject* parent);
    // From run(): the engine reports to this thread, the window's cancel to the engine.
    void connectEngine();
    // The user cancelled: the window has closed, nothing is reported.
    bool cancelled() const;

    bool tutorialNote;
    QSharedPointer<IOSDevice> device;
    QDir rootDir;
    ProgressForm* progress;
    backup2tool* engine;
};

// Takes a partial backup of a connected iPhone behind the progress window:
// the backup's metadata and the containers of `apps`, into the folder of the
// device's UDID below root(). The run holds the folder's lock alone (waiting,
// as the window shows, for another window's use of it to end). A finished
// backup of the same iOS version that is already there is left for the
// engine to bring up to date, once a merge cut short in it is settled (and
// without the decrypted and trimmed lists made from its list); anything else
// there is deleted first, and so is the folder after a failed backup, or a
// cancelled one once the phone had begun to replace files (unless the
// phone's good verdict had already come), with the folders above it that the
// run made. A link in the folder's place is removed, never
// followed: the run makes a folder of its own there.
class IOSMobileBackupThread : public IOSBackup2Thread
{
    Q_OBJECT
public:
    IOSMobileBackupThread(bool tutorialNote, QSharedPointer<IOSDevice> device, bool keepNonAppFiles,
                          QString tempName, ProgressForm& progress, QObject* parent = nullptr);

    QDir root() const { return rootDir; }

    // Bundle identifiers of the apps whose containers are kept; filled
    // before start().
    QStringList apps;

    // Whether the backup in `folder` is finished, complete and of iOS
    // `productVersion` (exact text), so that the engine may update it.
    static bool isReusable(const QDir& folder, const QString& productVersion);
    // The text the error box shows for the engine's error.
    static QString errorText(const QString& error, bool tutorialNote);

protected:
    void run() override;

private:
    IOSMobileBackupThread(bool tutorialNote, QSharedPointer<IOSDevice> device, QSharedPointer<FakeBackup2ToolHook> hook,
                          QString tempName, ProgressForm& progress, QObject* parent);

    QSharedPointer<FakeBackup2ToolHook> hook;
};

// Deletes the device's backup folder below root, holding its lock alone (a
// folder that another window reads or writes stays; a link in its place
// loses only the link); a UDID that is not a plain UDID names no folder, and
// nothing is deleted for it.
void deleteDeviceBackup(const QDir& root, const QString& udid);
// A link with the text in bold to the tutorial on moving messages with iTunes.
QString tutorialLink(const QString& text);
