// The mobilebackup2 engine against the simulated iPhone, through the real
// libimobiledevice client code.
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <thread>
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
// A step that sends only these bytes, framed as a message.
SimStep framed(const QByteArray& message)
{
    return {PlistCFType(), be32(quint32(message.size())) + message};
}
// DLMessageGetFreeDiskSpace with `depth` nested arrays after its name, as
// a binary list and as XML.
QByteArray nestedBinary(quint32 depth, const QByteArray& name = "DLMessageGetFreeDiskSpace")
{
    const auto ref = [](quint32 i) { return be32(i).mid(1); };
    QByteArray objects("bplist00"), offsets;
    const auto add = [&](const QByteArray& object) {
        offsets += ref(quint32(objects.size()));
        objects += object;
    };
    add("\xa2" + ref(1) + ref(2));
    add("\x5f\x10" + QByteArray(1, char(name.size())) + name);
    for (quint32 i = 2; i < depth + 2; ++i)
        add(i + 1 < depth + 2 ? "\xa1" + ref(i + 1) : QByteArray("\xa0"));
    const QByteArray sizes("\0\0\0\0\0\0\3\3", 8);
    return objects + offsets + sizes + be32(0) + be32(depth + 2) + QByteArray(8, 0) + be32(0)
        + be32(quint32(objects.size()));
}
const QByteArray kXmlHead = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
QByteArray nestedXml(int depth, const QByteArray& name = "DLMessageGetFreeDiskSpace")
{
    return kXmlHead + "<array><string>" + name + "</string>" + QByteArray("<array>").repeated(depth)
        + QByteArray("</array>").repeated(depth) + "</array></plist>";
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
    SimBackup2 played() { return sim.backup2Played(kUdid); }

    QTemporaryDir root;
    SimIPhone sim;
    SimDevice phone {kUdid};
    std::function<void(backup2tool&)> prepare;
    std::unique_ptr<backup2tool> tool;
};

TEST_F(Backup2Test, APartialBackupStoresTheKeptAppsAndMetadataOnlyAndResendsNothing)
{
    // LINE with two app groups: the files of both are kept.
    const QHash<QString, QString> groups {{"group.a", "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"},
                                          {"group.b", "1A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"}};
    phone.apps = {{"jp.naver.line", "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", groups},
                  {"com.other", "FEDCBA98-7654-4321-8FED-CBA987654321", {}}};
    phone.backup2.files = {{"AppDomain-jp.naver.line", "Documents/talk.sqlite", "line data"},
                           {"AppDomainGroup-group.a", "Library/a", "group a"},
                           {"AppDomainGroup-group.b", "Library/b", "group b"},
                           {"AppDomain-com.other", "Documents/o", "other app"},
                           {"HomeDomain", "Library/Preferences/h.plist", "home"}};
    QStringList kept {"Manifest.db", "Manifest.plist", "Status.plist", "dname.sqlite"};
    for (int i = 0; i < 3; ++i)
        kept << simFileId(phone.backup2.files[i]).left(2) + '/' + simFileId(phone.backup2.files[i]);
    const QString line = kept[4];
    kept.sort();
    for (const int uploads : {8, 3}) { // the second run: only the metadata, which always goes
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

// The default hook that cancels its run when it is asked for its item
// number `cancelAt` of any kind.
struct CancellingHook : Backup2ToolHook
{
    backup2tool* tool = nullptr;
    int cancelAt = 0, items = 0;
    void item()
    {
        if (++items == cancelAt)
            tool->cancel();
    }
    int moveFile(const QDir& root, const QString& from, const QString& to, QString& error) override
    {
        item();
        return Backup2ToolHook::moveFile(root, from, to, error);
    }
    int removeFile(const QDir& root, const QString& path, QString& error) override
    {
        item();
        return Backup2ToolHook::removeFile(root, path, error);
    }
    int copyFile(const QDir& root, const QString& from, const QString& to, QString& error) override
    {
        item();
        return Backup2ToolHook::copyFile(root, from, to, error);
    }
};

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

    // Inside one message of many items: nothing more is done, and a folder
    // copy leaves nothing of itself. Each changes the device folder outside
    // "Snapshot": the engine is told once, before the first item.
    PlistCFType moves = dict();
    QStringList files;
    for (int i = 0; i < 50; ++i) {
        files << u + "s/" + QString::number(i);
        moves.put(files.last(), str(u + "d/" + QString::number(i)));
    }
    const struct { SimStep step; int cancelAt, leftInS, total; } cases[] = {
        {dl("DLMessageMoveItems", {moves}), 3, 47, 51},
        {dl("DLMessageRemoveItems", {strings(files)}), 3, 47, 51},
        {dl("DLMessageCopyItem", {str(u + "s"), str(u + "c")}), 1, 50, 54},
    };
    for (const auto& c : cases) {
        for (const QString& file : files)
            ASSERT_TRUE(writeFile(root.filePath(file), "x"));
        auto hook = QSharedPointer<CancellingHook>::create();
        hook->cancelAt = c.cancelAt;
        int told = 0;
        bool untouched = false; // the folder as it was when the engine was told
        prepare = [&, hook](backup2tool& t) {
            hook->tool = &t;
            t.beforeBackupChange = [&] {
                ++told;
                untouched = simFilesBelow(at("s")).size() == 50 && !QFile::exists(at("c"));
            };
        };
        phone.backup2.script = {c.step, verdict(9)};
        EXPECT_EQ(run(hook), "");
        EXPECT_TRUE(tool->backupChanged());
        EXPECT_EQ(told, 1);
        EXPECT_TRUE(untouched);
        EXPECT_EQ(simFilesBelow(at("s")).size(), c.leftInS);
        EXPECT_EQ(simFilesBelow(at("")).size(), c.total); // with "a" and the files moved before
    }
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
    // Moves as phones since iOS 14 send them, in a binary list: each file
    // lands where its own key says.
    PlistCFType moves = dict();
    for (const QString m : {"m1", "m2", "m3", "m4"}) {
        ASSERT_TRUE(writeFile(at("Snapshot/" + m), m.toUtf8()));
        moves.put(u + "Snapshot/" + m, str(u + "to/" + m + "-moved"));
    }
    const QStringList bad {"../outside/secret", u + "../x", "/etc/passwd", u + "link/secret", "0123/file"};
    QByteArray download = name(u + "a") + records(big) + name(u + "sub/MANIFEST.DB") + records("substitute");
    for (const QString& path : bad)
        download += name(path) + QByteArray("\0\0\0\1\6", 5); // no such file
    // An error record after data ends a file whole, whatever text it carries.
    const QByteArray upload = name("/var/f") + name(u + "new/f") + record(0x0c, "hel") + record(0x0c, "lo")
        + record(0x0b, "not an error") + name("/var/x") + name("0123/evil") + record(0x0c, "evil") + record(0)
        + be32(0);
    phone.backup2.script = {
        dl("DLMessageDownloadFiles", {strings(QStringList {u + "a", u + "sub/MANIFEST.DB"} + bad)}),
        dl("DLContentsOfDirectory", {str(u + "link")}),
        dl("DLMessageCreateDirectory", {str(u + "../made")}),
        // A pair that fails, refused or by the hook, ends the walk: nothing after it moves.
        dl("DLMessageMoveItems", {dict().put(u + "a", str(u + "link/moved")).put(u + "Snapshot/m1", str(u + "early"))}),
        dl("DLMessageMoveItems", {dict().put(u + "Snapshot/m2", str(u + "Snapshot")).put(u + "Snapshot/m3", str(u + "early"))}),
        dl("DLMessageMoveItems", {moves}),
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
    // No folder made is answered as made.
    const QString renameError = QString::number(-QFileDevice::RenameError);
    EXPECT_EQ(codes, (QStringList {"-13", "0", refused, refused, renameError, "0", refused, "0"}));
    EXPECT_FALSE(QFileInfo::exists(at("early")));
    EXPECT_EQ(p.replies[1].at(3).dict_size(), 0);
    for (const QString m : {"m1", "m2", "m3", "m4"})
        EXPECT_EQ(readFile(at("to/" + m + "-moved")), m.toUtf8());
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
    const auto noCode = dl("DLMessageProcessMessage", {dict().put("ErrorDescription", str(""))});
    // ok: the phone's verdict said the run was made.
    const struct { QList<SimStep> script; QString thrown; bool ok = false; bool ssl = false; } cases[] = {
        {{verdict(0)}, "", true},
        {{dl("DLMessageDownloadFiles", {strings({u + "part"})}), verdict(0)}, "", true, true},
        {{verdict(7)}, "error code:7. " + restart},
        {{verdict(0), verdict(7)}, "", true}, // nothing after the verdict is read
        {{noCode}, ""}, // 0 by the table, but no verdict
        {{dl("DLMessageProcessMessage", {dict().put("ErrorCode", num(qint64(1) << 32))})}, ""},
        {{verdict(1, "<a href=\"http://x\">x</a> & more")},
         "error code:1. <br/><br/>&lt;a href=\"http://x\"&gt;x&lt;/a&gt; &amp; more"},
        {{dl("DLMessage<b>New</b>")}, "Message can not handle: DLMessage&lt;b&gt;New&lt;/b&gt;"},
        {{dl("DLMessageDownloadFiles", {strings({u + "missing"})}), verdict(1, "failed")},
         "error code:1. <br/><br/>failed missing not exists."},
        {{dl("DLMessageDisconnect")}, ""},
        {{dl("DLMessagePurgeDiskSpace")},
         "error code:-36. Insufficient free disk space on drive to back up. Not enough free disk space on your "
         "computer.<br/><br/>Error: DLMessagePurgeDiskSpace(Insufficient free disk space)."},
        {{dl("DLMessageSomethingNew")}, "Message can not handle: DLMessageSomethingNew"},
        {{dl("DLMessageCopyItem", {str(u + "a"), str("")})}, "backup2tool::copyItemThrow: invalid message."},
        {upload(head + record(0x0c, "abc") + be32(1000) + '\x0c' + QByteArray(10, 'x')), noData},
        {upload(head + record(0x0c, "abc") + be32(1000) + '\x0c' + QByteArray(10, 'x')), noData, false, true},
        {upload(head + be32(0xffffffff) + '\x0c' + QByteArray(100000, 'x')), noData},
        {upload(be32(4097) + QByteArray(4097, 'n')),
         "backup2tool::recvFileNamesThrow: too large filename length (4097)!"},
        {upload(head + record(0x0b, "disk <i>gone</i>")), remote + "disk &lt;i&gt;gone&lt;/i&gt;"},
        {upload(head + record(0x0c, "abc") + record(char(0xf0))), "backup2tool::recvFileThrow: invalid code -16."},
    };
    // What an earlier backup left at the path of a file that breaks off stays.
    ASSERT_TRUE(writeFile(at("part"), "earlier"));
    const auto earlierKept = [&] {
        EXPECT_EQ(readFile(at("part")), "earlier");
        EXPECT_EQ(simFilesBelow(at("")), QStringList {"part"}); // and nothing of this run
    };
    for (const auto& c : cases) {
        phone.backup2.script = c.script;
        phone.backup2.ssl = c.ssl;
        EXPECT_EQ(run(), c.thrown);
        EXPECT_EQ(tool->verdictOk(), c.ok) << c.thrown.toStdString();
        if (c.ssl && c.ok) { // every byte through the phone's TLS as the computer sent it
            EXPECT_EQ(played().received.value(u + "part"), "earlier");
        }
        earlierKept();
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
        earlierKept();
    }
}

TEST_F(Backup2Test, MessagesTooLargeNestedTooDeepOrNotDeviceLinkAreRefusedBeforeAnyParserSeesThem)
{
    const QString refused
        = "ERROR: Could not receive from mobilebackup2 (-2). Please restart your iPhone to try again.";
    const int deep = 200000;
    const struct { QByteArray message; QString thrown; } cases[] = {
        {nestedBinary(100), ""},
        {nestedXml(100), ""},
        {nestedXml(deep), refused},
        {nestedBinary(deep), refused},
        {nestedXml(1, "Hello there"), refused},
        {"DLMessageGetFreeDiskSpace", refused},
        // Control characters in XML stand for spaces, as the library reads them.
        {nestedXml(1, "DLMessage\x01Other"), "Message can not handle: DLMessage Other"},
    };
    for (const auto& c : cases) {
        phone.backup2.script = {framed(c.message), verdict(0)};
        EXPECT_EQ(run(), c.thrown);
    }
    // A length no message has is refused before anything is held for it.
    phone.backup2.script = {{PlistCFType(), be32(1u << 30) + "bplist00"}};
    EXPECT_EQ(run(), refused);
    phone.backup2.script.clear();

    // The opening is read the same way, and checked as the library checks it.
    const QString opening = "Could not perform backup protocol version exchange, error code ";
    const auto exchange = [](qint64 major, qint64 minor) {
        return SimStep {list({str("DLMessageVersionExchange"), num(major), num(minor)})};
    };
    const SimStep ready {list({str("DLMessageDeviceReady")})};
    const auto response = [](qint64 code) {
        const PlistCFType version = PlistCFType::createCFNumberDouble(2.1);
        return SimStep {list({str("DLMessageProcessMessage"),
                              dict().put("MessageName", str("Response")).put("ErrorCode", num(code))
                                  .put("ProtocolVersion", version)})};
    };
    const struct { QList<SimStep> steps; QString thrown; } openings[] = {
        {{framed(nestedBinary(deep, "DLMessageVersionExchange"))}, opening + "-2"},
        {{framed(nestedXml(deep, "DLMessageVersionExchange"))}, opening + "-2"},
        {{{PlistCFType(), be32(1u << 30) + "bplist00"}}, opening + "-2"},
        {{ready}, opening + "-2"}, // not the version exchange first
        {{exchange(401, 0)}, opening + "-6"},
        {{exchange(400, 1)}, opening + "-6"},
        {{exchange(400, 0), {PlistCFType(), {}, true}}, opening + "-3"}, // hung up
        {{exchange(400, 0), ready, response(1)}, opening + "-8"},
        {{exchange(400, 0), ready, response(3)}, opening + "-7"},
        {{exchange(100, 0), ready, response(0), verdict(0)}, ""}, // then the request is sent
        {{exchange(400, 0), ready, response(0), verdict(0)}, ""},
        {{exchange(301, 0), ready, response(0), verdict(0)}, ""},
        {{exchange(300, 1), ready, response(0), verdict(0)}, ""},
    };
    const QString versionsOk = list({str("DLMessageVersionExchange"), str("DLVersionsOk"), num(400)}).toString();
    const QString disconnect = list({str("DLMessageDisconnect"), str("___EmptyParameterString___")}).toString();
    for (const auto& c : openings) {
        phone.backup2.opening = c.steps;
        EXPECT_EQ(run(), c.thrown);
        const SimBackup2 p = played();
        EXPECT_EQ(p.finished, 1);
        // A version taken is answered with the computer's own, whatever the phone's.
        const QString answer = c.steps.size() > 1 ? versionsOk : disconnect;
        EXPECT_EQ(p.replies.value(0).toString(), answer) << c.thrown.toStdString();
    }
    // The phone's own opening, an older phone's and one that sends XML lists:
    // the backup is made.
    phone.backup2.opening.clear();
    phone.backup2.files = {{"HomeDomain", "a", "a"}};
    const QString id = simFileId(phone.backup2.files[0]);
    const struct { qint64 version; bool xml; } phones[] = {{300, false}, {400, true}};
    for (const auto& p : phones) {
        phone.backup2.version = p.version;
        phone.backup2.xmlMessages = p.xml;
        EXPECT_EQ(run(), "");
        EXPECT_TRUE(tool->verdictOk());
        EXPECT_EQ(readFile(at(id.left(2) + '/' + id)), "a");
        ASSERT_TRUE(QFile::remove(at(id.left(2) + '/' + id)));
    }
}

TEST_F(Backup2Test, TheProgressShownStaysAPercentageWhateverNumberThePhoneSends)
{
    QList<double> shown;
    prepare = [&shown](backup2tool& t) {
        QObject::connect(&t, &backup2tool::update, [&shown](double p, QString, QString) { shown << p; });
    };
    const char* numbers[] = {"42.5", "1e300", "inf", "-inf", "nan", "-1", "1e-300"};
    for (const char* n : numbers) {
        const QByteArray message = kXmlHead + "<array><string>DLMessageRemoveItems</string><array/><dict/><real>"
            + QByteArray(n) + "</real><dict/></array></plist>";
        phone.backup2.script.append(framed(message));
    }
    phone.backup2.script.append(verdict(0));
    ASSERT_EQ(run(), "");
    ASSERT_GE(shown.size(), int(std::size(numbers)));
    EXPECT_TRUE(shown.contains(42.5));
    for (const double p : shown)
        EXPECT_TRUE(std::isfinite(p) && p >= 0 && p <= 100) << p;
}

TEST_F(Backup2Test, ACancelIsKeptFromBeforeTheRunAndEndsItWithinASecondWhateverThePhoneDoes)
{
    const auto requested = [this](int from) {
        return sim.requests().mid(from).join('\n').contains("com.apple.mobilebackup2:");
    };
    // Cancelled before it started: the phone is not asked at all.
    sim.detach(phone.udid);
    sim.attach(phone);
    int before = sim.requests().size();
    backup2tool early(phone.udid, QDir(root.path()), {});
    early.setCancel();
    EXPECT_NO_THROW(early.runThrow(_backup2tool_req(Backup)));
    EXPECT_EQ(sim.requests().mid(before), QStringList()); // not even lockdown

    ASSERT_TRUE(writeFile(at("big"), QByteArray(8 << 20, 'b')));
    const auto deaf = [](SimStep s) {
        s.deaf = true;
        return s;
    };
    SimStep endless = dl("DLMessageUploadFiles", {}, name("/var/x") + name("0123/elsewhere"));
    endless.repeat = record(0x0c, QByteArray(65536, 'e'));
    const struct { const char* what; SimStep step; bool opening = false; bool ssl = false; } cases[] = {
        {"silent in the opening", deaf({list({str("DLMessageVersionExchange"), num(300), num(0)})}), true},
        {"silent between messages", deaf({PlistCFType()})},
        {"silent inside a file name", deaf(dl("DLMessageUploadFiles", {}, be32(40) + "/var"))},
        {"silent inside a record", deaf(dl("DLMessageUploadFiles", {}, name("/var/x") + name(u + "part") + be32(99)
                                                                             + "\x0c" + "abc"))},
        {"streaming an endless upload", endless},
        {"not reading", deaf(dl("DLMessageDownloadFiles", {strings({u + "big"})}))},
        {"not reading over SSL", deaf(dl("DLMessageDownloadFiles", {strings({u + "big"})})), false, true},
    };
    ASSERT_TRUE(writeFile(at("part"), "earlier"));
    for (const auto& c : cases) {
        phone.backup2.script = {c.step};
        phone.backup2.opening = c.opening ? QList<SimStep> {c.step} : QList<SimStep>();
        phone.backup2.ssl = c.ssl;
        sim.detach(phone.udid);
        sim.attach(phone);
        before = sim.requests().size();
        backup2tool engine(phone.udid, QDir(root.path()), {});
        QString thrown = "did not end";
        std::thread worker([&] {
            try {
                engine.runThrow(_backup2tool_req(Backup));
                thrown.clear();
            } catch (const std::exception& e) {
                thrown = e.what();
            }
        });
        for (int i = 0; i < 500 && !requested(before); ++i)
            QThread::msleep(10);
        QThread::msleep(200); // the worker is waiting on the phone by now
        QElapsedTimer sinceCancel;
        sinceCancel.start();
        engine.cancel();
        worker.join();
        EXPECT_LT(sinceCancel.elapsed(), 3000) << c.what;
        EXPECT_EQ(thrown, "") << c.what;
        EXPECT_EQ(readFile(at("part")), "earlier") << c.what;
    }
}

// The content records of one file as the phone frames them: every data byte
// reaches the file, whatever the size of the record that carried it.
TEST(Backup2Framing, EveryDataByteOfAFileIsWrittenAndCounted)
{
    const QByteArray big = QByteArray("0123456789abcdefghi").repeated(15000); // above one piece of 262144
    const struct { QByteArray records, written; bool fails; } cases[] = {
        {record(0x0c, "hel") + record(0x0c, "l") + record(0x0c, "o") + record(0), "hello", false},
        {record(0x0c, "x") + record(0), "x", false},
        {record(0x0c) + record(0x0c, "y") + record(0x0b), "y", false}, // a bare error after data ends it
        {record(0x0c, big) + record(0x0c, "!") + record(0), big + "!", false},
        {record(0x0c, "z") + record(0x0b, "not an error"), "z", false}, // nor does one with a text
        {record(0x0c, "z"), "z", true}, // the channel closes inside the file
    };
    for (const auto& c : cases) {
        qsizetype at = 0;
        const backup2detail::Reader read = [&](char* data, quint32 size, const char* broken) {
            if (c.records.size() - at < qsizetype(size))
                throw std::runtime_error(broken);
            memcpy(data, c.records.constData() + at, size);
            at += size;
        };
        QByteArray written;
        const backup2detail::Writer write = [&](const char* data, quint32 size) { written.append(data, size); };
        quint64 total = 0;
        bool failed = false;
        try {
            total = backup2detail::readContentThrow(read, write);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        EXPECT_EQ(failed, c.fails) << c.written.left(8).toStdString();
        EXPECT_EQ(written, c.written) << c.written.left(8).toStdString();
        EXPECT_EQ(total, c.fails ? 0 : quint64(c.written.size())) << c.written.left(8).toStdString();
        if (!c.fails)
            EXPECT_EQ(at, c.records.size()); // nothing of the next file is taken, nothing of this one left
    }
}

} // namespace
