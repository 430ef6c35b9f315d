#pragma once

#include <QDir>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <functional>

#include "device/backup2toolhook.h"
#include "foundation/plistcftype.h"

namespace backup2detail {
class Channel;
}

enum backup2tool_op : qint32 { Backup = 0, Restore = 1 };

// What one run asks of the phone. Passed by value.
struct _backup2tool_req
{
    explicit _backup2tool_req(backup2tool_op op) : op(op) { }

    backup2tool_op op;
    // 0 sends every restore option; anything else only those that differ
    // from the phone's own defaults.
    quint8 optionStyle = 0;
    quint8 RestoreSystemFiles = 1;
    quint8 RestoreShouldReboot = 1;
    quint8 RestoreDontCopyBackup = 1;
    quint8 RestorePreserveSettings = 1;
    quint8 RemoveItemsNotRestored = 0;
    QString password; // sent with a restore only, when not empty
};

// One mobilebackup2 exchange with a phone on USB: a backup into, or a restore
// from, the folder `udid` below `root`. The phone drives the exchange with
// DeviceLink messages; every local file operation goes through the hook, and
// every path the phone names must lie in the device's own folder (paths
// elsewhere are answered as failed files and never touched).
//
// Made on the GUI thread; runThrow runs on a worker thread, which alone
// touches everything but the cancel flag. cancel() may come from any thread:
// it wakes every wait of the run on the phone, receives and sends alike, so
// that a run waiting on a silent phone or one that does not read ends at
// once. One engine serves one run, and a cancel that comes before the run
// stands. The engine connects to the phone's service itself and reads every
// message of the exchange, the opening one included, with its own bounded
// reader.
class backup2tool : public QObject
{
    Q_OBJECT
public:
    using Client = backup2detail::Channel;

    // An empty hook is replaced by the default one.
    backup2tool(const QString& udid, const QDir& root, QSharedPointer<Backup2ToolHook> hook, QObject* parent = nullptr);
    ~backup2tool() override;

    // Returns when the run ends with result 0: finished, disconnected by the
    // phone or cancelled (the caller tells a cancel by its own window, and a
    // finished run by verdictOk()). Any other end throws std::runtime_error
    // with a text for the user (HTML: the phone's texts in it are escaped).
    void runThrow(_backup2tool_req req);
    // The run itself: the phone's result (0 = success) with its error text.
    int innerRunThrow(_backup2tool_req req, QString& error);

    void setCancel();
    // True once cancelled, or once `*source` is (see watchCancel).
    bool isCancel();
    // A flag that cancels the run as well, read at every check: a progress
    // window's, so that a cancel confirmed before cancel() was connected is
    // not lost. It must outlive the run.
    void watchCancel(const std::atomic<bool>* source);
    // Whether the phone's verdict of the last run arrived with ErrorCode 0.
    // A run that ends with result 0 without it (the phone hung up first, or
    // it was cancelled) made nothing.
    bool verdictOk() const { return m_verdictOk; }
    // Whether the phone has changed the device folder in the last run outside
    // its staging folder "Snapshot" (a file put in place, replaced, moved away
    // or removed): from then on the folder holds no whole backup until the
    // phone's verdict vouches for the new one.
    bool backupChanged() const { return m_backupChanged; }
    // Called on the run's thread just before that first change of a run.
    std::function<void()> beforeBackupChange;

    double progress() const { return m_progress; }
    QString status1() const { return m_status1; }
    QString status2() const { return m_status2; }

    // When set (a file name in the device folder), the phone's request for
    // any ".../Manifest.db" is served from that file. Set before runThrow.
    QString manifestDbSubstitute;
    // The last file the computer could not supply ("<name> not exists."),
    // added to the phone's final error text. Kept between runs.
    QString lastFileError;

    // The file messages. Each answers the phone with a status response and
    // throws std::runtime_error when the channel breaks or a local read fails;
    // one cancelled between its items is left unanswered, and the run ends.
    void sendFilesThrow(Client* client, const PlistCFType& msg);
    void sendFileThrow(Client* client, const QString& path, PlistCFType& errors);
    void recvFilesThrow(Client* client, const PlistCFType& msg);
    QString recvFileNameThrow(Client* client);
    int recvFileThrow(Client* client, const QString& deviceFileName, const QString& path, QString& error);
    void sendDirContentsThrow(Client* client, const PlistCFType& msg);
    void moveFilesThrow(Client* client, const PlistCFType& msg);
    void removeFilesThrow(Client* client, const PlistCFType& msg);
    void copyItemThrow(Client* client, const PlistCFType& msg);
    void makeDirectory(Client* client, const PlistCFType& msg);
    void sendFreeDiskSpace(Client* client, const PlistCFType& msg);

    // "1.5 KB" and the like, as the upload message shows a total.
    static QString sizeText(quint64 bytes);
    // The text a run that ended with `result` and the phone's `error` throws.
    static QString failureText(backup2tool_op op, int result, QString error);

public slots:
    void cancel();

signals:
    void update(double progress, QString text1, QString text2);

private:
    struct Message;
    // The DeviceLink version exchange and the Hello message, as the
    // library's own client opens the service.
    void handshakeThrow(Client* client);
    void sendRequestThrow(Client* client, const _backup2tool_req& req);
    // The message loop: the run's result once a message ends it.
    int serveThrow(Client* client, QString& error);
    // The next DeviceLink message and its name, waiting while the phone is
    // silent. A message that is too large, nested too deep or no DeviceLink
    // message throws before any parser of libplist sees it.
    PlistCFType receiveMessageThrow(Client* client, QString* name);
    // The local path of a path the phone named, or empty (with the reason in
    // *error) when it leaves the device folder.
    QString devicePath(const QString& path, QString* error) const;
    // Waits while the phone is silent; throws `broken` when the channel is
    // closed, the run's end when it is cancelled meanwhile.
    void recvExactThrow(Client* client, char* data, quint32 size, const char* broken);
    // Every byte out: 0, or a mobilebackup2 error code; throws Cancelled
    // when the run is cancelled meanwhile.
    int sendAll(Client* client, const char* data, quint32 size);
    // One list, binary, as the library frames its messages.
    int sendMessage(Client* client, const PlistCFType& message);
    // No description for an empty one, no plist for a null one.
    int sendStatus(Client* client, int code, const QString& description, const PlistCFType& plist);
    // The phone is about to change the file or folder at the local path `local`.
    void changing(const QString& local);

    QMutex m_mutex;
    QString m_udid;
    QDir m_root;
    QDir m_backupDir;
    QString m_snapshot; // the phone's staging folder in it
    QSharedPointer<Backup2ToolHook> m_hook;
    QString m_status1, m_status2;
    double m_progress = 0;
    bool m_verdictOk = false;
    bool m_backupChanged = false;
    // Guarded by m_mutex.
    bool m_cancelFlag = false;
    const std::atomic<bool>* m_cancelSource = nullptr;
    // Readable once cancelled: every wait of a run watches it.
    int m_wake = -1;
};
