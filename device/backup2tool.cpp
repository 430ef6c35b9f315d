// The engine: device connection, request, the DeviceLink message loop and
// the texts a failed run ends with. The file messages are in
// backup2tool_files.cpp.
#include "device/backup2tool.h"

#include <QMutexLocker>
#include <QScopeGuard>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <memory>

#include <sys/eventfd.h>
#include <unistd.h>

#include <plist/plist.h>

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/mobilebackup2.h>

#include "device/backup2tool_p.h"
#include "device/idevice.h"
#include "foundation/productinfo.h"

namespace {

const char kService[] = "com.apple.mobilebackup2";

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// The largest message taken from the phone, as libimobiledevice's own limit
// for property lists of its services.
constexpr quint32 kMaxMessage = 1u << 24;

QString receiveFailure(int code)
{
    return QString("ERROR: Could not receive from mobilebackup2 (%1). Please restart your iPhone to try again.")
        .arg(code);
}

QString versionFailure(int code)
{
    return QString("Could not perform backup protocol version exchange, error code %1").arg(code);
}

using backup2detail::Channel;

PlistCFType str(const QString& text)
{
    return PlistCFType::createCFString(text);
}

// The device resources of one run, released in this order whatever way the
// run ends.
struct Session
{
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    lockdownd_service_descriptor_t service = nullptr;
    std::unique_ptr<Channel> channel;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session()
    {
        if (service)
            lockdownd_service_descriptor_free(service);
        if (lockdown)
            lockdownd_client_free(lockdown);
        // The phone is told the exchange is over, as the library's client
        // does when it is freed; a phone that no longer reads is not waited for.
        if (channel && !channel->broken()) {
            const QByteArray bye = backup2detail::framedList(
                PlistCFType::createCFArray({str("DLMessageDisconnect"), str(backup2detail::kEmptyParameter)}));
            channel->sendAll(bye.constData(), quint32(bye.size()), 1000);
        }
        channel.reset();
        if (device)
            idevice_free(device);
    }
};

PlistCFType restoreOptions(const _backup2tool_req& req)
{
    const auto flag = PlistCFType::createCFBoolean;
    PlistCFType options = PlistCFType::createCFDictionary();
    options.put("RestoreSystemFiles", flag(req.RestoreSystemFiles))
        .put("RestorePreserveSettings", flag(req.RestorePreserveSettings));
    if (req.optionStyle == 0) {
        options.put("RestoreShouldReboot", flag(req.RestoreShouldReboot))
            .put("RestoreDontCopyBackup", flag(req.RestoreDontCopyBackup))
            .put("RemoveItemsNotRestored", flag(req.RemoveItemsNotRestored));
    } else {
        if (!req.RestoreShouldReboot)
            options.put("RestoreShouldReboot", flag(false));
        if (req.RestoreDontCopyBackup)
            options.put("RestoreDontCopyBackup", flag(true));
        if (req.RemoveItemsNotRestored)
            options.put("RemoveItemsNotRestored", flag(true));
    }
    if (!req.password.isEmpty())
        options.put("Password", PlistCFType::createCFString(req.password));
    return options;
}

} // namespace

using backup2detail::ReceiveError;

PlistCFType backup2detail::readMessageThrow(const Reader& read, QString* name)
{
    const QByteArray broken = receiveFailure(MOBILEBACKUP2_E_MUX_ERROR).toUtf8();
    char head[4];
    read(head, 4, broken.constData());
    const quint32 length = qFromBigEndian<quint32>(head);
    const auto refused = [] {
        return ReceiveError(MOBILEBACKUP2_E_PLIST_ERROR,
                            receiveFailure(MOBILEBACKUP2_E_PLIST_ERROR).toUtf8().toStdString());
    };
    if (length == 0 || length > kMaxMessage)
        throw refused();
    // Grown as the bytes arrive: a length alone holds no memory.
    QByteArray bytes;
    while (quint32(bytes.size()) < length) {
        const int at = bytes.size();
        bytes.resize(at + int(qMin(length - quint32(at), kPiece)));
        read(bytes.data() + at, quint32(bytes.size() - at), broken.constData());
    }
    // As the library reads its services' messages: binary, or XML in which
    // control characters stand for spaces.
    if (!(length > 8 && bytes.startsWith("bplist00"))) {
        if (!bytes.startsWith("<?xml"))
            throw refused();
        for (char *c = bytes.data(), *end = c + bytes.size() - 1; c < end; ++c) {
            if (*c >= 0 && *c < 0x20 && *c != '\t' && *c != '\n' && *c != '\r')
                *c = ' ';
        }
    }
    // The project's parser refuses nesting deeper than its limit, checked
    // without recursion: libplist's own would overflow the stack.
    PlistCFType msg = PlistCFType::createCFPropertyList(bytes);
    const QString first = msg.isCFArray() && msg.array_size() > 0 ? msg.at(0).CFStringQString() : QString();
    if (first.size() < 9 || !first.startsWith(QLatin1String("DL")))
        throw refused();
    *name = first;
    return msg;
}

void backup2tool::sendRequestThrow(Client* client, const _backup2tool_req& req)
{
    struct Texts
    {
        const char *request, *refused, *mismatch, *other;
    };
    static const Texts backup = {
        "Backup",
        "Please restart your iPhone to try again. ERROR: Could not start backup process: device refused to start the "
        "backup process.",
        "ERROR: Could not start backup process: backup protocol version mismatch!",
        "Please restart your iPhone to try again. ERROR: Could not start backup process: unspecified error occurred"};
    static const Texts restore = {
        "Restore",
        "ERROR: Could not start restore process: device refused to start the restore process. Please restart your "
        "iPhone to try again.",
        "ERROR: Could not start restore process: backup protocol version mismatch!",
        "ERROR: Could not start restore process: unspecified error occurred. Please restart your iPhone to try again."};
    if (req.op != Backup && req.op != Restore)
        throw failure("backup2tool: invalid op.");
    const Texts& t = req.op == Backup ? backup : restore;
    const PlistCFType options = req.op == Restore ? restoreOptions(req) : PlistCFType();
    // The keys in the library's order, the request's name last.
    PlistCFType request = PlistCFType::createCFDictionary();
    request.put("TargetIdentifier", str(m_udid)).put("SourceIdentifier", str(m_udid));
    if (!options.isNull())
        request.put("Options", options);
    request.put("MessageName", str(t.request));
    const int r = sendMessage(client, PlistCFType::createCFArray({str("DLMessageProcessMessage"), request}));
    if (r == MOBILEBACKUP2_E_REPLY_NOT_OK)
        throw failure(t.refused);
    if (r)
        throw failure(r == MOBILEBACKUP2_E_BAD_VERSION ? t.mismatch : t.other);
}

// One row of the message table: a message either is answered and the run
// goes on (serve), or ends the run with a result (end).
struct backup2tool::Message
{
    const char* name;
    int progressItem; // the item that carries the phone's overall progress; 0 for none
    void (backup2tool::*serve)(Client*, const PlistCFType&);
    int (*end)(backup2tool&, const PlistCFType&, QString& error);

    static const Message* find(const QString& name)
    {
        static const Message table[] = {
            {"DLMessageDownloadFiles", 3, &backup2tool::sendFilesThrow, nullptr},
            {"DLMessageUploadFiles", 2, &backup2tool::recvFilesThrow, nullptr},
            {"DLMessageGetFreeDiskSpace", 0, &backup2tool::sendFreeDiskSpace, nullptr},
            {"DLContentsOfDirectory", 0, &backup2tool::sendDirContentsThrow, nullptr},
            {"DLMessageCreateDirectory", 0, &backup2tool::makeDirectory, nullptr},
            {"DLMessageMoveFiles", 3, &backup2tool::moveFilesThrow, nullptr},
            {"DLMessageMoveItems", 3, &backup2tool::moveFilesThrow, nullptr},
            {"DLMessageRemoveFiles", 3, &backup2tool::removeFilesThrow, nullptr},
            {"DLMessageRemoveItems", 3, &backup2tool::removeFilesThrow, nullptr},
            {"DLMessageCopyItem", 0, &backup2tool::copyItemThrow, nullptr},
            {"DLMessageDisconnect", 0, nullptr, [](backup2tool&, const PlistCFType&, QString&) { return 0; }},
            {"DLMessageProcessMessage", 0, nullptr, &backup2tool::Message::processMessage},
            {"DLMessagePurgeDiskSpace", 0, nullptr,
             [](backup2tool&, const PlistCFType&, QString& error) {
                 error = QStringLiteral("Error: DLMessagePurgeDiskSpace(Insufficient free disk space).");
                 return -36;
             }},
        };
        for (const Message& m : table) {
            if (name == QLatin1String(m.name))
                return &m;
        }
        return nullptr;
    }

    // The phone's verdict: its error code, with its text and the last file
    // the computer could not supply.
    static int processMessage(backup2tool& tool, const PlistCFType& msg, QString& error)
    {
        const PlistCFType d = msg.at(1);
        error = d.get("ErrorDescription").CFStringQString();
        if (error.isEmpty())
            error = d.get("Content").CFStringQString();
        if (!tool.lastFileError.isEmpty())
            error += QLatin1Char(' ') + tool.lastFileError;
        const PlistCFType code = d.get("ErrorCode");
        // Made only when the phone says so: a code is there and is 0 in
        // all its bits (the result below keeps only the low 32).
        tool.m_verdictOk = code.isCFNumber() && code.CFNumberDouble(1) == 0 && code.CFNumberInt64(1) == 0;
        return code.CFNumberInt(0);
    }
};

backup2tool::backup2tool(const QString& udid, const QDir& root, QSharedPointer<Backup2ToolHook> hook, QObject* parent)
    : QObject(parent), m_udid(udid), m_root(root), m_backupDir(root.absoluteFilePath(udid)),
      m_snapshot(m_backupDir.absoluteFilePath(QStringLiteral("Snapshot"))),
      m_hook(hook ? hook : QSharedPointer<Backup2ToolHook>::create()), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

backup2tool::~backup2tool()
{
    if (m_wake >= 0)
        ::close(m_wake);
}

void backup2tool::cancel()
{
    setCancel();
}

void backup2tool::setCancel()
{
    QMutexLocker lock(&m_mutex);
    m_cancelFlag = true;
    // Never read back: it stays readable, and every wait of the run, now and
    // later, sees the cancel at once.
    if (m_wake >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }
}

bool backup2tool::isCancel()
{
    QMutexLocker lock(&m_mutex);
    return m_cancelFlag || (m_cancelSource && m_cancelSource->load());
}

void backup2tool::watchCancel(const std::atomic<bool>* source)
{
    QMutexLocker lock(&m_mutex);
    m_cancelSource = source;
}

PlistCFType backup2tool::receiveMessageThrow(Client* client, QString* name)
{
    return backup2detail::readMessageThrow(
        [&](char* data, quint32 size, const char* broken) { recvExactThrow(client, data, size, broken); }, name);
}

void backup2tool::handshakeThrow(Client* client)
{
    // The library's answers for each way the opening can fail.
    const auto expect = [&](const char* wanted) {
        QString name;
        PlistCFType message;
        try {
            message = receiveMessageThrow(client, &name);
        } catch (const ReceiveError& e) {
            throw failure(versionFailure(e.code));
        } catch (const std::runtime_error&) {
            throw failure(versionFailure(MOBILEBACKUP2_E_MUX_ERROR));
        }
        if (name != QLatin1String(wanted))
            throw failure(versionFailure(MOBILEBACKUP2_E_PLIST_ERROR));
        return message;
    };
    const auto send = [&](const PlistCFType& message) {
        if (const int r = sendMessage(client, message))
            throw failure(versionFailure(r));
    };
    const auto isUint = [](const PlistCFType& v) {
        return !v.isNull() && plist_get_node_type(static_cast<plist_t>(v.ref())) == PLIST_UINT;
    };
    // DeviceLink's versions as the installed (Debian-patched) libimobiledevice
    // 1.3.0 takes them: it speaks 400.0, which phones since iOS 14 open with,
    // still serves older phones, and refuses only a larger major, or a larger
    // minor of the same one; its answer names 400 whatever the phone sent.
    const quint64 major = 400;
    const PlistCFType exchange = expect("DLMessageVersionExchange");
    if (exchange.array_size() < 3)
        throw failure(versionFailure(MOBILEBACKUP2_E_PLIST_ERROR));
    const auto version = [&](int item) {
        const PlistCFType v = exchange.at(item);
        return isUint(v) ? quint64(v.CFNumberInt64()) : 0;
    };
    if (version(1) > major || (version(1) == major && version(2) > 0))
        throw failure(versionFailure(MOBILEBACKUP2_E_BAD_VERSION));
    send(PlistCFType::createCFArray({str("DLMessageVersionExchange"), str("DLVersionsOk"),
                                     PlistCFType::createCFNumberInt64(qint64(major))}));
    expect("DLMessageDeviceReady");

    PlistCFType versions = PlistCFType::createCFArray();
    for (const double v : {2.0, 2.1})
        versions.append(PlistCFType::createCFNumberDouble(v));
    PlistCFType hello = PlistCFType::createCFDictionary();
    hello.put("SupportedProtocolVersions", versions).put("MessageName", str("Hello"));
    send(PlistCFType::createCFArray({str("DLMessageProcessMessage"), hello}));
    const PlistCFType reply = expect("DLMessageProcessMessage");
    const PlistCFType response = reply.at(1);
    if (reply.array_size() != 2 || !response.isCFDictionary()
        || !response.get("MessageName").isCFString())
        throw failure(versionFailure(MOBILEBACKUP2_E_PLIST_ERROR));
    if (response.get("MessageName").CFStringQString() != QLatin1String("Response"))
        throw failure(versionFailure(MOBILEBACKUP2_E_REPLY_NOT_OK));
    const PlistCFType code = response.get("ErrorCode");
    if (!isUint(code))
        throw failure(versionFailure(MOBILEBACKUP2_E_PLIST_ERROR));
    if (code.CFNumberInt64() != 0)
        throw failure(versionFailure(code.CFNumberInt64() == 1 ? MOBILEBACKUP2_E_NO_COMMON_VERSION
                                                               : MOBILEBACKUP2_E_REPLY_NOT_OK));
    // The version the phone chose is not needed, but it must be there.
    const PlistCFType chosen = response.get("ProtocolVersion");
    if (chosen.isNull() || plist_get_node_type(static_cast<plist_t>(chosen.ref())) != PLIST_REAL)
        throw failure(versionFailure(MOBILEBACKUP2_E_PLIST_ERROR));
}

int backup2tool::innerRunThrow(_backup2tool_req req, QString& error)
{
    m_progress = 0;
    m_verdictOk = false;
    m_backupChanged = false;
    // The hook sees this run's cancel while the run lasts, and never after.
    m_hook->setCancelCheck([this] { return isCancel(); });
    const auto unhook = qScopeGuard([this] { m_hook->setCancelCheck({}); });
    m_hook->beginThrow(m_root, m_udid);
    if (isCancel())
        return 0;

    Session s;
    ignoreBrokenPipes();
    // The udid names the device folder: anything but a plain one is no device.
    if (!isValidUdid(m_udid)
        || idevice_new_with_options(&s.device, m_udid.toUtf8().constData(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS)
        throw failure("backup2tool: No device found. Please restart your iPhone to try again.");
    if (const int r = lockdownd_client_new_with_handshake(s.device, &s.lockdown, kLockdownLabel))
        throw failure(
            QString("backup2tool: open device failed, return %1. Please restart your iPhone to try again.").arg(r));
    if (req.op == Backup && !m_backupDir.exists())
        QDir().mkpath(m_backupDir.absolutePath());
    const int started = lockdownd_start_service_with_escrow_bag(s.lockdown, kService, &s.service);
    lockdownd_client_free(s.lockdown);
    s.lockdown = nullptr;
    if (started || !s.service || !s.service->port)
        throw failure("backup2tool: start service com.apple.mobilebackup2 failed. Please restart your iPhone to try "
                      "again.");
    s.channel = std::make_unique<Channel>(m_wake, [this] { return isCancel(); });
    const int connected = s.channel->open(s.device, *s.service);
    lockdownd_service_descriptor_free(s.service);
    s.service = nullptr;
    try {
        if (connected)
            throw failure(QString("backup2tool: connect to com.apple.mobilebackup2 failed, return %1. Please restart "
                                  "your iPhone to try again.")
                              .arg(connected));
        handshakeThrow(s.channel.get());
        sendRequestThrow(s.channel.get(), req);
        return serveThrow(s.channel.get(), error);
    } catch (const backup2detail::Cancelled&) {
        return 0;
    } catch (const std::exception&) {
        // A cancel ends any wait on the phone: what that broke is no failure.
        if (isCancel())
            return 0;
        throw;
    }
}

int backup2tool::serveThrow(Client* client, QString& error)
{
    for (;;) {
        if (isCancel())
            return 0;
        emit update(m_progress, QString(), tr("This may take a few minutes. Please wait..."));
        QString name;
        const PlistCFType msg = receiveMessageThrow(client, &name);
        const Message* m = Message::find(name);
        if (m && m->progressItem) {
            // A percentage; whatever else the phone sends must not reach
            // the window's int.
            const double p = msg.at(m->progressItem).CFNumberDouble(0);
            if (p > 0 && std::isfinite(p))
                m_progress = std::min(p, 100.0);
        }
        int result = 0;
        if (!m_hook->onHandleMsgContinue(m_root, m_udid, msg, result, error))
            return result;
        if (!m)
            throw failure(QString("Message can not handle: %1").arg(backup2detail::asText(name)));
        if (!m->serve)
            return m->end(*this, msg, error);
        (this->*m->serve)(client, msg);
    }
}

void backup2tool::runThrow(_backup2tool_req req)
{
    QString error;
    const int r = innerRunThrow(req, error);
    if (r != 0)
        throw failure(failureText(req.op, r, error));
}

QString backup2tool::failureText(backup2tool_op op, int result, QString error)
{
    error = error.trimmed();
    const auto has = [&](const char* text) { return error.contains(QLatin1String(text), Qt::CaseInsensitive); };
    int code = result;
    // The phone's text is shown as it is, never read as markup.
    QString shown = backup2detail::asText(error);
    if (error.isEmpty()) {
    } else if (has("Find My iPhone must be disabled")) {
        code = -37;
    } else if (has("could not send") || has("could only send") || has("Could not receive")) {
        code = -10;
    } else if (has("Insufficient free") || result == 100) {
        code = -36;
    } else if (has("Failed to move the incomplete restore directory into place at path")) {
        shown = tr("Please restart your iPhone first.") + "<br/><br/>" + shown;
    }
    QString message = QString("error code:%1. ").arg(code);
    if (code == -37) {
        message += tr("Please follow ")
            + QString("<a href=\"%1/guides/how-to-disable-find-my-iphone.html\">").arg(kMakerSite) + tr("this tutorial")
            + "</a>" + tr(" to disable ") + "\"Find my iPhone\""
            + tr(" first and then restart your iPhone to try again.");
    } else if (code == -36) {
        message += op == Restore ? tr("Insufficient free disk space on device to back up. Not enough free disk space "
                                      "on your Device.")
                                 : tr("Insufficient free disk space on drive to back up. Not enough free disk space on "
                                      "your computer.");
    } else if (code == -10) {
        message += tr("Error attaching to device. Please Keep your iPhone connected and active.");
    } else if (error.isEmpty()) {
        message += tr("Please restart your iPhone to try again.");
    }
    if (!error.isEmpty())
        message += "<br/><br/>" + shown;
    return message;
}
