#pragma once

// Private to the SQLite access layer.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <sqlite3.h>

#include <memory>

#include "foundation/sqlite3cursor.h"
#include "foundation/sqlite3stmtcache_p.h"

// One use of a prepared statement, given back to its connection's cache
// (or finalised, without one) when it ends.
struct Sqlite3Cursor::State
{
    sqlite3_stmt* stmt = nullptr;
    std::shared_ptr<Sqlite3StmtCache> cache;
    QByteArray sql;
    bool single = true;
    bool done = false;
    // The result of a first step taken before moveNext asked for it (see
    // compiled()), or -1.
    int pending = -1;
    bool stepped = false;
    // Column names to indexes, made on the first lookup by name: most
    // statements that run per row are read by index.
    bool named = false;
    QHash<QString, int> exact;
    QHash<QString, int> folded;

    State(sqlite3_stmt* s, std::shared_ptr<Sqlite3StmtCache> c, QByteArray text, bool one)
        : stmt(s), cache(std::move(c)), sql(std::move(text)), single(one)
    {
    }
    ~State()
    {
        if (cache)
            cache->give(sql, stmt, single);
        else
            sqlite3_finalize(stmt);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void nameColumns()
    {
        compiled();
        const int n = sqlite3_column_count(stmt);
        for (int i = 0; i < n; ++i) {
            const QString name = QString::fromUtf8(sqlite3_column_name(stmt, i));
            // The first of two same-named columns wins, as SQLite's own
            // name lookup does.
            if (!exact.contains(name))
                exact.insert(name, i);
            const QString low = name.toLower();
            if (!folded.contains(low))
                folded.insert(low, i);
        }
        named = true;
    }
    // A kept statement is compiled again at its first step when the schema
    // changed since (a "select *" may then return other columns), so the
    // columns are looked at only once that step has been taken.
    void compiled()
    {
        if (!stepped) {
            pending = sqlite3_step(stmt);
            stepped = true;
        }
    }
};
