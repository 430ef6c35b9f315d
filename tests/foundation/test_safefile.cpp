#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "foundation/safefile.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace {

TEST(SafeFile, RelativePathsThatLeaveTheirFolderAreRefused)
{
    const struct {
        const char* in;
        const char* out; // nullptr: refused
    } cases[] = {
        {"a/b.txt", "a/b.txt"}, {"a//./b/", "a/b"}, {"./x", "x"},     {"", nullptr},           {".//.", nullptr},
        {"..", nullptr},        {"a/../b", nullptr}, {"a/..", nullptr}, {"/etc/passwd", nullptr},
    };
    for (const auto& c : cases) {
        QString out = "untouched";
        EXPECT_EQ(safefile::cleanRelativePath(QString::fromUtf8(c.in), &out), c.out != nullptr) << c.in;
        EXPECT_EQ(out, c.out ? QString(c.out) : QString("untouched")) << c.in;
    }
    QString out;
    EXPECT_FALSE(safefile::cleanRelativePath(QString("a") + QChar(0) + "b", &out));
    EXPECT_FALSE(safefile::cleanRelativePath("a/b/c", &out, 2));
}

TEST(SafeFile, LinksOnTheWayAndSpecialFilesAreRefused)
{
    QTemporaryDir root, outside;
    ASSERT_TRUE(testenv::writeFile(outside.filePath("f"), "outside"));
    ASSERT_TRUE(QDir(root.path()).mkpath("in/deep"));
    ASSERT_TRUE(QFile::link(outside.path(), root.filePath("in/out")));
    ASSERT_TRUE(QFile::link(outside.filePath("f"), root.filePath("in/f")));
    EXPECT_EQ(safefile::resolveInside(root.path(), "in/deep/new"), root.path() + "/in/deep/new");
    QString error;
    EXPECT_TRUE(safefile::resolveInside(root.path(), "in/out/x", &error).isEmpty());
    EXPECT_TRUE(error.contains("link")) << error.toStdString();
    EXPECT_TRUE(safefile::resolveInside(root.path(), "in/f").isEmpty());
    EXPECT_TRUE(safefile::resolveInside(root.path(), "../x").isEmpty());

    QFile file;
    EXPECT_FALSE(safefile::openRegular(file, root.filePath("in/f"), QIODevice::ReadOnly, &error));
    EXPECT_FALSE(safefile::isRegularFile(root.filePath("in/f")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(root.filePath("fifo")).constData(), 0600), 0);
    // Would block forever in open() if the FIFO were opened plainly.
    EXPECT_FALSE(safefile::openRegular(file, root.filePath("fifo"), QIODevice::ReadOnly, &error));
    EXPECT_FALSE(safefile::openRegular(file, root.filePath("in"), QIODevice::ReadOnly, &error));
    ASSERT_TRUE(safefile::openRegular(file, root.filePath("in/f"), QIODevice::ReadOnly, &error, true));
    EXPECT_EQ(file.readAll(), "outside");
}

TEST(SafeFile, ConfinementFollowsLinksOnlyWhereTheyStayInside)
{
    // "box2" beside "box" starts with the same text but is outside it.
    QTemporaryDir top;
    const QString root = top.filePath("box"), real = QFileInfo(top.path()).canonicalFilePath() + "/box";
    ASSERT_TRUE(QDir().mkpath(root + "/in/deep") && QDir().mkpath(root + "2"));
    const std::pair<const char*, QString> links[] = {
        {"in/up", real + "/in/deep"}, {"in/out", real + "2"}, {"in/file-out", real + "2/f"}, {"in/dangling", real + "2/none"}};
    for (const auto& [link, target] : links)
        ASSERT_TRUE(QFile::link(target, root + '/' + link)) << link;
    ASSERT_TRUE(testenv::writeFile(real + "2/f", "outside"));
    safefile::Confinement box(root);
    const std::pair<const char*, QString> cases[] = {
        {"in/deep/x", real + "/in/deep/x"}, {"in/up/x", real + "/in/deep/x"}, {"in/up", real + "/in/deep"},
        {"new/dir/x", real + "/new/dir/x"}, {"in/out/x", ""}, {"in/out/new/x", ""}, {"in/file-out", ""},
        {"in/dangling", ""}, {"in/../in/x", ""}};
    for (int round = 0; round < 2; ++round) { // the second from remembered folders
        for (const auto& [rel, result] : cases)
            EXPECT_EQ(box.realPath(root + '/' + rel), result) << rel;
    }
    QString error;
    EXPECT_TRUE(box.realPath(root + "2/f", &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(SafeFile, AtomicFileAppearsWholeAndReplacesALinkInsteadOfWritingThroughIt)
{
    QTemporaryDir dir, outside;
    const QString victim = outside.filePath("victim"), target = dir.filePath("out.bin");
    ASSERT_TRUE(testenv::writeFile(victim, "precious"));
    ASSERT_TRUE(QFile::link(victim, target));
    {
        safefile::AtomicFile file(target, 0600);
        ASSERT_TRUE(file.open());
        file.file().write("new");
        EXPECT_TRUE(QFileInfo(target).isSymLink()); // nothing visible before commit
        QString error;
        ASSERT_TRUE(file.commit(&error)) << error.toStdString();
    }
    EXPECT_FALSE(QFileInfo(target).isSymLink());
    EXPECT_EQ(testenv::readFile(target), "new");
    EXPECT_EQ(testenv::readFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    {
        safefile::AtomicFile dropped(target);
        ASSERT_TRUE(dropped.open());
        dropped.file().write("half");
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"out.bin"});
    safefile::AtomicFile nowhere(dir.filePath("missing/x"));
    QString error;
    EXPECT_FALSE(nowhere.open(&error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
