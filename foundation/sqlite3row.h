#pragma once

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QVariant>

#include "foundation/sqlite3sql.h"

// Column name to value, in column-name order; builds an INSERT.
class Sqlite3Row
{
public:
    // A QVariant holding this is bound as TEXT (not as a BLOB).
    struct _TypeTextBytes
    {
        QByteArray bytes;
        bool operator==(const _TypeTextBytes& o) const { return bytes == o.bytes; }
    };

    QVariant& operator[](const QString& column) { return m_values[column]; }
    QVariant value(const QString& column) const { return m_values.value(column); }
    bool contains(const QString& column) const { return m_values.contains(column); }
    QStringList columns() const { return m_values.keys(); }
    int size() const { return m_values.size(); }
    const QMap<QString, QVariant>& values() const { return m_values; }

    // "insert into "table"("a","b") values(?,?)" with every value bound;
    // columns named in `skip` are left out. Identifiers are quoted.
    Sqlite3Sql insertSql(const QString& table, const QSet<QString>& skip = QSet<QString>()) const;

    // Binds one QVariant by its type: null, integers, bool, double, QString,
    // QByteArray (BLOB) and _TypeTextBytes (TEXT).
    static void bindValue(Sqlite3Sql& sql, const QVariant& value);

private:
    QMap<QString, QVariant> m_values;
};

Q_DECLARE_METATYPE(Sqlite3Row::_TypeTextBytes)

// Quotes an SQL identifier: "name" with inner quotes doubled.
QString sqlite3QuoteIdentifier(const QString& name);
