#include "tests/support/localdbbuilder.h"

#include <QDir>

#include <stdexcept>

namespace {

// The tables as the local database keeps them; the earlier format differs
// only by the columns and the index named in the header.
const char kSchema[] =
    "CREATE TABLE line_chat(_id INTEGER PRIMARY KEY AUTOINCREMENT, uid VARCHAR, type VARCHAR);"
    "CREATE INDEX index_line_chat_uid ON line_chat(uid);"
    "CREATE TABLE line_user(_id INTEGER PRIMARY KEY AUTOINCREMENT, uid VARCHAR, contact_name VARCHAR,"
    " server_name VARCHAR, create_ts LONG, pic_uri VARCHAR %1);"
    "CREATE INDEX index_line_user_uid ON line_user(uid);"
    "CREATE TABLE line_group(_id INTEGER PRIMARY KEY AUTOINCREMENT, uid VARCHAR, creator_id INTEGER,"
    " name VARCHAR, pic_status VARCHAR, create_ts LONG);"
    "CREATE INDEX index_line_group_uid ON line_group(uid);"
    "CREATE INDEX index_line_group_creator_id ON line_group(creator_id);"
    "CREATE TABLE line_chat_users(chat_id INTEGER, user_id INTEGER, PRIMARY KEY(chat_id, user_id));"
    "CREATE TABLE line_group_members(group_id INTEGER, user_id INTEGER, PRIMARY KEY(group_id, user_id));"
    "CREATE TABLE line_msg(_id INTEGER PRIMARY KEY AUTOINCREMENT, uid VARCHAR, type VARCHAR, ts LONG,"
    " delivered_ts LONG, chat_id INTEGER, from_id INTEGER, content TEXT, atta BLOB %2);"
    "CREATE INDEX index_line_msg_chat_ts ON line_msg(chat_id, ts);"
    "CREATE INDEX index_line_msg_uid ON line_msg(uid);";

QVariant idOrNull(qint64 id)
{
    return id != 0 ? QVariant(id) : QVariant();
}

} // namespace

QString LocalDbBuilder::dbPath(const QString& folder)
{
    return QDir(folder).absoluteFilePath(QStringLiteral("marrowquist-line.db"));
}

LocalDbBuilder::LocalDbBuilder(const QString& folder, Format format)
    : m_format(format)
{
    QDir().mkpath(folder);
    m_db.openThrow(dbPath(folder), 6);
    const bool current = format == Current;
    exec(QString::fromLatin1(kSchema)
             .arg(current ? QStringLiteral(", custom_name VARCHAR") : QString(),
                  current ? QStringLiteral(", ver INTEGER") : QString()));
    if (current)
        exec(QStringLiteral("CREATE INDEX _vardo_idx_line_msg_ts ON line_msg(ts)"));
}

LocalDbBuilder::LocalDbBuilder(const QString& folder)
{
    m_db.openThrow(dbPath(folder), 2);
    m_format = hasColumn(QStringLiteral("line_msg"), QStringLiteral("ver")) ? Current : Earlier;
}

void LocalDbBuilder::exec(const QString& sql)
{
    QString error;
    if (m_db.exec(sql, error) != 0)
        throw std::runtime_error((error + QStringLiteral(" in: ") + sql).toStdString());
}

qint64 LocalDbBuilder::insert(const QString& table, const QList<QPair<QString, QVariant>>& values)
{
    Sqlite3Row row;
    for (const auto& v : values)
        row[v.first] = v.second;
    m_db.executeThrow(row.insertSql(table));
    return m_db.lastInsertId();
}

qint64 LocalDbBuilder::addUser(const QVariant& uid, const QString& contactName, const QString& serverName,
                               qint64 createTs)
{
    return insert("line_user",
                  {{"uid", uid}, {"contact_name", contactName}, {"server_name", serverName}, {"create_ts", createTs}});
}

qint64 LocalDbBuilder::addChat(const QString& uid, const QVariant& type)
{
    return insert("line_chat", {{"uid", uid}, {"type", type}});
}

qint64 LocalDbBuilder::addGroup(const QString& uid, qint64 creatorId, const QString& name, const QString& picStatus,
                                qint64 createTs)
{
    return insert("line_group", {{"uid", uid}, {"creator_id", idOrNull(creatorId)}, {"name", name},
                                 {"pic_status", picStatus}, {"create_ts", createTs}});
}

void LocalDbBuilder::addChatUser(qint64 chatId, qint64 userId)
{
    insert("line_chat_users", {{"chat_id", chatId}, {"user_id", userId}});
}

void LocalDbBuilder::addGroupMember(qint64 groupId, qint64 userId)
{
    insert("line_group_members", {{"group_id", groupId}, {"user_id", userId}});
}

qint64 LocalDbBuilder::addMsg(const QString& uid, const QString& type, qint64 ts, qint64 chatId, qint64 fromId,
                              const QByteArray& content, const QByteArray& atta, const QVariant& ver)
{
    QList<QPair<QString, QVariant>> values = {{"uid", uid}, {"type", type}, {"ts", ts}, {"chat_id", chatId},
                                              {"from_id", idOrNull(fromId)},
                                              {"content", QVariant::fromValue(Sqlite3Row::_TypeTextBytes{content})},
                                              {"atta", atta.isNull() ? QVariant() : QVariant(atta)}};
    if (m_format == Current)
        values.append({"ver", ver});
    return insert("line_msg", values);
}

QStringList LocalDbBuilder::lines(const QString& sql)
{
    QStringList result;
    Sqlite3Cursor cur = m_db.queryThrow(sql);
    while (cur.moveNext()) {
        QStringList columns;
        for (int i = 0; i < cur.columnCount(); ++i)
            columns.append(cur.getText(i));
        result.append(columns.join('|'));
    }
    return result;
}

QVariant LocalDbBuilder::value(const QString& sql)
{
    Sqlite3Cursor cur = m_db.queryThrow(sql);
    return cur.moveNext() ? cur.getRow().value(cur.columnName(0)) : QVariant();
}

qint64 LocalDbBuilder::count(const QString& table)
{
    return value(QStringLiteral("select count(*) from %1").arg(sqlite3QuoteIdentifier(table))).toLongLong();
}

bool LocalDbBuilder::hasColumn(const QString& table, const QString& column)
{
    for (const _SqliteCol& c : m_db.tbCols(table)) {
        if (c.name.compare(column, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool LocalDbBuilder::hasIndex(const QString& name)
{
    Sqlite3Sql sql("select count(*) from sqlite_master where type='index' and name=?");
    sql.addTextParam(name);
    Sqlite3Cursor cur = m_db.queryThrow(sql);
    return cur.moveNext() && cur.getInt64(0) > 0;
}
