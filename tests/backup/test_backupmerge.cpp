// Writing into backups: new records, the row archive, and merges that are
// read back by a fresh reader (and the builder's own decryptor), or that fail
// part-way and must leave the folder as it was.
#include <QDirIterator>

#include <csignal>
#include <sys/resource.h>

#include "backup/iosmergewafiles2itunesbkthread.h"
#include "backup/stagedfiles.h"
#include "foundation/plistcftype.h"
#include "foundation/progressform.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"
#include "tests/support/modaldriver.h"

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
            {b.get(), {Item(L, big, "Library/big", true, false)}, false, 60000, "write"}, // a full disk
            {b.get(), {}, false, listSize - 1, "write"}, // no room for the new list
            {b.get(), {Item(L, small, "Library/dir", true, false)}, false, RLIM_INFINITY, "Is a directory"},
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
            EXPECT_TRUE(shown.first().contains(f.error)) << shown.first().toStdString();
            EXPECT_EQ(snapshot(folder), before) << shown.first().toStdString();
        }

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
// names that kept the old files go too.
TEST(StagedFiles, AFailedCommitLeavesEveryTargetAsItWas)
{
    QTemporaryDir dir;
    const QString a = dir.filePath("a"), b = dir.filePath("b");
    ASSERT_TRUE(testenv::writeFile(a, "old a"));
    ASSERT_TRUE(testenv::writeFile(b, "old b"));
    StagedFiles staged;
    ASSERT_TRUE(testenv::writeFile(staged.stageThrow(a), "new a"));
    staged.stageThrow(b); // nothing written there: putting it in place fails
    EXPECT_THROW(staged.commitThrow(), std::runtime_error);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"a", "b"}));
    EXPECT_EQ(readFile(a), "old a");
    EXPECT_EQ(readFile(b), "old b");
}
