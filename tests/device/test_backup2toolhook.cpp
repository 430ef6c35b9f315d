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
        const char* files[][2] = {{"u/ab/f.txt", "abc"}, {"u/.hidden", "h"}, {"u/sub/deep/d.txt", "D"},
                                  {"u/copy/deep/d.txt", "old"}};
        for (const auto& [file, content] : files)
            ASSERT_TRUE(testenv::writeFile(at(file), content));
        ASSERT_TRUE(testenv::writeFile(outside.filePath("v.txt"), "precious"));
        for (const char* link : {"u/out", "u/link"})
            ASSERT_TRUE(QFile::link(outside.path(), at(link)));
        ASSERT_TRUE(QFile::link(outside.filePath("v.txt"), at("u/outfile")));
    }
    QString at(const QString& rel) const { return root.filePath(rel); }
    void expectOutsideUntouched()
    {
        EXPECT_EQ(simFilesBelow(outside.path()), QStringList {"v.txt"});
        EXPECT_EQ(readFile(outside.filePath("v.txt")), "precious");
    }

    QTemporaryDir root, outside;
    QDir rootDir {root.path()};
    Backup2ToolHook hook;
    QString error;
};

TEST_F(HookTest, CopyRecursiveReplacesFilesAndRefusesMismatchedKinds)
{
    const struct { const char *from, *to, *error; } cases[] = {
        {"u/ab/f.txt", "u/sub", "Destination is a folder."},
        {"u/sub", "u/ab/f.txt", "Destination is a file."},
        {"u/sub", "u/sub/deep/in", "Destination lies inside the source."},
        {"u/ab/f.txt", "u/ab/f.txt", "Destination lies inside the source."},
        {"u/missing", "u/none", ""},
        {"u/sub", "u/copy", ""},
        {"u/sub", "u/link", ""}, // a link at the destination is replaced, not entered
        {"u", "u2", ""},
    };
    for (const auto& c : cases) {
        error.clear();
        EXPECT_EQ(copy_recursive(at(c.from), at(c.to), error), *c.error ? 14 : 0) << c.from << " " << c.to;
        EXPECT_EQ(error, c.error) << c.from << " " << c.to;
    }
    EXPECT_EQ(readFile(at("u/copy/deep/d.txt")) + readFile(at("u/link/deep/d.txt")) + readFile(at("u/ab/f.txt")), "DDabc");
    // Links in the source are skipped, hidden files are not copied.
    const QStringList copied {"ab/f.txt", "copy/deep/d.txt", "link/deep/d.txt", "sub/deep/d.txt"};
    EXPECT_EQ(simFilesBelow(at("u2")), copied);
    expectOutsideUntouched();
}

TEST_F(HookTest, HostilePathsAreRefusedInEveryOperationAndNothingOutsideChanges)
{
    for (const QString bad : {"../x", "u/../../x", "u/ab/../f", "/etc/passwd", "", "u/out/v.txt", "u/out", "u/outfile"}) {
        QFile file;
        error.clear();
        EXPECT_EQ(hook.recvFileOpenWrite(rootDir, bad, file, error), Backup2ToolHook::RefusedPath) << bad.toStdString();
        EXPECT_FALSE(file.isOpen() || error.isEmpty());
        const QList<int> results {hook.moveFile(rootDir, bad, "u/stolen", error),
                                  hook.moveFile(rootDir, "u/ab/f.txt", bad, error),
                                  hook.copyFile(rootDir, bad, "u/stolen", error),
                                  hook.copyFile(rootDir, "u/ab", bad, error),
                                  hook.removeFile(rootDir, bad, error),
                                  hook.mkdir(rootDir, bad + "/new", error)};
        EXPECT_EQ(results, QList<int>(6, Backup2ToolHook::RefusedPath)) << bad.toStdString();
        EXPECT_TRUE(hook.dirContents(rootDir, bad).isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(at("u/stolen")));
    // The engine's check that a path lies in the device's own folder.
    EXPECT_EQ(Backup2ToolHook::localPath(rootDir, "u//ab/", &error, "u"), at("u/ab"));
    EXPECT_EQ(Backup2ToolHook::localPath(rootDir, "u", &error, "u"), at("u"));
    for (const char* other : {"v/ab", "uu/ab", "ab"})
        EXPECT_TRUE(Backup2ToolHook::localPath(rootDir, other, &error, "u").isEmpty()) << other;
    // A move onto its own parent would clear the source before renaming it.
    for (const auto& [from, to] : {std::pair {"u/sub/deep", "u/sub"}, {"u/sub", "u/sub/deep/x"}})
        EXPECT_EQ(hook.moveFile(rootDir, from, to, error), QFileDevice::RenameError) << from;
    EXPECT_EQ(readFile(at("u/sub/deep/d.txt")), "D");
    rmdir_recursive(at("u"));
    expectOutsideUntouched();
}

} // namespace
