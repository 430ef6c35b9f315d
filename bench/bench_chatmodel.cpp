// Speed of the chat model on the paths every view and worker takes: the
// one-line summary, raw-content decoding, and paging a large chat through
// the page cache. Each has its baseline in the same run: a plain copy or
// UTF-8 decoding of the same texts, and a raw sqlite3 scan of the same page.
#include <benchmark/benchmark.h>

#include "bench/benchmain.h"
#include <sqlite3.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <stdexcept>

#include "chatdata/abslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linemsg.h"
#include "chatdata/linerawcontent.h"
#include "chatdata/linetime.h"

namespace {

const int kMessages = 1000000;
const int kPool = 1024;
const int kPageSize = 5000;

QByteArray lineEmojiRun()
{
    return QByteArray::fromHex("f4808080f4808081f4808082f48fbfbf");
}

// Raw contents as chats have them: mostly plain text, some Japanese, some
// with LINE emoji runs and standard emoji.
QByteArray rawContentFor(int i)
{
    QByteArray raw = QStringLiteral("message %1 about the weekend plans").arg(i).toUtf8();
    if (i % 3 == 0)
        raw += QString::fromUtf8(" 了解です、また明日").toUtf8();
    if (i % 5 == 0)
        raw += " " + lineEmojiRun() + " see you";
    if (i % 7 == 0)
        raw += QString::fromUcs4(U" \U0001F600").toUtf8();
    return raw;
}

const QList<QByteArray>& rawPool()
{
    static const QList<QByteArray> pool = [] {
        QList<QByteArray> p;
        for (int i = 0; i < kPool; ++i)
            p.append(rawContentFor(i));
        return p;
    }();
    return pool;
}

const QList<_LineMsg>& msgPool()
{
    static const QList<_LineMsg> pool = [] {
        QList<_LineMsg> p;
        for (int i = 0; i < kPool; ++i) {
            _LineMsg m;
            m.id = i + 1;
            m.rawContent = rawPool().at(i);
            m.text = parseLineRawContent(m.rawContent) + QChar(0xE001);
            // One in ten is an attachment of some kind.
            if (i % 10 == 1) {
                m.type = LineMsgType::STICKER;
                m.attaSetSticker(_LineStickerInfo{i, 3, 1});
            } else if (i % 10 == 2) {
                m.type = LineMsgType::LOCATION;
                m.attaSetLocation(_LineLocationInfo{35.0, 139.0, "Shibuya\\nStation"});
            }
            p.append(m);
        }
        return p;
    }();
    return pool;
}

// Runs `perItem` over a million items of `pool`, cycling through it.
template <typename Pool, typename PerItem>
void overAMillion(benchmark::State& state, const Pool& pool, PerItem perItem)
{
    for (auto _ : state) {
        qsizetype chars = 0;
        for (int i = 0; i < kMessages; ++i)
            chars += perItem(pool.at(i % kPool));
        benchmark::DoNotOptimize(chars);
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_Summary(benchmark::State& state)
{
    overAMillion(state, msgPool(), [](const _LineMsg& m) { return m.summary().size(); });
}
BENCHMARK(BM_Summary)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// Baseline: a deep copy of each text, the least any summary must cost.
void BM_SummaryBaseline_TextCopy(benchmark::State& state)
{
    overAMillion(state, msgPool(), [](const _LineMsg& m) { return QString(m.text.constData(), m.text.size()).size(); });
}
BENCHMARK(BM_SummaryBaseline_TextCopy)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

void BM_ParseRawContent(benchmark::State& state)
{
    overAMillion(state, rawPool(), [](const QByteArray& raw) { return parseLineRawContent(raw).size(); });
}
BENCHMARK(BM_ParseRawContent)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// Baseline: plain UTF-8 decoding of the same bytes.
void BM_ParseRawContentBaseline_FromUtf8(benchmark::State& state)
{
    overAMillion(state, rawPool(), [](const QByteArray& raw) { return QString::fromUtf8(raw).size(); });
}
BENCHMARK(BM_ParseRawContentBaseline_FromUtf8)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

const char kPageSql[] = "select id, uid, ts, type, content from msg where chat_id = ? order by ts, id limit ? offset ?";

// One chat of a million messages in an in-memory SQLite database, paged the
// way the LINE store reader pages: ordered by time, LIMIT and OFFSET.
class BenchLineDb : public AbsLineDb
{
public:
    void openCheckThrow() override
    {
        if (isOpen())
            return;
        openThrow(QStringLiteral(":memory:"), 6);
        executeThrow("create table msg(id integer primary key, chat_id integer, uid text, ts integer, "
                     "type integer, content blob)");
        beginTran();
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(rawHandle(), "insert into msg values(?, 1, ?, ?, 0, ?)", -1, &ins, nullptr);
        for (int i = 0; i < kMessages; ++i) {
            const QByteArray uid = QByteArray::number(100000000 + i);
            const QByteArray& raw = rawPool().at(i % kPool);
            sqlite3_bind_int64(ins, 1, i + 1);
            sqlite3_bind_text(ins, 2, uid.constData(), int(uid.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(ins, 3, Q_INT64_C(1500000000000) + i * Q_INT64_C(1000));
            sqlite3_bind_blob(ins, 4, raw.constData(), int(raw.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(ins) != SQLITE_DONE)
                throw std::runtime_error("bench: insert failed");
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
        commitTran();
        executeThrow("create index msg_chat_ts on msg(chat_id, ts, id)");
    }

    void loadDataThrow(LineData& data) override
    {
        openCheckThrow();
        auto* chat = new _LineChat;
        chat->id = 1;
        data.insertChat(1, chat);
    }

    qint64 messagesCountThrow(_LineChat*) override
    {
        Sqlite3Cursor c = queryThrow("select count(*) from msg");
        return c.moveNext() ? c.getInt64(0) : 0;
    }

    QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool) override
    {
        Sqlite3Sql sql(kPageSql);
        sql.addInt64Param(chat ? chat->id : 1).addIntParam(pageSize).addInt64Param(qint64(page - 1) * pageSize);
        Sqlite3Cursor c = queryThrow(sql);
        const int id = c.columnIndex("id"), uid = c.columnIndex("uid"), ts = c.columnIndex("ts"),
                  type = c.columnIndex("type"), content = c.columnIndex("content");
        QList<_LineMsg> msgs;
        msgs.reserve(pageSize);
        LocalZone zone(false); // as the LINE store reader makes its local times
        while (c.moveNext()) {
            _LineMsg m;
            m.id = c.getInt64(id);
            m.uid = c.getText(uid);
            m.ts = zone.dateTime(c.getInt64(ts));
            m.type = c.getInt(type);
            m.rawContent = c.getBlob(content);
            m.text = parseLineRawContent(m.rawContent);
            m.chat = data.chat(1);
            msgs.append(m);
        }
        return msgs;
    }
};

QSharedPointer<BenchLineDb> benchDb()
{
    static const QSharedPointer<BenchLineDb> db = [] {
        auto d = QSharedPointer<BenchLineDb>::create();
        d->openCheckThrow();
        return d;
    }();
    return db;
}

// Every message of one page through LineData::msgAt; a fresh data each
// time, so the page is always read from the database.
void BM_LineDataPage(benchmark::State& state)
{
    const int page = int(state.range(0));
    const auto db = benchDb();
    for (auto _ : state) {
        LineData data(db, kPageSize);
        db->loadDataThrow(data);
        _LineChat* chat = data.chat(1);
        qsizetype chars = 0;
        for (qint64 i = qint64(page - 1) * kPageSize; i < qint64(page) * kPageSize; ++i)
            chars += data.msgAt(chat, i, true).text.size();
        benchmark::DoNotOptimize(chars);
    }
    state.SetItemsProcessed(state.iterations() * kPageSize);
}
BENCHMARK(BM_LineDataPage)->Arg(1)->Arg(200)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// Baseline: the same page stepped through with raw sqlite3 calls, reading
// every column and building nothing.
void BM_RawSqlitePage(benchmark::State& state)
{
    const int page = int(state.range(0));
    sqlite3* handle = benchDb()->rawHandle();
    for (auto _ : state) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(handle, kPageSql, -1, &stmt, nullptr);
        sqlite3_bind_int64(stmt, 1, 1);
        sqlite3_bind_int(stmt, 2, kPageSize);
        sqlite3_bind_int64(stmt, 3, qint64(page - 1) * kPageSize);
        qint64 bytes = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            bytes += sqlite3_column_int64(stmt, 0) + sqlite3_column_bytes(stmt, 1) + sqlite3_column_int64(stmt, 2)
                     + sqlite3_column_int(stmt, 3);
            benchmark::DoNotOptimize(sqlite3_column_blob(stmt, 4));
            bytes += sqlite3_column_bytes(stmt, 4);
        }
        sqlite3_finalize(stmt);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kPageSize);
}
BENCHMARK(BM_RawSqlitePage)->Arg(1)->Arg(200)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

} // namespace

