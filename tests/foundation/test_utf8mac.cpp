#include <QSet>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/utf8mac.h"
#include "foundation/utf8mac_p.h"

namespace {

QString units(std::initializer_list<char16_t> us)
{
    QString s;
    for (char16_t u : us)
        s.append(QChar(u));
    return s;
}

} // namespace

TEST(Utf8Mac, TableHasTheFixedShapeAndMatchesItsGenerator)
{
    int count = 0;
    const S4* table = utf8mac_table(&count);
    ASSERT_EQ(count, 950);
    int byLen[5] = {};
    QSet<char16_t> keys;
    QSet<QString> seqs;
    for (int i = 0; i < count; ++i) {
        const S4& e = table[i];
        ASSERT_TRUE(e.len >= 1 && e.len <= 4);
        ++byLen[e.len];
        if (i > 0)
            EXPECT_LT(table[i - 1].ch, e.ch);
        for (int k = e.len; k < 5; ++k)
            EXPECT_EQ(e.seq[k], 0) << std::hex << int(e.ch);
        keys.insert(e.ch);
        seqs.insert(QString(reinterpret_cast<const QChar*>(e.seq), e.len));
    }
    EXPECT_EQ(table[count - 1].ch, 0xFB4E);
    EXPECT_EQ(QList<int>(byLen + 1, byLen + 5), QList<int>({17, 682, 215, 36}));
    EXPECT_EQ(seqs.size(), 950); // no two entries share a decomposition
    // Decompositions are final: none holds a unit that decomposes again.
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < table[i].len; ++k)
            EXPECT_FALSE(keys.contains(table[i].seq[k])) << std::hex << int(table[i].ch);
    }

    if (!testenv::haveTool("python3"))
        GTEST_SKIP() << "python3 not available";
    QByteArray out;
    EXPECT_EQ(testenv::runTool("python3", {testenv::sourceDir() + "/scripts/gen_utf8mac_table.py", "--check"}, &out), 0)
        << out.toStdString();
}

TEST(Utf8Mac, DecomposesWithTheFixedTable)
{
    EXPECT_EQ(utf8mac_to(units({0x00E9})), units({0x0065, 0x0301}));
    EXPECT_EQ(utf8mac_to(units({0x0386})), units({0x0391, 0x030D}));
    EXPECT_EQ(utf8mac_to(units({0x1FF4})), units({0x03BF, 0x0345, 0x0301}));
    EXPECT_EQ(utf8mac_to(units({0x1F82})), units({0x03B1, 0x0345, 0x0313, 0x0300}));
    EXPECT_EQ(utf8mac_to(units({0x04D4})), units({0x00C6}));
    EXPECT_EQ(utf8mac_to(units({0x0F77})), units({0x0FB2, 0x0F80, 0x0F71}));
    EXPECT_EQ(utf8mac_to(QStringLiteral("Caf\u00E9 \u30AC.jpg")), QStringLiteral("Cafe\u0301 \u30AB\u3099.jpg"));
    // Characters that Unicode decomposes but the table leaves out, and
    // surrogate pairs, pass through; the text ends at its first zero unit.
    const QString kept = units({0xAC00, 0x2126, 0x212B, 0xF900, 0x01F8, 0xD83D, 0xDE00});
    EXPECT_EQ(utf8mac_to(kept), kept);
    EXPECT_TRUE(utf8mac_to(QString()).isEmpty());
    EXPECT_EQ(utf8mac_to(units({u'a', 0x00E9, 0, u'b', 0x00E9})), units({u'a', u'e', 0x0301}));

    // Idempotent over every unit of the plane.
    QString all;
    for (int u = 1; u < 0x10000; ++u)
        all.append(QChar(char16_t(u)));
    const QString once = utf8mac_to(all);
    EXPECT_GT(once.size(), all.size());
    EXPECT_EQ(utf8mac_to(once), once);
}

TEST(Utf8Mac, RecomposesOnlyWholeSequences)
{
    EXPECT_EQ(utf8mac_from(units({0x0065, 0x0301})), units({0x00E9}));
    EXPECT_EQ(utf8mac_from(units({0x03B1, 0x0345, 0x0313})), units({0x1F80}));
    EXPECT_EQ(utf8mac_from(units({0x03B1, 0x0313, 0x0345})), units({0x1F00, 0x0345}));
    EXPECT_EQ(utf8mac_from(units({0x03B1, 0x0345, 0x0313, 0x0300, 0x0065})), units({0x1F82, 0x0065}));
    // A unit that starts a sequence but ends the text stays itself.
    EXPECT_EQ(utf8mac_from(units({u'x', u'e'})), units({u'x', u'e'}));
    EXPECT_EQ(utf8mac_from(units({0x0065, 0x0301, 0, 0x0065, 0x0301})), units({0x00E9}));

    // Single units are never turned into look-alikes: plain punctuation,
    // spacing accents, lone combining marks and the Latin letters that the
    // Cyrillic entries decompose to all stay as they are.
    const QString plain = units({u';', u'`', 0x00B4, 0x00B7, 0x02B9, 0x0300, 0x0301, 0x0313, 0x03B9,
                                 0x00C6, 0x00E6, 0x018F, 0x0259, 0x01B7, 0x0292, 0x019F, 0x0275});
    EXPECT_EQ(utf8mac_from(plain), plain);
    EXPECT_EQ(utf8mac_from(QStringLiteral("a;b.txt")), QStringLiteral("a;b.txt"));

    // Every entry of two or more units comes back from its decomposition.
    int count = 0;
    const S4* table = utf8mac_table(&count);
    for (int i = 0; i < count; ++i) {
        const QString c = units({table[i].ch});
        if (table[i].len >= 2)
            EXPECT_EQ(utf8mac_from(utf8mac_to(c)), c) << std::hex << int(table[i].ch);
    }
}

TEST(Utf8Mac, FirstUseFromManyThreadsAtOnce)
{
    // Each test runs in a process of its own, so the tables are built here,
    // by whichever thread comes first.
    const QString text = QStringLiteral("\u00C9t\u00E9 \u1F82 \u30AC ;");
    const QString decomposed = units({0x0045, 0x0301, u't', 0x0065, 0x0301, u' ', 0x03B1, 0x0345, 0x0313, 0x0300,
                                      u' ', 0x30AB, 0x3099, u' ', u';'});
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < 200; ++i) {
                if ((t % 2) ? utf8mac_from(decomposed) != text : utf8mac_to(text) != decomposed)
                    ++wrong;
            }
        });
    }
    go = true;
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}
