#include "chatdata/ioslinegroupdb.h"

#include <stdexcept>

QHash<QString, qint32> readCoreDataEntitiesThrow(Sqlite3DB& db)
{
    QHash<QString, qint32> keys;
    Sqlite3Cursor cur = db.queryThrow(Sqlite3Sql("select * from Z_PRIMARYKEY"));
    while (cur.moveNext())
        keys.insert(cur.getText("Z_NAME"), cur.getInt("Z_ENT"));
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
