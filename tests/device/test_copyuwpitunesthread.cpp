#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/copyuwpitunesthread.h"
#include "foundation/progressform.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;

int runCopy(const QString& source, bool cleanFirst)
{
    ModalDriver driver; // answers the error notice of a failed copy
    driver.answer(QMessageBox::Ok);
    ProgressForm form("copy");
    CopyUWPItunesThread thread(source, cleanFirst, form);
    const int result = form.runWorker(thread);
    form.waitForThread(thread, false);
    return result;
}

TEST(CopyUWPItunesThread, CopiesOnceSkipsHiddenAndLinksAndMarksOnlyAWholeCopy)
{
    QTemporaryDir outside;
    const QString src = outside.filePath("iTunes");
    const char* files[][2] = {{"iTunes/a.txt", "A"}, {"iTunes/sub/b.txt", "B"}, {"iTunes/.hidden", "H"},
                              {"secret/s.txt", "S"}};
    for (const auto& [file, content] : files)
        ASSERT_TRUE(testenv::writeFile(outside.filePath(file), content));
    ASSERT_TRUE(QFile::link(outside.filePath("secret"), src + "/sub/out"));
    const QDir copy = CopyUWPItunesThread::uwpItunesSaveDir(src);
    const QString mark = copy.filePath("__CopyUWPItunesThread");
    ASSERT_EQ(runCopy(src, true), 1);
    EXPECT_EQ(simFilesBelow(copy.path()), (QStringList {"__CopyUWPItunesThread", "a.txt", "sub/b.txt"}));

    // A second run copies only what is missing.
    ASSERT_TRUE(testenv::writeFile(src + "/a.txt", "changed"));
    ASSERT_TRUE(QFile::remove(copy.filePath("sub/b.txt")) && QFile::remove(mark));
    ASSERT_EQ(runCopy(src, false), 1);
    EXPECT_EQ(readFile(copy.filePath("a.txt")) + readFile(copy.filePath("sub/b.txt")), "AB");
    EXPECT_TRUE(CopyUWPItunesThread::isUWPItunesCopied(copy));

    // A copy that fails half-way is not marked as done.
    ASSERT_TRUE(QFile::remove(mark) && QDir(copy.filePath("sub")).removeRecursively());
    ASSERT_TRUE(testenv::writeFile(copy.filePath("sub"), "in the way"));
    EXPECT_EQ(runCopy(src, false), 0);
    EXPECT_FALSE(CopyUWPItunesThread::isUWPItunesCopied(copy));

    // Deleting keeps hidden entries (and their folders) and never enters a link.
    ASSERT_TRUE(QFile::remove(copy.filePath("sub")) && testenv::writeFile(copy.filePath("sub/.keep"), "K"));
    ASSERT_TRUE(QFile::link(outside.filePath("secret"), copy.filePath("out")));
    delDirCascade(copy.absolutePath());
    EXPECT_EQ(simFilesBelow(copy.path()), QStringList {"sub/.keep"});
    EXPECT_EQ(readFile(outside.filePath("secret/s.txt")), "S");
}

} // namespace
