#pragma once

#include <QDir>
#include <QHash>
#include <QSet>
#include <QString>
#include <QThread>

#include "chatdata/abslinemsgssource.h"

class LineLocalDb;
class ProgressForm;

// Stores the messages of any message source into a local database, with the
// chats, users, groups and memberships they name and copies of their
// thumbnails and media files, on a worker thread behind a progress window.
// Every row of a run is written in one transaction: a cancel or an error
// leaves none of them. A message the source cannot read is an error, never
// an empty message, and the success notice counts the messages of the source
// that are in the database when the run ends, each once. Media files that
// cannot be copied do not stop the run: the notice says how many.
class BackupLineMessagesThread : public QThread
{
    Q_OBJECT
public:
    // `progress` is owned by the caller and must outlive the thread.
    BackupLineMessagesThread(PAbsLineMsgsSource const& source, QDir folder, ProgressForm& progress,
                             QObject* parent = nullptr);
    ~BackupLineMessagesThread() override;

protected:
    void run() override;

private:
    // Returns the number of messages stored; throws an int on cancel.
    qint64 backupThrow();
    qint64 chatRowThrow(LineLocalDb& db, _LineChat* chat);
    void copyMedia(const LineLocalDb& db, const _LineMsg& msg);
    void copyFile(const QString& from, const QString& to);

    PAbsLineMsgsSource m_source;
    QDir m_folder;
    ProgressForm& m_progress;

    // For one run: chat record of the source to its row in the target, and
    // the media files that could not be copied.
    QHash<const _LineChat*, qint64> m_chatRows;
    qint64 m_failedFiles = 0;
    // Media folders known to exist: asking again for each file cost two
    // system calls per copy.
    QSet<QString> m_mediaFolders;
};
