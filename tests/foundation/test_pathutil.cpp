#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/pathutil.h"

namespace {

using namespace pathutil;

QString u8(const char* s)
{
    return QString::fromUtf8(s);
}

TEST(FileNameEncodings, KnownForms)
{
    const std::pair<QString, QString> encoded[] = {
        {"a/b:c?.txt", "a%2Fb%3Ac%3F.txt"}, {"100%", "100%25"}, {u8("\xE6\x97\xA5"), "%E6%97%A5"},
        {" `~!@#$^&()-=_+[]{};',.azAZ09", " `~!@#$^&()-=_+[]{};',.azAZ09"}, {"\"*<>\\|\x01\x7f", "%22%2A%3C%3E%5C%7C%01%7F"},
        // Reserved device names are encoded whole, and only as the whole name.
        {"Com1", "%43%6F%6D%31"}, {"CLOCK$", "%43%4C%4F%43%4B%24"}, {"CON.txt", "CON.txt"}, {"CON\n", "CON%0A"},
        // A name of dots only, or none, must stay one harmless component.
        {".", "%2E"}, {"..", "%2E%2E"}, {"", "%00"}, {"..a", "..a"}, {"../x", "..%2Fx"},
    };
    for (const auto& [name, form] : encoded)
        EXPECT_EQ(encodeFileName(name), form) << name.toStdString();
    EXPECT_EQ(encodeFileNameWin("%\\/:*?\"<>|\n\r\t"), "%25%5c%2f%3a%2a%3f%22%3c%3e%7c%0a%0d%09");
    EXPECT_EQ(encodeFileNameWin(u8("\xE6\x97\xA5 b#c.txt")), u8("\xE6\x97\xA5 b#c.txt"));
    EXPECT_EQ(encodeFileNameWin("Com1") + encodeFileNameWin(".."), "%43%6f%6d%31%2e%2e");

    // Escapes of either case; a percent sign without two hex digits is text.
    const std::pair<QString, QString> decoded[] = {
        {"a%2fb%2Fc", "a/b/c"}, {"ab%00cd", "ab"}, {"100%", "100%"}, {"%zz%4", "%zz%4"}, {"%%41", "%A"}};
    for (const auto& [form, name] : decoded)
        EXPECT_EQ(decodeFileName(form), name) << form.toStdString();
    EXPECT_EQ(decodeFileNameWin("%e9x%00y"), u8("\xC3\xA9xy")); // escapes read as Latin-1
    // An expression that matches empty text still ends.
    EXPECT_EQ(rx_replace(QString("ab"), QRegularExpression("(x*)"),
                         [](const QRegularExpressionMatch& m) { return '<' + m.captured(1) + '>'; }),
              "<>a<>b<>");
}

// Names from chats and backups can hold anything: both encodings must come
// back exactly, and the encoded form must always be one plain component.
TEST(FileNameEncodings, RoundTripAnyText)
{
    QStringList samples = {"", ".", "..", "Com1", "%41", "%%", "a/b\\c", "../../etc/passwd", "tab\there\nnew",
                           u8("\xF0\x9F\x98\x80 emoji"), QString(QChar(0xFFFD))};
    QRandomGenerator rng(20240101);
    for (int i = 0; i < 300; ++i) {
        QString s;
        for (int j = rng.bounded(12); j > 0; --j) {
            const char32_t cp = std::array<char32_t, 4>{1, 0x80, 0x3000, 0x10000}[rng.bounded(4)];
            const char32_t c = cp + rng.bounded(cp == 1 ? 0x7F : 0x780);
            s += QString::fromUcs4(&c, 1);
        }
        samples << s;
    }
    for (const QString& s : samples) {
        const QString enc = encodeFileName(s), encWin = encodeFileNameWin(s);
        EXPECT_EQ(decodeFileName(enc), s);
        EXPECT_EQ(decodeFileNameWin(encWin), s);
        EXPECT_TRUE(std::all_of(enc.begin(), enc.end(), [](QChar c) { return c.unicode() < 0x80; })) << enc.toStdString();
        for (const QString& e : {enc, encWin})
            EXPECT_EQ(QDir::cleanPath("/data/store/" + e), "/data/store/" + e);
    }
}

TEST(Cpr, CopiesVisibleFilesKeepsExistingOnesSkipsLinksAndNeverCopiesIntoItself)
{
    QTemporaryDir dir, outside;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    for (const char* rel : {"a.txt", ".hidden", "sub/b.txt", "sub/deeper/c.txt"})
        ASSERT_TRUE(testenv::writeFile(src + '/' + rel, rel));
    ASSERT_TRUE(testenv::writeFile(outside.filePath("keep/precious.txt"), "P"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), src + "/out"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep/precious.txt"), src + "/precious.txt"));
    ASSERT_TRUE(QFile::link(src, src + "/sub/loop"));
    // A file in the target is kept, a link there never written through.
    ASSERT_TRUE(testenv::writeFile(dst + "/src/sub/b.txt", "OLD"));
    ASSERT_TRUE(QFile::link(outside.filePath("written-through"), dst + "/src/a.txt"));

    QString error;
    EXPECT_TRUE(cpr(src, QDir(dst), &error)) << error.toStdString();
    EXPECT_EQ(testenv::readFile(dst + "/src/sub/deeper/c.txt"), "sub/deeper/c.txt");
    EXPECT_EQ(testenv::readFile(dst + "/src/sub/b.txt"), "OLD");
    for (const char* skipped : {"/src/.hidden", "/src/out", "/src/precious.txt", "/src/sub/loop"})
        EXPECT_FALSE(QFileInfo::exists(dst + skipped)) << skipped;
    EXPECT_FALSE(QFileInfo::exists(outside.filePath("written-through")));

    EXPECT_FALSE(cpr(src, QDir(src + "/sub"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(src + "/sub/src"));
    EXPECT_TRUE(cpr(src + "/sub", QDir(src + "/sub2"))); // a sibling whose name merely starts the same
    EXPECT_EQ(testenv::readFile(src + "/sub2/sub/b.txt"), "sub/b.txt");
    // The target cannot be made below a plain file.
    EXPECT_FALSE(cpr(src, QDir(src + "/a.txt/below"), &error));
}

} // namespace
