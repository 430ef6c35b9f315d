#include "chatdata/ioslinegroupdb.h"

#include <stdexcept>

QHash<QString, qint32> readCoreDataEntitiesThrow(Sqlite3DB& db)
{
    QHash<QString, qint32> keys;
    // Entity numbers are written into table and column names ("Z_12MEMBERS"):
    // one that is no positive integer in 32 bits names no table Core Data
    // made, and is left out so that the default number applies.
    Sqlite3Cursor cur = db.queryThrow(Sqlite3Sql("select Z_NAME, Z_ENT from Z_PRIMARYKEY"
                                                 " where typeof(Z_ENT)='integer' and Z_ENT between 1 and 2147483647"));
    while (cur.moveNext())
        keys.insert(cur.getText(0), cur.getInt(1));
    return keys;
}

IOSLineGroupDb::IOSLineGroupDb() = default;

IOSLineGroupDb::~IOSLineGroupDb() = default;

void IOSLineGroupDb::openCheckThrow(const QString& path)
{
    if (isOpen())
        return;
    openThrow(path, 2);
    try {
        schema.loadDbThrow(*this);
        primaryKeys = readCoreDataEntitiesThrow(*this);
        unifiedGroupEnt = primaryKeys.value(QStringLiteral("UnifiedGroup"), 0);
        unifiedGroupUserEnt = primaryKeys.value(QStringLiteral("UnifiedGroupUser"), 0);
        memberChatUsers.table = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(unifiedGroupEnt);
        memberChatUsers.ownerColumn = QStringLiteral("Z_%1GROUPS").arg(unifiedGroupEnt);
        memberChatUsers.userColumn = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(unifiedGroupUserEnt);
    } catch (const std::exception&) {
        // An open connection counts as "prepared"; never leave one that is not.
        close();
        throw;
    }
}
