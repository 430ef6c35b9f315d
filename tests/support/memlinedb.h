#pragma once

#include <QList>
#include <QMap>
#include <QMutex>
#include <QStringList>

#include <atomic>

#include "chatdata/abslinedb.h"

// A LINE database held in memory, for tests of whatever reads chat data:
// records are added as values (pointers in them are ignored, references go
// by id) and loaded into a LineData as new records, as a real database does.
// Reads can be made to fail, and every page query is logged. It is an
// Sqlite3DB too, over an empty ":memory:" connection opened on first use.
class MemLineDb : public AbsLineDb
{
public:
    void addUser(qint64 id, const QString& uid);
    void addGroup(qint64 id, qint64 creatorId, const QList<qint64>& memberIds);
    // Chat ids are not 0; a chat's lastTs is its newest message's.
    void addChat(qint64 id, const QString& uid, int type, qint64 groupId, const QList<qint64>& userIds);
    // fromId 0: the account owner. A message without id gets the next one.
    void addMessage(const _LineMsg& msg, qint64 chatId, qint64 fromId);

    std::atomic<bool> failCount{false};
    std::atomic<int> failFromPage{0}; // pages from this one on fail; 0 never
    // Every page asked for, "chat page size asc|desc" (chat 0: all chats).
    QStringList pageQueries() const;

    void openCheckThrow() override;
    void loadDataThrow(LineData& data) override;
    qint64 messagesCountThrow(_LineChat* chat) override;
    QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc) override;

private:
    template <typename T>
    struct Def
    {
        T value;
        qint64 ref = 0;    // group creator, chat group, message chat
        QList<qint64> ids; // group members, chat users, message sender
    };
    mutable QMutex m_mutex;
    QMap<qint64, _LineUser> m_users;
    QMap<qint64, Def<_LineGroupInfo>> m_groups;
    QMap<qint64, Def<_LineChat>> m_chats;
    QList<Def<_LineMsg>> m_msgs;
    QStringList m_queries;
};
