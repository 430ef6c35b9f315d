// Speed of the local database on the two paths that grow with its size:
// backing a large source up into it (rows and media files), and opening it
// (migrations and the purge of junk users).
//
// Baselines, measured in the same run:
// - BM_BackupBaseline_PlainInsert: the same rows from the same source (users,
//   chats, memberships, groups and messages) written with prepared sqlite3
//   statements in one transaction into the same schema, each user and chat
//   the first time it is met (no duplicate tests, no look-ups in the
//   database, no files);
// - BM_BackupBaseline_PlainInsertAndCopy: the same, plus the same media
//   files written with plain POSIX calls (no temporary name, no rename);
// - BM_OpenBaseline_CreateTimeIndex: the one step of opening that must read
//   every message (the index on line_msg(ts)), as a plain statement.
//
// Each backup counts messages per second and the peak resident memory of
// the run (VmHWM, reset before each run).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench/benchmain.h"
#include "chatdata/abslinemsgssource.h"
#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/linelocaldb.h"
#include "chatdata/linetime.h"
#include "chatdata/tinykvserializer.h"
#include "foundation/pathutil.h"
#include "foundation/progressform.h"

namespace {

const int kChats = 200;
const int kUsers = 50000;
const int kMediaPool = 64;

QTemporaryDir& scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + "/bench-localdb-XXXXXX");
    return dir;
}

void check(int rc, sqlite3* db, const char* what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// A large source made up as it is read: 200 chats (every fifth a group),
// 50,000 users, a quarter of the messages from the owner, and every fifth
// message a photo, video, voice note or file whose media come from a small
// pool of files (so the source needs no disk of its own per message).
class SyntheticSource : public AbsLineMsgsSource
{
public:
    SyntheticSource(qint64 count, const QString& mediaDir)
        : m_count(count)
    {
        for (int i = 0; i < kUsers; ++i) {
            auto u = std::make_unique<_LineUser>();
            u->id = i + 1;
            u->uid = QStringLiteral("u%1").arg(i, 32, 16, QLatin1Char('0'));
            u->serverName = QStringLiteral("user %1").arg(i);
            u->createTs = QDateTime::fromSecsSinceEpoch(1400000000 + i);
            m_users.push_back(std::move(u));
        }
        for (int i = 0; i < kChats; ++i) {
            auto c = std::make_unique<_LineChat>();
            c->id = i + 1;
            c->uid = QStringLiteral("c%1").arg(i, 32, 16, QLatin1Char('0'));
            for (int k = 0; k < 5; ++k)
                c->users.insert(m_users[(i * 5 + k) % kUsers].get());
            if (i % 5 == 0) {
                auto g = std::make_unique<_LineGroupInfo>();
                g->uid = c->uid;
                g->name = QStringLiteral("group %1").arg(i);
                g->creator = m_users[i % kUsers].get();
                g->members = c->users;
                c->type = LineChatType::GROUP;
                c->group = g.get();
                m_groups.push_back(std::move(g));
            }
            m_chats.push_back(std::move(c));
        }
        QDir().mkpath(mediaDir);
        for (int i = 0; i < kMediaPool; ++i) {
            m_thumbs.append(writeFile(mediaDir + QStringLiteral("/t%1.jpg").arg(i), 2048 + i * 16));
            m_files.append(writeFile(mediaDir + QStringLiteral("/f%1.bin").arg(i), 8192 + i * 64));
        }
    }

    qint64 size() const override { return m_count; }
    _LineMsg msg(qint64 i) const override { return make(i); }
    QHash<_LineChat*, PAbsLineMsgsSource> chatMsgs() const override { return {}; }
    qint64 sizeThrow() const override { return m_count; }
    _LineMsg msgThrow(qint64 i) const override { return make(i); }


private:
    static QString writeFile(const QString& path, int size)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(size, 'm')) != size)
            throw std::runtime_error("cannot write a media file");
        return path;
    }

    _LineMsg make(qint64 i) const
    {
        _LineMsg m;
        m.uid = QString::number(100000000000LL + i);
        m.chat = m_chats[i % kChats].get();
        m.from = i % 4 == 0 ? nullptr : m_users[(i * 7) % kUsers].get();
        m.ts = QDateTime::fromSecsSinceEpoch(1500000000 + i);
        m.rawContent = QByteArrayLiteral("message ") + QByteArray::number(i) + " about the plans for the weekend";
        if (i % 5 == 0) {
            const int pool = int(i % kMediaPool);
            switch ((i / 5) % 4) {
            case 0:
                m.type = LineMsgType::PHOTO;
                m.thumbPath = m_thumbs[pool];
                m.attaPath = m_files[pool];
                m.attaSetWidth(640);
                m.attaSetHeight(480);
                break;
            case 1:
                m.type = LineMsgType::VIDEO;
                m.thumbPath = m_thumbs[pool];
                m.attaPath = m_files[pool];
                break;
            case 2:
                m.type = LineMsgType::VOICE;
                m.attaPath = m_files[pool];
                m.attaSetFileSize(9800);
                break;
            default:
                m.type = LineMsgType::FILE;
                m.attaPath = m_files[pool];
                m.attaSetFileName(QStringLiteral("report%1.pdf").arg(i));
                m.attaSetFileSize(8192);
                break;
            }
        }
        return m;
    }

    qint64 m_count;
    std::vector<std::unique_ptr<_LineUser>> m_users;
    std::vector<std::unique_ptr<_LineGroupInfo>> m_groups;
    std::vector<std::unique_ptr<_LineChat>> m_chats;
    QStringList m_thumbs;
    QStringList m_files;
};

QSharedPointer<SyntheticSource> sourceOf(qint64 count)
{
    static QMap<qint64, QSharedPointer<SyntheticSource>> sources;
    if (!sources.contains(count))
        sources.insert(count, QSharedPointer<SyntheticSource>::create(count, scratch().path() + "/media"));
    return sources.value(count);
}

QString freshFolder()
{
    static int n = 0;
    const QString path = scratch().path() + QStringLiteral("/run%1").arg(++n);
    QDir(path).removeRecursively();
    return path;
}

qint64 countRows(const QString& folder)
{
    LineLocalDb db{QDir(folder)};
    return db.messagesCountThrow(nullptr);
}

void finishRun(benchmark::State& state, qint64 count, const QString& folder, double peak)
{
    state.PauseTiming();
    if (countRows(folder) != count)
        state.SkipWithError("not every message was stored");
    state.counters["peak_MiB"] = peak;
    state.counters["msgs_per_s"] = benchmark::Counter(double(count), benchmark::Counter::kIsIterationInvariantRate);
    QDir(folder).removeRecursively();
    state.ResumeTiming();
}

void BM_Backup(benchmark::State& state)
{
    const qint64 count = state.range(0);
    const PAbsLineMsgsSource source = sourceOf(count);
    for (auto _ : state) {
        state.PauseTiming();
        const QString folder = freshFolder();
        resetPeakMemory();
        state.ResumeTiming();
        {
            // The window is never shown: the thread's queued reports are
            // dropped with it.
            ProgressForm form(QStringLiteral("backup"));
            BackupLineMessagesThread thread(source, QDir(folder), form);
            thread.start();
            thread.wait();
        }
        finishRun(state, count, folder, peakMemoryMiB());
    }
}
BENCHMARK(BM_Backup)->Arg(100000)->Arg(1000000)->Unit(benchmark::kSecond)->Apply(repeatedRuns<3>);

// Writes a file with plain POSIX calls, never over an existing one.
void plainCopy(const QString& from, const QString& to)
{
    const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY);
    const int out = ::open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    char buffer[1 << 16];
    ssize_t n;
    while (in >= 0 && out >= 0 && (n = ::read(in, buffer, sizeof buffer)) > 0) {
        if (::write(out, buffer, size_t(n)) != n)
            break;
    }
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ::close(out);
}

void plainInsert(benchmark::State& state, bool withFiles)
{
    const qint64 count = state.range(0);
    const QSharedPointer<SyntheticSource> source = sourceOf(count);
    for (auto _ : state) {
        state.PauseTiming();
        const QString folder = freshFolder();
        LineLocalDb layout{QDir(folder)};
        layout.openCheckThrow(); // the same file and schema, made outside the timing
        layout.close();
        resetPeakMemory();
        state.ResumeTiming();

        sqlite3* db = nullptr;
        check(sqlite3_open(QFile::encodeName(layout.dbPath()).constData(), &db), db, "open");
        check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
        std::map<const char*, sqlite3_stmt*> stmts;
        const auto st = [&](const char* sql) {
            sqlite3_stmt*& s = stmts[sql];
            if (!s)
                check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db, "prepare");
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
            return s;
        };
        const auto text = [](sqlite3_stmt* s, int at, const QString& v) {
            const QByteArray b = v.toUtf8();
            sqlite3_bind_text(s, at, b.constData(), int(b.size()), SQLITE_TRANSIENT);
        };
        QHash<const _LineUser*, qint64> users;
        const auto userRow = [&](const _LineUser* u) {
            auto it = users.find(u);
            if (it != users.end())
                return *it;
            sqlite3_stmt* s = st("insert into line_user(uid,contact_name,server_name,custom_name,create_ts,pic_uri)"
                                 " values(?,?,?,?,?,?)");
            text(s, 1, u->uid);
            text(s, 2, u->contactName);
            text(s, 3, u->serverName);
            text(s, 4, u->customName);
            sqlite3_bind_int64(s, 5, dtToUnixSecs32(u->createTs));
            text(s, 6, u->picUri);
            check(sqlite3_step(s), db, "user");
            return *users.insert(u, sqlite3_last_insert_rowid(db));
        };
        const auto members = [&](const char* sql, qint64 owner, const QSet<_LineUser*>& set) {
            QList<const _LineUser*> sorted(set.cbegin(), set.cend());
            std::sort(sorted.begin(), sorted.end(), [](const _LineUser* a, const _LineUser* b) { return a->uid < b->uid; });
            for (const _LineUser* u : std::as_const(sorted)) {
                const qint64 user = userRow(u);
                sqlite3_stmt* s = st(sql);
                sqlite3_bind_int64(s, 1, owner);
                sqlite3_bind_int64(s, 2, user);
                check(sqlite3_step(s), db, "member");
            }
        };
        QHash<const _LineChat*, qint64> chats;
        QSet<QString> dirs;
        for (qint64 i = 0; i < count; ++i) {
            const _LineMsg m = source->msgThrow(i);
            auto chat = chats.find(m.chat);
            if (chat == chats.end()) {
                sqlite3_stmt* s = st("insert into line_chat(uid,type) values(?,?)");
                text(s, 1, m.chat->uid);
                text(s, 2, LineLocalDb::chatTypeWord(m.chat->type));
                check(sqlite3_step(s), db, "chat");
                chat = chats.insert(m.chat, sqlite3_last_insert_rowid(db));
                members("replace into line_chat_users(chat_id,user_id) values(?,?)", *chat, m.chat->users);
                if (const _LineGroupInfo* g = m.chat->group) {
                    const qint64 creator = g->creator ? userRow(g->creator) : 0;
                    s = st("insert into line_group(uid,creator_id,name,pic_status,create_ts) values(?,?,?,?,?)");
                    text(s, 1, g->uid);
                    if (g->creator)
                        sqlite3_bind_int64(s, 2, creator);
                    text(s, 3, g->name);
                    text(s, 4, g->picStatus);
                    sqlite3_bind_int64(s, 5, dtToUnixSecs32(g->createTs));
                    check(sqlite3_step(s), db, "group");
                    members("replace into line_group_members(group_id,user_id) values(?,?)", sqlite3_last_insert_rowid(db),
                            g->members);
                }
            }
            const qint64 from = m.from ? userRow(m.from) : 0;
            sqlite3_stmt* stmt = st("insert into line_msg(ver,uid,type,ts,chat_id,from_id,content,atta) "
                                    "values(1,?,?,?,?,?,?,?)");
            const QByteArray uid = m.uid.toUtf8();
            const QByteArray type = LineLocalDb::msgTypeWord(m.type).toLatin1();
            sqlite3_bind_text(stmt, 1, uid.constData(), int(uid.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(stmt, 2, type.constData(), int(type.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(stmt, 3, dtToUnixSecs32(m.ts));
            sqlite3_bind_int64(stmt, 4, *chat);
            if (m.from)
                sqlite3_bind_int64(stmt, 5, from);
            sqlite3_bind_text(stmt, 6, m.rawContent.constData(), int(m.rawContent.size()), SQLITE_TRANSIENT);
            if (!m.atta.isEmpty()) {
                const QByteArray blob = TinyKVSerializer::ser(m.atta);
                sqlite3_bind_blob(stmt, 7, blob.constData(), int(blob.size()), SQLITE_TRANSIENT);
            }
            check(sqlite3_step(stmt), db, "insert");
            if (withFiles && (!m.thumbPath.isEmpty() || !m.attaPath.isEmpty())) {
                QString thumb, media;
                layout.msgAttaPath(&m, &thumb, &media);
                for (const QString& target : {thumb, media}) {
                    if (target.isEmpty())
                        continue;
                    const QString dir = QFileInfo(target).path();
                    if (!dirs.contains(dir)) {
                        QDir().mkpath(dir);
                        dirs.insert(dir);
                    }
                }
                if (!thumb.isEmpty())
                    plainCopy(m.thumbPath, thumb);
                if (!media.isEmpty())
                    plainCopy(m.attaPath, media);
            }
        }
        for (auto& s : stmts)
            sqlite3_finalize(s.second);
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
        sqlite3_close(db);
        finishRun(state, count, folder, peakMemoryMiB());
    }
}

void BM_BackupBaseline_PlainInsert(benchmark::State& state)
{
    plainInsert(state, false);
}
BENCHMARK(BM_BackupBaseline_PlainInsert)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kSecond)
    ->Apply(repeatedRuns<3>);

void BM_BackupBaseline_PlainInsertAndCopy(benchmark::State& state)
{
    plainInsert(state, true);
}
BENCHMARK(BM_BackupBaseline_PlainInsertAndCopy)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kSecond)
    ->Apply(repeatedRuns<3>);

// A database of the earlier format (no ver, no custom_name, no index on
// ts) with `count` messages, built once per size with plain SQL; 40 of its
// 2000 users have uids that are not LINE ids, half of them senders.
QString earlierDb(qint64 count)
{
    static QMap<qint64, QString> built;
    if (built.contains(count))
        return built.value(count);
    const QString folder = scratch().path() + QStringLiteral("/earlier%1").arg(count);
    {
        // Today's schema, taken back to the earlier one.
        LineLocalDb layout{QDir(folder)};
        layout.openCheckThrow();
    }
    const QString path = folder + "/marrowquist-line.db";
    sqlite3* db = nullptr;
    check(sqlite3_open(QFile::encodeName(path).constData(), &db), db, "open");
    check(sqlite3_exec(db,
                       "ALTER TABLE line_msg DROP COLUMN ver; ALTER TABLE line_user DROP COLUMN custom_name;"
                       "DROP INDEX _vardo_idx_line_msg_ts;",
                       nullptr, nullptr, nullptr),
          db, "schema");
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt* stmt = nullptr;
    check(sqlite3_prepare_v2(db, "insert into line_user(uid) values(?)", -1, &stmt, nullptr), db, "prepare");
    for (int i = 0; i < kUsers; ++i) {
        const QByteArray uid = (i % 50 == 0 ? "p" : "u") + QByteArray::number(i);
        sqlite3_bind_text(stmt, 1, uid.constData(), int(uid.size()), SQLITE_TRANSIENT);
        check(sqlite3_step(stmt), db, "user");
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    check(sqlite3_exec(db, "insert into line_chat_users select 1+_id%200, _id from line_user", nullptr, nullptr, nullptr),
          db, "members");
    for (int i = 0; i < kChats; ++i) {
        const QByteArray sql = "insert into line_chat(uid,type) values('c" + QByteArray::number(i) + "','single')";
        check(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), db, "chat");
    }
    check(sqlite3_prepare_v2(db, "insert into line_msg(uid,type,ts,chat_id,from_id,content) values(?,'text',?,?,?,?)",
                             -1, &stmt, nullptr),
          db, "prepare");
    for (qint64 i = 0; i < count; ++i) {
        const QByteArray uid = QByteArray::number(100000000000LL + i);
        const QByteArray content = "message " + QByteArray::number(i) + " about the plans for the weekend";
        sqlite3_bind_text(stmt, 1, uid.constData(), int(uid.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 2, 1500000000 + i);
        sqlite3_bind_int64(stmt, 3, 1 + i % kChats);
        // Users 1, 101, 201...: every other junk user sends now and then.
        sqlite3_bind_int64(stmt, 4, i % 1000 == 0 ? 1 + (i / 1000 % 20) * 100 : 2 + i % 1999);
        sqlite3_bind_text(stmt, 5, content.constData(), int(content.size()), SQLITE_TRANSIENT);
        check(sqlite3_step(stmt), db, "message");
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
    built.insert(count, folder);
    return folder;
}

// A copy of the earlier database in a fresh folder.
QString copyOfEarlier(qint64 count)
{
    const QString folder = freshFolder();
    QDir().mkpath(folder);
    const QString from = earlierDb(count) + "/marrowquist-line.db";
    if (!QFile::copy(from, folder + "/marrowquist-line.db"))
        throw std::runtime_error("cannot copy the database");
    return folder;
}

// Times `open` on a fresh copy of the earlier database at each iteration.
template <typename Open>
void timeOnCopies(benchmark::State& state, Open open)
{
    for (auto _ : state) {
        state.PauseTiming();
        const QString folder = copyOfEarlier(state.range(0));
        state.ResumeTiming();
        open(folder);
        state.PauseTiming();
        QDir(folder).removeRecursively();
        state.ResumeTiming();
    }
}

void BM_OpenEarlier(benchmark::State& state)
{
    timeOnCopies(state, [](const QString& folder) {
        LineLocalDb db{QDir(folder)};
        db.openCheckThrow();
    });
}
BENCHMARK(BM_OpenEarlier)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<3>);

// Opening a database that is up to date: only the purge, which still finds
// the junk users that sent messages and keeps them.
void BM_OpenCurrent(benchmark::State& state)
{
    const QString folder = copyOfEarlier(state.range(0));
    {
        LineLocalDb db{QDir(folder)};
        db.openCheckThrow();
    }
    for (auto _ : state) {
        LineLocalDb db{QDir(folder)};
        db.openCheckThrow();
    }
    QDir(folder).removeRecursively();
}
BENCHMARK(BM_OpenCurrent)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);

void BM_OpenBaseline_CreateTimeIndex(benchmark::State& state)
{
    timeOnCopies(state, [](const QString& folder) {
        sqlite3* db = nullptr;
        check(sqlite3_open(QFile::encodeName(folder + "/marrowquist-line.db").constData(), &db), db, "open");
        check(sqlite3_exec(db, "CREATE INDEX plain_ts ON line_msg(ts)", nullptr, nullptr, nullptr), db, "index");
        sqlite3_close(db);
    });
}
BENCHMARK(BM_OpenBaseline_CreateTimeIndex)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<3>);

} // namespace
