// Opening backup folders, their passwords, and copying their files out.
#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

#include "tests/backup/backuptest.h"
#include "tests/support/modaldriver.h"

namespace {

using Backup = BackupTest;
const char kUdid[] = "00008030-001A2B3C4D5E6F70";

} // namespace

TEST_F(Backup, DisplayName)
{
    const struct { const char *folder, *udid, *device, *shown; } cases[] = {
        {kUdid, kUdid, "iPhone", "iPhone"},   {"old-00008030-001A2B3C4D5E6F70", kUdid, "Ann's", "old-Ann's"},
        {"old", kUdid, "iPhone", "iPhone-old"}, {"x", "", "iPhone", "iPhone-x"}, {"y", "", "", "y"},
        {"00008030-001A2B3C4D5E6F70-2", kUdid, "", "00008030-001A2B3C4D5E6F70-2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(open(build({{"udid", c.udid}, {"deviceName", c.device}}, c.folder))->displayName, c.shown);
}

TEST_F(Backup, ListsAndManifestPlistMissingOrDamaged)
{
    const QString folder = build({}), plist = folder + "/Manifest.plist";
    build({{"mbdb", true}, {"entries", QJsonArray{bb::file("D", "mbdb", "")}}}); // beside Manifest.db: the one read
    EXPECT_EQ(MBDBParser::parse(*open(folder)).files.keys(), QStringList{bb::fileId("D", "mbdb")});
    QFile::remove(folder + "/Manifest.mbdb");
    QFile::remove(folder + "/Manifest.db");
    EXPECT_PRED2(contains, errorOf([&] { MBDBParser::parse(*open(folder)); }), "Manifest.mbdb: No such file");
    for (const char* text : {"<plist><array/></plist>", "garbage"}) {
        testenv::writeFile(plist, text);
        EXPECT_PRED2(contains, errorOf([&] { open(folder); }), "is damaged: it is not a property list");
    }
    QFile::remove(plist);
    EXPECT_PRED2(contains, errorOf([&] { open(folder); }), "Cannot find " + plist.toUtf8() + "<br/>");
}

// Keybags and list keys that no password opens, and a keybag found damaged
// behind the progress window.
TEST_F(Backup, EncryptedBackupsThatNoPasswordOpens)
{
    const QJsonArray f4{bb::file("D", "f", "4", 4)};
    const QJsonObject noListKey{{"password", "pw"}, {"entries", f4}, {"manifestClass", 9}};
    EXPECT_PRED2(contains, errorOf([&] { open(build(noListKey, "a"), "pw"); }), "does not unwrap with any key");
    const QJsonObject noClasses{{"password", "pw"}, {"entries", f4}, {"classes", QJsonArray()}, {"encryptList", false}};
    EXPECT_PRED2(contains, errorOf([&] { open(build(noClasses, "b"), "anything"); }), "holds no key that a password");

    const auto b = open(build({{"password", "pw"}}, "c"));
    ModalDriver driver; // answers an error of each call, so that none waits for a click
    for (int i = 0; i < 3; ++i)
        driver.answer(QMessageBox::Ok);
    EXPECT_FALSE(b->setPasscode("wrong"));
    EXPECT_TRUE(b->setPasscode("pw"));
    b->info.backupKeyBag = "SALT";
    EXPECT_FALSE(b->setPasscode("pw"));
    ASSERT_EQ(driver.texts.size(), 1);
    EXPECT_PRED2(contains, driver.texts[0], "IOSiTunesBKSetPasswordThread: The backup's keybag is damaged");
}

TEST_F(Backup, CopyFaultsLeaveNoOutput)
{
    const QString folder = build({{"password", "pw"}, {"entries", QJsonArray{bb::file("D", "a", QByteArray(20000, 'a'))}}});
    const auto b = open(folder, "pw"), locked = open(folder);
    EXPECT_PRED2(contains, errorOf([&] { MBDBParser::parse(*locked); }), "needs its password first");
    MBDBParser::_MBDBItem a = *MBDBParser::parse(*b).files.begin();
    const QString out = tmp.filePath("out/a");
    auto copy = [&](const BackupManifest& from, const QString& to) { from.copyItemThrow(a, to, nullptr, nullptr); };
    testenv::writeFile(tmp.filePath("file"), "");
    EXPECT_PRED2(contains, errorOf([&] { copy(*b, tmp.filePath("file/a")); }), "can not create");
    EXPECT_PRED2(contains, errorOf([&] { copy(*locked, out); }), "cannot be decrypted"); // no class keys
    QFile data(bb::dataPath(folder, a.backupFileName(), false));
    ASSERT_TRUE(data.open(QIODevice::ReadWrite) && data.resize(data.size() - 1)); // the last block no longer decrypts
    data.close();
    EXPECT_PRED2(contains, errorOf([&] { copy(*b, out); }), "decrypt failed");
    a.encryptionKey.data[10] = ~a.encryptionKey.data[10];
    EXPECT_PRED2(contains, errorOf([&] { copy(*b, out); }), "cannot be decrypted");
    EXPECT_EQ(QDir(tmp.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList());
}

// Someone who may write in the folder but lacks the password plants a real
// log of the decrypted list with one more row, and a link: unlocking lays
// neither over the fresh list, so no reading (nor a merge) takes the row.
TEST_F(Backup, FilesPlantedBesideTheDecryptedListAreNeverApplied)
{
    const QString folder = build({{"password", "pw"}, {"entries", QJsonArray{bb::file("D", "a", "a")}}});
    const auto first = open(folder, "pw");
    const QString list = first->decryptedManifestPath, db = tmp.filePath("x.db"), outside = tmp.filePath("outside");
    const QStringList ids = MBDBParser::parse(*first).files.keys();
    sqlite3* h = nullptr;
    ASSERT_TRUE(QFile::copy(list, db) && sqlite3_open(QFile::encodeName(db).constData(), &h) == SQLITE_OK);
    for (const char* sql : {"pragma journal_mode=wal", "pragma wal_autocheckpoint=0",
                            "insert into Files select fileID || '0', domain, 'planted', flags, file from Files"})
        ASSERT_EQ(sqlite3_exec(h, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    ASSERT_TRUE(QFile::copy(db + "-wal", list + "-wal") && testenv::writeFile(outside, "kept")
                && QFile::link(outside, list + "-journal"));
    sqlite3_close(h);

    EXPECT_EQ(MBDBParser::parse(*open(folder, "pw")).files.keys(), ids);
    EXPECT_FALSE(QFileInfo::exists(list + "-wal") || QFileInfo(list + "-journal").isSymLink());
    EXPECT_EQ(readFile(outside), "kept");
}
