// Copying files out of a backup, decrypting them, and encrypting files for it.
#include "backup/backupmanifest.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>
#include <utime.h>

#include "backup/mbdbparser_p.h"
#include "backup/qopensslevpaes.h"
#include "foundation/safefile.h"

namespace {

constexpr int kBlock = 8192;
constexpr int kCipherBlock = 1 << 20;

std::runtime_error error(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// Every encrypted data file of a backup, and an encrypted Manifest.db, uses
// the same initialisation vector: sixteen zero bytes.
QByteArray fileIv()
{
    return QByteArray(16, '\0');
}

void openSourceThrow(QFile& file, const QString& path)
{
    QString why;
    if (!safefile::openRegular(file, path, QIODevice::ReadOnly, &why))
        throw error(BackupManifest::tr("can not open %1. %2").arg(path, why));
}

void openOutputThrow(safefile::AtomicFile& out, bool makeFolder)
{
    QString why;
    if (makeFolder)
        QDir().mkpath(QFileInfo(out.target()).absolutePath());
    if (!out.open(&why))
        throw error(BackupManifest::tr("can not create %1. %2").arg(out.target(), why));
}

void commitThrow(safefile::AtomicFile& out)
{
    QString why;
    if (!out.commit(&why))
        throw error(BackupManifest::tr("write %1 failed. %2").arg(out.target(), why));
}

// AES-256-CBC of a whole file with the file IV, into an output that appears
// only when complete.
void cryptFileThrow(const QByteArray& key, QFile& in, safefile::AtomicFile& out, bool encrypt)
{
    QOpenSSLEVPAES aes;
    const QString what = encrypt ? QStringLiteral("BackupManifest::encryptFileThrow: encrypt failed. %1")
                                 : QStringLiteral("BackupManifest::decryptFile: decrypt failed. %1");
    // A key of another length would make OpenSSL read past its end.
    if (key.size() != 32)
        throw error(what.arg(QStringLiteral("the key is %1 bytes long, not 32").arg(key.size())));
    // Buffers no larger than the file: a merge encrypts thousands of small ones.
    const int block = int(qBound(qint64(kBlock), in.size() + 16, qint64(kCipherBlock)));
    if (!aes.init(EVP_aes_256_cbc(), key, fileIv(), encrypt) || aes.updateAll(&in, &out.file(), block) < 0
        || aes.finalAll(&out.file(), block) < 0)
        throw error(what.arg(aes.lastError) + QStringLiteral(" (%1)").arg(in.fileName()));
    commitThrow(out);
}

// A plain copy that appears only when complete; a copy that is not durable
// is renamed into place without waiting for the disk.
void copyThrow(const QString& source, const QString& outPath, int permissions, bool makeFolder, void* context,
               BackupCopyProgress callback, bool durable = true)
{
    QFile in;
    openSourceThrow(in, source);
    safefile::AtomicFile out(outPath, permissions);
    out.setDurable(durable);
    openOutputThrow(out, makeFolder);
    const qint64 total = in.size();
    qint64 done = 0;
    const int block = callback ? kBlock : int(qBound(qint64(kBlock), in.size(), qint64(kCipherBlock)));
    std::unique_ptr<char[]> buffer(new char[block]);
    for (;;) {
        const qint64 n = in.read(buffer.get(), block);
        if (n < 0)
            throw error(BackupManifest::tr("read %1 failed. %2").arg(source, in.errorString()));
        if (n == 0)
            break;
        if (!mbdbdetail::writeAll(out.file(), buffer.get(), n))
            throw error(BackupManifest::tr("write %1 failed. %2").arg(outPath, out.file().errorString()));
        done += n;
        if (callback)
            callback(total, done, context);
    }
    commitThrow(out);
}

void decryptThrow(const QByteArray& key, const QString& inPath, const QString& outPath, int permissions, bool durable)
{
    QFile in;
    openSourceThrow(in, inPath);
    safefile::AtomicFile out(outPath, permissions);
    out.setDurable(durable);
    openOutputThrow(out, true);
    cryptFileThrow(key, in, out, false);
}

} // namespace

void mbdbdetail::copyFileThrow(const QString& from, const QString& to, int permissions)
{
    copyThrow(from, to, permissions, false, nullptr, nullptr);
}

void BackupManifest::decryptToThrow(const QByteArray& key, const QString& inPath, const QString& outPath,
                                    int permissions) const
{
    decryptThrow(key, inPath, outPath, permissions, true);
}

void BackupManifest::decryptFileThrow(const QByteArray& key, const QString& inPath, const QString& outPath,
                                      void*, BackupCopyProgress) const
{
    decryptToThrow(key, inPath, outPath, 0644);
}

void BackupManifest::encryptFileThrow(const QString& inPath, const QString& outPath, const QByteArray& key)
{
    if (key.isEmpty()) {
        // Never over an existing file, as a plain copy of a backup always was.
        if (QFileInfo::exists(outPath) || QFileInfo(outPath).isSymLink())
            throw error(tr("can not write %1. %2").arg(outPath, QStringLiteral("Destination file exists")));
        mbdbdetail::copyFileThrow(inPath, outPath, 0644);
        return;
    }
    QFile in(inPath);
    if (!in.open(QIODevice::ReadOnly))
        throw error(tr("can not open %1. %2").arg(inPath, in.errorString()));
    safefile::AtomicFile out(outPath);
    openOutputThrow(out, false);
    cryptFileThrow(key, in, out, true);
}

void BackupManifest::copyItemThrow(const MBDBParser::_MBDBItem& item, const QString& outPath, void* context,
                                   BackupCopyProgress callback) const
{
    const QString source = MBDBParser::getBKFilePath(dir, item.backupFileName(), false);
    // A two-hex-digit folder that is a link would hand out a file from
    // outside the backup (or from above it) as this record's data.
    const QString root = dir.absolutePath();
    if (!source.startsWith(root + QLatin1Char('/')) || !safefile::noLinkBelow(root, source.mid(root.size() + 1)))
        throw error(tr("can not open %1. %2").arg(source, QStringLiteral("It passes through a link.")));
    QByteArray key;
    if (info.isEncrypted && item.encryptionKey.isValid()) {
        key = unwrapKeyForClass(keybag, item.protectionClass, item.encryptionKey.data.mid(4));
        // Copying it as stored would hand out ciphertext as the file.
        if (key.isEmpty())
            throw error(tr("%1 of %2 cannot be decrypted: its file key does not unwrap with the backup's keys.")
                            .arg(item.path.toString(), item.domain.toString()));
    }
    // Copies out of a backup hold the user's chats: theirs alone. They can
    // be made again from the backup, so they are renamed into place without
    // waiting for the disk; a crash leaves the old file or the new one whole.
    if (!key.isEmpty()) {
        decryptThrow(key, source, outPath, 0600, false);
    } else {
        copyThrow(source, outPath, 0600, true, context, callback, false);
    }
    const time_t t = time_t(qint32(item.lastModified));
    const struct utimbuf times = {t, t};
    ::utime(QFile::encodeName(outPath).constData(), &times);
}

void BackupManifest::copyFile(const _FileNode* node, const QString& outPath, void* context,
                              BackupCopyProgress callback) const
{
    if (node)
        copyItemThrow(node->item, outPath, context, callback);
}

void BackupManifest::firstEncryptedItem(MBDBParser::ProtectionClsKeyInfo& class3,
                                        MBDBParser::ProtectionClsKeyInfo& class4)
{
    const auto lock = lockForReadingThrow();
    firstEncryptedItem(MBDBParser::parse(*this), class3, class4);
}

void BackupManifest::firstEncryptedItem(const MBDBParser::MBDBItemMap& list, MBDBParser::ProtectionClsKeyInfo& class3,
                                        MBDBParser::ProtectionClsKeyInfo& class4) const
{
    for (const MBDBParser::_MBDBItem& item : list.files) {
        if (item.isFolder())
            continue;
        MBDBParser::ProtectionClsKeyInfo* slot = item.protectionClass == 4 ? &class4
            : item.protectionClass == 3                                    ? &class3
                                                                           : nullptr;
        if (!slot || !slot->key.isEmpty())
            continue;
        const QByteArray key = unwrapKeyForClass(keybag, item.protectionClass, item.encryptionKey.data.mid(4));
        if (key.isEmpty())
            continue;
        *slot = {item.protectionClass, item.encryptionKey, key};
        if (!class3.key.isEmpty() && !class4.key.isEmpty())
            return;
    }
    throw std::runtime_error("BackupManifest::firstEncryptedItem, no valid keys");
}
