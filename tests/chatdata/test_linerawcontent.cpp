#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QStringList>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include "chatdata/linerawcontent.h"

namespace {

// Four-byte characters of plane 16 as LINE writes its emoji runs.
const QByteArray kStart1 = QByteArray::fromHex("f4808080"); // U+100000
const QByteArray kStart2 = QByteArray::fromHex("f4808081"); // U+100001
const QByteArray kDigit = QByteArray::fromHex("f4808082");  // U+100002
const QByteArray kEnd = QByteArray::fromHex("f48fbfbf");    // U+10FFFF
const QByteArray kFffd = QByteArray::fromHex("efbfbd");     // U+FFFD

QByteArray run()
{
    return kStart1 + kStart2 + kDigit + kEnd;
}

QString codeUnits(std::initializer_list<char16_t> units)
{
    QString s;
    for (char16_t u : units)
        s.append(QChar(u));
    return s;
}

QString recordCode(void* ctx, QString code)
{
    static_cast<QStringList*>(ctx)->append(code);
    return QStringLiteral("<%1>").arg(code);
}

} // namespace

TEST(ParseLineRawContent, PlainUtf8DecodesAsItIsAndStopsAtTheFirstZeroByte)
{
    const QByteArray plain = QString::fromUtf8("Hi 日本 \xF0\x9F\x98\x80 ok").toUtf8();
    EXPECT_EQ(parseLineRawContent(plain), QString::fromUtf8(plain));
    EXPECT_EQ(parseLineRawContent(QByteArray("before\0after", 12)), "before");
    EXPECT_EQ(parseLineRawContent(QByteArray()), "");
    // Invalid UTF-8 turns into replacement characters, not into nothing.
    EXPECT_EQ(parseLineRawContent(QByteArray("a\xff" "b")), QString::fromUtf8("a\xEF\xBF\xBD" "b"));
}

TEST(ParseLineRawContent, EachClosedRunBecomesOneMarkerAndTheTextAroundStays)
{
    EXPECT_EQ(parseLineRawContent("text " + run() + " more"), "text [EMOJI] more");
    EXPECT_EQ(parseLineRawContent("a" + run() + "between" + run() + "z"), "a[EMOJI]between[EMOJI]z");
    // The nearest end closes a run, so two adjacent runs stay two.
    EXPECT_EQ(parseLineRawContent(run() + run()), "[EMOJI][EMOJI]");
}

TEST(ParseLineRawContent, TwoStartsDirectlyFollowedByTheEndRunOnToTheNextEnd)
{
    EXPECT_EQ(parseLineRawContent("a" + kStart1 + kStart2 + kEnd + "x" + kEnd + "b"), "a[EMOJI]b");
    // Without a later end there is no run; each start character is a lone
    // plane-16 character and the end character U+10FFFF stays as it is.
    EXPECT_EQ(parseLineRawContent("a" + kStart1 + kStart2 + kEnd),
              "a[EMOJI][EMOJI]" + QString::fromUcs4(U"\U0010FFFF"));
}

TEST(ParseLineRawContent, LonePlane16CharactersBelowU104000AreEmoji)
{
    EXPECT_EQ(parseLineRawContent("x" + QByteArray::fromHex("f483bfbf") + "y"), "x[EMOJI]y"); // U+103FFF
    const QByteArray above = QByteArray::fromHex("f4848080");                                   // U+104000
    EXPECT_EQ(parseLineRawContent("x" + above + "y"), "x" + QString::fromUtf8(above) + "y");
}

TEST(ParseLineRawContent, TextWhoseHexLooksLikeARunStartInsideBytesKeepsItsBytes)
{
    // "OHHHOHHH" is 4f484848 4f484848: read digit by digit from its second
    // digit it looks like two plane-16 characters. Matching there would cut
    // a byte in two and shift everything after it.
    EXPECT_EQ(parseLineRawContent("OHHHOHHH" + run() + "tail"), "OHHHOHHH[EMOJI]tail");
    EXPECT_EQ(parseLineRawContent("xOHHHOHHHy" + kEnd), "xOHHHOHHHy" + QString::fromUcs4(U"\U0010FFFF"));
}

TEST(RawContentEfbfbd, DamageIsSeenOnlyWithBothARunStartAndAReplacementCharacter)
{
    EXPECT_TRUE(isRawContentContainEmoji_efbfbd("a" + kStart1 + kStart2 + "b" + kFffd));
    EXPECT_FALSE(isRawContentContainEmoji_efbfbd("a" + kStart1 + kStart2 + "b"));
    EXPECT_FALSE(isRawContentContainEmoji_efbfbd("a" + kFffd + "b"));
    // Hex digits that only line up across byte boundaries are no run start.
    EXPECT_FALSE(isRawContentContainEmoji_efbfbd("OHHHOHHHx" + kFffd));
}

TEST(RawContentEfbfbd, MendingTurnsEveryReplacementCharacterIntoTheRunEnd)
{
    const QByteArray damaged = kStart1 + kStart2 + "x" + kFffd + "mid" + kFffd;
    EXPECT_EQ(fixRawContent_efbfbd(damaged), kStart1 + kStart2 + "x" + kEnd + "mid" + kEnd);
    EXPECT_EQ(parseLineRawContent(fixRawContent_efbfbd(kStart1 + kStart2 + "x" + kFffd)), "[EMOJI]");
    EXPECT_EQ(fixRawContent_efbfbd("no damage"), QByteArray("no damage"));
    // ef bf bd that straddles bytes (1e fb fb d1) is no replacement
    // character; a digit-wise replacement would rewrite these four bytes.
    const QByteArray straddling = QByteArray::fromHex("1efbfbd1");
    EXPECT_EQ(fixRawContent_efbfbd(straddling), straddling);
}

TEST(EmojiReplace, PrivateUseAndListedSymbolsAreSingleUnitEmoji)
{
    EXPECT_EQ(emoji_replace(codeUnits({'a', 0xE001, 'b'}), line_common_emoji_plain_replace_handler, nullptr),
              "a[EMOJI]b");
    const QString outside = codeUnits({0xE538, 0x2713, 0xDFFF});
    EXPECT_EQ(emoji_replace(outside, line_common_emoji_plain_replace_handler, nullptr), outside);

    QStringList codes;
    const QString out = emoji_replace(codeUnits({0xE000, 0x203C, 'x', 0x2714, 0xE537, 0x3030}), recordCode, &codes);
    EXPECT_EQ(codes, QStringList({"E000", "203C", "2714", "E537", "3030"}));
    EXPECT_EQ(out, "<E000><203C>x<2714><E537><3030>");
}

TEST(EmojiReplace, SurrogatePairsStartingD83CorD83DAreCombined)
{
    QStringList codes;
    EXPECT_EQ(emoji_replace(QString::fromUcs4(U"a\U0001F600b\U0001F300"), recordCode, &codes), "a<1F600>b<1F300>");
    EXPECT_EQ(codes, QStringList({"1F600", "1F300"}));

    codes.clear();
    const QString thinking = QString::fromUcs4(U"\U0001F914"); // D83E DD14
    EXPECT_EQ(emoji_replace(thinking, recordCode, &codes), thinking);
    EXPECT_TRUE(codes.isEmpty());

    // A start unit followed by no low surrogate goes through the same
    // arithmetic; one at the very end has no partner and stays.
    codes.clear();
    EXPECT_EQ(emoji_replace(codeUnits({0xD83D, 'a', 'z', 0xD83D}), recordCode, &codes),
              "<1F461>z" + codeUnits({0xD83D}));
    EXPECT_EQ(codes, QStringList({"1F461"}));
}

TEST(EmojiReplace, TextWithALoneSurrogateIsStillScanned)
{
    // Invalid UTF-16 defeats a regular expression, not a scan of code units.
    EXPECT_EQ(emoji_replace(codeUnits({0xDC00, 'a', 0xE001}), line_common_emoji_plain_replace_handler, nullptr),
              codeUnits({0xDC00, 'a'}) + "[EMOJI]");
}

TEST(EmojiReplace, HandlerOutputIsSearchedByTheSecondPassOnly)
{
    struct Ctx
    {
        QStringList codes;
    } ctx;
    const auto handler = [](void* c, QString code) -> QString {
        static_cast<Ctx*>(c)->codes.append(code);
        if (code == "E001")
            return QChar(0xE001) + QString::fromUcs4(U"\U0001F600");
        return QStringLiteral("#");
    };
    EXPECT_EQ(emoji_replace(codeUnits({0xE001}), handler, &ctx), QChar(0xE001) + QStringLiteral("#"));
    EXPECT_EQ(ctx.codes, QStringList({"E001", "1F600"}));

    ctx.codes.clear();
    EXPECT_EQ(emoji_replace(QString(), handler, &ctx), "");
    EXPECT_TRUE(ctx.codes.isEmpty());
}

TEST(EmojiReplace, HtmlHandlerPointsAtThePictureOfTheCode)
{
    const QString img = lineCommonEmojiHtmlHandler(nullptr, "E001");
    EXPECT_TRUE(img.startsWith("<img src=\"http://")) << img.toStdString();
    EXPECT_TRUE(img.endsWith("/app_res/emoji/E001.png\" style=\"vertical-align:top;\" />")) << img.toStdString();
    EXPECT_EQ(emoji_replace(codeUnits({'a', 0xE001}), lineCommonEmojiHtmlHandler, nullptr), "a" + img);
}

TEST(RxReplace, ReplacesEachMatchWithTheCallbacksTextAndKeepsTheRest)
{
    int calls = 0;
    const auto doubled = [](void* ctx, const QRegularExpressionMatch& m) -> QString {
        ++*static_cast<int*>(ctx);
        return QString::number(m.captured(1).toInt() * 2);
    };
    const QRegularExpression digits(QStringLiteral("(\\d+)"));
    EXPECT_EQ(rx_replace("a1b22c", digits, doubled, &calls), "a2b44c");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(rx_replace("none", digits, doubled, &calls), "none");
    EXPECT_EQ(rx_replace("", digits, doubled, &calls), "");
    EXPECT_EQ(calls, 2);

    // An expression that matches empty text must not loop for ever.
    const auto mark = [](void*, const QRegularExpressionMatch&) -> QString { return QStringLiteral("<>"); };
    EXPECT_EQ(rx_replace("ab", QRegularExpression("x*"), mark, nullptr), "<>a<>b<>");
}

TEST(EmojiReplace, EmojiAreFoundAtEveryPositionOfALongerText)
{
    const QString smile = QString::fromUcs4(U"\U0001F600");
    const QString lone = QString::fromUcs4(U"\U00100005");
    for (int at = 0; at <= 20; ++at) {
        const QString before(at, QChar('a'));
        const QString after(20 - at, QChar(0x3042)); // hiragana: above the ASCII fast path
        EXPECT_EQ(emoji_replace(before + QChar(0xE001) + after, line_common_emoji_plain_replace_handler, nullptr),
                  before + "[EMOJI]" + after)
            << at;
        EXPECT_EQ(emoji_replace(before + smile + after, line_common_emoji_plain_replace_handler, nullptr),
                  before + "[EMOJI]" + after)
            << at;
        EXPECT_EQ(parseLineRawContent((before + lone + after).toUtf8()), before + "[EMOJI]" + after) << at;
    }
}
