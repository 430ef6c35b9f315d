#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

#include "backup/backuplock.h"
#include "backup/keybaginfo.h"
#include "backup/mbdbparser.h"

class Sqlite3DB;

// Progress of a copy: total and done bytes, and the caller's context.
typedef void (*BackupCopyProgress)(long long total, long long done, void* context);

// One iTunes-style backup folder: its identity (Manifest.plist, Status.plist),
// its encryption (keybag, class keys, manifest key), its file list as records
// and as a tree, and the copying of its files. Everything read from the
// folder is untrusted. Used by one thread at a time; shared as a
// QSharedPointer.
class BackupManifest : public QObject
{
    Q_OBJECT
public:
    struct _InfoPlist
    {
        QString udid;
        QString deviceName;
        QDateTime date;
        QString productType;
        QString productVersion;
        QString serialNumber;
        bool isEncrypted = false;
        QByteArray backupKeyBag;
        QByteArray storedManifestKey; // 4-byte prefix + wrapped manifest key
    };

    // A node of the file tree. Owns its children; never copied.
    struct _FileNode
    {
        _FileNode(_FileNode* parent, const MBDBParser::_MBDBItem& item, const QString& name);
        ~_FileNode();
        _FileNode(const _FileNode&) = delete;
        _FileNode& operator=(const _FileNode&) = delete;

        QString name;
        MBDBParser::_MBDBItem item;
        _FileNode* parent;
        QList<_FileNode*> children;
    };

    explicit BackupManifest(const QString& dir, QObject* parent = nullptr);
    ~BackupManifest() override;

    // Reads Manifest.plist and Status.plist as a reader of the folder
    // (BackupLock), after settling what a merge cut short left in it. Throws
    // std::runtime_error when Manifest.plist is missing, unreadable or not a
    // property-list dictionary, when such a merge cannot be settled (a folder
    // that cannot be written) and when another window keeps the folder.
    void readManifestInfo();
    static QList<QDir> iTunesBackupDirs();
    // MD5 of the folder's absolute path: 32 lower-case hex characters.
    QString dirPathMd5() const;

    // The password check behind a progress window; true when accepted.
    bool setPasscode(const QString& password);
    // The check itself on the calling thread: false for a wrong password.
    // Throws for a damaged keybag, an encrypted backup whose keybag no
    // password can unlock, an encrypted file list whose key does not unwrap,
    // and a failed decryption of Manifest.db. Only an accepted password
    // changes the object. Writing the decrypted list takes the folder's lock
    // alone, waiting as `waiting` says.
    bool setPasscodeNoUIThrow(const QString& password, const BackupLock::Waiting& waiting = {},
                              int waitMs = BackupLock::defaultWaitMs);

    // The folder's lock as a reader or as a writer (BackupLock), with what an
    // unlock derived from the file list (the decrypted list, the manifest
    // key) made sure, under it, to be still of the Manifest.db and the
    // Manifest.plist on disk: the phone's next backup into the folder
    // replaces both. Derived again with the class keys held while the keybag
    // is the one unlocked; otherwise an error asks for the password again,
    // and nothing was written.
    std::unique_ptr<BackupLock> lockForReadingThrow(int waitMs = BackupLock::defaultWaitMs,
                                                    const BackupLock::Waiting& waiting = {});
    std::unique_ptr<BackupLock> lockForWritingThrow(int waitMs = BackupLock::defaultWaitMs,
                                                    const BackupLock::Waiting& waiting = {});
    // Called by a writer holding the lock alone once its commit has replaced
    // the list and its decrypted copy together: they belong together still.
    void listReplaced();

    // Builds `items`, the tree under `root` and the indexes once, reading the
    // list as a reader of the folder; later calls return at once. Throws what
    // the list reader throws. Names that could
    // lead out of a folder ("", ".", "..", a "/" inside a domain's name) get
    // no node; their records stay in `items`.
    void parseInfo();
    // Builds them anew when the file list on disk is no longer the one
    // parseInfo read (another window merged into the folder since); true
    // then. Node pointers taken before are gone. The caller holds the
    // folder's lock as a reader, so the list stays as it is read.
    bool refreshInfoThrow();

    // Copying out. Outputs appear only when complete (written aside, then
    // renamed); failures throw std::runtime_error and leave no output.
    void decryptFileThrow(const QByteArray& key, const QString& inPath, const QString& outPath, void* context,
                          BackupCopyProgress callback) const;
    static void encryptFileThrow(const QString& inPath, const QString& outPath, const QByteArray& key);
    // Copies a record's data file to outPath, decrypted in an encrypted
    // backup; a record whose stored key does not unwrap is an error. The
    // output's times are the record's modification time.
    void copyItemThrow(const MBDBParser::_MBDBItem& item, const QString& outPath, void* context,
                       BackupCopyProgress callback) const;
    void copyFile(const _FileNode* node, const QString& outPath, void* context, BackupCopyProgress callback) const;
    // A usable file key of class 3 and one of class 4 from the list; throws
    // when either is missing.
    void firstEncryptedItem(MBDBParser::ProtectionClsKeyInfo& class3, MBDBParser::ProtectionClsKeyInfo& class4);
    // The same from a list already read; whatever was found stays in the
    // arguments when it throws.
    void firstEncryptedItem(const MBDBParser::MBDBItemMap& list, MBDBParser::ProtectionClsKeyInfo& class3,
                            MBDBParser::ProtectionClsKeyInfo& class4) const;

    // What the record `fileId` of `list` and its data file are now, as a
    // short text that changes when either is changed, replaced or removed
    // (the phone's next backup, another merge): the record's fields and the
    // data file's size and time. Every file without a record gives "none".
    // No data are read.
    QByteArray recordStamp(const MBDBParser::MBDBItemMap& list, const QString& fileId) const;

    // Writes a copy of the Manifest.db list beside the backup as outPath that
    // names only the rows of keepDomains, of four always-kept files and, with
    // keepSystem, of system domains and Apple's apps, each only when its data
    // are present in the folder (folder rows always; links never). With a
    // manifest key outPath is encrypted like Manifest.db and outPath +
    // "-decrypt" holds the plain copy. The hook may run statements on the
    // copy before it is compacted. The backup's own files are not changed;
    // older outputs are removed first, and a failure leaves none. Throws
    // std::runtime_error.
    void saveManifestDbAsThrow(bool keepSystem, QSet<QString> keepDomains, const QString& outPath,
                               void (*hook)(Sqlite3DB*));

    _InfoPlist info;
    QString displayName;
    QString decryptedManifestPath;
    QByteArray manifestKey;
    QDir dir;
    _FileNode root;
    QString passcode;
    _KeybagInfo keybag;

    // Filled by parseInfo; plain pointers into the tree.
    QList<const _FileNode*> photos;
    QList<const _FileNode*> videos;
    QMap<QString, const _FileNode*> photoThumbnails;
    QMap<QString, const _FileNode*> smsParts;
    QMap<QString, const _FileNode*> smsAttachments;
    QMap<QString, const _FileNode*> smsFilesByDevicePath;
    const _FileNode* smsDb = nullptr;
    const _FileNode* addressBookDb = nullptr;
    const _FileNode* addressBookImagesDb = nullptr;
    const _FileNode* notesDb = nullptr;
    const _FileNode* calendarDb = nullptr;
    const _FileNode* calendarExtrasDb = nullptr;
    const _FileNode* recordingsDb = nullptr;
    const _FileNode* voicemailDb = nullptr;
    const _FileNode* bookmarksDb = nullptr;
    const _FileNode* callHistoryDb = nullptr;
    const _FileNode* callHistoryStore = nullptr;
    QMap<QString, const _FileNode*> recordings;
    QMap<int, const _FileNode*> voicemails;
    MBDBParser::MBDBItemMap items;


private:
    // What identifies files on disk: another file at a path, or the same one
    // changed, gives another value.
    static QByteArray statStamp(const QStringList& paths);
    // The file list on disk (and its log).
    QByteArray listStamp() const;
    // The files an unlock derived its list and key from, and the decrypted list.
    QByteArray unlockStamp() const;
    struct Derived
    {
        QByteArray key, storedKey, stamp;
    };
    // Under the folder's lock held alone: the manifest key of Manifest.plist
    // as it is now, unwrapped with `kb` (parsed from `keybagBytes`), and
    // Manifest.db decrypted with it into the decrypted list.
    Derived deriveListThrow(const _KeybagInfo& kb, const QByteArray& keybagBytes) const;
    QByteArray m_unlockedKeybag; // the keybag's bytes `keybag` was unlocked from
    QByteArray m_unlockStamp;
    void clearInfo();
    // parseInfo's work; without takeLock the caller holds the folder's lock.
    void buildInfo(bool takeLock);
    QByteArray m_parsedStamp;
    void decryptToThrow(const QByteArray& key, const QString& inPath, const QString& outPath, int permissions) const;
};

// The folder in which fresh device backups are made ("line" for LINE's);
// nothing is created.
QDir iosbackup_temp_dir(const QString& name);
// Deletes that folder and the data folder's "__marrowquist_iosbk_temp.path".
void iosbackup_clear_temp(const QString& name);
