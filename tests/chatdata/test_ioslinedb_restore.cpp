// Writing chats and messages into a LINE store for a restore, the finishing
// step that puts summaries and key counters right, and whole restores read
// back through the product's reader and through the sqlite3 tool.
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_restore_p.h"
#include "chatdata/linedata.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kOwner = QStringLiteral("u0wner0000000000000000000000001");
const QByteArray kEmojiStart = QByteArray::fromHex("f4808080f4808081"), kRunEnd = QByteArray::fromHex("f48fbfbf");

class IOSLineDbRestoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        b.setAccount(kOwner, "Me");
        peerKey = b.addUser(LineUserRow("uPeer").named("Peer"));
        singleKey = b.addChat(LineChatRow("uPeer"));
        peer.uid = "uPeer";
        single.uid = "uPeer";
        single.users = {&peer};
    }
    IOSLineDb& open()
    {
        b.build();
        db.reset(new IOSLineDb(QDir(b.containerDir()), QString()));
        db->openCheckThrow();
        return *db;
    }
    // Each row of a query, its columns joined by "|" (NULL: "NULL").
    QString rows(const QString& sql)
    {
        QStringList out;
        for (Sqlite3Cursor cur = db->queryThrow(Sqlite3Sql(sql)); cur.moveNext();) {
            QStringList cols;
            for (int i = 0; i < cur.columnCount(); ++i)
                cols << (cur.isNull(i) ? "NULL" : cur.getText(i));
            out << cols.join('|');
        }
        return out.join('\n');
    }
    _LineUser* user(const QString& uid, const QString& server = QString())
    {
        users.emplace_back(new _LineUser);
        users.back()->uid = uid;
        users.back()->serverName = server;
        return users.back().get();
    }
    static _LineMsg msg(const QString& uid, _LineChat* chat, const QByteArray& raw = QByteArray())
    {
        _LineMsg m;
        m.uid = uid;
        m.chat = chat;
        m.rawContent = raw;
        return m;
    }

    QTemporaryDir tmp;
    LineStoreBuilder b{tmp.path()};
    std::unique_ptr<IOSLineDb> db;
    std::vector<std::unique_ptr<_LineUser>> users;
    qint64 peerKey = 0, singleKey = 0;
    _LineUser peer;
    _LineChat single;
};

TEST_F(IOSLineDbRestoreTest, UsersChatsGroupsAndMembersWithCoreDataBookkeeping)
{
    // Entity numbers of this store; columns that older models lack.
    b.afterwards("UPDATE Z_PRIMARYKEY SET Z_ENT = 15 WHERE Z_NAME = 'User'; UPDATE ZUSER SET Z_ENT = 15;"
                 "ALTER TABLE Z_1MEMBERS RENAME Z_12MEMBERS TO Z_15MEMBERS; ALTER TABLE Z_4MEMBERS RENAME Z_12MEMBERS1 TO Z_15MEMBERS1;"
                 "ALTER TABLE ZUSER DROP ZE2EECONTENTTYPES; ALTER TABLE ZCHAT DROP ZSORTORDER; ALTER TABLE ZGROUP DROP ZFAVORITEORDER;"
                 "insert into ZCHAT(Z_PK, ZMID, ZENABLE) values (7, 'uNull', NULL)");
    IOSLineDb& d = open();
    _LineUser* custom = user("uA", "Server A");
    custom->customName = "Custom Ä";
    custom->picUri = "/os/a";
    custom->contactName = "not carried";
    const qint64 a = d.insertUserThrow(custom);
    d.insertUserThrow(user("uB", "Server B"));
    EXPECT_EQ(d.findUserThrow("uA") * 10 + d.findUserThrow("UA"), a * 10);
    EXPECT_EQ(rows("select Z_ENT, Z_OPT, ZISFRIEND, ZNAME, ZCUSTOMNAME, ZSORTABLENAME, ZPICTUREURL, ZADDRESSBOOKNAME from ZUSER where Z_PK > 1"),
              "15|2|1|Server A|Custom Ä|custom ä|/os/a|NULL\n15|2|1|Server B|NULL|server b|NULL|NULL");
    // The flag is left alone where there is no such chat; NULL reads as disabled.
    QString flags;
    for (const char* mid : {"uNull", "uPeer", "uMissing"}) {
        bool enabled = qstrcmp(mid, "uPeer") != 0;
        flags += QString::number(d.findChatThrow(mid, enabled) > 0);
        flags += QString::number(enabled);
    }
    EXPECT_EQ(flags, "101101");
    for (int type : {5, int(LineChatType::MULTI), int(LineChatType::GROUP), -1}) {
        _LineChat chat;
        chat.uid = QStringLiteral("chat%1").arg(type);
        chat.type = type;
        d.insertChatThrow(&chat);
    }
    EXPECT_EQ(rows("select group_concat(ZTYPE || ZMID || Z_OPT || ZENABLE || ifnull(ZLASTMESSAGE, '-'), ' ') from ZCHAT where Z_PK > 7"),
              "0chat541- 1chat141- 2chat241- 0chat-141-");

    // Members: never the owner (whatever the case of the mid), known users
    // reused, new ones added, a pair written once.
    _LineChat room;
    room.users = {user(kOwner.toUpper(), "Owner"), user("uPeer", "Peer"), user("uNew", "New")};
    d.saveChatMembersThrow(singleKey, &room);
    d.saveChatMembersThrow(singleKey, &room);
    // A group's creator gets a row even when it is the owner.
    _LineGroupInfo group;
    group.uid = "cTeam";
    group.name = "Team";
    group.creator = user(kOwner, "Me");
    group.members = {group.creator, user("uA", "A")};
    const qint64 g = d.insertGroupInfoThrow(group);
    EXPECT_EQ(d.findGroupInfoThrow("cTeam"), g);
    d.saveGroupMembersThrow(g, &group);
    EXPECT_EQ(rows("select 'chat', j.Z_1CHATS, u.ZMID from Z_1MEMBERS j join ZUSER u on u.Z_PK = j.Z_15MEMBERS union all"
                   " select 'group', j.Z_4GROUPS, u.ZMID from Z_4MEMBERS j join ZUSER u on u.Z_PK = j.Z_15MEMBERS1 union all"
                   " select 'creator', g.ZNAME || g.Z_ENT, u.ZMID from ZGROUP g join ZUSER u on u.Z_PK = g.ZCREATOR order by 1, 3"),
              "chat|1|uNew\nchat|1|uPeer\ncreator|Team4|" + kOwner + "\ngroup|1|uA");
}

// With the app's companion group store, or without a ZGROUP table, the store
// keeps no groups of its own: none are written, the chat still is.
TEST_F(IOSLineDbRestoreTest, StoresWithoutTheirOwnGroupsGetChatsButNoGroups)
{
    _LineGroupInfo group;
    group.uid = "cTeam";
    group.creator = user("uA", "A");
    group.members = {group.creator};
    _LineChat chat;
    chat.uid = "cNew";
    chat.type = LineChatType::GROUP;
    chat.group = &group;
    chat.users = group.members;
    for (bool groupStore : {true, false}) {
        QDir().mkpath(tmp.path() + "/" + QString::number(groupStore));
        LineStoreBuilder s(tmp.path() + "/" + QString::number(groupStore));
        (groupStore ? s.withGroupStore() : s.afterwards("DROP TABLE ZGROUP")).setAccount(kOwner).build();
        db.reset(new IOSLineDb(QDir(s.containerDir()), QString()));
        db->openCheckThrow();
        db->beginTran();
        const LineRestoreTally t = restoreLineMessagesThrow(*db, {msg("1", &chat)});
        db->updateDbStatThrow();
        db->commitTran();
        EXPECT_EQ(t.chatsAdded * 100 + t.groupsAdded * 10 + t.messagesAdded, 101) << groupStore;
        EXPECT_EQ(db->insertGroupInfoThrow(group) + db->findGroupInfoThrow("cTeam"), 0);
        db->saveGroupMembersThrow(1, &group);
        // No group row (the counter stays 0, a number) and no group member row.
        EXPECT_EQ(rows("select (select count(*) from Z_1MEMBERS), (select count(*) from Z_4MEMBERS),"
                       " (select Z_MAX from Z_PRIMARYKEY where Z_NAME='Group')"), "1|0|0");
    }
}

TEST_F(IOSLineDbRestoreTest, DuplicatesByIdWithinTheChatDamagedTextRepairedAndUnknownTypesLeftOut)
{
    const QByteArray damaged = "a" + kEmojiStart + "x" + QByteArray::fromHex("efbfbd") + "b", repaired = "a" + kEmojiStart + "x" + kRunEnd + "b";
    b.addMessage(LineMsgRow(singleKey, "7").at(1).withText(damaged));
    b.addMessage(LineMsgRow(singleKey, "8").at(2).withText("only \xef\xbf\xbd")); // no run: no damage
    const qint64 groupKey = b.addChat(LineChatRow("cTeam").groupChat());
    IOSLineDb& d = open();
    EXPECT_EQ(d.findMsgThrow(singleKey, "7") * 10 + d.findMsgThrow(singleKey, "8"), 12);
    EXPECT_EQ(d.findMsgThrow(groupKey, "7") + d.findMsgThrow(singleKey, "") + d.findMsgThrow(singleKey, "0"), 0);
    _LineChat team;
    team.uid = "cTeam";
    const _LineMsg again = msg("7", &team, "again"), written = msg("9", &team, damaged), broken = msg("10", &team, QByteArray("\xff\xfe\x00z\xc3", 5));
    EXPECT_EQ(d.findMsgThrow(groupKey, "7"), 0);
    const qint64 inGroup = d.insertMsgThrow(groupKey, &again);
    EXPECT_EQ(d.findMsgThrow(groupKey, "7"), inGroup);
    d.insertMsgThrow(groupKey, &written); // repaired as it is written
    d.insertMsgThrow(groupKey, &broken);
    for (int type : {8, -1, 100}) { // outside text..location: no row, not even the sender's
        _LineMsg odd = msg("5", &single);
        odd.type = type;
        odd.from = user("uStranger");
        EXPECT_EQ(d.insertMsgThrow(singleKey, &odd), 0);
    }
    EXPECT_EQ(rows("select ZID, hex(ZTEXT), typeof(ZTEXT) from ZMESSAGE order by Z_PK") + rows("select count(*) from ZUSER"),
              "7|" + repaired.toHex().toUpper() + "|text\n8|6F6E6C7920EFBFBD|text\n7|616761696E|text\n9|" + repaired.toHex().toUpper()
                  + "|text\n10|FFFE007AC3|text1");
}

TEST_F(IOSLineDbRestoreTest, FinishingSummarisesTheNewestShownMessageAndNeverLowersCounters)
{
    const qint64 named = b.addUser(LineUserRow("uNamed").named("Server").addressBook("Book"));
    const qint64 server = b.addUser(LineUserRow("uServer").named("Server"));
    const QList<std::tuple<int, qint64>> cases = {{LineContent::Photo, named}, {LineContent::Photo, server}, {LineContent::Voice, 0},
                                                  {LineContent::Sticker, named}, {LineContent::Contact, 0}, {LineContent::Location, named},
                                                  {LineContent::TextAlt, 0}};
    for (int i = 0; i < cases.size(); ++i) {
        const auto [type, sender] = cases[i];
        const qint64 c = b.addChat(LineChatRow(QStringLiteral("c%1").arg(i)));
        b.addMessage(LineMsgRow(c, "old").at(1000).from(named).text("older"));
        b.addMessage(LineMsgRow(c, QStringLiteral("new%1").arg(i)).at(2000 + i).ofType(type).withText("hi " + kEmojiStart + "x" + kRunEnd)
                         .set("ZSENDER", sender ? QVariant(sender) : QVariant()));
        // Later, but not shown by the reader: passed over.
        for (const LineMsgRow& hidden : {LineMsgRow(c, "late").at(4000000000000LL).text("late"), LineMsgRow(c, "hidden").at(3000).ofType(4),
                                         LineMsgRow(c, QVariant()).at(3001).text("no id")})
            b.addMessage(LineMsgRow(hidden).from(named));
    }
    b.addMessage(LineMsgRow(singleKey, "1").at(5000).from(peerKey).text("a"));
    b.addMessage(LineMsgRow(singleKey, "2").at(5000).text("same time, later row"));
    b.afterwards("insert into ZCHAT(Z_PK, ZMID, ZLASTUPDATED, ZLASTMESSAGE) values (90, 'uQuiet', 12.5, 'as it was')");
    IOSLineDb& d = open();
    // Core Data gave out keys that were deleted since; a counter left NULL.
    d.executeThrow(Sqlite3Sql("update Z_PRIMARYKEY set Z_MAX = case Z_NAME when 'User' then 900 when 'Message' then NULL else Z_MAX end"));
    for (int run = 0; run < 2; ++run) { // running twice changes nothing
        d.updateDbStatThrow();
        EXPECT_EQ(rows("select ZMID, round(ZLASTUPDATED * 1000) + 978307200000, ZLASTRECEIVEDMESSAGEID, ZREADUPTOMESSAGEID,"
                       " ZREADUPTOMESSAGEIDSYNCED, ZLASTMESSAGE from ZCHAT order by Z_PK"),
                  "uPeer|5000.0|NULL|NULL|NULL|same time, later row\n"
                  "c0|2000.0|new0|new0|new0|Book sent you a photo.\nc1|2001.0|new1|new1|new1|Server sent you a photo.\n"
                  "c2|2002.0|NULL|NULL|NULL|You sent a voice message.\nc3|2003.0|new3|new3|new3|Book sent you a sticker.\n"
                  "c4|2004.0|NULL|NULL|NULL|Contact info sent.\nc5|2005.0|new5|new5|new5|Book sent you a location.\n"
                  "c6|2006.0|NULL|NULL|NULL|hi [EMOJI]\nuQuiet|978307212500.0|NULL|NULL|NULL|as it was");
        EXPECT_EQ(rows("select Z_NAME, Z_MAX from Z_PRIMARYKEY where Z_NAME in ('Chat', 'Message', 'User') order by Z_ENT"),
                  "Chat|90\nMessage|" + rows("select max(Z_PK) from ZMESSAGE") + "\nUser|900");
        EXPECT_EQ(rows("select count(*) from sqlite_master where name like '\\_vardo%' escape '\\'"), "0");
    }
}

// The ids of a chat are read once per restore, the newest-message query
// runs once per chat of the store: both must find their rows through an
// index, whatever indexes the app's store brings along.
TEST_F(IOSLineDbRestoreTest, ChatIdsAndSummaryQueriesUseIndexes)
{
    b.afterwards("DROP INDEX ZMESSAGE_ZCHAT_INDEX");
    for (int i = 0; i < 50; ++i)
        b.addMessage(LineMsgRow(singleKey, QString::number(i)).at(i).text("m"));
    IOSLineDb& d = open();
    EXPECT_GT(d.findMsgThrow(singleKey, "1"), 0);
    for (const char* sql : {ioslinedb_restore_p::kChatMsgIdsSql, ioslinedb_restore_p::kNewestMsgSql}) {
        QString plan;
        for (Sqlite3Cursor cur = d.queryThrow(Sqlite3Sql(QStringLiteral("EXPLAIN QUERY PLAN ") + sql).addInt64Param(singleKey)); cur.moveNext();)
            plan += cur.getText("detail") + "; ";
        EXPECT_TRUE(plan.contains(QString("USING INDEX ") + IOSLineDb::kChatTimestampIndex + " (ZCHAT=?") && !plan.contains("TEMP B-TREE"))
            << plan.toStdString();
    }
}

// --- whole restores ---------------------------------------------------------


struct Opened
{
    QSharedPointer<IOSLineDb> db;
    LineData data;
    QList<_LineMsg> msgs;
};

Opened openAndRead(const QString& container)
{
    Opened o{QSharedPointer<IOSLineDb>::create(QDir(container), QString()), {}, {}};
    o.data = LineData(o.db, 5000);
    o.db->loadDataThrow(o.data);
    o.msgs = o.db->messagesThrow(o.data, nullptr, 1, 10000, true);
    return o;
}

// Every message (all a restore must keep), chat and user, one line each.
QStringList describe(const Opened& o)
{
    QStringList out;
    for (const _LineMsg& m : o.msgs) {
        QStringList atta;
        for (auto v = m.atta.cbegin(); v != m.atta.cend(); ++v)
            atta << v.key() + "=" + v.value().toString();
        atta.sort();
        const QByteArray thumb = m.thumbPath.isEmpty() ? QByteArray() : testenv::readFile(m.thumbPath);
        out << QStringList{m.chat ? m.chat->uid : "-", m.uid, QString::number(m.type), QString::number(m.ts.toMSecsSinceEpoch()),
                           m.from ? m.from->uid : "(owner)", m.rawContent.toHex(), m.text, atta.join(' '),
                           QCryptographicHash::hash(thumb, QCryptographicHash::Md5).toHex()}.join(" | ");
    }
    for (const _LineChat* c : o.data.chats()) {
        const _LineGroupInfo* g = c->group;
        out << QStringList{c->uid, QString::number(c->type), sortedUids(c->users), g ? g->name + g->picStatus : "-",
                           g && g->creator ? g->creator->uid : "-", g ? sortedUids(g->members) : "-"}.join(" | ");
    }
    for (const _LineUser* u : o.data.users())
        out << QStringList{u->uid, u->serverName, u->customName, u->picUri}.join(" | ");
    return out;
}

class RestoreRoundTripTest : public ::testing::Test
{
protected:
    // Every kind of message, from the owner and from others, in a one-to-one
    // chat, a room and a group chat.
    void SetUp() override
    {
        if (!sqlitecli::available())
            GTEST_SKIP() << "sqlite3 command-line tool missing";
        LineStoreBuilder b(dir("source"));
        b.setAccount(kOwner, "Me");
        const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice").addressBook("Ali"));
        const qint64 bob = b.addUser(LineUserRow("uBob").named("Bob").custom("Bobby").picture("/p/bob"));
        const qint64 carol = b.addUser(LineUserRow("uCarol").named("Carol"));
        const qint64 single = b.addChat(LineChatRow("uAlice")), room = b.addChat(LineChatRow("rRoom").room().withMembers({alice, bob}));
        const qint64 group = b.addChat(LineChatRow("cTeam").groupChat().withMembers({bob}));
        b.addGroup(LineGroupRow("cTeam").named("Team").picture("p1").createdBy(bob).withMembers({alice, bob, carol}));
        const LineMsgRow rows[] = {
            LineMsgRow(single, "1001").from(alice).text("hello"),
            LineMsgRow(single, "1002").withText("\xff\xfe broken \xc3" + kEmojiStart + kRunEnd),
            LineMsgRow(single, "1003").from(alice).photo(640, 480).thumbnailBlob(linePicture(64, 48)),
            LineMsgRow(single, "1004").video(1280, 720).thumbnailBlob(linePicture(32, 18)),
            LineMsgRow(single, "1005").from(alice).voice(4900),
            LineMsgRow(room, "2001").from(bob).sticker(52002734, 11537, 1),
            LineMsgRow(room, "2002").contact("uDave", "Dave"),
            LineMsgRow(room, "2003").from(alice).location(35.6586, 139.7454, "Tokyo Tower"),
            LineMsgRow(room, "2004").ofType(4).from(bob), // never read
            LineMsgRow(group, "3001").from(carol).file("report.pdf", 3),
            LineMsgRow(group, "3002").voice(2450),
            LineMsgRow(group, "3003").from(bob).photo(100, 200).thumbnailBlob(linePicture(20, 40)),
        };
        for (int i = 0; i < int(std::size(rows)); ++i)
            b.addMessage(LineMsgRow(rows[i]).at(1420070400000LL + i * 1000));
        b.addAttachment("uAlice", "1003", ".jpg", linePicture(640, 480)).addAttachment("cTeam", "3001", "_report.pdf", "pdf");
        b.build();
        source = openAndRead(b.containerDir());
        ASSERT_EQ(source.msgs.size(), 11);
    }

    QString dir(const QString& name)
    {
        QDir().mkpath(tmp.path() + '/' + name);
        return tmp.path() + '/' + name;
    }
    // The restore job's sequence: open, one transaction, finish, commit.
    QString restoreInto(const QString& container)
    {
        IOSLineDb target{QDir(container), QString()};
        target.openCheckThrow();
        target.beginTran();
        const LineRestoreTally t = restoreLineMessagesThrow(target, source.msgs);
        target.updateDbStatThrow();
        target.commitTran();
        return QString("%1 %2 %3 %4 %5").arg(t.chatsAdded).arg(t.chatsEnabled).arg(t.groupsAdded).arg(t.messagesAdded).arg(t.messagesSkipped);
    }

    QTemporaryDir tmp;
    Opened source;
};

TEST_F(RestoreRoundTripTest, EveryMessageReachesAnEmptyOrPartlyOverlappingStoreOnceAsAnyReaderSeesIt)
{
    LineStoreBuilder empty(dir("empty")), b(dir("overlap"));
    empty.setAccount(kOwner, "Me").build();
    b.setAccount(kOwner, "Me");
    // Other keys than the source's, so that nothing matches by accident.
    b.addUser(LineUserRow("uZed").named("Zed"));
    const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice"));
    const qint64 zedChat = b.addChat(LineChatRow("uZed"));
    const qint64 single = b.addChat(LineChatRow("uAlice").set("ZENABLE", QVariant())); // switched on again
    b.addMessage(LineMsgRow(single, "1001").at(1420070400000).from(alice).text("hello")); // there already
    b.addMessage(LineMsgRow(zedChat, "2001").at(1).text("unrelated"));                    // another chat's id
    b.build();
    EXPECT_EQ(restoreInto(empty.containerDir()), "3 0 1 11 0");
    EXPECT_EQ(restoreInto(b.containerDir()), "2 1 1 10 1");
    EXPECT_EQ(restoreInto(b.containerDir()), "0 0 0 0 11");
    for (const LineStoreBuilder* target : {&empty, &b}) {
        const QStringList got = describe(openAndRead(target->containerDir()));
        for (const QString& want : describe(source))
            EXPECT_TRUE(got.contains(want)) << want.toStdString();
        EXPECT_EQ(lineStoreProblemsThrow(target->dbPath()), QStringList());
    }
    // The columns the reader does not look at, as the sqlite3 tool lists them:
    // sender, Z_OPT, read count, content type, the notice or own voice path
    // (relative: there is no device home), whether there is a thumbnail.
    const QString storeDir = "Library/Application Support/PrivateStore/P_" + kOwner + "/";
    EXPECT_EQ(sqlitecli::textThrow(empty.dbPath(), "select m.ZID, ifnull(u.ZMID, '-'), m.Z_OPT, m.ZREADCOUNT, m.ZCONTENTTYPE,"
                                                   " quote(m.ZTEXT), m.ZTHUMBNAIL is not null from ZMESSAGE m left join ZUSER u"
                                                   " on m.ZSENDER = u.Z_PK where m.ZCONTENTTYPE <> 0 order by m.ZTIMESTAMP"),
              "1003|uAlice|1|1|1|NULL|1\n1004|-|3|1|2|'You sent a video.'|1\n1005|uAlice|1|1|3|'Ali sent you a voice message.'|0\n"
              "2001|uBob|1|3|7|''|0\n2002|-|3|3|13|''|0\n2003|uAlice|1|3|100|'Tokyo Tower'|0\n3001|uCarol|1|4|14|NULL|0\n"
              "3002|-|3|4|3|'" + storeDir + "Message Attachments/cTeam/3002.mp4'|0\n3003|uBob|1|4|1|'Bobby sent you a photo.'|1");
    EXPECT_EQ(sqlitecli::textThrow(empty.dbPath(), "select ZMID, ZLASTRECEIVEDMESSAGEID, ZLASTMESSAGE from ZCHAT order by Z_PK"),
              "uAlice|1005|Alice sent you a voice message.\nrRoom|2003|Alice sent you a location.\ncTeam|3003|Bob sent you a photo.");
}

// The job abandons its transaction when anything fails; closing the store
// then must give back exactly the store it opened, in either journal mode.
TEST_F(RestoreRoundTripTest, FailureHalfwayLeavesTheStoreAsItWas)
{
    for (const char* mode : {"delete", "wal"}) {
        for (const char* trigger : {"BEFORE INSERT ON ZMESSAGE WHEN new.ZID='3002'", "BEFORE UPDATE ON ZCHAT WHEN new.ZMID='cTeam'"}) {
            SCOPED_TRACE(std::string(mode) + trigger);
            LineStoreBuilder b(dir(QString("fail-%1-%2").arg(mode).arg(trigger[7])));
            b.setAccount(kOwner, "Me");
            b.addMessage(LineMsgRow(b.addChat(LineChatRow("uAlice")), "9").at(1).from(b.addUser(LineUserRow("uAlice"))).text("kept"));
            b.afterwards(QStringLiteral("CREATE TRIGGER boom %1 BEGIN SELECT RAISE(ABORT, 'disk trouble'); END").arg(trigger));
            b.build();
            {
                Sqlite3DB raw;
                raw.openThrow(b.dbPath(), 2);
                raw.queryThrow(QStringLiteral("PRAGMA journal_mode=%1").arg(mode)).moveNext();
            }
            IOSLineDb target(QDir(b.containerDir()), QString());
            target.openCheckThrow(); // its own preparation is committed by itself
            const QByteArray bytesBefore = testenv::readFile(b.dbPath());
            const QString dumpBefore = sqlitecli::textThrow(b.dbPath(), ".dump");
            target.beginTran();
            EXPECT_THROW({
                restoreLineMessagesThrow(target, source.msgs);
                target.updateDbStatThrow();
            }, std::runtime_error);
            EXPECT_TRUE(target.inTransaction());
            target.close();
            EXPECT_FALSE(QFile::exists(b.dbPath() + "-journal"));
            EXPECT_TRUE(QByteArray(mode) == "wal" || testenv::readFile(b.dbPath()) == bytesBefore);
            EXPECT_EQ(sqlitecli::textThrow(b.dbPath(), ".dump"), dumpBefore);
            EXPECT_EQ(lineStoreProblemsThrow(b.dbPath()), QStringList());
        }
    }
}

} // namespace
