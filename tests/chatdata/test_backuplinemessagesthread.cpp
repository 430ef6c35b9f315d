// Backing messages up into a local database behind the progress window:
// what is stored and read back, repeated runs, media files, failures and
// cancel.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include <sys/stat.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/localdbbuilder.h"
#include "tests/support/memlinedb.h"
#include "tests/support/modaldriver.h"

#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/backuplinemessagesthread_p.h"
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"
#include "chatdata/linetime.h"
#include "foundation/errorreport.h"
#include "foundation/progressform.h"

namespace {

QString translated(const char* key)
{
    return QCoreApplication::translate("BackupLineMessagesThread", key);
}

QString successText(qint64 n)
{
    return translated("IDS_SUC_BACKUP_%1_MESSAGES").arg(n);
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write a test file");
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

_LineMsg msgOf(const QString& uid, _LineChat* chat = nullptr, _LineUser* from = nullptr, int type = LineMsgType::TEXT,
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

class BackupLineMessagesThreadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        errorReport_setServer(QString(), 0);
        ASSERT_TRUE(tmp.isValid());
        target = tmp.path() + "/local/My chats";
        media = tmp.path() + "/media";
    }

    struct Outcome
    {
        int result = -1;
        QStringList notices;
    };

    // Runs one backup behind its progress window. The closing notice is
    // answered; a test that needs more answers queues them first.
    Outcome run(const PAbsLineMsgsSource& source, const std::function<void(ProgressForm&)>& whileOpen = {})
    {
        driver.answer(QMessageBox::Ok);
        ProgressForm form(QStringLiteral("Backup"));
        BackupLineMessagesThread thread(source, QDir(target), form);
        QTimer probe;
        if (whileOpen) {
            QObject::connect(&probe, &QTimer::timeout, [&] { whileOpen(form); });
            probe.start(1);
        }
        Outcome o;
        const int before = driver.answered();
        o.result = form.runWorker(thread);
        form.waitForThread(thread, true);
        probe.stop();
        spinUntil([&] { return driver.pending() == 0 || driver.answered() > before; }, 2000);
        o.notices = driver.texts.mid(before);
        return o;
    }

    // Users 1-3, a group chat (10) with its group and a single chat (11),
    // and messages of several kinds with media files for some.
    QSharedPointer<MemLineDb> sampleDb()
    {
        auto db = QSharedPointer<MemLineDb>::create();
        for (qint64 id = 1; id <= 3; ++id) {
            _LineUser u;
            u.id = id;
            u.uid = QStringLiteral("u-%1").arg(id);
            db->addUser(u);
        }
        _LineGroupInfo g;
        g.id = 7;
        db->addGroup(g, 3, {1, 2, 3});
        _LineChat chat;
        chat.id = 10;
        chat.uid = "c-group";
        chat.type = LineChatType::GROUP;
        db->addChat(chat, 7, {1, 2, 3});
        chat.id = 11;
        chat.uid = "c-single";
        chat.type = LineChatType::SINGLE;
        db->addChat(chat, 0, {1});

        const auto add = [&](const char* uid, int type, qint64 chat, qint64 from, const QString& atta = {},
                             const QString& thumb = {}) {
            _LineMsg m = msgOf(uid, nullptr, nullptr, type, 1000 + db->messagesCountThrow(nullptr));
            m.attaPath = atta;
            m.thumbPath = thumb;
            if (type == LineMsgType::FILE)
                m.attaSetFileName("plans.v2.pdf");
            db->addMessage(m, chat, from);
        };
        add("m1", LineMsgType::TEXT, 10, 1);
        add("m2", LineMsgType::PHOTO, 10, 2, media + "/m2.jpg", media + "/m2.thumb");
        add("m3", LineMsgType::VOICE, 11, 0, media + "/m3-missing.aac"); // LINE never downloaded it
        add("m4", LineMsgType::FILE, 11, 1, media + "/m4");
        add("m5", LineMsgType::STICKER, 10, 3);
        writeFile(media + "/m2.thumb", "thumb-2");
        writeFile(media + "/m2.jpg", "photo-2");
        writeFile(media + "/m4", "%PDF");
        return db;
    }

    // Every message of the database, read through small pages.
    static PAbsLineMsgsSource allOf(const QSharedPointer<MemLineDb>& db)
    {
        LineData data(db, 2);
        db->loadDataThrow(data);
        return PAbsLineMsgsSource(new LineMsgsDataSource(data, nullptr, true));
    }

    // The target read back through the local database itself.
    struct ReadBack
    {
        LineData data;
        QList<_LineMsg> msgs;
    };
    ReadBack readBack()
    {
        auto db = QSharedPointer<LineLocalDb>::create(QDir(target));
        ReadBack r{LineData(db, 5000), {}};
        db->loadDataThrow(r.data);
        r.msgs = db->messagesThrow(r.data, nullptr, 1, 1000, true);
        return r;
    }

    qint64 rows(const QString& table) { return LocalDbBuilder(target).count(table); }

    ModalDriver driver;
    QTemporaryDir tmp;
    QString target;
    QString media;
};

QString uidsOf(const QSet<_LineUser*>& users)
{
    QStringList list;
    for (const _LineUser* u : users)
        list.append(u->uid);
    list.sort();
    return list.join(',');
}

// Records as comparable text, and a list of them sorted.
QString userText(const _LineUser* u)
{
    return QStringList({u->uid, u->contactName, u->serverName, u->customName, u->picUri,
                        QString::number(dtToUnixSecs32(u->createTs))})
        .join('|');
}

QString chatText(const _LineChat* c)
{
    QStringList s = {c->uid, QString::number(c->type), uidsOf(c->users)};
    if (const _LineGroupInfo* g = c->group)
        s << g->uid << g->name << g->picStatus << QString::number(dtToUnixSecs32(g->createTs))
          << (g->creator ? g->creator->uid : "-") << uidsOf(g->members);
    return s.join('|');
}

QString msgText(const _LineMsg& m)
{
    return QStringList({m.uid, QString::number(m.type), QString::number(m.ts.toSecsSinceEpoch()),
                        QString::fromLatin1(m.rawContent.toHex()), m.text, m.chat ? m.chat->uid : "-",
                        m.from ? m.from->uid : "-"})
        .join('|');
}

template <typename T, typename F>
QStringList texts(const QList<T*>& records, F text)
{
    QStringList list;
    for (const T* r : records)
        list.append(text(r));
    list.sort();
    return list;
}

} // namespace

TEST_F(BackupLineMessagesThreadTest, ARepeatedBackupAddsNoRowAndMendsMediaCopiesOfTheWrongSize)
{
    auto db = sampleDb();
    const Outcome first = run(allOf(db));
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(first.notices, QStringList({successText(5)}));
    const qint64 msgs = rows("line_msg"), users = rows("line_user"), members = rows("line_chat_users");
    EXPECT_EQ(msgs, 5);

    ReadBack r = readBack();
    ASSERT_EQ(r.msgs.size(), 5);
    const QString photoTarget = r.msgs[1].attaPath, voiceTarget = r.msgs[2].attaPath;
    EXPECT_EQ(readFile(r.msgs[1].thumbPath), "thumb-2");
    EXPECT_EQ(readFile(photoTarget), "photo-2");
    EXPECT_FALSE(QFileInfo::exists(voiceTarget));
    EXPECT_TRUE(r.msgs[3].attaPath.endsWith("/c-single/m4.pdf")) << r.msgs[3].attaPath.toStdString();
    // No temporary copies are left beside the media.
    QStringList files;
    for (const QString& dir : {target + "/thumbs/c-group", target + "/files/c-group", target + "/files/c-single"})
        files += QDir(dir).entryList(QDir::Files | QDir::Hidden);
    files.sort();
    EXPECT_EQ(files, QStringList({"m2.jpg", "m2.thumb.jpg", "m4.pdf"}));

    // A copy cut short is made again, one of the source's size is kept; a
    // voice note LINE has since downloaded appears in the source.
    writeFile(photoTarget, "");
    writeFile(r.msgs[1].thumbPath, "THUMB-2");
    writeFile(media + "/m3-missing.aac", "voice");
    const Outcome again = run(allOf(db));
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(again.notices, QStringList({successText(5)}));
    EXPECT_EQ(rows("line_msg"), msgs);
    EXPECT_EQ(rows("line_user"), users);
    EXPECT_EQ(rows("line_chat_users"), members);
    EXPECT_EQ(rows("line_chat"), 2);
    EXPECT_EQ(rows("line_group"), 1);
    EXPECT_EQ(readFile(photoTarget), "photo-2");
    EXPECT_EQ(readFile(r.msgs[1].thumbPath), "THUMB-2");
    EXPECT_EQ(readFile(voiceTarget), "voice"); // copied although the message was there already
}

TEST_F(BackupLineMessagesThreadTest, OneUidInTwoChatsIsStoredOncePerChatAndAMessageListedTwiceCountsOnce)
{
    _LineUser ann;
    ann.uid = "u-ann";
    _LineUser annAgain = ann; // another record of the same user
    annAgain.contactName = "renamed";
    _LineChat a, b, aAgain;
    a.uid = "c-a";
    a.users = {&ann};
    b.uid = "c-b";
    b.users = {&annAgain};
    aAgain.uid = "c-a"; // another record of the same chat
    aAgain.users = {&annAgain};
    auto list = QSharedPointer<LineMsgsListSource>::create();
    list->append(msgOf("m1", &a, &ann));
    list->append(msgOf("m1", &b, &annAgain));
    list->append(msgOf("m1", &aAgain)); // the same message of chat c-a
    list->append(msgOf("0", &a));       // never numbered: stored each time
    list->append(msgOf("", &a));

    // m1 of c-a is listed twice; the messages without id are stored anew.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(run(list).notices, QStringList({successText(4)}));
    EXPECT_EQ(rows("line_chat"), 2);
    EXPECT_EQ(rows("line_user"), 1);
    EXPECT_EQ(rows("line_chat_users"), 2);
    LocalDbBuilder check(target);
    EXPECT_EQ(check.value("select count(*) from line_msg where uid='m1'").toLongLong(), 2);
    EXPECT_EQ(check.value("select count(distinct chat_id) from line_msg where uid='m1'").toLongLong(), 2);
    EXPECT_EQ(check.value("select count(*) from line_msg where uid in ('0', '')").toLongLong(), 4);
    EXPECT_EQ(check.value("select contact_name from line_user").toString(), "");
}

TEST_F(BackupLineMessagesThreadTest, AMessageWithoutChatIsNeitherStoredNorCountedButTheDatabaseIsMade)
{
    auto list = QSharedPointer<LineMsgsListSource>::create();
    list->append(msgOf("loose"));
    const Outcome o = run(list);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.notices, QStringList({successText(0)}));
    EXPECT_TRUE(QFileInfo(target + "/thumbs").isDir());
    EXPECT_EQ(rows("line_msg"), 0);
}

TEST_F(BackupLineMessagesThreadTest, AnUnreadableSourceIsAnErrorAndStoresNothing)
{
    auto db = sampleDb();
    db->setFailFromPage(2); // messages 2 and on cannot be read
    const Outcome o = run(allOf(db));
    EXPECT_EQ(o.result, 0);
    ASSERT_EQ(o.notices.size(), 1);
    EXPECT_TRUE(o.notices[0].contains("page 2 cannot be read")) << o.notices[0].toStdString();
    EXPECT_FALSE(o.notices[0].contains(successText(5)));
    EXPECT_EQ(rows("line_msg"), 0);
    EXPECT_EQ(rows("line_chat"), 0);

    db->setFailFromPage(0);
    db->setFailCount(true);
    const Outcome counted = run(allOf(db));
    EXPECT_EQ(counted.result, 0);
    ASSERT_EQ(counted.notices.size(), 1);
    EXPECT_TRUE(counted.notices[0].contains("counting failed")) << counted.notices[0].toStdString();
}

TEST_F(BackupLineMessagesThreadTest, ADatabaseErrorMidRunIsShownAndLeavesNoRowOfTheRun)
{
    LocalDbBuilder(target, LocalDbBuilder::Current)
        .exec("CREATE TRIGGER refuse BEFORE INSERT ON line_msg WHEN NEW.uid='m4' "
              "BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    const Outcome o = run(allOf(sampleDb()));
    EXPECT_EQ(o.result, 0);
    ASSERT_EQ(o.notices.size(), 1);
    EXPECT_TRUE(o.notices[0].contains("disk says no")) << o.notices[0].toStdString();
    for (const char* table : {"line_msg", "line_chat", "line_user"})
        EXPECT_EQ(rows(table), 0) << table;
}

TEST_F(BackupLineMessagesThreadTest, ACancelConfirmedDuringTheLastMessageCommitsNoRowButKeepsCopiedFiles)
{
    {
        // An earlier database with a junk user that sent nothing and one that did.
        LocalDbBuilder b(target, LocalDbBuilder::Earlier);
        b.addUser("x-junk");
        b.addMsg("old", "text", 5, b.addChat("c-old", "single"), b.addUser("x-sender"), "kept");
    }
    auto db = sampleDb();
    LineData data(db, 100);
    db->loadDataThrow(data);
    auto source = QSharedPointer<GatedSource>::create();
    for (int i = 0; i < 5; ++i)
        source->append(data.msgAtThrow(nullptr, i, true));
    source->gateAt = 4; // the last one, after the photo (message 1) and its files
    std::atomic<ProgressForm*> shown{nullptr};
    source->release = [&] { return shown && shown.load()->cancelled; };

    driver.answer(QMessageBox::Yes); // "Are you sure?"
    QString status;
    const Outcome o = run(source, [&](ProgressForm& form) {
        status = form.findChild<QLabel*>("lbStatus")->text();
        if (!shown && source->reached) {
            shown = &form;
            emit form.findChild<QPushButton*>("btnCancel")->pressed();
        }
    });
    EXPECT_EQ(o.result, 0);
    ASSERT_EQ(o.notices.size(), 1); // the question only; no success, no error
    EXPECT_NE(o.notices[0], successText(5));
    EXPECT_EQ(status, translated("IDS_BACKING_UP_LINE_MESSAGES"));

    LocalDbBuilder check(target);
    EXPECT_EQ(check.value("select group_concat(uid) from line_msg").toString(), "old");
    EXPECT_EQ(check.count("line_chat"), 1);
    EXPECT_EQ(check.value("select group_concat(uid) from line_user").toString(), "x-sender");
    EXPECT_TRUE(check.hasColumn("line_msg", "ver"));
    EXPECT_TRUE(check.hasIndex("_vardo_idx_line_msg_ts"));
    EXPECT_EQ(readFile(target + "/files/c-group/m2.jpg"), "photo-2");
    EXPECT_EQ(readFile(target + "/thumbs/c-group/m2.thumb.jpg"), "thumb-2");
}

TEST_F(BackupLineMessagesThreadTest, MediaFilesThatCannotBeStoredAreCountedInTheNotice)
{
    writeFile(target + "/files/c-group", "a file where the chat's media folder goes");
    const Outcome o = run(allOf(sampleDb()));
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.notices, QStringList({successText(5) + " " + translated("IDS_BACKUP_%1_FILES_NOT_STORED").arg(1)}));
    EXPECT_EQ(rows("line_msg"), 5);
}

TEST_F(BackupLineMessagesThreadTest, MessagesWithoutIdKeepMediaFilesOfTheirOwn)
{
    _LineChat chat;
    chat.uid = "c-a";
    auto list = QSharedPointer<LineMsgsListSource>::create();
    const char* const uids[] = {"0", "", "0"};
    for (int i = 0; i < 3; ++i) {
        _LineMsg m = msgOf(uids[i], &chat, nullptr, LineMsgType::PHOTO, i);
        m.attaPath = media + QStringLiteral("/%1.jpg").arg(i);
        writeFile(m.attaPath, "photo-" + QByteArray::number(i));
        list->append(m);
    }
    ASSERT_EQ(run(list).result, 1);
    const ReadBack r = readBack();
    ASSERT_EQ(r.msgs.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readFile(r.msgs[i].attaPath), "photo-" + QByteArray::number(i)) << r.msgs[i].attaPath.toStdString();
}

TEST_F(BackupLineMessagesThreadTest, ALineStoreBackedUpReadsBackWithTheSameRecordsAndAttachmentBytes)
{
    const QString container = tmp.path() + "/container";
    ASSERT_TRUE(QDir().mkpath(container));
    LineStoreBuilder b(container);
    const QDateTime t0(QDate(2019, 3, 1), QTime(9, 30), Qt::UTC);
    const qint64 ms = t0.toMSecsSinceEpoch();
    b.setAccount("u00owner", "Me");
    const qint64 alice = b.addUser(
        LineUserRow("uAlice").named("Alice").addressBook("Ali").custom("A").createdAt(t0).picture("/pic/a"));
    const qint64 bob = b.addUser(LineUserRow("uBob").named("Bob"));
    const qint64 cid = b.addUser(LineUserRow("uCid").named("Cid").createdAt(t0.addDays(3)));
    const qint64 single = b.addChat(LineChatRow("uAlice"));
    const qint64 room = b.addChat(LineChatRow("rRoom").room().withMembers({alice, bob}));
    const qint64 group = b.addChat(LineChatRow("cGroup").groupChat().withMembers({bob, cid}));
    b.addGroup(LineGroupRow("cGroup").named("Hiking").createdAt(t0).picture("ps").createdBy(alice).withMembers(
        {alice, bob, cid}));
    const QByteArray emojiRun = QByteArray::fromHex("f4808080f4808081") + "x" + QByteArray::fromHex("f48fbfbf");
    b.addMessage(LineMsgRow(single, "100").at(ms).from(alice).withText("hi " + emojiRun + " \xff!"));
    b.addMessage(LineMsgRow(single, "101").at(ms + 1000).photo(640, 480).thumbnailBlob("thumb-101"));
    b.addAttachment("uAlice", "101", ".jpg", "photo-101");
    b.addMessage(LineMsgRow(room, "200").at(ms + 2000).from(bob).voice(2940));
    b.addAttachment("rRoom", "200", ".m4a", "voice-200");
    b.addMessage(LineMsgRow(room, "201").at(ms + 3000).from(bob).video(320, 240).thumbnailBlob("thumb-201"));
    b.addAttachment("rRoom", "201", ".mp4", "video-201");
    b.addMessage(LineMsgRow(group, "300").at(ms + 4000).from(cid).sticker(11, 22, 33));
    b.addMessage(LineMsgRow(group, "301").at(ms + 5000).from(alice).contact("uBob", "Bob B"));
    b.addMessage(LineMsgRow(group, "302").at(ms + 6000).from(bob).file("plans.v2.pdf", 4));
    b.addAttachment("cGroup", "302", "_plans.v2.pdf", "%PDF");
    b.addMessage(LineMsgRow(group, "303").at(ms + 7000).location(35.681236, 139.767125, "Tokyo Station"));
    b.build();

    auto store = QSharedPointer<IOSLineDb>::create(QDir(container), QString());
    LineData source(store, 5000);
    store->loadDataThrow(source);
    const QList<_LineMsg> expected = store->messagesThrow(source, nullptr, 1, 1000, true);
    ASSERT_EQ(expected.size(), 8);

    const Outcome o = run(PAbsLineMsgsSource(new LineMsgsDataSource(source, nullptr, true)));
    EXPECT_EQ(o.notices, QStringList({successText(8)}));
    const ReadBack r = readBack();

    // Chats with their members and groups, and every user they name.
    EXPECT_EQ(texts(r.data.chats(), chatText), texts(source.chats(), chatText));
    EXPECT_EQ(texts(r.data.users(), userText), texts(source.users(), userText));
    EXPECT_EQ(r.data.users().size(), 4);
    // Messages, their attachment values and the bytes of their files.
    ASSERT_EQ(r.msgs.size(), expected.size());
    int files = 0;
    for (int i = 0; i < expected.size(); ++i) {
        const _LineMsg &want = expected[i], &got = r.msgs[i];
        SCOPED_TRACE(want.uid.toStdString());
        EXPECT_EQ(msgText(got), msgText(want));
        EXPECT_EQ(got.atta, want.atta);
        for (const auto& paths : {qMakePair(want.thumbPath, got.thumbPath), qMakePair(want.attaPath, got.attaPath)}) {
            if (!paths.first.isEmpty() && QFileInfo::exists(paths.first)) {
                EXPECT_EQ(readFile(paths.second), readFile(paths.first)) << paths.second.toStdString();
                ++files;
            }
        }
    }
    EXPECT_EQ(files, 6); // two thumbnails, photo, voice, video, file
    EXPECT_TRUE(r.msgs[0].text.contains("[EMOJI]")) << r.msgs[0].text.toStdString();
}

TEST(MediaCopy, ACopyOfAnotherSizeIsReplacedWholeAndOneOfTheSameSizeKept)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString from = tmp.path() + "/from", to = tmp.path() + "/to";
    QByteArray big(200 * 1024 + 7, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    writeFile(from + "/big.bin", big);
    writeFile(from + "/same.bin", "1234");
    writeFile(to + "/cut.jpg", big.left(10)); // copied from a damaged source
    writeFile(to + "/same.jpg", "abcd");
    ASSERT_EQ(::mkfifo(QFile::encodeName(from + "/fifo").constData(), 0600), 0);
    const struct {
        const char* from;
        const char* to;
        MediaCopyResult result;
        QByteArray after;
    } cases[] = {
        {"/big.bin", "/chat/big.jpg", MediaCopyResult::Copied, big}, // the folder is made
        {"/big.bin", "/cut.jpg", MediaCopyResult::Copied, big},
        {"/same.bin", "/same.jpg", MediaCopyResult::Kept, "abcd"},
        {"/missing.bin", "/missing.jpg", MediaCopyResult::NoSource, "<missing>"},
        {"/fifo", "/fifo.jpg", MediaCopyResult::NoSource, "<missing>"}, // would block in open()
        {"", "/folder.jpg", MediaCopyResult::NoSource, "<missing>"},
        {"/big.bin", "/same.jpg/x.jpg", MediaCopyResult::Failed, "<missing>"}, // a file where the folder goes
    };
    for (const auto& c : cases) {
        QString error;
        EXPECT_EQ(g_copyMediaFile(*c.from ? from + c.from : QString(), to + c.to, &error), c.result) << c.to;
        EXPECT_EQ(readFile(to + c.to), c.after) << c.to;
        EXPECT_EQ(error.isEmpty(), c.result != MediaCopyResult::Failed) << c.to;
    }
    // Private to the user, like the chats; no temporary file is left.
    EXPECT_EQ(QFileInfo(to + "/cut.jpg").permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
    EXPECT_EQ(QDir(to).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name),
              QStringList({"chat", "cut.jpg", "same.jpg"}));
}
