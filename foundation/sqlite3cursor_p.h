#pragma once

// Private to the SQLite access layer.
#include <QHash>
#include <QString>
#include <sqlite3.h>

#include "foundation/sqlite3cursor.h"

struct Sqlite3Cursor::State
{
    sqlite3_stmt* stmt = nullptr;
    bool done = false;
    QHash<QString, int> exact;
    QHash<QString, int> folded;

    explicit State(sqlite3_stmt* s)
        : stmt(s)
    {
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
    }
    ~State() { sqlite3_finalize(stmt); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

