// The DeviceLink messages that move files between the phone and the backup
// folder, and the framing of the raw channel they use.
#include <QFileInfo>
#include <QtEndian>

#include <stdexcept>

#include <libimobiledevice/mobilebackup2.h>

#include "device/backup2tool.h"
#include "device/backup2tool_p.h"
#include "foundation/safefile.h"

namespace {

using namespace backup2detail;

const char kBrokenName[] = "Error attaching to device. Please Keep your iPhone connected and active. "
                           "backup2tool::recvFileNamesThrow: could not read filename.";
const char kBrokenData[] = "Error attaching to device. Please Keep your iPhone connected and active. "
                           "backup2tool::recvFileThrow: recv null data.";
const QString kBrokenSend = "Error attaching to device. Please Keep your iPhone connected and active. "
                            "backup2tool::sendFileThrow: ";
// An error text from the phone is kept up to this length; the rest is read and dropped.
constexpr quint32 kMaxText = 4096;

enum : char { CodeSuccess = 0x00, CodeLocalError = 0x06, CodeRemoteError = 0x0B, CodeFileData = 0x0C };

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

quint32 readLength(const Reader& read, const char* broken)
{
    char bytes[4];
    read(bytes, 4, broken);
    return qFromBigEndian<quint32>(bytes);
}

QByteArray lengthBytes(quint32 length)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(length, bytes.data());
    return bytes;
}

// A hook's file result as the phone reads it.
int statusCode(int rc)
{
    return rc == 2 ? -6 : rc == 17 ? -7 : -rc;
}

PlistCFType emptyDict()
{
    return PlistCFType::createCFDictionary();
}

} // namespace

namespace backup2detail {

QByteArray framedList(const PlistCFType& list)
{
    const QByteArray body = list.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    return lengthBytes(quint32(body.size())) + body;
}

QString asText(const QString& text)
{
    QString out = text;
    out.replace('&', QLatin1String("&amp;")).replace('<', QLatin1String("&lt;")).replace('>', QLatin1String("&gt;"));
    return out;
}

QString readNameThrow(const Reader& read)
{
    const quint32 length = readLength(read, kBrokenName);
    if (length == 0)
        return QString();
    if (length > kMaxNameLength)
        throw failure(QString("backup2tool::recvFileNamesThrow: too large filename length (%1)!").arg(length));
    QByteArray name(int(length), Qt::Uninitialized);
    read(name.data(), length, kBrokenName);
    return QString::fromUtf8(name);
}

quint64 readContentThrow(const Reader& read, const Writer& write)
{
    quint64 total = 0;
    bool hadData = false;
    QByteArray piece;
    for (;;) {
        const quint32 length = readLength(read, kBrokenData);
        if (length == 0)
            throw failure(kBrokenData);
        // The code comes with the first piece of the payload. The length
        // comes from the phone: never hold more than one piece of it.
        piece.resize(int(qMin(length, kPiece)));
        read(piece.data(), quint32(piece.size()), kBrokenData);
        const char code = piece[0];
        if (code != CodeFileData && code != CodeSuccess && code != CodeRemoteError)
            throw failure(QString("backup2tool::recvFileThrow: invalid code %1.").arg(int(qint8(code))));
        QByteArray text;
        for (quint32 left = length - 1, at = 1;;) {
            const quint32 n = quint32(piece.size()) - at;
            if (code == CodeFileData) {
                if (n > 0)
                    write(piece.constData() + at, n);
                total += n;
            } else if (quint32(text.size()) < kMaxText) {
                text += QByteArray::fromRawData(piece.constData() + at, int(n)).left(int(kMaxText) - text.size());
            }
            if ((left -= n) == 0)
                break;
            piece.resize(int(qMin(left, kPiece)));
            read(piece.data(), quint32(piece.size()), kBrokenData);
            at = 0;
        }
        if (code == CodeFileData) {
            hadData = true;
        } else if (code == CodeSuccess || hadData) {
            return total; // after data a remote-error record only marks the end, whatever it says
        } else {
            throw failure("Please restart your iPhone to try again. backup2tool::recvFileThrow: remote error. "
                          + asText(QString::fromUtf8(text)));
        }
    }
}

} // namespace backup2detail

QString backup2tool::devicePath(const QString& path, QString* error) const
{
    return m_hook->checkedPath(m_root, path, error, m_udid);
}

void backup2tool::changing(const QString& local)
{
    if (m_backupChanged || local.isEmpty() || local == m_snapshot
        || (local.startsWith(m_snapshot) && local.at(m_snapshot.size()) == QLatin1Char('/')))
        return;
    m_backupChanged = true;
    if (beforeBackupChange)
        beforeBackupChange();
}

void backup2tool::recvExactThrow(Client* client, char* data, quint32 size, const char* broken)
{
    for (quint32 done = 0; done < size;) {
        // Also between pieces: a phone that never stops sending is left too.
        if (isCancel())
            throw Cancelled();
        quint32 got = 0;
        const Channel::Wait w = client->receiveSome(data + done, size - done, &got);
        if (w == Channel::Cancelled)
            throw Cancelled();
        if (w != Channel::Done)
            throw failure(broken);
        done += got;
    }
}

int backup2tool::sendAll(Client* client, const char* data, quint32 size)
{
    const Channel::Wait w = client->sendAll(data, size);
    if (w == Channel::Cancelled)
        throw Cancelled();
    return w == Channel::Done ? 0 : MOBILEBACKUP2_E_MUX_ERROR;
}

int backup2tool::sendMessage(Client* client, const PlistCFType& message)
{
    const QByteArray bytes = framedList(message);
    return sendAll(client, bytes.constData(), quint32(bytes.size()));
}

int backup2tool::sendStatus(Client* client, int code, const QString& description, const PlistCFType& plist)
{
    // As the library frames it: DeviceLink's "no argument" for what is absent.
    const PlistCFType none = PlistCFType::createCFString(kEmptyParameter);
    const PlistCFType text = description.isEmpty() ? none : PlistCFType::createCFString(description);
    return sendMessage(client, PlistCFType::createCFArray({PlistCFType::createCFString("DLMessageStatusResponse"),
                                                           PlistCFType::createCFNumberInt64(code), text,
                                                           plist.isNull() ? none : plist}));
}

void backup2tool::sendFilesThrow(Client* client, const PlistCFType& msg)
{
    PlistCFType errors;
    bool cancelled = false;
    msg.at(1).array_forEach([&](const PlistCFType& item) {
        if ((cancelled = isCancel()))
            return false;
        const QString path = item.CFStringQString();
        if (!path.isEmpty()) {
            emit update(m_progress, QString(), tr("Sending %1 to device...").arg(path.section('/', -1)));
            sendFileThrow(client, path, errors);
        }
        return true;
    });
    if (cancelled)
        return;
    int r = sendAll(client, "\0\0\0\0", 4);
    if (r == 0)
        r = errors.isCFDictionary() ? sendStatus(client, -13, "Multi status", errors)
                                    : sendStatus(client, 0, QString(), emptyDict());
    if (r)
        throw failure(QString("Error attaching to device. Please Keep your iPhone connected and active. "
                              "backup2tool::sendFilesThrow, Could not send status response, error %1")
                          .arg(r));
}

void backup2tool::sendFileThrow(Client* client, const QString& path, PlistCFType& errors)
{
    const QByteArray name = path.toUtf8();
    const auto fail = [&](const char* what, int code, const QString& detail, const QString& text) {
        qDebug("backup2tool::sendFileThrow%s, %s, return %d. %s", what, name.constData(), code, qUtf8Printable(detail));
        throw failure(text);
    };
    if (!name.isEmpty()) {
        if (const int r = sendAll(client, (lengthBytes(quint32(name.size())) + name).constData(), 4 + name.size()))
            fail("", r, QString(), kBrokenSend + QString("send path(%1) failed. return %2.").arg(asText(path)).arg(r));
    }
    const bool substitute = !manifestDbSubstitute.isEmpty() && path.contains('/')
        && path.section('/', -1).compare("Manifest.db", Qt::CaseInsensitive) == 0;
    const QString wanted = substitute ? m_udid + '/' + manifestDbSubstitute : path;
    const QString local = devicePath(wanted, nullptr);
    const QString fileName = wanted.section('/', -1);
    // A path outside the device folder, or anything but a plain file with
    // one name, is a file this computer does not have.
    if (local.isEmpty() || !safefile::isSoleRegularFile(local)) {
        lastFileError = QString("%1 not exists.").arg(fileName);
        if (errors.isNull())
            errors = emptyDict();
        errors.put(path,
                   emptyDict()
                       .put("DLFileErrorString", PlistCFType::createCFString(QString()))
                       .put("DLFileErrorCode", PlistCFType::createCFNumberInt64(-6)));
        if (const int r = sendAll(client, "\0\0\0\1\6", 5))
            fail("(send error string failed)", r, QString(),
                 kBrokenSend + QString("send error string failed. return %1.").arg(r));
        return;
    }
    QFile file;
    QString openError;
    if (!safefile::openRegular(file, local, QIODevice::ReadOnly, &openError))
        fail("(can not open)", file.error(), openError,
             QString("backup2tool::sendFileThrow: can not open %1. %2").arg(asText(fileName), asText(openError)));
    QByteArray record(int(5 + kChunk), Qt::Uninitialized);
    record[4] = CodeFileData;
    while (!file.atEnd()) {
        if (isCancel())
            return;
        const qint64 n = file.read(record.data() + 5, kChunk);
        if (n <= 0)
            fail("(can not read)", file.error(), file.errorString(),
                 QString("backup2tool::sendFileThrow: can not read %1. %2")
                     .arg(asText(fileName), asText(file.errorString())));
        qToBigEndian(quint32(n + 1), record.data());
        if (const int r = sendAll(client, record.constData(), quint32(5 + n)))
            fail("(send buf failed)", r, QString(), kBrokenSend + QString("send buf failed. return %1.").arg(r));
    }
    if (const int r = sendAll(client, "\0\0\0\1\0", 5))
        fail("(send status failed)", r, QString(), kBrokenSend + QString("send status failed. return %1.").arg(r));
}

QString backup2tool::sizeText(quint64 bytes)
{
    const double b = double(bytes);
    if (bytes >= 1000000000000ull)
        return QString::asprintf("%0.1f TB", b / double(1e12f));
    if (bytes >= 1000000000ull)
        return QString::asprintf("%0.1f GB", b / 1e9);
    if (bytes >= 1000000ull)
        return QString::asprintf("%0.1f MB", b / 1e6);
    if (bytes >= 1000ull)
        return QString::asprintf("%0.1f KB", b / 1e3);
    return QString::asprintf("%d Bytes", int(bytes));
}

void backup2tool::recvFilesThrow(Client* client, const PlistCFType& msg)
{
    emit update(m_progress, QString(),
                tr("Receiving files (size: %1)...").arg(sizeText(quint64(msg.at(3).CFNumberInt64(0)))));
    QString error;
    for (;;) {
        const QString deviceFileName = recvFileNameThrow(client);
        if (deviceFileName.isEmpty())
            break;
        const QString path = recvFileNameThrow(client);
        if (path.isEmpty())
            break;
        recvFileThrow(client, deviceFileName, path, error);
    }
    if (const int r = sendStatus(client, 0, error, emptyDict()))
        throw failure(QString("Error attaching to device. Please Keep your iPhone connected and active. "
                              "backup2tool::recvFilesThrow, Could not send status response, error %1")
                          .arg(r));
}

QString backup2tool::recvFileNameThrow(Client* client)
{
    return readNameThrow(
        [&](char* data, quint32 size, const char* broken) { recvExactThrow(client, data, size, broken); });
}

int backup2tool::recvFileThrow(Client* client, const QString& deviceFileName, const QString& path, QString& error)
{
    // A refused path reaches no hook: its data is read and dropped, and the
    // run then fails as for a file that could not be written.
    const QString local = devicePath(path, &error);
    if (!local.isEmpty())
        m_hook->recvFileBegin(m_root, m_udid, path, deviceFileName);
    QFile file(local);
    int r = local.isEmpty() ? Backup2ToolHook::RefusedPath : m_hook->recvFileOpenWrite(m_root, path, file, error);
    const auto write = [&](const char* data, quint32 size) {
        if (r == 0 && file.isOpen() && file.write(data, size) != qint64(size)) {
            r = file.error();
            error = file.errorString();
        }
    };
    // A file the phone did not finish, or that could not be written whole,
    // must not look like a complete one; the hook wrote it beside its
    // target, and only what it wrote goes: a file an earlier backup left at
    // the path stays.
    const auto discard = [&] {
        file.close();
        if (!local.isEmpty())
            m_hook->recvFileAbort(m_root, path);
    };
    quint64 total = 0;
    try {
        total = readContentThrow(
            [&](char* data, quint32 size, const char* broken) { recvExactThrow(client, data, size, broken); }, write);
    } catch (...) {
        discard();
        throw;
    }
    if (r == 0 && file.isOpen() && !file.flush()) {
        r = file.error();
        error = file.errorString();
    }
    if (r == 0)
        changing(local);
    if (!local.isEmpty())
        m_hook->recvFileEnd(m_root, path, total);
    if (r != 0) {
        discard();
        throw failure(QString("backup2tool::recvFileThrow: Write %1 failed. %2")
                          .arg(asText(local.isEmpty() ? path : local), asText(error)));
    }
    file.close();
    return 0;
}

void backup2tool::sendDirContentsThrow(Client* client, const PlistCFType& msg)
{
    const QString path = msg.at(1).CFStringQString();
    if (path.isEmpty())
        throw failure("ERROR: Malformed DLContentsOfDirectory message");
    PlistCFType listing = emptyDict();
    const QList<Backup2ToolHook::DirItem> items
        = devicePath(path, nullptr).isEmpty() ? QList<Backup2ToolHook::DirItem>() : m_hook->dirContents(m_root, path);
    for (const Backup2ToolHook::DirItem& item : items) {
        if (isCancel())
            return;
        listing.put(item.name,
                    emptyDict()
                        .put("DLFileType",
                             PlistCFType::createCFString(item.type == 2 ? "DLFileTypeDirectory" : "DLFileTypeRegular"))
                        .put("DLFileSize", PlistCFType::createCFNumberInt64(item.size))
                        .put("DLFileModificationDate", PlistCFType::createCFDate(item.mtime)));
    }
    // A hook cancelled meanwhile listed only part of the folder: never sent.
    if (isCancel())
        return;
    if (const int r = sendStatus(client, 0, QString(), listing))
        throw failure(QString("backup2tool::sendDirContentsThrow, Could not send status response, error %1").arg(r));
}

void backup2tool::moveFilesThrow(Client* client, const PlistCFType& msg)
{
    QString error;
    int rc = 0;
    bool cancelled = false;
    // One pass over the pairs: a backup moves all its files in one message.
    msg.at(1).dict_forEach([&](const QString& from, const PlistCFType& target) {
        if ((cancelled = isCancel()))
            return false;
        const QString to = target.CFStringQString();
        if (from.isEmpty() || to.isEmpty())
            return true;
        const QString src = devicePath(from, &error), dst = src.isEmpty() ? src : devicePath(to, &error);
        if (dst.isEmpty()) {
            rc = Backup2ToolHook::RefusedPath;
            return false;
        }
        changing(src);
        changing(dst);
        rc = m_hook->moveFile(m_root, from, to, error);
        return rc == 0;
    });
    if (cancelled)
        return;
    if (const int r = sendStatus(client, statusCode(rc), error, emptyDict()))
        throw failure(QString("backup2tool::moveFilesThrow: Could not send status response, error %1.").arg(r));
}

void backup2tool::removeFilesThrow(Client* client, const PlistCFType& msg)
{
    QString error;
    bool cancelled = false;
    msg.at(1).array_forEach([&](const PlistCFType& item) {
        if ((cancelled = isCancel()))
            return false;
        const QString path = item.CFStringQString();
        const QString local = path.isEmpty() ? path : devicePath(path, &error);
        if (!local.isEmpty()) {
            changing(local);
            m_hook->removeFile(m_root, path, error);
        }
        return true;
    });
    if (cancelled)
        return;
    if (const int r = sendStatus(client, 0, error, emptyDict()))
        throw failure(QString("backup2tool::removeFilesThrow: Could not send status response, error %1.").arg(r));
}

void backup2tool::copyItemThrow(Client* client, const PlistCFType& msg)
{
    const QString from = msg.at(1).CFStringQString(), to = msg.at(2).CFStringQString();
    if (from.isEmpty() || to.isEmpty())
        throw failure("backup2tool::copyItemThrow: invalid message.");
    QString error;
    const QString target = devicePath(from, &error).isEmpty() ? QString() : devicePath(to, &error);
    if (!target.isEmpty())
        changing(target);
    const int rc = target.isEmpty() ? Backup2ToolHook::RefusedPath : m_hook->copyFile(m_root, from, to, error);
    // The hook stops a tree copy once cancelled: no answer for the part it did.
    if (isCancel())
        return;
    if (const int r = sendStatus(client, statusCode(rc), error, emptyDict()))
        throw failure(QString("backup2tool::copyItemThrow: Could not send status response, error %1.").arg(r));
}

void backup2tool::makeDirectory(Client* client, const PlistCFType& msg)
{
    const QString path = msg.at(1).CFStringQString();
    QString error;
    const int rc = devicePath(path, &error).isEmpty() ? Backup2ToolHook::RefusedPath
                                                      : m_hook->mkdir(m_root, path, error);
    if (const int r = sendStatus(client, statusCode(rc), error, PlistCFType()))
        throw failure(QString("Error attaching to device. Please Keep your iPhone connected and active. "
                              "backup2tool::makeDirectory, Could not send status response, error %1")
                          .arg(r));
}

void backup2tool::sendFreeDiskSpace(Client* client, const PlistCFType&)
{
    if (const int r = sendStatus(client, 0, QString(), PlistCFType::createCFNumberInt64(qint64(1) << 40)))
        throw failure(QString("Error attaching to device. Please Keep your iPhone connected and active. "
                              "backup2tool::sendFreeDiskSpace, Could not send status response, error %1")
                          .arg(r));
}
