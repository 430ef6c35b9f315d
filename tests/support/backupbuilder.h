#pragma once

// Backup folders for tests and benchmarks, written from the public format
// descriptions with OpenSSL, libplist and SQLite called directly, never with
// the product's readers, writers or ciphers, so that a mistake shared with
// them cannot hide. A backup is a list of entries (files, folders, links);
// build() writes Manifest.plist, Status.plist, the file list (Manifest.mbdb
// with flat data files, or Manifest.db with data files in two-hex-digit
// folders; plain, with salted rows, or encrypted whole) and the data files,
// encrypted with per-file keys under class keys under the password when the
// backup has one. Only Qt and the three C libraries are used, so benchmarks
// compile it in.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

namespace backupbuilder {

enum class Kind { File, Folder, Link };

struct Entry
{
    QString domain; // a null text is a null string in Manifest.mbdb, "" an empty one
    QString path;
    QByteArray data;
    Kind kind = Kind::File;
    QString target; // of a link
    int protectionClass = 3;
    quint32 mtime = 1600000000;
    quint64 inode = 0;        // 0: the entry's position + 1
    bool noKey = false;       // encrypted backup: no stored key, data stored as it is
    bool noDataFile = false;  // the record only (large lists)
    bool digestAsNSData = false; // Manifest.db: "Digest" as {"NS.data": <data>}
    QList<QPair<QByteArray, QByteArray>> properties; // Manifest.mbdb
    QByteArray rawFile;       // Manifest.db: this `file` value instead of the archive
};

Entry file(const QString& domain, const QString& path, const QByteArray& data, int protectionClass = 3);
Entry folder(const QString& domain, const QString& path);
Entry link(const QString& domain, const QString& path, const QString& target);
struct Spec
{
    bool mbdb = false;        // Manifest.mbdb, else Manifest.db
    QString password;         // not empty: an encrypted backup
    bool encryptList = true;  // encrypted backup with Manifest.db: "DPIC"/"DPSL", ManifestKey, Manifest.db encrypted
    bool saltRows = false;    // Manifest.db rows salted with the password (needs one)
    quint32 iter = 3, dpic = 5; // real backups: 10,000 and 10,000,000
    QList<int> classes = {1, 2, 3, 4};
    int manifestClass = 4;
    bool writeIsEncrypted = true;
    bool statusPlist = true;
    QString udid = QStringLiteral("00008030-001A2B3C4D5E6F70");
    QString deviceName = QStringLiteral("iPhone");
    QString productVersion = QStringLiteral("16.4");
    QDateTime date = QDateTime(QDate(2023, 5, 6), QTime(7, 8, 9), Qt::UTC);
    QList<Entry> entries;
};

// The keys build() made, for checking what the product decrypts or writes.
struct Built
{
    QMap<int, QByteArray> classKeys;
    QByteArray manifestKey;
    QByteArray rowKey;
    QList<QByteArray> fileKeys; // per entry; empty when it has none
};

// Writes the backup into `folder` (created when missing); throws std::runtime_error.
Built build(const QString& folder, const Spec& spec);

QString fileId(const QString& domain, const QString& path);
QString dataPath(const QString& folder, const QString& fileId, bool mbdb);
// AES-CBC by the key's length with PKCS#7 padding; empty on failure (a
// wrong key or a damaged text). Files and Manifest.db use the zero IV.
QByteArray aesCbc(const QByteArray& key, const QByteArray& data, bool encrypt, const QByteArray& iv = QByteArray(16, 0));
QByteArray rowIv(); // the IV of salted Manifest.db rows
// RFC 3394 key wrap or unwrap; empty on failure.
QByteArray aesWrap(const QByteArray& kek, const QByteArray& data, bool wrap);

} // namespace backupbuilder
