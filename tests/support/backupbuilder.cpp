#include "tests/support/backupbuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace backupbuilder {

namespace {

[[noreturn]] void fail(const QString& what)
{
    throw std::runtime_error(("backupbuilder: " + what).toStdString());
}

QByteArray random(int n)
{
    QByteArray b(n, 0);
    RAND_bytes(reinterpret_cast<unsigned char*>(b.data()), n);
    return b;
}

QByteArray be(quint64 v, int n)
{
    QByteArray b(n, 0);
    for (int i = n - 1; i >= 0; --i, v >>= 8)
        b[i] = char(v & 0xff);
    return b;
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, 0);
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray digest(const QByteArray& data, const EVP_MD* md)
{
    QByteArray out(EVP_MD_size(md), 0);
    EVP_Digest(data.constData(), size_t(data.size()), reinterpret_cast<unsigned char*>(out.data()), nullptr, md, nullptr);
    return out;
}

QByteArray pbkdf2(const QByteArray& pass, const QByteArray& salt, quint32 iter, const EVP_MD* md)
{
    QByteArray out(32, 0);
    PKCS5_PBKDF2_HMAC(pass.constData(), int(pass.size()), reinterpret_cast<const unsigned char*>(salt.constData()),
                      int(salt.size()), int(iter), md, 32, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        fail("cannot write " + path);
}

// Owns a libplist node.
using Node = std::unique_ptr<void, void (*)(plist_t)>;

QByteArray toBinary(plist_t node)
{
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(node, &out, &len);
    QByteArray b(out, int(len));
    free(out);
    return b;
}

plist_t dict(std::initializer_list<std::pair<const char*, plist_t>> items)
{
    plist_t d = plist_new_dict();
    for (const auto& [k, v] : items)
        plist_dict_set_item(d, k, v);
    return d;
}

plist_t data(const QByteArray& b)
{
    return plist_new_data(b.constData(), uint64_t(b.size()));
}

plist_t text(const QString& s)
{
    return plist_new_string(s.toUtf8().constData());
}

plist_t classRecord(std::initializer_list<const char*> names)
{
    plist_t classes = plist_new_array();
    for (const char* n : names)
        plist_array_append_item(classes, plist_new_string(n));
    return dict({{"$classes", classes}, {"$classname", plist_new_string(*names.begin())}});
}

// The MBFile keyed archive of one record, as a binary property list.
QByteArray mbFile(const Entry& e, int mode, quint64 inode, const QByteArray& sha, const QByteArray& key)
{
    plist_t objects = plist_new_array();
    auto add = [&](plist_t n) {
        plist_array_append_item(objects, n);
        return plist_new_uid(plist_array_get_size(objects) - 1);
    };
    plist_free(add(plist_new_string("$null")));
    plist_t file = dict({{"Birth", plist_new_uint(e.mtime - 100)}, {"Flags", plist_new_uint(0)},
                         {"GroupID", plist_new_uint(501)}, {"InodeNumber", plist_new_uint(inode)},
                         {"LastModified", plist_new_uint(e.mtime)}, {"LastStatusChange", plist_new_uint(e.mtime + 1)},
                         {"Mode", plist_new_uint(uint64_t(mode))}, {"ProtectionClass", plist_new_uint(uint64_t(e.protectionClass))},
                         {"Size", plist_new_uint(uint64_t(e.data.size()))}, {"UserID", plist_new_uint(501)}});
    plist_free(add(file));
    plist_dict_set_item(file, "RelativePath", add(text(e.path)));
    Node nsData(nullptr, plist_free);
    auto wrapped = [&](const QByteArray& b) { return dict({{"NS.data", data(b)}, {"$class", plist_copy(nsData.get())}}); };
    if (!key.isEmpty() || e.digestAsNSData)
        nsData.reset(add(classRecord({"NSMutableData", "NSData", "NSObject"})));
    if (!sha.isEmpty())
        plist_dict_set_item(file, "Digest", add(e.digestAsNSData ? wrapped(sha) : data(sha)));
    if (!key.isEmpty())
        plist_dict_set_item(file, "EncryptionKey", add(wrapped(key)));
    if (e.kind == Kind::Link)
        plist_dict_set_item(file, "Target", add(text(e.target)));
    plist_dict_set_item(file, "$class", add(classRecord({"MBFile", "NSObject"})));
    Node top(dict({{"$archiver", plist_new_string("NSKeyedArchiver")}, {"$objects", objects},
                   {"$top", dict({{"root", plist_new_uid(1)}})}, {"$version", plist_new_uint(100000)}}),
             plist_free);
    return toBinary(top.get());
}

QByteArray mbdbString(const QString& s)
{
    return s.isNull() ? QByteArray("\xff\xff", 2) : be(quint64(s.toUtf8().size()), 2) + s.toUtf8();
}

QByteArray mbdbBytes(const QByteArray& b)
{
    return b.isEmpty() ? QByteArray("\xff\xff", 2) : be(quint64(b.size()), 2) + b;
}

// The keybag (tag, 4-byte big-endian length, value records) with each class
// key wrapped by the password key.
QByteArray keybag(const Spec& spec, bool dp, Built* built)
{
    QByteArray kb;
    auto rec = [&](const char* tag, const QByteArray& v) { kb += QByteArray(tag) + be(quint64(v.size()), 4) + v; };
    const QByteArray salt = random(20), dpsl = random(20);
    rec("VERS", be(4, 4));
    rec("TYPE", be(1, 4));
    rec("UUID", random(16));
    rec("HMCK", random(40));
    rec("WRAP", be(0, 4));
    rec("SALT", salt);
    rec("ITER", be(spec.iter, 4));
    QByteArray secret = spec.password.toUtf8();
    if (dp) {
        rec("DPWT", be(1, 4));
        rec("DPIC", be(spec.dpic, 4));
        rec("DPSL", dpsl);
        secret = pbkdf2(secret, dpsl, spec.dpic, EVP_sha256());
    }
    const QByteArray passKey = pbkdf2(secret, salt, spec.iter, EVP_sha1());
    for (int c : spec.classes) {
        built->classKeys[c] = random(32);
        rec("UUID", random(16));
        rec("CLAS", be(quint64(c), 4));
        rec("WRAP", be(2, 4));
        rec("KTYP", be(0, 4));
        rec("WPKY", aesWrap(passKey, built->classKeys[c], true));
    }
    return kb;
}

void exec(sqlite3* db, const char* sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(QString("sqlite: ") + sqlite3_errmsg(db));
}

} // namespace

Entry file(const QString& domain, const QString& path, const QByteArray& data, int protectionClass)
{
    Entry e;
    e.domain = domain;
    e.path = path;
    e.data = data;
    e.protectionClass = protectionClass;
    return e;
}

Entry folder(const QString& domain, const QString& path)
{
    Entry e = file(domain, path, QByteArray(), 0);
    e.kind = Kind::Folder;
    return e;
}

Entry link(const QString& domain, const QString& path, const QString& target)
{
    Entry e = file(domain, path, QByteArray(), 0);
    e.kind = Kind::Link;
    e.target = target;
    return e;
}

QString fileId(const QString& domain, const QString& path)
{
    return QString::fromLatin1(digest((domain + "-" + path).toUtf8(), EVP_sha1()).toHex());
}

QString dataPath(const QString& folder, const QString& id, bool mbdb)
{
    return mbdb ? folder + "/" + id : folder + "/" + id.left(2) + "/" + id;
}

QByteArray aesCbc(const QByteArray& key, const QByteArray& data, bool encrypt, const QByteArray& iv)
{
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_cbc() : key.size() == 32 ? EVP_aes_256_cbc() : nullptr;
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    QByteArray out(data.size() + 32, 0);
    int n = 0, last = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    if (!cipher
        || !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                              reinterpret_cast<const unsigned char*>(iv.constData()), encrypt)
        || !EVP_CipherUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(data.constData()), int(data.size()))
        || !EVP_CipherFinal_ex(ctx.get(), o + n, &last))
        return QByteArray();
    out.resize(n + last);
    return out;
}

QByteArray rowIv()
{
    return QByteArray::fromHex("3e91c4a70fd2586be13a9c74d0f5286b");
}

QByteArray aesWrap(const QByteArray& kek, const QByteArray& data, bool wrap)
{
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    const EVP_CIPHER* cipher = kek.size() == 16 ? EVP_aes_128_wrap() : kek.size() == 32 ? EVP_aes_256_wrap() : nullptr;
    QByteArray out(data.size() + 16, 0);
    int n = 0;
    if (!cipher
        || !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, reinterpret_cast<const unsigned char*>(kek.constData()), nullptr, wrap)
        || EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                            reinterpret_cast<const unsigned char*>(data.constData()), int(data.size())) <= 0)
        return QByteArray();
    out.resize(n);
    return out;
}

Built build(const QString& folder, const Spec& spec)
{
    Built built;
    const bool encrypted = !spec.password.isEmpty();
    const bool dp = encrypted && !spec.mbdb && spec.encryptList;
    QDir().mkpath(folder);
    const QByteArray bag = encrypted ? keybag(spec, dp, &built) : QByteArray();
    const QByteArray salt = random(16);
    if (spec.saltRows)
        built.rowKey = digest(spec.password.toUtf8() + salt, EVP_sha1()).left(16);

    QByteArray mbdb("mbdb\x05\x00", 6);
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    const QString listPath = folder + (spec.mbdb ? "/Manifest.mbdb" : dp ? "/Manifest.plain" : "/Manifest.db");
    QFile::remove(listPath);
    if (!spec.mbdb) {
        if (sqlite3_open(QFile::encodeName(listPath).constData(), &db) != SQLITE_OK)
            fail("cannot create " + listPath);
        exec(db, "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
                 "CREATE INDEX FilesDomainIdx ON Files(domain); CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
                 "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB); BEGIN");
        if (spec.saltRows) {
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, "INSERT INTO Properties VALUES('salt', ?)", -1, &s, nullptr);
            sqlite3_bind_blob(s, 1, salt.constData(), int(salt.size()), SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_finalize(s);
        }
        sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO Files VALUES(?,?,?,?,?)", -1, &insert, nullptr);
    }
    for (int i = 0; i < spec.entries.size(); ++i) {
        const Entry& e = spec.entries[i];
        const int mode = e.kind == Kind::Folder ? 040755 : e.kind == Kind::Link ? 0120755 : 0100644;
        const quint64 inode = e.inode ? e.inode : quint64(i + 1);
        const QString id = fileId(e.domain, e.path);
        QByteArray fileKey, storedKey, sha, stored = e.data;
        if (e.kind == Kind::File) {
            sha = digest(e.data, EVP_sha1());
            if (encrypted && !e.noKey) {
                fileKey = random(32);
                storedKey = le32(quint32(e.protectionClass))
                    + aesWrap(built.classKeys.value(e.protectionClass, QByteArray(32, 0)), fileKey, true);
                stored = aesCbc(fileKey, e.data, true);
            }
            if (!e.noDataFile)
                writeFile(dataPath(folder, id, spec.mbdb), stored);
        }
        built.fileKeys << fileKey;
        if (spec.mbdb) {
            mbdb += mbdbString(e.domain) + mbdbString(e.path) + mbdbString(e.kind == Kind::Link ? e.target : QString())
                + mbdbBytes(sha) + mbdbBytes(storedKey) + be(quint64(mode), 2) + be(inode, 8) + be(501, 4) + be(501, 4)
                + be(e.mtime, 4) + be(e.mtime + 1, 4) + be(e.mtime - 100, 4) + be(quint64(e.data.size()), 8)
                + char(e.protectionClass) + char(e.properties.size());
            for (const auto& [name, value] : e.properties)
                mbdb += mbdbBytes(name) + mbdbBytes(value);
            continue;
        }
        QByteArray value = e.rawFile.isEmpty() ? mbFile(e, mode, inode, sha, storedKey) : e.rawFile;
        if (spec.saltRows)
            value = aesCbc(built.rowKey, value, true, rowIv()).toBase64();
        const QByteArray row[] = {id.toUtf8(), e.domain.toUtf8(), e.path.toUtf8()};
        for (int c = 0; c < 3; ++c)
            sqlite3_bind_text(insert, c + 1, row[c].constData(), int(row[c].size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 4, e.kind == Kind::Folder ? 2 : e.kind == Kind::Link ? 4 : 1);
        if (spec.saltRows)
            sqlite3_bind_text(insert, 5, value.constData(), int(value.size()), SQLITE_TRANSIENT);
        else
            sqlite3_bind_blob(insert, 5, value.constData(), int(value.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE)
            fail(QString("sqlite: ") + sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    if (spec.mbdb) {
        writeFile(listPath, mbdb);
    } else {
        sqlite3_finalize(insert);
        exec(db, "COMMIT");
        sqlite3_close(db);
    }
    if (dp) {
        built.manifestKey = random(32);
        QFile plain(listPath);
        plain.open(QIODevice::ReadOnly);
        writeFile(folder + "/Manifest.db", aesCbc(built.manifestKey, plain.readAll(), true));
        plain.remove();
    }

    Node info(dict({{"Lockdown", dict({{"UniqueDeviceID", text(spec.udid)}, {"DeviceName", text(spec.deviceName)},
                                       {"ProductType", plist_new_string("iPhone12,1")},
                                       {"ProductVersion", text(spec.productVersion)},
                                       {"SerialNumber", plist_new_string("F2LZK0ABCDEF")}})},
                    {"Date", plist_new_date(int32_t(spec.date.toSecsSinceEpoch() - 978307200), 0)},
                    {"Version", plist_new_string("10.0")}}),
              plist_free);
    if (spec.writeIsEncrypted)
        plist_dict_set_item(info.get(), "IsEncrypted", plist_new_bool(encrypted));
    if (encrypted)
        plist_dict_set_item(info.get(), "BackupKeyBag", data(bag));
    if (dp)
        plist_dict_set_item(info.get(), "ManifestKey",
                            data(le32(quint32(spec.manifestClass))
                                 + aesWrap(built.classKeys.value(spec.manifestClass), built.manifestKey, true)));
    writeFile(folder + "/Manifest.plist", toBinary(info.get()));
    if (spec.statusPlist)
        writeFile(folder + "/Status.plist", "<plist><dict><key>SnapshotState</key><string>finished</string></dict></plist>");
    return built;
}

} // namespace backupbuilder
