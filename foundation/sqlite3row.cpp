#include "foundation/sqlite3row.h"

#include <QStringList>

QString sqlite3QuoteIdentifier(const QString& name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void Sqlite3Row::bindValue(Sqlite3Sql& sql, const QVariant& value)
{
    if (!value.isValid() || value.isNull()) {
        sql.addNullParam();
        return;
    }
    const int type = value.metaType().id();
    if (type == qMetaTypeId<_TypeTextBytes>()) {
        sql.addTextBytesParam(value.value<_TypeTextBytes>().bytes);
        return;
    }
    switch (type) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::LongLong:
        sql.addInt64Param(value.toLongLong());
        break;
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        // SQLite integers are signed 64-bit; the bit pattern is kept.
        sql.addInt64Param(static_cast<qint64>(value.toULongLong()));
        break;
    case QMetaType::Double:
    case QMetaType::Float:
        sql.addDoubleParam(value.toDouble());
        break;
    case QMetaType::QByteArray:
        sql.addBlobParam(value.toByteArray());
        break;
    default:
        sql.addTextParam(value.toString());
        break;
    }
}

Sqlite3Sql Sqlite3Row::insertSql(const QString& table, const QSet<QString>& skip) const
{
    QStringList names;
    QStringList marks;
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it) {
        if (skip.contains(it.key()))
            continue;
        names << sqlite3QuoteIdentifier(it.key());
        marks << QStringLiteral("?");
    }
    if (names.isEmpty())
        return Sqlite3Sql(QStringLiteral("insert into %1 default values").arg(sqlite3QuoteIdentifier(table)));
    Sqlite3Sql sql(QStringLiteral("insert into %1(%2) values(%3)")
                       .arg(sqlite3QuoteIdentifier(table), names.join(QLatin1Char(',')),
                            marks.join(QLatin1Char(','))));
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it) {
        if (!skip.contains(it.key()))
            bindValue(sql, it.value());
    }
    return sql;
}
