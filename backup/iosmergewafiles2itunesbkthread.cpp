#include "backup/iosmergewafiles2itunesbkthread.h"

#include <QFileInfo>

#include <stdexcept>

#include "backup/backupmanifest.h"
#include "backup/stagedfiles.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"

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
    progress.invokeUpdateProgress(tr("Transferring files..."), 0, QString());
    MBDBParser::MBDBItemMap map = MBDBParser::parse(manifest);
    MBDBParser::ProtectionClsKeyInfo key3, key4;
    const bool encrypted = manifest.info.isEncrypted;
    if (encrypted) {
        // Only the classes that the entries use need a key.
        bool need3 = false, need4 = false;
        for (const _Item& e : items)
            (e.class4 ? need4 : need3) |= !e.localFile.isEmpty() && !e.relativePath.isEmpty();
        try {
            manifest.firstEncryptedItem(map, key3, key4);
        } catch (const std::exception&) {
            if ((need3 && key3.key.isEmpty()) || (need4 && key4.key.isEmpty()))
                throw;
        }
    }
    // The folder does not change before staged.commitThrow(): leaving early
    // removes everything staged.
    StagedFiles staged;
    const qsizetype n = items.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (progress.cancelled)
            return;
        const _Item& e = items[i];
        progress.invokeUpdateProgress(QString(), int(double(i + 1) / double(n) * 100),
                                      QStringLiteral("File: %1").arg(e.relativePath.section(QLatin1Char('/'), -1)));
        // Without a domain the file would get no record.
        const QFileInfo local(e.localFile);
        if (e.relativePath.isEmpty() || e.localFile.isEmpty() || e.domain.isEmpty() || !local.isFile())
            continue;
        const QString id = MBDBParser::getFileHashName(e.domain, e.relativePath);
        const QString target = MBDBParser::getBKFilePath(manifest.dir, id, false);
        // A link planted in the backup folder could lead the write out of it.
        QString why;
        if (safefile::resolveInside(manifest.dir.absolutePath(), manifest.dir.relativeFilePath(target), &why).isEmpty())
            throw std::runtime_error(QStringLiteral("%1: %2").arg(target, why).toStdString());
        const QFileInfo onDisk(target);
        QString data = staged.staged(target);
        const bool exists = !data.isEmpty() || onDisk.exists() || onDisk.isSymLink();
        if (e.overwrite || !exists) {
            data = staged.stageThrow(target);
            BackupManifest::encryptFileThrow(e.localFile, data, (e.class4 ? key4 : key3).key);
        } else if (data.isEmpty()) {
            data = target;
        }
        qDebug("IOSMergeWAFiles2iTunesBKThread: %s ==> (%s) %s", qUtf8Printable(target), qUtf8Printable(e.domain),
               qUtf8Printable(e.relativePath));
        if (!MBDBParser::appendFile(map, e.class4, data, e.domain, e.relativePath, local.size(),
                                    encrypted ? &key3 : nullptr, encrypted ? &key4 : nullptr, &why))
            throw std::runtime_error(why.toStdString());
        // The plain length, also for an empty file, whose padded data file
        // would otherwise give its size.
        map.files[id].size = local.size();
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
    MBDBParser::save2File(map.files.values(), manifest, &staged);
    staged.commitThrow();
    progress.invokeSucceed(QString());
}
