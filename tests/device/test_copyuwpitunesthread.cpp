#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/copyuwpitunesthread.h"
#include "foundation/progressform.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace {

void put(const QString& path, const QByteArray& data)
{
    ASSERT_TRUE(testenv::writeFile(path, data)) << path.toStdString();
}

using testenv::readFile;

int runCopy(const QString& source, bool cleanFirst)
{
    ProgressForm form("copy");
    CopyUWPItunesThread thread(source, cleanFirst, form);
    const int result = form.runWorker(thread);
    form.waitForThread(thread, false);
    return result;
}

TEST(CopyUWPItunesThread, CopiesOnceSkipsHiddenAndLinksAndMarksTheCopy)
{
    QTemporaryDir outside;
    const QString src = outside.filePath("iTunes");
    put(src + "/a.txt", "A");
    put(src + "/sub/b.txt", "B");
    put(src + "/.hidden", "H");
    put(outside.filePath("secret/s.txt"), "S");
    ASSERT_TRUE(QFile::link(outside.filePath("secret"), src + "/sub/out"));
    const QDir copy = CopyUWPItunesThread::uwpItunesSaveDir(src);
    const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    ASSERT_EQ(runCopy(src, true), 1);
    EXPECT_EQ(copy.entryList(all) + QDir(copy.filePath("sub")).entryList(all),
              (QStringList{"__CopyUWPItunesThread", "a.txt", "sub", "b.txt"}));

    // A second run copies only what is missing.
    put(src + "/a.txt", "changed");
    QFile::remove(copy.filePath("sub/b.txt"));
    QFile::remove(copy.filePath("__CopyUWPItunesThread"));
    ASSERT_EQ(runCopy(src, false), 1);
    EXPECT_EQ(readFile(copy.filePath("a.txt")) + readFile(copy.filePath("sub/b.txt")), "AB");
    EXPECT_TRUE(CopyUWPItunesThread::isUWPItunesCopied(copy));

    // Deleting keeps hidden entries (and their folders) and never enters a link.
    put(copy.filePath("sub/.keep"), "K");
    ASSERT_TRUE(QFile::link(outside.filePath("secret"), copy.filePath("out")));
    delDirCascade(copy.absolutePath());
    EXPECT_EQ(copy.entryList(all), QStringList{"sub"});
    EXPECT_EQ(readFile(outside.filePath("secret/s.txt")), "S");
}

} // namespace
