// The trimmed copy of Manifest.db that a restore sends to the device.
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"
#include "tests/support/renamehook.h"

TEST_F(BackupTest, TrimmedManifestKeepsThePresentRowsOfKeptDomainsAndFixedFiles)
{
    const QString L = "AppDomain-jp.naver.line";
    // Rows of an always-kept ID (in upper case), of no data file, and of an ID
    // that is no file ID but names a file.
    const QJsonObject fixed{{"domain", "HomeDomain"}, {"path", "fixed"}, {"id", "80FA782261261E54BB73C0253E5B6BEEFB6A2F39"}};
    const QJsonObject missing{{"domain", L}, {"path", "missing"}, {"noDataFile", true}};
    const QJsonArray entries{bb::file(L, "present", "p"), missing, bb::folder(L, "folder"), bb::link(L, "link", "p"),
                             bb::file(L + ".share", "share", "s"), bb::file("HomeDomain", "home", "h"),
                             bb::file("AppDomain-com.apple.x", "apple", "a"), bb::file("APPDOMAIN-COM.APPLE.X", "APPLE", "A"),
                             bb::file("AppDomain-a.b.c", "other", "o"), bb::file("appdomain-a.b.c", "other2", "o"), fixed,
                             QJsonObject{{"domain", L}, {"path", "hostile"}, {"id", "hostile"}}};
    for (const bool encrypted : {false, true}) {
        const QString folder = build({{"password", encrypted ? "pw" : ""}, {"entries", entries}}, encrypted ? "e" : "p");
        refuseModeChangesBelow(encrypted ? folder : QString()); // a medium that shows one owner for every file
        const auto b = open(folder, encrypted ? "pw" : "");
        const QString list = encrypted ? b->decryptedManifestPath : folder + "/Manifest.db";
        const QByteArray lists = readFile(folder + "/Manifest.db") + readFile(list);
        const QString out = folder + "/Manifest-line.db", plain = encrypted ? out + "-decrypt" : out;
        for (const QString& stale : {out, out + ".tmp", out + "-decrypt"})
            QFile(stale).open(QIODevice::WriteOnly);
        for (const bool keepSystem : {false, true}) {
            b->saveManifestDbAsThrow(keepSystem, {L, "AppDomainGroup-group.com.linecorp.line"}, out, nullptr);
            Sqlite3DB db;
            db.openThrow(plain, 1);
            QStringList kept;
            for (Sqlite3Cursor c = db.queryThrow("select relativePath from Files order by 1"); c.moveNext();)
                kept << c.getText(0);
            db.close();
            EXPECT_EQ(kept.join(','), keepSystem ? "APPLE,apple,fixed,folder,home,present" : "fixed,folder,present");
            EXPECT_EQ(QFile::exists(out + ".tmp") + QFile::exists(out + "-decrypt"), int(encrypted));
            EXPECT_EQ(encrypted ? bb::aesCbc(built.manifestKey, readFile(out), false) : QByteArray(),
                      encrypted ? readFile(plain) : QByteArray());
        }
        EXPECT_EQ(readFile(folder + "/Manifest.db") + readFile(list), lists);
        // A restore sends the trimmed list whole: while it holds the folder as
        // a reader, a trim waits for it and leaves that list alone.
        const QByteArray sending = readFile(out);
        {
            const BackupLock restoring(folder, BackupLock::Shared);
            const int waitMs = std::exchange(BackupLock::defaultWaitMs, 0);
            EXPECT_PRED2(contains, errorOf([&] { b->saveManifestDbAsThrow(false, {L}, out, nullptr); }), "in use");
            BackupLock::defaultWaitMs = waitMs;
        }
        EXPECT_EQ(readFile(out), sending);
        // A failure leaves no output at all, not even an older one.
        auto failingHook = [](Sqlite3DB* db) { db->executeThrow("no such statement"); };
        EXPECT_THROW(b->saveManifestDbAsThrow(true, {L}, out, failingHook), std::runtime_error);
        EXPECT_FALSE(QFile::exists(out) || QFile::exists(out + ".tmp") || QFile::exists(out + "-decrypt"));
    }
    refuseModeChangesBelow({});
}
