// Opening and reading a local database: creation, migration of the earlier
// format, the purge of junk users, loading, counting, paging, media paths.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/localdbbuilder.h"
#include "tests/support/testenv.h"

#include "chatdata/linedata.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/linerawcontent.h"
#include "chatdata/tinykvserializer.h"

namespace {

const QStringList kTables = {"line_chat", "line_user", "line_group", "line_chat_users", "line_group_members",
                             "line_msg"};

class LineLocalDbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path() + "/db";
    }

    // Opens the folder's database and gives its message count.
    qint64 open(const QString& path)
    {
        LineLocalDb db{QDir(path)};
        return db.messagesCountThrow(nullptr);
    }

    // A LineData over a fresh LineLocalDb of the folder, loaded, and its
    // first messages.
    LineData load(QList<_LineMsg>* msgs = nullptr)
    {
        auto db = QSharedPointer<LineLocalDb>::create(QDir(folder));
        LineData data(db, 5000);
        db->loadDataThrow(data);
        if (msgs)
            *msgs = db->messagesThrow(data, nullptr, 1, 100, true);
        return data;
    }

    // Whether the current schema is all there, with its later columns.
    static void expectCurrentSchema(const QString& path)
    {
        LocalDbBuilder check(path);
        for (const QString& t : kTables)
            EXPECT_FALSE(check.db().tbCols(t).isEmpty()) << t.toStdString();
        EXPECT_TRUE(check.hasColumn("line_msg", "ver"));
        EXPECT_TRUE(check.hasColumn("line_user", "custom_name"));
        EXPECT_TRUE(check.hasIndex("_vardo_idx_line_msg_ts"));
    }

    QTemporaryDir tmp;
    QString folder;
};

_LineChat* chatByUid(const LineData& data, const QString& uid)
{
    for (_LineChat* c : data.chats()) {
        if (c->uid == uid)
            return c;
    }
    return nullptr;
}

QStringList uids(const QList<_LineMsg>& msgs)
{
    QStringList list;
    for (const _LineMsg& m : msgs)
        list.append(m.uid);
    return list;
}

} // namespace

TEST_F(LineLocalDbTest, OpeningAMissingFolderCreatesFoldersDatabaseAndFullSchema)
{
    const QString path = folder + "/nested/deeper";
    {
        LineLocalDb db{QDir(path)};
        EXPECT_FALSE(QFileInfo::exists(folder)); // constructing touches nothing
        EXPECT_EQ(db.messagesCountThrow(nullptr), 0);
    }
    EXPECT_TRUE(QFileInfo(path + "/thumbs").isDir());
    EXPECT_TRUE(QFileInfo(path + "/files").isDir());
    ASSERT_TRUE(QFileInfo(path + "/marrowquist-line.db").isFile());

    expectCurrentSchema(path);

    if (testenv::haveTool("sqlite3")) {
        QByteArray out;
        ASSERT_EQ(testenv::runTool("sqlite3", {path + "/marrowquist-line.db", "pragma integrity_check;"}, &out), 0);
        EXPECT_EQ(out.trimmed(), "ok");
    }
}

TEST_F(LineLocalDbTest, AnEarlierDatabaseGainsVerCustomNameAndTheTimeIndexAndKeepsItsRows)
{
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Earlier);
        b.addMsg("m1", "text", 100, b.addChat("c1", "single"), b.addUser("u1", "Ann"), "hello");
        ASSERT_FALSE(b.hasColumn("line_msg", "ver"));
    }
    EXPECT_EQ(open(folder), 1);
    expectCurrentSchema(folder);
    EXPECT_FALSE(LocalDbBuilder(folder).value("select ver from line_msg").isValid()); // NULL: an earlier row

    const LineData data = load();
    ASSERT_EQ(data.users().size(), 1);
    EXPECT_EQ(data.users().first()->contactName, "Ann");
    EXPECT_EQ(data.users().first()->customName, "");
}

TEST_F(LineLocalDbTest, EarlierRowsHaveTheirDamagedEmojiEndsMendedOnReadingOnly)
{
    // A LINE emoji run closed by U+10FFFF (F4 8F BF BF), which an older tool
    // turned into U+FFFD (EF BF BD).
    const QByteArray damaged = QByteArray::fromHex("41f48fbc9bf48fbc9c78efbfbd42");
    const QByteArray mended = QByteArray::fromHex("41f48fbc9bf48fbc9c78f48fbfbf42");
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        const qint64 chat = b.addChat("c1", "single");
        b.addMsg("old-null", "text", 1, chat, 0, damaged, QByteArray(), QVariant());
        b.addMsg("old-zero", "text", 2, chat, 0, damaged, QByteArray(), 0);
        b.addMsg("new", "text", 3, chat, 0, damaged, QByteArray(), 1);
    }
    QList<_LineMsg> msgs;
    load(&msgs);
    ASSERT_EQ(uids(msgs), QStringList({"old-null", "old-zero", "new"}));
    EXPECT_EQ(msgs[0].rawContent, mended);
    EXPECT_EQ(msgs[1].rawContent, mended);
    EXPECT_EQ(msgs[2].rawContent, damaged);
    EXPECT_EQ(msgs[0].text, parseLineRawContent(mended));
    EXPECT_TRUE(msgs[0].text.contains("[EMOJI]")) << msgs[0].text.toStdString();

    EXPECT_EQ(LocalDbBuilder(folder).value("select hex(content) from line_msg where uid='old-null'").toString(),
              QString::fromLatin1(damaged.toHex().toUpper()));
}

TEST_F(LineLocalDbTest, AnEmptyFileOrMissingTablesAreGivenTheSchemaBesideExistingRows)
{
    QDir().mkpath(folder);
    QFile f(LocalDbBuilder::dbPath(folder)); // left by an earlier failure
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(open(folder), 0);
    expectCurrentSchema(folder);
    LocalDbBuilder(folder).exec("INSERT INTO line_chat(uid) VALUES('c1');"
                                "DROP TABLE line_group_members; DROP TABLE line_msg");
    EXPECT_EQ(open(folder), 0);
    expectCurrentSchema(folder);
    EXPECT_EQ(LocalDbBuilder(folder).count("line_chat"), 1);
}

TEST_F(LineLocalDbTest, AFailingSchemaScriptAddsNoTableAndFailsAgainOnTheNextUse)
{
    {
        // A line_group without uid: the script's index on it cannot be made.
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        b.exec("DROP TABLE line_msg; DROP TABLE line_chat; DROP TABLE line_group;"
               "CREATE TABLE line_group(_id INTEGER PRIMARY KEY, name VARCHAR)");
    }
    LineLocalDb db{QDir(folder)};
    try {
        db.messagesCountThrow(nullptr);
        ADD_FAILURE() << "opening should fail";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains("uid")) << e.what();
    }
    EXPECT_FALSE(db.isOpen());
    // One transaction: line_chat, made before the failing index, is not there either.
    EXPECT_EQ(LocalDbBuilder(folder).lines("select name from sqlite_master "
                                           "where type='table' and name like 'line%' order by name"),
              QStringList({"line_chat_users", "line_group", "line_group_members", "line_user"}));
    EXPECT_TRUE(QFileInfo::exists(LocalDbBuilder::dbPath(folder))); // the user's file stays
    EXPECT_THROW(db.messagesCountThrow(nullptr), std::runtime_error);
}

TEST_F(LineLocalDbTest, ANewFileWhoseCreationFailsIsRemovedAndTheNextOpeningSucceeds)
{
    // SQLite cannot make its journal where a folder of that name stands.
    const QString journal = LocalDbBuilder::dbPath(folder) + "-journal";
    ASSERT_TRUE(QDir().mkpath(journal));
    {
        LineLocalDb db{QDir(folder)};
        EXPECT_THROW(db.openCheckThrow(), std::runtime_error);
        EXPECT_FALSE(db.isOpen());
    }
    EXPECT_FALSE(QFileInfo::exists(LocalDbBuilder::dbPath(folder)));

    ASSERT_TRUE(QDir(journal).removeRecursively());
    EXPECT_EQ(open(folder), 0);
    expectCurrentSchema(folder);
}

TEST_F(LineLocalDbTest, OpeningPurgesJunkUsersThatSentNothingButKeepsEveryMessageAndItsSender)
{
    QString kept;
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        const qint64 good = b.addUser("u-good"), upper = b.addUser("U-upper"), junk = b.addUser("x-junk"),
                     emptyUid = b.addUser(""), nullUid = b.addUser(QVariant()), junkSender = b.addUser("p-sender");
        kept = QStringLiteral("%1,%2,%3,%4").arg(good).arg(upper).arg(nullUid).arg(junkSender);
        const qint64 chat = b.addChat("c1", "group");
        const qint64 group = b.addGroup("c1", junk, "g");
        for (qint64 u : {good, upper, junk, emptyUid, nullUid, junkSender}) {
            b.addChatUser(chat, u);
            b.addGroupMember(group, u);
        }
        b.addMsg("m1", "text", 1, chat, good, "a");
        b.addMsg("m2", "text", 2, chat, junkSender, "b");
        b.addMsg("m3", "text", 3, chat, 0, "c");
    }
    EXPECT_EQ(open(folder), 3);
    EXPECT_EQ(open(folder), 3);
    {
        LocalDbBuilder check(folder);
        for (const char* ids : {"select group_concat(_id) from (select _id from line_user order by _id)",
                                "select group_concat(user_id) from (select user_id from line_chat_users order by 1)",
                                "select group_concat(user_id) from (select user_id from line_group_members "
                                "order by 1)"})
            EXPECT_EQ(check.value(ids).toString(), kept) << ids;
    }
    QList<_LineMsg> msgs;
    const LineData data = load(&msgs);
    ASSERT_EQ(msgs.size(), 3);
    ASSERT_NE(msgs[1].from, nullptr);
    EXPECT_EQ(msgs[1].from->uid, "p-sender");
    // The group's creator was purged: the group has none.
    ASSERT_NE(chatByUid(data, "c1")->group, nullptr);
    EXPECT_EQ(chatByUid(data, "c1")->group->creator, nullptr);
}

TEST_F(LineLocalDbTest, LoadingReadsUsersChatsGroupsMembersAndTimesAndSkipsDanglingRows)
{
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        const qint64 ann = b.addUser("u-ann", "Ann", "ann", 1600000000);
        const qint64 bob = b.addUser("u-bob", "", "Bob");
        b.exec("update line_user set custom_name='Bobby', pic_uri='/p/bob' where uid='u-bob'");
        const qint64 single = b.addChat("c-single", "single");
        const qint64 grp = b.addChat("c-group", "GrOuP");
        const qint64 multi = b.addChat("c-multi", "multi");
        b.addChat("c-odd", "weird");
        b.addChat("c-null", QVariant());
        b.addChatUser(single, ann);
        b.addChatUser(grp, ann);
        b.addChatUser(grp, bob);
        b.addChatUser(grp, 999); // no such user
        b.addChatUser(777, ann); // no such chat
        const qint64 g = b.addGroup("c-group", bob, "Friends", "st", 1500000000);
        b.addGroupMember(g, ann);
        b.addGroupMember(g, 999);
        b.addGroup("c-nochat", ann, "Orphan"); // no chat of that uid: not loaded
        b.addMsg("m1", "text", 1000, grp, ann, "x");
        b.addMsg("m2", "text", 3000, grp, bob, "y");
        b.addMsg("m3", "text", 2000, single, 0, "z");
        b.addMsg("m4", "text", 9000, 555, 0, "lost"); // no such chat
        // An unsigned time above 2^31 stays in the future, not before 1970.
        b.addMsg("m5", "text", 3000000000LL, multi, 0, "w");
    }
    const LineData data = load();
    QStringList users;
    for (const _LineUser* u : data.users())
        users << QStringList({u->uid, u->contactName, u->serverName, u->customName, u->picUri,
                              QString::number(u->createTs.toSecsSinceEpoch())}).join('|');
    EXPECT_EQ(users, QStringList({"u-ann|Ann|ann|||1600000000", "u-bob||Bob|Bobby|/p/bob|0"}));
    QStringList chats;
    for (const _LineChat* c : data.chats()) {
        QStringList members;
        for (const _LineUser* u : c->users)
            members << u->uid;
        members.sort();
        chats << QStringLiteral("%1 %2 %3 %4").arg(c->uid).arg(c->type)
                     .arg(c->lastTs.isValid() ? c->lastTs.toSecsSinceEpoch() : -1).arg(members.join(','));
    }
    EXPECT_EQ(chats, QStringList({QStringLiteral("c-single %1 2000 u-ann").arg(LineChatType::SINGLE),
                                  QStringLiteral("c-group %1 3000 u-ann,u-bob").arg(LineChatType::GROUP),
                                  QStringLiteral("c-multi %1 3000000000 ").arg(LineChatType::MULTI),
                                  QStringLiteral("c-odd %1 -1 ").arg(LineChatType::SINGLE),
                                  QStringLiteral("c-null %1 -1 ").arg(LineChatType::SINGLE)}));
    EXPECT_EQ(data.groups().size(), 1);
    const _LineGroupInfo* group = chatByUid(data, "c-group")->group;
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->name, "Friends");
    EXPECT_EQ(group->picStatus, "st");
    EXPECT_EQ(group->creator, data.users()[1]);
    EXPECT_EQ(group->createTs.toSecsSinceEpoch(), 1500000000);
    EXPECT_EQ(group->members, QSet<_LineUser*>({data.users()[0]}));
    EXPECT_EQ(chatByUid(data, "c-single")->group, nullptr);
}

TEST_F(LineLocalDbTest, CountingAndPagingGoThroughExistingChatsOnly)
{
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        const qint64 a = b.addChat("c-a", "single");
        for (int i = 1; i <= 7; ++i)
            b.addMsg(QStringLiteral("a%1").arg(i), "text", 100 + i, a, 0, "x");
        b.addMsg("b1", "text", 50, b.addChat("c-b", "single"), 0, "y");
        b.addMsg("lost", "text", 60, 404, 0, "z");
    }
    LineData data = load();
    AbsLineDb& db = *data.db();
    _LineChat* a = chatByUid(data, "c-a");
    EXPECT_EQ(db.messagesCountThrow(nullptr), 8);
    EXPECT_EQ(db.messagesCountThrow(a), 7);
    EXPECT_EQ(uids(db.messagesThrow(data, a, 1, 3, true)), QStringList({"a1", "a2", "a3"}));
    EXPECT_EQ(uids(db.messagesThrow(data, a, 3, 3, true)), QStringList({"a7"}));
    EXPECT_EQ(uids(db.messagesThrow(data, a, 1, 3, false)), QStringList({"a7", "a6", "a5"}));
    EXPECT_EQ(uids(db.messagesThrow(data, a, 4, 3, true)), QStringList());
    // Page 0 gives a negative offset, which reads as none.
    EXPECT_EQ(uids(db.messagesThrow(data, a, 0, 2, true)), QStringList({"a1", "a2"}));
    EXPECT_EQ(uids(db.messagesThrow(data, nullptr, 1, 2, true)), QStringList({"b1", "a1"}));

    // Messages of a chat that the given data does not hold have no chat.
    LineData other(data.db(), 10);
    const QList<_LineMsg> loose = db.messagesThrow(other, nullptr, 1, 1, true);
    ASSERT_EQ(loose.size(), 1);
    EXPECT_EQ(loose[0].chat, nullptr);
}

TEST_F(LineLocalDbTest, PagesOfMessagesWithEqualTimesNeitherRepeatNorSkip)
{
    QStringList written;
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        const qint64 c = b.addChat("c", "single");
        // Inserted in an order unlike their row ids' time order would give.
        for (int i = 0; i < 60; ++i) {
            const QString uid = QStringLiteral("m%1").arg(i);
            b.addMsg(uid, "text", 1000 + (i * 7) % 3, c, 0, "x");
            written << uid;
        }
    }
    LineData data = load();
    AbsLineDb& db = *data.db();
    for (bool asc : {true, false}) {
        QStringList seen;
        for (int page = 1; page <= 13; ++page)
            seen += uids(db.messagesThrow(data, nullptr, page, 5, asc));
        EXPECT_EQ(seen.size(), 60);
        EXPECT_EQ(QSet<QString>(seen.begin(), seen.end()).size(), 60) << "asc " << asc;
    }
}

TEST_F(LineLocalDbTest, ReadingAMessageFillsEveryFieldAndADamagedBlobMeansNoAttachmentValues)
{
    const QByteArray blob = TinyKVSerializer::ser({{"width", 640}, {"file_name", QStringLiteral("report.final.pdf")}});
    {
        LocalDbBuilder b(folder, LocalDbBuilder::Current);
        const qint64 c = b.addChat("c-1", "single");
        b.addMsg("m-file", "FILE", 1000, c, b.addUser("u-ann", "Ann"), "doc", blob);
        b.addMsg("m-cut", "photo", 1001, c, 12345, "pic", blob.left(blob.size() - 2)); // ends inside a value
        b.addMsg("m-odd", "hologram", 1002, c, 0, "?", QByteArray("garbage"));
        for (const char* type : {"Location", "video", "voice", "sticker", "contact"})
            b.addMsg(type, QString::fromLatin1(type).toUpper(), 2000, c, 0, "");
    }
    QList<_LineMsg> msgs;
    LineData data = load(&msgs);
    const LineLocalDb& db = static_cast<LineLocalDb&>(*data.db());
    const QString files = db.filesDir() + "/c-1/", thumbs = db.thumbsDir() + "/c-1/";
    QStringList got;
    for (const _LineMsg& m : msgs) {
        EXPECT_EQ(m.chat, chatByUid(data, "c-1"));
        got << QStringList({m.uid, QString::number(m.type), QString::number(m.ts.toSecsSinceEpoch()), m.text,
                            m.from ? m.from->contactName : "-", QString::number(m.atta.size()),
                            m.thumbPath.isEmpty() ? "" : m.thumbPath.mid(thumbs.size()),
                            m.attaPath.isEmpty() ? "" : m.attaPath.mid(files.size())})
                   .join('|');
    }
    const auto line = [](const char* start, int type, const char* end) {
        return QString::fromLatin1(start) + QString::number(type) + QString::fromLatin1(end);
    };
    EXPECT_EQ(got, QStringList({line("m-file|", LineMsgType::FILE, "|1000|doc|Ann|2||m-file.pdf"),
                                // names no loaded user: unknown, not the owner
                                line("m-cut|", LineMsgType::PHOTO, "|1001|pic||0|m-cut.thumb.jpg|m-cut.jpg"),
                                line("m-odd|", LineMsgType::TEXT, "|1002|?|-|0||"),
                                line("Location|", LineMsgType::LOCATION, "|2000||-|0||"),
                                line("video|", LineMsgType::VIDEO, "|2000||-|0|video.thumb.jpg|video.mp4"),
                                line("voice|", LineMsgType::VOICE, "|2000||-|0||voice.aac"),
                                line("sticker|", LineMsgType::STICKER, "|2000||-|0||"),
                                line("contact|", LineMsgType::CONTACT, "|2000||-|0||")}));
    EXPECT_EQ(msgs.value(1).from, data.unknownUser());
    EXPECT_GT(msgs.value(0).id, 0);
    EXPECT_EQ(msgs.value(0).attaWidth(), 640);
}

TEST_F(LineLocalDbTest, MediaPathsFollowTheTypeAndNeverLeaveTheMediaFolders)
{
    LineLocalDb db{QDir(folder)};
    _LineChat chat;
    chat.uid = "c-1";
    _LineMsg m;
    m.uid = "m-1";
    m.chat = &chat;
    const auto paths = [&](int type, const QString& fileName = QString()) {
        m.type = type;
        m.atta.clear();
        if (!fileName.isNull())
            m.attaSetFileName(fileName);
        QString thumb = "unset", atta = "unset";
        db.msgAttaPath(&m, &thumb, &atta);
        return QStringList({thumb, atta});
    };
    const QString t = db.thumbsDir(), f = db.filesDir();
    EXPECT_EQ(paths(LineMsgType::FILE, "a.tar.gz"), QStringList({"unset", f + "/c-1/m-1.gz"}));
    EXPECT_EQ(paths(LineMsgType::FILE, "README"), QStringList({"unset", f + "/c-1/m-1"}));
    EXPECT_EQ(paths(LineMsgType::FILE, "dot."), QStringList({"unset", f + "/c-1/m-1"}));
    m.type = LineMsgType::PHOTO;
    db.msgAttaPath(&m, nullptr, nullptr); // either pointer may be null

    m.chat = nullptr;
    EXPECT_EQ(paths(LineMsgType::VOICE)[1], f + "/000000000000000000000000000000000/m-1.aac");

    // Hostile ids and file names from a source stay inside their folder.
    m.chat = &chat;
    const QList<QPair<QString, QString>> attacks = {
        {"..", ".."}, {"../..", "../../etc"}, {"/abs", "/etc/passwd"}, {"", ""}, {"c", "x./../../../evil"}};
    for (const auto& attack : attacks) {
        chat.uid = attack.first;
        m.uid = attack.second;
        QStringList all = paths(LineMsgType::FILE, "x./../../../evil") + paths(LineMsgType::PHOTO);
        all.removeAll("unset");
        ASSERT_EQ(all.size(), 3);
        for (const QString& p : all) {
            const QString clean = QDir::cleanPath(p);
            const bool inThumbs = clean.startsWith(t + "/");
            EXPECT_TRUE(inThumbs || clean.startsWith(f + "/")) << p.toStdString();
            // The chat folder, then the file.
            EXPECT_EQ(clean.mid(inThumbs ? t.size() + 1 : f.size() + 1).count('/'), 1) << p.toStdString();
        }
    }
}
