#include "tests/support/linestorecheck.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <stdexcept>

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
                    qint64 groupPk = db.findGroupInfoThrow(group->uid);
                    if (groupPk == 0) {
                        groupPk = db.insertGroupInfoThrow(*group);
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

namespace sqlitecli {

bool available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty();
}

static QByteArray runThrow(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), args);
    if (!p.waitForStarted(30000))
        throw std::runtime_error("sqlite3 did not start");
    p.closeWriteChannel();
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        throw std::runtime_error("sqlite3 did not finish");
    }
    const QByteArray err = p.readAllStandardError();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0 || !err.isEmpty())
        throw std::runtime_error(("sqlite3 " + args.join(QLatin1Char(' ')) + ": " + QString::fromUtf8(err))
                                     .toStdString());
    return p.readAllStandardOutput();
}

QList<QVariantMap> rowsThrow(const QString& dbPath, const QString& sql)
{
    const QByteArray out = runThrow({QStringLiteral("-readonly"), QStringLiteral("-json"), dbPath, sql});
    QList<QVariantMap> rows;
    if (out.trimmed().isEmpty())
        return rows;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(out, &error);
    if (!doc.isArray())
        throw std::runtime_error(("sqlite3 -json gave no array: " + error.errorString()).toStdString());
    for (const QJsonValue& v : doc.array())
        rows.append(v.toObject().toVariantMap());
    return rows;
}

QString textThrow(const QString& dbPath, const QString& sql)
{
    QString out = QString::fromUtf8(runThrow({QStringLiteral("-readonly"), QStringLiteral("-batch"), dbPath, sql}));
    if (out.endsWith(QLatin1Char('\n')))
        out.chop(1);
    return out;
}

} // namespace sqlitecli

QStringList lineStoreProblemsThrow(const QString& dbPath)
{
    QStringList problems;
    const QString integrity = sqlitecli::textThrow(dbPath, QStringLiteral("PRAGMA integrity_check"));
    if (integrity != QLatin1String("ok"))
        problems << QStringLiteral("integrity_check: ") + integrity;
    const QString foreign = sqlitecli::textThrow(dbPath, QStringLiteral("PRAGMA foreign_key_check"));
    if (!foreign.isEmpty())
        problems << QStringLiteral("foreign_key_check: ") + foreign;

    QHash<QString, QSet<QString>> columns; // upper-case table -> upper-case columns
    for (const QVariantMap& r : sqlitecli::rowsThrow(
             dbPath, QStringLiteral("select m.name as t, p.name as c from sqlite_master as m,"
                                    " pragma_table_info(m.name) as p where m.type='table'")))
        columns[r.value("t").toString().toUpper()].insert(r.value("c").toString().toUpper());
    const auto has = [&](const QString& table, const QString& column = QString()) {
        return columns.contains(table) && (column.isEmpty() || columns.value(table).contains(column));
    };
    const auto expectNone = [&](const QString& label, const QString& sql) {
        const QList<QVariantMap> rows =
            sqlitecli::rowsThrow(dbPath, QStringLiteral("select count(*) as n from (%1)").arg(sql));
        const qint64 n = rows.value(0).value("n").toLongLong();
        if (n != 0)
            problems << QStringLiteral("%1: %2").arg(label).arg(n);
    };
    const auto dangling = [&](const QString& table, const QString& column, const QString& target) {
        if (has(table, column) && has(target))
            expectNone(QStringLiteral("%1.%2 names no %3 row").arg(table, column, target),
                       QStringLiteral("select 1 from \"%1\" where \"%2\" is not null and \"%2\" not in"
                                      " (select Z_PK from \"%3\")")
                           .arg(table, column, target));
    };

    QHash<int, QString> entityTables;
    if (has("Z_PRIMARYKEY")) {
        for (const QVariantMap& r :
             sqlitecli::rowsThrow(dbPath, QStringLiteral("select Z_ENT, Z_NAME from Z_PRIMARYKEY"))) {
            const int ent = r.value("Z_ENT").toInt();
            const QString name = r.value("Z_NAME").toString().toUpper();
            const QString table = name.startsWith(QLatin1Char('Z')) && has(name) ? name : QStringLiteral("Z") + name;
            if (!has(table))
                continue;
            entityTables.insert(ent, table);
            if (has(table, "Z_ENT"))
                expectNone(QStringLiteral("%1 rows without entity %2").arg(table).arg(ent),
                           QStringLiteral("select 1 from \"%1\" where Z_ENT is not %2").arg(table).arg(ent));
            expectNone(QStringLiteral("%1 keys above Z_MAX").arg(table),
                       QStringLiteral("select 1 where (select ifnull(max(Z_PK),0) from \"%1\") >"
                                      " (select ifnull(max(Z_MAX),0) from Z_PRIMARYKEY where Z_ENT=%2)")
                           .arg(table)
                           .arg(ent));
        }
    }

    dangling("ZMESSAGE", "ZCHAT", "ZCHAT");
    dangling("ZMESSAGE", "ZSENDER", "ZUSER");
    dangling("ZGROUP", "ZCREATOR", "ZUSER");
    dangling("ZCHATMETADATA", "ZCHAT", "ZCHAT");

    // Join tables: each column is named after the entity whose key it holds.
    static const QRegularExpression joinTable(QStringLiteral("^Z_\\d+[A-Z]+\\d*$"));
    static const QRegularExpression joinColumn(QStringLiteral("^Z_(\\d+)[A-Z]+\\d*$"));
    QStringList tables = columns.keys();
    tables.sort();
    for (const QString& table : std::as_const(tables)) {
        if (!joinTable.match(table).hasMatch())
            continue;
        QStringList cols = columns.value(table).values();
        cols.sort();
        for (const QString& col : std::as_const(cols)) {
            const QRegularExpressionMatch m = joinColumn.match(col);
            const QString target = m.hasMatch() ? entityTables.value(m.captured(1).toInt()) : QString();
            if (!target.isEmpty())
                dangling(table, col, target);
        }
        if (cols.size() == 2)
            expectNone(QStringLiteral("%1 pairs twice").arg(table),
                       QStringLiteral("select 1 from \"%1\" group by \"%2\", \"%3\" having count(*) > 1")
                           .arg(table, cols.at(0), cols.at(1)));
    }

    if (has("ZMESSAGE", "ZID"))
        expectNone("ZMESSAGE ids twice in a chat",
                   "select 1 from ZMESSAGE where ZID is not null and ZID <> '' group by ZCHAT, ZID having count(*) > 1");
    if (has("ZUSER", "ZMID"))
        expectNone("ZUSER mids twice", "select 1 from ZUSER where ZMID is not null group by ZMID having count(*) > 1");
    if (has("ZCHAT", "ZMID"))
        expectNone("ZCHAT mids twice", "select 1 from ZCHAT where ZMID is not null group by ZMID having count(*) > 1");
    if (has("ZGROUP", "ZID"))
        expectNone("ZGROUP ids twice", "select 1 from ZGROUP where ZID is not null group by ZID having count(*) > 1");
    return problems;
}
