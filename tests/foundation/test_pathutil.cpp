#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/openrecorder.h"

#include "foundation/pathutil.h"

namespace {

using namespace pathutil;

QString u8(const char* s)
{
    return QString::fromUtf8(s);
}

void touch(const QString& path, const QByteArray& content)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(content);
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(FileNameEncodings, KnownForms)
{
    const std::pair<QString, QString> encoded[] = {
        {"a/b:c?.txt", "a%2Fb%3Ac%3F.txt"}, {"100%", "100%25"}, {u8("\xE6\x97\xA5\xE6\x9C\xAC"), "%E6%97%A5%E6%9C%AC"},
        {" `~!@#$^&()-=_+[]{};',.azAZ09", " `~!@#$^&()-=_+[]{};',.azAZ09"},
        {"\"*<>\\|\x01\x1f\x7f", "%22%2A%3C%3E%5C%7C%01%1F%7F"}, {QString(QChar(0)), "%00"},
        // Reserved device names are encoded whole, and only as the whole name.
        {"Com1", "%43%6F%6D%31"}, {"con", "%63%6F%6E"}, {"CLOCK$", "%43%4C%4F%43%4B%24"},
        {"CON.txt", "CON.txt"}, {"COM10", "COM10"}, {"CON\n", "CON%0A"},
        // A name of dots only, or none, must stay one harmless component;
        // dots among other characters are plain.
        {".", "%2E"}, {"..", "%2E%2E"}, {"...", "%2E%2E%2E"}, {"", "%00"}, {"..a", "..a"}, {"../x", "..%2Fx"},
    };
    for (const auto& [name, form] : encoded)
        EXPECT_EQ(encodeFileName(name), form) << name.toStdString();

    EXPECT_EQ(encodeFileNameWin("%\\/:*?\"<>|\n\r\t"), "%25%5c%2f%3a%2a%3f%22%3c%3e%7c%0a%0d%09");
    EXPECT_EQ(encodeFileNameWin(u8("\xE6\x97\xA5 b#c.txt")), u8("\xE6\x97\xA5 b#c.txt"));
    EXPECT_EQ(encodeFileNameWin("Com1"), "%43%6f%6d%31");
    EXPECT_EQ(encodeFileNameWin("CON.txt"), "CON.txt");
    EXPECT_EQ(encodeFileNameWin(".."), "%2e%2e");
    EXPECT_EQ(encodeFileNameWin(""), "%00");

    // Escapes of either case; a percent sign without two hex digits is text.
    const std::pair<QString, QString> decoded[] = {
        {"a%2fb%2Fc", "a/b/c"}, {"%c3%A9", u8("\xC3\xA9")}, {"ab%00cd", "ab"},
        {"100%", "100%"},       {"%zz%4", "%zz%4"},         {"%%41", "%A"},
    };
    for (const auto& [form, name] : decoded)
        EXPECT_EQ(decodeFileName(form), name) << form.toStdString();
    // The Windows form reads escapes as Latin-1.
    EXPECT_EQ(decodeFileNameWin("%e9x%00y"), u8("\xC3\xA9xy"));
}

// Names from chats and backups can hold anything: both encodings must come
// back exactly, and the encoded form must always be one plain component.
TEST(FileNameEncodings, RoundTripAnyText)
{
    QStringList samples = {"", ".", "..", "...", "Com1", "CON.txt", "%41", "%", "%%", "a/b\\c", "../../etc/passwd",
                           " lead ", "tab\there\nnew", u8("\xE6\x97\xA5\xE6\x9C\xAC"), u8("\xF0\x9F\x98\x80 emoji"),
                           QString(QChar(0xFFFD))};
    QRandomGenerator rng(20240101);
    for (int i = 0; i < 300; ++i) {
        QString s;
        for (int j = rng.bounded(12); j > 0; --j) {
            switch (rng.bounded(4)) {
            case 0: s += QChar(char16_t(1 + rng.bounded(0x7F))); break;
            case 1: s += QChar(char16_t(0x80 + rng.bounded(0x780))); break;
            case 2: s += QChar(char16_t(0x3000 + rng.bounded(0x6000))); break;
            default: {
                const char32_t cp = 0x10000 + rng.bounded(0x10000);
                s += QString::fromUcs4(&cp, 1);
            }
            }
        }
        samples << s;
    }
    const QDir base("/data/store");
    for (const QString& s : samples) {
        SCOPED_TRACE(s.toStdString());
        const QString enc = encodeFileName(s);
        const QString encWin = encodeFileNameWin(s);
        EXPECT_EQ(decodeFileName(enc), s);
        EXPECT_EQ(decodeFileNameWin(encWin), s);
        for (const QChar c : enc)
            EXPECT_LT(c.unicode(), 0x80);
        // Used below a folder, it names a new entry of that folder.
        for (const QString& e : {enc, encWin})
            EXPECT_EQ(QDir::cleanPath(base.filePath(e)), "/data/store/" + e);
    }
}

TEST(RxReplace, ReplacesEveryMatchAndKeepsTheTextBetween)
{
    const QRegularExpression digits("([0-9]+)");
    const auto wrap = [](const QRegularExpressionMatch& m) { return '<' + m.captured(1) + '>'; };
    EXPECT_EQ(rx_replace(QString("a1bb22c"), digits, wrap), "a<1>bb<22>c");
    EXPECT_EQ(rx_replace(QString("none"), digits, wrap), "none");
    EXPECT_EQ(rx_replace(QString("1a2"), QRegularExpression("([0-9])"), encodeFileNameWinHandler), "%31a%32");
    // An expression that matches empty text still ends.
    EXPECT_EQ(rx_replace(QString("ab"), QRegularExpression("(x*)"), wrap), "<>a<>b<>");
}

TEST(Open, StartsTheOpenerWithThePathAsOneArgument)
{
    OpenRecorder recorder;
    ASSERT_TRUE(recorder.isValid());
    const QString path = u8("/x/it's \"quoted\" $(touch pwned) \xE6\x97\xA5");
    pathutil::open(path);
    EXPECT_EQ(recorder.takeArguments(), QStringList{path});
}

// A tree with a hidden file, and a folder outside it that links point into.
class TreeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(src() + "/sub/deeper"));
        touch(src() + "/a.txt", "A");
        touch(src() + "/.hidden", "H");
        touch(src() + "/sub/b.txt", "B");
        touch(src() + "/sub/deeper/c.txt", "C");
        ASSERT_TRUE(QDir().mkpath(outside.filePath("keep")));
        touch(outside.filePath("keep/precious.txt"), "P");
    }
    QString src() const { return dir.filePath("src"); }
    QString dst() const { return dir.filePath("dst"); }
    QTemporaryDir dir;
    QTemporaryDir outside;
};

TEST_F(TreeTest, RmpathKeepsHiddenEntriesAndNeverFollowsLinks)
{
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), src() + "/sub/out"));
    ASSERT_TRUE(QFile::link(src(), src() + "/sub/deeper/loop"));
    pathutil::rmpath(src());
    EXPECT_EQ(QDir(src()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList{".hidden"});
    EXPECT_EQ(contents(outside.filePath("keep/precious.txt")), "P");
    pathutil::rmpath(dir.filePath("missing")); // nothing to do
}

TEST_F(TreeTest, CprCopiesVisibleFilesAndKeepsExistingOnes)
{
    QString error;
    EXPECT_TRUE(cpr(src(), QDir(dst()), &error)) << error.toStdString();
    EXPECT_EQ(contents(dst() + "/src/sub/deeper/c.txt"), "C");
    EXPECT_EQ(contents(dst() + "/src/a.txt"), "A");
    EXPECT_FALSE(QFileInfo::exists(dst() + "/src/.hidden"));

    touch(dst() + "/a.txt", "OLD");
    EXPECT_TRUE(cpr(QFileInfo(src() + "/a.txt"), QDir(dst())));
    EXPECT_EQ(contents(dst() + "/a.txt"), "OLD");
    EXPECT_TRUE(cpr(dir.filePath("missing"), QDir(dst())));
    // An empty folder is not reproduced.
    ASSERT_TRUE(QDir().mkpath(src() + "/empty"));
    EXPECT_TRUE(cpr(src() + "/empty", QDir(dst())));
    EXPECT_FALSE(QFileInfo::exists(dst() + "/empty"));

    // The target cannot be created below a plain file.
    touch(dir.filePath("blocker"), "x");
    EXPECT_FALSE(cpr(src(), QDir(dir.filePath("blocker/below")), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(cpr(src() + "/a.txt", QDir(dir.filePath("blocker/below")), nullptr));
}

TEST_F(TreeTest, CprSkipsLinksEndsOnLoopsAndRefusesToCopyIntoItself)
{
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), src() + "/out"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep/precious.txt"), src() + "/precious.txt"));
    ASSERT_TRUE(QFile::link(src(), src() + "/sub/loop"));
    ASSERT_TRUE(QDir().mkpath(dst()));
    // A link in the target is never written through.
    ASSERT_TRUE(QFile::link(outside.filePath("written-through"), dst() + "/a.txt"));

    EXPECT_TRUE(cpr(src(), QDir(dst())));
    EXPECT_EQ(contents(dst() + "/src/sub/b.txt"), "B");
    for (const char* skipped : {"/src/out", "/src/precious.txt", "/src/sub/loop"})
        EXPECT_FALSE(QFileInfo::exists(dst() + skipped)) << skipped;
    EXPECT_TRUE(cpr(src() + "/a.txt", QDir(dst())));
    EXPECT_FALSE(QFileInfo::exists(outside.filePath("written-through")));

    QString error;
    EXPECT_FALSE(cpr(src(), QDir(src() + "/sub"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(src() + "/sub/src"));
    EXPECT_FALSE(cpr(src(), QDir(src())));
    // A sibling whose name merely starts the same is fine.
    EXPECT_TRUE(cpr(src() + "/sub", QDir(src() + "/sub2")));
    EXPECT_EQ(contents(src() + "/sub2/sub/b.txt"), "B");
}

} // namespace
