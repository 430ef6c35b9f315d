#include "device/fakebackup2toolhook.h"

#include <QFileInfo>

#include <stdexcept>

#include <libimobiledevice/installation_proxy.h>

#include "device/idevice.h"
#include "foundation/safefile.h"

namespace {

// The upper-case container UUID in a text, or "".
QString uuidIn(const QString& text)
{
    static const QRegularExpression uuid("([a-f0-9]{8}-[a-f0-9]{4}-[a-f0-9]{4}-[a-f0-9]{4}-[a-f0-9]{12})",
                                         QRegularExpression::CaseInsensitiveOption);
    return uuid.match(text).captured(1).toUpper();
}

QString fileNameOf(const QString& path)
{
    return path.section('/', -1);
}

} // namespace

FakeBackup2ToolHook::FakeBackup2ToolHook()
    : alwaysKept({"info.plist", "status.plist", "manifest.mbdb", "manifest.mbdx", "manifest.db", "manifest.plist",
                  "80fa782261261e54bb73c0253e5b6beefb6a2f39"})
{
}

bool FakeBackup2ToolHook::isFileIncluded(const QDir&, const QString& path, QString deviceFileName)
{
    const QString name = fileNameOf(path);
    if (alwaysKept.contains(name.toLower()))
        return true;
    if (deviceFileName.isEmpty())
        deviceFileName = dnameDb.getDName(name);
    if (!deviceFileName.isEmpty()) {
        for (const QRegularExpression& filter : filters) {
            if (filter.match(deviceFileName).hasMatch())
                return true;
        }
    }
    const QString uuid = uuidIn(deviceFileName);
    if (!uuid.isEmpty()) {
        for (const QString& app : keepApps) {
            if (appUuids.value(app).contains(uuid))
                return true;
        }
    }
    if (!keepNonAppFiles)
        return false;
    return uuid.isEmpty() || !allUserAppUuids.contains(uuid);
}

void FakeBackup2ToolHook::readAppuids(const QString& udid)
{
    iDevice device(udid);
    if (!device.open())
        return;
    instproxy_client_t proxy = nullptr;
    if (instproxy_client_start_service(device.device(), &proxy, kLockdownLabel) != INSTPROXY_E_SUCCESS)
        return;
    PlistCFType attributes = PlistCFType::createCFArray();
    for (const char* name : {"CFBundleIdentifier", "Container", "GroupContainers"})
        attributes.append(PlistCFType::createCFString(name));
    PlistCFType options = PlistCFType::createCFDictionary();
    options.put("ApplicationType", PlistCFType::createCFString("User")).put("ReturnAttributes", attributes);
    plist_t result = nullptr;
    if (instproxy_browse(proxy, static_cast<plist_t>(options.ref()), &result) == INSTPROXY_E_SUCCESS) {
        const PlistCFType apps(result, true);
        for (int i = 0; i < apps.array_size(); ++i) {
            const PlistCFType app = apps.at(i);
            QSet<QString> uuids;
            const auto add = [&](const PlistCFType& container) {
                const QString uuid = uuidIn(container.CFStringQString());
                if (!uuid.isEmpty()) {
                    uuids.insert(uuid);
                    allUserAppUuids.insert(uuid);
                }
            };
            add(app.get("Container"));
            app.get("GroupContainers").dict_forEach([&](const QString&, const PlistCFType& container) {
                add(container);
                return true;
            });
            appUuids[app.get("CFBundleIdentifier").CFStringQString()] = uuids;
        }
    }
    instproxy_client_free(proxy);
}

void FakeBackup2ToolHook::openIndexThrow(const QDir& root, const QString& udid)
{
    if (dnameDb.isOpen())
        return;
    forgetFound(); // the index may be made now
    QString error;
    if (!dnameDb.open(root.absoluteFilePath(udid + "/dname.sqlite"), &error))
        throw std::runtime_error(QString("open dname.sqlite failed. %1").arg(error).toUtf8().toStdString());
}

void FakeBackup2ToolHook::beginThrow(const QDir& root, const QString& udid)
{
    if (!isValidUdid(udid))
        return; // names no folder; the engine finds no device for it
    const QDir folder(root.absoluteFilePath(udid));
    // An index without the file list it describes would list files the
    // backup does not have.
    if (!folder.exists("Manifest.db"))
        QFile::remove(folder.filePath("dname.sqlite"));
    if (folder.exists("dname.sqlite"))
        openIndexThrow(root, udid);
    readAppuids(udid);
}

QList<Backup2ToolHook::DirItem> FakeBackup2ToolHook::dirContents(const QDir& root, const QString& path)
{
    const QString name = fileNameOf(path);
    if (name.compare("Snapshot", Qt::CaseInsensitive) == 0)
        return Backup2ToolHook::dirContents(root, path);
    const QString prefix = name.size() <= 2 ? name : QString();
    const QList<DirItem> entries = dnameDb.items(prefix);
    if (prefix.isEmpty())
        return entries;
    QList<DirItem> items;
    for (const DirItem& entry : entries) {
        if (isCancelled())
            break; // the engine sends no part of a listing
        const QString rel = path + '/' + entry.name;
        if (!isFileIncluded(root, rel, QString())) {
            items.append(entry);
            continue;
        }
        Kind kind = Kind::Missing;
        const QString local = checkedPath(root, rel, nullptr, QString(), &kind);
        if (!local.isEmpty() && kind == Kind::File) {
            const QFileInfo real(local);
            items.append({entry.name, 1, real.size(), real.lastModified()});
        }
    }
    return items;
}

void FakeBackup2ToolHook::recvFileBegin(const QDir& root, const QString& udid, const QString& path,
                                        const QString& deviceFileName)
{
    openIndexThrow(root, udid);
    m_begunKept = isFileIncluded(root, path, deviceFileName);
    m_begunPath = path;
    m_begunDeviceName = deviceFileName;
}

int FakeBackup2ToolHook::recvFileOpenWrite(const QDir& root, const QString& path, QFile& file, QString& error)
{
    const bool kept = path == m_begunPath ? m_begunKept : isFileIncluded(root, path, QString());
    if (kept)
        return Backup2ToolHook::recvFileOpenWrite(root, path, file, error);
    dropIncoming();
    return 0;
}

void FakeBackup2ToolHook::recvFileEnd(const QDir& root, const QString& path, quint64 size)
{
    // The row of a file is written once, when its size is known; a file
    // whose data never ended has none, and the phone sends it again.
    if (path == m_begunPath) {
        dnameDb.insert(fileNameOf(path), m_begunDeviceName, m_begunKept, QDateTime::currentDateTimeUtc(),
                       qint64(size));
        m_begunPath.clear();
    } else {
        dnameDb.update(fileNameOf(path), QDateTime::currentDateTimeUtc(), qint64(size));
    }
    Backup2ToolHook::recvFileEnd(root, path, size);
}

int FakeBackup2ToolHook::removeFile(const QDir& root, const QString& path, QString& error)
{
    const QString name = fileNameOf(path);
    if (!path.contains("snapshot", Qt::CaseInsensitive) && name.size() >= 3)
        dnameDb.remove(name);
    Backup2ToolHook::removeFile(root, path, error);
    return 0;
}

int FakeBackup2ToolHook::copyFile(const QDir&, const QString&, const QString&, QString&)
{
    return 0;
}

int FakeBackup2ToolHook::mkdir(const QDir&, const QString&, QString&)
{
    return 0;
}
