#pragma once

// Writing into a LINE store the way the restore job does, and looking at the
// result the way a third party would: with the sqlite3 command-line tool,
// never the product's own SQLite layer. Needs only Qt and chatdata, so a
// benchmark may compile it in.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

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

namespace sqlitecli {

bool available();
// The rows of one statement, run by "sqlite3 -json"; throws
// std::runtime_error when the tool fails or says anything on stderr.
QList<QVariantMap> rowsThrow(const QString& dbPath, const QString& sql);
// The tool's plain output of one statement, without the final newline.
QString textThrow(const QString& dbPath, const QString& sql);

} // namespace sqlitecli

// What would trip a Core Data reader of a LINE store, one line each:
// references to rows that do not exist (message chat and sender, group
// creator, chat metadata, every join-table column), two rows for one
// user, chat, group, join pair or message id within a chat, rows that do
// not carry their entity's number, and Z_MAX below a table's highest key.
// Also "PRAGMA integrity_check" and "PRAGMA foreign_key_check". Empty when
// the store is sound.
QStringList lineStoreProblemsThrow(const QString& dbPath);
