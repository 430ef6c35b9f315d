// Writing a backup's file list: new records, the MBFile archive of a row, and
// Manifest.mbdb or Manifest.db written aside and put in place whole.
#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "backup/backuplock.h"
#include "backup/backupmanifest.h"
#include "backup/mbdbparser_p.h"
#include "backup/stagedfiles.h"
#include "foundation/plistcftype.h"
#include "foundation/safefile.h"
#include "foundation/sqlite3db.h"

namespace {

// A string field holds at most this many bytes: one more would read as null.
constexpr int kMaxString = 0xFFFE;

std::runtime_error error(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// The list is written into memory first; the device's object name is the
// file's name.
std::runtime_error fileError(const QIODevice& file)
{
    return error(QStringLiteral("%1: %2").arg(file.objectName(), file.errorString()));
}

// The next unused inode number, or 0 when none is left. Every number in use
// that fits an int is at most maxInodeNumber, so maxInodeNumber + 1 is free
// (a Manifest.mbdb number with a high half lies above int). Once int is used
// up, numbers go on above the highest whole number stored, up to the top of
// 64 bits.
qint64 nextInode(MBDBParser::MBDBItemMap& map)
{
    if (map.maxInodeNumber < INT_MAX) {
        map.topInode = qMax(map.topInode, qint64(++map.maxInodeNumber));
        return map.maxInodeNumber;
    }
    if (map.topInode == std::numeric_limits<qint64>::max())
        return 0;
    map.topInode = qMax(map.topInode, qint64(INT_MAX)) + 1;
    return map.topInode;
}

void writeBytes(QIODevice& f, const char* data, qint64 n)
{
    if (!mbdbdetail::writeAll(f, data, n))
        throw fileError(f);
}

void g_writeInt16(QIODevice& f, const quint16& v)
{
    const char b[2] = {char(v >> 8), char(v)};
    writeBytes(f, b, 2);
}

void g_writeInt32(QIODevice& f, const quint32& v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    writeBytes(f, b, 4);
}

void g_writeByte(QIODevice& f, char v)
{
    writeBytes(f, &v, 1);
}

void g_writeBinary(QIODevice& f, const MBDBParser::_MBDBBinary& s)
{
    // A length that wrapped around would make the rest of the list unreadable.
    if (s.data.size() != (s.isValid() ? s.length : 0))
        throw error(QStringLiteral("%1: a text of %2 bytes does not fit a file list record (at most %3).")
                        .arg(f.objectName())
                        .arg(s.data.size())
                        .arg(kMaxString));
    g_writeInt16(f, s.length);
    if (s.isValid())
        writeBytes(f, s.data.constData(), s.length);
}

void writeMbdbThrow(const QList<MBDBParser::_MBDBItem>& items, const QString& path)
{
    safefile::AtomicFile out(path);
    QString why;
    if (!out.open(&why))
        throw error(why);
    // Built in memory and written at once: a full disk then shows up at a
    // write that can say why, not at a flush of many small buffered ones.
    QBuffer f;
    f.setObjectName(path);
    f.open(QIODevice::WriteOnly);
    writeBytes(f, "mbdb\x05\x00", 6);
    for (const MBDBParser::_MBDBItem& r : items) {
        if (r.deleted)
            continue;
        for (const MBDBParser::_MBDBBinary* s : {&r.domain, &r.path, &r.linkTarget, &r.digest, &r.encryptionKey})
            g_writeBinary(f, *s);
        g_writeInt16(f, r.mode);
        const qint64 inode = (qint64(r.inodeHigh) << 32) + r.inodeNumber;
        for (const quint32 v : {quint32(inode >> 32), quint32(inode), r.userId, r.groupId, r.lastModified,
                                r.lastStatusChange, r.birth, quint32(quint64(r.size) >> 32), quint32(r.size)})
            g_writeInt32(f, v);
        g_writeByte(f, char(r.protectionClass));
        g_writeByte(f, char(r.properties.size()));
        for (const MBDBParser::_MBDBProperty& p : r.properties) {
            g_writeBinary(f, p.name);
            g_writeBinary(f, p.value);
        }
    }
    // Past the file's buffer: its flush would lose the reason of a short write.
    const QByteArray& bytes = f.data();
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t n = ::write(out.file().handle(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EINTR)
            throw error(QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        done += qMax<ssize_t>(n, 0);
    }
    if (!out.commit(&why))
        throw error(why);
}

int flagsOf(const MBDBParser::_MBDBItem& r)
{
    return r.isFolder() ? 2 : r.linkTarget.isValid() ? 4 : 1;
}

// The changed rows, written into a copy of the list (Manifest.db, or the
// decrypted copy of an encrypted one) that the commit puts in place.
void writeManifestDbThrow(const QList<MBDBParser::_MBDBItem>& items, BackupManifest& backup, StagedFiles& staged)
{
    const bool encrypted = !backup.manifestKey.isEmpty();
    const QString listPath = backup.dir.absoluteFilePath(QStringLiteral("Manifest.db"));
    const QString source = encrypted ? backup.decryptedManifestPath : listPath;
    // The copy holds the log's rows; the log and its index go aside with the
    // old list at the commit (a log left beside the new list would be laid
    // over it when it is next opened), and come back with it when the commit
    // is undone.
    for (const char* side : {"-wal", "-shm", "-journal"}) {
        const QString path = listPath + QLatin1String(side);
        if (!encrypted && (QFileInfo::exists(path) || QFileInfo(path).isSymLink()))
            staged.stageRemovalThrow(path);
    }
    const QString copy = staged.stageThrow(source);
    mbdbdetail::copyListThrow(source, copy, encrypted ? 0600 : 0644, !encrypted);
    Sqlite3DB db;
    db.openThrow(copy, 2);
    // A failure discards the copy whole, so it needs no journal.
    db.executeThrow("pragma journal_mode=off");
    const QByteArray salt = mbdbdetail::rowSalt(db);
    const QByteArray passcode = backup.passcode.toUtf8();
    const QByteArray rowKey = salt.isEmpty() || passcode.isEmpty() ? QByteArray()
                                                                   : MBDBParser::fileDescKey(passcode, salt);
    // The rows' `file` values on every core: an MBFile archive, in a salted
    // list the Base64 text of its encryption. One that fails here is made
    // again below, where its error is thrown.
    auto value = [&](const MBDBParser::_MBDBItem& r) {
        const QByteArray archive = MBDBParser::mbFilePlist(r);
        return rowKey.isEmpty() ? archive : MBDBParser::encryptFileDescThrow(archive, rowKey).toBase64();
    };
    std::vector<QByteArray> values(size_t(items.size()));
    mbdbdetail::parallelFor(values.size(), [&](size_t i) {
        try {
            if (!items[qsizetype(i)].deleted && !items[qsizetype(i)].undecoded)
                values[i] = value(items[qsizetype(i)]);
        } catch (const std::exception&) {
        }
    });
    db.beginTran();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const MBDBParser::_MBDBItem& r = items[i];
        const QString id = r.backupFileName();
        if (r.deleted) {
            db.executeThrow(Sqlite3Sql("delete from Files where fileID=?").addTextParam(id));
            continue;
        }
        // A row that did not decode is kept as it is stored.
        if (r.undecoded)
            continue;
        if (!salt.isEmpty() && rowKey.isEmpty())
            throw error(QStringLiteral("%1: the file list is salted; it can only be written with the backup's password.")
                            .arg(source));
        const QByteArray file = values[size_t(i)].isEmpty() ? value(r) : values[size_t(i)];
        auto bindFile = [&](Sqlite3Sql& sql) -> Sqlite3Sql& {
            return rowKey.isEmpty() ? sql.addBlobParam(file) : sql.addTextBytesParam(file);
        };
        if (!r.added) {
            Sqlite3Sql update("update Files set file=?,domain=?,relativePath=?,flags=? where fileID=?");
            db.executeThrow(bindFile(update)
                                .addTextParam(r.domain.toString())
                                .addTextParam(r.path.toString())
                                .addIntParam(flagsOf(r))
                                .addTextParam(id));
            if (db.changes() > 0)
                continue;
        }
        // New records, records appended twice (added and modified) and
        // modified ones whose row is gone are inserted.
        Sqlite3Sql insert("replace into Files(fileID,domain,relativePath,flags,file) values(?,?,?,?,?)");
        db.executeThrow(bindFile(insert.addTextParam(id)
                                     .addTextParam(r.domain.toString())
                                     .addTextParam(r.path.toString())
                                     .addIntParam(flagsOf(r))));
    }
    db.commitTran();
    db.close();
    if (encrypted)
        BackupManifest::encryptFileThrow(copy, staged.stageThrow(listPath), backup.manifestKey);
}

} // namespace

bool mbdbdetail::writeAll(QIODevice& out, const char* data, qint64 n)
{
    while (n > 0) {
        const qint64 done = out.write(data, n);
        if (done <= 0)
            return false;
        data += done;
        n -= done;
    }
    return true;
}

bool MBDBParser::appendFile(MBDBItemMap& map, bool class4, const QString& dataFile, const QString& domain,
                            const QString& relativePath, long long size, const ProtectionClsKeyInfo* class3Key,
                            const ProtectionClsKeyInfo* class4Key, QString* error)
{
    if (domain.isEmpty())
        return true;
    const QByteArray domainBytes = domain.toUtf8();
    if (domainBytes.size() > kMaxString || relativePath.toUtf8().size() > kMaxString) {
        if (error)
            *error = QStringLiteral("MBDBParser::appendFile(%1) error. The domain or the path is longer than "
                                    "a file list can hold.")
                         .arg(relativePath);
        return false;
    }
    const QFileInfo data(dataFile);
    const quint32 time = data.exists() ? quint32(data.lastModified().toSecsSinceEpoch()) : 0xFFFFFFFF;
    auto noNumber = [&] {
        if (error)
            *error = QStringLiteral("MBDBParser::appendFile(%1) error. No unused inode number is left for a new "
                                    "record.")
                         .arg(relativePath);
        return false;
    };
    auto fresh = [&](const QString& path, bool folder) {
        _MBDBItem r;
        r.domain.setVal(domainBytes);
        r.path.setVal(path.toUtf8());
        r.mode = folder ? 0x41C0 : 0x81A4;
        r.inodeNumber = nextInode(map);
        r.userId = r.groupId = 501;
        r.lastModified = r.lastStatusChange = r.birth = time;
        r.protectionClass = folder ? 0 : class4 ? 4 : 3;
        r.added = true;
        return r;
    };
    // Missing folders from the nearest parent upwards, up to one that is
    // recorded (a row that could not be decoded is taken as it stands).
    QString parent = relativePath;
    for (qsizetype i; (i = parent.lastIndexOf(QLatin1Char('/'))) > 0;) {
        parent.truncate(i);
        const QString id = getFileHashName(domain, parent);
        const auto known = map.files.constFind(id);
        if (known != map.files.cend()) {
            if (known->isFolder() || known->undecoded)
                break;
            if (error)
                *error = QStringLiteral("MBDBParser::appendFile(%1) error. \"%2\" is not a folder.")
                             .arg(relativePath, parent);
            return false;
        }
        _MBDBItem folder = fresh(parent, true);
        if (!folder.inodeNumber)
            return noNumber();
        map.insert(id, std::move(folder));
    }
    const QString id = getFileHashName(domain, relativePath);
    auto r = map.files.find(id);
    if (r == map.files.end() || r->undecoded) { // an undecoded row is replaced, never rebuilt from defaults
        _MBDBItem file = fresh(relativePath, false);
        if (!file.inodeNumber)
            return noNumber();
        r = map.files.insert(id, std::move(file));
    } else {
        r->modified = true;
    }
    // A file written where a link was recorded: left a link, the phone would
    // restore the link and drop the data.
    if (!r->isFolder() && r->linkTarget.isValid()) {
        r->mode = 0x81A4;
        r->linkTarget = _MBDBBinary();
    }
    r->size = size > 0 ? size : data.size();
    if (class4)
        r->digest.setVal(readFileHash(dataFile));
    r->lastModified = r->lastStatusChange = r->birth = time;
    // The class goes with the key: a record whose class named another class
    // key would make its new data undecryptable. A key that names its class
    // (a record's own key, kept by the merge) brings that class along.
    if (const ProtectionClsKeyInfo* key = class4 ? class4Key : class3Key) {
        r->encryptionKey = key->encryptionKey;
        r->protectionClass = qint8(key->protectionClass > 0 ? key->protectionClass : class4 ? 4 : 3);
    }
    return true;
}

QByteArray MBDBParser::mbFilePlist(const _MBDBItem& item)
{
    const int d = item.digest.isValid() ? 1 : 0;
    const int k = item.encryptionKey.isValid() ? 1 : 0;
    auto uid = [](long i) { return PlistCFType::createCFKeyedArchiverUID(i); };
    auto text = [](const QString& s) { return PlistCFType::createCFString(s); };
    auto num = [](long long v) { return PlistCFType::createCFNumberInt64(v); };
    auto classes = [&](const QStringList& names) {
        PlistCFType list = PlistCFType::createCFArray();
        for (const QString& n : names)
            list.append(text(n));
        PlistCFType c = PlistCFType::createCFDictionary();
        c.put(QStringLiteral("$classes"), list).put(QStringLiteral("$classname"), text(names.first()));
        return c;
    };
    PlistCFType file = PlistCFType::createCFDictionary();
    file.put(QStringLiteral("$class"), uid(3 + d + 2 * k)).put(QStringLiteral("Birth"), num(qint32(item.birth)));
    if (d)
        file.put(QStringLiteral("Digest"), uid(3));
    if (k)
        file.put(QStringLiteral("EncryptionKey"), uid(3 + d));
    file.put(QStringLiteral("Flags"), num(0))
        .put(QStringLiteral("GroupID"), num(qint32(item.groupId)))
        .put(QStringLiteral("InodeNumber"), num((qint64(item.inodeHigh) << 32) + item.inodeNumber))
        .put(QStringLiteral("LastModified"), num(qint32(item.lastModified)))
        .put(QStringLiteral("LastStatusChange"), num(qint32(item.lastStatusChange)))
        .put(QStringLiteral("Mode"), num(item.mode))
        .put(QStringLiteral("ProtectionClass"), num(item.protectionClass))
        .put(QStringLiteral("RelativePath"), uid(2))
        .put(QStringLiteral("Size"), num(item.size))
        .put(QStringLiteral("UserID"), num(qint32(item.userId)));
    PlistCFType objects = PlistCFType::createCFArray();
    objects.append(text(QStringLiteral("$null"))).append(file).append(text(item.path.toString()));
    if (d)
        objects.append(PlistCFType::createCFData(item.digest.data));
    if (k) {
        PlistCFType key = PlistCFType::createCFDictionary();
        key.put(QStringLiteral("$class"), uid(4 + d))
            .put(QStringLiteral("NS.data"), PlistCFType::createCFData(item.encryptionKey.data));
        objects.append(key).append(classes({"NSMutableData", "NSData", "NSObject"}));
    }
    objects.append(classes({"MBFile", "NSObject"}));
    PlistCFType top = PlistCFType::createCFDictionary(), root = PlistCFType::createCFDictionary();
    root.put(QStringLiteral("root"), uid(1));
    top.put(QStringLiteral("$archiver"), text(QStringLiteral("NSKeyedArchiver")))
        .put(QStringLiteral("$objects"), objects)
        .put(QStringLiteral("$top"), root)
        .put(QStringLiteral("$version"), num(100000));
    return top.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
}

void MBDBParser::save2File(QList<_MBDBItem> items, BackupManifest& backup, StagedFiles* staged)
{
    if (!staged) {
        const QString folder = backup.dir.absolutePath();
        const auto lock = backup.lockForWritingThrow();
        StagedFiles own(folder);
        save2File(std::move(items), backup, &own);
        own.commitThrow();
        backup.listReplaced();
        return;
    }
    StagedFiles& into = *staged;
    const bool mbdb = !isIos10Mbdb(backup.dir);
    // Manifest.db gets only its changed rows; sorting the rest would be wasted.
    if (!mbdb) {
        QList<_MBDBItem> changed;
        for (_MBDBItem& r : items)
            if (r.added || r.modified || r.deleted)
                changed.append(std::move(r));
        items.swap(changed);
    }
    std::sort(items.begin(), items.end(), compareMBDBItemLess);
    if (mbdb)
        writeMbdbThrow(items, into.stageThrow(backup.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb"))));
    else
        writeManifestDbThrow(items, backup, into);
}
