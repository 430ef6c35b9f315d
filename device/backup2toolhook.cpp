#include "device/backup2toolhook.h"

#include <QFileInfo>

#include <sys/stat.h>

#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/safefile.h"

namespace {

enum class Kind { Missing, File, Folder, Other };

// What is at path itself: a link is Other, whatever it points to.
Kind kindOf(const QString& path, struct stat* st = nullptr)
{
    struct stat own;
    st = st ? st : &own;
    if (::lstat(QFile::encodeName(path).constData(), st) != 0)
        return Kind::Missing;
    return S_ISREG(st->st_mode) ? Kind::File : S_ISDIR(st->st_mode) ? Kind::Folder : Kind::Other;
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

Backup2ToolHook::~Backup2ToolHook() = default;

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
    const QString local = localPath(root, path, &error);
    if (local.isEmpty())
        return RefusedPath;
    makeParent(local);
    file.setFileName(local);
    if (!safefile::openRegular(file, local, QIODevice::WriteOnly | QIODevice::Truncate, &error))
        return file.error() != QFileDevice::NoError ? file.error() : QFileDevice::OpenError;
    return 0;
}

void Backup2ToolHook::recvFileEnd(const QDir&, const QString&, quint64)
{
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
