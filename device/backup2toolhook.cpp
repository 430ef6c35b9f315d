#include "device/backup2toolhook.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/safefile.h"

namespace {

enum class Kind { Missing, File, Folder, Other };

// What is at path itself: a link is Other, whatever it points to, and so is
// a file with a second name, which may lie anywhere on the disk.
Kind kindOf(const QString& path, struct stat* st = nullptr)
{
    struct stat own;
    st = st ? st : &own;
    if (::lstat(QFile::encodeName(path).constData(), st) != 0)
        return Kind::Missing;
    if (S_ISREG(st->st_mode))
        return st->st_nlink == 1 ? Kind::File : Kind::Other;
    return S_ISDIR(st->st_mode) ? Kind::Folder : Kind::Other;
}

// Whatever is at path goes: a folder with its tree, anything else itself.
void removeAt(const QString& path)
{
    if (kindOf(path) == Kind::Folder)
        rmdir_recursive(path);
    else
        QFile::remove(path);
}

void makeParent(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
}

constexpr int kCopyError = QFileDevice::CopyError;

int copyTree(const QString& from, const QString& to, QString& error)
{
    const Kind source = kindOf(from);
    if (source != Kind::File && source != Kind::Folder)
        return 0; // missing, or a link that is never followed
    const Kind dest = kindOf(to);
    if (source == Kind::File) {
        if (dest == Kind::Folder) {
            error = QStringLiteral("Destination is a folder.");
            return kCopyError;
        }
        if (dest != Kind::Missing)
            QFile::remove(to);
        makeParent(to);
        QFile file(from);
        if (!file.copy(to)) {
            error = file.errorString();
            return file.error();
        }
        return 0;
    }
    if (dest == Kind::File) {
        error = QStringLiteral("Destination is a file.");
        return kCopyError;
    }
    if (dest == Kind::Other)
        QFile::remove(to);
    QDir().mkpath(to);
    const QStringList names =
        QDir(from).entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : names) {
        if (const int r = copyTree(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name, error))
            return r;
    }
    return 0;
}

} // namespace

QString Backup2ToolHook::localPath(const QDir& root, const QString& path, QString* error, const QString& folder)
{
    QString clean;
    if (safefile::cleanRelativePath(path, &clean)
        && (folder.isEmpty() || clean == folder || clean.startsWith(folder + QLatin1Char('/'))))
        return safefile::resolveInside(root.absolutePath(), clean, error);
    if (error)
        *error = QStringLiteral("refused path \"%1\"").arg(path);
    return QString();
}

Backup2ToolHook::~Backup2ToolHook()
{
    dropIncoming();
}

void Backup2ToolHook::beginThrow(const QDir&, const QString&)
{
}

bool Backup2ToolHook::onHandleMsgContinue(const QDir&, const QString&, const PlistCFType&, int&, QString&)
{
    return true;
}

QList<Backup2ToolHook::DirItem> Backup2ToolHook::dirContents(const QDir& root, const QString& path)
{
    QList<DirItem> items;
    const QString folder = localPath(root, path, nullptr);
    if (folder.isEmpty())
        return items;
    const QStringList names =
        QDir(folder).entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : names) {
        struct stat st;
        const Kind kind = kindOf(folder + QLatin1Char('/') + name, &st);
        if (kind == Kind::Missing)
            continue;
        items.append({name, kind == Kind::Folder ? 2 : 1, qint64(st.st_size),
                      QDateTime::fromSecsSinceEpoch(st.st_mtime)});
    }
    return items;
}

void Backup2ToolHook::recvFileBegin(const QDir&, const QString&, const QString&, const QString&)
{
}

int Backup2ToolHook::recvFileOpenWrite(const QDir& root, const QString& path, QFile& file, QString& error)
{
    dropIncoming();
    const QString local = localPath(root, path, &error);
    if (local.isEmpty())
        return RefusedPath;
    if (kindOf(local) == Kind::Folder) {
        error = QStringLiteral("%1 is a folder").arg(local);
        return QFileDevice::OpenError;
    }
    makeParent(local);
    // Hidden, so that no folder listing shows it to the phone.
    const QFileInfo info(local);
    QByteArray pattern =
        QFile::encodeName(info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".part-XXXXXX"));
    // O_EXCL: whatever is planted at a name is never opened.
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot create a file beside %1: %2").arg(local, QString::fromLocal8Bit(strerror(errno)));
        return QFileDevice::OpenError;
    }
    const QString temp = QFile::decodeName(pattern);
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ::unlink(pattern.constData());
        error = file.errorString();
        return QFileDevice::OpenError;
    }
    m_incoming = {path, local, temp, &file};
    return 0;
}

void Backup2ToolHook::recvFileEnd(const QDir&, const QString& path, quint64 size)
{
    if (!m_incoming.file || m_incoming.path != path)
        return; // dropped, not written
    const Incoming in = std::exchange(m_incoming, Incoming());
    QFile& file = *in.file;
    const bool whole = file.isOpen() && file.error() == QFileDevice::NoError && file.flush()
        && quint64(file.pos()) == size;
    if (whole && ::rename(QFile::encodeName(in.temp).constData(), QFile::encodeName(in.target).constData()) == 0)
        return;
    const int code = errno;
    ::unlink(QFile::encodeName(in.temp).constData());
    if (whole) // the data is all here, but cannot take its place
        throw std::runtime_error(QStringLiteral("backup2tool::recvFileThrow: Write %1 failed. %2")
                                     .arg(in.target, QString::fromLocal8Bit(strerror(code)))
                                     .toUtf8()
                                     .toStdString());
}

void Backup2ToolHook::dropIncoming()
{
    if (!m_incoming.temp.isEmpty())
        ::unlink(QFile::encodeName(m_incoming.temp).constData());
    m_incoming = Incoming();
}

int Backup2ToolHook::moveFile(const QDir& root, const QString& from, const QString& to, QString& error)
{
    const QString src = localPath(root, from, &error);
    const QString dst = src.isEmpty() ? QString() : localPath(root, to, &error);
    if (dst.isEmpty())
        return RefusedPath;
    if (kindOf(src) == Kind::Missing || src == dst)
        return 0;
    // Clearing the destination first would delete the source along with it.
    // Both paths are resolved below the same root without a link, so their
    // text tells whether one lies in the other (a backup moves every file
    // it receives: no need to ask the file system again).
    if (src.startsWith(dst + QLatin1Char('/')) || dst.startsWith(src + QLatin1Char('/'))) {
        error = QStringLiteral("cannot move \"%1\" onto \"%2\"").arg(from, to);
        return QFileDevice::RenameError;
    }
    removeAt(dst);
    makeParent(dst);
    QFile file(src);
    if (!file.rename(dst)) {
        error = file.errorString();
        return file.error();
    }
    return 0;
}

int Backup2ToolHook::removeFile(const QDir& root, const QString& path, QString& error)
{
    const QString local = localPath(root, path, &error);
    if (local.isEmpty())
        return RefusedPath;
    removeAt(local);
    return 0;
}

int Backup2ToolHook::copyFile(const QDir& root, const QString& from, const QString& to, QString& error)
{
    const QString src = localPath(root, from, &error);
    const QString dst = src.isEmpty() ? QString() : localPath(root, to, &error);
    if (dst.isEmpty())
        return RefusedPath;
    return copy_recursive(src, dst, error);
}

int Backup2ToolHook::mkdir(const QDir& root, const QString& path, QString& error)
{
    const QString local = localPath(root, path, &error);
    if (local.isEmpty())
        return RefusedPath;
    if (kindOf(local) == Kind::Missing)
        QDir().mkpath(local);
    return 0;
}

void rmdir_recursive(const QString& path)
{
    g_delDirCascade(path);
}

int copy_recursive(const QString& from, const QString& to, QString& error)
{
    if (kindOf(from) != Kind::Missing && pathutil::isSameOrBelow(to, from)) {
        error = QStringLiteral("Destination lies inside the source.");
        return kCopyError;
    }
    return copyTree(from, to, error);
}
