// Writing into backups: new records, the row archive, and merges that are
// read back by a fresh reader (and the builder's own decryptor), or that fail
// part-way and must leave the folder as it was.
#include <QDirIterator>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <limits>
#include <csignal>
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "backup/iosmergewafiles2itunesbkthread.h"
#include "backup/stagedfiles.h"
#include "foundation/plistcftype.h"
#include "foundation/progressform.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"
#include "tests/support/modaldriver.h"

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

namespace {

using Item = IOSMergeWAFiles2iTunesBKThread::_Item;
using Merge = BackupTest;
const QString L = "AppDomain-jp.naver.line";

// Every file and folder below `folder` with its bytes.
QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> all;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        all[path.mid(folder.size())] = it.fileInfo().isDir() ? "<folder>" : readFile(path);
    }
    return all;
}

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
        if (name.contains(".new-") || name.contains(".old-") || name.endsWith("-wal") || name.endsWith("-shm"))
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
        StagedFiles staged;
        ASSERT_TRUE(testenv::writeFile(staged.stageThrow(a), "new a"));
        staged.stageThrow(b); // nothing written there: putting it in place fails
        noHardLinks = !hardLinks;
        EXPECT_THROW(staged.commitThrow(), StagedFiles::CommitError);
        noHardLinks = false;
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"a", "b"})) << hardLinks;
        EXPECT_EQ(readFile(a), "old a") << hardLinks;
        EXPECT_EQ(readFile(b), "old b") << hardLinks;
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(a).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << hardLinks; // the old file's own mode came back with it
    }
}

// A crash at any rename of the commit (simulated by stopping it there) leaves
// a folder whose list on disk decrypts every data file it names, with or
// without hard links; the next merge puts back or removes what the commit
// left aside, and then every file is the new one.
TEST_F(Merge, ACrashBeforeAnyRenameOfTheCommitLeavesEveryFileReadableAndTheNextMergeSettlesIt)
{
    const QJsonObject layouts[] = {{{"password", "pw"}}, {{"mbdb", true}, {"password", "pw"}}};
    const QByteArray newDb(3000, 'n');
    const QString db = write(tmp.filePath("db"), newDb), wal = write(tmp.filePath("wal"), "new log"),
                  added = write(tmp.filePath("added"), "added");
    // The database asks for class 4 where its record has class 3: a key of
    // another record would not match the list that is still on disk.
    const QList<Item> items{Item(L, db, "Library/Line.sqlite", true, true), Item(L, wal, "Library/Line.sqlite-wal", true, false),
                            Item(L, added, "Library/Added", true, false)};
    const QString ids[] = {bb::fileId(L, "Library/Line.sqlite"), bb::fileId(L, "Library/Line.sqlite-wal"),
                           bb::fileId(L, "Library/Added"), bb::fileId(L, "Library/first3"), bb::fileId(L, "Library/first4")};
    const QByteArray olds[] = {"old database", "old log", "", "3", "4"}, news[] = {newDb, "new log", "added", "3", "4"};
    for (int layout = 0; layout < 2; ++layout) {
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
                noHardLinks = !hardLinks;
                StagedFiles::stopAfterRenames = k;
                const QStringList shown = merge(*open(folder, "pw"), items);
                StagedFiles::stopAfterRenames = -1;
                noHardLinks = false;
                done = shown.isEmpty();
                ASSERT_TRUE(done || shown == QStringList{"failed"}) << shown.join('|').toStdString();

                // Every file the list on disk names decrypts; a replaced one is old or new, never a mix.
                const QJsonObject files = readBack(folder, "pw");
                ASSERT_EQ(files.size(), done ? 5 : 4 + files.contains(ids[2])) << at.toStdString();
                for (auto it = files.begin(); it != files.end(); ++it) {
                    const QByteArray plain = QByteArray::fromHex(it.value().toString().toLatin1());
                    const int i = int(std::find(ids, ids + 5, it.key()) - ids);
                    ASSERT_LT(i, 5) << it.key().toStdString();
                    EXPECT_TRUE(plain == news[i] || (!done && plain == olds[i]))
                        << at.toStdString() << " " << it.value().toString().toStdString();
                }
                // The next merge settles what the crash left, then writes its own files.
                ASSERT_EQ(merge(*open(folder, "pw"), items), QStringList()) << at.toStdString();
                EXPECT_EQ(leftovers(folder), QStringList()) << at.toStdString();
                const QJsonObject after = readBack(folder, "pw");
                ASSERT_EQ(after.size(), 5) << at.toStdString();
                for (int i = 0; i < 5; ++i)
                    EXPECT_EQ(QByteArray::fromHex(after[ids[i]].toString().toLatin1()), news[i]) << at.toStdString();
            }
        }
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

// What a crash inside a commit left: an old file whose target is gone goes
// back, every other staged or set-aside file goes, and nothing else (other
// names, links, files of other folders) is touched.
TEST(StagedFiles, TidySettlesWhatAnInterruptedCommitLeftAndNothingElse)
{
    QTemporaryDir dir;
    const QString id = QString(40, 'a'), other = QString(40, 'b'), sub = "/" + id.left(2) + "/";
    const struct { QString name; bool link; const char* afterwards; } files[] = {
        {id + ".old-k2", false, "gone"},                         // its target is there
        {id, false, "kept"},
        {other + ".old-k2", false, "put back"},                  // its target is gone
        {sub + other + ".new-x9", false, "gone"},
        {sub + other + ".old-x9", false, "put back"},
        {"Manifest.db.new-x9", false, "gone"}, {"Manifest.db.new-x9-wal", false, "gone"},
        {"Manifest-decrypted.db.old-x9", false, "put back"},
        {"Manifest.mbdb.old-x9", true, "kept"},                  // a link is never followed nor moved
        {"Info.plist.old-x9", false, "kept"}, {id + ".old-", false, "kept"}, {id + ".older-x9", false, "kept"},
        {"zz/" + id + ".new-x9", false, "kept"},                 // not a data folder
    };
    for (const auto& f : files) {
        const QString path = dir.path() + "/" + f.name;
        ASSERT_TRUE(f.link ? QFile::link("/etc/hostname", path) : testenv::writeFile(path, f.name.toUtf8()));
    }
    EXPECT_EQ(StagedFiles::tidy(dir.path()), 7);
    for (const auto& f : files) {
        const QString path = dir.path() + "/" + f.name;
        const QString target = path.left(path.lastIndexOf(".old-"));
        const bool intact = QFileInfo(path).isSymLink() ? f.link : readFile(path) == f.name.toUtf8();
        const QString state = intact ? "kept"
            : QString(f.afterwards) == "put back" && readFile(target) == f.name.toUtf8() ? "put back" : "gone";
        EXPECT_EQ(state, f.afterwards) << f.name.toStdString();
    }
}
