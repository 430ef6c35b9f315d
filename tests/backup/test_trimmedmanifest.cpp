// The trimmed copy of Manifest.db that a restore sends to the device.
#include <QJsonArray>

#include "backup/backupmanifest.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"

TEST_F(BackupTest, TrimmedManifestKeepsThePresentRowsOfKeptDomainsAndFixedFiles)
{
    const QString L = "AppDomain-jp.naver.line";
    const QJsonObject missing{{"domain", L}, {"path", "missing"}, {"noDataFile", true}};
    const QJsonArray entries{bb::file(L, "present", "p"), missing, bb::folder(L, "folder"), bb::link(L, "link", "p"),
                             bb::file(L + ".share", "share", "s"), bb::file("HomeDomain", "home", "h"),
                             bb::file("AppDomain-com.apple.x", "apple", "a"), bb::file("APPDOMAIN-COM.APPLE.X", "APPLE", "A"),
                             bb::file("AppDomain-a.b.c", "other", "o"), bb::file("appdomain-a.b.c", "other2", "o"),
                             bb::file("HomeDomain", "fixed", "f"), bb::file(L, "hostile", "x")};
    for (const bool encrypted : {false, true}) {
        const QString folder = build({{"password", encrypted ? "pw" : ""}, {"entries", entries}}, encrypted ? "e" : "p");
        BackupManifest b(folder);
        b.readManifestInfo();
        ASSERT_TRUE(!encrypted || b.setPasscodeNoUIThrow("pw"));
        const QString list = encrypted ? b.decryptedManifestPath : folder + "/Manifest.db";
        // A row of an always-kept ID (in upper case), and one whose ID is no file ID but names a file.
        const QString fixed = "80FA782261261E54BB73C0253E5B6BEEFB6A2F39";
        ASSERT_TRUE(QDir(folder).mkpath("80") && QDir(folder).mkpath("ho"));
        QFile::rename(bb::dataPath(folder, bb::fileId("HomeDomain", "fixed"), false), folder + "/80/" + fixed);
        QFile(folder + "/ho/hostile").open(QIODevice::WriteOnly);
        Sqlite3DB db;
        db.openThrow(list, 2);
        db.executeThrow(Sqlite3Sql("update Files set fileID=? where relativePath='fixed'").addTextParam(fixed));
        db.executeThrow("update Files set fileID='hostile' where relativePath='hostile'");
        const QByteArray lists = readAll(folder + "/Manifest.db") + readAll(list);
        const QString out = folder + "/Manifest-line.db", plain = encrypted ? out + "-decrypt" : out;
        for (const QString& stale : {out, out + ".tmp", out + "-decrypt"})
            QFile(stale).open(QIODevice::WriteOnly);
        for (const bool keepSystem : {false, true}) {
            b.saveManifestDbAsThrow(keepSystem, {L, "AppDomainGroup-group.com.linecorp.line"}, out, nullptr);
            db.openThrow(plain, 1); // the earlier connection closes first
            QStringList kept;
            for (Sqlite3Cursor c = db.queryThrow("select relativePath from Files order by 1"); c.moveNext();)
                kept << c.getText(0);
            db.close();
            EXPECT_EQ(kept.join(','), keepSystem ? "APPLE,apple,fixed,folder,home,present" : "fixed,folder,present");
            EXPECT_EQ(QFile::exists(out + ".tmp") + QFile::exists(out + "-decrypt"), int(encrypted));
            EXPECT_EQ(encrypted ? bb::aesCbc(built.manifestKey, readAll(out), false) : QByteArray(),
                      encrypted ? readAll(plain) : QByteArray());
        }
        EXPECT_EQ(readAll(folder + "/Manifest.db") + readAll(list), lists);
        // A failure leaves no output at all, not even an older one.
        auto failingHook = [](Sqlite3DB* db) { db->executeThrow("no such statement"); };
        EXPECT_THROW(b.saveManifestDbAsThrow(true, {L}, out, failingHook), std::runtime_error);
        EXPECT_FALSE(QFile::exists(out) || QFile::exists(out + ".tmp") || QFile::exists(out + "-decrypt"));
    }
}
