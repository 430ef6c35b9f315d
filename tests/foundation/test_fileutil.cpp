#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/fileutil.h"
#include "foundation/pathutil.h"

namespace {

TEST(FileUtil, FreeNamesDigestsAndHtml)
{
    QTemporaryDir dir;
    for (const char* taken : {"photo.jpg", "photo(1).jpg", "x.tar.gz", "README", "a%1b/in-a-folder"})
        ASSERT_TRUE(testenv::writeFile(dir.filePath(taken), "x"));
    // A dangling link counts as taken: writing through it would land elsewhere.
    ASSERT_TRUE(QFile::link(dir.filePath("nowhere"), dir.filePath("out.txt")));
    const std::pair<const char*, const char*> free[] = {
        {"new.jpg", "new.jpg"}, {"photo.jpg", "photo(2).jpg"}, {"x.tar.gz", "x(1).gz"},
        {"README", "README(1)"}, {"a%1b", "a%1b(1)"}, {"out.txt", "out(1).txt"}};
    for (const auto& [name, result] : free)
        EXPECT_EQ(g_getValidFilePath(dir.filePath(name)), dir.filePath(result)) << name;

    EXPECT_EQ(g_formatFileName(QString::fromUtf8(" a\\b/c:d*e?f\"g<h>i|j\nk\rl\tm \xE6\x97\xA5 ")),
              QString::fromUtf8("abcdefghijklm \xE6\x97\xA5"));
    EXPECT_EQ(htmlEncode("a<b & c\nd\"e' &amp;>"), "a&lt;b &amp; c<br/>d\"e' &amp;amp;&gt;");
    EXPECT_EQ(g_md5(QByteArray("abc"), true), "90015098-3cd2-4fb0-d696-3f7d28e17f72"); // RFC 1321
    EXPECT_EQ(g_md5(QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC")), "4dbed2e657457884e67137d3514119b3");
}

TEST(FileUtil, DeletingAFolderRemovesLinksAsLinksAndKeepsHiddenEntries)
{
    QTemporaryDir dir, outside;
    const QString tree = dir.filePath("tree");
    for (const char* rel : {"a.txt", "sub/b.txt", "sub/deeper/c.txt", "sub/.hidden"})
        ASSERT_TRUE(testenv::writeFile(tree + '/' + rel, "x"));
    ASSERT_TRUE(testenv::writeFile(outside.filePath("keep/precious.txt"), "P"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), tree + "/sub/dirlink"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep/precious.txt"), tree + "/filelink"));
    ASSERT_TRUE(QFile::link(tree + "/gone", tree + "/dangling"));
    ASSERT_TRUE(QFile::link(tree, tree + "/sub/loop"));
    pathutil::rmpath(tree);
    EXPECT_EQ(QDir(tree).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList{"sub"});
    EXPECT_EQ(QDir(tree + "/sub").entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList{".hidden"});
    ASSERT_TRUE(QFile::remove(tree + "/sub/.hidden"));
    g_delDirCascade(tree);
    EXPECT_FALSE(QFileInfo::exists(tree));
    // A link given as the folder loses only the link.
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), dir.filePath("link")));
    g_delDirCascade(dir.filePath("link"));
    EXPECT_FALSE(QFileInfo(dir.filePath("link")).isSymLink());
    EXPECT_EQ(testenv::readFile(outside.filePath("keep/precious.txt")), "P");
}

// The system opener is pointed at a script that records its arguments, one
// NUL after each, so that blanks, quotes and line feeds arrive intact.
TEST(FileUtil, ThePathOrLinkReachesTheOpenerAsItsOnlyArgumentUntouched)
{
    QTemporaryDir dir;
    const QString script = dir.filePath("opener.sh"), record = dir.filePath("args");
    ASSERT_TRUE(testenv::writeFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + QFile::encodeName(record)
                                               + ".tmp' && mv '" + QFile::encodeName(record) + ".tmp' '" + QFile::encodeName(record) + "'\n"));
    QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    qputenv("CHATFERRY_OPENER", QFile::encodeName(script));
    for (const QString& target : {QString::fromUtf8("/tmp/a b/\"q\" 'x' $HOME `id` ; * \xE6\x97\xA5\n.txt"),
                                  QStringLiteral("https://example.com/a?b=1&c=$(id)#x")}) {
        if (target.startsWith("https"))
            g_openLink(target);
        else
            pathutil::open(target);
        for (QDeadlineTimer deadline(60000); !QFile::exists(record) && !deadline.hasExpired();)
            QThread::msleep(10);
        EXPECT_EQ(testenv::readFile(record), target.toUtf8() + '\0');
        QFile::remove(record);
    }
    qunsetenv("CHATFERRY_OPENER");
}

} // namespace
