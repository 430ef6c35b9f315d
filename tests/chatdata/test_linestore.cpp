// The LINE app's store in a copied container: where it is, the account (and
// the remembered accounts), opening and preparing the copy, its records and
// messages page by page with their media files; writing chats and messages
// into it for a restore, the finishing step, and whole restores read back
// through the product's reader and through the sqlite3 tool. All against
// fixtures written from the formats.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/testenv.h"

#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_restore_p.h"
#include "chatdata/lineaccountdb.h"
#include "chatdata/linedata.h"
#include "foundation/datadir.h"

namespace {

using Account = LineAccountDB::_Account;

const QString kMid = QStringLiteral("u4f1c0a77e2b5d9e3a1c4f6b8d0e2a4c6");
const QByteArray kEmojiStart = QByteArray::fromHex("f4808080f4808081"), kRunEnd = QByteArray::fromHex("f48fbfbf");

// The remembered accounts, "uid:name:tel" sorted.
QString accounts()
{
    QStringList out;
    for (const Account& a : LineAccountDB().accountsThrow())
        out << a.uid + ":" + a.name + ":" + a.tel;
    out.sort();
    return out.join(' ');
}

QString groupLine(const _LineGroupInfo* g)
{
    return g->uid + ":" + (g->creator ? g->creator->uid : "-") + ":" + sortedUids(g->members);
}

class LineStoreTest : public ::testing::Test
{
protected:
    void SetUp() override { fresh(); }

    // A new container of its own; the account is `mid`, named "Me".
    LineStoreBuilder& fresh(const QString& mid = kMid)
    {
        const QString dir = tmp.path() + QStringLiteral("/c%1").arg(++n);
        QDir().mkpath(dir);
        b.reset(new LineStoreBuilder(dir));
        return b->setAccount(mid, "Me");
    }
    // Builds the container (unless built already) and opens its store; with
    // `records` it loads them too.
    IOSLineDb& open(bool records = false, bool build = true)
    {
        if (build)
            b->build();
        db = QSharedPointer<IOSLineDb>::create(QDir(b->containerDir()), QString());
        data = LineData(db, 5000);
        if (records)
            db->loadDataThrow(data);
        else
            db->openCheckThrow();
        return *db;
    }
    IOSLineDb& load(bool build = true) { return open(true, build); }
    QString rows(const QString& sql) { return rowsOf(*db, sql); }
    QString store(const QString& rel) const { return b->absolute(b->storeDir() + rel); }
    // The account's one-to-one chat with "uPeer", who is a user too.
    qint64 withPeer()
    {
        peerKey = b->addUser(LineUserRow("uPeer").named("Peer"));
        return b->addChat(LineChatRow("uPeer"));
    }
    _LineUser* user(const QString& uid, const QString& server = QString())
    {
        users.emplace_back(new _LineUser);
        users.back()->uid = uid;
        users.back()->serverName = server;
        return users.back().get();
    }
    static _LineMsg msg(const QString& uid, _LineChat* chat, const QByteArray& raw = QByteArray())
    {
        _LineMsg m;
        m.uid = uid;
        m.chat = chat;
        m.rawContent = raw;
        return m;
    }
    // Each message as one line: id, type, sender, then what it carries, with
    // paths relative to the container.
    QStringList lines(const QList<_LineMsg>& msgs)
    {
        const QString base = b->containerDir() + "/";
        QStringList out;
        for (const _LineMsg& m : msgs) {
            QStringList f{m.uid, QString::number(m.type)};
            if (m.from)
                f << "from:" + (m.from == data.unknownUser() ? "?" : m.from->uid);
            if (!m.attaPath.isEmpty())
                f << "atta:" + QString(m.attaPath).remove(base + b->storeDir() + "Message Attachments/");
            if (!m.thumbPath.isEmpty())
                f << "thumb:" + QString(m.thumbPath).remove(base).remove(b->storeDir());
            for (const char* k : {"width", "height", "size", "sticker_id", "sticker_package", "sticker_version",
                                  "contact_uid", "contact_name", "file_name", "loc_lat", "loc_lng", "loc_name"})
                if (m.atta.contains(k))
                    f << k + (":" + m.atta.value(k).toString());
            if (!m.text.isEmpty())
                f << "text:" + m.text;
            out << f.join(' ');
        }
        return out;
    }
    QStringList all(_LineChat* c = nullptr) { return lines(db->messagesThrow(data, c, 1, 1000, true)); }

    ScopedDataHome home;
    QTemporaryDir tmp;
    int n = 0;
    std::unique_ptr<LineStoreBuilder> b;
    QSharedPointer<IOSLineDb> db;
    LineData data;
    std::vector<std::unique_ptr<_LineUser>> users;
    qint64 peerKey = 0;
};

// --- reading -----------------------------------------------------------------

TEST_F(LineStoreTest, FindsTheStoreOfEveryLayoutBeforeDecoys)
{
    const QString lib = "Library/Application Support/", priv = lib + "PrivateStore/P_" + kMid + "/";
    const QString docs = "Documents/PrivateStore/P_" + kMid + "/", other = lib + "PrivateStore/a_second/";
    // The store, the folder its media are looked for in, a decoy that must lose.
    const std::array<QString, 3> cases[] = {
        {priv + "Messages/Line.sqlite", priv, lib + "Messages/Line.sqlite"},
        {docs + "talk.sqlite", priv, "Documents/talk.sqlite"},
        {docs + "Messages/Line.sqlite", priv, docs + "Messages/talk.sqlite"},
        {docs + "Messages/talk.sqlite", priv, ""},
        {lib + "Messages/Line.sqlite", lib, "Documents/talk.sqlite"},
        {"Documents/talk.sqlite", lib, ""},
        // Another PrivateStore folder, the first by name without case.
        {other + "Messages/Line.sqlite", other, lib + "PrivateStore/B_first/Messages/Line.sqlite"},
    };
    for (const auto& [rel, folder, decoy] : cases) {
        fresh().setStore(rel, folder).addChat(LineChatRow("uPeer"));
        if (!decoy.isEmpty())
            b->addFile(decoy, "not a store");
        load();
        EXPECT_EQ(db->databasePath() + " " + db->storeFolder(), b->absolute(rel) + " " + folder);
        EXPECT_EQ(data.chats().size(), 1);
    }
    // No store at all: the last candidate, which opening does not create.
    fresh().setStore("", lib);
    EXPECT_THROW(load(), std::runtime_error);
    EXPECT_EQ(db->databaseRelPath(), "Documents/talk.sqlite");
    EXPECT_FALSE(db->isOpen() || QFile::exists(db->databasePath()));
}

TEST_F(LineStoreTest, TheAccountIsRememberedForUserMidsOnlyAndAHostileMidStaysInside)
{
    for (const QString mid : {"U0aa11", "c0cc33"}) {
        fresh(mid).setAccount(mid, "Name", "+81").build();
        EXPECT_EQ(IOSLineDb(QDir(b->containerDir()), QString()).account().uid, mid);
        EXPECT_EQ(accounts().contains(mid + ":Name:+81"), mid.startsWith('U')) << mid.toStdString();
    }
    // A copy of the store sits where "P_u/../../../../outside" would lead.
    fresh("u/../../../../outside").setStore("Library/Application Support/Messages/Line.sqlite", "").build();
    QDir().mkpath(tmp.path() + "/outside/Messages");
    QFile::copy(b->dbPath(), tmp.path() + "/outside/Messages/Line.sqlite");
    QDir().mkpath(b->absolute("Library/Application Support/PrivateStore"));
    const QString found = QFileInfo(IOSLineDb(QDir(b->containerDir()), QString()).databasePath()).canonicalFilePath();
    EXPECT_TRUE(found.startsWith(QFileInfo(b->containerDir()).canonicalFilePath() + "/")) << found.toStdString();
}

TEST_F(LineStoreTest, AStoreReachedThroughALinkLeavingTheContainerIsNeitherOpenedNorChanged)
{
    b->build();
    const QString folder = b->absolute(b->storeDir()).chopped(1), out = tmp.path() + "/out";
    const QString line = out + "/Messages/Line.sqlite";
    ASSERT_TRUE(QDir().rename(folder, out));
    const QByteArray before = testenv::readFile(line);
    // The account's folder leads out, then the store file itself.
    for (const auto& [target, link] : {qMakePair(out, folder), qMakePair(line, folder + "/Messages/Line.sqlite")}) {
        QFile::remove(folder);
        QDir().mkpath(QFileInfo(link).absolutePath());
        ASSERT_TRUE(QFile::link(target, link));
        EXPECT_THROW(IOSLineDb(QDir(b->containerDir()), QString()).openCheckThrow(), std::runtime_error);
        EXPECT_TRUE(testenv::readFile(line) == before); // no index added
    }
}

TEST_F(LineStoreTest, OpeningPurgesChatsDisabledByZeroInOneTransaction)
{
    const qint64 u = b->addUser(LineUserRow("uA"));
    for (const QVariant& flag : {QVariant(0), QVariant(1), QVariant(), QVariant("yes"), QVariant(0.0)}) {
        const qint64 c = b->addChat(LineChatRow("u" + flag.toString()).set("ZENABLE", flag).withMembers({u}));
        b->addMessage(LineMsgRow(c, flag.toString()).at(1).text("m"));
    }
    // A trigger makes the purge fail: none of it stays, the copy is closed.
    b->afterwards("CREATE TRIGGER no_delete BEFORE DELETE ON ZCHAT BEGIN SELECT RAISE(ABORT, 'kept'); END");
    EXPECT_THROW(load(), std::runtime_error);
    EXPECT_FALSE(db->isOpen());
    const QString counts = "select (select count(*) from ZMESSAGE), (select count(*) from Z_1MEMBERS),"
                           " (select count(*) from ZCHATMETADATA)";
    {
        Sqlite3DB raw;
        raw.openThrow(b->dbPath(), 2);
        EXPECT_EQ(rowsOf(raw, counts), "5|5|5");
        EXPECT_EQ(rowsOf(raw, "select count(*) from sqlite_master where name like '\\_vardo%' escape '\\'"), "0");
        raw.executeThrow(Sqlite3Sql("DROP TRIGGER no_delete"));
    }
    // Once the cause is gone, the same object opens and purges; what it kept is what is loaded.
    db->loadDataThrow(data);
    QStringList loaded;
    for (const _LineChat* c : data.chats())
        loaded << c->uid;
    EXPECT_EQ(loaded, QStringList({"u1", "u", "uyes"}));
    EXPECT_EQ(rows(counts), "3|3|3");
    EXPECT_TRUE(db->dbSchema().containsIndex(IOSLineDb::kTimestampIndex));
}

TEST_F(LineStoreTest, OwnerFoundByMidWithoutCaseJoinsRoomsAndGroupChatsAndGroupsComeFromTheGroupStore)
{
    const QString me = kMid.toUpper();
    const qint64 owner = b->addUser(LineUserRow(me));
    const QDateTime created(QDate(2014, 5, 1), QTime(12, 0), Qt::UTC), updated(QDate(2013, 3, 4), QTime(5, 6), Qt::UTC);
    const LineUserRow aliceRow = LineUserRow("uAlice").named("Alice").addressBook("Ali").custom("A").picture("/p");
    const qint64 alice = b->addUser(LineUserRow(aliceRow).createdAt(created));
    const qint64 bob = b->addUser(LineUserRow("uBob"));
    // One-to-one: the peer, never the owner.
    b->addChat(LineChatRow("uAlice").withMembers({owner}).lastUpdatedAt(updated));
    b->addChat(LineChatRow("rRoom").room().withMembers({alice, owner}));
    b->addChat(LineChatRow("cGroup").groupChat().withMembers({bob}));
    b->addGroup(LineGroupRow("cGroup").named("G").createdBy(alice).withMembers({alice, owner}));
    b->addGroup(LineGroupRow("cLonely").createdBy(77).withMembers({bob, owner})); // no chat: no owner
    load();
    const _LineUser* a = data.user(alice);
    EXPECT_EQ(QStringList({a->contactName, a->serverName, a->customName, a->picUri}),
              QStringList({"Ali", "Alice", "A", "/p"}));
    EXPECT_EQ(a->createTs, created);
    QStringList got;
    for (const _LineChat* c : data.chats())
        got << c->uid + ":" + sortedUids(c->users) + ":" + (c->group ? c->group->name : "");
    for (const _LineGroupInfo* g : data.groups())
        got << groupLine(g);
    EXPECT_EQ(got, QStringList({"uAlice:uAlice:", "rRoom:" + me + ",uAlice:", "cGroup:" + me + ",uAlice,uBob:G",
                                "cGroup:uAlice:" + me + ",uAlice", "cLonely:-:uBob"}));
    EXPECT_EQ(data.chat(1)->lastTs, updated);
    EXPECT_EQ(data.user(-999), nullptr);

    // The group store keeps users of its own: linked by mid, never by key.
    fresh().addUser(LineUserRow(kMid));
    b->addUser(LineUserRow("uAlice"));
    b->addUser(LineUserRow("uBob"));
    b->addChat(LineChatRow("cG1").groupChat());
    const qint64 gBob = b->addUnifiedGroupUser("uBob", 2), gAlice = b->addUnifiedGroupUser("uAlice", 3);
    const qint64 gOwner = b->addUnifiedGroupUser(kMid, 9), gStranger = b->addUnifiedGroupUser("uStranger", 1);
    b->addUnifiedGroup(LineGroupRow("cG1").createdBy(gBob).withMembers({gAlice, gOwner, gStranger}));
    b->addUnifiedGroup(LineGroupRow("cG2").createdBy(gStranger).withMembers({gBob}));
    b->addGroup(LineGroupRow("cOld")); // not read beside a group store
    load();
    got.clear();
    for (const _LineGroupInfo* g : data.groups())
        got << groupLine(g);
    EXPECT_EQ(got, QStringList({"cG1:uBob:" + kMid + ",uAlice", "cG2:-:uBob"}));
    EXPECT_EQ(data.chats().value(0)->group, data.groups().value(0));

    // No row for the account: a made-up owner joins the rooms.
    fresh().addChat(LineChatRow("rRoom").room());
    load();
    EXPECT_EQ(sortedUids(data.chats().value(0)->users) + data.user(-999)->serverName, kMid + "Me");
}

TEST_F(LineStoreTest, PagesSplitTheShownMessagesExactlyInBothDirectionsAndFollowChangesOfTheStore)
{
    const qint64 c = withPeer(), other = b->addChat(LineChatRow("rOther").room());
    // Ties in time on purpose: equal times must neither repeat nor vanish across pages.
    for (int i = 0; i < 23; ++i)
        b->addMessage(LineMsgRow(i % 2 ? c : other, QString::number(100 + i)).at(1000 + i / 4).text("m"));
    for (const LineMsgRow& hidden : {LineMsgRow(c, "late").at(4000000000000), LineMsgRow(c, ""),
                                     LineMsgRow(c, QVariant()), LineMsgRow(c, "hidden").ofType(4)})
        b->addMessage(hidden);
    b->addMessage(LineMsgRow(c, "alt").at(3999999999999).ofType(LineContent::TextAlt).withText("alt").from(peerKey));
    b->addMessage(LineMsgRow(c, "altphoto").at(14).ofType(LineContent::PhotoAlt).from(4242));
    load();
    EXPECT_EQ(db->messagesCountThrow(nullptr), 25);
    for (_LineChat* which : {data.chat(c), static_cast<_LineChat*>(nullptr)}) {
        for (bool asc : {true, false}) {
            const QList<_LineMsg> whole = db->messagesThrow(data, which, 1, 1000, asc);
            ASSERT_EQ(whole.size(), db->messagesCountThrow(which));
            QStringList expected;
            for (int i = 0; i < whole.size(); ++i) {
                expected << whole[i].uid;
                EXPECT_TRUE(i == 0 || (asc ? whole[i - 1].ts <= whole[i].ts : whole[i - 1].ts >= whole[i].ts));
            }
            EXPECT_EQ(QSet<QString>(expected.begin(), expected.end()).size(), whole.size());
            // Pages in sequence (continuing after each) and out of order (from the offset).
            for (const QList<int>& order : {QList<int>{1, 2, 3, 4, 5, 6}, QList<int>{5, 3, 1, 6, 4, 2}}) {
                QMap<int, QStringList> byPage;
                for (int page : order)
                    for (const _LineMsg& m : db->messagesThrow(data, which, page, 5, asc))
                        byPage[page] << m.uid;
                QStringList got;
                for (const QStringList& ids : std::as_const(byPage))
                    got += ids;
                EXPECT_EQ(got, expected);
            }
        }
    }
    const QStringList msgs = all(data.chat(c));
    // A sender that is not loaded is unknown, not the owner.
    EXPECT_EQ(msgs.first(), QString("altphoto %1 from:? atta:uPeer/altphoto.jpg thumb:tmp/thumbnails/uPeer/"
                                    "altphoto.thumb.jpg width:0 height:0").arg(LineMsgType::PHOTO));
    const QString text = QString::number(LineMsgType::TEXT);
    EXPECT_EQ(msgs.value(1) + " | " + msgs.last(), "101 " + text + " text:m | alt " + text + " from:uPeer text:alt");
    EXPECT_TRUE(db->messagesThrow(data, nullptr, 0, 5, true).isEmpty());
    // The next page of all chats right after a page of one chat starts where
    // all chats' page does, not after that chat's page.
    const QStringList secondOfAll = lines(db->messagesThrow(data, nullptr, 2, 5, true));
    db->messagesThrow(data, data.chat(c), 1, 5, true);
    EXPECT_EQ(lines(db->messagesThrow(data, nullptr, 2, 5, true)), secondOfAll);

    // A message slipped in before the page border moves the next page.
    ASSERT_EQ(db->messagesThrow(data, nullptr, 1, 3, true).size(), 3);
    db->executeThrow(Sqlite3Sql("insert into ZMESSAGE (Z_PK, ZID, ZCHAT, ZTIMESTAMP, ZCONTENTTYPE)"
                                " values (99, '9', 1, 15, 0)"));
    EXPECT_EQ(db->messagesThrow(data, nullptr, 2, 3, true).value(0).uid, "101");
    // A chat added after loading: counted, read without a record, media in its own folder.
    db->executeThrow(Sqlite3Sql("insert into ZCHAT(Z_PK, ZMID) values(77, 'uLate')"));
    db->executeThrow(Sqlite3Sql("insert into ZMESSAGE(ZCHAT, ZID, ZTIMESTAMP, ZCONTENTTYPE) values(77, 'x', 1, 1)"));
    EXPECT_EQ(data.msgsCountThrow(nullptr), 27);
    const _LineMsg late = data.msgAtThrow(nullptr, 0, true);
    EXPECT_TRUE(late.chat == nullptr);
    EXPECT_TRUE(lines({late})[0].contains("atta:uLate/x.jpg"));
    // The same store object loaded into a second data gives that data's records.
    LineData second(db, 5000);
    db->loadDataThrow(second);
    EXPECT_EQ(db->messagesThrow(second, second.chat(c), 1, 100, true).last().from, second.user(peerKey));
}

TEST_F(LineStoreTest, MediaStickersContactsFilesLocationsAndRawText)
{
    const qint64 c = b->addChat(LineChatRow("uPeer"));
    b->afterwards("INSERT INTO ZSTICKERPACKAGE (Z_PK, Z_ENT, ZPACKAGEID, ZVERSION, ZSTICKERIDSTART, ZSTICKERIDEND)"
                  " VALUES (1, 11, 11537, 4, 52002700, 52002799)");
    const auto sticker = [&](const char* id, int sticker, const QByteArray& meta) {
        return LineMsgRow(c, id).sticker(sticker, 0, 0, true).withMetadata(meta);
    };
    const LineMsgRow rows[] = {
        LineMsgRow(c, "v1").voice(2940),
        LineMsgRow(c, "v2").voice(1),
        LineMsgRow(c, "v3").voice(1),
        LineMsgRow(c, "m1").video(320, 240),
        LineMsgRow(c, "m2").video(320, 240),
        LineMsgRow(c, "s1").sticker(52002734, 11537, 1),
        sticker("s2", 52002710, {}),
        sticker("s3", 52002711, LineMetaArchive::archive({{"STKID", QString("abc")}}, false)),
        sticker("s4", 52002712, LineMetaArchive::archive({{"STKID", 52002799}}, false)),
        sticker("s5", 7, "garbage"),
        LineMsgRow(c, "c1").contact("uFriend", "Tom &amp;amp; &quot;Jerry&quot;"),
        LineMsgRow(c, "f1").file(QString::fromUtf8("café.pdf"), 10),
        LineMsgRow(c, "f2").file(QString::fromUtf8("résumé: v2?.doc"), 10),
        LineMsgRow(c, "l1").location(35.681236, 139.767125, "Tokyo"),
        LineMsgRow(c, "t1").withText("caf\xc3\xa9 \xff!"),
    };
    for (int i = 0; i < int(std::size(rows)); ++i)
        b->addMessage(LineMsgRow(rows[i]).at(i));
    for (const auto& [id, suffix] : {std::pair{"v1", ".m4a"}, {"v2", ".aac"}, {"v2", ".mp4"}, {"m1", ".mov"},
                                     {"m1", ".mp4"}, {"m2", ".mov"}, {"f1", "_cafe%CC%81.pdf"}})
        b->addAttachment("uPeer", id, suffix, "a");
    // Beside the name the app writes (decomposed, e + U+0301, and encoded), the composed one.
    b->addAttachment("uPeer", "f1", QString::fromUtf8("_café.pdf"), "x");
    load();
    const auto t = [](int type) { return " " + QString::number(type) + " "; };
    const QString v = t(LineMsgType::VOICE), m = t(LineMsgType::VIDEO), s = t(LineMsgType::STICKER) + "sticker_id:";
    const QString f = t(LineMsgType::FILE) + "atta:uPeer/f", thumbs = " thumb:tmp/thumbnails/uPeer/";
    // Voice and video take the first suffix that exists; a sticker without
    // id text takes its package from ZLONGITUDE; a file name not there in
    // encoded form is cleaned, whether or not it exists.
    EXPECT_EQ(all(), QStringList({
                         "v1" + v + "atta:uPeer/v1.m4a size:2940",
                         "v2" + v + "atta:uPeer/v2.mp4 size:1",
                         "v3" + v + "size:1",
                         "m1" + m + "atta:uPeer/m1.mp4" + thumbs + "m1.thumb.jpg width:320 height:240",
                         "m2" + m + "atta:uPeer/m2.mov" + thumbs + "m2.thumb.jpg width:320 height:240",
                         "s1" + s + "52002734 sticker_package:11537 sticker_version:1",
                         "s2" + s + "52002710 sticker_package:11537 sticker_version:4",
                         "s3" + s + "52002711 sticker_package:11537 sticker_version:4",
                         "s4" + s + "52002712 sticker_package:11537 sticker_version:4",
                         "s5" + s + "0 sticker_package:0 sticker_version:0",
                         "c1" + t(LineMsgType::CONTACT) + "contact_uid:uFriend contact_name:Tom &amp; \"Jerry\"",
                         "f1" + f + QString::fromUtf8("1_cafe%CC%81.pdf file_name:café.pdf"),
                         "f2" + f + QString::fromUtf8("2_résumé v2.doc file_name:résumé: v2?.doc"),
                         "l1" + t(LineMsgType::LOCATION) + "loc_lat:35.681236 loc_lng:139.767125 loc_name:Tokyo",
                         "t1" + t(LineMsgType::TEXT) + QString::fromUtf8("text:café \xEF\xBF\xBD!"),
                     }));
    // The text's bytes are kept as stored.
    EXPECT_EQ(db->messagesThrow(data, nullptr, 1, 100, true).last().rawContent, QByteArray("caf\xc3\xa9 \xff!"));
    // A store from before sticker packages reads its stickers without one, as s5 above.
    fresh().afterwards("DROP TABLE ZSTICKERPACKAGE");
    b->addMessage(LineMsgRow(b->addChat(LineChatRow("uPeer")), "s2").at(1).sticker(52002710, 0, 0, true));
    load();
    EXPECT_EQ(all(), QStringList({"s2" + s + "0 sticker_package:0 sticker_version:0"}));
}

// Ids are untrusted: one holding "/" or ".." must not lead a media path out
// of the chat's attachment folder, nor the thumbnail writer out of the
// container. Links that lead out of the container, and FIFOs (which block a
// plain open()), planted in a copied container are neither followed nor opened.
TEST_F(LineStoreTest, HostileIdsLinksAndFifosLeadNothingOutOfTheContainer)
{
    // Found without the account.
    fresh().setStore("Library/Application Support/Messages/Line.sqlite", "Library/Application Support/");
    const qint64 c = b->addChat(LineChatRow("uPeer")), other = b->addChat(LineChatRow("uOther"));
    const qint64 fifos = b->addChat(LineChatRow("uFifo")), ids = b->addChat(LineChatRow("uIds"));
    const qint64 evil = b->addChat(LineChatRow("../../../../.."));
    b->addMessage(LineMsgRow(c, "10").at(1).photo(8, 6).thumbnailBlob("blob")); // extracted under tmp/
    b->addMessage(LineMsgRow(c, "11").at(2).photo(8, 6));                       // would remake the thumbnail
    b->addAttachment("uPeer", "11", ".jpg", linePicture(8, 6)).addAttachment("uPeer", "inside", ".jpg", "x");
    b->addMessage(LineMsgRow(c, "12").at(3).voice(5));
    b->addMessage(LineMsgRow(c, "13").at(4).photo(8, 6));     // a link that stays inside is followed
    b->addMessage(LineMsgRow(other, "14").at(5).photo(8, 6)); // its chat's folder leads out
    b->addMessage(LineMsgRow(fifos, "20").at(6).photo(8, 6));
    b->addMessage(LineMsgRow(fifos, "21").at(7).voice(5));
    b->addMessage(LineMsgRow(ids, "../../../../../../outside").at(8).photo(1, 1).thumbnailBlob("T"));
    b->addMessage(LineMsgRow(ids, "../secret").at(9).voice(1));
    b->addMessage(LineMsgRow(evil, "..").at(10).video(1, 1).thumbnailBlob("T"));
    b->addMessage(LineMsgRow(ids, "f").at(11).file("../../../../x", 1));
    b->addFile(b->storeDir() + "Message Attachments/secret.mp4", "s"); // what the raw id would name
    b->build();
    const QString out = tmp.path() + "/out", atta = store("Message Attachments/uPeer/");
    const QString fifo = store("Message Attachments/uFifo/");
    ASSERT_TRUE(testenv::writeFile(out + "/thumbs/14.thumb", "outside") && testenv::writeFile(out + "/precious", "x"));
    const QPair<QString, QString> planted[] = {
        {b->absolute("tmp/thumbnails/uPeer"), out + "/thumbs"},
        {store("Message Thumbnails/uPeer/11.thumb"), out + "/precious"},
        {atta + "12.m4a", out + "/precious"},
        {atta + "13.jpg", atta + "inside.jpg"},
        {store("Message Attachments/uOther"), out},
        {store("Message Thumbnails/uOther"), out + "/thumbs"},
        {b->preferencesPath(), ""},
        {fifo + "20.jpg", ""},
        {store("Message Thumbnails/uFifo/20.thumb"), ""},
        {fifo + "21.m4a", ""},
    };
    for (const auto& [path, target] : planted) {
        QFile::remove(path);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (target.isEmpty())
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            ASSERT_TRUE(QFile::link(target, path));
    }
    load(false);
    const QList<_LineMsg> msgs = db->messagesThrow(data, nullptr, 1, 20, true);
    ASSERT_EQ(msgs.size(), 11);
    EXPECT_EQ(testenv::readFile(out + "/precious"), "x");
    EXPECT_EQ(QDir(out + "/thumbs").entryList(QDir::Files), QStringList{"14.thumb"});
    EXPECT_EQ(msgs[0].thumbPath + msgs[1].thumbPath + msgs[2].attaPath + msgs[4].attaPath + msgs[6].attaPath, "");
    EXPECT_EQ(QStringList({msgs[3].attaPath, msgs[4].thumbPath, msgs[5].thumbPath}),
              QStringList({atta + "13.jpg", b->absolute("tmp/thumbnails/uOther/14.thumb.jpg"),
                           b->absolute("tmp/thumbnails/uFifo/20.thumb.jpg")}));
    for (const _LineMsg& m : msgs.mid(7)) {
        const QString clean = QDir::cleanPath(m.attaPath), base = store("Message Attachments/");
        EXPECT_TRUE(m.attaPath.isEmpty() || (clean.startsWith(base) && clean.mid(base.size()).count('/') == 1))
            << m.attaPath.toStdString();
        const QString thumbs = b->containerDir() + "/tmp/thumbnails/";
        EXPECT_TRUE(m.thumbPath.isEmpty() || QDir::cleanPath(m.thumbPath).startsWith(thumbs))
            << m.thumbPath.toStdString();
        EXPECT_FALSE(m.thumbPath.contains("/../") || (m.uid == "../secret" && !m.attaPath.isEmpty()));
    }
    EXPECT_TRUE(db->account().uid.isEmpty());
}

// What the restore writes in ZCONTENTMETADATA, as Python's plistlib reads it:
// sorted "key=repr(value)", then the class.
TEST(IOSLineMetaData, WrittenArchivesReadByPlistlib)
{
    if (!testenv::haveTool("python3"))
        GTEST_SKIP() << "needs python3";
    _LineUser peer, other;
    _LineChat chat;
    chat.users = {&peer, &other};
    _LineMsg received, sent;
    received.from = &peer;
    received.attaSetFileSize(123456789012LL);
    sent.chat = &chat;
    const QDateTime expire = QDateTime::fromMSecsSinceEpoch(1700000000123LL);
    const QList<QPair<QByteArray, QString>> cases = {
        {IOSLineDb::voiceMetaData(&received), "AUDLEN='123456789012' OBS_POP='b' class='NSMutableDictionary'"},
        {IOSLineDb::voiceMetaData(&sent), "receiverCount=2 class='NSMutableDictionary'"},
        {IOSLineDb::contactInfoMetaData({"uFriend", "A&B <C> \"D\" 'E'"}),
         "displayName=\"A&amp;B &lt;C&gt; &quot;D&quot; 'E'\" mid='uFriend' class='NSMutableDictionary'"},
        {IOSLineDb::stickerMetaData({52002734, -3, 12}),
         "STKID='52002734' STKOPT='' STKPKGID='-3' STKVER='12' class='NSDictionary'"},
        {IOSLineDb::fileMetaData(QString::fromUtf8("報告.pdf"), 0, expire),
         QString::fromUtf8("FILE_EXPIRE_TIMESTAMP='1700000000123' FILE_NAME='報告.pdf' FILE_SIZE='0' OBS_POP='sg-1'"
                           " class='NSDictionary'")},
    };
    QStringList args{"-c", R"PY(
import plistlib, sys
for arg in sys.argv[1:]:
    a = plistlib.loads(bytes.fromhex(arg), fmt=plistlib.FMT_BINARY)
    assert a['$archiver'] == 'NSKeyedArchiver' and a['$version'] == 100000
    o = a['$objects']
    root = o[a['$top']['root'].data]
    pairs = sorted((o[k.data], o[v.data]) for k, v in zip(root['NS.keys'], root['NS.objects']))
    print(' '.join('%s=%r' % p for p in pairs + [('class', o[root['$class'].data]['$classname'])]))
)PY"};
    QStringList want;
    for (const auto& [bytes, line] : cases) {
        args << QString::fromLatin1(bytes.toHex());
        want << line;
    }
    QByteArray out, err;
    ASSERT_EQ(testenv::runTool("python3", args, &out, &err), 0) << err.toStdString();
    EXPECT_EQ(QString::fromUtf8(out).trimmed().split('\n'), want);
}

TEST_F(LineStoreTest, AnAccountSavedAgainReplacesItsValuesAndAFileThatIsNoStoreFailsUntouched)
{
    const QString path = g_dataSaveDir().absoluteFilePath("bk_line_account.db");
    ASSERT_TRUE(testenv::writeFile(path, "")); // an empty file is given the table
    {
        LineAccountDB db;
        db.saveAccountThrow(Account("u1", "A", "111"));
        db.saveAccountThrow(Account("u2", QString::fromUtf8("山田 \xF0\x9F\x98\x80"), ""));
        db.saveAccountThrow(Account("", "nobody", "000"));
    }
    LineAccountDB().saveAccountThrow(Account("u1", "B", "222")); // a later object opens the file anew
    EXPECT_EQ(accounts(), QString::fromUtf8("u1:B:222 u2:山田 \xF0\x9F\x98\x80:"));
    // Another program's database.
    QFile::remove(path);
    {
        Sqlite3DB other;
        other.openThrow(path, 6);
        other.executeThrow("create table something_else(a)");
    }
    const QByteArray before = testenv::readFile(path);
    EXPECT_THROW(accounts(), std::runtime_error);
    EXPECT_THROW(LineAccountDB().saveAccountThrow(Account("u1", "A", "")), std::runtime_error);
    EXPECT_TRUE(LineAccountDB().accounts().isEmpty()); // the plain form logs instead
    EXPECT_EQ(testenv::readFile(path), before);
    // Several first users at once all succeed.
    for (int round = 0; round < 10; ++round) {
        QFile::remove(path);
        std::atomic<int> ready{0}, failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t]() {
                for (++ready; ready.load() < 4;) {
                }
                try {
                    LineAccountDB().saveAccountThrow(Account(QStringLiteral("u%1").arg(t), "n", ""));
                } catch (const std::exception&) {
                    ++failures;
                }
            });
        }
        for (std::thread& th : threads)
            th.join();
        ASSERT_EQ(failures.load(), 0) << "round " << round;
        ASSERT_EQ(accounts(), "u0:n: u1:n: u2:n: u3:n:");
    }
}

// --- writing for a restore ---------------------------------------------------

TEST_F(LineStoreTest, UsersChatsGroupsAndMembersWithCoreDataBookkeeping)
{
    const qint64 single = withPeer();
    // Entity numbers of this store (one that names no table is passed over);
    // columns that older models lack.
    b->afterwards("UPDATE Z_PRIMARYKEY SET Z_ENT = 15 WHERE Z_NAME = 'User'; UPDATE ZUSER SET Z_ENT = 15;"
                  "UPDATE Z_PRIMARYKEY SET Z_ENT = -1 WHERE Z_NAME = 'Chat';"
                  "ALTER TABLE Z_1MEMBERS RENAME Z_12MEMBERS TO Z_15MEMBERS;"
                  "ALTER TABLE Z_4MEMBERS RENAME Z_12MEMBERS1 TO Z_15MEMBERS1;"
                  "ALTER TABLE ZUSER DROP ZE2EECONTENTTYPES; ALTER TABLE ZCHAT DROP ZSORTORDER;"
                  "ALTER TABLE ZGROUP DROP ZFAVORITEORDER;"
                  "insert into ZCHAT(Z_PK, ZMID, ZENABLE) values (7, 'uNull', NULL)");
    IOSLineDb& d = open();
    _LineUser* custom = user("uA", "Server A");
    custom->customName = "Custom Ä";
    custom->picUri = "/os/a";
    custom->contactName = "not carried";
    const qint64 a = d.insertUserThrow(custom);
    d.insertUserThrow(user("uB", "Server B"));
    EXPECT_EQ(d.findUserThrow("uA"), a);
    EXPECT_EQ(d.findUserThrow("UA"), 0);
    EXPECT_EQ(rows("select Z_ENT, Z_OPT, ZISFRIEND, ZNAME, ZCUSTOMNAME, ZSORTABLENAME, ZPICTUREURL, ZADDRESSBOOKNAME"
                   " from ZUSER where Z_PK > 1"),
              "15|2|1|Server A|Custom Ä|custom ä|/os/a|NULL\n15|2|1|Server B|NULL|server b|NULL|NULL");
    // The flag is left alone where there is no such chat; NULL reads as disabled.
    QString flags;
    for (const char* mid : {"uNull", "uPeer", "uMissing"}) {
        bool enabled = qstrcmp(mid, "uPeer") != 0;
        flags += QString::number(d.findChatThrow(mid, enabled) > 0);
        flags += QString::number(enabled);
    }
    EXPECT_EQ(flags, "101101");
    for (int type : {5, int(LineChatType::MULTI), int(LineChatType::GROUP), -1}) {
        _LineChat chat;
        chat.uid = QStringLiteral("chat%1").arg(type);
        chat.type = type;
        d.insertChatThrow(&chat);
    }
    EXPECT_EQ(rows("select ZTYPE || ZMID || Z_OPT || ZENABLE || ifnull(ZLASTMESSAGE, '-') from ZCHAT where Z_PK > 7"),
              "0chat541-\n1chat141-\n2chat241-\n0chat-141-");

    // Members: never the owner (whatever the case of the mid), known users
    // reused, new ones added, a pair written once.
    _LineChat room;
    room.users = {user(kMid.toUpper(), "Owner"), user("uPeer", "Peer"), user("uNew", "New")};
    d.saveChatMembersThrow(single, &room);
    d.saveChatMembersThrow(single, &room);
    // A group's creator gets a row even when it is the owner.
    _LineGroupInfo group;
    group.uid = "cTeam";
    group.name = "Team";
    group.creator = user(kMid, "Me");
    group.members = {group.creator, user("uA", "A")};
    const qint64 g = d.insertGroupInfoThrow(group);
    EXPECT_EQ(d.findGroupInfoThrow("cTeam"), g);
    d.saveGroupMembersThrow(g, &group);
    EXPECT_EQ(rows("select 'chat', j.Z_1CHATS, u.ZMID from Z_1MEMBERS j join ZUSER u on u.Z_PK = j.Z_15MEMBERS"
                   " union all select 'group', j.Z_4GROUPS, u.ZMID from Z_4MEMBERS j"
                   " join ZUSER u on u.Z_PK = j.Z_15MEMBERS1"
                   " union all select 'creator', g.ZNAME || g.Z_ENT, u.ZMID from ZGROUP g"
                   " join ZUSER u on u.Z_PK = g.ZCREATOR order by 1, 3"),
              "chat|1|uNew\nchat|1|uPeer\ncreator|Team4|" + kMid + "\ngroup|1|uA");

    // A store whose first call writes a user or members: the store's own
    // entity numbers, every member kept.
    _LineChat other;
    other.users = {user("uD")};
    _LineGroupInfo more;
    more.members = {user("uE")};
    for (int first = 0; first < 3; ++first) {
        IOSLineDb unopened{QDir(b->containerDir()), QString()};
        if (first == 0)
            unopened.insertUserThrow(user("uC"));
        else if (first == 1)
            unopened.saveChatMembersThrow(single, &other);
        else
            unopened.saveGroupMembersThrow(g, &more);
    }
    EXPECT_EQ(rows("select u.ZMID || u.Z_ENT || ifnull(c.Z_1CHATS, '') || ifnull(m.Z_4GROUPS, '') from ZUSER u"
                   " left join Z_1MEMBERS c on c.Z_15MEMBERS = u.Z_PK left join Z_4MEMBERS m on m.Z_15MEMBERS1 = u.Z_PK"
                   " where u.ZMID in ('uC', 'uD', 'uE') order by 1"),
              "uC15\nuD151\nuE151");
}

TEST_F(LineStoreTest, DuplicatesByIdWithinTheChatDamagedTextRepairedAndUnknownTypesLeftOut)
{
    const QByteArray damaged = "a" + kEmojiStart + "x" + QByteArray::fromHex("efbfbd") + "b";
    const QByteArray repaired = "a" + kEmojiStart + "x" + kRunEnd + "b";
    const qint64 single = withPeer();
    b->addMessage(LineMsgRow(single, "7").at(1).withText(damaged));
    b->addMessage(LineMsgRow(single, "8").at(2).withText("only \xef\xbf\xbd")); // no run: no damage
    const qint64 groupKey = b->addChat(LineChatRow("cTeam").groupChat());
    IOSLineDb& d = open();
    EXPECT_EQ(d.findMsgThrow(single, "7") * 10 + d.findMsgThrow(single, "8"), 12);
    EXPECT_EQ(d.findMsgThrow(groupKey, "7") + d.findMsgThrow(single, "") + d.findMsgThrow(single, "0"), 0);
    _LineChat team;
    team.uid = "cTeam";
    const _LineMsg again = msg("7", &team, "again"), written = msg("9", &team, damaged);
    const _LineMsg broken = msg("10", &team, QByteArray("\xff\xfe\x00z\xc3", 5));
    const qint64 inGroup = d.insertMsgThrow(groupKey, &again);
    EXPECT_EQ(d.findMsgThrow(groupKey, "7"), inGroup);
    d.insertMsgThrow(groupKey, &written); // repaired as it is written
    d.insertMsgThrow(groupKey, &broken);
    for (int type : {8, -1, 100}) { // outside text..location: no row, not even the sender's
        _LineMsg odd = msg("5", &team);
        odd.type = type;
        odd.from = user("uStranger");
        EXPECT_EQ(d.insertMsgThrow(single, &odd), 0);
    }
    const QString fixed = repaired.toHex().toUpper();
    EXPECT_EQ(rows("select ZID, hex(ZTEXT), typeof(ZTEXT) from ZMESSAGE order by Z_PK"),
              "7|" + fixed + "|text\n8|6F6E6C7920EFBFBD|text\n7|616761696E|text\n9|" + fixed
                  + "|text\n10|FFFE007AC3|text");
    EXPECT_EQ(rows("select count(*) from ZUSER"), "1");
}

// A damaged page can hand out a row that passed the query's id test and
// reads without an id (its time is garbage too): the page is an error, not
// messages that a backup would store with a plain success notice.
TEST_F(LineStoreTest, AMessageRowThatReadsWithoutAnIdIsAnErrorNotAMessage)
{
    // Also an id of NUL bytes (a truncated page), which passes the query's
    // test, and one that is no UTF-8.
    const struct { const char* id; bool refused; } cases[] = {
        {"'8'", false}, {"X''", true}, {"zeroblob(0)", true}, {"CAST(X'0000000000' AS TEXT)", true},
        {"CAST(X'38FF' AS TEXT)", true}};
    for (const auto& c : cases) {
        fresh();
        const qint64 single = withPeer();
        b->addMessage(LineMsgRow(single, "7").at(1).text("seven"));
        b->addMessage(LineMsgRow(single, "8").at(2).text("eight"));
        b->afterwards(QString("UPDATE ZMESSAGE SET ZID = %1 WHERE ZID = '8'").arg(c.id));
        load();
        QString error;
        QStringList read;
        try {
            read = all();
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        EXPECT_EQ(error.contains("damaged"), c.refused) << error;
        EXPECT_EQ(read.size(), c.refused ? 0 : 2) << read.join('\n');
    }
}

TEST_F(LineStoreTest, FinishingSummarisesTheNewestShownMessageAndNeverLowersCounters)
{
    const qint64 single = withPeer();
    const qint64 named = b->addUser(LineUserRow("uNamed").named("Server").addressBook("Book"));
    const qint64 server = b->addUser(LineUserRow("uServer").named("Server"));
    const QList<std::pair<int, qint64>> cases = {
        {LineContent::Photo, named},   {LineContent::Photo, server},    {LineContent::Voice, 0},
        {LineContent::Sticker, named}, {LineContent::Contact, 0},       {LineContent::Location, named},
        {LineContent::TextAlt, 0}};
    for (int i = 0; i < cases.size(); ++i) {
        const auto [type, sender] = cases[i];
        const qint64 c = b->addChat(LineChatRow(QStringLiteral("c%1").arg(i)));
        b->addMessage(LineMsgRow(c, "old").at(1000).from(named).text("older"));
        b->addMessage(LineMsgRow(c, QStringLiteral("new%1").arg(i)).at(2000 + i).ofType(type)
                          .withText("hi " + kEmojiStart + "x" + kRunEnd)
                          .set("ZSENDER", sender ? QVariant(sender) : QVariant()));
        // Later, but not shown by the reader: passed over.
        for (const LineMsgRow& hidden : {LineMsgRow(c, "late").at(4000000000000LL).text("late"),
                                         LineMsgRow(c, "hidden").at(3000).ofType(4),
                                         LineMsgRow(c, QVariant()).at(3001).text("no id")})
            b->addMessage(LineMsgRow(hidden).from(named));
    }
    b->addMessage(LineMsgRow(single, "1").at(5000).from(peerKey).text("a"));
    b->addMessage(LineMsgRow(single, "2").at(5000).text("same time, later row"));
    b->addMessage(LineMsgRow(single, "3").at(6000).ofType(106));
    b->afterwards("insert into ZCHAT(Z_PK, ZMID, ZLASTUPDATED, ZLASTMESSAGE) values (90, 'uQuiet', 12.5, 'as it was')");
    IOSLineDb& d = open();
    // Core Data gave out keys that were deleted since; a counter left NULL.
    d.executeThrow(Sqlite3Sql("update Z_PRIMARYKEY set Z_MAX ="
                              " case Z_NAME when 'User' then 900 when 'Message' then NULL else Z_MAX end"));
    // The job's order in its transaction: a duplicate test, its own removal
    // of type 106, then more tests; a row another statement adds is found too.
    d.beginTran();
    const auto has = [&](const char* id) { return QString::number(d.findMsgThrow(single, id) != 0); };
    QString found = has("3");
    d.executeThrow(Sqlite3Sql("delete from ZMESSAGE where ZCONTENTTYPE=106"));
    found += has("3");
    found += has("2"); // the ids are read anew
    d.executeThrow(Sqlite3Sql("insert into ZMESSAGE(Z_PK, ZCHAT, ZID, ZTIMESTAMP, ZCONTENTTYPE)"
                              " values(500, 1, 'other', 0, 4)"));
    EXPECT_EQ(found + has("other"), "1011");
    for (int run = 0; run < 2; ++run) { // running twice changes nothing
        d.updateDbStatThrow();
        EXPECT_EQ(rows("select ZMID, round(ZLASTUPDATED * 1000) + 978307200000, ZLASTRECEIVEDMESSAGEID,"
                       " ZREADUPTOMESSAGEID, ZREADUPTOMESSAGEIDSYNCED, ZLASTMESSAGE from ZCHAT order by Z_PK"),
                  "uPeer|5000.0|NULL|NULL|NULL|same time, later row\n"
                  "c0|2000.0|new0|new0|new0|Book sent you a photo.\n"
                  "c1|2001.0|new1|new1|new1|Server sent you a photo.\n"
                  "c2|2002.0|NULL|NULL|NULL|You sent a voice message.\n"
                  "c3|2003.0|new3|new3|new3|Book sent you a sticker.\n"
                  "c4|2004.0|NULL|NULL|NULL|Contact info sent.\n"
                  "c5|2005.0|new5|new5|new5|Book sent you a location.\n"
                  "c6|2006.0|NULL|NULL|NULL|hi [EMOJI]\n"
                  "uQuiet|978307212500.0|NULL|NULL|NULL|as it was");
        EXPECT_EQ(rows("select Z_NAME, Z_MAX from Z_PRIMARYKEY where Z_NAME in ('Chat', 'Message', 'User')"
                       " order by Z_ENT"),
                  "Chat|90\nMessage|" + rows("select max(Z_PK) from ZMESSAGE") + "\nUser|900");
        EXPECT_EQ(rows("select count(*) from sqlite_master where name like '\\_vardo%' escape '\\'"), "0");
    }
    d.commitTran();
}

// The ids of a chat are read once per restore, the newest-message query
// runs once per chat of the store: both must find their rows through an
// index, whatever indexes the app's store brings along.
TEST_F(LineStoreTest, ChatIdsAndSummaryQueriesUseIndexes)
{
    const qint64 single = withPeer();
    b->afterwards("DROP INDEX ZMESSAGE_ZCHAT_INDEX");
    for (int i = 0; i < 50; ++i)
        b->addMessage(LineMsgRow(single, QString::number(i)).at(i).text("m"));
    IOSLineDb& d = open();
    EXPECT_GT(d.findMsgThrow(single, "1"), 0);
    for (const char* sql : {ioslinedb_restore_p::kChatMsgIdsSql, ioslinedb_restore_p::kNewestMsgSql}) {
        const QString plan = rowsOf(d, Sqlite3Sql(QStringLiteral("EXPLAIN QUERY PLAN ") + sql).addInt64Param(single));
        EXPECT_TRUE(plan.contains(QString("USING INDEX ") + IOSLineDb::kChatTimestampIndex + " (ZCHAT=?"));
        EXPECT_FALSE(plan.contains("TEMP B-TREE")) << plan.toStdString();
    }
}

// --- whole restores ----------------------------------------------------------

// Every message (all a restore must keep), chat and user of the store in
// `container`, one line each, as the reader gives them.
QStringList describe(const QString& container)
{
    auto db = QSharedPointer<IOSLineDb>::create(QDir(container), QString());
    LineData data(db, 5000);
    db->loadDataThrow(data);
    QStringList out;
    for (const _LineMsg& m : db->messagesThrow(data, nullptr, 1, 10000, true)) {
        QStringList atta;
        for (auto v = m.atta.cbegin(); v != m.atta.cend(); ++v)
            atta << v.key() + "=" + v.value().toString();
        atta.sort();
        const QByteArray thumb = m.thumbPath.isEmpty() ? QByteArray() : testenv::readFile(m.thumbPath);
        out << QStringList{m.chat ? m.chat->uid : "-", m.uid, QString::number(m.type),
                           QString::number(m.ts.toMSecsSinceEpoch()), m.from ? m.from->uid : "(owner)",
                           m.rawContent.toHex(), m.text, atta.join(' '),
                           QCryptographicHash::hash(thumb, QCryptographicHash::Md5).toHex()}
                   .join(" | ");
    }
    for (const _LineChat* c : data.chats()) {
        const _LineGroupInfo* g = c->group;
        out << QStringList{c->uid, QString::number(c->type), sortedUids(c->users), g ? g->name + g->picStatus : "-",
                           g ? groupLine(g) : "-"}
                   .join(" | ");
    }
    for (const _LineUser* u : data.users())
        out << QStringList{u->uid, u->serverName, u->customName, u->picUri}.join(" | ");
    return out;
}

class RestoreRoundTripTest : public LineStoreTest
{
protected:
    // Every kind of message, from the owner and from others, in a one-to-one
    // chat, a room and a group chat.
    void SetUp() override
    {
        if (!sqlitecli::available())
            GTEST_SKIP() << "sqlite3 command-line tool missing";
        fresh();
        const qint64 alice = b->addUser(LineUserRow("uAlice").named("Alice").addressBook("Ali"));
        const qint64 bob = b->addUser(LineUserRow("uBob").named("Bob").custom("Bobby").picture("/p/bob"));
        const qint64 carol = b->addUser(LineUserRow("uCarol").named("Carol"));
        const qint64 single = b->addChat(LineChatRow("uAlice"));
        const qint64 room = b->addChat(LineChatRow("rRoom").room().withMembers({alice, bob}));
        const qint64 group = b->addChat(LineChatRow("cTeam").groupChat().withMembers({bob}));
        b->addGroup(LineGroupRow("cTeam").named("Team").picture("p1").createdBy(bob).withMembers({alice, bob, carol}));
        const LineMsgRow rows[] = {
            LineMsgRow(single, "1001").from(alice).text("hello"),
            LineMsgRow(single, "1002").withText("\xff\xfe broken \xc3" + kEmojiStart + kRunEnd),
            LineMsgRow(single, "1003").from(alice).photo(640, 480).thumbnailBlob(linePicture(64, 48)),
            LineMsgRow(single, "1004").video(1280, 720).thumbnailBlob(linePicture(32, 18)),
            LineMsgRow(single, "1005").from(alice).voice(4900),
            LineMsgRow(room, "2001").from(bob).sticker(52002734, 11537, 1),
            LineMsgRow(room, "2002").contact("uDave", "Dave &amp; &lt;Co&gt;"),
            LineMsgRow(room, "2003").from(alice).location(35.6586, 139.7454, "Tokyo Tower"),
            LineMsgRow(room, "2004").ofType(4).from(bob), // never read
            LineMsgRow(group, "3001").from(carol).file("report.pdf", 3),
            LineMsgRow(group, "3002").voice(2450),
            LineMsgRow(group, "3003").from(bob).photo(100, 200).thumbnailBlob(linePicture(20, 40)),
        };
        for (int i = 0; i < int(std::size(rows)); ++i)
            b->addMessage(LineMsgRow(rows[i]).at(1420070400000LL + i * 1000));
        b->addAttachment("uAlice", "1003", ".jpg", linePicture(640, 480));
        b->addAttachment("cTeam", "3001", "_report.pdf", "pdf");
        load();
        want = describe(b->containerDir());
        source = db->messagesThrow(data, nullptr, 1, 1000, true);
        sourceData = data; // the records the messages point to
        ASSERT_EQ(source.size(), 11);
    }
    // The restore job's sequence: open, one transaction, finish, commit.
    QString restoreInto(IOSLineDb& target)
    {
        target.beginTran();
        const LineRestoreTally t = restoreLineMessagesThrow(target, source);
        target.updateDbStatThrow();
        target.commitTran();
        return QString("%1 %2 %3 %4 %5").arg(t.chatsAdded).arg(t.chatsEnabled).arg(t.groupsAdded).arg(t.messagesAdded)
            .arg(t.messagesSkipped);
    }

    QStringList want;
    QList<_LineMsg> source;
    LineData sourceData;
};

TEST_F(RestoreRoundTripTest, EveryMessageReachesAnEmptyOrPartlyOverlappingStoreOnceAsAnyReaderSeesIt)
{
    fresh();
    EXPECT_EQ(restoreInto(open()), "3 0 1 11 0");
    const QString empty = b->containerDir(), emptyDb = b->dbPath();
    // Other keys than the source's, so that nothing matches by accident.
    fresh().addUser(LineUserRow("uZed").named("Zed"));
    const qint64 alice = b->addUser(LineUserRow("uAlice").named("Alice"));
    const qint64 zedChat = b->addChat(LineChatRow("uZed"));
    const qint64 single = b->addChat(LineChatRow("uAlice").set("ZENABLE", QVariant())); // switched on again
    b->addMessage(LineMsgRow(single, "1001").at(1420070400000).from(alice).text("hello")); // there already
    b->addMessage(LineMsgRow(zedChat, "2001").at(1).text("unrelated"));                    // another chat's id
    EXPECT_EQ(restoreInto(open()), "2 1 1 10 1");
    EXPECT_EQ(restoreInto(open(false, false)), "0 0 0 0 11"); // a second run
    for (const auto& [container, dbPath] : {qMakePair(empty, emptyDb), qMakePair(b->containerDir(), b->dbPath())}) {
        const QStringList got = describe(container);
        for (const QString& line : want)
            EXPECT_TRUE(got.contains(line)) << line.toStdString();
        EXPECT_EQ(lineStoreProblemsThrow(dbPath), QStringList());
    }
    // The columns the reader does not look at, as the sqlite3 tool lists them:
    // sender, Z_OPT, read count, content type, the notice or own voice path
    // (relative: there is no device home), whether there is a thumbnail.
    const QString voicePath = "Library/Application Support/PrivateStore/P_" + kMid + "/Message Attachments/cTeam/";
    EXPECT_EQ(sqlitecli::textThrow(emptyDb, "select m.ZID, ifnull(u.ZMID, '-'), m.Z_OPT, m.ZREADCOUNT,"
                                            " m.ZCONTENTTYPE, quote(m.ZTEXT), m.ZTHUMBNAIL is not null"
                                            " from ZMESSAGE m left join ZUSER u on m.ZSENDER = u.Z_PK"
                                            " where m.ZCONTENTTYPE <> 0 order by m.ZTIMESTAMP"),
              "1003|uAlice|1|1|1|NULL|1\n"
              "1004|-|3|1|2|'You sent a video.'|1\n"
              "1005|uAlice|1|1|3|'Ali sent you a voice message.'|0\n"
              "2001|uBob|1|3|7|''|0\n"
              "2002|-|3|3|13|''|0\n"
              "2003|uAlice|1|3|100|'Tokyo Tower'|0\n"
              "3001|uCarol|1|4|14|NULL|0\n"
              "3002|-|3|4|3|'" + voicePath + "3002.mp4'|0\n"
              "3003|uBob|1|4|1|'Bobby sent you a photo.'|1");
    // With the app's companion group store, or without a ZGROUP table, the
    // store keeps no groups of its own: none are written, the chats still are;
    // the group counter stays 0, a number.
    for (bool groupStore : {true, false}) {
        if (groupStore)
            fresh().withGroupStore();
        else
            fresh().afterwards("DROP TABLE ZGROUP");
        EXPECT_EQ(restoreInto(open()), "3 0 0 11 0") << groupStore;
        EXPECT_EQ(rows("select (select count(*) from Z_4MEMBERS), (select Z_MAX from Z_PRIMARYKEY where Z_NAME='Group')"),
                  "0|0");
    }
}

// The job abandons its transaction when anything fails; closing the store
// then must give back exactly the store it opened, in either journal mode.
TEST_F(RestoreRoundTripTest, FailureHalfwayLeavesTheStoreAsItWas)
{
    for (const char* mode : {"delete", "wal"}) {
        for (const char* trigger : {"BEFORE INSERT ON ZMESSAGE WHEN new.ZID='3002'",
                                    "BEFORE UPDATE ON ZCHAT WHEN new.ZMID='cTeam'"}) {
            SCOPED_TRACE(std::string(mode) + trigger);
            const qint64 alice = fresh().addUser(LineUserRow("uAlice"));
            b->addMessage(LineMsgRow(b->addChat(LineChatRow("uAlice")), "9").at(1).from(alice).text("kept"));
            b->afterwards(QStringLiteral("CREATE TRIGGER boom %1 BEGIN SELECT RAISE(ABORT, 'disk'); END").arg(trigger));
            b->build();
            {
                Sqlite3DB raw;
                raw.openThrow(b->dbPath(), 2);
                raw.queryThrow(QStringLiteral("PRAGMA journal_mode=%1").arg(mode)).moveNext();
            }
            IOSLineDb& target = open(false, false); // its own preparation is committed by itself
            const QByteArray bytesBefore = testenv::readFile(b->dbPath());
            const QString dumpBefore = sqlitecli::textThrow(b->dbPath(), ".dump");
            EXPECT_THROW(restoreInto(target), std::runtime_error);
            EXPECT_TRUE(target.inTransaction());
            target.close();
            EXPECT_FALSE(QFile::exists(b->dbPath() + "-journal"));
            EXPECT_TRUE(QByteArray(mode) == "wal" || testenv::readFile(b->dbPath()) == bytesBefore);
            EXPECT_EQ(sqlitecli::textThrow(b->dbPath(), ".dump"), dumpBefore);
            EXPECT_EQ(lineStoreProblemsThrow(b->dbPath()), QStringList());
        }
    }
}

} // namespace
