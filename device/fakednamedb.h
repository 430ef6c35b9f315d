#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include "device/backup2toolhook.h"
#include "foundation/sqlite3db.h"

// "dname.sqlite" in a device's backup folder: every file the phone sent in a
// partial backup, with its device-side name, size, time and whether it was
// stored, so that dropped files can still be listed to the phone as present.
//
// One long write transaction from open() to the destructor, committed every
// 10000 inserts; rows written since the last commit are lost if the process
// dies. Write and read errors are swallowed: a failed write leaves the index
// without that change, a failed read gives an empty result. Every operation
// on an object that is not open does nothing.
class FakeDNameDb : public Sqlite3DB
{
public:
    FakeDNameDb() = default;
    ~FakeDNameDb() override;

    // Opens (creating table and index when the file is new) and begins the
    // transaction; false with the reason in *error (when given) on failure,
    // and the object stays closed.
    bool open(const QString& path, QString* error);

    // Records f, replacing an earlier row of f; its size is 0 unless given
    // (until update).
    void insert(const QString& f, const QString& d, bool incl, const QDateTime& lastm, qint64 size = 0);
    void update(const QString& f, const QDateTime& lastm, qint64 size);
    void remove(const QString& f);
    // The device-side name of f, or "".
    QString getDName(const QString& f);

    // The folder view: for p empty, one folder per two-character prefix
    // (size 0, newest time) followed by the short names; else the names with
    // prefix p. In the order SQLite returns the rows.
    QList<Backup2ToolHook::DirItem> items(const QString& p);

private:
    qint64 m_inserted = 0;
};
