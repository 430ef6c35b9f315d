#include "backup/stagedfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

// 0 when nothing is at the path, else its kind (a link is not followed).
mode_t kindAt(const QString& path)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

std::runtime_error failure(const QString& what, const QString& path, int code)
{
    return std::runtime_error(
        QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code))).toStdString());
}

// A copy of the regular file `from` as the new file `to`, with its
// permissions; 0, or errno with `to` removed. For a file system without hard
// links: the old content stays reachable while the target itself is never
// missing, not even for the moment between two renames.
int copyAside(const QString& from, const QString& to)
{
    const int in = ::open(native(from).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat st;
    int code = ::fstat(in, &st) == 0 ? 0 : errno;
    const int out = code ? -1 : ::open(native(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (!code && out < 0)
        code = errno;
    char buffer[1 << 16];
    while (!code) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n <= 0) {
            code = n < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; !code && done < n;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w < 0)
                code = errno;
            else
                done += w;
        }
    }
    if (!code && ::fchmod(out, st.st_mode & 07777) != 0)
        code = errno;
    if (out >= 0 && ::close(out) != 0 && !code)
        code = errno;
    ::close(in);
    if (code && out >= 0)
        ::unlink(native(to).constData());
    return code;
}

// The names a commit hands out: "<target>.new-<suffix>" for new content (with
// the side files SQLite may leave beside a staged list) and
// "<target>.old-<suffix>" for the old content while the commit runs.
const QRegularExpression& leftoverName()
{
    static const QRegularExpression re(QStringLiteral(
        "\\A([0-9a-f]{40}|Manifest\\.db|Manifest\\.mbdb|Manifest-decrypted\\.db)\\.(new|old)-[0-9a-z]{1,13}"
        "(-wal|-shm|-journal)?\\z"));
    return re;
}

int tidyOne(const QDir& folder)
{
    int settled = 0;
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch m = leftoverName().match(name);
        const QString path = folder.filePath(name);
        if (!m.hasMatch() || kindAt(path) != S_IFREG)
            continue;
        const QString target = folder.filePath(m.captured(1));
        // An old file whose target is gone was moved aside (no hard links
        // here) and the new one never arrived: the list on disk still
        // describes the old one.
        const bool putBack = m.captured(2) == QLatin1String("old") && m.captured(3).isEmpty() && !kindAt(target);
        if (putBack ? ::rename(native(path).constData(), native(target).constData()) == 0
                    : ::unlink(native(path).constData()) == 0)
            ++settled;
    }
    return settled;
}

} // namespace

int StagedFiles::stopAfterRenames = -1;

StagedFiles::CommitError::CommitError(const QString& target, const QString& reason)
    : std::runtime_error(QStringLiteral("cannot put in place %1: %2").arg(target, reason).toStdString())
    , target(target)
    , reason(reason)
{
}

int StagedFiles::tidy(const QString& folder)
{
    const QDir top(folder);
    int settled = tidyOne(top);
    static const QRegularExpression hex(QStringLiteral("\\A[0-9a-f]{2}\\z"));
    for (const QString& name : top.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden))
        if (hex.match(name).hasMatch() && kindAt(top.filePath(name)) == S_IFDIR) // never through a link
            settled += tidyOne(QDir(top.filePath(name)));
    return settled;
}

StagedFiles::StagedFiles()
    : m_suffix(QString::number(QRandomGenerator::global()->generate64(), 36))
{
}

StagedFiles::~StagedFiles()
{
    if (!m_committed)
        discard();
}

void StagedFiles::discard()
{
    for (const Entry& e : m_entries)
        ::unlink(native(e.staged).constData());
    for (auto it = m_madeFolders.crbegin(); it != m_madeFolders.crend(); ++it)
        ::rmdir(native(*it).constData());
    m_entries.clear();
    m_index.clear();
    m_madeFolders.clear();
}

QString StagedFiles::stageThrow(const QString& target)
{
    const int known = m_index.value(target, -1);
    if (known >= 0) {
        ::unlink(native(m_entries[known].staged).constData());
        return m_entries[known].staged;
    }
    const QString folder = QFileInfo(target).absolutePath();
    if (!kindAt(folder)) {
        if (::mkdir(native(folder).constData(), 0755) != 0)
            throw failure(QStringLiteral("cannot make the folder"), folder, errno);
        m_madeFolders << folder;
    }
    m_index.insert(target, int(m_entries.size()));
    m_entries.append({target, target + QStringLiteral(".new-") + m_suffix, QString(), false});
    return m_entries.last().staged;
}

QString StagedFiles::staged(const QString& target) const
{
    const int known = m_index.value(target, -1);
    return known < 0 ? QString() : m_entries[known].staged;
}

void StagedFiles::commitThrow()
{
    qsizetype i = 0;
    int code = 0;
    int renames = 0;
    // The test hook's crash: everything stays where it is.
    auto crashPoint = [&] {
        if (stopAfterRenames >= 0 && renames++ == stopAfterRenames) {
            m_committed = true;
            throw 0;
        }
    };
    for (; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        const mode_t kind = kindAt(e.target);
        if (kind == S_IFDIR) {
            code = EISDIR;
            break;
        }
        // The old content stays reachable until the commit has succeeded: a
        // second name where the file system has links, else a copy (a move
        // for anything but a regular file).
        const QString aside = e.target + QStringLiteral(".old-") + m_suffix;
        if (kind && ::link(native(e.target).constData(), native(aside).constData()) != 0) {
            if (kind == S_IFREG) {
                if ((code = copyAside(e.target, aside)) != 0)
                    break;
            } else {
                crashPoint();
                if (::rename(native(e.target).constData(), native(aside).constData()) != 0) {
                    code = errno;
                    break;
                }
            }
        }
        if (kind)
            e.aside = aside;
        crashPoint();
        if (::rename(native(e.staged).constData(), native(e.target).constData()) != 0) {
            code = errno;
            break;
        }
        e.placed = true;
    }
    if (i == m_entries.size()) {
        for (const Entry& e : m_entries)
            if (!e.aside.isEmpty())
                ::unlink(native(e.aside).constData());
        m_committed = true;
        return;
    }
    const QString failed = m_entries[i].target;
    for (; i >= 0; --i) {
        const Entry& e = m_entries[i];
        // An aside that is a second link to a target still in place is only
        // removed: renaming one link onto another of the same file does nothing.
        if (!e.aside.isEmpty() && !e.placed && kindAt(e.target))
            ::unlink(native(e.aside).constData());
        else if (!e.aside.isEmpty())
            ::rename(native(e.aside).constData(), native(e.target).constData());
        else if (e.placed)
            ::unlink(native(e.target).constData());
    }
    discard();
    throw CommitError(failed, QString::fromLocal8Bit(std::strerror(code)));
}
