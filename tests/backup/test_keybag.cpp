// Keybag parsing, damaged keybags, and which class keys a password unwraps.
#include <QtEndian>
#include <gtest/gtest.h>

#include "backup/keybaginfo.h"
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

QByteArray classKey(int c, int wrap = 2)
{
    return rec("UUID", "u") + rec("CLAS", n32(c)) + rec("WRAP", n32(wrap)) + rec("WPKY", QByteArray(40, 1));
}

} // namespace

TEST(Keybag, RecordsGoToTheKeybagOrToTheClassKeyTheyFollow)
{
    const _KeybagInfo kb = parseKeybag(rec("UUID", "u0") + rec("WRAP", n32(0)) + rec("UUID", "u1") + rec("CLAS", n32(3))
                                       + rec("WRAP", n32(2)) + rec("SALT", "s") + rec("WPKY", "w") + rec("UUID", "u2")
                                       + rec("KTYP", n32(1)) + rec("CLAS", n32(4)) + rec("PBKY", "p"));
    EXPECT_EQ(kb.attributes.keys().join(' ') + " " + kb.attributes["UUID"], "SALT UUID WRAP u0");
    ASSERT_EQ(kb.classKeys.keys(), (QList<int>{3, 4}));
    EXPECT_EQ(kb.classKeys[3].tags.keys().join(' ') + " " + kb.classKeys[3].tags["UUID"], "CLAS UUID WPKY WRAP u1");
    EXPECT_EQ(kb.classKeys[4].tags.keys().join(' ') + " " + kb.classKeys[4].tags["UUID"], "CLAS KTYP PBKY UUID u2");
    EXPECT_EQ(kb.damage, "");
}

// A damaged keybag is neither a wrong password nor a reason to derive keys
// for hours.
TEST(Keybag, DamageIsReportedBeforeAnyKeyIsDerived)
{
    const struct { QByteArray bag; const char* damage; } cases[] = {
        {rec("SALT", "s") + "ITE", "header runs past"},
        {rec("SALT", "s") + "ITER" + n32(9) + "12", "\"ITER\" runs past"},
        {rec("UUID", "u") + rec("UUID", "v") + rec("CLAS", "\1"), "\"CLAS\" value is shorter"},
        {rec("ITER", n32(1)) + classKey(1), "no \"SALT\""},
        {rec("SALT", "s") + classKey(1), "\"ITER\" is missing or shorter"},
        {rec("SALT", "s") + rec("ITER", "\1\1") + classKey(1), "\"ITER\" is missing or shorter"},
        {rec("SALT", "s") + rec("ITER", n32(0)) + classKey(1), "\"ITER\" asks for 0 rounds"},
        {rec("SALT", "s") + rec("ITER", n32(4000000000u)) + classKey(1), "asks for 4000000000 rounds"},
        {rec("SALT", "s") + rec("ITER", n32(1)) + rec("DPSL", "d") + rec("DPIC", n32(0xffffffff)) + classKey(1),
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
    _KeybagInfo kb = parseKeybag(head + classKey(1, 1));
    int unwrapped = -1;
    EXPECT_TRUE(unlockWithPasscode("pw", kb, &unwrapped));
    EXPECT_EQ(unwrapped, 0);
    kb = parseKeybag(head + classKey(1, 1) + classKey(2, 3));
    EXPECT_FALSE(unlockWithPasscode("pw", kb)); // garbage under the password key: a wrong password
    EXPECT_EQ(kb.damage, "");

}
