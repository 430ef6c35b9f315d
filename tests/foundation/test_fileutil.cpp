#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/openrecorder.h"

#include "foundation/fileutil.h"

namespace {

void touch(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

TEST(GetValidFilePath, FreePathsStayAndTakenOnesGetTheFirstFreeNumber)
{
    QTemporaryDir dir;
    const QString photo = dir.filePath("photo.jpg");
    EXPECT_EQ(g_getValidFilePath(photo), photo);
    touch(photo);
    touch(dir.filePath("photo(1).jpg"));
    EXPECT_EQ(g_getValidFilePath(photo), dir.filePath("photo(2).jpg"));
    // Between the first and last dot is dropped.
    touch(dir.filePath("x.tar.gz"));
    EXPECT_EQ(g_getValidFilePath(dir.filePath("x.tar.gz")), dir.filePath("x(1).gz"));
    touch(dir.filePath("README"));
    EXPECT_EQ(g_getValidFilePath(dir.filePath("README")), dir.filePath("README(1)"));
    // Folders and dangling links count as taken; a placeholder in the name is
    // not substituted.
    ASSERT_TRUE(QDir(dir.path()).mkdir("a%1b"));
    EXPECT_EQ(g_getValidFilePath(dir.filePath("a%1b")), dir.filePath("a%1b(1)"));
    ASSERT_TRUE(QFile::link(dir.filePath("nowhere"), dir.filePath("out.txt")));
    EXPECT_EQ(g_getValidFilePath(dir.filePath("out.txt")), dir.filePath("out(1).txt"));
}

TEST(FileUtil, NamesHtmlAndDigests)
{
    EXPECT_EQ(g_formatFileName(QString::fromUtf8(" a\\b/c:d*e?f\"g<h>i|j\nk\rl\tm \xE6\x97\xA5 ")), QString::fromUtf8("abcdefghijklm \xE6\x97\xA5"));
    // Escaped in order; quotes stay.
    EXPECT_EQ(htmlEncode("a<b & c\nd\"e' &amp;>"), "a&lt;b &amp; c<br/>d\"e' &amp;amp;&gt;");
    // RFC 1321 values; text is hashed as UTF-8 (value from Python's hashlib).
    EXPECT_EQ(g_md5(QByteArray("abc"), false), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(g_md5(QByteArray("abc"), true), "90015098-3cd2-4fb0-d696-3f7d28e17f72");
    EXPECT_EQ(g_md5(QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC")), "4dbed2e657457884e67137d3514119b3");
}

class DelDirCascadeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(tree() + "/sub/deeper"));
        touch(tree() + "/a.txt");
        touch(tree() + "/sub/b.txt");
        touch(tree() + "/sub/deeper/c.txt");
        ASSERT_TRUE(QDir().mkpath(outside.filePath("keep")));
        touch(outside.filePath("keep/precious.txt"));
        touch(outside.filePath("file.txt"));
    }
    QString tree() const { return dir.filePath("tree"); }
    QTemporaryDir dir;
    QTemporaryDir outside;
};

TEST_F(DelDirCascadeTest, DeletesAllButHiddenEntriesAndTheirFolders)
{
    g_delDirCascade(dir.filePath("missing"));
    g_delDirCascade(QString());
    EXPECT_TRUE(QFileInfo::exists(tree() + "/a.txt"));

    touch(tree() + "/sub/.hidden");
    g_delDirCascade(tree());
    EXPECT_TRUE(QFileInfo::exists(tree() + "/sub/.hidden"));
    EXPECT_FALSE(QFileInfo::exists(tree() + "/a.txt"));
    EXPECT_FALSE(QFileInfo::exists(tree() + "/sub/b.txt"));
    EXPECT_FALSE(QFileInfo::exists(tree() + "/sub/deeper"));

    ASSERT_TRUE(QFile::remove(tree() + "/sub/.hidden"));
    g_delDirCascade(tree());
    EXPECT_FALSE(QFileInfo::exists(tree()));
}

TEST_F(DelDirCascadeTest, LinksAreRemovedAsLinksAndNeverEntered)
{
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), tree() + "/sub/dirlink"));
    ASSERT_TRUE(QFile::link(outside.filePath("file.txt"), tree() + "/filelink"));
    ASSERT_TRUE(QFile::link(tree() + "/gone", tree() + "/dangling"));
    ASSERT_TRUE(QFile::link(tree(), tree() + "/sub/loop"));
    g_delDirCascade(tree());
    EXPECT_FALSE(QFileInfo(tree()).exists() || QFileInfo(tree()).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(outside.filePath("keep/precious.txt")));
    EXPECT_TRUE(QFileInfo::exists(outside.filePath("file.txt")));

    // A link given as the folder loses only the link.
    const QString link = dir.filePath("link");
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), link));
    g_delDirCascade(link);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(outside.filePath("keep/precious.txt")));
}

TEST(OpenWithSystem, ThePathOrLinkArrivesAsTheOnlyArgumentUntouched)
{
    OpenRecorder recorder;
    ASSERT_TRUE(recorder.isValid());
    const QString nasty = QString::fromUtf8("/tmp/a b/\"q\" 'x' $HOME `id` ; * \xE6\x97\xA5\n.txt");
    g_openFileOrFolder(nasty);
    EXPECT_EQ(recorder.takeArguments(), QStringList{nasty});
    const QString url = QStringLiteral("https://example.com/a?b=1&c=$(id)#x");
    g_openLink(url);
    EXPECT_EQ(recorder.takeArguments(), QStringList{url});
}

} // namespace
