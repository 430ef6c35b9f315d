#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/backup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace {

void put(const QString& path, const QByteArray& data)
{
    ASSERT_TRUE(testenv::writeFile(path, data)) << path.toStdString();
}

using testenv::readFile;

class HookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        put(at("u/ab/f.txt"), "abc");
        put(at("u/.hidden"), "h");
        put(at("u/sub/deep/d.txt"), "D");
        put(outside.filePath("v.txt"), "precious");
        ASSERT_TRUE(QFile::link(outside.path(), at("u/out")));
        ASSERT_TRUE(QFile::link(outside.filePath("v.txt"), at("u/outfile")));
    }
    QString at(const QString& rel) const { return root.filePath(rel); }

    QTemporaryDir root, outside;
    QDir rootDir{root.path()};
    Backup2ToolHook hook;
    QString error;
};

TEST_F(HookTest, ListsReceivesMovesAndRemovesInsideTheBackup)
{
    put(at("u/ab/b/x"), "x");
    QStringList got;
    for (const auto& i : hook.dirContents(rootDir, "u/ab"))
        got << QString("%1 %2 %3 %4").arg(i.name).arg(i.type).arg(i.size).arg(i.mtime.toSecsSinceEpoch());
    got.sort();
    const auto real = [&](const char* rel) {
        const QFileInfo f(at(rel));
        return QString(" %1 %2").arg(f.size()).arg(f.lastModified().toSecsSinceEpoch());
    };
    EXPECT_EQ(got, (QStringList{"b 2" + real("u/ab/b"), "f.txt 1" + real("u/ab/f.txt")}));

    QFile file;
    ASSERT_EQ(hook.recvFileOpenWrite(rootDir, "u/cd/new", file, error), 0) << error.toStdString();
    file.write("data");
    file.close();
    EXPECT_EQ(hook.moveFile(rootDir, "u/missing", "u/cd/new", error), 0);
    EXPECT_EQ(hook.moveFile(rootDir, "u/cd/new", "u/sub", error), 0); // the folder in the way goes
    EXPECT_EQ(readFile(at("u/sub")), "data");
    EXPECT_EQ(hook.mkdir(rootDir, "u/x/y", error), 0);
    EXPECT_EQ(hook.moveFile(rootDir, "u/x", "u/z", error), 0);
    EXPECT_TRUE(QFileInfo(at("u/z/y")).isDir());
    EXPECT_EQ(hook.removeFile(rootDir, "u/ab", error) + hook.removeFile(rootDir, "u/ab", error), 0);
    EXPECT_FALSE(QFileInfo::exists(at("u/ab")));
}

TEST_F(HookTest, CopyRecursiveReplacesFilesAndRefusesMismatchedKinds)
{
    put(at("u/copy/deep/d.txt"), "old");
    ASSERT_TRUE(QFile::link(outside.path(), at("u/link")));
    const struct {
        const char *from, *to;
        int result;
        const char* error;
    } cases[] = {
        {"u/ab/f.txt", "u/sub", 14, "Destination is a folder."},
        {"u/sub", "u/ab/f.txt", 14, "Destination is a file."},
        {"u/sub", "u/sub/deep/in", 14, "Destination lies inside the source."},
        {"u/ab/f.txt", "u/ab/f.txt", 14, "Destination lies inside the source."},
        {"u/missing", "u/none", 0, ""},
        {"u/sub", "u/copy", 0, ""},
        {"u/sub", "u/link", 0, ""}, // a link at the destination is replaced, not entered
        {"u", "u2", 0, ""},
    };
    for (const auto& c : cases) {
        error.clear();
        EXPECT_EQ(copy_recursive(at(c.from), at(c.to), error), c.result) << c.from << " " << c.to;
        EXPECT_EQ(error, c.error) << c.from << " " << c.to;
    }
    EXPECT_EQ(readFile(at("u/copy/deep/d.txt")) + readFile(at("u/link/deep/d.txt")) + readFile(at("u/ab/f.txt")), "DDabc");
    EXPECT_FALSE(QFileInfo::exists(at("u/none")));
    // Links in the source are skipped, hidden files are not copied.
    EXPECT_EQ(QDir(at("u2")).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              (QStringList{"ab", "copy", "link", "sub"}));
}

TEST_F(HookTest, HostilePathsAreRefusedInEveryOperationAndNothingOutsideChanges)
{
    for (const char* bad : {"../x", "u/../../x", "u/ab/../f", "/etc/passwd", "", "u/out/v.txt", "u/out", "u/outfile"}) {
        SCOPED_TRACE(bad);
        QFile file;
        error.clear();
        EXPECT_EQ(hook.recvFileOpenWrite(rootDir, bad, file, error), Backup2ToolHook::RefusedPath);
        EXPECT_FALSE(file.isOpen() || error.isEmpty());
        EXPECT_EQ(hook.moveFile(rootDir, bad, "u/stolen", error), Backup2ToolHook::RefusedPath);
        EXPECT_EQ(hook.moveFile(rootDir, "u/ab/f.txt", bad, error), Backup2ToolHook::RefusedPath);
        EXPECT_EQ(hook.copyFile(rootDir, bad, "u/stolen", error), Backup2ToolHook::RefusedPath);
        EXPECT_EQ(hook.copyFile(rootDir, "u/ab", bad, error), Backup2ToolHook::RefusedPath);
        EXPECT_EQ(hook.removeFile(rootDir, bad, error), Backup2ToolHook::RefusedPath);
        EXPECT_EQ(hook.mkdir(rootDir, QString(bad) + "/new", error), Backup2ToolHook::RefusedPath);
        EXPECT_TRUE(hook.dirContents(rootDir, bad).isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(at("u/stolen")));
    // The engine's check that a path lies in the device's own folder.
    EXPECT_EQ(Backup2ToolHook::localPath(rootDir, "u//ab/", &error, "u"), at("u/ab"));
    EXPECT_EQ(Backup2ToolHook::localPath(rootDir, "u", &error, "u"), at("u"));
    for (const char* other : {"v/ab", "uu/ab", "ab"})
        EXPECT_TRUE(Backup2ToolHook::localPath(rootDir, other, &error, "u").isEmpty()) << other;

    // A move onto its own parent would clear the source before renaming it.
    EXPECT_EQ(hook.moveFile(rootDir, "u/sub/deep", "u/sub", error), QFileDevice::RenameError);
    EXPECT_EQ(hook.moveFile(rootDir, "u/sub", "u/sub/deep/x", error), QFileDevice::RenameError);
    EXPECT_EQ(readFile(at("u/sub/deep/d.txt")), "D");
    rmdir_recursive(at("u"));
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"v.txt"});
    EXPECT_EQ(readFile(outside.filePath("v.txt")), "precious");
}

} // namespace
