#include "tests/support/memlinedb.h"

#include <QMutexLocker>

#include <algorithm>
#include <stdexcept>

#include "chatdata/linedata.h"
#include "chatdata/linetime.h"

namespace {

// The loaded users of these ids; ids without a user are left out.
QSet<_LineUser*> usersOf(const LineData& data, const QList<qint64>& ids)
{
    QSet<_LineUser*> users;
    for (qint64 id : ids) {
        if (_LineUser* u = data.user(id))
            users.insert(u);
    }
    return users;
}

} // namespace

MemLineDb::MemLineDb() = default;

MemLineDb::~MemLineDb() = default;

void MemLineDb::addUser(const _LineUser& user)
{
    QMutexLocker lock(&m_mutex);
    m_users.insert(user.id, user);
}

void MemLineDb::addGroup(const _LineGroupInfo& group, qint64 creatorId, const QList<qint64>& memberIds)
{
    QMutexLocker lock(&m_mutex);
    m_groups.insert(group.id, {group, creatorId, memberIds});
}

void MemLineDb::addChat(const _LineChat& chat, qint64 groupId, const QList<qint64>& userIds)
{
    QMutexLocker lock(&m_mutex);
    m_chats.insert(chat.id, {chat, groupId, userIds});
}

void MemLineDb::addMessage(const _LineMsg& msg, qint64 chatId, qint64 fromId)
{
    QMutexLocker lock(&m_mutex);
    Def<_LineMsg> def{msg, chatId, {fromId}};
    if (def.value.id == 0)
        def.value.id = m_nextMsgId;
    m_nextMsgId = std::max(m_nextMsgId, def.value.id + 1);
    def.value.chat = nullptr;
    def.value.from = nullptr;
    m_msgs.append(def);
    m_sorted.clear();
}

QList<MemLineDb::PageQuery> MemLineDb::pageQueries() const
{
    QMutexLocker lock(&m_mutex);
    return m_queries;
}

void MemLineDb::clearPageQueries()
{
    QMutexLocker lock(&m_mutex);
    m_queries.clear();
}

void MemLineDb::openCheckThrow()
{
    if (!isOpen())
        openThrow(QStringLiteral(":memory:"), 6);
}

void MemLineDb::loadDataThrow(LineData& data)
{
    openCheckThrow();
    if (m_failLoad)
        throw std::runtime_error("memory database: loading failed");
    QMutexLocker lock(&m_mutex);
    for (const _LineUser& u : std::as_const(m_users))
        data.insertUser(u.id, new _LineUser(u));
    for (const auto& def : std::as_const(m_groups)) {
        auto* g = new _LineGroupInfo(def.value);
        g->creator = data.user(def.refId);
        g->members = usersOf(data, def.ids);
        data.insertGroup(g->id, g);
    }
    for (const auto& def : std::as_const(m_chats)) {
        auto* c = new _LineChat(def.value);
        c->group = data.group(def.refId);
        c->users = usersOf(data, def.ids);
        for (const auto& m : std::as_const(m_msgs)) {
            if (!def.value.lastTs.isValid() && m.refId == c->id && m.value.ts.isValid()
                && (!c->lastTs.isValid() || m.value.ts > c->lastTs))
                c->lastTs = m.value.ts;
        }
        data.insertChat(c->id, c);
    }
}

qint64 MemLineDb::messagesCountThrow(_LineChat* chat)
{
    if (m_failCount)
        throw std::runtime_error("memory database: counting failed");
    QMutexLocker lock(&m_mutex);
    return std::count_if(m_msgs.cbegin(), m_msgs.cend(),
                         [chat](const auto& m) { return !chat || m.refId == chat->id; });
}

QList<_LineMsg> MemLineDb::messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc)
{
    QMutexLocker lock(&m_mutex);
    m_queries.append(PageQuery{chat ? chat->id : 0, page, pageSize, asc});
    const int failFrom = m_failFromPage;
    if (failFrom > 0 && page >= failFrom)
        throw std::runtime_error(QStringLiteral("memory database: page %1 cannot be read").arg(page).toStdString());
    if (page < 1 || pageSize < 1)
        throw std::runtime_error("memory database: bad page");
    // Sorted once per chat and direction: workers page through the same lists.
    const QPair<qint64, bool> key(chat ? chat->id : 0, asc);
    if (!m_sorted.contains(key)) {
        QList<const Def<_LineMsg>*>& list = m_sorted[key];
        for (const auto& m : std::as_const(m_msgs)) {
            if (!chat || m.refId == chat->id)
                list.append(&m);
        }
        std::sort(list.begin(), list.end(), [asc](const auto* a, const auto* b) {
            return asc ? compareLineMsgAsc(&a->value, &b->value) : compareLineMsgDesc(&a->value, &b->value);
        });
    }
    const QList<const Def<_LineMsg>*>& sorted = m_sorted[key];
    QList<_LineMsg> result;
    for (qint64 i = qint64(page - 1) * pageSize; i < sorted.size() && result.size() < pageSize; ++i) {
        const Def<_LineMsg>* def = sorted.at(qsizetype(i));
        _LineMsg m = def->value;
        m.chat = data.chat(def->refId);
        m.from = def->ids.value(0) ? data.user(def->ids.value(0)) : nullptr;
        result.append(m);
    }
    return result;
}
