// The writers of LineLocalDb: find a record by its LINE id, or write it.
#include "chatdata/linelocaldb.h"
#include "chatdata/linelocaldb_p.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

#include "chatdata/linetime.h"
#include "chatdata/tinykvserializer.h"

namespace {

// Members in the order of their uids (then ids): a set has no stable order,
// and the rows written for new members must not change from run to run.
QList<const _LineUser*> sortedMembers(const QSet<_LineUser*>& users)
{
    QList<const _LineUser*> list(users.cbegin(), users.cend());
    std::sort(list.begin(), list.end(), [](const _LineUser* a, const _LineUser* b) {
        return a->uid != b->uid ? a->uid < b->uid : a->id < b->id;
    });
    return list;
}

} // namespace

LineLocalDbStmt::LineLocalDbStmt(sqlite3* db, const char* sql)
    : m_db(db), m_sql(sql)
{
    check(sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr));
}

LineLocalDbStmt::~LineLocalDbStmt()
{
    sqlite3_finalize(m_stmt);
}

void LineLocalDbStmt::throwError(int rc) const
{
    throw std::runtime_error(QStringLiteral("sqlite: %1 (%2) in: %3")
                                 .arg(QString::fromUtf8(sqlite3_errmsg(m_db)))
                                 .arg(rc)
                                 .arg(QLatin1String(m_sql))
                                 .toStdString());
}

void LineLocalDbStmt::check(int rc) const
{
    if (rc != SQLITE_OK)
        throwError(rc);
}

LineLocalDbStmt& LineLocalDbStmt::reset()
{
    // The result of the previous step was reported by that step already.
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
    return *this;
}

LineLocalDbStmt& LineLocalDbStmt::bindText(int at, const QString& value)
{
    return bindTextBytes(at, value.toUtf8());
}

LineLocalDbStmt& LineLocalDbStmt::bindTextBytes(int at, const QByteArray& value)
{
    check(sqlite3_bind_text64(m_stmt, at, value.constData(), sqlite3_uint64(value.size()), SQLITE_TRANSIENT,
                              SQLITE_UTF8));
    return *this;
}

LineLocalDbStmt& LineLocalDbStmt::bindInt64(int at, qint64 value)
{
    check(sqlite3_bind_int64(m_stmt, at, value));
    return *this;
}

LineLocalDbStmt& LineLocalDbStmt::bindBlob(int at, const QByteArray& value)
{
    check(sqlite3_bind_blob64(m_stmt, at, value.constData(), sqlite3_uint64(value.size()), SQLITE_TRANSIENT));
    return *this;
}

LineLocalDbStmt& LineLocalDbStmt::bindNull(int at)
{
    check(sqlite3_bind_null(m_stmt, at));
    return *this;
}

qint64 LineLocalDbStmt::firstInt64Throw()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        const qint64 value = sqlite3_column_int64(m_stmt, 0);
        sqlite3_reset(m_stmt);
        return value;
    }
    if (rc != SQLITE_DONE)
        throwError(rc);
    return 0;
}

void LineLocalDbStmt::runThrow()
{
    int rc;
    while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE)
        throwError(rc);
}

LineLocalDbStatements::LineLocalDbStatements(sqlite3* connection)
    : db(connection)
{
}

LineLocalDbStmt& LineLocalDbStatements::get(Which which)
{
    static const char* const sql[Count] = {
        "select _id from line_user where uid=?",
        "select _id from line_chat where uid=?",
        "select _id from line_group where uid=?",
        // The unary + keeps chat_id out of the index choice: the uid index
        // finds the few rows of one uid, where the index on the chat would
        // walk all messages of the chat. (A LIKE on the chat would do the
        // same, but makes SQLite prepare the statement again for every new
        // value bound to it.)
        "select _id from line_msg where uid=? and +chat_id=?",
        "insert into line_msg(ver,uid,type,ts,chat_id,from_id,content,atta) values(1,?,?,?,?,?,?,?)",
    };
    if (!m_stmts[which])
        m_stmts[which] = std::make_unique<LineLocalDbStmt>(db, sql[which]);
    return m_stmts[which]->reset();
}

LineLocalDbStatements& LineLocalDb::statementsThrow()
{
    openCheckThrow();
    if (!m_statements || m_statements->db != rawHandle())
        m_statements = std::make_unique<LineLocalDbStatements>(rawHandle());
    return *m_statements;
}

qint64 LineLocalDb::findIdThrow(int which, const QString& uid)
{
    return statementsThrow()
        .get(LineLocalDbStatements::Which(which))
        .bindText(1, uid)
        .firstInt64Throw();
}

qint64 LineLocalDb::findUserThrow(const QString& uid)
{
    return findIdThrow(LineLocalDbStatements::FindUser, uid);
}

qint64 LineLocalDb::insertUserThrow(const _LineUser* user)
{
    Sqlite3Row row;
    row["uid"] = user->uid;
    row["contact_name"] = user->contactName;
    row["server_name"] = user->serverName;
    row["custom_name"] = user->customName;
    row["create_ts"] = qint64(dtToUnixSecs32(user->createTs));
    row["pic_uri"] = user->picUri;
    runSqlThrow(row.insertSql(QStringLiteral("line_user")));
    return lastInsertId();
}

qint64 LineLocalDb::findOrInsertUserThrow(const _LineUser* user)
{
    const qint64 id = findUserThrow(user->uid);
    return id != 0 ? id : insertUserThrow(user);
}

qint64 LineLocalDb::findChatThrow(const QString& uid)
{
    return findIdThrow(LineLocalDbStatements::FindChat, uid);
}

qint64 LineLocalDb::insertChatThrow(const _LineChat* chat)
{
    Sqlite3Row row;
    row["uid"] = chat->uid;
    row["type"] = chatTypeWord(chat->type);
    runSqlThrow(row.insertSql(QStringLiteral("line_chat")));
    return lastInsertId();
}

void LineLocalDb::saveChatMembersThrow(const qint64& chatId, const _LineChat* chat)
{
    for (const _LineUser* user : sortedMembers(chat->users)) {
        const qint64 userId = findOrInsertUserThrow(user);
        runSqlThrow(QStringLiteral("replace into line_chat_users(chat_id,user_id) values(%1,%2)").arg(chatId).arg(userId));
    }
}

qint64 LineLocalDb::findGroupInfoThrow(const QString& uid)
{
    return findIdThrow(LineLocalDbStatements::FindGroup, uid);
}

qint64 LineLocalDb::insertGroupInfoThrow(const _LineGroupInfo* group)
{
    Sqlite3Row row;
    row["uid"] = group->uid;
    if (group->creator)
        row["creator_id"] = findOrInsertUserThrow(group->creator);
    row["name"] = group->name;
    row["pic_status"] = group->picStatus;
    row["create_ts"] = qint64(dtToUnixSecs32(group->createTs));
    runSqlThrow(row.insertSql(QStringLiteral("line_group")));
    return lastInsertId();
}

void LineLocalDb::saveGroupMembersThrow(const qint64& groupId, const _LineGroupInfo* group)
{
    for (const _LineUser* user : sortedMembers(group->members)) {
        const qint64 userId = findOrInsertUserThrow(user);
        runSqlThrow(
            QStringLiteral("replace into line_group_members(group_id,user_id) values(%1,%2)").arg(groupId).arg(userId));
    }
}

qint64 LineLocalDb::findMsgThrow(const qint64& chatId, const QString& uid)
{
    openCheckThrow();
    if (!isLineMsgUidValid(uid))
        return 0;
    return statementsThrow().get(LineLocalDbStatements::FindMsg).bindText(1, uid).bindInt64(2, chatId).firstInt64Throw();
}

qint64 LineLocalDb::insertMsgThrow(const qint64& chatId, const _LineMsg* msg)
{
    // The sender first: it may be written itself, and the insert below must
    // be the last one before lastInsertId. A sender without LINE id (one
    // that was unknown where the message was read) names no row: 0.
    const qint64 fromId = msg->from && !msg->from->uid.isEmpty() ? findOrInsertUserThrow(msg->from) : 0;
    LineLocalDbStmt& insert = statementsThrow().get(LineLocalDbStatements::InsertMsg);
    insert.bindText(1, msg->uid)
        .bindText(2, msgTypeWord(msg->type))
        .bindInt64(3, qint64(dtToUnixSecs32(msg->ts)))
        .bindInt64(4, chatId)
        .bindTextBytes(6, msg->rawContent);
    if (msg->from)
        insert.bindInt64(5, fromId);
    if (!msg->atta.isEmpty())
        insert.bindBlob(7, TinyKVSerializer::ser(msg->atta));
    insert.runThrow();
    return lastInsertId();
}
