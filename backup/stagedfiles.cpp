#include "backup/stagedfiles.h"

#include "backup/mergejournal.h"
#include "foundation/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <set>
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
// permissions, there whole (written beside it and synced) or not at all; 0,
// or errno. For a file system without hard links: the old content stays
// reachable while the target itself is never missing, not even for the
// moment between two renames.
int copyAside(const QString& from, const QString& aside)
{
    const QString to = aside + QStringLiteral(".part-copy");
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
    if (!code)
        code = safefile::setModeOfNewFile(out, int(st.st_mode & 07777));
    if (!code && ::fsync(out) != 0)
        code = errno;
    if (out >= 0 && ::close(out) != 0 && !code)
        code = errno;
    ::close(in);
    if (!code && ::rename(native(to).constData(), native(aside).constData()) != 0)
        code = errno;
    if (code && out >= 0)
        ::unlink(native(to).constData());
    return code;
}

// Files of this commit's own names in `folder` and its two-hex-digit folders:
// "<target>.new-<suffix>" for new content (with the side files SQLite and a
// file written whole may leave beside it: "-wal", "-shm", "-journal",
// ".part-...") and "<target>.old-<suffix>" for the old content while the
// commit runs. The suffix is the merge's own, so no file of anyone else
// matches. Files and links (a link set aside), never folders; `keep` stays.
void removeOwnThrow(const QString& folder, const QString& suffix, const QString& keep)
{
    const QRegularExpression own(QStringLiteral("\\A.+\\.(new|old)-%1(-wal|-shm|-journal|\\.part-[0-9A-Za-z]+)?\\z")
                                     .arg(QRegularExpression::escape(suffix)));
    static const QRegularExpression hex(QStringLiteral("\\A[0-9a-f]{2}\\z"));
    QStringList folders{folder};
    const QDir top(folder);
    for (const QString& name : top.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden))
        if (hex.match(name).hasMatch() && kindAt(top.filePath(name)) == S_IFDIR) // never through a link
            folders << top.filePath(name);
    for (const QString& f : folders) {
        const QDir dir(f);
        for (const QString& name : dir.entryList({QStringLiteral("*-") + suffix + QLatin1Char('*')},
                                                 QDir::Files | QDir::Hidden | QDir::System)) {
            const QString path = dir.filePath(name);
            if (path != keep && own.match(name).hasMatch() && (kindAt(path) == S_IFREG || kindAt(path) == S_IFLNK)) {
                StagedFiles::crashPoint();
                if (::unlink(native(path).constData()) != 0 && errno != ENOENT)
                    throw failure(QStringLiteral("cannot remove"), path, errno);
            }
        }
    }
}

std::set<QString> parentsOf(const QStringList& paths)
{
    std::set<QString> folders;
    for (const QString& p : paths)
        folders.insert(QFileInfo(p).absolutePath());
    return folders;
}

} // namespace

int StagedFiles::stopAfterRenames = -1;

StagedFiles::CommitError::CommitError(const QString& target, const QString& reason)
    : std::runtime_error(QStringLiteral("cannot put in place %1: %2").arg(target, reason).toStdString())
    , target(target)
    , reason(reason)
{
}

void StagedFiles::crashPoint()
{
    if (stopAfterRenames >= 0 && stopAfterRenames-- == 0)
        throw 0;
}

StagedFiles::StagedFiles(const QString& journalFolder)
    : m_suffix(QString::number(QRandomGenerator::global()->generate64(), 36))
    , m_journalFolder(journalFolder.isEmpty() ? QString() : QDir(journalFolder).absolutePath())
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
        if (!e.removal)
            ::unlink(native(e.staged).constData());
    for (auto it = m_madeFolders.crbegin(); it != m_madeFolders.crend(); ++it)
        ::rmdir(native(*it).constData());
    m_entries.clear();
    m_index.clear();
    m_madeFolders.clear();
    if (m_journaled) {
        try {
            MergeJournal::removeThrow(m_journalFolder);
            m_journaled = false;
        } catch (const std::exception&) {
            // It names nothing left: the next open only removes it.
        }
    }
}

void StagedFiles::journalThrow(bool committing)
{
    if (m_journalFolder.isEmpty() || (m_journaled && !committing))
        return;
    MergeJournal::Contents contents{m_suffix, committing, {}};
    const QDir folder(m_journalFolder);
    for (const Entry& e : std::as_const(m_entries))
        contents.entries.append({folder.relativeFilePath(e.target), e.existed, e.removal});
    MergeJournal::writeThrow(m_journalFolder, contents);
    m_journaled = true;
}

QString StagedFiles::stageThrow(const QString& target)
{
    const int known = m_index.value(target, -1);
    if (known >= 0) {
        ::unlink(native(m_entries[known].staged).constData());
        return m_entries[known].staged;
    }
    // Before any file of this merge's names exists, so that a crash leaves
    // none that no journal names.
    journalThrow(false);
    const QString folder = QFileInfo(target).absolutePath();
    if (!kindAt(folder)) {
        if (::mkdir(native(folder).constData(), 0755) != 0)
            throw failure(QStringLiteral("cannot make the folder"), folder, errno);
        m_madeFolders << folder;
    }
    m_index.insert(target, int(m_entries.size()));
    m_entries.append({target, target + QStringLiteral(".new-") + m_suffix, QString()});
    return m_entries.last().staged;
}

void StagedFiles::stageRemovalThrow(const QString& target)
{
    if (m_index.contains(target))
        return;
    journalThrow(false);
    m_index.insert(target, int(m_entries.size()));
    m_entries.append({target, QString(), QString()});
    m_entries.last().removal = true;
}

QString StagedFiles::staged(const QString& target) const
{
    const int known = m_index.value(target, -1);
    return known < 0 || m_entries[known].removal ? QString() : m_entries[known].staged;
}

// Every old file back over its target, new files placed where none was
// removed; what is already back is left alone, so that it may run again.
void StagedFiles::undoThrow(const QList<Entry>& entries)
{
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        const Entry& e = entries[i];
        struct stat aside, target;
        if (::lstat(native(e.aside).constData(), &aside) == 0) {
            crashPoint();
            // A second link to a target still in place is only removed:
            // renaming one link onto another of the same file does nothing.
            const bool same = ::lstat(native(e.target).constData(), &target) == 0 && target.st_dev == aside.st_dev
                && target.st_ino == aside.st_ino;
            if (same ? ::unlink(native(e.aside).constData()) != 0
                     : ::rename(native(e.aside).constData(), native(e.target).constData()) != 0)
                throw failure(QStringLiteral("cannot put back"), e.target, errno);
        } else if (!e.existed && !e.removal && !kindAt(e.staged) && kindAt(e.target) == S_IFREG) {
            crashPoint();
            if (::unlink(native(e.target).constData()) != 0)
                throw failure(QStringLiteral("cannot remove"), e.target, errno);
        }
    }
}

bool StagedFiles::settleThrow(const QString& folder)
{
    MergeJournal::Contents journal;
    if (!MergeJournal::readThrow(folder, &journal))
        return false;
    const QDir top(folder);
    QList<Entry> entries;
    for (const MergeJournal::Entry& j : std::as_const(journal.entries)) {
        const QString target = top.absoluteFilePath(j.target);
        entries.append({target, target + QStringLiteral(".new-") + journal.commit,
                        target + QStringLiteral(".old-") + journal.commit, j.existed, j.removal});
    }
    // The list is staged last and renamed last: while its staged copy is
    // there, the list in place is the old one.
    const QString list = journal.committing && !entries.isEmpty() ? entries.last().staged : QString();
    const bool moved = !list.isEmpty() && !kindAt(list);
    if (journal.committing && !moved)
        undoThrow(entries);
    // Finished or undone, what remains of the merge's own names goes; the
    // staged list last, as it tells the two apart.
    removeOwnThrow(top.absolutePath(), journal.commit, list);
    if (!list.isEmpty() && kindAt(list)) {
        crashPoint();
        if (::unlink(native(list).constData()) != 0)
            throw failure(QStringLiteral("cannot remove"), list, errno);
    }
    crashPoint();
    MergeJournal::removeThrow(folder);
    return true;
}

void StagedFiles::commitThrow()
{
    // Nothing moves before every new content is there and on the disk, and
    // the journal names it all.
    for (Entry& e : m_entries) {
        e.existed = kindAt(e.target) != 0;
        e.aside = e.existed ? e.target + QStringLiteral(".old-") + m_suffix : QString();
        if (e.removal)
            continue;
        const int fd = ::open(native(e.staged).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const int code = fd < 0 || ::fsync(fd) != 0 ? errno : 0;
        if (fd >= 0)
            ::close(fd);
        if (code) {
            // Read before the entries go with the rest.
            const CommitError error(e.target, QString::fromLocal8Bit(std::strerror(code)));
            discard();
            throw error;
        }
    }
    journalThrow(true);
    qsizetype i = 0;
    int code = 0;
    // The test hook's crash: everything stays where it is.
    m_committed = true;
    for (; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        const mode_t kind = kindAt(e.target);
        if (e.existed && kind == S_IFDIR && !e.removal) {
            code = EISDIR;
            break;
        }
        if (e.existed && (e.removal || ::link(native(e.target).constData(), native(e.aside).constData()) != 0)) {
            // The old content stays reachable until the commit has succeeded:
            // a second name where the file system has links, else a copy (a
            // move for anything but a regular file, and for what goes).
            if (kind == S_IFREG && !e.removal) {
                if ((code = copyAside(e.target, e.aside)) != 0)
                    break;
            } else {
                crashPoint();
                if (::rename(native(e.target).constData(), native(e.aside).constData()) != 0) {
                    code = errno;
                    break;
                }
            }
        }
        if (e.removal)
            continue;
        crashPoint();
        if (::rename(native(e.staged).constData(), native(e.target).constData()) != 0) {
            code = errno;
            break;
        }
    }
    m_committed = false;
    QStringList targets;
    for (const Entry& e : std::as_const(m_entries))
        targets << e.target;
    if (i == m_entries.size()) {
        // The renames last across a power loss; until then the journal stays.
        try {
            for (const QString& folder : parentsOf(targets))
                MergeJournal::syncFolderThrow(folder);
            for (const Entry& e : std::as_const(m_entries))
                if (!e.aside.isEmpty())
                    ::unlink(native(e.aside).constData());
            if (m_journaled)
                MergeJournal::removeThrow(m_journalFolder);
            m_journaled = false;
        } catch (const std::exception&) {
            // The list is in place: the next open finishes what is left.
        }
        m_committed = true;
        return;
    }
    const QString failed = m_entries[i].target;
    const QString reason = QString::fromLocal8Bit(std::strerror(code));
    try {
        undoThrow(m_entries.mid(0, i + 1));
    } catch (const std::exception& e) {
        // Everything stays as it is, the staged list included, for the next
        // open to undo what the journal names.
        m_committed = true;
        throw CommitError(failed, reason + QStringLiteral("; ") + QString::fromUtf8(e.what()));
    }
    discard();
    throw CommitError(failed, reason);
}
