// The phone's mobilebackup2 service: DeviceLink version exchange, the
// protocol hello, and a Backup, a Restore or a script played from the
// description (see simbackup2.h).
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/socket.h>

#include "foundation/sqlite3db.h"
#include "tests/support/simiphone.h"

namespace {

constexpr int kRecord = 65536; // data per upload record: more than the host sends at once

PlistCFType str(const QString& s)
{
    return PlistCFType::createCFString(s);
}
PlistCFType num(qint64 n)
{
    return PlistCFType::createCFNumberInt64(n);
}
PlistCFType dict()
{
    return PlistCFType::createCFDictionary();
}

PlistCFType message(const QList<PlistCFType>& items)
{
    return PlistCFType::createCFArray(items);
}

QByteArray be32(quint32 n)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(n, b.data());
    return b;
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

struct Upload
{
    QString deviceName, snapshotPath, finalPath;
    SimBackupFile file;
};

class Player
{
public:
    Player(SimLink& link) : link(link)
    {
        QMutexLocker lock(&link.sim.mutex);
        udid = link.dev->udid;
        plan = link.dev->backup2;
        apps = link.dev->apps;
    }

    // Sends one message (and raw bytes) and reads the host's answer; false
    // once the connection is gone.
    bool step(const PlistCFType& msg, const QByteArray& raw = QByteArray(), bool cut = false)
    {
        const QString name = msg.at(0).CFStringQString();
        link.note(name);
        if (!link.sendPlist(msg) || (!raw.isEmpty() && !link.send(raw)))
            return false;
        if (cut) {
            ::shutdown(link.fd, SHUT_RDWR);
            return false;
        }
        if (name == "DLMessageProcessMessage" || name == "DLMessageDisconnect")
            return true;
        if (name == "DLMessageDownloadFiles" && !readDownload())
            return false;
        if (name == "DLMessageUploadFiles" && raw.isEmpty() && !upload())
            return false;
        reply = link.readPlist();
        if (reply.at(0).CFStringQString() != "DLMessageStatusResponse")
            return false; // the host has ended the run instead
        QMutexLocker lock(&link.sim.mutex);
        link.dev->backup2.replies.append(reply);
        return true;
    }

    void backup()
    {
        const QString u = udid;
        if (!step(message({str("DLMessageDownloadFiles"), PlistCFType::createCFArray({str(u + "/Status.plist")}),
                           dict(), PlistCFType::createCFNumberDouble(0)}))
            || !step(message({str("DLMessageGetFreeDiskSpace"), dict()})))
            return;
        // What the host already has, by name: only new or changed files go.
        QHash<QString, qint64> present;
        QStringList folders {u};
        for (int i = 0; i < folders.size(); ++i) {
            if (!step(message({str("DLContentsOfDirectory"), str(folders[i]), dict()})))
                return;
            const PlistCFType listing = reply.at(3);
            for (const PlistCFType& key : listing.dict_keys()) {
                const QString entry = key.CFStringQString();
                const PlistCFType info = listing.get(key);
                if (info.get("DLFileType").CFStringQString() == "DLFileTypeDirectory" && entry.size() == 2 && i == 0)
                    folders << u + '/' + entry;
                else
                    present[entry] = info.get("DLFileSize").CFNumberInt64();
            }
        }
        uploads = madeUpMeta();
        for (const SimBackupFile& f : plan.files) {
            const QString id = simFileId(f), rel = id.left(2) + '/' + id;
            const qint64 size = f.size >= 0 ? f.size : f.data.size();
            if (present.value(id, -1) != size)
                uploads.append({deviceName(f), u + "/Snapshot/" + rel, u + '/' + rel, f});
        }
        qint64 total = 0;
        PlistCFType moves = dict();
        for (const Upload& up : uploads) {
            total += up.file.size >= 0 ? up.file.size : up.file.data.size();
            moves.put(up.snapshotPath, str(up.finalPath));
        }
        if (!step(message({str("DLMessageCreateDirectory"), str(u + "/Snapshot"), dict(), num(0)}))
            || !step(message({str("DLMessageUploadFiles"), dict(), PlistCFType::createCFNumberDouble(50), num(total)}))
            || !step(message({str("DLMessageMoveItems"), moves, dict(), PlistCFType::createCFNumberDouble(90)}))
            || !step(message({str("DLMessageRemoveItems"), PlistCFType::createCFArray({str(u + "/Snapshot")}), dict(),
                              PlistCFType::createCFNumberDouble(99)})))
            return;
        verdict();
    }

    void restore()
    {
        const QString u = udid;
        if (!step(message({str("DLMessageDownloadFiles"),
                           PlistCFType::createCFArray({str(u + "/Manifest.plist"), str(u + "/Manifest.db")}), dict(),
                           PlistCFType::createCFNumberDouble(0)})))
            return;
        QTemporaryDir dir;
        const QString path = dir.filePath("Manifest.db");
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(received.value(u + "/Manifest.db"));
        file.close();
        PlistCFType wanted = PlistCFType::createCFArray();
        try {
            Sqlite3DB db;
            db.openThrow(path, 2);
            for (Sqlite3Cursor row = db.queryThrow("select fileID from Files where flags=1 order by fileID");
                 row.moveNext();)
                wanted.append(str(u + '/' + row.getText("fileID").left(2) + '/' + row.getText("fileID")));
        } catch (const std::exception&) {
        }
        if (wanted.array_size() > 0
            && !step(message({str("DLMessageDownloadFiles"), wanted, dict(), PlistCFType::createCFNumberDouble(50)})))
            return;
        verdict();
    }

    void verdict()
    {
        step(message({str("DLMessageProcessMessage"),
                      dict()
                          .put("MessageName", str("Response"))
                          .put("ErrorCode", num(plan.errorCode))
                          .put("ErrorDescription", str(plan.errorDescription))}));
    }

    SimLink& link;
    QString udid;
    SimBackup2 plan;
    QList<SimApp> apps;
    PlistCFType reply;
    QHash<QString, QByteArray> received;
    QList<Upload> uploads;

private:
    // Name records and content records up to the end of the list, kept raw
    // and as whole files.
    bool readDownload()
    {
        QByteArray raw;
        const auto take = [&](int n, QByteArray* into) {
            QByteArray bytes(n, Qt::Uninitialized);
            if (!link.read(bytes.data(), n))
                return false;
            raw += bytes;
            *into = bytes;
            return true;
        };
        const auto length = [&](QByteArray* into) {
            QByteArray b;
            return take(4, &b) && take(int(qMin(qFromBigEndian<quint32>(b.constData()), 1u << 20)), into);
        };
        QByteArray name, record;
        bool complete = false;
        while (length(&name) && !(complete = name.isEmpty())) {
            QByteArray body;
            bool ok;
            while ((ok = length(&record)) && record.startsWith('\x0c'))
                body += record.mid(1);
            if (!ok)
                break;
            if (record.startsWith('\0'))
                received.insert(QString::fromUtf8(name), body);
        }
        QMutexLocker lock(&link.sim.mutex);
        link.dev->backup2.downloads.append(raw);
        for (auto f = received.cbegin(); f != received.cend(); ++f)
            link.dev->backup2.received.insert(f.key(), f.value());
        return complete;
    }

    bool upload()
    {
        for (const Upload& up : uploads) {
            const QByteArray head = be32(up.deviceName.toUtf8().size()) + up.deviceName.toUtf8()
                + be32(up.snapshotPath.toUtf8().size()) + up.snapshotPath.toUtf8();
            if (!link.send(head))
                return false;
            const qint64 size = up.file.size >= 0 ? up.file.size : up.file.data.size();
            for (qint64 at = 0; at < size; at += kRecord) {
                const int n = int(qMin<qint64>(kRecord, size - at));
                QByteArray record = be32(quint32(n + 1)) + '\x0c';
                record.append(up.file.size >= 0 ? madeUp(at) : up.file.data.constData() + at, n);
                if (!link.send(record))
                    return false;
            }
            if (!link.send(QByteArray("\0\0\0\1\0", 5)))
                return false;
            QMutexLocker lock(&link.sim.mutex);
            link.dev->backup2.uploaded << up.finalPath;
        }
        return link.send(QByteArray(4, 0));
    }

    // Where the file lives on the phone: in its app's data or group
    // container, or elsewhere for a system domain.
    QString deviceName(const SimBackupFile& f) const
    {
        for (const SimApp& app : apps) {
            if (f.domain == "AppDomain-" + app.bundleId)
                return "/var/mobile/Containers/Data/Application/" + app.container + '/' + f.path;
            for (auto g = app.groups.cbegin(); g != app.groups.cend(); ++g) {
                if (f.domain == "AppDomainGroup-" + g.key())
                    return "/var/mobile/Containers/Shared/AppGroup/" + g.value() + '/' + f.path;
            }
        }
        return "/var/mobile/" + f.path;
    }

    QList<Upload> madeUpMeta() const
    {
        QHash<QString, QByteArray> meta = plan.meta;
        const auto plist = [](const PlistCFType& d) { return d.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0); };
        if (!meta.contains("Info.plist"))
            meta["Info.plist"] = plist(dict().put("Target Identifier", str(udid)));
        if (!meta.contains("Manifest.plist"))
            meta["Manifest.plist"] = plist(dict().put("IsEncrypted", PlistCFType::createCFBoolean(false)));
        if (!meta.contains("Status.plist"))
            meta["Status.plist"] = plist(dict().put("IsFullBackup", PlistCFType::createCFBoolean(false)));
        if (!meta.contains("Manifest.db")) {
            QTemporaryDir dir;
            Sqlite3DB db;
            db.openThrow(dir.filePath("m.db"), 6);
            db.executeThrow("create table Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags "
                            "INTEGER, file BLOB)");
            db.executeThrow("create table Properties (key TEXT PRIMARY KEY, value BLOB)");
            db.beginTran();
            for (const SimBackupFile& f : plan.files)
                db.executeThrow(Sqlite3Sql("insert into Files values(?,?,?,1,NULL)")
                                    .addTextParam(simFileId(f))
                                    .addTextParam(f.domain)
                                    .addTextParam(f.path));
            db.commitTran();
            db.close();
            QFile file(dir.filePath("m.db"));
            file.open(QIODevice::ReadOnly);
            meta["Manifest.db"] = file.readAll();
        }
        QList<Upload> list;
        QStringList names = meta.keys();
        names.sort();
        for (const QString& name : names)
            list.append({"/var/mobile/Library/Backup/" + name, udid + "/Snapshot/" + name, udid + '/' + name,
                         SimBackupFile {"", name, meta[name]}});
        return list;
    }
};

} // namespace

QString simFileId(const SimBackupFile& file)
{
    return QCryptographicHash::hash((file.domain + '-' + file.path).toUtf8(), QCryptographicHash::Sha1).toHex();
}

void simBackup2(SimLink& link)
{
    struct Finish // tells the test that this connection is done with, whatever way it ends
    {
        SimLink& link;
        ~Finish()
        {
            QMutexLocker lock(&link.sim.mutex);
            ++link.dev->backup2.finished;
        }
    } finish {link};
    // DeviceLink version exchange, then the protocol hello.
    if (!link.sendPlist(message({str("DLMessageVersionExchange"), num(300), num(0)})) || link.readPlist().isNull()
        || !link.sendPlist(message({str("DLMessageDeviceReady")})))
        return;
    const PlistCFType hello = link.readPlist();
    if (hello.at(1).get("MessageName").CFStringQString() != "Hello"
        || !link.sendPlist(message({str("DLMessageProcessMessage"),
                                    dict()
                                        .put("MessageName", str("Response"))
                                        .put("ErrorCode", num(0))
                                        .put("ProtocolVersion", PlistCFType::createCFNumberDouble(2.1))})))
        return;
    const PlistCFType requestMessage = link.readPlist();
    const PlistCFType request = requestMessage.at(1);
    const QString name = request.get("MessageName").CFStringQString();
    {
        QMutexLocker lock(&link.sim.mutex);
        link.dev->backup2.request = PlistCFType::clone(request);
    }
    link.note(name);
    Player player(link);
    if (!player.plan.script.isEmpty()) {
        for (const SimStep& s : player.plan.script) {
            if (!player.step(s.message, s.raw, s.cut))
                return;
        }
    } else if (name == "Backup") {
        player.backup();
    } else if (name == "Restore") {
        player.restore();
    }
    while (!link.readPlist().isNull()) { // the host's DLMessageDisconnect, until it closes
    }
}
