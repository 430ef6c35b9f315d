// AFC access to the simulated iPhone's media folder: listings, whole-file
// copies, downloads with the date cache, and uploads.
#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "device/iosafcfiledownload.h"
#include "device/mobiledevice_afc.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"
#include "foundation/sqlite3db.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;
using testenv::writeFile;
const QString kUdid = "00008030-00AFC0D0E0F01020";

class Media : public ::testing::Test
{
protected:
    void SetUp() override
    {
        phone.media = media.path();
        ASSERT_TRUE(restart());
    }
    // The phone plugged in again as the test set it, and a new AFC connection.
    bool restart(const QList<SimFault>& faults = {})
    {
        phone.faults = faults;
        sim.detach(kUdid);
        sim.attach(phone);
        return afc.startService();
    }
    // A file of the media folder with its modification time.
    void put(const QString& name, const QByteArray& bytes, qint64 mtime = 1600000000, long ns = 0)
    {
        const timespec times[2] = {{0, UTIME_OMIT}, {mtime, ns}};
        ASSERT_TRUE(writeFile(media.filePath(name), bytes));
        ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(media.filePath(name)), times, 0), 0);
    }
    QByteArray content(const QString& name) const { return readFile(media.filePath(name)); }
    int opens(const QString& devicePath) const { return sim.requests().count("com.apple.afc:FileOpen " + devicePath); }

    QTemporaryDir media, local;
    SimIPhone sim;
    SimDevice phone {kUdid};
    mobiledevice_afc afc {kUdid};
    ProgressForm form {"copy"};
    const QString cachePath = local.filePath("dates.db");
};

TEST_F(Media, WholeFileCopiesTellACompleteCopyFromAShortOne)
{
    const QByteArray big = QByteArray("0123456789abcdefghi").repeated(1300); // blocks are no multiple of 19
    put("gone.bin", "old content");
    bool complete = false;
    EXPECT_TRUE(afc.writeFileContent("/big.bin", big));
    EXPECT_EQ(afc.readFileContent("/big.bin", &complete), big);
    EXPECT_TRUE(complete);
    EXPECT_EQ(content("big.bin"), big);
    EXPECT_TRUE(afc.writeFileContent("/gone.bin", QByteArray()));
    EXPECT_EQ(content("gone.bin"), ""); // truncated
    for (const SimFault::Kind kind : {SimFault::Unplug, SimFault::Drop}) {
        ASSERT_TRUE(restart({{kind, "com.apple.afc", 3}})); // open, two blocks, then the cut
        EXPECT_EQ(afc.readFileContent("/big.bin", &complete), big.left(2 * mobiledevice_afc::kBlockSize));
        EXPECT_FALSE(complete);
        ASSERT_TRUE(restart({{kind, "com.apple.afc", 3}}));
        EXPECT_FALSE(afc.writeFileContent("/copy.bin", big));
        EXPECT_EQ(content("copy.bin").size(), 3 * mobiledevice_afc::kBlockSize); // the block whose answer was cut
    }
}

TEST_F(Media, DownloadsFetchOnlyWhatChangedAndKeepTheOldCopyWhenCutFailedOrCancelled)
{
    const QString target = local.filePath("out/a.jpg");
    // The phone's file made large and new, and a trap for the next download.
    const auto trap = [&](const QList<SimFault>& faults, const QString& request, const std::function<void()>& act) {
        put("a%2.jpg", QByteArray(3 * IOSAfcFileDownload::kBufferSize + 5, 'b'), 1600000200);
        phone.onRequest = [request, act](const QString& r) {
            if (r == request)
                act();
        };
        ASSERT_TRUE(restart(faults));
    };
    const auto shrink = [&] { QFile::resize(media.filePath("a%2.jpg"), 1000); };
    const struct { std::function<void()> act; bool cached; int opened; QByteArray after; QString thrown; } steps[] = {
        {[&] { put("a%2.jpg", "one"); }, true, 1, "one", ""},
        {{}, true, 1, "one", ""}, // each step with a new downloader: the dates outlive it
        {{}, false, 2, "one", ""},
        {[&] { put("a%2.jpg", "two!", 1600000100); }, true, 3, "two!", ""}, // changed on the phone
        {{}, true, 3, "two!", ""},
        {[&] { QFile::remove(target); }, true, 4, "two!", ""}, // the copy has gone
        {[&] { writeFile(target, "tw"); }, true, 5, "two!", ""}, // the copy was cut
        {[&] { trap({{SimFault::Drop, "com.apple.afc", 3}}, "", {}); }, true, 6, "two!", "failed"}, // after a block
        {[&] { trap({}, "com.apple.afc:FileOpen /a%2.jpg", shrink); }, true, 7, "two!", "failed"},
        {[&] { trap({}, "com.apple.afc:FileRead", [&] { form.cancelled = true; }); }, true, 8, "two!", "cancelled"},
    };
    for (const auto& s : steps) {
        if (s.act)
            s.act();
        QString thrown;
        try {
            IOSAfcFileDownload(cachePath, form).downloadFileThrow(afc, afc.fileInfo("/a%2.jpg"), target, s.cached);
        } catch (const std::runtime_error&) {
            thrown = "failed";
        } catch (int) {
            thrown = "cancelled";
        }
        EXPECT_EQ(thrown, s.thrown) << s.opened;
        EXPECT_EQ(opens("/a%2.jpg"), s.opened);
        EXPECT_EQ(readFile(target), s.after) << s.opened;
    }
    EXPECT_EQ(BkCacheDb(cachePath).fileDateSecs("/a%2.jpg"), 1600000100); // none of the failures recorded its date
    EXPECT_EQ(simFilesBelow(local.path()), (QStringList {"dates.db", "out/a.jpg"}));
    EXPECT_TRUE(form.findChild<QLabel*>("lbProgress")->text().startsWith("Loading a%2.jpg, "));
    // Device paths are matched exactly, "_" and "%" too; a cache that is no database finds nothing.
    BkCacheDb cache(cachePath);
    cache.setFileDate("/a_b", 6);
    const QList<qint64> dates {cache.fileDateSecs("/a_b"), cache.fileDateSecs("/axb"), cache.fileDateSecs("/A_B")};
    EXPECT_EQ(dates, (QList<qint64> {6, 0, 0}));
    BkCacheDb junk(target);
    junk.setFileDate("/x", 1);
    EXPECT_EQ(junk.fileDateSecs("/x"), 0);
}

// A copy that cannot be written whole, or not put in its place, is an error:
// the earlier copy stays, no part of the new one is left, and the phone
// file's date is not recorded (the next run would take the failure for a copy).
TEST_F(Media, ADownloadThatCannotBeWrittenOrPutInPlaceFailsAndRecordsNoDate)
{
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    const struct { const char* name; qint64 size; bool diskFull; } cases[] = {
        {"folder.bin", 10, false}, // a folder stands at the target's name
        {"full.bin", IOSAfcFileDownload::kBufferSize, true}, // the disk fills up inside the last write
        {"fuller.bin", 70000, true},
    };
    for (const auto& c : cases) {
        put(c.name, QByteArray(int(c.size), 'n'));
        const QString target = local.filePath(QString("out/") + c.name);
        ASSERT_TRUE(c.diskFull ? writeFile(target, "old") : writeFile(target + "/inside", "kept"));
        IOSAfcFileDownload down(cachePath, form);
        const _AfcFileInfo info = afc.fileInfo(QString("/") + c.name);
        const rlimit small {4096, saved.rlim_max};
        if (c.diskFull)
            setrlimit(RLIMIT_FSIZE, &small);
        EXPECT_THROW(down.downloadFileThrow(afc, info, target, true), std::runtime_error) << c.name;
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(c.diskFull ? readFile(target) : readFile(target + "/inside"), c.diskFull ? "old" : "kept") << c.name;
        EXPECT_EQ(BkCacheDb(cachePath).fileDateSecs(info.path), 0) << c.name;
    }
    EXPECT_EQ(simFilesBelow(local.filePath("out")), (QStringList {"folder.bin/inside", "full.bin", "fuller.bin"}));
}

TEST_F(Media, FolderTreesKeepEveryNameInsideTheirTarget)
{
    put("T/a:b.txt", "1", 1700000000, 123999999);
    put("T/sub/c.txt", "2");
    put("T/gone.txt", "3");
    put("T/.. /.. /evil", "x"); // names that clean to ".." would climb out
    put("T/.:.", "y");
    put("Deep/" + QString("d/").repeated(IOSAfcFileDownload::kMaxDepth + 1) + "f", "z");
    ASSERT_TRUE(QDir().mkpath(media.filePath("T/empty")));
    ASSERT_TRUE(QFile::link("a:b.txt", media.filePath("T/link")));
    phone.lowerCaseTypes = true; // as some phones send them
    phone.onRequest = [gone = media.filePath("T/gone.txt")](const QString& request) {
        if (request == "com.apple.afc:GetFileInfo /T/gone.txt") // deleted between the listing and its record
            QFile::remove(gone);
    };
    ASSERT_TRUE(restart());
    EXPECT_EQ(afc.ls("/T", true), QStringList({".. ", ".:.", "a:b.txt", "empty", "gone.txt", "link", "sub"}));
    EXPECT_EQ(afc.fileInfo("/T/a:b.txt").mtime.toMSecsSinceEpoch(), 1700000000123); // not rounded up to ...124
    IOSAfcFileDownload down(cachePath, form);
    down.downloadDirThrow(afc, afc.fileInfo("/T"), QDir(local.filePath("P/Q")), false);
    EXPECT_EQ(simFilesBelow(local.path()), (QStringList {"P/Q/T/ab.txt", "P/Q/T/sub/c.txt"}));
    EXPECT_FALSE(QFileInfo::exists(local.filePath("P/Q/T/empty")));
    EXPECT_THROW(down.downloadDirThrow(afc, afc.fileInfo("/Deep"), QDir(local.path()), false), std::runtime_error);
}

TEST_F(Media, UploadsOverwriteOnlyWhenAskedAndNeverEmptyAFileForNothing)
{
    // 250 bytes: the temporary name beside it must be made shorter than "<name>.<8 hex>.upload".
    const QByteArray longName = "/" + QByteArray("\xF0\x9F\x98\x80").repeated(61) + QString(2, QChar(0x65E5)).toUtf8();
    const struct { const char *localName, *devicePath, *before; bool overwrite, fails; const char* after; } cases[] = {
        {"new.txt", "/made/a.txt", nullptr, false, false, "new"}, // its folder is made
        {"new.txt", "/b.txt", "", false, false, "new"},
        {"new.txt", "/c.txt", "old", false, false, "old"},
        {"new.txt", "/d.txt", "old", true, false, "new"},
        {"missing.txt", "/e.txt", "old", true, false, "old"},
        {"folder", "/f.txt", "old", true, true, "old"}, // cannot be read
        {"new.txt", longName.constData(), "old", true, false, "new"},
    };
    ASSERT_TRUE(writeFile(local.filePath("new.txt"), "new"));
    ASSERT_TRUE(QDir().mkpath(local.filePath("folder")));
    IOSAfcFileUpload up(form);
    for (const auto& c : cases) {
        if (c.before)
            put(QString(c.devicePath).mid(1), c.before);
        const auto upload = [&] { up.uploadFileThrow(afc, local.filePath(c.localName), c.devicePath, c.overwrite); };
        if (c.fails)
            EXPECT_THROW(upload(), std::runtime_error) << c.devicePath;
        else
            EXPECT_NO_THROW(upload()) << c.devicePath;
        EXPECT_EQ(content(QString(c.devicePath).mid(1)), c.after) << c.devicePath;
        EXPECT_EQ(simFilesBelow(media.path()).filter(".upload"), QStringList {}) << c.devicePath;
    }
    // A cancel once the copy has begun waits for the next call: the upload lands whole.
    phone.onRequest = [this](const QString& request) {
        if (request.startsWith("com.apple.afc:FileOpen /d.txt."))
            form.cancelled = true;
    };
    put("d.txt", "old");
    ASSERT_TRUE(restart());
    EXPECT_NO_THROW(up.uploadFileThrow(afc, local.filePath("new.txt"), "/d.txt", true));
    EXPECT_THROW(up.uploadFileThrow(afc, local.filePath("new.txt"), "/d.txt", true), int);
    form.cancelled = false;
    EXPECT_EQ(content("d.txt"), readFile(local.filePath("new.txt")));
    EXPECT_EQ(simFilesBelow(media.path()).filter("d.txt"), QStringList {"d.txt"});
    // The phone's disk fills up: the old file stays, and the cut copy is not left behind either.
    put("full.bin", "old");
    phone.onRequest = [this](const QString& request) {
        if (request.startsWith("com.apple.afc:FileOpen /full.bin."))
            QFile::link("/dev/full", media.path() + request.section(' ', 1));
    };
    ASSERT_TRUE(restart());
    EXPECT_THROW(up.uploadFileThrow(afc, local.filePath("new.txt"), "/full.bin", true), std::runtime_error);
    EXPECT_EQ(content("full.bin"), "old");
    EXPECT_EQ(simFilesBelow(media.path()).filter("full.bin"), QStringList {"full.bin"});
    // A folder where the file belongs cannot be replaced: an error, and nothing left beside it.
    ASSERT_TRUE(QDir().mkpath(media.filePath("adir/in")));
    EXPECT_THROW(up.uploadFileThrow(afc, local.filePath("new.txt"), "/adir", true), std::runtime_error);
    EXPECT_EQ(simFilesBelow(media.path()).filter("adir"), QStringList {});
    EXPECT_TRUE(QFileInfo(media.filePath("adir/in")).isDir());
}

TEST_F(Media, AnUploadCutAtAnyPointLeavesThePhonesFileWholeOldOrNew)
{
    const QByteArray fresh = QByteArray("fresh bytes ").repeated(IOSAfcFileUpload::kBufferSize / 5); // several blocks
    ASSERT_TRUE(writeFile(local.filePath("big.bin"), fresh));
    IOSAfcFileUpload up(form);
    // A phone still plugged in is reached over a new connection to remove the cut copy.
    for (const SimFault::Kind kind : {SimFault::Drop, SimFault::Unplug}) {
        int keptOld = 0;
        for (int after = 0;; ++after) { // the connection cut in place of each answer in turn, until none is left to cut
            ASSERT_LT(after, 200);
            ASSERT_TRUE(QDir(media.filePath("d")).removeRecursively());
            put("d/big.bin", "old");
            ASSERT_TRUE(restart({{kind, "com.apple.afc", after}}));
            bool failed = false;
            try {
                up.uploadFileThrow(afc, local.filePath("big.bin"), "/d/big.bin", true);
            } catch (const std::runtime_error&) {
                failed = true;
            }
            const QByteArray now = content("d/big.bin");
            EXPECT_TRUE(now == "old" || now == fresh) << after << ": " << now.size() << " bytes";
            keptOld += now == "old";
            if (kind == SimFault::Drop || !failed)
                EXPECT_EQ(simFilesBelow(media.filePath("d")), QStringList {"big.bin"}) << after; // no temporary left
            if (!failed) {
                EXPECT_EQ(now, fresh);
                break;
            }
        }
        EXPECT_GE(keptOld, 4) << kind; // cut while the bytes were on their way
    }
}

TEST(LocalNames, NamesThatCleanToOneNameGetOneEachAndACleanNameKeepsIt)
{
    const struct { QStringList device, local; } cases[] = {
        {{"a:b", "ab"}, {"ab (2)", "ab"}}, // the untouched name wins whatever the order
        {{"ab.txt", "a:b.txt", "ab (2).txt"}, {"ab.txt", "ab (3).txt", "ab (2).txt"}},
        {{"A.jpg", "a.jpg", "a?.JPG"}, {"A.jpg", "a (2).jpg", "a (3).JPG"}}, // one file where case is ignored
        {{".x", ".:x"}, {".x", ".x (2)"}}, // a leading dot is no extension
        {{"..", ".:.", ":", "", " ab "}, {"", "", "", "", "ab"}},
        {{"%2:%1.x", "%2%1.x"}, {"%2%1 (2).x", "%2%1.x"}}, // markers in a name are no markers
    };
    for (const auto& c : cases)
        EXPECT_EQ(IOSAfcFileDownload::localFileNames(c.device), c.local) << c.device.join('|').toStdString();
}

TEST_F(Media, FolderDownloadsKeepEveryFileWhoseNamesCleanToOne)
{
    // Contents are the device paths, so each local file tells which phone file it holds.
    QStringList paths;
    for (const char* name : {"a:b", "ab", "a*b", "a?b", "a|b", "a<b", "a>b", "a\"b", "a\\b", "a\tb", "X.TXT",
                                "x.txt", "x:.txt", "x (2).txt", "d:1/f", "d1/f", "d1/g"})
        paths << "/C/" + QString(name);
    for (const QString& path : paths)
        put(path.mid(1), path.toUtf8());
    ASSERT_TRUE(restart());
    IOSAfcFileDownload down(cachePath, form);
    QList<QStringList> listings;
    for (const QString parent : {"P1", "P2"}) {
        down.downloadDirThrow(afc, afc.fileInfo("/C"), QDir(local.filePath(parent)), true);
        const QStringList files = simFilesBelow(local.filePath(parent));
        QStringList held;
        for (const QString& file : files)
            held << QString::fromUtf8(readFile(local.filePath(parent + "/" + file)));
        held.sort();
        QStringList expected = paths;
        expected.sort();
        EXPECT_EQ(held, expected) << parent.toStdString();
        for (const char* clean : {"ab", "x (2).txt", "d1/f"})
            EXPECT_EQ(readFile(local.filePath(parent + "/C/" + clean)), QByteArray("/C/") + clean);
        listings << files;
    }
    EXPECT_EQ(listings[0], listings[1]); // the same names every time
}

TEST_F(Media, ALinkInTheTargetFolderIsNeverWrittenThrough)
{
    put("T/a.txt", "phone");
    put("T/sub/c.txt", "deep");
    ASSERT_TRUE(restart());
    QTemporaryDir outside;
    ASSERT_TRUE(writeFile(outside.filePath("a.txt"), "mine"));
    const struct { const char *at, *to; bool fails; } cases[] = {
        {"T/a.txt", "a.txt", false}, // the link itself is replaced
        {"T/sub", "", true},
        {"T", "", true},
        {"T/sub", "a.txt", true}, // a link to a file where a folder belongs
    };
    for (const auto& c : cases) {
        const QString parent = local.filePath(QString::number(&c - cases));
        ASSERT_TRUE(QDir().mkpath(QFileInfo(parent + "/" + c.at).absolutePath()));
        ASSERT_TRUE(QFile::link(outside.filePath(c.to), parent + "/" + c.at));
        const auto download = [&] {
            IOSAfcFileDownload(cachePath, form).downloadDirThrow(afc, afc.fileInfo("/T"), QDir(parent), false);
        };
        if (c.fails)
            EXPECT_THROW(download(), std::runtime_error) << c.at;
        else
            EXPECT_NO_THROW(download()) << c.at;
        EXPECT_EQ(simFilesBelow(outside.path()), QStringList {"a.txt"}) << c.at;
        EXPECT_EQ(readFile(outside.filePath("a.txt")), "mine") << c.at;
        if (!c.fails) {
            EXPECT_TRUE(safefile::isRegularFile(parent + "/T/a.txt"));
            EXPECT_EQ(readFile(parent + "/T/sub/c.txt"), "deep");
        }
    }
}

TEST(DateCache, AFileWithoutTheTableGetsItAndAnythingElseIsLeftAlone)
{
    QTemporaryDir dir;
    const struct { const char* sql; QByteArray bytes; qint64 found; } cases[] = {
        {nullptr, "", 7}, // what a crash right after creating it leaves
        {"create table other(x)", "", 7},
        {nullptr, "not a database, but someone's file", 0},
    };
    for (const auto& c : cases) {
        const QString path = dir.filePath(QString::number(&c - cases));
        ASSERT_TRUE(writeFile(path, c.bytes));
        QString error;
        Sqlite3DB other;
        if (c.sql)
            other.openThrow(path, 2);
        ASSERT_EQ(c.sql ? other.exec(c.sql, error) : 0, 0) << error.toStdString();
        other.close();
        BkCacheDb(path).setFileDate("/a", 7); // committed as it goes
        EXPECT_EQ(BkCacheDb(path).fileDateSecs("/a"), c.found) << c.bytes.constData();
        EXPECT_TRUE(c.found || readFile(path) == c.bytes);
    }
}

} // namespace
