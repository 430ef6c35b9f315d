#include "tests/support/linestorecheck.h"

#include <QHash>
#include <QProcess>
#include <QStandardPaths>

#include <stdexcept>

#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linemsgsdatasource.h"

#include "chatdata/ioslinedb.h"

LineRestoreTally restoreLineMessagesThrow(IOSLineDb& db, const QList<_LineMsg>& msgs)
{
    LineRestoreTally tally;
    QHash<const _LineChat*, qint64> chatKeys;
    for (const _LineMsg& msg : msgs) {
        if (!isLineMsgUidValid(msg.uid) || !msg.chat)
            continue;
        auto known = chatKeys.constFind(msg.chat);
        if (known == chatKeys.constEnd()) {
            bool enabled = false;
            qint64 chatPk = db.findChatThrow(msg.chat->uid, enabled);
            if (chatPk == 0) {
                chatPk = db.insertChatThrow(msg.chat);
                ++tally.chatsAdded;
                db.saveChatMembersThrow(chatPk, msg.chat);
                if (_LineGroupInfo* group = msg.chat->group) {
                    if (db.findGroupInfoThrow(group->uid) == 0) {
                        const qint64 groupPk = db.insertGroupInfoThrow(*group);
                        tally.groupsAdded += groupPk != 0;
                        db.saveGroupMembersThrow(groupPk, group);
                    }
                }
            } else if (!enabled) {
                db.runSqlThrow(Sqlite3Sql(QStringLiteral("update ZCHAT set ZENABLE=1 where Z_PK=%1").arg(chatPk)));
                ++tally.chatsEnabled;
            }
            known = chatKeys.insert(msg.chat, chatPk);
        }
        if (db.findMsgThrow(*known, msg.uid) != 0)
            ++tally.messagesSkipped;
        else if (db.insertMsgThrow(*known, &msg) != 0)
            ++tally.messagesAdded;
    }
    return tally;
}

QString sortedUids(const QSet<_LineUser*>& users)
{
    QStringList list;
    for (const _LineUser* u : users)
        list << u->uid;
    list.sort();
    return list.join(QLatin1Char(','));
}

QString rowsOf(Sqlite3DB& db, const Sqlite3Sql& sql)
{
    QStringList out;
    for (Sqlite3Cursor cur = db.queryThrow(sql); cur.moveNext();) {
        QStringList cols;
        for (int i = 0; i < cur.columnCount(); ++i)
            cols << (cur.isNull(i) ? QStringLiteral("NULL") : cur.getText(i));
        out << cols.join(QLatin1Char('|'));
    }
    return out.join(QLatin1Char('\n'));
}

bool sqlitecli::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty();
}

QString sqlitecli::textThrow(const QString& dbPath, const QString& sql)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), QStringLiteral("-batch"), dbPath, sql});
    p.closeWriteChannel();
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error(("sqlite3 failed: " + sql).toStdString());
    const QByteArray err = p.readAllStandardError();
    if (!err.isEmpty())
        throw std::runtime_error(("sqlite3 " + sql + ": " + QString::fromUtf8(err)).toStdString());
    QString out = QString::fromUtf8(p.readAllStandardOutput());
    if (out.endsWith(QLatin1Char('\n')))
        out.chop(1);
    return out;
}

QStringList lineStoreProblemsThrow(const QString& dbPath)
{
    // Each line: what is wrong, and how many rows are.
    static const char* const kChecks = R"SQL(
with ent(n, t) as (values (1, 'ZCHAT'), (2, 'ZCHATMETADATA'), (4, 'ZGROUP'), (5, 'ZMESSAGE'), (12, 'ZUSER')),
rows(t, pk, e) as (select 'ZCHAT', Z_PK, Z_ENT from ZCHAT
  union all select 'ZCHATMETADATA', Z_PK, Z_ENT from ZCHATMETADATA
  union all select 'ZGROUP', Z_PK, Z_ENT from ZGROUP union all select 'ZMESSAGE', Z_PK, Z_ENT from ZMESSAGE
  union all select 'ZUSER', Z_PK, Z_ENT from ZUSER)
select * from (
select 'message without chat', count(*) from ZMESSAGE where ZCHAT not in (select Z_PK from ZCHAT)
union all select 'message of no user', count(*) from ZMESSAGE where ZSENDER not in (select Z_PK from ZUSER)
union all select 'group creator no user', count(*) from ZGROUP where ZCREATOR not in (select Z_PK from ZUSER)
union all select 'metadata without chat', count(*) from ZCHATMETADATA where ZCHAT not in (select Z_PK from ZCHAT)
union all select 'chat member row dangling', count(*) from Z_1MEMBERS
  where Z_1CHATS not in (select Z_PK from ZCHAT) or Z_12MEMBERS not in (select Z_PK from ZUSER)
union all select 'group member row dangling', count(*) from Z_4MEMBERS
  where Z_4GROUPS not in (select Z_PK from ZGROUP) or Z_12MEMBERS1 not in (select Z_PK from ZUSER)
union all select 'message id twice in a chat', count(*) from
  (select 1 from ZMESSAGE where ZID <> '' group by ZCHAT, ZID having count(*) > 1)
union all select 'user mid twice', count(*) from (select 1 from ZUSER group by ZMID having count(*) > 1)
union all select 'chat mid twice', count(*) from (select 1 from ZCHAT group by ZMID having count(*) > 1)
union all select 'group id twice', count(*) from (select 1 from ZGROUP group by ZID having count(*) > 1)
union all select 'row without its entity number', count(*) from rows join ent on ent.t = rows.t where e is not n
union all select 'key above Z_MAX', count(*) from ent where (select ifnull(max(pk), 0) from rows where rows.t = ent.t)
  > (select ifnull(max(Z_MAX), 0) from Z_PRIMARYKEY where Z_ENT = ent.n)
union all select 'integrity_check', count(*) from pragma_integrity_check where integrity_check <> 'ok'
union all select 'foreign_key_check', count(*) from pragma_foreign_key_check);
)SQL";
    QStringList problems;
    for (const QString& line : sqlitecli::textThrow(dbPath, QString::fromLatin1(kChecks)).split(QLatin1Char('\n')))
        if (!line.endsWith(QLatin1String("|0")))
            problems << line;
    return problems;
}

QStringList messageLinesThrow(const QString& lineDir, const std::function<QString(const _LineMsg&)>& line)
{
    auto db = QSharedPointer<IOSLineDb>::create(QDir(lineDir), QString());
    LineData data(db, 5000);
    db->loadDataThrow(data);
    LineMsgsDataSource all(data, nullptr, true);
    QStringList out;
    for (qint64 i = 0; i < all.sizeThrow(); ++i)
        out << line(all.msgThrow(i));
    return out;
}
