#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "foundation/safefile.h"
#include "tests/support/gtest_qt.h"

namespace {

TEST(SafeFile, RelativePathsThatLeaveTheirFolderAreRefused)
{
    const struct {
        const char* in;
        const char* out; // nullptr: refused
    } cases[] = {
        {"a/b.txt", "a/b.txt"}, {"a//./b/", "a/b"}, {"./x", "x"},
        {"", nullptr}, {".", nullptr}, {".//.", nullptr}, {"..", nullptr}, {"a/../b", nullptr},
        {"/etc/passwd", nullptr}, {"a/..", nullptr},
    };
    for (const auto& c : cases) {
        QString out = "untouched";
        const bool ok = safefile::cleanRelativePath(QString::fromUtf8(c.in), &out);
        EXPECT_EQ(ok, c.out != nullptr) << c.in;
        EXPECT_EQ(out, c.out ? QString(c.out) : QString("untouched")) << c.in;
    }
    QString out;
    EXPECT_FALSE(safefile::cleanRelativePath(QString("a") + QChar(0) + "b", &out));
    EXPECT_FALSE(safefile::cleanRelativePath("a/b/c", &out, 2));
}

TEST(SafeFile, LinksOnTheWayAndSpecialFilesAreRefused)
{
    QTemporaryDir root, outside;
    ASSERT_TRUE(QDir(root.path()).mkpath("in/deep"));
    ASSERT_TRUE(QFile::link(outside.path(), root.filePath("in/out")));
    ASSERT_TRUE(QFile::link(outside.filePath("f"), root.filePath("in/f")));
    EXPECT_EQ(safefile::resolveInside(root.path(), "in/deep/new"), root.path() + "/in/deep/new");
    QString error;
    EXPECT_TRUE(safefile::resolveInside(root.path(), "in/out/x", &error).isEmpty());
    EXPECT_TRUE(error.contains("link")) << error.toStdString();
    EXPECT_TRUE(safefile::resolveInside(root.path(), "in/f").isEmpty());
    EXPECT_TRUE(safefile::resolveInside(root.path(), "../x").isEmpty());

    {
        QFile target(outside.filePath("f"));
        ASSERT_TRUE(target.open(QIODevice::WriteOnly));
        target.write("outside");
    }
    QFile file;
    EXPECT_FALSE(safefile::openRegular(file, root.filePath("in/f"), QIODevice::ReadOnly, &error));
    EXPECT_FALSE(safefile::isRegularFile(root.filePath("in/f")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(root.filePath("fifo")).constData(), 0600), 0);
    // Would block forever in open() if the FIFO were opened plainly.
    EXPECT_FALSE(safefile::openRegular(file, root.filePath("fifo"), QIODevice::ReadOnly, &error));
    EXPECT_FALSE(safefile::openRegular(file, root.filePath("in"), QIODevice::ReadOnly, &error));
    ASSERT_TRUE(safefile::openRegular(file, outside.filePath("f"), QIODevice::ReadOnly, &error)) << error.toStdString();
    EXPECT_EQ(file.readAll(), "outside");
}

TEST(SafeFile, ConfinementFollowsLinksOnlyWhereTheyStayInside)
{
    QTemporaryDir root, outside;
    ASSERT_TRUE(QDir(root.path()).mkpath("in/deep"));
    const QString real = QFileInfo(root.path()).canonicalFilePath(), out = QFileInfo(outside.path()).canonicalFilePath();
    const struct {
        const char* link;
        QString target;
    } links[] = {{"in/up", real + "/in/deep"}, {"in/out", out}, {"in/file-out", out + "/f"}, {"in/dangling", out + "/none"}};
    for (const auto& l : links)
        ASSERT_TRUE(QFile::link(l.target, root.filePath(l.link))) << l.link;
    safefile::Confinement box(root.path());
    const struct {
        const char* rel;
        QString real; // empty: refused
    } cases[] = {
        {"in/deep/x", real + "/in/deep/x"}, {"in/up/x", real + "/in/deep/x"},  {"in/up", real + "/in/deep"},
        {"new/dir/x", real + "/new/dir/x"}, {"in/out/x", ""},                  {"in/out/new/x", ""},
        {"in/file-out", ""},                {"in/dangling", ""},               {"in/../in/x", ""},
    };
    for (int round = 0; round < 2; ++round) { // the second from remembered folders
        for (const auto& c : cases)
            EXPECT_EQ(box.realPath(root.filePath(c.rel)), c.real) << c.rel;
    }
    QString error;
    EXPECT_TRUE(box.realPath(outside.filePath("f"), &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(SafeFile, AtomicFileAppearsWholeAndReplacesALinkInsteadOfWritingThroughIt)
{
    QTemporaryDir dir, outside;
    const QString victim = outside.filePath("victim");
    {
        QFile f(victim);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    const QString target = dir.filePath("out.bin");
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
    QFile check(target);
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), "new");
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    QFile original(victim);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    EXPECT_EQ(original.readAll(), "precious");
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
