// Restoring messages into LINE stores of 100,000, 1,000,000 and 3,000,000
// messages (50,000 users and 5,000 chats each), beside a raw sqlite3 loop
// that does the same look-ups, inserts and updates on the same store.
//
// Every store also holds the same eight one-to-one chats of 1,000 messages
// each. The restored messages are always the same 10,000 (texts, stickers,
// locations), over those eight chats and eight new ones (five one-to-one
// chats, two rooms, a group), 500 of them already in the first fixed chat:
// so the restore does the same work in every store, and only the rest of
// the store grows.
//
// Each run starts from an untouched copy of a store that was opened once
// (its indexes made), as the device cache is when the device was loaded;
// copying and opening are not timed. Timed: one transaction with the chats,
// users, groups and messages, the finishing step, and the commit; then the
// messages alone and the finishing step alone.

#include <QDir>
#include <QFile>
#include <QSharedPointer>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <stdexcept>

#include "bench/benchmain.h"
#include "bench/largestore.h"
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_restore_p.h"
#include "chatdata/linedata.h"
#include "chatdata/linerawcontent.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"

namespace {

constexpr int kFixedChats = 8;
constexpr int kFixedMessages = 1000;

QString fixedMid(int i)
{
    return QStringLiteral("uFixed%1").arg(i);
}

void check(int rc, sqlite3* db)
{
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw std::runtime_error(sqlite3_errmsg(db));
}

// Raw statements prepared once per connection, reset before each use.
class RawDb
{
public:
    explicit RawDb(const QString& path)
    {
        // The product's settings: a serialised connection, the file mapped.
        check(sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                              nullptr),
              m_db);
        exec("PRAGMA mmap_size=268435456");
    }
    ~RawDb()
    {
        for (auto& s : m_stmts)
            sqlite3_finalize(s.second);
        sqlite3_close(m_db);
    }
    void exec(const char* sql) { check(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr), m_db); }
    sqlite3_stmt* st(const char* sql)
    {
        sqlite3_stmt*& s = m_stmts[sql];
        if (!s)
            check(sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr), m_db);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        return s;
    }
    void text(sqlite3_stmt* s, int at, const QByteArray& v) { sqlite3_bind_text(s, at, v.constData(), int(v.size()), SQLITE_TRANSIENT); }
    void step(sqlite3_stmt* s) { check(sqlite3_step(s), m_db); }
    qint64 first(sqlite3_stmt* s) { return sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0; }
    qint64 lastId() const { return sqlite3_last_insert_rowid(m_db); }
    // No statement may be running when an index is dropped.
    void resetAll()
    {
        for (auto& s : m_stmts)
            sqlite3_reset(s.second);
    }
    sqlite3* handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
    std::map<const char*, sqlite3_stmt*> m_stmts;
};

struct Target
{
    QString container;
    QString dbPath;
    QString pristine;
};

// Made on first use: a filtered run builds only the sizes it needs.
const Target& target(qint64 messages)
{
    static std::map<qint64, Target> targets;
    auto found = targets.find(messages);
    if (found != targets.end())
        return found->second;
    Target t;
    t.container = benchTempRoot() + QStringLiteral("/target%1").arg(messages);
    QDir().mkpath(t.container);
    LargeStoreSpec spec;
    spec.messages = messages;
    spec.mediaPercent = 0;
    generateLargeLineStore(t.container, spec);
    t.dbPath = t.container + "/Library/Application Support/PrivateStore/P_" + spec.accountMid + "/Messages/Line.sqlite";
    {
        RawDb db(t.dbPath);
        db.exec("BEGIN");
        for (int c = 0; c < kFixedChats; ++c) {
            sqlite3_stmt* s = db.st("insert into ZUSER(Z_ENT,Z_OPT,ZMID,ZNAME,ZISFRIEND) values(12,1,?,?,1)");
            db.text(s, 1, fixedMid(c).toUtf8());
            db.text(s, 2, QStringLiteral("Fixed %1").arg(c).toUtf8());
            db.step(s);
            const qint64 user = db.lastId();
            s = db.st("insert into ZCHAT(Z_ENT,Z_OPT,ZMID,ZTYPE,ZENABLE,ZALERT,ZUNREAD,ZSESSIONID) values(1,1,?,0,1,1,0,0)");
            db.text(s, 1, fixedMid(c).toUtf8());
            db.step(s);
            const qint64 chat = db.lastId();
            for (int k = 0; k < kFixedMessages; ++k) {
                s = db.st("insert into ZMESSAGE(Z_ENT,Z_OPT,ZID,ZCHAT,ZSENDER,ZTIMESTAMP,ZCONTENTTYPE,ZTEXT,ZSENDSTATUS,"
                          "ZREADCOUNT) values(5,1,?,?,?,?,0,?,1,0)");
                db.text(s, 1, QStringLiteral("f%1-%2").arg(c).arg(k).toUtf8());
                sqlite3_bind_int64(s, 2, chat);
                if (k % 2)
                    sqlite3_bind_int64(s, 3, user);
                sqlite3_bind_int64(s, 4, 1400000000000LL + k * 60000LL);
                db.text(s, 5, QByteArray("an older message ") + QByteArray::number(k));
                db.step(s);
            }
        }
        db.exec("update Z_PRIMARYKEY set Z_MAX=(select max(Z_PK) from ZUSER) where Z_NAME='User';"
                "update Z_PRIMARYKEY set Z_MAX=(select max(Z_PK) from ZCHAT) where Z_NAME='Chat';"
                "update Z_PRIMARYKEY set Z_MAX=(select max(Z_PK) from ZMESSAGE) where Z_NAME='Message'; COMMIT");
    }
    {
        IOSLineDb db(QDir(t.container), QString());
        db.openCheckThrow();
    }
    t.pristine = t.container + ".pristine.sqlite";
    QFile::copy(t.dbPath, t.pristine);
    return targets.emplace(messages, t).first->second;
}

void resetTarget(const Target& t)
{
    QFile::remove(t.dbPath);
    QFile::remove(t.dbPath + "-journal");
    if (!QFile::copy(t.pristine, t.dbPath))
        throw std::runtime_error("cannot copy the store");
}

struct Source
{
    QSharedPointer<IOSLineDb> db;
    LineData data;
    QList<_LineMsg> msgs;
};

const Source& source()
{
    static const Source s = [] {
        const QString dir = benchTempRoot() + "/source";
        QDir().mkpath(dir);
        LineStoreBuilder b(dir);
        b.setAccount(LargeStoreSpec().accountMid, "Bench Owner");
        QList<qint64> chats;
        QList<qint64> peers;
        for (int c = 0; c < kFixedChats; ++c) {
            peers << b.addUser(LineUserRow(fixedMid(c)).named(QStringLiteral("Fixed %1").arg(c)));
            chats << b.addChat(LineChatRow(fixedMid(c)));
        }
        for (int i = 0; i < 5; ++i) {
            const QString mid = QStringLiteral("uNew%1").arg(i);
            peers << b.addUser(LineUserRow(mid).named(QStringLiteral("New %1").arg(i)));
            chats << b.addChat(LineChatRow(mid));
        }
        for (int i = 0; i < 2; ++i)
            chats << b.addChat(LineChatRow(QStringLiteral("rNewRoom%1").arg(i)).room().withMembers(peers.mid(i * 4, 5)));
        chats << b.addChat(LineChatRow("cNewGroup").groupChat().withMembers(peers.mid(2, 6)));
        b.addGroup(LineGroupRow("cNewGroup").named("New Group").createdBy(peers.at(3)).withMembers(peers.mid(2, 6)));

        qint64 ts = 1600000000000LL;
        for (int k = 0; k < 500; ++k)
            b.addMessage(LineMsgRow(chats.first(), QStringLiteral("f0-%1").arg(k)).at(ts += 1000).text("again"));
        for (int i = 0; i < 9500; ++i) {
            LineMsgRow m(chats.at(i % chats.size()), QStringLiteral("r%1").arg(i));
            m.at(ts += 1000);
            if (i % 2)
                m.from(peers.at(i % peers.size()));
            if (i % 10 == 0)
                m.sticker(52002734 + i, 11537, 1);
            else if (i % 25 == 1)
                m.location(35.0 + i * 1e-4, 139.0, "Somewhere");
            else
                m.text(QStringLiteral("restored message number %1").arg(i));
            b.addMessage(m);
        }
        b.build();
        Source s;
        s.db = QSharedPointer<IOSLineDb>::create(QDir(dir), QString());
        s.data = LineData(s.db.staticCast<AbsLineDb>(), 5000);
        s.db->loadDataThrow(s.data);
        s.msgs = s.db->messagesThrow(s.data, nullptr, 1, 20000, true);
        return s;
    }();
    return s;
}

// Each iteration on an untouched copy of the store; copying, opening and
// closing are not timed, `work` is.
template <typename Open, typename Work>
void onFreshTarget(benchmark::State& state, Open open, Work work)
{
    const Target& t = target(state.range(0));
    source();
    for (auto _ : state) {
        state.PauseTiming();
        resetTarget(t);
        auto db = open(t);
        state.ResumeTiming();
        work(*db);
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
}

std::unique_ptr<IOSLineDb> openProduct(const Target& t)
{
    auto db = std::make_unique<IOSLineDb>(QDir(t.container), QString());
    db->openCheckThrow();
    return db;
}

std::unique_ptr<RawDb> openRaw(const Target& t)
{
    return std::make_unique<RawDb>(t.dbPath);
}

// --- the product ------------------------------------------------------------------

void BM_Restore(benchmark::State& state)
{
    LineRestoreTally tally;
    onFreshTarget(state, openProduct, [&](IOSLineDb& db) {
        db.beginTran();
        tally = restoreLineMessagesThrow(db, source().msgs);
        db.updateDbStatThrow();
        db.commitTran();
    });
    state.counters["added"] = tally.messagesAdded;
    state.counters["skipped"] = tally.messagesSkipped;
}

// The messages alone (chats, users, groups, duplicate tests and inserts,
// committed): what restoring costs before the finishing step.
void BM_RestoreWriter(benchmark::State& state)
{
    onFreshTarget(state, openProduct, [](IOSLineDb& db) {
        db.beginTran();
        restoreLineMessagesThrow(db, source().msgs);
        db.commitTran();
    });
}

void BM_Finish(benchmark::State& state)
{
    onFreshTarget(state, openProduct, [](IOSLineDb& db) {
        db.beginTran();
        db.updateDbStatThrow();
        db.commitTran();
    });
}

// What the restore job runs before the first message; not the chat data's
// (a plain scan of the message table, given by the job).
void BM_JobFirstStatement(benchmark::State& state)
{
    onFreshTarget(state, openRaw, [](RawDb& db) { db.exec("delete from ZMESSAGE where ZCONTENTTYPE=106"); });
}

// --- the same work in raw SQL ---------------------------------------------------

qint64 rawUserKey(RawDb& db, const _LineUser* u)
{
    sqlite3_stmt* s = db.st("select Z_PK from ZUSER where ZMID=?");
    db.text(s, 1, u->uid.toUtf8());
    if (const qint64 pk = db.first(s))
        return pk;
    s = db.st("insert into ZUSER(Z_ENT,Z_OPT,ZALERT,ZBLOCKING,ZCAPABILITIES,ZCONTACTTYPE,ZE2EECONTENTTYPES,"
              "ZFAVORITEORDER,ZFRIENDREQUESTSTATUS,ZISFRIEND,ZISHIDDEN,ZISINADDRESSBOOK,ZISRECOMMENDED,ZISREMOVED,"
              "ZISUNREGISTERED,ZISVIEWED,ZUSERTYPE,ZMID,ZNAME,ZSORTABLENAME) values(12,2,1,0,0,0,0,0,0,1,0,0,0,0,0,1,0,?,?,?)");
    db.text(s, 1, u->uid.toUtf8());
    db.text(s, 2, u->serverName.toUtf8());
    db.text(s, 3, u->serverName.toLower().toUtf8());
    db.step(s);
    return db.lastId();
}

void rawMembers(RawDb& db, const char* sql, qint64 owner, const QSet<_LineUser*>& users)
{
    QList<_LineUser*> sorted(users.begin(), users.end());
    std::sort(sorted.begin(), sorted.end(), [](const _LineUser* a, const _LineUser* b) { return a->uid < b->uid; });
    for (const _LineUser* u : std::as_const(sorted)) {
        if (u->uid.compare(LargeStoreSpec().accountMid, Qt::CaseInsensitive) == 0)
            continue;
        const qint64 user = rawUserKey(db, u);
        sqlite3_stmt* s = db.st(sql);
        sqlite3_bind_int64(s, 1, owner);
        sqlite3_bind_int64(s, 2, user);
        sqlite3_bind_int64(s, 3, owner);
        sqlite3_bind_int64(s, 4, user);
        db.step(s);
    }
}

qint64 rawChatKey(RawDb& db, const _LineChat* chat)
{
    sqlite3_stmt* s = db.st("select Z_PK,ZENABLE from ZCHAT where ZMID=?");
    db.text(s, 1, chat->uid.toUtf8());
    if (const qint64 pk = db.first(s))
        return pk;
    s = db.st("insert into ZCHAT(Z_ENT,Z_OPT,ZALERT,ZE2EECONTENTTYPES,ZENABLE,ZEXPIREINTERVAL,ZLIVE,ZMID,ZSESSIONID,"
              "ZSORTORDER,ZTYPE,ZUNREAD) values(1,4,1,0,1,0,0,?,0,0,?,0)");
    db.text(s, 1, chat->uid.toUtf8());
    sqlite3_bind_int(s, 2, chat->type == LineChatType::GROUP ? 2 : chat->type == LineChatType::MULTI ? 1 : 0);
    db.step(s);
    const qint64 chatPk = db.lastId();
    rawMembers(db, "insert into Z_1MEMBERS(Z_1CHATS,Z_12MEMBERS) select ?,? where not exists"
                   " (select 1 from Z_1MEMBERS where Z_1CHATS=? and Z_12MEMBERS=?)",
               chatPk, chat->users);
    if (const _LineGroupInfo* g = chat->group) {
        s = db.st("select Z_PK from ZGROUP where ZID=?");
        db.text(s, 1, g->uid.toUtf8());
        if (db.first(s) == 0) {
            const qint64 creator = g->creator ? rawUserKey(db, g->creator) : 0;
            s = db.st("insert into ZGROUP(Z_ENT,Z_OPT,ZALERT,ZENABLE,ZFAVORITEORDER,ZISACCEPTED,ZISPREVENTLINKINVITATION,"
                      "ZISVIEWED,ZCREATOR,ZID,ZNAME,ZPICTURESTATUS) values(4,2,1,1,0,1,0,1,?,?,?,?)");
            if (creator)
                sqlite3_bind_int64(s, 1, creator);
            db.text(s, 2, g->uid.toUtf8());
            db.text(s, 3, g->name.toUtf8());
            db.text(s, 4, g->picStatus.toUtf8());
            db.step(s);
            rawMembers(db, "insert into Z_4MEMBERS(Z_4GROUPS,Z_12MEMBERS1) select ?,? where not exists"
                           " (select 1 from Z_4MEMBERS where Z_4GROUPS=? and Z_12MEMBERS1=?)",
                       db.lastId(), g->members);
        }
    }
    return chatPk;
}

void rawMessages(RawDb& db, const QList<_LineMsg>& msgs)
{
    QHash<const _LineChat*, qint64> chatKeys;
    QHash<qint64, QHash<QByteArray, qint64>> ids;
    for (const _LineMsg& m : msgs) {
        if (!isLineMsgUidValid(m.uid) || !m.chat)
            continue;
        auto known = chatKeys.find(m.chat);
        if (known == chatKeys.end())
            known = chatKeys.insert(m.chat, rawChatKey(db, m.chat));
        const qint64 chat = *known;
        auto chatIds = ids.find(chat);
        if (chatIds == ids.end()) {
            chatIds = ids.insert(chat, {});
            sqlite3_stmt* s = db.st(ioslinedb_restore_p::kChatMsgIdsSql);
            sqlite3_bind_int64(s, 1, chat);
            while (sqlite3_step(s) == SQLITE_ROW)
                if (sqlite3_column_type(s, 1) == SQLITE_TEXT)
                    chatIds->insert(QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                                               sqlite3_column_bytes(s, 1)),
                                    sqlite3_column_int64(s, 0));
        }
        const QByteArray id = m.uid.toUtf8();
        if (const qint64 pk = chatIds->value(id)) {
            sqlite3_stmt* s = db.st("select ZTEXT from ZMESSAGE where Z_PK=? and ZCHAT=? and ZID=?");
            sqlite3_bind_int64(s, 1, pk);
            sqlite3_bind_int64(s, 2, chat);
            db.text(s, 3, id);
            if (sqlite3_step(s) == SQLITE_ROW)
                benchmark::DoNotOptimize(isRawContentContainEmoji_efbfbd(
                    QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_bytes(s, 0))));
            continue;
        }
        const qint64 sender = m.from ? rawUserKey(db, m.from) : 0;
        sqlite3_stmt* s = db.st("insert into ZMESSAGE(Z_ENT,Z_OPT,ZCONTENTTYPE,ZLATITUDE,ZLONGITUDE,ZTEXT,"
                                "ZCONTENTMETADATA,ZREADCOUNT,ZSENDSTATUS,ZTIMESTAMP,ZCHAT,ZSENDER,ZID)"
                                " values(5,?,?,?,?,?,?,?,1,?,?,?,?)");
        sqlite3_bind_int(s, 1, m.from ? 1 : 3);
        if (m.type == LineMsgType::STICKER) {
            const _LineStickerInfo sticker = m.attaSticker();
            sqlite3_bind_int(s, 2, 7);
            sqlite3_bind_int(s, 4, sticker.id);
            db.text(s, 5, QByteArray(""));
            const QByteArray meta = IOSLineDb::stickerMetaData(sticker);
            sqlite3_bind_blob(s, 6, meta.constData(), int(meta.size()), SQLITE_TRANSIENT);
        } else if (m.type == LineMsgType::LOCATION) {
            const _LineLocationInfo loc = m.attaLocation();
            sqlite3_bind_int(s, 2, 100);
            sqlite3_bind_double(s, 3, loc.lat);
            sqlite3_bind_double(s, 4, loc.lng);
            db.text(s, 5, loc.name.toUtf8());
        } else {
            sqlite3_bind_int(s, 2, 0);
            sqlite3_bind_int(s, 3, 0);
            sqlite3_bind_int(s, 4, 0);
            db.text(s, 5, isRawContentContainEmoji_efbfbd(m.rawContent) ? fixRawContent_efbfbd(m.rawContent) : m.rawContent);
        }
        sqlite3_bind_int(s, 7, int(m.chat->users.size()));
        sqlite3_bind_int64(s, 8, m.ts.toMSecsSinceEpoch());
        sqlite3_bind_int64(s, 9, chat);
        if (sender)
            sqlite3_bind_int64(s, 10, sender);
        db.text(s, 11, id);
        db.step(s);
        chatIds->insert(id, db.lastId());
    }
}

void rawFinish(RawDb& db)
{
    QList<qint64> chats;
    sqlite3_stmt* s = db.st("select Z_PK from ZCHAT");
    while (sqlite3_step(s) == SQLITE_ROW)
        chats << sqlite3_column_int64(s, 0);
    for (qint64 chat : std::as_const(chats)) {
        s = db.st(ioslinedb_restore_p::kNewestMsgSql);
        sqlite3_bind_int64(s, 1, chat);
        if (sqlite3_step(s) != SQLITE_ROW)
            continue;
        const int type = sqlite3_column_int(s, 0);
        const double ts = double(sqlite3_column_int64(s, 2)) / 1000.0 - 978307200.0;
        const bool received = sqlite3_column_int64(s, 4) > 0;
        const QByteArray id(reinterpret_cast<const char*>(sqlite3_column_text(s, 5)), sqlite3_column_bytes(s, 5));
        QByteArray name(reinterpret_cast<const char*>(sqlite3_column_text(s, 8)), sqlite3_column_bytes(s, 8));
        if (name.isEmpty())
            name = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 7)), sqlite3_column_bytes(s, 7));
        QString summary;
        if (type == 7)
            summary = received ? QString::fromUtf8(name) + " sent you a sticker." : QStringLiteral("You sent a sticker.");
        else if (type == 100)
            summary = received ? QString::fromUtf8(name) + " sent you a location." : QStringLiteral("You sent a location.");
        else
            summary = parseLineRawContent(
                QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 6)), sqlite3_column_bytes(s, 6)));
        sqlite3_stmt* u = db.st("update ZCHAT set ZLASTUPDATED=?, ZLASTRECEIVEDMESSAGEID=?, ZREADUPTOMESSAGEID=?,"
                                " ZREADUPTOMESSAGEIDSYNCED=?, ZLASTMESSAGE=? where Z_PK=?");
        sqlite3_bind_double(u, 1, ts);
        for (int i = 2; i <= 4 && received; ++i)
            db.text(u, i, id);
        db.text(u, 5, summary.toUtf8());
        sqlite3_bind_int64(u, 6, chat);
        db.step(u);
    }
    db.exec("update Z_PRIMARYKEY set Z_MAX=max(ifnull(Z_MAX,0), ifnull((select max(Z_PK) from ZCHAT),0))"
            " where Z_NAME='Chat' or Z_NAME='ZCHAT';"
            "update Z_PRIMARYKEY set Z_MAX=max(ifnull(Z_MAX,0), ifnull((select max(Z_PK) from ZGROUP),0))"
            " where Z_NAME='Group' or Z_NAME='ZGROUP';"
            "update Z_PRIMARYKEY set Z_MAX=max(ifnull(Z_MAX,0), ifnull((select max(Z_PK) from ZMESSAGE),0))"
            " where Z_NAME='Message' or Z_NAME='ZMESSAGE';"
            "update Z_PRIMARYKEY set Z_MAX=max(ifnull(Z_MAX,0), ifnull((select max(Z_PK) from ZUSER),0))"
            " where Z_NAME='User' or Z_NAME='ZUSER'");
    db.resetAll();
    db.exec("PRAGMA secure_delete=0; DROP INDEX _vardo_idx_Message_timestamp;"
            " DROP INDEX _vardo_idx_Message_chat_timestamp; PRAGMA secure_delete=1");
}

void BM_Restore_RawBaseline(benchmark::State& state)
{
    onFreshTarget(state, openRaw, [](RawDb& db) {
        db.exec("BEGIN");
        rawMessages(db, source().msgs);
        rawFinish(db);
        db.exec("COMMIT");
    });
}

void BM_RestoreWriter_RawBaseline(benchmark::State& state)
{
    onFreshTarget(state, openRaw, [](RawDb& db) {
        db.exec("BEGIN");
        rawMessages(db, source().msgs);
        db.exec("COMMIT");
    });
}

void BM_Finish_RawBaseline(benchmark::State& state)
{
    onFreshTarget(state, openRaw, [](RawDb& db) {
        db.exec("BEGIN");
        rawFinish(db);
        db.exec("COMMIT");
    });
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(100000)->Arg(1000000)->Arg(3000000)->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(BM_Restore)->Apply(sizes)->Apply(repeatedRuns<5>);
BENCHMARK(BM_Restore_RawBaseline)->Apply(sizes)->Apply(repeatedRuns<5>);
BENCHMARK(BM_RestoreWriter)->Apply(sizes)->Apply(repeatedRuns<5>);
BENCHMARK(BM_RestoreWriter_RawBaseline)->Apply(sizes)->Apply(repeatedRuns<5>);
BENCHMARK(BM_Finish)->Apply(sizes)->Apply(repeatedRuns<5>);
BENCHMARK(BM_Finish_RawBaseline)->Apply(sizes)->Apply(repeatedRuns<5>);
BENCHMARK(BM_JobFirstStatement)->Apply(sizes)->Apply(repeatedRuns<3>);
