#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/openrecorder.h"

#include "foundation/datadir.h"
#include "foundation/pathutil.h"

namespace {

QString u8(const char* s)
{
    return QString::fromUtf8(s);
}

void touch(const QString& path, const QByteArray& content = "x")
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

TEST(EncodeFileName, PercentEncodesEverythingOutsideThePlainSet)
{
    EXPECT_EQ(pathutil::encodeFileName("a/b:c?.txt"), "a%2Fb%3Ac%3F.txt");
    EXPECT_EQ(pathutil::encodeFileName("100%"), "100%25");
    EXPECT_EQ(pathutil::encodeFileName(u8("\xC3\xA9")), "%C3%A9");
    EXPECT_EQ(pathutil::encodeFileName(u8("\xE6\x97\xA5\xE6\x9C\xAC")), "%E6%97%A5%E6%9C%AC");
    EXPECT_EQ(pathutil::encodeFileName(" `~!@#$^&()-=_+[]{};',.azAZ09"), " `~!@#$^&()-=_+[]{};',.azAZ09");
    EXPECT_EQ(pathutil::encodeFileName("\"*<>\\|\x01\x1f\x7f"), "%22%2A%3C%3E%5C%7C%01%1F%7F");
    EXPECT_EQ(pathutil::encodeFileName(QString(QChar(0))), "%00");
}

TEST(EncodeFileName, ReservedDeviceNamesAreEncodedWhole)
{
    EXPECT_EQ(pathutil::encodeFileName("CON"), "%43%4F%4E");
    EXPECT_EQ(pathutil::encodeFileName("con"), "%63%6F%6E");
    EXPECT_EQ(pathutil::encodeFileName("Com1"), "%43%6F%6D%31");
    EXPECT_EQ(pathutil::encodeFileName("CLOCK$"), "%43%4C%4F%43%4B%24");
    EXPECT_EQ(pathutil::encodeFileName("lPt1"), "%6C%50%74%31");
    // Only the whole name counts, and only these fifteen names.
    EXPECT_EQ(pathutil::encodeFileName("CON.txt"), "CON.txt");
    EXPECT_EQ(pathutil::encodeFileName("LPT2"), "LPT2");
    EXPECT_EQ(pathutil::encodeFileName("COM10"), "COM10");
    EXPECT_EQ(pathutil::encodeFileName("CON\n"), "CON%0A");
    EXPECT_EQ(pathutil::encodeFileName("xCON"), "xCON");
}

TEST(EncodeFileName, DotsOnlyAndEmptyNamesStayOneHarmlessComponent)
{
    EXPECT_EQ(pathutil::encodeFileName("."), "%2E");
    EXPECT_EQ(pathutil::encodeFileName(".."), "%2E%2E");
    EXPECT_EQ(pathutil::encodeFileName("..."), "%2E%2E%2E");
    EXPECT_EQ(pathutil::encodeFileName(""), "%00");
    // Dots among other characters are plain as before.
    EXPECT_EQ(pathutil::encodeFileName("..a"), "..a");
    EXPECT_EQ(pathutil::encodeFileName(".hidden"), ".hidden");
    EXPECT_EQ(pathutil::encodeFileName("../x"), "..%2Fx");

    for (const QString& name : {QString(), QString("."), QString(".."), QString("...")}) {
        for (const QString& encoded : {pathutil::encodeFileName(name), pathutil::encodeFileNameWin(name)}) {
            SCOPED_TRACE(encoded.toStdString());
            EXPECT_FALSE(encoded.isEmpty());
            EXPECT_FALSE(encoded.contains('/'));
            // Used below a folder, it names a new entry of that folder.
            QDir base("/data/store");
            EXPECT_EQ(QDir::cleanPath(base.filePath(encoded)), "/data/store/" + encoded);
        }
    }
    EXPECT_EQ(pathutil::encodeFileNameWin(".."), "%2e%2e");
    EXPECT_EQ(pathutil::encodeFileNameWin(""), "%00");
}

TEST(DecodeFileName, UndoesEscapesOfEitherCaseAndStopsAtZero)
{
    EXPECT_EQ(pathutil::decodeFileName("a%2fb%2Fc"), "a/b/c");
    EXPECT_EQ(pathutil::decodeFileName("%c3%A9"), u8("\xC3\xA9"));
    EXPECT_EQ(pathutil::decodeFileName("ab%00cd"), "ab");
    // A percent sign without two hex digits is ordinary text.
    EXPECT_EQ(pathutil::decodeFileName("100%"), "100%");
    EXPECT_EQ(pathutil::decodeFileName("%zz%4"), "%zz%4");
    EXPECT_EQ(pathutil::decodeFileName("%%41"), "%A");
    EXPECT_EQ(pathutil::decodeFileName(""), "");
}

TEST(EncodeFileNameWin, EncodesOnlyTheForbiddenCharactersInLowerCase)
{
    EXPECT_EQ(pathutil::encodeFileNameWin("%\\/:*?\"<>|\n\r\t"), "%25%5c%2f%3a%2a%3f%22%3c%3e%7c%0a%0d%09");
    EXPECT_EQ(pathutil::encodeFileNameWin(u8("\xE6\x97\xA5\xE6\x9C\xAC")), u8("\xE6\x97\xA5\xE6\x9C\xAC"));
    EXPECT_EQ(pathutil::encodeFileNameWin("a b#c.txt"), "a b#c.txt");
    EXPECT_EQ(pathutil::encodeFileNameWin("CON"), "%43%4f%4e");
    EXPECT_EQ(pathutil::encodeFileNameWin("Com1"), "%43%6f%6d%31");
    EXPECT_EQ(pathutil::encodeFileNameWin("CON.txt"), "CON.txt");
}

TEST(DecodeFileNameWin, ReadsEscapesAsLatin1)
{
    EXPECT_EQ(pathutil::decodeFileNameWin("a%2Fb%2fc"), "a/b/c");
    EXPECT_EQ(pathutil::decodeFileNameWin("%e9"), u8("\xC3\xA9"));
    EXPECT_EQ(pathutil::decodeFileNameWin("x%00y"), "xy");
    EXPECT_EQ(pathutil::decodeFileNameWin("100%"), "100%");
    EXPECT_EQ(pathutil::decodeFileNameWin(u8("\xE6\x97\xA5")), u8("\xE6\x97\xA5"));
}

// Names from chats and backups can hold anything: both encodings must come
// back exactly, and the encoded form must always be one plain component.
TEST(FileNameEncodings, RoundTripAnyText)
{
    QStringList samples = {"", ".", "..", "...", "Com1", "con", "CLOCK$", "CON.txt", "%41", "%", "%%",
                           "a/b\\c", "../../etc/passwd", " lead and trail ", "tab\there\nnew",
                           u8("\xE6\x97\xA5\xE6\x9C\xAC"), u8("\xF0\x9F\x98\x80 emoji"), u8("\xC3\xA9t\xC3\xA9"),
                           QString(QChar(0xFFFD))};
    QRandomGenerator rng(20240101);
    for (int i = 0; i < 300; ++i) {
        QString s;
        const int len = rng.bounded(12);
        for (int j = 0; j < len; ++j) {
            switch (rng.bounded(4)) {
            case 0: s += QChar(char16_t(1 + rng.bounded(0x7F))); break;
            case 1: s += QChar(char16_t(0x80 + rng.bounded(0x780))); break;
            case 2: s += QChar(char16_t(0x3000 + rng.bounded(0x6000))); break;
            default: {
                const char32_t cp = 0x10000 + rng.bounded(0x10000);
                s += QChar(QChar::highSurrogate(cp));
                s += QChar(QChar::lowSurrogate(cp));
                break;
            }
            }
        }
        samples << s;
    }
    for (const QString& s : samples) {
        SCOPED_TRACE(s.toStdString());
        const QString enc = pathutil::encodeFileName(s);
        EXPECT_EQ(pathutil::decodeFileName(enc), s);
        EXPECT_FALSE(enc.contains('/'));
        for (const QChar c : enc)
            EXPECT_LT(c.unicode(), 0x80);
        EXPECT_EQ(pathutil::decodeFileNameWin(pathutil::encodeFileNameWin(s)), s);
        EXPECT_FALSE(pathutil::encodeFileNameWin(s).contains('/'));
    }
}

TEST(RxReplace, ReplacesEveryMatchAndKeepsTheTextBetween)
{
    const QRegularExpression digits("([0-9]+)");
    const auto wrap = [](const QRegularExpressionMatch& m) { return '<' + m.captured(1) + '>'; };
    EXPECT_EQ(rx_replace(QString("a1bb22c"), digits, wrap), "a<1>bb<22>c");
    EXPECT_EQ(rx_replace(QString("12"), digits, wrap), "<12>");
    EXPECT_EQ(rx_replace(QString("none"), digits, wrap), "none");
    EXPECT_EQ(rx_replace(QString(), digits, wrap), "");
    EXPECT_EQ(rx_replace(QString("1a2"), QRegularExpression("([0-9])"), pathutil::encodeFileNameWinHandler),
              "%31a%32");
    // An expression that matches empty text still ends.
    EXPECT_EQ(rx_replace(QString("ab"), QRegularExpression("(x*)"), wrap), "<>a<>b<>");
}

TEST(SysDataDir, IsTheDataLocation)
{
    EXPECT_TRUE(pathutil::sysDataDir().isAbsolute());
    EXPECT_EQ(pathutil::sysDataDir().absolutePath(), g_osAppDir().absolutePath());
}

TEST(Open, StartsTheOpenerWithThePathAsOneArgument)
{
    OpenRecorder recorder;
    ASSERT_TRUE(recorder.isValid());
    const QString path = u8("/x/it's \"quoted\" $(touch pwned) \xE6\x97\xA5");
    pathutil::open(path);
    EXPECT_EQ(recorder.takeArguments(), QStringList{path});
}

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

TEST_F(TreeTest, CprCopiesTheTreeWithoutHiddenEntries)
{
    QString error;
    EXPECT_TRUE(pathutil::cpr(src(), QDir(dst()), &error)) << error.toStdString();
    EXPECT_EQ(contents(dst() + "/src/a.txt"), "A");
    EXPECT_EQ(contents(dst() + "/src/sub/b.txt"), "B");
    EXPECT_EQ(contents(dst() + "/src/sub/deeper/c.txt"), "C");
    EXPECT_FALSE(QFileInfo::exists(dst() + "/src/.hidden"));

    // A single file, through the QFileInfo form.
    EXPECT_TRUE(pathutil::cpr(QFileInfo(src() + "/a.txt"), QDir(dst() + "/one")));
    EXPECT_EQ(contents(dst() + "/one/a.txt"), "A");
}

TEST_F(TreeTest, CprKeepsExistingFilesAndSkipsWhatIsNotThere)
{
    ASSERT_TRUE(QDir().mkpath(dst()));
    touch(dst() + "/a.txt", "OLD");
    EXPECT_TRUE(pathutil::cpr(src() + "/a.txt", QDir(dst())));
    EXPECT_EQ(contents(dst() + "/a.txt"), "OLD");

    EXPECT_TRUE(pathutil::cpr(dir.filePath("missing"), QDir(dst())));
    ASSERT_TRUE(QDir().mkpath(src() + "/empty"));
    EXPECT_TRUE(pathutil::cpr(src() + "/empty", QDir(dst())));
    EXPECT_FALSE(QFileInfo::exists(dst() + "/empty")); // an empty folder is not reproduced
}

TEST_F(TreeTest, CprReportsAFailedCopy)
{
    touch(dir.filePath("blocker"));
    QString error;
    // The target cannot be created below a plain file.
    EXPECT_FALSE(pathutil::cpr(src(), QDir(dir.filePath("blocker/below")), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(pathutil::cpr(src() + "/a.txt", QDir(dir.filePath("blocker/below")), nullptr));
}

TEST_F(TreeTest, CprSkipsLinksEndsOnLoopsAndRefusesToCopyIntoItself)
{
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), src() + "/out"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep/precious.txt"), src() + "/precious.txt"));
    ASSERT_TRUE(QFile::link(src(), src() + "/sub/loop"));
    ASSERT_TRUE(QDir().mkpath(dst()));
    // A link in the target is never written through.
    ASSERT_TRUE(QFile::link(outside.filePath("written-through"), dst() + "/a.txt"));

    EXPECT_TRUE(pathutil::cpr(src(), QDir(dst())));
    EXPECT_EQ(contents(dst() + "/src/sub/b.txt"), "B");
    EXPECT_FALSE(QFileInfo::exists(dst() + "/src/out"));
    EXPECT_FALSE(QFileInfo::exists(dst() + "/src/precious.txt"));
    EXPECT_FALSE(QFileInfo::exists(dst() + "/src/sub/loop"));
    EXPECT_TRUE(pathutil::cpr(src() + "/a.txt", QDir(dst())));
    EXPECT_FALSE(QFileInfo::exists(outside.filePath("written-through")));

    QString error;
    EXPECT_FALSE(pathutil::cpr(src(), QDir(src() + "/sub"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(src() + "/sub/src"));
    EXPECT_FALSE(pathutil::cpr(src(), QDir(src())));
    // A sibling whose name merely starts the same is fine.
    EXPECT_TRUE(pathutil::cpr(src() + "/sub", QDir(src() + "/sub2")));
    EXPECT_EQ(contents(src() + "/sub2/sub/b.txt"), "B");
}

} // namespace
