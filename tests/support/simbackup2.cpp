// The phone's DeviceLink services: mobilebackup2 (a Backup, a Restore or a
// script played from the description, see simiphone.h) and mobilesync.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "tests/support/backupbuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

using namespace simpl;

namespace {

constexpr int kRecord = 65536; // data per upload record: more than the host sends at once
constexpr int kComputerFailed = 105; // the verdict of a phone whose computer failed an answer
constexpr int kFailed = 1; // the phone failed on its own
// What real phones answer a restore of an encrypted backup that they cannot
// open or whose files do not decrypt (MBErrorDomain codes).
constexpr int kBadBackup = 205, kBadPassword = 207;

PlistCFType dbl(double d) { return PlistCFType::createCFNumberDouble(d); }
QString nameOf(const PlistCFType& message) { return message.at(0).CFStringQString(); }
qint64 sizeOf(const SimBackupFile& f) { return f.size >= 0 ? f.size : f.data.size(); }

// A DeviceLink message as real phones send it, a binary list, or as XML.
bool sendMessage(SimLink& link, const PlistCFType& message, bool xml)
{
    if (xml)
        return link.sendPlist(message);
    const QByteArray bytes = message.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    return link.send(be32(quint32(bytes.size())) + bytes);
}

// The DeviceLink version exchange both services open with.
bool hello(SimLink& link, qint64 major, int minor, bool xml)
{
    return sendMessage(link, list({str("DLMessageVersionExchange"), num(major), num(minor)}), xml)
           && link.readPlist().at(1).CFStringQString() == "DLVersionsOk"
           && sendMessage(link, list({str("DLMessageDeviceReady")}), xml);
}

// The bytes at offset `at` of a made-up file: a repeating pattern.
const char* madeUp(qint64 at)
{
    static const QByteArray pattern = [] {
        QByteArray p(kRecord + 251, Qt::Uninitialized);
        for (int i = 0; i < p.size(); ++i)
            p[i] = char(i % 251);
        return p;
    }();
    return pattern.constData() + at % 251;
}

struct Player
{
    explicit Player(SimLink& link) : link(link), dev(link.locked([](SimDevice& d) { return d; })) {}

    // Sends one message (and raw bytes) and reads the host's answer; false
    // once the connection is gone.
    bool step(const PlistCFType& msg, const QByteArray& raw = QByteArray(), bool cut = false)
    {
        return step(SimStep {msg, raw, cut});
    }
    bool step(const SimStep& s)
    {
        const PlistCFType& msg = s.message;
        const QString name = nameOf(msg);
        if (!msg.isNull())
            link.note(name);
        if ((!msg.isNull() && !sendMessage(link, msg, dev.backup2.xmlMessages))
            || (!s.raw.isEmpty() && !link.send(s.raw)))
            return false;
        if (s.cut) {
            ::shutdown(link.fd, SHUT_RDWR);
            return false;
        }
        if (s.deaf) {
            pollfd hangUp {link.fd, POLLRDHUP, 0};
            ::poll(&hangUp, 1, 60000);
            return false;
        }
        if (!s.repeat.isEmpty()) {
            while (link.send(s.repeat)) { // until the host has gone
            }
            return false;
        }
        if (name == "DLMessageProcessMessage" || name == "DLMessageDisconnect")
            return true;
        if (name == "DLMessageDownloadFiles" && !readDownload())
            return false;
        if (name == "DLMessageUploadFiles" && s.raw.isEmpty() && !upload())
            return false;
        if (nameOf(reply = link.readPlist()) != "DLMessageStatusResponse")
            return false; // the host has ended the run instead
        link.locked([&](SimDevice& d) { d.backup2.replies.append(reply); });
        return true;
    }

    // Sends one message and judges the computer's answer as a phone does:
    // any status but 0 (or "Multi status" for files the computer may lack)
    // means the computer could not do what was asked, so the phone gives up
    // with a failed verdict.
    bool ask(const PlistCFType& msg, bool mayLack = false)
    {
        if (!step(msg))
            return false;
        const qint64 status = reply.at(1).CFNumberInt64();
        if (status == 0 || (mayLack && status == -13))
            return true;
        QString text = nameOf(msg) + " answered " + QString::number(status);
        if (reply.at(2).CFStringQString() != "___EmptyParameterString___")
            text += ": " + reply.at(2).CFStringQString();
        verdict(kComputerFailed, "The computer could not store the backup (" + text + ").");
        return false;
    }

    void backup()
    {
        QList<SimBackupFile> files = dev.backup2.files;
        QHash<QString, QByteArray> meta = dev.backup2.meta;
        if (!dev.backup2.password.isEmpty() && !encrypt(files, meta))
            return;
        const bool full = dev.backup2.request.get("Options").get("ForceFullBackup").CFNumberBool(false);
        if (!ask(list({str("DLMessageDownloadFiles"), strings({u + "/Status.plist"}), dict(), dbl(0)}), true)
            || !ask(list({str("DLMessageGetFreeDiskSpace"), dict()})))
            return;
        // What the host already has, by name: only new or changed files go.
        QHash<QString, qint64> present;
        QStringList folders {u};
        for (int i = 0; i < folders.size(); ++i) {
            if (!ask(list({str("DLContentsOfDirectory"), str(folders[i]), dict()})))
                return;
            reply.at(3).dict_forEach([&](const QString& entry, const PlistCFType& info) {
                if (info.get("DLFileType").CFStringQString() == "DLFileTypeDirectory" && entry.size() == 2 && i == 0)
                    folders << u + '/' + entry;
                else
                    present[entry] = info.get("DLFileSize").CFNumberInt64();
                return true;
            });
        }
        const QStringList lists {u + "/Manifest.plist", u + "/Manifest.db"}; // the last backup's, when there is one
        if (!ask(list({str("DLMessageDownloadFiles"), strings(lists), dict(), dbl(1)}), true))
            return;
        // Info.plist is the computer's own: a phone never sends one.
        for (const QString name : {"Manifest.db", "Manifest.plist", "Status.plist"})
            uploads.append({"", name, meta.value(name, "made-up " + name.toUtf8())});
        for (const SimBackupFile& f : files) {
            if (full || present.value(simFileId(f), -1) != sizeOf(f))
                uploads.append(f);
        }
        qint64 total = 0;
        PlistCFType moves = dict();
        QStringList shards; // the two-character folders the uploads go into
        // Phones mark the snapshot finished last, once every file is in place.
        const bool statusLast = !dev.backup2.statusBeforeFiles;
        const bool staged = !dev.backup2.inPlace;
        into = staged ? u + "/Snapshot/" : u + '/';
        const auto isStatus = [](const SimBackupFile& f) { return f.path == "Status.plist"; };
        if (!staged && statusLast) // no move puts it last, so it is sent last
            std::stable_partition(uploads.begin(), uploads.end(), [&](const SimBackupFile& f) { return !isStatus(f); });
        for (const SimBackupFile& f : uploads) {
            total += sizeOf(f);
            if (!statusLast || !isStatus(f))
                moves.put(u + "/Snapshot/" + backupName(f), str(u + '/' + backupName(f)));
            const QString shard = backupName(f).section('/', 0, -2);
            if (!shard.isEmpty() && !shards.contains(shard))
                shards << shard;
        }
        if (statusLast)
            moves.put(u + "/Snapshot/Status.plist", str(u + "/Status.plist"));
        shards.sort();
        // The computer makes no folder by itself: the phone announces each
        // one before it sends a file into it or moves one there.
        const auto makeFolders = [&](const QString& under) {
            for (const QString& shard : shards) {
                if (!ask(list({str("DLMessageCreateDirectory"), str(under + shard), dict(), num(0)})))
                    return false;
            }
            return true;
        };
        // What the phone changes in place besides its moves: the files it no
        // longer has go, and kept files are copied to new names.
        const auto changeInPlace = [&] {
            QStringList gone;
            for (const SimBackupFile& f : dev.backup2.removed)
                gone << u + '/' + backupName(f);
            if (!gone.isEmpty() && !ask(list({str("DLMessageRemoveItems"), strings(gone), dict(), dbl(60)})))
                return false;
            for (const auto& c : dev.backup2.copies) {
                const QString from = u + '/' + backupName(c.first), to = u + '/' + backupName(c.second);
                if (!ask(list({str("DLMessageCopyItem"), str(from), str(to), dict()})))
                    return false;
            }
            return true;
        };
        const PlistCFType uploadFiles = list({str("DLMessageUploadFiles"), dict(), dbl(50), num(total)});
        if (!staged) {
            if (makeFolders(into) && ask(uploadFiles) && changeInPlace())
                verdict();
            return;
        }
        const auto removeSnapshot = [&](double progress) {
            return ask(list({str("DLMessageRemoveItems"), strings({u + "/Snapshot"}), dict(), dbl(progress)}));
        };
        if ((!dev.backup2.clearsSnapshot || removeSnapshot(1))
            && ask(list({str("DLMessageCreateDirectory"), str(u + "/Snapshot"), dict(), num(0)})) && makeFolders(into)
            && ask(uploadFiles) && changeInPlace() && makeFolders(u + '/')
            && ask(list({str("DLMessageMoveItems"), moves, dict(), dbl(90)})) && removeSnapshot(99))
            verdict();
    }

    // A phone with a backup password sends what the fixture kit writes for
    // an encrypted backup of its files, with its folders as a phone lists
    // them; the keys stay the same from one backup to the next, so files the
    // computer already has still open with the new list.
    bool encrypt(QList<SimBackupFile>& files, QHash<QString, QByteArray>& meta)
    {
        QJsonArray entries;
        QSet<QString> folders;
        for (const SimBackupFile& f : files) {
            for (QString at = f.path; !at.isEmpty();) {
                at = at.contains('/') ? at.section('/', 0, -2) : QString();
                if (!folders.contains(f.domain + '-' + at)) {
                    folders.insert(f.domain + '-' + at);
                    entries.append(backupbuilder::folder(f.domain, at));
                }
            }
            QByteArray data = f.data;
            for (qint64 at = 0, n = 0; at < f.size; at += n) // made-up bytes as upload() sends them
                data.append(madeUp(at), n = qMin<qint64>(kRecord, f.size - at));
            entries.append(backupbuilder::file(f.domain, f.path, data));
        }
        QTemporaryDir dir;
        const QString password = dev.backup2.password;
        const QString name = dev.values.value("").get("DeviceName").CFStringQString();
        try {
            backupbuilder::build(dir.path(), {{"udid", u}, {"deviceName", name}, {"password", password},
                                              {"seed", u + password}, {"entries", entries}});
        } catch (const std::exception& e) {
            verdict(kFailed, QString("Error encrypting the backup: ") + e.what());
            return false;
        }
        for (SimBackupFile& f : files) {
            f.data = testenv::readFile(backupbuilder::dataPath(dir.path(), simFileId(f), false));
            f.size = -1;
        }
        for (const char* name : {"Manifest.db", "Manifest.plist"})
            meta[name] = testenv::readFile(dir.filePath(name));
        if (!meta.contains("Status.plist")) // else the test's, for a snapshot not finished
            meta["Status.plist"] = testenv::readFile(dir.filePath("Status.plist"));
        return true;
    }

    // Requests that change nothing on the computer: the phone answers with
    // its verdict at once. A password change turns encryption on or off.
    void answer(const QString& name)
    {
        const PlistCFType request = dev.backup2.request;
        if (name == "ChangePassword") {
            const QString password = request.get("NewPassword").CFStringQString();
            link.locked([&](SimDevice& d) {
                d.backup2.password = password;
                d.set("com.apple.mobile.backup", "WillEncrypt", PlistCFType::createCFBoolean(!password.isEmpty()));
            });
        }
        verdict();
    }

    // A real phone opens the list, then asks for what it names: an encrypted
    // backup's list only with the password, whose keys then decrypt each file.
    void restore()
    {
        const QStringList meta {u + "/Manifest.plist", u + "/Manifest.db"};
        if (!step(list({str("DLMessageDownloadFiles"), strings(meta), dict(), dbl(0)})))
            return;
        QTemporaryDir dir;
        for (const QString& name : meta)
            testenv::writeFile(dir.filePath(name.mid(u.size() + 1)), received.value(name));
        const PlistCFType options = dev.backup2.request.get("Options");
        const QString password = options.get("Password").CFStringQString();
        const bool encrypted = PlistCFType::createCFPropertyList(received.value(meta[0])).get("IsEncrypted").CFNumberBool();
        QString why;
        const QByteArray plain = encrypted ? backupbuilder::plainList(dir.path(), password, &why) : received.value(meta[1]);
        if (why == "password")
            return verdict(kBadPassword, "Invalid password when restoring encrypted backup (MBErrorDomain/207). "
                                         "Underlying error: MKBKeyBagUnlock error (-3) (MBErrorDomain/207).");
        if (!why.isEmpty())
            return verdict(why == "keybag" ? kBadBackup : kFailed,
                           why == "keybag" ? "No keybag in manifest (MBErrorDomain/205)" : "Error decoding keybag: " + why);
        QStringList wanted;
        QHash<QString, QString> names; // requested path -> "<domain>-<path>"
        const bool system = options.get("RestoreSystemFiles").CFNumberBool(false);
        try { // the files the list names, read by the sqlite3 shell
            testenv::writeFile(dir.filePath("plain.db"), plain);
            const QString sql = "select fileID, domain, relativePath from Files where flags=1 order by fileID";
            for (const QString& row : sqlitecli::textThrow(dir.filePath("plain.db"), sql).split('\n', Qt::SkipEmptyParts)) {
                const QString id = row.section('|', 0, 0), domain = row.section('|', 1, 1);
                if (domain == "HomeDomain" && !system)
                    continue;
                wanted << u + '/' + id.left(2) + '/' + id;
                names[wanted.last()] = domain + '-' + row.section('|', 2);
            }
        } catch (const std::exception&) {
            return verdict(kBadBackup, "Error reading backup manifest database (MBErrorDomain/205)");
        }
        if (!wanted.isEmpty() && !step(list({str("DLMessageDownloadFiles"), strings(wanted), dict(), dbl(50)})))
            return;
        QHash<QString, QByteArray> restored;
        const QJsonObject opened = encrypted ? decrypted(dir, wanted) : QJsonObject();
        for (const QString& name : wanted) {
            const QString id = name.section('/', -1);
            const QString plainText = opened.value(id).toString();
            if (encrypted && received.contains(name) && (!opened.contains(id) || plainText.startsWith("error")))
                return verdict(kBadBackup, "Digest didn't match for some files (MBErrorDomain/205)");
            if (received.contains(name))
                restored[names[name]] = encrypted ? QByteArray::fromHex(plainText.toLatin1()) : received[name];
        }
        link.locked([&](SimDevice& d) { d.backup2.restored = restored; });
        verdict();
    }

    // The downloaded files of an encrypted backup as the independent reader
    // decrypts them with the list's keys, by file ID.
    QJsonObject decrypted(const QTemporaryDir& dir, const QStringList& wanted)
    {
        for (const QString& name : wanted) {
            if (received.contains(name))
                testenv::writeFile(dir.filePath(name.mid(u.size() + 1)), received[name]);
        }
        const QString password = dev.backup2.request.get("Options").get("Password").CFStringQString();
        return backupbuilder::readBack(dir.path(), password);
    }

    // The phone's verdict: the test's, unless the phone failed on its own.
    void verdict(int code = 0, const QString& description = QString())
    {
        const int errorCode = code ? code : dev.backup2.errorCode;
        PlistCFType d = dict().put("MessageName", str("Response")).put("ErrorCode", num(errorCode));
        const QString text = code ? description : dev.backup2.errorDescription;
        const PlistCFType message = list({str("DLMessageProcessMessage"), d.put("ErrorDescription", str(text))});
        if (!dev.backup2.verdictLastByteApart) {
            step(message);
            return;
        }
        link.note(nameOf(message));
        const QByteArray bytes = message.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
        const QByteArray framed = be32(quint32(bytes.size())) + bytes;
        if (!link.send(framed.chopped(1)))
            return;
        // Until the host has taken those bytes off the socket, and a moment
        // more for it to wait for the last one.
        int queued = 1;
        for (int i = 0; i < 1000 && ::ioctl(link.fd, SIOCOUTQ, &queued) == 0 && queued > 0; ++i)
            QThread::msleep(5);
        QThread::msleep(100);
        link.note(nameOf(message) + ", its last byte");
        link.send(framed.right(1));
    }

    // Name records and content records up to the end of the list, kept raw
    // and as whole files.
    bool readDownload()
    {
        QByteArray raw, name, record;
        const auto length = [&](QByteArray* into) {
            quint32 n = 0;
            if (!link.read(&n, 4))
                return false;
            *into = QByteArray(int(qMin(qFromBigEndian(n), 1u << 20)), Qt::Uninitialized);
            raw += be32(qFromBigEndian(n));
            if (!link.read(into->data(), into->size()))
                return false;
            raw += *into;
            return true;
        };
        bool complete = false;
        bool ok = true;
        while (ok && length(&name) && !(complete = name.isEmpty())) {
            QByteArray body;
            while ((ok = length(&record)) && record.startsWith('\x0c'))
                body += record.mid(1);
            if (ok && record.startsWith('\0'))
                received.insert(QString::fromUtf8(name), body);
        }
        link.locked([&](SimDevice& d) {
            d.backup2.downloads.append(raw);
            d.backup2.received.insert(received);
        });
        return complete;
    }

    bool upload()
    {
        for (const SimBackupFile& f : uploads) {
            const QByteArray from = deviceName(f).toUtf8();
            const QByteArray to = (into + backupName(f)).toUtf8();
            if (!link.send(be32(from.size()) + from + be32(to.size()) + to))
                return false;
            for (qint64 at = 0, n = 0; at < sizeOf(f); at += n) {
                n = qMin<qint64>(kRecord, sizeOf(f) - at);
                const char* bytes = f.size >= 0 ? madeUp(at) : f.data.constData() + at;
                if (!link.send(be32(quint32(n + 1)) + '\x0c' + QByteArray(bytes, n)))
                    return false;
            }
            if (!link.send(QByteArray("\0\0\0\1\0", 5)))
                return false;
            link.locked([&](SimDevice& d) { d.backup2.uploaded << u + '/' + backupName(f); });
        }
        return link.send(QByteArray(4, 0));
    }

    // The file's name in the backup folder: metadata (no domain) by its own
    // name, the others by their id in its two-character folder.
    static QString backupName(const SimBackupFile& f)
    {
        const QString id = simFileId(f);
        return f.domain.isEmpty() ? f.path : id.left(2) + '/' + id;
    }

    // Where the file lives on the phone: in its app's data or group
    // container, or elsewhere for a system domain or the metadata.
    QString deviceName(const SimBackupFile& f) const
    {
        for (const SimApp& app : dev.apps) {
            if (f.domain == "AppDomain-" + app.bundleId)
                return "/var/mobile/Containers/Data/Application/" + app.container + '/' + f.path;
            for (auto g = app.groups.cbegin(); g != app.groups.cend(); ++g) {
                if (f.domain == "AppDomainGroup-" + g.key())
                    return "/var/mobile/Containers/Shared/AppGroup/" + g.value() + '/' + f.path;
            }
        }
        return (f.domain.isEmpty() ? "/var/mobile/Library/Backup/" : "/var/mobile/") + f.path;
    }

    SimLink& link;
    const SimDevice dev; // as the connection found it
    const QString u = dev.udid; // the folder of every path
    PlistCFType reply;
    QHash<QString, QByteArray> received;
    QList<SimBackupFile> uploads;
    QString into; // where they go: "<udid>/Snapshot/", or "<udid>/" in place
};

// Copies of the items, so that one value can go into several messages; a
// null item stands for DeviceLink's empty parameter.
PlistCFType array(const QList<PlistCFType>& items)
{
    PlistCFType out = PlistCFType::createCFArray();
    for (const PlistCFType& item : items)
        out.append(item.isNull() ? str("___EmptyParameterString___") : PlistCFType::clone(item));
    return out;
}

// Mobilesync's answer to a message of a session; the records it asks for are
// sent in the phone's batches, each acknowledged before the next.
PlistCFType syncAnswer(SimLink& link, const PlistCFType& message)
{
    const QString request = nameOf(message);
    const PlistCFType dataClass = str(message.at(1).CFStringQString());
    if (request == "SDMessageSyncDataClassWithDevice" && dataClass.CFStringQString() != "com.apple.Contacts")
        return array({str("SDMessageRefuseToSyncDataClassWithComputer"), dataClass, str("Unknown data class")});
    if (request == "SDMessageSyncDataClassWithDevice")
        return array({str("SDMessageSyncDataClassWithComputer"), dataClass, str("device-anchor"), message.at(3),
                      str("SDSyncTypeSlow"), num(106)});
    if (request == "SDMessageFinishSessionOnDevice")
        return array({str("SDMessageDeviceFinishedSession"), dataClass});
    if (request == "SDMessageProcessChanges") {
        PlistCFType mapping = dict();
        for (const PlistCFType& key : message.at(2).dict_keys())
            mapping.put(key, str("sim-" + key.CFStringQString()));
        link.locked([&](SimDevice& d) { d.syncBatches.append(PlistCFType::clone(message.at(2))); });
        return array({str("SDMessageRemapRecordIdentifiers"), dataClass, mapping});
    }
    if (request != "SDMessageGetAllRecordsFromDevice" && request != "SDMessageGetChangesFromDevice")
        return PlistCFType();
    // Shared with the test's thread, but only ever read once stored.
    QList<PlistCFType> batches = link.locked([](SimDevice& d) { return d.syncBatches; });
    if (batches.isEmpty())
        batches.append(dict());
    for (int i = 0; i < batches.size(); ++i) {
        const bool more = i + 1 < batches.size();
        const QString allSent = "SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey";
        const PlistCFType actions = more ? PlistCFType() : dict().put(allSent, PlistCFType::createCFBoolean(true));
        const PlistCFType changes = array({str("SDMessageProcessChanges"), dataClass, batches[i],
                                           PlistCFType::createCFBoolean(more), actions});
        PlistCFType ack;
        if (link.sendPlist(changes))
            ack = link.readPlist();
        link.note(nameOf(ack));
        if (nameOf(ack) != "SDMessageAcknowledgeChangesFromDevice")
            return PlistCFType();
    }
    return array({str("SDMessageDeviceReadyToReceiveChanges")});
}

void play(SimLink& link)
{
    const SimBackup2 phone = link.locked([](SimDevice& d) { return d.backup2; });
    const bool xml = phone.xmlMessages;
    for (const SimStep& s : phone.opening) {
        if (!s.message.isNull())
            link.note(nameOf(s.message));
        if ((!s.message.isNull() && !sendMessage(link, s.message, xml)) || (!s.raw.isEmpty() && !link.send(s.raw)))
            return;
        if (s.cut) {
            ::shutdown(link.fd, SHUT_RDWR);
            return;
        }
        pollfd hangUp {link.fd, POLLRDHUP, 0};
        if (s.deaf)
            ::poll(&hangUp, 1, 60000);
        const PlistCFType answer = s.deaf ? PlistCFType() : link.readPlist();
        if (answer.isNull())
            return;
        link.locked([&](SimDevice& d) { d.backup2.replies.append(answer); });
    }
    if (!phone.opening.isEmpty())
        return;
    PlistCFType ready = dict().put("MessageName", str("Response")).put("ErrorCode", num(0));
    if (!hello(link, phone.version, 0, xml) || link.readPlist().at(1).get("MessageName").CFStringQString() != "Hello"
        || !sendMessage(link, list({str("DLMessageProcessMessage"), ready.put("ProtocolVersion", dbl(2.1))}), xml))
        return;
    const PlistCFType message = link.readPlist();
    const PlistCFType request = message.at(1); // borrowed from the message
    const QString name = request.get("MessageName").CFStringQString();
    link.locked([&](SimDevice& d) { d.backup2.request = PlistCFType::clone(request); });
    link.note(name);
    Player player(link);
    const QList<SimStep>& script = player.dev.backup2.script;
    bool played = true;
    for (const SimStep& s : script)
        played = played && player.step(s);
    // A host that goes on waiting after the script would wait for ever.
    if (played && !script.isEmpty())
        sendMessage(link, list({str("DLMessageDisconnect"), str("end of the script")}), xml);
    else if (script.isEmpty() && name == "Backup")
        player.backup();
    else if (script.isEmpty() && name == "Restore")
        player.restore();
    else if (script.isEmpty() && QStringList {"Info", "List", "ChangePassword"}.contains(name))
        player.answer(name);
    while (!link.readPlist().isNull()) { // the host's DLMessageDisconnect, until it closes
    }
}

} // namespace

QString simFileId(const SimBackupFile& file)
{
    return QCryptographicHash::hash((file.domain + '-' + file.path).toUtf8(), QCryptographicHash::Sha1).toHex();
}

void simBackup2(SimLink& link)
{
    // A host that stops answering in the middle of an exchange (a fault in
    // it) fails its test within a minute instead of hanging it.
    const timeval patience {60, 0};
    ::setsockopt(link.fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    play(link);
    // Tells the test that this connection is done with, whatever way it ended.
    link.locked([](SimDevice& d) { ++d.backup2.finished; });
}

void simMobileSync(SimLink& link)
{
    if (!hello(link, 300, 100, true))
        return;
    simAnswerEach(link, [&](const PlistCFType& message) {
        link.note(nameOf(message));
        const PlistCFType reply = nameOf(message) == "DLMessageDisconnect" ? PlistCFType() : syncAnswer(link, message);
        return reply.isNull() ? QList<PlistCFType>() : QList<PlistCFType> {reply};
    });
}
