// The hooks of the mobilebackup2 engine on a real folder tree: the default
// one with links out of the tree, and the partial-backup one with its keep
// decision and the phone's view of the folder from the index of the files it
// was sent.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "device/backup2toolhook.h"
#include "device/fakebackup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;
const QString kLine = "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", kGroup = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";
const QString kOther = "FEDCBA98-7654-4321-8FED-CBA987654321", kApp = "/var/mobile/Containers/Data/Application/";
const QString kDev = "00008030-001A/"; // a device folder

// "name type size mtime" of each entry of a listing, sorted.
QStringList listing(const QList<Backup2ToolHook::DirItem>& items)
{
    QStringList out;
    for (const auto& i : items)
        out << QString("%1 %2 %3 %4").arg(i.name).arg(i.type).arg(i.size).arg(i.mtime.toSecsSinceEpoch());
    out.sort();
    return out;
}

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
        fake.keepApps = {"jp.naver.line"};
        fake.appUuids = {{"jp.naver.line", {kLine, kGroup}}, {"com.other", {kOther}}};
        fake.allUserAppUuids = {kLine, kGroup, kOther};
        ASSERT_TRUE(QDir().mkpath(root.filePath(kDev)));
        ASSERT_TRUE(fake.dnameDb.open(root.filePath(kDev + "dname.sqlite"), nullptr));
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
    FakeBackup2ToolHook fake;
    QString error;
};

TEST_F(HookTest, CopyRecursiveReplacesFilesAndRefusesMismatchedKinds)
{
    // cancelAfter: the copy is cancelled after that many entries.
    const struct { const char *from, *to, *error; int cancelAfter = 0; } cases[] = {
        {"u/ab/f.txt", "u/sub", "Destination is a folder."},
        {"u/sub", "u/ab/f.txt", "Destination is a file."},
        {"u/sub", "u/sub/deep/in", "Destination lies inside the source."},
        {"u/ab/f.txt", "u/ab/f.txt", "Destination lies inside the source."},
        {"u/missing", "u/none", ""},
        {"u/sub", "u/copy", ""},
        {"u/sub", "u/link", ""}, // a link at the destination is replaced, not entered
        {"u", "u2", ""},
        {"u", "u3", "The copy was cancelled.", 4},
    };
    for (const auto& c : cases) {
        error.clear();
        int entries = 0;
        const auto cancelled = [&] { return c.cancelAfter && ++entries > c.cancelAfter; };
        EXPECT_EQ(copy_recursive(at(c.from), at(c.to), error, cancelled), c.cancelAfter ? 6 : *c.error ? 14 : 0)
            << c.from << " " << c.to;
        EXPECT_EQ(error, c.error) << c.from << " " << c.to;
    }
    // The cancelled copy stopped where it was cancelled.
    EXPECT_LT(simFilesBelow(at("u3")).size(), simFilesBelow(at("u")).size());
    EXPECT_EQ(readFile(at("u/copy/deep/d.txt")) + readFile(at("u/link/deep/d.txt")), "DD");
    EXPECT_EQ(readFile(at("u/ab/f.txt")), "abc");
    // Links in the source are skipped, hidden files are not copied.
    const QStringList copied {"ab/f.txt", "copy/deep/d.txt", "link/deep/d.txt", "sub/deep/d.txt"};
    EXPECT_EQ(simFilesBelow(at("u2")), copied);
    expectOutsideUntouched();
}

TEST_F(HookTest, HostilePathsAreRefusedInEveryOperationAndNothingOutsideChanges)
{
    const QStringList hostile {"../x", "u/../../x", "u/ab/../f", "/etc/passwd", "",
                               "u/out/v.txt", "u/out", "u/outfile"};
    for (const QString& bad : hostile) {
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

// A folder the phone asks for exists afterwards, with its parents; one that
// is there already keeps what it holds; one that cannot be made is an error.
TEST_F(HookTest, MkdirMakesTheFolderKeepsAnExistingOneAndSaysWhyItCannot)
{
    for (const char* path : {"u/new", "u/new2/a/b", "u/sub", "u/sub/deep"}) {
        error.clear();
        EXPECT_EQ(hook.mkdir(rootDir, path, error), 0) << path;
        EXPECT_TRUE(QFileInfo(at(path)).isDir() && !QFileInfo(at(path)).isSymLink()) << path;
        EXPECT_EQ(error, "") << path;
    }
    EXPECT_EQ(readFile(at("u/sub/deep/d.txt")), "D");
    // What stands in the way, or why the folder could not be made.
    const QString tooLong = "u/new3/" + QString(300, 'n');
    const struct { QString path; int code; QString error; } failures[] = {
        {"u/ab/f.txt", QFileDevice::OpenError, "u/ab/f.txt is a file, not a folder"},
        {"u/ab/f.txt/x", Backup2ToolHook::RefusedPath,
         "refused path \"u/ab/f.txt/x\": u/ab/f.txt is a file, not a folder"},
        {tooLong, QFileDevice::OpenError, "cannot make the folder " + at(tooLong) + ": File name too long"},
    };
    for (const auto& f : failures) {
        error.clear();
        EXPECT_EQ(hook.mkdir(rootDir, f.path, error), f.code) << f.path;
        EXPECT_EQ(error, f.error) << f.path;
    }
    EXPECT_EQ(readFile(at("u/ab/f.txt")), "abc");
}

TEST_F(HookTest, ThePartialHookKeepsMetadataFilterMatchesAndTheWantedAppsInBothModes)
{
    fake.filters = {QRegularExpression("Media/.*\\.jpg$")};
    fake.dnameDb.insert("known", kApp + kLine.toLower() + "/Documents/x", false, QDateTime::currentDateTime());
    // Kept with keepNonAppFiles false (strict), and true (all).
    const struct { QString path, deviceName; bool strict, all; } cases[] = {
        {kDev + "Manifest.db", "/var/mobile/x", true, true},
        {kDev + "MANIFEST.PLIST", "", true, true},
        {kDev + "ab/Status.plist", kApp + kOther + "/x", true, true},
        {kDev + "ab/f1", kApp + kLine.toLower() + "/Documents/x", true, true},
        {kDev + "ab/f2", "/var/mobile/Containers/Shared/AppGroup/" + kGroup + "/y", true, true},
        {kDev + "ab/f3", "/var/mobile/Library/SMS/sms.db", false, true},
        {kDev + "ab/f4", kApp + kOther + "/z", false, false},
        {kDev + "ab/f5", "/var/mobile/Media/DCIM/a.jpg", true, true},
        {kDev + "ab/unknown", "", false, true},
        {kDev + "ab/known", "", true, true},
    };
    for (const auto& c : cases) {
        for (const bool all : {false, true}) {
            fake.keepNonAppFiles = all;
            const bool kept = fake.isFileIncluded(rootDir, c.path, c.deviceName);
            EXPECT_EQ(kept, all ? c.all : c.strict) << c.path.toStdString() << all;
        }
    }
}

TEST_F(HookTest, ThePartialHooksListingsComeFromTheIndexExceptSnapshotAndStoredFiles)
{
    const QString kept = "ab" + QString(38, '1'), dropped = "ab" + QString(38, '2'), lost = "ab" + QString(38, '3');
    // Ids from 32 characters on are grouped by their first two, as file ids are.
    for (const QString& f : {kept, dropped, lost, QString("Manifest.db"), QString("xy"), QString(31, 'x'),
                             "ef" + QString(30, 'y')}) {
        const QString deviceName = f == dropped ? kApp + kOther : kApp + kLine;
        fake.dnameDb.insert(f, deviceName, f != dropped, QDateTime::fromSecsSinceEpoch(1000));
    }
    fake.dnameDb.update(dropped, QDateTime::fromSecsSinceEpoch(2000), 1234);
    ASSERT_TRUE(testenv::writeFile(root.filePath(kDev + "ab/" + kept), "12345"));
    ASSERT_TRUE(testenv::writeFile(root.filePath(kDev + "Snapshot/real.txt"), "r"));
    const auto names = [&](const QString& path) {
        return listing(fake.dirContents(rootDir, path)).replaceInStrings(QRegularExpression(" \\d+$"), "");
    };
    const QStringList top {"Manifest.db 1 0", "ab 2 0", "ef 2 0", QString(31, 'x') + " 1 0", "xy 1 0"};
    EXPECT_EQ(names(kDev.chopped(1)), top);
    EXPECT_EQ(names(kDev + "Snapshot"), QStringList{"real.txt 1 1"});
    // A file kept but gone from the folder is not listed: the phone sends it again.
    EXPECT_EQ(names(kDev + "ab"), (QStringList{kept + " 1 5", dropped + " 1 1234"}));
    EXPECT_TRUE(listing(fake.dirContents(rootDir, kDev + "ab")).contains(dropped + " 1 1234 2000"));

    error.clear();
    for (const QString& path : {kDev + "Snapshot/ab/" + dropped, kDev + "xy", kDev + "ab/" + kept})
        EXPECT_EQ(fake.removeFile(rootDir, path, error), 0);
    EXPECT_FALSE(fake.dnameDb.getDName(dropped).isEmpty() || fake.dnameDb.getDName("xy").isEmpty());
    EXPECT_TRUE(fake.dnameDb.getDName(kept).isEmpty());
    EXPECT_FALSE(QFile::exists(root.filePath(kDev + "ab/" + kept)));

    // An index beside Manifest.plist but without Manifest.db starts anew.
    ASSERT_TRUE(testenv::writeFile(root.filePath("00ff/Manifest.plist"), "m")
                && QFile::copy(root.filePath(kDev + "dname.sqlite"), root.filePath("00ff/dname.sqlite")));
    FakeBackup2ToolHook().beginThrow(rootDir, "00ff");
    EXPECT_FALSE(QFile::exists(root.filePath("00ff/dname.sqlite")));
}

// The inode number and link count of what is at path.
std::pair<quint64, quint64> inodeOf(const QString& path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return {quint64(st.st_ino), quint64(st.st_nlink)};
}

TEST_F(HookTest, AnUploadReplacesItsTargetWholeAndNeverWritesThroughASecondName)
{
    const QString v = outside.filePath("v.txt");
    ASSERT_EQ(::link(QFile::encodeName(v).constData(), QFile::encodeName(at("u/ab/twin")).constData()), 0);
    const auto outsideInode = inodeOf(v);
    // What happens to the target between open and end; -1 bytes: as many as written.
    const struct { QString path; std::function<void()> meanwhile; qint64 told; QByteArray after; QString thrown; } cases[] = {
        {"u/ab/twin", [] {}, -1, "new", ""},
        {"u/ab/f.txt", [] {}, -1, "new", ""},
        {"u/new/deep/n.txt", [] {}, -1, "new", ""},
        {"u/ab/" + QString(84, 'x') + QString(57, QChar(0x65E5)), [] {}, -1, "new", ""}, // a name of 255 bytes
        {"u/sub/deep/d.txt", [] {}, 2, "D", ""}, // not the bytes received: the old file stays
        {"u/ab/f.txt", [this] { QFile::remove(at("u/ab/f.txt")); QDir().mkpath(at("u/ab/f.txt/now-a-folder")); }, -1,
         "<missing>", "backup2tool::recvFileThrow: Write " + at("u/ab/f.txt") + " failed. Is a directory"},
    };
    for (const auto& c : cases) {
        QFile file;
        ASSERT_EQ(hook.recvFileOpenWrite(rootDir, c.path, file, error), 0) << c.path;
        ASSERT_EQ(file.write("new"), 3);
        c.meanwhile();
        QString thrown;
        try {
            hook.recvFileEnd(rootDir, c.path, c.told < 0 ? 3 : quint64(c.told));
        } catch (const std::runtime_error& e) {
            thrown = e.what();
        }
        EXPECT_EQ(thrown, c.thrown) << c.path;
        EXPECT_EQ(readFile(at(c.path)), c.after) << c.path;
        // Only the target's name changed hands: no part file is left.
        EXPECT_TRUE(simFilesBelow(at("u")).filter(".part-").isEmpty()) << c.path;
    }
    EXPECT_NE(inodeOf(at("u/ab/twin")).first, outsideInode.first);
    EXPECT_EQ(inodeOf(v), std::make_pair(outsideInode.first, quint64(1)));
    expectOutsideUntouched();

    // A file the phone never finished leaves no part file, at the next file
    // or when the hook goes.
    {
        Backup2ToolHook once;
        for (const char* path : {"u/ab/cut1", "u/ab/cut2"}) {
            QFile file;
            ASSERT_EQ(once.recvFileOpenWrite(rootDir, path, file, error), 0);
            file.write("partial");
        }
        EXPECT_EQ(simFilesBelow(at("u/ab")).filter(".part-").size(), 1);
    }
    EXPECT_TRUE(simFilesBelow(at("u")).filter(QRegularExpression("part|cut")).isEmpty());
}

TEST_F(HookTest, AFileWithASecondNameIsNeverCopied)
{
    ASSERT_EQ(::link(QFile::encodeName(outside.filePath("v.txt")).constData(),
                     QFile::encodeName(at("u/sub/twin")).constData()),
              0);
    EXPECT_EQ(hook.copyFile(rootDir, "u/sub", "u/sub2", error), 0);
    EXPECT_EQ(hook.copyFile(rootDir, "u/sub/twin", "u/twin-copy", error), 0);
    EXPECT_EQ(simFilesBelow(at("u/sub2")), QStringList {"deep/d.txt"});
    EXPECT_FALSE(QFileInfo::exists(at("u/twin-copy")));
    // Listed and removed like any file: the other name keeps the data.
    EXPECT_TRUE(listing(hook.dirContents(rootDir, "u/sub")).contains(QString("twin 1 8 %1").arg(
        QFileInfo(at("u/sub/twin")).lastModified().toSecsSinceEpoch())));
    EXPECT_EQ(hook.removeFile(rootDir, "u/sub/twin", error), 0);
    EXPECT_FALSE(QFileInfo::exists(at("u/sub/twin")));
    expectOutsideUntouched();
}

TEST_F(HookTest, WhatTheHookRemembersOfTheFolderNeverOutlivesItsOwnChanges)
{
    using Kind = Backup2ToolHook::Kind;
    using Change = std::function<void(Backup2ToolHook&, const QDir&)>;
    // A fresh tree per case, as in SetUp.
    const auto fresh = [](QTemporaryDir& dir) {
        for (const char* file : {"u/ab/f.txt", "u/sub/deep/d.txt", "u/copy/deep/d.txt"})
            EXPECT_TRUE(testenv::writeFile(dir.filePath(file), "x"));
        return QDir(dir.path());
    };
    // A folder the hook removed or moved away may be made again as a link:
    // a path through it is looked at afresh and refused.
    const struct { Change change; const char *link, *probe; } gone[] = {
        {[&](Backup2ToolHook& h, const QDir& r) { h.removeFile(r, "u/sub", error); }, "u/sub", "u/sub/deep/d.txt"},
        {[&](Backup2ToolHook& h, const QDir& r) { h.removeFile(r, "u", error); }, "u/sub", "u/sub/deep/d.txt"},
        {[&](Backup2ToolHook& h, const QDir& r) { h.moveFile(r, "u/sub", "u/moved", error); }, "u/sub",
         "u/sub/deep/d.txt"},
        {[&](Backup2ToolHook& h, const QDir& r) { h.moveFile(r, "u/copy", "u/sub", error); }, "u/sub/deep",
         "u/sub/deep/d.txt"},
        {[&](Backup2ToolHook& h, const QDir& r) { h.moveFile(r, "u/ab/f.txt", "u/sub", error); }, "u/sub",
         "u/sub/x"},
    };
    for (const auto& c : gone) {
        QTemporaryDir dir;
        const QDir r = fresh(dir);
        Backup2ToolHook h;
        ASSERT_EQ(h.checkedPath(r, c.probe, &error), dir.filePath(c.probe)) << c.probe;
        c.change(h, r);
        const QString place = dir.filePath(c.link);
        rmdir_recursive(place);
        QFile::remove(place);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(place).path()) && QFile::link(outside.path(), place)) << c.link;
        error.clear();
        EXPECT_EQ(h.checkedPath(r, c.probe, &error), "") << c.link;
        EXPECT_TRUE(error.contains("link")) << c.link;
    }
    // What the hook says is at a path follows what it did there.
    const struct { Change change; const char* path; Kind kind; } kinds[] = {
        {[&](Backup2ToolHook& h, const QDir& r) { h.mkdir(r, "u/new/dir", error); }, "u/new/dir", Kind::Folder},
        {[&](Backup2ToolHook& h, const QDir& r) { h.removeFile(r, "u/ab/f.txt", error); }, "u/ab/f.txt",
         Kind::Missing},
        {[&](Backup2ToolHook& h, const QDir& r) { h.moveFile(r, "u/ab/f.txt", "u/m", error); }, "u/ab/f.txt",
         Kind::Missing},
        {[&](Backup2ToolHook& h, const QDir& r) { h.copyFile(r, "u/ab/f.txt", "u/c", error); }, "u/c", Kind::File},
        {[&](Backup2ToolHook& h, const QDir& r) {
             QFile file;
             h.recvFileOpenWrite(r, "u/up", file, error);
             file.write("x");
             h.recvFileEnd(r, "u/up", 1);
         },
         "u/up", Kind::File},
    };
    for (const auto& c : kinds) {
        QTemporaryDir dir;
        const QDir r = fresh(dir);
        Backup2ToolHook h;
        Kind kind = Kind::Other;
        h.checkedPath(r, c.path, &error, QString(), &kind);
        c.change(h, r);
        EXPECT_EQ(h.checkedPath(r, c.path, &error, QString(), &kind), dir.filePath(c.path));
        EXPECT_EQ(int(kind), int(c.kind)) << c.path;
    }
}

TEST_F(HookTest, ThePartialHookRecordsEachFileOnceWithItsSizeWhenItEnds)
{
    const QString kept = "ab" + QString(38, '4'), dropped = "ab" + QString(38, '5'), cut = "ab" + QString(38, '6');
    const struct { QString id, deviceName; bool ends; QByteArray data; QString listed; QByteArray stored; } cases[] = {
        {kept, kApp + kLine + "/Documents/k", true, "12345", kept + " 1 5", "12345"},
        {dropped, kApp + kOther + "/o", true, "1234567", dropped + " 1 7", "<missing>"},
        // The phone sends it again; what an earlier backup left at its path stays.
        {cut, kApp + kLine + "/Documents/c", false, "123", "", "earlier"},
    };
    ASSERT_TRUE(testenv::writeFile(root.filePath(kDev + "Snapshot/ab/" + cut), "earlier"));
    for (const auto& c : cases) {
        const QString path = kDev + "Snapshot/ab/" + c.id;
        fake.recvFileBegin(rootDir, kDev.chopped(1), path, c.deviceName);
        QFile file;
        ASSERT_EQ(fake.recvFileOpenWrite(rootDir, path, file, error), 0);
        if (file.isOpen())
            file.write(c.data);
        if (c.ends)
            fake.recvFileEnd(rootDir, path, quint64(c.data.size()));
        else
            fake.recvFileAbort(rootDir, path);
    }
    EXPECT_TRUE(simFilesBelow(root.filePath(kDev)).filter(".part-").isEmpty());
    for (const auto& c : cases) {
        const QString entry = listing(fake.dnameDb.items("ab")).filter(c.id).value(0).section(' ', 0, 2);
        EXPECT_EQ(entry, c.listed);
        EXPECT_EQ(fake.dnameDb.getDName(c.id), c.ends ? c.deviceName : QString());
        EXPECT_EQ(readFile(root.filePath(kDev + "Snapshot/ab/" + c.id)), c.stored);
    }
}

} // namespace
