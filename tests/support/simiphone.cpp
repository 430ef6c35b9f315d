#include "tests/support/simiphone.h"

#include <QDirIterator>
#include <QFile>
#include <QThread>
#include <QtEndian>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace simpl;

namespace {

const SimService kServices[] = {
    {"lockdown", simLockdown, false}, // on its fixed port 62078
    {"com.apple.afc", simAfc, false},
    {"com.apple.mobile.installation_proxy", simInstProxy, false},
    {"com.apple.mobilebackup2", simBackup2, true},
    {"com.apple.mobilesync", simMobileSync, false},
};

const char kBuid[] = "5EB1D0A4-51A1-4C4B-9C63-1E8A0F6C2B11";
const char kHostId[] = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
// A PKCS#1 public key, which the library needs to make its pair record.
const char kPublicKey[] = "-----BEGIN RSA PUBLIC KEY-----\n"
                          "MIGJAoGBAMgP3a2EpDvmx6iMEkaxl75g2JWlAIfvPh9aqHNKkKroxR30OMylvQQY\n"
                          "LaNg94fVhpxUVlvHoJb2limsWO9bzZZaKA6z1u/Z0ppOo/P7LHRQBVVZ+LSR1ymA\n"
                          "cycCRdVQDaDiHYiw6gZgB35Y+OMU5YY5iAO2svxr/2G+LvHHdlWRAgMBAAE=\n"
                          "-----END RSA PUBLIC KEY-----\n";

bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    for (ssize_t n = 0; done < bytes.size(); done += n) {
        if ((n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL)) <= 0)
            return false;
    }
    return true;
}

// usbmuxd's packets: a little-endian header (length, version 1, type 8 =
// plist, tag) and an XML property list.
bool sendPacket(int fd, quint32 tag, const PlistCFType& message)
{
    const QByteArray xml = message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    const quint32 head[4] = {qToLittleEndian(quint32(16 + xml.size())), qToLittleEndian(1u), qToLittleEndian(8u), qToLittleEndian(tag)};
    return writeAll(fd, QByteArray(reinterpret_cast<const char*>(head), 16) + xml);
}

bool sendResult(int fd, quint32 tag, int number)
{
    return sendPacket(fd, tag, dict().put("MessageType", str("Result")).put("Number", num(number)));
}

PlistCFType attached(const SimDevice& d)
{
    PlistCFType props = dict().put("ConnectionType", str(d.network ? "Network" : "USB")).put("DeviceID", num(d.id));
    props.put("ProductID", num(0x12a8)).put("SerialNumber", str(d.udid));
    if (d.network) // a sockaddr_in of 127.0.0.1
        props.put("NetworkAddress", PlistCFType::createCFData(QByteArray("\x10\x02\0\0\x7f\0\0\x01", 8) + QByteArray(8, 0)));
    return dict().put("MessageType", str("Attached")).put("DeviceID", num(d.id)).put("Properties", props);
}

} // namespace

SimDevice::SimDevice(const QString& udid) : udid(udid)
{
    values[""] = dict().put("UniqueDeviceID", str(udid)).put("DeviceName", str("Sim iPhone")).put("ProductVersion", str("12.4"));
    values[""].put("ProductType", str("iPhone11,2")).put("MobileSubscriberCountryCode", str("440"));
    values[""].put("WiFiAddress", str("a4:d1:8c:00:00:01")).put("DevicePublicKey", PlistCFType::createCFData(kPublicKey));
}

SimDevice& SimDevice::set(const QString& domain, const QString& key, const PlistCFType& value)
{
    if (!values.contains(domain))
        values[domain] = dict();
    values[domain].put(key, value);
    return *this;
}

bool SimLink::read(void* data, qint64 size)
{
    qint64 done = 0;
    for (ssize_t n = 0; done < size; done += n) {
        if ((n = ::recv(fd, static_cast<char*>(data) + done, size_t(size - done), 0)) <= 0)
            return false;
    }
    return true;
}

bool SimLink::send(const QByteArray& bytes)
{
    ++answers;
    QMutexLocker lock(&sim.mutex);
    for (int i = 0; i < dev->faults.size(); ++i) {
        const SimFault f = dev->faults[i];
        if (f.kind == SimFault::Refuse || f.service != service || answers <= f.after)
            continue;
        if (f.kind != SimFault::Slow)
            dev->faults.removeAt(i);
        lock.unlock();
        if (f.kind == SimFault::Slow)
            return QThread::msleep(f.ms), writeAll(fd, bytes);
        if (f.kind == SimFault::Unplug)
            sim.detach(dev->udid);
        ::shutdown(fd, SHUT_RDWR);
        return false;
    }
    lock.unlock();
    return writeAll(fd, bytes);
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
    const QByteArray xml = message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    const quint32 size = qToBigEndian(quint32(xml.size()));
    return send(QByteArray(reinterpret_cast<const char*>(&size), 4) + xml);
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
    sockaddr_un addr{};
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
    {
        QMutexLocker lock(&mutex);
        for (int fd : m_fds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : m_threads)
        t.join();
}

void SimIPhone::serve(int fd)
{
    quint32 head[4];
    SimLink link{*this, {}, "usbmuxd", fd};
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
    const QString type = message.get("MessageType").CFStringQString(), record = message.get("PairRecordID").CFStringQString();
    QMutexLocker lock(&mutex);
    m_log.append("usbmuxd:" + type);
    if (type == "ListDevices") {
        PlistCFType list = PlistCFType::createCFArray();
        for (const auto& d : m_devices)
            list.append(attached(*d));
        return sendPacket(fd, tag, dict().put("DeviceList", list));
    } else if (type == "Listen") {
        sendResult(fd, tag, 0);
        for (const auto& d : m_devices)
            sendPacket(fd, 0, attached(*d));
        m_listeners.append(fd);
        lock.unlock();
        for (char c; ::recv(fd, &c, 1, 0) > 0;) {
        }
        lock.relock();
        m_listeners.removeAll(fd);
        return false;
    } else if (type == "Connect") {
        const int id = message.get("DeviceID").CFNumberInt();
        const auto dev = find([id](const SimDevice& d) { return int(d.id) == id; });
        const quint16 port = qFromBigEndian(quint16(message.get("PortNumber").CFNumberInt()));
        const SimService* s = !dev ? nullptr : service(port == 62078 ? "lockdown" : dev->ports.value(port));
        if (!sendResult(fd, tag, !dev ? 2 : s ? 0 : 3) || !s)
            return false;
        dev->fds.append(fd);
        lock.unlock();
        SimLink link{*this, dev, s->name, fd};
        s->serve(link);
        lock.relock();
        dev->fds.removeAll(fd);
        return false;
    } else if (type == "ReadBUID") {
        return sendPacket(fd, tag, dict().put("BUID", str(kBuid)));
    } else if (type == "ReadPairRecord") {
        if (!m_pairRecords.contains(record))
            return sendResult(fd, tag, 2);
        return sendPacket(fd, tag, dict().put("PairRecordData", PlistCFType::createCFData(m_pairRecords[record])));
    } else if (type == "SavePairRecord") {
        m_pairRecords[record] = message.get("PairRecordData").CFDataBytes();
        if (!message.get("DeviceID").isNull())
            broadcast(dict().put("MessageType", str("Paired")).put("DeviceID", num(message.get("DeviceID").CFNumberInt())));
        return sendResult(fd, tag, 0);
    }
    return sendResult(fd, tag, 1);
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
    if (d->paired) {
        d->hostIds.append(kHostId);
        m_pairRecords[d->udid] = dict().put("HostID", str(kHostId)).put("SystemBUID", str(kBuid))
                                     .put("EscrowBag", PlistCFType::createCFData("escrow"))
                                     .CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
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

QStringList SimIPhone::requests() const
{
    QMutexLocker lock(&mutex);
    return m_log;
}

const SimService* SimIPhone::service(const QString& name)
{
    for (const SimService& s : kServices) {
        if (name == s.name)
            return &s;
    }
    return nullptr;
}

QStringList simFilesBelow(const QString& folder)
{
    QStringList files;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}
