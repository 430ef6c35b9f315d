#include "foundation/dbschema.h"

#include <stdexcept>

bool DbSchemaTable::containsCol(const QString& name) const
{
    return cols_.contains(name.toLower());
}

_SqliteCol DbSchemaTable::col(const QString& name) const
{
    return cols_.value(name.toLower());
}

QList<_SqliteCol> DbSchemaTable::cols() const
{
    return cols_.values();
}

void DbSchema::loadDbThrow(Sqlite3DB& db)
{
    tables_.clear();
    indexes.clear();
    Sqlite3Cursor cur = db.queryThrow("select * from sqlite_master");
    while (cur.moveNext()) {
        const QString type = cur.getText("type");
        if (type.compare(QLatin1String("table"), Qt::CaseInsensitive) == 0) {
            DbSchemaTable t;
            t.name = cur.getText("tbl_name");
            t.sql = cur.getText("sql");
            for (const _SqliteCol& c : db.tbCols(t.name))
                t.cols_.insert(c.name.toLower(), c);
            tables_.insert(t.name.toLower(), t);
        } else if (type.compare(QLatin1String("index"), Qt::CaseInsensitive) == 0) {
            indexes.insert(cur.getText("name").toLower(), cur.getText("sql"));
        }
    }
}

bool DbSchema::containsTable(const QString& name) const
{
    return tables_.contains(name.toLower());
}

DbSchemaTable DbSchema::table(const QString& name) const
{
    return tables_.value(name.toLower());
}

QList<DbSchemaTable> DbSchema::tables() const
{
    return tables_.values();
}

bool DbSchema::containsCol(const QString& table, const QString& column) const
{
    auto it = tables_.constFind(table.toLower());
    return it != tables_.constEnd() && it->containsCol(column);
}

bool DbSchema::containsIndex(const QString& name) const
{
    return indexes.contains(name.toLower());
}

QString DbSchema::indexSql(const QString& name) const
{
    return indexes.value(name.toLower());
}

void DbSchema::addColumnThrow(Sqlite3DB& db, const QString& table, const QString& column, const QString& type)
{
    const QString sql = QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(table, column, type);
    auto it = tables_.constFind(table.toLower());
    if (it == tables_.constEnd())
        throw std::runtime_error(QStringLiteral("error:no table, %1").arg(sql).toStdString());
    if (it->containsCol(column))
        return;
    QString error;
    if (db.exec(sql, error) != 0)
        throw std::runtime_error(QStringLiteral("error:%1, %2").arg(error, sql).toStdString());
}
