#include "device/mobiledevice_afc.h"

#include <QBuffer>
#include <QIODevice>

#include <libimobiledevice/lockdown.h>

namespace {

// The library's list of strings (key, value, ... or names), NULL-terminated,
// freed when this goes.
struct AfcList
{
    ~AfcList()
    {
        if (items)
            afc_dictionary_free(items);
    }
    char** items = nullptr;
};

} // namespace

bool _AfcFileInfo::isFile() const
{
    return ifmt.compare("S_IFREG", Qt::CaseInsensitive) == 0;
}

bool _AfcFileInfo::isDir() const
{
    return ifmt.compare("S_IFDIR", Qt::CaseInsensitive) == 0;
}

bool _AfcFileInfo::isLink() const
{
    return ifmt.compare("S_IFLNK", Qt::CaseInsensitive) == 0;
}

int AfcFile::read(char* buffer, int length)
{
    uint32_t done = 0;
    if (!isOpen() || length < 0 || afc_file_read(m_client, m_handle, buffer, uint32_t(length), &done) != AFC_E_SUCCESS)
        return -1;
    return int(done);
}

int AfcFile::write(const char* data, int length)
{
    uint32_t done = 0;
    if (!isOpen() || length < 0 || afc_file_write(m_client, m_handle, data, uint32_t(length), &done) != AFC_E_SUCCESS)
        return -1;
    return int(done);
}

int AfcFile::lock(afc_lock_op_t op)
{
    return isOpen() ? afc_file_lock(m_client, m_handle, op) : 1;
}

bool AfcFile::close()
{
    if (!isOpen())
        return true;
    const bool ok = afc_file_close(m_client, m_handle) == AFC_E_SUCCESS;
    m_handle = 0;
    m_client = nullptr;
    return ok;
}

mobiledevice_afc::mobiledevice_afc(const QString& udid) : m_device(udid) {}

mobiledevice_afc::~mobiledevice_afc()
{
    closeService();
}

bool mobiledevice_afc::startService()
{
    closeService();
    if (!m_device.open())
        return false;
    lockdownd_service_descriptor_t service = nullptr;
    if (lockdownd_start_service(m_device.client(), "com.apple.afc", &service) != LOCKDOWN_E_SUCCESS) {
        lockdownd_service_descriptor_free(service);
        return false;
    }
    const bool ok = afc_client_new(m_device.device(), service, &m_afc) == AFC_E_SUCCESS;
    lockdownd_service_descriptor_free(service);
    if (!ok)
        m_afc = nullptr;
    return ok;
}

void mobiledevice_afc::closeService()
{
    if (m_afc)
        afc_client_free(m_afc);
    m_afc = nullptr;
}

_AfcFileInfo mobiledevice_afc::fileInfo(const QString& path)
{
    AfcList list;
    if (!m_afc || afc_get_file_info(m_afc, path.toUtf8().constData(), &list.items) != AFC_E_SUCCESS || !list.items)
        return _AfcFileInfo();
    _AfcFileInfo info(path);
    for (char** p = list.items; p[0] && p[1]; p += 2) {
        const QByteArray key(p[0]);
        if (key == "st_ifmt")
            info.ifmt = QString::fromLatin1(p[1]);
        else if (key == "st_size")
            info.size = QByteArray(p[1]).toLongLong();
        else if (key == "st_mtime")
            // Whole integer division: through a double, times of today
            // (about 1.7e18 ns) would be rounded up to the next millisecond.
            info.mtime = QDateTime::fromMSecsSinceEpoch(QByteArray(p[1]).toLongLong() / 1000000);
    }
    return info;
}

QStringList mobiledevice_afc::ls(const QString& path, bool skipDots)
{
    AfcList list;
    QStringList names;
    if (!m_afc || afc_read_directory(m_afc, path.toUtf8().constData(), &list.items) != AFC_E_SUCCESS || !list.items)
        return names;
    for (char** p = list.items; *p; ++p) {
        const QString name = QString::fromUtf8(*p);
        if (!skipDots || (name != "." && name != ".."))
            names.append(name);
    }
    return names;
}

QList<_AfcFileInfo> mobiledevice_afc::ls_finfo(const QString& path)
{
    QList<_AfcFileInfo> infos;
    // Joined as device paths: a local QDir would resolve a relative one
    // against this computer's working folder.
    const QString prefix = path.endsWith('/') ? path : path + '/';
    for (const QString& name : ls(path, true)) {
        const _AfcFileInfo info = fileInfo(prefix + name);
        if (info.isValid())
            infos.append(info);
    }
    return infos;
}

bool mobiledevice_afc::mkdir(const QString& path)
{
    return m_afc && afc_make_directory(m_afc, path.toUtf8().constData()) == AFC_E_SUCCESS;
}

bool mobiledevice_afc::del(const QString& path)
{
    return m_afc && delCode(path) == AFC_E_SUCCESS;
}

int mobiledevice_afc::delCode(const QString& path)
{
    return afc_remove_path_and_contents(m_afc, path.toUtf8().constData());
}

bool mobiledevice_afc::delLeftover(const QString& path)
{
    if (!m_afc)
        return false;
    int code = delCode(path);
    // A connection that broke off answers with one of these; the phone's
    // own refusals come as its status codes and would only come again.
    if (code == AFC_E_MUX_ERROR || code == AFC_E_NOT_ENOUGH_DATA || code == AFC_E_OP_HEADER_INVALID) {
        mobiledevice_afc fresh(m_device.udid());
        code = fresh.startService() ? fresh.delCode(path) : AFC_E_MUX_ERROR;
    }
    return code == AFC_E_SUCCESS || code == AFC_E_OBJECT_NOT_FOUND;
}

bool mobiledevice_afc::rename(const QString& from, const QString& to)
{
    return m_afc && afc_rename_path(m_afc, from.toUtf8().constData(), to.toUtf8().constData()) == AFC_E_SUCCESS;
}

bool mobiledevice_afc::openFile(const QString& path, afc_file_mode_t mode, AfcFile& file)
{
    file.close();
    uint64_t handle = 0;
    if (!m_afc || afc_file_open(m_afc, path.toUtf8().constData(), mode, &handle) != AFC_E_SUCCESS || handle == 0)
        return false;
    file.m_client = m_afc;
    file.m_handle = handle;
    return true;
}

bool mobiledevice_afc::readFile(const QString& path, AfcFile& file)
{
    return openFile(path, AFC_FOPEN_RDONLY, file);
}

bool mobiledevice_afc::readWriteFile(const QString& path, AfcFile& file)
{
    return openFile(path, AFC_FOPEN_RW, file);
}

bool mobiledevice_afc::writeFile(const QString& path, AfcFile& file)
{
    return openFile(path, AFC_FOPEN_WRONLY, file);
}

bool mobiledevice_afc::readFileContent(const QString& path, QIODevice& out)
{
    AfcFile file;
    if (!readFile(path, file))
        return false;
    QByteArray buffer(kBlockSize, Qt::Uninitialized);
    for (;;) {
        const int n = file.read(buffer.data(), kBlockSize);
        if (n <= 0) {
            const bool closed = file.close();
            return n == 0 && closed;
        }
        if (out.write(buffer.constData(), n) != n)
            return false;
    }
}

QByteArray mobiledevice_afc::readFileContent(const QString& path, bool* complete)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const bool ok = readFileContent(path, buffer);
    if (complete)
        *complete = ok;
    return bytes;
}

bool mobiledevice_afc::writeFileContent(const QString& path, QIODevice& in)
{
    AfcFile file;
    if (!writeFile(path, file))
        return false;
    QByteArray buffer(kBlockSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), kBlockSize);
        if (n == 0)
            return file.close();
        if (n < 0 || file.write(buffer.constData(), int(n)) != n)
            return false;
    }
}

bool mobiledevice_afc::writeFileContent(const QString& path, const QByteArray& data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return writeFileContent(path, buffer);
}
