#pragma once

#include <QByteArray>
#include <QHash>

#include "foundation/sqlite3db.h"

// Private to the restore writer of IOSLineDb; shared with its tests.
namespace ioslinedb_restore_p {

// The duplicate test as one query: binds the message id (text), then the
// chat key. Used where the ids of a chat cannot be compared as bytes.
extern const char* const kFindMsgSql;
// Every message id of one chat: binds the chat key.
extern const char* const kChatMsgIdsSql;
// The newest message of one chat that the reader shows: binds the chat key.
extern const char* const kNewestMsgSql;

// The message ids of the chats a restore writes into, each chat's read once
// at its first duplicate test and kept up to date with the rows the writer
// adds, so that a test costs no query whatever the size of the store. The
// app's store has no index on the ids, and one made for the restore had to
// read every message of the store first. Each of the writer's operations
// runs inside a Guard, so that a change by anything else forgets them.
class MessageIds : public Sqlite3RowMemo
{
public:
    // The Z_PK of the first message (the lowest key) with this id in this
    // chat, or 0, exactly as kFindMsgSql would find it; `text` gets its
    // ZTEXT. Needs a Guard.
    qint64 findThrow(Sqlite3DB& db, qint64 chatPk, const QString& uid, QByteArray* text);
    // A message the writer has just added.
    void added(qint64 chatPk, const QString& uid, qint64 pk);

protected:
    void forget() override { m_byChat.clear(); }

private:
    // Whether "ZID=?" compares the bound id as its UTF-8 bytes: ids of text
    // affinity and binary collation in a UTF-8 store, as in every store the
    // app makes. Otherwise each test runs kFindMsgSql.
    bool bytewiseThrow(Sqlite3DB& db);

    QHash<qint64, QHash<QByteArray, qint64>> m_byChat;
    const void* m_checkedConnection = nullptr;
    bool m_bytewise = false;
};

} // namespace ioslinedb_restore_p
