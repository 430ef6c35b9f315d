#include "foundation/sqlite3row.h"


namespace {

void appendQuoted(QString& out, const QString& name)
{
    out += QLatin1Char('"');
    for (const QChar c : name) {
        if (c == QLatin1Char('"'))
            out += QLatin1Char('"');
        out += c;
    }
    out += QLatin1Char('"');
}

} // namespace

QString sqlite3QuoteIdentifier(const QString& name)
{
    QString quoted;
    quoted.reserve(name.size() + 2);
    appendQuoted(quoted, name);
    return quoted;
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
    // Made once per row written: one text, grown in place.
    QString text;
    text.reserve(32 + table.size() + m_values.size() * 20);
    text += QLatin1String("insert into ");
    appendQuoted(text, table);
    int columns = 0;
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it) {
        if (skip.contains(it.key()))
            continue;
        text += QLatin1Char(columns++ ? ',' : '(');
        appendQuoted(text, it.key());
    }
    if (columns == 0)
        return Sqlite3Sql(text + QLatin1String(" default values"));
    text += QLatin1String(") values(?");
    for (int i = 1; i < columns; ++i)
        text += QLatin1String(",?");
    text += QLatin1Char(')');
    Sqlite3Sql sql(text);
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it) {
        if (!skip.contains(it.key()))
            bindValue(sql, it.value());
    }
    return sql;
}
