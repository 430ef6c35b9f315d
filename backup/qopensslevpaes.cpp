#include "backup/qopensslevpaes.h"

#include <QFileDevice>
#include <QIODevice>

#include <openssl/evp.h>

#include <memory>

namespace {

// Writes all n bytes. A write that stops short (a full disk) sets no error,
// so the rest is tried again: that write fails and gives the reason. Empty
// on success, else the reason (with the file's name when it has one).
QString writeAll(QIODevice* out, const unsigned char* data, qint64 n)
{
    while (n > 0) {
        const qint64 done = out->write(reinterpret_cast<const char*>(data), n);
        if (done <= 0)
            break;
        data += done;
        n -= done;
    }
    if (n == 0)
        return QString();
    const auto* file = qobject_cast<QFileDevice*>(out);
    const QString name = file ? file->fileName() : QString();
    return name.isEmpty() ? out->errorString() : QStringLiteral("%1: %2").arg(name, out->errorString());
}

} // namespace

QOpenSSLEVPAES::QOpenSSLEVPAES()
    : ctx(EVP_CIPHER_CTX_new())
{
}

QOpenSSLEVPAES::~QOpenSSLEVPAES()
{
    if (ctx)
        EVP_CIPHER_CTX_free(ctx);
}

bool QOpenSSLEVPAES::init(const EVP_CIPHER* cipher, const QByteArray& key, const QByteArray& iv, bool encrypt)
{
    auto bytes = [](const QByteArray& b) {
        return b.isEmpty() ? nullptr : reinterpret_cast<const unsigned char*>(b.constData());
    };
    if (!ctx || !cipher || EVP_CipherInit_ex(ctx, cipher, nullptr, bytes(key), bytes(iv), encrypt ? 1 : 0) != 1) {
        lastError = QStringLiteral("QOpenSSLEVPAES::init, EVP_CipherInit_ex return false.");
        return false;
    }
    return true;
}

qint64 QOpenSSLEVPAES::updateAll(QIODevice* in, QIODevice* out, int blockSize)
{
    std::unique_ptr<unsigned char[]> inBuf(new unsigned char[size_t(blockSize)]);
    std::unique_ptr<unsigned char[]> outBuf(new unsigned char[size_t(blockSize) + 16]);
    qint64 total = 0;
    for (;;) {
        const qint64 got = in->read(reinterpret_cast<char*>(inBuf.get()), blockSize);
        if (got == 0)
            return total;
        if (got < 0) {
            lastError = QStringLiteral("QOpenSSLEVPAES::updateAll, read file error.");
            return -1;
        }
        int n = 0;
        if (EVP_CipherUpdate(ctx, outBuf.get(), &n, inBuf.get(), int(got)) != 1) {
            lastError = QStringLiteral("QOpenSSLEVPAES::updateAll, EVP_CipherUpdate return false.");
            return -1;
        }
        const QString failed = writeAll(out, outBuf.get(), n);
        if (!failed.isEmpty()) {
            lastError = QStringLiteral("QOpenSSLEVPAES::updateAll, write file error, %1").arg(failed);
            return -1;
        }
        total += n;
    }
}

qint64 QOpenSSLEVPAES::finalAll(QIODevice* out, int blockSize)
{
    std::unique_ptr<unsigned char[]> buf(new unsigned char[size_t(blockSize) + 16]);
    int n = 0;
    if (EVP_CipherFinal_ex(ctx, buf.get(), &n) != 1) {
        lastError = QStringLiteral("QOpenSSLEVPAES::finalAll, EVP_CipherFinal return false.");
        return -1;
    }
    const QString failed = writeAll(out, buf.get(), n);
    if (!failed.isEmpty()) {
        lastError = QStringLiteral("QOpenSSLEVPAES::finalAll, write file error, %1").arg(failed);
        return -1;
    }
    return n;
}

bool QOpenSSLEVPAES::cryptAll(const QByteArray& in, QByteArray* out)
{
    out->resize(in.size() + 32);
    auto* dst = reinterpret_cast<unsigned char*>(out->data());
    int n = 0;
    int last = 0;
    if (EVP_CipherUpdate(ctx, dst, &n, reinterpret_cast<const unsigned char*>(in.constData()), int(in.size())) != 1) {
        lastError = QStringLiteral("QOpenSSLEVPAES::updateAll, EVP_CipherUpdate return false.");
        return false;
    }
    if (EVP_CipherFinal_ex(ctx, dst + n, &last) != 1) {
        lastError = QStringLiteral("QOpenSSLEVPAES::finalAll, EVP_CipherFinal return false.");
        return false;
    }
    out->resize(n + last);
    return true;
}

const EVP_CIPHER* QOpenSSLEVPAES::cbcForKey(const QByteArray& key)
{
    switch (key.size()) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
    }
}

QByteArray QOpenSSLEVPAES::aeswrap(const QByteArray& key, const QByteArray& data, bool wrap)
{
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_wrap()
        : key.size() == 24                      ? EVP_aes_192_wrap()
        : key.size() == 32                      ? EVP_aes_256_wrap()
                                                : nullptr;
    QOpenSSLEVPAES aes;
    if (!cipher || !aes.ctx || data.isEmpty())
        return QByteArray();
    EVP_CIPHER_CTX_set_flags(aes.ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (!aes.init(cipher, key, QByteArray(), wrap))
        return QByteArray();
    QByteArray out(2 * data.size() + 16, Qt::Uninitialized);
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    int n = 0;
    int last = 0;
    const auto* src = reinterpret_cast<const unsigned char*>(data.constData());
    if (EVP_CipherUpdate(aes.ctx, dst, &n, src, int(data.size())) != 1 || n < 0)
        return QByteArray();
    if (EVP_CipherFinal_ex(aes.ctx, dst + n, &last) != 1 || last < 0)
        last = 0;
    out.resize(n + last);
    return out;
}
