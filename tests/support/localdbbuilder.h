#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "foundation/sqlite3db.h"

// Builds a local database ("marrowquist-line.db" in a folder) row by row
// from its documented layout, with plain SQL, and reads back what the code
// under test wrote without going through it.
//
// The earlier format lacks line_msg.ver, line_user.custom_name and the
// index on line_msg(ts).
class LocalDbBuilder
{
public:
    enum Format { Current, Earlier };

    // Creates the folder and a database with the tables of `format`; the
    // one-argument form opens an existing file.
    LocalDbBuilder(const QString& folder, Format format);
    explicit LocalDbBuilder(const QString& folder);

    static QString dbPath(const QString& folder);

    qint64 addUser(const QVariant& uid, const QString& contactName = QString(), const QString& serverName = QString(),
                   qint64 createTs = 0);
    qint64 addChat(const QString& uid, const QVariant& type);
    // creatorId 0: NULL.
    qint64 addGroup(const QString& uid, qint64 creatorId, const QString& name, const QString& picStatus = QString(),
                    qint64 createTs = 0);
    void addChatUser(qint64 chatId, qint64 userId);
    void addGroupMember(qint64 groupId, qint64 userId);
    // fromId 0, a null atta and a null ver are stored as NULL; `ver` is not
    // written in the earlier format.
    qint64 addMsg(const QString& uid, const QString& type, qint64 ts, qint64 chatId, qint64 fromId,
                  const QByteArray& content, const QByteArray& atta = QByteArray(), const QVariant& ver = 1);

    void exec(const QString& sql);
    // Each row of a query as its columns' texts joined by "|" (NULL: ""),
    // and the first column of the first row (null without a row).
    QStringList lines(const QString& sql);
    QVariant value(const QString& sql);
    qint64 count(const QString& table);
    bool hasColumn(const QString& table, const QString& column);
    bool hasIndex(const QString& name);

    Sqlite3DB& db() { return m_db; }

private:
    qint64 insert(const QString& table, const QList<QPair<QString, QVariant>>& values);

    Sqlite3DB m_db;
    Format m_format = Current;
};
