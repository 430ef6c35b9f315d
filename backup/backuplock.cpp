#include "backup/backuplock.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/mergejournal.h"
#include "backup/stagedfiles.h"
#include "foundation/fileutil.h"
#include "foundation/progressform.h"

int BackupLock::defaultWaitMs = 5000;
int BackupLock::workerWaitMs = 30 * 60 * 1000;

namespace {

std::runtime_error error(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

QString tr(const char* text)
{
    return QCoreApplication::translate("BackupLock", text);
}

bool sameFile(int fd, const QByteArray& path)
{
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && ::lstat(path.constData(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino;
}

// Partial files that the program's own writers leave in a backup folder when
// they are cut off: a journal or a decrypted list written aside, and the
// trimmed list's work copy (a plain copy of an encrypted backup's list).
// Only regular files (a link is not ours), only at these names.
void removeLeftoversThrow(const QString& folder)
{
    static const QRegularExpression own(QStringLiteral(
        "\\A(?:(?:\\.chatferry-merge\\.journal|Manifest-decrypted\\.db|Manifest-line\\.db)\\.part-[0-9A-Za-z]{6}"
        "|Manifest-line\\.db\\.tmp(?:-wal|-shm|-journal)?)\\z"));
    const QDir dir(folder);
    const QStringList candidates{QStringLiteral("*.part-*"), QStringLiteral("Manifest-line.db.tmp*")};
    for (const QString& name : dir.entryList(candidates, QDir::Files | QDir::Hidden | QDir::System)) {
        const QString path = dir.absoluteFilePath(name);
        if (!own.match(name).hasMatch())
            continue;
        if (const int code = g_removeRegularFile(path))
            throw error(QStringLiteral("cannot remove %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(code))));
    }
}

// Whether this user could take the file `st` out of the folder: the folder
// can be written (and, with its sticky bit, one of the two is the user's).
bool removableBy(const QString& folder, const struct stat& st)
{
    const QByteArray native = QFile::encodeName(folder);
    struct stat dir;
    if (::faccessat(AT_FDCWD, native.constData(), W_OK | X_OK, AT_EACCESS) != 0 || ::stat(native.constData(), &dir) != 0)
        return false;
    const uid_t me = ::geteuid();
    return !(dir.st_mode & S_ISVTX) || me == 0 || st.st_uid == me || dir.st_uid == me;
}

} // namespace

QString BackupLock::fileName()
{
    return QStringLiteral(".chatferry-merge.lock");
}

BackupLock::BackupLock(const QString& folder, Mode mode, int waitMs, const Waiting& waiting)
    : m_path(QDir(folder).absoluteFilePath(fileName()))
{
    const QByteArray path = QFile::encodeName(m_path);
    const auto failure = [&](int code) {
        return error(QStringLiteral("cannot lock the backup folder %1: %2")
                         .arg(folder, QString::fromLocal8Bit(std::strerror(code))));
    };
    // Something at the lock file's name that is no lock file: never
    // followed or waited on, and named with advice the user can follow.
    const auto inTheWay = [&](const struct stat& st, int openError) {
        const QString why = openError ? tr("this user cannot open it (%1)").arg(QString::fromLocal8Bit(std::strerror(openError)))
                                      : tr("it is not a regular file");
        const QString advice = removableBy(folder, st)
            ? tr("Remove it, and the backup can be read.")
            : tr("Only its owner can remove it; or copy the backup into a folder of this user's and open it there.");
        return error(tr("The backup %1 cannot be locked: %2 is in the way, as %3. %4").arg(folder, m_path, why, advice));
    };
    QElapsedTimer waited;
    waited.start();
    bool shown = false;
    for (;;) {
        // Without waiting for a peer: a FIFO at the name would block an open.
        int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd < 0 && mode == Shared && (errno == EROFS || errno == EACCES || errno == EPERM)) {
            fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0 && errno == ENOENT)
                return; // nobody can write there to take it either
        }
        // Any regular file there that this user can open is the lock file,
        // whoever owns it: some media show one owner for every file.
        struct stat st;
        if (fd < 0) {
            const int code = errno;
            // On a read-only medium the file is not what stops a writer: the
            // medium is, and the error says so whether the file is there or not.
            const bool refused = code == EACCES || code == EPERM;
            if (::lstat(path.constData(), &st) == 0 && (!S_ISREG(st.st_mode) || refused))
                throw inTheWay(st, S_ISREG(st.st_mode) ? code : 0);
            throw failure(code);
        }
        if (::fstat(fd, &st) != 0) {
            const int code = errno;
            ::close(fd);
            throw failure(code);
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            throw inTheWay(st, 0);
        }
        if (::flock(fd, (mode == Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
            // The holder before may have removed the file after this one
            // opened it: a lock on a name no longer in the folder locks nothing.
            if (sameFile(fd, path)) {
                m_fd = fd;
                if (shown && waiting.shown)
                    waiting.shown(false);
                return;
            }
            ::close(fd);
            continue;
        }
        const int code = errno;
        ::close(fd);
        if (code != EWOULDBLOCK && code != EINTR)
            throw failure(code);
        if (waiting.cancelled && waiting.cancelled->load())
            throw -1;
        if (waited.elapsed() >= waitMs)
            throw error(tr("The backup %1 is in use by another window's load, merge or restore that is still under "
                           "way; try again when it has ended.")
                            .arg(folder));
        if (!shown && waiting.shown)
            waiting.shown(true);
        shown = true;
        QThread::msleep(50);
    }
}

BackupLock::~BackupLock()
{
    if (m_fd < 0)
        return;
    // Removed only by its last holder, while still held: a reader that is
    // not alone leaves it to the others, and a waiter that opened it sees
    // the name gone once it is its turn.
    const QByteArray path = QFile::encodeName(m_path);
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0 && sameFile(m_fd, path))
        ::unlink(path.constData());
    ::close(m_fd);
}

BackupLock::Waiting BackupLock::shownIn(ProgressForm& form, const QString& status)
{
    ProgressForm* window = &form;
    return {[window, status](bool waiting) {
                window->invokeUpdateProgress(
                    waiting ? tr("Waiting for another window to finish with this backup...") : status, -1, QString());
            },
            &form.cancelled};
}

std::unique_ptr<BackupLock> BackupLock::forReadingThrow(const QString& folder, int waitMs, const Waiting& waiting)
{
    const auto unsettled = [](const QString& why) {
        return error(tr("A merge into this backup was interrupted or is still under way, and the backup cannot be "
                        "read before it is settled: %1")
                         .arg(why));
    };
    // A writer cut off between settling and the shared lock leaves a journal
    // again; one that is there still after a few rounds is not settled here.
    for (int round = 0; round < 3; ++round) {
        if (MergeJournal::exists(folder)) {
            try {
                const BackupLock alone(folder, Exclusive, waitMs, waiting);
                StagedFiles::settleThrow(folder);
            } catch (const std::runtime_error& e) {
                throw unsettled(QString::fromUtf8(e.what()));
            }
        }
        auto lock = std::make_unique<BackupLock>(folder, Shared, waitMs, waiting);
        if (!MergeJournal::exists(folder))
            return lock;
    }
    throw unsettled(tr("its journal stays."));
}

std::unique_ptr<BackupLock> BackupLock::forWritingThrow(const QString& folder, int waitMs, const Waiting& waiting)
{
    auto lock = std::make_unique<BackupLock>(folder, Exclusive, waitMs, waiting);
    StagedFiles::settleThrow(folder);
    removeLeftoversThrow(folder);
    return lock;
}

void BackupLock::clearFolder(const QString& folder)
{
    if (g_removeLink(folder))
        return;
    const auto remove = [](const QFileInfo& entry) {
        if (entry.isDir() && !entry.isSymLink())
            g_delDirCascade(entry.absoluteFilePath(), true); // a cut upload's hidden file too
        else
            QFile::remove(entry.absoluteFilePath());
    };
    // What vouches for a finished backup goes before anything it vouches
    // for: the finished mark, then the lists. A clearing cut short by a crash
    // leaves no folder that this program or another client takes for a
    // whole backup with its data gone.
    const QDir dir(folder);
    for (const char* name : {"Status.plist", "Manifest.plist", "Manifest.db", "Manifest.db-wal", "Manifest.db-shm",
                             "Manifest.db-journal", "Manifest.mbdb"}) {
        const QFileInfo entry(dir.absoluteFilePath(QLatin1String(name)));
        if (entry.exists() || entry.isSymLink())
            remove(entry);
    }
    for (const QFileInfo& entry :
         dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() != fileName())
            remove(entry);
    }
}

void BackupLock::deleteFolder(const QString& folder)
{
    if (g_removeLink(folder))
        return;
    if (!QFileInfo(folder).isDir()) {
        QFile::remove(folder); // a file: only that goes
        return;
    }
    try {
        const BackupLock alone(folder);
        clearFolder(folder);
    } catch (const std::exception& e) {
        qWarning("the backup %s stays: %s", qUtf8Printable(folder), e.what());
        return;
    }
    // Empty once its lock file has gone, unless a new holder made one.
    QDir().rmdir(folder);
}
