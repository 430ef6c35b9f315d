// Restoring the messages of one LINE store into another and reading them
// back: through the product's reader, and through the sqlite3 tool as any
// other reader of the store would see it. A restore that fails halfway must
// leave the store as it was.
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "foundation/sqlite3db.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSharedPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>

namespace {

const QString kOwner = QStringLiteral("u0wner0000000000000000000000001");
const qint64 kT0 = 1420070400000LL; // 2015-01-01

QByteArray jpeg(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG");
    return bytes;
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString uids(const QSet<_LineUser*>& users)
{
    QStringList list;
    for (const _LineUser* u : users)
        list << u->uid;
    list.sort();
    return list.join(',');
}

// Everything a message carries that a restore must keep, as one line.
QString describe(const _LineMsg& m)
{
    const _LineStickerInfo st = m.attaSticker();
    const LineContactInfo ct = m.attaContact();
    const _LineLocationInfo loc = m.attaLocation();
    const QByteArray thumb = m.thumbPath.isEmpty() ? QByteArray() : fileBytes(m.thumbPath);
    return QStringList{m.chat ? m.chat->uid : "-", m.uid, QString::number(m.type),
                       QString::number(m.ts.toMSecsSinceEpoch()), m.from ? m.from->uid : "(owner)",
                       QString::fromLatin1(m.rawContent.toHex()), m.text,
                       QStringLiteral("%1x%2 %3").arg(m.attaWidth()).arg(m.attaHeight()).arg(m.attaFileSize()),
                       QStringLiteral("%1/%2/%3").arg(st.id).arg(st.package).arg(st.version), ct.uid, ct.name,
                       m.attaFileName(), QStringLiteral("%1,%2 %3").arg(loc.lat, 0, 'g', 17).arg(loc.lng, 0, 'g', 17).arg(loc.name),
                       QString::fromLatin1(QCryptographicHash::hash(thumb, QCryptographicHash::Md5).toHex())}
        .join(" | ");
}

struct Opened
{
    QSharedPointer<IOSLineDb> db;
    LineData data;
    QList<_LineMsg> msgs;
};

Opened openAndRead(const QString& container)
{
    Opened o;
    o.db = QSharedPointer<IOSLineDb>::create(QDir(container), QString());
    o.data = LineData(o.db.staticCast<AbsLineDb>(), 5000);
    o.db->loadDataThrow(o.data);
    o.msgs = o.db->messagesThrow(o.data, nullptr, 1, 10000, true);
    return o;
}

class RestoreRoundTripTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        if (!sqlitecli::available())
            GTEST_SKIP() << "sqlite3 command-line tool missing";
        buildSource();
    }

    QString dir(const QString& name)
    {
        const QString d = tmp.path() + '/' + name;
        QDir().mkpath(d);
        return d;
    }

    // Every kind of message, from the owner and from others, in a one-to-one
    // chat, a room and a group chat.
    void buildSource()
    {
        LineStoreBuilder b(dir("source"));
        b.setAccount(kOwner, "Me");
        const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice").addressBook("Ali"));
        const qint64 bob = b.addUser(LineUserRow("uBob").named("Bob").custom("Bobby").picture("/p/bob"));
        const qint64 carol = b.addUser(LineUserRow("uCarol").named("Carol"));
        const qint64 single = b.addChat(LineChatRow("uAlice"));
        const qint64 room = b.addChat(LineChatRow("rRoom").room().withMembers({alice, bob}));
        const qint64 group = b.addChat(LineChatRow("cTeam").groupChat().withMembers({bob}));
        b.addGroup(LineGroupRow("cTeam").named("Team").picture("p1").createdBy(bob).withMembers({alice, bob, carol}));

        const QByteArray emoji = QByteArray::fromHex("f4808080f4808081f4808082f48fbfbf");
        qint64 t = kT0;
        b.addMessage(LineMsgRow(single, "1001").at(t += 1000).from(alice).text("hello"));
        b.addMessage(LineMsgRow(single, "1002").at(t += 1000).withText("\xff\xfe broken \xc3" + emoji));
        b.addMessage(LineMsgRow(single, "1003").at(t += 1000).from(alice).photo(640, 480).thumbnailBlob(jpeg(64, 48)));
        b.addAttachment("uAlice", "1003", ".jpg", jpeg(640, 480));
        b.addMessage(LineMsgRow(single, "1004").at(t += 1000).video(1280, 720).thumbnailBlob(jpeg(32, 18)));
        b.addMessage(LineMsgRow(single, "1005").at(t += 1000).from(alice).voice(4900));
        b.addMessage(LineMsgRow(room, "2001").at(t += 1000).from(bob).sticker(52002734, 11537, 1));
        b.addMessage(LineMsgRow(room, "2002").at(t += 1000).contact("uDave", "Dave"));
        b.addMessage(LineMsgRow(room, "2003").at(t += 1000).from(alice).location(35.6586, 139.7454, "Tokyo Tower"));
        b.addMessage(LineMsgRow(room, "2004").at(t += 1000).ofType(4).from(bob)); // never read
        b.addMessage(LineMsgRow(group, "3001").at(t += 1000).from(carol).file("report.pdf", 3));
        b.addAttachment("cTeam", "3001", "_report.pdf", "pdf");
        b.addMessage(LineMsgRow(group, "3002").at(t += 1000).voice(2450).withMetadata(LineMetaArchive::voiceSent(3)));
        b.addMessage(LineMsgRow(group, "3003").at(t += 1000).from(bob).text("see you"));
        b.addMessage(LineMsgRow(group, "3004").at(t += 1000).from(carol).photo(100, 200).thumbnailBlob(jpeg(20, 40)));
        b.build();
        source = openAndRead(b.containerDir());
        ASSERT_EQ(source.msgs.size(), 12);
    }

    // The restore job's sequence: open, one transaction, finish, commit.
    LineRestoreTally restoreInto(const QString& container)
    {
        IOSLineDb target{QDir(container), QString()};
        target.openCheckThrow();
        target.beginTran();
        const LineRestoreTally tally = restoreLineMessagesThrow(target, source.msgs);
        target.updateDbStatThrow();
        target.commitTran();
        return tally;
    }

    // The restored store read back holds every source message, chat (with
    // its users and group) and user as they were.
    void expectSameAsSource(const Opened& back)
    {
        const auto lines = [](const Opened& o) {
            QStringList out;
            for (const _LineMsg& m : o.msgs)
                out << describe(m);
            for (const _LineChat* c : o.data.chats()) {
                const _LineGroupInfo* g = c->group;
                out << QStringList{c->uid, QString::number(c->type), uids(c->users), g ? g->name : "-",
                                   g ? g->picStatus : "-", g && g->creator ? g->creator->uid : "-",
                                   g ? uids(g->members) : "-"}
                           .join(" | ");
            }
            for (const _LineUser* u : o.data.users())
                out << QStringList{u->uid, u->serverName, u->customName, u->picUri}.join(" | ");
            return out;
        };
        const QStringList got = lines(back);
        for (const QString& want : lines(source))
            EXPECT_TRUE(got.contains(want)) << want.toStdString();
    }

    // What the sqlite3 tool lists: every restored message with its sender
    // and time, in time order.
    void expectThirdPartyView(const QString& dbPath)
    {
        const QList<QVariantMap> rows = sqlitecli::rowsThrow(
            dbPath, "select ZMESSAGE.ZID as id, ZMESSAGE.ZTIMESTAMP as ts, ZUSER.ZMID as sender"
                    " from ZMESSAGE left join ZUSER on ZSENDER = ZUSER.Z_PK order by ZTIMESTAMP");
        QStringList listed;
        qint64 last = 0;
        for (const QVariantMap& r : rows) {
            EXPECT_GE(r.value("ts").toLongLong(), last);
            last = r.value("ts").toLongLong();
            listed << QStringLiteral("%1 %2 %3").arg(r.value("id").toString(), r.value("ts").toString(),
                                                     r.value("sender").isNull() ? "-" : r.value("sender").toString());
        }
        for (const _LineMsg& m : source.msgs) {
            const QString want = QStringLiteral("%1 %2 %3").arg(m.uid).arg(m.ts.toMSecsSinceEpoch()).arg(m.from ? m.from->uid : "-");
            EXPECT_EQ(listed.count(want), 1) << want.toStdString();
        }
        EXPECT_EQ(lineStoreProblemsThrow(dbPath), QStringList());
    }

    QTemporaryDir tmp;
    Opened source;
};

TEST_F(RestoreRoundTripTest, EveryMessageReachesAnEmptyStore)
{
    LineStoreBuilder b(dir("empty"));
    b.setAccount(kOwner, "Me");
    b.build();
    const LineRestoreTally tally = restoreInto(b.containerDir());
    EXPECT_EQ(std::tie(tally.chatsAdded, tally.groupsAdded, tally.messagesAdded, tally.messagesSkipped),
              std::make_tuple(3, 1, 12, 0));
    expectSameAsSource(openAndRead(b.containerDir()));
    expectThirdPartyView(b.dbPath());
}

TEST_F(RestoreRoundTripTest, PartlyOverlappingStoreGetsOnlyWhatItLacks)
{
    LineStoreBuilder b(dir("overlap"));
    b.setAccount(kOwner, "Me");
    // Other keys than the source's, so that nothing matches by accident.
    b.addUser(LineUserRow("uZed").named("Zed"));
    const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice"));
    const qint64 zedChat = b.addChat(LineChatRow("uZed"));
    const qint64 single = b.addChat(LineChatRow("uAlice").lastUpdatedAt(QDateTime::fromMSecsSinceEpoch(kT0)));
    // Already there: the first message of the one-to-one chat...
    b.addMessage(LineMsgRow(single, "1001").at(kT0 + 1000).from(alice).text("hello"));
    // ...and the room's first message id, but in another chat.
    b.addMessage(LineMsgRow(zedChat, "2001").at(kT0).text("unrelated"));
    b.build();
    const LineRestoreTally first = restoreInto(b.containerDir());
    EXPECT_EQ(std::tie(first.chatsAdded, first.messagesAdded, first.messagesSkipped), std::make_tuple(2, 11, 1));
    const Opened back = openAndRead(b.containerDir());
    EXPECT_EQ(back.msgs.size(), 13);
    expectSameAsSource(back);
    expectThirdPartyView(b.dbPath());
    // Restoring the same messages again adds nothing.
    const LineRestoreTally again = restoreInto(b.containerDir());
    EXPECT_EQ(std::tie(again.chatsAdded, again.messagesAdded, again.messagesSkipped), std::make_tuple(0, 0, 12));
    EXPECT_EQ(lineStoreProblemsThrow(b.dbPath()), QStringList());
}

// The job abandons its transaction when anything fails; closing the store
// then must give back exactly the store it opened, in either journal mode.
TEST_F(RestoreRoundTripTest, FailureHalfwayLeavesTheStoreAsItWas)
{
    const QList<QPair<const char*, const char*>> cases = {
        {"delete", "message"}, {"wal", "message"}, {"delete", "finish"}, {"wal", "finish"}};
    for (const auto& [mode, failAt] : cases) {
        const bool inFinish = QByteArray(failAt) == "finish";
        SCOPED_TRACE(QStringLiteral("%1 %2").arg(mode, failAt).toStdString());
        LineStoreBuilder b(dir(QStringLiteral("fail-%1-%2").arg(mode, failAt)));
        b.setAccount(kOwner, "Me");
        const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice"));
        const qint64 single = b.addChat(LineChatRow("uAlice"));
        b.addMessage(LineMsgRow(single, "9").at(kT0).from(alice).text("kept"));
        b.build();
        {
            // Either the group chat's third message cannot be written
            // (chats, users, the group and earlier messages are in by then)
            // or the group chat's summary cannot (everything is in, and the
            // finishing step has made and dropped indexes).
            Sqlite3DB raw;
            raw.openThrow(b.dbPath(), 2);
            QString err;
            ASSERT_EQ(raw.exec(QStringLiteral("PRAGMA journal_mode=%1").arg(mode), err), 0) << err.toStdString();
            raw.executeThrow(Sqlite3Sql(inFinish ? "CREATE TRIGGER boom BEFORE UPDATE ON ZCHAT WHEN new.ZMID='cTeam'"
                                                   " BEGIN SELECT RAISE(ABORT, 'disk trouble'); END"
                                                 : "CREATE TRIGGER boom BEFORE INSERT ON ZMESSAGE WHEN new.ZID='3003'"
                                                   " BEGIN SELECT RAISE(ABORT, 'disk trouble'); END"));
        }
        QByteArray bytesBefore;
        QString dumpBefore;
        {
            IOSLineDb target(QDir(b.containerDir()), QString());
            target.openCheckThrow(); // its own preparation is committed by itself
            bytesBefore = fileBytes(b.dbPath());
            dumpBefore = sqlitecli::textThrow(b.dbPath(), ".dump");
            target.beginTran();
            EXPECT_THROW(
                {
                    restoreLineMessagesThrow(target, source.msgs);
                    target.updateDbStatThrow();
                },
                std::runtime_error);
            EXPECT_TRUE(target.inTransaction());
        }
        EXPECT_FALSE(QFile::exists(b.dbPath() + "-journal"));
        if (QByteArray(mode) == "delete")
            EXPECT_TRUE(fileBytes(b.dbPath()) == bytesBefore);
        EXPECT_EQ(sqlitecli::textThrow(b.dbPath(), ".dump"), dumpBefore);
        EXPECT_EQ(lineStoreProblemsThrow(b.dbPath()), QStringList());
    }
}

} // namespace
