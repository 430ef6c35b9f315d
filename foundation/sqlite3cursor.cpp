#include "foundation/sqlite3cursor.h"
#include "foundation/sqlite3cursor_p.h"

#include <sqlite3.h>

#include <stdexcept>

Sqlite3Cursor::Sqlite3Cursor() = default;

Sqlite3Cursor::Sqlite3Cursor(std::shared_ptr<State> state)
    : d(std::move(state))
{
}

sqlite3_stmt* Sqlite3Cursor::stmt() const
{
    if (!d)
        throw std::runtime_error("sqlite: cursor has no statement");
    return d->stmt;
}

bool Sqlite3Cursor::moveNext()
{
    if (!d || d->done)
        return false;
    int rc = d->pending;
    if (rc >= 0)
        d->pending = -1;
    else
        rc = sqlite3_step(d->stmt);
    d->stepped = true;
    if (rc == SQLITE_ROW)
        return true;
    d->done = true;
    if (rc == SQLITE_DONE)
        return false;
    sqlite3* db = sqlite3_db_handle(d->stmt);
    throw std::runtime_error(QStringLiteral("sqlite: step failed (%1): %2")
                                 .arg(rc)
                                 .arg(QString::fromUtf8(sqlite3_errmsg(db)))
                                 .toStdString());
}

int Sqlite3Cursor::columnCount() const
{
    if (!d)
        return 0;
    d->compiled();
    return sqlite3_column_count(d->stmt);
}

QString Sqlite3Cursor::columnName(int index) const
{
    sqlite3_stmt* s = stmt();
    d->compiled();
    return QString::fromUtf8(sqlite3_column_name(s, index));
}

int Sqlite3Cursor::columnIndex(const QString& name) const
{
    if (!d)
        return -1;
    if (!d->named)
        d->nameColumns();
    auto it = d->exact.constFind(name);
    if (it != d->exact.constEnd())
        return it.value();
    return d->folded.value(name.toLower(), -1);
}

int Sqlite3Cursor::indexThrow(const QString& name) const
{
    const int i = columnIndex(name);
    if (i < 0)
        throw std::runtime_error(("sqlite: no result column named " + name).toStdString());
    return i;
}

bool Sqlite3Cursor::isNull(const QString& name) const { return isNull(indexThrow(name)); }
int Sqlite3Cursor::getInt(const QString& name) const { return getInt(indexThrow(name)); }
qint64 Sqlite3Cursor::getInt64(const QString& name) const { return getInt64(indexThrow(name)); }
double Sqlite3Cursor::getDouble(const QString& name) const { return getDouble(indexThrow(name)); }
QString Sqlite3Cursor::getText(const QString& name) const { return getText(indexThrow(name)); }
QByteArray Sqlite3Cursor::getTextBytes(const QString& name) const { return getTextBytes(indexThrow(name)); }
QByteArray Sqlite3Cursor::getBlob(const QString& name) const { return getBlob(indexThrow(name)); }

static void checkIndex(sqlite3_stmt* stmt, int index)
{
    if (index < 0 || index >= sqlite3_column_count(stmt))
        throw std::runtime_error("sqlite: column index out of range");
}

int Sqlite3Cursor::valueType(int index) const
{
    checkIndex(stmt(), index);
    return sqlite3_column_type(d->stmt, index);
}

bool Sqlite3Cursor::isNull(int index) const
{
    return valueType(index) == SQLITE_NULL;
}

int Sqlite3Cursor::getInt(int index) const
{
    checkIndex(stmt(), index);
    return sqlite3_column_int(d->stmt, index);
}

qint64 Sqlite3Cursor::getInt64(int index) const
{
    checkIndex(stmt(), index);
    return sqlite3_column_int64(d->stmt, index);
}

double Sqlite3Cursor::getDouble(int index) const
{
    checkIndex(stmt(), index);
    return sqlite3_column_double(d->stmt, index);
}

QByteArray Sqlite3Cursor::getTextBytes(int index) const
{
    checkIndex(stmt(), index);
    const unsigned char* p = sqlite3_column_text(d->stmt, index);
    const int n = sqlite3_column_bytes(d->stmt, index);
    if (!p || n <= 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(p), n);
}

QString Sqlite3Cursor::getText(int index) const
{
    checkIndex(stmt(), index);
    const unsigned char* p = sqlite3_column_text(d->stmt, index);
    const int n = sqlite3_column_bytes(d->stmt, index);
    if (!p || n <= 0)
        return QString();
    return QString::fromUtf8(reinterpret_cast<const char*>(p), n);
}

QByteArray Sqlite3Cursor::getBlob(int index) const
{
    checkIndex(stmt(), index);
    const void* p = sqlite3_column_blob(d->stmt, index);
    const int n = sqlite3_column_bytes(d->stmt, index);
    if (!p || n <= 0)
        return QByteArray();
    return QByteArray(static_cast<const char*>(p), n);
}

Sqlite3Row Sqlite3Cursor::getRow() const
{
    Sqlite3Row row;
    sqlite3_stmt* s = stmt();
    const int n = sqlite3_column_count(s);
    for (int i = 0; i < n; ++i) {
        const QString name = QString::fromUtf8(sqlite3_column_name(s, i));
        switch (sqlite3_column_type(s, i)) {
        case SQLITE_INTEGER:
            row[name] = QVariant::fromValue<qint64>(sqlite3_column_int64(s, i));
            break;
        case SQLITE_FLOAT:
            row[name] = sqlite3_column_double(s, i);
            break;
        case SQLITE_TEXT:
            row[name] = getText(i);
            break;
        case SQLITE_BLOB:
            row[name] = getBlob(i);
            break;
        default:
            row[name] = QVariant();
            break;
        }
    }
    return row;
}
