#include "tests/support/memlinedb.h"

#include <QMutexLocker>

#include <algorithm>
#include <stdexcept>

#include "chatdata/linedata.h"
#include "chatdata/linetime.h"

namespace {

QSet<_LineUser*> usersOf(const LineData& data, const QList<qint64>& ids)
{
    QSet<_LineUser*> users;
    for (qint64 id : ids)
        if (_LineUser* u = data.user(id))
            users.insert(u);
    return users;
}

} // namespace

void MemLineDb::addUser(qint64 id, const QString& uid)
{
    QMutexLocker lock(&m_mutex);
    m_users[id].id = id;
    m_users[id].uid = uid;
}

void MemLineDb::addGroup(qint64 id, qint64 creatorId, const QList<qint64>& memberIds)
{
    QMutexLocker lock(&m_mutex);
    m_groups.insert(id, {_LineGroupInfo(), creatorId, memberIds});
    m_groups[id].value.id = id;
}

void MemLineDb::addChat(qint64 id, const QString& uid, int type, qint64 groupId, const QList<qint64>& userIds)
{
    QMutexLocker lock(&m_mutex);
    _LineChat chat;
    chat.id = id;
    chat.uid = uid;
    chat.type = type;
    m_chats.insert(id, {chat, groupId, userIds});
}

void MemLineDb::addMessage(const _LineMsg& msg, qint64 chatId, qint64 fromId)
{
    QMutexLocker lock(&m_mutex);
    m_msgs.append({msg, chatId, {fromId}});
    m_msgs.last().value.id = msg.id ? msg.id : m_msgs.size();
}

QStringList MemLineDb::pageQueries() const
{
    QMutexLocker lock(&m_mutex);
    return m_queries;
}

void MemLineDb::openCheckThrow()
{
    if (!isOpen())
        openThrow(QStringLiteral(":memory:"), 6);
}

void MemLineDb::loadDataThrow(LineData& data)
{
    openCheckThrow();
    QMutexLocker lock(&m_mutex);
    for (const _LineUser& u : std::as_const(m_users))
        data.insertUser(u.id, new _LineUser(u));
    for (const auto& def : std::as_const(m_groups)) {
        auto* g = new _LineGroupInfo(def.value);
        g->creator = data.user(def.ref);
        g->members = usersOf(data, def.ids);
        data.insertGroup(g->id, g);
    }
    for (const auto& def : std::as_const(m_chats)) {
        auto* c = new _LineChat(def.value);
        c->group = data.group(def.ref);
        c->users = usersOf(data, def.ids);
        for (const auto& m : std::as_const(m_msgs))
            if (m.ref == c->id && (!c->lastTs.isValid() || m.value.ts > c->lastTs))
                c->lastTs = m.value.ts;
        data.insertChat(c->id, c);
    }
}

qint64 MemLineDb::messagesCountThrow(_LineChat* chat)
{
    if (failCount)
        throw std::runtime_error("memory database: counting failed");
    QMutexLocker lock(&m_mutex);
    return std::count_if(m_msgs.cbegin(), m_msgs.cend(), [chat](const auto& m) { return !chat || m.ref == chat->id; });
}

QList<_LineMsg> MemLineDb::messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc)
{
    QMutexLocker lock(&m_mutex);
    m_queries << QStringLiteral("%1 %2 %3 %4").arg(chat ? chat->id : 0).arg(page).arg(pageSize).arg(asc ? "asc" : "desc");
    if (failFromPage > 0 && page >= failFromPage)
        throw std::runtime_error(QStringLiteral("memory database: page %1 cannot be read").arg(page).toStdString());
    QList<const Def<_LineMsg>*> sorted;
    for (const auto& m : std::as_const(m_msgs))
        if (!chat || m.ref == chat->id)
            sorted.append(&m);
    std::sort(sorted.begin(), sorted.end(), [asc](const auto* a, const auto* b) {
        return asc ? compareLineMsgAsc(&a->value, &b->value) : compareLineMsgDesc(&a->value, &b->value);
    });
    QList<_LineMsg> result;
    for (const auto* def : sorted.mid(qsizetype(page - 1) * pageSize, pageSize)) {
        result.append(def->value);
        result.last().chat = data.chat(def->ref);
        result.last().from = def->ids.value(0) ? data.user(def->ids.value(0)) : nullptr;
    }
    return result;
}
