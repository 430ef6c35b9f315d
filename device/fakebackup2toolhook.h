#pragma once

#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QSet>
#include <QString>

#include "device/backup2toolhook.h"
#include "device/fakednamedb.h"

// The local side of a device backup that stores only what the program needs:
// the backup's own metadata and the data and group containers of the wanted
// apps. Every other file is received and dropped, but recorded in the
// device folder's "dname.sqlite", and the phone's folder listings are
// answered from that index, so that the phone takes the backup for complete
// and does not send those files again next time.
//
// Made and owned by the backup thread; every call runs on its worker thread.
class FakeBackup2ToolHook : public Backup2ToolHook
{
public:
    FakeBackup2ToolHook();

    // False: keep only metadata, filter matches and the wanted apps'
    // containers. True: keep everything but other user apps' containers.
    bool keepNonAppFiles = false;
    QSet<QString> keepApps; // bundle identifiers ("jp.naver.line")
    FakeDNameDb dnameDb;
    QSet<QString> alwaysKept; // lower-case file names
    QList<QRegularExpression> filters; // tried against the device-side name
    QHash<QString, QSet<QString>> appUuids; // bundle identifier -> upper-case container UUIDs
    QSet<QString> allUserAppUuids;

    // Whether the file at `path` (only its name counts) is stored. An empty
    // device-side name is looked up in the index.
    bool isFileIncluded(const QDir& root, const QString& path, QString deviceFileName);
    // The containers of the phone's user apps, from its installation proxy;
    // left empty when the phone cannot be asked.
    void readAppuids(const QString& udid);

    void beginThrow(const QDir& root, const QString& udid) override;
    QList<DirItem> dirContents(const QDir& root, const QString& path) override;
    void recvFileBegin(const QDir& root, const QString& udid, const QString& path,
                       const QString& deviceFileName) override;
    int recvFileOpenWrite(const QDir& root, const QString& path, QFile& file, QString& error) override;
    void recvFileEnd(const QDir& root, const QString& path, quint64 size) override;
    int removeFile(const QDir& root, const QString& path, QString& error) override;
    int copyFile(const QDir& root, const QString& from, const QString& to, QString& error) override;
    int mkdir(const QDir& root, const QString& path, QString& error) override;

private:
    void openIndexThrow(const QDir& root, const QString& udid);

    // The file being received, as recvFileBegin found it: the keep decision,
    // which recvFileOpenWrite would otherwise look up in the index again,
    // and what recvFileEnd records.
    QString m_begunPath;
    QString m_begunDeviceName;
    bool m_begunKept = false;
};
