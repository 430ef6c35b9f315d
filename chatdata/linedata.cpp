#include "chatdata/linedata.h"

#include <atomic>

#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <limits>
#include <stdexcept>

#include "chatdata/abslinedb.h"

namespace {

// Records by id, and every record ever handed over, so that a record
// replaced under its id or stored under two ids is deleted exactly once.
template <typename T>
struct RecordTable
{
    QMap<qint64, T*> byId;
    QSet<T*> owned;

    ~RecordTable() { clear(); }

    void insert(qint64 id, T* record)
    {
        if (!record)
            return;
        byId.insert(id, record);
        owned.insert(record);
    }

    void clear()
    {
        byId.clear();
        qDeleteAll(owned);
        owned.clear();
    }
};

} // namespace

namespace {
std::atomic<quint64> g_recordsVersions{0};
quint64 nextRecordsVersion()
{
    return ++g_recordsVersions;
}
} // namespace

struct __LineData
{
    std::atomic<quint64> recordsVersion{nextRecordsVersion()};
    RecordTable<_LineChat> chats;
    RecordTable<_LineUser> users;
    RecordTable<_LineGroupInfo> groups;
    _LineUser unknownUser;
    const int pageSize;
    QSharedPointer<AbsLineDb> db;

    struct PageCache
    {
        _LineChat* chat = nullptr;
        int page = 0; // no page is 0, so the first read always loads
        QList<_LineMsg> msgs;
        bool asc = true;
    };
    // Guards db and pageCache: every question to the database, refilling
    // the cache and copying a message out of it.
    QMutex cacheMutex;
    PageCache pageCache;

    __LineData(QSharedPointer<AbsLineDb> database, int size)
        : pageSize(size > 0 ? size : 1), db(std::move(database))
    {
    }

    ~__LineData()
    {
        chats.clear();
        users.clear();
        groups.clear();
        pageCache.msgs.clear();
        db.reset();
    }
};

LineData::LineData() = default;

LineData::LineData(QSharedPointer<AbsLineDb> db, int pageSize)
    : d(std::make_shared<__LineData>(std::move(db), pageSize))
{
}

QSharedPointer<AbsLineDb> LineData::db() const
{
    return d ? d->db : QSharedPointer<AbsLineDb>();
}

quint64 LineData::recordsVersion() const
{
    return d ? d->recordsVersion.load() : 0;
}

int LineData::pageSize() const
{
    return d ? d->pageSize : 0;
}

QList<_LineChat*> LineData::chats() const
{
    return d ? d->chats.byId.values() : QList<_LineChat*>();
}

QList<_LineUser*> LineData::users() const
{
    return d ? d->users.byId.values() : QList<_LineUser*>();
}

QList<_LineGroupInfo*> LineData::groups() const
{
    return d ? d->groups.byId.values() : QList<_LineGroupInfo*>();
}

_LineChat* LineData::chat(qint64 id) const
{
    return d ? d->chats.byId.value(id, nullptr) : nullptr;
}

_LineUser* LineData::user(qint64 id) const
{
    return d ? d->users.byId.value(id, nullptr) : nullptr;
}

_LineGroupInfo* LineData::group(qint64 id) const
{
    return d ? d->groups.byId.value(id, nullptr) : nullptr;
}

_LineUser* LineData::unknownUser() const
{
    return d ? &d->unknownUser : nullptr;
}

void LineData::insertChat(qint64 id, _LineChat* chat)
{
    if (d) {
        d->chats.insert(id, chat);
        d->recordsVersion = nextRecordsVersion();
    }
}

void LineData::insertUser(qint64 id, _LineUser* user)
{
    if (d) {
        d->users.insert(id, user);
        d->recordsVersion = nextRecordsVersion();
    }
}

void LineData::insertGroup(qint64 id, _LineGroupInfo* group)
{
    if (d) {
        d->groups.insert(id, group);
        d->recordsVersion = nextRecordsVersion();
    }
}

qint64 LineData::msgsCountThrow(_LineChat* chat) const
{
    if (!d || !d->db)
        throw std::runtime_error("no chat data to count messages in");
    QMutexLocker lock(&d->cacheMutex);
    return d->db->messagesCountThrow(chat);
}

qint64 LineData::msgsCount(_LineChat* chat) const
{
    try {
        return msgsCountThrow(chat);
    } catch (const std::exception&) {
        return 0;
    }
}

_LineMsg LineData::msgAtThrow(_LineChat* chat, qint64 i, bool asc) const
{
    if (!d || !d->db)
        throw std::runtime_error("no chat data to read messages from");
    const auto outOfRange = [i]() {
        return std::runtime_error(QStringLiteral("there is no message %1 to read").arg(i).toStdString());
    };
    // A negative index or one past the last page that an int can number is
    // never a message; asking the database for it would be wasted.
    if (i < 0)
        throw outOfRange();
    const qint64 page = i / d->pageSize + 1;
    if (page > std::numeric_limits<int>::max())
        throw outOfRange();
    const qsizetype index = qsizetype(i % d->pageSize);

    QMutexLocker lock(&d->cacheMutex);
    __LineData::PageCache& cache = d->pageCache;
    if (cache.chat != chat || cache.page != page || cache.asc != asc) {
        LineData self(*this);
        // Assigned only once the query succeeded: a failure keeps the old
        // page and its key.
        QList<_LineMsg> msgs = d->db->messagesThrow(self, chat, int(page), d->pageSize, asc);
        cache.msgs = std::move(msgs);
        cache.chat = chat;
        cache.page = int(page);
        cache.asc = asc;
    }
    if (index >= cache.msgs.size())
        throw outOfRange();
    return cache.msgs.at(index);
}

_LineMsg LineData::msgAt(_LineChat* chat, qint64 i, bool asc) const
{
    try {
        return msgAtThrow(chat, i, asc);
    } catch (const std::exception&) {
        return _LineMsg();
    }
}
