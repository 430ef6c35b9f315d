// The partial-backup hook on its own: the keep decision and the phone's view
// of the backup folder from the index.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/fakebackup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace {

const QString kLine = "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", kGroup = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";
const QString kOther = "FEDCBA98-7654-4321-8FED-CBA987654321";
const QString kApp = "/var/mobile/Containers/Data/Application/";
const QString kDev = "00008030-001A/"; // a device folder

class FakeHookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        hook.keepApps = {"jp.naver.line"};
        hook.appUuids = {{"jp.naver.line", {kLine, kGroup}}, {"com.other", {kOther}}};
        hook.allUserAppUuids = {kLine, kGroup, kOther};
        ASSERT_TRUE(QDir().mkpath(root.filePath(kDev.chopped(1)))
                    && hook.dnameDb.open(root.filePath(kDev + "dname.sqlite"), nullptr));
    }
    QTemporaryDir root;
    QDir rootDir {root.path()};
    FakeBackup2ToolHook hook;
};

TEST_F(FakeHookTest, KeepsMetadataFilterMatchesAndTheWantedAppsInBothModes)
{
    struct Case
    {
        QString path, deviceName;
        bool strict, all; // kept with keepNonAppFiles false, and true
    };
    hook.filters = {QRegularExpression("Media/.*\\.jpg$")};
    hook.dnameDb.insert("known", kApp + kLine.toLower() + "/Documents/x", false, QDateTime::currentDateTime());
    const Case cases[] = {
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
    for (const Case& c : cases) {
        for (const bool all : {false, true}) {
            hook.keepNonAppFiles = all;
            EXPECT_EQ(hook.isFileIncluded(rootDir, c.path, c.deviceName), all ? c.all : c.strict)
                << c.path.toStdString() << (all ? " keeping non-app files" : "");
        }
    }
}

TEST_F(FakeHookTest, ListingsComeFromTheIndexExceptSnapshotAndStoredFiles)
{
    const QString kept = "ab" + QString(38, '1'), dropped = "ab" + QString(38, '2'), lost = "ab" + QString(38, '3');
    const QDateTime t(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);
    for (const QString& f : {kept, dropped, lost, QString("Manifest.db"), QString("xy")})
        hook.dnameDb.insert(f, f == dropped ? kApp + kOther : kApp + kLine, f != dropped, t);
    hook.dnameDb.update(dropped, t, 1234);
    ASSERT_TRUE(testenv::writeFile(root.filePath(kDev + "ab/" + kept), "12345")
                && testenv::writeFile(root.filePath(kDev + "Snapshot/real.txt"), "r")
                && testenv::writeFile(root.filePath(kDev + "top.txt"), "t"));
    const auto names = [&](const QString& path) {
        QStringList out;
        for (const auto& i : hook.dirContents(rootDir, path))
            out << QString("%1 %2 %3").arg(i.name).arg(i.type).arg(i.size);
        out.sort();
        return out;
    };
    EXPECT_EQ(names(kDev.chopped(1)), (QStringList {"Manifest.db 1 0", "ab 2 0", "xy 1 0"}));
    EXPECT_EQ(names(kDev + "Snapshot"), QStringList {"real.txt 1 1"});
    EXPECT_EQ(names(kDev + "ab"), (QStringList {kept + " 1 5", dropped + " 1 1234"}));
    for (const auto& i : hook.dirContents(rootDir, kDev + "ab"))
        EXPECT_TRUE(i.name != dropped || i.mtime == t); // the dropped file's time as recorded

    QString error;
    for (const QString& path : {kDev + "Snapshot/ab/" + dropped, kDev + "xy"})
        EXPECT_EQ(hook.removeFile(rootDir, path, error), 0);
    EXPECT_FALSE(hook.dnameDb.getDName(dropped).isEmpty());
    EXPECT_FALSE(hook.dnameDb.getDName("xy").isEmpty());
    hook.removeFile(rootDir, kDev + "ab/" + kept, error);
    EXPECT_TRUE(hook.dnameDb.getDName(kept).isEmpty());
    EXPECT_FALSE(QFile::exists(root.filePath(kDev + "ab/" + kept)));

    // An index beside Manifest.plist but without Manifest.db starts anew.
    ASSERT_TRUE(testenv::writeFile(root.filePath("00ff/Manifest.plist"), "m")
                && QFile::copy(root.filePath(kDev + "dname.sqlite"), root.filePath("00ff/dname.sqlite")));
    FakeBackup2ToolHook fresh;
    fresh.beginThrow(rootDir, "00ff");
    EXPECT_FALSE(QFile::exists(root.filePath("00ff/dname.sqlite")));
}

} // namespace
