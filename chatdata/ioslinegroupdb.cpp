#include "chatdata/ioslinegroupdb.h"

#include <stdexcept>

IOSLineGroupDb::IOSLineGroupDb() = default;

IOSLineGroupDb::~IOSLineGroupDb() = default;

void IOSLineGroupDb::openCheckThrow(const QString& path)
{
    if (isOpen())
        return;
    openThrow(path, 2);
    try {
        schema.loadDbThrow(*this);
        QHash<QString, qint32> keys;
        Sqlite3Cursor cur = queryThrow(Sqlite3Sql("select * from Z_PRIMARYKEY"));
        while (cur.moveNext())
            keys.insert(cur.getText("Z_NAME"), cur.getInt("Z_ENT"));
        primaryKeys = keys;
        unifiedGroupEnt = keys.value(QStringLiteral("UnifiedGroup"), 0);
        unifiedGroupUserEnt = keys.value(QStringLiteral("UnifiedGroupUser"), 0);
        memberChatUsers.table = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(unifiedGroupEnt);
        memberChatUsers.ownerColumn = QStringLiteral("Z_%1GROUPS").arg(unifiedGroupEnt);
        memberChatUsers.userColumn = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(unifiedGroupUserEnt);
    } catch (const std::exception&) {
        // An open connection counts as "prepared"; never leave one that is not.
        close();
        throw;
    }
}
