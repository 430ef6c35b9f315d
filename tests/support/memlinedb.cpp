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
    m_groups.insert(group.id, GroupDef{group, creatorId, memberIds});
}

void MemLineDb::addChat(const _LineChat& chat, qint64 groupId, const QList<qint64>& userIds)
{
    QMutexLocker lock(&m_mutex);
    m_chats.insert(chat.id, ChatDef{chat, groupId, userIds});
}

void MemLineDb::addMessage(const _LineMsg& msg, qint64 chatId, qint64 fromId)
{
    QMutexLocker lock(&m_mutex);
    MsgDef def{msg, chatId, fromId};
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
    for (const GroupDef& def : std::as_const(m_groups)) {
        auto* g = new _LineGroupInfo(def.value);
        g->creator = data.user(def.creatorId);
        g->members = usersOf(data, def.memberIds);
        data.insertGroup(g->id, g);
    }
    for (const ChatDef& def : std::as_const(m_chats)) {
        auto* c = new _LineChat(def.value);
        c->group = data.group(def.groupId);
        c->users = usersOf(data, def.userIds);
        if (!c->lastTs.isValid()) {
            for (const MsgDef& m : std::as_const(m_msgs)) {
                if (m.chatId == c->id && m.value.ts.isValid() && (!c->lastTs.isValid() || m.value.ts > c->lastTs))
                    c->lastTs = m.value.ts;
            }
        }
        data.insertChat(c->id, c);
    }
}

qint64 MemLineDb::messagesCountThrow(_LineChat* chat)
{
    if (m_failCount)
        throw std::runtime_error("memory database: counting failed");
    QMutexLocker lock(&m_mutex);
    if (!chat)
        return m_msgs.size();
    return std::count_if(m_msgs.cbegin(), m_msgs.cend(), [chat](const MsgDef& m) { return m.chatId == chat->id; });
}

const QList<const MemLineDb::MsgDef*>& MemLineDb::sortedLocked(qint64 chatId, bool asc)
{
    const QPair<qint64, bool> key(chatId, asc);
    auto it = m_sorted.find(key);
    if (it != m_sorted.end())
        return it.value();
    QList<const MsgDef*> list;
    for (const MsgDef& m : std::as_const(m_msgs)) {
        if (chatId == 0 || m.chatId == chatId)
            list.append(&m);
    }
    std::sort(list.begin(), list.end(), [asc](const MsgDef* a, const MsgDef* b) {
        return asc ? compareLineMsgAsc(&a->value, &b->value) : compareLineMsgDesc(&a->value, &b->value);
    });
    return m_sorted.insert(key, list).value();
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
    const QList<const MsgDef*>& sorted = sortedLocked(chat ? chat->id : 0, asc);
    QList<_LineMsg> result;
    const qint64 first = qint64(page - 1) * pageSize;
    for (qint64 i = first; i < sorted.size() && i < first + pageSize; ++i) {
        const MsgDef* def = sorted.at(qsizetype(i));
        _LineMsg m = def->value;
        m.chat = data.chat(def->chatId);
        m.from = def->fromId ? data.user(def->fromId) : nullptr;
        result.append(m);
    }
    return result;
}
