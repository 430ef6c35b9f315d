// The default hook of the mobilebackup2 engine on a real folder tree, with
// links out of it.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/backup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;

class HookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testenv::writeFile(at("u/ab/f.txt"), "abc") && testenv::writeFile(at("u/.hidden"), "h")
                    && testenv::writeFile(at("u/sub/deep/d.txt"), "D") && testenv::writeFile(outside.filePath("v.txt"), "precious")
                    && QFile::link(outside.path(), at("u/out")) && QFile::link(outside.filePath("v.txt"), at("u/outfile")));
    }
    QString at(const QString& rel) const { return root.filePath(rel); }

    QTemporaryDir root, outside;
    QDir rootDir {root.path()};
    Backup2ToolHook hook;
    QString error;
};

TEST_F(HookTest, CopyRecursiveReplacesFilesAndRefusesMismatchedKinds)
{
    ASSERT_TRUE(testenv::writeFile(at("u/copy/deep/d.txt"), "old") && QFile::link(outside.path(), at("u/link")));
    const struct { const char *from, *to; int result; const char* error; } cases[] = {
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
    // Links in the source are skipped, hidden files are not copied.
    EXPECT_EQ(simFilesBelow(at("u2")), (QStringList{"ab/f.txt", "copy/deep/d.txt", "link/deep/d.txt", "sub/deep/d.txt"}));
    EXPECT_EQ(simFilesBelow(outside.path()), QStringList{"v.txt"});
}

TEST_F(HookTest, HostilePathsAreRefusedInEveryOperationAndNothingOutsideChanges)
{
    for (const QString bad : {"../x", "u/../../x", "u/ab/../f", "/etc/passwd", "", "u/out/v.txt", "u/out", "u/outfile"}) {
        QFile file;
        error.clear();
        EXPECT_EQ(hook.recvFileOpenWrite(rootDir, bad, file, error), Backup2ToolHook::RefusedPath) << bad.toStdString();
        EXPECT_FALSE(file.isOpen() || error.isEmpty());
        const QList<int> results {hook.moveFile(rootDir, bad, "u/stolen", error), hook.moveFile(rootDir, "u/ab/f.txt", bad, error),
                                  hook.copyFile(rootDir, bad, "u/stolen", error), hook.copyFile(rootDir, "u/ab", bad, error),
                                  hook.removeFile(rootDir, bad, error), hook.mkdir(rootDir, bad + "/new", error)};
        EXPECT_EQ(results, QList<int>(6, Backup2ToolHook::RefusedPath)) << bad.toStdString();
        EXPECT_TRUE(hook.dirContents(rootDir, bad).isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(at("u/stolen")));
    // The engine's check that a path lies in the device's own folder.
    EXPECT_EQ(Backup2ToolHook::localPath(rootDir, "u//ab/", &error, "u") + Backup2ToolHook::localPath(rootDir, "u", &error, "u"), at("u/ab") + at("u"));
    for (const char* other : {"v/ab", "uu/ab", "ab"})
        EXPECT_TRUE(Backup2ToolHook::localPath(rootDir, other, &error, "u").isEmpty()) << other;
    // A move onto its own parent would clear the source before renaming it.
    EXPECT_EQ(hook.moveFile(rootDir, "u/sub/deep", "u/sub", error) + hook.moveFile(rootDir, "u/sub", "u/sub/deep/x", error), 2 * QFileDevice::RenameError);
    EXPECT_EQ(readFile(at("u/sub/deep/d.txt")), "D");
    rmdir_recursive(at("u"));
    EXPECT_EQ(simFilesBelow(outside.path()), QStringList{"v.txt"});
    EXPECT_EQ(readFile(outside.filePath("v.txt")), "precious");
}

} // namespace
