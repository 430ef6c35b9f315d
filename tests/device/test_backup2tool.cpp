// The mobilebackup2 engine against the simulated iPhone, through the real
// libimobiledevice client code.
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

#include "device/backup2tool.h"
#include "device/fakebackup2toolhook.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using namespace simpl;
using testenv::readFile;
using testenv::writeFile;
const QString kUdid = "00008030-001A2B3C4D5E6F70";
const QString u = kUdid + '/';

QByteArray name(const QString& s) { return be32(quint32(s.toUtf8().size())) + s.toUtf8(); }
QByteArray record(char code, const QByteArray& data = {}) { return be32(quint32(data.size() + 1)) + code + data; }
// Content records as the computer sends a file: data in pieces of 32768.
QByteArray records(const QByteArray& data)
{
    QByteArray out;
    for (int at = 0; at < data.size(); at += 32768)
        out += record(0x0c, data.mid(at, 32768));
    return out + record(0);
}
// A DeviceLink message: its name, arguments and a trailing dictionary, then raw bytes.
SimStep dl(const char* message, const QList<PlistCFType>& args = {}, const QByteArray& raw = {}, bool cut = false)
{
    return {list(QList<PlistCFType> {str(message)} + args + QList<PlistCFType> {dict()}), raw, cut};
}
SimStep verdict(int code, const QString& text = "")
{
    return dl("DLMessageProcessMessage", {dict().put("ErrorCode", num(code)).put("ErrorDescription", str(text))});
}

class Backup2Test : public ::testing::Test
{
protected:
    QString at(const QString& rel) const { return root.filePath(u + rel); }
    // One run of a new engine on the phone as the test set it, attached
    // afresh: "" or the text the run threw.
    QString run(QSharedPointer<Backup2ToolHook> hook = {})
    {
        sim.detach(phone.udid);
        sim.attach(phone);
        tool.reset(new backup2tool(phone.udid, QDir(root.path()), hook));
        if (prepare)
            prepare(*tool);
        try {
            tool->runThrow(_backup2tool_req(Backup));
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
    // What the phone saw, once it is done with the connection.
    SimBackup2 played()
    {
        SimBackup2 seen;
        for (int i = 0; i < 500 && !seen.finished; ++i) {
            QThread::msleep(i ? 10 : 0);
            sim.edit(kUdid, [&](SimDevice& d) { seen = d.backup2; });
        }
        return seen;
    }

    QTemporaryDir root;
    SimIPhone sim;
    SimDevice phone {kUdid};
    std::function<void(backup2tool&)> prepare;
    std::unique_ptr<backup2tool> tool;
};

TEST_F(Backup2Test, APartialBackupStoresTheKeptAppsAndMetadataOnlyAndResendsNothing)
{
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", {}},
                  {"com.other", "FEDCBA98-7654-4321-8FED-CBA987654321", {}}};
    phone.backup2.files = {{"AppDomain-jp.naver.line", "Documents/talk.sqlite", "line data"},
                           {"AppDomain-com.other", "Documents/o", "other app"},
                           {"HomeDomain", "Library/Preferences/h.plist", "home"}};
    const QString line = simFileId(phone.backup2.files[0]).left(2) + '/' + simFileId(phone.backup2.files[0]);
    QStringList kept {line, "Manifest.db", "Manifest.plist", "Status.plist", "dname.sqlite"};
    kept.sort();
    for (const int uploads : {6, 3}) { // the second run: only the metadata, which always goes
        auto hook = QSharedPointer<FakeBackup2ToolHook>::create();
        hook->keepApps = {"jp.naver.line"};
        ASSERT_EQ(run(hook), "");
        tool.reset(); // the index commits when its hook goes
        hook.reset();
        EXPECT_EQ(simFilesBelow(at("")), kept);
        EXPECT_EQ(played().uploaded.size(), uploads);
    }
    EXPECT_EQ(readFile(at(line)), "line data");
}

// The default hook with moves that fail as a full disk or a locked folder would.
struct FailingMoves : Backup2ToolHook
{
    int code = 0;
    QStringList folders; // the folders the phone announced, in order
    int moveFile(const QDir& root, const QString& from, const QString& to, QString& error) override
    {
        if (!code)
            return Backup2ToolHook::moveFile(root, from, to, error);
        error = "disk on fire";
        return code;
    }
    int mkdir(const QDir& root, const QString& path, QString& error) override
    {
        folders << path;
        return Backup2ToolHook::mkdir(root, path, error);
    }
};

TEST_F(Backup2Test, ThePhoneAnnouncesItsFoldersAndFailsTheBackupWhenTheComputerCouldNotStoreIt)
{
    phone.backup2.files = {{"HomeDomain", "a", "a"}, {"HomeDomain", "b", "b"}, {"HomeDomain", "c", "c"}};
    QStringList shards;
    for (const SimBackupFile& f : phone.backup2.files)
        shards << simFileId(f).left(2);
    shards.sort();
    shards.removeDuplicates();
    const auto below = [&](const QString& folder) {
        QStringList out;
        for (const QString& shard : shards)
            out << folder + shard;
        return out;
    };
    const QString refused = "error code:105. <br/><br/>The computer could not store the backup (DLMessageMoveItems "
                            "answered -6: disk on fire). Manifest.db not exists."; // the last list it asked for
    const struct { int code; QString thrown; } cases[] = {{2, refused}, {0, ""}};
    for (const auto& c : cases) {
        auto hook = QSharedPointer<FailingMoves>::create();
        hook->code = c.code;
        EXPECT_EQ(run(hook), c.thrown);
        EXPECT_EQ(hook->folders, QStringList {u + "Snapshot"} + below(u + "Snapshot/") + below(u));
        EXPECT_EQ(QFile::exists(at("Status.plist")), c.thrown.isEmpty()); // nothing moved into place
        EXPECT_EQ(played().replies.size(), c.thrown.isEmpty() ? 11 + 2 * shards.size() : 7 + 2 * shards.size());
    }
}

TEST_F(Backup2Test, ACancelEndsTheRunBeforeTheNextMessageAndADownloadBetweenRecords)
{
    QString cancelAt;
    prepare = [&cancelAt](backup2tool& t) {
        QObject::connect(&t, &backup2tool::update, [&t, cancelAt](double, QString, QString text) {
            if (text.startsWith(cancelAt))
                t.cancel();
        });
    };
    phone.backup2.script = {dl("DLMessageGetFreeDiskSpace"), verdict(9)};
    ASSERT_EQ(run(), ""); // not "error code:9": the verdict was never read
    ASSERT_TRUE(writeFile(at("a"), QByteArray(70000, 'a')));
    phone.backup2.script = {dl("DLMessageDownloadFiles", {strings({u + "a", u + "a"})}), verdict(9)};
    cancelAt = "Sending";
    EXPECT_EQ(run(), "");
    EXPECT_FALSE(played().downloads.value(0).contains(be32(32769))); // not one record of the file
}

TEST_F(Backup2Test, FileMessagesServeTheDeviceFolderInExactFramingAndTouchNothingOutsideIt)
{
    const QByteArray big = QByteArray("0123456789abcdefghi").repeated(3700); // records are no multiple of 19
    QTemporaryDir outside;
    ASSERT_TRUE(writeFile(at("a"), big));
    ASSERT_TRUE(writeFile(at("Manifest-line.db"), "substitute"));
    ASSERT_TRUE(writeFile(outside.filePath("secret"), "secret"));
    ASSERT_TRUE(writeFile(root.filePath("0123/file"), "other device"));
    ASSERT_TRUE(QFile::link(outside.path(), at("link")));
    const QStringList bad {"../outside/secret", u + "../x", "/etc/passwd", u + "link/secret", "0123/file"};
    QByteArray download = name(u + "a") + records(big) + name(u + "sub/MANIFEST.DB") + records("substitute");
    for (const QString& path : bad)
        download += name(path) + QByteArray("\0\0\0\1\6", 5); // no such file
    // A bare error record after data ends a file whole.
    const QByteArray upload = name("/var/f") + name(u + "new/f") + record(0x0c, "hel") + record(0x0c, "lo")
        + record(0x0b) + name("/var/x") + name("0123/evil") + record(0x0c, "evil") + record(0) + be32(0);
    phone.backup2.script = {
        dl("DLMessageDownloadFiles", {strings(QStringList {u + "a", u + "sub/MANIFEST.DB"} + bad)}),
        dl("DLContentsOfDirectory", {str(u + "link")}),
        dl("DLMessageCreateDirectory", {str(u + "../made")}),
        dl("DLMessageMoveItems", {dict().put(u + "a", str(u + "link/moved"))}),
        dl("DLMessageCopyItem", {str(u + "a"), str("0123/copy")}),
        dl("DLMessageRemoveItems", {strings({u + "link/secret", "0123/file"})}),
        dl("DLMessageUploadFiles", {}, upload),
    };
    prepare = [](backup2tool& t) { t.manifestDbSubstitute = "Manifest-line.db"; };
    EXPECT_EQ(run(), "backup2tool::recvFileThrow: Write 0123/evil failed. refused path \"0123/evil\"");
    const SimBackup2 p = played();
    EXPECT_EQ(p.downloads, QList<QByteArray> {download + be32(0)});
    QStringList codes;
    for (const PlistCFType& r : p.replies)
        codes << r.at(1).toString();
    const QString refused = QString::number(-Backup2ToolHook::RefusedPath);
    EXPECT_EQ(codes, (QStringList {"-13", "0", "0", refused, refused, "0"}));
    EXPECT_EQ(p.replies[1].at(3).dict_size(), 0);
    EXPECT_EQ(readFile(at("a")), big);
    EXPECT_EQ(readFile(at("new/f")), "hello");
    EXPECT_EQ(simFilesBelow(outside.path()), QStringList {"secret"}); // nothing made or removed there
    EXPECT_EQ(simFilesBelow(root.filePath("0123")), QStringList {"file"});
    EXPECT_FALSE(QFile::exists(root.filePath("made")));
    // A phone whose UDID would name a folder outside the backup root is no device.
    phone.udid = "../" + QFileInfo(root.path()).fileName() + "-not-a-udid";
    EXPECT_EQ(run(), "backup2tool: No device found. Please restart your iPhone to try again.");
    EXPECT_FALSE(QFileInfo::exists(root.filePath(phone.udid)));
}

TEST_F(Backup2Test, TheRunEndsWithThePhonesVerdictOrWhatBrokeAndKeepsNoPartialFile)
{
    const QString restart = "Please restart your iPhone to try again.";
    const QString noData = "Error attaching to device. Please Keep your iPhone connected and active. "
                           "backup2tool::recvFileThrow: recv null data.";
    const QString remote = restart + " backup2tool::recvFileThrow: remote error. ";
    const QByteArray head = name("/var/x") + name(u + "part");
    const auto upload = [](QByteArray raw) { return QList<SimStep> {dl("DLMessageUploadFiles", {}, raw, true)}; };
    const struct { QList<SimStep> script; QString thrown; } cases[] = {
        {{verdict(7)}, "error code:7. " + restart},
        {{dl("DLMessageDownloadFiles", {strings({u + "missing"})}), verdict(1, "failed")},
         "error code:1. <br/><br/>failed missing not exists."},
        {{dl("DLMessageDisconnect")}, ""},
        {{dl("DLMessagePurgeDiskSpace")},
         "error code:-36. Insufficient free disk space on drive to back up. Not enough free disk space on your "
         "computer.<br/><br/>Error: DLMessagePurgeDiskSpace(Insufficient free disk space)."},
        {{dl("DLMessageSomethingNew")}, "Message can not handle: DLMessageSomethingNew"},
        {{dl("DLMessageCopyItem", {str(u + "a"), str("")})}, "backup2tool::copyItemThrow: invalid message."},
        {upload(head + record(0x0c, "abc") + be32(1000) + '\x0c' + QByteArray(10, 'x')), noData},
        {upload(head + be32(0xffffffff) + '\x0c' + QByteArray(100000, 'x')), noData},
        {upload(be32(4097) + QByteArray(4097, 'n')),
         "backup2tool::recvFileNamesThrow: too large filename length (4097)!"},
        {upload(head + record(0x0c, "abc") + record(0x0b, "disk gone")), remote + "disk gone"},
        {upload(head + record(0x0c, "abc") + record(char(0xf0))), "backup2tool::recvFileThrow: invalid code -16."},
    };
    for (const auto& c : cases) {
        phone.backup2.script = c.script;
        EXPECT_EQ(run(), c.thrown);
        EXPECT_FALSE(QFile::exists(at("part")));
    }
    // A full disk: the file is not kept as if whole, whether its data was
    // written at once (a write fails) or held in a buffer (the flush fails).
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small {4096, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    for (const int size : {10000, 70000}) {
        phone.backup2.script = {dl("DLMessageUploadFiles", {}, head + records(QByteArray(size, 'x')) + be32(0))};
        setrlimit(RLIMIT_FSIZE, &small);
        const QString full = run();
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_TRUE(full.startsWith("backup2tool::recvFileThrow: Write ")) << full.toStdString();
        EXPECT_FALSE(QFile::exists(at("part")));
    }
}

} // namespace
