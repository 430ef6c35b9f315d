#pragma once

#include <QList>
#include <QString>

#include <atomic>
#include <memory>

#include "foundation/sqlite3cursor.h"
#include "foundation/sqlite3row.h"
#include "foundation/sqlite3sql.h"

struct sqlite3;
struct sqlite3_mutex;
class Sqlite3StmtCache;

// One column of a table as PRAGMA table_info gives it.
struct _SqliteCol
{
    QString name;
    QString type;
    int cid = -1;
    bool notNull = false;
    bool primaryKey = false;
    QString defaultValue;
};

// The version of this access layer; start-up refuses any other.
int sqlite_qt_version();

// One SQLite connection, the base of every database class. Not copyable;
// the destructor closes. Every ...Throw operation throws std::runtime_error
// with a UTF-8 text.
//
// queryThrow and executeThrow keep the statements they compile and use them
// again for the same SQL text, so a statement run once per row is compiled
// once; values are bound, never pasted, for that reason too.
class Sqlite3DB
{
public:
    Sqlite3DB();
    virtual ~Sqlite3DB();
    Sqlite3DB(const Sqlite3DB&) = delete;
    Sqlite3DB& operator=(const Sqlite3DB&) = delete;

    // flags are SQLite open flags: 2 opens an existing file read-write,
    // 6 also creates it. A connection already open is closed first.
    void openThrow(const QString& path, int flags);
    // Closes the connection (pending statements are finalised when their
    // last cursor goes). Any transaction still open is discarded.
    void close();
    bool isOpen() const { return m_db != nullptr; }
    const QString& path() const { return m_path; }

    Sqlite3Cursor queryThrow(const Sqlite3Sql& sql);
    // Runs exactly one statement to its end.
    void executeThrow(const Sqlite3Sql& sql);
    // Runs one or more statements without parameters: 0 on success, else the
    // SQLite code with the error text in `error`.
    int exec(const QString& sql, QString& error);

    // A transaction that cannot begin, or whose COMMIT fails, throws; a
    // failed COMMIT is rolled back so that no transaction stays open.
    void beginTran();
    void commitTran();
    bool inTransaction() const;

    qint64 lastInsertId() const;
    int changes() const;

    // Taken before and after: unequal whenever the rows of the database may
    // have changed in between, by a row written through this connection, a
    // commit of another one or a rollback. Schema changes do not show. Outside
    // a read it reads the database header ("PRAGMA data_version") first.
    struct ChangeStamp
    {
        qint64 rows = -1;
        quint64 rollbacks = 0;
        unsigned dataVersion = 0;
        bool operator==(const ChangeStamp& o) const
        {
            return rows == o.rows && rollbacks == o.rollbacks && dataVersion == o.dataVersion;
        }
        bool operator!=(const ChangeStamp& o) const { return !(*this == o); }
    };
    ChangeStamp changeStamp() const;

    // Columns of `table` in column order; the name is quoted, so it may come
    // from a foreign file. Throws when the connection is not usable.
    QList<_SqliteCol> tbCols(const QString& table);

    // Makes a running statement on another thread fail with SQLITE_INTERRUPT.
    void interrupt();

    sqlite3* rawHandle() const { return m_db; }

protected:
    [[noreturn]] void throwError(const QString& what, int code) const;

private:
    // The statement of `sql`, from the cache or compiled now, with its
    // parameters bound.
    std::shared_ptr<Sqlite3Cursor::State> statementThrow(const Sqlite3Sql& sql, bool requireSingle);

    sqlite3* m_db = nullptr;
    std::shared_ptr<Sqlite3StmtCache> m_stmts;
    std::atomic<quint64> m_rollbacks{0};
    QString m_path;
};

// What a writer keeps in memory of the rows of one connection (the keys it
// found or wrote), true only while nothing but that writer changes the
// database. The writer runs each of its reads and writes of such rows inside
// a Guard: when the database changed since the last Guard ended (by another
// statement, another connection or a rollback), the Guard forgets everything
// first.
class Sqlite3RowMemo
{
public:
    class Guard
    {
    public:
        Guard(const Sqlite3DB& db, Sqlite3RowMemo& memo);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        const Sqlite3DB& m_db;
        Sqlite3RowMemo& m_memo;
    };

    virtual ~Sqlite3RowMemo() = default;

protected:
    virtual void forget() = 0;

private:
    Sqlite3DB::ChangeStamp m_stamp;
};

// Holds the connection's own lock over several calls. Every column read
// takes that lock too; a reader that holds it across a row takes it once
// instead of once per column. Other threads wait for the connection
// meanwhile: hold it over reads only, never while waiting for another
// thread.
class Sqlite3Lock
{
public:
    explicit Sqlite3Lock(const Sqlite3DB& db);
    ~Sqlite3Lock() { unlock(); }
    Sqlite3Lock(const Sqlite3Lock&) = delete;
    Sqlite3Lock& operator=(const Sqlite3Lock&) = delete;
    void unlock();

private:
    sqlite3_mutex* m_mutex = nullptr;
};
