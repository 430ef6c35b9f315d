#include "device/iosafcfiledownload.h"

#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <QSet>

#include <stdexcept>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "device/mobiledevice_afc.h"
#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
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
    if (m_form.cancelled)
        throw -1;
    if (!info.isDir())
        return;
    const QString folderName = localFileName(deviceFileName(info.path));
    if (!folderName.isEmpty())
        downloadDirThrow(afc, info, localParent.absolutePath(), folderName, useCache, 0);
}

void IOSAfcFileDownload::downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QString& root,
                                          const QString& folder, bool useCache, int depth)
{
    if (m_form.cancelled)
        throw -1;
    if (depth > kMaxDepth)
        fail(QStringLiteral("%1 lies too deep.").arg(info.path));
    const QList<_AfcFileInfo> entries = afc.ls_finfo(info.path);
    QStringList deviceNames;
    for (const _AfcFileInfo& entry : entries)
        deviceNames.append(entry.isFile() || entry.isDir() ? deviceFileName(entry.path) : QString());
    const QStringList names = localFileNames(deviceNames);
    bool made = false;
    for (int i = 0; i < entries.size(); ++i) {
        if (names[i].isEmpty())
            continue;
        const QString relative = folder + QLatin1Char('/') + names[i];
        if (entries[i].isDir()) {
            downloadDirThrow(afc, entries[i], root, relative, useCache, depth + 1);
            continue;
        }
        if (m_form.cancelled)
            throw -1;
        if (!made)
            makeRealFolders(root, folder);
        made = true;
        downloadFileThrow(afc, entries[i], root + QLatin1Char('/') + relative, useCache);
    }
}

QString IOSAfcFileDownload::localFileName(const QString& deviceName)
{
    const QString name = g_formatFileName(deviceName);
    return name == QLatin1String(".") || name == QLatin1String("..") ? QString() : name;
}

QStringList IOSAfcFileDownload::localFileNames(const QStringList& deviceNames)
{
    // Compared case-folded: on a file system that ignores case "A.jpg" and
    // "a.jpg" are one file too.
    QSet<QString> taken;
    QStringList names;
    for (const QString& deviceName : deviceNames) {
        names.append(localFileName(deviceName));
        // A name cleaning left alone keeps it, whatever the listing order:
        // the renamed one is the name the user never saw on the phone.
        if (!names.last().isEmpty() && names.last() == deviceName)
            taken.insert(names.last().toCaseFolded());
    }
    QSet<QString> given;
    for (int i = 0; i < names.size(); ++i) {
        QString& name = names[i];
        if (name.isEmpty())
            continue;
        const QString key = name.toCaseFolded();
        if (name == deviceNames[i] && !given.contains(key)) {
            given.insert(key);
            continue;
        }
        // "ab.txt" becomes "ab (2).txt"; a leading dot is no extension.
        const int dot = name.lastIndexOf(QLatin1Char('.'));
        const QString stem = dot > 0 ? name.left(dot) : name;
        const QString ext = dot > 0 ? name.mid(dot) : QString();
        QString candidate = name;
        // Filled in one pass, so a "%2" in the name itself is never read as a marker.
        for (int n = 2; taken.contains(candidate.toCaseFolded()) || given.contains(candidate.toCaseFolded()); ++n)
            candidate = QStringLiteral("%1 (%2)%3").arg(stem, QString::number(n), ext);
        name = candidate;
        given.insert(name.toCaseFolded());
    }
    return names;
}

void IOSAfcFileDownload::makeRealFolders(const QString& root, const QString& relative)
{
    if (!QDir().mkpath(root))
        fail(QStringLiteral("can not create %1.").arg(root));
    QString path = root;
    for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(path);
        struct stat st;
        if (::lstat(native.constData(), &st) != 0
            && (errno != ENOENT || (::mkdir(native.constData(), 0755) != 0 && errno != EEXIST)))
            fail(QStringLiteral("can not create %1.%2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        // A link planted here would take the files out of the target folder.
        if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            fail(QStringLiteral("can not create %1.%2")
                     .arg(path, QStringLiteral("Something other than a folder is in its way.")));
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
    // cost the device file anything.
    QFile local(localPath);
    if (!local.open(QIODevice::ReadOnly))
        fail(QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not read %1.").arg(localPath));
    // The bytes go to a name of their own and replace the device file by one
    // rename at the end: a connection that drops half-way leaves the old
    // file whole instead of emptied or cut. Beside a name near the phone's
    // limit the temporary one takes a shorter start.
    const QString place = devicePath.left(devicePath.size() - name.size());
    QString temp;
    for (int tries = 0; temp.isEmpty() && tries < 8; ++tries) {
        const QString suffix = QStringLiteral(".%1.upload").arg(QRandomGenerator::global()->generate(), 8, 16,
                                                                QLatin1Char('0'));
        temp = place + pathutil::fitNameStart(name, suffix) + suffix;
        if (afc.fileInfo(temp).isValid())
            temp.clear();
    }
    if (temp.isEmpty())
        fail(QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not create %1.").arg(devicePath));
    if (m_buffer.isEmpty())
        m_buffer.resize(kBufferSize);
    const qint64 total = local.size();
    const QString writeError = QStringLiteral("IOSAfcFileDownload::uploadFileThrow, write device file %1 error.").arg(devicePath);
    AfcFile file;
    QString error;
    // A phone whose answer to the opening was lost may have made the file all the same.
    if (!afc.writeFile(temp, file))
        error = QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not create %1.").arg(devicePath);
    // A started upload runs to its end: a cancel takes effect at the next call.
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
    if (error.isEmpty() && !file.close())
        error = writeError;
    if (error.isEmpty() && !afc.rename(temp, devicePath))
        error = QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not overwrite %1.").arg(devicePath);
    if (error.isEmpty())
        return;
    // A cut copy must not stay behind under a name of its own either.
    file.close();
    afc.delLeftover(temp);
    fail(error);
}
