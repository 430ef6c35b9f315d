// Reading a backup's file list: Manifest.db (plain, salted rows, or through
// the decrypted copy of an encrypted one) and the dispatch between formats.
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <stdexcept>
#include <sys/stat.h>
#include <vector>

#include "backup/backupmanifest.h"
#include "backup/mbdbparser_p.h"
#include "foundation/safefile.h"
#include "foundation/sqlite3db.h"

namespace {

std::runtime_error error(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// The row key of a salted list, or empty when the rows are plain archives
// (or no passcode is known, so that they can only be kept as they are).
QByteArray rowKey(Sqlite3DB& db, const QByteArray& passcode)
{
    const QByteArray salt = passcode.isEmpty() ? QByteArray() : mbdbdetail::rowSalt(db);
    return salt.isEmpty() ? QByteArray() : MBDBParser::fileDescKey(passcode, salt);
}

// One row between the database and the map: decoded on any thread.
struct Row
{
    MBDBParser::_MBDBItem item;
    QByteArray value;
    QString id;
    QString error;
};

void decodeRow(Row& row, const QByteArray& key)
{
    if (!key.isEmpty()) {
        const auto text = QByteArray::fromBase64Encoding(row.value, QByteArray::AbortOnBase64DecodingErrors);
        try {
            if (!text)
                throw std::runtime_error("it is not Base64 text");
            row.value = MBDBParser::decryptFileDescThrow(*text, key);
        } catch (const std::exception& e) {
            row.error = QString::fromUtf8(e.what());
            return;
        }
    }
    row.item.undecoded = !mbdbdetail::decodeMBFile(row.value, row.item);
    row.value.clear();
    row.id = mbdbdetail::fileIdOf(row.item.domain.data, row.item.path.data);
}

bool exists(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

void readManifestDb(const QString& path, const QByteArray& passcode, MBDBParser::MBDBItemMap& map)
{
    // A FIFO would block the open; a link could lead anywhere.
    if (!safefile::isRegularFile(path))
        throw error(QStringLiteral("%1 is missing or not a regular file.").arg(path));
    QFile head(path);
    if (head.open(QIODevice::ReadOnly) && head.size() > 0 && head.read(16) != QByteArray("SQLite format 3", 16))
        throw error(QStringLiteral("%1 is not a plain database: the backup is encrypted and needs its password first, "
                                   "or the file is damaged.")
                        .arg(path));
    head.close();
    // Reading never changes the backup: even a read-only open of a list
    // with a log writes the log's index beside it, so such a list is read
    // from a private copy that holds the log's rows too.
    QTemporaryDir own;
    QString readFrom = path;
    if (mbdbdetail::hasLog(path)) {
        if (!own.isValid())
            throw error(
                QStringLiteral("%1: no private folder for a copy of the list: %2").arg(path, own.errorString()));
        readFrom = own.filePath(QStringLiteral("Manifest.db"));
        mbdbdetail::copyListThrow(path, readFrom, 0600);
    }
    Sqlite3DB db;
    db.openThrow(readFrom, SQLITE_OPEN_READONLY);
    const QByteArray key = rowKey(db, passcode);
    Sqlite3Cursor count = db.queryThrow("select count(*) from Files");
    if (count.moveNext())
        map.files.reserve(qsizetype(qBound(qint64(0), count.getInt64(0), qint64(1) << 24)));
    QSet<QByteArray> domains; // one copy of each domain's bytes, shared by its records
    QByteArray lastDomain;
    // Rows are read in batches, so that memory follows the records and not
    // the size of the file.
    std::vector<Row> batch;
    auto flush = [&] {
        mbdbdetail::parallelFor(batch.size(), [&](size_t i) { decodeRow(batch[i], key); });
        for (Row& row : batch) {
            if (!row.error.isEmpty())
                throw error(QStringLiteral("%1: the record of %2 in %3 does not decrypt: %4")
                                .arg(path, row.item.path.toString(), row.item.domain.toString(), row.error));
            map.insert(row.id, std::move(row.item));
        }
        batch.clear();
    };
    Sqlite3Cursor rows = db.queryThrow("select domain, relativePath, file from Files");
    while (rows.moveNext()) {
        const QByteArray domain = rows.getTextBytes(0);
        if (domain.isEmpty())
            continue;
        if (domain != lastDomain)
            lastDomain = *domains.insert(domain);
        batch.emplace_back();
        Row& row = batch.back();
        row.item.domain.setVal(lastDomain);
        row.item.path.setVal(rows.getTextBytes(1));
        row.value = rows.getBlob(2);
        if (batch.size() == 4096)
            flush();
    }
    flush();
}

} // namespace

bool mbdbdetail::hasLog(const QString& path)
{
    if (exists(path + QStringLiteral("-wal")))
        return true;
    // Header bytes 18 and 19: the write and read versions, 2 in log mode.
    QFile file(path);
    QString why;
    if (!safefile::openRegular(file, path, QIODevice::ReadOnly, &why))
        return false;
    const QByteArray head = file.read(20);
    return head.size() == 20 && head.startsWith(QByteArray("SQLite format 3", 16)) && (head[18] == 2 || head[19] == 2);
}

void mbdbdetail::copyListThrow(const QString& from, const QString& to, int permissions)
{
    const QString log = from + QStringLiteral("-wal");
    const bool withLog = exists(log);
    if (withLog && !safefile::isRegularFile(log))
        throw error(QStringLiteral("%1 is not a regular file.").arg(log));
    const QStringList sides{QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")};
    for (const QString& side : sides)
        QFile::remove(to + side); // a log of an older copy would be laid over this one
    mbdbdetail::copyFileThrow(from, to, permissions);
    if (!hasLog(from))
        return;
    try {
        if (withLog)
            mbdbdetail::copyFileThrow(log, to + QStringLiteral("-wal"), permissions);
        settleLogThrow(to);
    } catch (...) {
        for (const QString& side : sides)
            QFile::remove(to + side);
        QFile::remove(to);
        throw;
    }
}

void mbdbdetail::settleLogThrow(const QString& path)
{
    const QString log = path + QStringLiteral("-wal"), index = path + QStringLiteral("-shm");
    for (const QString& side : {log, index})
        if (exists(side) && !safefile::isRegularFile(side))
            throw error(QStringLiteral("%1 is not a regular file.").arg(side));
    if (!hasLog(path))
        return;
    // An index from another copy could make SQLite take only part of the
    // log: without one, SQLite rebuilds it from the log itself.
    QFile::remove(index);
    {
        Sqlite3DB db;
        db.openThrow(path, 2);
        Sqlite3Cursor mode = db.queryThrow("pragma journal_mode=delete");
        if (!mode.moveNext() || mode.getText(0) != QLatin1String("delete"))
            throw error(QStringLiteral("%1: its write-ahead log could not be folded into it.").arg(path));
    }
    if (exists(log) || exists(index)) {
        QFile::remove(index);
        if (exists(log))
            throw error(QStringLiteral("%1: its write-ahead log stays beside it.").arg(path));
    }
}

QByteArray mbdbdetail::rowSalt(Sqlite3DB& db)
{
    Sqlite3Cursor table = db.queryThrow("select 1 from sqlite_master where type='table' and name='Properties'");
    if (!table.moveNext())
        return QByteArray();
    Sqlite3Cursor salt = db.queryThrow("select * from Properties where key='salt' limit 1");
    return salt.moveNext() ? salt.getBlob(QStringLiteral("value")) : QByteArray();
}

MBDBParser::MBDBItemMap MBDBParser::parse(const BackupManifest& backup)
{
    MBDBItemMap map;
    if (!isIos10Mbdb(backup.dir)) {
        const QString path = backup.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb"));
        QFile file;
        QString why;
        if (!safefile::openRegular(file, path, QIODevice::ReadOnly, &why))
            throw error(why);
        mbdbdetail::readMbdb(file, path, map);
        return map;
    }
    const QString path = backup.manifestKey.isEmpty() ? backup.dir.absoluteFilePath(QStringLiteral("Manifest.db"))
                                                       : backup.decryptedManifestPath;
    try {
        readManifestDb(path, backup.passcode.toUtf8(), map);
    } catch (const std::exception& e) {
        const QString text = QString::fromUtf8(e.what());
        throw error(text.contains(path) ? text : QStringLiteral("%1: %2").arg(path, text));
    }
    return map;
}
