#include "chatdata/backuplinemessagesthread.h"
#include "chatdata/backuplinemessagesthread_p.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QtDebug>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "chatdata/linelocaldb.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"

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
        QString text = tr("IDS_SUC_BACKUP_%1_MESSAGES").arg(stored);
        // The messages are all there; files that could not be copied are
        // named in the log, and the user learns how many.
        if (m_failedFiles > 0)
            text += QLatin1Char(' ') + tr("IDS_BACKUP_%1_FILES_NOT_STORED").arg(m_failedFiles);
        m_progress.invokeSucceed(text);
    } catch (int) {
        // Cancelled: the window is closed already and nothing was committed.
    } catch (const std::exception& e) {
        m_progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    }
    m_chatRows.clear();
    m_mediaFolders.clear();
}

qint64 BackupLineMessagesThread::backupThrow()
{
    m_progress.invokeUpdateProgress(tr("IDS_BACKING_UP_LINE_MESSAGES"), 0, QString());
    if (!m_source)
        throw std::runtime_error("no messages to back up");
    m_chatRows.clear();
    m_mediaFolders.clear();
    m_failedFiles = 0;

    // Counted before anything is written: a source that cannot say how many
    // messages it has is an error, not an empty source.
    const qint64 n = m_source->sizeThrow();
    // Opening creates the folders, the database and its schema when they are
    // missing, and updates an older one; that is done before the transaction
    // and stays done whatever happens to the run.
    LineLocalDb db(m_folder);
    db.openCheckThrow();
    db.beginTran();

    // Rows of the messages stored, each counted once however often the
    // source lists it.
    std::vector<qint64> storedRows;
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

        _LineMsg m = m_source->msgThrow(i);
        if (!m.chat)
            continue; // belongs nowhere: not stored, not counted
        const qint64 chatId = chatRowThrow(db, m.chat);
        qint64 row = db.findMsgThrow(chatId, m.uid);
        if (row == 0)
            row = db.insertMsgThrow(chatId, &m);
        storedRows.push_back(row);
        // Also for messages stored by an earlier run, whose files may have
        // been missing then. Named after the row in this database.
        m.id = row;
        copyMedia(db, m);
    }
    // A cancel confirmed while the last message was handled still counts.
    if (m_progress.cancelled)
        throw kCancelled;
    db.commitTran();
    std::sort(storedRows.begin(), storedRows.end());
    return std::unique(storedRows.begin(), storedRows.end()) - storedRows.begin();
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

// Media files are not part of the transaction. A missing source is common
// (media LINE never downloaded) and passed over; a copy that fails is
// counted for the closing notice.
void BackupLineMessagesThread::copyFile(const QString& from, const QString& to)
{
    if (from.isEmpty() || to.isEmpty())
        return;
    QString error;
    if (g_copyMediaFile(from, to, &error, &m_mediaFolders) == MediaCopyResult::Failed) {
        ++m_failedFiles;
        qWarning("BackupLineMessagesThread: cannot copy %s to %s: %s", qPrintable(from), qPrintable(to),
                 qPrintable(error));
    }
}

MediaCopyResult g_copyMediaFile(const QString& from, const QString& to, QString* error, QSet<QString>* madeFolders)
{
    qint64 size = 0;
    const int in = from.isEmpty() ? -1 : safefile::openRegularForReading(from, &size, true);
    if (in < 0) {
        const int code = errno;
        // Only a file that is not there, or is no regular file, is no
        // source; one that is there and cannot be read (no permission, an
        // I/O error) is a copy that failed.
        if (from.isEmpty() || code == ENOENT || code == ENOTDIR || code == EINVAL)
            return MediaCopyResult::NoSource;
        if (error)
            *error = QStringLiteral("cannot open %1: %2").arg(from, QString::fromLocal8Bit(std::strerror(code)));
        return MediaCopyResult::Failed;
    }
    const auto closeIn = qScopeGuard([in] { ::close(in); });
    struct stat st;
    if (::lstat(QFile::encodeName(to).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size)
        return MediaCopyResult::Kept;
    const QString folder = QFileInfo(to).absolutePath();
    if (!madeFolders || !madeFolders->contains(folder)) {
        // A failure shows when the copy is made there.
        if (QDir().mkpath(folder) && madeFolders)
            madeFolders->insert(folder);
    }
    // Copies are private to the user, like the chats they belong to. A copy
    // torn by a crash has the wrong size and is made again by the next run,
    // so no flush to the disk is waited for.
    safefile::AtomicFile out(to, 0600);
    out.setDurable(false);
    if (!out.open(error))
        return MediaCopyResult::Failed;
    // Straight from the descriptor, as many bytes as the file had when it
    // was opened (the size the next run compares): the file's own buffer
    // would only add a copy of the bytes and a read past the end.
    char buffer[1 << 16];
    for (qint64 left = size; left > 0;) {
        const ssize_t n = ::read(in, buffer, size_t(qMin<qint64>(left, sizeof buffer)));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = QStringLiteral("cannot read %1: %2").arg(from, QString::fromLocal8Bit(std::strerror(errno)));
            return MediaCopyResult::Failed;
        }
        if (out.file().write(buffer, n) != n) {
            *error = QStringLiteral("cannot write %1: %2").arg(to, out.file().errorString());
            return MediaCopyResult::Failed;
        }
        left -= n;
    }
    return out.commit(error) ? MediaCopyResult::Copied : MediaCopyResult::Failed;
}
