#pragma once

// Private to the SQLite access layer.
#include <QByteArray>
#include <QHash>

#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

// Prepared statements of one connection, kept for the next run of the same
// SQL text: compiling a statement costs more than running a small one, and
// the writers and readers run the same few statements once per row.
//
// A statement is taken out while a cursor or an execute uses it and given
// back (reset, its bindings cleared) when that is done, so two cursors over
// the same text never share one. The cache is shared with those cursors:
// one that outlives the connection finalises its statement instead of giving
// it back. Guarded by a mutex, since a cursor may go on another thread than
// the one that made it.
class Sqlite3StmtCache
{
public:
    // How many idle statements are kept; the least recently used goes first.
    static constexpr int kCapacity = 32;

    Sqlite3StmtCache() = default;
    ~Sqlite3StmtCache();
    Sqlite3StmtCache(const Sqlite3StmtCache&) = delete;
    Sqlite3StmtCache& operator=(const Sqlite3StmtCache&) = delete;

    // An idle statement of this text, or null; `single` tells whether the
    // text held one statement only.
    sqlite3_stmt* take(const QByteArray& sql, bool* single);
    // Resets the statement and keeps it, or finalises it once the cache is
    // closed or already holds one for this text.
    void give(const QByteArray& sql, sqlite3_stmt* stmt, bool single);
    // Finalises every idle statement; those given back later are finalised
    // then. Must run before the connection is closed.
    void close();

private:
    struct Entry
    {
        sqlite3_stmt* stmt = nullptr;
        bool single = true;
        quint64 lastUse = 0;
    };
    std::mutex m_mutex;
    bool m_closed = false;
    quint64 m_clock = 0;
    QHash<QByteArray, Entry> m_idle;
};
