// Locating the store in a copied LINE container, the account, opening and
// preparing the copy, and sticker look-ups.
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

namespace {

const QString kMid = QStringLiteral("u4f1c0a77e2b5d9e3a1c4f6b8d0e2a4c6");

class IOSLineDbOpenTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }

    // A builder for a fresh container with the account set, so one test can
    // compare several layouts.
    LineStoreBuilder& builder(const QString& mid = kMid)
    {
        const QString dir = tmp.path() + QStringLiteral("/c%1").arg(builders.size());
        QDir().mkpath(dir);
        builders.emplace_back(new LineStoreBuilder(dir));
        return builders.back()->setAccount(mid);
    }
    // Builds the last builder's container and reads it.
    IOSLineDb& build()
    {
        builders.back()->build();
        db.reset(new IOSLineDb(QDir(builders.back()->containerDir()), QString()));
        return *db;
    }

    // The row counts of the tables (or other FROM clauses), "n n ...".
    static QString counts(Sqlite3DB& d, const QString& tables)
    {
        QStringList out;
        for (const QString& t : tables.split(',')) {
            Sqlite3Cursor cur = d.queryThrow(Sqlite3Sql("select count(*) from " + t));
            out << (cur.moveNext() ? QString::number(cur.getInt64(0)) : "-");
        }
        return out.join(' ');
    }
    QString counts(const QString& tables) { return counts(*db, tables); }

    QTemporaryDir tmp;
    std::vector<std::unique_ptr<LineStoreBuilder>> builders;
    std::unique_ptr<IOSLineDb> db;
};

TEST_F(IOSLineDbOpenTest, FindsTheStoreOfEveryLayout)
{
    const QString priv = "Library/Application Support/PrivateStore/P_" + kMid + "/";
    const QString docs = "Documents/PrivateStore/P_" + kMid + "/";
    const QList<std::tuple<LineStoreLayout, QString, QString>> cases{
        {LineStoreLayout::Current, priv + "Messages/Line.sqlite", priv},
        {LineStoreLayout::DocumentsTalk, docs + "talk.sqlite", priv},
        {LineStoreLayout::DocumentsMessagesLine, docs + "Messages/Line.sqlite", priv},
        {LineStoreLayout::DocumentsMessagesTalk, docs + "Messages/talk.sqlite", priv},
        {LineStoreLayout::LibraryMessages, "Library/Application Support/Messages/Line.sqlite",
         "Library/Application Support/"},
        {LineStoreLayout::DocumentsRoot, "Documents/talk.sqlite", "Library/Application Support/"}};
    for (const auto& [layout, rel, folder] : cases) {
        SCOPED_TRACE(rel.toStdString());
        LineStoreBuilder& b = builder().setLayout(layout);
        b.addChat(LineChatRow("uPeer"));
        IOSLineDb& d = build();
        EXPECT_EQ(b.dbRelPath(), rel);
        EXPECT_EQ(d.databaseRelPath(), rel);
        EXPECT_EQ(d.databasePath(), QDir(b.containerDir()).absoluteFilePath(rel));
        EXPECT_EQ(d.storeFolder(), folder);
        EXPECT_TRUE(d.groupDatabasePath().isEmpty());
        d.openCheckThrow();
        EXPECT_EQ(counts("ZCHAT"), "1");
    }
}

TEST_F(IOSLineDbOpenTest, CurrentLayoutTakesTheGroupStoreBesideIt)
{
    LineStoreBuilder& b = builder().withGroupStore();
    IOSLineDb& d = build();
    EXPECT_EQ(d.groupDatabasePath(), b.groupDbPath());
    d.openCheckThrow();
    EXPECT_TRUE(d.groupStore().isOpen());
    EXPECT_EQ(d.groupStore().unifiedGroupEnt, 3);
    EXPECT_EQ(d.groupStore().memberChatUsers.table, "Z_3MEMBERCHATUSERS");
    EXPECT_EQ(d.groupStore().memberChatUsers.ownerColumn, "Z_3GROUPS");
    EXPECT_EQ(d.groupStore().memberChatUsers.userColumn, "Z_4MEMBERCHATUSERS");
}

TEST_F(IOSLineDbOpenTest, OtherPrivateStoreFolderIsFoundFirstByNameWithoutCase)
{
    // Two candidates besides the account's own folder, which holds only a
    // group store: "a_second" sorts before "B_first" only without case.
    builder()
        .setLayout(LineStoreLayout::CurrentOtherFolder, "B_first")
        .alsoWriteStoreAt("Library/Application Support/PrivateStore/a_second/Messages/Line.sqlite")
        .addFile("Library/Application Support/PrivateStore/P_" + kMid + "/Messages/UnifiedGroup.sqlite", "x")
        .addFile("Library/Application Support/PrivateStore/0_empty/Messages/other.sqlite", "x");
    IOSLineDb& d = build();
    EXPECT_EQ(d.databaseRelPath(), "Library/Application Support/PrivateStore/a_second/Messages/Line.sqlite");
    EXPECT_EQ(d.storeFolder(), "Library/Application Support/PrivateStore/a_second/");
    EXPECT_TRUE(d.groupDatabasePath().isEmpty());
    EXPECT_NO_THROW(d.openCheckThrow());
}

TEST_F(IOSLineDbOpenTest, OlderLayoutsPreferTalkThenMessagesLine)
{
    builder()
        .setLayout(LineStoreLayout::DocumentsMessagesLine)
        .alsoWriteStoreAt("Documents/PrivateStore/P_" + kMid + "/Messages/talk.sqlite")
        .alsoWriteStoreAt("Documents/talk.sqlite");
    EXPECT_EQ(build().databaseRelPath(), "Documents/PrivateStore/P_" + kMid + "/Messages/Line.sqlite");
}

TEST_F(IOSLineDbOpenTest, NoStoreEndsAtDocumentsTalkAndOpeningFails)
{
    builder().setLayout(LineStoreLayout::None);
    IOSLineDb& d = build();
    EXPECT_EQ(d.databaseRelPath(), "Documents/talk.sqlite");
    EXPECT_EQ(d.storeFolder(), "Library/Application Support/");
    EXPECT_THROW(d.openCheckThrow(), std::runtime_error);
    EXPECT_FALSE(d.isOpen());
    EXPECT_FALSE(QFile::exists(d.databasePath()));
}

TEST_F(IOSLineDbOpenTest, AccountComesFromEitherPlistFormAndOnlyUMidsAreRemembered)
{
    using F = LineStoreBuilder::PlistFormat;
    const QList<std::tuple<QString, F, bool>> cases{
        {"U0aa11", F::Xml, true}, {"u0bb22", F::Binary, true}, {"c0cc33", F::Binary, false}, {"", F::Binary, false}};
    for (const auto& [mid, format, saved] : cases) {
        SCOPED_TRACE(mid.toStdString());
        builder().setAccount(mid, "Name " + mid, "+81-" + mid).setPreferencesFormat(format);
        IOSLineDb& d = build();
        EXPECT_EQ(d.account().uid, mid);
        EXPECT_EQ(d.account().name, "Name " + mid);
        bool found = false;
        for (const auto& a : LineAccountDB().accounts())
            found = found || (a.uid == mid && a.tel == "+81-" + mid);
        EXPECT_EQ(found, saved);
    }

    // Unreadable preferences: no account, the P_ folder looked for as "P_".
    builder(QString()).setPreferencesBytes("bplist00 not really").setLayout(LineStoreLayout::CurrentOtherFolder, "P_");
    IOSLineDb& d = build();
    EXPECT_TRUE(d.account().uid.isEmpty());
    EXPECT_EQ(d.storeFolder(), "Library/Application Support/PrivateStore/P_/");
}

TEST_F(IOSLineDbOpenTest, HostileMidCannotMoveTheStoreOutOfTheContainer)
{
    // A copy of the store sits where "P_/../../../../outside" would lead.
    LineStoreBuilder& b = builder("u/../../../../outside").setLayout(LineStoreLayout::LibraryMessages);
    build();
    QDir().mkpath(tmp.path() + "/outside/Messages");
    QFile::copy(b.dbPath(), tmp.path() + "/outside/Messages/Line.sqlite");
    QDir().mkpath(b.containerDir() + "/Library/Application Support/PrivateStore");
    IOSLineDb d{QDir(b.containerDir()), QString()};
    EXPECT_TRUE(QFileInfo(d.databasePath()).canonicalFilePath().startsWith(QFileInfo(b.containerDir()).canonicalFilePath() + "/"))
        << d.databasePath().toStdString();
    EXPECT_FALSE(d.storeFolder().contains(".."));
}

TEST_F(IOSLineDbOpenTest, EntityNumbersComeFromThePrimaryKeyTable)
{
    builder().removeEntity("Chat").setEntity("ZCHAT", 7).setEntity("User", 9).removeEntity("Group");
    IOSLineDb& d = build();
    d.openCheckThrow();
    EXPECT_EQ(d.getPrimaryKey("Chat", "ZCHAT", 1), 7);
    EXPECT_EQ(d.getPrimaryKey("Group", "ZGROUP", 4), 4);
    EXPECT_EQ(d.getPrimaryKey("Message", "ZMESSAGE", 99), 5);
    EXPECT_EQ(d.chatMembersTable().table, "Z_7MEMBERS");
    EXPECT_EQ(d.chatMembersTable().ownerColumn, "Z_7CHATS");
    EXPECT_EQ(d.chatMembersTable().userColumn, "Z_9MEMBERS");
    EXPECT_EQ(d.groupMembersTable().table, "Z_4MEMBERS");
    EXPECT_EQ(d.groupMembersTable().userColumn, "Z_9MEMBERS1");
}

TEST_F(IOSLineDbOpenTest, NoStickerTableOddEnableFlagsAndUnfitEntityNumbersAreReadSafely)
{
    LineStoreBuilder& b = builder().withoutTable("ZSTICKERPACKAGE");
    const QVariant flags[] = {0, 1, QVariant(), "yes", 0.0, "0x"};
    for (const QVariant& flag : flags) {
        LineChatRow row(flag.isNull() ? QStringLiteral("uNull") : "u" + flag.toString());
        row.enable = flag;
        b.addChat(row);
    }
    IOSLineDb& d = build();
    {
        Sqlite3DB raw;
        raw.openThrow(b.dbPath(), 2);
        raw.executeThrow(Sqlite3Sql("update Z_PRIMARYKEY set Z_ENT=case Z_NAME when 'Chat' then 0"
                                    " when 'User' then -3 when 'Group' then 1099511627776 else Z_ENT end"));
    }
    LineData data(QSharedPointer<AbsLineDb>(), 10);
    d.loadDataThrow(data);
    // What opening kept is what was loaded.
    QStringList loaded, kept;
    for (const _LineChat* c : data.chats())
        loaded << c->uid;
    for (Sqlite3Cursor cur = d.queryThrow(Sqlite3Sql("select ZMID from ZCHAT order by Z_PK")); cur.moveNext();)
        kept << cur.getText(0);
    EXPECT_EQ(loaded, kept);
    EXPECT_EQ(kept, QStringList({"u1", "uNull", "uyes", "u0x"}));
    EXPECT_EQ(d.chatMembersTable().table + d.chatMembersTable().userColumn + d.groupMembersTable().table,
              "Z_1MEMBERSZ_12MEMBERSZ_4MEMBERS");
    const _LineStickerInfo none = d.stickerInfoThrow(5);
    EXPECT_EQ(std::tie(none.id, none.package, none.version), std::make_tuple(0, 0, 0));
}

TEST_F(IOSLineDbOpenTest, AStoreReachedThroughALinkLeavingTheContainerIsNeitherOpenedNorChanged)
{
    LineStoreBuilder& b = builder();
    b.build();
    const QString folder = b.absolute(b.storeDir()).chopped(1), out = tmp.path() + "/out";
    ASSERT_TRUE(QDir().rename(folder, out));
    const QString line = out + "/Messages/Line.sqlite";
    const qint64 size = QFileInfo(line).size();
    // The account's folder leads out, then the store file itself.
    for (const auto& link : {qMakePair(out, folder), qMakePair(line, folder + "/Messages/Line.sqlite")}) {
        QFile::remove(folder);
        QDir().mkpath(QFileInfo(link.second).absolutePath());
        ASSERT_TRUE(QFile::link(link.first, link.second));
        IOSLineDb d(QDir(b.containerDir()), QString());
        EXPECT_THROW(d.openCheckThrow(), std::runtime_error);
        EXPECT_EQ(QFileInfo(line).size(), size); // no index added
    }
}

TEST_F(IOSLineDbOpenTest, DamagedGroupStoreFailsTheOpenAndLeavesItClosed)
{
    builder().addFile("Library/Application Support/PrivateStore/P_" + kMid + "/Messages/UnifiedGroup.sqlite",
                      "this is no database, just text long enough to fill a header page............");
    IOSLineDb& d = build();
    ASSERT_FALSE(d.groupDatabasePath().isEmpty());
    EXPECT_THROW(d.openCheckThrow(), std::runtime_error);
    EXPECT_FALSE(d.isOpen());
    EXPECT_FALSE(d.groupStore().isOpen());
    EXPECT_THROW(d.openCheckThrow(), std::runtime_error); // tried again, not taken as open
}

TEST_F(IOSLineDbOpenTest, GroupStoreWithoutEntityRowsStillOpens)
{
    builder().withGroupStore().removeGroupStoreEntity("UnifiedGroup");
    IOSLineDb& d = build();
    ASSERT_NO_THROW(d.openCheckThrow());
    EXPECT_EQ(d.groupStore().unifiedGroupEnt, 0);
    EXPECT_EQ(d.groupStore().memberChatUsers.table, "Z_0MEMBERCHATUSERS");
}

// A store with one disabled chat (id 2) that has messages, members and a
// metadata row, next to an enabled one.
LineStoreBuilder& addDisabledChat(LineStoreBuilder& b)
{
    const qint64 u = b.addUser(LineUserRow("uA"));
    const qint64 on = b.addChat(LineChatRow("uA").withMembers({u}));
    const qint64 off = b.addChat(LineChatRow("rOff").room().disabled().withMembers({u}));
    b.addMessage(LineMsgRow(on, "1").at(1000).text("kept"));
    b.addMessage(LineMsgRow(off, "2").at(2000).text("purged"));
    b.addMessage(LineMsgRow(off, "3").at(3000).text("purged"));
    return b;
}

TEST_F(IOSLineDbOpenTest, OpeningIndexesTimesAndPurgesDisabledChatsOnce)
{
    addDisabledChat(builder());
    IOSLineDb& d = build();
    d.openCheckThrow();
    EXPECT_TRUE(d.dbSchema().containsIndex(IOSLineDb::kTimestampIndex));
    EXPECT_EQ(counts("ZCHAT,ZMESSAGE,Z_1MEMBERS,ZCHATMETADATA"), "1 1 1 1");

    // A second open does nothing: neither the index nor the purge again.
    d.executeThrow(Sqlite3Sql("drop index _vardo_idx_Message_timestamp"));
    d.executeThrow(Sqlite3Sql("update ZCHAT set ZENABLE=0"));
    d.openCheckThrow();
    EXPECT_EQ(counts("sqlite_master where name='_vardo_idx_Message_timestamp',ZCHAT"), "0 1");
}

TEST_F(IOSLineDbOpenTest, PurgeRunsOnlyWhatTheSchemaAllows)
{
    // Without ZENABLE nothing is disabled; without ZCHATMETADATA and the
    // chat-member table the purge still runs.
    addDisabledChat(builder().withoutColumn("ZCHAT", "ZENABLE"));
    ASSERT_NO_THROW(build().openCheckThrow());
    EXPECT_EQ(counts("ZMESSAGE,ZCHAT"), "3 2");

    addDisabledChat(builder().withoutTable("ZCHATMETADATA").withoutTable("Z_1MEMBERS"));
    ASSERT_NO_THROW(build().openCheckThrow());
    EXPECT_EQ(counts("ZMESSAGE,ZCHAT"), "1 1");
}

TEST_F(IOSLineDbOpenTest, FailedPurgeLeavesTheCopyUntouchedAndClosed)
{
    LineStoreBuilder& b = addDisabledChat(builder());
    IOSLineDb& d = build();
    Sqlite3DB raw;
    raw.openThrow(b.dbPath(), 2);
    raw.executeThrow(Sqlite3Sql("CREATE TRIGGER no_chat_delete BEFORE DELETE ON ZCHAT "
                                "BEGIN SELECT RAISE(ABORT, 'chats are kept'); END"));
    EXPECT_THROW(d.openCheckThrow(), std::runtime_error);
    EXPECT_FALSE(d.isOpen());
    EXPECT_EQ(counts(raw, "ZMESSAGE,Z_1MEMBERS,ZCHATMETADATA,sqlite_master where name='_vardo_idx_Message_timestamp'"),
              "3 2 2 0");
    raw.executeThrow(Sqlite3Sql("DROP TRIGGER no_chat_delete"));
    raw.close();

    // Once the cause is gone, the same object opens and purges.
    ASSERT_NO_THROW(d.openCheckThrow());
    EXPECT_EQ(counts("ZMESSAGE"), "1");
}

TEST_F(IOSLineDbOpenTest, StickerPackagesAreLookedUpAndRemembered)
{
    LineStoreBuilder& b = builder();
    b.addStickerPackage(1001, 3, 100, 199);
    b.addStickerPackage(2002, 7, 200, 200);
    IOSLineDb& d = build();
    const _LineStickerInfo a = d.stickerInfoThrow(150); // opens on its own
    EXPECT_EQ(std::tie(a.id, a.package, a.version), std::make_tuple(150, 1001, 3));
    EXPECT_EQ(d.stickerInfoThrow(200).package, 2002);
    for (int i = 0; i < 2; ++i) {
        const _LineStickerInfo none = d.stickerInfoThrow(500);
        EXPECT_EQ(std::tie(none.id, none.package, none.version), std::make_tuple(0, 0, 0));
    }
    // Found ids are cached; missing ones are asked again.
    d.executeThrow(Sqlite3Sql("update ZSTICKERPACKAGE set ZPACKAGEID=9, ZSTICKERIDEND=999"));
    EXPECT_EQ(d.stickerInfoThrow(150).package, 1001);
    EXPECT_EQ(d.stickerInfoThrow(500).package, 9);
}

} // namespace
