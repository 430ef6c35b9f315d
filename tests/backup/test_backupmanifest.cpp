// Opening backup folders, their passwords, and copying their files out.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>

#include "backup/backupmanifest.h"
#include "tests/backup/backuptest.h"
#include "tests/support/modaldriver.h"

namespace {

using Backup = BackupTest;
const char kUdid[] = "00008030-001A2B3C4D5E6F70";

// Files of classes 3 and 4, an empty one, one without a stored key, a folder.
QJsonArray someFiles()
{
    QJsonObject bare = bb::file("HomeDomain", "Library/bare", "stored as is");
    bare["noKey"] = true;
    return {bb::folder("AppDomain-x", "Library"), bb::file("AppDomain-x", "Library/a", QByteArray(20000, 'a')),
            bb::file("AppDomain-x", "Library/b", "sixteen bytes!!!", 4), bb::file("HomeDomain", "Library/e", ""), bare};
}

MBDBParser::_MBDBItem record(const BackupManifest& b, const char* domain, const char* path)
{
    return MBDBParser::parse(b).files.value(bb::fileId(domain, path));
}

} // namespace

TEST_F(Backup, DisplayNameDateAndEncryptionFlag)
{
    const struct { const char *folder, *udid, *device, *shown; } cases[] = {
        {kUdid, kUdid, "iPhone", "iPhone"},
        {"old-00008030-001A2B3C4D5E6F70", kUdid, "Ann's", "old-Ann's"},
        {"old", kUdid, "iPhone", "iPhone-old"},
        {"x", "", "iPhone", "iPhone-x"},
        {"y", "", "", "y"},
        {"00008030-001A2B3C4D5E6F70-2", kUdid, "", "00008030-001A2B3C4D5E6F70-2"},
    };
    for (const auto& c : cases) {
        BackupManifest b(build({{"udid", c.udid}, {"deviceName", c.device}}, c.folder));
        b.readManifestInfo();
        EXPECT_EQ(b.displayName, c.shown);
    }
    BackupManifest b(build(
        {{"statusPlist", false}, {"writeIsEncrypted", false}, {"password", "pw"}, {"date", 1683356889}}, "nostatus"));
    b.readManifestInfo();
    EXPECT_EQ(b.info.date.toSecsSinceEpoch(), 1683356889);
    EXPECT_FALSE(b.info.isEncrypted);
    EXPECT_EQ(b.info.productVersion, "16.4");
    QFile(tmp.filePath("nostatus/Status.plist")).open(QIODevice::WriteOnly);
    b.readManifestInfo();
    EXPECT_GT(b.info.date, QDateTime::currentDateTime().addSecs(-60));

    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{32}$").match(b.dirPathMd5()).hasMatch());
    EXPECT_EQ(b.dirPathMd5(), BackupManifest(tmp.filePath("nostatus/")).dirPathMd5());
    EXPECT_NE(b.dirPathMd5(), BackupManifest(tmp.filePath("old")).dirPathMd5());
}

TEST_F(Backup, MissingOrDamagedManifestPlistIsAnError)
{
    const QString folder = build({});
    BackupManifest b(folder);
    for (const char* text : {"<plist><array/></plist>", "garbage"}) {
        QFile f(folder + "/Manifest.plist");
        f.open(QIODevice::WriteOnly);
        f.write(text);
        f.close();
        EXPECT_THROW(b.readManifestInfo(), std::runtime_error);
    }
    QFile::remove(folder + "/Manifest.plist");
    try {
        b.readManifestInfo();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString(e.what()).startsWith("Cannot find " + folder + "/Manifest.plist<br/>"));
    }
}

TEST_F(Backup, PasswordsAndDecryptionInEachLayout)
{
    for (int layout = 0; layout < 3; ++layout) {
        const QJsonArray files = someFiles();
        BackupManifest b(build({{"mbdb", layout == 0}, {"encryptList", layout == 2}, {"password", "pässword"},
                                {"entries", files}},
                               QString::number(layout)));
        b.readManifestInfo();
        ASSERT_TRUE(b.info.isEncrypted);
        EXPECT_FALSE(b.setPasscodeNoUIThrow("password"));
        EXPECT_EQ(b.passcode, "");
        ASSERT_TRUE(b.setPasscodeNoUIThrow("pässword"));
        EXPECT_EQ(b.manifestKey, built.manifestKey);
        if (layout == 2) {
            EXPECT_EQ(QFileInfo(b.decryptedManifestPath).permissions() & 0x0777, QFile::ReadUser | QFile::WriteUser);
        }
        const MBDBParser::MBDBItemMap list = MBDBParser::parse(b);
        ASSERT_EQ(list.files.size(), files.size());
        for (const QJsonValue& v : files) {
            const QJsonObject e = v.toObject();
            const QString out = tmp.filePath("out/" + e["path"].toString());
            if (e["kind"].toInt() == 0) {
                b.copyItemThrow(list.files.value(bb::fileId(e["domain"].toString(), e["path"].toString())), out,
                                nullptr, nullptr);
                EXPECT_EQ(readAll(out), e["data"].toString().toLatin1()) << out.toStdString();
                EXPECT_EQ(QFileInfo(out).lastModified().toSecsSinceEpoch(), 1600000000);
            }
        }
        MBDBParser::ProtectionClsKeyInfo c3, c4;
        b.firstEncryptedItem(c3, c4);
        EXPECT_TRUE(c3.key == built.fileKeys[1] || c3.key == built.fileKeys[3]); // the two class-3 files
        EXPECT_EQ(c4.key, built.fileKeys[2]);
        EXPECT_EQ(c4.encryptionKey.data, record(b, "AppDomain-x", "Library/b").encryptionKey.data);
    }
}

TEST_F(Backup, EncryptedBackupsThatNoPasswordOpens)
{
    // The list key wraps under no class of the keybag; then a keybag without class keys.
    const QJsonObject spec{
        {"password", "pw"}, {"entries", QJsonArray{bb::file("D", "f", "4", 4)}}, {"manifestClass", 9}};
    BackupManifest b(build(spec));
    b.readManifestInfo();
    EXPECT_THROW(b.setPasscodeNoUIThrow("pw"), std::runtime_error);
    EXPECT_EQ(b.passcode, "");
    QJsonObject noClasses = spec;
    noClasses["classes"] = QJsonArray();
    noClasses["encryptList"] = false; // no list key to fail on: only the keybag can refuse
    BackupManifest none(build(noClasses, "none"));
    none.readManifestInfo();
    EXPECT_THROW(none.setPasscodeNoUIThrow("anything"), std::runtime_error);
    MBDBParser::ProtectionClsKeyInfo c3, c4;
    EXPECT_THROW(none.firstEncryptedItem(c3, c4), std::runtime_error);
}

TEST_F(Backup, CopyFaultsLeaveNoOutput)
{
    const QString folder = build({{"password", "pw"}, {"entries", someFiles()}});
    BackupManifest b(folder), locked(folder);
    b.readManifestInfo();
    locked.readManifestInfo();
    EXPECT_THROW(MBDBParser::parse(locked), std::runtime_error); // the list is encrypted
    ASSERT_TRUE(b.setPasscodeNoUIThrow("pw"));
    MBDBParser::_MBDBItem a = record(b, "AppDomain-x", "Library/a");
    const QString out = tmp.filePath("out/a");
    EXPECT_THROW(locked.copyItemThrow(a, out, nullptr, nullptr), std::runtime_error); // no class keys
    QFile data(bb::dataPath(folder, a.backupFileName(), false));
    data.open(QIODevice::ReadWrite);
    data.resize(data.size() - 1); // cut: the last block does not decrypt
    data.close();
    EXPECT_THROW(b.copyItemThrow(a, out, nullptr, nullptr), std::runtime_error);
    a.encryptionKey.data[10] = ~a.encryptionKey.data[10];
    EXPECT_THROW(b.copyItemThrow(a, out, nullptr, nullptr), std::runtime_error);
    EXPECT_EQ(QDir(tmp.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList());

    QFile(tmp.filePath("file")).open(QIODevice::WriteOnly);
    EXPECT_THROW(b.copyItemThrow(record(b, "HomeDomain", "Library/e"), tmp.filePath("file/e"), nullptr, nullptr),
                 std::runtime_error);
    EXPECT_NO_THROW(b.copyFile(nullptr, out, nullptr, nullptr));
}

TEST_F(Backup, PlainCopyReportsProgressAndFileCipherUsesZeroIv)
{
    QJsonArray files = someFiles();
    files[2] = bb::file("AppDomain-x", "Library/b", QByteArray(16, 'p'));
    BackupManifest b(build({{"entries", files}}));
    b.readManifestInfo();
    QList<long long> calls;
    auto progress = [](long long total, long long done, void* c) {
        *static_cast<QList<long long>*>(c) << total << done;
    };
    b.copyItemThrow(record(b, "AppDomain-x", "Library/a"), tmp.filePath("a"), &calls, progress);
    b.copyItemThrow(record(b, "HomeDomain", "Library/e"), tmp.filePath("e"), &calls, progress);
    EXPECT_EQ(calls, (QList<long long>{20000, 8192, 20000, 16384, 20000, 20000}));
    EXPECT_EQ(QFileInfo(tmp.filePath("e")).lastModified().toSecsSinceEpoch(), 1600000000);

    const QByteArray key(32, 'k');
    BackupManifest::encryptFileThrow(bb::dataPath(b.dir.path(), bb::fileId("AppDomain-x", "Library/b"), false),
                                     tmp.filePath("enc"), key);
    EXPECT_EQ(bb::aesCbc(key, readAll(tmp.filePath("enc")), false), QByteArray(16, 'p'));
    EXPECT_EQ(readAll(tmp.filePath("enc")).size(), 32);
    b.decryptFileThrow(key, tmp.filePath("enc"), tmp.filePath("dec"), nullptr, nullptr);
    EXPECT_EQ(readAll(tmp.filePath("dec")), QByteArray(16, 'p'));
}

TEST_F(Backup, PasswordCheckBehindTheProgressWindow)
{
    BackupManifest b(build({{"password", "pw"}}));
    b.readManifestInfo();
    EXPECT_FALSE(b.setPasscode("wrong"));
    EXPECT_TRUE(b.setPasscode("pw"));
    b.info.backupKeyBag = "SALT";
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    EXPECT_FALSE(b.setPasscode("pw"));
    ASSERT_EQ(driver.texts.size(), 1);
    EXPECT_TRUE(driver.texts[0].contains("IOSiTunesBKSetPasswordThread: The backup's keybag is damaged"));
}
