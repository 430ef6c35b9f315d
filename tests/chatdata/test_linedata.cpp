#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <QTemporaryDir>

#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/memlinedb.h"

#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"

namespace {

const QDateTime kBase = QDateTime::fromSecsSinceEpoch(1600000000);

// Chats `chats` (ids 1, 2...) of `count` messages "<chat>-<i>" one second
// apart, every third one from user 7.
QSharedPointer<MemLineDb> chatsDb(int count, QList<qint64> chats = {1})
{
    auto db = QSharedPointer<MemLineDb>::create();
    _LineUser friendUser;
    friendUser.id = 7;
    db->addUser(friendUser);
    for (qint64 chatId : chats) {
        _LineChat chat;
        chat.id = chatId;
        db->addChat(chat, 0, {7});
        for (int i = 0; i < count; ++i) {
            _LineMsg m;
            m.uid = QStringLiteral("%1-%2").arg(chatId).arg(i);
            m.ts = kBase.addSecs(i);
            m.text = QString(40, QChar('a' + i % 26));
            db->addMessage(m, chatId, i % 3 == 0 ? 7 : 0);
        }
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

TEST(LineData, PagesLoadOnceEachAndIndexesOutsideRunNoQuery)
{
    auto db = chatsDb(10001);
    LineData data = loaded(db);
    _LineChat* chat = data.chat(1);
    ASSERT_NE(chat, nullptr);

    for (qint64 i = 0; i < 5000; ++i)
        ASSERT_EQ(data.msgAt(chat, i, true).uid, QStringLiteral("1-%1").arg(i));
    ASSERT_EQ(db->pageQueries().size(), 1);
    const MemLineDb::PageQuery first = db->pageQueries().at(0);
    EXPECT_EQ(first.chatId, 1);
    EXPECT_EQ(first.page, 1);
    EXPECT_EQ(first.pageSize, 5000);
    EXPECT_TRUE(first.asc);

    EXPECT_EQ(data.msgAt(chat, 5000, true).uid, "1-5000");
    ASSERT_EQ(db->pageQueries().size(), 2);
    EXPECT_EQ(db->pageQueries().at(1).page, 2);
    const _LineMsg fromFriend = data.msgAt(chat, 5001, true);
    EXPECT_EQ(fromFriend.chat, chat);
    EXPECT_EQ(fromFriend.from, data.user(7));
    EXPECT_TRUE(data.msgAt(chat, 5002, true).wasFromMe());

    EXPECT_EQ(data.msgAt(chat, 10000, true).uid, "1-10000");
    const qint64 count = data.msgsCount(chat);
    EXPECT_EQ(count, 10001);
    const int queriesBefore = db->pageQueries().size();
    for (qint64 outside : {count, qint64(-1), std::numeric_limits<qint64>::max()}) {
        const _LineMsg none = data.msgAt(chat, outside, true);
        EXPECT_EQ(none.id, 0) << outside;
        EXPECT_TRUE(none.uid.isEmpty()) << outside;
        EXPECT_THROW(data.msgAtThrow(chat, outside, true), std::runtime_error) << outside;
    }
    EXPECT_EQ(db->pageQueries().size(), queriesBefore);

    // Direction and chat are part of the page's key.
    EXPECT_EQ(data.msgAt(chat, 10, false).uid, "1-9990");
    EXPECT_EQ(data.msgAt(nullptr, 10, false).uid, "1-9990");
    const QList<MemLineDb::PageQuery> q = db->pageQueries().mid(queriesBefore);
    ASSERT_EQ(q.size(), 2);
    EXPECT_FALSE(q.at(0).asc);
    EXPECT_EQ(q.at(1).chatId, 0); // all chats
}

TEST(LineData, AFailingPageQueryLeavesTheCacheAndIsRetried)
{
    auto db = chatsDb(12);
    LineData data = loaded(db, 5);
    _LineChat* chat = data.chat(1);
    EXPECT_EQ(data.msgAt(chat, 1, true).uid, "1-1");

    db->setFailFromPage(2);
    EXPECT_EQ(data.msgAt(chat, 5, true).id, 0);
    EXPECT_THROW(data.msgAtThrow(chat, 5, true), std::runtime_error);
    EXPECT_EQ(db->pageQueries().size(), 3);
    // Page 1 is still the cached one: read without a query.
    EXPECT_EQ(data.msgAtThrow(chat, 4, true).uid, "1-4");
    EXPECT_EQ(db->pageQueries().size(), 3);

    db->setFailFromPage(0);
    EXPECT_EQ(data.msgAtThrow(chat, 5, true).uid, "1-5");
    EXPECT_EQ(db->pageQueries().size(), 4);

    // A failing count is zero for views and an error for workers.
    db->setFailCount(true);
    EXPECT_EQ(data.msgsCount(chat), 0);
    EXPECT_THROW(data.msgsCountThrow(chat), std::runtime_error);
}

TEST(LineData, NullDataHasNothingAndAcceptsNothing)
{
    LineData null;
    EXPECT_TRUE(null.isNull());
    _LineChat chat;
    null.insertChat(1, &chat); // not taken over: it lives on the stack
    EXPECT_TRUE(null.chats().isEmpty());
    EXPECT_EQ(null.msgsCount(nullptr), 0);
    EXPECT_EQ(null.msgAt(nullptr, 0, true).id, 0);
    EXPECT_THROW(null.msgAtThrow(nullptr, 0, true), std::runtime_error);
    EXPECT_THROW(null.msgsCountThrow(nullptr), std::runtime_error);
}

// Run under the sanitizers: a double delete or a leak fails the program.
TEST(LineData, CopiesShareRecordsEachDeletedExactlyOnceAndTheLastHandleReleasesTheDatabase)
{
    auto db = chatsDb(2);
    QWeakPointer<MemLineDb> weak = db;
    auto* first = new _LineUser;
    auto* second = new _LineUser;
    auto* shared = new _LineGroupInfo;
    {
        LineData data = loaded(db);
        db.reset();
        LineData copy = data;
        EXPECT_EQ(copy, data);
        copy.insertUser(1, first);
        copy.insertUser(1, second); // replaces; `first` is still owned
        copy.insertGroup(1, shared);
        copy.insertGroup(2, shared); // one record under two ids
        copy.insertChat(3, nullptr);
        auto* chat = new _LineChat;
        chat->group = shared;
        chat->users = {first, second};
        copy.insertChat(5, chat);
        EXPECT_EQ(data.user(1), second);
        EXPECT_EQ(data.groups().size(), 2);
        EXPECT_EQ(data.chats().size(), 2);
        EXPECT_EQ(data.chats().at(1), chat); // by id
        EXPECT_EQ(data.msgAt(data.chat(1), 1, true).uid, "1-1");
        EXPECT_FALSE(weak.isNull());
    }
    EXPECT_TRUE(weak.isNull());
}

// Chats 1 and 2 of `perChat` messages as chatsDb makes them, read by two
// threads at once, one oldest first, the other newest first, while a third
// counts. A tiny page makes nearly every read of one evict the other's.
void pageFromThreeThreads(const LineData& data, int perChat)
{
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
    std::thread t3([&] {
        for (int i = 0; i < 200; ++i)
            wrong += data.msgsCount(nullptr) != 2 * perChat;
    });
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(empty.load(), 0);
}

TEST(LineData, ThreadsPagingOneDataOrOneLineStoreEachGetTheirOwnMessages)
{
    pageFromThreeThreads(loaded(chatsDb(400, {1, 2}), 7), 400);

    QTemporaryDir tmp;
    LineStoreBuilder b(tmp.path());
    for (int chat : {1, 2}) { // the same messages in a store, keys 1 and 2
        const qint64 key = b.addChat(LineChatRow(QStringLiteral("u%1").arg(chat)));
        for (int i = 0; i < 150; ++i)
            b.addMessage(LineMsgRow(key, QStringLiteral("%1-%2").arg(chat).arg(i))
                             .at(kBase.addSecs(i).toMSecsSinceEpoch())
                             .text(QString(40, QChar('a' + i % 26))));
    }
    b.build();
    auto db = QSharedPointer<IOSLineDb>::create(QDir(tmp.path()), QString());
    LineData data(db, 7);
    db->loadDataThrow(data);
    pageFromThreeThreads(data, 150);
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
    EXPECT_EQ(rows.at(0).value("b").toString(), "x");
    EXPECT_THROW(db.tableRowsThrow("missing"), std::runtime_error);
    // A name is a name, never more SQL.
    EXPECT_THROW(db.tableRowsThrow("victim; drop table victim"), std::runtime_error);
    EXPECT_TRUE(db.tableRowsThrow("victim").isEmpty());
}

TEST(LineDataVersion, ChangesWithEveryInsertAndIsNeverSharedByTwoDatas)
{
    EXPECT_EQ(LineData().recordsVersion(), 0u);
    LineData a(QSharedPointer<AbsLineDb>(), 10);
    LineData b(QSharedPointer<AbsLineDb>(), 10);
    EXPECT_NE(a.recordsVersion(), 0u);
    EXPECT_NE(a.recordsVersion(), b.recordsVersion());
    const quint64 before = a.recordsVersion();
    a.insertUser(1, new _LineUser);
    EXPECT_NE(a.recordsVersion(), before);
    EXPECT_NE(a.recordsVersion(), b.recordsVersion());
    const LineData copy = a;
    EXPECT_EQ(copy.recordsVersion(), a.recordsVersion());
}
