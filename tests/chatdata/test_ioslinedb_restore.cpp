// Writing users, chats, groups and messages into a LINE store for a restore,
// and the finishing step that puts the chats' summaries and the key
// counters right.
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_restore_p.h"
#include "chatdata/linerawcontent.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

const QString kOwner = QStringLiteral("u0wnerabc");
const QByteArray kEmojiStart = QByteArray::fromHex("f4808080f4808081");
const QByteArray kRunEnd = QByteArray::fromHex("f48fbfbf");
const QByteArray kFffd = QByteArray::fromHex("efbfbd");

class IOSLineDbRestoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        b.reset(new LineStoreBuilder(tmp.path()));
        b->setAccount(kOwner, "Me");
    }

    IOSLineDb& open(const QString& deviceHome = QString())
    {
        b->build();
        db.reset(new IOSLineDb(QDir(b->containerDir()), deviceHome));
        db->openCheckThrow();
        return *db;
    }

    QVariant value(const QString& sql)
    {
        Sqlite3Cursor cur = db->queryThrow(Sqlite3Sql(sql));
        if (!cur.moveNext())
            return QVariant(QStringLiteral("<no row>"));
        return cur.isNull(0) ? QVariant() : cur.getRow().values().first();
    }
    qint64 count(const QString& sql) { return value("select count(*) from " + sql).toLongLong(); }
    // Columns of one row as SQL literals, "15|'text'|NULL".
    QString fields(const QString& table, qint64 pk, const QString& columns)
    {
        return value(QStringLiteral("select quote(%1) from %2 where Z_PK=%3")
                         .arg(columns.split(' ').join(")||'|'||quote("), table)
                         .arg(pk))
            .toString();
    }
    QByteArray textBytes(qint64 msgPk)
    {
        Sqlite3Cursor cur = db->queryThrow(Sqlite3Sql(QStringLiteral("select ZTEXT from ZMESSAGE where Z_PK=%1").arg(msgPk)));
        return cur.moveNext() ? cur.getTextBytes(0) : QByteArray("<no row>");
    }

    _LineUser* user(const QString& uid, const QString& server = QString())
    {
        users.emplace_back(new _LineUser);
        users.back()->uid = uid;
        users.back()->serverName = server;
        return users.back().get();
    }

    QTemporaryDir tmp;
    std::unique_ptr<LineStoreBuilder> b;
    std::unique_ptr<IOSLineDb> db;
    std::vector<std::unique_ptr<_LineUser>> users;
};

// --- users, chats, groups ---------------------------------------------------

TEST_F(IOSLineDbRestoreTest, UserRowsCarryNamesAndCoreDataBookkeeping)
{
    b->setEntity("User", 15);
    IOSLineDb& d = open();
    _LineUser* custom = user("uA", "Server A");
    custom->customName = "Custom Ä";
    custom->picUri = "/os/a";
    custom->contactName = "not carried";
    const qint64 a = d.insertUserThrow(custom);
    EXPECT_EQ(d.findUserThrow("uA"), a);
    const QString cols = "Z_ENT Z_OPT ZISFRIEND ZE2EECONTENTTYPES ZNAME ZCUSTOMNAME ZSORTABLENAME ZPICTUREURL ZADDRESSBOOKNAME";
    EXPECT_EQ(fields("ZUSER", a, cols), "15|2|1|0|'Server A'|'Custom Ä'|'custom ä'|'/os/a'|NULL");
    EXPECT_EQ(fields("ZUSER", d.insertUserThrow(user("uB", "Server B")), cols),
              "15|2|1|0|'Server B'|NULL|'server b'|NULL|NULL");
    EXPECT_EQ(fields("ZUSER", d.insertUserThrow(user("uC")), "ZNAME ZSORTABLENAME"), "''|''");
    EXPECT_EQ(d.findUserThrow("uNobody"), 0);
}

TEST_F(IOSLineDbRestoreTest, OptionalColumnsMayBeMissing)
{
    b->withoutColumn("ZUSER", "ZE2EECONTENTTYPES").withoutColumn("ZUSER", "ZFAVORITEORDER");
    b->withoutColumn("ZCHAT", "ZE2EECONTENTTYPES").withoutColumn("ZCHAT", "ZSORTORDER");
    b->withoutColumn("ZGROUP", "ZFAVORITEORDER");
    IOSLineDb& d = open();
    EXPECT_GT(d.insertUserThrow(user("uA")), 0);
    _LineChat chat;
    chat.uid = "cG";
    chat.type = LineChatType::GROUP;
    EXPECT_GT(d.insertChatThrow(&chat), 0);
    _LineGroupInfo group;
    group.uid = "cG";
    EXPECT_GT(d.insertGroupInfoThrow(group), 0);
}

TEST_F(IOSLineDbRestoreTest, ChatRowsTypesAndTheEnabledFlag)
{
    // Opening purges chats whose ZENABLE is 0; one left NULL stays and
    // reads as disabled.
    b->addChat(LineChatRow("uOn").ofType(0).withoutMetadataRow());
    b->addRawRow("ZCHAT", {{"Z_PK", 7}, {"ZMID", "uNull"}, {"ZENABLE", QVariant()}});
    IOSLineDb& d = open();
    // The flag is left alone when there is no such chat.
    for (const auto& [mid, found, before, after] : {std::tuple{"uNull", true, true, false},
                                                     std::tuple{"uOn", true, false, true},
                                                     std::tuple{"uMissing", false, true, true}}) {
        bool flag = before;
        EXPECT_EQ(d.findChatThrow(mid, flag) > 0, found) << mid;
        EXPECT_EQ(flag, after) << mid;
    }
    for (const auto& [type, stored] : {std::pair{5, 0}, std::pair{1, 1}, std::pair{2, 2}, std::pair{-1, 0}}) {
        _LineChat chat;
        chat.uid = QStringLiteral("chat%1").arg(type);
        chat.type = type;
        EXPECT_EQ(fields("ZCHAT", d.insertChatThrow(&chat), "ZTYPE ZMID Z_OPT ZENABLE ZLASTMESSAGE"),
                  QStringLiteral("%1|'%2'|4|1|NULL").arg(stored).arg(chat.uid));
    }
}

TEST_F(IOSLineDbRestoreTest, ChatMembersSkipTheOwnerReuseUsersAndKeepPairsSingle)
{
    const qint64 known = b->addUser(LineUserRow("uKnown").named("Known"));
    const qint64 chatKey = b->addChat(LineChatRow("rRoom").room().withMembers({known}));
    IOSLineDb& d = open();
    _LineChat chat;
    chat.uid = "rRoom";
    chat.type = LineChatType::MULTI;
    chat.users = {user(kOwner.toUpper(), "Owner"), user("uKnown", "Known"), user("uNew", "New")};
    d.saveChatMembersThrow(chatKey, &chat);
    d.saveChatMembersThrow(chatKey, &chat); // the pairs are there already: no error, no second row

    const QString join = d.chatMembersTable().table;
    EXPECT_EQ(count(join), 2);
    EXPECT_EQ(count("ZUSER"), 2);
    EXPECT_EQ(d.findUserThrow(kOwner.toUpper()), 0);
    EXPECT_EQ(count(QStringLiteral("%1 where Z_1CHATS=%2 and Z_12MEMBERS in (%3, %4)")
                        .arg(join).arg(chatKey).arg(known).arg(d.findUserThrow("uNew"))),
              2);

    _LineChat onlyOwner;
    onlyOwner.users = {user(kOwner)};
    d.saveChatMembersThrow(chatKey + 1, &onlyOwner);
    EXPECT_EQ(count(join), 2);
}

TEST_F(IOSLineDbRestoreTest, GroupsWithCreatorAndMembers)
{
    IOSLineDb& d = open();
    _LineGroupInfo group;
    group.uid = "cTeam";
    group.name = "Team";
    group.picStatus = "0h1234";
    group.creator = user(kOwner, "Me"); // the owner as creator gets a row of its own
    group.members = {group.creator, user("uA", "A")};
    EXPECT_EQ(d.findGroupInfoThrow("cTeam"), 0);
    const qint64 g = d.insertGroupInfoThrow(group);
    EXPECT_EQ(d.findGroupInfoThrow("cTeam"), g);
    d.saveGroupMembersThrow(g, &group);
    d.saveGroupMembersThrow(0, &group);

    EXPECT_EQ(fields("ZGROUP", g, "ZCREATOR ZPICTURESTATUS ZNAME Z_ENT"),
              QStringLiteral("%1|'0h1234'|'Team'|4").arg(d.findUserThrow(kOwner)));
    const QString join = d.groupMembersTable().table;
    EXPECT_EQ(count(join), 1);
    EXPECT_EQ(count(QStringLiteral("%1 where Z_4GROUPS=%2 and Z_12MEMBERS1=%3").arg(join).arg(g).arg(d.findUserThrow("uA"))), 1);
}

// With the app's companion group store, or without a ZGROUP table, the
// store keeps no groups of its own: none are written, the chat still is.
TEST_F(IOSLineDbRestoreTest, StoresWithoutTheirOwnGroupsGetChatsButNoGroups)
{
    _LineGroupInfo group;
    group.uid = "cTeam";
    group.creator = user("uA", "A");
    group.members = {group.creator};
    _LineChat chat;
    chat.uid = "cTeam";
    chat.type = LineChatType::GROUP;
    chat.group = &group;
    chat.users = group.members;
    _LineMsg msg;
    msg.uid = "1";
    msg.chat = &chat;
    msg.ts = QDateTime::fromMSecsSinceEpoch(1000);
    for (bool groupStore : {true, false}) {
        SCOPED_TRACE(groupStore);
        b.reset(new LineStoreBuilder(tmp.path() + (groupStore ? "/store" : "/table")));
        QDir().mkpath(b->containerDir());
        b->setAccount(kOwner);
        if (groupStore)
            b->withGroupStore();
        else
            b->withoutTable("ZGROUP");
        IOSLineDb& d = open();
        d.beginTran();
        const LineRestoreTally t = restoreLineMessagesThrow(d, {msg});
        d.updateDbStatThrow();
        d.commitTran();
        EXPECT_EQ(std::tie(t.chatsAdded, t.groupsAdded, t.messagesAdded), std::make_tuple(1, 0, 1));
        EXPECT_EQ(d.insertGroupInfoThrow(group), 0);
        d.saveGroupMembersThrow(1, &group);
        if (groupStore) {
            EXPECT_EQ(d.findGroupInfoThrow("cTeam"), 0);
            EXPECT_EQ(count("ZGROUP") + count("Z_4MEMBERS"), 0);
            // An empty ZGROUP leaves the counter a number.
            EXPECT_FALSE(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='Group'").isNull());
        }
        EXPECT_EQ(count("Z_1MEMBERS"), 1);
    }
}

// --- messages -----------------------------------------------------------------

class IOSLineDbRestoreMsgTest : public IOSLineDbRestoreTest
{
protected:
    void SetUp() override
    {
        IOSLineDbRestoreTest::SetUp();
        peerKey = b->addUser(LineUserRow("uPeer").named("Peer"));
        singleKey = b->addChat(LineChatRow("uPeer"));
        groupKey = b->addChat(LineChatRow("cTeam").groupChat());
        peer = user("uPeer", "Peer");
        peer->contactName = "Pal";
        single.uid = "uPeer";
        single.users = {peer};
        team.uid = "cTeam";
        team.type = LineChatType::GROUP;
        team.users = {peer, user("uOther", "Other"), user(kOwner, "Me")};
    }

    _LineMsg msg(const QString& uid, int type, _LineChat* chat, _LineUser* from)
    {
        _LineMsg m;
        m.uid = uid;
        m.type = type;
        m.chat = chat;
        m.from = from;
        m.ts = QDateTime::fromMSecsSinceEpoch(1500000000123LL);
        return m;
    }

    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = tmp.path() + "/files/" + name;
        QDir().mkpath(tmp.path() + "/files");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return path;
    }

    qint64 peerKey = 0, singleKey = 0, groupKey = 0;
    _LineUser* peer = nullptr;
    _LineChat single, team;
};

TEST_F(IOSLineDbRestoreMsgTest, DuplicatesAreKeyedByIdAndChat)
{
    b->addMessage(LineMsgRow(singleKey, "42").at(1).from(peerKey).text("there"));
    IOSLineDb& d = open();
    const qint64 there = d.findMsgThrow(singleKey, "42");
    EXPECT_GT(there, 0);
    EXPECT_EQ(d.findMsgThrow(groupKey, "42"), 0);
    const _LineMsg same = msg("42", LineMsgType::TEXT, &team, peer);
    const qint64 other = d.insertMsgThrow(groupKey, &same);
    EXPECT_EQ(d.findMsgThrow(groupKey, "42"), other);
    EXPECT_EQ(d.findMsgThrow(singleKey, "42"), there);
    // Ids LINE never gave out are never duplicates.
    EXPECT_EQ(d.findMsgThrow(singleKey, ""), 0);
    EXPECT_EQ(d.findMsgThrow(singleKey, "0"), 0);
}

TEST_F(IOSLineDbRestoreMsgTest, DamagedTextIsRepairedAndBrokenUtf8KeptByteForByte)
{
    const QByteArray damaged = "a" + kEmojiStart + "x" + kFffd + "b";
    const QByteArray repaired = "a" + kEmojiStart + "x" + kRunEnd + "b";
    const QByteArray broken("\xff\xfe\x00z\xc3", 5);
    const QByteArray plainFffd = "only " + kFffd;
    const qint64 stored = b->addMessage(LineMsgRow(singleKey, "7").at(1).withText(damaged));
    const qint64 other = b->addMessage(LineMsgRow(singleKey, "8").at(2).withText(plainFffd));
    IOSLineDb& d = open();
    EXPECT_EQ(d.findMsgThrow(singleKey, "7"), stored);
    EXPECT_EQ(textBytes(stored), repaired);
    EXPECT_EQ(d.findMsgThrow(singleKey, "8"), other);
    EXPECT_EQ(textBytes(other), plainFffd);

    _LineMsg m = msg("9", LineMsgType::TEXT, &single, nullptr);
    m.rawContent = broken;
    EXPECT_EQ(textBytes(d.insertMsgThrow(singleKey, &m)), broken);
    m.uid = "10";
    m.rawContent = damaged;
    EXPECT_EQ(textBytes(d.insertMsgThrow(singleKey, &m)), repaired);
    EXPECT_EQ(value("select typeof(ZTEXT) from ZMESSAGE where ZID='9'").toString(), "text");
}

TEST_F(IOSLineDbRestoreMsgTest, UnknownTypesWriteNoRow)
{
    IOSLineDb& d = open();
    for (int type : {8, -1, 100}) {
        _LineMsg m = msg("5", type, &single, peer);
        EXPECT_EQ(d.insertMsgThrow(singleKey, &m), 0);
    }
    EXPECT_EQ(count("ZMESSAGE"), 0);
    EXPECT_EQ(count("ZUSER"), 1); // not even the sender
}

TEST_F(IOSLineDbRestoreMsgTest, CommonColumnsAndSenders)
{
    IOSLineDb& d = open();
    _LineMsg own = msg("1", LineMsgType::TEXT, &team, nullptr);
    _LineMsg theirs = msg("2", LineMsgType::TEXT, &team, user("uStranger", "Stranger"));
    _LineMsg chatless = msg("3", LineMsgType::TEXT, nullptr, peer);
    const QString cols = "Z_OPT Z_ENT ZSENDER ZREADCOUNT ZSENDSTATUS ZTIMESTAMP ZCHAT ZID ZCONTENTTYPE";
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(groupKey, &own), cols),
              QStringLiteral("3|5|NULL|3|1|1500000000123|%1|'1'|0").arg(groupKey));
    const qint64 theirsKey = d.insertMsgThrow(groupKey, &theirs);
    EXPECT_EQ(fields("ZMESSAGE", theirsKey, "Z_OPT ZSENDER ZREADCOUNT"),
              QStringLiteral("1|%1|3").arg(d.findUserThrow("uStranger")));
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(singleKey, &chatless), "ZSENDER ZREADCOUNT"),
              QStringLiteral("%1|0").arg(peerKey));
    EXPECT_EQ(count("ZUSER"), 2);
}

TEST_F(IOSLineDbRestoreMsgTest, MediaColumnsNoticesAndMetadata)
{
    IOSLineDb& d = open("/var/mobile/Containers/Data/Application/ABC");
    const auto meta = [&](qint64 pk) {
        return IOSLineDb::readMetaData(value(QStringLiteral("select ZCONTENTMETADATA from ZMESSAGE where Z_PK=%1").arg(pk))
                                           .toByteArray());
    };
    const QString cols = "ZCONTENTTYPE ZLATITUDE ZLONGITUDE ZTEXT";

    _LineMsg photo = msg("p1", LineMsgType::PHOTO, &single, peer);
    photo.attaSetWidth(640);
    photo.attaSetHeight(480);
    photo.thumbPath = writeFile("t.jpg", "thumbnail bytes");
    // A one-to-one chat gets no notice.
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(singleKey, &photo), cols + " ZTHUMBNAIL"),
              "1|640.0|480.0|NULL|X'" + QString::fromLatin1(QByteArray("thumbnail bytes").toHex().toUpper()) + "'");
    photo.uid = "p2";
    photo.chat = &team;
    photo.thumbPath = tmp.path() + "/missing.jpg";
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(groupKey, &photo), "ZTEXT ZTHUMBNAIL"), "'Pal sent you a photo.'|NULL");

    _LineMsg video = msg("v1", LineMsgType::VIDEO, &single, nullptr);
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(singleKey, &video), "ZCONTENTTYPE ZTEXT"), "2|'You sent a video.'");

    _LineMsg voice = msg("a1", LineMsgType::VOICE, &single, peer);
    voice.attaSetFileSize(4900);
    qint64 pk = d.insertMsgThrow(singleKey, &voice);
    EXPECT_EQ(fields("ZMESSAGE", pk, cols), "3|4900.0|NULL|'Pal sent you a voice message.'");
    EXPECT_EQ(meta(pk).value("AUDLEN"), "4900");
    voice.uid = "a2";
    voice.from = nullptr;
    voice.chat = &team;
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(groupKey, &voice), "ZTEXT"),
              "'/var/mobile/Containers/Data/Application/ABC/" + b->storeDir() + "Message Attachments/cTeam/a2.mp4'");

    _LineMsg sticker = msg("s1", LineMsgType::STICKER, &single, peer);
    sticker.attaSetSticker({52002734, 11537, 3});
    pk = d.insertMsgThrow(singleKey, &sticker);
    EXPECT_EQ(fields("ZMESSAGE", pk, cols), "7|NULL|52002734.0|''");
    EXPECT_EQ(meta(pk).value("STKPKGID"), "11537");
    EXPECT_EQ(meta(pk).value("STKVER"), "3");

    _LineMsg contact = msg("c1", LineMsgType::CONTACT, &single, nullptr);
    contact.attaSetContact({"uDave", "Dave & <Co>"});
    pk = d.insertMsgThrow(singleKey, &contact);
    EXPECT_EQ(fields("ZMESSAGE", pk, "ZCONTENTTYPE"), "13");
    EXPECT_EQ(meta(pk).value("displayName"), "Dave &amp; &lt;Co&gt;");

    // The size on disk counts, not the size the message claims.
    _LineMsg file = msg("f1", LineMsgType::FILE, &single, peer);
    file.attaSetFileName("report.pdf");
    file.attaSetFileSize(999999);
    file.attaPath = writeFile("report.pdf", "12345");
    pk = d.insertMsgThrow(singleKey, &file);
    EXPECT_EQ(fields("ZMESSAGE", pk, "ZCONTENTTYPE ZTEXT"), "14|NULL");
    EXPECT_EQ(meta(pk).value("FILE_NAME"), "report.pdf");
    EXPECT_EQ(meta(pk).value("FILE_SIZE"), "5");
    EXPECT_EQ(meta(pk).value("FILE_EXPIRE_TIMESTAMP"), "1500000000123");
    file.uid = "f2";
    file.attaPath = tmp.path() + "/files"; // a folder is no file
    EXPECT_EQ(meta(d.insertMsgThrow(singleKey, &file)).value("FILE_SIZE"), "0");

    _LineMsg loc = msg("l1", LineMsgType::LOCATION, &single, peer);
    loc.attaSetLocation({35.65858, 139.745433, "Tokyo Tower"});
    EXPECT_EQ(fields("ZMESSAGE", d.insertMsgThrow(singleKey, &loc), cols), "100|35.65858|139.745433|'Tokyo Tower'");
}

// A backup on this computer has no device home: the path must not name a
// folder of this computer, whatever the current folder is.
TEST_F(IOSLineDbRestoreMsgTest, OwnVoiceWithoutDeviceHomeNamesNoPathOfThisComputer)
{
    open();
    for (const QString& home : {QString(), QStringLiteral("relative/home")}) {
        SCOPED_TRACE(home.toStdString());
        IOSLineDb d(QDir(tmp.path()), home);
        _LineChat odd;
        odd.uid = "../../etc";
        _LineMsg voice = msg("../x", LineMsgType::VOICE, &odd, nullptr);
        const QString text = QString::fromUtf8(textBytes(d.insertMsgThrow(singleKey, &voice)));
        EXPECT_FALSE(text.startsWith('/'));
        EXPECT_FALSE(text.contains(QDir::currentPath()));
        EXPECT_TRUE(text.startsWith(b->storeDir() + "Message Attachments/")) << text.toStdString();
        const QStringList parts = text.split('/');
        EXPECT_FALSE(parts.contains("..")) << text.toStdString();
        EXPECT_EQ(parts.size(), b->storeDir().count('/') + 3) << text.toStdString();
        voice.uid = "v" + QString::number(home.size());
        voice.chat = nullptr;
        EXPECT_EQ(QString::fromUtf8(textBytes(d.insertMsgThrow(singleKey, &voice))),
                  b->storeDir() + "Message Attachments/unknown/" + voice.uid + ".mp4");
    }
}

// The ids of a chat are read once per restore, the newest-message query
// runs once per chat of the store: both must find their rows through an
// index, whatever indexes the app's store brings along.
TEST_F(IOSLineDbRestoreMsgTest, ChatIdsAndSummaryQueriesUseIndexes)
{
    namespace p = ioslinedb_restore_p;
    b->withoutIndex("ZMESSAGE_ZCHAT_INDEX");
    for (int i = 0; i < 50; ++i)
        b->addMessage(LineMsgRow(i % 2 ? singleKey : groupKey, QString::number(i)).at(i).text("m"));
    IOSLineDb& d = open();
    const auto plan = [&](const char* sql) {
        Sqlite3Cursor cur = d.queryThrow(Sqlite3Sql(QStringLiteral("EXPLAIN QUERY PLAN ") + QString::fromLatin1(sql))
                                             .addInt64Param(singleKey));
        QStringList details;
        while (cur.moveNext())
            details << cur.getText("detail");
        return details.join("; ");
    };
    EXPECT_GT(d.findMsgThrow(singleKey, "1"), 0);
    const QString index = QString("USING INDEX ") + IOSLineDb::kChatTimestampIndex + " (ZCHAT=?";
    const QString ids = plan(p::kChatMsgIdsSql);
    EXPECT_TRUE(ids.contains(index)) << ids.toStdString();
    const QString newest = plan(p::kNewestMsgSql);
    EXPECT_TRUE(newest.contains(index)) << newest.toStdString();
    EXPECT_FALSE(newest.contains("TEMP B-TREE")) << newest.toStdString();
    d.updateDbStatThrow();
    EXPECT_EQ(count("sqlite_master where name like '\\_vardo%' escape '\\'"), 0);
}

// --- finishing ----------------------------------------------------------------

class IOSLineDbFinishTest : public IOSLineDbRestoreMsgTest
{
protected:
    QVariantList chatFields(qint64 chat)
    {
        Sqlite3Cursor cur = db->queryThrow(Sqlite3Sql(QStringLiteral(
            "select ZLASTUPDATED, ZLASTRECEIVEDMESSAGEID, ZREADUPTOMESSAGEID, ZREADUPTOMESSAGEIDSYNCED, ZLASTMESSAGE"
            " from ZCHAT where Z_PK=%1").arg(chat)));
        QVariantList out;
        if (cur.moveNext())
            for (int i = 0; i < 5; ++i)
                out << (cur.isNull(i) ? QVariant() : cur.getRow().value(cur.columnName(i)));
        return out;
    }
};

TEST_F(IOSLineDbFinishTest, SummariesOfOwnAndReceivedNewestMessages)
{
    const qint64 named = b->addUser(LineUserRow("uNamed").named("Server").addressBook("Book"));
    const qint64 server = b->addUser(LineUserRow("uServer").named("Server"));
    const qint64 blank = b->addUser(LineUserRow("uBlank"));
    const QList<std::tuple<int, QVariant, QString>> cases = {
        {LineContent::Photo, named, "Book sent you a photo."},
        {LineContent::Photo, server, "Server sent you a photo."},
        {LineContent::Photo, blank, " sent you a photo."},
        {LineContent::Photo, QVariant(), "You sent a photo."},
        {LineContent::Video, named, "Book sent you a video."},
        {LineContent::Voice, QVariant(), "You sent a voice message."},
        {LineContent::Sticker, named, "Book sent you a sticker."},
        {LineContent::Contact, QVariant(), "Contact info sent."},
        {LineContent::Contact, named, "Book sent you a friend's contact info."},
        {LineContent::Location, QVariant(), "You sent a location."},
        {LineContent::Location, named, "Book sent you a location."},
        {LineContent::File, named, "doc"},
        {LineContent::TextAlt, QVariant(), "hi [EMOJI]"},
    };
    QList<qint64> chats;
    for (int i = 0; i < cases.size(); ++i) {
        const auto& [type, sender, summary] = cases[i];
        const qint64 c = b->addChat(LineChatRow(QStringLiteral("c%1").arg(i)));
        chats << c;
        b->addMessage(LineMsgRow(c, QStringLiteral("old%1").arg(i)).at(1000).from(named).text("older"));
        LineMsgRow m(c, QStringLiteral("new%1").arg(i));
        m.at(2000 + i).ofType(type).withText("hi " + kEmojiStart + "x" + kRunEnd);
        if (type == LineContent::File)
            m.withText("doc");
        if (!sender.isNull())
            m.from(sender.toLongLong());
        b->addMessage(m);
        // Later, but not shown by the reader: passed over.
        b->addMessage(LineMsgRow(c, QStringLiteral("late%1").arg(i)).at(4000000000000LL).from(named).text("late"));
        b->addMessage(LineMsgRow(c, QStringLiteral("hidden%1").arg(i)).at(3000).ofType(4));
        b->addMessage(LineMsgRow(c, QVariant()).at(3001).text("no id"));
    }
    IOSLineDb& d = open();
    d.updateDbStatThrow();
    for (int i = 0; i < cases.size(); ++i) {
        const QVariant& sender = std::get<1>(cases[i]);
        const QString& summary = std::get<2>(cases[i]);
        SCOPED_TRACE(i);
        const QVariantList f = chatFields(chats[i]);
        ASSERT_EQ(f.size(), 5);
        EXPECT_DOUBLE_EQ(f[0].toDouble(), (2000.0 + i) / 1000.0 - 978307200.0);
        const QVariant id = sender.isNull() ? QVariant() : QVariant(QStringLiteral("new%1").arg(i));
        EXPECT_EQ(f[1], id);
        EXPECT_EQ(f[2], id);
        EXPECT_EQ(f[3], id);
        EXPECT_EQ(f[4].toString(), summary);
    }
}

TEST_F(IOSLineDbFinishTest, ChatsWithoutMessagesKeepTheirFieldsAndRunningTwiceChangesNothing)
{
    b->addRawRow("ZCHAT", {{"Z_PK", 50}, {"ZMID", "uQuiet"}, {"ZENABLE", 1}, {"ZLASTUPDATED", 12.5},
                           {"ZLASTMESSAGE", "as it was"}, {"ZLASTRECEIVEDMESSAGEID", "77"}});
    b->addMessage(LineMsgRow(singleKey, "1").at(5000).from(peerKey).text("a"));
    b->addMessage(LineMsgRow(singleKey, "2").at(5000).text("same time, later row"));
    IOSLineDb& d = open();
    const QVariantList quietBefore = chatFields(50);
    _LineMsg m = msg("3", LineMsgType::TEXT, &team, peer);
    d.beginTran();
    d.insertMsgThrow(groupKey, &m);
    d.updateDbStatThrow();
    d.commitTran();
    const QVariantList once = chatFields(singleKey);
    EXPECT_EQ(once[4].toString(), "same time, later row");
    const QVariantList teamOnce = chatFields(groupKey);
    const QString keys = value("select group_concat(Z_NAME || '=' || Z_MAX) from Z_PRIMARYKEY").toString();
    EXPECT_EQ(count("sqlite_master where name like '\\_vardo%' escape '\\'"), 0);

    d.updateDbStatThrow();
    EXPECT_EQ(chatFields(singleKey), once);
    EXPECT_EQ(chatFields(groupKey), teamOnce);
    EXPECT_EQ(chatFields(50), quietBefore);
    EXPECT_EQ(value("select group_concat(Z_NAME || '=' || Z_MAX) from Z_PRIMARYKEY").toString(), keys);
    EXPECT_EQ(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='Message'").toLongLong(),
              value("select max(Z_PK) from ZMESSAGE").toLongLong());
    EXPECT_EQ(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='Chat'").toLongLong(), 50);
}

TEST_F(IOSLineDbFinishTest, CountersNeverGoDownAndSkipAMissingGroupTable)
{
    b->withoutTable("ZGROUP");
    b->addMessage(LineMsgRow(singleKey, "1").at(5000).text("a"));
    IOSLineDb& d = open();
    // Core Data gave out keys that were deleted since.
    d.executeThrow(Sqlite3Sql("update Z_PRIMARYKEY set Z_MAX=900 where Z_NAME='User'"));
    d.executeThrow(Sqlite3Sql("update Z_PRIMARYKEY set Z_MAX=NULL where Z_NAME='Message'"));
    d.updateDbStatThrow();
    EXPECT_EQ(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='User'").toLongLong(), 900);
    EXPECT_EQ(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='Message'").toLongLong(), 1);
    EXPECT_EQ(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='Chat'").toLongLong(), groupKey);
    EXPECT_EQ(value("select Z_MAX from Z_PRIMARYKEY where Z_NAME='Group'").toLongLong(), 0);
}

} // namespace
