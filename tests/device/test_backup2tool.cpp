// The mobilebackup2 engine against the simulated iPhone, through the real
// libimobiledevice client code.
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

#include "device/backup2tool.h"
#include "device/backup2tool_p.h"
#include "device/fakebackup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using namespace simpl;
using testenv::readFile;
const QString kUdid = "00008030-001A2B3C4D5E6F70", u = kUdid + '/';

QByteArray name(const QString& s) { return be32(quint32(s.toUtf8().size())) + s.toUtf8(); }
QByteArray record(char code, const QByteArray& payload = QByteArray()) { return be32(quint32(payload.size() + 1)) + code + payload; }
// Content records as the computer sends a file: data in pieces of 32768.
QByteArray records(const QByteArray& data)
{
    QByteArray out;
    for (int at = 0; at < data.size(); at += 32768)
        out += record(0x0c, data.mid(at, 32768));
    return out + record(0);
}
SimStep step(const QList<PlistCFType>& items, const QByteArray& raw = {}, bool cut = false) { return {list(items), raw, cut}; }
SimStep verdict(int code, const QString& text = QString())
{
    return step({str("DLMessageProcessMessage"), dict().put("ErrorCode", num(code)).put("ErrorDescription", str(text))});
}
QString thrown(const std::function<void()>& call)
{
    try {
        return call(), QString();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
}

// The default hook, able to end the run, cancel it or fail a move on demand.
struct ProbeHook : Backup2ToolHook
{
    std::function<void()> onBegin;
    int stopWith = 0; // ends the run at the first message
    void beginThrow(const QDir&, const QString&) override { onBegin ? onBegin() : void(); }
    bool onHandleMsgContinue(const QDir&, const QString&, const PlistCFType&, int& result, QString& error) override
    {
        result = stopWith, error = stopWith ? "stopped by the hook" : "";
        return stopWith == 0;
    }
    int moveFile(const QDir& root, const QString& from, const QString& to, QString& error) override
    {
        return from.endsWith("fail") ? (error = "nope", 2) : Backup2ToolHook::moveFile(root, from, to, error);
    }
};

class Backup2Test : public ::testing::Test
{
protected:
    QString at(const QString& rel) const { return root.filePath(u + rel); }
    // One run on a freshly attached phone: "" or the thrown text.
    QString run(backup2tool_op op, QSharedPointer<Backup2ToolHook> hook = {}, const std::function<void(backup2tool&)>& prepare = {})
    {
        sim.detach(kUdid);
        sim.attach(phone);
        tool.reset(new backup2tool(kUdid, QDir(root.path()), hook));
        if (prepare)
            prepare(*tool);
        return thrown([&] { tool->runThrow(_backup2tool_req(op)); });
    }
    // What the phone saw, once it is done with the connection.
    SimBackup2 played()
    {
        SimBackup2 seen;
        for (int i = 0; i < 500 && !seen.finished; ++i, QThread::msleep(seen.finished ? 0 : 10))
            sim.edit(kUdid, [&](SimDevice& d) { seen = d.backup2; });
        return seen;
    }
    // "<code> <description>" of each status response.
    QStringList replies()
    {
        QStringList out;
        for (const PlistCFType& r : played().replies)
            out << QString("%1 %2").arg(r.at(1).CFNumberInt64()).arg(r.at(2).CFStringQString());
        return out;
    }

    QTemporaryDir root;
    SimIPhone sim;
    SimDevice phone {kUdid};
    std::unique_ptr<backup2tool> tool;
};

TEST_F(Backup2Test, APartialBackupStoresTheKeptAppsAndMetadataOnlyAndResendsNothing)
{
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", {{"group.com.linecorp.line", "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"}}},
                  {"com.other", "FEDCBA98-7654-4321-8FED-CBA987654321", {}}};
    phone.backup2.files = {{"AppDomain-jp.naver.line", "Documents/talk.sqlite", "line data"},
                           {"AppDomainGroup-group.com.linecorp.line", "Library/shared", "group data"},
                           {"AppDomain-com.other", "Documents/o", "other app"}, {"HomeDomain", "Library/Preferences/h.plist", "home"}};
    const auto rel = [&](int i) { return simFileId(phone.backup2.files[i]).left(2) + '/' + simFileId(phone.backup2.files[i]); };
    QStringList kept {rel(0), rel(1), "Info.plist", "Manifest.db", "Manifest.plist", "Status.plist", "dname.sqlite"};
    kept.sort();
    for (const int uploads : {8, 4}) { // the second run: only the metadata, which always goes
        auto hook = QSharedPointer<FakeBackup2ToolHook>::create();
        hook->keepApps = {"jp.naver.line"};
        ASSERT_EQ(run(Backup, hook), "");
        tool.reset(), hook.reset(); // the index commits when its hook goes
        EXPECT_EQ(simFilesBelow(at("")), kept);
        EXPECT_EQ(played().uploaded.size(), uploads);
    }
    EXPECT_EQ(readFile(at(rel(0))) + readFile(at(rel(1))), "line datagroup data");
}

TEST_F(Backup2Test, ARestoreSendsOnlyTheOptionsThatDifferFromThePhonesDefaultsInTheShortStyle)
{
    phone.backup2.script = {verdict(0)};
    QStringList sent;
    for (const backup2tool_op op : {Restore, Backup}) {
        _backup2tool_req req(op);
        req.optionStyle = 1, req.RestoreShouldReboot = 0, req.RemoveItemsNotRestored = 1, req.password = "pw";
        sim.detach(kUdid), sim.attach(phone);
        EXPECT_EQ(thrown([&] { backup2tool(kUdid, QDir(root.path()), {}).runThrow(req); }), "");
        const PlistCFType request = played().request, options = request.get("Options");
        sent << request.get("MessageName").CFStringQString() + ' ' + request.get("TargetIdentifier").CFStringQString();
        for (const PlistCFType& key : options.dict_keys())
            sent << key.CFStringQString() + '=' + (options.get(key).isCFBoolean() ? QString::number(options.get(key).CFNumberBool()) : options.get(key).CFStringQString());
    }
    EXPECT_EQ(sent, (QStringList{"Restore " + kUdid, "RestoreSystemFiles=1", "RestorePreserveSettings=1", "RestoreShouldReboot=0", "RestoreDontCopyBackup=1",
                                 "RemoveItemsNotRestored=1", "Password=pw", "Backup " + kUdid}));
}

TEST_F(Backup2Test, TheRunEndsWithThePhonesVerdict)
{
    const QString restart = "Please restart your iPhone to try again.";
    const struct { QList<SimStep> script; int hookStops; QString thrown; } cases[] = {
        {{verdict(0, "ignored")}, 0, ""},
        {{verdict(7)}, 0, "error code:7. " + restart},
        {{step({str("DLMessageProcessMessage"), dict().put("ErrorCode", num(3)).put("Content", str("c"))})}, 0, "error code:3. <br/><br/>c"},
        {{step({str("DLMessageDownloadFiles"), strings({u + "missing"}), dict()}), verdict(1, "failed")}, 0, "error code:1. <br/><br/>failed missing not exists."},
        {{step({str("DLMessageDisconnect")})}, 0, ""},
        {{step({str("DLMessagePurgeDiskSpace")})}, 0, "error code:-36. Insufficient free disk space on drive to back up. Not enough free disk space on your computer.<br/><br/>Error: DLMessagePurgeDiskSpace(Insufficient free disk space)."},
        {{step({str("DLMessageSomethingNew")})}, 0, "Message can not handle: DLMessageSomethingNew"},
        {{step({str("DLContentsOfDirectory"), str(""), dict()})}, 0, "ERROR: Malformed DLContentsOfDirectory message"},
        {{step({str("DLMessageCopyItem"), str(u + "a"), str("")})}, 0, "backup2tool::copyItemThrow: invalid message."},
        {{verdict(0)}, 5, "error code:5. <br/><br/>stopped by the hook"},
    };
    for (const auto& c : cases) {
        phone.backup2.script = c.script;
        auto hook = QSharedPointer<ProbeHook>::create();
        hook->stopWith = c.hookStops;
        EXPECT_EQ(run(Backup, hook), c.thrown);
    }
}

TEST_F(Backup2Test, ACancelEndsTheRunBeforeTheNextMessageAndADownloadBetweenRecords)
{
    ASSERT_TRUE(testenv::writeFile(at("a"), QByteArray(70000, 'a')));
    phone.backup2.script = {step({str("DLMessageGetFreeDiskSpace"), dict()}), verdict(9)};
    auto hook = QSharedPointer<ProbeHook>::create();
    hook->onBegin = [&] { tool->cancel(); };
    EXPECT_EQ(run(Backup, hook), "");
    EXPECT_TRUE(played().replies.isEmpty());

    phone.backup2.script = {step({str("DLMessageDownloadFiles"), strings({u + "a", u + "a"}), dict()}), verdict(9)};
    EXPECT_EQ(run(Backup, {}, [](backup2tool& t) {
        QObject::connect(&t, &backup2tool::update, [&t](double, QString, QString text) { text.startsWith("Sending") ? t.cancel() : void(); });
    }), "");
    const SimBackup2 p = played();
    EXPECT_TRUE(p.downloads.value(0).startsWith(name(u + "a")) && !p.downloads.value(0).contains(be32(32769) + '\x0c'));
    EXPECT_TRUE(p.replies.isEmpty());
}

TEST_F(Backup2Test, FileMessagesMoveFilesInTheirExactFraming)
{
    QByteArray big(70000, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    ASSERT_TRUE(testenv::writeFile(at("a"), big) && testenv::writeFile(at("empty"), "") && testenv::writeFile(at("Manifest-line.db"), "substitute")
                && testenv::writeFile(at("g/old"), "a folder in the way"));
    const QByteArray upload = name("/var/dev/f") + name(u + "new/f") + record(0x0c, "hel") + record(0x0c, "lo") + record(0)
        + name("/var/dev/b") + name(u + "made/bare") + record(0x0c, "x") + record(0x0b) + be32(0);
    phone.backup2.script = {
        step({str("DLMessageDownloadFiles"), strings({u + "a", u + "missing", u + "empty", "", u + "sub/MANIFEST.DB"}), dict()}),
        step({str("DLMessageGetFreeDiskSpace"), dict()}),
        step({str("DLMessageCreateDirectory"), str(u + "new/deep"), dict()}),
        step({str("DLMessageUploadFiles"), dict(), PlistCFType::createCFNumberDouble(10), num(6)}, upload),
        step({str("DLContentsOfDirectory"), str(u + "new"), dict()}),
        step({str("DLMessageMoveItems"), dict().put(u + "gone", str(u + "x")).put(u + "new/f", str(u + "g")), dict()}),
        step({str("DLMessageCopyItem"), str(u + "g"), str(u + "h"), dict()}),
        step({str("DLMessageRemoveItems"), strings({u + "h", u + "missing"}), dict()}),
        step({str("DLMessageMoveFiles"), dict().put(u + "fail", str(u + "y")).put(u + "g", str(u + "z")), dict()}),
        verdict(0),
    };
    ASSERT_EQ(run(Restore, QSharedPointer<ProbeHook>::create(), [](backup2tool& t) { t.manifestDbSubstitute = "Manifest-line.db"; }), "");
    const SimBackup2 p = played();
    EXPECT_EQ(p.downloads, QList<QByteArray>{name(u + "a") + records(big) + name(u + "missing") + QByteArray("\0\0\0\1\6", 5) + name(u + "empty")
                                             + records("") + name(u + "sub/MANIFEST.DB") + records("substitute") + be32(0)});
    EXPECT_EQ(records(big).left(4), be32(32769)); // 32769, 32769 and 4465 bytes with their code
    EXPECT_EQ(tool->lastFileError, "missing not exists.");
    const QString ok = "0 ___EmptyParameterString___";
    EXPECT_EQ(replies(), (QStringList{"-13 Multi status", ok, ok, ok, ok, ok, ok, ok, "-6 nope"}));
    const PlistCFType errors = p.replies[0].at(3), listing = p.replies[4].at(3);
    EXPECT_EQ(errors.dict_size(), 1);
    EXPECT_EQ(errors.get(u + "missing").get("DLFileErrorCode").CFNumberInt64(), -6);
    EXPECT_EQ(p.replies[1].at(3).CFNumberInt64(), qint64(1) << 40);
    EXPECT_EQ(listing.get("deep").get("DLFileType").CFStringQString() + listing.get("f").get("DLFileType").CFStringQString(),
              "DLFileTypeDirectoryDLFileTypeRegular");
    EXPECT_EQ(listing.get("f").get("DLFileSize").CFNumberInt64(), 5);
    EXPECT_EQ(readFile(at("g")) + readFile(at("made/bare")), "hellox"); // moved over the folder, and left in place by the failed walk
    EXPECT_FALSE(QFile::exists(at("h")));
}

TEST_F(Backup2Test, HostilePathsInEveryMessageTouchNothingOutsideTheDeviceFolder)
{
    QTemporaryDir outside;
    ASSERT_TRUE(testenv::writeFile(outside.filePath("secret"), "secret") && testenv::writeFile(at("a"), "a")
                && testenv::writeFile(root.filePath("0123/file"), "other device") && QFile::link(outside.path(), at("link")));
    const QStringList bad {"../outside/secret", u + "../x", "/etc/passwd", u + "link/secret", "0123/file"};
    phone.backup2.script = {
        step({str("DLMessageDownloadFiles"), strings(bad), dict()}),
        step({str("DLContentsOfDirectory"), str(u + "link"), dict()}),
        step({str("DLMessageCreateDirectory"), str(u + "../made"), dict()}),
        step({str("DLMessageMoveItems"), dict().put(u + "a", str(u + "link/moved")), dict()}),
        step({str("DLMessageCopyItem"), str(u + "a"), str("0123/copy"), dict()}),
        step({str("DLMessageRemoveItems"), strings({u + "link/secret", "0123/file"}), dict()}),
        step({str("DLMessageUploadFiles"), dict()}, name("/var/x") + name("0123/evil") + record(0x0c, "evil") + record(0) + be32(0)),
    };
    EXPECT_EQ(run(Backup), "backup2tool::recvFileThrow: Write 0123/evil failed. refused path \"0123/evil\"");
    const SimBackup2 p = played();
    const QString refused = QString::number(-Backup2ToolHook::RefusedPath);
    EXPECT_EQ(replies().replaceInStrings(QRegularExpression(" .*"), ""), (QStringList{"-13", "0", "0", refused, refused, "0"}));
    EXPECT_EQ(p.replies[0].at(3).dict_size(), bad.size());
    EXPECT_EQ(p.replies[1].at(3).dict_size(), 0);
    EXPECT_FALSE(p.downloads.value(0).contains('\x0c'));
    EXPECT_EQ(simFilesBelow(outside.path()) + simFilesBelow(root.filePath("0123")), (QStringList{"secret", "file"}));
    EXPECT_EQ(readFile(outside.filePath("secret")) + readFile(root.filePath("0123/file")) + readFile(at("a")), "secretother devicea");
    EXPECT_FALSE(QFile::exists(root.filePath("made")));
    // A phone whose UDID would name a folder outside the backup root is no device.
    const QString evil = "../" + QFileInfo(root.path()).fileName() + "-not-a-udid";
    sim.attach(SimDevice(evil));
    EXPECT_EQ(thrown([&] { backup2tool(evil, QDir(root.path()), {}).runThrow(_backup2tool_req(Backup)); }), "backup2tool: No device found. Please restart your iPhone to try again.");
    EXPECT_FALSE(QFileInfo::exists(root.filePath(evil)));
}

TEST_F(Backup2Test, BrokenUploadsEndTheRunAndKeepNoPartialFile)
{
    const QString broken = "Error attaching to device. Please Keep your iPhone connected and active. ";
    const QString remote = "Please restart your iPhone to try again. backup2tool::recvFileThrow: remote error. ";
    const QByteArray head = name("/var/x") + name(u + "part");
    const struct { QByteArray raw; QString thrown; } cases[] = {
        {head + record(0x0c, "abc") + be32(1000) + '\x0c' + QByteArray(10, 'x'), broken + "backup2tool::recvFileThrow: recv null data."},
        {head + be32(0xffffffff) + '\x0c' + QByteArray(100000, 'x'), broken + "backup2tool::recvFileThrow: recv null data."},
        {be32(4097) + QByteArray(4097, 'n'), "backup2tool::recvFileNamesThrow: too large filename length (4097)!"},
        {be32(10) + "abc", broken + "backup2tool::recvFileNamesThrow: could not read filename."},
        {head + record(0x0c, "abc") + record(0x0b, "disk gone"), remote + "disk gone"},
        {head + record(0x0b, "no file"), remote + "no file"},
        {head + record(0x0c, "abc") + record(char(0xf0)), "backup2tool::recvFileThrow: invalid code -16."},
    };
    for (const auto& c : cases) {
        phone.backup2.script = {step({str("DLMessageUploadFiles"), dict()}, c.raw, true)};
        EXPECT_EQ(run(Backup), c.thrown);
        EXPECT_FALSE(QFile::exists(at("part")));
    }
    // A full disk: the file is not kept as if whole, whether its data was
    // written at once (a write fails) or held in a buffer (the flush fails).
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small {4096, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    for (const int size : {10000, 70000}) {
        phone.backup2.script = {step({str("DLMessageUploadFiles"), dict()}, head + records(QByteArray(size, 'x')) + be32(0)), verdict(0)};
        setrlimit(RLIMIT_FSIZE, &small);
        const QString full = run(Backup);
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_TRUE(full.startsWith("backup2tool::recvFileThrow: Write ")) << full.toStdString();
        EXPECT_FALSE(QFile::exists(at("part")));
    }
    // Names up to 4096 bytes; records of any length are read in bounded pieces.
    QByteArray in = be32(4096) + QByteArray(4096, 'n') + record(0x0c, QByteArray(300000, 'd')) + record(0x0c, "e") + record(0);
    const backup2detail::Reader read = [&in](char* data, quint32 size, const char* broken) {
        if (quint32(in.size()) < size)
            throw std::runtime_error(broken);
        memcpy(data, in.constData(), size), in.remove(0, int(size));
    };
    quint32 largest = 0;
    EXPECT_EQ(backup2detail::readNameThrow(read), QString(4096, 'n'));
    EXPECT_EQ(backup2detail::readContentThrow(read, [&](const char*, quint32 n) { largest = qMax(largest, n); }), 300001u);
    EXPECT_EQ(largest, backup2detail::kPiece - 1); // the first piece also holds the code
}

TEST(Backup2Texts, FailuresAreClassifiedByCodeAndText)
{
    const QString restart = "Please restart your iPhone to try again.", onDrive = "error code:-36. Insufficient free disk space on drive to back up. Not enough free disk space on your computer.<br/><br/>";
    const struct { backup2tool_op op; int result; QString error, text; } cases[] = {
        {Backup, 5, " Insufficient free space ", onDrive + "Insufficient free space"},
        {Restore, 5, "INSUFFICIENT FREE", "error code:-36. Insufficient free disk space on device to back up. Not enough free disk space on your Device.<br/><br/>INSUFFICIENT FREE"},
        {Backup, 100, "", "error code:100. " + restart},
        {Backup, 100, "other", onDrive + "other"},
        {Backup, 7, " T ", "error code:7. <br/><br/>T"},
        {Restore, 1, "x could ONLY send y", "error code:-10. Error attaching to device. Please Keep your iPhone connected and active.<br/><br/>x could ONLY send y"},
        {Restore, 1, "Find My iPhone must be disabled", "error code:-37. Please follow <a href=\"https://www.marrowquist.com/guides/how-to-disable-find-my-iphone.html\">this tutorial</a> to disable \"Find my iPhone\" first and then restart your iPhone to try again.<br/><br/>Find My iPhone must be disabled"},
        {Restore, 205, "Failed to move the incomplete restore directory into place at path /x", "error code:205. <br/><br/>Please restart your iPhone first.<br/><br/>Failed to move the incomplete restore directory into place at path /x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(backup2tool::failureText(c.op, c.result, c.error), c.text);
    EXPECT_EQ((QStringList{backup2tool::sizeText(999), backup2tool::sizeText(1500), backup2tool::sizeText(2500000), backup2tool::sizeText(3000000000ull), backup2tool::sizeText(2000000000000ull)}),
              (QStringList{"999 Bytes", "1.5 KB", "2.5 MB", "3.0 GB", "2.0 TB"}));
}

} // namespace
