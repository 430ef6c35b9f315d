// The program's own local database: opening (creation, migration, purge),
// writing and reading it, and backing messages up into it behind the
// progress window.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include <sys/stat.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/memlinedb.h"
#include "tests/support/modaldriver.h"
#include "tests/support/testenv.h"

#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/backuplinemessagesthread_p.h"
#include "chatdata/linedata.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"
#include "chatdata/tinykvserializer.h"
#include "foundation/errorreport.h"
#include "foundation/progressform.h"

namespace {

// Each row of a query, its columns joined by "|" (NULL: ""), read on a
// connection of the test's own.
QStringList rows(const QString& folder, const QString& sql)
{
    Sqlite3DB db;
    db.openThrow(QDir(folder).filePath("marrowquist-line.db"), 2);
    QStringList out;
    for (Sqlite3Cursor cur = db.queryThrow(sql); cur.moveNext();) {
        QStringList cols;
        for (int i = 0; i < cur.columnCount(); ++i)
            cols << cur.getText(i);
        out << cols.join('|');
    }
    return out;
}

_LineMsg msgOf(const QString& uid, _LineChat* chat, _LineUser* from = nullptr, int type = LineMsgType::TEXT, qint64 ts = 0)
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

QString uidOf(const _LineUser* u)
{
    return u ? u->uid : "(owner)";
}

class LineLocalDbTest : public ::testing::Test
{
protected:
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/db";
};

TEST_F(LineLocalDbTest, AnEarlierDatabaseIsMigratedAndLosesOnlyJunkUsersThatSentNothing)
{
    // A LINE emoji run closed by U+10FFFF, which an older tool turned into U+FFFD.
    const QByteArray damaged = QByteArray::fromHex("41f48fbc9bf48fbc9c78efbfbd42");
    const QByteArray mended = QByteArray::fromHex("41f48fbc9bf48fbc9c78f48fbfbf42");
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
                                " ('m1', 'text', 1, 1, 1, 'a'), ('m2', 'text', 2, 1, 3, X'41f48fbc9bf48fbc9c78efbfbd42')"})
            made.executeThrow(sql);
    }
    LineLocalDb db{QDir(folder)};
    EXPECT_EQ(db.messagesCountThrow(nullptr), 2);
    // A row written now is of the current format: its text is read as stored.
    _LineChat c1;
    c1.uid = "c1";
    _LineMsg m3 = msgOf("m3", &c1, nullptr, LineMsgType::TEXT, 3);
    m3.rawContent = damaged;
    db.insertMsgThrow(1, &m3);
    for (int again = 0; again < 2; ++again) {
        LineLocalDb reopened{QDir(folder)};
        EXPECT_EQ(reopened.messagesCountThrow(nullptr), 3);
    }
    EXPECT_EQ(rows(folder, "select group_concat(name) from (select name from pragma_table_info('line_msg') where name='ver'"
                           " union all select name from pragma_table_info('line_user') where name='custom_name'"
                           " union all select name from sqlite_master where name='_vardo_idx_line_msg_ts')"),
              QStringList{"ver,custom_name,_vardo_idx_line_msg_ts"});
    // "x-junk" and "" go with their memberships; the sender "p-sender" and a NULL uid stay.
    EXPECT_EQ(rows(folder, "select 'u', ifnull(uid, 'NULL') from line_user union all select 'c', user_id from line_chat_users"
                           " union all select 'g', user_id from line_group_members order by 1, 2"),
              QStringList({"c|1", "c|3", "c|5", "g|1", "g|3", "g|5", "u|NULL", "u|p-sender", "u|u-good"}));
    const Loaded l = load(folder);
    ASSERT_EQ(l.msgs.size(), 3);
    EXPECT_EQ(uidOf(l.msgs[1].from), "p-sender");
    EXPECT_EQ(l.msgs[1].rawContent, mended); // mended on reading only
    EXPECT_TRUE(l.msgs[1].text.contains("[EMOJI]"));
    EXPECT_EQ(l.msgs[2].rawContent, damaged);
    EXPECT_EQ(rows(folder, "select hex(content) from line_msg where uid='m2'"), QStringList{damaged.toHex().toUpper()});
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
    EXPECT_THROW(broken.messagesCountThrow(nullptr), std::runtime_error);
    EXPECT_THROW(broken.messagesCountThrow(nullptr), std::runtime_error);
    EXPECT_EQ(rows(folder, "select group_concat(name) from (select name from sqlite_master where type='table'"
                           " and name like 'line%' order by name)"),
              QStringList{"line_chat_users,line_group,line_group_members,line_user"});
}

TEST_F(LineLocalDbTest, WrittenRecordsReadBackFoundByIdWithinTheirChat)
{
    LineLocalDb db{QDir(folder)};
    _LineUser ann, bob, anonymous;
    ann.uid = "u-ann";
    ann.contactName = "Ann";
    ann.customName = "Annie";
    ann.createTs = QDateTime::fromSecsSinceEpoch(3000000000LL); // beyond signed 32 bits
    bob.uid = "u-bob";
    _LineChat a, b;
    a.uid = "c-a";
    a.type = LineChatType::GROUP;
    a.users = {&ann, &bob};
    b.uid = "c-b";
    _LineGroupInfo g;
    g.uid = "c-a";
    g.name = "Friends";
    g.creator = &bob;
    g.members = {&ann};
    const qint64 aId = db.insertChatThrow(&a), bId = db.insertChatThrow(&b);
    db.saveChatMembersThrow(aId, &a);
    db.saveChatMembersThrow(aId, &a);
    const qint64 gId = db.insertGroupInfoThrow(&g);
    db.saveGroupMembersThrow(gId, &g);
    EXPECT_EQ(db.findChatThrow("c-b"), bId);
    EXPECT_EQ(db.findGroupInfoThrow("c-a"), gId);
    ann.contactName = "Changed"; // found again, the row is not refreshed
    EXPECT_EQ(db.findOrInsertUserThrow(&ann), db.findUserThrow("u-ann"));
    EXPECT_EQ(db.findUserThrow("U-ANN"), 0);

    // Equal times keep the order of writing; ids are looked for within their chat.
    _LineMsg photo = msgOf("m-1", &a, &ann, LineMsgType::PHOTO, 1700000000);
    photo.rawContent = QByteArray::fromHex("41ff00f48fbfbf42"); // no UTF-8: kept byte for byte
    photo.attaSetWidth(640);
    photo.attaSetFileSize(5000000000LL);
    const qint64 first = db.insertMsgThrow(aId, &photo);
    EXPECT_EQ(db.findMsgThrow(aId, "m-1"), first);
    EXPECT_EQ(db.findMsgThrow(bId, "m-1"), 0);
    const QList<_LineMsg> written = {msgOf("m-1", &b, nullptr, LineMsgType::FILE, 1700000000), msgOf("0", &a, nullptr, 42, 1700000000),
                                     msgOf("", &a, &anonymous, LineMsgType::VOICE, 1700000000)};
    for (const _LineMsg& m : written) {
        const qint64 id = db.insertMsgThrow(m.chat == &a ? aId : bId, &m);
        EXPECT_EQ(db.findMsgThrow(m.chat == &a ? aId : bId, m.uid), isLineMsgUidValid(m.uid) ? id : 0);
    }
    EXPECT_EQ(db.messagesCountThrow(&b), 1);
    const Loaded l = load(folder);
    QStringList got;
    for (const _LineMsg& m : l.msgs)
        got << QStringList{m.chat->uid, m.uid, QString::number(m.type), m.from == l.data.unknownUser() ? "(unknown)" : uidOf(m.from),
                           m.rawContent.toHex(), QString::number(m.attaFileSize())}.join(' ');
    // A sender without LINE id is unknown, not a user row; an unknown type reads as text.
    EXPECT_EQ(got, QStringList({QString("c-a m-1 %1 u-ann 41ff00f48fbfbf42 5000000000").arg(LineMsgType::PHOTO),
                                QString("c-b m-1 %1 (owner)  0").arg(LineMsgType::FILE), QString("c-a 0 %1 (owner)  0").arg(LineMsgType::TEXT),
                                QString("c-a  %1 (unknown)  0").arg(LineMsgType::VOICE)}));
    EXPECT_EQ(l.msgs[0].attaWidth(), 640);
    QStringList records;
    for (const _LineUser* u : l.data.users())
        records << u->uid + ":" + u->contactName + ":" + u->customName + ":" + QString::number(u->createTs.toSecsSinceEpoch());
    for (const _LineChat* c : l.data.chats())
        records << c->uid + ":" + QString::number(c->type) + ":" + QString::number(c->users.size()) + ":"
                       + (c->group ? c->group->name + "/" + uidOf(c->group->creator) + "/" + QString::number(c->group->members.size()) : "");
    records.sort();
    EXPECT_EQ(records, QStringList({QString("c-a:%1:2:Friends/u-bob/1").arg(LineChatType::GROUP), QString("c-b:%1:0:").arg(LineChatType::SINGLE),
                                    "u-ann:Ann:Annie:3000000000", "u-bob:::4294967295"}));
    // The attachment values as a tinykv blob, a file type that only says "tinykv".
    EXPECT_EQ(TinyKVSerializer::unser(QByteArray::fromHex(rows(folder, "select hex(atta) from line_msg where _id=1").value(0).toLatin1()))
                  .value("size"), QVariant(5000000000LL));
}

TEST_F(LineLocalDbTest, MediaPathsFollowTheTypeAndNeverLeaveTheMediaFolders)
{
    LineLocalDb db{QDir(folder)};
    _LineChat chat;
    _LineMsg m = msgOf("m-1", &chat);
    const auto paths = [&](int type, const QString& fileName = QString()) {
        m.type = type;
        m.atta.clear();
        if (!fileName.isNull())
            m.attaSetFileName(fileName);
        QString thumb, atta;
        db.msgAttaPath(&m, &thumb, &atta);
        return QStringList({thumb, atta});
    };
    const QString t = db.thumbsDir(), f = db.filesDir();
    chat.uid = "c-1";
    EXPECT_EQ(paths(LineMsgType::FILE, "a.tar.gz") + paths(LineMsgType::FILE, "README") + paths(LineMsgType::VIDEO),
              QStringList({"", f + "/c-1/m-1.gz", "", f + "/c-1/m-1", t + "/c-1/m-1.thumb.jpg", f + "/c-1/m-1.mp4"}));
    // Hostile ids and file names stay inside their folder: the chat's, then the file.
    for (const auto& [chatUid, msgUid] : {std::pair{"..", ".."}, {"../..", "../../etc"}, {"/abs", "/etc/passwd"}, {"c", "x./../../evil"}}) {
        chat.uid = chatUid;
        m.uid = msgUid;
        for (const QString& p : paths(LineMsgType::FILE, "x./../../../evil") + paths(LineMsgType::PHOTO)) {
            const QString clean = QDir::cleanPath(p), root = clean.startsWith(t + "/") ? t : f;
            EXPECT_TRUE(p.isEmpty() || (clean.startsWith(root + "/") && clean.mid(root.size() + 1).count('/') == 1)) << p.toStdString();
        }
    }
}

// --- backing up -------------------------------------------------------------

// A list source whose message `gateAt` is handed out only once `release`
// says so; `reached` tells the GUI side it is waiting there.
class GatedSource : public LineMsgsListSource
{
public:
    _LineMsg msgThrow(qint64 i) const override
    {
        if (i == gateAt) {
            reached = true;
            for (int waited = 0; release && !release() && waited < 10000; waited += 2)
                QThread::msleep(2);
        }
        return LineMsgsListSource::msgThrow(i);
    }
    qint64 gateAt = -1;
    std::function<bool()> release;
    mutable std::atomic<bool> reached{false};
};

class BackupLineMessagesThreadTest : public LineLocalDbTest
{
protected:
    void SetUp() override { errorReport_setServer(QString(), 0); }

    // Runs one backup behind its progress window and gives its result and
    // the notices shown; the closing notice is answered.
    QPair<int, QStringList> run(const PAbsLineMsgsSource& source, const std::function<void(ProgressForm&)>& whileOpen = {})
    {
        driver.answer(QMessageBox::Ok);
        ProgressForm form(QStringLiteral("Backup"));
        BackupLineMessagesThread thread(source, QDir(folder), form);
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] { if (whileOpen) whileOpen(form); });
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
        return tr("IDS_SUC_BACKUP_%1_MESSAGES").arg(n) + (notStored ? " " + tr("IDS_BACKUP_%1_FILES_NOT_STORED").arg(notStored) : "");
    }

    // Users 1-3, a group chat (10) with its group and a single chat (11),
    // and messages of several kinds with media files for some.
    QSharedPointer<MemLineDb> sampleDb()
    {
        auto db = QSharedPointer<MemLineDb>::create();
        for (qint64 id = 1; id <= 3; ++id)
            db->addUser(id, QStringLiteral("u-%1").arg(id));
        db->addGroup(7, 3, {1, 2, 3});
        db->addChat(10, "c-group", LineChatType::GROUP, 7, {1, 2, 3});
        db->addChat(11, "c-single", LineChatType::SINGLE, 0, {1});
        const struct { const char* uid; int type; qint64 chat, from; const char *atta, *thumb; } msgs[] = {
            {"m1", LineMsgType::TEXT, 10, 1, "", ""},           {"m2", LineMsgType::PHOTO, 10, 2, "/m2.jpg", "/m2.thumb"},
            {"m3", LineMsgType::VOICE, 11, 0, "/m3.aac", ""}, // LINE never downloaded it
            {"m4", LineMsgType::FILE, 11, 1, "/m4", ""},        {"m5", LineMsgType::STICKER, 10, 3, "", ""}};
        for (const auto& s : msgs) {
            _LineMsg m = msgOf(s.uid, nullptr, nullptr, s.type, 1000 + db->messagesCountThrow(nullptr));
            m.attaPath = *s.atta ? media + s.atta : QString();
            m.thumbPath = *s.thumb ? media + s.thumb : QString();
            if (s.type == LineMsgType::FILE)
                m.attaSetFileName("plans.v2.pdf");
            db->addMessage(m, s.chat, s.from);
        }
        EXPECT_TRUE(testenv::writeFile(media + "/m2.thumb", "thumb-2") && testenv::writeFile(media + "/m2.jpg", "photo-2")
                    && testenv::writeFile(media + "/m4", "%PDF"));
        return db;
    }
    static PAbsLineMsgsSource allOf(const QSharedPointer<MemLineDb>& db)
    {
        LineData data(db, 2);
        db->loadDataThrow(data);
        return PAbsLineMsgsSource(new LineMsgsDataSource(data, nullptr, true));
    }
    QString count(const char* table) { return rows(folder, QString("select count(*) from ") + table).value(0); }

    ModalDriver driver;
    const QString media = tmp.path() + "/media";
};

TEST_F(BackupLineMessagesThreadTest, ARepeatedBackupAddsNoRowAndMendsMediaCopiesOfTheWrongSize)
{
    auto db = sampleDb();
    ASSERT_EQ(::mkfifo(QFile::encodeName(media + "/m3.aac").constData(), 0600), 0); // opening it would block
    EXPECT_EQ(run(allOf(db)), qMakePair(1, QStringList{done(5)}));
    const Loaded first = load(folder);
    ASSERT_EQ(first.msgs.size(), 5);
    const QString photo = first.msgs[1].attaPath, thumb = first.msgs[1].thumbPath, voice = first.msgs[2].attaPath;
    EXPECT_EQ(testenv::readFile(thumb) + testenv::readFile(photo) + testenv::readFile(first.msgs[3].attaPath), "thumb-2photo-2%PDF");
    EXPECT_FALSE(QFileInfo::exists(voice));
    EXPECT_EQ(QFileInfo(photo).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0); // private, like the chats
    EXPECT_TRUE(first.msgs[3].attaPath.endsWith("/c-single/m4.pdf")) << first.msgs[3].attaPath.toStdString();
    QStringList files; // and no temporary copy beside them
    for (const QString& dir : {folder + "/thumbs/c-group", folder + "/files/c-group", folder + "/files/c-single"})
        files += QDir(dir).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(files, QStringList({"m2.thumb.jpg", "m2.jpg", "m4.pdf"}));

    // A copy cut short is made again, one of the source's size kept; a voice
    // note LINE has since downloaded is copied although its message is there.
    QFile::remove(media + "/m3.aac");
    ASSERT_TRUE(testenv::writeFile(photo, "") && testenv::writeFile(thumb, "THUMB-2") && testenv::writeFile(media + "/m3.aac", "voice"));
    EXPECT_EQ(run(allOf(db)), qMakePair(1, QStringList{done(5)}));
    EXPECT_EQ(count("line_msg") + count("line_user") + count("line_chat_users") + count("line_chat") + count("line_group"), "53421");
    EXPECT_EQ(testenv::readFile(photo) + testenv::readFile(thumb) + testenv::readFile(voice), "photo-2THUMB-2voice");
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
    for (const _LineMsg& m : {msgOf("m1", &a, &ann), msgOf("m1", &b, &annAgain), msgOf("m1", &aAgain), msgOf("0", &a, nullptr, LineMsgType::PHOTO),
                              msgOf("", &a, nullptr, LineMsgType::PHOTO), msgOf("", &a, nullptr, LineMsgType::PHOTO), msgOf("loose", nullptr)}) {
        list->append(m);
        list->msgs.last().attaPath = m.type == LineMsgType::PHOTO ? media + QString("/%1.jpg").arg(list->msgs.size()) : QString();
        ASSERT_TRUE(m.type != LineMsgType::PHOTO || testenv::writeFile(list->msgs.last().attaPath, QByteArray::number(list->msgs.size())));
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(run(list).second, QStringList{done(5)});
    EXPECT_EQ(rows(folder, "select (select count(distinct chat_id) from line_msg where uid='m1') || (select count(*) from line_msg)"
                           " || (select count(*) from line_chat) || (select group_concat(uid || contact_name) from line_user)"),
              QStringList{"282u-ann"});
    QStringList photos;
    for (const _LineMsg& m : load(folder).msgs)
        if (m.type == LineMsgType::PHOTO)
            photos << testenv::readFile(m.attaPath);
    EXPECT_EQ(photos, QStringList({"4", "5", "6", "4", "5", "6"}));
}

TEST_F(BackupLineMessagesThreadTest, FailuresAreShownAndLeaveNoRowOfTheRun)
{
    auto db = sampleDb();
    db->failFromPage = 2; // messages 2 and on cannot be read
    auto o = run(allOf(db));
    EXPECT_EQ(o.first, 0);
    EXPECT_TRUE(o.second.size() == 1 && o.second[0].contains("page 2 cannot be read")) << o.second.join('\n').toStdString();
    EXPECT_EQ(count("line_msg") + count("line_chat"), "00");
    db->failFromPage = 0;
    db->failCount = true;
    o = run(allOf(db));
    EXPECT_EQ(o.first, 0);
    EXPECT_TRUE(o.second.size() == 1 && o.second[0].contains("counting failed"));

    db->failCount = false;
    LineLocalDb(QDir(folder)).runSqlThrow("CREATE TRIGGER refuse BEFORE INSERT ON line_msg WHEN NEW.uid='m4' "
                                           "BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    o = run(allOf(db));
    EXPECT_EQ(o.first, 0);
    EXPECT_TRUE(o.second.size() == 1 && o.second[0].contains("disk says no"));
    EXPECT_EQ(count("line_msg") + count("line_chat") + count("line_user"), "000");

    // A file where a chat's media folder goes: the messages are stored, the file counted.
    LineLocalDb(QDir(folder)).runSqlThrow("DROP TRIGGER refuse");
    ASSERT_TRUE(QDir(folder + "/files/c-group").removeRecursively() && testenv::writeFile(folder + "/files/c-group", "a file"));
    EXPECT_EQ(run(allOf(db)), qMakePair(1, QStringList{done(5, 1)}));
    EXPECT_EQ(count("line_msg"), "5");
}

TEST_F(BackupLineMessagesThreadTest, ACancelConfirmedDuringTheLastMessageCommitsNoRowButKeepsCopiedFiles)
{
    LineLocalDb(QDir(folder)).runSqlThrow("INSERT INTO line_msg(uid) VALUES ('old')");
    auto db = sampleDb();
    LineData data(db, 100);
    db->loadDataThrow(data);
    auto source = QSharedPointer<GatedSource>::create();
    for (int i = 0; i < 5; ++i)
        source->append(data.msgAtThrow(nullptr, i, true));
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
    EXPECT_EQ(rows(folder, "select group_concat(uid) from line_msg"), QStringList{"old"});
    EXPECT_EQ(count("line_chat") + count("line_user"), "00");
    EXPECT_EQ(testenv::readFile(folder + "/files/c-group/m2.jpg"), "photo-2");
}

} // namespace
