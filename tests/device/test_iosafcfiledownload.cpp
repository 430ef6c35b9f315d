// AFC downloads with the date cache, and uploads, against the simulated iPhone.
#include <QDirIterator>
#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "device/iosafcfiledownload.h"
#include "device/mobiledevice_afc.h"
#include "foundation/progressform.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

const QString kUdid = "00008030-00AFC0D0E0F01020";
using testenv::readFile;

TEST(BkCacheDb, MatchesDevicePathsExactlyAndKeepsDatesForTheNextObject)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("cache.db");
    {
        BkCacheDb cache(path);
        cache.setFileDate("/a_b", 5);
        cache.setFileDate("/A%", 7);
        cache.setFileDate("/a_b", 6);
    }
    BkCacheDb cache(path);
    const QList<QPair<QString, qint64>> rows = {{"/a_b", 6}, {"/axb", 0}, {"/A_B", 0}, {"/A%", 7}, {"/Ab", 0}};
    for (const auto& [name, secs] : rows)
        EXPECT_EQ(cache.fileDateSecs(name), secs) << name.toStdString();
    cache.remove("/a_b");
    EXPECT_EQ(cache.fileDateSecs("/a_b"), 0);

    ASSERT_TRUE(testenv::writeFile(dir.filePath("junk.db"), QByteArray(4096, 'x')));
    BkCacheDb junk(dir.filePath("junk.db")); // no cache: nothing is found, nothing throws
    junk.setFileDate("/x", 1);
    EXPECT_EQ(junk.fileDateSecs("/x"), 0);
}

class AfcCopy : public ::testing::Test
{
protected:
    void SetUp() override
    {
        phone.media = media.path();
        sim.attach(phone);
        ASSERT_TRUE(afc.startService());
    }
    void put(const QString& name, const QByteArray& bytes, qint64 mtime = 1600000000)
    {
        ASSERT_TRUE(testenv::writeFile(media.filePath(name), bytes));
        const timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(media.filePath(name)), times, 0), 0);
    }
    int opens(const QString& devicePath) const
    {
        return sim.requests().count("com.apple.afc:FileOpen " + devicePath);
    }
    QStringList localFiles() const
    {
        QStringList files;
        for (QDirIterator it(local.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            files.append(QDir(local.path()).relativeFilePath(it.next()));
        files.sort();
        return files;
    }

    QTemporaryDir media, local;
    SimIPhone sim;
    SimDevice phone{kUdid};
    mobiledevice_afc afc{kUdid};
    ProgressForm form{"copy"};
    const QString cachePath = local.filePath("dates.db");
};

TEST_F(AfcCopy, CacheSkipsOnlyUnchangedFilesWhoseCopyIsStillThere)
{
    put("DCIM/a%2.jpg", "one");
    const QString target = local.filePath("out/a.jpg");
    IOSAfcFileDownload down(cachePath, form);
    const auto step = [&](bool useCache, int opened, const QByteArray& content) {
        down.downloadFileThrow(afc, afc.fileInfo("/DCIM/a%2.jpg"), target, useCache);
        EXPECT_EQ(opens("/DCIM/a%2.jpg"), opened);
        EXPECT_EQ(readFile(target), content);
    };
    step(true, 1, "one");
    EXPECT_EQ(form.findChild<QLabel*>("lbProgress")->text(), "Loading a%2.jpg, 0KB / 0KB");
    step(true, 1, "one"); // unchanged
    step(false, 2, "one");
    put("DCIM/a%2.jpg", "two!", 1600000100);
    step(true, 3, "two!"); // changed on the phone
    step(true, 3, "two!"); // and its new date recorded
    QFile::remove(target);
    step(true, 4, "two!"); // the copy has gone
    ASSERT_TRUE(testenv::writeFile(target, "tw"));
    step(true, 5, "two!"); // the copy was cut
}

TEST_F(AfcCopy, CutFailedAndCancelledDownloadsKeepTheOldCopyAndRecordNoDate)
{
    QByteArray big(3 * IOSAfcFileDownload::kBufferSize + 5, 'b');
    const QString target = local.filePath("big.bin");
    const std::function<void(const QString&)> hooks[] = {
        nullptr, // the connection drops after the open and one block
        [&](const QString& r) { if (r == "com.apple.afc:FileOpen /big.bin") QFile::resize(media.filePath("big.bin"), 1000); },
        [&](const QString& r) { if (r == "com.apple.afc:FileRead") form.cancelled = true; },
    };
    for (int i = 0; i < 3; ++i) {
        put("big.bin", big);
        ASSERT_TRUE(testenv::writeFile(target, "old"));
        sim.edit(kUdid, [&](SimDevice& d) {
            d.onRequest = hooks[i];
            d.faults = {{SimFault::Drop, "com.apple.afc", i == 0 ? 3 : 1000}};
        });
        ASSERT_TRUE(afc.startService());
        form.cancelled = false;
        {
            IOSAfcFileDownload down(cachePath, form);
            if (i == 2)
                EXPECT_THROW(down.downloadFileThrow(afc, afc.fileInfo("/big.bin"), target, true), int);
            else
                EXPECT_THROW(down.downloadFileThrow(afc, afc.fileInfo("/big.bin"), target, true), std::runtime_error);
        }
        EXPECT_EQ(readFile(target), "old") << i;
        EXPECT_EQ(localFiles(), (QStringList{"big.bin", "dates.db"})) << i;
        EXPECT_EQ(BkCacheDb(cachePath).fileDateSecs("/big.bin"), 0) << i;
    }
}

TEST_F(AfcCopy, FolderTreesKeepEveryNameInsideTheirTarget)
{
    put("T/a:b.txt", "1");
    put("T/sub/c.txt", "2");
    put("T/.. /.. /evil", "x"); // names that clean to ".." would climb out
    put("T/.:.", "y");
    QDir().mkpath(media.filePath("T/empty"));
    put("Deep/" + QString("d/").repeated(IOSAfcFileDownload::kMaxDepth + 1) + "f", "z");
    IOSAfcFileDownload down(cachePath, form);
    down.downloadDirThrow(afc, afc.fileInfo("/T"), QDir(local.filePath("P/Q")), false);
    EXPECT_EQ(localFiles(), (QStringList{"P/Q/T/ab.txt", "P/Q/T/sub/c.txt"}));
    EXPECT_FALSE(QFileInfo::exists(local.filePath("P/Q/T/empty")));
    EXPECT_THROW(down.downloadDirThrow(afc, afc.fileInfo("/Deep"), QDir(local.path()), false), std::runtime_error);
}

TEST_F(AfcCopy, UploadsOverwriteOnlyWhenAskedAndNeverEmptyAFileForNothing)
{
    const struct
    {
        const char *localName, *devicePath, *before;
        bool overwrite, fails;
        const char* after;
    } cases[] = {
        {"new.txt", "/made/a.txt", nullptr, false, false, "new"}, // its folder is made
        {"new.txt", "/b.txt", "", false, false, "new"},
        {"new.txt", "/c.txt", "old", false, false, "old"},
        {"new.txt", "/d.txt", "old", true, false, "new"},
        {"missing.txt", "/e.txt", "old", true, false, "old"},
        {"folder", "/f.txt", "old", true, true, "old"}, // cannot be read
    };
    ASSERT_TRUE(testenv::writeFile(local.filePath("new.txt"), "new"));
    QDir().mkpath(local.filePath("folder"));
    IOSAfcFileUpload up(form);
    for (const auto& c : cases) {
        if (c.before)
            put(QString(c.devicePath).mid(1), c.before);
        const auto upload = [&] { up.uploadFileThrow(afc, local.filePath(c.localName), c.devicePath, c.overwrite); };
        if (c.fails)
            EXPECT_THROW(upload(), std::runtime_error) << c.devicePath;
        else
            EXPECT_NO_THROW(upload()) << c.devicePath;
        EXPECT_EQ(readFile(media.filePath(QString(c.devicePath).mid(1))), c.after) << c.devicePath;
    }
    EXPECT_NO_THROW(up.uploadFileThrow(afc, local.filePath("new.txt"), "", true));
    // The phone's disk fills up: the cut file is not left behind as if whole.
    ASSERT_TRUE(QFile::link("/dev/full", media.filePath("full.bin")));
    EXPECT_THROW(up.uploadFileThrow(afc, local.filePath("new.txt"), "/full.bin", true), std::runtime_error);
    EXPECT_FALSE(QFileInfo(media.filePath("full.bin")).isSymLink());
}

} // namespace
