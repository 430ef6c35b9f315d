// Backing messages up into a local database behind the progress window:
// what is stored and read back, repeated runs, media files, failures and
// cancel.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMutex>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

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

// Hands out message i only once the window has shown i + 1 percents, so
// that no progress report is merged into the next.
class SteppedSource : public LineMsgsListSource
{
public:
    _LineMsg msgThrow(qint64 i) const override
    {
        for (int waited = 0; *seen < i + 1 && waited < 5000; waited += 2)
            QThread::msleep(2);
        return LineMsgsListSource::msgThrow(i);
    }

    std::atomic<int>* seen = nullptr;
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
        // The notice that closed the window has been answered by now.
        spinUntil([&] { return driver.pending() == 0 || driver.answered() > before; }, 2000);
        o.notices = driver.texts.mid(before);
        return o;
    }

    // A database of three users, a group chat with its group, a single chat
    // and messages of every kind, with media files for some.
    QSharedPointer<MemLineDb> sampleDb()
    {
        auto db = QSharedPointer<MemLineDb>::create();
        const char* uids[] = {"u-ann", "u-bob", "u-cid"};
        for (qint64 id = 1; id <= 3; ++id) {
            _LineUser u;
            u.id = id;
            u.uid = QString::fromLatin1(uids[id - 1]);
            u.contactName = QStringLiteral("Contact %1").arg(id);
            u.serverName = QStringLiteral("Server %1").arg(id);
            u.createTs = QDateTime::fromSecsSinceEpoch(1400000000 + id);
            db->addUser(u);
        }
        _LineGroupInfo g;
        g.id = 7;
        g.uid = "c-group";
        g.name = "Hiking";
        g.picStatus = "p7";
        g.createTs = QDateTime::fromSecsSinceEpoch(1450000000);
        db->addGroup(g, 3, {1, 2, 3});
        _LineChat group, single;
        group.id = 10;
        group.uid = "c-group";
        group.type = LineChatType::GROUP;
        single.id = 11;
        single.uid = "c-single";
        db->addChat(group, 7, {1, 2, 3});
        db->addChat(single, 0, {1});

        const auto add = [&](const QString& uid, int type, qint64 ts, qint64 chat, qint64 from, const QByteArray& raw) {
            _LineMsg m;
            m.uid = uid;
            m.type = type;
            m.ts = QDateTime::fromSecsSinceEpoch(ts);
            m.rawContent = raw;
            m.text = QString::fromUtf8(raw);
            return m;
        };
        db->addMessage(add("m1", LineMsgType::TEXT, 1000, 10, 1, "hello"), 10, 1);
        _LineMsg photo = add("m2", LineMsgType::PHOTO, 1001, 10, 2, "");
        photo.attaSetWidth(640);
        photo.attaSetHeight(480);
        photo.thumbPath = media + "/m2.thumb";
        photo.attaPath = media + "/m2.jpg";
        db->addMessage(photo, 10, 2);
        _LineMsg voice = add("m3", LineMsgType::VOICE, 1002, 11, 0, "");
        voice.attaSetFileSize(9800);
        voice.attaPath = media + "/m3-missing.aac"; // LINE never downloaded it
        db->addMessage(voice, 11, 0);
        _LineMsg file = add("m4", LineMsgType::FILE, 1003, 11, 1, "");
        file.attaSetFileName("plans.v2.pdf");
        file.attaSetFileSize(4);
        file.attaPath = media + "/m4";
        db->addMessage(file, 11, 1);
        _LineMsg sticker = add("m5", LineMsgType::STICKER, 1004, 10, 3, "");
        sticker.attaSetSticker(_LineStickerInfo{11, 22, 33});
        db->addMessage(sticker, 10, 3);

        writeFile(media + "/m2.thumb", "thumb-2");
        writeFile(media + "/m2.jpg", "photo-2");
        writeFile(media + "/m4", "%PDF");
        return db;
    }

    PAbsLineMsgsSource allOf(const QSharedPointer<MemLineDb>& db, LineData* keep = nullptr)
    {
        LineData data(db, 2); // small pages: the run crosses several
        db->loadDataThrow(data);
        if (keep)
            *keep = data;
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

    qint64 rows(const QString& table)
    {
        LocalDbBuilder check(target);
        return check.count(table);
    }

    ModalDriver driver;
    QTemporaryDir tmp;
    QString target;
    QString media;
};

_LineChat* chatByUid(const LineData& data, const QString& uid)
{
    for (_LineChat* c : data.chats()) {
        if (c->uid == uid)
            return c;
    }
    return nullptr;
}

QStringList memberUids(const QSet<_LineUser*>& users)
{
    QStringList list;
    for (const _LineUser* u : users)
        list.append(u->uid);
    list.sort();
    return list;
}

} // namespace

TEST_F(BackupLineMessagesThreadTest, StoresChatsUsersGroupsMessagesAndMediaThatReadBackTheSame)
{
    const Outcome o = run(allOf(sampleDb()));
    EXPECT_EQ(o.result, 1);
    ASSERT_EQ(o.notices.size(), 1);
    EXPECT_EQ(o.notices[0], successText(5));

    const ReadBack r = readBack();
    ASSERT_EQ(r.data.users().size(), 3);
    ASSERT_EQ(r.data.chats().size(), 2);
    _LineChat* group = chatByUid(r.data, "c-group");
    _LineChat* single = chatByUid(r.data, "c-single");
    ASSERT_TRUE(group && single);
    EXPECT_EQ(group->type, LineChatType::GROUP);
    EXPECT_EQ(single->type, LineChatType::SINGLE);
    EXPECT_EQ(memberUids(group->users), QStringList({"u-ann", "u-bob", "u-cid"}));
    EXPECT_EQ(memberUids(single->users), QStringList({"u-ann"}));
    ASSERT_NE(group->group, nullptr);
    EXPECT_EQ(group->group->name, "Hiking");
    EXPECT_EQ(group->group->picStatus, "p7");
    EXPECT_EQ(group->group->createTs.toSecsSinceEpoch(), 1450000000);
    ASSERT_NE(group->group->creator, nullptr);
    EXPECT_EQ(group->group->creator->uid, "u-cid");
    EXPECT_EQ(memberUids(group->group->members), QStringList({"u-ann", "u-bob", "u-cid"}));
    for (const _LineUser* u : r.data.users()) {
        EXPECT_EQ(u->contactName, QStringLiteral("Contact %1").arg(u->uid == "u-ann" ? 1 : u->uid == "u-bob" ? 2 : 3));
        EXPECT_EQ(u->createTs.toSecsSinceEpoch() - 1400000000, u->uid == "u-ann" ? 1 : u->uid == "u-bob" ? 2 : 3);
    }

    ASSERT_EQ(r.msgs.size(), 5);
    EXPECT_EQ(r.msgs[0].uid, "m1");
    EXPECT_EQ(r.msgs[0].text, "hello");
    EXPECT_EQ(r.msgs[0].chat, group);
    EXPECT_EQ(r.msgs[0].from->uid, "u-ann");
    EXPECT_EQ(r.msgs[0].ts.toSecsSinceEpoch(), 1000);
    EXPECT_EQ(r.msgs[1].type, LineMsgType::PHOTO);
    EXPECT_EQ(r.msgs[1].attaWidth(), 640);
    EXPECT_EQ(r.msgs[1].attaHeight(), 480);
    EXPECT_EQ(readFile(r.msgs[1].thumbPath), "thumb-2");
    EXPECT_EQ(readFile(r.msgs[1].attaPath), "photo-2");
    EXPECT_EQ(r.msgs[2].type, LineMsgType::VOICE);
    EXPECT_EQ(r.msgs[2].from, nullptr); // the account owner
    EXPECT_EQ(r.msgs[2].attaFileSize(), 9800);
    EXPECT_FALSE(QFileInfo::exists(r.msgs[2].attaPath));
    EXPECT_EQ(r.msgs[3].attaFileName(), "plans.v2.pdf");
    EXPECT_TRUE(r.msgs[3].attaPath.endsWith("/c-single/m4.pdf")) << r.msgs[3].attaPath.toStdString();
    EXPECT_EQ(readFile(r.msgs[3].attaPath), "%PDF");
    EXPECT_EQ(r.msgs[4].attaSticker().package, 22);

    // No temporary copies are left beside the media.
    QStringList leftovers;
    for (const QString& dir : {target + "/thumbs/c-group", target + "/files/c-group", target + "/files/c-single"})
        leftovers += QDir(dir).entryList(QDir::Files | QDir::Hidden);
    leftovers.sort();
    EXPECT_EQ(leftovers, QStringList({"m2.jpg", "m2.thumb.jpg", "m4.pdf"}));
}

TEST_F(BackupLineMessagesThreadTest, ARepeatedBackupAddsNothingAndNeverOverwritesAMediaFile)
{
    auto db = sampleDb();
    ASSERT_EQ(run(allOf(db)).result, 1);
    const qint64 msgs = rows("line_msg"), users = rows("line_user"), members = rows("line_chat_users");

    // The user's copy differs from the source now; a voice note LINE has
    // since downloaded appears in the source.
    QString photoTarget, voiceTarget;
    {
        const ReadBack r = readBack();
        photoTarget = r.msgs[1].attaPath;
        voiceTarget = r.msgs[2].attaPath;
    }
    writeFile(photoTarget, "the user's own");
    writeFile(media + "/m2.jpg", "a newer photo");
    writeFile(media + "/m3-missing.aac", "voice");

    const Outcome again = run(allOf(db));
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(again.notices, QStringList({successText(5)}));
    EXPECT_EQ(rows("line_msg"), msgs);
    EXPECT_EQ(rows("line_user"), users);
    EXPECT_EQ(rows("line_chat_users"), members);
    EXPECT_EQ(rows("line_chat"), 2);
    EXPECT_EQ(rows("line_group"), 1);
    EXPECT_EQ(readFile(photoTarget), "the user's own");
    EXPECT_EQ(readFile(voiceTarget), "voice"); // copied although the message was there already
}

TEST_F(BackupLineMessagesThreadTest, OneUidInTwoChatsIsStoredOncePerChatAndUsersOnceOverall)
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
    const auto msg = [](const QString& uid, _LineChat* chat, _LineUser* from) {
        _LineMsg m;
        m.uid = uid;
        m.chat = chat;
        m.from = from;
        return m;
    };
    list->append(msg("m1", &a, &ann));
    list->append(msg("m1", &b, &annAgain));
    list->append(msg("m1", &aAgain, nullptr)); // the same message of chat c-a
    list->append(msg("0", &a, nullptr));       // never numbered: stored each time
    list->append(msg("", &a, nullptr));

    ASSERT_EQ(run(list).result, 1);
    ASSERT_EQ(run(list).result, 1);
    EXPECT_EQ(rows("line_chat"), 2);
    EXPECT_EQ(rows("line_user"), 1);
    EXPECT_EQ(rows("line_chat_users"), 2);
    LocalDbBuilder check(target);
    EXPECT_EQ(check.value("select count(*) from line_msg where uid='m1'").toLongLong(), 2);
    EXPECT_EQ(check.value("select count(distinct chat_id) from line_msg where uid='m1'").toLongLong(), 2);
    EXPECT_EQ(check.value("select count(*) from line_msg where uid in ('0', '')").toLongLong(), 4);
    EXPECT_EQ(check.value("select contact_name from line_user").toString(), "");
}

TEST_F(BackupLineMessagesThreadTest, AnEmptySourceCreatesTheDatabaseAndReportsZero)
{
    const Outcome o = run(PAbsLineMsgsSource(new LineMsgsListSource));
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.notices, QStringList({successText(0)}));
    EXPECT_TRUE(QFileInfo(target + "/marrowquist-line.db").isFile());
    EXPECT_TRUE(QFileInfo(target + "/thumbs").isDir());
    EXPECT_EQ(rows("line_msg"), 0);
}

TEST_F(BackupLineMessagesThreadTest, AMessageWithoutChatIsNeitherStoredNorCounted)
{
    _LineChat chat;
    chat.uid = "c-1";
    auto list = QSharedPointer<LineMsgsListSource>::create();
    _LineMsg loose, kept;
    loose.uid = "loose";
    kept.uid = "kept";
    kept.chat = &chat;
    list->append(loose);
    list->append(kept);
    const Outcome o = run(list);
    EXPECT_EQ(o.notices, QStringList({successText(1)}));
    EXPECT_EQ(rows("line_msg"), 1);
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

    auto uncountable = sampleDb();
    uncountable->setFailCount(true);
    const Outcome counted = run(allOf(uncountable));
    EXPECT_EQ(counted.result, 0);
    ASSERT_EQ(counted.notices.size(), 1);
    EXPECT_TRUE(counted.notices[0].contains("counting failed")) << counted.notices[0].toStdString();
}

TEST_F(BackupLineMessagesThreadTest, ADatabaseErrorMidRunIsShownAndLeavesNoRowOfTheRun)
{
    {
        LocalDbBuilder b(target, LocalDbBuilder::Current);
        b.exec("CREATE TRIGGER refuse BEFORE INSERT ON line_msg WHEN NEW.uid='m4' "
               "BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    }
    const Outcome o = run(allOf(sampleDb()));
    EXPECT_EQ(o.result, 0);
    ASSERT_EQ(o.notices.size(), 1);
    EXPECT_TRUE(o.notices[0].contains("disk says no")) << o.notices[0].toStdString();
    EXPECT_EQ(rows("line_msg"), 0);
    EXPECT_EQ(rows("line_chat"), 0);
    EXPECT_EQ(rows("line_user"), 0);
}

TEST_F(BackupLineMessagesThreadTest, CancelHalfwayKeepsWhatOpeningDidAndTheCopiedFilesButNoRow)
{
    qint64 junkSender;
    {
        // An earlier database with a junk user that sent nothing and one
        // that did.
        LocalDbBuilder b(target, LocalDbBuilder::Earlier);
        b.addUser("x-junk");
        junkSender = b.addUser("x-sender");
        const qint64 chat = b.addChat("c-old", "single");
        b.addMsg("old", "text", 5, chat, junkSender, "kept");
    }
    auto db = sampleDb();
    LineData data(db, 100);
    db->loadDataThrow(data);
    auto source = QSharedPointer<GatedSource>::create();
    for (int i = 0; i < 5; ++i)
        source->append(data.msgAtThrow(nullptr, i, true));
    source->gateAt = 3; // after the photo (message 1) and its files
    std::atomic<ProgressForm*> shown{nullptr};
    source->release = [&] { return shown && shown.load()->cancelled; };

    driver.answer(QMessageBox::Yes); // "Are you sure?"
    bool pressed = false;
    const Outcome o = run(source, [&](ProgressForm& form) {
        if (!pressed && source->reached) {
            pressed = true;
            shown = &form;
            emit form.findChild<QPushButton*>("btnCancel")->pressed();
        }
    });
    EXPECT_EQ(o.result, 0);
    ASSERT_EQ(o.notices.size(), 1); // the question only; no success, no error
    EXPECT_NE(o.notices[0], successText(5));

    LocalDbBuilder check(target);
    EXPECT_EQ(check.count("line_msg"), 1);
    EXPECT_EQ(check.value("select uid from line_msg").toString(), "old");
    EXPECT_EQ(check.count("line_chat"), 1);
    EXPECT_EQ(check.value("select group_concat(uid) from line_user").toString(), "x-sender");
    EXPECT_TRUE(check.hasColumn("line_msg", "ver"));
    EXPECT_TRUE(check.hasColumn("line_user", "custom_name"));
    EXPECT_TRUE(check.hasIndex("_vardo_idx_line_msg_ts"));
    EXPECT_EQ(readFile(target + "/files/c-group/m2.jpg"), "photo-2");
    EXPECT_EQ(readFile(target + "/thumbs/c-group/m2.thumb.jpg"), "thumb-2");
}

TEST_F(BackupLineMessagesThreadTest, ReportsItsStatusAndOnePercentPerStep)
{
    _LineChat chat;
    chat.uid = "c-1";
    std::atomic<int> seen{0};
    auto stepped = QSharedPointer<SteppedSource>::create();
    stepped->seen = &seen;
    for (int i = 0; i < 3; ++i) {
        _LineMsg m;
        m.uid = QStringLiteral("m%1").arg(i);
        m.chat = &chat;
        stepped->append(m);
    }
    QStringList shown;
    QString status;
    const Outcome o = run(stepped, [&](ProgressForm& form) {
        const QString text = form.findChild<QLabel*>("lbProgress")->text();
        status = form.findChild<QLabel*>("lbStatus")->text();
        if (!text.isEmpty() && text != "Progress:0%" && (shown.isEmpty() || shown.last() != text)) {
            shown.append(text);
            seen = int(shown.size());
        }
    });
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(shown, QStringList({"Progress:33%", "Progress:66%", "Progress:100%"}));
    EXPECT_EQ(status, translated("IDS_BACKING_UP_LINE_MESSAGES"));
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
    QStringList expectedUids;
    for (const _LineMsg& m : expected)
        expectedUids.append(m.uid);
    ASSERT_EQ(expectedUids, QStringList({"100", "101", "200", "201", "300", "301", "302", "303"}));

    const Outcome o = run(PAbsLineMsgsSource(new LineMsgsDataSource(source, nullptr, true)));
    EXPECT_EQ(o.notices, QStringList({successText(8)}));
    const ReadBack r = readBack();

    // Chats with their members and groups.
    ASSERT_EQ(r.data.chats().size(), 3);
    for (const _LineChat* want : source.chats()) {
        const _LineChat* got = chatByUid(r.data, want->uid);
        ASSERT_TRUE(got) << want->uid.toStdString();
        EXPECT_EQ(got->type, want->type);
        EXPECT_EQ(memberUids(got->users), memberUids(want->users)) << want->uid.toStdString();
        ASSERT_EQ(got->group == nullptr, want->group == nullptr);
        if (want->group) {
            EXPECT_EQ(got->group->uid, want->group->uid);
            EXPECT_EQ(got->group->name, want->group->name);
            EXPECT_EQ(got->group->picStatus, want->group->picStatus);
            EXPECT_EQ(got->group->createTs.toSecsSinceEpoch(), want->group->createTs.toSecsSinceEpoch());
            EXPECT_EQ(got->group->creator->uid, want->group->creator->uid);
            EXPECT_EQ(memberUids(got->group->members), memberUids(want->group->members));
        }
    }
    EXPECT_EQ(chatByUid(r.data, "cGroup")->group->name, "Hiking");

    // Every user a chat, group or message names, with the same values.
    QSet<QString> named;
    for (const _LineChat* c : source.chats()) {
        for (const _LineUser* u : c->users)
            named.insert(u->uid);
        if (c->group) {
            named.insert(c->group->creator->uid);
            for (const _LineUser* u : c->group->members)
                named.insert(u->uid);
        }
    }
    for (const _LineMsg& m : expected) {
        if (m.from)
            named.insert(m.from->uid);
    }
    QStringList namedUids(named.cbegin(), named.cend());
    namedUids.sort();
    QStringList gotUids;
    for (const _LineUser* u : r.data.users())
        gotUids.append(u->uid);
    gotUids.sort();
    EXPECT_EQ(gotUids, namedUids);
    for (const _LineUser* got : r.data.users()) {
        const _LineUser* want = nullptr;
        for (const _LineUser* u : source.users())
            want = u->uid == got->uid ? u : want;
        ASSERT_TRUE(want) << got->uid.toStdString();
        EXPECT_EQ(got->contactName, want->contactName);
        EXPECT_EQ(got->serverName, want->serverName);
        EXPECT_EQ(got->customName, want->customName);
        EXPECT_EQ(got->picUri, want->picUri);
        if (want->createTs.isValid()) {
            EXPECT_EQ(got->createTs.toSecsSinceEpoch(), want->createTs.toSecsSinceEpoch());
        }
    }

    // Messages, their attachment values and the bytes of their files.
    ASSERT_EQ(r.msgs.size(), expected.size());
    int files = 0;
    for (int i = 0; i < expected.size(); ++i) {
        const _LineMsg& want = expected[i];
        const _LineMsg& got = r.msgs[i];
        SCOPED_TRACE(want.uid.toStdString());
        EXPECT_EQ(got.uid, want.uid);
        EXPECT_EQ(got.type, want.type);
        EXPECT_EQ(got.ts.toSecsSinceEpoch(), want.ts.toSecsSinceEpoch());
        EXPECT_EQ(got.rawContent, want.rawContent);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.chat->uid, want.chat->uid);
        EXPECT_EQ(got.from ? got.from->uid : QString(), want.from ? want.from->uid : QString());
        EXPECT_EQ(got.atta, want.atta);
        for (const auto& paths : {qMakePair(want.thumbPath, got.thumbPath), qMakePair(want.attaPath, got.attaPath)}) {
            if (paths.first.isEmpty() || !QFileInfo::exists(paths.first))
                continue;
            EXPECT_EQ(readFile(paths.second), readFile(paths.first)) << paths.second.toStdString();
            ++files;
        }
    }
    EXPECT_EQ(files, 6); // two thumbnails, photo, voice, video, file
    EXPECT_TRUE(r.msgs[0].text.contains("[EMOJI]")) << r.msgs[0].text.toStdString();
}

class MediaCopyTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
    QStringList entries() const
    {
        return QDir(tmp.path() + "/to").entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    QTemporaryDir tmp;
};

TEST_P(MediaCopyTest, CopiesWholeFilesNeverReplacesOneAndLeavesNoTemporaryFile)
{
    const bool unnamed = GetParam();
    const QString from = tmp.path() + "/from", to = tmp.path() + "/to";
    QByteArray big(200 * 1024 + 7, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    writeFile(from + "/big.bin", big);
    writeFile(from + "/empty.bin", QByteArray());
    writeFile(from + "/new.bin", "newer bytes");
    writeFile(to + "/taken.jpg", "the user's own");
    QString error;

    EXPECT_EQ(g_copyMediaFile(from + "/big.bin", to + "/big.jpg", unnamed, &error), MediaCopyResult::Copied) << error.toStdString();
    EXPECT_EQ(readFile(to + "/big.jpg"), big);
    EXPECT_EQ(g_copyMediaFile(from + "/empty.bin", to + "/empty.jpg", unnamed, &error), MediaCopyResult::Copied);
    EXPECT_EQ(QFileInfo(to + "/empty.jpg").size(), 0);
    EXPECT_EQ(g_copyMediaFile(from + "/new.bin", to + "/taken.jpg", unnamed, &error), MediaCopyResult::Kept);
    EXPECT_EQ(readFile(to + "/taken.jpg"), "the user's own");
    EXPECT_EQ(g_copyMediaFile(from + "/missing.bin", to + "/missing.jpg", unnamed, &error), MediaCopyResult::NoSource);
    EXPECT_EQ(g_copyMediaFile(from, to + "/folder.jpg", unnamed, &error), MediaCopyResult::NoSource);
    EXPECT_EQ(entries(), QStringList({"big.jpg", "empty.jpg", "taken.jpg"}));
    // Copies are private to the user, like the chats they belong to.
    EXPECT_EQ(QFileInfo(to + "/big.jpg").permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);

    // A missing folder is made; one that cannot be (a file stands in its
    // way) fails the copy.
    EXPECT_EQ(g_copyMediaFile(from + "/new.bin", to + "/chat/x.jpg", unnamed, &error), MediaCopyResult::Copied);
    EXPECT_EQ(readFile(to + "/chat/x.jpg"), "newer bytes");
    error.clear();
    EXPECT_EQ(g_copyMediaFile(from + "/new.bin", to + "/taken.jpg/x.jpg", unnamed, &error), MediaCopyResult::Failed);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(entries(), QStringList({"big.jpg", "empty.jpg", "taken.jpg"}));
    EXPECT_EQ(QDir(to + "/chat").entryList(QDir::Files | QDir::Hidden), QStringList({"x.jpg"}));
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamedTemporaryFile, MediaCopyTest, ::testing::Values(true, false));
