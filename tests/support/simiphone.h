#pragma once

#include <QHash>
#include <QMutex>
#include <QSharedPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QtEndian>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/plistcftype.h"

// A fault the simulated phone plays on one service ("lockdown" or a name
// such as "com.apple.afc"). Drop and Unplug play once, in place of answer
// number after + 1 on a connection: the connection is cut, or the whole
// device is unplugged. Refuse makes StartService of the service fail.
struct SimFault
{
    enum Kind { Refuse, Drop, Unplug };
    Kind kind;
    QString service;
    int after = 0;
};

// A user app as the phone's installation proxy lists it.
struct SimApp
{
    QString bundleId;
    QString container; // UUID of the data container
    QHash<QString, QString> groups; // app group id -> UUID of its container
};

// One file of the phone's backup, in domain "AppDomain-<app>",
// "AppDomainGroup-<group>" or a system domain. Its bytes are `data`, or with
// size >= 0 that many made-up bytes (large backups without the memory).
struct SimBackupFile
{
    QString domain, path;
    QByteArray data;
    qint64 size = -1;
};

// One step of a scripted exchange: a DeviceLink message, raw bytes sent
// right after it, then the host's answer is read (its raw download first for
// DLMessageDownloadFiles), unless `cut` closes the connection instead.
// Without a message only the raw bytes go (a message the test framed
// itself, or nothing). Instead of reading the answer the phone may send
// `repeat` over and over, or with `deaf` neither read nor send, until the
// host closes the connection; the script ends there.
struct SimStep
{
    PlistCFType message;
    QByteArray raw {};
    bool cut = false;
    QByteArray repeat {};
    bool deaf = false;
};

// The phone's mobilebackup2 service. After the version exchange and the
// request it plays `script` when given, else the request:
// - "Backup": downloads "<udid>/Status.plist", lists the host's folder and
//   its two-character folders, downloads the last "Manifest.plist" and
//   "Manifest.db", then announces "<udid>/Snapshot" and its two-character
//   folders, uploads into them every file the host does not list with the
//   same size (all of them with the option ForceFullBackup) and the metadata
//   always, announces the two-character folders of "<udid>", moves the files
//   into place (Status.plist last, as phones do), removes "Snapshot", then
//   ends with the verdict.
//   With a backup password the files and metadata go encrypted, as the
//   fixture kit writes an encrypted backup (keybag, per-file keys, encrypted
//   Manifest.db), with the same keys on every backup.
// - "Restore": downloads "<udid>/Manifest.plist" and "<udid>/Manifest.db",
//   opens the list of an encrypted backup with the option "Password" (else
//   fails with code 207, or 205 without a keybag; an unreadable list fails
//   with 205), downloads every file it names (HomeDomain's only with
//   "RestoreSystemFiles"), decrypts them (a file that does not decrypt fails
//   it with 205), then the verdict.
// - "Info", "List" and "ChangePassword": the verdict at once; a new password
//   becomes the backup password and turns the lockdown value "WillEncrypt"
//   on, its removal off.
// Like a real phone it gives up when the computer answers a message with an
// error status (a download may answer "Multi status" for missing files): its
// verdict is then error code 105 with a text naming the message.
struct SimBackup2
{
    QList<SimBackupFile> files;
    QString password; // the backup password: not empty, backups are encrypted
    // Metadata uploaded as "<udid>/<name>" in place of the made-up
    // Manifest.plist, Status.plist and Manifest.db.
    QHash<QString, QByteArray> meta;
    int errorCode = 0; // the verdict, sent as DLMessageProcessMessage
    QString errorDescription;
    QList<SimStep> script;
    // Played in place of the version exchange and the answer to Hello when
    // given: each message (or raw bytes) is sent and one list read back (kept
    // in `replies`), until the host closes, a cut or a deaf step; nothing is
    // played after it.
    QList<SimStep> opening;
    qint64 version = 400; // the DeviceLink major it opens with: 400 since iOS 14, 300 before
    bool xmlMessages = false; // DeviceLink messages as XML, not the binary lists real phones send
    // Status.plist moved into place before the data files, in the order the
    // metadata was uploaded, not last as phones move it.
    bool statusBeforeFiles = false;
    // StartService asks for SSL, and the service's connection is TLS from
    // its first byte (lockdown's session always is).
    bool ssl = false;
    // The verdict's last byte goes apart: once the host has taken the rest,
    // the phone notes "DLMessageProcessMessage, its last byte" and only then
    // sends it. Over TLS the host finishes a message it has begun, so a test
    // acts there once the host holds the verdict but has not yet judged it.
    bool verdictLastByteApart = false;
    // Besides its moves a Backup play changes the host's folder in place,
    // once its files are in "Snapshot": it removes the files it no longer
    // has, then copies kept files to new names (first to second). With
    // `inPlace` it uploads straight into "<udid>", with no "Snapshot" and no
    // moves, Status.plist last; with `clearsSnapshot` it first removes the
    // "Snapshot" an earlier run may have left.
    QList<SimBackupFile> removed;
    QList<QPair<SimBackupFile, SimBackupFile>> copies;
    bool inPlace = false;
    bool clearsSnapshot = false;

    // Kept by the simulator.
    PlistCFType request; // the last request's dictionary
    QList<PlistCFType> replies; // the host's status responses (or answers to the opening), in order
    QList<QByteArray> downloads; // raw bytes of each download, as the host sent them
    QHash<QString, QByteArray> received; // files downloaded whole, by requested path
    QStringList uploaded; // local paths of the files uploaded by Backup plays
    int finished = 0; // connections served to their end
    // What the last restore put back on the phone, decrypted, by "<domain>-<path>".
    QHash<QString, QByteArray> restored;
};

// The backup domain's file id: SHA-1 of "<domain>-<path>" in lower-case hex.
QString simFileId(const SimBackupFile& file);

// What a test says about one phone. The constructor gives a phone with the
// usual lockdown values, on USB, already paired with and trusting this computer.
struct SimDevice
{
    enum Trust { Pending, Declined, Trusted }; // answer of the trust dialog
    explicit SimDevice(const QString& udid);
    SimDevice& set(const QString& domain, const QString& key, const PlistCFType& value);

    QString udid;
    bool network = false; // attached over the network instead of USB
    Trust trust = Trusted;
    bool paired = true; // this computer holds a pair record the phone knows
    QHash<QString, PlistCFType> values; // lockdown dictionaries by domain, "" the top level
    QString media; // the folder that stands for the media area (AFC)
    bool lowerCaseTypes = false; // AFC file types in lower case, as some phones send them
    QList<SimApp> apps; // user apps (installation proxy)
    SimBackup2 backup2; // mobilebackup2
    // mobilesync: the phone's records in the batches it hands them out in;
    // each batch of changes the computer sends is appended.
    QList<PlistCFType> syncBatches;
    QList<SimFault> faults;
    // Called on a simulator thread with each request ("service:request")
    // before it is answered: lets a test change files at a chosen moment.
    std::function<void(const QString&)> onRequest;

    // Kept by the simulator.
    quint32 id = 0;
    QStringList hostIds; // hosts whose pairing the phone accepts
    QHash<quint16, QString> ports; // started services
    QList<int> fds; // open connections
};

// Short makers of property-list values, for the services and the tests.
namespace simpl {
inline PlistCFType str(const QString& s) { return PlistCFType::createCFString(s); }
inline PlistCFType num(qint64 n) { return PlistCFType::createCFNumberInt64(n); }
inline PlistCFType dict() { return PlistCFType::createCFDictionary(); }
inline PlistCFType list(const QList<PlistCFType>& items) { return PlistCFType::createCFArray(items); }
inline PlistCFType strings(const QStringList& items)
{
    PlistCFType out = PlistCFType::createCFArray();
    for (const QString& s : items)
        out.append(str(s));
    return out;
}
inline QByteArray be32(quint32 n)
{
    n = qToBigEndian(n);
    return QByteArray(reinterpret_cast<const char*>(&n), 4);
}
} // namespace simpl

// The files below a folder (hidden ones too), relative to it and sorted: what
// a test compares a backup, cache or copy folder with.
QStringList simFilesBelow(const QString& folder);

// A simulated iPhone behind a private usbmuxd socket in this process:
// usbmuxd's plist protocol (device list, attach and detach events, connect,
// pair records, BUID), lockdown on port 62078 and the services it starts.
// The constructor points USBMUXD_SOCKET_ADDRESS at it, so libimobiledevice
// reaches it unchanged. One simulator at a time.
class SimIPhone
{
public:
    SimIPhone();
    ~SimIPhone();
    SimIPhone(const SimIPhone&) = delete;
    SimIPhone& operator=(const SimIPhone&) = delete;

    void attach(const SimDevice& device); // plugs it in
    void detach(const QString& udid); // unplugs it: its connections are cut
    void edit(const QString& udid, const std::function<void(SimDevice&)>& change);
    // What the phone's mobilebackup2 service kept of the last run, once it has
    // served the connection to its end (waits up to five seconds for that).
    SimBackup2 backup2Played(const QString& udid);
    // Every request so far, as "service:request", in order of arrival.
    QStringList requests() const;

    mutable QMutex mutex;

private:
    friend struct SimLink;
    void serve(int fd);
    bool usbmuxd(int fd, quint32 tag, const PlistCFType& message);
    void broadcast(const PlistCFType& message);
    QSharedPointer<SimDevice> find(const std::function<bool(const SimDevice&)>& match) const;

    QTemporaryDir m_dir;
    int m_listenFd = -1;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_threads;
    QList<int> m_fds;
    QList<int> m_listeners;
    QList<QSharedPointer<SimDevice>> m_devices;
    QHash<QString, QByteArray> m_pairRecords;
    QStringList m_log;
    quint32 m_nextId = 1;
};

struct ssl_st;
struct SimTlsFree
{
    void operator()(ssl_st* tls) const;
};

// One connection to a device port, as a service sees it.
struct SimLink
{
    SimIPhone& sim;
    QSharedPointer<SimDevice> dev;
    QString service;
    int fd;
    int answers = 0;
    std::unique_ptr<ssl_st, SimTlsFree> tls {}; // set while the host speaks TLS

    // The phone's side of a TLS handshake: false when it failed.
    bool startTls();
    // Back to plain bytes once the host's close_notify is read; the phone
    // sends none, as the library reads nothing after its own.
    void stopTls();
    bool read(void* data, qint64 size); // false once the host has gone
    bool send(const QByteArray& bytes); // one answer; plays the faults
    PlistCFType readPlist(); // big-endian 32-bit length, then the list
    bool sendPlist(const PlistCFType& message);
    void note(const QString& request); // logs it and calls onRequest
    // Runs `f` on the device with the simulator's mutex held.
    template <class F>
    auto locked(F f)
    {
        QMutexLocker lock(&sim.mutex);
        return f(*dev);
    }
};

// The services that lockdown starts (besides those in simiphone.cpp); each
// serves one connection until the host closes it.
void simAfc(SimLink& link);
void simBackup2(SimLink& link);
void simMobileSync(SimLink& link);
// Sends the answers to each request read, until the host goes.
void simAnswerEach(SimLink& link, const std::function<QList<PlistCFType>(const PlistCFType&)>& answer);
