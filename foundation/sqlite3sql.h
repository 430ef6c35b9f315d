#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

// One SQL statement with its parameters, bound in call order to the "?"
// placeholders. Passed by value; values are always bound, never pasted.
class Sqlite3Sql
{
public:
    enum class ParamKind { Null, Text, Int, Int64, Double, Blob, TextBytes };
    struct Param
    {
        ParamKind kind = ParamKind::Null;
        QVariant value;
    };

    Sqlite3Sql(const char* sql);
    Sqlite3Sql(const QString& sql);

    Sqlite3Sql& appendSql(const QString& sql);

    Sqlite3Sql& addTextParam(const QString& value);
    Sqlite3Sql& addIntParam(int value);
    Sqlite3Sql& addInt64Param(qint64 value);
    Sqlite3Sql& addDoubleParam(double value);
    Sqlite3Sql& addBlobParam(const QByteArray& value);
    // Bytes bound as TEXT: keeps text that is not valid UTF-8 byte for byte.
    Sqlite3Sql& addTextBytesParam(const QByteArray& value);
    Sqlite3Sql& addNullParam();

    QString sql() const { return QString::fromUtf8(m_utf8); }
    // The text as SQLite takes it, and as the connection's statement cache
    // knows it.
    const QByteArray& utf8() const { return m_utf8; }
    const QList<Param>& params() const { return m_params; }

private:
    Sqlite3Sql& add(ParamKind kind, const QVariant& value);

    QByteArray m_utf8;
    QList<Param> m_params;
};
