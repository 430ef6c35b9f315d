#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/backuplinemessagesthread_p.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "chatdata/linelocaldb.h"
#include "foundation/progressform.h"

namespace {

// Thrown out of the loop when the user has cancelled; dropped silently.
const int kCancelled = -1;

} // namespace

BackupLineMessagesThread::BackupLineMessagesThread(PAbsLineMsgsSource const& source, QDir folder,
                                                   ProgressForm& progress, QObject* parent)
    : QThread(parent), m_source(source), m_folder(std::move(folder)), m_progress(progress)
{
}

BackupLineMessagesThread::~BackupLineMessagesThread() = default;

void BackupLineMessagesThread::run()
{
    try {
        const qint64 stored = backupThrow();
        m_progress.invokeSucceed(tr("IDS_SUC_BACKUP_%1_MESSAGES").arg(stored));
    } catch (int) {
        // Cancelled: the window is closed already and nothing was committed.
    } catch (const std::exception& e) {
        m_progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    }
    m_chatRows.clear();
}

qint64 BackupLineMessagesThread::backupThrow()
{
    m_progress.invokeUpdateProgress(tr("IDS_BACKING_UP_LINE_MESSAGES"), 0, QString());
    if (!m_source)
        throw std::runtime_error("no messages to back up");
    m_chatRows.clear();

    // Counted before anything is written: a source that cannot say how many
    // messages it has is an error, not an empty source.
    const qint64 n = m_source->sizeThrow();
    // Opening creates the folders, the database and its schema when they are
    // missing, and updates an older one; that is done before the transaction
    // and stays done whatever happens to the run.
    LineLocalDb db(m_folder);
    db.openCheckThrow();
    db.beginTran();

    qint64 stored = 0;
    int shown = -1;
    for (qint64 i = 0; i < n; ++i) {
        if (m_progress.cancelled)
            throw kCancelled;
        // The window shows whole percents; a report per message would only
        // be merged away.
        const int percent = int(double(i + 1) / double(n) * 100.0);
        if (percent != shown) {
            m_progress.invokeUpdateProgress(QString(), percent, QString());
            shown = percent;
        }

        const _LineMsg m = m_source->msgThrow(i);
        if (!m.chat)
            continue; // belongs nowhere: not stored, not counted
        const qint64 chatId = chatRowThrow(db, m.chat);
        if (db.findMsgThrow(chatId, m.uid) == 0)
            db.insertMsgThrow(chatId, &m);
        ++stored;
        // Also for messages stored by an earlier run, whose files may have
        // been missing then.
        copyMedia(db, m);
    }
    db.commitTran();
    return stored;
}

qint64 BackupLineMessagesThread::chatRowThrow(LineLocalDb& db, _LineChat* chat)
{
    const qint64 cached = m_chatRows.value(chat, 0);
    if (cached != 0)
        return cached;
    qint64 chatId = db.findChatThrow(chat->uid);
    if (chatId == 0) {
        chatId = db.insertChatThrow(chat);
        db.saveChatMembersThrow(chatId, chat);
        if (const _LineGroupInfo* group = chat->group) {
            if (db.findGroupInfoThrow(group->uid) == 0) {
                const qint64 groupId = db.insertGroupInfoThrow(group);
                db.saveGroupMembersThrow(groupId, group);
            }
        }
    }
    m_chatRows.insert(chat, chatId);
    return chatId;
}

void BackupLineMessagesThread::copyMedia(const LineLocalDb& db, const _LineMsg& msg)
{
    if (msg.thumbPath.isEmpty() && msg.attaPath.isEmpty())
        return;
    QString thumb, media;
    db.msgAttaPath(&msg, &thumb, &media);
    copyFile(msg.thumbPath, thumb);
    copyFile(msg.attaPath, media);
}

// Media files are not part of the transaction. A file already in the target
// is the user's and is never replaced; a missing source is common (media
// LINE never downloaded) and passed over.
void BackupLineMessagesThread::copyFile(const QString& from, const QString& to)
{
    if (from.isEmpty() || to.isEmpty())
        return;
    QString error;
    if (g_copyMediaFile(from, to, true, &error) == MediaCopyResult::Failed)
        qWarning("BackupLineMessagesThread: cannot copy %s to %s: %s", qPrintable(from), qPrintable(to),
                 qPrintable(error));
}

namespace {

class FdCloser
{
public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int fd() const { return m_fd; }
    // Closes now, reporting whether the last writes reached the file.
    bool closeNow()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

QString errnoText(const char* what, int code)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(code)));
}

// Everything from `in` (read from its start) to `out`.
bool pump(int in, int out, QString* error)
{
    if (::lseek(in, 0, SEEK_SET) != 0) {
        *error = errnoText("seek", errno);
        return false;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errnoText("read", errno);
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                *error = errnoText("write", errno);
                return false;
            }
            done += w;
        }
    }
}

enum class Unnamed { Done, Unsupported, Failed };

// Through a file without a name (Linux): nothing is ever left behind.
Unnamed copyUnnamed(int in, const QByteArray& dir, const QByteArray& to, MediaCopyResult* result, QString* error)
{
#ifdef O_TMPFILE
    FdCloser out(::open(dir.constData(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600));
    if (out.fd() < 0)
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? Unnamed::Unsupported : Unnamed::Failed;
    if (!pump(in, out.fd(), error))
        return Unnamed::Failed;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(out.fd());
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW) == 0) {
        *result = MediaCopyResult::Copied;
        return Unnamed::Done;
    }
    if (errno == EEXIST) {
        *result = MediaCopyResult::Kept;
        return Unnamed::Done;
    }
    // No /proc, or a file system that cannot link such a file.
    return Unnamed::Unsupported;
#else
    Q_UNUSED(in);
    Q_UNUSED(dir);
    Q_UNUSED(to);
    Q_UNUSED(result);
    Q_UNUSED(error);
    return Unnamed::Unsupported;
#endif
}

// Through a hidden temporary name, linked to the target when complete.
MediaCopyResult copyNamed(int in, const QByteArray& dir, const QByteArray& to, QString* error)
{
    static std::atomic<quint64> serial{0};
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temp = dir + "/.copying-" + QByteArray::number(qint64(::getpid())) + '-' + QByteArray::number(++serial);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *error = errnoText("create", errno);
        return MediaCopyResult::Failed;
    }
    FdCloser out(fd);
    MediaCopyResult result = MediaCopyResult::Failed;
    if (!pump(in, out.fd(), error)) {
    } else if (!out.closeNow()) {
        *error = errnoText("close", errno);
    } else if (::link(temp.constData(), to.constData()) == 0) {
        result = MediaCopyResult::Copied;
    } else if (errno == EEXIST) {
        result = MediaCopyResult::Kept;
    } else if (::access(to.constData(), F_OK) == 0) {
        result = MediaCopyResult::Kept;
    } else if (::rename(temp.constData(), to.constData()) == 0) {
        // A file system without hard links: the name was free a moment ago.
        return MediaCopyResult::Copied;
    } else {
        *error = errnoText("rename", errno);
    }
    ::unlink(temp.constData());
    return result;
}

} // namespace

MediaCopyResult g_copyMediaFile(const QString& from, const QString& to, bool unnamed, QString* error)
{
    FdCloser in(::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.fd() < 0 || ::fstat(in.fd(), &st) != 0 || !S_ISREG(st.st_mode))
        return MediaCopyResult::NoSource;
    const QByteArray target = QFile::encodeName(to);
    if (::access(target.constData(), F_OK) == 0)
        return MediaCopyResult::Kept;
    const QString folder = QFileInfo(to).absolutePath();
    QDir().mkpath(folder); // a failure shows when the copy is made there
    const QByteArray dir = QFile::encodeName(folder);
    if (unnamed) {
        MediaCopyResult result = MediaCopyResult::Failed;
        switch (copyUnnamed(in.fd(), dir, target, &result, error)) {
        case Unnamed::Done:
            return result;
        case Unnamed::Failed:
            if (error->isEmpty())
                *error = errnoText("create", errno);
            return MediaCopyResult::Failed;
        case Unnamed::Unsupported:
            break;
        }
    }
    return copyNamed(in.fd(), dir, target, error);
}
