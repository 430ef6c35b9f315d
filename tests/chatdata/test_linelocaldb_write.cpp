// Writing into a local database: users, chats, groups, members and
// messages, each found by its LINE id before it is written.
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/localdbbuilder.h"
#include "tests/support/testenv.h"

#include "chatdata/linedata.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/tinykvserializer.h"

namespace {

class LineLocalDbWriteTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        path = tmp.path() + "/db";
        db = std::make_unique<LineLocalDb>(QDir(path));
    }

    // The rows of a query on a connection of the test's own.
    QList<Sqlite3Row> rows(const QString& sql) { return LocalDbBuilder(path).rows(sql); }
    QVariant value(const QString& sql) { return LocalDbBuilder(path).value(sql); }

    QTemporaryDir tmp;
    QString path;
    std::unique_ptr<LineLocalDb> db;
};

} // namespace

TEST_F(LineLocalDbWriteTest, AUserIsWrittenWithEveryFieldAndFoundByItsUidOnly)
{
    _LineUser ann;
    ann.uid = "u-ann";
    ann.contactName = "Ann";
    ann.serverName = "ann.s";
    ann.customName = "Annie";
    ann.picUri = "/pic/a";
    ann.createTs = QDateTime::fromSecsSinceEpoch(3000000000LL); // beyond signed 32 bits

    EXPECT_EQ(db->findUserThrow("u-ann"), 0);
    const qint64 id = db->insertUserThrow(&ann);
    EXPECT_EQ(db->findUserThrow("u-ann"), id);
    EXPECT_EQ(db->findUserThrow("U-ANN"), 0);
    // Found again, the row is not refreshed with the newer names.
    ann.contactName = "Changed";
    EXPECT_EQ(db->findOrInsertUserThrow(&ann), id);
    _LineUser noTime;
    noTime.uid = "u-none";
    db->insertUserThrow(&noTime);
    db.reset();

    const QList<Sqlite3Row> r = rows("select * from line_user order by _id");
    ASSERT_EQ(r.size(), 2);
    const QStringList columns = {"uid", "contact_name", "server_name", "custom_name", "pic_uri"};
    const QStringList values = {"u-ann", "Ann", "ann.s", "Annie", "/pic/a"};
    for (int i = 0; i < columns.size(); ++i)
        EXPECT_EQ(r[0].value(columns[i]).toString(), values[i]) << columns[i].toStdString();
    EXPECT_EQ(r[0].value("create_ts").toLongLong(), 3000000000LL);
    // An unknown time is kept as the unsigned 32-bit "invalid" value.
    EXPECT_EQ(r[1].value("create_ts").toLongLong(), 4294967295LL);
}

TEST_F(LineLocalDbWriteTest, ChatsAndGroupsKeepTheirTypeWordsCreatorsAndMembers)
{
    _LineUser ann, bob, cid;
    ann.uid = "u-ann";
    bob.uid = "u-bob";
    cid.uid = "u-cid";
    _LineGroupInfo group, lonely;
    group.uid = "c-group";
    group.name = "Friends";
    group.createTs = QDateTime::fromSecsSinceEpoch(1500000000);
    group.creator = &cid;
    group.members = {&ann, &bob};
    lonely.uid = "c-lonely";

    const QList<QPair<int, QString>> types = {{0, "single"}, {1, "multi"}, {2, "group"}, {3, "single"}, {-1, "single"}};
    for (const auto& t : types) {
        _LineChat chat;
        chat.uid = QStringLiteral("c-type%1").arg(t.first);
        chat.type = t.first;
        db->insertChatThrow(&chat);
    }
    _LineChat chat;
    chat.uid = "c-group";
    chat.type = LineChatType::GROUP;
    chat.users = {&ann, &bob};
    const qint64 chatId = db->insertChatThrow(&chat);
    EXPECT_EQ(db->findChatThrow("c-group"), chatId);
    db->saveChatMembersThrow(chatId, &chat);
    db->saveChatMembersThrow(chatId, &chat); // the same pairs again: replaced

    EXPECT_EQ(db->findGroupInfoThrow("c-group"), 0);
    const qint64 groupId = db->insertGroupInfoThrow(&group);
    EXPECT_EQ(db->findGroupInfoThrow("c-group"), groupId);
    db->saveGroupMembersThrow(groupId, &group);
    db->insertGroupInfoThrow(&lonely);
    db.reset();

    for (const auto& t : types)
        EXPECT_EQ(value(QStringLiteral("select type from line_chat where uid='c-type%1'").arg(t.first)).toString(), t.second);
    // Each user once, although ann and bob are both chat and group members.
    EXPECT_EQ(value("select count(*) from line_user").toLongLong(), 3);
    EXPECT_EQ(value(QStringLiteral("select count(*) from line_chat_users where chat_id=%1").arg(chatId)).toLongLong(), 2);
    EXPECT_EQ(value("select count(*) from line_chat_users").toLongLong(), 2);
    EXPECT_EQ(value(QStringLiteral("select count(*) from line_group_members where group_id=%1").arg(groupId)).toLongLong(), 2);
    const QList<Sqlite3Row> g = rows("select g.*, u.uid as creator from line_group g "
                                     "left join line_user u on u._id=g.creator_id order by g._id");
    ASSERT_EQ(g.size(), 2);
    EXPECT_EQ(g[0].value("creator").toString(), "u-cid");
    EXPECT_EQ(g[0].value("name").toString(), "Friends");
    EXPECT_EQ(g[0].value("create_ts").toLongLong(), 1500000000);
    EXPECT_FALSE(g[1].value("creator_id").isValid()); // NULL without a creator
}

TEST_F(LineLocalDbWriteTest, MessagesAreFoundByUidWithinTheirChatOnly)
{
    _LineChat a, b;
    a.uid = "c-a";
    b.uid = "c-b";
    const qint64 aId = db->insertChatThrow(&a);
    const qint64 bId = db->insertChatThrow(&b);
    _LineMsg m;
    m.uid = "m-1";
    m.chat = &a;
    EXPECT_EQ(db->findMsgThrow(aId, "m-1"), 0);
    const qint64 inA = db->insertMsgThrow(aId, &m);
    EXPECT_EQ(db->findMsgThrow(aId, "m-1"), inA);
    EXPECT_EQ(db->findMsgThrow(bId, "m-1"), 0); // the same uid in another chat is another message
    const qint64 inB = db->insertMsgThrow(bId, &m);
    EXPECT_NE(inA, inB);
    EXPECT_EQ(db->findMsgThrow(bId, "m-1"), inB);
    // A chat id of 1 must not match 11, and the other way round.
    for (int i = 0; i < 10; ++i)
        db->insertChatThrow(&b);
    EXPECT_EQ(db->findMsgThrow(11, "m-1"), 0);

    // Messages LINE never numbered have no identity.
    for (const QString& uid : {QString(), QStringLiteral("0")}) {
        m.uid = uid;
        db->insertMsgThrow(aId, &m);
        EXPECT_EQ(db->findMsgThrow(aId, uid), 0);
    }
}

TEST_F(LineLocalDbWriteTest, AMessageRowHoldsItsValuesAndAttachmentsAsATinykvBlob)
{
    _LineChat chat;
    chat.uid = "c-1";
    const qint64 chatId = db->insertChatThrow(&chat);
    _LineUser bob;
    bob.uid = "u-bob";
    bob.contactName = "Bob";

    _LineMsg plain;
    plain.uid = "m-plain";
    plain.type = 42; // unknown: written as text
    plain.ts = QDateTime::fromSecsSinceEpoch(1700000000);
    plain.rawContent = QByteArray::fromHex("41ff00f48fbfbf42"); // not UTF-8: kept byte for byte
    plain.chat = &chat;
    _LineMsg photo = plain;
    photo.uid = "m-photo";
    photo.type = LineMsgType::PHOTO;
    photo.from = &bob;
    photo.attaSetWidth(640);
    photo.attaSetFileSize(5000000000LL);
    // A map is no value the blob can carry: it reads back as a null value,
    // and the keys beside it are kept.
    photo.atta.insert("map", QVariantMap{{"k", 1}});
    db->insertMsgThrow(chatId, &plain);
    db->insertMsgThrow(chatId, &photo);
    const qint64 bobId = db->findUserThrow("u-bob");
    EXPECT_GT(bobId, 0);
    db.reset();

    const QList<Sqlite3Row> r = rows("select *, hex(content) as hc, typeof(content) as tc, "
                                     "typeof(atta) as ta from line_msg order by _id");
    ASSERT_EQ(r.size(), 2);
    EXPECT_EQ(r[0].value("type").toString(), "text");
    EXPECT_EQ(r[0].value("ver").toLongLong(), 1);
    EXPECT_EQ(r[0].value("ts").toLongLong(), 1700000000);
    EXPECT_EQ(r[0].value("chat_id").toLongLong(), chatId);
    EXPECT_FALSE(r[0].value("from_id").isValid());
    EXPECT_EQ(r[0].value("hc").toString(), "41FF00F48FBFBF42");
    EXPECT_EQ(r[0].value("tc").toString(), "text");
    EXPECT_EQ(r[0].value("ta").toString(), "null");
    EXPECT_EQ(r[1].value("type").toString(), "photo");
    EXPECT_EQ(r[1].value("from_id").toLongLong(), bobId);
    const QVariantHash values = TinyKVSerializer::unser(r[1].value("atta").toByteArray());
    EXPECT_EQ(values.value("width"), QVariant(640));
    EXPECT_EQ(values.value("size"), QVariant(qint64(5000000000LL)));
    ASSERT_TRUE(values.contains("map"));
    EXPECT_FALSE(values.value("map").isValid());

    auto reader = QSharedPointer<LineLocalDb>::create(QDir(path));
    LineData data(reader, 100);
    reader->loadDataThrow(data);
    const QList<_LineMsg> back = reader->messagesThrow(data, nullptr, 1, 10, true);
    ASSERT_EQ(back.size(), 2);
    EXPECT_EQ(back[0].rawContent, plain.rawContent);
    EXPECT_EQ(back[1].attaFileSize(), 5000000000LL);
    ASSERT_NE(back[1].from, nullptr);
    EXPECT_EQ(back[1].from->contactName, "Bob");

    if (testenv::haveTool("sqlite3")) {
        QByteArray out;
        ASSERT_EQ(testenv::runTool("sqlite3",
                                   {LocalDbBuilder::dbPath(path), "select hex(substr(atta,1,6)) from line_msg where uid='m-photo';"},
                                   &out),
                  0);
        EXPECT_EQ(out.trimmed(), QByteArray("tinykv").toHex().toUpper());
    }
}

TEST_F(LineLocalDbWriteTest, WritersFailWithTheDatabaseMessageAndWorkAgainAfterwards)
{
    _LineChat chat;
    chat.uid = "c-1";
    const qint64 chatId = db->insertChatThrow(&chat);
    LocalDbBuilder(path).exec("CREATE TRIGGER refuse BEFORE INSERT ON line_msg WHEN NEW.uid='bad' "
                              "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
    _LineMsg m;
    m.uid = "good";
    db->insertMsgThrow(chatId, &m);
    m.uid = "bad";
    try {
        db->insertMsgThrow(chatId, &m);
        ADD_FAILURE() << "insert should fail";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains("refused by the test")) << e.what();
    }
    m.uid = "good2";
    EXPECT_GT(db->insertMsgThrow(chatId, &m), 0);
}
