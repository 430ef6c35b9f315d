#pragma once

#include <QHash>
#include <QString>

#include "foundation/dbschema.h"
#include "foundation/sqlite3db.h"

// The names of one many-to-many join table of a Core Data store: the table,
// the column that holds the owner's Z_PK (chat or group) and the column that
// holds the user's Z_PK. Core Data numbers them by entity, so they differ
// from store to store.
struct _MembersTable
{
    QString table;
    QString ownerColumn;
    QString userColumn;
};

// Z_NAME -> Z_ENT of a Core Data store's Z_PRIMARYKEY; a later row with
// the same name replaces an earlier one.
QHash<QString, qint32> readCoreDataEntitiesThrow(Sqlite3DB& db);

// The LINE app's companion group store ("UnifiedGroup.sqlite"): groups,
// their users and the join between them, with entity numbers of its own.
class IOSLineGroupDb : public Sqlite3DB
{
public:
    IOSLineGroupDb();
    ~IOSLineGroupDb() override;

    // Opens the store read-write (it must exist) and reads its entity
    // numbers; does nothing when it is open already. On failure the
    // connection is closed again, so a later call tries afresh.
    void openCheckThrow(const QString& path);

    DbSchema schema;
    QHash<QString, qint32> primaryKeys; // Z_NAME -> Z_ENT
    qint32 unifiedGroupEnt = 0;
    qint32 unifiedGroupUserEnt = 0;
    _MembersTable memberChatUsers;
};
