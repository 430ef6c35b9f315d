// Writing into backups: new records, the row archive, and merges that are
// read back by a fresh reader (and the builder's own decryptor), or that fail
// part-way and must leave the folder as it was.
#include <QDirIterator>
#include <QPushButton>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <csignal>
#include <dlfcn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <functional>
#include <thread>
#include <vector>

#include "backup/backuplock.h"
#include "backup/iosmergewafiles2itunesbkthread.h"
#include "backup/mergejournal.h"
#include "backup/stagedfiles.h"
#include "foundation/plistcftype.h"
#include "foundation/progressform.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/modaldriver.h"
#include "tests/support/renamehook.h"

// The link(2) this test program's code calls: refused while noHardLinks is
// set, as on a file system without hard links (exFAT, SMB).
std::atomic<bool> noHardLinks{false};

extern "C" int link(const char* from, const char* to)
{
    if (noHardLinks) {
        errno = EPERM;
        return -1;
    }
    using Fn = int (*)(const char*, const char*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "link"));
    return real(from, to);
}

// The renames and syncs of this program while `trace` is on: "from>to" by
// last name, "sync folder", "sync file".
std::atomic<bool> tracing{false};
QStringList trace;
// While set, renames from a set-aside name (".old-<suffix>") fail: a put-back that fails.
std::atomic<bool> refusePutBack{false};

int renameHook(const QString& from, const QString& to, bool done)
{
    if (tracing && !done)
        trace << QFileInfo(from).fileName() + ">" + QFileInfo(to).fileName();
    return !done && refusePutBack && QFileInfo(from).suffix().startsWith("old-") ? EIO : 0;
}

// While set, syncing a file fails as on a disk pulled out.
std::atomic<bool> failFileSync{false};

extern "C" int fsync(int fd)
{
    using Fn = int (*)(int);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
    struct stat st;
    if (tracing && ::fstat(fd, &st) == 0)
        trace << (S_ISDIR(st.st_mode) ? "sync folder" : "sync file");
    if (failFileSync && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

// Run once before the next flock(2) of this program, when set.
std::function<void()> beforeFlock;

extern "C" int flock(int fd, int operation)
{
    using Fn = int (*)(int, int);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "flock"));
    if (beforeFlock)
        std::exchange(beforeFlock, nullptr)();
    return real(fd, operation);
}

namespace {

using Item = IOSMergeWAFiles2iTunesBKThread::_Item;
using Merge = BackupTest;
const QString L = "AppDomain-jp.naver.line";

using testenv::snapshot;

QString write(const QString& path, const QByteArray& bytes)
{
    return testenv::writeFile(path, bytes) ? path : QString();
}

// Runs a merge behind its window; the error texts shown, or none.
QStringList merge(BackupManifest& b, const QList<Item>& items, const QList<Item>& remove = {}, bool cancel = false,
                  rlim_t fileSizeLimit = RLIM_INFINITY)
{
    ProgressForm form("");
    IOSMergeWAFiles2iTunesBKThread thread(b, items, form);
    thread.setRemoveItems(remove);
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    form.cancelled = cancel;
    // A full disk: writes past the limit fail (EFBIG) instead of raising SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{fileSizeLimit, RLIM_INFINITY}, none{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    const int result = form.runWorker(thread);
    form.waitForThread(thread, true);
    setrlimit(RLIMIT_FSIZE, &none);
    return result == 1 ? QStringList() : driver.texts << "failed";
}

// Every file record of the list on disk as an outside tool reads it.
using backupbuilder::readBack;

QStringList leftovers(const QString& folder)
{
    QStringList names;
    for (const QString& name : snapshot(folder).keys())
        if (name.contains(".new-") || name.contains(".old-") || name.endsWith("-wal") || name.endsWith("-shm")
            || name.contains(".chatferry-merge"))
            names << name;
    return names;
}

} // namespace

TEST_F(Merge, RecordsArchivesAndManifestMbdb)
{
    MBDBParser::MBDBItemMap map;
    const QString data = write(tmp.filePath("data"), "0123456789");
    MBDBParser::ProtectionClsKeyInfo key4;
    key4.encryptionKey.setVal("key");
    QString err;
    auto append = [&](bool class4, const QString& domain, const QString& path, int size) {
        return MBDBParser::appendFile(map, class4, data, domain, path, size, nullptr, &key4, &err);
    };
    auto dump = [&] {
        QStringList out;
        for (const MBDBParser::_MBDBItem& r : map.files)
            out << QString("%1 %2 %3 %4 %5 %6%7 ").arg(r.path.toString()).arg(r.inodeNumber).arg(r.mode, 0, 16)
                           .arg(r.size).arg(r.protectionClass).arg(r.added).arg(r.modified)
                       + r.digest.data.toHex().left(8) + r.encryptionKey.data;
        return out.sort(), out.join(", ");
    };
    ASSERT_TRUE(append(false, "AppDomain-x", "Library/a/b.txt", 0) && append(false, "", "Library/x", 0));
    EXPECT_EQ(dump(), "Library 2 41c0 0 0 10 , Library/a 1 41c0 0 0 10 , Library/a/b.txt 3 81a4 10 3 10 ");
    EXPECT_EQ(map.files.begin()->birth, QFileInfo(data).lastModified().toSecsSinceEpoch());
    ASSERT_TRUE(append(true, "AppDomain-x", "Library/a/b.txt", 7)); // the digest of "0123456789", the class with the key
    EXPECT_TRUE(dump().endsWith("Library/a/b.txt 3 81a4 7 4 11 87acec17key"));
    EXPECT_FALSE(append(false, "AppDomain-x", "Library/a/b.txt/c", 0));
    EXPECT_EQ(err, "MBDBParser::appendFile(Library/a/b.txt/c) error. \"Library/a/b.txt\" is not a folder.");
    EXPECT_FALSE(append(false, "D", QString(70000, 'p'), 0));

    // An empty list is the header alone; a string too long for its length is refused, the list kept.
    BackupManifest b(build({{"mbdb", true}}));
    MBDBParser::save2File({}, b);
    map.files.begin()->path.setVal(QByteArray(0xFFFF, 'p'));
    EXPECT_THROW(MBDBParser::save2File(map.files.values(), b), std::runtime_error);
    EXPECT_EQ(readFile(b.dir.filePath("Manifest.mbdb")), QByteArray("mbdb\x05\x00", 6));
}

TEST_F(Merge, FaultsChangeNothingAndMergesReadBackInEveryLayout)
{
    const QString G = "AppDomainGroup-group.com.linecorp.line";
    const QJsonObject layouts[] = {{{"mbdb", true}}, {{"mbdb", true}, {"password", "pw"}}, {}, {{"password", "pw"}},
                                   {{"password", "pw"}, {"encryptList", false}, {"saltRows", true}}};
    // Path, bytes, class 4, overwrite, and what the backup then holds when it is not these bytes.
    const struct { const char* path; QByteArray bytes; bool class4, overwrite; QByteArray stored; } files[] = {
        {"Library/Application Support/New/deep", QByteArray(2000, 'd'), false, true, {}},
        {"Library/x.sqlite-wal", "", false, true, {}}, {"Library/old", "replaced", false, true, {}},
        {"Library/link", "was a link", false, true, {}}, {"Library/twice", "first", false, true, "second"},
        {"Library/twice", "second", false, true, {}}, {"Library/c4", "class 4", true, true, {}},
        {"Library/keep", "not taken", true, false, "kept"}, {"Library/raw2", "onto an undecoded row", false, true, {}},
        {"Library/orphan", "replaces a data file without record", false, false, {}}};
    const QString small = write(tmp.filePath("small"), "small"), big = write(tmp.filePath("big"), QByteArray(99999, 'b'));
    const QList<Item> smallOnes{Item(L, small, "Library/new/a", true, false), Item(L, small, "Library/old", true, false)};
    for (int layout = 0; layout < 5; ++layout) {
        const bool mbdb = layout < 2, encrypted = layout != 0 && layout != 2;
        const QString pw = encrypted ? "pw" : "";
        QJsonArray entries{bb::folder(L, "Library"), bb::file(L, "Library/old", "old"), bb::file(L, "Library/keep", "kept", 4),
                           bb::link(L, "Library/link", "old")};
        // Only two records hold keys, so the merge reuses these; inode numbers at the top of int and above.
        for (const auto& [domain, path, inode] : {std::tuple{G, "gone/a", 0LL}, {G, "gone/b", 0LL}, {L, "Library/dir", 0LL},
                                                  {L, "big", 0x7fffffffLL}, {L, "bigger", 0x100000005LL}})
            entries.append(QJsonObject{{"domain", domain}, {"path", path}, {"data", "x"}, {"noKey", true}, {"inode", inode}});
        for (const char* raw : {"Library/raw", "Library/raw2"})
            if (!mbdb)
                entries.append(QJsonObject{{"domain", L}, {"path", raw}, {"raw", "not an archive"}});
        QJsonObject spec = layouts[layout];
        spec["entries"] = entries;
        const QString folder = build(spec, QString::number(layout));
        // Plain and encrypted, on a medium that shows one owner for every file.
        refuseModeChangesBelow(layout == 2 || layout == 3 ? folder : QString());
        const QString list = folder + (mbdb ? "/Manifest.mbdb" : layout == 3 ? "/Manifest-decrypted.db" : "/Manifest.db");
        auto row = [&](const char* path) {
            Sqlite3DB db;
            db.openThrow(list, 1);
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select flags, file from Files where relativePath=?").addTextParam(path));
            return c.moveNext() ? QByteArray::number(c.getInt("flags")) + ":" + c.getBlob("file") : QByteArray();
        };
        const QString dir = bb::dataPath(folder, bb::fileId(L, "Library/dir"), mbdb);
        ASSERT_TRUE(QFile::remove(dir) && QDir().mkdir(dir)); // a data file that cannot be replaced: found when the others are in place, then undone
        const QString linked = bb::dataPath(folder, bb::fileId(L, "Library/linked"), mbdb); // a link that leads out
        ASSERT_TRUE(QDir().mkpath(QFileInfo(linked).path()) && QFile::link(tmp.filePath("out"), linked));
        ASSERT_TRUE(testenv::writeFile(bb::dataPath(folder, bb::fileId(L, "Library/orphan"), mbdb), "left"));
        const auto b = open(folder, pw), no4 = open(folder, pw);
        no4->keybag.classKeys.remove(4); // a backup without a usable class-4 key
        const rlim_t listSize = QFileInfo(list).size();
        const struct { BackupManifest* to; QList<Item> more; bool cancel; rlim_t fileSizeLimit; const char* error; } faults[] = {
            {b.get(), {}, true, RLIM_INFINITY, ""},
            // A full disk, and no room for the new list: the reason, never "Unknown error".
            {b.get(), {Item(L, big, "Library/big", true, false)}, false, 60000, "File too large"},
            {b.get(), {}, false, listSize - 1, "File too large"},
            {b.get(), {Item(L, small, "Library/dir", true, false)}, false, RLIM_INFINITY, "can not overwrite %1: Is a directory"},
            {b.get(), {Item(L, small, "Library/old/child", true, false)}, false, RLIM_INFINITY, "is not a folder"},
            {b.get(), {Item(L, small, "Library/linked", true, false)}, false, RLIM_INFINITY, "passes through a link"},
            {no4.get(), {Item(L, small, "Library/c4new", true, true)}, false, RLIM_INFINITY, encrypted ? "no valid keys" : ""},
        };
        const auto before = snapshot(folder);
        const QByteArray rawRow = mbdb ? QByteArray() : row("Library/raw");
        for (const auto& f : faults) {
            if (f.to == no4.get() && !encrypted)
                continue;
            const QStringList shown = merge(*f.to, smallOnes + f.more, {}, f.cancel, f.fileSizeLimit);
            ASSERT_EQ(shown.size(), f.cancel ? 1 : 2) << layout;
            EXPECT_TRUE(shown.first().contains(QString(f.error).arg(dir))) << shown.first().toStdString();
            EXPECT_EQ(snapshot(folder), before) << shown.first().toStdString();
        }
        // The same failed commit on a file system without hard links (exFAT, SMB) is undone too.
        noHardLinks = true;
        const QStringList noLinks = merge(*b, smallOnes + QList<Item>{Item(L, small, "Library/dir", true, false)});
        noHardLinks = false;
        EXPECT_TRUE(noLinks.first().contains("Is a directory")) << noLinks.first().toStdString();
        EXPECT_EQ(snapshot(folder), before) << layout;

        // Class 3 files need no class-4 key; then the class-4 ones, and a removal.
        QList<Item> items[2];
        for (const auto& f : files)
            items[f.class4] << Item(L, write(tmp.filePath("f%1").arg(items[0].size() + items[1].size()), f.bytes), f.path,
                                    f.overwrite, f.class4);
        items[0] << Item(L, tmp.filePath("missing"), "Library/missing", true, false);
        ASSERT_EQ(merge(*no4, items[0]) + merge(*b, items[1], {Item(G, "", "gone/", false, false)}), QStringList());
        if (!mbdb) {
            EXPECT_EQ(row("Library/raw"), rawRow); // kept as stored
            EXPECT_EQ(row("Library/Application Support").left(2) + row("Library/link").left(2) + row("Library/c4").left(2), "2:1:1:");
            const QByteArray c4 = row("Library/c4").mid(2);
            const PlistCFType archive = PlistCFType::createCFPropertyList(
                layout == 4 ? bb::aesCbc(built.rowKey, QByteArray::fromBase64(c4), false, bb::rowIv()) : c4);
            EXPECT_EQ(archive.NSKeyedArchiver()["$class"].get("$classname").CFStringQString(), "MBFile");
        }
        const auto fresh = open(folder, pw);
        const MBDBParser::MBDBItemMap map = MBDBParser::parse(*fresh);
        EXPECT_EQ(map.files.size(), entries.size() - 2 + 7 + mbdb); // 2 removed, 2 folders and 5 files new (and raw2 without rows)
        EXPECT_TRUE(QFile::exists(bb::dataPath(folder, bb::fileId(G, "gone/a"), mbdb))); // only its record goes
        QSet<qint64> inodes;
        for (const MBDBParser::_MBDBItem& r : map.files)
            inodes << (qint64(r.inodeHigh) << 32) + r.inodeNumber;
        EXPECT_EQ(inodes.size(), map.files.size());
        for (const auto& f : files) {
            const QByteArray expected = f.stored.isNull() ? f.bytes : f.stored;
            const MBDBParser::_MBDBItem r = map.files.value(bb::fileId(L, f.path));
            EXPECT_EQ(r.size, expected.size()) << f.path;
            EXPECT_EQ(r.protectionClass, !encrypted && f.path == QString("Library/link") ? 0 : f.class4 ? 4 : 3);
            fresh->copyItemThrow(r, tmp.filePath("out"), nullptr, nullptr);
            EXPECT_EQ(readFile(tmp.filePath("out")), expected) << f.path << " " << layout;
            const QByteArray stored = readFile(bb::dataPath(folder, r.backupFileName(), mbdb));
            EXPECT_EQ(encrypted ? bb::aesCbc(built.fileKeys[f.class4 ? 2 : 1], stored, false) : stored, expected);
        }
    }
    refuseModeChangesBelow({});
}

// A commit that fails halfway puts back what it replaced, and the second
// names that kept the old files go too, also where the file system has no
// hard links (exFAT, SMB).
TEST(StagedFiles, AFailedCommitLeavesEveryTargetAsItWas)
{
    for (const bool hardLinks : {true, false}) {
        QTemporaryDir dir;
        const QString a = dir.filePath("a"), b = dir.filePath("b");
        ASSERT_TRUE(testenv::writeFile(a, "old a"));
        ASSERT_TRUE(testenv::writeFile(b, "old b"));
        ASSERT_TRUE(QFile::setPermissions(a, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        StagedFiles staged(dir.path());
        ASSERT_TRUE(testenv::writeFile(staged.stageThrow(a), "new a"));
        ASSERT_TRUE(QDir().mkdir(staged.stageThrow(b))); // a folder cannot replace b: it fails once b is set aside
        noHardLinks = !hardLinks;
        EXPECT_THROW(staged.commitThrow(), StagedFiles::CommitError);
        noHardLinks = false;
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"a", "b"})) << hardLinks;
        EXPECT_EQ(readFile(a), "old a") << hardLinks;
        EXPECT_EQ(readFile(b), "old b") << hardLinks;
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(a).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << hardLinks; // the old file's own mode came back with it

        // A staged file that cannot be opened to be synced (a link) fails the commit; the target keeps its old file.
        StagedFiles linked(dir.path());
        ASSERT_TRUE(QFile::link(b, linked.stageThrow(a)));
        EXPECT_THROW(linked.commitThrow(), StagedFiles::CommitError);
        EXPECT_EQ(readFile(a), "old a");
        // So does one removed by another program, or one the disk cannot sync: named with the
        // reason, and the next commit goes through.
        for (const int fault : {ENOENT, EIO}) {
            StagedFiles lost(dir.path());
            // The target's name lives in the commit alone, as a merge's does.
            ASSERT_TRUE(testenv::writeFile(lost.stageThrow(dir.filePath("a")), "lost")
                        && (fault != ENOENT || QFile::remove(lost.staged(a))));
            failFileSync = fault == EIO;
            EXPECT_EQ(errorOf([&] { lost.commitThrow(); }), "cannot put in place " + a + ": " + std::strerror(fault));
            failFileSync = false;
            EXPECT_EQ(readFile(a), "old a");
            StagedFiles next(dir.path());
            ASSERT_TRUE(testenv::writeFile(next.stageThrow(a), "old a"));
            EXPECT_NO_THROW(next.commitThrow());
        }
        // A put-back that fails is told by the commit and by the settling, and its set-aside file stays.
        StagedFiles again(dir.path());
        ASSERT_TRUE(testenv::writeFile(again.stageThrow(a), "new a"));
        ASSERT_TRUE(QDir().mkdir(again.stageThrow(b)));
        refusePutBack = true;
        hookRenames(renameHook);
        EXPECT_TRUE(errorOf([&] { again.commitThrow(); }).contains("cannot put back " + a));
        EXPECT_TRUE(errorOf([&] { StagedFiles::settleThrow(dir.path()); }).contains("cannot put back " + a));
        hookRenames(nullptr);
        refusePutBack = false;
        EXPECT_EQ(readFile(QDir(dir.path()).entryInfoList({"a.old-*"}, QDir::Files).value(0).filePath()), "old a");
    }
}

namespace {

// The rows at `paths` moved out of the folder's Manifest.db into its
// write-ahead log, as in a list copied while it was being written.
void moveIntoLog(const QString& folder, const QString& paths)
{
    QTemporaryDir scratch;
    const QString db = scratch.filePath("Manifest.db");
    ASSERT_TRUE(QFile::copy(folder + "/Manifest.db", db));
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(db).constData(), &h), SQLITE_OK);
    const QByteArray in = "relativePath in (" + paths.toUtf8() + ")";
    for (const QByteArray& sql : {"create temp table moved as select * from Files where " + in,
                                  "delete from Files where " + in, QByteArray("pragma journal_mode=wal"),
                                  QByteArray("pragma wal_autocheckpoint=0"), QByteArray("insert into Files select * from moved")})
        ASSERT_EQ(sqlite3_exec(h, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    for (const char* side : {"", "-wal"}) {
        QFile::remove(folder + "/Manifest.db" + side);
        ASSERT_TRUE(QFile::copy(db + side, folder + "/Manifest.db" + side));
    }
    sqlite3_close(h);
}

} // namespace

// A crash before any rename of the commit or of its settling (simulated by
// stopping dead there) leaves a backup that the next open settles: every
// file the list names is then old or new, all of one generation (a database
// never beside the other generation's log, a list never beside another's
// log), for an outside decryptor and for the program's own copy, with or
// without hard links; a later merge of other files keeps it so.
TEST_F(Merge, ACrashAtAnyRenameOfTheCommitIsSettledByTheNextOpenToOldOrNew)
{
    const QJsonObject layouts[] = {{{"password", "pw"}}, {{"mbdb", true}, {"password", "pw"}}, {}};
    const QByteArray newDb(3000, 'n');
    const QString db = write(tmp.filePath("db"), newDb), wal = write(tmp.filePath("wal"), "new log"),
                  added = write(tmp.filePath("added"), "added"), other = write(tmp.filePath("other"), "other");
    // The database asks for class 4 where its record has class 3: a key of
    // another record would not match the list that is still on disk.
    const QList<Item> items{Item(L, db, "Library/Line.sqlite", true, true), Item(L, wal, "Library/Line.sqlite-wal", true, false),
                            Item(L, added, "Library/Added", true, false)};
    const QString ids[] = {bb::fileId(L, "Library/Line.sqlite"), bb::fileId(L, "Library/Line.sqlite-wal"),
                           bb::fileId(L, "Library/Added"), bb::fileId(L, "Library/first3"), bb::fileId(L, "Library/first4")};
    const QByteArray olds[] = {"old database", "old log", "", "3", "4"}, news[] = {newDb, "new log", "added", "3", "4"};
    for (int layout = 0; layout < 3; ++layout) {
        const QString pw = layout < 2 ? "pw" : "";
        for (const bool hardLinks : {true, false}) {
            bool done = false;
            for (int k = 0; !done; ++k) {
                ASSERT_LT(k, 20);
                const QString at = QString("layout %1, links %2, crash after %3 renames").arg(layout).arg(hardLinks).arg(k);
                QJsonObject spec = layouts[layout];
                // The first records of each class are not the replaced ones: new files take their keys.
                spec["entries"] = QJsonArray{bb::folder(L, "Library"), bb::file(L, "Library/first3", "3"),
                                             bb::file(L, "Library/first4", "4", 4), bb::file(L, "Library/Line.sqlite", olds[0]),
                                             bb::file(L, "Library/Line.sqlite-wal", olds[1], 4)};
                const QString folder = build(spec, QString("c%1%2-%3").arg(layout).arg(hardLinks).arg(k));
                if (layout == 2)
                    moveIntoLog(folder, "'Library/first3'"); // the list's own log goes with it
                noHardLinks = !hardLinks;
                StagedFiles::stopAfterRenames = k;
                const QStringList shown = merge(*open(folder, pw), items);
                // The hook, unless the whole commit ran without reaching it, stopped it dead: nothing told, the journal left.
                ASSERT_TRUE(StagedFiles::stopAfterRenames < 0 ? shown == QStringList{"failed"} && MergeJournal::exists(folder)
                                                             : shown.isEmpty() && k > 0) << at.toStdString();
                // Even unsettled, every file the list names is there and decrypts (a replaced file keeps its key).
                const QJsonObject raw = readBack(folder, pw);
                for (auto it = raw.begin(); it != raw.end(); ++it)
                    EXPECT_FALSE(it.value().toString().contains(QRegularExpression("^(missing|error)"))) << at.toStdString();
                // The first open is cut short too, after one step of its settling.
                StagedFiles::stopAfterRenames = 1;
                try {
                    open(folder, pw);
                } catch (int) {
                }
                StagedFiles::stopAfterRenames = -1;
                noHardLinks = false;
                done = shown.isEmpty();
                ASSERT_TRUE(done || shown == QStringList{"failed"}) << shown.join('|').toStdString();

                const auto opened = open(folder, pw);
                opened->parseInfo();
                const QJsonObject files = readBack(folder, pw);
                const bool isNew = files.contains(ids[2]);
                ASSERT_EQ(files.size(), 4 + isNew) << at.toStdString();
                for (int i = 0; i < 5; ++i) {
                    if (i == 2 && !isNew)
                        continue;
                    const QByteArray& expected = isNew ? news[i] : olds[i];
                    EXPECT_EQ(QByteArray::fromHex(files[ids[i]].toString().toLatin1()), expected) << at.toStdString();
                    opened->copyItemThrow(opened->items.files.value(ids[i]), tmp.filePath("out"), nullptr, nullptr);
                    EXPECT_EQ(readFile(tmp.filePath("out")), expected) << at.toStdString();
                }
                // A later merge of other files keeps that generation.
                ASSERT_EQ(merge(*open(folder, pw), {Item(L, other, "Library/Other", true, false)}), QStringList()) << at.toStdString();
                EXPECT_EQ(leftovers(folder), QStringList()) << at.toStdString();
                const QJsonObject after = readBack(folder, pw);
                EXPECT_EQ(after.size(), files.size() + 1) << at.toStdString();
                for (auto it = files.begin(); it != files.end(); ++it)
                    EXPECT_EQ(after[it.key()], it.value()) << at.toStdString();
            }
        }
    }
}

// A list whose newest rows live only in its write-ahead log: reading it
// changes nothing in the folder and sees those rows; the trimmed list holds
// them; a merge writes back a list holding every row and leaves no log that
// would be laid over it.
TEST_F(Merge, AListWhoseRowsLiveInItsLogIsReadWholeWithoutChangeAndWrittenBackWhole)
{
    const QString G = "AppDomainGroup-group.com.linecorp.line";
    const QJsonObject layouts[] = {{}, {{"password", "pw"}, {"encryptList", false}, {"saltRows", true}}};
    const QString local = write(tmp.filePath("local"), "merged"), added = write(tmp.filePath("added"), "added");
    for (int layout = 0; layout < 2; ++layout) {
        const QString pw = layout ? "pw" : "";
        QJsonObject spec = layouts[layout];
        spec["entries"] = QJsonArray{bb::folder(L, "Library"), bb::file(L, "Library/a", "a"), bb::file(L, "Library/inlog", "in log"),
                                     bb::file(G, "inlog", "group row in log"), bb::file("HomeDomain", "home", "h")};
        const QString folder = build(spec, QString::number(layout));
        moveIntoLog(folder, "'Library/inlog','inlog'");
        const auto before = snapshot(folder);
        ASSERT_TRUE(before.contains("/Manifest.db-wal"));
        const auto b = open(folder, pw);
        const MBDBParser::MBDBItemMap map = MBDBParser::parse(*b);
        EXPECT_EQ(map.files.size(), 5) << layout;
        EXPECT_TRUE(map.files.contains(bb::fileId(L, "Library/inlog")) && map.files.contains(bb::fileId(G, "inlog")));
        b->parseInfo();
        EXPECT_EQ(snapshot(folder), before) << layout; // no index, no change

        // The trimmed list: one file, no log, the rows of the log in it.
        const QString out = tmp.filePath(QString("trimmed%1.db").arg(layout));
        b->saveManifestDbAsThrow(false, {L, G}, out, nullptr);
        EXPECT_FALSE(QFile::exists(out + "-wal"));
        EXPECT_EQ(readFile(out).mid(18, 2), QByteArray("\x01\x01", 2)); // a list that keeps no log
        QByteArray kept;
        ASSERT_EQ(testenv::runTool("sqlite3", {out, "select relativePath from Files order by 1"}, &kept), 0);
        EXPECT_EQ(kept, "Library\nLibrary/a\nLibrary/inlog\ninlog\n");
        EXPECT_EQ(snapshot(folder), before) << layout;

        // A merge that fails at its commit leaves the list and its log as they were.
        const QString dirTarget = bb::dataPath(folder, bb::fileId(L, "Library/dir"), false);
        ASSERT_TRUE(QDir().mkpath(dirTarget));
        const auto withFolder = snapshot(folder);
        EXPECT_EQ(merge(*b, {Item(L, local, "Library/inlog", true, false), Item(L, local, "Library/dir", true, false)}).size(), 2);
        EXPECT_EQ(snapshot(folder), withFolder) << layout;
        ASSERT_TRUE(QDir().rmdir(dirTarget));

        // The merge replaces a row of the log and adds one.
        ASSERT_EQ(merge(*b, {Item(L, local, "Library/inlog", true, false), Item(G, added, "added", true, false)}), QStringList());
        EXPECT_EQ(leftovers(folder), QStringList()) << layout;
        const QJsonObject files = readBack(folder, pw);
        const QString expected[][2] = {{bb::fileId(L, "Library/a"), "a"}, {bb::fileId(L, "Library/inlog"), "merged"},
                                       {bb::fileId(G, "inlog"), "group row in log"}, {bb::fileId("HomeDomain", "home"), "h"},
                                       {bb::fileId(G, "added"), "added"}};
        EXPECT_EQ(files.size(), 5) << layout;
        for (const auto& [id, bytes] : expected)
            EXPECT_EQ(QByteArray::fromHex(files[id].toString().toLatin1()), bytes.toUtf8()) << layout;
    }
}

// New records take numbers no record holds: above the int numbers in use
// even when a record's number has a high half, past the top of int, and
// never past the top of 64 bits, where appending fails instead.
TEST(Inodes, NewRecordsTakeUnusedNumbersOrFail)
{
    const qint64 top = std::numeric_limits<qint64>::max();
    const struct { const char* name; std::vector<std::pair<quint32, qint64>> inUse; bool room; } cases[] = {
        {"a high half", {{0, 1}, {1, 2}, {0, 3}}, true},
        {"a high half whose low half is above int", {{0, 4}, {0xffffffffu, 0xfffffff0}}, true},
        {"int used up", {{0, 5}, {0, INT_MAX}}, true},
        {"int used up, numbers above", {{0, INT_MAX}, {0, 0x100000005}, {2, 0}}, true},
        {"a number at the top of 64 bits", {{0, 7}, {0, top}}, false},
        {"halves at the top of 64 bits", {{0x7fffffffu, 0xffffffff}}, false},
    };
    for (const auto& c : cases) {
        MBDBParser::MBDBItemMap map;
        QSet<qint64> used;
        for (size_t i = 0; i < c.inUse.size(); ++i) {
            MBDBParser::_MBDBItem r;
            r.domain.setVal("D");
            r.path.setVal("r" + QByteArray::number(int(i)));
            r.inodeHigh = c.inUse[i].first;
            r.inodeNumber = c.inUse[i].second;
            used << (qint64(r.inodeHigh) << 32) + r.inodeNumber;
            map.insert(r.backupFileName(), r);
        }
        QString err;
        const bool appended = MBDBParser::appendFile(map, false, "/nonexistent", "D", "a/b/c", 1, nullptr, nullptr, &err)
            && MBDBParser::appendFile(map, false, "/nonexistent", "D", "a/d", 1, nullptr, nullptr, &err);
        ASSERT_EQ(appended, c.room) << c.name << " " << err.toStdString();
        if (!c.room) {
            EXPECT_TRUE(err.contains("No unused inode number")) << c.name;
            continue;
        }
        for (const MBDBParser::_MBDBItem& r : map.files) {
            if (!r.added)
                continue;
            const qint64 whole = (qint64(r.inodeHigh) << 32) + r.inodeNumber;
            EXPECT_GT(whole, 0) << c.name;
            EXPECT_FALSE(used.contains(whole)) << c.name << " " << whole;
            used << whole;
        }
    }
}

// Only what a merge's journal names is settled: files that merely look like
// what a merge leaves (a user's copies, a stale list of the other layout)
// stay as they are, and the files of a merge stopped while staging go,
// ".part-" ones included. A journal that is not plainly ours is never acted on.
TEST_F(Merge, OnlyWhatAJournalNamesIsSettled)
{
    const QString folder = build({{"entries", QJsonArray{bb::folder(L, "Library"), bb::file(L, "Library/a", "a")}}});
    const QString id = bb::fileId(L, "Library/a"), sub = "/" + id.left(2) + "/";
    const QStringList theirs{"/Manifest.db.old-backup", sub + id + ".old-2023", sub + id + ".new-copy",
                             "/Manifest.mbdb.old-ios9", "/" + id + ".old-x9", "/Manifest.db.new-k9.copy",
                             "/Manifest-decrypted.db.part-AbC1234", "/Manifest.db.part-AbC123"};
    // With the partial files that a writer cut off leaves (a link at such a name is not ours).
    const QStringList ours{sub + id + ".new-k9.part-AbC123", "/Manifest.db.new-k9", "/Manifest.db.new-k9-wal",
                           "/.chatferry-merge.journal.part-x1Y2z3", "/Manifest-decrypted.db.part-AbC123"};
    for (const QString& name : theirs + ours)
        ASSERT_TRUE(testenv::writeFile(folder + name, name.toUtf8()));
    ASSERT_TRUE(QFile::link(folder + "/Manifest.mbdb.old-ios9", folder + "/Manifest-decrypted.db.part-LnK000"));
    const auto b = open(folder);
    MergeJournal::writeThrow(folder, {"k9", false, {}}); // after the open: the merge settles it
    const auto before = snapshot(folder);
    ASSERT_EQ(merge(*b, {Item(L, write(tmp.filePath("b"), "b"), "Library/b", true, false)}), QStringList());
    const auto after = snapshot(folder);
    for (const QString& name : theirs)
        EXPECT_EQ(after.value(name), before.value(name)) << name.toStdString();
    for (const QString& name : ours + QStringList{"/Manifest.mbdb", "/" + MergeJournal::fileName()})
        EXPECT_FALSE(after.contains(name)) << name.toStdString();
    EXPECT_TRUE(QFileInfo(folder + "/Manifest-decrypted.db.part-LnK000").isSymLink());
    // A merge cut off while staging leaves nothing after the next open. A crash: the object is never destroyed,
    // only kept reachable.
    static StagedFiles* cut;
    cut = new StagedFiles(folder);
    ASSERT_TRUE(testenv::writeFile(cut->stageThrow(folder + sub + id), "new a"));
    ASSERT_TRUE(testenv::writeFile(cut->stageThrow(folder + "/Manifest.db"), "new list"));
    open(folder);
    EXPECT_EQ(snapshot(folder), after);

    ASSERT_TRUE(testenv::writeFile(folder + "/" + MergeJournal::fileName(),
                                   R"({"format":"chatferry merge journal 1","commit":"k9","committing":true,)"
                                   R"("entries":[{"target":"Manifest.plist"},{"target":"../outside"}]})"));
    const auto planted = snapshot(folder);
    EXPECT_PRED2(contains, errorOf([&] { open(folder); }), "is not a merge journal of this program; move that file out");
    EXPECT_EQ(snapshot(folder), planted);
    // A journal that cannot be settled (here the lock cannot be taken) stops the open, saying why.
    MergeJournal::writeThrow(folder, {"k9", false, {}});
    ASSERT_TRUE(QDir(folder).mkdir(BackupLock::fileName()));
    const auto stuck = snapshot(folder);
    EXPECT_PRED2(contains, errorOf([&] { open(folder); }), "interrupted");
    EXPECT_EQ(snapshot(folder), stuck);
}

// The journal is on the disk, whole, before the commit's first rename; the
// folders are synced after its last.
TEST_F(Merge, TheCommitIsJournaledBeforeItsRenamesAndSyncedAfter)
{
    const QString folder = build({{"entries", QJsonArray{bb::folder(L, "Library"), bb::file(L, "Library/a", "a")}}});
    const auto b = open(folder);
    trace.clear();
    tracing = true;
    hookRenames(renameHook);
    ASSERT_EQ(merge(*b, {Item(L, write(tmp.filePath("a"), "new"), "Library/a", true, false)}), QStringList());
    hookRenames(nullptr);
    tracing = false;
    qsizetype first = -1, last = -1, journaled = -1;
    for (qsizetype i = 0; i < trace.size(); ++i) {
        if (trace[i].section('>', 0, 0).contains(".new-") && !trace[i].section('>', 1).contains(".new-")) {
            first = first < 0 ? i : first;
            last = i;
        } else if (first < 0 && trace[i].endsWith(">" + MergeJournal::fileName())) {
            journaled = i;
        }
    }
    ASSERT_TRUE(journaled >= 0 && first > journaled) << trace.join(", ").toStdString();
    EXPECT_TRUE(trace.mid(journaled, first - journaled).contains("sync folder")) << trace.join(", ").toStdString();
    EXPECT_TRUE(trace.mid(last).contains("sync folder")) << trace.join(", ").toStdString();
}

// Two merges into one backup at once, in either layout: both end whole, or
// one fails saying that another is under way; the list holds every record
// of those that succeeded.
TEST_F(Merge, TwoMergesStartedTogetherEndWholeOrOneFailsClearly)
{
    const QString small = write(tmp.filePath("small"), "small");
    for (const int waitMs : {5000, 0}) {
        for (const bool mbdb : {false, true}) {
            const QString folder = build({{"mbdb", mbdb}, {"entries", QJsonArray{bb::folder(L, "Library")}}},
                                         QString("t%1%2").arg(waitMs).arg(mbdb));
            QList<Item> batches[2];
            for (int m = 0; m < 2; ++m)
                for (int i = 0; i < 150; ++i)
                    batches[m] << Item(L, small, QString("Library/m%1/f%2").arg(m).arg(i), true, false);
            const int workerWaitMs = std::exchange(BackupLock::workerWaitMs, waitMs);
            const auto b0 = open(folder), b1 = open(folder);
            ProgressForm f0(""), f1("");
            IOSMergeWAFiles2iTunesBKThread t0(*b0, batches[0], f0), t1(*b1, batches[1], f1);
            ModalDriver driver;
            driver.answer(QMessageBox::Ok);
            driver.answer(QMessageBox::Ok);
            int results[2] = {-1, -1};
            QTimer::singleShot(0, [&] { results[1] = f1.runWorker(t1); });
            results[0] = f0.runWorker(t0);
            f0.waitForThread(t0, true);
            f1.waitForThread(t1, true);
            BackupLock::workerWaitMs = workerWaitMs;
            const MBDBParser::MBDBItemMap map = MBDBParser::parse(*open(folder));
            qsizetype expected = 1;
            for (int m = 0; m < 2; ++m) {
                if (results[m] != 1) {
                    ASSERT_EQ(driver.texts.size(), 1) << waitMs << mbdb;
                    EXPECT_TRUE(driver.texts.first().contains("under way")) << driver.texts.first().toStdString();
                    continue;
                }
                expected += 151;
                for (const Item& e : batches[m])
                    EXPECT_TRUE(map.files.contains(bb::fileId(L, e.relativePath))) << e.relativePath.toStdString();
            }
            EXPECT_EQ(map.files.size(), expected) << waitMs << mbdb;
            EXPECT_GT(expected, 1) << "both failed";
            EXPECT_EQ(leftovers(folder), QStringList());
        }
    }
}

// Another window unlocks the encrypted backup while a merge commits: its
// decrypted list waits for the commit, so its own merge keeps the first one's
// records.
TEST_F(Merge, AnUnlockDuringAnotherWindowsCommitWaitsForIt)
{
    const QString folder = build({{"password", "pw"},
                                  {"entries", QJsonArray{bb::folder(L, "Library"), bb::file(L, "Library/first3", "3"),
                                                         bb::file(L, "Library/first4", "4", 4)}}});
    const auto first = open(folder, "pw");
    BackupManifest second(folder);
    second.readManifestInfo();
    std::thread unlocking;
    std::atomic<bool> started{false}, unlocked{false}, waiting{false};
    // Between the decrypted list's rename and the list's: the unlock runs
    // through, unless it waits for the lock.
    hookRenames([&](const QString&, const QString& to, bool done) {
        if (done && to.endsWith("/Manifest-decrypted.db") && !started.exchange(true)) {
            const BackupLock::Waiting shown{[&](bool w) { waiting = waiting || w; }, nullptr};
            unlocking = std::thread([&, shown] { unlocked = second.setPasscodeNoUIThrow("pw", shown, 60000); });
            while (!unlocked && !waiting)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    });
    ASSERT_EQ(merge(*first, {Item(L, write(tmp.filePath("a"), "a"), "Library/A", true, false)}), QStringList());
    hookRenames(nullptr);
    ASSERT_TRUE(unlocking.joinable());
    unlocking.join();
    ASSERT_TRUE(unlocked);
    ASSERT_EQ(merge(second, {Item(L, write(tmp.filePath("b"), "b"), "Library/B", true, false)}), QStringList());
    const QJsonObject files = readBack(folder, "pw");
    EXPECT_TRUE(files.contains(bb::fileId(L, "Library/A")) && files.contains(bb::fileId(L, "Library/B")));

    // Behind its window the check itself cannot be cancelled, its wait for
    // another window can: then nothing is written and the backup stays locked.
    BackupManifest third(folder);
    third.readManifestInfo();
    ASSERT_TRUE(QFile::remove(folder + "/Manifest-decrypted.db"));
    const BackupLock merging(folder);
    ModalDriver driver;
    driver.answer(QMessageBox::Yes);
    QTimer cancelling;
    QObject::connect(&cancelling, &QTimer::timeout, [&] {
        auto* window = qobject_cast<ProgressForm*>(QApplication::activeModalWidget());
        auto* cancel = window ? window->findChild<QPushButton*>("btnCancel") : nullptr;
        if (cancel && cancel->isEnabled())
            cancelling.stop(), cancel->click();
    });
    cancelling.start(10);
    const int waitMs = std::exchange(BackupLock::workerWaitMs, 20000);
    EXPECT_FALSE(third.setPasscode("pw"));
    BackupLock::workerWaitMs = waitMs;
    EXPECT_EQ(driver.texts, QStringList{"Are You Sure You Want To Cancel?"});
    EXPECT_FALSE(QFile::exists(folder + "/Manifest-decrypted.db"));
    EXPECT_TRUE(third.passcode.isEmpty() && third.manifestKey.isEmpty());
}

// The phone backs up again into a folder that a window has unlocked: its
// Manifest.db and Manifest.plist are replaced, the decrypted list stays.
// What uses the unlock's work (a merge, the trimmed list, the tree) uses the
// phone's new list and manifest key; a new keybag asks for the password
// again, and nothing is written.
TEST_F(Merge, WhatAnUnlockDerivedFollowsThePhonesNextBackupOrAsksForThePasswordAgain)
{
    const QJsonArray first{bb::folder(L, "Library"), bb::file(L, "Library/old", "old")};
    const QString old = bb::fileId(L, "Library/old"), sent = bb::fileId(L, "Library/sent");
    enum Next { NewManifestKey, SameKeys, NewKeybag };
    for (const Next next : {NewManifestKey, SameKeys, NewKeybag}) {
        for (const int use : {0, 1, 2}) { // merge, trimmed list, tree
            const QString name = QString("%1%2").arg(next).arg(use);
            const QString folder = build({{"password", "pw"}, {"seed", "phone"}, {"entries", first}}, "u" + name);
            const auto unlocked = open(folder, "pw");
            // Same keys for the same number of keyed files, a new manifest
            // key for more, everything new with another seed.
            QJsonArray again = first;
            if (next == SameKeys)
                again[1] = bb::file(L, "Library/sent", "sent");
            else
                again.append(bb::file(L, "Library/sent", "sent"));
            const QString phone = build(
                {{"password", "pw"}, {"seed", next == NewKeybag ? "other" : "phone"}, {"entries", again}}, "p" + name);
            ASSERT_TRUE(testenv::copyOver(phone, folder));
            const auto before = snapshot(folder);
            const QString trimmed = folder + "/Manifest-line.db";
            QString error;
            if (use == 0)
                error = merge(*unlocked, {Item(L, write(tmp.filePath("a"), "a"), "Library/A", true, false)}).value(0);
            else if (use == 1)
                error = errorOf([&] { unlocked->saveManifestDbAsThrow(false, {L}, trimmed, nullptr); });
            else
                error = errorOf([&] { unlocked->parseInfo(); });
            if (next == NewKeybag) {
                EXPECT_PRED2(contains, error, "enter its password again");
                EXPECT_EQ(snapshot(folder), before);
                continue;
            }
            EXPECT_EQ(error, use == 0 ? "" : "no error");
            QSet<QString> listed;
            if (use == 0) {
                for (const QString& id : readBack(folder, "pw").keys())
                    listed << id;
                EXPECT_TRUE(listed.contains(bb::fileId(L, "Library/A")));
            } else if (use == 1) {
                EXPECT_EQ(bb::aesCbc(built.manifestKey, readFile(trimmed), false), readFile(trimmed + "-decrypt"));
                for (const QString& id : sqlitecli::textThrow(trimmed + "-decrypt", "select fileID from Files").split('\n'))
                    listed << id;
            } else {
                for (auto it = unlocked->items.files.cbegin(); it != unlocked->items.files.cend(); ++it)
                    listed << it.key();
            }
            EXPECT_TRUE(listed.contains(sent)) << name.toStdString();
            EXPECT_EQ(listed.contains(old), next != SameKeys) << name.toStdString();
        }
    }
}

// Threads taking one backup's lock at once, two as writers and two as
// readers: a writer holds it alone, readers together, also while each last
// holder removes the lock file that the next ones are waiting on.
TEST(BackupLock, ThreadsAtOnceHoldItOneAfterAnother)
{
    QTemporaryDir dir;
    std::atomic<int> writers{0}, readers{0}, overlaps{0}, taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const BackupLock::Mode mode = t % 2 ? BackupLock::Shared : BackupLock::Exclusive;
            std::atomic<int>& mine = mode == BackupLock::Shared ? readers : writers;
            for (int i = 0; i < 40; ++i) {
                const BackupLock lock(dir.path(), mode, 60000);
                ++mine;
                overlaps += writers > 1 || (writers && readers);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --mine;
                ++taken;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(taken, 160);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

    // A waiter that opened the lock file just before its holder removed it
    // holds nothing until it has the file now in the folder.
    auto holder = std::make_unique<BackupLock>(dir.path());
    beforeFlock = [&] { holder.reset(); };
    auto waiter = std::make_unique<BackupLock>(dir.path(), BackupLock::Exclusive, 0);
    EXPECT_PRED2(contains, errorOf([&] { BackupLock(dir.path(), BackupLock::Shared, 0); }), "under way");
    waiter.reset();

    // Two readers share it; a writer's wait is shown and ends with a cancel;
    // the last reader to go removes the file.
    auto reader = std::make_unique<BackupLock>(dir.path(), BackupLock::Shared, 0);
    auto other = std::make_unique<BackupLock>(dir.path(), BackupLock::Shared, 0);
    std::atomic<bool> cancel{false};
    QList<bool> shown;
    const BackupLock::Waiting waiting{[&](bool w) { shown << w, cancel = true; }, &cancel};
    int left = 0;
    try {
        BackupLock(dir.path(), BackupLock::Exclusive, 60000, waiting);
    } catch (int code) {
        left = code;
    }
    EXPECT_EQ(left, -1);
    EXPECT_EQ(shown, QList<bool>{true});
    reader.reset();
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(BackupLock::fileName())));
    other.reset();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(BackupLock::fileName())));

    // A wait shown in a window ends back at the window's own status.
    ProgressForm form("");
    const auto status = [&] { return form.findChild<QObject*>("lbStatus")->property("text").toString(); };
    QString during;
    holder = std::make_unique<BackupLock>(dir.path());
    beforeFlock = [&] { beforeFlock = [&] { during = status(), holder.reset(); }; };
    BackupLock(dir.path(), BackupLock::Exclusive, 60000, BackupLock::shownIn(form, "Reading..."));
    EXPECT_TRUE(during.startsWith("Waiting")) << during.toStdString();
    EXPECT_EQ(status(), "Reading...");

    // Clearing a folder found as a link takes the link, never what it leads to.
    const QString linked = dir.filePath("linked"), mine = write(dir.filePath("elsewhere/mine"), "mine");
    ASSERT_TRUE(QFile::link(dir.filePath("elsewhere"), linked));
    BackupLock::clearFolder(linked);
    EXPECT_TRUE(!QFileInfo(linked).isSymLink() && QFileInfo::exists(mine));

    // Where this user cannot write: nothing at the lock's name is read
    // unlocked; a FIFO or a file this user cannot open is refused at once, by
    // name, with advice the user can follow. Any regular file that can be
    // opened is the lock, whoever owns it (a medium that shows one owner).
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const QString lockFile = dir.filePath(BackupLock::fileName());
    const auto as = [&](uid_t user, BackupLock::Mode mode) {
        EXPECT_EQ(::seteuid(user), 0);
        const QString text = errorOf([&] { BackupLock(dir.path(), mode, 0); });
        EXPECT_EQ(::seteuid(0), 0);
        return text;
    };
    enum At { Nothing, Fifo, File };
    const struct { mode_t folder; At at; mode_t file; uid_t owner, user; BackupLock::Mode mode; QString error; } rows[] = {
        {0755, Nothing, 0, 0, 65534, BackupLock::Shared, "no error"},
        {0755, Nothing, 0, 0, 65534, BackupLock::Exclusive, "cannot lock the backup folder"},
        {0755, Fifo, 0644, 0, 65534, BackupLock::Shared, " is in the way, as it is not a regular file. Only its owner"},
        {0755, File, 0600, 0, 65534, BackupLock::Shared, " is in the way, as this user cannot open it (Permission denied). Only its owner"},
        {0777, File, 0600, 0, 65534, BackupLock::Exclusive, " is in the way, as this user cannot open it (Permission denied). Remove it"},
        {01777, File, 0600, 0, 65534, BackupLock::Exclusive, " is in the way, as this user cannot open it (Permission denied). Only its owner"},
        {0755, File, 0644, 0, 65534, BackupLock::Shared, "no error"},
        {0755, File, 0644, 65534, 0, BackupLock::Exclusive, "no error"},
        {0755, File, 0600, 65534, 0, BackupLock::Shared, "no error"},
    };
    for (const auto& r : rows) {
        QFile::remove(lockFile);
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()), r.folder), 0);
        if (r.at == Fifo)
            ASSERT_EQ(::mkfifo(QFile::encodeName(lockFile), r.file), 0);
        if (r.at == File)
            ASSERT_TRUE(write(lockFile, "") == lockFile && ::chmod(QFile::encodeName(lockFile), r.file) == 0
                        && ::chown(QFile::encodeName(lockFile), r.owner, r.owner) == 0);
        const QString text = as(r.user, r.mode);
        EXPECT_TRUE(text.contains((r.error.startsWith(" is") ? lockFile : "") + r.error)) << text.toStdString();
    }

    // On a read-only medium a writer is told so, whether a lock file is there or not.
    const QString medium = dir.filePath("medium");
    ASSERT_TRUE(QDir().mkdir(medium));
    const QByteArray at = QFile::encodeName(medium);
    if (::mount("tmpfs", at.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    for (const bool lockThere : {false, true}) {
        ASSERT_TRUE(!lockThere || write(medium + "/" + BackupLock::fileName(), "") != "");
        ASSERT_EQ(::mount(nullptr, at.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        EXPECT_PRED2(contains, errorOf([&] { BackupLock(medium, BackupLock::Exclusive, 0); }),
                     ("cannot lock the backup folder " + at + ": Read-only file system").constData());
        ASSERT_EQ(::mount(nullptr, at.constData(), nullptr, MS_REMOUNT, nullptr), 0);
    }
    EXPECT_EQ(::umount2(at.constData(), MNT_DETACH), 0);
}
