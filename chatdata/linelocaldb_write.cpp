// The writers of LineLocalDb: find a record by its LINE id, or write it.
#include "chatdata/linelocaldb.h"

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

qint64 LineLocalDb::findIdThrow(const char* sql, const QString& uid)
{
    openCheckThrow();
    Sqlite3Cursor cur = queryThrow(Sqlite3Sql(sql).addTextParam(uid));
    return cur.moveNext() ? cur.getInt64(0) : 0;
}

qint64 LineLocalDb::findUserThrow(const QString& uid)
{
    return findIdThrow("select _id from line_user where uid=?", uid);
}

qint64 LineLocalDb::insertUserThrow(const _LineUser* user)
{
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
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
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
    const QByteArray uid = user->uid.toUtf8();
    qint64 id = m_userRows.byUid.value(uid, 0);
    if (id == 0) {
        id = findUserThrow(user->uid);
        if (id == 0)
            id = insertUserThrow(user);
        m_userRows.byUid.insert(uid, id);
    }
    return id;
}

qint64 LineLocalDb::findChatThrow(const QString& uid)
{
    return findIdThrow("select _id from line_chat where uid=?", uid);
}

qint64 LineLocalDb::insertChatThrow(const _LineChat* chat)
{
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
    Sqlite3Row row;
    row["uid"] = chat->uid;
    row["type"] = chatTypeWord(chat->type);
    runSqlThrow(row.insertSql(QStringLiteral("line_chat")));
    return lastInsertId();
}

void LineLocalDb::saveChatMembersThrow(const qint64& chatId, const _LineChat* chat)
{
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
    for (const _LineUser* user : sortedMembers(chat->users)) {
        const qint64 userId = findOrInsertUserThrow(user);
        // Bound rather than written into the text, so that one compiled
        // statement serves every pair.
        runSqlThrow(Sqlite3Sql("replace into line_chat_users(chat_id,user_id) values(?,?)")
                        .addInt64Param(chatId)
                        .addInt64Param(userId));
    }
}

qint64 LineLocalDb::findGroupInfoThrow(const QString& uid)
{
    return findIdThrow("select _id from line_group where uid=?", uid);
}

qint64 LineLocalDb::insertGroupInfoThrow(const _LineGroupInfo* group)
{
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
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
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
    for (const _LineUser* user : sortedMembers(group->members)) {
        const qint64 userId = findOrInsertUserThrow(user);
        runSqlThrow(Sqlite3Sql("replace into line_group_members(group_id,user_id) values(?,?)")
                        .addInt64Param(groupId)
                        .addInt64Param(userId));
    }
}

qint64 LineLocalDb::findMsgThrow(const qint64& chatId, const QString& uid)
{
    openCheckThrow();
    if (!isLineMsgUidValid(uid))
        return 0;
    // The unary + keeps chat_id out of the index choice: the uid index finds
    // the few rows of one uid, where the index on the chat would walk all
    // messages of the chat. (A LIKE on the chat would do the same, but makes
    // SQLite prepare the statement again for every new value bound to it.)
    Sqlite3Cursor cur = queryThrow(
        Sqlite3Sql("select _id from line_msg where uid=? and +chat_id=?").addTextParam(uid).addInt64Param(chatId));
    return cur.moveNext() ? cur.getInt64(0) : 0;
}

qint64 LineLocalDb::insertMsgThrow(const qint64& chatId, const _LineMsg* msg)
{
    // The sender first: it may be written itself, and the insert below must
    // be the last one before lastInsertId. A sender without LINE id (one
    // that was unknown where the message was read) names no row: 0.
    Sqlite3RowMemo::Guard kept(*this, m_userRows);
    const qint64 fromId = msg->from && !msg->from->uid.isEmpty() ? findOrInsertUserThrow(msg->from) : 0;
    Sqlite3Sql insert("insert into line_msg(ver,uid,type,ts,chat_id,from_id,content,atta) values(1,?,?,?,?,?,?,?)");
    insert.addTextParam(msg->uid)
        .addTextParam(msgTypeWord(msg->type))
        .addInt64Param(qint64(dtToUnixSecs32(msg->ts)))
        .addInt64Param(chatId);
    if (msg->from)
        insert.addInt64Param(fromId);
    else
        insert.addNullParam();
    insert.addTextBytesParam(msg->rawContent);
    if (!msg->atta.isEmpty())
        insert.addBlobParam(TinyKVSerializer::ser(msg->atta));
    else
        insert.addNullParam();
    runSqlThrow(insert);
    return lastInsertId();
}
