// Counting and reading messages of a LINE store page by page, with their
// media files, stickers, contacts, files and locations.
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSharedPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ctime>

#include <sys/stat.h>

namespace {

const QString kMid = QStringLiteral("u00ownerabc");

QByteArray picture(int w, int h, const char* format)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::darkGreen);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return bytes;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Puts a link to `target` at `path`, or a FIFO without a target.
void plant(const QString& path, const QString& target = QString())
{
    QFile::remove(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (target.isEmpty())
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0) << path.toStdString();
    else
        ASSERT_TRUE(QFile::link(target, path)) << path.toStdString();
}

class IOSLineDbMessagesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        fresh();
        b->setAccount(kMid, "Me");
        peer = b->addUser(LineUserRow("uPeer").named("Peer"));
        chat = b->addChat(LineChatRow("uPeer"));
    }

    LineStoreBuilder& fresh()
    {
        b.reset(new LineStoreBuilder(tmp.path() + QStringLiteral("/c%1").arg(++n)));
        QDir().mkpath(b->containerDir());
        return *b;
    }

    void load()
    {
        b->build();
        open();
    }
    void open()
    {
        db = QSharedPointer<IOSLineDb>::create(QDir(b->containerDir()), QString());
        data = LineData(db.staticCast<AbsLineDb>(), 5000);
        db->loadDataThrow(data);
    }

    QList<_LineMsg> all(_LineChat* c = nullptr, bool asc = true) { return db->messagesThrow(data, c, 1, 1000, asc); }

    // The ids of pages 1..pages read in this order.
    QStringList pageIds(_LineChat* c, bool asc, int size, const QList<int>& pages)
    {
        QMap<int, QStringList> byPage;
        for (int page : pages)
            for (const _LineMsg& m : db->messagesThrow(data, c, page, size, asc))
                byPage[page] << m.uid;
        QStringList out;
        for (const QStringList& ids : std::as_const(byPage))
            out += ids;
        return out;
    }

    _LineChat* chatByUid(const QString& uid)
    {
        for (_LineChat* x : data.chats())
            if (x->uid == uid)
                return x;
        return nullptr;
    }

    QString store(const QString& rel) const { return b->absolute(b->storeDir() + rel); }

    QTemporaryDir tmp;
    int n = 0;
    std::unique_ptr<LineStoreBuilder> b;
    QSharedPointer<IOSLineDb> db;
    LineData data;
    qint64 peer = 0;
    qint64 chat = 0;
};

TEST_F(IOSLineDbMessagesTest, FilterLeavesOutLateIdlessAndUnknownRows)
{
    b->addMessage(LineMsgRow(chat, "1").at(3999999999999).text("last moment"));
    b->addMessage(LineMsgRow(chat, "2").at(4000000000000).text("too late"));
    b->addMessage(LineMsgRow(chat, "").at(10).text("empty id"));
    b->addMessage(LineMsgRow(chat, QVariant()).at(11).text("null id"));
    b->addMessage(LineMsgRow(chat, "3").at(12).ofType(4));
    b->addMessage(LineMsgRow(chat, "4").at(13).ofType(LineContent::TextAlt).withText("alt text"));
    b->addMessage(LineMsgRow(chat, "5").at(14).ofType(LineContent::PhotoAlt));
    load();
    _LineChat* c = data.chat(chat);
    EXPECT_EQ(db->messagesCountThrow(c), 3);
    EXPECT_EQ(db->messagesCountThrow(nullptr), 3);
    const QList<_LineMsg> msgs = all(c);
    ASSERT_EQ(msgs.size(), 3);
    EXPECT_EQ(msgs[0].uid, "4");
    EXPECT_EQ(msgs[0].type, LineMsgType::TEXT);
    EXPECT_EQ(msgs[0].text, "alt text");
    EXPECT_EQ(msgs[1].type, LineMsgType::PHOTO);
    EXPECT_EQ(msgs[2].uid, "1");
    EXPECT_EQ(msgs[2].ts, QDateTime::fromMSecsSinceEpoch(3999999999999));
    EXPECT_EQ(msgs[2].chat, c);
    EXPECT_EQ(msgs[2].from, nullptr);
}

TEST_F(IOSLineDbMessagesTest, PagesSplitTheCountExactlyInBothDirectionsAndAcrossChats)
{
    const qint64 other = b->addChat(LineChatRow("rOther").room());
    // Ties in time on purpose: equal times must neither repeat nor vanish
    // across page borders.
    for (int i = 0; i < 23; ++i)
        b->addMessage(LineMsgRow(i % 2 ? chat : other, QString::number(100 + i)).at(1000 + i / 4).text("m"));
    load();
    for (_LineChat* which : {data.chat(chat), static_cast<_LineChat*>(nullptr)}) {
        for (bool asc : {true, false}) {
            const qint64 count = db->messagesCountThrow(which);
            const QList<_LineMsg> whole = all(which, asc);
            ASSERT_EQ(whole.size(), count);
            QStringList expected;
            for (int i = 0; i < whole.size(); ++i) {
                expected << whole[i].uid;
                if (i)
                    EXPECT_TRUE(asc ? whole[i - 1].ts <= whole[i].ts : whole[i - 1].ts >= whole[i].ts);
            }
            // In sequence (continuing after each page) and out of order
            // (from the offset) the pages hold the same rows.
            const QStringList seq = pageIds(which, asc, 5, {1, 2, 3, 4, 5});
            EXPECT_EQ(seq, expected);
            EXPECT_EQ(pageIds(which, asc, 5, {5, 3, 1, 4, 2}), expected);
            EXPECT_EQ(QSet<QString>(seq.begin(), seq.end()).size(), count);
        }
    }
    EXPECT_EQ(db->messagesCountThrow(nullptr), 23);
    EXPECT_TRUE(db->messagesThrow(data, nullptr, 6, 5, true).isEmpty());
    EXPECT_TRUE(db->messagesThrow(data, nullptr, 0, 5, true).isEmpty());
}

// A chat's pages may be read through the store's chat index or along the
// time index; both give the same rows, in the same order.
TEST_F(IOSLineDbMessagesTest, ChatPagesDoNotDependOnTheStoresIndexes)
{
    QStringList seen[2];
    for (int variant = 0; variant < 2; ++variant) {
        fresh().setAccount(kMid);
        if (variant)
            b->withoutIndex("ZMESSAGE_ZCHAT_INDEX");
        const qint64 small = b->addChat(LineChatRow("uSmall"));
        const qint64 big = b->addChat(LineChatRow("uBig"));
        for (int i = 0; i < 400; ++i)
            b->addMessage(LineMsgRow(i % 40 ? big : small, QString::number(i)).at(1000 + (i * 7) % 50).text("m"));
        load();
        for (const char* uid : {"uSmall", "uBig"}) {
            _LineChat* c = chatByUid(uid);
            ASSERT_TRUE(c);
            for (bool asc : {true, false}) {
                const qint64 count = db->messagesCountThrow(c);
                QList<int> pages;
                for (int page = 1; page <= (count + 6) / 7 + 1; ++page)
                    pages << page;
                const QStringList uids = pageIds(c, asc, 7, pages);
                EXPECT_EQ(uids.size(), count);
                seen[variant] << uids;
            }
        }
    }
    EXPECT_EQ(seen[0].size(), 800);
    EXPECT_EQ(seen[0], seen[1]);
}

TEST_F(IOSLineDbMessagesTest, ContinuedPagesSeeChangesToTheStore)
{
    for (int i = 0; i < 6; ++i)
        b->addMessage(LineMsgRow(chat, QString::number(10 + i)).at(1000 + i * 10).text("m"));
    load();
    ASSERT_EQ(db->messagesThrow(data, nullptr, 1, 3, true).size(), 3);
    // A message slipped in before the page border moves the second page.
    db->executeThrow(Sqlite3Sql("insert into ZMESSAGE (Z_PK, ZID, ZCHAT, ZTIMESTAMP, ZCONTENTTYPE, ZTEXT) "
                                "values (99, '9', 1, 1001, 0, 'new')"));
    EXPECT_EQ(pageIds(nullptr, true, 3, {2}), (QStringList{"12", "13", "14"}));
}

// The zone's offset changes at its transitions; times next to them must
// show the wall-clock time that Qt's own local conversion gives.
TEST_F(IOSLineDbMessagesTest, TimesAreLocalAcrossZoneTransitions)
{
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "America/New_York");
    tzset();
    const QList<qint64> times{1425797999999LL, 1425798000000LL, 1435752000000LL, 1446357599999LL,
                              1446357600000LL, 0LL};
    for (qint64 t : times)
        b->addMessage(LineMsgRow(chat, QString::number(t)).at(t).text("t"));
    load();
    for (bool asc : {true, false}) {
        for (const _LineMsg& m : all(nullptr, asc)) {
            const QDateTime ref = QDateTime::fromMSecsSinceEpoch(m.ts.toMSecsSinceEpoch());
            EXPECT_EQ(m.ts, ref);
            EXPECT_EQ(m.ts.toString("yyyy-MM-dd hh:mm:ss.zzz"), ref.toString("yyyy-MM-dd hh:mm:ss.zzz"));
            EXPECT_EQ(m.ts.offsetFromUtc(), ref.offsetFromUtc()) << m.ts.toMSecsSinceEpoch();
        }
    }
    EXPECT_EQ(all().first().ts.toMSecsSinceEpoch(), 0);
    if (oldTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldTz);
    tzset();
}

TEST_F(IOSLineDbMessagesTest, ASenderThatIsNotLoadedIsUnknownNotTheOwner)
{
    b->addMessage(LineMsgRow(chat, "1").at(1).from(peer).text("a"));
    b->addMessage(LineMsgRow(chat, "2").at(2).from(4242).text("b"));
    b->addMessage(LineMsgRow(chat, "3").at(3).from(0).text("c"));
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 3);
    EXPECT_EQ(msgs[0].from, data.user(peer));
    EXPECT_EQ(msgs[1].from, data.unknownUser());
    EXPECT_EQ(msgs[1].from->displayName(), "Unknown");
    EXPECT_TRUE(msgs[2].wasFromMe());
}

TEST_F(IOSLineDbMessagesTest, AChatThatReachedTheStoreAfterLoadingKeepsCountsAndPagesInStep)
{
    b->addMessage(LineMsgRow(chat, "1").at(1).text("a"));
    load();
    db->executeThrow(Sqlite3Sql("insert into ZCHAT(Z_PK, Z_ENT, Z_OPT, ZMID, ZTYPE) values(77, 1, 1, 'uLate', 0)"));
    db->executeThrow(Sqlite3Sql("insert into ZMESSAGE(Z_PK, Z_ENT, Z_OPT, ZCHAT, ZID, ZTIMESTAMP, ZCONTENTTYPE)"
                                " values(900, 5, 1, 77, '2', 2, 1)"));
    ASSERT_EQ(data.msgsCountThrow(nullptr), 2);
    const _LineMsg late = data.msgAtThrow(nullptr, 1, true);
    EXPECT_EQ(late.uid, "2");
    EXPECT_EQ(late.chat, nullptr);
    EXPECT_EQ(late.attaPath, store("Message Attachments/uLate/2.jpg"));
}

TEST_F(IOSLineDbMessagesTest, OneStoreReadForASecondDataUsesOnlyThatDatasRecords)
{
    b->addMessage(LineMsgRow(chat, "1").at(1).from(peer).text("a"));
    load();
    ASSERT_EQ(all().value(0).from, data.user(peer));
    // The first data goes; a second one is loaded from the same store object.
    data = LineData();
    LineData second(db.staticCast<AbsLineDb>(), 5000);
    db->loadDataThrow(second);
    data = second;
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 1);
    EXPECT_EQ(msgs[0].from, second.user(peer));
    EXPECT_EQ(msgs[0].chat, second.chat(chat));
    EXPECT_EQ(msgs[0].from->uid, "uPeer");
}

TEST_F(IOSLineDbMessagesTest, VoiceAndVideoTakeTheFirstSuffixThatExists)
{
    b->addMessage(LineMsgRow(chat, "v1").at(1).voice(2940));
    b->addMessage(LineMsgRow(chat, "v2").at(2).voice(1));
    b->addMessage(LineMsgRow(chat, "v3").at(3).voice(1));
    b->addMessage(LineMsgRow(chat, "m1").at(4).video(320, 240));
    b->addMessage(LineMsgRow(chat, "m2").at(5).video(320, 240));
    b->addAttachment("uPeer", "v1", ".m4a", "a");
    b->addAttachment("uPeer", "v2", ".aac", "a").addAttachment("uPeer", "v2", ".mp4", "a");
    b->addAttachment("uPeer", "m1", ".mov", "v").addAttachment("uPeer", "m1", ".mp4", "v");
    b->addAttachment("uPeer", "m2", ".mov", "v");
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 5);
    const QString base = store("Message Attachments/uPeer/");
    EXPECT_EQ(msgs[0].attaPath, base + "v1.m4a");
    EXPECT_EQ(msgs[0].attaFileSize(), 2940);
    EXPECT_EQ(msgs[1].attaPath, base + "v2.mp4");
    EXPECT_TRUE(msgs[2].attaPath.isEmpty());
    EXPECT_TRUE(msgs[2].thumbPath.isEmpty());
    EXPECT_EQ(msgs[3].attaPath, base + "m1.mp4");
    EXPECT_EQ(msgs[3].attaWidth(), 320);
    EXPECT_EQ(msgs[3].attaHeight(), 240);
    EXPECT_EQ(msgs[4].attaPath, base + "m2.mov");
}

TEST_F(IOSLineDbMessagesTest, ThumbnailsComeFromTheAppOrFromTheDatabase)
{
    const QByteArray jpeg = picture(80, 60, "JPEG");
    b->addMessage(LineMsgRow(chat, "p1").at(1).photo(800, 600).thumbnailBlob(jpeg)); // blob only
    b->addMessage(LineMsgRow(chat, "p2").at(2).photo(800, 600).thumbnailBlob("ignored")); // app's file wins
    b->addMessage(LineMsgRow(chat, "v1").at(3).video(10, 10).thumbnailBlob("not a picture"));
    b->addLineThumbnail("uPeer", "p2", jpeg);
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 3);
    const QString extracted = b->containerDir() + "/tmp/thumbnails/uPeer/";
    EXPECT_EQ(msgs[0].thumbPath, extracted + "p1.thumb.jpg");
    EXPECT_EQ(readFile(msgs[0].thumbPath), jpeg);
    EXPECT_EQ(msgs[0].attaPath, store("Message Attachments/uPeer/p1.jpg"));
    EXPECT_EQ(msgs[0].attaWidth(), 800);
    EXPECT_EQ(msgs[1].thumbPath, store("Message Thumbnails/uPeer/p2.thumb"));
    EXPECT_FALSE(QFile::exists(extracted + "p2.thumb.jpg"));
    // Videos keep whatever the blob was: no picture fallback.
    EXPECT_EQ(readFile(msgs[2].thumbPath), QByteArray("not a picture"));
    EXPECT_EQ(msgs[2].thumbPath, extracted + "v1.thumb.jpg");

    // Written once: a later read keeps the file.
    QFile::remove(msgs[2].thumbPath);
    {
        QFile f(msgs[0].thumbPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(picture(20, 20, "PNG"));
    }
    const QList<_LineMsg> again = all();
    EXPECT_EQ(readFile(again[0].thumbPath), picture(20, 20, "PNG"));
    EXPECT_EQ(readFile(again[2].thumbPath), QByteArray("not a picture"));
}

TEST_F(IOSLineDbMessagesTest, PhotoThumbnailIsMadeFromThePhotoWhenNoneDecodes)
{
    const QByteArray photo = picture(1000, 500, "JPEG");
    b->addMessage(LineMsgRow(chat, "p1").at(1).photo(1000, 500).thumbnailBlob(QByteArray()));
    b->addMessage(LineMsgRow(chat, "p2").at(2).photo(300, 600));
    b->addMessage(LineMsgRow(chat, "p3").at(3).photo(1, 1).thumbnailBlob(QByteArray())); // no photo either
    b->addAttachment("uPeer", "p1", ".jpg", photo);
    b->addAttachment("uPeer", "p2", ".jpg", picture(300, 600, "PNG")); // a PNG under .jpg
    b->addLineThumbnail("uPeer", "p2", "broken");
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 3);
    QImage t1(msgs[0].thumbPath);
    EXPECT_EQ(t1.size(), QSize(400, 200));
    EXPECT_EQ(msgs[1].thumbPath, store("Message Thumbnails/uPeer/p2.thumb"));
    QImage t2(msgs[1].thumbPath, "JPEG");
    EXPECT_EQ(t2.size(), QSize(200, 400)); // the app's broken file is replaced
    EXPECT_TRUE(QFileInfo::exists(msgs[2].thumbPath));
    EXPECT_EQ(QFileInfo(msgs[2].thumbPath).size(), 0);

    // A thumbnail that decoded once but was spoilt since is made again.
    {
        QFile f(msgs[0].thumbPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("spoilt");
    }
    const QList<_LineMsg> again = all();
    EXPECT_EQ(QImage(again[0].thumbPath).size(), QSize(400, 200));
}

TEST_F(IOSLineDbMessagesTest, StickersFromHandMadeMetadataOrThePackageTable)
{
    b->addStickerPackage(11537, 4, 52002700, 52002799);
    b->addMessage(LineMsgRow(chat, "s1").at(1).sticker(52002734, 11537, 1));
    b->addMessage(LineMsgRow(chat, "s2").at(2).stickerByLongitude(52002710));
    b->addMessage(LineMsgRow(chat, "s3").at(3).stickerByLongitude(52002711).withMetadata(
        LineMetaArchive::archive({{"STKID", QString("0")}, {"STKPKGID", QString("5")}}, false)));
    b->addMessage(LineMsgRow(chat, "s4").at(4).stickerByLongitude(52002712).withMetadata(
        LineMetaArchive::archive({{"STKID", QString("abc")}}, false)));
    b->addMessage(LineMsgRow(chat, "s5").at(5).stickerByLongitude(52002713).withMetadata(
        LineMetaArchive::archive({{"STKID", 52002799}, {"STKVER", QString("9")}}, false)));
    b->addMessage(LineMsgRow(chat, "s6").at(6).stickerByLongitude(7).withMetadata("garbage"));
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 6);
    const auto check = [](const _LineMsg& m, int id, int pkg, int ver) {
        SCOPED_TRACE(m.uid.toStdString());
        EXPECT_EQ(m.type, LineMsgType::STICKER);
        EXPECT_EQ(m.attaSticker().id, id);
        EXPECT_EQ(m.attaSticker().package, pkg);
        EXPECT_EQ(m.attaSticker().version, ver);
    };
    check(msgs[0], 52002734, 11537, 1);
    check(msgs[1], 52002710, 11537, 4);
    check(msgs[2], 52002711, 11537, 4);
    check(msgs[3], 52002712, 11537, 4);
    check(msgs[4], 52002713, 11537, 4); // an integer STKID is no text
    check(msgs[5], 0, 0, 0);
}

TEST_F(IOSLineDbMessagesTest, ContactsFilesAndLocations)
{
    b->addMessage(LineMsgRow(chat, "c1").at(1).contact("uFriend", "Tom &amp; Jerry"));
    b->addMessage(LineMsgRow(chat, "f1").at(2).file(QString::fromUtf8("café.pdf"), 10));
    b->addMessage(LineMsgRow(chat, "f2").at(3).file(QString::fromUtf8("résumé: v2?.doc"), 10));
    b->addMessage(LineMsgRow(chat, "l1").at(4).location(35.681236, 139.767125, "Tokyo Station"));
    // The decomposed, encoded form: e + U+0301 (CC 81).
    b->addAttachment("uPeer", "f1", "_cafe%CC%81.pdf", "pdf");
    b->addAttachment("uPeer", "f1", QString::fromUtf8("_café.pdf"), "other");
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 4);
    EXPECT_EQ(msgs[0].type, LineMsgType::CONTACT);
    EXPECT_EQ(msgs[0].attaContact().uid, "uFriend");
    EXPECT_EQ(msgs[0].attaContact().name, "Tom &amp; Jerry");
    EXPECT_EQ(msgs[1].attaFileName(), QString::fromUtf8("café.pdf"));
    EXPECT_EQ(msgs[1].attaPath, store("Message Attachments/uPeer/f1_cafe%CC%81.pdf"));
    // Not there in encoded form: the cleaned name, whether or not it exists.
    EXPECT_EQ(msgs[2].attaPath, store(QString::fromUtf8("Message Attachments/uPeer/f2_résumé v2.doc")));
    EXPECT_EQ(msgs[3].type, LineMsgType::LOCATION);
    EXPECT_TRUE(msgs[3].text.isEmpty());
    EXPECT_DOUBLE_EQ(msgs[3].attaLocation().lat, 35.681236);
    EXPECT_DOUBLE_EQ(msgs[3].attaLocation().lng, 139.767125);
    EXPECT_EQ(msgs[3].attaLocation().name, "Tokyo Station");
}

TEST_F(IOSLineDbMessagesTest, TextKeepsRawBytes)
{
    // Bytes that are no valid UTF-8 must survive as they are stored.
    const QByteArray raw("caf\xc3\xa9 \xff\xfe!");
    b->addMessage(LineMsgRow(chat, "t1").at(1).withText(raw));
    b->addMessage(LineMsgRow(chat, "t2").at(2).text("line\nbreak"));
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 2);
    EXPECT_EQ(msgs[0].rawContent, raw);
    EXPECT_TRUE(msgs[0].text.startsWith(QString::fromUtf8("café "))) << msgs[0].text.toStdString();
    EXPECT_EQ(msgs[1].text, "line\nbreak");
    EXPECT_TRUE(msgs[1].attaPath.isEmpty());
}

// Ids are untrusted: one holding "/" or ".." must not lead a media path out
// of the chat's attachment folder, nor the thumbnail writer out of the
// container.
TEST_F(IOSLineDbMessagesTest, HostileIdsStayInsideTheirFolders)
{
    const qint64 evilChat = b->addChat(LineChatRow("../../../../.."));
    b->addMessage(LineMsgRow(chat, "../../../../../../outside").at(1).photo(1, 1).thumbnailBlob("T"));
    b->addMessage(LineMsgRow(chat, "../secret").at(2).voice(1));
    b->addMessage(LineMsgRow(evilChat, "..").at(3).video(1, 1).thumbnailBlob("T"));
    b->addMessage(LineMsgRow(chat, "f").at(4).file("../../../../x", 1));
    // What the raw ids would have named.
    b->addFile(b->storeDir() + "Message Attachments/secret.mp4", "s");
    load();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 4);
    const QString attachments = QDir::cleanPath(store("Message Attachments")) + "/";
    for (const _LineMsg& m : msgs) {
        SCOPED_TRACE(m.uid.toStdString());
        if (!m.attaPath.isEmpty()) {
            EXPECT_TRUE(QDir::cleanPath(m.attaPath).startsWith(attachments)) << m.attaPath.toStdString();
        }
        if (!m.thumbPath.isEmpty()) {
            EXPECT_TRUE(QDir::cleanPath(m.thumbPath).startsWith(b->containerDir() + "/"))
                << m.thumbPath.toStdString();
            EXPECT_FALSE(m.thumbPath.contains("/../"));
        }
    }
    EXPECT_TRUE(msgs[1].attaPath.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("outside.thumb.jpg")));
}


// Links that lead out of the container and FIFOs (which block a plain
// open()) planted in a copied container.
TEST_F(IOSLineDbMessagesTest, HostileLinksAndFifosInTheContainerAreNeitherFollowedNorOpened)
{
    fresh().setLayout(LineStoreLayout::LibraryMessages); // found without the account
    chat = b->addChat(LineChatRow("uPeer"));
    const qint64 other = b->addChat(LineChatRow("uOther")), fifos = b->addChat(LineChatRow("uFifo"));
    b->addMessage(LineMsgRow(chat, "10").at(1).photo(8, 6).thumbnailBlob("blob")); // extracted under tmp/
    b->addMessage(LineMsgRow(chat, "11").at(2).photo(8, 6));                       // would remake the thumbnail
    b->addAttachment("uPeer", "11", ".jpg", picture(8, 6, "JPEG"));
    b->addMessage(LineMsgRow(chat, "12").at(3).voice(5));
    b->addMessage(LineMsgRow(chat, "13").at(4).photo(8, 6)); // a link that stays inside is followed
    b->addAttachment("uPeer", "inside", ".jpg", "x");
    b->addMessage(LineMsgRow(other, "14").at(5).photo(8, 6)); // its chat's folder leads out
    b->addMessage(LineMsgRow(fifos, "20").at(6).photo(8, 6));
    b->addMessage(LineMsgRow(fifos, "21").at(7).voice(5));
    b->build();
    const QString out = tmp.path() + "/out";
    QDir().mkpath(out + "/thumbs");
    {
        QFile f(out + "/precious");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("precious") == 8);
    }
    const QString atta = store("Message Attachments/uPeer/"), fifo = store("Message Attachments/uFifo/");
    const QPair<QString, QString> planted[] = {
        {b->absolute("tmp/thumbnails/uPeer"), out + "/thumbs"},
        {store("Message Thumbnails/uPeer/11.thumb"), out + "/precious"},
        {atta + "12.m4a", out + "/precious"},
        {atta + "13.jpg", atta + "inside.jpg"},
        {store("Message Attachments/uOther"), out},
        {b->preferencesPath(), ""},
        {fifo + "20.jpg", ""},
        {store("Message Thumbnails/uFifo/20.thumb"), ""},
        {fifo + "21.m4a", ""},
    };
    for (const auto& p : planted)
        plant(p.first, p.second);
    open();
    const QList<_LineMsg> msgs = all();
    ASSERT_EQ(msgs.size(), 7);
    EXPECT_EQ(readFile(out + "/precious"), "precious");
    EXPECT_TRUE(QDir(out + "/thumbs").isEmpty());
    EXPECT_EQ(QStringList({msgs[0].thumbPath, msgs[2].attaPath, msgs[4].attaPath, msgs[6].attaPath}),
              QStringList({"", "", "", ""}));
    EXPECT_EQ(msgs[3].attaPath, atta + "13.jpg");
    EXPECT_EQ(msgs[5].thumbPath, b->containerDir() + "/tmp/thumbnails/uFifo/20.thumb.jpg");
    EXPECT_TRUE(db->account().uid.isEmpty());
}

} // namespace
