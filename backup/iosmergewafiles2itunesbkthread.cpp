#include "backup/iosmergewafiles2itunesbkthread.h"

#include <QFileInfo>

#include <stdexcept>
#include <vector>

#include "backup/backuplock.h"
#include "backup/backupmanifest.h"
#include "backup/keybaginfo.h"
#include "backup/mbdbparser_p.h"
#include "backup/stagedfiles.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"

namespace {
constexpr qsizetype kBatch = 512;

// Whether the merge puts the entry into the backup at all: without a domain
// the file would get no record.
bool mergeable(const IOSMergeWAFiles2iTunesBKThread::_Item& e, const QFileInfo& local)
{
    return !e.relativePath.isEmpty() && !e.localFile.isEmpty() && !e.domain.isEmpty() && local.isFile();
}
} // namespace

IOSMergeWAFiles2iTunesBKThread::IOSMergeWAFiles2iTunesBKThread(BackupManifest& manifest, const QList<_Item>& items,
                                                               ProgressForm& progress, QObject* parent)
    : QThread(parent)
    , manifest(manifest)
    , items(items)
    , progress(progress)
{
}

void IOSMergeWAFiles2iTunesBKThread::setRemoveItems(const QList<_Item>& items)
{
    removeItems = items;
}

void IOSMergeWAFiles2iTunesBKThread::run()
{
    try {
        mergeThrow();
    } catch (int) {
    } catch (const std::exception& e) {
        progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    }
}

void IOSMergeWAFiles2iTunesBKThread::mergeThrow()
{
    const QString status = tr("Transferring files...");
    progress.invokeUpdateProgress(status, 0, QString());
    // The folder's only writer, and no reader meanwhile, from settling what
    // an interrupted merge left (its journal says what) to the end of the
    // commit. Another window's load of a large backup may take a while.
    const QString folder = manifest.dir.absolutePath();
    const auto lock = manifest.lockForWritingThrow(BackupLock::workerWaitMs, BackupLock::shownIn(progress, status));
    // The list is read afresh, as the backup may have changed since it was
    // opened. Only the records of the entries and of their folders are
    // changed and written back; of every other record the merge needs no
    // more than its inode number and its key, so only those are decoded.
    QSet<QString> touched;
    for (const _Item& e : items) {
        if (e.domain.isEmpty())
            continue;
        for (QString path = e.relativePath; !path.isEmpty();
             path.truncate(qMax<qsizetype>(0, path.lastIndexOf(QLatin1Char('/')))))
            touched.insert(MBDBParser::getFileHashName(e.domain, path));
    }
    // Removals look at every record.
    const QSet<QString>* part = removeItems.isEmpty() ? &touched : nullptr;
    MBDBParser::MBDBItemMap map = mbdbdetail::parse(manifest, part);
    // A copy made from an earlier state of a file replaces nothing newer: the
    // phone's next backup, or another window's merge, since LINE was loaded
    // holds messages the copy never had.
    for (const _Item& e : items) {
        if (!e.overwrite || e.copiedFrom.isEmpty() || !mergeable(e, QFileInfo(e.localFile)))
            continue;
        if (manifest.recordStamp(map, MBDBParser::getFileHashName(e.domain, e.relativePath)) != e.copiedFrom)
            throw std::runtime_error(tr("LINE's %1 in the backup %2 has changed since LINE was loaded from it, by the "
                                        "phone's next backup or by a restore already merged into it. Nothing was "
                                        "written: load LINE from the backup again, then restore.")
                                         .arg(e.relativePath.section(QLatin1Char('/'), -1), folder)
                                         .toUtf8()
                                         .toStdString());
    }
    MBDBParser::ProtectionClsKeyInfo key3, key4;
    const bool encrypted = manifest.info.isEncrypted;
    if (encrypted) {
        // Only the classes that the entries use need a key.
        bool need3 = false, need4 = false;
        for (const _Item& e : items)
            (e.class4 ? need4 : need3) |= !e.localFile.isEmpty() && !e.relativePath.isEmpty();
        for (;;) {
            try {
                manifest.firstEncryptedItem(map, key3, key4);
            } catch (const std::exception&) {
                if ((need3 && key3.key.isEmpty()) || (need4 && key4.key.isEmpty())) {
                    // None of the first records of a class held a key that
                    // unwraps: look through all of them.
                    if (!part)
                        throw;
                    map = mbdbdetail::parse(manifest, part = nullptr);
                    continue;
                }
            }
            break;
        }
    }
    // The folder does not change before staged.commitThrow(): leaving early
    // removes everything staged. Entries go in batches: the data files of a
    // batch are encrypted on every core, then recorded in entry order.
    struct Planned
    {
        qsizetype entry;
        QString id, data;
        qint64 size;
        MBDBParser::ProtectionClsKeyInfo ownKey;
    };
    struct Copy
    {
        QString from, to;
        QByteArray key;
        QString error;
    };
    StagedFiles staged(folder);
    // Asked before each entry, before the list is written and before the
    // commit: leaving at any of them leaves the folder as it was.
    const auto cancelled = [this]() -> bool { return progress.cancelled; };
    const qsizetype n = items.size();
    for (qsizetype first = 0; first < n; first += kBatch) {
        std::vector<Planned> planned;
        std::vector<Copy> copies;
        QHash<QString, size_t> copyTo; // a name staged twice gets only its last content
        for (qsizetype i = first; i < qMin(n, first + kBatch); ++i) {
            if (cancelled())
                return;
            const _Item& e = items[i];
            progress.invokeUpdateProgress(QString(), int(double(i + 1) / double(n) * 100),
                                          QStringLiteral("File: %1").arg(e.relativePath.section(QLatin1Char('/'), -1)));
            const QFileInfo local(e.localFile);
            if (!mergeable(e, local))
                continue;
            const QString id = MBDBParser::getFileHashName(e.domain, e.relativePath);
            const QString target = MBDBParser::getBKFilePath(manifest.dir, id, false);
            // A link planted in the backup folder could lead the write out of it.
            QString why;
            if (safefile::resolveInside(manifest.dir.absolutePath(), manifest.dir.relativeFilePath(target), &why)
                    .isEmpty())
                throw std::runtime_error(QStringLiteral("%1: %2").arg(target, why).toStdString());
            const QFileInfo onDisk(target);
            QString data = staged.staged(target);
            const bool onDiskNow = onDisk.exists() || onDisk.isSymLink();
            // A recorded file that stays keeps its record too: size, digest
            // and times of the local file would not describe the bytes kept.
            // A data file without a record, left by an earlier removal, is
            // nobody's and gets replaced.
            if (!e.overwrite && (!data.isEmpty() || (onDiskNow && map.files.contains(id))))
                continue;
            data = staged.stageThrow(target);
            // A file that has a record keeps that record's own key (and so
            // its class): until the commit's last rename the list on disk is
            // the old one, and a crash before it must leave every data file
            // one that this list decrypts.
            MBDBParser::ProtectionClsKeyInfo own;
            const auto known = map.files.constFind(id);
            if (encrypted && known != map.files.cend() && !known->undecoded && !known->isFolder()
                && known->encryptionKey.data.size() > 4) {
                own.key = unwrapKeyForClass(manifest.keybag, known->protectionClass, known->encryptionKey.data.mid(4));
                own.protectionClass = known->protectionClass;
                own.encryptionKey = known->encryptionKey;
            }
            const Copy copy{e.localFile, data, own.key.isEmpty() ? (e.class4 ? key4 : key3).key : own.key, QString()};
            const size_t k = copyTo.value(data, copies.size());
            if (k == copies.size()) {
                copyTo.insert(data, k);
                copies.push_back(copy);
            } else {
                copies[k] = copy;
            }
            qDebug("IOSMergeWAFiles2iTunesBKThread: %s ==> (%s) %s", qUtf8Printable(target), qUtf8Printable(e.domain),
                   qUtf8Printable(e.relativePath));
            planned.push_back({i, id, data, local.size(), own});
        }
        mbdbdetail::parallelFor(copies.size(), [&](size_t k) {
            try {
                BackupManifest::encryptFileThrow(copies[k].from, copies[k].to, copies[k].key);
            } catch (const std::exception& ex) {
                copies[k].error = QString::fromUtf8(ex.what());
            }
        });
        for (const Copy& copy : copies)
            if (!copy.error.isEmpty())
                throw std::runtime_error(copy.error.toStdString());
        for (const Planned& p : planned) {
            const _Item& e = items[p.entry];
            QString why;
            const MBDBParser::ProtectionClsKeyInfo* own = p.ownKey.key.isEmpty() ? nullptr : &p.ownKey;
            const MBDBParser::ProtectionClsKeyInfo* k3 = encrypted ? (own ? own : &key3) : nullptr;
            const MBDBParser::ProtectionClsKeyInfo* k4 = encrypted ? (own ? own : &key4) : nullptr;
            if (!MBDBParser::appendFile(map, e.class4, p.data, e.domain, e.relativePath, p.size, k3, k4, &why))
                throw std::runtime_error(why.toStdString());
            // The plain length, also for an empty file, whose padded data file
            // would otherwise give its size.
            map.files[p.id].size = p.size;
        }
    }
    for (MBDBParser::_MBDBItem& r : map.files) {
        for (const _Item& e : removeItems) {
            if (r.domain.toString() == e.domain && r.path.toString().startsWith(e.relativePath)) {
                r.deleted = true;
                qDebug("IOSMergeWAFiles2iTunesBKThread, remove, bk:%s, path:%s", qUtf8Printable(r.backupFileName()),
                       qUtf8Printable(r.path.toString()));
            }
        }
    }
    if (cancelled())
        return;
    // Manifest.db gets only its changed rows; Manifest.mbdb is written whole.
    QList<MBDBParser::_MBDBItem> records;
    const bool whole = !MBDBParser::isIos10Mbdb(manifest.dir);
    if (whole)
        records.reserve(map.files.size());
    for (const MBDBParser::_MBDBItem& r : std::as_const(map.files))
        if (whole || r.added || r.modified || r.deleted)
            records.append(r);
    MBDBParser::save2File(std::move(records), manifest, &staged);
    if (cancelled())
        return;
    try {
        staged.commitThrow();
    } catch (const StagedFiles::CommitError& e) {
        throw std::runtime_error(
            (tr("can not overwrite %1").arg(e.target) + QStringLiteral(": ") + e.reason).toUtf8().toStdString());
    }
    manifest.listReplaced();
    progress.invokeSucceed(QString());
}
