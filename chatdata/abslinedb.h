#pragma once

#include <QList>
#include <QString>

#include "chatdata/linemsg.h"
#include "foundation/sqlite3db.h"

class LineData;

// One LINE database, whether the program's own local database or a copy of
// the LINE app's store: an SQLite connection that can load its chats, users
// and groups into a LineData and hand out its messages a page at a time.
// Every operation throws std::runtime_error with a UTF-8 text on failure.
class AbsLineDb : public Sqlite3DB
{
public:
    AbsLineDb();
    ~AbsLineDb() override;

    // Opens, checks and prepares the database unless it is open already.
    virtual void openCheckThrow() = 0;
    // Opens when needed, then inserts every user, chat and group into
    // `data`, with each chat's lastTs, group and users and each group's
    // creator and members pointing into `data`.
    virtual void loadDataThrow(LineData& data) = 0;
    // Messages of `chat`, or of all chats when it is null.
    virtual qint64 messagesCountThrow(_LineChat* chat) = 0;
    // Page `page` (counted from 1) of `pageSize` messages of `chat` (all
    // chats when null), by time, oldest first when `asc`. Each message's
    // chat and from point into `data`.
    virtual QList<_LineMsg> messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc) = 0;

    // Opens when needed and runs one statement of a writer.
    void runSqlThrow(const Sqlite3Sql& sql);
    // Every row of `table`, for inspection. The name is quoted, so it may
    // come from the database itself.
    QList<Sqlite3Row> tableRowsThrow(const QString& table);
};
