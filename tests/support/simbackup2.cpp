// The phone's mobilebackup2 service: DeviceLink version exchange, the
// protocol hello, and a Backup, a Restore or a script played from the
// description (see simbackup2.h).
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/socket.h>

#include "foundation/sqlite3db.h"
#include "tests/support/simiphone.h"

using namespace simpl;

namespace {

constexpr int kRecord = 65536; // data per upload record: more than the host sends at once

PlistCFType dbl(double d) { return PlistCFType::createCFNumberDouble(d); }
qint64 sizeOf(const SimBackupFile& f) { return f.size >= 0 ? f.size : f.data.size(); }

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

struct Player
{
    explicit Player(SimLink& link) : link(link)
    {
        QMutexLocker lock(&link.sim.mutex);
        u = link.dev->udid, plan = link.dev->backup2, apps = link.dev->apps;
    }

    // Sends one message (and raw bytes) and reads the host's answer; false
    // once the connection is gone.
    bool step(const PlistCFType& msg, const QByteArray& raw = QByteArray(), bool cut = false)
    {
        const QString name = msg.at(0).CFStringQString();
        link.note(name);
        if (!link.sendPlist(msg) || (!raw.isEmpty() && !link.send(raw)))
            return false;
        if (cut)
            return ::shutdown(link.fd, SHUT_RDWR), false;
        if (name == "DLMessageProcessMessage" || name == "DLMessageDisconnect")
            return true;
        if ((name == "DLMessageDownloadFiles" && !readDownload()) || (name == "DLMessageUploadFiles" && raw.isEmpty() && !upload()))
            return false;
        if ((reply = link.readPlist()).at(0).CFStringQString() != "DLMessageStatusResponse")
            return false; // the host has ended the run instead
        QMutexLocker lock(&link.sim.mutex);
        link.dev->backup2.replies.append(reply);
        return true;
    }

    void backup()
    {
        if (!step(list({str("DLMessageDownloadFiles"), strings({u + "/Status.plist"}), dict(), dbl(0)}))
            || !step(list({str("DLMessageGetFreeDiskSpace"), dict()})))
            return;
        // What the host already has, by name: only new or changed files go.
        QHash<QString, qint64> present;
        QStringList folders {u};
        for (int i = 0; i < folders.size(); ++i) {
            if (!step(list({str("DLContentsOfDirectory"), str(folders[i]), dict()})))
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
            if (present.value(id, -1) != sizeOf(f))
                uploads.append({deviceName(f), u + "/Snapshot/" + rel, u + '/' + rel, f});
        }
        qint64 total = 0;
        PlistCFType moves = dict();
        for (const Upload& up : uploads)
            total += sizeOf(up.file), moves.put(up.snapshotPath, str(up.finalPath));
        if (step(list({str("DLMessageCreateDirectory"), str(u + "/Snapshot"), dict(), num(0)}))
            && step(list({str("DLMessageUploadFiles"), dict(), dbl(50), num(total)}))
            && step(list({str("DLMessageMoveItems"), moves, dict(), dbl(90)}))
            && step(list({str("DLMessageRemoveItems"), strings({u + "/Snapshot"}), dict(), dbl(99)})))
            verdict();
    }

    void restore()
    {
        if (!step(list({str("DLMessageDownloadFiles"), strings({u + "/Manifest.plist", u + "/Manifest.db"}), dict(), dbl(0)})))
            return;
        QTemporaryDir dir;
        QFile file(dir.filePath("Manifest.db"));
        file.open(QIODevice::WriteOnly), file.write(received.value(u + "/Manifest.db")), file.close();
        QStringList wanted;
        try {
            Sqlite3DB db;
            db.openThrow(file.fileName(), 2);
            for (Sqlite3Cursor row = db.queryThrow("select fileID from Files where flags=1 order by fileID"); row.moveNext();)
                wanted << u + '/' + row.getText("fileID").left(2) + '/' + row.getText("fileID");
        } catch (const std::exception&) {
        }
        if (wanted.isEmpty() || step(list({str("DLMessageDownloadFiles"), strings(wanted), dict(), dbl(50)})))
            verdict();
    }

    void verdict()
    {
        PlistCFType d = dict().put("MessageName", str("Response")).put("ErrorCode", num(plan.errorCode));
        step(list({str("DLMessageProcessMessage"), d.put("ErrorDescription", str(plan.errorDescription))}));
    }

    // Name records and content records up to the end of the list, kept raw
    // and as whole files.
    bool readDownload()
    {
        QByteArray raw, name, record;
        const auto take = [&](int n, QByteArray* into) {
            *into = QByteArray(n, Qt::Uninitialized);
            return link.read(into->data(), n) && (raw += *into, true);
        };
        const auto length = [&](QByteArray* into) {
            QByteArray b;
            return take(4, &b) && take(int(qMin(qFromBigEndian<quint32>(b.constData()), 1u << 20)), into);
        };
        bool complete = false, ok = true;
        while (ok && length(&name) && !(complete = name.isEmpty())) {
            QByteArray body;
            while ((ok = length(&record)) && record.startsWith('\x0c'))
                body += record.mid(1);
            if (ok && record.startsWith('\0'))
                received.insert(QString::fromUtf8(name), body);
        }
        QMutexLocker lock(&link.sim.mutex);
        link.dev->backup2.downloads.append(raw);
        link.dev->backup2.received.insert(received);
        return complete;
    }

    bool upload()
    {
        for (const Upload& up : uploads) {
            const QByteArray from = up.deviceName.toUtf8(), to = up.snapshotPath.toUtf8();
            if (!link.send(be32(from.size()) + from + be32(to.size()) + to))
                return false;
            for (qint64 at = 0, n; at < sizeOf(up.file); at += n) {
                n = qMin<qint64>(kRecord, sizeOf(up.file) - at);
                if (!link.send(be32(quint32(n + 1)) + '\x0c' + QByteArray(up.file.size >= 0 ? madeUp(at) : up.file.data.constData() + at, n)))
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
        const auto plist = [](const char* key, const PlistCFType& v) { return dict().put(key, v).CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0); };
        meta.insert("Info.plist", meta.value("Info.plist", plist("Target Identifier", str(u))));
        meta.insert("Manifest.plist", meta.value("Manifest.plist", plist("IsEncrypted", PlistCFType::createCFBoolean(false))));
        meta.insert("Status.plist", meta.value("Status.plist", plist("IsFullBackup", PlistCFType::createCFBoolean(false))));
        if (!meta.contains("Manifest.db")) {
            QTemporaryDir dir;
            {
                Sqlite3DB db;
                db.openThrow(dir.filePath("m.db"), 6);
                db.executeThrow("create table Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB)");
                db.executeThrow("create table Properties (key TEXT PRIMARY KEY, value BLOB)");
                db.beginTran();
                for (const SimBackupFile& f : plan.files)
                    db.executeThrow(Sqlite3Sql("insert into Files values(?,?,?,1,NULL)").addTextParam(simFileId(f)).addTextParam(f.domain).addTextParam(f.path));
                db.commitTran();
            }
            QFile file(dir.filePath("m.db"));
            meta["Manifest.db"] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }
        QList<Upload> out;
        QStringList names = meta.keys();
        names.sort();
        for (const QString& name : names)
            out.append({"/var/mobile/Library/Backup/" + name, u + "/Snapshot/" + name, u + '/' + name, SimBackupFile {"", name, meta[name]}});
        return out;
    }

    SimLink& link;
    QString u; // the udid, the folder of every path
    SimBackup2 plan;
    QList<SimApp> apps;
    PlistCFType reply;
    QHash<QString, QByteArray> received;
    QList<Upload> uploads;
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
        ~Finish() { QMutexLocker lock(&link.sim.mutex); ++link.dev->backup2.finished; }
    } finish {link};
    // A host that stops answering in the middle of an exchange (a fault in
    // it) fails its test within a minute instead of hanging it.
    const timeval patience {60, 0};
    ::setsockopt(link.fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    // DeviceLink version exchange, then the protocol hello.
    if (!link.sendPlist(list({str("DLMessageVersionExchange"), num(300), num(0)})) || link.readPlist().isNull()
        || !link.sendPlist(list({str("DLMessageDeviceReady")}))
        || link.readPlist().at(1).get("MessageName").CFStringQString() != "Hello"
        || !link.sendPlist(list({str("DLMessageProcessMessage"),
                                 dict().put("MessageName", str("Response")).put("ErrorCode", num(0)).put("ProtocolVersion", dbl(2.1))})))
        return;
    const PlistCFType message = link.readPlist(), request = message.at(1);
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
        // A host that goes on waiting after the script would wait for ever.
        link.sendPlist(list({str("DLMessageDisconnect"), str("end of the script")}));
    } else if (name == "Backup") {
        player.backup();
    } else if (name == "Restore") {
        player.restore();
    }
    while (!link.readPlist().isNull()) { // the host's DLMessageDisconnect, until it closes
    }
}
