// Writing messages into a large LINE store for a restore, and the finishing
// step, each beside a raw sqlite3 baseline on the same store.
//
// The target store is generated at start: 50,000 users, 5,000 chats,
// 1,000,000 messages. The restored messages come from a second store: 10,000
// messages over 16 chats, 8 of which the target has already (its largest
// among them), 500 of them already in the target.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSharedPointer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "bench/benchmain.h"
#include <sqlite3.h>

#include <memory>

#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_restore_p.h"
#include "chatdata/linedata.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"

namespace {


QString userMid(int i)
{
    return QStringLiteral("u%1").arg(i, 32, 16, QLatin1Char('0'));
}

struct Target
{
    LineStoreBuilder::LargeSpec spec;
    QString container;
    QString dbPath;
    QString pristine; // opened once (its index made), never restored into
    QList<QPair<QString, QString>> existing; // (chat mid, message id) already there
};

const Target& target()
{
    static const Target t = [] {
        Target t;
        t.container = benchTempRoot() + "/target";
        QDir().mkpath(t.container);
        t.spec.mediaPercent = 0;
        LineStoreBuilder::generateLarge(t.container, t.spec);
        {
            IOSLineDb db(QDir(t.container), QString());
            db.openCheckThrow();
            t.dbPath = db.databasePath();
            // The first 500 messages of the largest chat, to restore again.
            Sqlite3Cursor cur = db.queryThrow(Sqlite3Sql(
                "select c.ZMID, m.ZID from ZMESSAGE m join ZCHAT c on m.ZCHAT=c.Z_PK where c.Z_PK=1"
                " order by m.Z_PK limit 500"));
            while (cur.moveNext())
                t.existing.append({cur.getText(0), cur.getText(1)});
        }
        t.pristine = benchTempRoot() + "/target.pristine.sqlite";
        QFile::copy(t.dbPath, t.pristine);
        return t;
    }();
    return t;
}

void resetTarget()
{
    QFile::remove(target().dbPath);
    QFile::copy(target().pristine, target().dbPath);
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
        const Target& t = target();
        const QString dir = benchTempRoot() + "/source";
        QDir().mkpath(dir);
        LineStoreBuilder b(dir);
        b.setAccount(t.spec.accountMid, "Bench Owner");
        QList<qint64> chats;
        QList<qint64> peers;
        // One-to-one chats the target has (chat c's peer is user c + 1),
        // the first being its largest chat...
        for (int c : {1, 2, 3, 4, 6, 7, 8, 9}) {
            const qint64 u = b.addUser(LineUserRow(userMid(c + 1)).named(QStringLiteral("User %1").arg(c + 1)));
            peers << u;
            chats << b.addChat(LineChatRow(userMid(c + 1)));
        }
        // ...and new ones: five one-to-one chats, two rooms, a group chat.
        for (int i = 0; i < 5; ++i) {
            const qint64 u = b.addUser(LineUserRow(QStringLiteral("uNew%1").arg(i)).named(QStringLiteral("New %1").arg(i)));
            peers << u;
            chats << b.addChat(LineChatRow(QStringLiteral("uNew%1").arg(i)));
        }
        for (int i = 0; i < 2; ++i)
            chats << b.addChat(LineChatRow(QStringLiteral("rNewRoom%1").arg(i)).room().withMembers(peers.mid(i * 4, 5)));
        chats << b.addChat(LineChatRow("cNewGroup").groupChat().withMembers(peers.mid(2, 6)));
        b.addGroup(LineGroupRow("cNewGroup").named("New Group").createdBy(peers.at(3)).withMembers(peers.mid(2, 6)));

        qint64 ts = 1600000000000LL;
        for (int i = 0; i < 500; ++i)
            b.addMessage(LineMsgRow(chats.first(), t.existing.value(i).second).at(ts += 1000).text("again"));
        for (int i = 0; i < 9500; ++i) {
            const int c = i % chats.size();
            LineMsgRow m(chats.at(c), QStringLiteral("r%1").arg(i));
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

// --- restoring messages -------------------------------------------------------

using RawHandle = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

std::unique_ptr<IOSLineDb> openProduct()
{
    auto db = std::make_unique<IOSLineDb>(QDir(target().container), QString());
    db->openCheckThrow();
    return db;
}

RawHandle openRaw()
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(target().dbPath).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    return RawHandle(db, sqlite3_close);
}

// Each iteration on an untouched copy of the target; opening and closing
// the store are not timed, `work` is.
template <typename Open, typename Work>
void onFreshTarget(benchmark::State& state, Open open, Work work)
{
    for (auto _ : state) {
        state.PauseTiming();
        resetTarget();
        auto db = open();
        state.ResumeTiming();
        work(*db);
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
}

void exec(sqlite3& db, const char* sql)
{
    sqlite3_exec(&db, sql, nullptr, nullptr, nullptr);
}

// Chats, users, groups and messages, in one transaction, committed. The
// first duplicate test makes the message-id index over the whole store,
// which is most of the cost of a small restore.
void BM_RestoreMessages(benchmark::State& state)
{
    // The newest ones: none of them is in the target yet.
    const QList<_LineMsg> msgs = source().msgs.mid(source().msgs.size() - int(state.range(0)));
    LineRestoreTally tally;
    onFreshTarget(state, openProduct, [&](IOSLineDb& db) {
        db.beginTran();
        tally = restoreLineMessagesThrow(db, msgs);
        db.commitTran();
    });
    state.counters["added"] = tally.messagesAdded;
    state.counters["skipped"] = tally.messagesSkipped;
    state.SetItemsProcessed(state.iterations() * msgs.size());
}

// The least any writer pays: the same number of rows inserted with one
// prepared statement in one transaction, with no look-ups at all.
void BM_RestoreMessages_RawInsertBaseline(benchmark::State& state)
{
    const int n = int(state.range(0));
    onFreshTarget(state, openRaw, [&](sqlite3& db) {
        exec(db, "BEGIN");
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(&db,
                           "insert into ZMESSAGE(Z_ENT,Z_OPT,ZCONTENTTYPE,ZTEXT,ZREADCOUNT,ZSENDSTATUS,ZTIMESTAMP,"
                           "ZCHAT,ZSENDER,ZID) values(5,1,0,?,1,1,?,1,2,?)",
                           -1, &st, nullptr);
        for (int i = 0; i < n; ++i) {
            const QByteArray text = QByteArray("restored message number ") + QByteArray::number(i);
            const QByteArray id = "r" + QByteArray::number(i);
            sqlite3_bind_text(st, 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, 1600000000000LL + i);
            sqlite3_bind_text(st, 3, id.constData(), int(id.size()), SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        exec(db, "COMMIT");
    });
    state.SetItemsProcessed(state.iterations() * n);
}

// --- one duplicate test ---------------------------------------------------------

// What one duplicate test costs in the largest chat, once the index exists.
void BM_DuplicateTest(benchmark::State& state)
{
    resetTarget();
    IOSLineDb db(QDir(target().container), QString());
    db.openCheckThrow();
    db.findMsgThrow(1, "warm-up"); // makes the index
    state.SetLabel(([&] {
        Sqlite3Sql explain(QStringLiteral("EXPLAIN QUERY PLAN ") + ioslinedb_restore_p::kFindMsgSql);
        explain.addTextParam("x").addInt64Param(1);
        Sqlite3Cursor cur = db.queryThrow(explain);
        QString plan;
        while (cur.moveNext())
            plan += cur.getText("detail") + "; ";
        return plan.toStdString();
    })());
    int i = 0;
    for (auto _ : state) {
        const auto& e = target().existing.at(i++ % target().existing.size());
        benchmark::DoNotOptimize(db.findMsgThrow(1, e.second));
    }
}

// The test as a LIKE on the chat, which no index serves: every message of
// the store is read for each message restored.
void BM_DuplicateTest_LikeScanBaseline(benchmark::State& state)
{
    resetTarget();
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(target().dbPath).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "select Z_PK, ZTEXT from ZMESSAGE where ZID=? and ZCHAT like ?", -1, &st, nullptr);
    int i = 0;
    for (auto _ : state) {
        const QByteArray id = target().existing.at(i++ % target().existing.size()).second.toUtf8();
        sqlite3_bind_text(st, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 2, 1);
        while (sqlite3_step(st) == SQLITE_ROW)
            benchmark::DoNotOptimize(sqlite3_column_int64(st, 0));
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// --- finishing ------------------------------------------------------------------

// Summaries of all 5,000 chats, the counters and the index drop, committed;
// the index of chat and time that the step makes for itself included.
void BM_FinishStore(benchmark::State& state)
{
    onFreshTarget(state, openProduct, [](IOSLineDb& db) {
        db.beginTran();
        db.updateDbStatThrow();
        db.commitTran();
    });
    state.counters["chats"] = target().spec.chats;
}

// The least the step has to do: one pass for each chat's newest time, and
// one plain update per chat.
void BM_FinishStore_RawBaseline(benchmark::State& state)
{
    onFreshTarget(state, openRaw, [](sqlite3& db) {
        exec(db, "BEGIN");
        QList<QPair<qint64, qint64>> newest;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(&db, "select ZCHAT, max(ZTIMESTAMP) from ZMESSAGE group by ZCHAT", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            newest.append({sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1)});
        sqlite3_finalize(st);
        sqlite3_prepare_v2(&db, "update ZCHAT set ZLASTUPDATED=?, ZLASTMESSAGE='x' where Z_PK=?", -1, &st, nullptr);
        for (const auto& n : std::as_const(newest)) {
            sqlite3_bind_double(st, 1, double(n.second) / 1000.0 - 978307200.0);
            sqlite3_bind_int64(st, 2, n.first);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        exec(db, "COMMIT");
    });
}

} // namespace

BENCHMARK(BM_RestoreMessages)->Arg(10000)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RestoreMessages_RawInsertBaseline)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DuplicateTest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DuplicateTest_LikeScanBaseline)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_FinishStore)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FinishStore_RawBaseline)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
