#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <memory>

#include "chatdata/abslinedb.h"
#include "chatdata/ioslinegroupdb.h"
#include "chatdata/lineaccountdb.h"
#include "chatdata/linemsg.h"
#include "foundation/dbschema.h"
#include "foundation/safefile.h"

class LineData;
namespace ioslinedb_p {
class RecordLookup;
}
namespace ioslinedb_restore_p {
class MessageIds;
}

// A local copy of the LINE app's container (as a backup or a phone gives
// it) and the Core Data store inside it. Construction only reads the
// account from the app's preferences and finds the store files; the first
// openCheckThrow opens the store and prepares the copy (an index on the
// message times, the purge of disabled chats).
//
// Everything read from the copy is untrusted: ids become path components
// only when they are plain names, else in encoded form, so no path built
// here leaves the container. Links in the copy are followed only where they
// stay inside it: a store, a preferences file, a thumbnail or an attachment
// reached through a link that leaves the container counts as missing, and
// files written into the copy never go through a link at all. Only regular
// files are opened, so a FIFO planted in the copy cannot block a reader.
//
// One object is used by one thread at a time; it takes no lock.
class IOSLineDb : public AbsLineDb
{
public:
    IOSLineDb(const QDir& containerDir, const QString& devicePath);
    ~IOSLineDb() override;

    void openCheckThrow() override;
    void loadDataThrow(LineData& data) override;
    // Messages are those of the shown content types, before 2096 and with an
    // id, ordered by ZTIMESTAMP and then Z_PK, so that pages never overlap.
    // A message's ts is its local wall-clock time (a date-time at the zone's
    // offset for that moment). Reading a page writes thumbnails into the
    // copy ("tmp/thumbnails"); both need openCheckThrow to have run.
    qint64 messagesCountThrow(_LineChat* chat) override;
    QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc) override;

    // The entity number recorded under entityName, else under tableName,
    // else defaultValue.
    qint32 getPrimaryKey(const QString& entityName, const QString& tableName, int defaultValue) const;
    LineAccountDB::_Account account() const;
    // The package of a sticker id; (0, 0, 0) when no package covers it.
    _LineStickerInfo stickerInfoThrow(int stickerId);

    // ZCONTENTMETADATA of messages written into the store: a binary plist
    // holding a keyed archive of one dictionary.
    static QByteArray emptyMetaData();
    static QByteArray voiceMetaData(const _LineMsg* msg);
    static QByteArray contactInfoMetaData(const LineContactInfo& contact);
    static QByteArray stickerMetaData(const _LineStickerInfo& sticker);
    static QByteArray fileMetaData(const QString& name, long long size, QDateTime expire);
    // The text values of such a column; anything that is no archived
    // dictionary reads as empty, a value that is no text as "".
    static QHash<QString, QString> readMetaData(const QByteArray& bytes);

    // Writing for a restore. The caller wraps a whole restore in one
    // transaction; nothing here begins, commits or rolls back, so a caller
    // that abandons its transaction leaves the store as it was. Each
    // operation opens the store first and throws on any SQL error.
    //
    // Users, by LINE user id; an insert does not look for an existing row.
    qint64 findUserThrow(const QString& mid);
    qint64 insertUserThrow(const _LineUser* user);
    // Chats, by chat mid; `enabled` is left alone when there is no such chat.
    qint64 findChatThrow(const QString& mid, bool& enabled);
    qint64 insertChatThrow(const _LineChat* chat);
    // Member rows for each user of the chat but the account owner, adding
    // missing users; a pair already there stays one row.
    void saveChatMembersThrow(const qint64& chatPk, const _LineChat* chat);
    // Groups; 0 and nothing written where the store keeps no groups of its
    // own (a companion group store, or no ZGROUP table).
    qint64 findGroupInfoThrow(const QString& groupId);
    qint64 insertGroupInfoThrow(const _LineGroupInfo& group);
    void saveGroupMembersThrow(const qint64& groupPk, const _LineGroupInfo* group);
    // The key of the message with this id in this chat, or 0; repairs the
    // stored text of one whose LINE emoji were damaged.
    qint64 findMsgThrow(const qint64& chatPk, const QString& uid);
    // Writes one message into the chat; 0 and nothing written for a type
    // outside text..location.
    qint64 insertMsgThrow(const qint64& chatPk, const _LineMsg* msg);
    // Last-message fields of every chat with messages, the Core Data key
    // counters; the indexes this program added are dropped.
    void updateDbStatThrow();

    const QDir& containerDirectory() const { return containerDir; }
    const QString& deviceHomePath() const { return devicePath; }
    const QString& databasePath() const { return dbPath; }
    const QString& databaseRelPath() const { return dbRelPath; }
    const QString& storeFolder() const { return storeDir; }
    const QString& groupDatabasePath() const { return groupDbPath; }
    const DbSchema& dbSchema() const { return schema; }
    const _MembersTable& chatMembersTable() const { return chatMembers; }
    const _MembersTable& groupMembersTable() const { return groupMembers; }
    IOSLineGroupDb& groupStore() { return groupDb; }

    // The indexes opening adds, on the message times and on each chat's
    // message times; a restore drops them again.
    static const char* const kTimestampIndex;
    static const char* const kChatTimestampIndex;

private:
    void readAccount();
    void locateStore();
    // The real path of a store file of the copy, to open it; throws when it
    // leads outside the container (the copy may have changed since it was
    // located). SQLite itself refuses links at the journals beside it.
    QString storeFileThrow(const QString& path);
    void prepareThrow();
    // What tells whether the store changed since a page was read.
    using StoreState = Sqlite3DB::ChangeStamp;
    Sqlite3Sql messagesSql(bool count, _LineChat* chat, bool chatFirst) const;
    bool chatFirstThrow(_LineChat* chat, const StoreState& state);

    QDir containerDir;
    safefile::Confinement confinement;
    QString devicePath;
    QString dbPath;
    QString dbRelPath;
    QString storeDir;
    QString groupDbPath;
    DbSchema schema;
    QHash<QString, qint32> primaryKeys;
    _MembersTable chatMembers;
    _MembersTable groupMembers;
    IOSLineGroupDb groupDb;
    QString mid;
    QString name;
    QString tel;
    QHash<qint32, _LineStickerInfo> stickerCache;

    // Where the last page ended, so that the next page of the same listing
    // continues from there instead of skipping OFFSET rows again. Valid only
    // while the store has not changed since.
    struct PageCursor
    {
        bool valid = false;
        QString chatUid;
        bool allChats = false;
        bool asc = true;
        int page = 0;
        int pageSize = 0;
        qint64 lastTs = 0;
        qint64 lastPk = 0;
        StoreState state;
    };
    PageCursor pageCursor;
    // Whether ZMESSAGE has an index that starts with ZCHAT, and the sizes
    // that choose the join order of a chat's pages.
    bool chatIndexed = false;
    struct PlanCache
    {
        StoreState state;
        QString chatUid;
        qint64 chatRows = 0;
        qint64 totalRows = 0;
    };
    PlanCache planCache;
    // Photo thumbnails that decoded, with the size and time they had then;
    // emptied when it reaches kMaxDecodedThumbs entries.
    static constexpr int kMaxDecodedThumbs = 50000;
    QHash<QString, QPair<qint64, qint64>> decodedThumbs;
    std::unique_ptr<ioslinedb_p::RecordLookup> lookup;
    // The restore writer's record of message ids, made at its first use.
    std::unique_ptr<ioslinedb_restore_p::MessageIds> msgIds;
    ioslinedb_restore_p::MessageIds& messageIds();
};
