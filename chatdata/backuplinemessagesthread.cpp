#include "chatdata/backuplinemessagesthread.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtDebug>

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
    m_madeDirs.clear();
}

qint64 BackupLineMessagesThread::backupThrow()
{
    m_progress.invokeUpdateProgress(tr("IDS_BACKING_UP_LINE_MESSAGES"), 0, QString());
    if (!m_source)
        throw std::runtime_error("no messages to back up");
    m_chatRows.clear();
    m_madeDirs.clear();

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
    if (from.isEmpty() || to.isEmpty() || QFileInfo::exists(to))
        return;
    QFile in(from);
    if (!QFileInfo(from).isFile() || !in.open(QIODevice::ReadOnly))
        return;
    const QString dir = QFileInfo(to).absolutePath();
    if (!m_madeDirs.contains(dir)) {
        QDir().mkpath(dir);
        m_madeDirs.insert(dir);
    }
    // Written under a temporary name beside the target and then renamed
    // without replacing: a half-written copy never takes the target's name
    // (where a later backup would keep it for good), and a file that
    // appeared meanwhile is kept. A copy that fails leaves nothing behind.
    QTemporaryFile out(dir + QStringLiteral("/.copying-XXXXXX"));
    QString error;
    if (!out.open()) {
        error = out.errorString();
    } else {
        for (;;) {
            const QByteArray buffer = in.read(1 << 16);
            if (buffer.isEmpty()) {
                if (in.error() != QFileDevice::NoError)
                    error = in.errorString();
                break;
            }
            if (out.write(buffer) != buffer.size()) {
                error = out.errorString();
                break;
            }
        }
        if (error.isEmpty() && !out.flush())
            error = out.errorString();
        if (error.isEmpty()) {
            if (out.rename(to))
                out.setAutoRemove(false); // it is the target now
            else if (!QFileInfo::exists(to))
                error = out.errorString();
        }
    }
    if (!error.isEmpty())
        qWarning("BackupLineMessagesThread: cannot copy %s to %s: %s", qPrintable(from), qPrintable(to),
                 qPrintable(error));
}
