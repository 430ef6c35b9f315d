#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/gtest_qt.h"
#include "tests/support/memlinedb.h"

#include "chatdata/linedata.h"

namespace {

const QDateTime kBase = QDateTime::fromSecsSinceEpoch(1600000000);

// A database with the owner's friend (user 7) and chat 1 of `count`
// messages m0, m1, ... one second apart, every third one from the friend.
QSharedPointer<MemLineDb> oneChatDb(int count)
{
    auto db = QSharedPointer<MemLineDb>::create();
    _LineUser friendUser;
    friendUser.id = 7;
    friendUser.uid = "ufriend";
    db->addUser(friendUser);
    _LineChat chat;
    chat.id = 1;
    chat.uid = "c1";
    db->addChat(chat, 0, {7});
    for (int i = 0; i < count; ++i) {
        _LineMsg m;
        m.uid = QStringLiteral("m%1").arg(i);
        m.ts = kBase.addSecs(i);
        db->addMessage(m, 1, i % 3 == 0 ? 7 : 0);
    }
    return db;
}

LineData loaded(const QSharedPointer<MemLineDb>& db, int pageSize = 5000)
{
    LineData data(db, pageSize);
    db->loadDataThrow(data);
    return data;
}

} // namespace

TEST(LineData, PagesLoadOnceEachAndIndexesMapIntoThem)
{
    auto db = oneChatDb(10001);
    LineData data = loaded(db);
    _LineChat* chat = data.chat(1);
    ASSERT_NE(chat, nullptr);

    EXPECT_EQ(data.msgAt(chat, 0, true).uid, "m0");
    ASSERT_EQ(db->pageQueries().size(), 1);
    const MemLineDb::PageQuery first = db->pageQueries().at(0);
    EXPECT_EQ(first.chatId, 1);
    EXPECT_EQ(first.page, 1);
    EXPECT_EQ(first.pageSize, 5000);
    EXPECT_TRUE(first.asc);

    for (qint64 i = 1; i < 5000; ++i)
        ASSERT_EQ(data.msgAt(chat, i, true).uid, QStringLiteral("m%1").arg(i));
    EXPECT_EQ(db->pageQueries().size(), 1);

    EXPECT_EQ(data.msgAt(chat, 5000, true).uid, "m5000");
    ASSERT_EQ(db->pageQueries().size(), 2);
    EXPECT_EQ(db->pageQueries().at(1).page, 2);
    EXPECT_EQ(data.msgAt(chat, 10000, true).uid, "m10000");

    // The message count is past the end; -1 is never a message.
    const qint64 count = data.msgsCount(chat);
    EXPECT_EQ(count, 10001);
    const _LineMsg past = data.msgAt(chat, count, true);
    EXPECT_EQ(past.id, 0);
    EXPECT_TRUE(past.uid.isEmpty());
    const int queriesBefore = db->pageQueries().size();
    EXPECT_EQ(data.msgAt(chat, -1, true).id, 0);
    EXPECT_EQ(data.msgAt(chat, std::numeric_limits<qint64>::max(), true).id, 0);
    EXPECT_EQ(db->pageQueries().size(), queriesBefore);
    EXPECT_THROW(data.msgAtThrow(chat, count, true), std::runtime_error);
    EXPECT_THROW(data.msgAtThrow(chat, -1, true), std::runtime_error);
}

TEST(LineData, DirectionAndChatArePartOfThePageKey)
{
    auto db = oneChatDb(30);
    LineData data = loaded(db);
    _LineChat* chat = data.chat(1);
    EXPECT_EQ(data.msgAt(chat, 10, true).uid, "m10");
    EXPECT_EQ(data.msgAt(chat, 10, false).uid, "m19"); // the 11th newest
    EXPECT_EQ(data.msgAt(nullptr, 10, false).uid, "m19");
    const QList<MemLineDb::PageQuery> q = db->pageQueries();
    ASSERT_EQ(q.size(), 3);
    EXPECT_FALSE(q.at(1).asc);
    EXPECT_EQ(q.at(2).chatId, 0); // all chats
}

TEST(LineData, MessagesPointIntoTheDataAndOutliveItAsValues)
{
    auto db = oneChatDb(3);
    _LineMsg copy;
    {
        LineData data = loaded(db);
        const _LineMsg fromFriend = data.msgAt(data.chat(1), 0, true);
        EXPECT_EQ(fromFriend.chat, data.chat(1));
        EXPECT_EQ(fromFriend.from, data.user(7));
        EXPECT_FALSE(fromFriend.wasFromMe());
        copy = data.msgAt(data.chat(1), 1, true);
        EXPECT_TRUE(copy.wasFromMe());
    }
    EXPECT_EQ(copy.uid, "m1");
    EXPECT_EQ(copy.ts, kBase.addSecs(1));
}

TEST(LineData, AFailingPageQueryLeavesTheCacheAndIsRetried)
{
    auto db = oneChatDb(12);
    LineData data = loaded(db, 5);
    _LineChat* chat = data.chat(1);
    EXPECT_EQ(data.msgAt(chat, 1, true).uid, "m1");

    db->setFailFromPage(2);
    EXPECT_EQ(data.msgAt(chat, 5, true).id, 0);
    EXPECT_THROW(data.msgAtThrow(chat, 5, true), std::runtime_error);
    EXPECT_EQ(db->pageQueries().size(), 3);
    // Page 1 is still the cached one: read without a query.
    EXPECT_EQ(data.msgAtThrow(chat, 4, true).uid, "m4");
    EXPECT_EQ(db->pageQueries().size(), 3);

    db->setFailFromPage(0);
    EXPECT_EQ(data.msgAtThrow(chat, 5, true).uid, "m5");
    EXPECT_EQ(db->pageQueries().size(), 4);
}

TEST(LineData, AFailingCountIsZeroForViewsAndAnErrorForWorkers)
{
    auto db = oneChatDb(4);
    LineData data = loaded(db);
    EXPECT_EQ(data.msgsCount(nullptr), 4);
    db->setFailCount(true);
    EXPECT_EQ(data.msgsCount(data.chat(1)), 0);
    EXPECT_THROW(data.msgsCountThrow(data.chat(1)), std::runtime_error);
}

TEST(LineData, NullDataHasNothingAndAcceptsNothing)
{
    LineData null;
    EXPECT_TRUE(null.isNull());
    EXPECT_TRUE(null.chats().isEmpty());
    EXPECT_TRUE(null.users().isEmpty());
    EXPECT_EQ(null.chat(1), nullptr);
    _LineChat chat;
    null.insertChat(1, &chat); // not taken over: it lives on the stack
    EXPECT_TRUE(null.chats().isEmpty());
    EXPECT_EQ(null.msgsCount(nullptr), 0);
    EXPECT_EQ(null.msgAt(nullptr, 0, true).id, 0);
    EXPECT_THROW(null.msgAtThrow(nullptr, 0, true), std::runtime_error);
    EXPECT_THROW(null.msgsCountThrow(nullptr), std::runtime_error);
}

TEST(LineData, CopiesShareRecordsAndLookupsAddNothing)
{
    LineData a(QSharedPointer<MemLineDb>::create(), 5000);
    LineData b = a;
    EXPECT_EQ(a, b);
    EXPECT_NE(a, LineData(QSharedPointer<MemLineDb>::create(), 5000));
    auto* c = new _LineChat;
    c->id = 3;
    b.insertChat(3, c);
    b.insertChat(1, new _LineChat);
    EXPECT_EQ(a.chat(3), c);
    EXPECT_EQ(a.chat(2), nullptr);
    EXPECT_EQ(a.chats().size(), 2);
    EXPECT_EQ(a.chats().at(1), c); // by id
    EXPECT_EQ(a.pageSize(), 5000);
}

// Run under the sanitizers: a double delete or a leak fails the program.
TEST(LineData, EveryRecordIsDeletedExactlyOnce)
{
    auto* first = new _LineUser;
    auto* second = new _LineUser;
    auto* shared = new _LineGroupInfo;
    {
        LineData data(QSharedPointer<MemLineDb>::create(), 10);
        data.insertUser(1, first);
        data.insertUser(1, second); // replaces; `first` is still owned
        data.insertGroup(1, shared);
        data.insertGroup(2, shared); // one record under two ids
        data.insertChat(1, nullptr);
        auto* chat = new _LineChat;
        chat->group = shared;
        chat->users = {first, second};
        data.insertChat(5, chat);
        EXPECT_EQ(data.user(1), second);
        EXPECT_EQ(data.groups().size(), 2);
        EXPECT_EQ(data.chats().size(), 1);
    }
    SUCCEED();
}

TEST(LineData, TheLastHandleReleasesTheDatabase)
{
    auto db = oneChatDb(2);
    QWeakPointer<MemLineDb> weak = db;
    {
        LineData data = loaded(db);
        db.reset();
        EXPECT_EQ(data.msgAt(data.chat(1), 1, true).uid, "m1");
        EXPECT_FALSE(weak.isNull());
    }
    EXPECT_TRUE(weak.isNull());
}

TEST(LineData, TwoThreadsPagingOneDataEachGetTheirOwnMessages)
{
    auto db = QSharedPointer<MemLineDb>::create();
    const int perChat = 400;
    for (qint64 chatId : {1, 2}) {
        _LineChat chat;
        chat.id = chatId;
        db->addChat(chat, 0, {});
        for (int i = 0; i < perChat; ++i) {
            _LineMsg m;
            m.uid = QStringLiteral("%1-%2").arg(chatId).arg(i);
            m.ts = kBase.addSecs(i);
            m.text = QString(40, QChar('a' + i % 26));
            db->addMessage(m, chatId, 0);
        }
    }
    // A tiny page makes nearly every read of one thread evict the other's.
    LineData data = loaded(db, 7);
    std::atomic<int> wrong{0};
    std::atomic<int> empty{0};
    const auto reader = [&](qint64 chatId, bool asc) {
        LineData mine = data;
        _LineChat* chat = mine.chat(chatId);
        for (int round = 0; round < 5; ++round) {
            for (int i = 0; i < perChat; ++i) {
                const _LineMsg m = mine.msgAt(chat, i, asc);
                const int n = asc ? i : perChat - 1 - i;
                if (m.uid.isEmpty())
                    ++empty;
                else if (m.uid != QStringLiteral("%1-%2").arg(chatId).arg(n) || m.chat != chat
                         || m.text != QString(40, QChar('a' + n % 26)))
                    ++wrong;
            }
        }
    };
    std::thread t1(reader, 1, true);
    std::thread t2(reader, 2, false);
    t1.join();
    t2.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(empty.load(), 0);
}

TEST(AbsLineDb, TableRowsQuoteTheNameAndRunSqlOpensOnDemand)
{
    MemLineDb db;
    EXPECT_FALSE(db.isOpen());
    db.runSqlThrow("create table \"odd \"\"name\"(a, b)");
    EXPECT_TRUE(db.isOpen());
    db.runSqlThrow(Sqlite3Sql("insert into \"odd \"\"name\" values(?, ?)").addIntParam(1).addTextParam("x"));
    db.runSqlThrow("create table victim(a)");

    const QList<Sqlite3Row> rows = db.tableRowsThrow("odd \"name");
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.at(0).value("a").toLongLong(), 1);
    EXPECT_EQ(rows.at(0).value("b").toString(), "x");

    EXPECT_THROW(db.tableRowsThrow("missing"), std::runtime_error);
    // A name is a name, never more SQL.
    EXPECT_THROW(db.tableRowsThrow("victim; drop table victim"), std::runtime_error);
    EXPECT_TRUE(db.tableRowsThrow("victim").isEmpty());
    EXPECT_EQ(db.tbCols("victim").size(), 1);
}
