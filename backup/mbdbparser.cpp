// Records, file IDs, data-file paths and the salted-row cipher.
#include "backup/mbdbparser.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>


#include <climits>
#include <stdexcept>

#include "backup/backupmanifest.h"
#include "backup/mbdbparser_p.h"
#include "backup/qopensslevpaes.h"
#include "foundation/safefile.h"

namespace {

const QByteArray kRowIv = QByteArray::fromHex("3e91c4a70fd2586be13a9c74d0f5286b");

QByteArrayView sha1(const QByteArray& bytes, QCryptographicHash& sha)
{
    sha.addData(bytes);
    return sha.resultView();
}

QString hex(QByteArrayView digest)
{
    static const char digits[] = "0123456789abcdef";
    QString s(2 * digest.size(), Qt::Uninitialized);
    QChar* out = s.data();
    for (const char c : digest) {
        *out++ = QLatin1Char(digits[uchar(c) >> 4]);
        *out++ = QLatin1Char(digits[uchar(c) & 15]);
    }
    return s;
}

QByteArray rowCipherThrow(const QByteArray& data, const QByteArray& key, bool encrypt)
{
    const char* who = encrypt ? "MBDBParser::encryptFileDescThrow" : "MBDBParser::decryptFileDescThrow";
    QOpenSSLEVPAES aes;
    if (!QOpenSSLEVPAES::cbcForKey(key))
        throw std::runtime_error(std::string(who) + ", invalid key size.");
    QByteArray out;
    if (!aes.init(QOpenSSLEVPAES::cbcForKey(key), key, kRowIv, encrypt) || !aes.cryptAll(data, &out))
        throw std::runtime_error(std::string(who) + ", " + aes.lastError.toStdString());
    return out;
}

} // namespace

QString MBDBParser::_MBDBBinary::toString() const
{
    if (!isValid())
        return QString();
    const qsizetype nul = data.indexOf('\0');
    return QString::fromUtf8(data.constData(), nul < 0 ? data.size() : nul);
}

void MBDBParser::_MBDBBinary::setVal(const QByteArray& value)
{
    data = value;
    length = quint16(value.size());
}

QString MBDBParser::_MBDBItem::backupFileName() const
{
    return mbdbdetail::fileIdOf(domain.isValid() ? domain.data : QByteArray(),
                                path.isValid() ? path.data : QByteArray());
}

void MBDBParser::MBDBItemMap::insert(const QString& fileId, _MBDBItem item)
{
    // Kept within int and never lowered, so numbers handed out above it stay new.
    if (item.inodeNumber > maxInodeNumber)
        maxInodeNumber = int(qMin<qint64>(item.inodeNumber, INT_MAX));
    topInode = qMax(topInode, (qint64(item.inodeHigh) << 32) + item.inodeNumber);
    files.emplace(fileId, std::move(item));
}

QString mbdbdetail::fileIdOf(const QByteArray& domain, const QByteArray& path)
{
    // The bytes are hashed as they are whenever they are the UTF-8 of their
    // own text (the usual case); otherwise through the text, as the name rule says.
    auto plain = [](const QByteArray& b) { return !b.contains('\0') && QByteArrayView(b).isValidUtf8(); };
    if (!plain(domain) || !plain(path)) {
        MBDBParser::_MBDBBinary d, p;
        d.setVal(domain);
        p.setVal(path);
        return MBDBParser::getFileHashName(d.toString(), p.toString());
    }
    // One hasher per thread: making one costs an allocation per record.
    static thread_local QCryptographicHash sha(QCryptographicHash::Sha1);
    sha.reset();
    sha.addData(domain);
    sha.addData(QByteArrayView("-", 1));
    sha.addData(path);
    return hex(sha.resultView());
}

bool MBDBParser::isIos10Mbdb(const QDir& dir)
{
    return !QFileInfo::exists(dir.filePath(QStringLiteral("Manifest.mbdb")))
        && QFileInfo::exists(dir.filePath(QStringLiteral("Manifest.db")));
}

QString MBDBParser::getFileHashName(const QString& domain, const QString& relativePath)
{
    QCryptographicHash sha(QCryptographicHash::Sha1);
    return hex(sha1((domain + QLatin1Char('-') + relativePath).toUtf8(), sha));
}

QString MBDBParser::getBKFilePath(const QDir& dir, const QString& fileID, bool makeFolder)
{
    if (!isIos10Mbdb(dir))
        return dir.absoluteFilePath(fileID);
    if (makeFolder)
        dir.mkpath(fileID.left(2));
    return dir.absoluteFilePath(fileID.left(2) + QLatin1Char('/') + fileID);
}

QByteArray MBDBParser::readFileHash(const QString& path)
{
    QFile file(path);
    if (!safefile::openRegular(file, path, QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash sha(QCryptographicHash::Sha1);
    QByteArray block(65536, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            return QByteArray();
        if (n == 0)
            return sha.result();
        sha.addData(QByteArrayView(block.constData(), n));
    }
}

QByteArray MBDBParser::fileDescKey(const QByteArray& passcode, const QByteArray& salt)
{
    QCryptographicHash sha(QCryptographicHash::Sha1);
    return sha1(passcode + salt, sha).first(16).toByteArray();
}

QByteArray MBDBParser::decryptFileDescThrow(const QByteArray& data, const QByteArray& key)
{
    return data.isEmpty() ? QByteArray() : rowCipherThrow(data, key, false);
}

QByteArray MBDBParser::encryptFileDescThrow(const QByteArray& data, const QByteArray& key)
{
    return rowCipherThrow(data, key, true);
}

bool compareMBDBItemLess(const MBDBParser::_MBDBItem& a, const MBDBParser::_MBDBItem& b)
{
    const int byDomain = QString::compare(a.domain.toString(), b.domain.toString(), Qt::CaseSensitive);
    if (byDomain != 0)
        return byDomain < 0;
    return QString::compare(a.path.toString(), b.path.toString(), Qt::CaseSensitive) < 0;
}
