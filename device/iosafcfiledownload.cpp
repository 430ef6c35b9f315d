#include "device/iosafcfiledownload.h"

#include <QFileInfo>
#include <QLocale>

#include <stdexcept>

#include "device/mobiledevice_afc.h"
#include "foundation/fileutil.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"

namespace {

[[noreturn]] void fail(const QString& text)
{
    throw std::runtime_error(text.toStdString());
}

// The last component of a device path.
QString deviceFileName(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

// "%L2KB / %L3KB" filled in one go, so a '%' in the name is never read as a marker.
QString progressText(const QString& format, const QString& name, qint64 done, qint64 total)
{
    const QLocale locale;
    return format.arg(name, locale.toString(done / 1024), locale.toString(total / 1024));
}

} // namespace

IOSAfcFileDownload::IOSAfcFileDownload(const QString& cacheDbPath, ProgressForm& form)
    : m_form(form)
    , m_cache(cacheDbPath)
{
}

void IOSAfcFileDownload::downloadFileThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QString& localPath,
                                           bool useCache)
{
    if (m_form.cancelled)
        throw -1;
    const QFileInfo local(localPath);
    QDir().mkpath(local.absolutePath());
    if (info.isDir() || !info.isFile())
        return;
    const qint64 secs = info.mtime.toSecsSinceEpoch();
    // The cache knows the device side only: a local copy that has gone, or
    // was cut, is fetched again even when the device file has not changed.
    if (useCache && m_cache.fileDateSecs(info.path) == secs && safefile::isRegularFile(localPath)
        && local.size() == info.size)
        return;

    AfcFile file;
    if (!afc.readFile(info.path, file))
        fail(tr("Please restart your phone to try again.<br/><br/>can not read %1.").arg(info.path));
    safefile::AtomicFile out(localPath);
    QString error;
    if (!out.open(&error))
        fail(QStringLiteral("can not create %1.%2").arg(localPath, error));
    if (m_buffer.isEmpty())
        m_buffer.resize(kBufferSize);
    const QString name = deviceFileName(info.path);
    for (qint64 total = 0; !m_form.cancelled;) {
        const int n = file.read(m_buffer.data(), kBufferSize);
        if (n < 0 || (n == 0 && total < info.size)) // a read error, or a file cut short
            fail(tr("Please restart your phone to try again.<br/><br/>can not read %1.").arg(info.path));
        if (n == 0) {
            if (!out.commit(&error))
                fail(QStringLiteral("write file %1 failed. %2").arg(localPath, error));
            if (useCache)
                m_cache.setFileDate(info.path, secs);
            return;
        }
        if (out.file().write(m_buffer.constData(), n) != n)
            fail(QStringLiteral("write file %1 failed. %2").arg(localPath, out.file().errorString()));
        total += n;
        m_form.invokeUpdateProgress(QString(), -1, progressText(tr("Loading %1, %L2KB / %L3KB"), name, total, info.size));
    }
    throw -1; // the temporary file goes with `out`
}

void IOSAfcFileDownload::downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QDir& localParent,
                                          bool useCache)
{
    downloadDirThrow(afc, info, localParent, useCache, 0);
}

void IOSAfcFileDownload::downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QDir& localParent,
                                          bool useCache, int depth)
{
    if (m_form.cancelled)
        throw -1;
    if (!info.isDir())
        return;
    if (depth > kMaxDepth)
        fail(QStringLiteral("%1 lies too deep.").arg(info.path));
    auto localName = [](const QString& devicePath) {
        const QString name = g_formatFileName(deviceFileName(devicePath));
        return name == QLatin1String(".") || name == QLatin1String("..") ? QString() : name;
    };
    const QString folderName = localName(info.path);
    if (folderName.isEmpty())
        return;
    const QDir folder(localParent.filePath(folderName));
    for (const _AfcFileInfo& entry : afc.ls_finfo(info.path)) {
        const QString name = localName(entry.path);
        if (name.isEmpty())
            continue;
        if (entry.isFile())
            downloadFileThrow(afc, entry, folder.filePath(name), useCache);
        else if (entry.isDir())
            downloadDirThrow(afc, entry, folder, useCache, depth + 1);
    }
}

IOSAfcFileUpload::IOSAfcFileUpload(ProgressForm& form) : m_form(form) {}

void IOSAfcFileUpload::uploadFileThrow(mobiledevice_afc& afc, const QString& localPath, const QString& devicePath,
                                       bool overwrite)
{
    if (m_form.cancelled)
        throw -1;
    const QString name = deviceFileName(devicePath);
    m_form.invokeUpdateProgress(QString(), -1, tr("Sending %1").arg(name));
    if (!QFileInfo::exists(localPath) || devicePath.isEmpty())
        return;
    if (!overwrite) {
        const _AfcFileInfo there = afc.fileInfo(devicePath);
        if (there.isFile() && there.size >= 1)
            return;
    }
    const QString folder = devicePath.section(QLatin1Char('/'), 0, -2);
    if (!folder.isEmpty() && !afc.fileInfo(folder).isValid())
        afc.mkdir(folder);

    // The local file is opened first: a file that cannot be read must not
    // cost the device file its content.
    QFile local(localPath);
    if (!local.open(QIODevice::ReadOnly))
        fail(QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not read %1.").arg(localPath));
    AfcFile file;
    if (!afc.writeFile(devicePath, file))
        fail(QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not create %1.").arg(devicePath));
    if (m_buffer.isEmpty())
        m_buffer.resize(kBufferSize);
    const qint64 total = local.size();
    const QString writeError = QStringLiteral("IOSAfcFileDownload::uploadFileThrow, write device file %1 error.").arg(devicePath);
    QString error;
    for (qint64 done = 0; error.isEmpty();) {
        const qint64 n = local.read(m_buffer.data(), kBufferSize);
        if (n == 0)
            break;
        if (n < 0)
            error = QStringLiteral("IOSAfcFileDownload::uploadFileThrow, read %1 error. %2").arg(localPath, local.errorString());
        else if (file.write(m_buffer.constData(), int(n)) != n)
            error = writeError;
        else
            m_form.invokeUpdateProgress(QString(), -1,
                                        progressText(tr("Sending %1, %L2KB / %L3KB"), name, done += n, total));
    }
    if (error.isEmpty() && file.close())
        return;
    // A device file cut half-way would pass for the whole one.
    file.close();
    afc.del(devicePath);
    fail(error.isEmpty() ? writeError : error);
}
