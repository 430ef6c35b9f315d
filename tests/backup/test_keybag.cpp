// Keybag parsing, damaged keybags, and the key wrap under it.
#include <QtEndian>
#include <gtest/gtest.h>

#include "backup/keybaginfo.h"
#include "backup/qopensslevpaes.h"
#include "tests/support/gtest_qt.h"

namespace {

QByteArray n32(quint32 v)
{
    QByteArray b(4, 0);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray rec(const char* tag, const QByteArray& v)
{
    return QByteArray(tag) + n32(quint32(v.size())) + v;
}

QString dump(const QMap<QString, QByteArray>& tags)
{
    QStringList out;
    for (auto it = tags.cbegin(); it != tags.cend(); ++it)
        out << it.key() + "=" + QString::fromLatin1(it.value().toHex());
    return out.join(' ');
}

} // namespace

TEST(Keybag, RecordsGoToTheKeybagOrToTheClassKeyTheyFollow)
{
    const _KeybagInfo kb = parseKeybag(rec("UUID", "u0") + rec("WRAP", n32(0)) + rec("UUID", "u1") + rec("CLAS", n32(3))
                                       + rec("WRAP", n32(2)) + rec("SALT", "s") + rec("WPKY", "w") + rec("UUID", "u2")
                                       + rec("KTYP", n32(1)) + rec("CLAS", n32(4)) + rec("PBKY", "p"));
    EXPECT_EQ(dump(kb.attributes), "SALT=73 UUID=7530 WRAP=00000000");
    ASSERT_EQ(kb.classKeys.keys(), (QList<int>{3, 4}));
    EXPECT_EQ(dump(kb.classKeys[3].tags), "CLAS=00000003 UUID=7531 WPKY=77 WRAP=00000002");
    EXPECT_EQ(dump(kb.classKeys[4].tags), "CLAS=00000004 KTYP=00000001 PBKY=70 UUID=7532");
    EXPECT_EQ(kb.damage, "");
}

// A damaged keybag is neither a wrong password nor a reason to derive keys
// for hours.
TEST(Keybag, DamageIsReportedBeforeAnyKeyIsDerived)
{
    const QByteArray classKey =
        rec("UUID", "u") + rec("CLAS", n32(1)) + rec("WRAP", n32(2)) + rec("WPKY", QByteArray(40, 1));
    const struct { QByteArray bag; const char* damage; } cases[] = {
        {rec("SALT", "s") + "ITE", "header runs past"},
        {rec("SALT", "s") + "ITER" + n32(9) + "12", "\"ITER\" runs past"},
        {rec("UUID", "u") + rec("UUID", "v") + rec("CLAS", "\1"), "\"CLAS\" value is shorter"},
        {rec("ITER", n32(1)) + classKey, "no \"SALT\""},
        {rec("SALT", "s") + classKey, "\"ITER\" is missing or shorter"},
        {rec("SALT", "s") + rec("ITER", "\1\1") + classKey, "\"ITER\" is missing or shorter"},
        {rec("SALT", "s") + rec("ITER", n32(0)) + classKey, "\"ITER\" asks for 0 rounds"},
        {rec("SALT", "s") + rec("ITER", n32(4000000000u)) + classKey, "asks for 4000000000 rounds"},
        {rec("SALT", "s") + rec("ITER", n32(1)) + rec("DPSL", "d") + rec("DPIC", n32(0xffffffff)) + classKey,
         "\"DPIC\" asks"},
    };
    for (const auto& c : cases) {
        _KeybagInfo kb = parseKeybag(c.bag);
        EXPECT_FALSE(unlockWithPasscode("pw", kb)) << c.damage;
        EXPECT_TRUE(kb.damage.contains(c.damage)) << kb.damage.toStdString();
    }
}

TEST(Keybag, OnlyClassKeysWrappedByThePasswordCount)
{
    const QByteArray head = rec("SALT", "s") + rec("ITER", n32(1));
    auto classKey = [](int c, int wrap) {
        return rec("UUID", "u") + rec("CLAS", n32(c)) + rec("WRAP", n32(wrap)) + rec("WPKY", QByteArray(40, 1));
    };
    _KeybagInfo kb = parseKeybag(head + classKey(1, 1));
    int unwrapped = -1;
    EXPECT_TRUE(unlockWithPasscode("pw", kb, &unwrapped));
    EXPECT_EQ(unwrapped, 0);
    kb = parseKeybag(head + classKey(1, 1) + classKey(2, 3));
    EXPECT_FALSE(unlockWithPasscode("pw", kb)); // garbage under the password key: a wrong password
    EXPECT_EQ(kb.damage, "");

    kb.classKeys[2].tags["KEY"] = QByteArray(32, 7);
    const QByteArray wrapped = QOpenSSLEVPAES::aeswrap(QByteArray(32, 7), QByteArray(32, 9), true);
    EXPECT_EQ(unwrapKeyForClass(kb, 2, wrapped), QByteArray(32, 9));
    for (const QByteArray& bad : {wrapped.left(39), wrapped + "x"})
        EXPECT_EQ(unwrapKeyForClass(kb, 2, bad), QByteArray());
    EXPECT_EQ(unwrapKeyForClass(kb, 1, wrapped), QByteArray()); // no "KEY"
}

// RFC 3394, section 4: 128-bit data under 128-, 192- and 256-bit keys, and
// 256-bit data under a 256-bit key.
TEST(Keybag, AesKeyWrapMatchesTheRfcVectors)
{
    const QByteArray kek = QByteArray::fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    const QByteArray data = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
    const struct { int kekBytes, dataBytes; const char* wrapped; } vectors[] = {
        {16, 16, "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
        {24, 16, "96778B25AE6CA435F92B5B97C050AED2468AB8A17AD84E5D"},
        {32, 16, "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
        {32, 32, "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
    };
    for (const auto& v : vectors) {
        const QByteArray wrapped = QByteArray::fromHex(v.wrapped);
        EXPECT_EQ(QOpenSSLEVPAES::aeswrap(kek.left(v.kekBytes), data.left(v.dataBytes), true), wrapped);
        EXPECT_EQ(QOpenSSLEVPAES::aeswrap(kek.left(v.kekBytes), wrapped, false), data.left(v.dataBytes));
        EXPECT_EQ(QOpenSSLEVPAES::aeswrap(kek.left(v.kekBytes), QByteArray(wrapped).replace(0, 1, "\x01"), false), "");
    }
    EXPECT_EQ(QOpenSSLEVPAES::aeswrap(kek.left(20), data.left(16), true), "");
}
