// Reading a copied LINE container: where its store is, the account, opening
// and preparing the copy, its records, and messages page by page with their
// media files, against fixtures written from the formats.
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString kMid = QStringLiteral("u4f1c0a77e2b5d9e3a1c4f6b8d0e2a4c6");

class IOSLineDbReadTest : public ::testing::Test
{
protected:
    void SetUp() override { fresh(); }

    LineStoreBuilder& fresh(const QString& mid = kMid)
    {
        const QString dir = tmp.path() + QStringLiteral("/c%1").arg(++n);
        QDir().mkpath(dir);
        b.reset(new LineStoreBuilder(dir));
        return b->setAccount(mid, "Me");
    }
    // Builds the container, reads it and loads its records.
    IOSLineDb& load(bool build = true)
    {
        if (build)
            b->build();
        db = QSharedPointer<IOSLineDb>::create(QDir(b->containerDir()), QString());
        data = LineData(db, 5000);
        db->loadDataThrow(data);
        return *db;
    }
    QString count(const QString& from)
    {
        Sqlite3Cursor cur = db->queryThrow(Sqlite3Sql("select count(*) from " + from));
        return cur.moveNext() ? cur.getText(0) : "-";
    }
    QString store(const QString& rel) const { return b->absolute(b->storeDir() + rel); }
    // Each message as one line: id, type, sender, then what it carries, with
    // paths relative to the container.
    QStringList lines(const QList<_LineMsg>& msgs)
    {
        QStringList out;
        for (const _LineMsg& m : msgs) {
            QStringList f{m.uid, QString::number(m.type)};
            const auto rel = [&](const QString& p) { return p.startsWith(b->containerDir()) ? p.mid(b->containerDir().size() + 1) : p; };
            if (m.from)
                f << "from:" + (m.from == data.unknownUser() ? "?" : m.from->uid);
            if (!m.attaPath.isEmpty())
                f << "atta:" + rel(m.attaPath).remove(b->storeDir() + "Message Attachments/");
            if (!m.thumbPath.isEmpty())
                f << "thumb:" + rel(m.thumbPath).remove(b->storeDir());
            for (const char* k : {"width", "height", "size", "sticker_id", "sticker_package", "sticker_version", "contact_uid",
                                     "contact_name", "file_name", "loc_lat", "loc_lng", "loc_name"})
                if (m.atta.contains(k))
                    f << k + (":" + m.atta.value(k).toString());
            if (!m.text.isEmpty())
                f << "text:" + m.text;
            out << f.join(' ');
        }
        return out;
    }
    QStringList all(_LineChat* c = nullptr, bool asc = true) { return lines(db->messagesThrow(data, c, 1, 1000, asc)); }

    QTemporaryDir tmp;
    int n = 0;
    std::unique_ptr<LineStoreBuilder> b;
    QSharedPointer<IOSLineDb> db;
    LineData data;
};

TEST_F(IOSLineDbReadTest, FindsTheStoreOfEveryLayoutBeforeDecoys)
{
    const QString lib = "Library/Application Support/", priv = lib + "PrivateStore/P_" + kMid + "/",
                  docs = "Documents/PrivateStore/P_" + kMid + "/";
    const struct { LineStoreLayout layout; QString folder, rel, storeFolder, decoy; } cases[] = {
        {LineStoreLayout::Current, "", priv + "Messages/Line.sqlite", priv, lib + "Messages/Line.sqlite"},
        {LineStoreLayout::DocumentsTalk, "", docs + "talk.sqlite", priv, "Documents/talk.sqlite"},
        {LineStoreLayout::DocumentsMessagesLine, "", docs + "Messages/Line.sqlite", priv, docs + "Messages/talk.sqlite"},
        {LineStoreLayout::DocumentsMessagesTalk, "", docs + "Messages/talk.sqlite", priv, ""},
        {LineStoreLayout::LibraryMessages, "", lib + "Messages/Line.sqlite", lib, "Documents/talk.sqlite"},
        {LineStoreLayout::DocumentsRoot, "", "Documents/talk.sqlite", lib, ""},
        // Another PrivateStore folder, the first by name without case.
        {LineStoreLayout::CurrentOtherFolder, "a_second", lib + "PrivateStore/a_second/Messages/Line.sqlite",
         lib + "PrivateStore/a_second/", lib + "PrivateStore/B_first/Messages/Line.sqlite"},
    };
    for (const auto& c : cases) {
        fresh().setLayout(c.layout, c.folder).addChat(LineChatRow("uPeer"));
        if (!c.decoy.isEmpty())
            b->addFile(c.decoy, "not a store");
        IOSLineDb& d = load();
        EXPECT_EQ(d.databasePath() + " " + d.storeFolder(), b->absolute(c.rel) + " " + c.storeFolder);
        EXPECT_EQ(data.chats().size(), 1) << c.rel.toStdString();
    }
    // No store at all: the last candidate, which opening does not create.
    fresh().setLayout(LineStoreLayout::None);
    EXPECT_THROW(load(), std::runtime_error);
    EXPECT_EQ(db->databaseRelPath(), "Documents/talk.sqlite");
    EXPECT_FALSE(db->isOpen() || QFile::exists(db->databasePath()));
}

TEST_F(IOSLineDbReadTest, TheAccountIsRememberedForUserMidsOnlyAndAHostileMidStaysInside)
{
    for (const QString mid : {"U0aa11", "c0cc33"}) {
        fresh(mid).setAccount(mid, "Name", "+81").setPreferencesFormat(LineStoreBuilder::PlistFormat::Xml).build();
        EXPECT_EQ(IOSLineDb(QDir(b->containerDir()), QString()).account().uid, mid);
        bool found = false;
        for (const auto& a : LineAccountDB().accounts())
            found = found || (a.uid + a.name + a.tel == mid + "Name+81");
        EXPECT_EQ(found, mid.startsWith('U')) << mid.toStdString();
    }
    // A copy of the store sits where "P_u/../../../../outside" would lead.
    fresh("u/../../../../outside").setLayout(LineStoreLayout::LibraryMessages).build();
    QDir().mkpath(tmp.path() + "/outside/Messages");
    QFile::copy(b->dbPath(), tmp.path() + "/outside/Messages/Line.sqlite");
    QDir().mkpath(b->absolute("Library/Application Support/PrivateStore"));
    IOSLineDb hostile(QDir(b->containerDir()), QString());
    EXPECT_TRUE(QFileInfo(hostile.databasePath()).canonicalFilePath().startsWith(QFileInfo(b->containerDir()).canonicalFilePath() + "/"));
}

TEST_F(IOSLineDbReadTest, AStoreReachedThroughALinkLeavingTheContainerIsNeitherOpenedNorChanged)
{
    b->build();
    const QString folder = b->absolute(b->storeDir()).chopped(1), out = tmp.path() + "/out", line = out + "/Messages/Line.sqlite";
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

TEST_F(IOSLineDbReadTest, OpeningPurgesChatsDisabledByZeroInOneTransaction)
{
    const qint64 u = b->addUser(LineUserRow("uA"));
    const QVariant flags[] = {0, 1, QVariant(), "yes", 0.0};
    for (const QVariant& flag : flags) {
        const qint64 c = b->addChat(LineChatRow("u" + flag.toString()).set("ZENABLE", flag).withMembers({u}));
        b->addMessage(LineMsgRow(c, flag.toString()).at(1).text("m"));
    }
    // A trigger makes the purge fail: none of it stays, the copy is closed.
    b->afterwards("CREATE TRIGGER no_delete BEFORE DELETE ON ZCHAT BEGIN SELECT RAISE(ABORT, 'kept'); END");
    b->build();
    EXPECT_THROW(load(false), std::runtime_error);
    EXPECT_FALSE(db->isOpen());
    {
        Sqlite3DB raw;
        raw.openThrow(b->dbPath(), 2);
        Sqlite3Cursor cur = raw.queryThrow(Sqlite3Sql("select (select count(*) from ZMESSAGE) || (select count(*) from Z_1MEMBERS) ||"
                                                      " (select count(*) from sqlite_master where name like '\\_vardo%' escape '\\')"));
        EXPECT_TRUE(cur.moveNext() && cur.getText(0) == "550");
        cur = Sqlite3Cursor();
        raw.executeThrow(Sqlite3Sql("DROP TRIGGER no_delete"));
    }
    // Once the cause is gone, the same object opens and purges; what it kept is what is loaded.
    db->openCheckThrow();
    db->loadDataThrow(data);
    QStringList loaded;
    for (const _LineChat* c : data.chats())
        loaded << c->uid;
    EXPECT_EQ(loaded.join(' ') + " " + count("ZMESSAGE") + count("Z_1MEMBERS") + count("ZCHATMETADATA"), "u1 u uyes 333");
    EXPECT_TRUE(db->dbSchema().containsIndex(IOSLineDb::kTimestampIndex));
}

TEST_F(IOSLineDbReadTest, OwnerFoundByMidWithoutCaseJoinsRoomsAndGroupChatsAndGroupsComeFromTheGroupStore)
{
    const qint64 owner = b->addUser(LineUserRow(kMid.toUpper()));
    const QDateTime created(QDate(2014, 5, 1), QTime(12, 0), Qt::UTC);
    const qint64 alice = b->addUser(LineUserRow("uAlice").named("Alice").addressBook("Ali").custom("A").createdAt(created).picture("/p"));
    const qint64 bob = b->addUser(LineUserRow("uBob"));
    const QDateTime updated(QDate(2013, 3, 4), QTime(5, 6, 7), Qt::UTC);
    b->addChat(LineChatRow("uAlice").withMembers({owner}).lastUpdatedAt(updated)); // one-to-one: the peer, never the owner
    b->addChat(LineChatRow("rRoom").room().withMembers({alice, owner}));
    b->addChat(LineChatRow("cGroup").groupChat().withMembers({bob}));
    b->addGroup(LineGroupRow("cGroup").named("G").createdBy(alice).withMembers({alice, owner}));
    b->addGroup(LineGroupRow("cLonely").createdBy(77).withMembers({bob, owner})); // no chat: no owner
    load();
    const _LineUser* a = data.user(alice);
    EXPECT_EQ(QStringList({a->contactName, a->serverName, a->customName, a->picUri, QString::number(a->createTs.toSecsSinceEpoch())}),
              QStringList({"Ali", "Alice", "A", "/p", QString::number(created.toSecsSinceEpoch())}));
    QStringList got;
    for (const _LineChat* c : data.chats())
        got << c->uid + ":" + sortedUids(c->users) + ":" + (c->group ? c->group->name + "/" + sortedUids(c->group->members) : "");
    for (const _LineGroupInfo* g : data.groups())
        got << g->uid + ":" + (g->creator ? g->creator->uid : "-") + ":" + sortedUids(g->members);
    const QString me = kMid.toUpper();
    EXPECT_EQ(got, QStringList({"uAlice:uAlice:", "rRoom:" + me + ",uAlice:", "cGroup:" + me + ",uAlice,uBob:G/" + me + ",uAlice",
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
        got << g->uid + ":" + (g->creator ? g->creator->uid : "-") + ":" + sortedUids(g->members);
    EXPECT_EQ(got, QStringList({"cG1:uBob:" + kMid + ",uAlice", "cG2:-:uBob"}));
    EXPECT_EQ(data.chats().value(0)->group, data.groups().value(0));

    // No row for the account: a made-up owner joins the rooms.
    fresh().addChat(LineChatRow("rRoom").room());
    load();
    EXPECT_EQ(sortedUids(data.chats().value(0)->users) + data.user(-999)->serverName, kMid + "Me");
}

TEST_F(IOSLineDbReadTest, PagesSplitTheShownMessagesExactlyInBothDirectionsAndFollowChangesOfTheStore)
{
    const qint64 peer = b->addUser(LineUserRow("uPeer"));
    const qint64 c = b->addChat(LineChatRow("uPeer")), other = b->addChat(LineChatRow("rOther").room());
    // Ties in time on purpose: equal times must neither repeat nor vanish across pages.
    for (int i = 0; i < 23; ++i)
        b->addMessage(LineMsgRow(i % 2 ? c : other, QString::number(100 + i)).at(1000 + i / 4).text("m"));
    for (const LineMsgRow& hidden : {LineMsgRow(c, "late").at(4000000000000), LineMsgRow(c, ""), LineMsgRow(c, QVariant()),
                                     LineMsgRow(c, "hidden").ofType(4)})
        b->addMessage(hidden);
    b->addMessage(LineMsgRow(c, "alt").at(3999999999999).ofType(LineContent::TextAlt).withText("alt").from(peer));
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
    EXPECT_EQ(msgs.first() + " | " + msgs.value(1) + " | " + msgs.last(),
              QString("altphoto %1 from:? atta:uPeer/altphoto.jpg thumb:tmp/thumbnails/uPeer/altphoto.thumb.jpg width:0 height:0"
                      " | 101 %2 text:m | alt %2 from:uPeer text:alt").arg(LineMsgType::PHOTO).arg(LineMsgType::TEXT));
    EXPECT_TRUE(db->messagesThrow(data, nullptr, 0, 5, true).isEmpty());

    // A message slipped in before the page border moves the next page.
    ASSERT_EQ(db->messagesThrow(data, nullptr, 1, 3, true).size(), 3);
    db->executeThrow(Sqlite3Sql("insert into ZMESSAGE (Z_PK, ZID, ZCHAT, ZTIMESTAMP, ZCONTENTTYPE) values (99, '9', 1, 15, 0)"));
    EXPECT_EQ(db->messagesThrow(data, nullptr, 2, 3, true).value(0).uid, "101");
    // A chat added after loading: counted, read without a record, media in its own folder.
    db->executeThrow(Sqlite3Sql("insert into ZCHAT(Z_PK, ZMID) values(77, 'uLate')"));
    db->executeThrow(Sqlite3Sql("insert into ZMESSAGE(ZCHAT, ZID, ZTIMESTAMP, ZCONTENTTYPE) values(77, 'x', 1, 1)"));
    EXPECT_EQ(data.msgsCountThrow(nullptr), 27);
    EXPECT_TRUE(data.msgAtThrow(nullptr, 0, true).chat == nullptr && lines({data.msgAtThrow(nullptr, 0, true)})[0].contains("atta:uLate/x.jpg"));
    // The same store object loaded into a second data gives that data's records.
    LineData second(db, 5000);
    db->loadDataThrow(second);
    EXPECT_EQ(db->messagesThrow(second, second.chat(c), 1, 100, true).last().from, second.user(peer));
}

TEST_F(IOSLineDbReadTest, MediaStickersContactsFilesLocationsAndRawText)
{
    const qint64 c = b->addChat(LineChatRow("uPeer"));
    b->addStickerPackage(11537, 4, 52002700, 52002799);
    const LineMsgRow rows[] = {
        LineMsgRow(c, "v1").voice(2940), LineMsgRow(c, "v2").voice(1), LineMsgRow(c, "v3").voice(1),
        LineMsgRow(c, "m1").video(320, 240), LineMsgRow(c, "m2").video(320, 240),
        LineMsgRow(c, "s1").sticker(52002734, 11537, 1), LineMsgRow(c, "s2").sticker(52002710, 0, 0, true),
        LineMsgRow(c, "s3").sticker(52002711, 0, 0, true).withMetadata(LineMetaArchive::archive({{"STKID", QString("abc")}}, false)),
        LineMsgRow(c, "s4").sticker(52002712, 0, 0, true).withMetadata(LineMetaArchive::archive({{"STKID", 52002799}}, false)),
        LineMsgRow(c, "s5").sticker(7, 0, 0, true).withMetadata("garbage"),
        LineMsgRow(c, "c1").contact("uFriend", "Tom &amp; Jerry"), LineMsgRow(c, "f1").file(QString::fromUtf8("café.pdf"), 10),
        LineMsgRow(c, "f2").file(QString::fromUtf8("résumé: v2?.doc"), 10), LineMsgRow(c, "l1").location(35.681236, 139.767125, "Tokyo"),
        LineMsgRow(c, "t1").withText("caf\xc3\xa9 \xff!"),
    };
    for (int i = 0; i < int(std::size(rows)); ++i)
        b->addMessage(LineMsgRow(rows[i]).at(i));
    b->addAttachment("uPeer", "v1", ".m4a", "a").addAttachment("uPeer", "v2", ".aac", "a").addAttachment("uPeer", "v2", ".mp4", "a");
    b->addAttachment("uPeer", "m1", ".mov", "v").addAttachment("uPeer", "m1", ".mp4", "v").addAttachment("uPeer", "m2", ".mov", "v");
    // The file name decomposed and encoded (e + U+0301), as the app writes it.
    b->addAttachment("uPeer", "f1", "_cafe%CC%81.pdf", "pdf").addAttachment("uPeer", "f1", QString::fromUtf8("_café.pdf"), "x");
    load();
    const QString v = QString::number(LineMsgType::VOICE), m = QString::number(LineMsgType::VIDEO) + " ",
                  s = QString::number(LineMsgType::STICKER) + " sticker_id:", thumbs = " thumb:tmp/thumbnails/uPeer/";
    // Voice and video take the first suffix that exists; a sticker without
    // id text takes its package from ZLONGITUDE; a file name not there in
    // encoded form is cleaned, whether or not it exists.
    EXPECT_EQ(all(), QStringList({"v1 " + v + " atta:uPeer/v1.m4a size:2940", "v2 " + v + " atta:uPeer/v2.mp4 size:1", "v3 " + v + " size:1",
                                  "m1 " + m + "atta:uPeer/m1.mp4" + thumbs + "m1.thumb.jpg width:320 height:240",
                                  "m2 " + m + "atta:uPeer/m2.mov" + thumbs + "m2.thumb.jpg width:320 height:240",
                                  "s1 " + s + "52002734 sticker_package:11537 sticker_version:1",
                                  "s2 " + s + "52002710 sticker_package:11537 sticker_version:4",
                                  "s3 " + s + "52002711 sticker_package:11537 sticker_version:4",
                                  "s4 " + s + "52002712 sticker_package:11537 sticker_version:4",
                                  "s5 " + s + "0 sticker_package:0 sticker_version:0",
                                  QString("c1 %1 contact_uid:uFriend contact_name:Tom &amp; Jerry").arg(LineMsgType::CONTACT),
                                  QString::fromUtf8("f1 %1 atta:uPeer/f1_cafe%CC%81.pdf file_name:café.pdf").arg(LineMsgType::FILE),
                                  QString::fromUtf8("f2 %1 atta:uPeer/f2_résumé v2.doc file_name:résumé: v2?.doc").arg(LineMsgType::FILE),
                                  QString("l1 %1 loc_lat:35.681236 loc_lng:139.767125 loc_name:Tokyo").arg(LineMsgType::LOCATION),
                                  QString::fromUtf8("t1 %1 text:café \xEF\xBF\xBD!").arg(LineMsgType::TEXT)}));
    EXPECT_EQ(db->messagesThrow(data, nullptr, 1, 100, true).last().rawContent, QByteArray("caf\xc3\xa9 \xff!")); // kept as stored
}

// Ids are untrusted: one holding "/" or ".." must not lead a media path out
// of the chat's attachment folder, nor the thumbnail writer out of the container.
TEST_F(IOSLineDbReadTest, HostileIdsStayInsideTheirFolders)
{
    const qint64 c = b->addChat(LineChatRow("uPeer")), evil = b->addChat(LineChatRow("../../../../.."));
    b->addMessage(LineMsgRow(c, "../../../../../../outside").at(1).photo(1, 1).thumbnailBlob("T"));
    b->addMessage(LineMsgRow(c, "../secret").at(2).voice(1));
    b->addMessage(LineMsgRow(evil, "..").at(3).video(1, 1).thumbnailBlob("T"));
    b->addMessage(LineMsgRow(c, "f").at(4).file("../../../../x", 1));
    b->addFile(b->storeDir() + "Message Attachments/secret.mp4", "s"); // what the raw id would name
    load();
    for (const _LineMsg& m : db->messagesThrow(data, nullptr, 1, 10, true)) {
        const QString clean = QDir::cleanPath(m.attaPath), base = store("Message Attachments/");
        EXPECT_TRUE(m.attaPath.isEmpty() || (clean.startsWith(base) && clean.mid(base.size()).count('/') == 1)) << m.attaPath.toStdString();
        EXPECT_TRUE(m.thumbPath.isEmpty() || QDir::cleanPath(m.thumbPath).startsWith(b->containerDir() + "/tmp/thumbnails/"))
            << m.thumbPath.toStdString();
        EXPECT_FALSE(m.thumbPath.contains("/../") || (m.uid == "../secret" && !m.attaPath.isEmpty()));
    }
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("outside.thumb.jpg")));
}

// Links that lead out of the container, and FIFOs (which block a plain
// open()), planted in a copied container.
TEST_F(IOSLineDbReadTest, HostileLinksAndFifosInTheContainerAreNeitherFollowedNorOpened)
{
    fresh().setLayout(LineStoreLayout::LibraryMessages); // found without the account
    const qint64 c = b->addChat(LineChatRow("uPeer")), other = b->addChat(LineChatRow("uOther")), fifos = b->addChat(LineChatRow("uFifo"));
    b->addMessage(LineMsgRow(c, "10").at(1).photo(8, 6).thumbnailBlob("blob")); // extracted under tmp/
    b->addMessage(LineMsgRow(c, "11").at(2).photo(8, 6));                       // would remake the thumbnail
    b->addAttachment("uPeer", "11", ".jpg", linePicture(8, 6)).addAttachment("uPeer", "inside", ".jpg", "x");
    b->addMessage(LineMsgRow(c, "12").at(3).voice(5));
    b->addMessage(LineMsgRow(c, "13").at(4).photo(8, 6));     // a link that stays inside is followed
    b->addMessage(LineMsgRow(other, "14").at(5).photo(8, 6)); // its chat's folder leads out
    b->addMessage(LineMsgRow(fifos, "20").at(6).photo(8, 6));
    b->addMessage(LineMsgRow(fifos, "21").at(7).voice(5));
    b->build();
    const QString out = tmp.path() + "/out", atta = store("Message Attachments/uPeer/"), fifo = store("Message Attachments/uFifo/");
    ASSERT_TRUE(testenv::writeFile(out + "/thumbs/14.thumb", "outside") && testenv::writeFile(out + "/precious", "precious"));
    const QPair<QString, QString> planted[] = {
        {b->absolute("tmp/thumbnails/uPeer"), out + "/thumbs"}, {store("Message Thumbnails/uPeer/11.thumb"), out + "/precious"},
        {atta + "12.m4a", out + "/precious"}, {atta + "13.jpg", atta + "inside.jpg"}, {store("Message Attachments/uOther"), out}, {store("Message Thumbnails/uOther"), out + "/thumbs"},
        {b->preferencesPath(), ""}, {fifo + "20.jpg", ""}, {store("Message Thumbnails/uFifo/20.thumb"), ""}, {fifo + "21.m4a", ""},
    };
    for (const auto& [path, target] : planted) {
        QFile::remove(path);
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(target.isEmpty() ? ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 : QFile::link(target, path));
    }
    load(false);
    const QList<_LineMsg> msgs = db->messagesThrow(data, nullptr, 1, 10, true);
    ASSERT_EQ(msgs.size(), 7);
    EXPECT_TRUE(testenv::readFile(out + "/precious") == "precious" && QDir(out + "/thumbs").entryList(QDir::Files) == QStringList{"14.thumb"});
    EXPECT_EQ(msgs[0].thumbPath + msgs[1].thumbPath + msgs[2].attaPath + msgs[4].attaPath + msgs[6].attaPath, "");
    EXPECT_EQ(QStringList({msgs[3].attaPath, msgs[4].thumbPath, msgs[5].thumbPath}),
              QStringList({atta + "13.jpg", b->absolute("tmp/thumbnails/uOther/14.thumb.jpg"), b->absolute("tmp/thumbnails/uFifo/20.thumb.jpg")}));
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
    const QList<QPair<QByteArray, QString>> cases = {
        {IOSLineDb::voiceMetaData(&received), "AUDLEN='123456789012' OBS_POP='b' class='NSMutableDictionary'"},
        {IOSLineDb::voiceMetaData(&sent), "receiverCount=2 class='NSMutableDictionary'"},
        {IOSLineDb::contactInfoMetaData({"uFriend", "A&B <C> \"D\" 'E'"}),
         "displayName=\"A&amp;B &lt;C&gt; &quot;D&quot; 'E'\" mid='uFriend' class='NSMutableDictionary'"},
        {IOSLineDb::stickerMetaData({52002734, -3, 12}), "STKID='52002734' STKOPT='' STKPKGID='-3' STKVER='12' class='NSDictionary'"},
        {IOSLineDb::fileMetaData(QString::fromUtf8("報告.pdf"), 0, QDateTime::fromMSecsSinceEpoch(1700000000123LL)),
         QString::fromUtf8("FILE_EXPIRE_TIMESTAMP='1700000000123' FILE_NAME='報告.pdf' FILE_SIZE='0' OBS_POP='sg-1' class='NSDictionary'")},
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
    for (const auto& [bytes, line] : cases)
        args << QString::fromLatin1(bytes.toHex()), want << line;
    QByteArray out, err;
    ASSERT_EQ(testenv::runTool("python3", args, &out, &err), 0) << err.toStdString();
    EXPECT_EQ(QString::fromUtf8(out).trimmed().split('\n'), want);
}

} // namespace
