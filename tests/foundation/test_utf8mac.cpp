#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/utf8mac.h"
#include "foundation/utf8mac_p.h"

namespace {

QString units(std::initializer_list<char16_t> us)
{
    return QString(reinterpret_cast<const QChar*>(us.begin()), qsizetype(us.size()));
}

TEST(Utf8Mac, TheTableIsWhatItsGeneratorMakes)
{
    if (!testenv::haveTool("python3"))
        GTEST_SKIP() << "python3 not available";
    QByteArray out;
    EXPECT_EQ(testenv::runTool("python3", {testenv::sourceDir() + "/scripts/gen_utf8mac_table.py", "--check"}, &out), 0)
        << out.toStdString();
}

TEST(Utf8Mac, DecomposesWithTheTableAndRecomposesOnlyWholeSequences)
{
    EXPECT_EQ(utf8mac_to(QStringLiteral("Caf\u00E9 \u30AC.jpg")), QStringLiteral("Cafe\u0301 \u30AB\u3099.jpg"));
    EXPECT_EQ(utf8mac_to(units({0x1F82})), units({0x03B1, 0x0345, 0x0313, 0x0300}));
    // Characters that Unicode decomposes but the table leaves out, and
    // surrogate pairs, pass through; the text ends at its first zero unit.
    const QString kept = units({0xAC00, 0x2126, 0x212B, 0xF900, 0x01F8, 0xD83D, 0xDE00});
    EXPECT_EQ(utf8mac_to(kept), kept);
    EXPECT_EQ(utf8mac_to(units({u'a', 0x00E9, 0, u'b'})), units({u'a', u'e', 0x0301}));
    QString all; // decomposing is idempotent over the whole plane
    for (int u = 1; u < 0x10000; ++u)
        all.append(QChar(char16_t(u)));
    EXPECT_EQ(utf8mac_to(utf8mac_to(all)), utf8mac_to(all));

    EXPECT_EQ(utf8mac_from(units({0x03B1, 0x0313, 0x0345})), units({0x1F00, 0x0345}));
    EXPECT_EQ(utf8mac_from(units({0x03B1, 0x0345, 0x0313, 0x0300, 0x0065})), units({0x1F82, 0x0065}));
    EXPECT_EQ(utf8mac_from(units({0x0065, 0x0301, 0, 0x0065, 0x0301})), units({0x00E9}));
    // Single units are never turned into look-alikes.
    const QString plain = units({u';', u'`', 0x00B4, 0x0301, 0x03B9, 0x00C6, 0x0259, 0x01B7, 0x0275, u'e'});
    EXPECT_EQ(utf8mac_from(plain), plain);
    int count = 0;
    const S4* table = utf8mac_table(&count);
    for (int i = 0; i < count; ++i) {
        if (table[i].len >= 2)
            EXPECT_EQ(utf8mac_from(utf8mac_to(units({table[i].ch}))), units({table[i].ch})) << std::hex << int(table[i].ch);
    }
}

} // namespace
