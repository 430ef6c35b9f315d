#include "foundation/sqlite3sql.h"

Sqlite3Sql::Sqlite3Sql(const char* sql)
    : m_utf8(sql)
{
}

Sqlite3Sql::Sqlite3Sql(const QString& sql)
    : m_utf8(sql.toUtf8())
{
}

Sqlite3Sql& Sqlite3Sql::appendSql(const QString& sql)
{
    m_utf8 += sql.toUtf8();
    return *this;
}

Sqlite3Sql& Sqlite3Sql::add(ParamKind kind, const QVariant& value)
{
    m_params.append(Param{kind, value});
    return *this;
}

Sqlite3Sql& Sqlite3Sql::addTextParam(const QString& value) { return add(ParamKind::Text, value); }
Sqlite3Sql& Sqlite3Sql::addIntParam(int value) { return add(ParamKind::Int, value); }
Sqlite3Sql& Sqlite3Sql::addInt64Param(qint64 value) { return add(ParamKind::Int64, value); }
Sqlite3Sql& Sqlite3Sql::addDoubleParam(double value) { return add(ParamKind::Double, value); }
Sqlite3Sql& Sqlite3Sql::addBlobParam(const QByteArray& value) { return add(ParamKind::Blob, value); }
Sqlite3Sql& Sqlite3Sql::addTextBytesParam(const QByteArray& value) { return add(ParamKind::TextBytes, value); }
Sqlite3Sql& Sqlite3Sql::addNullParam() { return add(ParamKind::Null, QVariant()); }
