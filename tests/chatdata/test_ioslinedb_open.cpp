// Locating the store in a copied LINE container, the account, opening and
// preparing the copy, and sticker look-ups.
#include "chatdata/ioslinedb.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kMid = QStringLiteral("u4f1c0a77e2b5d9e3a1c4f6b8d0e2a4c6");

class IOSLineDbOpenTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }

    // A container per call, so one test can compare several layouts.
    QString newContainer()
    {
        const QString dir = tmp.path() + QStringLiteral("/c%1").arg(++n);
        QDir().mkpath(dir);
        return dir;
    }

    static qint64 scalar(IOSLineDb& db, const QString& sql)
    {
        Sqlite3Cursor cur = db.queryThrow(Sqlite3Sql(sql));
        return cur.moveNext() ? cur.getInt64(0) : -1;
    }

    QTemporaryDir tmp;
    int n = 0;
};

TEST_F(IOSLineDbOpenTest, FindsTheStoreOfEveryLayout)
{
    for (auto layout : {LineStoreLayout::Current, LineStoreLayout::DocumentsTalk, LineStoreLayout::DocumentsMessagesLine,
                        LineStoreLayout::DocumentsMessagesTalk, LineStoreLayout::LibraryMessages,
                        LineStoreLayout::DocumentsRoot}) {
        LineStoreBuilder b(newContainer());
        b.setAccount(kMid).setLayout(layout);
        b.addChat(LineChatRow("uPeer"));
        b.build();
        SCOPED_TRACE(b.dbRelPath().toStdString());
        IOSLineDb db{QDir(b.containerDir()), QString()};
        EXPECT_EQ(db.databaseRelPath(), b.dbRelPath());
        EXPECT_EQ(db.databasePath(), QDir(b.containerDir()).absoluteFilePath(b.dbRelPath()));
        EXPECT_EQ(db.storeFolder(), b.storeDir());
        EXPECT_TRUE(db.groupDatabasePath().isEmpty());
        db.openCheckThrow();
        EXPECT_EQ(scalar(db, "select count(*) from ZCHAT"), 1);
    }
}

TEST_F(IOSLineDbOpenTest, CurrentLayoutTakesTheGroupStoreBesideIt)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid).withGroupStore();
    b.build();
    IOSLineDb db{QDir(b.containerDir()), "/var/mobile/Containers/Data/Application/X"};
    EXPECT_EQ(db.storeFolder(), "Library/Application Support/PrivateStore/P_" + kMid + "/");
    EXPECT_EQ(db.groupDatabasePath(), b.groupDbPath());
    EXPECT_EQ(db.deviceHomePath(), "/var/mobile/Containers/Data/Application/X");
    db.openCheckThrow();
    EXPECT_TRUE(db.groupStore().isOpen());
    EXPECT_EQ(db.groupStore().unifiedGroupEnt, 3);
    EXPECT_EQ(db.groupStore().memberChatUsers.table, "Z_3MEMBERCHATUSERS");
    EXPECT_EQ(db.groupStore().memberChatUsers.ownerColumn, "Z_3GROUPS");
    EXPECT_EQ(db.groupStore().memberChatUsers.userColumn, "Z_4MEMBERCHATUSERS");
}

TEST_F(IOSLineDbOpenTest, OtherPrivateStoreFolderIsFoundFirstByNameWithoutCase)
{
    const QString dir = newContainer();
    LineStoreBuilder b(dir);
    // Two candidates besides the account's own folder, which holds only a
    // group store: "a_second" sorts before "B_first" only without case.
    b.setAccount(kMid)
        .setLayout(LineStoreLayout::CurrentOtherFolder, "B_first")
        .alsoWriteStoreAt("Library/Application Support/PrivateStore/a_second/Messages/Line.sqlite")
        .addFile("Library/Application Support/PrivateStore/P_" + kMid + "/Messages/UnifiedGroup.sqlite", "x")
        .addFile("Library/Application Support/PrivateStore/0_empty/Messages/other.sqlite", "x");
    b.build();
    IOSLineDb db{QDir(dir), QString()};
    EXPECT_EQ(db.databaseRelPath(), "Library/Application Support/PrivateStore/a_second/Messages/Line.sqlite");
    EXPECT_EQ(db.storeFolder(), "Library/Application Support/PrivateStore/a_second/");
    EXPECT_TRUE(db.groupDatabasePath().isEmpty());
    EXPECT_NO_THROW(db.openCheckThrow());
}

TEST_F(IOSLineDbOpenTest, OlderLayoutsPreferTalkThenMessagesLine)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid).setLayout(LineStoreLayout::DocumentsMessagesLine)
        .alsoWriteStoreAt("Documents/PrivateStore/P_" + kMid + "/Messages/talk.sqlite")
        .alsoWriteStoreAt("Documents/talk.sqlite");
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    EXPECT_EQ(db.databaseRelPath(), "Documents/PrivateStore/P_" + kMid + "/Messages/Line.sqlite");
    EXPECT_EQ(db.storeFolder(), "Library/Application Support/PrivateStore/P_" + kMid + "/");
}

TEST_F(IOSLineDbOpenTest, NoStoreEndsAtDocumentsTalkAndOpeningFails)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid).setLayout(LineStoreLayout::None);
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    EXPECT_EQ(db.databaseRelPath(), "Documents/talk.sqlite");
    EXPECT_EQ(db.storeFolder(), "Library/Application Support/");
    EXPECT_THROW(db.openCheckThrow(), std::runtime_error);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(db.databasePath()));
}

TEST_F(IOSLineDbOpenTest, AccountComesFromEitherPlistFormAndOnlyUMidsAreRemembered)
{
    struct Case
    {
        QString mid;
        LineStoreBuilder::PlistFormat format;
        bool saved;
    };
    const QList<Case> cases{{"U0aa11", LineStoreBuilder::PlistFormat::Xml, true},
                            {"u0bb22", LineStoreBuilder::PlistFormat::Binary, true},
                            {"c0cc33", LineStoreBuilder::PlistFormat::Binary, false},
                            {"", LineStoreBuilder::PlistFormat::Binary, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mid.toStdString());
        LineStoreBuilder b(newContainer());
        b.setAccount(c.mid, "Name " + c.mid, "+81-" + c.mid).setPreferencesFormat(c.format);
        b.build();
        IOSLineDb db{QDir(b.containerDir()), QString()};
        EXPECT_EQ(db.account().uid, c.mid);
        EXPECT_EQ(db.account().name, "Name " + c.mid);
        bool found = false;
        for (const auto& a : LineAccountDB().accounts())
            found = found || (a.uid == c.mid && a.tel == "+81-" + c.mid);
        EXPECT_EQ(found, c.saved);
    }

    // Unreadable preferences: no account, the P_ folder looked for as "P_".
    LineStoreBuilder b(newContainer());
    b.setPreferencesBytes("bplist00 not really").setLayout(LineStoreLayout::CurrentOtherFolder, "P_");
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    EXPECT_TRUE(db.account().uid.isEmpty());
    EXPECT_EQ(db.storeFolder(), "Library/Application Support/PrivateStore/P_/");
}

TEST_F(IOSLineDbOpenTest, HostileMidCannotMoveTheStoreOutOfTheContainer)
{
    // A copy of the store sits where "P_/../../../../outside" would lead.
    const QString dir = newContainer();
    LineStoreBuilder b(dir);
    b.setAccount("u/../../../../outside").setLayout(LineStoreLayout::LibraryMessages);
    b.build();
    QDir().mkpath(tmp.path() + "/outside/Messages");
    QFile::copy(b.dbPath(), tmp.path() + "/outside/Messages/Line.sqlite");
    QDir().mkpath(dir + "/Library/Application Support/PrivateStore");
    IOSLineDb db{QDir(dir), QString()};
    EXPECT_TRUE(QFileInfo(db.databasePath()).canonicalFilePath().startsWith(QFileInfo(dir).canonicalFilePath() + "/"))
        << db.databasePath().toStdString();
    EXPECT_FALSE(db.storeFolder().contains(".."));
}

TEST_F(IOSLineDbOpenTest, EntityNumbersComeFromThePrimaryKeyTable)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid).removeEntity("Chat").setEntity("ZCHAT", 7).setEntity("User", 9).removeEntity("Group");
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    db.openCheckThrow();
    EXPECT_EQ(db.getPrimaryKey("Chat", "ZCHAT", 1), 7);
    EXPECT_EQ(db.getPrimaryKey("Group", "ZGROUP", 4), 4);
    EXPECT_EQ(db.getPrimaryKey("Message", "ZMESSAGE", 99), 5);
    EXPECT_EQ(db.chatMembersTable().table, "Z_7MEMBERS");
    EXPECT_EQ(db.chatMembersTable().ownerColumn, "Z_7CHATS");
    EXPECT_EQ(db.chatMembersTable().userColumn, "Z_9MEMBERS");
    EXPECT_EQ(db.groupMembersTable().table, "Z_4MEMBERS");
    EXPECT_EQ(db.groupMembersTable().userColumn, "Z_9MEMBERS1");
}

TEST_F(IOSLineDbOpenTest, DamagedGroupStoreFailsTheOpenAndLeavesItClosed)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid).addFile("Library/Application Support/PrivateStore/P_" + kMid + "/Messages/UnifiedGroup.sqlite",
                               "this is no database, just text long enough to fill a header page............");
    b.build();
    IOSLineDb db(QDir(b.containerDir()), QString());
    ASSERT_FALSE(db.groupDatabasePath().isEmpty());
    EXPECT_THROW(db.openCheckThrow(), std::runtime_error);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(db.groupStore().isOpen());
    EXPECT_THROW(db.openCheckThrow(), std::runtime_error); // tried again, not taken as open
}

TEST_F(IOSLineDbOpenTest, GroupStoreWithoutEntityRowsStillOpens)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid).withGroupStore().removeGroupStoreEntity("UnifiedGroup");
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    ASSERT_NO_THROW(db.openCheckThrow());
    EXPECT_EQ(db.groupStore().unifiedGroupEnt, 0);
    EXPECT_EQ(db.groupStore().memberChatUsers.table, "Z_0MEMBERCHATUSERS");
}

// A store with one disabled chat (id 2) that has messages, members and a
// metadata row, next to an enabled one.
void addDisabledChat(LineStoreBuilder& b)
{
    const qint64 u = b.addUser(LineUserRow("uA"));
    const qint64 on = b.addChat(LineChatRow("uA").withMembers({u}));
    const qint64 off = b.addChat(LineChatRow("rOff").room().disabled().withMembers({u}));
    b.addMessage(LineMsgRow(on, "1").at(1000).text("kept"));
    b.addMessage(LineMsgRow(off, "2").at(2000).text("purged"));
    b.addMessage(LineMsgRow(off, "3").at(3000).text("purged"));
}

TEST_F(IOSLineDbOpenTest, OpeningIndexesTimesAndPurgesDisabledChatsOnce)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid);
    addDisabledChat(b);
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    db.openCheckThrow();
    EXPECT_TRUE(db.dbSchema().containsIndex(IOSLineDb::kTimestampIndex));
    EXPECT_EQ(scalar(db, "select count(*) from ZCHAT"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from ZMESSAGE"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from Z_1MEMBERS"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from ZCHATMETADATA"), 1);

    // A second open does nothing: neither the index nor the purge again.
    db.executeThrow(Sqlite3Sql("drop index _vardo_idx_Message_timestamp"));
    db.executeThrow(Sqlite3Sql("update ZCHAT set ZENABLE=0"));
    db.openCheckThrow();
    EXPECT_EQ(scalar(db, "select count(*) from sqlite_master where name='_vardo_idx_Message_timestamp'"), 0);
    EXPECT_EQ(scalar(db, "select count(*) from ZCHAT"), 1);
}

TEST_F(IOSLineDbOpenTest, PurgeRunsOnlyWhatTheSchemaAllows)
{
    {
        SCOPED_TRACE("no ZENABLE: nothing is disabled");
        LineStoreBuilder b(newContainer());
        b.setAccount(kMid).withoutColumn("ZCHAT", "ZENABLE");
        addDisabledChat(b);
        b.build();
        IOSLineDb db{QDir(b.containerDir()), QString()};
        ASSERT_NO_THROW(db.openCheckThrow());
        EXPECT_EQ(scalar(db, "select count(*) from ZMESSAGE"), 3);
        EXPECT_EQ(scalar(db, "select count(*) from ZCHAT"), 2);
    }
    {
        SCOPED_TRACE("no ZCHATMETADATA and no chat-member table");
        LineStoreBuilder b(newContainer());
        b.setAccount(kMid).withoutTable("ZCHATMETADATA").withoutTable("Z_1MEMBERS");
        addDisabledChat(b);
        b.build();
        IOSLineDb db{QDir(b.containerDir()), QString()};
        ASSERT_NO_THROW(db.openCheckThrow());
        EXPECT_EQ(scalar(db, "select count(*) from ZMESSAGE"), 1);
        EXPECT_EQ(scalar(db, "select count(*) from ZCHAT"), 1);
    }
}

TEST_F(IOSLineDbOpenTest, FailedPurgeLeavesTheCopyUntouchedAndClosed)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid);
    addDisabledChat(b);
    b.build();
    {
        Sqlite3DB raw;
        raw.openThrow(b.dbPath(), 2);
        raw.executeThrow(Sqlite3Sql("CREATE TRIGGER no_chat_delete BEFORE DELETE ON ZCHAT "
                                    "BEGIN SELECT RAISE(ABORT, 'chats are kept'); END"));
    }
    IOSLineDb db{QDir(b.containerDir()), QString()};
    EXPECT_THROW(db.openCheckThrow(), std::runtime_error);
    EXPECT_FALSE(db.isOpen());

    Sqlite3DB check;
    check.openThrow(b.dbPath(), 2);
    {
        Sqlite3Cursor cur = check.queryThrow(Sqlite3Sql(
            "select (select count(*) from ZMESSAGE), (select count(*) from Z_1MEMBERS), (select count(*) from ZCHATMETADATA),"
            " (select count(*) from sqlite_master where name='_vardo_idx_Message_timestamp')"));
        ASSERT_TRUE(cur.moveNext());
        EXPECT_EQ(cur.getInt(0), 3);
        EXPECT_EQ(cur.getInt(1), 2);
        EXPECT_EQ(cur.getInt(2), 2);
        EXPECT_EQ(cur.getInt(3), 0);
    }
    check.executeThrow(Sqlite3Sql("DROP TRIGGER no_chat_delete"));
    check.close();

    // Once the cause is gone, the same object opens and purges.
    ASSERT_NO_THROW(db.openCheckThrow());
    EXPECT_EQ(scalar(db, "select count(*) from ZMESSAGE"), 1);
}

TEST_F(IOSLineDbOpenTest, StickerPackagesAreLookedUpAndRemembered)
{
    LineStoreBuilder b(newContainer());
    b.setAccount(kMid);
    b.addStickerPackage(1001, 3, 100, 199);
    b.addStickerPackage(2002, 7, 200, 200);
    b.build();
    IOSLineDb db{QDir(b.containerDir()), QString()};
    const _LineStickerInfo a = db.stickerInfoThrow(150); // opens on its own
    EXPECT_EQ(a.id, 150);
    EXPECT_EQ(a.package, 1001);
    EXPECT_EQ(a.version, 3);
    const _LineStickerInfo edge = db.stickerInfoThrow(200);
    EXPECT_EQ(edge.package, 2002);
    for (int i = 0; i < 2; ++i) {
        const _LineStickerInfo none = db.stickerInfoThrow(500);
        EXPECT_EQ(none.id, 0);
        EXPECT_EQ(none.package, 0);
        EXPECT_EQ(none.version, 0);
    }
    // Found ids are cached; missing ones are asked again.
    db.executeThrow(Sqlite3Sql("update ZSTICKERPACKAGE set ZPACKAGEID=9, ZSTICKERIDEND=999"));
    EXPECT_EQ(db.stickerInfoThrow(150).package, 1001);
    EXPECT_EQ(db.stickerInfoThrow(500).package, 9);
}

} // namespace
