// Reading a backup's file list: Manifest.db (plain, salted rows, or through
// the decrypted copy of an encrypted one) and the dispatch between formats.
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstring>
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

// A binary property list read where it lies, without building its tree:
// only the few objects asked for are looked at. Every offset, count and
// reference is checked against the bytes before it is followed.
class BinaryPlist
{
public:
    enum Type { Integer = 0x1, Data = 0x4, Ascii = 0x5, Unicode = 0x6, Uid = 0x8, Array = 0xA, Dict = 0xD };
    struct Object
    {
        int type = -1;
        quint64 count = 0; // bytes of an integer, UID, data or string; entries of an array or dictionary
        const uchar* body = nullptr;
    };

    bool open(const QByteArray& bytes)
    {
        constexpr qsizetype kTrailer = 32;
        if (bytes.size() < 8 + kTrailer || !bytes.startsWith("bplist00"))
            return false;
        m_begin = reinterpret_cast<const uchar*>(bytes.constData());
        m_end = m_begin + bytes.size() - kTrailer;
        const uchar* t = m_end;
        m_offsetSize = t[6];
        m_refSize = t[7];
        m_objects = be(t + 8, 8);
        m_top = be(t + 16, 8);
        const quint64 table = be(t + 24, 8), room = quint64(m_end - m_begin);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 || m_top >= m_objects
            || table < 8 || table > room || m_objects > (room - table) / quint64(m_offsetSize))
            return false;
        m_table = m_begin + table;
        return true;
    }

    quint64 top() const { return m_top; }

    // False for a reference out of range, a type not listed in Type, or a
    // body that would run past the objects.
    bool object(quint64 ref, Object& o) const
    {
        if (ref >= m_objects)
            return false;
        const quint64 at = be(m_table + ref * quint64(m_offsetSize), m_offsetSize);
        if (at < 8 || at >= quint64(m_end - m_begin))
            return false;
        const uchar* p = m_begin + at;
        o.type = *p >> 4;
        const int info = *p++ & 15;
        quint64 count = quint64(info);
        quint64 width = 1;
        switch (o.type) {
        case Integer:
            if (info > 3) // 16-byte integers are left to the full reader
                return false;
            count = quint64(1) << info;
            break;
        case Uid:
            if (info > 7)
                return false;
            count = quint64(info) + 1;
            break;
        case Data: case Ascii: case Unicode: case Array: case Dict:
            if (info == 15) {
                if (p >= m_end || (*p >> 4) != Integer || (*p & 15) > 3)
                    return false;
                const qsizetype w = qsizetype(1) << (*p & 15);
                if (m_end - p - 1 < w)
                    return false;
                count = be(p + 1, int(w));
                p += 1 + w;
            }
            width = o.type == Unicode ? 2 : o.type == Array ? m_refSize : o.type == Dict ? 2 * quint64(m_refSize) : 1;
            break;
        default:
            return false;
        }
        if (count > quint64(m_end - p) / width)
            return false;
        o.count = count;
        o.body = p;
        return true;
    }

    // The i-th reference of an array, or the i-th key (i < count) or value
    // (count <= i < 2 count) of a dictionary; i is within the checked body.
    quint64 ref(const Object& o, quint64 i) const { return be(o.body + i * quint64(m_refSize), m_refSize); }
    static quint64 number(const Object& o) { return be(o.body, int(o.count)); }

    // The ASCII key at `ref`, or null when it is any other object, or holds
    // a NUL (a C string comparison would cut it there).
    QByteArrayView key(quint64 ref) const
    {
        Object k;
        if (!object(ref, k) || k.type != Ascii || memchr(k.body, 0, size_t(k.count)))
            return QByteArrayView();
        return QByteArrayView(k.body, qsizetype(k.count));
    }

    // The value reference of `name` in a dictionary. Unsure when a key is no
    // plain ASCII string or `name` is there twice: readers differ on these.
    enum Lookup { Found, Absent, Unsure };
    Lookup find(const Object& dict, QByteArrayView name, quint64& value) const
    {
        Lookup result = Absent;
        for (quint64 i = 0; i < dict.count; ++i) {
            const QByteArrayView k = key(ref(dict, i));
            if (k.isNull())
                return Unsure;
            if (k == name) {
                if (result == Found)
                    return Unsure;
                result = Found;
                value = ref(dict, dict.count + i);
            }
        }
        return result;
    }

private:
    static quint64 be(const uchar* p, int n)
    {
        quint64 v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | p[i];
        return v;
    }

    const uchar* m_begin = nullptr;
    const uchar* m_end = nullptr; // the trailer: objects and offset table lie before it
    const uchar* m_table = nullptr;
    int m_offsetSize = 0, m_refSize = 0;
    quint64 m_objects = 0, m_top = 0;
};

// One row between the database and the map: decoded on any thread.
struct Row
{
    MBDBParser::_MBDBItem item;
    QByteArray value;
    QString id;
    QString error;
    bool keysOnly = false; // only what decodeMBFileInPlace reads with keysOnly
};

void decodeRow(Row& row, const QByteArray& key, const QSet<QString>* whole)
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
    row.id = mbdbdetail::fileIdOf(row.item.domain.data, row.item.path.data);
    // The archive is read in place; what that reader declines goes through
    // the full property-list reader.
    const bool keysOnly = whole && !whole->contains(row.id);
    if (mbdbdetail::decodeMBFileInPlace(row.value, row.item, keysOnly))
        row.keysOnly = keysOnly;
    else
        row.item.undecoded = !mbdbdetail::decodeMBFile(row.value, row.item);
    row.value.clear();
}

bool exists(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

void readManifestDb(const QString& path, const QByteArray& passcode, MBDBParser::MBDBItemMap& map,
                    const QSet<QString>* whole)
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
    // Of the records read for their keys only, the map keeps the first few
    // that could give a class key, and those with the highest inode numbers.
    Row topWhole, topLow;
    int candidates[2] = {0, 0};
    auto keep = [&](Row& row) {
        const MBDBParser::_MBDBItem& r = row.item;
        const qint64 inode = (qint64(r.inodeHigh) << 32) + r.inodeNumber;
        if (topWhole.id.isNull() || inode > (qint64(topWhole.item.inodeHigh) << 32) + topWhole.item.inodeNumber)
            topWhole = row;
        if (topLow.id.isNull() || r.inodeNumber > topLow.item.inodeNumber)
            topLow = row;
        const int cls = r.protectionClass - 3;
        return !r.isFolder() && (cls == 0 || cls == 1) && r.encryptionKey.isValid()
            && candidates[cls]++ < mbdbdetail::kKeyCandidates;
    };
    auto flush = [&] {
        mbdbdetail::parallelFor(batch.size(), [&](size_t i) { decodeRow(batch[i], key, whole); });
        for (Row& row : batch) {
            if (!row.error.isEmpty())
                throw error(QStringLiteral("%1: the record of %2 in %3 does not decrypt: %4")
                                .arg(path, row.item.path.toString(), row.item.domain.toString(), row.error));
            if (!row.keysOnly || keep(row))
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
    for (Row* top : {&topWhole, &topLow})
        if (!top->id.isNull())
            map.insert(top->id, top->item);
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

bool mbdbdetail::decodeMBFileInPlace(const QByteArray& value, MBDBParser::_MBDBItem& item, bool keysOnly)
{
    using P = BinaryPlist;
    P plist;
    P::Object top, objects, t, root;
    quint64 ref = 0;
    if (!plist.open(value) || !plist.object(plist.top(), top) || top.type != P::Dict)
        return false;
    if (plist.find(top, "$objects", ref) != P::Found || !plist.object(ref, objects) || objects.type != P::Array)
        return false;
    if (plist.find(top, "$top", ref) != P::Found || !plist.object(ref, t) || t.type != P::Dict)
        return false;
    // A UID names an entry of $objects; one past its end names nothing.
    auto resolve = [&](P::Object& o) {
        if (o.type != P::Uid)
            return true;
        const quint64 index = P::number(o);
        if (index >= objects.count) {
            o = P::Object();
            return true;
        }
        return plist.object(plist.ref(objects, index), o);
    };
    if (plist.find(t, "root", ref) != P::Found || !plist.object(ref, root) || root.type != P::Uid || !resolve(root)
        || root.type != P::Dict)
        return false;
    // The fields as the full reader names them; numbers of another type read as 0.
    enum Field { Mode, Inode, Class, Key, Digest, Target, Birth, Group, Modified, Changed, Size, User, kFields };
    static const char* const kNames[kFields] = {"Mode",   "InodeNumber", "ProtectionClass", "EncryptionKey",
                                                "Digest", "Target",      "Birth",           "GroupID",
                                                "LastModified", "LastStatusChange", "Size", "UserID"};
    const int fields = keysOnly ? Key + 1 : kFields;
    quint64 numbers[kFields] = {};
    MBDBParser::_MBDBBinary key, digest, target;
    bool seen[kFields] = {};
    for (quint64 i = 0; i < root.count; ++i) {
        const QByteArrayView name = plist.key(plist.ref(root, i));
        if (name.isNull())
            return false;
        int f = 0;
        while (f < fields && name != kNames[f])
            ++f;
        if (f == fields)
            continue;
        if (seen[f]) // the full reader lets the later one win; it decides
            return false;
        seen[f] = true;
        P::Object v;
        if (!plist.object(plist.ref(root, root.count + i), v) || !resolve(v))
            return false;
        if (f == Target) {
            // UTF-16 text the full reader converts, and it ends text at a
            // NUL: both are left to it.
            if (v.type == P::Unicode || (v.type == P::Ascii && memchr(v.body, 0, size_t(v.count))))
                return false;
            if (v.type == P::Ascii && v.count > 0)
                target.setVal(QByteArray(reinterpret_cast<const char*>(v.body), qsizetype(v.count)));
            continue;
        }
        if (f != Key && f != Digest) {
            numbers[f] = v.type == P::Integer ? P::number(v) : 0;
            continue;
        }
        if (v.type == P::Dict) { // NSMutableData: the bytes under "NS.data", taken as they stand
            const P::Lookup found = plist.find(v, "NS.data", ref);
            if (found == P::Unsure)
                return false;
            if (found == P::Absent)
                continue;
            if (!plist.object(ref, v))
                return false;
        }
        if (v.type == P::Data)
            (f == Key ? key : digest).setVal(QByteArray(reinterpret_cast<const char*>(v.body), qsizetype(v.count)));
    }
    item.mode = quint16(numbers[Mode]);
    item.inodeNumber = qint64(numbers[Inode]);
    item.inodeHigh = 0;
    item.protectionClass = qint8(numbers[Class]);
    item.encryptionKey = key;
    if (keysOnly)
        return true;
    item.digest = digest;
    item.linkTarget = target;
    item.birth = quint32(numbers[Birth]);
    item.groupId = quint32(numbers[Group]);
    item.lastModified = quint32(numbers[Modified]);
    item.lastStatusChange = quint32(numbers[Changed]);
    item.size = qint64(numbers[Size]);
    item.userId = quint32(numbers[User]);
    return true;
}

MBDBParser::MBDBItemMap MBDBParser::parse(const BackupManifest& backup)
{
    return mbdbdetail::parse(backup, nullptr);
}

MBDBParser::MBDBItemMap mbdbdetail::parse(const BackupManifest& backup, const QSet<QString>* whole)
{
    MBDBParser::MBDBItemMap map;
    if (!MBDBParser::isIos10Mbdb(backup.dir)) {
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
        readManifestDb(path, backup.passcode.toUtf8(), map, whole);
    } catch (const std::exception& e) {
        const QString text = QString::fromUtf8(e.what());
        throw error(text.contains(path) ? text : QStringLiteral("%1: %2").arg(path, text));
    }
    return map;
}
