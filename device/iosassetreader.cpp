#include "device/iosassetreader.h"

#include <QFile>

#include <exception>

#include "device/iosdevice.h"

namespace {

const char* const kDbFiles[] = {"Photos.sqlite", "Photos.sqlite-shm", "Photos.sqlite-wal"};

} // namespace

IOSAssetReader::IOSAssetReader(QSharedPointer<IOSDevice> device, ProgressForm& form)
    : m_device(device)
    , m_download(device->cacheDir().filePath(QStringLiteral("iphone.asset.manifest.db")), form)
    , m_afc(device->udid)
    , m_dbPath(device->cacheDir().filePath(QStringLiteral("Photos.sqlite")))
    , m_db(m_dbPath)
{
}

void IOSAssetReader::startCheckThrow()
{
    if (!m_serviceStarted) {
        m_afc.startService(); // a phone that cannot be reached leaves no database to find anything in
        m_serviceStarted = true;
    }
    if (m_fetched)
        return;
    const QDir cache = m_device->cacheDir();
    for (const char* name : kDbFiles)
        QFile::remove(cache.filePath(QLatin1String(name)));
    try {
        for (const char* name : kDbFiles)
            m_download.downloadFileThrow(m_afc, m_afc.fileInfo(QStringLiteral("/PhotoData/") + QLatin1String(name)),
                                         cache.filePath(QLatin1String(name)), false);
    } catch (...) { // int -1 on cancel, or a failed copy: the reader looks up what it has
    }
    m_fetched = true;
}

bool IOSAssetReader::isAssetExistsThrow(const QString& uuid)
{
    startCheckThrow();
    return m_db.isAssetExistsThrow(uuid);
}

bool IOSAssetReader::downloadAssetThrow(const QString& uuid, const QString& localPath)
{
    startCheckThrow();
    return downloadThrow(m_db.assetPath(uuid), localPath);
}

bool IOSAssetReader::downloadAssetThumbnailThrow(const QString& uuid, const QString& localPath)
{
    startCheckThrow();
    return downloadThrow(m_db.assetThumbnailPath(uuid), localPath);
}

bool IOSAssetReader::downloadThrow(const QString& devicePath, const QString& localPath)
{
    const _AfcFileInfo info = m_afc.fileInfo(devicePath);
    if (!info.isFile())
        return false;
    m_download.downloadFileThrow(m_afc, info, localPath, true);
    return true;
}
