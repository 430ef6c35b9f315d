#include "tests/support/backupbuilder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "tests/support/testenv.h"

namespace backupbuilder {

QJsonObject file(const QString& domain, const QString& path, const QByteArray& data, int protectionClass)
{
    return {{"domain", domain}, {"path", path}, {"data", QString::fromLatin1(data)}, {"cls", protectionClass}};
}

QJsonObject folder(const QString& domain, const QString& path)
{
    return {{"domain", domain}, {"path", path}, {"kind", 1}, {"cls", 0}};
}

QJsonObject link(const QString& domain, const QString& path, const QString& target)
{
    return {{"domain", domain}, {"path", path}, {"kind", 2}, {"cls", 0}, {"target", target}};
}

Built build(const QString& folder, const QJsonObject& spec)
{
    QByteArray out, err;
    const QStringList args{testenv::sourceDir() + "/tests/support/backupbuilder.py", folder};
    if (testenv::runTool("/usr/bin/python3", args, &out, &err, QJsonDocument(spec).toJson(QJsonDocument::Compact), 600000))
        throw std::runtime_error("backupbuilder: " + err.toStdString());
    const QJsonObject result = QJsonDocument::fromJson(out).object();
    auto hex = [&](const QJsonValue& v) { return QByteArray::fromHex(v.toString().toLatin1()); };
    Built built{hex(result["manifestKey"]), hex(result["rowKey"]), {}};
    for (const QJsonValue& k : result["fileKeys"].toArray())
        built.fileKeys << hex(k);
    return built;
}

QByteArray plainList(const QString& folder, const QString& password, QString* why)
{
    QByteArray out, err;
    const QStringList args{testenv::sourceDir() + "/tests/support/backupbuilder.py", "--list", folder, password};
    const int status = testenv::runTool("/usr/bin/python3", args, &out, &err, {}, 120000);
    *why = status == 3 ? "password" : status == 4 ? "keybag" : status ? QString::fromUtf8(err) : QString();
    return status ? QByteArray() : out;
}

QJsonObject readBack(const QString& folder, const QString& password)
{
    QByteArray out, err;
    const QStringList args{testenv::sourceDir() + "/tests/backup/backupreader.py", folder, password};
    if (testenv::runTool("/usr/bin/python3", args, &out, &err, {}, 120000))
        return {{"reader failed", QString::fromUtf8(err)}};
    return QJsonDocument::fromJson(out).object();
}

QString fileId(const QString& domain, const QString& path)
{
    const QByteArray id = QCryptographicHash::hash((domain + "-" + path).toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(id.toHex());
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
    auto u = [](const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); };
    if (!cipher || !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, u(key), u(iv), encrypt)
        || !EVP_CipherUpdate(ctx.get(), o, &n, u(data), int(data.size())) || !EVP_CipherFinal_ex(ctx.get(), o + n, &last))
        return QByteArray();
    out.resize(n + last);
    return out;
}

QByteArray rowIv()
{
    return QByteArray::fromHex("3e91c4a70fd2586be13a9c74d0f5286b");
}

} // namespace backupbuilder
