// Loaded chat data, its page cache and message sources, loading behind the
// progress window, the records' texts and the time scales.
#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/memlinedb.h"
#include "tests/support/modaldriver.h"

#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"
#include "chatdata/linetime.h"
#include "chatdata/loadlinedbthread.h"
#include "foundation/errorreport.h"
#include "foundation/progressform.h"

namespace {

const QDateTime kBase = QDateTime::fromSecsSinceEpoch(1600000000);

// Chats `chats` (ids 1, 2...) of `count` messages "<chat>-<i>" one second
// apart, every third one from user 7.
QSharedPointer<MemLineDb> chatsDb(int count, QList<qint64> chats = {1})
{
    auto db = QSharedPointer<MemLineDb>::create();
    db->addUser(7, "u7");
    for (qint64 chatId : chats) {
        db->addChat(chatId, QString::number(chatId), 0, 0, {7});
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

LineData loaded(const QSharedPointer<AbsLineDb>& db, int pageSize = 5000)
{
    LineData data(db, pageSize);
    db->loadDataThrow(data);
    return data;
}

TEST(LineData, PagesLoadOnceEachByChatAndDirectionAndIndexesOutsideRunNoQuery)
{
    auto db = chatsDb(10001);
    LineData data = loaded(db);
    _LineChat* chat = data.chat(1);
    for (qint64 i = 0; i < 5000; ++i)
        ASSERT_EQ(data.msgAt(chat, i, true).uid, QStringLiteral("1-%1").arg(i));
    EXPECT_EQ(data.msgAt(chat, 10, false).uid, "1-9990"); // the direction is part of the page's key
    EXPECT_EQ(data.msgAt(chat, 5000, true).uid, "1-5000");
    const _LineMsg fromFriend = data.msgAt(chat, 5001, true);
    EXPECT_TRUE(fromFriend.chat == chat && fromFriend.from == data.user(7) && data.msgAt(chat, 5002, true).wasFromMe());
    EXPECT_EQ(data.msgAt(chat, 10000, true).uid, "1-10000");
    EXPECT_EQ(data.msgsCount(chat), 10001);
    for (qint64 outside : {qint64(10001), qint64(-1), std::numeric_limits<qint64>::max()}) {
        EXPECT_EQ(data.msgAt(chat, outside, true).uid, "") << outside;
        EXPECT_THROW(data.msgAtThrow(chat, outside, true), std::runtime_error) << outside;
    }
    EXPECT_EQ(data.msgAt(nullptr, 10, false).uid, "1-9990");
    EXPECT_EQ(db->pageQueries(), QStringList({"1 1 5000 asc", "1 1 5000 desc", "1 2 5000 asc", "1 3 5000 asc", "0 1 5000 desc"}));

    // A failing page leaves the cache as it was and is asked again; a failing
    // count is zero for views and an error for workers.
    db->failFromPage = 2;
    EXPECT_EQ(data.msgAt(chat, 5000, true).id, 0);
    EXPECT_THROW(data.msgAtThrow(chat, 5000, true), std::runtime_error);
    EXPECT_EQ(data.msgAtThrow(chat, 9, false).uid, "1-9991");
    db->failFromPage = 0;
    EXPECT_EQ(data.msgAtThrow(chat, 5000, true).uid, "1-5000");
    EXPECT_EQ(db->pageQueries().size(), 9);
    db->failCount = true;
    EXPECT_EQ(data.msgsCount(chat), 0);
    EXPECT_THROW(data.msgsCountThrow(chat), std::runtime_error);

    LineData null;
    _LineChat onStack;
    null.insertChat(1, &onStack); // not taken over
    EXPECT_TRUE(null.isNull() && null.chats().isEmpty() && null.msgsCount(nullptr) == 0);
    EXPECT_THROW(null.msgAtThrow(nullptr, 0, true), std::runtime_error);
}

// Chats 1 and 2 read by two threads at once, oldest and newest first, while
// a third counts; a tiny page makes nearly every read evict the other's page.
void pageFromThreeThreads(const LineData& data, int perChat)
{
    std::atomic<int> wrong{0};
    const auto reader = [&](qint64 chatId, bool asc) {
        LineData mine = data;
        _LineChat* chat = mine.chat(chatId);
        for (int round = 0; round < 5; ++round) {
            for (int i = 0; i < perChat; ++i) {
                const _LineMsg m = mine.msgAt(chat, i, asc);
                const int n = asc ? i : perChat - 1 - i;
                wrong += m.uid != QStringLiteral("%1-%2").arg(chatId).arg(n) || m.chat != chat || m.text != QString(40, QChar('a' + n % 26));
            }
        }
    };
    std::thread t1(reader, 1, true), t2(reader, 2, false);
    std::thread t3([&] {
        for (int i = 0; i < 200; ++i)
            wrong += data.msgsCount(nullptr) != 2 * perChat;
    });
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(LineData, ThreadsPagingOneDataOrOneLineStoreEachGetTheirOwnMessages)
{
    pageFromThreeThreads(loaded(chatsDb(400, {1, 2}), 7), 400);
    QTemporaryDir tmp;
    LineStoreBuilder b(tmp.path());
    for (int chat : {1, 2}) { // the same messages in a store, keys 1 and 2
        const qint64 key = b.addChat(LineChatRow(QStringLiteral("u%1").arg(chat)));
        for (int i = 0; i < 150; ++i)
            b.addMessage(LineMsgRow(key, QStringLiteral("%1-%2").arg(chat).arg(i)).at(kBase.addSecs(i).toMSecsSinceEpoch())
                             .text(QString(40, QChar('a' + i % 26))));
    }
    b.build();
    pageFromThreeThreads(loaded(QSharedPointer<IOSLineDb>::create(QDir(tmp.path()), QString()), 7), 150);
}

TEST(AbsLineDb, TableRowsQuoteTheNameAndRunSqlOpensOnDemand)
{
    MemLineDb db;
    db.runSqlThrow("create table \"odd \"\"name\"(a, b)");
    db.runSqlThrow(Sqlite3Sql("insert into \"odd \"\"name\" values(?, ?)").addIntParam(1).addTextParam("x"));
    db.runSqlThrow("create table victim(a)");
    EXPECT_EQ(db.tableRowsThrow("odd \"name").value(0).value("b").toString(), "x");
    EXPECT_THROW(db.tableRowsThrow("victim; drop table victim"), std::runtime_error); // a name is never more SQL
    EXPECT_TRUE(db.tableRowsThrow("victim").isEmpty());
}

TEST(LineMsgsSources, ListAndDataSourcesSplitByChatAndAWorkerLearnsOfAFailedRead)
{
    _LineChat a, b;
    LineMsgsListSource list;
    for (const char* uid : {"1", "2", "orphan", "3"}) {
        list.append(_LineMsg());
        list.msgs.last().uid = uid;
        list.msgs.last().chat = *uid == 'o' ? nullptr : *uid == '2' ? &b : &a;
    }
    const auto split = list.chatMsgs();
    ASSERT_TRUE(split.size() == 2 && split.value(&a) && split.value(&a)->size() == 2);
    EXPECT_EQ(split.value(&a)->msg(1).uid + split.value(&b)->msg(0).uid + list.msg(4).uid + list.msgThrow(2).uid, "32orphan");
    EXPECT_THROW(list.msgThrow(4), std::runtime_error);

    auto db = chatsDb(12, {1, 2});
    const LineData data = loaded(db, 5);
    const LineMsgsDataSource all(data, nullptr, true), newestFirst(data, data.chat(2), false);
    const int queries = db->pageQueries().size();
    const auto perChat = all.chatMsgs();
    EXPECT_EQ(db->pageQueries().size(), queries); // splitting reads nothing
    EXPECT_EQ(perChat.value(data.chat(1))->size(), 12);
    EXPECT_EQ(perChat.value(data.chat(1))->msg(11).uid + newestFirst.msg(0).uid, "1-112-11");
    // A worker reading a source whose database breaks half-way must learn of
    // it instead of storing empty messages as real ones.
    const PAbsLineMsgsSource source(new LineMsgsDataSource(data, data.chat(1), true));
    db->failFromPage = 2;
    qint64 read = 0;
    EXPECT_THROW(for (qint64 n = source->sizeThrow(); read < n; ++read) source->msgThrow(read), std::runtime_error);
    EXPECT_EQ(read, 5);
    EXPECT_EQ(source->msg(7).id, 0); // what a view sees
}

// A database whose load runs `body` on the loading thread after the records are in.
class ScriptedDb : public MemLineDb
{
public:
    std::function<void(ScriptedDb&)> body;
    void loadDataThrow(LineData& data) override
    {
        MemLineDb::loadDataThrow(data);
        if (body)
            body(*this);
    }
};

class LoadLineDbThreadTest : public ::testing::Test
{
protected:
    void SetUp() override { errorReport_setServer(QString(), 0); }
    // Presses Cancel once the load's window shows, and answers the question Yes.
    void cancelWhenShown()
    {
        driver.answer(QMessageBox::Yes);
        auto* timer = new QTimer(&driver);
        QObject::connect(timer, &QTimer::timeout, [this, timer] {
            if (auto* form = qobject_cast<ProgressForm*>(QApplication::activeModalWidget())) {
                timer->stop();
                emit form->findChild<QPushButton*>("btnCancel")->pressed();
            }
        });
        timer->start(5);
    }
    ModalDriver driver;
};

TEST_F(LoadLineDbThreadTest, LoadsEveryRecordOrThrowsTheFailureByteForByteWithoutANotice)
{
    auto db = QSharedPointer<ScriptedDb>::create();
    db->addUser(1, "u1");
    db->addChat(11, "c11", 0, 0, {1});
    const LineData data = LoadLineDbThread::loadThrow(db);
    EXPECT_TRUE(!data.isNull() && data.pageSize() == 5000 && data.db() == db && data.chat(11)->users.size() == 1);

    const QByteArray message("データベースが壊れています: ZMESSAGE 💥");
    db->body = [&](ScriptedDb&) { throw std::runtime_error(message.toStdString()); };
    try {
        LoadLineDbThread::loadThrow(db);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(QByteArray(e.what()), message);
    }
    EXPECT_EQ(driver.answered(), 0);
}

TEST_F(LoadLineDbThreadTest, CancelDuringALongQueryReturnsNoHalfFilledData)
{
    auto db = QSharedPointer<ScriptedDb>::create();
    // The next query runs for many seconds: only the cancel's interrupt ends it at once.
    db->body = [](ScriptedDb& self) {
        self.queryThrow("with recursive n(x) as (select 1 union all select x + 1 from n where x < 200000000) select count(*) from n")
            .moveNext();
    };
    cancelWhenShown();
    EXPECT_TRUE(LoadLineDbThread::loadThrow(db).isNull());
    EXPECT_EQ(driver.answered(), 1);
    // The connection no longer answers to the closed window's flag.
    Sqlite3Cursor c = db->queryThrow("with recursive n(x) as (select 1 union all select x + 1 from n where x < 100000) select count(*) from n");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt(0), 100000);

}

_LineMsg typed(int type, const std::function<void(_LineMsg&)>& fill = {})
{
    _LineMsg m;
    m.type = type;
    if (fill)
        fill(m);
    return m;
}

TEST(LineRecords, SummariesAndVoiceLengths)
{
    const QString emoji = QStringLiteral("hi ") + QChar(0xE001) + QString::fromUcs4(U"\U0001F600!");
    const QList<QPair<_LineMsg, QString>> summaries = {
        {typed(LineMsgType::PHOTO), "[IMAGE]"}, {typed(LineMsgType::VIDEO), "[VIDEO]"}, {typed(LineMsgType::VOICE), "[VOICE]"},
        {typed(LineMsgType::STICKER, [](_LineMsg& m) { m.attaSetSticker({52002734, 11537, 1}); }), "[STICKER-52002734]"},
        {typed(LineMsgType::FILE, [](_LineMsg& m) { m.attaSetFileName("report.xlsx"); }), "report.xlsx"},
        // Escaped breaks of contact and place names become spaces; real ones stay.
        {typed(LineMsgType::CONTACT, [](_LineMsg& m) { m.attaSetContact({"u9", "Ann\\r\\nLee"}); }), "Contact: Ann Lee"},
        {typed(LineMsgType::CONTACT, [](_LineMsg& m) { m.attaSetContact({"u9", "Ann\nLee"}); }), "Contact: Ann\nLee"},
        {typed(LineMsgType::LOCATION, [](_LineMsg& m) { m.attaSetLocation({1, 2, "Shibuya\\nStation"}); }), "Shibuya Station"},
        {typed(LineMsgType::LOCATION, [](_LineMsg& m) { m.attaSetLocation({1, 2, " \t"}); m.text = "Tokyo "; }), "Tokyo"},
        {typed(LineMsgType::LOCATION), "Location"},
        {typed(LineMsgType::TEXT, [&](_LineMsg& m) { m.text = emoji; }), "hi [EMOJI][EMOJI]!"},
        {typed(42, [&](_LineMsg& m) { m.text = emoji; }), "hi [EMOJI][EMOJI]!"},
    };
    for (const auto& [msg, summary] : summaries)
        EXPECT_EQ(msg.summary(), summary);
    for (const auto& [size, shown] : {std::pair{0, "0:00"}, {1469, "0:01"}, {1470, "0:02"}, {59290, "1:01"}, {5880000, "100:00"}})
        EXPECT_EQ(typed(LineMsgType::VOICE, [size = size](_LineMsg& m) { m.attaSetFileSize(size); }).voiceDuration(), shown);
}

} // namespace
