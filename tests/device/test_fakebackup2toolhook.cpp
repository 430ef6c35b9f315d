// The partial-backup hook on its own: the keep decision, and the phone's view
// of the backup folder from the index of the files it was sent.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/fakebackup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace {

const QString kLine = "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", kGroup = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";
const QString kOther = "FEDCBA98-7654-4321-8FED-CBA987654321", kApp = "/var/mobile/Containers/Data/Application/";
const QString kDev = "00008030-001A/"; // a device folder

// "name type size mtime" of each entry of a listing, sorted.
QStringList listing(const QList<Backup2ToolHook::DirItem>& items)
{
    QStringList out;
    for (const auto& i : items)
        out << QString("%1 %2 %3 %4").arg(i.name).arg(i.type).arg(i.size).arg(i.mtime.toSecsSinceEpoch());
    return out.sort(), out;
}

class FakeHookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        hook.keepApps = {"jp.naver.line"};
        hook.appUuids = {{"jp.naver.line", {kLine, kGroup}}, {"com.other", {kOther}}};
        hook.allUserAppUuids = {kLine, kGroup, kOther};
        ASSERT_TRUE(QDir().mkpath(root.filePath(kDev)) && hook.dnameDb.open(root.filePath(kDev + "dname.sqlite"), nullptr));
    }
    QTemporaryDir root;
    QDir rootDir {root.path()};
    FakeBackup2ToolHook hook;
};

TEST_F(FakeHookTest, KeepsMetadataFilterMatchesAndTheWantedAppsInBothModes)
{
    hook.filters = {QRegularExpression("Media/.*\\.jpg$")};
    hook.dnameDb.insert("known", kApp + kLine.toLower() + "/Documents/x", false, QDateTime::currentDateTime());
    const struct { QString path, deviceName; bool strict, all; /* kept with keepNonAppFiles false, and true */ } cases[] = {
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
            hook.keepNonAppFiles = all;
            EXPECT_EQ(hook.isFileIncluded(rootDir, c.path, c.deviceName), all ? c.all : c.strict) << c.path.toStdString() << all;
        }
    }
}

TEST_F(FakeHookTest, ListingsComeFromTheIndexExceptSnapshotAndStoredFiles)
{
    const QString kept = "ab" + QString(38, '1'), dropped = "ab" + QString(38, '2'), lost = "ab" + QString(38, '3');
    for (const QString& f : {kept, dropped, lost, QString("Manifest.db"), QString("xy")})
        hook.dnameDb.insert(f, f == dropped ? kApp + kOther : kApp + kLine, f != dropped, QDateTime::fromSecsSinceEpoch(1000));
    hook.dnameDb.update(dropped, QDateTime::fromSecsSinceEpoch(2000), 1234);
    ASSERT_TRUE(testenv::writeFile(root.filePath(kDev + "ab/" + kept), "12345") && testenv::writeFile(root.filePath(kDev + "Snapshot/real.txt"), "r"));
    const auto names = [&](const QString& path) { return listing(hook.dirContents(rootDir, path)).replaceInStrings(QRegularExpression(" \\d+$"), ""); };
    EXPECT_EQ(names(kDev.chopped(1)), (QStringList{"Manifest.db 1 0", "ab 2 0", "xy 1 0"}));
    EXPECT_EQ(names(kDev + "Snapshot"), QStringList{"real.txt 1 1"});
    // A file kept but gone from the folder is not listed: the phone sends it again.
    EXPECT_EQ(names(kDev + "ab"), (QStringList{kept + " 1 5", dropped + " 1 1234"}));
    EXPECT_TRUE(listing(hook.dirContents(rootDir, kDev + "ab")).contains(dropped + " 1 1234 2000"));

    QString error;
    for (const QString& path : {kDev + "Snapshot/ab/" + dropped, kDev + "xy", kDev + "ab/" + kept})
        EXPECT_EQ(hook.removeFile(rootDir, path, error), 0);
    EXPECT_FALSE(hook.dnameDb.getDName(dropped).isEmpty() || hook.dnameDb.getDName("xy").isEmpty());
    EXPECT_TRUE(hook.dnameDb.getDName(kept).isEmpty());
    EXPECT_FALSE(QFile::exists(root.filePath(kDev + "ab/" + kept)));

    // An index beside Manifest.plist but without Manifest.db starts anew.
    ASSERT_TRUE(testenv::writeFile(root.filePath("00ff/Manifest.plist"), "m")
                && QFile::copy(root.filePath(kDev + "dname.sqlite"), root.filePath("00ff/dname.sqlite")));
    FakeBackup2ToolHook().beginThrow(rootDir, "00ff");
    EXPECT_FALSE(QFile::exists(root.filePath("00ff/dname.sqlite")));
}

TEST(FakeDNameDb, FileIdsAreGroupedByPrefixAndKeptWhenTheIndexCloses)
{
    QTemporaryDir dir;
    const QString ab = "ab" + QString(38, 'f'), cd = "cd" + QString(38, '0'), s31(31, 'x'), s32 = "ef" + QString(30, 'y');
    const auto at = [](qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs); };
    {
        FakeDNameDb db;
        ASSERT_TRUE(db.open(dir.filePath("dname.sqlite"), nullptr));
        db.insert("Manifest.db", "", true, at(50));
        db.insert(ab, "AppDomain-x-Library/a", false, at(900));
        db.update(ab, at(950), 5);
        db.insert(ab, "AppDomain-x-Library/b", false, at(1000)); // replaces, size back to 0
        db.insert(cd, "HomeDomain-c", true, at(300));
        db.insert(s31, "d31", false, at(7));
        db.insert(s32, "d32", false, at(8));
        db.update(cd, at(400), 77);
        db.insert("gone", "d", false, at(9));
        db.remove("gone");
    }
    FakeDNameDb db; // an existing file is opened as it is, not created anew
    ASSERT_TRUE(db.open(dir.filePath("dname.sqlite"), nullptr));
    EXPECT_EQ(listing(db.items("")), (QStringList{"Manifest.db 1 0 50", "ab 2 0 1000", "cd 2 0 400", "ef 2 0 8", s31 + " 1 0 7"}));
    EXPECT_EQ(listing(db.items("ab") + db.items("cd")), (QStringList{ab + " 1 0 1000", cd + " 1 77 400"}));
    EXPECT_EQ(db.getDName(ab) + "|" + db.getDName("missing"), "AppDomain-x-Library/b|");
}

} // namespace
