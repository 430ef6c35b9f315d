#include "tests/support/simiphone.h"

#include <QDirIterator>
#include <QFile>

#include <chrono>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace simpl;

namespace {

const char kBuid[] = "5EB1D0A4-51A1-4C4B-9C63-1E8A0F6C2B11";
const char kHostId[] = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
// A PKCS#1 public key, which the library needs to make its pair record.
const char kPublicKey[] = "-----BEGIN RSA PUBLIC KEY-----\n"
                          "MIGJAoGBAMgP3a2EpDvmx6iMEkaxl75g2JWlAIfvPh9aqHNKkKroxR30OMylvQQY\n"
                          "LaNg94fVhpxUVlvHoJb2limsWO9bzZZaKA6z1u/Z0ppOo/P7LHRQBVVZ+LSR1ymA\n"
                          "cycCRdVQDaDiHYiw6gZgB35Y+OMU5YY5iAO2svxr/2G+LvHHdlWRAgMBAAE=\n"
                          "-----END RSA PUBLIC KEY-----\n";

// All of a buffer in or out; false once the other side has gone.
bool transfer(int fd, char* data, qint64 size, bool out)
{
    for (qint64 done = 0, n = 0; done < size; done += n) {
        const size_t left = size_t(size - done);
        n = out ? ::send(fd, data + done, left, MSG_NOSIGNAL) : ::recv(fd, data + done, left, 0);
        if (n <= 0)
            return false;
    }
    return true;
}

// The phone's TLS side: one key and self-signed certificate for the process.
// The library checks no certificate of the phone but presents the pair
// record's RootCertificate as its own, which a phone requires: the pair
// records the simulator hands out carry this one as their root.
struct Tls
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    QByteArray cert, key; // PEM
};

QByteArray pem(const std::function<int(BIO*)>& write)
{
    BIO* bio = BIO_new(BIO_s_mem());
    char* data = nullptr;
    const long size = write(bio) == 1 ? BIO_get_mem_data(bio, &data) : 0;
    const QByteArray out(data, int(size));
    BIO_free(bio);
    return out;
}

const Tls& phoneTls()
{
    static const Tls made = [] {
        Tls t;
        EVP_PKEY* key = EVP_RSA_gen(2048);
        X509* cert = X509_new();
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const uchar*>("Sim iPhone"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 3650);
        X509_set_pubkey(cert, key);
        X509_sign(cert, key, EVP_sha256());
        SSL_CTX_use_certificate(t.ctx, cert);
        SSL_CTX_use_PrivateKey(t.ctx, key);
        // The library allows TLS 1.0 and up at security level 0 (only 1.0
        // on a connection of a device whose iOS version it has not read).
        SSL_CTX_set_security_level(t.ctx, 0);
        SSL_CTX_set_min_proto_version(t.ctx, TLS1_VERSION);
        // Any certificate will do, as long as the computer presents one.
        const auto anyOne = [](int, X509_STORE_CTX*) { return 1; };
        SSL_CTX_set_verify(t.ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, anyOne);
        t.cert = pem([&](BIO* b) { return PEM_write_bio_X509(b, cert); });
        t.key = pem([&](BIO* b) { // as the library writes the pair records it makes
            return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
        });
        X509_free(cert);
        EVP_PKEY_free(key);
        return t;
    }();
    return made;
}

QByteArray xml(const PlistCFType& message) { return message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0); }

// usbmuxd's packets: a little-endian header (length, version 1, type 8 =
// plist, tag) and an XML property list.
bool sendPacket(int fd, quint32 tag, const PlistCFType& message)
{
    QByteArray bytes = QByteArray(16, 0) + xml(message);
    const quint32 head[4] = {quint32(bytes.size()), 1, 8, tag};
    for (int i = 0; i < 4; ++i)
        qToLittleEndian(head[i], bytes.data() + 4 * i);
    return transfer(fd, bytes.data(), bytes.size(), true);
}

bool sendResult(int fd, quint32 tag, int number)
{
    return sendPacket(fd, tag, dict().put("MessageType", str("Result")).put("Number", num(number)));
}

PlistCFType attached(const SimDevice& d)
{
    PlistCFType props = dict().put("ConnectionType", str(d.network ? "Network" : "USB")).put("DeviceID", num(d.id));
    props.put("ProductID", num(0x12a8)).put("SerialNumber", str(d.udid));
    const QByteArray loopback("\x10\x02\0\0\x7f\0\0\x01\0\0\0\0\0\0\0\0", 16); // a sockaddr_in of 127.0.0.1
    if (d.network)
        props.put("NetworkAddress", PlistCFType::createCFData(loopback));
    return dict().put("MessageType", str("Attached")).put("DeviceID", num(d.id)).put("Properties", props);
}

void simLockdown(SimLink& link);
void simInstProxy(SimLink& link);
void simNotificationProxy(SimLink& link);
const QHash<QString, void (*)(SimLink&)> kServices = {
    {"lockdown", simLockdown}, // on its fixed port 62078
    {"com.apple.afc", simAfc},
    {"com.apple.mobile.installation_proxy", simInstProxy},
    {"com.apple.mobile.notification_proxy", simNotificationProxy},
    {"com.apple.mobilebackup2", simBackup2},
    {"com.apple.mobilesync", simMobileSync},
};

// Lockdown: values by domain and key, pairing with the trust dialog's
// answer, sessions and service start. Fills the answer to
// one request; returns the error name of a refused one.
QString lockdownAnswer(SimDevice& d, const PlistCFType& message, PlistCFType& answer, bool& session)
{
    const QString request = message.get("Request").CFStringQString(), name = message.get("Service").CFStringQString();
    const QString domain = message.get("Domain").CFStringQString(), key = message.get("Key").CFStringQString();
    const auto refused = [&](const SimFault& f) { return f.kind == SimFault::Refuse && f.service == name; };
    if (request == "QueryType") {
        answer.put("Type", str("com.apple.mobile.lockdown"));
    } else if (request == "GetValue") {
        const PlistCFType value = key.isEmpty() ? d.values.value(domain) : d.values.value(domain).get(key);
        if (value.isNull())
            return "MissingValue";
        answer.put("Value", PlistCFType::clone(value)); // never hand the phone's own dictionary over
    } else if (request == "SetValue") {
        d.set(domain, key, PlistCFType::clone(message.get("Value")));
    } else if (request == "Pair") {
        if (d.trust != SimDevice::Trusted)
            return d.trust == SimDevice::Pending ? "PairingDialogResponsePending" : "UserDeniedPairing";
        d.hostIds.append(message.get("PairRecord").get("HostID").CFStringQString());
        answer.put("EscrowBag", PlistCFType::createCFData("escrow"));
    } else if (request == "StartSession") {
        if (!d.hostIds.contains(message.get("HostID").CFStringQString()))
            return "InvalidHostID";
        session = true;
        answer.put("SessionID", str("1")).put("EnableSessionSSL", PlistCFType::createCFBoolean(true));
    } else if (request == "StopSession") {
        session = false;
    } else if (request == "StartService") {
        if (!kServices.contains(name) || name == "lockdown")
            return "InvalidService";
        if (!session)
            return "SessionInactive";
        if (std::any_of(d.faults.begin(), d.faults.end(), refused))
            return "ServiceProhibited";
        if (name.endsWith("mobilebackup2") && !message.get("EscrowBag").isCFData())
            return "EscrowLocked";
        const quint16 port = quint16(49152 + d.ports.size());
        d.ports[port] = name;
        answer.put("Service", str(name)).put("Port", num(port));
        answer.put("EnableServiceSSL", PlistCFType::createCFBoolean(name.endsWith("mobilebackup2") && d.backup2.ssl));
    } else {
        return "InvalidRequest";
    }
    return QString();
}

// A session is TLS from the answer that starts it to the answer that stops
// it; the connection goes on in plain bytes after it.
void simLockdown(SimLink& link)
{
    bool session = false;
    for (PlistCFType message; !(message = link.readPlist()).isNull();) {
        const QString request = message.get("Request").CFStringQString();
        link.note(request);
        PlistCFType reply = dict().put("Request", str(request));
        const QString error = link.locked([&](SimDevice& d) { return lockdownAnswer(d, message, reply, session); });
        reply.put(error.isEmpty() ? "Result" : "Error", str(error.isEmpty() ? "Success" : error));
        link.sendPlist(reply); // a host that has gone is seen at the next read
        if (request == "StartSession" && error.isEmpty() && !link.startTls())
            return;
        if (request == "StopSession")
            link.stopTls();
    }
}

// The installation proxy: Browse lists the user apps with their data and
// group containers, in one batch.
void simInstProxy(SimLink& link)
{
    simAnswerEach(link, [&](const PlistCFType& message) {
        link.note(message.get("Command").CFStringQString());
        PlistCFType apps = PlistCFType::createCFArray();
        for (const SimApp& app : link.locked([](SimDevice& d) { return d.apps; })) {
            PlistCFType groups = dict();
            for (auto g = app.groups.cbegin(); g != app.groups.cend(); ++g)
                groups.put(g.key(), str("/private/var/mobile/Containers/Shared/AppGroup/" + g.value()));
            const QString container = "/private/var/mobile/Containers/Data/Application/" + app.container;
            apps.append(dict().put("CFBundleIdentifier", str(app.bundleId)).put("GroupContainers", groups)
                            .put("Container", str(container)));
        }
        PlistCFType batch = dict().put("Status", str("BrowsingApplications")).put("CurrentList", apps);
        const PlistCFType count = num(apps.array_size());
        batch.put("CurrentAmount", count).put("CurrentIndex", num(0)).put("Total", PlistCFType::clone(count));
        return QList<PlistCFType> {batch, dict().put("Status", str("Complete"))};
    });
}

// The notification proxy: the host observes and posts notifications (each
// logged with its name); a shutdown is answered with ProxyDeath, which the
// library waits for before it closes the connection.
void simNotificationProxy(SimLink& link)
{
    simAnswerEach(link, [&](const PlistCFType& message) {
        const QString command = message.get("Command").CFStringQString(), name = message.get("Name").CFStringQString();
        link.note(command + (name.isEmpty() ? QString() : ' ' + name));
        if (command == "Shutdown")
            return QList<PlistCFType> {dict().put("Command", str("ProxyDeath"))};
        return QList<PlistCFType>();
    });
}

} // namespace

SimDevice::SimDevice(const QString& udid) : udid(udid)
{
    set("", "UniqueDeviceID", str(udid)).set("", "DeviceName", str("Sim iPhone"));
    set("", "ProductVersion", str("12.4")).set("", "ProductType", str("iPhone11,2"));
    set("", "MobileSubscriberCountryCode", str("440")).set("", "WiFiAddress", str("a4:d1:8c:00:00:01"));
    set("", "DevicePublicKey", PlistCFType::createCFData(kPublicKey));
    set("", "BuildVersion", str("16G77")).set("", "SerialNumber", str("F17SIMPHONE1"));
    // Every phone has its backup settings; both off unless a test turns them on.
    set("com.apple.mobile.backup", "CloudBackupEnabled", PlistCFType::createCFBoolean(false));
    set("com.apple.mobile.backup", "WillEncrypt", PlistCFType::createCFBoolean(false));
}

SimDevice& SimDevice::set(const QString& domain, const QString& key, const PlistCFType& value)
{
    if (!values.contains(domain))
        values[domain] = dict();
    values[domain].put(key, value);
    return *this;
}

void simAnswerEach(SimLink& link, const std::function<QList<PlistCFType>(const PlistCFType&)>& answer)
{
    for (PlistCFType message; !(message = link.readPlist()).isNull();) {
        for (const PlistCFType& reply : answer(message))
            link.sendPlist(reply); // a host that has gone is seen at the next read
    }
}

void SimTlsFree::operator()(ssl_st* tls) const { SSL_free(tls); }

bool SimLink::startTls()
{
    // OpenSSL writes without MSG_NOSIGNAL: a host that has gone must fail
    // the phone's write, not end the test program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    tls.reset(SSL_new(phoneTls().ctx));
    SSL_set_fd(tls.get(), fd);
    if (SSL_accept(tls.get()) == 1)
        return true;
    tls.reset();
    return false;
}

void SimLink::stopTls()
{
    char byte;
    const int r = tls ? SSL_read(tls.get(), &byte, 1) : 1;
    if (r <= 0 && SSL_get_error(tls.get(), r) == SSL_ERROR_ZERO_RETURN)
        tls.reset();
}

bool SimLink::read(void* data, qint64 size)
{
    if (!tls)
        return transfer(fd, static_cast<char*>(data), size, false);
    for (qint64 done = 0, n = 0; done < size; done += n) {
        if ((n = SSL_read(tls.get(), static_cast<char*>(data) + done, int(qMin<qint64>(size - done, 1 << 30)))) <= 0)
            return false;
    }
    return true;
}

bool SimLink::send(const QByteArray& bytes)
{
    ++answers;
    QMutexLocker lock(&sim.mutex);
    const auto fault = std::find_if(dev->faults.begin(), dev->faults.end(), [&](const SimFault& f) {
        return f.kind != SimFault::Refuse && f.service == service && answers > f.after;
    });
    const SimFault f = fault == dev->faults.end() ? SimFault {SimFault::Refuse, ""} : *fault;
    if (f.kind == SimFault::Drop || f.kind == SimFault::Unplug)
        dev->faults.erase(fault);
    lock.unlock();
    if (f.kind == SimFault::Unplug)
        sim.detach(dev->udid);
    if (f.kind == SimFault::Drop || f.kind == SimFault::Unplug) {
        ::shutdown(fd, SHUT_RDWR);
        return false;
    }
    if (tls)
        return bytes.isEmpty() || SSL_write(tls.get(), bytes.constData(), int(bytes.size())) > 0;
    return transfer(fd, const_cast<char*>(bytes.constData()), bytes.size(), true);
}

PlistCFType SimLink::readPlist()
{
    quint32 size = 0;
    if (!read(&size, 4) || (size = qFromBigEndian(size)) > (1u << 24))
        return PlistCFType();
    QByteArray bytes(size, Qt::Uninitialized);
    return read(bytes.data(), size) ? PlistCFType::createCFPropertyList(bytes) : PlistCFType();
}

bool SimLink::sendPlist(const PlistCFType& message)
{
    const QByteArray bytes = xml(message);
    return send(be32(bytes.size()) + bytes);
}

void SimLink::note(const QString& request)
{
    QMutexLocker lock(&sim.mutex);
    sim.m_log.append(service + ':' + request);
    const auto hook = dev->onRequest;
    lock.unlock();
    if (hook)
        hook(service + ':' + request);
}

SimIPhone::SimIPhone()
{
    const QByteArray path = QFile::encodeName(m_dir.filePath("usbmuxd"));
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, path.constData(), sizeof(addr.sun_path));
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_listenFd, 64) != 0)
        qFatal("simulated iPhone: cannot listen on %s", path.constData());
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + path);
    m_acceptor = std::thread([this] {
        for (int fd; (fd = ::accept(m_listenFd, nullptr, nullptr)) >= 0;) {
            QMutexLocker lock(&mutex);
            if (m_stopping) {
                ::close(fd);
                break;
            }
            m_fds.append(fd);
            m_threads.emplace_back([this, fd] { serve(fd); });
        }
    });
}

SimIPhone::~SimIPhone()
{
    m_stopping = true;
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_acceptor.join();
    ::close(m_listenFd);
    mutex.lock();
    for (int fd : m_fds)
        ::shutdown(fd, SHUT_RDWR);
    mutex.unlock();
    for (std::thread& t : m_threads)
        t.join();
}

void SimIPhone::serve(int fd)
{
    quint32 head[4];
    SimLink link {*this, {}, "usbmuxd", fd};
    while (link.read(head, 16) && qFromLittleEndian(head[0]) >= 16 && qFromLittleEndian(head[0]) < (1u << 20)) {
        QByteArray payload(qFromLittleEndian(head[0]) - 16, Qt::Uninitialized);
        if (!link.read(payload.data(), payload.size())
            || !usbmuxd(fd, qFromLittleEndian(head[3]), PlistCFType::createCFPropertyList(payload)))
            break;
    }
    QMutexLocker lock(&mutex);
    m_fds.removeAll(fd);
    ::close(fd);
}

// One usbmuxd request; false when the connection is done with.
bool SimIPhone::usbmuxd(int fd, quint32 tag, const PlistCFType& message)
{
    const QString type = message.get("MessageType").CFStringQString();
    const QString record = message.get("PairRecordID").CFStringQString();
    const int id = message.get("DeviceID").CFNumberInt(0);
    QMutexLocker lock(&mutex);
    m_log.append("usbmuxd:" + type);
    if (type == "ListDevices" || type == "Listen") {
        QList<PlistCFType> events;
        for (const auto& d : m_devices)
            events.append(attached(*d));
        if (type == "ListDevices")
            return sendPacket(fd, tag, dict().put("DeviceList", list(events)));
        sendResult(fd, tag, 0);
        for (const PlistCFType& event : events)
            sendPacket(fd, 0, event);
        m_listeners.append(fd);
        lock.unlock();
        for (char c; ::recv(fd, &c, 1, 0) > 0;) {
        }
        lock.relock();
        m_listeners.removeAll(fd);
    } else if (type == "Connect") {
        const auto dev = find([id](const SimDevice& d) { return int(d.id) == id; });
        const quint16 port = qFromBigEndian(quint16(message.get("PortNumber").CFNumberInt()));
        const auto serve = kServices.value(!dev ? "" : port == 62078 ? "lockdown" : dev->ports.value(port));
        if (!sendResult(fd, tag, !dev ? 2 : serve ? 0 : 3) || !serve)
            return false;
        dev->fds.append(fd);
        lock.unlock();
        SimLink link {*this, dev, kServices.key(serve), fd};
        if (link.service != "com.apple.mobilebackup2" || !link.locked([](SimDevice& d) { return d.backup2.ssl; })
            || link.startTls())
            serve(link);
        lock.relock();
        dev->fds.removeAll(fd);
    } else if (type == "ReadBUID") {
        return sendPacket(fd, tag, dict().put("BUID", str(kBuid)));
    } else if (type == "ReadPairRecord" && m_pairRecords.contains(record)) {
        return sendPacket(fd, tag, dict().put("PairRecordData", PlistCFType::createCFData(m_pairRecords[record])));
    } else if (type == "SavePairRecord") {
        m_pairRecords[record] = message.get("PairRecordData").CFDataBytes();
        if (id)
            broadcast(dict().put("MessageType", str("Paired")).put("DeviceID", num(id)));
        return sendResult(fd, tag, 0);
    } else {
        return sendResult(fd, tag, type == "ReadPairRecord" ? 2 : 1);
    }
    return false;
}

void SimIPhone::broadcast(const PlistCFType& message)
{
    for (int fd : m_listeners)
        sendPacket(fd, 0, message);
}

QSharedPointer<SimDevice> SimIPhone::find(const std::function<bool(const SimDevice&)>& match) const
{
    const auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](const auto& d) { return match(*d); });
    return it == m_devices.end() ? QSharedPointer<SimDevice>() : *it;
}

void SimIPhone::attach(const SimDevice& device)
{
    QMutexLocker lock(&mutex);
    auto d = QSharedPointer<SimDevice>::create(device);
    d->id = m_nextId++;
    // Its own copy of the settings, which a password change edits.
    const QString settings = "com.apple.mobile.backup";
    d->values[settings] = PlistCFType::clone(d->values.value(settings));
    if (!d->backup2.password.isEmpty())
        d->set(settings, "WillEncrypt", PlistCFType::createCFBoolean(true));
    if (d->paired) {
        d->hostIds.append(kHostId);
        PlistCFType record = dict().put("HostID", str(kHostId)).put("SystemBUID", str(kBuid));
        record.put("EscrowBag", PlistCFType::createCFData("escrow"));
        record.put("RootCertificate", PlistCFType::createCFData(phoneTls().cert));
        record.put("RootPrivateKey", PlistCFType::createCFData(phoneTls().key));
        m_pairRecords[d->udid] = record.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    }
    m_devices.append(d);
    broadcast(attached(*d));
}

void SimIPhone::detach(const QString& udid)
{
    QMutexLocker lock(&mutex);
    const auto d = find([&](const SimDevice& x) { return x.udid == udid; });
    if (!d)
        return;
    m_devices.removeAll(d);
    broadcast(dict().put("MessageType", str("Detached")).put("DeviceID", num(d->id)));
    for (int fd : d->fds)
        ::shutdown(fd, SHUT_RDWR);
}

void SimIPhone::edit(const QString& udid, const std::function<void(SimDevice&)>& change)
{
    QMutexLocker lock(&mutex);
    if (const auto d = find([&](const SimDevice& x) { return x.udid == udid; }))
        change(*d);
}

SimBackup2 SimIPhone::backup2Played(const QString& udid)
{
    SimBackup2 seen;
    for (int i = 0; i < 500 && !seen.finished; ++i) {
        if (i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        edit(udid, [&](SimDevice& d) { seen = d.backup2; });
    }
    return seen;
}

QStringList SimIPhone::requests() const
{
    // A list of its own: one sharing the log's buffer would be read by the
    // test while the phone's next note, seeing it unshared too soon (Qt
    // checks sharing with a relaxed load), moves its strings out.
    QMutexLocker lock(&mutex);
    QStringList copy;
    copy.reserve(m_log.size());
    for (const QString& request : m_log)
        copy.append(request);
    return copy;
}

QStringList simFilesBelow(const QString& folder)
{
    QStringList files;
    const auto filter = QDir::Files | QDir::Hidden | QDir::System;
    for (QDirIterator it(folder, filter, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}
