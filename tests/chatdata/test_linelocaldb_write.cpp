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

    // Rows read on a connection of the test's own, after closing the writer.
    QStringList lines(const QString& sql)
    {
        db.reset();
        return LocalDbBuilder(path).lines(sql);
    }

    QTemporaryDir tmp;
    QString path;
    std::unique_ptr<LineLocalDb> db;
};

} // namespace

TEST_F(LineLocalDbWriteTest, UsersChatsAndGroupsAreFoundByUidAndWrittenOnceWithEveryField)
{
    _LineUser ann, bob, cid;
    ann.uid = "u-ann";
    ann.contactName = "Ann";
    ann.serverName = "ann.s";
    ann.customName = "Annie";
    ann.picUri = "/pic/a";
    ann.createTs = QDateTime::fromSecsSinceEpoch(3000000000LL); // beyond signed 32 bits
    bob.uid = "u-bob";
    cid.uid = "u-cid";
    EXPECT_EQ(db->findUserThrow("u-ann"), 0);
    const qint64 annId = db->insertUserThrow(&ann);
    EXPECT_EQ(db->findUserThrow("u-ann"), annId);
    EXPECT_EQ(db->findUserThrow("U-ANN"), 0);
    ann.contactName = "Changed"; // found again, the row is not refreshed
    EXPECT_EQ(db->findOrInsertUserThrow(&ann), annId);

    for (int type : {0, 1, 2, 3, -1}) {
        _LineChat chat;
        chat.uid = QStringLiteral("c-type%1").arg(type);
        chat.type = type;
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

    _LineGroupInfo group, lonely;
    group.uid = "c-group";
    group.name = "Friends";
    group.createTs = QDateTime::fromSecsSinceEpoch(1500000000);
    group.creator = &cid;
    group.members = {&ann, &bob};
    lonely.uid = "c-lonely";
    EXPECT_EQ(db->findGroupInfoThrow("c-group"), 0);
    const qint64 groupId = db->insertGroupInfoThrow(&group);
    EXPECT_EQ(db->findGroupInfoThrow("c-group"), groupId);
    db->saveGroupMembersThrow(groupId, &group);
    db->insertGroupInfoThrow(&lonely);

    // Each user once, although ann and bob are both chat and group members;
    // an unknown time is kept as the unsigned 32-bit "invalid" value.
    EXPECT_EQ(lines("select uid, contact_name, server_name, custom_name, pic_uri, create_ts from line_user "
                    "order by uid"),
              QStringList({"u-ann|Ann|ann.s|Annie|/pic/a|3000000000", "u-bob|||||4294967295", "u-cid|||||4294967295"}));
    EXPECT_EQ(lines("select group_concat(type) from (select type from line_chat order by _id)"),
              QStringList({"single,multi,group,single,single,group"}));
    EXPECT_EQ(lines("select c.uid, u.uid from line_chat_users m join line_chat c on c._id=m.chat_id "
                    "join line_user u on u._id=m.user_id order by u.uid"),
              QStringList({"c-group|u-ann", "c-group|u-bob"}));
    EXPECT_EQ(lines("select g.uid, name, g.create_ts, ifnull(u.uid, ifnull(creator_id, 'NULL')) from line_group g "
                    "left join line_user u on u._id=creator_id order by g._id"),
              QStringList({"c-group|Friends|1500000000|u-cid", "c-lonely||4294967295|NULL"}));
    EXPECT_EQ(LocalDbBuilder(path).count("line_group_members"), 2);
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

    EXPECT_EQ(lines("select m.type, ver, ts, chat_id, ifnull(u.uid, 'NULL'), hex(content), typeof(content), "
                    "typeof(atta) from line_msg m left join line_user u on u._id=from_id order by m._id"),
              QStringList({"text|1|1700000000|1|NULL|41FF00F48FBFBF42|text|null",
                           "photo|1|1700000000|1|u-bob|41FF00F48FBFBF42|text|blob"}));
    const QByteArray blob = LocalDbBuilder(path).value("select atta from line_msg where uid='m-photo'").toByteArray();
    const QVariantHash values = TinyKVSerializer::unser(blob);
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
        const QString sql = "select hex(substr(atta,1,6)) from line_msg where uid='m-photo';";
        ASSERT_EQ(testenv::runTool("sqlite3", {LocalDbBuilder::dbPath(path), sql}, &out), 0);
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
    m.uid = "bad";
    try {
        db->insertMsgThrow(chatId, &m);
        ADD_FAILURE() << "insert should fail";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains("refused by the test")) << e.what();
    }
    m.uid = "good";
    EXPECT_GT(db->insertMsgThrow(chatId, &m), 0);
}
