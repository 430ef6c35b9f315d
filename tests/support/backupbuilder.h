#pragma once

// Backup folders for tests and benchmarks, written from the public format
// descriptions by backupbuilder.py (Debian's Python, its standard library and
// python3-cryptography), never with the product's readers, writers or
// ciphers, so that a mistake shared with them cannot hide.
//
// A backup is described as a JSON object; every key is optional:
//   "mbdb": false        Manifest.mbdb with flat data files, else Manifest.db
//                        with data files in two-hex-digit folders
//   "password": ""       not empty: an encrypted backup (keybag with class keys
//                        wrapped by the PBKDF2 password key, per-file keys)
//   "encryptList": true  encrypted Manifest.db backups: "DPIC"/"DPSL" double
//                        derivation, a wrapped ManifestKey, Manifest.db encrypted
//   "saltRows": false    Manifest.db rows salted with the password
//   "iter": 3, "dpic": 5 rounds (real backups: 10000 and 10000000)
//   "classes": [1,2,3,4], "manifestClass": 4
//   "udid", "deviceName"
//   "seed": ""           not empty: the same keys and salts on every build
//   "entries": [...]     records in list order, made by file(), folder(),
//                        link() and changed by key:
//     "domain", "path"   text; null writes a null string into Manifest.mbdb
//     "data"             contents as Latin-1 text (bytes 0-255)
//     "kind" 0 file, 1 folder, 2 link; "target"; "cls" protection class
//     "mtime" Unix seconds (1600000000); "inode" (0: position + 1)
//     "noKey"            encrypted backup: no stored key, data stored plain
//     "noDataFile"       the record only (large lists)
//     "nsData"           Manifest.db: "Digest" as {"NS.data": ...}
//     "props"            Manifest.mbdb properties [[name, value], ...] (Latin-1)
//     "raw"              Manifest.db: this `file` value (Latin-1) instead of the archive
//     "id"               this file ID instead of the one made from domain and path
// Only Qt and OpenSSL are used here, so benchmarks compile it in.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace backupbuilder {

QJsonObject file(const QString& domain, const QString& path, const QByteArray& data, int protectionClass = 3);
QJsonObject folder(const QString& domain, const QString& path);
QJsonObject link(const QString& domain, const QString& path, const QString& target);

// The keys build() made, for checking what the product decrypts or writes.
struct Built
{
    QByteArray manifestKey;
    QByteArray rowKey;
    QList<QByteArray> fileKeys; // per entry; empty when it has none
};

// Writes the backup into `folder` (created when missing); throws std::runtime_error.
Built build(const QString& folder, const QJsonObject& spec);

// The folder's Manifest.db in plain form, its keybag opened with the password
// by the independent reader's steps (tests/backup/backupreader.py). Empty on
// failure, with `why` "password" (the keybag does not open with it), "keybag"
// (an encrypted backup without one) or the tool's own message.
QByteArray plainList(const QString& folder, const QString& password, QString* why);
// Every file record of the folder as the independent reader reads it: file
// ID -> plain bytes in hex, "missing" or "error: ..."; {"reader failed": its
// message} when it cannot read the folder at all.
QJsonObject readBack(const QString& folder, const QString& password);

QString fileId(const QString& domain, const QString& path);
QString dataPath(const QString& folder, const QString& fileId, bool mbdb);
// AES-CBC by the key's length with PKCS#7 padding; empty on failure (a wrong
// key, a damaged text). Data files and Manifest.db use the zero IV.
QByteArray aesCbc(const QByteArray& key, const QByteArray& data, bool encrypt,
                  const QByteArray& iv = QByteArray(16, 0));
QByteArray rowIv(); // the IV of salted Manifest.db rows

} // namespace backupbuilder
