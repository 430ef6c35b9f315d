// Loaded chat data, its page cache and message sources, loading behind the
// progress window, the records' texts; the program's own local database
// (creation, migration, purge, writing and reading) and backing messages up
// into it.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QMutex>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <tuple>

#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/modaldriver.h"
#include "tests/support/testenv.h"

#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/backuplinemessagesthread_p.h"
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"
#include "chatdata/loadlinedbthread.h"
#include "chatdata/tinykvserializer.h"
#include "foundation/errorreport.h"
#include "foundation/progressform.h"

namespace {

const QDateTime kBase = QDateTime::fromSecsSinceEpoch(1600000000);

// A local database that logs every page asked for ("chat page size
// asc|desc", chat "0" for all), fails on demand, and runs `afterLoad` on the
// loading thread once the records are in.
class FaultyDb : public LineLocalDb
{
public:
    using LineLocalDb::LineLocalDb;
    std::atomic<bool> failCount{false};
    std::atomic<int> failFromPage{0}; // pages from this one on fail; 0 never
    std::function<void(FaultyDb&)> afterLoad;

    QStringList pages() const
    {
        QMutexLocker lock(&m_mutex);
        return m_pages;
    }
    void loadDataThrow(LineData& data) override
    {
        LineLocalDb::loadDataThrow(data);
        if (afterLoad)
            afterLoad(*this);
    }
    qint64 messagesCountThrow(_LineChat* chat) override
    {
        if (failCount)
            throw std::runtime_error("counting failed");
        return LineLocalDb::messagesCountThrow(chat);
    }
    QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int size, bool asc) override
    {
        {
            QMutexLocker lock(&m_mutex);
            const QString which = chat ? chat->uid : QStringLiteral("0");
            m_pages << QStringLiteral("%1 %2 %3 %4").arg(which).arg(page).arg(size).arg(asc ? "asc" : "desc");
        }
        if (failFromPage > 0 && page >= failFromPage)
            throw std::runtime_error(QStringLiteral("page %1 cannot be read").arg(page).toStdString());
        return LineLocalDb::messagesThrow(data, chat, page, size, asc);
    }

private:
    mutable QMutex m_mutex;
    QStringList m_pages;
};

// The text of message i.
QString textOf(int i)
{
    return QString(40, QChar('a' + i % 26));
}

// In `folder`, chats "1", "2"... (`chats` of them, their keys 1, 2...) of
// `count` messages "<chat>-<i>" one second apart, every third one from "u7".
QSharedPointer<FaultyDb> chatsDb(const QString& folder, int count, int chats = 1)
{
    auto db = QSharedPointer<FaultyDb>::create(QDir(folder));
    db->openCheckThrow();
    db->beginTran();
    _LineUser u7;
    u7.uid = "u7";
    for (int c = 1; c <= chats; ++c) {
        _LineChat chat;
        chat.uid = QString::number(c);
        chat.users = {&u7};
        const qint64 key = db->insertChatThrow(&chat);
        db->saveChatMembersThrow(key, &chat);
        for (int i = 0; i < count; ++i) {
            _LineMsg m;
            m.uid = QStringLiteral("%1-%2").arg(c).arg(i);
            m.chat = &chat;
            m.ts = kBase.addSecs(i);
            m.rawContent = textOf(i).toUtf8();
            m.from = i % 3 == 0 ? &u7 : nullptr;
            db->insertMsgThrow(key, &m);
        }
    }
    db->commitTran();
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
    QTemporaryDir tmp;
    auto db = chatsDb(tmp.path(), 10001);
    LineData data = loaded(db);
    _LineChat* chat = data.chat(1);
    for (qint64 i = 0; i < 5000; ++i)
        ASSERT_EQ(data.msgAt(chat, i, true).uid, QStringLiteral("1-%1").arg(i));
    EXPECT_EQ(data.msgAt(chat, 10, false).uid, "1-9990"); // the direction is part of the page's key
    EXPECT_EQ(data.msgAt(chat, 5000, true).uid, "1-5000");
    const _LineMsg fromFriend = data.msgAt(chat, 5001, true);
    EXPECT_TRUE(fromFriend.chat == chat && fromFriend.from && fromFriend.from->uid == "u7");
    EXPECT_TRUE(data.msgAt(chat, 5002, true).wasFromMe());
    EXPECT_EQ(data.msgAt(chat, 10000, true).uid, "1-10000");
    EXPECT_EQ(data.msgsCount(chat), 10001);
    for (qint64 outside : {qint64(10001), qint64(-1), std::numeric_limits<qint64>::max()}) {
        EXPECT_EQ(data.msgAt(chat, outside, true).uid, "") << outside;
        EXPECT_THROW(data.msgAtThrow(chat, outside, true), std::runtime_error) << outside;
    }
    EXPECT_EQ(data.msgAt(nullptr, 10, false).uid, "1-9990");
    EXPECT_EQ(db->pages(),
              QStringList({"1 1 5000 asc", "1 1 5000 desc", "1 2 5000 asc", "1 3 5000 asc", "0 1 5000 desc"}));

    // A failing page leaves the cache as it was and is asked again; a failing
    // count is zero for views and an error for workers.
    db->failFromPage = 2;
    EXPECT_EQ(data.msgAt(chat, 5000, true).id, 0);
    EXPECT_THROW(data.msgAtThrow(chat, 5000, true), std::runtime_error);
    EXPECT_EQ(data.msgAtThrow(chat, 9, false).uid, "1-9991");
    db->failFromPage = 0;
    EXPECT_EQ(data.msgAtThrow(chat, 5000, true).uid, "1-5000");
    EXPECT_EQ(db->pages().size(), 9);
    // A worker's source learns of the failure instead of storing an empty message as a real one.
    db->failFromPage = 2;
    const LineMsgsDataSource source(data, chat, false);
    EXPECT_THROW(source.msgThrow(5000), std::runtime_error);
    EXPECT_EQ(source.msg(5000).id, 0);
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
                wrong += m.uid != QStringLiteral("%1-%2").arg(chatId).arg(n) || m.chat != chat || m.text != textOf(n);
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

TEST(LineData, ThreadsPagingOneLocalDatabaseOrOneLineStoreEachGetTheirOwnMessages)
{
    QTemporaryDir tmp;
    pageFromThreeThreads(loaded(chatsDb(tmp.filePath("local"), 400, 2), 7), 400);
    LineStoreBuilder b(tmp.path());
    for (int chat : {1, 2}) { // the same messages in a store, keys 1 and 2
        const qint64 key = b.addChat(LineChatRow(QStringLiteral("u%1").arg(chat)));
        for (int i = 0; i < 150; ++i) {
            const QString id = QStringLiteral("%1-%2").arg(chat).arg(i);
            b.addMessage(LineMsgRow(key, id).at(kBase.addSecs(i).toMSecsSinceEpoch()).text(textOf(i)));
        }
    }
    b.build();
    pageFromThreeThreads(loaded(QSharedPointer<IOSLineDb>::create(QDir(tmp.path()), QString()), 7), 150);
}

class LoadLineDbThreadTest : public ::testing::Test
{
protected:
    void SetUp() override { errorReport_setServer(QString(), 0); }

    QTemporaryDir tmp;
    QSharedPointer<FaultyDb> db = chatsDb(tmp.path(), 1);
    ModalDriver driver;
};

TEST_F(LoadLineDbThreadTest, LoadsEveryRecordOrThrowsTheFailureByteForByteWithoutANotice)
{
    const LineData data = LoadLineDbThread::loadThrow(db);
    EXPECT_TRUE(!data.isNull() && data.pageSize() == 5000 && data.db() == db && data.chat(1)->users.size() == 1);

    const QByteArray message("データベースが壊れています: ZMESSAGE 💥");
    db->afterLoad = [&](FaultyDb&) { throw std::runtime_error(message.toStdString()); };
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
    // The next query runs for many seconds: only the cancel's interrupt ends it at once.
    const QString count = "with recursive n(x) as (select 1 union all select x + 1 from n where x < %1)"
                          " select count(*) from n";
    db->afterLoad = [&](FaultyDb& self) { self.queryThrow(count.arg(200000000)).moveNext(); };
    // Cancel is pressed once the load's window shows, and the question answered Yes.
    driver.answer(QMessageBox::Yes);
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&timer] {
        if (auto* form = qobject_cast<ProgressForm*>(QApplication::activeModalWidget())) {
            timer.stop();
            emit form->findChild<QPushButton*>("btnCancel")->pressed();
        }
    });
    timer.start(5);
    EXPECT_TRUE(LoadLineDbThread::loadThrow(db).isNull());
    EXPECT_EQ(driver.answered(), 1);
    // The connection no longer answers to the closed window's flag.
    Sqlite3Cursor c = db->queryThrow(count.arg(100000));
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt(0), 100000);
}

_LineMsg typed(int type, const QString& text, const std::function<void(_LineMsg&)>& fill = {})
{
    _LineMsg m;
    m.type = type;
    m.text = text;
    if (fill)
        fill(m);
    return m;
}

TEST(LineRecords, SummariesAndVoiceLengths)
{
    const QString emoji = QStringLiteral("hi ") + QChar(0xE001) + QString::fromUcs4(U"\U0001F600!");
    const QList<QPair<_LineMsg, QString>> summaries = {
        {typed(LineMsgType::PHOTO, ""), "[IMAGE]"},
        {typed(LineMsgType::STICKER, "", [](_LineMsg& m) { m.attaSetSticker({52002734, 11537, 1}); }),
         "[STICKER-52002734]"},
        {typed(LineMsgType::FILE, "", [](_LineMsg& m) { m.attaSetFileName("report.xlsx"); }), "report.xlsx"},
        // Escaped breaks of contact and place names become spaces; real ones stay.
        {typed(LineMsgType::CONTACT, "", [](_LineMsg& m) { m.attaSetContact({"u9", "Ann\\r\\nLee\nOr"}); }),
         "Contact: Ann Lee\nOr"},
        {typed(LineMsgType::LOCATION, "", [](_LineMsg& m) { m.attaSetLocation({1, 2, "Shibuya\\nStation"}); }),
         "Shibuya Station"},
        {typed(LineMsgType::LOCATION, "Tokyo ", [](_LineMsg& m) { m.attaSetLocation({1, 2, " \t"}); }), "Tokyo"},
        {typed(LineMsgType::LOCATION, ""), "Location"},
        {typed(42, emoji), "hi [EMOJI][EMOJI]!"},
    };
    for (const auto& [msg, summary] : summaries)
        EXPECT_EQ(msg.summary(), summary);
    for (const auto& [size, shown] : {std::pair{0, "0:00"}, {1469, "0:01"}, {1470, "0:02"}, {59290, "1:01"},
                                      {5880000, "100:00"}}) {
        const _LineMsg voice = typed(LineMsgType::VOICE, "", [size = size](_LineMsg& m) { m.attaSetFileSize(size); });
        EXPECT_EQ(voice.voiceDuration(), shown);
    }
}

// A user's shown name is the first of contact, custom and server name; a
// chat's title is its group's (with or without members) or its users' names.
TEST(LineRecords, ShownNamesAndChatTitlesChooseInTheirOrder)
{
    _LineUser u[4];
    const char* names[][3] = {{"Ann", "Annie", "ann_srv"}, {"", "Bobby", "bob_srv"}, {"", "", "cat_srv"}, {"", "", ""}};
    for (int i = 0; i < 4; ++i) {
        u[i].id = 4 - i; // shown in id order: the set's own order is not fixed
        u[i].uid = QStringLiteral("u%1").arg(i);
        u[i].contactName = names[i][0];
        u[i].customName = names[i][1];
        u[i].serverName = names[i][2];
    }
    EXPECT_EQ(QStringList({u[0].displayName(), u[1].displayName(), u[2].displayName(), u[3].displayName()}),
              QStringList({"Ann", "Bobby", "cat_srv", "Unknown"}));
    _LineGroupInfo named, unnamed;
    named.name = "Trip";
    named.members = unnamed.members = {&u[0], &u[2], nullptr};
    _LineChat groupChat, single, orphan;
    groupChat.type = orphan.type = LineChatType::GROUP;
    groupChat.group = &named;
    groupChat.users = orphan.users = single.users = {&u[1], &u[3]};
    const struct { QString title, shown; } titles[] = {
        {named.display(false), "[GROUP] Trip"},
        {named.display(true), "[GROUP] Trip: cat_srv,Ann"},
        {unnamed.display(true), "cat_srv,Ann"},
        {unnamed.display(false), "cat_srv,Ann"},
        {groupChat.display(true), "[GROUP] Trip: cat_srv,Ann"},
        {groupChat.display(false), "[GROUP] Trip"},
        {orphan.display(true), "Unknown,Bobby"}, // a group chat whose group was not loaded
        {single.display(true), "Unknown,Bobby"},
        {_LineChat().display(true), ""},
    };
    for (const auto& t : titles)
        EXPECT_EQ(t.title, t.shown);
}

// A listed source hands out exactly its messages: out of range is an empty
// message, or an error for the throwing reader; chats split by their chat.
TEST(LineMsgsSources, ListedMessagesStayWithinTheirBoundsAndChats)
{
    _LineChat a, b;
    a.uid = "a";
    b.uid = "b";
    LineMsgsListSource list;
    for (const auto& [uid, chat] : {std::pair<const char*, _LineChat*>{"m0", &a}, {"m1", nullptr}, {"m2", &b},
                                    {"m3", &a}}) {
        _LineMsg m;
        m.uid = uid;
        m.chat = chat;
        list.append(m);
    }
    ASSERT_EQ(list.sizeThrow(), 4);
    for (const qint64 i : {qint64(-1), qint64(0), qint64(3), qint64(4), qint64(1) << 32}) {
        const bool inside = i >= 0 && i < 4;
        EXPECT_EQ(list.msg(i).uid, inside ? list.msgs.at(qsizetype(i)).uid : QString()) << i;
        if (inside)
            EXPECT_EQ(list.msgThrow(i).uid, list.msgs.at(qsizetype(i)).uid);
        else
            EXPECT_THROW(list.msgThrow(i), std::runtime_error) << i;
    }
    const auto byChat = list.chatMsgs();
    ASSERT_EQ(byChat.size(), 2);
    EXPECT_EQ(byChat.value(&a)->sizeThrow(), 2);
    EXPECT_EQ(byChat.value(&a)->msgThrow(1).uid, "m3");
    EXPECT_EQ(byChat.value(&b)->msgThrow(0).uid, "m2");
}

_LineMsg msgOf(const QString& uid, _LineChat* chat, _LineUser* from = nullptr, int type = LineMsgType::TEXT,
               qint64 ts = 0)
{
    _LineMsg m;
    m.uid = uid;
    m.chat = chat;
    m.from = from;
    m.type = type;
    m.ts = QDateTime::fromSecsSinceEpoch(ts);
    return m;
}

struct Loaded
{
    LineData data;
    QList<_LineMsg> msgs;
};

Loaded load(const QString& folder)
{
    auto db = QSharedPointer<LineLocalDb>::create(QDir(folder));
    Loaded l{LineData(db, 5000), {}};
    db->loadDataThrow(l.data);
    l.msgs = db->messagesThrow(l.data, nullptr, 1, 1000, true);
    return l;
}

class LineLocalDbTest : public ::testing::Test
{
protected:
    // Users u-1 to u-3, a group chat with its group and a single chat whose
    // id ".." must become a folder name of its own.
    void SetUp() override
    {
        for (int i = 0; i < 3; ++i)
            users[i].uid = QStringLiteral("u-%1").arg(i + 1);
        group.uid = groupChat.uid = "c-group";
        group.creator = &users[2];
        groupChat.type = LineChatType::GROUP;
        groupChat.group = &group;
        group.members = groupChat.users = {&users[0], &users[1], &users[2]};
        single.uid = "..";
        single.users = {&users[0]};
    }
    // A query's rows, read on a connection of the test's own (the tool in a
    // process of its own would fork this one, which the thread checker refuses).
    QString rows(const QString& sql)
    {
        Sqlite3DB db;
        db.openThrow(folder + "/marrowquist-line.db", 2);
        return rowsOf(db, sql);
    }

    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/db";
    _LineUser users[3];
    _LineGroupInfo group;
    _LineChat groupChat, single;
};

TEST_F(LineLocalDbTest, AnEarlierDatabaseIsMigratedAndLosesOnlyJunkUsersThatSentNothing)
{
    // A LINE emoji run closed by U+10FFFF, which an older tool turned into U+FFFD.
    const QByteArray damaged = QByteArray::fromHex("41f48fbc9bf48fbc9c78efbfbd42");
    {
        LineLocalDb made{QDir(folder)};
        made.openCheckThrow();
        // The earlier format: no line_msg.ver, no line_user.custom_name, no time index.
        for (const char* sql : {"DROP INDEX _vardo_idx_line_msg_ts", "ALTER TABLE line_msg DROP COLUMN ver",
                                "ALTER TABLE line_user DROP COLUMN custom_name",
                                "INSERT INTO line_user(uid) VALUES ('u-good'), ('x-junk'), ('p-sender'), (''), (NULL)",
                                "INSERT INTO line_chat(uid, type) VALUES ('c1', 'group')",
                                "INSERT INTO line_group(uid, creator_id, name) VALUES ('c1', 2, 'g')",
                                "INSERT INTO line_chat_users SELECT 1, _id FROM line_user",
                                "INSERT INTO line_group_members SELECT 1, _id FROM line_user",
                                "INSERT INTO line_msg(uid, type, ts, chat_id, from_id, content) VALUES"
                                " ('m1', 'text', 1, 1, 1, 'a'),"
                                " ('m2', 'text', 2, 1, 3, X'41f48fbc9bf48fbc9c78efbfbd42')"})
            made.executeThrow(sql);
    }
    LineLocalDb db{QDir(folder)};
    // A row written now is of the current format: its text is read as stored.
    _LineChat c1;
    c1.uid = "c1";
    _LineMsg m3 = msgOf("m3", &c1, nullptr, LineMsgType::TEXT, 3);
    m3.rawContent = damaged;
    db.insertMsgThrow(1, &m3);
    for (int again = 0; again < 2; ++again)
        EXPECT_EQ(LineLocalDb(QDir(folder)).messagesCountThrow(nullptr), 3);
    EXPECT_EQ(rows("select name from pragma_table_info('line_msg') where name='ver' union all select name from"
                   " pragma_table_info('line_user') where name='custom_name' union all select name from sqlite_master"
                   " where name='_vardo_idx_line_msg_ts'"),
              "ver\ncustom_name\n_vardo_idx_line_msg_ts");
    // "x-junk" and "" go with their memberships; the sender "p-sender" and a NULL uid stay.
    EXPECT_EQ(rows("select 'u', ifnull(uid, 'NULL') from line_user union all select 'c', user_id from line_chat_users"
                   " union all select 'g', user_id from line_group_members order by 1, 2"),
              "c|1\nc|3\nc|5\ng|1\ng|3\ng|5\nu|NULL\nu|p-sender\nu|u-good");
    const Loaded l = load(folder);
    ASSERT_EQ(l.msgs.size(), 3);
    EXPECT_EQ(l.msgs[1].from->uid + " " + l.msgs[1].text, "p-sender A[EMOJI]B"); // mended on reading only
    EXPECT_EQ(l.msgs[1].rawContent.toHex(), "41f48fbc9bf48fbc9c78f48fbfbf42");
    EXPECT_EQ(l.msgs[2].rawContent, damaged);
    EXPECT_EQ(rows("select hex(content) from line_msg where uid='m2'"), damaged.toHex().toUpper());
    EXPECT_EQ(l.msgs[0].chat->group->creator, nullptr); // the junk creator was purged
}

TEST_F(LineLocalDbTest, AFailedOpeningLeavesNoHalfDatabase)
{
    // SQLite cannot make its journal where a folder of that name stands: the
    // new file goes again, and the next opening succeeds.
    const QString path = folder + "/marrowquist-line.db";
    ASSERT_TRUE(QDir().mkpath(path + "-journal"));
    {
        LineLocalDb db{QDir(folder)};
        EXPECT_THROW(db.openCheckThrow(), std::runtime_error);
        EXPECT_FALSE(db.isOpen() || QFileInfo::exists(path));
    }
    ASSERT_TRUE(QDir(path + "-journal").removeRecursively());
    EXPECT_EQ(LineLocalDb(QDir(folder)).messagesCountThrow(nullptr), 0);
    EXPECT_TRUE(QFileInfo(folder + "/thumbs").isDir() && QFileInfo(folder + "/files").isDir());

    // A line_group without uid: the script's index on it fails, and the one
    // transaction adds no table; the user's file stays, and fails again.
    {
        LineLocalDb db{QDir(folder)};
        for (const char* sql : {"DROP TABLE line_msg", "DROP TABLE line_chat", "DROP TABLE line_group",
                                "CREATE TABLE line_group(_id INTEGER PRIMARY KEY, name VARCHAR)"})
            db.runSqlThrow(sql);
    }
    LineLocalDb broken{QDir(folder)};
    for (int again = 0; again < 2; ++again)
        EXPECT_THROW(broken.messagesCountThrow(nullptr), std::runtime_error);
    EXPECT_EQ(rows("select name from sqlite_master where type='table' and name like 'line%' order by name"),
              "line_chat_users\nline_group\nline_group_members\nline_user");
}

TEST_F(LineLocalDbTest, WrittenRecordsReadBackFoundByIdWithinTheirChat)
{
    LineLocalDb db{QDir(folder)};
    _LineUser& ann = users[0];
    ann.contactName = "Ann";
    ann.customName = "Annie";
    ann.createTs = QDateTime::fromSecsSinceEpoch(3000000000LL); // beyond signed 32 bits
    group.name = "Friends";
    const qint64 aId = db.insertChatThrow(&groupChat), bId = db.insertChatThrow(&single);
    db.saveChatMembersThrow(aId, &groupChat);
    db.saveChatMembersThrow(aId, &groupChat);
    const qint64 gId = db.insertGroupInfoThrow(&group);
    db.saveGroupMembersThrow(gId, &group);
    EXPECT_EQ(db.findChatThrow(".."), bId);
    EXPECT_EQ(db.findGroupInfoThrow("c-group"), gId);
    ann.contactName = "Changed"; // found again, the row is not refreshed
    EXPECT_EQ(db.findOrInsertUserThrow(&ann), db.findUserThrow("u-1"));
    EXPECT_EQ(db.findUserThrow("U-1"), 0);

    // Equal times keep the order of writing; ids are looked for within their chat.
    _LineUser anonymous;
    _LineMsg photo = msgOf("m-1", &groupChat, &ann, LineMsgType::PHOTO, 1700000000);
    photo.rawContent = QByteArray::fromHex("41ff00f48fbfbf42"); // no UTF-8: kept byte for byte
    photo.attaSetWidth(640);
    photo.attaSetFileSize(5000000000LL);
    const QList<_LineMsg> written = {photo, msgOf("m-1", &single, nullptr, LineMsgType::FILE, 1700000000),
                                     msgOf("0", &groupChat, nullptr, 42, 1700000000),
                                     msgOf("", &groupChat, &anonymous, LineMsgType::VOICE, 1700000000)};
    for (const _LineMsg& m : written) {
        const qint64 chat = m.chat == &groupChat ? aId : bId, id = db.insertMsgThrow(chat, &m);
        EXPECT_EQ(db.findMsgThrow(chat, m.uid), isLineMsgUidValid(m.uid) ? id : 0);
    }
    EXPECT_EQ(db.findMsgThrow(bId, "m-1"), 2);
    EXPECT_EQ(db.messagesCountThrow(&single), 1);
    const Loaded l = load(folder);
    QStringList got;
    for (const _LineMsg& m : l.msgs) {
        const QString from = m.from == l.data.unknownUser() ? "(unknown)" : m.from ? m.from->uid : "(owner)";
        got << QStringList{m.chat->uid, m.uid, QString::number(m.type), from, m.rawContent.toHex(),
                           QString::number(m.attaFileSize()), QString::number(m.attaWidth())}
                   .join(' ');
    }
    for (const _LineUser* u : l.data.users()) {
        const QString created = QString::number(u->createTs.toSecsSinceEpoch());
        got << u->uid + ":" + u->contactName + ":" + u->customName + ":" + created;
    }
    for (const _LineChat* c : l.data.chats()) {
        const _LineGroupInfo* cg = c->group;
        got << c->uid + ":" + QString::number(c->type) + ":" + QString::number(c->users.size()) + ":"
                   + (cg ? cg->name + "/" + cg->creator->uid + "/" + QString::number(cg->members.size()) : "");
    }
    // A sender without LINE id is unknown, not a user row; an unknown type reads as text.
    EXPECT_EQ(got, QStringList({QString("c-group m-1 %1 u-1 41ff00f48fbfbf42 5000000000 640").arg(LineMsgType::PHOTO),
                                QString(".. m-1 %1 (owner)  0 0").arg(LineMsgType::FILE),
                                QString("c-group 0 %1 (owner)  0 0").arg(LineMsgType::TEXT),
                                QString("c-group  %1 (unknown)  0 0").arg(LineMsgType::VOICE),
                                "u-1:Ann:Annie:3000000000", "u-2:::4294967295", "u-3:::4294967295",
                                QString("c-group:%1:3:Friends/u-3/3").arg(LineChatType::GROUP),
                                QString("..:%1:0:").arg(LineChatType::SINGLE)}));
    // The attachment values as a tinykv blob, a file type that only says "tinykv".
    const QString atta = rows("select hex(atta) from line_msg where _id=1");
    EXPECT_EQ(TinyKVSerializer::unser(QByteArray::fromHex(atta.toLatin1())).value("size"), QVariant(5000000000LL));
}

// A kept video keeps its size and a kept file its name, and with it the
// suffix its media copy was stored under; a blob that is no tinykv reads as
// no values rather than failing the page.
TEST_F(LineLocalDbTest, KeptMediaReadBackWithTheirAttachmentValuesAndFiles)
{
    LineLocalDb db{QDir(folder)};
    const qint64 chatId = db.insertChatThrow(&single);
    _LineMsg video = msgOf("v", &single, nullptr, LineMsgType::VIDEO, 1);
    _LineMsg file = msgOf("f", &single, nullptr, LineMsgType::FILE, 2);
    video.attaSetWidth(320);
    video.attaSetHeight(240);
    file.attaSetFileName("report.v2.pdf");
    _LineMsg junk = msgOf("j", &single, nullptr, LineMsgType::PHOTO, 3);
    for (const _LineMsg* m : {&video, &file, &junk})
        db.insertMsgThrow(chatId, m);
    db.executeThrow("update line_msg set atta=x'00ff' where uid='j'");
    const Loaded l = load(folder);
    ASSERT_EQ(l.msgs.size(), 3);
    QStringList got;
    for (const _LineMsg& m : l.msgs)
        got << QStringList{m.uid, QString::number(m.attaWidth()), QString::number(m.attaHeight()), m.attaFileName(),
                           QFileInfo(m.attaPath).fileName()}.join(' ');
    EXPECT_EQ(got, QStringList({"v 320 240  v.mp4", "f 0 0 report.v2.pdf f.pdf", "j 0 0  j.jpg"}));
}

// --- backing up -------------------------------------------------------------

// A list source that fails on demand; its message `gateAt` is handed out
// only once `release` says so, and `reached` tells the GUI side it is
// waiting there.
class ScriptedSource : public LineMsgsListSource
{
public:
    qint64 sizeThrow() const override
    {
        if (failCount)
            throw std::runtime_error("counting failed");
        return LineMsgsListSource::sizeThrow();
    }
    _LineMsg msgThrow(qint64 i) const override
    {
        if (failFrom >= 0 && i >= failFrom)
            throw std::runtime_error(QStringLiteral("message %1 cannot be read").arg(i).toStdString());
        if (i == gateAt) {
            reached = true;
            for (int waited = 0; release && !release() && waited < 10000; waited += 2)
                QThread::msleep(2);
        }
        return LineMsgsListSource::msgThrow(i);
    }
    std::atomic<bool> failCount{false};
    std::atomic<qint64> failFrom{-1};
    qint64 gateAt = -1;
    std::function<bool()> release;
    mutable std::atomic<bool> reached{false};
};

class BackupLineMessagesThreadTest : public LineLocalDbTest
{
protected:
    // Messages of several kinds in the records, with media files for some.
    void SetUp() override
    {
        LineLocalDbTest::SetUp();
        errorReport_setServer(QString(), 0);
        // Id, type, chat, sender, media file and thumbnail.
        const std::tuple<const char*, int, _LineChat*, _LineUser*, const char*, const char*> msgs[] = {
            {"m1", LineMsgType::TEXT, &groupChat, &users[0], "", ""},
            {"m2", LineMsgType::PHOTO, &groupChat, &users[1], "/m2.jpg", "/m2.thumb"},
            {"m3", LineMsgType::VOICE, &single, nullptr, "/m3.aac", ""}, // LINE never downloaded it
            {"m4", LineMsgType::FILE, &single, &users[0], "/m4", ""},
            {"m5", LineMsgType::STICKER, &groupChat, &users[2], "", ""}};
        for (const auto& [uid, type, chat, from, atta, thumb] : msgs) {
            _LineMsg m = msgOf(uid, chat, from, type, 1000 + source->size());
            m.attaPath = *atta ? media + atta : QString();
            m.thumbPath = *thumb ? media + thumb : QString();
            if (type == LineMsgType::FILE)
                m.attaSetFileName("plans.v2/../../../x"); // its suffix too is a name
            source->append(m);
        }
        for (const auto& [name, bytes] : {std::pair{"/m2.thumb", "thumb-2"}, {"/m2.jpg", "photo-2"}, {"/m4", "%PDF"}})
            ASSERT_TRUE(testenv::writeFile(media + name, bytes));
    }

    // Runs one backup behind its progress window and gives its result and
    // the notices shown; the closing notice is answered.
    QPair<int, QStringList> run(const PAbsLineMsgsSource& from,
                                const std::function<void(ProgressForm&)>& whileOpen = {})
    {
        driver.answer(QMessageBox::Ok);
        ProgressForm form(QStringLiteral("Backup"));
        BackupLineMessagesThread thread(from, QDir(folder), form);
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (whileOpen)
                whileOpen(form);
        });
        probe.start(1);
        const int before = driver.answered();
        const int result = form.runWorker(thread);
        form.waitForThread(thread, true);
        probe.stop();
        spinUntil([&] { return driver.pending() == 0 || driver.answered() > before; }, 2000);
        return {result, driver.texts.mid(before)};
    }
    static QString done(qint64 n, int notStored = 0)
    {
        const auto tr = [](const char* key) { return QCoreApplication::translate("BackupLineMessagesThread", key); };
        const QString files = notStored ? " " + tr("IDS_BACKUP_%1_FILES_NOT_STORED").arg(notStored) : QString();
        return tr("IDS_SUC_BACKUP_%1_MESSAGES").arg(n) + files;
    }
    QString counts()
    {
        return rows("select (select count(*) from line_msg) || (select count(*) from line_chat)"
                    " || (select count(*) from line_user)");
    }

    ModalDriver driver;
    const QString media = tmp.path() + "/media";
    QSharedPointer<ScriptedSource> source = QSharedPointer<ScriptedSource>::create();
};

TEST_F(BackupLineMessagesThreadTest, ARepeatedBackupAddsNoRowAndMendsMediaCopiesOfTheWrongSize)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(media + "/m3.aac").constData(), 0600), 0); // opening it would block
    EXPECT_EQ(run(source), qMakePair(1, QStringList{done(5)}));
    const Loaded first = load(folder);
    ASSERT_EQ(first.msgs.size(), 5);
    const QString photo = first.msgs[1].attaPath, thumb = first.msgs[1].thumbPath, voice = first.msgs[2].attaPath;
    EXPECT_EQ(testenv::readFile(thumb) + testenv::readFile(photo) + testenv::readFile(first.msgs[3].attaPath),
              "thumb-2photo-2%PDF");
    EXPECT_FALSE(QFileInfo::exists(voice));
    EXPECT_EQ(QFileInfo(photo).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0); // private, like the chats
    QStringList files; // in their chats' folders, and no temporary copy beside them
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    EXPECT_EQ(files, QStringList({"files/%2E%2E/m4.%2Fx", "files/c-group/m2.jpg", "marrowquist-line.db",
                                  "thumbs/c-group/m2.thumb.jpg"}));

    // A copy cut short is made again, one of the source's size kept; a voice
    // note LINE has since downloaded is copied although its message is there.
    QFile::remove(media + "/m3.aac");
    ASSERT_TRUE(testenv::writeFile(photo, "") && testenv::writeFile(thumb, "THUMB-2"));
    ASSERT_TRUE(testenv::writeFile(media + "/m3.aac", "voice"));
    EXPECT_EQ(run(source), qMakePair(1, QStringList{done(5)}));
    EXPECT_EQ(counts() + rows("select (select count(*) from line_chat_users) || (select count(*) from line_group)"),
              "52341");
    EXPECT_EQ(testenv::readFile(photo) + testenv::readFile(thumb) + testenv::readFile(voice), "photo-2THUMB-2voice");
}

// Only media that is not there is passed over: a file that is there and
// cannot be read is a copy that failed, and the notice counts it. A file
// suffix longer than a local name may be is stored under a short form.
TEST_F(BackupLineMessagesThreadTest, MediaThatCannotBeReadIsCountedAndALongFileSuffixIsKept)
{
    const QString to = tmp.path() + "/copy";
    ASSERT_EQ(::mkfifo(QFile::encodeName(media + "/fifo").constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkpath(media + "/folder") && QFile::link("loop", media + "/loop"));
    const bool root = ::geteuid() == 0; // reads whatever the permissions say
    ASSERT_TRUE(testenv::writeFile(media + "/locked", "x"));
    ::chmod(QFile::encodeName(media + "/locked").constData(), 0);
    const struct { QString from; MediaCopyResult result; } sources[] = {
        {media + "/missing", MediaCopyResult::NoSource},
        {media + "/missing/below", MediaCopyResult::NoSource},
        {media + "/m4/below", MediaCopyResult::NoSource}, // a file where a folder would be
        {media + "/fifo", MediaCopyResult::NoSource},
        {media + "/folder", MediaCopyResult::NoSource},
        {media + "/loop", MediaCopyResult::Failed},
        {media + "/locked", root ? MediaCopyResult::Copied : MediaCopyResult::Failed},
    };
    for (const auto& [from, result] : sources) {
        QFile::remove(to);
        QString error;
        EXPECT_EQ(g_copyMediaFile(from, to, &error), result) << from;
        EXPECT_EQ(error.contains(from), result == MediaCopyResult::Failed) << error;
        EXPECT_EQ(QFileInfo::exists(to), result == MediaCopyResult::Copied) << from;
    }

    QString kana;
    for (int i = 0; i < 100; ++i)
        kana += QChar(0x3042 + i % 40);
    source->msgs[3].attaSetFileName("plans." + kana);
    source->msgs[2].attaPath = media + "/loop";
    EXPECT_EQ(run(source), qMakePair(1, QStringList{done(5, 1)}));
    const Loaded stored = load(folder);
    ASSERT_EQ(stored.msgs.size(), 5);
    EXPECT_EQ(testenv::readFile(stored.msgs[3].attaPath), "%PDF");
    EXPECT_LE(QFileInfo(stored.msgs[3].attaPath).fileName().toUtf8().size(), 255);
}

TEST_F(BackupLineMessagesThreadTest, OneUidInTwoChatsIsStoredOncePerChatAndAMessageListedTwiceCountsOnce)
{
    _LineUser ann, annAgain; // two records of one user
    ann.uid = annAgain.uid = "u-ann";
    annAgain.contactName = "renamed";
    _LineChat a, b, aAgain; // two records of chat c-a
    a.uid = aAgain.uid = "c-a";
    a.users = {&ann};
    b.uid = "c-b";
    b.users = aAgain.users = {&annAgain};
    auto list = QSharedPointer<LineMsgsListSource>::create();
    // m1 of c-a twice; messages never numbered are stored each time, with media of their own.
    for (const _LineMsg& m : {msgOf("m1", &a, &ann), msgOf("m1", &b, &annAgain), msgOf("m1", &aAgain),
                              msgOf("0", &a, nullptr, LineMsgType::PHOTO), msgOf("", &a, nullptr, LineMsgType::PHOTO),
                              msgOf("", &a, nullptr, LineMsgType::PHOTO), msgOf("loose", nullptr)}) {
        list->append(m);
        if (m.type != LineMsgType::PHOTO)
            continue;
        list->msgs.last().attaPath = media + QString("/%1.jpg").arg(list->msgs.size());
        ASSERT_TRUE(testenv::writeFile(list->msgs.last().attaPath, QByteArray::number(list->msgs.size())));
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(run(list).second, QStringList{done(5)});
    EXPECT_EQ(rows("select (select count(distinct chat_id) from line_msg where uid='m1')"
                   " || (select count(*) from line_msg) || (select count(*) from line_chat)"
                   " || (select group_concat(uid || contact_name) from line_user)"),
              "282u-ann");
    QStringList photos;
    for (const _LineMsg& m : load(folder).msgs)
        if (m.type == LineMsgType::PHOTO)
            photos << testenv::readFile(m.attaPath);
    EXPECT_EQ(photos, QStringList({"4", "5", "6", "4", "5", "6"}));
}

TEST_F(BackupLineMessagesThreadTest, FailuresAreShownAndLeaveNoRowOfTheRun)
{
    LineLocalDb(QDir(folder)).runSqlThrow("CREATE TRIGGER refuse BEFORE INSERT ON line_msg WHEN NEW.uid='m4' "
                                           "BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    const struct { qint64 failFrom; bool failCount; const char* error; } cases[] = {
        {2, false, "message 2 cannot be read"}, {-1, true, "counting failed"}, {-1, false, "disk says no"}};
    for (const auto& c : cases) {
        source->failFrom = c.failFrom;
        source->failCount = c.failCount;
        const auto o = run(source);
        EXPECT_EQ(o.first, 0);
        EXPECT_TRUE(o.second.size() == 1 && o.second[0].contains(c.error)) << o.second.join('\n').toStdString();
        EXPECT_EQ(counts(), "000");
    }
    // A file where a chat's media folder goes: the messages are stored, the file counted.
    LineLocalDb(QDir(folder)).runSqlThrow("DROP TRIGGER refuse");
    ASSERT_TRUE(QDir(folder + "/files/c-group").removeRecursively());
    ASSERT_TRUE(testenv::writeFile(folder + "/files/c-group", "a file"));
    EXPECT_EQ(run(source), qMakePair(1, QStringList{done(5, 1)}));
    EXPECT_EQ(counts(), "523");
}

TEST_F(BackupLineMessagesThreadTest, ACancelConfirmedDuringTheLastMessageCommitsNoRowButKeepsCopiedFiles)
{
    LineLocalDb(QDir(folder)).runSqlThrow("INSERT INTO line_msg(uid) VALUES ('old')");
    source->gateAt = 4; // the last one, after the photo and its files
    std::atomic<ProgressForm*> shown{nullptr};
    source->release = [&] { return shown && shown.load()->cancelled; };
    driver.answer(QMessageBox::Yes); // "Are you sure?"
    QString status;
    const auto o = run(source, [&](ProgressForm& form) {
        status = form.findChild<QLabel*>("lbStatus")->text();
        if (!shown && source->reached) {
            shown = &form;
            emit form.findChild<QPushButton*>("btnCancel")->pressed();
        }
    });
    EXPECT_EQ(o.first, 0);
    EXPECT_EQ(o.second.size(), 1); // the question only: no success, no error
    EXPECT_EQ(status, QCoreApplication::translate("BackupLineMessagesThread", "IDS_BACKING_UP_LINE_MESSAGES"));
    EXPECT_EQ(rows("select group_concat(uid) from line_msg") + counts(), "old100");
    EXPECT_EQ(testenv::readFile(folder + "/files/c-group/m2.jpg"), "photo-2");
}

} // namespace
