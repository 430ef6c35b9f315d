#pragma once

#include <QList>
#include <QMap>
#include <QMutex>

#include <atomic>

#include "chatdata/abslinedb.h"

// A LINE database held in memory, for tests of whatever reads chat data:
// users, groups, chats and messages are added as plain values and loaded
// into a LineData as new records, the way a real database does. Failures
// can be switched on, and every page query is logged.
//
// It is an Sqlite3DB too: the first openCheckThrow() opens an empty
// ":memory:" connection, so runSqlThrow() and tableRowsThrow() work.
class MemLineDb : public AbsLineDb
{
public:
    struct PageQuery
    {
        qint64 chatId = 0; // 0 when all chats were asked for
        int page = 0;
        int pageSize = 0;
        bool asc = true;
    };

    MemLineDb();
    ~MemLineDb() override;

    // Record values; pointers in them are ignored (references go by id).
    void addUser(const _LineUser& user);
    void addGroup(const _LineGroupInfo& group, qint64 creatorId, const QList<qint64>& memberIds);
    // A chat of `group` (0 for none) with the given users. Chat ids must not
    // be 0, which stands for all chats in pageQueries(). Its lastTs is the
    // time of its newest message unless the value carries one.
    void addChat(const _LineChat& chat, qint64 groupId, const QList<qint64>& userIds);
    // A message of chat `chatId` from user `fromId` (0: the account owner).
    // A message without an id gets the next free one.
    void addMessage(const _LineMsg& msg, qint64 chatId, qint64 fromId);

    // Makes loadDataThrow / messagesCountThrow throw.
    void setFailLoad(bool fail) { m_failLoad = fail; }
    void setFailCount(bool fail) { m_failCount = fail; }
    // Makes messagesThrow throw for every page >= `page`; 0 never fails.
    void setFailFromPage(int page) { m_failFromPage = page; }

    QList<PageQuery> pageQueries() const;
    void clearPageQueries();

    void openCheckThrow() override;
    void loadDataThrow(LineData& data) override;
    qint64 messagesCountThrow(_LineChat* chat) override;
    QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc) override;

private:
    template <typename T>
    struct Def
    {
        T value;
        qint64 refId = 0; // group creator, chat group, message chat
        QList<qint64> ids; // group members, chat users, message sender
    };

    mutable QMutex m_mutex;
    QMap<qint64, _LineUser> m_users;
    QMap<qint64, Def<_LineGroupInfo>> m_groups;
    QMap<qint64, Def<_LineChat>> m_chats;
    QList<Def<_LineMsg>> m_msgs;
    qint64 m_nextMsgId = 1;
    QMap<QPair<qint64, bool>, QList<const Def<_LineMsg>*>> m_sorted;
    QList<PageQuery> m_queries;
    std::atomic<bool> m_failLoad{false};
    std::atomic<bool> m_failCount{false};
    std::atomic<int> m_failFromPage{0};
};
