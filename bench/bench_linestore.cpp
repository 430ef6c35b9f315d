// Reading a large LINE store: opening and loading, reading every message page
// by page through the chat data as a view does, and reading one small chat,
// each beside a raw sqlite3 baseline that runs the reader's own query (same
// text, same plan) on a connection with the reader's settings (serialised,
// the file mapped), and for media the same file checks and decodes.
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

#include <QImage>

#include <sys/stat.h>

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

// The same work in raw SQL on a connection with the reader's settings: the
// two indexes and the purge of disabled chats in one transaction, then every
// row that loading reads.
void BM_OpenAndLoad_RawBaseline(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        restorePristine(textStore());
        state.ResumeTiming();
        sqlite3* db = nullptr;
        sqlite3_open_v2(QFile::encodeName(textStore().dbPath).constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
        sqlite3_exec(db,
                     "PRAGMA mmap_size=268435456; BEGIN;"
                     " CREATE INDEX _vardo_idx_Message_timestamp ON ZMESSAGE(ZTIMESTAMP);"
                     " CREATE INDEX _vardo_idx_Message_chat_timestamp ON ZMESSAGE(ZCHAT, ZTIMESTAMP);"
                     " delete from zmessage where zchat in (select z_pk from zchat where zenable=0);"
                     " delete from Z_1MEMBERS where Z_1CHATS in (select z_pk from zchat where zenable=0);"
                     " delete from ZCHATMETADATA where ZCHAT in (select z_pk from zchat where zenable=0);"
                     " delete from zchat where zenable=0; COMMIT",
                     nullptr, nullptr, nullptr);
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

// The statements a connection runs, for a baseline to run the same text.
int traceSql(unsigned, void* ctx, void* stmt, void*)
{
    char* sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(stmt));
    if (sql)
        static_cast<QList<QByteArray>*>(ctx)->append(sql);
    sqlite3_free(sql);
    return 0;
}

// The first page query the reader runs for `chat` (all chats when null),
// without its limit: the whole listing in one scan.
QByteArray readerQuery(Loaded& l, _LineChat* chat)
{
    QList<QByteArray> seen;
    sqlite3_trace_v2(l.db->rawHandle(), SQLITE_TRACE_STMT, traceSql, &seen);
    l.db->messagesThrow(l.data, chat, 1, kPageSize, true);
    sqlite3_trace_v2(l.db->rawHandle(), 0, nullptr, nullptr);
    for (const QByteArray& sql : std::as_const(seen))
        if (sql.contains(" limit "))
            return sql.left(sql.lastIndexOf(" limit "));
    return QByteArray();
}

QString planOf(sqlite3* db, const QByteArray& sql)
{
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "EXPLAIN QUERY PLAN " + sql, -1, &st, nullptr);
    QString plan;
    while (sqlite3_step(st) == SQLITE_ROW)
        plan += QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 3))) + "; ";
    sqlite3_finalize(st);
    return plan;
}

// Every message through the chat data, as a view reads them: by index, the
// page cache loading 5000 at a time.
void readAllPages(benchmark::State& state, const Store& s)
{
    Loaded& l = loaded(s);
    const qint64 count = l.data.msgsCountThrow(nullptr);
    qint64 read = 0;
    for (auto _ : state) {
        read = 0;
        for (qint64 i = 0; i < count; ++i) {
            const _LineMsg m = l.data.msgAtThrow(nullptr, i, true);
            read += m.id != 0;
        }
    }
    if (read != count)
        state.SkipWithError("not every message was read");
    state.counters["messages"] = double(read);
}

// The reader's query in one plain scan, reading every column it reads, on a
// connection with its settings; for media, the same file checks and the
// same thumbnails decoded.
void rawScan(benchmark::State& state, const Store& s, bool media)
{
    Loaded& l = loaded(s);
    const QByteArray sql = readerQuery(l, nullptr);
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(s.dbPath).constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
    sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    state.SetLabel(planOf(db, sql).toStdString());
    const QString store = s.container + "/Library/Application Support/PrivateStore/P_" + LargeStoreSpec().accountMid + "/";
    const QString extracted = s.container + "/tmp/thumbnails/";
    const auto exists = [](const QString& path) {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_size > 0;
    };
    qint64 rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr);
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
            const int type = sqlite3_column_int(st, 3);
            if (!media || type == 0 || type == 7)
                continue;
            const QString id = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
            const QString chat = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 10)));
            const QString base = store + "Message Attachments/" + chat + "/" + id;
            if (type == 1 || type == 2) {
                QString thumb = store + "Message Thumbnails/" + chat + "/" + id + ".thumb";
                if (!exists(thumb))
                    thumb = extracted + chat + "/" + id + ".thumb.jpg";
                sum += exists(thumb);
                if (type == 1) {
                    QImage img;
                    sum += img.load(thumb, "JPEG");
                } else {
                    sum += exists(base + ".mp4") || exists(base + ".mov");
                }
            } else if (type == 3) {
                sum += exists(base + ".mp4") || exists(base + ".aac") || exists(base + ".m4a");
            } else if (type == 14) {
                sum += exists(base + "_report.pdf");
            }
        }
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(sum);
    }
    sqlite3_close(db);
    state.counters["messages"] = double(rows);
}

void BM_ReadAllPages_Text(benchmark::State& state) { readAllPages(state, textStore()); }
void BM_ReadAllPages_Text_RawBaseline(benchmark::State& state) { rawScan(state, textStore(), false); }
// The first read writes every extracted thumbnail (240,000 files) and decodes
// each photo thumbnail; later reads find them.
void BM_ReadAllPages_Media_FirstRead(benchmark::State& state) { readAllPages(state, mediaStore()); }
void BM_ReadAllPages_Media(benchmark::State& state) { readAllPages(state, mediaStore()); }
void BM_ReadAllPages_Media_RawBaseline(benchmark::State& state) { rawScan(state, mediaStore(), true); }

// --- one small chat -----------------------------------------------------------

void BM_ReadSmallChat(benchmark::State& state)
{
    Loaded& l = loaded(textStore());
    _LineChat* chat = chatByUid(l.data, textStore().info.smallChatMid);
    if (!chat) {
        state.SkipWithError("no small chat");
        return;
    }
    const QString plan = planOf(l.db->rawHandle(), readerQuery(l, chat));
    state.SetLabel(plan.toStdString());
    if (!plan.contains("USING INDEX") && !plan.contains("USING COVERING INDEX")) {
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

// The reader's own query for that chat, the same page, in raw sqlite3.
void BM_ReadSmallChat_RawBaseline(benchmark::State& state)
{
    Loaded& l = loaded(textStore());
    _LineChat* chat = chatByUid(l.data, textStore().info.smallChatMid);
    const QByteArray sql = readerQuery(l, chat) + " limit 5000";
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(textStore().dbPath).constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                    nullptr);
    sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    state.SetLabel(planOf(db, sql).toStdString());
    qint64 rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr);
        rows = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++rows;
            benchmark::DoNotOptimize(sqlite3_column_text(st, 1));
            benchmark::DoNotOptimize(sqlite3_column_text(st, 6));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    state.counters["messages"] = double(rows);
}

} // namespace

BENCHMARK(BM_OpenAndLoad)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<3>);
BENCHMARK(BM_OpenAndLoad_RawBaseline)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<3>);
BENCHMARK(BM_ReadAllPages_Text)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);
BENCHMARK(BM_ReadAllPages_Text_RawBaseline)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);
BENCHMARK(BM_ReadAllPages_Media_FirstRead)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ReadAllPages_Media)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<3>);
BENCHMARK(BM_ReadAllPages_Media_RawBaseline)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<3>);
BENCHMARK(BM_ReadSmallChat)->Unit(benchmark::kMicrosecond)->Apply(repeatedReps<5>);
BENCHMARK(BM_ReadSmallChat_RawBaseline)->Unit(benchmark::kMicrosecond)->Apply(repeatedReps<5>);
