#pragma once

// Private to LineLocalDb: statements that a backup runs once or twice per
// message, prepared once per connection instead of once per call.

#include <QByteArray>
#include <QString>

#include <array>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

// One prepared statement, reset before each use. Not copyable; finalised by
// its destructor, which must run before the connection closes for good.
class LineLocalDbStmt
{
public:
    LineLocalDbStmt(sqlite3* db, const char* sql);
    ~LineLocalDbStmt();
    LineLocalDbStmt(const LineLocalDbStmt&) = delete;
    LineLocalDbStmt& operator=(const LineLocalDbStmt&) = delete;

    // Clears the previous run and its bindings; parameters count from 1.
    LineLocalDbStmt& reset();
    LineLocalDbStmt& bindText(int at, const QString& value);
    LineLocalDbStmt& bindTextBytes(int at, const QByteArray& value);
    LineLocalDbStmt& bindInt64(int at, qint64 value);
    LineLocalDbStmt& bindBlob(int at, const QByteArray& value);
    LineLocalDbStmt& bindNull(int at);

    // The first column of the first row as an integer, or 0 without a row.
    qint64 firstInt64Throw();
    // Runs the statement to its end.
    void runThrow();

private:
    [[noreturn]] void throwError(int rc) const;
    void check(int rc) const;

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    const char* m_sql;
};

struct LineLocalDbStatements
{
    enum Which { FindUser, FindChat, FindGroup, FindMsg, InsertMsg, Count };

    explicit LineLocalDbStatements(sqlite3* db);

    LineLocalDbStmt& get(Which which);

    sqlite3* const db;

private:
    std::array<std::unique_ptr<LineLocalDbStmt>, Count> m_stmts;
};
