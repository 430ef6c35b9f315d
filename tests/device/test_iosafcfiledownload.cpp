// AFC downloads with the date cache, and uploads, against the simulated iPhone.
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
        const timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
        ASSERT_TRUE(testenv::writeFile(media.filePath(name), bytes) && utimensat(AT_FDCWD, QFile::encodeName(media.filePath(name)), times, 0) == 0);
    }
    int opens(const QString& devicePath) const { return sim.requests().count("com.apple.afc:FileOpen " + devicePath); }

    QTemporaryDir media, local;
    SimIPhone sim;
    SimDevice phone {kUdid};
    mobiledevice_afc afc {kUdid};
    ProgressForm form {"copy"};
    const QString cachePath = local.filePath("dates.db");
};

TEST_F(AfcCopy, TheDateCacheSkipsOnlyUnchangedFilesWhoseCopyIsStillThere)
{
    put("DCIM/a%2.jpg", "one");
    const QString target = local.filePath("out/a.jpg");
    IOSAfcFileDownload down(cachePath, form);
    const struct { std::function<void()> before; bool useCache; int opened; } steps[] = {
        {{}, true, 1}, {{}, true, 1}, {{}, false, 2},
        {[&] { put("DCIM/a%2.jpg", "two!", 1600000100); }, true, 3}, // changed on the phone
        {{}, true, 3}, // and its new date recorded
        {[&] { QFile::remove(target); }, true, 4}, // the copy has gone
        {[&] { testenv::writeFile(target, "tw"); }, true, 5}, // the copy was cut
    };
    for (const auto& s : steps) {
        if (s.before)
            s.before();
        down.downloadFileThrow(afc, afc.fileInfo("/DCIM/a%2.jpg"), target, s.useCache);
        EXPECT_EQ(opens("/DCIM/a%2.jpg"), s.opened);
    }
    EXPECT_EQ(readFile(target), "two!");
    EXPECT_EQ(form.findChild<QLabel*>("lbProgress")->text(), "Loading a%2.jpg, 0KB / 0KB");

    // Device paths are matched exactly, "_" and "%" too; dates outlive the cache object.
    {
        BkCacheDb cache(local.filePath("exact.db"));
        cache.setFileDate("/a_b", 5), cache.setFileDate("/A%", 7), cache.setFileDate("/a_b", 6), cache.setFileDate("/x", 1);
        cache.remove("/x");
    }
    BkCacheDb cache(local.filePath("exact.db"));
    QList<qint64> dates;
    for (const char* name : {"/a_b", "/axb", "/A_B", "/A%", "/Ab", "/x"})
        dates << cache.fileDateSecs(name);
    EXPECT_EQ(dates, (QList<qint64>{6, 0, 0, 7, 0, 0}));
    BkCacheDb junk(media.filePath("DCIM/a%2.jpg")); // not a database: nothing is found, nothing throws
    junk.setFileDate("/x", 1);
    EXPECT_EQ(junk.fileDateSecs("/x"), 0);
}

TEST_F(AfcCopy, CutFailedAndCancelledDownloadsKeepTheOldCopyAndRecordNoDate)
{
    const QString target = local.filePath("big.bin");
    const std::function<void(const QString&)> hooks[] = {
        nullptr, // the connection drops after the open and one block
        [&](const QString& r) { if (r == "com.apple.afc:FileOpen /big.bin") QFile::resize(media.filePath("big.bin"), 1000); },
        [&](const QString& r) { if (r == "com.apple.afc:FileRead") form.cancelled = true; },
    };
    for (int i = 0; i < 3; ++i) {
        put("big.bin", QByteArray(3 * IOSAfcFileDownload::kBufferSize + 5, 'b'));
        ASSERT_TRUE(testenv::writeFile(target, "old"));
        sim.edit(kUdid, [&](SimDevice& d) { d.onRequest = hooks[i], d.faults = {{SimFault::Drop, "com.apple.afc", i == 0 ? 3 : 1000}}; });
        ASSERT_TRUE(afc.startService());
        form.cancelled = false;
        try {
            IOSAfcFileDownload(cachePath, form).downloadFileThrow(afc, afc.fileInfo("/big.bin"), target, true);
            ADD_FAILURE() << i;
        } catch (const std::runtime_error&) {
            EXPECT_NE(i, 2);
        } catch (int) {
            EXPECT_EQ(i, 2);
        }
        EXPECT_EQ(readFile(target), "old") << i;
        EXPECT_EQ(simFilesBelow(local.path()), (QStringList{"big.bin", "dates.db"})) << i;
        EXPECT_EQ(BkCacheDb(cachePath).fileDateSecs("/big.bin"), 0) << i;
    }
}

TEST_F(AfcCopy, FolderTreesKeepEveryNameInsideTheirTarget)
{
    put("T/a:b.txt", "1");
    put("T/sub/c.txt", "2");
    put("T/.. /.. /evil", "x"); // names that clean to ".." would climb out
    put("T/.:.", "y");
    put("Deep/" + QString("d/").repeated(IOSAfcFileDownload::kMaxDepth + 1) + "f", "z");
    QDir().mkpath(media.filePath("T/empty"));
    IOSAfcFileDownload down(cachePath, form);
    down.downloadDirThrow(afc, afc.fileInfo("/T"), QDir(local.filePath("P/Q")), false);
    EXPECT_EQ(simFilesBelow(local.path()), (QStringList{"P/Q/T/ab.txt", "P/Q/T/sub/c.txt"}));
    EXPECT_FALSE(QFileInfo::exists(local.filePath("P/Q/T/empty")));
    EXPECT_THROW(down.downloadDirThrow(afc, afc.fileInfo("/Deep"), QDir(local.path()), false), std::runtime_error);
}

TEST_F(AfcCopy, UploadsOverwriteOnlyWhenAskedAndNeverEmptyAFileForNothing)
{
    const struct { const char *localName, *devicePath, *before; bool overwrite, fails; const char* after; } cases[] = {
        {"new.txt", "/made/a.txt", nullptr, false, false, "new"}, // its folder is made
        {"new.txt", "/b.txt", "", false, false, "new"},
        {"new.txt", "/c.txt", "old", false, false, "old"},
        {"new.txt", "/d.txt", "old", true, false, "new"},
        {"missing.txt", "/e.txt", "old", true, false, "old"},
        {"folder", "/f.txt", "old", true, true, "old"}, // cannot be read
    };
    ASSERT_TRUE(testenv::writeFile(local.filePath("new.txt"), "new") && QDir().mkpath(local.filePath("folder")));
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
