#pragma once

// Writing into a LINE store the way the restore job does, and looking at the
// result the way a third party would: with the sqlite3 command-line tool,
// never the product's own SQLite layer. Benchmarks compile it in too.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

#include "chatdata/linemsg.h"

class IOSLineDb;

struct LineRestoreTally
{
    int chatsAdded = 0;
    int chatsEnabled = 0; // disabled chats switched on again
    int groupsAdded = 0;
    int messagesAdded = 0;
    int messagesSkipped = 0; // already in their chat
};

// The restore job's calling order: a chat with its members and group the
// first time it is met, then each message's duplicate test and insert. Opens
// no transaction: the caller brackets it, as the job does.
LineRestoreTally restoreLineMessagesThrow(IOSLineDb& db, const QList<_LineMsg>& msgs);

// One line per message of the LINE copy in `lineDir`, read through its chat
// data oldest first, as `line` describes each.
QStringList messageLinesThrow(const QString& lineDir, const std::function<QString(const _LineMsg&)>& line);

// The users' LINE ids, sorted and joined by ",".
QString sortedUids(const QSet<_LineUser*>& users);

class Sqlite3DB;
class Sqlite3Sql;

// Each row of a query on `db`, its columns joined by "|" (NULL: "NULL"), rows by "\n".
QString rowsOf(Sqlite3DB& db, const Sqlite3Sql& sql);

namespace sqlitecli {
bool available();
// The tool's output of one statement ("|" between columns), without the
// final newline; throws std::runtime_error when it fails or says anything on
// stderr.
QString textThrow(const QString& dbPath, const QString& sql);
} // namespace sqlitecli

// What would trip a Core Data reader of a store with the usual entity
// numbers, one line each: references to rows that do not exist, two rows for
// one user, chat, group or message id within a chat, rows without their
// entity's number, Z_MAX below a table's highest key, and what SQLite's
// integrity and foreign key checks say. Empty when the store is sound.
QStringList lineStoreProblemsThrow(const QString& dbPath);
