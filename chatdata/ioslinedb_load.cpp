// Loading the users, chats and groups of a LINE store into a LineData.
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_p.h"

#include "chatdata/linedata.h"
#include "chatdata/linetime.h"

namespace {

_LineGroupInfo* groupFromRow(LineData& data, const Sqlite3Cursor& cur, qint64 key, _LineUser* creator)
{
    if (_LineGroupInfo* g = data.group(key))
        return g;
    auto* g = new _LineGroupInfo;
    data.insertGroup(key, g);
    g->id = key;
    g->uid = cur.getText("ZID");
    g->name = cur.getText("ZNAME");
    g->createTs = dtFromTimestamp(cur.getDouble("ZCREATEDTIME"));
    g->picStatus = cur.getText("ZPICTURESTATUS");
    g->creator = creator;
    return g;
}

} // namespace

void IOSLineDb::loadDataThrow(LineData& data)
{
    openCheckThrow();

    // The owner is compared by mid without regard to case; without an
    // account mid nobody is the owner.
    const auto isOwner = [this](const QString& uid) {
        return !mid.isEmpty() && uid.compare(mid, Qt::CaseInsensitive) == 0;
    };
    QHash<QString, qint64> userKeyByMid;
    QHash<QString, qint64> chatKeyByMid;
    _LineUser* owner = nullptr;

    {
        Sqlite3Cursor cur = queryThrow(Sqlite3Sql("select * from ZUSER"));
        while (cur.moveNext()) {
            const qint64 key = cur.getInt64("Z_PK");
            if (data.user(key))
                continue;
            auto* u = new _LineUser;
            data.insertUser(key, u);
            u->id = key;
            u->uid = cur.getText("ZMID");
            u->contactName = cur.getText("ZADDRESSBOOKNAME");
            u->serverName = cur.getText("ZNAME");
            u->customName = cur.getText("ZCUSTOMNAME");
            u->createTs = dtFromTimestamp(cur.getDouble("ZCREATEDTIME"));
            u->picUri = cur.getText("ZPICTUREURL");
            userKeyByMid.insert(u->uid, key);
            if (isOwner(u->uid))
                owner = u;
        }
    }
    if (!owner && !mid.isEmpty()) {
        owner = new _LineUser;
        owner->id = -999;
        owner->uid = mid;
        owner->contactName = name;
        owner->serverName = name.isEmpty() ? QStringLiteral("Keep") : name;
        data.insertUser(-999, owner);
    }

    {
        const bool hasEnable = schema.containsCol(QStringLiteral("ZCHAT"), QStringLiteral("ZENABLE"));
        // Disabled by the purge's own test, so that what opening kept is
        // exactly what is loaded: Core Data leaves an unset flag NULL, and a
        // flag that is no number is no 0 either.
        Sqlite3Cursor cur = queryThrow(Sqlite3Sql(
            QStringLiteral("select c.*, u.Z_PK as rel_userid, %1 as chat_disabled"
                           " from ZCHAT as c left join ZUSER as u on c.ZMID=u.ZMID")
                .arg(hasEnable ? QStringLiteral("(c.%1)").arg(QLatin1String(ioslinedb_p::kChatDisabled))
                               : QStringLiteral("0"))));
        while (cur.moveNext()) {
            if (cur.getInt("chat_disabled") == 1)
                continue;
            const qint64 key = cur.getInt64("Z_PK");
            if (data.chat(key))
                continue;
            auto* c = new _LineChat;
            data.insertChat(key, c);
            c->id = key;
            c->uid = cur.getText("ZMID");
            chatKeyByMid.insert(c->uid, key);
            const int type = cur.getInt("ZTYPE");
            c->type = (type == LineChatType::MULTI || type == LineChatType::GROUP) ? type : LineChatType::SINGLE;
            if (c->type != LineChatType::SINGLE && owner)
                c->users.insert(owner);
            c->lastTs = dtFromTimestamp(cur.getDouble("ZLASTUPDATED"));
            if (c->type == LineChatType::SINGLE) {
                if (_LineUser* u = data.user(cur.getInt64("rel_userid")))
                    c->users.insert(u);
            }
        }
    }

    // Join tables that the schema lacks have no rows to give.
    const auto forEachJoinRow = [this](const _MembersTable& j, const auto& add) {
        if (!schema.containsTable(j.table))
            return;
        Sqlite3Cursor cur =
            queryThrow(Sqlite3Sql(QStringLiteral("select * from %1").arg(sqlite3QuoteIdentifier(j.table))));
        while (cur.moveNext())
            add(cur.getInt64(j.ownerColumn), cur.getInt64(j.userColumn));
    };
    forEachJoinRow(chatMembers, [&](qint64 chatKey, qint64 userKey) {
        _LineChat* c = data.chat(chatKey);
        _LineUser* u = data.user(userKey);
        if (c && u && !isOwner(u->uid))
            c->users.insert(u);
    });

    const auto linkToChat = [&](_LineGroupInfo* g, qint64 chatKey) {
        if (chatKey == 0)
            return;
        if (_LineChat* c = data.chat(chatKey)) {
            c->group = g;
            if (owner)
                g->members.insert(owner);
        }
    };

    if (!groupDb.isOpen()) {
        if (schema.containsTable(QStringLiteral("ZGROUP"))) {
            Sqlite3Cursor cur = queryThrow(Sqlite3Sql(
                "select g.*, c.Z_PK as chat_id from ZGROUP as g left join ZCHAT as c on g.ZID=c.ZMID"));
            while (cur.moveNext()) {
                const qint64 key = cur.getInt64("Z_PK");
                _LineGroupInfo* g = groupFromRow(data, cur, key, data.user(cur.getInt64("ZCREATOR")));
                linkToChat(g, cur.getInt64("chat_id"));
            }
        }
        forEachJoinRow(groupMembers, [&](qint64 groupKey, qint64 userKey) {
            _LineGroupInfo* g = data.group(groupKey);
            _LineUser* u = data.user(userKey);
            if (g && u && !isOwner(u->uid))
                g->members.insert(u);
        });
    } else {
        // The group store has users of its own. Its ZCREATOR, like its join
        // table, holds a key of ZUNIFIEDGROUPUSER (Core Data never links
        // across stores), so the creator is found by that user's mid among
        // the main store's users, exactly as the members are.
        QHash<qint64, QString> groupUserMid;
        const bool hasUsers = groupDb.schema.containsTable(QStringLiteral("ZUNIFIEDGROUPUSER"));
        if (hasUsers) {
            Sqlite3Cursor cur = groupDb.queryThrow(Sqlite3Sql("select Z_PK, ZMID from ZUNIFIEDGROUPUSER"));
            while (cur.moveNext())
                groupUserMid.insert(cur.getInt64("Z_PK"), cur.getText("ZMID"));
        }
        const auto mainUserByMid = [&](const QString& uid) -> _LineUser* {
            auto it = userKeyByMid.constFind(uid);
            return it == userKeyByMid.constEnd() ? nullptr : data.user(*it);
        };
        if (groupDb.schema.containsTable(QStringLiteral("ZUNIFIEDGROUP"))) {
            Sqlite3Cursor cur = groupDb.queryThrow(Sqlite3Sql("select * from ZUNIFIEDGROUP"));
            while (cur.moveNext()) {
                const qint64 key = cur.getInt64("Z_PK");
                const qint64 creatorKey = cur.getInt64("ZCREATOR");
                _LineUser* creator = nullptr;
                auto cm = groupUserMid.constFind(creatorKey);
                if (creatorKey != 0 && cm != groupUserMid.constEnd())
                    creator = mainUserByMid(*cm);
                _LineGroupInfo* g = groupFromRow(data, cur, key, creator);
                linkToChat(g, chatKeyByMid.value(cur.getText("ZID"), 0));
            }
        }
        const _MembersTable& j = groupDb.memberChatUsers;
        if (hasUsers && groupDb.schema.containsTable(j.table)) {
            Sqlite3Sql sql(QStringLiteral("select j.%1 as group_id, u.ZMID as user_uid from %2 as j "
                                          "inner join ZUNIFIEDGROUPUSER as u on j.%3 = u.Z_PK")
                               .arg(sqlite3QuoteIdentifier(j.ownerColumn), sqlite3QuoteIdentifier(j.table),
                                    sqlite3QuoteIdentifier(j.userColumn)));
            Sqlite3Cursor cur = groupDb.queryThrow(sql);
            while (cur.moveNext()) {
                _LineGroupInfo* g = data.group(cur.getInt64("group_id"));
                _LineUser* u = mainUserByMid(cur.getText("user_uid"));
                if (g && u && !isOwner(u->uid))
                    g->members.insert(u);
            }
        }
    }

    {
        Sqlite3Cursor cur =
            queryThrow(Sqlite3Sql("select ZCHAT, max(ZTIMESTAMP) as last_ts from ZMESSAGE group by ZCHAT"));
        while (cur.moveNext()) {
            if (_LineChat* c = data.chat(cur.getInt64("ZCHAT")))
                c->lastTs = QDateTime::fromMSecsSinceEpoch(cur.getInt64("last_ts"));
        }
    }

    for (_LineChat* c : data.chats()) {
        if (c->group)
            for (_LineUser* u : std::as_const(c->group->members))
                c->users.insert(u);
    }
}
