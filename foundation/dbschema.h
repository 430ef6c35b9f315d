#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include "foundation/sqlite3db.h"

// One table of a loaded schema: its stored name, CREATE statement and
// columns keyed by lower-cased name.
class DbSchemaTable
{
public:
    QString name;
    QString sql;
    QHash<QString, _SqliteCol> cols_;

    bool containsCol(const QString& name) const;
    _SqliteCol col(const QString& name) const;
    QList<_SqliteCol> cols() const;
};

// A snapshot of the tables, columns and indexes of an open database. All
// lookups ignore case. It changes only through loadDbThrow.
class DbSchema
{
public:
    QHash<QString, DbSchemaTable> tables_;
    QHash<QString, QString> indexes;

    void loadDbThrow(Sqlite3DB& db);

    bool containsTable(const QString& name) const;
    DbSchemaTable table(const QString& name) const;
    QList<DbSchemaTable> tables() const;
    bool containsCol(const QString& table, const QString& column) const;
    bool containsIndex(const QString& name) const;
    QString indexSql(const QString& name) const;

    // Adds the column when the loaded schema lacks it; the maps are not
    // changed (load again to see it). Table and column are the caller's own
    // constants, inserted as they stand.
    void addColumnThrow(Sqlite3DB& db, const QString& table, const QString& column, const QString& type);
};
