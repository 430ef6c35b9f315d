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
const QByteArray kRun = kStart1 + kStart2 + kDigit + kEnd;
const QString kEndChar = QString::fromUcs4(U"\U0010FFFF");

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

QString plain(const QString& text)
{
    return emoji_replace(text, line_common_emoji_plain_replace_handler, nullptr);
}

} // namespace

TEST(ParseLineRawContent, DecodesRunsLoneCharactersAndPlainText)
{
    const QByteArray utf8 = QString::fromUtf8("Hi 日本 \xF0\x9F\x98\x80 ok").toUtf8();
    const QList<QPair<QByteArray, QString>> cases = {
        {utf8, QString::fromUtf8(utf8)},
        {QByteArray("before\0after", 12), "before"}, // stops at the first zero byte
        {QByteArray(), ""},
        {QByteArray("a\xff" "b"), QString::fromUtf8("a\xEF\xBF\xBD" "b")},
        {"text " + kRun + " more", "text [EMOJI] more"},
        {"a" + kRun + "between" + kRun + "z", "a[EMOJI]between[EMOJI]z"},
        {kRun + kRun, "[EMOJI][EMOJI]"}, // the nearest end closes a run
        // Two starts directly followed by the end run on to the next end;
        // without a later end each start is a lone plane-16 character.
        {"a" + kStart1 + kStart2 + kEnd + "x" + kEnd + "b", "a[EMOJI]b"},
        {"a" + kStart1 + kStart2 + kEnd, "a[EMOJI][EMOJI]" + kEndChar},
        {"x" + QByteArray::fromHex("f483bfbf") + "y", "x[EMOJI]y"}, // U+103FFF
        {"x" + QByteArray::fromHex("f4848080") + "y", "x" + QString::fromUcs4(U"\U00104000") + "y"},
        // "OHHHOHHH" is 4f484848 4f484848: from its second hex digit it reads
        // like plane-16 characters; matching there would shift every byte.
        {"OHHHOHHH" + kRun + "tail", "OHHHOHHH[EMOJI]tail"},
        {"xOHHHOHHHy" + kEnd, "xOHHHOHHHy" + kEndChar},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseLineRawContent(c.first), c.second) << c.first.toHex().toStdString();
}

TEST(RawContentEfbfbd, DamageNeedsARunStartAndAWholeReplacementCharacter)
{
    EXPECT_TRUE(isRawContentContainEmoji_efbfbd("a" + kStart1 + kStart2 + "b" + kFffd));
    EXPECT_FALSE(isRawContentContainEmoji_efbfbd("a" + kStart1 + kStart2 + "b"));
    EXPECT_FALSE(isRawContentContainEmoji_efbfbd("a" + kFffd + "b"));
    EXPECT_FALSE(isRawContentContainEmoji_efbfbd("OHHHOHHHx" + kFffd)); // digits across bytes

    const QByteArray damaged = kStart1 + kStart2 + "x" + kFffd + "mid" + kFffd;
    EXPECT_EQ(fixRawContent_efbfbd(damaged), kStart1 + kStart2 + "x" + kEnd + "mid" + kEnd);
    EXPECT_EQ(parseLineRawContent(fixRawContent_efbfbd(kStart1 + kStart2 + "x" + kFffd)), "[EMOJI]");
    // ef bf bd straddling bytes (1e fb fb d1) is no replacement character.
    const QByteArray straddling = QByteArray::fromHex("1efbfbd1");
    EXPECT_EQ(fixRawContent_efbfbd(straddling), straddling);
}

TEST(EmojiReplace, PrivateUseListedSymbolsAndSurrogatePairsOfD83CAndD83D)
{
    EXPECT_EQ(plain(codeUnits({'a', 0xE001, 'b'})), "a[EMOJI]b");
    const QString outside = codeUnits({0xE538, 0x2713, 0xDFFF});
    EXPECT_EQ(plain(outside), outside);
    // Invalid UTF-16 defeats a regular expression, not a scan of code units.
    EXPECT_EQ(plain(codeUnits({0xDC00, 'a', 0xE001})), codeUnits({0xDC00, 'a'}) + "[EMOJI]");

    QStringList codes;
    EXPECT_EQ(emoji_replace(codeUnits({0xE000, 0x203C, 'x', 0x2714, 0xE537, 0x3030}), recordCode, &codes),
              "<E000><203C>x<2714><E537><3030>");
    EXPECT_EQ(codes, QStringList({"E000", "203C", "2714", "E537", "3030"}));

    codes.clear();
    EXPECT_EQ(emoji_replace(QString::fromUcs4(U"a\U0001F600b\U0001F300\U0001F914"), recordCode, &codes),
              "a<1F600>b<1F300>" + QString::fromUcs4(U"\U0001F914")); // D83E DD14 is none
    EXPECT_EQ(codes, QStringList({"1F600", "1F300"}));

    // A start unit followed by no low surrogate goes through the same
    // arithmetic; one at the very end has no partner and stays.
    codes.clear();
    EXPECT_EQ(emoji_replace(codeUnits({0xD83D, 'a', 'z', 0xD83D}), recordCode, &codes),
              "<1F461>z" + codeUnits({0xD83D}));
    EXPECT_EQ(codes, QStringList({"1F461"}));
}

TEST(EmojiReplace, HandlerOutputIsSearchedByTheSecondPassOnly)
{
    QStringList codes;
    const auto handler = [](void* c, QString code) -> QString {
        static_cast<QStringList*>(c)->append(code);
        return code == "E001" ? QChar(0xE001) + QString::fromUcs4(U"\U0001F600") : QStringLiteral("#");
    };
    EXPECT_EQ(emoji_replace(codeUnits({0xE001}), handler, &codes), QChar(0xE001) + QStringLiteral("#"));
    EXPECT_EQ(codes, QStringList({"E001", "1F600"}));

    const QString img = lineCommonEmojiHtmlHandler(nullptr, "E001");
    EXPECT_TRUE(img.startsWith("<img src=\"http://")) << img.toStdString();
    EXPECT_TRUE(img.endsWith("/app_res/emoji/E001.png\" style=\"vertical-align:top;\" />")) << img.toStdString();
    EXPECT_EQ(emoji_replace(codeUnits({'a', 0xE001}), lineCommonEmojiHtmlHandler, nullptr), "a" + img);
}

TEST(EmojiReplace, EmojiAreFoundAtEveryPositionOfALongerText)
{
    const QString smile = QString::fromUcs4(U"\U0001F600");
    const QString lone = QString::fromUcs4(U"\U00100005");
    for (int at = 0; at <= 20; ++at) {
        const QString before(at, QChar('a'));
        const QString after(20 - at, QChar(0x3042)); // hiragana: above the ASCII fast path
        EXPECT_EQ(plain(before + QChar(0xE001) + after), before + "[EMOJI]" + after) << at;
        EXPECT_EQ(plain(before + smile + after), before + "[EMOJI]" + after) << at;
        EXPECT_EQ(parseLineRawContent((before + lone + after).toUtf8()), before + "[EMOJI]" + after) << at;
    }
}

TEST(RxReplace, ReplacesEachMatchAndNeverLoopsOnAnEmptyMatch)
{
    int calls = 0;
    const auto doubled = [](void* ctx, const QRegularExpressionMatch& m) -> QString {
        ++*static_cast<int*>(ctx);
        return QString::number(m.captured(1).toInt() * 2);
    };
    const QRegularExpression digits(QStringLiteral("(\\d+)"));
    EXPECT_EQ(rx_replace("a1b22c", digits, doubled, &calls), "a2b44c");
    EXPECT_EQ(rx_replace("none", digits, doubled, &calls), "none");
    EXPECT_EQ(calls, 2);

    const auto mark = [](void*, const QRegularExpressionMatch&) -> QString { return QStringLiteral("<>"); };
    EXPECT_EQ(rx_replace("ab", QRegularExpression("x*"), mark, nullptr), "<>a<>b<>");
}
