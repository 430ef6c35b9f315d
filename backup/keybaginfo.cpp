#include "backup/keybaginfo.h"

#include <QtEndian>

#include <openssl/evp.h>

#include "backup/qopensslevpaes.h"

namespace {

// Real backups use 10,000,000 SHA-256 rounds and 10,000 SHA-1 rounds; a
// count far beyond that can only come from a damaged or hostile keybag, and
// would keep the password check busy for hours.
constexpr quint32 kMaxRounds = 50000000;

const QString kClassKeyTags = QStringLiteral("CLAS WRAP WPKY KTYP PBKY");

quint32 be32(const QByteArray& v)
{
    return qFromBigEndian<quint32>(v.constData());
}

// The number of a 4-byte-or-longer value; damage noted otherwise.
bool number(const QMap<QString, QByteArray>& tags, const QString& tag, quint32* out, QString* damage)
{
    const QByteArray v = tags.value(tag);
    if (v.size() < 4) {
        *damage = QStringLiteral("the value of \"%1\" is missing or shorter than 4 bytes").arg(tag);
        return false;
    }
    *out = be32(v);
    return true;
}

bool rounds(const _KeybagInfo& kb, const QString& tag, quint32* out, QString* damage)
{
    if (!number(kb.attributes, tag, out, damage))
        return false;
    if (*out == 0 || *out > kMaxRounds) {
        *damage = QStringLiteral("\"%1\" asks for %2 rounds of key derivation").arg(tag).arg(*out);
        return false;
    }
    return true;
}

bool pbkdf2(const QByteArray& password, const QByteArray& salt, quint32 iterations, const EVP_MD* md, QByteArray* key)
{
    key->resize(32);
    return PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                             reinterpret_cast<const unsigned char*>(salt.constData()), int(salt.size()),
                             int(iterations), md, 32, reinterpret_cast<unsigned char*>(key->data()))
        == 1;
}

// The password key, or false with `damage` set.
bool deriveKey(const QByteArray& password, const _KeybagInfo& kb, QByteArray* key, QString* damage)
{
    quint32 iter = 0;
    const QByteArray salt = kb.attributes.value(QStringLiteral("SALT"));
    if (salt.isEmpty()) {
        *damage = QStringLiteral("it holds no \"SALT\"");
        return false;
    }
    if (!rounds(kb, QStringLiteral("ITER"), &iter, damage))
        return false;
    QByteArray secret = password;
    if (kb.attributes.contains(QStringLiteral("DPIC")) && kb.attributes.contains(QStringLiteral("DPSL"))) {
        quint32 dpic = 0;
        if (!rounds(kb, QStringLiteral("DPIC"), &dpic, damage))
            return false;
        if (!pbkdf2(password, kb.attributes.value(QStringLiteral("DPSL")), dpic, EVP_sha256(), &secret)) {
            *damage = QStringLiteral("the key derivation failed");
            return false;
        }
    }
    if (!pbkdf2(secret, salt, iter, EVP_sha1(), key)) {
        *damage = QStringLiteral("the key derivation failed");
        return false;
    }
    return true;
}

} // namespace

quint32 _KeybagPros::getInt32(const QString& tag) const
{
    const QByteArray v = tags.value(tag);
    return v.size() < 4 ? 0 : be32(v);
}

_KeybagInfo parseKeybag(const QByteArray& data)
{
    _KeybagInfo kb;
    _KeybagPros current;
    const QString uuid = QStringLiteral("UUID");
    const QString wrap = QStringLiteral("WRAP");
    const QString clas = QStringLiteral("CLAS");
    auto store = [&] {
        const QByteArray c = current.tags.value(clas);
        if (c.size() >= 4)
            kb.classKeys.insert(int(be32(c)), current);
        else if (current.tags.contains(clas))
            kb.damage = QStringLiteral("a \"CLAS\" value is shorter than 4 bytes");
    };
    qsizetype pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 8) {
            kb.damage = QStringLiteral("a record header runs past the end");
            break;
        }
        const QString tag = QString::fromLatin1(data.constData() + pos, 4);
        const quint32 length = be32(data.mid(pos + 4, 4));
        pos += 8;
        if (length > quint64(data.size() - pos)) {
            kb.damage = QStringLiteral("the record \"%1\" runs past the end").arg(tag);
            break;
        }
        const QByteArray value = data.mid(pos, qsizetype(length));
        pos += qsizetype(length);
        if (tag == uuid && !kb.attributes.contains(uuid)) {
            kb.attributes.insert(tag, value);
        } else if (tag == wrap && !kb.attributes.contains(wrap)) {
            kb.attributes.insert(tag, value);
        } else if (tag == uuid) {
            store();
            current = _KeybagPros();
            current.tags.insert(tag, value);
            continue;
        } else if (kClassKeyTags.contains(tag)) {
            current.tags.insert(tag, value);
        } else {
            kb.attributes.insert(tag, value);
        }
        if (current.tags.contains(clas))
            store();
    }
    return kb;
}

bool unlockWithPasscode(const QByteArray& password, _KeybagInfo& keybag, int* unwrapped)
{
    if (unwrapped)
        *unwrapped = 0;
    QByteArray key;
    if (!keybag.damage.isEmpty() || !deriveKey(password, keybag, &key, &keybag.damage))
        return false;
    for (_KeybagPros& ck : keybag.classKeys) {
        if (!ck.tags.contains(QStringLiteral("WPKY")) || !(ck.getInt32(QStringLiteral("WRAP")) & 2))
            continue;
        const QByteArray k = QOpenSSLEVPAES::aeswrap(key, ck.tags.value(QStringLiteral("WPKY")), false);
        if (k.isEmpty())
            return false;
        ck.tags.insert(QStringLiteral("KEY"), k);
        if (unwrapped)
            ++*unwrapped;
    }
    return true;
}

QByteArray unwrapKeyForClass(const _KeybagInfo& keybag, int protectionClass, const QByteArray& wrapped)
{
    const auto it = keybag.classKeys.constFind(protectionClass);
    if (it == keybag.classKeys.constEnd() || wrapped.size() != 40)
        return QByteArray();
    const QByteArray classKey = it->tags.value(QStringLiteral("KEY"));
    return classKey.isEmpty() ? QByteArray() : QOpenSSLEVPAES::aeswrap(classKey, wrapped, false);
}
