// Writing users, chats, groups and messages into a copy of the LINE app's
// store for a restore, and putting the store's summaries and counters right
// afterwards.
//
// The restore job holds one transaction around all of it. Nothing here
// begins, commits or rolls back, and every statement is one SQLite keeps
// inside that transaction (its CREATE and DROP INDEX included), so a failure
// anywhere leaves the store exactly as it was once the job lets the
// transaction go.
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_p.h"
#include "chatdata/ioslinedb_restore_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>

#include "chatdata/linerawcontent.h"
#include "chatdata/linetime.h"
#include "foundation/safefile.h"

using namespace ioslinedb_p;

namespace ioslinedb_restore_p {

// "=" rather than LIKE on the chat: LIKE compares text and can use no index,
// which made every test read the whole message table. The lowest key first,
// so that the row found does not depend on the index SQLite takes.
const char* const kFindMsgSql = "select Z_PK, ZTEXT from ZMESSAGE where ZID=? and ZCHAT=? order by Z_PK limit 1";

const char* const kChatMsgIdsSql = "select Z_PK, ZID from ZMESSAGE where ZCHAT=?";

// The same filter as the reader's, so that a chat's summary is a message the
// app shows. Z_PK breaks ties of time, so that the choice is the same on
// every run.
const char* const kNewestMsgSql =
    "select m.ZCONTENTTYPE,m.ZSENDSTATUS,m.ZTIMESTAMP,m.ZCHAT,m.ZSENDER,m.ZID,m.ZTEXT, u.ZNAME, u.ZADDRESSBOOKNAME"
    " from ZMESSAGE as m left join ZUSER as u on m.ZSENDER=u.Z_PK"
    " where m.ZCHAT=? and" IOSLINEDB_SHOWN_MESSAGES
    " order by m.ZCHAT asc, m.ZTIMESTAMP desc, m.Z_PK desc limit 1";

bool MessageIds::bytewiseThrow(Sqlite3DB& db)
{
    if (m_checkedConnection == db.rawHandle())
        return m_bytewise;
    const char* type = nullptr;
    const char* collation = nullptr;
    m_bytewise = sqlite3_table_column_metadata(db.rawHandle(), "main", "ZMESSAGE", "ZID", &type, &collation, nullptr,
                                               nullptr, nullptr)
                 == SQLITE_OK;
    if (m_bytewise) {
        // SQLite's rules of column affinity: text unless the declared type
        // names an integer, and it names text.
        const QByteArray t = QByteArray(type ? type : "").toUpper();
        m_bytewise = !t.contains("INT") && (t.contains("CHAR") || t.contains("CLOB") || t.contains("TEXT"))
                     && qstricmp(collation ? collation : "", "BINARY") == 0;
    }
    if (m_bytewise) {
        Sqlite3Cursor enc = db.queryThrow(Sqlite3Sql("PRAGMA encoding"));
        m_bytewise = enc.moveNext() && enc.getText(0) == QLatin1String("UTF-8");
    }
    m_checkedConnection = db.rawHandle();
    return m_bytewise;
}

qint64 MessageIds::findThrow(Sqlite3DB& db, qint64 chatPk, const QString& uid, QByteArray* text)
{
    const QByteArray id = uid.toUtf8();
    if (bytewiseThrow(db)) {
        auto chat = m_byChat.find(chatPk);
        if (chat == m_byChat.end()) {
            QHash<QByteArray, qint64> ids;
            Sqlite3Cursor cur = db.queryThrow(Sqlite3Sql(kChatMsgIdsSql).addInt64Param(chatPk));
            while (cur.moveNext()) {
                // Only a text equals the bound text; the first key stays.
                if (cur.valueType(1) != SQLITE_TEXT)
                    continue;
                const qint64 pk = cur.getInt64(0);
                const QByteArray rowId = cur.getTextBytes(1);
                auto it = ids.find(rowId);
                if (it == ids.end())
                    ids.insert(rowId, pk);
                else if (pk < *it)
                    *it = pk;
            }
            chat = m_byChat.insert(chatPk, ids);
        }
        const qint64 pk = chat->value(id, 0);
        if (pk == 0)
            return 0;
        Sqlite3Cursor row = db.queryThrow(Sqlite3Sql("select ZTEXT from ZMESSAGE where Z_PK=? and ZCHAT=? and ZID=?")
                                              .addInt64Param(pk)
                                              .addInt64Param(chatPk)
                                              .addTextParam(uid));
        if (row.moveNext()) {
            *text = row.getTextBytes(0);
            return pk;
        }
        // Not what was read: the rows changed in a way nothing showed.
        m_byChat.clear();
    }
    Sqlite3Cursor cur = db.queryThrow(Sqlite3Sql(kFindMsgSql).addTextParam(uid).addInt64Param(chatPk));
    if (!cur.moveNext())
        return 0;
    *text = cur.getTextBytes(1);
    return cur.getInt64(0);
}

void MessageIds::added(qint64 chatPk, const QString& uid, qint64 pk)
{
    auto chat = m_byChat.find(chatPk);
    if (chat != m_byChat.end() && !chat->contains(uid.toUtf8()))
        chat->insert(uid.toUtf8(), pk);
}

} // namespace ioslinedb_restore_p

using namespace ioslinedb_restore_p;

namespace {

// A thumbnail is a few kilobytes; a file far beyond that at a thumbnail's
// place is no thumbnail, and reading it whole could exhaust memory.
constexpr qint64 kMaxThumbnailBytes = 64LL * 1024 * 1024;

QByteArray repairedRawContent(const QByteArray& raw)
{
    return isRawContentContainEmoji_efbfbd(raw) ? fixRawContent_efbfbd(raw) : raw;
}

QVariant textBytes(const QByteArray& bytes)
{
    return QVariant::fromValue(Sqlite3Row::_TypeTextBytes{bytes});
}

QByteArray thumbnailBytes(const QString& path)
{
    // The reader that named the file checked where it leads; a FIFO put
    // there since must still not block.
    QFile f;
    if (path.isEmpty() || !safefile::openRegular(f, path, QIODevice::ReadOnly, nullptr, true)
        || f.size() > kMaxThumbnailBytes)
        return QByteArray();
    return f.readAll();
}

qint64 fileSizeOnDisk(const QString& path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() ? info.size() : 0;
}

// Member sets have no stable order; walking them sorted gives the users
// added on the way the same keys on every run.
template <typename T>
QList<T*> sortedUsers(const QSet<T*>& set)
{
    QList<T*> list;
    list.reserve(set.size());
    for (T* u : set)
        if (u)
            list.append(u);
    std::sort(list.begin(), list.end(), [](const T* a, const T* b) {
        return a->uid != b->uid ? a->uid < b->uid : a->id < b->id;
    });
    return list;
}

// Core Data's flags and counters of a new row, which never depend on
// what is restored.
void putFixed(Sqlite3Row& row, std::initializer_list<std::pair<const char*, int>> values)
{
    for (const auto& v : values)
        row[QString::fromLatin1(v.first)] = v.second;
}

// Columns that only some versions of the app's model have.
void putOptional(Sqlite3Row& row, const DbSchema& schema, const QString& table,
                 std::initializer_list<std::pair<const char*, int>> values)
{
    for (const auto& v : values)
        if (schema.containsCol(table, QString::fromLatin1(v.first)))
            row[QString::fromLatin1(v.first)] = v.second;
}

qint64 firstKeyThrow(Sqlite3DB& db, const Sqlite3Sql& sql)
{
    Sqlite3Cursor cur = db.queryThrow(sql);
    return cur.moveNext() ? cur.getInt64(0) : 0;
}

} // namespace

// --- users, chats, groups -------------------------------------------------

qint64 IOSLineDb::findUserThrow(const QString& mid)
{
    openCheckThrow();
    Sqlite3Sql sql("select Z_PK from ZUSER where ZMID=?");
    sql.addTextParam(mid);
    return firstKeyThrow(*this, sql);
}

qint64 IOSLineDb::insertUserThrow(const _LineUser* user)
{
    openCheckThrow();
    MessageIds::Guard kept(*this, messageIds());
    if (!user)
        return 0;
    const QString table = QStringLiteral("ZUSER");
    Sqlite3Row row;
    row["Z_ENT"] = getPrimaryKey(QStringLiteral("User"), table, 12);
    putFixed(row, {{"Z_OPT", 2}, {"ZALERT", 1}, {"ZBLOCKING", 0}, {"ZCAPABILITIES", 0}, {"ZCONTACTTYPE", 0},
                   {"ZFRIENDREQUESTSTATUS", 0}, {"ZISFRIEND", 1}, {"ZISHIDDEN", 0}, {"ZISINADDRESSBOOK", 0},
                   {"ZISRECOMMENDED", 0}, {"ZISREMOVED", 0}, {"ZISUNREGISTERED", 0}, {"ZISVIEWED", 1},
                   {"ZUSERTYPE", 0}});
    putOptional(row, schema, table, {{"ZE2EECONTENTTYPES", 0}, {"ZFAVORITEORDER", 0}});
    row["ZMID"] = user->uid;
    row["ZNAME"] = user->serverName;
    if (!user->customName.isEmpty())
        row["ZCUSTOMNAME"] = user->customName;
    if (!user->picUri.isEmpty())
        row["ZPICTUREURL"] = user->picUri;
    const QString sortable = !user->customName.isEmpty() ? user->customName : user->serverName;
    row["ZSORTABLENAME"] = sortable.toLower();
    runSqlThrow(row.insertSql(table));
    return lastInsertId();
}

qint64 IOSLineDb::findChatThrow(const QString& mid, bool& enabled)
{
    openCheckThrow();
    // A store without ZENABLE has no disabled chats.
    const bool hasEnable = schema.containsCol(QStringLiteral("ZCHAT"), QStringLiteral("ZENABLE"));
    Sqlite3Sql sql(hasEnable ? "select Z_PK,ZENABLE from ZCHAT where ZMID=?" : "select Z_PK from ZCHAT where ZMID=?");
    sql.addTextParam(mid);
    Sqlite3Cursor cur = queryThrow(sql);
    if (!cur.moveNext())
        return 0;
    enabled = hasEnable ? cur.getInt64(1) != 0 : true;
    return cur.getInt64(0);
}

qint64 IOSLineDb::insertChatThrow(const _LineChat* chat)
{
    openCheckThrow();
    MessageIds::Guard kept(*this, messageIds());
    if (!chat)
        return 0;
    const QString table = QStringLiteral("ZCHAT");
    Sqlite3Row row;
    row["Z_ENT"] = getPrimaryKey(QStringLiteral("Chat"), table, 1);
    putFixed(row, {{"Z_OPT", 4}, {"ZALERT", 1}, {"ZLIVE", 0}, {"ZSESSIONID", 0}, {"ZUNREAD", 0}, {"ZEXPIREINTERVAL", 0}});
    // A store without ZENABLE has no disabled chats to tell apart.
    putOptional(row, schema, table, {{"ZE2EECONTENTTYPES", 0}, {"ZENABLE", 1}, {"ZSORTORDER", 0}});
    row["ZTYPE"] = chat->type == LineChatType::GROUP ? 2 : chat->type == LineChatType::MULTI ? 1 : 0;
    row["ZMID"] = chat->uid;
    runSqlThrow(row.insertSql(table));
    return lastInsertId();
}

// The user's row in the store, added when it has none.
static qint64 userKeyThrow(IOSLineDb& db, const _LineUser* user)
{
    const qint64 pk = db.findUserThrow(user->uid);
    return pk != 0 ? pk : db.insertUserThrow(user);
}

// One join row per member but the account owner, who is never a member row.
// A pair is written only when the table lacks it, so that a join table
// without a key of its own never gets it twice.
static void saveMembersThrow(IOSLineDb& db, const _MembersTable& t, qint64 ownerPk, const QSet<_LineUser*>& users)
{
    const QString owner = db.account().uid;
    const QString sql = QStringLiteral("insert into %1(%2,%3) select ?,? where not exists"
                                       " (select 1 from %1 where %2=? and %3=?)")
                            .arg(sqlite3QuoteIdentifier(t.table), sqlite3QuoteIdentifier(t.ownerColumn),
                                 sqlite3QuoteIdentifier(t.userColumn));
    for (const _LineUser* user : sortedUsers(users)) {
        if (user->uid.compare(owner, Qt::CaseInsensitive) == 0)
            continue;
        const qint64 userPk = userKeyThrow(db, user);
        Sqlite3Sql insert(sql);
        insert.addInt64Param(ownerPk).addInt64Param(userPk).addInt64Param(ownerPk).addInt64Param(userPk);
        db.runSqlThrow(insert);
    }
}

void IOSLineDb::saveChatMembersThrow(const qint64& chatPk, const _LineChat* chat)
{
    openCheckThrow();
    MessageIds::Guard kept(*this, messageIds());
    if (chat)
        saveMembersThrow(*this, chatMembers, chatPk, chat->users);
}

// Groups live in ZGROUP unless the app moved them to its group store; a
// store that has neither keeps no groups this writer could add to.
static bool keepsOwnGroups(IOSLineDb& db)
{
    return !db.groupStore().isOpen() && db.dbSchema().containsTable(QStringLiteral("ZGROUP"));
}

qint64 IOSLineDb::findGroupInfoThrow(const QString& groupId)
{
    openCheckThrow();
    if (!keepsOwnGroups(*this))
        return 0;
    Sqlite3Sql sql("select Z_PK from ZGROUP where ZID=?");
    sql.addTextParam(groupId);
    return firstKeyThrow(*this, sql);
}

qint64 IOSLineDb::insertGroupInfoThrow(const _LineGroupInfo& group)
{
    openCheckThrow();
    MessageIds::Guard kept(*this, messageIds());
    if (!keepsOwnGroups(*this))
        return 0;
    const QString table = QStringLiteral("ZGROUP");
    Sqlite3Row row;
    row["Z_ENT"] = getPrimaryKey(QStringLiteral("Group"), table, 4);
    putFixed(row, {{"Z_OPT", 2}, {"ZALERT", 1}, {"ZENABLE", 1}, {"ZISACCEPTED", 1}, {"ZISPREVENTLINKINVITATION", 0},
                   {"ZISVIEWED", 1}});
    putOptional(row, schema, table, {{"ZFAVORITEORDER", 0}});
    // The creator is not compared with the owner: an owner who made the
    // group gets a user row of its own here.
    if (group.creator)
        row["ZCREATOR"] = userKeyThrow(*this, group.creator);
    row["ZID"] = group.uid;
    row["ZNAME"] = group.name;
    row["ZPICTURESTATUS"] = group.picStatus;
    runSqlThrow(row.insertSql(table));
    return lastInsertId();
}

void IOSLineDb::saveGroupMembersThrow(const qint64& groupPk, const _LineGroupInfo* group)
{
    openCheckThrow();
    MessageIds::Guard kept(*this, messageIds());
    if (group && groupPk != 0 && keepsOwnGroups(*this))
        saveMembersThrow(*this, groupMembers, groupPk, group->members);
}

// --- messages -------------------------------------------------------------

MessageIds& IOSLineDb::messageIds()
{
    if (!msgIds)
        msgIds = std::make_unique<MessageIds>();
    return *msgIds;
}

qint64 IOSLineDb::findMsgThrow(const qint64& chatPk, const QString& uid)
{
    if (!isLineMsgUidValid(uid))
        return 0;
    openCheckThrow();
    MessageIds::Guard kept(*this, messageIds());
    QByteArray text;
    const qint64 pk = msgIds->findThrow(*this, chatPk, uid, &text);
    if (pk != 0 && isRawContentContainEmoji_efbfbd(text)) {
        Sqlite3Sql fix("update ZMESSAGE set ZTEXT=? where Z_PK=?");
        fix.addTextBytesParam(fixRawContent_efbfbd(text)).addInt64Param(pk);
        runSqlThrow(fix);
    }
    return pk;
}

// Where the phone finds the voice file of an own voice message: the store
// folder's attachment path, absolute under the app's home on the device.
// Without that home (a backup on this computer) the path stays relative to
// it: a path of this computer means nothing on the phone and would only give
// away the user's folders.
static QString deviceVoicePath(const QString& deviceHome, const QString& storeDir, const _LineMsg& msg)
{
    const QString rel = storeDir + QStringLiteral("Message Attachments/")
                        + (msg.chat ? pathName(msg.chat->uid) : QStringLiteral("unknown")) + QLatin1Char('/')
                        + pathName(msg.uid) + QStringLiteral(".mp4");
    if (!deviceHome.startsWith(QLatin1Char('/')))
        return rel;
    return QDir::cleanPath(deviceHome + QLatin1Char('/') + rel);
}

qint64 IOSLineDb::insertMsgThrow(const qint64& chatPk, const _LineMsg* msg)
{
    openCheckThrow();
    if (!msg)
        return 0;
    MessageIds::Guard kept(*this, messageIds());
    const bool own = msg->wasFromMe();
    const bool inRoom = msg->chat && msg->chat->type != LineChatType::SINGLE;
    const QString sender = own ? QString() : msg->from->displayName();

    Sqlite3Row row;
    row["Z_ENT"] = getPrimaryKey(QStringLiteral("Message"), QStringLiteral("ZMESSAGE"), 5);
    row["Z_OPT"] = own ? 3 : 1;
    // Unsigned, so that a negative type is as unknown as a large one.
    switch (static_cast<unsigned>(msg->type)) {
    case LineMsgType::TEXT:
        row["ZCONTENTTYPE"] = 0;
        row["ZLATITUDE"] = 0;
        row["ZLONGITUDE"] = 0;
        row["ZTEXT"] = textBytes(repairedRawContent(msg->rawContent));
        break;
    case LineMsgType::PHOTO:
    case LineMsgType::VIDEO: {
        const bool photo = msg->type == LineMsgType::PHOTO;
        row["ZCONTENTTYPE"] = photo ? 1 : 2;
        row["ZLATITUDE"] = msg->attaWidth();
        row["ZLONGITUDE"] = msg->attaHeight();
        if (own)
            row["ZTEXT"] = photo ? QStringLiteral("You sent a photo.") : QStringLiteral("You sent a video.");
        else if (inRoom)
            row["ZTEXT"] = (photo ? QStringLiteral("%1 sent you a photo.") : QStringLiteral("%1 sent you a video."))
                               .arg(sender);
        const QByteArray thumb = thumbnailBytes(msg->thumbPath);
        if (!thumb.isEmpty())
            row["ZTHUMBNAIL"] = thumb;
        break;
    }
    case LineMsgType::VOICE:
        row["ZCONTENTTYPE"] = 3;
        row["ZLATITUDE"] = msg->attaFileSize();
        row["ZTEXT"] = own ? deviceVoicePath(devicePath, storeDir, *msg)
                           : QStringLiteral("%1 sent you a voice message.").arg(sender);
        row["ZCONTENTMETADATA"] = voiceMetaData(msg);
        break;
    case LineMsgType::STICKER: {
        const _LineStickerInfo sticker = msg->attaSticker();
        row["ZCONTENTTYPE"] = 7;
        row["ZLONGITUDE"] = sticker.id;
        row["ZTEXT"] = QString();
        row["ZCONTENTMETADATA"] = stickerMetaData(sticker);
        break;
    }
    case LineMsgType::CONTACT:
        row["ZCONTENTTYPE"] = 13;
        row["ZTEXT"] = QString();
        row["ZCONTENTMETADATA"] = contactInfoMetaData(msg->attaContact());
        break;
    case LineMsgType::FILE:
        row["ZCONTENTTYPE"] = 14;
        row["ZCONTENTMETADATA"] = fileMetaData(msg->attaFileName(), fileSizeOnDisk(msg->attaPath), msg->ts);
        break;
    case LineMsgType::LOCATION: {
        const _LineLocationInfo loc = msg->attaLocation();
        row["ZCONTENTTYPE"] = 100;
        row["ZLATITUDE"] = loc.lat;
        row["ZLONGITUDE"] = loc.lng;
        row["ZTEXT"] = loc.name;
        break;
    }
    default:
        return 0;
    }

    row["ZREADCOUNT"] = msg->chat ? int(msg->chat->users.size()) : 0;
    row["ZSENDSTATUS"] = 1;
    row["ZTIMESTAMP"] = msg->ts.toMSecsSinceEpoch();
    row["ZCHAT"] = chatPk;
    // Not compared with the owner: a sender row is found or added like any
    // other user.
    if (!own)
        row["ZSENDER"] = userKeyThrow(*this, msg->from);
    row["ZID"] = msg->uid;
    runSqlThrow(row.insertSql(QStringLiteral("ZMESSAGE")));
    const qint64 pk = lastInsertId();
    msgIds->added(chatPk, msg->uid, pk);
    return pk;
}

// --- finishing --------------------------------------------------------------

namespace {

QString lastMessageSummary(int contentType, bool received, const QString& senderName, const QByteArray& text)
{
    const char* own = nullptr;
    const char* other = nullptr;
    switch (contentType) {
    case 1:
        own = "You sent a photo.";
        other = "%1 sent you a photo.";
        break;
    case 2:
        own = "You sent a video.";
        other = "%1 sent you a video.";
        break;
    case 3:
        own = "You sent a voice message.";
        other = "%1 sent you a voice message.";
        break;
    case 7:
        own = "You sent a sticker.";
        other = "%1 sent you a sticker.";
        break;
    case 13:
        own = "Contact info sent.";
        other = "%1 sent you a friend's contact info.";
        break;
    case 100:
        own = "You sent a location.";
        other = "%1 sent you a location.";
        break;
    default:
        return parseLineRawContent(text);
    }
    return received ? QString::fromLatin1(other).arg(senderName) : QString::fromLatin1(own);
}

} // namespace

void IOSLineDb::updateDbStatThrow()
{
    openCheckThrow();
    // Every chat of the store, touched by this restore or not, is summarised
    // again. Chats are taken from their own table rather than from the
    // messages: a chat without messages gets no row from the query below
    // and stays as it is either way, and each chat's newest message is the
    // end of its run in the index of chats and times that opening made, so
    // the step costs the same in a store of any size. The keys come first,
    // so that no read is pending while the chats are written and the indexes
    // dropped (SQLite refuses a DROP then).
    QList<qint64> chatKeys;
    {
        Sqlite3Cursor cur = queryThrow(Sqlite3Sql("select Z_PK from ZCHAT"));
        while (cur.moveNext())
            chatKeys.append(cur.getInt64(0));
    }

    for (qint64 chatPk : std::as_const(chatKeys)) {
        int contentType = 0;
        qint64 ts = 0;
        qint64 senderPk = 0;
        QString msgId;
        QString senderName;
        QByteArray text;
        {
            // Read by position: the columns are those of kNewestMsgSql.
            Sqlite3Cursor cur = queryThrow(Sqlite3Sql(kNewestMsgSql).addInt64Param(chatPk));
            if (!cur.moveNext())
                continue;
            contentType = cur.getInt(0);
            ts = cur.getInt64(2);
            senderPk = cur.getInt64(4);
            msgId = cur.getText(5);
            text = cur.getTextBytes(6);
            senderName = cur.getText(8);
            if (senderName.isEmpty())
                senderName = cur.getText(7);
        }
        const bool received = senderPk > 0;
        Sqlite3Sql update("update ZCHAT set ZLASTUPDATED=?, ZLASTRECEIVEDMESSAGEID=?, ZREADUPTOMESSAGEID=?,"
                          " ZREADUPTOMESSAGEIDSYNCED=?, ZLASTMESSAGE=? where Z_PK=?");
        update.addDoubleParam(dt21FromUnixepochMsec(ts));
        for (int i = 0; i < 3; ++i) {
            if (received)
                update.addTextParam(msgId);
            else
                update.addNullParam();
        }
        update.addTextParam(lastMessageSummary(contentType, received, senderName, text));
        update.addInt64Param(chatPk);
        runSqlThrow(update);
    }

    // Core Data gives out keys above Z_MAX. The counter is never lowered
    // (keys of deleted rows must not come back) and an empty table does not
    // turn it into NULL.
    struct Counter
    {
        const char* entity;
        const char* table;
    };
    for (const Counter& c : {Counter{"Chat", "ZCHAT"}, Counter{"Group", "ZGROUP"}, Counter{"Message", "ZMESSAGE"},
                             Counter{"User", "ZUSER"}}) {
        if (!schema.containsTable(QString::fromLatin1(c.table)))
            continue;
        Sqlite3Sql sql(QStringLiteral("update Z_PRIMARYKEY set Z_MAX=max(ifnull(Z_MAX,0),"
                                      " ifnull((select max(Z_PK) from %1),0)) where Z_NAME=? or Z_NAME=?")
                           .arg(QString::fromLatin1(c.table)));
        sql.addTextParam(QString::fromLatin1(c.entity)).addTextParam(QString::fromLatin1(c.table));
        runSqlThrow(sql);
    }

    // The store goes back to the phone as the app made it: without the
    // indexes this program added. A failure here is of no consequence.
    // What the indexes hold is all in the table too, so their pages are freed
    // without being overwritten first: a build of SQLite that zeroes deleted
    // content would otherwise write and journal every page of them.
    QString ignored;
    Sqlite3Cursor secure = queryThrow(Sqlite3Sql("PRAGMA secure_delete"));
    const int secureDelete = secure.moveNext() ? secure.getInt(0) : 0;
    secure = Sqlite3Cursor();
    exec(QStringLiteral("PRAGMA secure_delete=0"), ignored);
    for (const char* index : {kTimestampIndex, kChatTimestampIndex})
        exec(QStringLiteral("DROP INDEX %1;").arg(QString::fromLatin1(index)), ignored);
    exec(QStringLiteral("PRAGMA secure_delete=%1").arg(secureDelete), ignored);
}
