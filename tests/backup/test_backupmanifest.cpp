// Opening backup folders, their passwords, and copying their files out.
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "backup/backupmanifest.h"
#include "backup/iosversion.h"
#include "tests/backup/backuptest.h"
#include "tests/support/modaldriver.h"

namespace {

using Backup = BackupTest;
const QString kUdid = QStringLiteral("00008030-001A2B3C4D5E6F70");

// Files of each class, an empty one, one without a stored key, a folder.
QList<bb::Entry> someFiles()
{
    bb::Entry bare = bb::file("HomeDomain", "Library/bare", "stored as is");
    bare.noKey = true;
    return {bb::folder("AppDomain-x", "Library"), bb::file("AppDomain-x", "Library/a", QByteArray(20000, 'a'), 3),
            bb::file("AppDomain-x", "Library/b", "sixteen bytes!!!", 4), bb::file("HomeDomain", "Library/e", "", 3), bare};
}

} // namespace

TEST_F(Backup, DisplayNameDateAndEncryptionFlag)
{
    const struct { const char* folder; const char* udid; const char* device; const char* shown; } cases[] = {
        {"00008030-001A2B3C4D5E6F70", nullptr, "iPhone", "iPhone"},
        {"old-00008030-001A2B3C4D5E6F70", nullptr, "Ann's", "old-Ann's"},
        {"old", nullptr, "iPhone", "iPhone-old"},
        {"x", "", "iPhone", "iPhone-x"},
        {"y", "", "", "y"},
        {"00008030-001A2B3C4D5E6F70-2", nullptr, "", "00008030-001A2B3C4D5E6F70-2"},
    };
    for (const auto& c : cases) {
        bb::Spec spec;
        spec.udid = c.udid ? c.udid : kUdid;
        spec.deviceName = c.device;
        BackupManifest b(build(spec, c.folder));
        b.readManifestInfo();
        EXPECT_EQ(b.displayName, c.shown);
    }
    bb::Spec spec;
    spec.statusPlist = false;
    spec.writeIsEncrypted = false;
    spec.password = "pw";
    BackupManifest b(build(spec, "nostatus"));
    b.readManifestInfo();
    EXPECT_EQ(b.info.date, spec.date);
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
    const QString folder = build(bb::Spec());
    BackupManifest b(folder);
    for (const QByteArray& text : {QByteArray("<plist><array/></plist>"), QByteArray("garbage")}) {
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
        bb::Spec spec;
        spec.mbdb = layout == 0;
        spec.encryptList = layout == 2;
        spec.password = "pässword";
        spec.entries = someFiles();
        const QString folder = build(spec, QString::number(layout));
        BackupManifest b(folder);
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
        ASSERT_EQ(list.files.size(), spec.entries.size());
        for (const bb::Entry& e : spec.entries) {
            const MBDBParser::_MBDBItem item = list.files.value(bb::fileId(e.domain, e.path));
            const QString out = tmp.filePath("out/" + e.path);
            if (e.kind == bb::Kind::File) {
                b.copyItemThrow(item, out, nullptr, nullptr);
                EXPECT_EQ(readAll(out), e.data) << e.path.toStdString();
                EXPECT_EQ(QFileInfo(out).lastModified().toSecsSinceEpoch(), e.mtime);
            }
        }
        MBDBParser::ProtectionClsKeyInfo c3, c4;
        b.firstEncryptedItem(c3, c4);
        EXPECT_TRUE(c3.key == built.fileKeys[1] || c3.key == built.fileKeys[3]); // the two class-3 files
        EXPECT_EQ(c4.key, built.fileKeys[2]);
        EXPECT_EQ(c4.encryptionKey.data, list.files.value(bb::fileId("AppDomain-x", "Library/b")).encryptionKey.data);
    }
}

TEST_F(Backup, EncryptedBackupsThatNoPasswordOpens)
{
    bb::Spec spec;
    spec.password = "pw";
    spec.entries = {bb::file("D", "f", "4", 4)};
    spec.manifestClass = 9; // no such class: the list key does not unwrap
    BackupManifest b(build(spec));
    b.readManifestInfo();
    EXPECT_THROW(b.setPasscodeNoUIThrow("pw"), std::runtime_error);
    EXPECT_EQ(b.passcode, "");
    spec.classes.clear();
    BackupManifest none(build(spec, "none"));
    none.readManifestInfo();
    EXPECT_THROW(none.setPasscodeNoUIThrow("anything"), std::runtime_error);
    MBDBParser::ProtectionClsKeyInfo c3, c4;
    EXPECT_THROW(none.firstEncryptedItem(c3, c4), std::runtime_error);
}

TEST_F(Backup, CopyFaultsLeaveNoOutput)
{
    bb::Spec spec;
    spec.password = "pw";
    spec.entries = someFiles();
    const QString folder = build(spec);
    BackupManifest b(folder), locked(folder);
    b.readManifestInfo();
    locked.readManifestInfo();
    EXPECT_THROW(MBDBParser::parse(locked), std::runtime_error); // the list is encrypted
    ASSERT_TRUE(b.setPasscodeNoUIThrow("pw"));
    MBDBParser::_MBDBItem a = MBDBParser::parse(b).files.value(bb::fileId("AppDomain-x", "Library/a"));
    const QString out = tmp.filePath("out/a");
    EXPECT_THROW(locked.copyItemThrow(a, out, nullptr, nullptr), std::runtime_error); // no class keys
    const QString data = bb::dataPath(folder, a.backupFileName(), false);
    QByteArray cipher = readAll(data);
    QFile f(data);
    f.open(QIODevice::WriteOnly);
    f.write(cipher.left(cipher.size() - 1)); // cut: the last block does not decrypt
    f.close();
    EXPECT_THROW(b.copyItemThrow(a, out, nullptr, nullptr), std::runtime_error);
    a.encryptionKey.data[10] = ~a.encryptionKey.data[10];
    EXPECT_THROW(b.copyItemThrow(a, out, nullptr, nullptr), std::runtime_error);
    EXPECT_FALSE(QFileInfo::exists(out));
    EXPECT_EQ(QDir(tmp.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList());

    QFile(tmp.filePath("file")).open(QIODevice::WriteOnly);
    const MBDBParser::_MBDBItem e = MBDBParser::parse(b).files.value(bb::fileId("HomeDomain", "Library/e"));
    EXPECT_THROW(b.copyItemThrow(e, tmp.filePath("file/e"), nullptr, nullptr), std::runtime_error);
    EXPECT_NO_THROW(b.copyFile(nullptr, out, nullptr, nullptr));
}

TEST_F(Backup, PlainCopyReportsProgressAndFileCipherUsesZeroIv)
{
    bb::Spec spec;
    spec.entries = someFiles();
    spec.entries[2].data = QByteArray(16, 'p');
    BackupManifest b(build(spec));
    b.readManifestInfo();
    const MBDBParser::MBDBItemMap list = MBDBParser::parse(b);
    QList<long long> calls;
    auto record = [](long long total, long long done, void* c) { *static_cast<QList<long long>*>(c) << total << done; };
    for (const char* p : {"Library/a", "Library/e"})
        b.copyItemThrow(list.files.value(bb::fileId(p[8] == 'a' ? "AppDomain-x" : "HomeDomain", p)), tmp.filePath(p),
                        &calls, record);
    EXPECT_EQ(calls, (QList<long long>{20000, 8192, 20000, 16384, 20000, 20000}));
    EXPECT_EQ(QFileInfo(tmp.filePath("Library/e")).lastModified().toSecsSinceEpoch(), 1600000000);

    const QString plain = bb::dataPath(tmp.filePath("bk"), bb::fileId("AppDomain-x", "Library/b"), false);
    const QByteArray key(32, 'k');
    BackupManifest::encryptFileThrow(plain, tmp.filePath("enc"), key);
    EXPECT_EQ(readAll(tmp.filePath("enc")).size(), 32);
    EXPECT_EQ(bb::aesCbc(key, readAll(tmp.filePath("enc")), false), QByteArray(16, 'p'));
    b.decryptFileThrow(key, tmp.filePath("enc"), tmp.filePath("dec"), nullptr, nullptr);
    EXPECT_EQ(readAll(tmp.filePath("dec")), QByteArray(16, 'p'));
}

TEST_F(Backup, PasswordCheckBehindTheProgressWindow)
{
    bb::Spec spec;
    spec.password = "pw";
    BackupManifest b(build(spec));
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

TEST(IOSVersion, ComparesNumberByNumber)
{
    EXPECT_EQ(_IOSVersion("iOS 10.3.1").toString(), "10.3.1");
    EXPECT_LT(_IOSVersion("10.3").compare(_IOSVersion("10.3.1")), 0);
    EXPECT_GT(_IOSVersion("10.10").compare(_IOSVersion("10.9.5")), 0);
    EXPECT_EQ(_IOSVersion("9.0").compare(_IOSVersion("9.0")), 0);
}
