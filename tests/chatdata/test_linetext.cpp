// LINE's message text (emoji runs, damaged run ends, emoji markers), the
// tinykv blob that keeps attachment values in the local database, and local
// times, which must agree with Qt's own everywhere.
#include <QBuffer>
#include <QRegularExpression>
#include <QtEndian>
#include <gtest/gtest.h>

#include <time.h>

#include "tests/support/gtest_qt.h"

#include "chatdata/linerawcontent.h"
#include "chatdata/linetime.h"
#include "chatdata/tinykvserializer.h"

namespace {

// Four-byte characters of plane 16 as LINE writes its emoji runs.
const QByteArray kStart1 = QByteArray::fromHex("f4808080"), kStart2 = QByteArray::fromHex("f4808081");
const QByteArray kEnd = QByteArray::fromHex("f48fbfbf"), kFffd = QByteArray::fromHex("efbfbd");
const QByteArray kRun = kStart1 + kStart2 + QByteArray::fromHex("f4808082") + kEnd;
const QString kEndChar = QString::fromUcs4(U"\U0010FFFF");

QString units(std::initializer_list<char16_t> list)
{
    QString s;
    for (char16_t u : list)
        s.append(QChar(u));
    return s;
}

QString recordCode(void* ctx, QString code)
{
    static_cast<QStringList*>(ctx)->append(code);
    return QStringLiteral("<%1>").arg(code);
}

TEST(LineRawContent, RunsLoneCharactersDamagedEndsAndPlainText)
{
    const QList<QPair<QByteArray, QString>> cases = {
        {QString::fromUtf8("Hi 日本 \xF0\x9F\x98\x80").toUtf8(), QString::fromUtf8("Hi 日本 \xF0\x9F\x98\x80")},
        {QByteArray("before\0after", 12), "before"}, // stops at the first zero byte
        {QByteArray("a\xff" "b"), QString::fromUtf8("a\xEF\xBF\xBD" "b")},
        {"a" + kRun + "between" + kRun + "z", "a[EMOJI]between[EMOJI]z"},
        {kRun + kRun, "[EMOJI][EMOJI]"}, // the nearest end closes a run
        // Two starts directly followed by the end run on to the next end;
        // without a later end each start is a lone plane-16 character.
        {"a" + kStart1 + kStart2 + kEnd + "x" + kEnd + "b", "a[EMOJI]b"},
        {"a" + kStart1 + kStart2 + kEnd, "a[EMOJI][EMOJI]" + kEndChar},
        {"x" + QByteArray::fromHex("f4848080") + "y", "x" + QString::fromUcs4(U"\U00104000") + "y"},
        // "OHHHOHHH" reads like plane-16 characters from its second hex
        // digit; matching there would shift every byte.
        {"OHHHOHHH" + kRun + "tail", "OHHHOHHH[EMOJI]tail"},
    };
    for (const auto& [raw, text] : cases)
        EXPECT_EQ(parseLineRawContent(raw), text) << raw.toHex().toStdString();

    // U+FFFD is damage only after a run start, and only as a whole character.
    EXPECT_TRUE(isRawContentContainEmoji_efbfbd("a" + kStart1 + kStart2 + "b" + kFffd));
    for (const QByteArray& sound : {"a" + kStart1 + kStart2 + "b", "a" + kFffd, "OHHHOHHHx" + kFffd})
        EXPECT_FALSE(isRawContentContainEmoji_efbfbd(sound)) << sound.toHex().toStdString();
    // Bytes that straddle characters are no damage.
    EXPECT_EQ(fixRawContent_efbfbd(QByteArray::fromHex("1efbfbd1")), QByteArray::fromHex("1efbfbd1"));
    EXPECT_EQ(fixRawContent_efbfbd(kStart1 + kStart2 + "x" + kFffd + "mid" + kFffd),
              kStart1 + kStart2 + "x" + kEnd + "mid" + kEnd);
}

TEST(EmojiReplace, PrivateUseListedSymbolsAndSurrogatePairsAtEveryPosition)
{
    const auto plain = [](const QString& t) {
        return emoji_replace(t, line_common_emoji_plain_replace_handler, nullptr);
    };
    QStringList codes;
    EXPECT_EQ(emoji_replace(units({0xE000, 0x203C, 'x', 0x2714, 0xE537, 0x3030, 0xE538, 0x2713}), recordCode, &codes),
              "<E000><203C>x<2714><E537><3030>" + units({0xE538, 0x2713}));
    // U+1F914 is none; a lone start at the end stays.
    const QString pairs = QString::fromUcs4(U"a\U0001F600b\U0001F914") + units({0xD83D, 'a', 'z', 0xD83D});
    EXPECT_EQ(emoji_replace(pairs, recordCode, &codes),
              "a<1F600>b" + QString::fromUcs4(U"\U0001F914") + "<1F461>z" + units({0xD83D}));
    EXPECT_EQ(codes, QStringList({"E000", "203C", "2714", "E537", "3030", "1F600", "1F461"}));
    // Invalid UTF-16 defeats a regular expression, not a scan of code units.
    EXPECT_EQ(plain(units({0xDC00, 'a', 0xE001})), units({0xDC00, 'a'}) + "[EMOJI]");
    for (int at = 0; at <= 20; ++at) {
        const QString before(at, QChar('a')), after(20 - at, QChar(0x3042)); // hiragana: past the ASCII fast path
        EXPECT_EQ(plain(before + QChar(0xE001) + after) + plain(before + QString::fromUcs4(U"\U0001F600") + after),
                  before + "[EMOJI]" + after + before + "[EMOJI]" + after) << at;
        const QByteArray raw = (before + QString::fromUcs4(U"\U00100005") + after).toUtf8();
        EXPECT_EQ(parseLineRawContent(raw), before + "[EMOJI]" + after) << at;
    }
    // An empty match never loops.
    const auto mark = [](void*, const QRegularExpressionMatch&) { return QStringLiteral("<>"); };
    EXPECT_EQ(rx_replace("ab", QRegularExpression("x*"), mark, nullptr), "<>a<>b<>");
}

QByteArray le32(qint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian<qint32>(v, b.data());
    return b;
}

// A document of the given pairs, each a key and its tagged value bytes.
QByteArray doc(std::initializer_list<QPair<QByteArray, QByteArray>> pairs)
{
    QByteArray d("tinykv");
    for (const auto& p : pairs)
        d += le32(qint32(p.first.size())) + p.first + p.second;
    return d;
}

TEST(TinyKV, EveryKindRoundTripsWithTheDocumentedTypeChanges)
{
    EXPECT_EQ(TinyKVSerializer::ser({{"width", 640}}), doc({{"width", "i" + le32(640)}}));
    QHash<QString, QVariant> h{{"b", true}, {"u", 4000000000u}, {"l", Q_INT64_C(-5000000000)}, {"d", 3.25},
                               {"s", QString::fromUtf8("日本語 \xF0\x9F\x98\x80")}, {"v", QByteArray("\0\xff\x01", 3)},
                               {"sl", QStringList{"a", "b"}}, {"list", QVariantList{1, "x", QVariantList{2.5}}},
                               {"hash", QVariantHash{{"deeper", QVariantHash{{"z", 1}}}}},
                               {"map", QVariantMap{{"k", 1}}}, {"", "empty key"}};
    const QHash<QString, QVariant> back = TinyKVSerializer::unser(TinyKVSerializer::ser(h));
    ASSERT_EQ(back.size(), h.size());
    EXPECT_EQ(back["b"], QVariant(1));                  // bools as ints
    EXPECT_EQ(back["u"], QVariant(qint32(4000000000u))); // unsigned wraps to signed 32 bits
    EXPECT_EQ(back["l"], h["l"]);
    EXPECT_EQ(back["d"].toDouble() + back["list"].toList().value(2).toList().value(0).toDouble(), 5.75);
    EXPECT_EQ(back["s"], h["s"]);
    EXPECT_EQ(back["sl"].toStringList().join(',') + back[""].toString(), "a,bempty key");
    EXPECT_EQ(back["v"].toByteArray(), QByteArray("\0\xff\x01", 3));
    EXPECT_EQ(back["hash"].toHash()["deeper"].toHash()["z"].toInt(), 1);
    EXPECT_FALSE(back["map"].isValid()); // no part of the format

    // A list whose byte count is larger than its elements need; a count of 0
    // or below is an empty list; a count beyond the elements fails the document.
    const QByteArray items = le32(1) + "i" + le32(9) + "trailing", shortItems = le32(2) + "i" + le32(9);
    EXPECT_EQ(TinyKVSerializer::unser(doc({{"l", "[" + le32(items.size()) + items}}))["l"], QVariant(QVariantList{9}));
    EXPECT_EQ(TinyKVSerializer::unser(doc({{"l", "[" + le32(4) + le32(-3)}})).value("l", 1), QVariant(QVariantList()));
    EXPECT_TRUE(TinyKVSerializer::unser(doc({{"l", "[" + le32(shortItems.size()) + shortItems}})).isEmpty());
}

// The fuzz target feeds it any bytes; these are the cases that must fail
// without allocating what a count claims.
TEST(TinyKV, CutForeignAndHostileDocumentsFailWithoutAllocating)
{
    const QByteArray whole = doc({{"a", "i" + le32(1)}, {"bb", "s" + le32(3) + "xyz"}});
    EXPECT_EQ(TinyKVSerializer::unser(whole.left(6 + 4 + 1 + 5 + 4 + 1)).keys(), QList<QString>{"a"}); // cut in a key
    QBuffer buf;
    buf.setData(whole.left(whole.size() - 1)); // cut in a value
    buf.open(QIODevice::ReadOnly);
    QHash<QString, QVariant> out{{"stale", 1}};
    EXPECT_FALSE(TinyKVSerializer::unser(buf, out));
    EXPECT_TRUE(out.isEmpty());
    for (const QByteArray& bad : {"s" + le32(-1) + "abc", "v" + le32(2147483647), "[" + le32(1000000),
                                  "[" + le32(4) + le32(2000000000), QByteArray("a")})
        EXPECT_TRUE(TinyKVSerializer::unser(doc({{"k", bad}})).isEmpty()) << bad.toHex().toStdString();
    // Lists nested far beyond any real attachment value, read or written.
    QByteArray deep = QByteArray("i") + le32(1);
    for (int i = 0; i < 5000; ++i)
        deep = QByteArray("[") + le32(deep.size() + 4) + le32(1) + deep;
    EXPECT_TRUE(TinyKVSerializer::unser(doc({{"deep", deep}})).isEmpty());
    QVariant v = 1;
    for (int i = 0; i < 100; ++i)
        v = QVariantList{v};
    EXPECT_TRUE(TinyKVSerializer::ser({{"deep", v}}).isEmpty());
    QByteArray storage;
    QBuffer readOnly(&storage);
    readOnly.open(QIODevice::ReadOnly);
    EXPECT_FALSE(TinyKVSerializer::ser(readOnly, {{"k", 1}})); // a short write is a failure
}

// Qt's own answer: a wall-clock time the zone skips is invalid.
quint32 qtSecs(const QDateTime& dt)
{
    return dt.isValid() ? quint32(dt.toSecsSinceEpoch()) : 4294967295u;
}

TEST(LineTimeLocal, AgreesWithQtAcrossZoneTransitions)
{
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    const QByteArray oldZone = qgetenv("TZ");
    // UTC last, so that what was kept of an earlier zone would show.
    for (const char* zone : {"Europe/Berlin", "Australia/Sydney", "Asia/Tokyo", "UTC"}) {
        qputenv("TZ", zone);
        tzset();
        SCOPED_TRACE(zone);
        LocalZone page(false);
        // Every half hour around the 2021 changes of both hemispheres.
        for (const qint64 start : {1616200000000LL, 1633000000000LL, 1635300000000LL}) {
            for (qint64 ms = start; ms < start + 7 * 86400000LL; ms += 1800000 + 7) {
                const QDateTime qt = QDateTime::fromMSecsSinceEpoch(ms);
                const QDateTime ours = page.dateTime(ms);
                ASSERT_EQ(ours.toMSecsSinceEpoch(), ms);
                ASSERT_EQ(ours.toString("yyyy-MM-dd HH:mm:ss.zzz"), qt.toString("yyyy-MM-dd HH:mm:ss.zzz"));
                ASSERT_EQ(dtToUnixSecs32(qt), qtSecs(qt)) << ms;
                // Wall-clock times the zone skips or repeats too.
                const QDateTime wall(qt.date(), qt.time().addSecs(1800), Qt::LocalTime);
                ASSERT_EQ(dtToUnixSecs32(wall), qtSecs(wall)) << ms;
            }
        }
    }
    hadZone ? qputenv("TZ", oldZone) : qunsetenv("TZ");
    tzset();
}

} // namespace
