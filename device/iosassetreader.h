#pragma once

#include <QSharedPointer>
#include <QString>

#include "device/iosafcfiledownload.h"
#include "device/iosassetdb.h"
#include "device/mobiledevice_afc.h"

class IOSDevice;
class ProgressForm;

// Finds an asset of the phone's photo library by its UUID in a copy of the
// phone's photo database, fetched over AFC into the device's cache folder
// once per reader, and downloads the asset's file or thumbnail with the date
// cache "iphone.asset.manifest.db" of that folder. Runs on a worker thread;
// throws as the download does, and std::runtime_error when the copied
// database cannot be read.
class IOSAssetReader
{
public:
    IOSAssetReader(QSharedPointer<IOSDevice> device, ProgressForm& form);
    IOSAssetReader(const IOSAssetReader&) = delete;
    IOSAssetReader& operator=(const IOSAssetReader&) = delete;

    // Connects on the first call and fetches the database once: a fetch that
    // fails or is cancelled is not tried again by this reader.
    void startCheckThrow();
    bool isAssetExistsThrow(const QString& uuid);
    // False when the asset is not a regular file on the phone.
    bool downloadAssetThrow(const QString& uuid, const QString& localPath);
    bool downloadAssetThumbnailThrow(const QString& uuid, const QString& localPath);

private:
    bool downloadThrow(const QString& devicePath, const QString& localPath);

    QSharedPointer<IOSDevice> m_device;
    IOSAfcFileDownload m_download;
    bool m_serviceStarted = false;
    bool m_fetched = false;
    mobiledevice_afc m_afc;
    QString m_dbPath;
    IOSAssetDb m_db;
};
