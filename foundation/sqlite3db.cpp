#include "foundation/sqlite3db.h"
#include "foundation/sqlite3cursor_p.h"
#include "foundation/sqlite3stmtcache_p.h"

#include <QFile>
#include <sqlite3.h>

#include <atomic>

#include <stdexcept>

int sqlite_qt_version()
{
    return 8;
}


Sqlite3DB::Sqlite3DB() = default;

Sqlite3DB::~Sqlite3DB()
{
    close();
}

void Sqlite3DB::throwError(const QString& what, int code) const
{
    const QString msg = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(code));
    throw std::runtime_error(QStringLiteral("sqlite: %1 (%2): %3").arg(what).arg(code).arg(msg).toStdString());
}

void Sqlite3DB::openThrow(const QString& path, int flags)
{
    close();
    sqlite3* db = nullptr;
    // The connection may be used from a worker and the GUI thread in turn.
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const QString msg = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        throw std::runtime_error(QStringLiteral("sqlite: cannot open %1 (%2): %3").arg(path).arg(rc).arg(msg).toStdString());
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);
    m_db = db;
    m_path = path;
    m_stmts = std::make_shared<Sqlite3StmtCache>();
    // Runs on the thread using the connection, inside SQLite's own lock.
    sqlite3_rollback_hook(
        db, [](void* rollbacks) { ++*static_cast<std::atomic<quint64>*>(rollbacks); }, &m_rollbacks);
}

void Sqlite3DB::close()
{
    if (!m_db)
        return;
    m_stmts->close();
    m_stmts.reset();
    // close_v2 defers the close until the last cursor is finalised, so a
    // cursor that outlives its database never touches freed memory.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

std::shared_ptr<Sqlite3Cursor::State> Sqlite3DB::statementThrow(const Sqlite3Sql& sql, bool requireSingle)
{
    if (!m_db)
        throw std::runtime_error("sqlite: database is not open");
    const QByteArray& text = sql.utf8();
    bool single = true;
    sqlite3_stmt* stmt = m_stmts->take(text, &single);
    if (!stmt) {
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v3(m_db, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                                          &tail);
        if (rc != SQLITE_OK) {
            const QString msg = QString::fromUtf8(sqlite3_errmsg(m_db));
            sqlite3_finalize(stmt);
            throw std::runtime_error(QStringLiteral("sqlite: %1 (%2) in: %3").arg(msg).arg(rc).arg(sql.sql()).toStdString());
        }
        if (!stmt)
            throw std::runtime_error(("sqlite: empty statement: " + sql.sql()).toStdString());
        single = !tail || QByteArray(tail).trimmed().isEmpty();
    }
    // From here on the statement goes back to the cache however this ends.
    auto state = std::make_shared<Sqlite3Cursor::State>(stmt, m_stmts, text, single);
    if (requireSingle && !single)
        throw std::runtime_error(("sqlite: more than one statement in: " + sql.sql()).toStdString());
    const auto& params = sql.params();
    if (params.size() != sqlite3_bind_parameter_count(stmt)) {
        throw std::runtime_error(QStringLiteral("sqlite: %1 parameters bound, %2 expected in: %3")
                                     .arg(params.size())
                                     .arg(sqlite3_bind_parameter_count(stmt))
                                     .arg(sql.sql())
                                     .toStdString());
    }
    for (int i = 0; i < params.size(); ++i) {
        const auto& p = params[i];
        const int at = i + 1;
        int rc = SQLITE_OK;
        switch (p.kind) {
        case Sqlite3Sql::ParamKind::Null:
            rc = sqlite3_bind_null(stmt, at);
            break;
        case Sqlite3Sql::ParamKind::Text: {
            const QByteArray utf8 = p.value.toString().toUtf8();
            rc = sqlite3_bind_text(stmt, at, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
            break;
        }
        case Sqlite3Sql::ParamKind::TextBytes: {
            const QByteArray bytes = p.value.toByteArray();
            rc = sqlite3_bind_text(stmt, at, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        case Sqlite3Sql::ParamKind::Int:
            rc = sqlite3_bind_int(stmt, at, p.value.toInt());
            break;
        case Sqlite3Sql::ParamKind::Int64:
            rc = sqlite3_bind_int64(stmt, at, p.value.toLongLong());
            break;
        case Sqlite3Sql::ParamKind::Double:
            rc = sqlite3_bind_double(stmt, at, p.value.toDouble());
            break;
        case Sqlite3Sql::ParamKind::Blob: {
            const QByteArray bytes = p.value.toByteArray();
            // A zero-length blob stays a blob, not NULL.
            rc = bytes.isEmpty() ? sqlite3_bind_zeroblob(stmt, at, 0)
                                 : sqlite3_bind_blob(stmt, at, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        }
        if (rc != SQLITE_OK)
            throw std::runtime_error(
                QStringLiteral("sqlite: bind %1 failed: %2").arg(at).arg(QString::fromUtf8(sqlite3_errmsg(m_db))).toStdString());
    }
    return state;
}

Sqlite3Cursor Sqlite3DB::queryThrow(const Sqlite3Sql& sql)
{
    return Sqlite3Cursor(statementThrow(sql, false));
}

void Sqlite3DB::executeThrow(const Sqlite3Sql& sql)
{
    const std::shared_ptr<Sqlite3Cursor::State> state = statementThrow(sql, true);
    int rc;
    while ((rc = sqlite3_step(state->stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        const QString msg = QString::fromUtf8(sqlite3_errmsg(m_db));
        throw std::runtime_error(QStringLiteral("sqlite: %1 (%2) in: %3").arg(msg).arg(rc).arg(sql.sql()).toStdString());
    }
}

int Sqlite3DB::exec(const QString& sql, QString& error)
{
    error.clear();
    if (!m_db) {
        error = QStringLiteral("database is not open");
        return SQLITE_MISUSE;
    }
    char* msg = nullptr;
    const int rc = sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &msg);
    if (rc != SQLITE_OK)
        error = msg ? QString::fromUtf8(msg) : QString::fromUtf8(sqlite3_errstr(rc));
    sqlite3_free(msg);
    return rc;
}

void Sqlite3DB::beginTran()
{
    QString error;
    const int rc = exec(QStringLiteral("BEGIN"), error);
    if (rc != SQLITE_OK)
        throw std::runtime_error(QStringLiteral("sqlite: cannot begin a transaction (%1): %2").arg(rc).arg(error).toStdString());
}

void Sqlite3DB::commitTran()
{
    QString error;
    const int rc = exec(QStringLiteral("COMMIT"), error);
    if (rc == SQLITE_OK)
        return;
    // A COMMIT that fails on a busy or full disk leaves the transaction
    // open; roll it back so the caller's next statement does not silently
    // join a transaction it believes finished.
    if (m_db && !sqlite3_get_autocommit(m_db)) {
        QString ignored;
        exec(QStringLiteral("ROLLBACK"), ignored);
    }
    throw std::runtime_error(QStringLiteral("sqlite: commit failed (%1): %2").arg(rc).arg(error).toStdString());
}

bool Sqlite3DB::inTransaction() const
{
    return m_db && !sqlite3_get_autocommit(m_db);
}

qint64 Sqlite3DB::lastInsertId() const
{
    return m_db ? sqlite3_last_insert_rowid(m_db) : 0;
}

int Sqlite3DB::changes() const
{
    return m_db ? sqlite3_changes(m_db) : 0;
}

Sqlite3DB::ChangeStamp Sqlite3DB::changeStamp() const
{
    ChangeStamp stamp;
    if (!m_db)
        return stamp;
    stamp.rows = sqlite3_total_changes64(m_db);
    stamp.rollbacks = m_rollbacks.load();
    // The data version is the one seen when a read last began: without a read
    // under way, another connection may have committed since. A read of the
    // header brings it up to date; inside a read the snapshot is what counts.
    // A header that could not be read (busy, I/O) says nothing: the stamp
    // then matches no other, so what was remembered is forgotten.
    if (sqlite3_txn_state(m_db, "main") == SQLITE_TXN_NONE
        && sqlite3_exec(m_db, "PRAGMA main.data_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
        static std::atomic<qint64> unknown {0};
        stamp.rows = -2 - unknown.fetch_add(1);
        return stamp;
    }
    sqlite3_file_control(m_db, "main", SQLITE_FCNTL_DATA_VERSION, &stamp.dataVersion);
    return stamp;
}

Sqlite3Lock::Sqlite3Lock(const Sqlite3DB& db)
    // Null for a connection without a lock of its own.
    : m_mutex(db.rawHandle() ? sqlite3_db_mutex(db.rawHandle()) : nullptr)
{
    sqlite3_mutex_enter(m_mutex);
}

void Sqlite3Lock::unlock()
{
    sqlite3_mutex_leave(m_mutex);
    m_mutex = nullptr;
}

Sqlite3RowMemo::Guard::Guard(const Sqlite3DB& db, Sqlite3RowMemo& memo)
    : m_db(db), m_memo(memo)
{
    if (db.changeStamp() != memo.m_stamp)
        memo.forget();
}

Sqlite3RowMemo::Guard::~Guard()
{
    m_memo.m_stamp = m_db.changeStamp();
}

QList<_SqliteCol> Sqlite3DB::tbCols(const QString& table)
{
    QList<_SqliteCol> cols;
    Sqlite3Cursor cur = queryThrow(QStringLiteral("PRAGMA table_info(%1)").arg(sqlite3QuoteIdentifier(table)));
    while (cur.moveNext()) {
        _SqliteCol c;
        c.cid = cur.getInt("cid");
        c.name = cur.getText("name");
        c.type = cur.getText("type");
        c.notNull = cur.getInt("notnull") != 0;
        c.defaultValue = cur.getText("dflt_value");
        c.primaryKey = cur.getInt("pk") != 0;
        cols.append(c);
    }
    return cols;
}

void Sqlite3DB::interrupt()
{
    if (m_db)
        sqlite3_interrupt(m_db);
}
