#include "foundation/safefile.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/pathutil.h"

namespace safefile {

namespace {

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString errnoText(const QString& what, const QString& path, int code)
{
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code)));
}

} // namespace

bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

bool cleanRelativePath(const QString& path, QString* clean, int maxDepth)
{
    if (path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return false;
    // A path that is clean already (the usual case, met once per file of a
    // backup) is checked in one scan and returned as it is.
    bool plain = true;
    int depth = 0;
    for (qsizetype start = 0, i = 0; plain && i <= path.size(); ++i) {
        if (i < path.size() && path[i] != QLatin1Char('/'))
            continue;
        const QStringView part = QStringView(path).mid(start, i - start);
        plain = !part.isEmpty() && part != u"." && part != u"..";
        ++depth;
        start = i + 1;
    }
    if (plain && (maxDepth <= 0 || depth <= maxDepth)) {
        *clean = path;
        return true;
    }
    QStringList parts;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            return false;
        parts << part;
    }
    if (parts.isEmpty() || (maxDepth > 0 && parts.size() > maxDepth))
        return false;
    *clean = parts.join(QLatin1Char('/'));
    return true;
}

bool noLinkBelow(const QString& root, const QString& relative)
{
    QString path = root;
    for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return errno == ENOENT; // the rest is about to be created
        if (S_ISLNK(st.st_mode))
            return false;
    }
    return true;
}

QString resolveInside(const QString& root, const QString& relative, QString* error)
{
    QString clean;
    if (!cleanRelativePath(relative, &clean)) {
        setError(error, QStringLiteral("refused path \"%1\"").arg(relative));
        return QString();
    }
    if (!noLinkBelow(root, clean)) {
        setError(error, QStringLiteral("refused path \"%1\": it passes through a link").arg(relative));
        return QString();
    }
    return root + QLatin1Char('/') + clean;
}

namespace {

// A descriptor of a regular file at path, opened without blocking, or -1.
int openRegularFd(const QString& path, int access, bool followLink, struct stat* st, QString* error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          access | (followLink ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int code = errno;
        setError(error, errnoText(QStringLiteral("cannot open"), path, code));
        errno = code;
        return -1;
    }
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        setError(error, QStringLiteral("not a regular file: %1").arg(path));
        errno = EINVAL;
        return -1;
    }
    return fd;
}

} // namespace

bool openRegular(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error, bool followLink)
{
    int access = (mode & QIODevice::WriteOnly) ? O_RDWR : O_RDONLY;
    if ((mode & QIODevice::WriteOnly) && (mode & QIODevice::Truncate))
        access |= O_CREAT | O_TRUNC;
    struct stat st;
    const int fd = openRegularFd(path, access, followLink, &st, error);
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, (mode & QIODevice::WriteOnly) ? QIODevice::ReadWrite : QIODevice::ReadOnly,
                   QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setError(error, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

int openRegularForReading(const QString& path, qint64* size, bool followLink)
{
    struct stat st;
    const int fd = openRegularFd(path, O_RDONLY, followLink, &st, nullptr);
    if (fd >= 0)
        *size = qint64(st.st_size);
    return fd;
}

bool isRegularFile(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isSoleRegularFile(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

namespace {

// realpath(3) as text; empty with the reason in *code when it fails.
QString resolved(const QString& path, int* code)
{
    char* real = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!real) {
        *code = errno;
        return QString();
    }
    const QString text = QFile::decodeName(real);
    std::free(real);
    return text;
}

} // namespace

Confinement::Confinement(const QString& root)
    : m_root(QDir::cleanPath(QDir(root).absolutePath()))
{
}

bool Confinement::inside(const QString& real) const
{
    return real == m_rootReal || real.startsWith(m_rootReal + QLatin1Char('/'));
}

QString Confinement::realDir(const QString& relative)
{
    if (relative.isEmpty())
        return m_rootReal;
    const auto known = m_dirs.constFind(relative);
    if (known != m_dirs.constEnd())
        return *known;
    if (m_dirs.size() >= 4096)
        m_dirs.clear();
    QString result;
    const QString path = m_root + QLatin1Char('/') + relative;
    int code = 0;
    const QString real = resolved(path, &code);
    struct stat st;
    if (!real.isEmpty()) {
        if (inside(real))
            result = real;
    } else if (code == ENOENT && ::lstat(QFile::encodeName(path).constData(), &st) != 0 && errno == ENOENT) {
        // Not there yet (and no dangling link): where it would be made is
        // decided by the folder above it.
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString above = realDir(slash < 0 ? QString() : relative.left(slash));
        if (!above.isEmpty())
            result = above + QLatin1Char('/') + relative.mid(slash + 1);
    }
    m_dirs.insert(relative, result);
    return result;
}

QString Confinement::realPath(const QString& path, QString* error)
{
    if (m_rootReal.isEmpty()) { // the folder may have been made since
        int code = 0;
        m_rootReal = resolved(m_root, &code);
    }
    const QString prefix = m_root + QLatin1Char('/');
    QString clean;
    if (m_rootReal.isEmpty() || !path.startsWith(prefix) || !cleanRelativePath(path.mid(prefix.size()), &clean, 0)) {
        setError(error, QStringLiteral("refused path \"%1\": not below %2").arg(path, m_root));
        return QString();
    }
    const qsizetype slash = clean.lastIndexOf(QLatin1Char('/'));
    const QString dir = realDir(slash < 0 ? QString() : clean.left(slash));
    const QString full = dir + QLatin1Char('/') + clean.mid(slash + 1);
    QString real;
    struct stat st;
    if (dir.isEmpty()) {
    } else if (::lstat(QFile::encodeName(full).constData(), &st) != 0) {
        if (errno == ENOENT)
            return full; // about to be made, in a folder that is inside
    } else if (!S_ISLNK(st.st_mode)) {
        return full;
    } else {
        int code = 0;
        real = resolved(full, &code);
    }
    if (real.isEmpty() || !inside(real)) {
        setError(error, QStringLiteral("refused path \"%1\": it leads outside %2").arg(path, m_root));
        return QString();
    }
    return real;
}

int setModeOfNewFile(int fd, int permissions)
{
    if (::fchmod(fd, static_cast<mode_t>(permissions)) == 0)
        return 0;
    const int code = errno;
    return code == EPERM || code == EOPNOTSUPP || code == ENOTSUP ? 0 : code;
}

AtomicFile::AtomicFile(const QString& target, int permissions)
    : m_target(target)
    , m_permissions(permissions)
{
}

AtomicFile::~AtomicFile()
{
    discard();
}

bool AtomicFile::open(QString* error)
{
    discard();
    const QFileInfo info(m_target);
    // The temporary name must fit where the target's does: a target of
    // nearly 255 bytes lends it a shorter start.
    const QString suffix = QStringLiteral(".part-XXXXXX");
    const QString name = pathutil::fitNameStart(info.fileName(), suffix);
    QByteArray pattern = QFile::encodeName(info.absolutePath() + QLatin1Char('/') + name + suffix);
    // mkostemp creates with O_EXCL, so a link planted at the name is never followed.
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        setError(error, errnoText(QStringLiteral("cannot create a file beside"), m_target, errno));
        return false;
    }
    m_temp = QFile::decodeName(pattern);
    int code = setModeOfNewFile(fd, m_permissions);
    if (code != 0 || !m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        code = code ? code : errno;
        ::close(fd);
        discard();
        setError(error, errnoText(QStringLiteral("cannot write beside"), m_target, code));
        return false;
    }
    return true;
}

bool AtomicFile::commit(QString* error)
{
    if (m_temp.isEmpty() || !m_file.isOpen()) {
        setError(error, QStringLiteral("nothing to commit for %1").arg(m_target));
        return false;
    }
    bool ok = m_file.flush() && m_file.error() == QFileDevice::NoError;
    int code = ok ? 0 : EIO;
    if (ok && m_durable && ::fsync(m_file.handle()) != 0) {
        ok = false;
        code = errno;
    }
    const QString reason = m_file.errorString();
    m_file.close();
    if (ok && ::rename(QFile::encodeName(m_temp).constData(), QFile::encodeName(m_target).constData()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        setError(error, code == EIO && !reason.isEmpty()
                            ? QStringLiteral("cannot write %1: %2").arg(m_target, reason)
                            : errnoText(QStringLiteral("cannot write"), m_target, code));
        discard();
        return false;
    }
    m_temp.clear();
    return true;
}

void AtomicFile::discard()
{
    if (m_file.isOpen())
        m_file.close();
    if (!m_temp.isEmpty()) {
        ::unlink(QFile::encodeName(m_temp).constData());
        m_temp.clear();
    }
}

} // namespace safefile
