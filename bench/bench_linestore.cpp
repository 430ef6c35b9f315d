// Reading a large LINE store: opening and loading, reading every message page
// by page, and reading one small chat, each beside a raw sqlite3 baseline
// over the same rows and columns.
//
// The store is generated at start: 50,000 users, 5,000 chats, 1,000,000
// messages, once text only and once with 30% media messages.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSharedPointer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "bench/benchmain.h"
#include "bench/largestore.h"
#include <sqlite3.h>

#include <cstdio>
#include <memory>

#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"

namespace {

constexpr int kPageSize = 5000;

struct Store
{
    QString container;
    QString dbPath;
    QString pristine; // an untouched copy of the store, for the open benchmarks
    LargeStoreInfo info;
};


Store makeStore(const QString& name, int mediaPercent)
{
    Store s;
    s.container = benchTempRoot() + QLatin1Char('/') + name;
    QDir().mkpath(s.container);
    LargeStoreSpec spec;
    spec.mediaPercent = mediaPercent;
    s.info = generateLargeLineStore(s.container, spec);
    s.dbPath = s.container + "/Library/Application Support/PrivateStore/P_" + spec.accountMid + "/Messages/Line.sqlite";
    s.pristine = benchTempRoot() + QLatin1Char('/') + name + ".pristine.sqlite";
    QFile::copy(s.dbPath, s.pristine);
    return s;
}

// Generated on first use, so that a filtered run makes only what it reads.
const Store& textStore()
{
    static const Store s = makeStore("text", 0);
    return s;
}

const Store& mediaStore()
{
    static const Store s = makeStore("media", 30);
    return s;
}

void restorePristine(const Store& s)
{
    QFile::remove(s.dbPath);
    QFile::copy(s.pristine, s.dbPath);
}

// An opened and loaded store, kept across benchmarks that only read.
struct Loaded
{
    QSharedPointer<IOSLineDb> db;
    LineData data;
};

Loaded& loaded(const Store& s)
{
    static QHash<QString, std::shared_ptr<Loaded>> cache;
    auto& slot = cache[s.container];
    if (!slot) {
        slot = std::make_shared<Loaded>();
        slot->db = QSharedPointer<IOSLineDb>::create(QDir(s.container), QString());
        slot->data = LineData(slot->db.staticCast<AbsLineDb>(), kPageSize);
        slot->db->loadDataThrow(slot->data);
    }
    return *slot;
}

_LineChat* chatByUid(const LineData& data, const QString& uid)
{
    for (_LineChat* c : data.chats())
        if (c->uid == uid)
            return c;
    return nullptr;
}

// --- opening and loading ----------------------------------------------------

void BM_OpenAndLoad(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        restorePristine(textStore());
        state.ResumeTiming();
        auto db = QSharedPointer<IOSLineDb>::create(QDir(textStore().container), QString());
        LineData data(db.staticCast<AbsLineDb>(), kPageSize);
        db->loadDataThrow(data);
        benchmark::DoNotOptimize(data.chats().size());
    }
}

// The same work in raw SQL: the index, then every row that loading reads.
void BM_OpenAndLoad_RawBaseline(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        restorePristine(textStore());
        state.ResumeTiming();
        sqlite3* db = nullptr;
        sqlite3_open_v2(QFile::encodeName(textStore().dbPath).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "CREATE INDEX _vardo_idx_Message_timestamp ON ZMESSAGE(ZTIMESTAMP)", nullptr, nullptr, nullptr);
        qint64 sum = 0;
        for (const char* sql : {"select * from ZUSER",
                                "select c.*, u.Z_PK from ZCHAT c left join ZUSER u on c.ZMID=u.ZMID",
                                "select * from Z_1MEMBERS",
                                "select g.*, c.Z_PK from ZGROUP g left join ZCHAT c on g.ZID=c.ZMID",
                                "select * from Z_4MEMBERS",
                                "select ZCHAT, max(ZTIMESTAMP) from ZMESSAGE group by ZCHAT"}) {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
            while (sqlite3_step(st) == SQLITE_ROW)
                for (int i = 0; i < sqlite3_column_count(st); ++i)
                    sum += sqlite3_column_bytes(st, i);
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        benchmark::DoNotOptimize(sum);
    }
}

// --- every message, page by page ---------------------------------------------

void readAllPages(benchmark::State& state, const Store& s)
{
    Loaded& l = loaded(s);
    const qint64 count = l.db->messagesCountThrow(nullptr);
    qint64 read = 0;
    for (auto _ : state) {
        read = 0;
        for (int page = 1;; ++page) {
            const QList<_LineMsg> msgs = l.db->messagesThrow(l.data, nullptr, page, kPageSize, true);
            read += msgs.size();
            if (msgs.size() < kPageSize)
                break;
        }
    }
    if (read != count)
        state.SkipWithError("pages did not add up to the count");
    state.counters["messages"] = double(read);
    state.SetItemsProcessed(state.iterations() * read);
}

// A plain scan of the same rows and columns, in the same order; with
// `mmap` the connection maps the file as the reader's does.
void rawScan(benchmark::State& state, const Store& s, bool mmap = false)
{
    loaded(s); // the index exists, as for the reader
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(s.dbPath).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (mmap)
        sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    const char* sql = "select m.Z_PK, m.ZID, m.ZTIMESTAMP, m.ZCONTENTTYPE, m.ZCHAT, m.ZSENDER, m.ZTEXT,"
                      " m.ZCONTENTMETADATA, m.ZLATITUDE, m.ZLONGITUDE from ZMESSAGE as m"
                      " inner join ZCHAT as c on m.ZCHAT=c.Z_PK and m.ZTIMESTAMP < 4000000000000"
                      " and m.ZID <> '' and m.ZID is not null"
                      " and m.ZCONTENTTYPE in (0, 107, 1, 2, 3, 7, 13, 14, 100, 112)"
                      " order by m.ZTIMESTAMP asc, m.Z_PK asc";
    qint64 rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        rows = 0;
        qint64 sum = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++rows;
            sum += sqlite3_column_int64(st, 0) + sqlite3_column_int64(st, 2) + sqlite3_column_int(st, 3)
                   + sqlite3_column_int64(st, 4) + sqlite3_column_int64(st, 5);
            sum += sqlite3_column_bytes(st, 1) + sqlite3_column_bytes(st, 6) + sqlite3_column_bytes(st, 7);
            benchmark::DoNotOptimize(sqlite3_column_text(st, 1));
            benchmark::DoNotOptimize(sqlite3_column_text(st, 6));
            benchmark::DoNotOptimize(sqlite3_column_blob(st, 7));
            sum += qint64(sqlite3_column_double(st, 8) + sqlite3_column_double(st, 9));
        }
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(sum);
    }
    sqlite3_close(db);
    state.counters["messages"] = double(rows);
    state.SetItemsProcessed(state.iterations() * rows);
}

void BM_ReadAllPages_Text(benchmark::State& state) { readAllPages(state, textStore()); }
void BM_ReadAllPages_Text_RawBaseline(benchmark::State& state) { rawScan(state, textStore()); }
void BM_ReadAllPages_Text_RawBaselineMmap(benchmark::State& state) { rawScan(state, textStore(), true); }
// The first read writes every extracted thumbnail (240,000 files) and decodes
// each photo thumbnail; later reads find them.
void BM_ReadAllPages_Media_FirstRead(benchmark::State& state) { readAllPages(state, mediaStore()); }
void BM_ReadAllPages_Media(benchmark::State& state) { readAllPages(state, mediaStore()); }
void BM_ReadAllPages_Media_RawBaseline(benchmark::State& state) { rawScan(state, mediaStore()); }

// --- one small chat -----------------------------------------------------------

int traceSql(unsigned, void* ctx, void* stmt, void*)
{
    char* sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(stmt));
    if (sql && QByteArray(sql).contains(" limit "))
        *static_cast<QByteArray*>(ctx) = sql;
    sqlite3_free(sql);
    return 0;
}

void BM_ReadSmallChat(benchmark::State& state)
{
    Loaded& l = loaded(textStore());
    _LineChat* chat = chatByUid(l.data, textStore().info.smallChatMid);
    if (!chat) {
        state.SkipWithError("no small chat");
        return;
    }
    // The plan of the query the reader really runs must use an index.
    QByteArray lastSql;
    sqlite3_trace_v2(l.db->rawHandle(), SQLITE_TRACE_STMT, traceSql, &lastSql);
    l.db->messagesThrow(l.data, chat, 1, kPageSize, true);
    sqlite3_trace_v2(l.db->rawHandle(), 0, nullptr, nullptr);
    QByteArray plan;
    {
        Sqlite3Cursor cur = l.db->queryThrow(Sqlite3Sql(QString::fromUtf8("EXPLAIN QUERY PLAN " + lastSql)));
        while (cur.moveNext())
            plan += cur.getTextBytes("detail") + "; ";
    }
    state.SetLabel(plan.toStdString());
    if (plan.contains("SCAN m") && !plan.contains("USING INDEX")) {
        state.SkipWithError("the chat query scans every message");
        return;
    }
    qint64 n = 0;
    for (auto _ : state) {
        const QList<_LineMsg> msgs = l.db->messagesThrow(l.data, chat, 1, kPageSize, true);
        n = msgs.size();
    }
    state.counters["messages"] = double(n);
}

void BM_ReadSmallChat_RawBaseline(benchmark::State& state)
{
    loaded(textStore());
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(textStore().dbPath).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const QByteArray uid = textStore().info.smallChatMid.toUtf8();
    qint64 rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "select m.Z_PK, m.ZID, m.ZTIMESTAMP, m.ZCONTENTTYPE, m.ZCHAT, m.ZSENDER, m.ZTEXT"
                           " from ZMESSAGE m inner join ZCHAT c on m.ZCHAT=c.Z_PK and c.ZMID=?"
                           " order by m.ZTIMESTAMP",
                           -1, &st, nullptr);
        sqlite3_bind_text(st, 1, uid.constData(), int(uid.size()), SQLITE_TRANSIENT);
        rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++rows;
            benchmark::DoNotOptimize(sqlite3_column_text(st, 6));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    state.counters["messages"] = double(rows);
}

} // namespace

BENCHMARK(BM_OpenAndLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_OpenAndLoad_RawBaseline)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Text)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Text_RawBaseline)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Text_RawBaselineMmap)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Media_FirstRead)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Media)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Media_RawBaseline)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_ReadSmallChat)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadSmallChat_RawBaseline)->Unit(benchmark::kMicrosecond);
