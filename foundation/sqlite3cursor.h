#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include "foundation/sqlite3row.h"

struct sqlite3_stmt;

// A prepared statement being stepped through. Copies share the statement
// and its position. The statement is finalised when the last copy goes.
//
// Column names are resolved to indexes once per statement (exact name first,
// then without regard to case); asking for a column the statement does not
// return throws, so a misspelt name can never read as an empty value.
class Sqlite3Cursor
{
public:
    Sqlite3Cursor();

    // Steps to the next row: false after the last one. A step that fails
    // (busy, corrupt file, interrupted) throws std::runtime_error: a failure
    // must never look like the end of the data.
    bool moveNext();

    bool isValid() const { return static_cast<bool>(d); }
    int columnCount() const;
    QString columnName(int index) const;
    // -1 when the statement returns no such column.
    int columnIndex(const QString& name) const;
    bool isNull(const QString& name) const;
    bool isNull(int index) const;
    // SQLite's storage class of the value in the current row: SQLITE_INTEGER,
    // SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
    int valueType(int index) const;

    // A NULL reads as 0 or empty.
    int getInt(const QString& name) const;
    qint64 getInt64(const QString& name) const;
    double getDouble(const QString& name) const;
    QString getText(const QString& name) const;
    QByteArray getTextBytes(const QString& name) const;
    QByteArray getBlob(const QString& name) const;

    int getInt(int index) const;
    qint64 getInt64(int index) const;
    double getDouble(int index) const;
    QString getText(int index) const;
    QByteArray getTextBytes(int index) const;
    QByteArray getBlob(int index) const;

    Sqlite3Row getRow() const;

    // Private to the access layer.
    struct State;

private:
    friend class Sqlite3DB;
    explicit Sqlite3Cursor(std::shared_ptr<State> state);
    int indexThrow(const QString& name) const;
    sqlite3_stmt* stmt() const;

    std::shared_ptr<State> d;
};
