#include "device/iosloadlinefromitunesthread.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "backup/backuplock.h"
#include "chatdata/ioslinedb.h"
#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"

const QString IOSLoadLineFromiTunesThread::kAppDomain = QStringLiteral("AppDomain-jp.naver.line");
const QString IOSLoadLineFromiTunesThread::kGroupDomain = QStringLiteral("AppDomainGroup-group.com.linecorp.line");

namespace {

using Node = BackupManifest::_FileNode;

const QLatin1String kDomainFile("backup-domain");
const QLatin1String kRecordsFile("backup-records");

// A small file of the program's own in the cache, as one write or none.
void writeRecordThrow(const QString& path, const QByteArray& bytes)
{
    safefile::AtomicFile record(path, 0600);
    QString error;
    if (!record.open(&error))
        throw std::runtime_error(error.toStdString());
    if (record.file().write(bytes) != bytes.size())
        throw std::runtime_error(record.file().errorString().toStdString());
    if (!record.commit(&error))
        throw std::runtime_error(error.toStdString());
}

bool named(const Node* node, const char* name)
{
    return node->name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

const Node* child(const Node* node, const char* name)
{
    for (const Node* c : node->children) {
        if (named(c, name))
            return c;
    }
    return nullptr;
}

// Whether the tree below `top` holds a file at `path`, a path of the copy
// (its names encoded as the copy encodes them).
bool holds(const Node* top, const QString& path)
{
    const Node* node = top;
    for (const QString& part : path.split(QLatin1Char('/'))) {
        const Node* next = nullptr;
        for (const Node* c : node ? node->children : QList<Node*>()) {
            if (pathutil::encodeFileName(c->name) == part)
                next = c;
        }
        node = next;
    }
    return node && !node->item.isFolder();
}

} // namespace

IOSLoadLineFromiTunesThread::IOSLoadLineFromiTunesThread(BackupManifest* manifest, ProgressForm& progress,
                                                         QString cacheDir, QObject* parent)
    : QThread(parent)
    , manifest(manifest)
    , progress(progress)
    , cacheDir(cacheDir.isEmpty() ? QDir(QString()) : QDir(cacheDir))
    , privateCache(cacheDir.isEmpty())
{
}

void IOSLoadLineFromiTunesThread::makePrivateCacheThrow()
{
    // A fixed name under the shared temporary folder could be made first by
    // another user, as a folder of theirs or a link: mkdtemp makes a new one
    // (mode 0700) or fails. The backup's digest inside keeps copies of
    // different backups apart when a caller reuses the folder.
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/marrowquist-itunes_cache-XXXXXX"));
    if (!::mkdtemp(pattern.data())) {
        const int code = errno;
        throw std::runtime_error(tr("can not create %1").arg(QFile::decodeName(pattern)).toStdString() + ": "
                                 + std::strerror(code));
    }
    cacheDir = QDir(QFile::decodeName(pattern) + QLatin1Char('/') + manifest->dirPathMd5());
    cacheMade = true;
}

QHash<QString, QByteArray> IOSLoadLineFromiTunesThread::copiedFrom(const QDir& lineDir)
{
    QHash<QString, QByteArray> records;
    QFile file(lineDir.filePath(kRecordsFile));
    if (!safefile::openRegular(file, file.fileName(), QIODevice::ReadOnly))
        return records;
    const QJsonObject taken = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    for (auto it = taken.begin(); it != taken.end(); ++it)
        records.insert(it.key(), it.value().toString().toLatin1());
    return records;
}

QString IOSLoadLineFromiTunesThread::databaseDomain(const QDir& lineDir)
{
    QFile file(lineDir.filePath(kDomainFile));
    if (!safefile::openRegular(file, file.fileName(), QIODevice::ReadOnly))
        return QString();
    const QString domain = QString::fromUtf8(file.read(100));
    return domain == kAppDomain || domain == kGroupDomain ? domain : QString();
}

std::string IOSLoadLineFromiTunesThread::unrecorded(const QString& why)
{
    return tr("The load of LINE could not record what it copied (%1), so no restore can use this copy. Load LINE "
              "from the backup again.")
        .arg(why)
        .toUtf8()
        .toStdString();
}

void IOSLoadLineFromiTunesThread::copyThrow(const Node* node, QDir dst, bool force)
{
    progress.invokeUpdateProgress(QString(), -1, tr("IDS_CACHING_BACKUP_FILE_%1").arg(node->name));
    if (progress.cancelled)
        throw -1;
    // Encoded, no name leads out of dst: "..", "" and "a/b" become plain names.
    const QString name = pathutil::encodeFileName(node->name);
    if (node->item.isFolder()) {
        if (!dst.mkpath(name))
            throw std::runtime_error(tr("can not create %1").arg(dst.filePath(name)).toStdString());
        for (const Node* c : node->children)
            copyThrow(c, QDir(dst.filePath(name)), force);
        return;
    }
    if (!QFileInfo::exists(MBDBParser::getBKFilePath(manifest->dir, node->item.backupFileName(), false)))
        return;
    const QString target = dst.filePath(name);
    if (!force && QFileInfo(target).size() > 0)
        return;
    manifest->copyFile(node, target, nullptr, nullptr);
}

void IOSLoadLineFromiTunesThread::run()
{
    lineDbFound = false;
    try {
        const QString status = tr("IDS_LOADING_ITUNES_BACKUP");
        progress.invokeUpdateProgress(status, 99, QString());
        // No merge commits while the files are copied, so the copy is of one
        // state of the backup; one that committed since the list was read
        // makes the tree be read again.
        const auto lock = manifest->lockForReadingThrow(BackupLock::workerWaitMs, BackupLock::shownIn(progress, status));
        manifest->refreshInfoThrow();
        const Node *app = nullptr, *group = nullptr;
        for (const Node* top : manifest->root.children) {
            if (!app && named(top, "Applications"))
                app = child(top, "jp.naver.line");
            else if (!group && named(top, "AppDomainGroup"))
                group = child(top, "group.com.linecorp.line");
        }
        if (!app && !group) {
            progress.invokeErrorOccurred(tr("Found no Line data in your iTunes Backup. Please check if you have "
                                            "installed and logined Line on your iPhone."));
            return;
        }
        if (privateCache)
            makePrivateCacheThrow();
        lineDir = QDir(cacheDir.filePath(QStringLiteral("jp.naver.line")));
        if (!QDir().mkpath(lineDir.absolutePath()))
            throw std::runtime_error(tr("can not create %1").arg(lineDir.absolutePath()).toStdString());
        g_delDirCascade(lineDir.filePath(QStringLiteral("Documents")));
        g_delDirCascade(lineDir.filePath(QStringLiteral("Library")));
        QFile::remove(lineDir.filePath(kDomainFile));
        // A restore trusts the copy that the record describes: one kept
        // beside a copy cut short would let that copy over the backup's.
        QFile earlier(lineDir.filePath(kRecordsFile));
        if (!earlier.remove() && QFileInfo(earlier.fileName()).exists())
            throw std::runtime_error(unrecorded(earlier.fileName() + QStringLiteral(": ") + earlier.errorString()));
        for (const Node* c : app ? app->children : QList<Node*>()) {
            if (named(c, "Documents") || named(c, "Library"))
                copyThrow(c, lineDir, true);
        }
        for (const Node* c : group ? group->children : QList<Node*>()) {
            if (named(c, "Library"))
                copyThrow(c, lineDir, true);
        }
        const IOSLineDb db(lineDir, QString());
        const bool found = QFileInfo(db.databasePath()).size() > 0;
        // The group's copy is the one kept when both hold the database; a
        // restore writes it back to where it came from.
        const QString& rel = db.databaseRelPath();
        const QString domain = group && holds(group, rel) ? kGroupDomain : app && holds(app, rel) ? kAppDomain : "";
        if (found && !domain.isEmpty()) {
            // What the store's files were in the backup, taken under the same
            // lock as the copy: a restore may replace only those.
            QJsonObject taken;
            for (const char* side : {"", "-wal", "-shm"}) {
                const QString id = MBDBParser::getFileHashName(domain, rel + QLatin1String(side));
                taken.insert(id, QString::fromLatin1(manifest->recordStamp(manifest->items, id)));
            }
            // The record last: a load cut off before it leaves a copy that
            // no restore writes back.
            try {
                writeRecordThrow(lineDir.filePath(kDomainFile), domain.toUtf8());
                writeRecordThrow(lineDir.filePath(kRecordsFile), QJsonDocument(taken).toJson(QJsonDocument::Compact));
            } catch (const std::exception& e) {
                throw std::runtime_error(unrecorded(QString::fromUtf8(e.what())));
            }
        }
        lineDbFound = found;
        progress.invokeSucceed(QString());
    } catch (int) {
    } catch (const std::exception& e) {
        progress.invokeErrorOccurred(QString::fromUtf8(e.what()));
    }
}
