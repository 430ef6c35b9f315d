// Opening a backup folder and checking its password.
#include "backup/backupmanifest.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

#include "backup/backuplock.h"
#include "backup/iositunesbksetpasswordthread.h"
#include "foundation/datadir.h"
#include "foundation/fileutil.h"
#include "foundation/plistcftype.h"
#include "foundation/progressform.h"
#include "foundation/safefile.h"

namespace {

const char kHowToAccessBackups[] = "https://www.marrowquist.com/howto/macos-backup-access.html";

std::runtime_error error(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// SQLite lays a log or a journal it finds beside a database over it when it
// opens it. Beside the decrypted file list such a file is never this
// program's (the copy is only ever read or copied, never written where it
// lies), so it is a stale or planted one that would bring rows nobody who
// knows the password wrote: removed, a link as a link, never followed.
void removeSideFilesThrow(const QString& list)
{
    for (const char* side : {"-wal", "-shm", "-journal"}) {
        const QString path = list + QLatin1String(side);
        if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
            throw error(BackupManifest::tr("%1 lies beside the decrypted file list and cannot be removed: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
}

// Manifest.plist as a dictionary. An unreadable one must not pass as an
// unencrypted backup: its encrypted files would then be copied out as they
// are stored.
PlistCFType readManifestPlistThrow(const QString& path)
{
    QFile file;
    QString why;
    if (!safefile::openRegular(file, path, QIODevice::ReadOnly, &why))
        throw error(why);
    const PlistCFType plist = PlistCFType::createCFPropertyList(file.read(PlistCFType::kMaxBytes + 1));
    if (!plist.isCFDictionary())
        throw error(BackupManifest::tr("%1 is damaged: it is not a property list.").arg(path));
    return plist;
}

bool hasListKey(const _KeybagInfo& kb)
{
    return kb.attributes.contains(QStringLiteral("DPIC")) && kb.attributes.contains(QStringLiteral("DPSL"));
}

} // namespace

BackupManifest::BackupManifest(const QString& dir, QObject* parent)
    : QObject(parent)
    , dir(dir)
    , root(nullptr, MBDBParser::_MBDBItem(), QString())
{
}

BackupManifest::~BackupManifest() = default;

void BackupManifest::readManifestInfo()
{
    const QString path = dir.absoluteFilePath(QStringLiteral("Manifest.plist"));
    if (!QFileInfo::exists(path))
        throw error(QStringLiteral("Cannot find ") + path
                    + tr("<br/>If you are using MacOS 10.14 or above,  please click <a href=\"%1\">HERE</a>.")
                          .arg(QLatin1String(kHowToAccessBackups)));
    // Read whole or not at all while a merge commits; one cut short is
    // settled first, the one change that opening a folder makes.
    const auto lock = BackupLock::forReadingThrow(dir.absolutePath());
    const PlistCFType plist = readManifestPlistThrow(path);

    const PlistCFType lockdown = plist.get(QStringLiteral("Lockdown"));
    info = _InfoPlist();
    info.udid = lockdown.get(QStringLiteral("UniqueDeviceID")).CFStringQString();
    info.deviceName = lockdown.get(QStringLiteral("DeviceName")).CFStringQString();
    info.date = plist.get(QStringLiteral("Date")).CFDateToDateTime(0);
    info.productType = lockdown.get(QStringLiteral("ProductType")).CFStringQString();
    info.productVersion = lockdown.get(QStringLiteral("ProductVersion")).CFStringQString();
    info.serialNumber = lockdown.get(QStringLiteral("SerialNumber")).CFStringQString();
    info.isEncrypted = plist.get(QStringLiteral("IsEncrypted")).CFNumberBool(false);
    info.backupKeyBag = plist.get(QStringLiteral("BackupKeyBag")).CFDataBytes();
    info.storedManifestKey = plist.get(QStringLiteral("ManifestKey")).CFDataBytes();

    // A folder named after the UDID shows as the device; any other keeps its
    // own name behind the device's. Without a UDID or a device name there is
    // nothing to replace or to put in front.
    const QString folder = QFileInfo(dir.absolutePath()).fileName();
    if (info.deviceName.isEmpty())
        displayName = folder;
    else if (!info.udid.isEmpty() && folder.contains(info.udid))
        displayName = QString(folder).replace(info.udid, info.deviceName);
    else
        displayName = info.deviceName + QLatin1Char('-') + folder;

    const QFileInfo status(dir.absoluteFilePath(QStringLiteral("Status.plist")));
    if (status.isFile())
        info.date = status.lastModified();
}

QList<QDir> BackupManifest::iTunesBackupDirs()
{
    return {QDir(g_osAppDir().absoluteFilePath(QStringLiteral("MobileSync/Backup")))};
}

QString BackupManifest::dirPathMd5() const
{
    return g_md5(dir.absolutePath());
}

bool BackupManifest::setPasscode(const QString& password)
{
    ProgressForm form(QString(), nullptr);
    form.setCancelable(false); // only its wait for another window can be cancelled
    IOSiTunesBKSetPasswordThread thread(*this, password, form);
    const int shown = form.runWorker(thread);
    form.waitForThread(thread, true);
    return shown == 1 && thread.result;
}

bool BackupManifest::setPasscodeNoUIThrow(const QString& password, const BackupLock::Waiting& waiting, int waitMs)
{
    _KeybagInfo kb = parseKeybag(info.backupKeyBag);
    int unwrapped = 0;
    if (!unlockWithPasscode(password.toUtf8(), kb, &unwrapped)) {
        if (!kb.damage.isEmpty())
            throw error(tr("The backup's keybag is damaged: %1.").arg(kb.damage));
        return false;
    }
    // A keybag of an encrypted backup in which no class key is sealed by the
    // password would take any password and unlock nothing.
    if (info.isEncrypted && unwrapped == 0)
        throw error(tr("The backup is encrypted, but its keybag holds no key that a password unlocks."));

    Derived derived;
    if (info.isEncrypted && hasListKey(kb)) {
        // A merge's commit replaces the list and its decrypted copy together:
        // decrypted in the middle of one, the copy would be the old list
        // beside the new.
        const auto lock = BackupLock::forWritingThrow(dir.absolutePath(), waitMs, waiting);
        if (waiting.cancelled && *waiting.cancelled)
            throw -1;
        derived = deriveListThrow(kb, info.backupKeyBag);
    }
    keybag = kb;
    m_unlockedKeybag = info.backupKeyBag;
    passcode = password;
    if (!derived.key.isEmpty()) {
        manifestKey = derived.key;
        info.storedManifestKey = derived.storedKey;
        decryptedManifestPath = dir.absoluteFilePath(QStringLiteral("Manifest-decrypted.db"));
        m_unlockStamp = derived.stamp;
    }
    return true;
}

BackupManifest::Derived BackupManifest::deriveListThrow(const _KeybagInfo& kb, const QByteArray& keybagBytes) const
{
    // The backup as it is now, which another backup into the folder may
    // have replaced since it was opened or unlocked.
    const PlistCFType plist = readManifestPlistThrow(dir.absoluteFilePath(QStringLiteral("Manifest.plist")));
    if (!plist.get(QStringLiteral("IsEncrypted")).CFNumberBool(false)
        || plist.get(QStringLiteral("BackupKeyBag")).CFDataBytes() != keybagBytes)
        throw error(tr("The backup %1 was replaced by a newer backup since its password was entered. Open it and "
                       "enter its password again.")
                        .arg(dir.absolutePath()));
    Derived derived;
    derived.storedKey = plist.get(QStringLiteral("ManifestKey")).CFDataBytes();
    if (!manifestKey.isEmpty() && derived.storedKey == info.storedManifestKey)
        derived.key = manifestKey; // the key this object unwrapped already
    const QByteArray wrapped = derived.storedKey.mid(4);
    for (auto it = kb.classKeys.cbegin(); it != kb.classKeys.cend() && derived.key.isEmpty(); ++it)
        derived.key = unwrapKeyForClass(kb, it.key(), wrapped);
    if (derived.key.isEmpty())
        throw error(tr("The backup's file list is encrypted, but its key (ManifestKey in Manifest.plist) "
                       "does not unwrap with any key of the keybag."));
    // The plain file list of an encrypted backup: for its owner's eyes
    // only, and never read together with files found beside it, neither
    // those there before the copy appears nor one put there meanwhile.
    const QString copy = dir.absoluteFilePath(QStringLiteral("Manifest-decrypted.db"));
    removeSideFilesThrow(copy);
    decryptToThrow(derived.key, dir.absoluteFilePath(QStringLiteral("Manifest.db")), copy, 0600);
    removeSideFilesThrow(copy);
    derived.stamp = unlockStamp();
    return derived;
}

std::unique_ptr<BackupLock> BackupManifest::lockForReadingThrow(int waitMs, const BackupLock::Waiting& waiting)
{
    // Derived again under the lock held alone, as it writes the decrypted
    // list; then read under a reader's lock like any other reader.
    for (int round = 0; round < 3; ++round) {
        auto lock = BackupLock::forReadingThrow(dir.absolutePath(), waitMs, waiting);
        if (manifestKey.isEmpty() || unlockStamp() == m_unlockStamp)
            return lock;
        lock.reset();
        lockForWritingThrow(waitMs, waiting);
    }
    throw error(tr("The backup %1 keeps being replaced by another backup; try again when it has ended.")
                    .arg(dir.absolutePath()));
}

std::unique_ptr<BackupLock> BackupManifest::lockForWritingThrow(int waitMs, const BackupLock::Waiting& waiting)
{
    auto lock = BackupLock::forWritingThrow(dir.absolutePath(), waitMs, waiting);
    if (!manifestKey.isEmpty() && unlockStamp() != m_unlockStamp) {
        const Derived derived = deriveListThrow(keybag, m_unlockedKeybag);
        manifestKey = derived.key;
        info.storedManifestKey = derived.storedKey;
        m_unlockStamp = derived.stamp;
    }
    return lock;
}

void BackupManifest::listReplaced()
{
    if (!manifestKey.isEmpty())
        m_unlockStamp = unlockStamp();
}

QDir iosbackup_temp_dir(const QString& name)
{
    QString path = g_defaultSaveDirPath() + QStringLiteral("/__marrowquist_iosbk_temp");
    if (!name.isEmpty())
        path += QLatin1Char('/') + name;
    return QDir(path);
}

void iosbackup_clear_temp(const QString& name)
{
    // Each backup in it goes only while no other window reads or writes it;
    // a link in its place, or in a backup's, loses only the link.
    const QDir temp = iosbackup_temp_dir(name);
    if (!g_removeLink(temp.absolutePath())) {
        const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
        for (const QString& entry : temp.entryList(all))
            BackupLock::deleteFolder(temp.absoluteFilePath(entry));
        QDir().rmdir(temp.absolutePath());
    }
    QFile::remove(g_dataSaveDir().absoluteFilePath(QStringLiteral("__marrowquist_iosbk_temp.path")));
}
