#pragma once

#include <QDir>
#include <QString>

#include "foundation/sqlite3db.h"

// The download date cache: the device modification time, in whole seconds
// since 1970, of every device file already downloaded, by device path. The
// file is opened by the first call; all changes of one object land in one
// transaction committed by its destructor. Cache errors never reach the
// caller: a lookup that fails finds nothing, a record that fails is dropped.
// One thread only.
class BkCacheDb
{
public:
    explicit BkCacheDb(const QString& path);
    ~BkCacheDb();
    BkCacheDb(const BkCacheDb&) = delete;
    BkCacheDb& operator=(const BkCacheDb&) = delete;

    // The data folder's "cache".
    static QDir cacheDir();

    // Opens the file, or creates it from the schema resource when missing,
    // and begins the transaction. An existing file gets whatever part of the
    // schema it lacks (an empty file all of it). Open and create failures throw.
    void openCheck();
    // A file that cannot be given the schema is removed again, so that the
    // next open creates it afresh instead of opening a file without a table.
    void create();

    // Device paths match exactly (no LIKE: "_" and "%" are plain characters,
    // letters keep their case). 0 when there is no row or the cache fails.
    qint64 fileDateSecs(const QString& deviceName);
    void setFileDate(const QString& deviceName, qint64 secs);
    void remove(const QString& deviceName);

private:
    // The schema resource run on the open connection; the error, or "".
    QString applySchema();

    QString m_path;
    Sqlite3DB m_db;
};
