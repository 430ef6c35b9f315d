#pragma once

#include <QList>
#include <QMetaType>
#include <QSharedPointer>

#include <memory>

#include "chatdata/linemsg.h"

class AbsLineDb;
struct __LineData;

// What was loaded from one LINE database: its chats, users and groups
// (owned here, deleted with the last handle), the database, and a cache of
// one page of messages. Copies share all of it. A default-constructed
// LineData is null.
//
// The records do not change once loaded, so any thread may look them up.
// The database and the page cache are shared by every reader of the data,
// worker threads included, and guarded by one lock: the database is asked by
// one thread at a time, and a reader always gets a message of the page it
// asked for, copied under the lock.
class LineData
{
public:
    LineData();
    LineData(QSharedPointer<AbsLineDb> db, int pageSize);

    bool isNull() const { return !d; }
    QSharedPointer<AbsLineDb> db() const;
    int pageSize() const;

    // In the order of their ids; empty for a null LineData. The pointers are
    // borrowed and valid while some LineData over the same data lives.
    QList<_LineChat*> chats() const;
    QList<_LineUser*> users() const;
    QList<_LineGroupInfo*> groups() const;

    // The record under `id`, or null. Never adds an entry.
    _LineChat* chat(qint64 id) const;
    _LineUser* user(qint64 id) const;
    _LineGroupInfo* group(qint64 id) const;

    // The sender of messages whose sender is not among the loaded users (a
    // row removed or added since loading): a user without id or names, shown
    // as "Unknown". Never the account owner, whose messages have no sender.
    // Owned by the data, but not among users() and under no id. Null for a
    // null LineData.
    _LineUser* unknownUser() const;

    // Store a record under `id` and take it over. A record that another
    // one replaces under its id stays owned (other records may point to
    // it) and, like a record stored under two ids, is deleted exactly once.
    // Null records and a null LineData are ignored.
    void insertChat(qint64 id, _LineChat* chat);
    void insertUser(qint64 id, _LineUser* user);
    void insertGroup(qint64 id, _LineGroupInfo* group);

    // A number unique in this process to this data and its current set of
    // records: it changes whenever a record is inserted, and no other data
    // ever has it. Readers that keep their own index of the records rebuild
    // it when this changes. 0 for a null LineData.
    quint64 recordsVersion() const;

    // Messages of `chat` (all chats when null); 0 when the database fails.
    qint64 msgsCount(_LineChat* chat) const;
    // The same, throwing the database's failure.
    qint64 msgsCountThrow(_LineChat* chat) const;

    // Message number i (from 0) of `chat` (all chats when null), oldest
    // first when `asc`, read through the page cache. An empty message when
    // i is out of range or the database fails: for views.
    _LineMsg msgAt(_LineChat* chat, qint64 i, bool asc) const;
    // The same for workers that must not take a message they could not
    // read for an empty one: throws std::runtime_error when the database
    // fails or there is no message i. A failed read leaves the cache as it
    // was, so the next read of that page asks the database again.
    _LineMsg msgAtThrow(_LineChat* chat, qint64 i, bool asc) const;

    // True when both share the same data (or both are null).
    bool operator==(const LineData& other) const { return d == other.d; }
    bool operator!=(const LineData& other) const { return d != other.d; }

private:
    std::shared_ptr<__LineData> d;
};

Q_DECLARE_METATYPE(LineData)
