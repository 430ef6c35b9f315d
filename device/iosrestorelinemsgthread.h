#pragma once

#include <QList>
#include <QSharedPointer>
#include <QThread>

#include "backup/iosmergewafiles2itunesbkthread.h"
#include "chatdata/abslinemsgssource.h"

class IOSDevice;
class ProgressForm;

// Writes chosen messages, with their chats, users and groups, into the copy
// of a device's LINE store that the load job made (IOSDevice::lineRootDir),
// in one transaction, and lists the files that must then go into the
// device's backup: attachments, thumbnails and the database files. Messages
// already in their chat are not written again. A copy without the load's
// record of what it copied (a load cut short, a copy of an earlier version)
// is refused before anything is written.
class IOSRestoreLineMsgThread : public QThread
{
    Q_OBJECT
public:
    IOSRestoreLineMsgThread(QSharedPointer<IOSDevice> device, QSharedPointer<AbsLineMsgsSource> source,
                            ProgressForm& progress, QObject* parent = nullptr);

    // Results, read after the thread has ended: the messages taken (a valid
    // id and a chat; duplicates included), the files for the merge, in the
    // order found, and the attachments and thumbnails left out because a
    // chat id, message id or file name could not stand as a name in a path.
    int restoredCount = 0;
    QList<IOSMergeWAFiles2iTunesBKThread::_Item> mergeItems;
    int filesLeftOut = 0;

protected:
    void run() override;

private:
    void listFiles(const _LineMsg& msg, const QString& storeFolder);

    QSharedPointer<IOSDevice> device;
    QSharedPointer<AbsLineMsgsSource> source;
    ProgressForm& progress;
};
