#include "chatdata/abslinedb.h"

AbsLineDb::AbsLineDb() = default;

AbsLineDb::~AbsLineDb() = default;

void AbsLineDb::runSqlThrow(const Sqlite3Sql& sql)
{
    openCheckThrow();
    executeThrow(sql);
}

QList<Sqlite3Row> AbsLineDb::tableRowsThrow(const QString& table)
{
    openCheckThrow();
    Sqlite3Cursor cursor = queryThrow(QStringLiteral("select * from %1").arg(sqlite3QuoteIdentifier(table)));
    QList<Sqlite3Row> rows;
    while (cursor.moveNext())
        rows.append(cursor.getRow());
    return rows;
}
