#pragma once

#include <QDir>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <memory>

#include "chatdata/abslinedb.h"
#include "foundation/dbschema.h"


// The program's own store of LINE chats: a folder holding
// "marrowquist-line.db" and the media folders "thumbs" and "files". It is
// read like the LINE app's store, through AbsLineDb, and written only by the
// backup into a local database, inside one transaction.
//
// Opening is lazy and happens once per object: the first operation creates
// the folders, creates the database (or any of its tables that is missing),
// brings an older database up to date and drops junk users. Messages are
// never deleted by opening.
//
// One thread at a time; an open transaction that was not committed is
// discarded when the object goes.
class LineLocalDb : public AbsLineDb
{
public:
    explicit LineLocalDb(const QDir& folder);
    ~LineLocalDb() override;

    static const char* const dbFileName;     // "marrowquist-line.db"
    static const char* const schemaResource; // ":res/linelocaldb.sql"

    const QDir& folder() const { return m_folder; }
    QString dbPath() const;
    const QString& thumbsDir() const { return m_thumbsDir; }
    const QString& filesDir() const { return m_filesDir; }

    void openCheckThrow() override;
    void loadDataThrow(LineData& data) override;
    qint64 messagesCountThrow(_LineChat* chat) override;
    QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc) override;

    // Where this database keeps the message's thumbnail and media file,
    // whether or not they exist; a path is written only for the types that
    // have one, and either pointer may be null. The chat's and message's ids
    // are encoded, so the paths stay inside the media folders whatever they
    // hold. A message whose uid is not valid is named by its row id here
    // (`id`), so that two of them in one chat never share a file.
    void msgAttaPath(const _LineMsg* msg, QString* thumb, QString* atta) const;

    // Writers. Each finds a record by its LINE id or writes it; a found row
    // is used as it is, never updated. A message whose uid is empty or "0"
    // is never found, so it is written each time.
    qint64 findUserThrow(const QString& uid);
    qint64 insertUserThrow(const _LineUser* user);
    // findUserThrow, then insertUserThrow when the user is not there.
    qint64 findOrInsertUserThrow(const _LineUser* user);
    qint64 findChatThrow(const QString& uid);
    qint64 insertChatThrow(const _LineChat* chat);
    void saveChatMembersThrow(const qint64& chatId, const _LineChat* chat);
    qint64 findGroupInfoThrow(const QString& uid);
    qint64 insertGroupInfoThrow(const _LineGroupInfo* group);
    void saveGroupMembersThrow(const qint64& groupId, const _LineGroupInfo* group);
    qint64 findMsgThrow(const qint64& chatId, const QString& uid);
    qint64 insertMsgThrow(const qint64& chatId, const _LineMsg* msg);

    // The words stored for chat and message types, and back. Reading ignores
    // letter case; an unknown word reads as 0.
    static QString chatTypeWord(int type);
    static int chatTypeFromWord(const QString& word);
    static QString msgTypeWord(int type);
    static int msgTypeFromWord(const QString& word);

private:
    void prepareSchemaThrow();
    void purgeJunkUsersThrow();
    // The rows of a query of two id columns.
    QList<QPair<qint64, qint64>> idPairsThrow(const char* sql);
    qint64 findIdThrow(const char* sql, const QString& uid);

    QDir m_folder;
    QString m_thumbsDir;
    QString m_filesDir;
    DbSchema m_schema;
    // User rows by uid, as the writers found or wrote them: a backup names a
    // sender with every message, and asking the database each time cost as
    // much as writing the message.
    struct UserRows : Sqlite3RowMemo
    {
        QHash<QByteArray, qint64> byUid;
        void forget() override { byUid.clear(); }
    };
    UserRows m_userRows;
};
