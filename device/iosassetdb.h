#pragma once

#include <QString>

#include "foundation/sqlite3db.h"

// A copy of the phone's photo database (Photos.sqlite); only table
// ZGENERICASSET is read. Each query opens the copy first when it is not open
// (read-write, as SQLite needs to take in a copied "-wal" file). Failures throw.
class IOSAssetDb : public Sqlite3DB
{
public:
    explicit IOSAssetDb(const QString& path);

    void openCheckThrow();
    bool isAssetExistsThrow(const QString& uuid);
    // The asset's device path "/<ZDIRECTORY>/<ZFILENAME>"; empty when unknown.
    QString assetPath(const QString& uuid);
    // The device path of the asset's thumbnail: kind 1 (video) its .THM
    // beside the photo data, kind 0 (photo) its file below "/DCIM/.THMB".
    // Empty for other kinds and for folders not named like "100APPLE".
    QString assetThumbnailPath(const QString& uuid);

private:
    QString m_path;
};
