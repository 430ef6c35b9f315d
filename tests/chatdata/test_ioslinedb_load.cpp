// Loading users, chats and groups of a LINE store, with the account owner.
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"

#include <QDir>
#include <QSharedPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const QString kMid = QStringLiteral("u00ownerabc");

QStringList uids(const QSet<_LineUser*>& users)
{
    QStringList out;
    for (const _LineUser* u : users)
        out << u->uid;
    std::sort(out.begin(), out.end());
    return out;
}

class IOSLineDbLoadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        fresh();
    }

    // A new container for a test that compares several stores.
    LineStoreBuilder& fresh()
    {
        const QString dir = tmp.path() + QStringLiteral("/c%1").arg(++n);
        QDir().mkpath(dir);
        b.reset(new LineStoreBuilder(dir));
        return *b;
    }

    LineData load()
    {
        b->build();
        db = QSharedPointer<IOSLineDb>::create(QDir(b->containerDir()), QString());
        LineData data(db.staticCast<AbsLineDb>(), 5000);
        db->loadDataThrow(data);
        return data;
    }

    static _LineChat* chatByUid(const LineData& data, const QString& uid)
    {
        for (_LineChat* c : data.chats())
            if (c->uid == uid)
                return c;
        return nullptr;
    }

    QTemporaryDir tmp;
    int n = 0;
    std::unique_ptr<LineStoreBuilder> b;
    QSharedPointer<IOSLineDb> db;
};

TEST_F(IOSLineDbLoadTest, OwnerFoundByMidWithoutCaseJoinsRoomsAndGroupChatsOnly)
{
    b->setAccount(kMid, "Me");
    const qint64 owner = b->addUser(LineUserRow("U00OWNERABC").named("Owner Row"));
    const QDateTime created(QDate(2014, 5, 1), QTime(12, 0), Qt::UTC);
    const qint64 alice = b->addUser(
        LineUserRow("uAlice").named("Alice").addressBook("Ali").custom("A").createdAt(created).picture("/pic/a"));
    const qint64 bob = b->addUser(LineUserRow("uBob"));
    b->addChat(LineChatRow("uAlice").withMembers({owner}));            // one-to-one: never the owner
    b->addChat(LineChatRow("rRoom").room().withMembers({alice, owner})); // the owner's join row adds nothing
    b->addChat(LineChatRow("cGroup").groupChat().withMembers({bob}));
    b->addGroup(LineGroupRow("cGroup").named("G").createdBy(alice).withMembers({alice, owner}));
    const LineData data = load();

    ASSERT_TRUE(data.user(owner));
    EXPECT_EQ(data.user(-999), nullptr);
    const _LineUser* a = data.user(alice);
    ASSERT_TRUE(a);
    EXPECT_EQ(QStringList({a->contactName, a->serverName, a->customName, a->picUri}),
              QStringList({"Ali", "Alice", "A", "/pic/a"}));
    EXPECT_EQ(a->createTs, created);

    EXPECT_EQ(uids(chatByUid(data, "uAlice")->users), QStringList{"uAlice"});
    EXPECT_EQ(uids(chatByUid(data, "rRoom")->users), (QStringList{"U00OWNERABC", "uAlice"}));
    const _LineChat* gc = chatByUid(data, "cGroup");
    EXPECT_EQ(gc->type, LineChatType::GROUP);
    ASSERT_TRUE(gc->group);
    EXPECT_EQ(gc->group->creator, a);
    EXPECT_EQ(uids(gc->group->members), (QStringList{"U00OWNERABC", "uAlice"}));
    // The chat's users end as the union of its own and its group's members.
    EXPECT_EQ(uids(gc->users), (QStringList{"U00OWNERABC", "uAlice", "uBob"}));
}

TEST_F(IOSLineDbLoadTest, MadeUpOwnerWhenTheStoreHasNoRowForTheAccount)
{
    for (const QString& name : {QString("Me"), QString()}) {
        SCOPED_TRACE(name.toStdString());
        fresh().setAccount(kMid, name).addChat(LineChatRow("rRoom").room());
        const LineData data = load();
        _LineUser* me = data.user(-999);
        ASSERT_TRUE(me);
        EXPECT_EQ(me->id, -999);
        EXPECT_EQ(me->uid, kMid);
        EXPECT_EQ(me->contactName, name);
        EXPECT_EQ(me->serverName, name.isEmpty() ? QString("Keep") : name);
        EXPECT_TRUE(data.chats().first()->users.contains(me));
    }
}

TEST_F(IOSLineDbLoadTest, WithoutAccountMidThereIsNoOwner)
{
    b->setAccount(QString());
    const qint64 blank = b->addUser(LineUserRow(QString()));
    const qint64 u = b->addUser(LineUserRow("uA"));
    b->addChat(LineChatRow("rRoom").room().withMembers({u, blank}));
    const LineData data = load();
    EXPECT_EQ(data.user(-999), nullptr);
    // A user without mid is no owner either: its join row counts.
    EXPECT_EQ(uids(chatByUid(data, "rRoom")->users), (QStringList{"", "uA"}));
}

TEST_F(IOSLineDbLoadTest, ChatTypesTimesAndOneToOnePeers)
{
    b->setAccount(kMid);
    b->addUser(LineUserRow("uPeer"));
    const QDateTime updated(QDate(2013, 3, 4), QTime(5, 6, 7), Qt::UTC);
    const qint64 quiet = b->addChat(LineChatRow("uPeer").lastUpdatedAt(updated));
    const qint64 busy = b->addChat(LineChatRow("uNobody").ofType(5).lastUpdatedAt(updated));
    b->addMessage(LineMsgRow(busy, "1").at(1000).text("a"));
    // The newest message counts whatever its type.
    b->addMessage(LineMsgRow(busy, "2").at(1420070400000).ofType(4));
    const LineData data = load();
    const _LineChat* q = data.chat(quiet);
    EXPECT_EQ(q->lastTs, updated);
    EXPECT_EQ(uids(q->users), QStringList{"uPeer"});
    const _LineChat* c = data.chat(busy);
    EXPECT_EQ(c->type, LineChatType::SINGLE);
    EXPECT_TRUE(c->users.isEmpty());
    EXPECT_EQ(c->lastTs, QDateTime(QDate(2015, 1, 1), QTime(0, 0), Qt::UTC));
}

TEST_F(IOSLineDbLoadTest, GroupsWithoutChatKeepTheirOwnMembersAndUnknownCreatorsAreNull)
{
    b->setAccount(kMid);
    const qint64 owner = b->addUser(LineUserRow(kMid));
    const qint64 u = b->addUser(LineUserRow("uA"));
    const qint64 g =
        b->addGroup(LineGroupRow("cLonely").named("Lonely").createdBy(77).withMembers({u, owner}).picture("0h1234"));
    const LineData data = load();
    const _LineGroupInfo* grp = data.group(g);
    ASSERT_TRUE(grp);
    EXPECT_EQ(grp->name, "Lonely");
    EXPECT_EQ(grp->picStatus, "0h1234");
    EXPECT_EQ(grp->creator, nullptr);
    EXPECT_EQ(uids(grp->members), QStringList{"uA"});
}

TEST_F(IOSLineDbLoadTest, StoresWithoutOptionalTablesAndColumnsLoad)
{
    b->setAccount(kMid).withoutTable("ZGROUP").withoutTable("ZCHATMETADATA").withoutColumn("ZCHAT", "ZENABLE");
    const qint64 u = b->addUser(LineUserRow("uA"));
    b->addChat(LineChatRow("cGroup").groupChat().withMembers({u}));
    b->addChat(LineChatRow("uA").disabled()); // without the column, nothing is disabled
    const LineData data = load();
    EXPECT_EQ(data.chats().size(), 2);
    EXPECT_TRUE(data.groups().isEmpty());
    EXPECT_EQ(chatByUid(data, "cGroup")->group, nullptr);
    EXPECT_EQ(uids(chatByUid(data, "cGroup")->users), (QStringList{kMid, "uA"}));

    // A chat whose flag is NULL is kept; only 0 disables.
    fresh().setAccount(kMid).addChat(LineChatRow("uA").disabled());
    LineChatRow unset("uB");
    unset.enable = QVariant();
    b->addChat(unset);
    const LineData flags = load();
    ASSERT_EQ(flags.chats().size(), 1);
    EXPECT_EQ(flags.chats().first()->uid, "uB");
}

// The group store keeps users of its own; its ZCREATOR and join rows hold
// their keys. Keys are chosen so that reading them as main-store keys would
// give other users.
TEST_F(IOSLineDbLoadTest, GroupStoreLinksUsersByMidIncludingTheCreator)
{
    b->setAccount(kMid);
    b->addUser(LineUserRow(kMid));                    // 1
    b->addUser(LineUserRow("uAlice"));                // 2
    const qint64 bob = b->addUser(LineUserRow("uBob")); // 3
    b->addChat(LineChatRow("cG1").groupChat());
    const qint64 gBob = b->addUnifiedGroupUser("uBob", 2); // 2 is Alice in the main store
    const qint64 gAlice = b->addUnifiedGroupUser("uAlice", 3);
    const qint64 gOwner = b->addUnifiedGroupUser(kMid, 9);
    const qint64 gStranger = b->addUnifiedGroupUser("uStranger", 1); // 1 is the owner's main key
    const qint64 g1 =
        b->addUnifiedGroup(LineGroupRow("cG1").named("One").createdBy(gBob).withMembers({gAlice, gOwner, gStranger}));
    const qint64 g2 = b->addUnifiedGroup(LineGroupRow("cG2").named("Two").createdBy(gStranger).withMembers({gBob}));
    // A ZGROUP row is not read while the group store is open.
    b->addGroup(LineGroupRow("cOld").named("Old"));
    const LineData data = load();
    ASSERT_TRUE(db->groupStore().isOpen());

    EXPECT_EQ(data.groups().size(), 2);
    const _LineGroupInfo* one = data.group(g1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->name, "One");
    EXPECT_EQ(one->creator, data.user(bob));
    EXPECT_EQ(uids(one->members), (QStringList{kMid, "uAlice"}));
    const _LineGroupInfo* two = data.group(g2);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->creator, nullptr);                   // not a user of the main store
    EXPECT_EQ(uids(two->members), QStringList{"uBob"}); // no chat: no owner
    const _LineChat* chat = chatByUid(data, "cG1");
    EXPECT_EQ(chat->group, one);
    EXPECT_EQ(uids(chat->users), (QStringList{kMid, "uAlice"}));
}

TEST_F(IOSLineDbLoadTest, FailingQueryIsReported)
{
    b->setAccount(kMid).withoutTable("ZUSER");
    EXPECT_THROW(load(), std::runtime_error);
}

} // namespace
