#pragma once

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QList>
#include <QString>

class BackupManifest;
class StagedFiles;

// The records of a backup's file list and the names derived from them.
// Static operations only; never instantiated.
class MBDBParser
{
public:
    MBDBParser() = delete;

    // A length-prefixed string of Manifest.mbdb: length 0xFFFF is null, 0 is
    // empty, and both count as not valid.
    struct _MBDBBinary
    {
        quint16 length = 0xFFFF;
        QByteArray data;

        bool isValid() const { return length != 0xFFFF && length != 0; }
        // UTF-8 up to the first NUL; empty when not valid.
        QString toString() const;
        void setVal(const QByteArray& value);
    };

    struct _MBDBProperty
    {
        _MBDBBinary name;
        _MBDBBinary value;
    };

    // One file, folder or link of a backup.
    struct _MBDBItem
    {
        _MBDBBinary domain;
        _MBDBBinary path;
        _MBDBBinary linkTarget;
        _MBDBBinary digest;
        _MBDBBinary encryptionKey; // 4-byte prefix + file key wrapped with the class key
        quint16 mode = 0;
        quint32 inodeHigh = 0;
        qint64 inodeNumber = 0;
        quint32 userId = 0;
        quint32 groupId = 0;
        quint32 lastModified = 0;
        quint32 lastStatusChange = 0;
        quint32 birth = 0;
        qint64 size = 0;
        qint8 protectionClass = 0;
        bool added = false;
        bool modified = false;
        bool deleted = false;
        QList<_MBDBProperty> properties;
        // The Manifest.db row's `file` value could not be decoded (no keyed
        // archive, or salted and read without the password): only domain and
        // path are known, every other field is a default. A writer must keep
        // such a row as it is stored, never rewrite it from this record.
        bool undecoded = false;

        QString backupFileName() const;
        bool isFolder() const { return mode & 0x4000; }
    };

    // A backup's records by file ID.
    struct MBDBItemMap
    {
        QHash<QString, _MBDBItem> files;
        int maxInodeNumber = 0;
        // The highest whole inode number stored (inodeHigh and inodeNumber
        // together): new records are numbered past it once maxInodeNumber
        // has reached the top of int.
        qint64 topInode = 0;

        // Stores (replacing a record of the same file ID) and raises
        // maxInodeNumber to the record's inode number.
        void insert(const QString& fileId, _MBDBItem item);
    };

    // The file key of one protection class, for files added to an
    // encrypted backup; only used when `key` is not empty.
    struct ProtectionClsKeyInfo
    {
        int protectionClass = 0;
        _MBDBBinary encryptionKey;
        QByteArray key;
    };

    // True when the folder lists its files in Manifest.db only.
    static bool isIos10Mbdb(const QDir& dir);
    // Lower-case hex SHA-1 of UTF-8 domain + "-" + relativePath.
    static QString getFileHashName(const QString& domain, const QString& relativePath);
    // The data file of a record: <dir>/<first two characters>/<id> in the
    // Manifest.db layout (the folder made first when makeFolder), else <dir>/<id>.
    static QString getBKFilePath(const QDir& dir, const QString& fileID, bool makeFolder);
    // SHA-1 of the file's contents, read in blocks; empty when it cannot be read.
    static QByteArray readFileHash(const QString& path);

    // Every record of the backup's list (Manifest.mbdb, or Manifest.db, read
    // through Manifest-decrypted.db when the backup holds a manifest key).
    // Throws std::runtime_error naming the file for a missing, cut or
    // damaged list; a caller never receives part of a list. Nothing is
    // written to the backup.
    static MBDBItemMap parse(const BackupManifest& backup);

    // The key of a salted Manifest.db row: the first 16 bytes of
    // SHA-1(passcode + salt).
    static QByteArray fileDescKey(const QByteArray& passcode, const QByteArray& salt);
    // AES-CBC (by the key's length) with the fixed row IV and PKCS#7 padding.
    // Throws for a key of another length, and, when decrypting, for a text
    // whose padding is wrong (a wrong key, a damaged or cut text).
    static QByteArray decryptFileDescThrow(const QByteArray& data, const QByteArray& key);
    static QByteArray encryptFileDescThrow(const QByteArray& data, const QByteArray& key);

    // Adds a file record, and records for the folders above it that are
    // missing, or marks the existing record modified. Times, and with class4
    // the digest, come from dataFile; the size from `size` when above 0, else
    // from dataFile. An empty domain changes nothing. False (the reason in
    // *error) when a parent is recorded as something other than a folder,
    // when the domain or path is too long for a file list, or when no unused
    // inode number is left for a new record; folder records already added
    // stay. A key record whose protectionClass is set gives the record that
    // class, else the class follows class4.
    static bool appendFile(MBDBItemMap& map, bool class4, const QString& dataFile, const QString& domain,
                           const QString& relativePath, long long size, const ProtectionClsKeyInfo* class3Key,
                           const ProtectionClsKeyInfo* class4Key, QString* error);
    // The `file` value of a Manifest.db row: an MBFile keyed archive as a
    // binary property list.
    static QByteArray mbFilePlist(const _MBDBItem& item);
    // Writes the records as the backup's file list, in its own format:
    // Manifest.mbdb is written whole, Manifest.db gets the changed rows (rows
    // that could not be decoded are kept as stored unless deleted), salted
    // when the list is, encrypted back when the backup holds a manifest key.
    // The list appears whole or not at all: it is written aside and put in
    // place by `staged` (the caller commits it together with the data files
    // it staged there), or at once without one. Throws std::runtime_error.
    static void save2File(QList<_MBDBItem> items, BackupManifest& backup, StagedFiles* staged = nullptr);
};

// The order of records in written lists and in the file tree: by domain,
// then relative path, as UTF-16 code units (case-sensitive).
bool compareMBDBItemLess(const MBDBParser::_MBDBItem& a, const MBDBParser::_MBDBItem& b);
