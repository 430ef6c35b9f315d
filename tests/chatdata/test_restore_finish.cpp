// A restore as the job runs it (the removal of content type 106 first, then
// duplicate tests and inserts, then the finishing step) must leave every chat
// summarised exactly as recomputing all of them from scratch would.
#include "chatdata/ioslinedb.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class RestoreFinishTest : public ::testing::Test
{
protected:
    // The same store in its own folder, every chat's summary set to `stale`
    // first, as the app (or anything) may have left it; then the job's order
    // of work and a row another statement adds. Gives the duplicate tests'
    // answers and the chats' summaries.
    QStringList restored(const QString& name, const QString& stale)
    {
        QDir().mkpath(tmp.path() + '/' + name);
        LineStoreBuilder b(tmp.path() + '/' + name);
        b.setAccount("u0wner", "Me");
        const qint64 peer = b.addUser(LineUserRow("uPeer").named("Peer"));
        const QList<qint64> chats = {b.addChat(LineChatRow("uPeer")), b.addChat(LineChatRow("uQuiet")),
                                     b.addChat(LineChatRow("uGone")), b.addChat(LineChatRow("cStill").groupChat())};
        // Restored into, its newest row removed by the job; untouched, newest
        // row removed; untouched, every row removed; untouched and whole.
        b.addMessage(LineMsgRow(chats[0], "old").at(1000).from(peer).text("older"));
        b.addMessage(LineMsgRow(chats[0], "again").at(9000).ofType(106));
        b.addMessage(LineMsgRow(chats[1], "q1").at(2000).photo(1, 1));
        b.addMessage(LineMsgRow(chats[1], "q2").at(8000).from(peer).ofType(106));
        b.addMessage(LineMsgRow(chats[2], "g1").at(3000).ofType(106));
        b.addMessage(LineMsgRow(chats[3], "s1").at(4000).from(peer).sticker(1, 2, 3));
        b.addMessage(LineMsgRow(chats[3], "s2").at(4000).text("same time, later key"));
        b.build();
        IOSLineDb d(QDir(b.containerDir()), QString());
        d.openCheckThrow();
        Sqlite3Sql reset("update ZCHAT set ZLASTUPDATED=1, ZLASTRECEIVEDMESSAGEID=?, ZREADUPTOMESSAGEID=?,"
                         " ZREADUPTOMESSAGEIDSYNCED=?, ZLASTMESSAGE=?");
        d.executeThrow(reset.addTextParam(stale).addTextParam(stale).addTextParam(stale).addTextParam(stale));

        _LineChat chat;
        chat.uid = "uPeer";
        _LineMsg m;
        m.uid = "again";
        m.chat = &chat;
        m.ts = QDateTime::fromMSecsSinceEpoch(5000);
        m.rawContent = "restored";
        QStringList out;
        d.beginTran();
        out << QString::number(d.findMsgThrow(1, "again") != 0); // read before the job removes it
        d.executeThrow(Sqlite3Sql("delete from ZMESSAGE where ZCONTENTTYPE=106"));
        out << QString::number(d.findMsgThrow(1, "again") != 0);
        d.insertMsgThrow(1, &m);
        out << QString::number(d.findMsgThrow(1, "again") != 0);
        d.executeThrow(Sqlite3Sql("insert into ZMESSAGE(ZCHAT, ZID, ZTIMESTAMP, ZCONTENTTYPE) values(1, 'other', 0, 4)"));
        out << QString::number(d.findMsgThrow(1, "other") != 0);
        d.updateDbStatThrow();
        d.commitTran();
        Sqlite3Cursor cur = d.queryThrow(Sqlite3Sql(
            "select ZMID || ': ' || quote(ZLASTUPDATED) || ' ' || quote(ZLASTRECEIVEDMESSAGEID) || ' '"
            " || quote(ZREADUPTOMESSAGEID) || ' ' || quote(ZREADUPTOMESSAGEIDSYNCED) || ' ' || quote(ZLASTMESSAGE)"
            " from ZCHAT order by Z_PK"));
        while (cur.moveNext())
            out << cur.getText(0);
        return out;
    }

    QTemporaryDir tmp;
};

TEST_F(RestoreFinishTest, EveryChatEndsAsAFullRecomputationWouldLeaveIt)
{
    // Whatever the chats held before, those with a message the app shows are
    // summarised anew; the chat left without messages keeps what it had.
    const QStringList expected = {"1", "0", "1", "1", "uPeer: -978307195 NULL NULL NULL 'restored'",
                                  "uQuiet: -978307198 NULL NULL NULL 'You sent a photo.'",
                                  "uGone: 1 '%1' '%1' '%1' '%1'",
                                  "cStill: -978307196 NULL NULL NULL 'same time, later key'"};
    for (const QString& stale : {QString::fromUtf8("写真を送信しました"), QString()})
        EXPECT_EQ(restored(stale.isEmpty() ? "blank" : "left", stale), QStringList(expected).replaceInStrings("%1", stale));
}

} // namespace
