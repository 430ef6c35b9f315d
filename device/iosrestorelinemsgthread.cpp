#include "device/iosrestorelinemsgthread.h"

#include <QDebug>
#include <QFileInfo>
#include <QHash>

#include <exception>
#include <memory>
#include <stdexcept>

#include <sqlite3.h>

#include "backup/mbdbparser.h"
#include "chatdata/ioslinedb.h"
#include "device/iosdevice.h"
#include "device/iosloadlinefromitunesthread.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"
#include "foundation/utf8mac.h"

using Item = IOSMergeWAFiles2iTunesBKThread::_Item;

IOSRestoreLineMsgThread::IOSRestoreLineMsgThread(QSharedPointer<IOSDevice> device,
                                                 QSharedPointer<AbsLineMsgsSource> source, ProgressForm& progress,
                                                 QObject* parent)
    : QThread(parent), device(device), source(source), progress(progress)
{
}

void IOSRestoreLineMsgThread::listFiles(const _LineMsg& msg, const QString& storeFolder)
{
    static const QString kSuffixes[] = {"", ".jpg", ".mp4", ".mp4"};
    const QString suffix = msg.type == 6 ? "_" + utf8mac_to(msg.attaFileName())
                                         : msg.type >= 1 && msg.type <= 3 ? kSuffixes[msg.type] : QString();
    // Ids and names come from whatever store the messages were read from:
    // one that is not a plain name would lead elsewhere in the backup.
    const QString& chat = msg.chat->uid;
    const auto put = [&](const QString& local, const QString& name, const char* folder) {
        if (safefile::isPlainName(chat) && safefile::isPlainName(msg.uid) && safefile::isPlainName(name)) {
            mergeItems.append(Item(IOSLoadLineFromiTunesThread::kAppDomain, local, storeFolder + folder + chat + '/' + name, false, false));
        } else {
            qDebug() << "IOSRestoreLineMsgThread: left out" << local << "of message" << msg.uid << "in chat" << chat;
            ++filesLeftOut;
        }
    };
    if (QFileInfo(msg.attaPath).isFile())
        put(msg.attaPath, msg.uid + suffix, "Message Attachments/");
    if (QFileInfo(msg.thumbPath).size() > 0)
        put(msg.thumbPath, msg.uid + ".thumb", "Message Thumbnails/");
}

void IOSRestoreLineMsgThread::run()
{
    std::unique_ptr<IOSLineDb> db;
    try {
        restoredCount = filesLeftOut = 0;
        progress.invokeUpdateProgress(tr("IDS_RESTORING_LINE_MSG_TO_IOS"), 0, QString());
        bool ok = false;
        const QDir lineDir = device->lineRootDir(&ok);
        if (!ok)
            throw std::runtime_error(tr("The device's cache folder %1 cannot be used.").arg(lineDir.path()).toStdString());
        db.reset(new IOSLineDb(lineDir, device->lineHome));
        const QString rel = db->databaseRelPath();
        // The database goes back to the domain it came from; without that
        // record, by iOS version (app groups came with iOS 8).
        QString domain = IOSLoadLineFromiTunesThread::databaseDomain(lineDir);
        if (domain.isEmpty()) {
            const int major = device->versionList().value(0, 0);
            domain = major >= 1 && major <= 7 ? IOSLoadLineFromiTunesThread::kAppDomain
                                              : IOSLoadLineFromiTunesThread::kGroupDomain;
        }
        // Each goes back only over the file it was copied from, and only from
        // a copy whose load finished: one cut off between the database and
        // its log, or made before loads kept a record, lacks messages that
        // the backup's store holds.
        const QHash<QString, QByteArray> records = IOSLoadLineFromiTunesThread::copiedFrom(lineDir);
        for (const char* side : {"", "-wal", "-shm"}) {
            if (rel.isEmpty() || records.value(MBDBParser::getFileHashName(domain, rel + side)).isEmpty()) {
                progress.invokeErrorOccurred(tr("The copy of LINE in %1 does not record which backup it was loaded "
                                                "from: its load did not finish, or an earlier version of this program "
                                                "made it. Nothing was written: load LINE from the backup again, then "
                                                "restore.")
                                                 .arg(lineDir.path()));
                return;
            }
        }
        db->openCheckThrow();
        db->beginTran();
        db->executeThrow("delete from ZMESSAGE where ZCONTENTTYPE=106");
        QHash<const _LineChat*, qint64> chatRows;
        const qint64 n = source->sizeThrow();
        qint64 taken = 0;
        for (qint64 i = 0; i < n; ++i) {
            const _LineMsg msg = source->msgThrow(i);
            if (!isLineMsgUidValid(msg.uid))
                continue;
            ++taken;
            progress.invokeUpdateProgress(QString(), int(double(taken) / double(n) * 100),
                                          QStringLiteral("Messages: %1/%2").arg(taken).arg(n));
            if (!msg.chat)
                continue;
            ++restoredCount;
            qint64& chatPk = chatRows[msg.chat];
            if (chatPk == 0) {
                bool enabled = false;
                chatPk = db->findChatThrow(msg.chat->uid, enabled);
                if (chatPk != 0 && !enabled) {
                    db->executeThrow(Sqlite3Sql(QStringLiteral("update ZCHAT set ZENABLE=1 where Z_PK=%1").arg(chatPk)));
                } else if (chatPk == 0) {
                    chatPk = db->insertChatThrow(msg.chat);
                    db->saveChatMembersThrow(chatPk, msg.chat);
                    if (const _LineGroupInfo* group = msg.chat->group) {
                        if (db->findGroupInfoThrow(group->uid) == 0)
                            db->saveGroupMembersThrow(db->insertGroupInfoThrow(*group), group);
                    }
                }
            }
            if (db->findMsgThrow(chatPk, msg.uid) == 0)
                db->insertMsgThrow(chatPk, &msg);
            listFiles(msg, db->storeFolder());
        }
        db->updateDbStatThrow();
        db->commitTran();

        // The phone gets the database with empty side files, which only a
        // checkpoint that moved every committed page into the file allows:
        // else committed messages would be lost.
        int logFrames = -1, moved = -1;
        const int rc = sqlite3_wal_checkpoint_v2(db->rawHandle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &moved);
        if (rc != SQLITE_OK || logFrames != moved)
            throw std::runtime_error(tr("The messages are in LINE's database, but it could not be made ready for the "
                                        "phone (%1 of %2 changes written): another program may be reading it.")
                                         .arg(moved)
                                         .arg(logFrames)
                                         .toStdString());
        const QString path = db->databasePath();
        db.reset();
        const auto add = [&](const QString& local, const QString& relative) {
            mergeItems.append(Item(domain, local, relative, true, false));
            mergeItems.last().copiedFrom = records.value(MBDBParser::getFileHashName(domain, relative));
        };
        add(path, rel);
        for (const char* side : {"-wal", "-shm"}) {
            // SQLite removes both when its last connection closes; one still
            // there serves another connection of this program (the chat list
            // keeps the store open), and emptying it would pull that one's
            // shared memory away: the backup gets an empty stand-in instead.
            QString local = path + side;
            if (QFileInfo(local).size() > 0)
                local = lineDir.filePath(QStringLiteral("empty"));
            QFile file;
            QString error;
            if (!safefile::openRegular(file, local, QIODevice::WriteOnly | QIODevice::Truncate, &error))
                throw std::runtime_error(error.toStdString());
            add(local, rel + side);
        }
        progress.invokeSucceed(QString());
    } catch (int) {
    } catch (const std::exception& e) {
        progress.invokeErrorOccurred(tr("Please restart your phone to try again.<br/><br/>") + QString::fromUtf8(e.what()));
    }
}
