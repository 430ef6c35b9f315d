#include "device/backup2toolhook.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "device/backup2tool_p.h"
#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/safefile.h"

namespace {

using Kind = Backup2ToolHook::Kind;

Kind kindOf(const struct stat& st)
{
    if (S_ISREG(st.st_mode))
        return st.st_nlink == 1 ? Kind::File : Kind::Other;
    return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Other;
}

Kind kindOf(const QString& path, struct stat* st = nullptr)
{
    struct stat own;
    st = st ? st : &own;
    if (::lstat(QFile::encodeName(path).constData(), st) != 0)
        return Kind::Missing;
    return kindOf(*st);
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Folders remembered per hook before the memory starts afresh.
constexpr int kMaxCheckedFolders = 4096;

void makeParent(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
}

// A folder and its missing parents, with the reason when one cannot be made
// (QDir::mkpath tells none).
bool makeFolders(const QString& path, QString* error)
{
    const QByteArray bytes = QFile::encodeName(path);
    for (qsizetype at = 1; at <= bytes.size(); ++at) {
        if (at < bytes.size() && bytes[at] != '/')
            continue;
        const QByteArray folder = bytes.left(at);
        struct stat st;
        if (::mkdir(folder.constData(), 0777) == 0
            || (errno == EEXIST && ::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode)))
            continue;
        const int code = errno == EEXIST ? ENOTDIR : errno;
        *error = QStringLiteral("cannot make the folder %1: %2").arg(QFile::decodeName(folder), errnoText(code));
        return false;
    }
    return true;
}

constexpr int kCopyError = QFileDevice::CopyError;

int copyTree(const QString& from, const QString& to, QString& error, const std::function<bool()>& cancelled)
{
    if (cancelled && cancelled()) {
        error = QStringLiteral("The copy was cancelled.");
        return QFileDevice::AbortError;
    }
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
        if (const int r = copyTree(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name, error, cancelled))
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

QString Backup2ToolHook::checkedPath(const QDir& root, const QString& path, QString* error, const QString& folder,
                                     Kind* kind)
{
    return resolve(root, path, error, folder, kind, nullptr);
}

QString Backup2ToolHook::resolve(const QDir& root, const QString& path, QString* error, const QString& folder,
                                 Kind* kind, bool* parentExists)
{
    QString clean;
    if (!safefile::cleanRelativePath(path, &clean)
        || !(folder.isEmpty() || clean == folder || clean.startsWith(folder + QLatin1Char('/')))) {
        if (error)
            *error = QStringLiteral("refused path \"%1\"").arg(path);
        return QString();
    }
    const QString base = root.absolutePath();
    if (base != m_checkedRoot) {
        m_checkedFolders.clear();
        m_checkedRoot = base;
    }
    const QString full = base + QLatin1Char('/') + clean;
    for (const Found& found : m_found) {
        if (found.local == full) {
            if (kind)
                *kind = found.kind;
            if (parentExists)
                *parentExists = found.parentExists;
            return full;
        }
    }
    const auto remember = [&](Kind found, bool parent) {
        if (kind)
            *kind = found;
        if (parentExists)
            *parentExists = parent;
        m_found[m_nextFound] = {full, found, parent};
        m_nextFound = (m_nextFound + 1) % 2;
        return full;
    };
    // Below the deepest folder known to be real, every component is looked
    // at itself; a link anywhere refuses the path, and what does not exist
    // yet (with all below it) is about to be made.
    qsizetype known = clean.lastIndexOf(QLatin1Char('/'));
    while (known > 0 && !m_checkedFolders.contains(clean.left(known)))
        known = clean.lastIndexOf(QLatin1Char('/'), known - 1);
    for (qsizetype at = known < 0 ? 0 : known + 1;;) {
        const qsizetype slash = clean.indexOf(QLatin1Char('/'), at);
        const qsizetype end = slash < 0 ? clean.size() : slash;
        struct stat st;
        QString why;
        if (::lstat(QFile::encodeName(full.left(base.size() + 1 + end)).constData(), &st) != 0) {
            const int code = errno;
            if (code == ENOENT)
                return remember(Kind::Missing, slash < 0);
            why = QStringLiteral("%1: %2").arg(clean.left(end), errnoText(code));
        } else if (S_ISLNK(st.st_mode)) {
            why = QStringLiteral("it passes through a link");
        } else if (slash < 0) {
            return remember(kindOf(st), true);
        } else if (!S_ISDIR(st.st_mode)) {
            // What is there, so that the phone and the log tell a file in
            // the way from an attack.
            why = clean.left(end) + (S_ISREG(st.st_mode) ? QStringLiteral(" is a file, not a folder")
                                                         : QStringLiteral(" is not a folder"));
        }
        if (!why.isEmpty()) {
            if (error)
                *error = QStringLiteral("refused path \"%1\": %2").arg(clean, why);
            return QString();
        }
        if (m_checkedFolders.size() >= kMaxCheckedFolders)
            m_checkedFolders.clear();
        m_checkedFolders.insert(clean.left(end));
        at = slash + 1;
    }
}

void Backup2ToolHook::forgetFound()
{
    for (Found& found : m_found)
        found = Found();
}

void Backup2ToolHook::forgetFolders(const QString& local)
{
    forgetFound();
    if (!local.startsWith(m_checkedRoot + QLatin1Char('/')))
        return;
    const QString rel = local.mid(m_checkedRoot.size() + 1);
    const QString below = rel + QLatin1Char('/');
    for (auto it = m_checkedFolders.begin(); it != m_checkedFolders.end();) {
        if (*it == rel || it->startsWith(below))
            it = m_checkedFolders.erase(it);
        else
            ++it;
    }
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
    const QString folder = checkedPath(root, path, nullptr);
    if (folder.isEmpty())
        return items;
    const QStringList names =
        QDir(folder).entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : names) {
        if (isCancelled())
            break; // the engine sends no part of a listing
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
    Kind kind = Kind::Missing;
    bool parentExists = true;
    const QString local = resolve(root, path, &error, QString(), &kind, &parentExists);
    if (local.isEmpty())
        return RefusedPath;
    forgetFound();
    if (kind == Kind::Folder) {
        error = QStringLiteral("%1 is a folder").arg(local);
        return QFileDevice::OpenError;
    }
    if (!parentExists)
        makeParent(local);
    // Hidden, so that no folder listing shows it to the phone; a target name
    // of nearly 255 bytes lends it a shorter start.
    const qsizetype slash = local.lastIndexOf(QLatin1Char('/'));
    const QString suffix = QStringLiteral(".part-XXXXXX");
    const QString name = QLatin1Char('.') + pathutil::fitNameStart(local.mid(slash + 1), QLatin1Char('.') + suffix);
    QByteArray pattern = QFile::encodeName(local.left(slash + 1) + name + suffix);
    // O_EXCL: whatever is planted at a name is never opened.
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot create a file beside %1: %2").arg(local, errnoText(errno));
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

void Backup2ToolHook::removePartialUploads(const QString& folder)
{
    static const QRegularExpression partial(QStringLiteral("\\A\\..+\\.part-[0-9A-Za-z]{6}\\z"));
    // Subdirectories are entered only when they are folders, never links.
    QDirIterator it(folder, {QStringLiteral(".*.part-*")}, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (partial.match(it.fileName()).hasMatch() && ::lstat(QFile::encodeName(path).constData(), &st) == 0
            && S_ISREG(st.st_mode))
            ::unlink(QFile::encodeName(path).constData());
    }
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
                                     .arg(backup2detail::asText(in.target), backup2detail::asText(errnoText(code)))
                                     .toUtf8()
                                     .toStdString());
}

void Backup2ToolHook::recvFileAbort(const QDir&, const QString& path)
{
    if (m_incoming.path == path)
        dropIncoming();
}

void Backup2ToolHook::dropIncoming()
{
    if (!m_incoming.temp.isEmpty()) {
        forgetFound();
        ::unlink(QFile::encodeName(m_incoming.temp).constData());
    }
    m_incoming = Incoming();
}

int Backup2ToolHook::moveFile(const QDir& root, const QString& from, const QString& to, QString& error)
{
    Kind source = Kind::Missing, dest = Kind::Missing;
    bool destParent = true;
    const QString src = resolve(root, from, &error, QString(), &source, nullptr);
    const QString dst = src.isEmpty() ? QString() : resolve(root, to, &error, QString(), &dest, &destParent);
    forgetFound();
    if (dst.isEmpty())
        return RefusedPath;
    if (source == Kind::Missing || src == dst)
        return 0;
    // Clearing the destination first would delete the source along with it.
    // Both paths are resolved below the same root without a link, so their
    // text tells whether one lies in the other (a backup moves every file
    // it receives: no need to ask the file system again).
    if (src.startsWith(dst + QLatin1Char('/')) || dst.startsWith(src + QLatin1Char('/'))) {
        error = QStringLiteral("cannot move \"%1\" onto \"%2\"").arg(from, to);
        return QFileDevice::RenameError;
    }
    removeAt(dst, dest);
    if (!destParent)
        makeParent(dst);
    if (source == Kind::Folder)
        forgetFolders(src);
    if (::rename(QFile::encodeName(src).constData(), QFile::encodeName(dst).constData()) != 0) {
        error = QStringLiteral("cannot move \"%1\" onto \"%2\": %3").arg(from, to, errnoText(errno));
        return QFileDevice::RenameError;
    }
    return 0;
}

int Backup2ToolHook::removeFile(const QDir& root, const QString& path, QString& error)
{
    Kind kind = Kind::Missing;
    const QString local = resolve(root, path, &error, QString(), &kind, nullptr);
    forgetFound();
    if (local.isEmpty())
        return RefusedPath;
    removeAt(local, kind);
    return 0;
}

int Backup2ToolHook::copyFile(const QDir& root, const QString& from, const QString& to, QString& error)
{
    const QString src = checkedPath(root, from, &error);
    const QString dst = src.isEmpty() ? QString() : checkedPath(root, to, &error);
    forgetFound();
    if (dst.isEmpty())
        return RefusedPath;
    return copy_recursive(src, dst, error, m_cancelled);
}

int Backup2ToolHook::mkdir(const QDir& root, const QString& path, QString& error)
{
    Kind kind = Kind::Missing;
    const QString local = resolve(root, path, &error, QString(), &kind, nullptr);
    forgetFound();
    if (local.isEmpty())
        return RefusedPath;
    if (kind == Kind::Folder)
        return 0;
    if (kind != Kind::Missing) {
        error = path
            + (kind == Kind::File ? QStringLiteral(" is a file, not a folder") : QStringLiteral(" is not a folder"));
        return QFileDevice::OpenError;
    }
    return makeFolders(local, &error) ? 0 : int(QFileDevice::OpenError);
}

void Backup2ToolHook::removeAt(const QString& local, Kind kind)
{
    if (kind == Kind::Folder) {
        forgetFolders(local);
        rmdir_recursive(local);
    } else if (kind != Kind::Missing) {
        ::unlink(QFile::encodeName(local).constData());
    }
}

void rmdir_recursive(const QString& path)
{
    g_delDirCascade(path);
}

int copy_recursive(const QString& from, const QString& to, QString& error, const std::function<bool()>& cancelled)
{
    if (kindOf(from) != Kind::Missing && pathutil::isSameOrBelow(to, from)) {
        error = QStringLiteral("Destination lies inside the source.");
        return kCopyError;
    }
    return copyTree(from, to, error, cancelled);
}
