// The mobilebackup2 engine against the simulated iPhone, through the real
// libimobiledevice client code.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <gtest/gtest.h>

#include "device/backup2tool.h"
#include "device/backup2tool_p.h"
#include "device/fakebackup2toolhook.h"
#include "foundation/sqlite3db.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

const QString kUdid = "00008030-001A2B3C4D5E6F70";
const QString kLine = "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B", kLineGroup = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";
const QString kOther = "FEDCBA98-7654-4321-8FED-CBA987654321";

PlistCFType str(const QString& s)
{
    return PlistCFType::createCFString(s);
}
PlistCFType dict()
{
    return PlistCFType::createCFDictionary();
}
PlistCFType msg(const QList<PlistCFType>& items)
{
    return PlistCFType::createCFArray(items);
}
PlistCFType paths(const QStringList& list)
{
    PlistCFType a = PlistCFType::createCFArray();
    for (const QString& p : list)
        a.append(str(p));
    return a;
}
QByteArray be32(quint32 n)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(n, b.data());
    return b;
}
QByteArray name(const QString& s)
{
    return be32(quint32(s.toUtf8().size())) + s.toUtf8();
}
SimStep verdict(int code, const QString& text = QString())
{
    return {msg({str("DLMessageProcessMessage"),
                 dict().put("ErrorCode", PlistCFType::createCFNumberInt64(code)).put("ErrorDescription", str(text))})};
}

// Content records as the computer sends a file: data in pieces of 32768.
QByteArray records(const QByteArray& data)
{
    QByteArray out;
    for (int at = 0; at < data.size(); at += 32768)
        out += be32(quint32(qMin(32768, data.size() - at) + 1)) + '\x0c' + data.mid(at, 32768);
    return out + QByteArray("\0\0\0\1\0", 5);
}
QByteArray record(char code, const QByteArray& payload = QByteArray())
{
    return be32(quint32(payload.size() + 1)) + code + payload;
}
// "<code> <description>" of a status response.
QString brief(const PlistCFType& reply)
{
    return QString("%1 %2").arg(reply.at(1).CFNumberInt64()).arg(reply.at(2).CFStringQString());
}

// The default hook, with a few ways to fail or cancel on demand.
struct ProbeHook : Backup2ToolHook
{
    std::function<void()> onBegin;
    int stopWith = 0; // ends the run at the first message
    void beginThrow(const QDir&, const QString&) override
    {
        if (onBegin)
            onBegin();
    }
    bool onHandleMsgContinue(const QDir&, const QString&, const PlistCFType&, int& result, QString& error) override
    {
        result = stopWith;
        error = stopWith ? "stopped by the hook" : "";
        return stopWith == 0;
    }
    int moveFile(const QDir& root, const QString& from, const QString& to, QString& error) override
    {
        if (!from.endsWith("fail"))
            return Backup2ToolHook::moveFile(root, from, to, error);
        error = "nope";
        return 2;
    }
};

class Backup2Test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        phone.apps = {{"jp.naver.line", kLine, {{"group.com.linecorp.line", kLineGroup}}}, {"com.other", kOther, {}}};
        phone.backup2.files = {{"AppDomain-jp.naver.line", "Documents/talk.sqlite", "line data"},
                               {"AppDomainGroup-group.com.linecorp.line", "Library/shared", "group data"},
                               {"AppDomain-com.other", "Documents/o", "other app"},
                               {"HomeDomain", "Library/Preferences/h.plist", "home"}};
    }
    QString at(const QString& rel) const { return root.filePath(kUdid + '/' + rel); }
    // One run on a freshly attached phone: "" or the thrown text.
    QString run(_backup2tool_req req, QSharedPointer<Backup2ToolHook> hook = {},
                const std::function<void(backup2tool&)>& prepare = {})
    {
        sim.detach(kUdid);
        phone.backup2.replies.clear();
        sim.attach(phone);
        tool.reset(new backup2tool(kUdid, QDir(root.path()), hook));
        if (prepare)
            prepare(*tool);
        try {
            tool->runThrow(req);
            return QString();
        } catch (const std::exception& e) {
            return QString::fromUtf8(e.what());
        }
    }
    // What the phone saw, once it is done with the connection.
    SimBackup2 played()
    {
        SimBackup2 result;
        for (int i = 0; i < 500 && result.finished == 0; ++i) {
            sim.edit(kUdid, [&](SimDevice& d) { result = d.backup2; });
            QThread::msleep(result.finished ? 0 : 10);
        }
        return result;
    }

    QTemporaryDir root;
    SimIPhone sim;
    SimDevice phone {kUdid};
    std::unique_ptr<backup2tool> tool;
};

TEST_F(Backup2Test, PartialBackupKeepsLineAndMetadataListsTheRestAndResendsNothing)
{
    const auto partial = [] {
        auto hook = QSharedPointer<FakeBackup2ToolHook>::create();
        hook->keepApps = {"jp.naver.line"};
        return hook;
    };
    ASSERT_EQ(run(_backup2tool_req(Backup), partial()), "");
    tool.reset(); // the index commits when its hook goes
    QStringList stored;
    for (QDirIterator it(at(""), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        stored << it.next().mid(at("").size());
    stored.sort();
    const QString line = simFileId(phone.backup2.files[0]), group = simFileId(phone.backup2.files[1]);
    QStringList expected {"Info.plist",
                          "Manifest.db",
                          "Manifest.plist",
                          "Status.plist",
                          "dname.sqlite",
                          line.left(2) + '/' + line,
                          group.left(2) + '/' + group};
    expected.sort();
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(testenv::readFile(at(line.left(2) + '/' + line)), "line data");
    EXPECT_EQ(played().uploaded.size(), 8);

    ASSERT_EQ(run(_backup2tool_req(Backup), partial()), "");
    EXPECT_EQ(played().uploaded,
              (QStringList {kUdid + "/Info.plist", kUdid + "/Manifest.db", kUdid + "/Manifest.plist",
                            kUdid + "/Status.plist"}));

    // A restore of that folder with a file list limited to LINE's domains
    // sends exactly the files that list names.
    ASSERT_TRUE(QFile::copy(at("Manifest.db"), at("Manifest-line.db")));
    {
        Sqlite3DB db;
        db.openThrow(at("Manifest-line.db"), 2);
        db.executeThrow("delete from Files where domain not like '%linecorp%' and domain not like '%naver%'");
    }
    ASSERT_EQ(run(_backup2tool_req(Restore), {}, [](backup2tool& t) { t.manifestDbSubstitute = "Manifest-line.db"; }),
              "");
    const SimBackup2 restore = played();
    QStringList sent = restore.received.keys();
    sent.sort();
    EXPECT_EQ(sent,
              (QStringList {kUdid + '/' + group.left(2) + '/' + group, kUdid + '/' + line.left(2) + '/' + line,
                            kUdid + "/Manifest.db", kUdid + "/Manifest.plist"}));
    EXPECT_EQ(restore.received.value(kUdid + "/Manifest.db"), testenv::readFile(at("Manifest-line.db")));
    EXPECT_EQ(restore.received.value(kUdid + '/' + group.left(2) + '/' + group), "group data");
}

TEST_F(Backup2Test, RequestsCarryTheOptionsOfTheirStyle)
{
    struct Case
    {
        _backup2tool_req req;
        QString options;
    };
    _backup2tool_req style1(Restore), changed(Restore), backup(Backup);
    style1.optionStyle = changed.optionStyle = 1;
    changed.RestoreShouldReboot = 0;
    changed.RemoveItemsNotRestored = 1;
    changed.password = backup.password = "pw";
    const Case cases[] = {
        {_backup2tool_req(Restore),
         "RestoreSystemFiles=true RestorePreserveSettings=true RestoreShouldReboot=true "
         "RestoreDontCopyBackup=true RemoveItemsNotRestored=false"},
        {style1, "RestoreSystemFiles=true RestorePreserveSettings=true RestoreDontCopyBackup=true"},
        {changed,
         "RestoreSystemFiles=true RestorePreserveSettings=true RestoreShouldReboot=false "
         "RestoreDontCopyBackup=true RemoveItemsNotRestored=true Password=pw"},
        {backup, ""},
    };
    phone.backup2.script = {verdict(0)};
    for (const Case& c : cases) {
        ASSERT_EQ(run(c.req), "");
        const PlistCFType request = played().request, options = request.get("Options");
        QStringList got;
        for (const PlistCFType& key : options.dict_keys()) {
            const PlistCFType v = options.get(key);
            got << key.CFStringQString() + '='
                    + (v.isCFBoolean() ? (v.CFNumberBool() ? "true" : "false") : v.CFStringQString());
        }
        EXPECT_EQ(got.join(' '), c.options);
        EXPECT_EQ(request.get("MessageName").CFStringQString(), c.req.op == Backup ? "Backup" : "Restore");
        EXPECT_EQ(request.get("TargetIdentifier").CFStringQString(), kUdid);
    }
}

TEST_F(Backup2Test, TheRunEndsWithThePhonesVerdict)
{
    struct Case
    {
        const char* name;
        QList<SimStep> script;
        int hookStops;
        QString thrown;
    };
    const auto one = [](const char* name) { return SimStep {msg({str(name)})}; };
    const QString restart = "Please restart your iPhone to try again.";
    const Case cases[] = {
        {"success ignores the text", {verdict(0, "ignored")}, 0, ""},
        {"error code without text", {verdict(7)}, 0, "error code:7. " + restart},
        {"content stands in for the description",
         {{msg({str("DLMessageProcessMessage"),
                dict().put("ErrorCode", PlistCFType::createCFNumberInt64(3)).put("Content", str("c"))})}},
         0,
         "error code:3. <br/><br/>c"},
        {"a file the computer lacked is told",
         {{msg({str("DLMessageDownloadFiles"), paths({kUdid + "/missing"}), dict()})}, verdict(1, "failed")},
         0,
         "error code:1. <br/><br/>failed missing not exists."},
        {"disconnect", {one("DLMessageDisconnect")}, 0, ""},
        {"purge disk space",
         {one("DLMessagePurgeDiskSpace")},
         0,
         "error code:-36. Insufficient free disk space on drive to back up. Not enough free disk space on your "
         "computer.<br/><br/>Error: DLMessagePurgeDiskSpace(Insufficient free disk space)."},
        {"unknown message", {one("DLMessageSomethingNew")}, 0, "Message can not handle: DLMessageSomethingNew"},
        {"malformed listing",
         {{msg({str("DLContentsOfDirectory"), str(""), dict()})}},
         0,
         "ERROR: Malformed DLContentsOfDirectory message"},
        {"malformed copy",
         {{msg({str("DLMessageCopyItem"), str(kUdid + "/a"), str("")})}},
         0,
         "backup2tool::copyItemThrow: invalid message."},
        {"the hook ends the run", {verdict(0)}, 5, "error code:5. <br/><br/>stopped by the hook"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        phone.backup2.script = c.script;
        auto hook = QSharedPointer<ProbeHook>::create();
        hook->stopWith = c.hookStops;
        EXPECT_EQ(run(_backup2tool_req(Backup), hook), c.thrown);
    }
}

TEST_F(Backup2Test, ACancelStopsTheRunBeforeTheFirstMessageAndADownloadBetweenRecords)
{
    ASSERT_TRUE(testenv::writeFile(at("a"), QByteArray(70000, 'a')));
    phone.backup2.script = {{msg({str("DLMessageGetFreeDiskSpace"), dict()})}, verdict(9)};
    auto hook = QSharedPointer<ProbeHook>::create();
    hook->onBegin = [&] { tool->cancel(); };
    EXPECT_EQ(run(_backup2tool_req(Backup), hook), "");
    EXPECT_TRUE(played().replies.isEmpty());
    EXPECT_TRUE(sim.requests().contains("com.apple.mobilebackup2:Backup"));

    phone.backup2.script
        = {{msg({str("DLMessageDownloadFiles"), paths({kUdid + "/a", kUdid + "/a"}), dict()})}, verdict(9)};
    EXPECT_EQ(run(_backup2tool_req(Backup), {},
                  [](backup2tool& t) {
                      QObject::connect(&t, &backup2tool::update, [&t](double, QString, QString text) {
                          if (text.startsWith("Sending"))
                              t.cancel();
                      });
                  }),
              "");
    const QByteArray sent = played().downloads.value(0);
    EXPECT_TRUE(sent.startsWith(name(kUdid + "/a"))) << sent.left(64).toStdString();
    EXPECT_FALSE(sent.contains(be32(32769) + '\x0c')); // not one data record
    EXPECT_TRUE(played().replies.isEmpty());
}

TEST_F(Backup2Test, FileMessagesMoveFilesInTheirExactFraming)
{
    QByteArray big(70000, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    ASSERT_TRUE(testenv::writeFile(at("a"), big) && testenv::writeFile(at("empty"), "")
                && testenv::writeFile(at("Manifest-line.db"), "substitute"));
    const QString u = kUdid + '/';
    PlistCFType moves = dict(), failing = dict();
    moves.put(u + "gone", str(u + "x")).put(u + "new/f", str(u + "g"));
    failing.put(u + "fail", str(u + "y")).put(u + "g", str(u + "z"));
    const QByteArray upload = name("/var/dev/f") + name(u + "new/f") + record(0x0c, "hel") + record(0x0c, "lo")
        + record(0) + name("/var/dev/b") + name(u + "new/bare") + record(0x0c, "x") + record(0x0b) + be32(0);
    phone.backup2.script = {
        {msg({str("DLMessageDownloadFiles"), paths({u + "a", u + "missing", u + "empty", "", u + "sub/MANIFEST.DB"}),
              dict()})},
        {msg({str("DLMessageGetFreeDiskSpace"), dict()})},
        {msg({str("DLMessageCreateDirectory"), str(u + "new/deep"), dict()})},
        {msg({str("DLMessageUploadFiles"), dict(), PlistCFType::createCFNumberDouble(10),
              PlistCFType::createCFNumberInt64(6)}),
         upload},
        {msg({str("DLContentsOfDirectory"), str(u + "new"), dict()})},
        {msg({str("DLMessageMoveItems"), moves, dict()})},
        {msg({str("DLMessageCopyItem"), str(u + "g"), str(u + "h"), dict()})},
        {msg({str("DLMessageRemoveItems"), paths({u + "h", u + "missing"}), dict()})},
        {msg({str("DLMessageMoveFiles"), failing, dict()})},
        verdict(0),
    };
    auto hook = QSharedPointer<ProbeHook>::create();
    ASSERT_EQ(run(_backup2tool_req(Restore), hook, [](backup2tool& t) { t.manifestDbSubstitute = "Manifest-line.db"; }),
              "");
    const SimBackup2 p = played();
    ASSERT_EQ(p.downloads.size(), 1);
    EXPECT_EQ(p.downloads[0],
              name(u + "a") + records(big) + name(u + "missing") + QByteArray("\0\0\0\1\6", 5) + name(u + "empty")
                  + records("") + name(u + "sub/MANIFEST.DB") + records("substitute") + be32(0));
    EXPECT_EQ(records(big).left(4), be32(32769)); // 32769, 32769 and 4465 bytes with their code
    EXPECT_EQ(tool->lastFileError, "missing not exists.");
    QStringList got;
    for (const PlistCFType& r : p.replies)
        got << brief(r);
    EXPECT_EQ(
        got,
        (QStringList {"-13 Multi status", "0 ___EmptyParameterString___", "0 ___EmptyParameterString___",
                      "0 ___EmptyParameterString___", "0 ___EmptyParameterString___", "0 ___EmptyParameterString___",
                      "0 ___EmptyParameterString___", "0 ___EmptyParameterString___", "-6 nope"}));
    const PlistCFType missing = p.replies[0].at(3).get(u + "missing");
    EXPECT_EQ(p.replies[0].at(3).dict_size(), 1);
    EXPECT_EQ(missing.get("DLFileErrorCode").CFNumberInt64(), -6);
    EXPECT_TRUE(missing.get("DLFileErrorString").isCFString());
    EXPECT_EQ(p.replies[1].at(3).CFNumberInt64(), qint64(1) << 40);
    const PlistCFType listing = p.replies[4].at(3);
    EXPECT_EQ(listing.get("deep").get("DLFileType").CFStringQString(), "DLFileTypeDirectory");
    EXPECT_EQ(listing.get("f").get("DLFileSize").CFNumberInt64(), 5);
    EXPECT_EQ(listing.get("bare").get("DLFileType").CFStringQString(), "DLFileTypeRegular");
    EXPECT_EQ(testenv::readFile(at("g")), "hello"); // moved, and left in place by the failed walk
    EXPECT_EQ(testenv::readFile(at("new/bare")), "x");
    EXPECT_FALSE(QFile::exists(at("h")));
}

TEST_F(Backup2Test, HostilePathsInEveryMessageTouchNothingOutsideTheDeviceFolder)
{
    QTemporaryDir outside;
    ASSERT_TRUE(testenv::writeFile(outside.filePath("secret"), "secret") && testenv::writeFile(at("a"), "a")
                && testenv::writeFile(root.filePath("0123/file"), "other device"));
    ASSERT_TRUE(QFile::link(outside.path(), at("link")));
    const QString u = kUdid + '/';
    const QStringList bad {"../outside/secret", u + "../x", "/etc/passwd", u + "link/secret", "0123/file"};
    phone.backup2.script = {
        {msg({str("DLMessageDownloadFiles"), paths(bad), dict()})},
        {msg({str("DLContentsOfDirectory"), str(u + "link"), dict()})},
        {msg({str("DLMessageCreateDirectory"), str(u + "../made"), dict()})},
        {msg({str("DLMessageMoveItems"), dict().put(u + "a", str(u + "link/moved")), dict()})},
        {msg({str("DLMessageCopyItem"), str(u + "a"), str("0123/copy"), dict()})},
        {msg({str("DLMessageRemoveItems"), paths({u + "link/secret", "0123/file"}), dict()})},
        {msg({str("DLMessageUploadFiles"), dict()}),
         name("/var/x") + name(u + "link/evil") + record(0x0c, "evil") + record(0) + be32(0)},
    };
    EXPECT_TRUE(
        run(_backup2tool_req(Backup)).startsWith("backup2tool::recvFileThrow: Write " + u + "link/evil failed."));
    const SimBackup2 p = played();
    ASSERT_EQ(p.replies.size(), 6);
    EXPECT_EQ(brief(p.replies[0]), "-13 Multi status");
    EXPECT_EQ(p.replies[0].at(3).dict_size(), bad.size());
    EXPECT_FALSE(p.downloads.value(0).contains('\x0c'));
    EXPECT_EQ(p.replies[1].at(3).dict_size(), 0);
    EXPECT_EQ(p.replies[3].at(1).CFNumberInt64(), -Backup2ToolHook::RefusedPath);
    EXPECT_EQ(p.replies[4].at(1).CFNumberInt64(), -Backup2ToolHook::RefusedPath);
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList {"secret"});
    EXPECT_EQ(testenv::readFile(outside.filePath("secret")), "secret");
    EXPECT_EQ(testenv::readFile(root.filePath("0123/file")), "other device");
    EXPECT_EQ(testenv::readFile(at("a")), "a");
    EXPECT_FALSE(QFile::exists(root.filePath("made")) || QFile::exists(root.filePath("0123/copy")));
}

TEST_F(Backup2Test, BrokenUploadsEndTheRunAndKeepNoPartialFile)
{
    struct Case
    {
        const char* name;
        QByteArray raw;
        QString thrown;
    };
    const QString u = kUdid + '/';
    const QString broken = "Error attaching to device. Please Keep your iPhone connected and active. ";
    const QByteArray head = name("/var/x") + name(u + "part");
    const Case cases[] = {
        {"dropped in the middle of a record", head + record(0x0c, "abc") + be32(1000) + '\x0c' + QByteArray(10, 'x'),
         broken + "backup2tool::recvFileThrow: recv null data."},
        {"huge record length", head + be32(0xffffffff) + '\x0c' + QByteArray(100000, 'x'),
         broken + "backup2tool::recvFileThrow: recv null data."},
        {"huge name length", be32(0xffffffff),
         "backup2tool::recvFileNamesThrow: too large filename length (4294967295)!"},
        {"dropped in a name", be32(10) + "abc", broken + "backup2tool::recvFileNamesThrow: could not read filename."},
        {"remote error after data", head + record(0x0c, "abc") + record(0x0b, "disk gone"),
         "Please restart your iPhone to try again. backup2tool::recvFileThrow: remote error. disk gone"},
        {"remote error first", head + record(0x0b, "no file"),
         "Please restart your iPhone to try again. backup2tool::recvFileThrow: remote error. no file"},
        {"unknown code", head + record(0x0c, "abc") + record(char(0xf0)),
         "backup2tool::recvFileThrow: invalid code -16."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        phone.backup2.script = {{msg({str("DLMessageUploadFiles"), dict()}), c.raw, true}};
        QFile::remove(at("part"));
        EXPECT_EQ(run(_backup2tool_req(Backup)), c.thrown);
        EXPECT_FALSE(QFile::exists(at("part")));
    }
}

TEST(Backup2Framing, NamesUpTo4096BytesAndDataInBoundedPieces)
{
    QByteArray in;
    const backup2detail::Reader read = [&in](char* data, quint32 size, const char* broken) {
        if (quint32(in.size()) < size)
            throw std::runtime_error(broken);
        memcpy(data, in.constData(), size);
        in.remove(0, int(size));
    };
    in = be32(4096) + QByteArray(4096, 'n') + be32(4097) + QByteArray(4097, 'n');
    EXPECT_EQ(backup2detail::readNameThrow(read), QString(4096, 'n'));
    try {
        backup2detail::readNameThrow(read);
        ADD_FAILURE() << "a 4097-byte name was read";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "backup2tool::recvFileNamesThrow: too large filename length (4097)!");
    }
    in = record(0x0c, QByteArray(300000, 'd')) + record(0x0c, "e") + record(0);
    quint32 largest = 0;
    EXPECT_EQ(backup2detail::readContentThrow(read, [&](const char*, quint32 n) { largest = qMax(largest, n); }),
              300001u);
    EXPECT_EQ(largest, backup2detail::kPiece - 1); // the first piece also holds the code
}

TEST(Backup2Texts, FailuresAreClassifiedByCodeAndText)
{
    struct Case
    {
        backup2tool_op op;
        int result;
        QString error, text;
    };
    const QString restart = "Please restart your iPhone to try again.";
    const QString drive
        = "Insufficient free disk space on drive to back up. Not enough free disk space on your computer.";
    const Case cases[] = {
        {Backup, 5, " Insufficient free space ", "error code:-36. " + drive + "<br/><br/>Insufficient free space"},
        {Restore, 5, "INSUFFICIENT FREE",
         "error code:-36. Insufficient free disk space on device to back up. Not "
         "enough free disk space on your Device.<br/><br/>INSUFFICIENT FREE"},
        {Backup, 100, "", "error code:100. " + restart},
        {Backup, 100, "other", "error code:-36. " + drive + "<br/><br/>other"},
        {Backup, 7, "", "error code:7. " + restart},
        {Backup, 7, " T ", "error code:7. <br/><br/>T"},
        {Restore, 1, "x could ONLY send y",
         "error code:-10. Error attaching to device. Please Keep your iPhone "
         "connected and active.<br/><br/>x could ONLY send y"},
        {Restore, 1, "Find My iPhone must be disabled",
         "error code:-37. Please follow <a "
         "href=\"https://www.marrowquist.com/guides/how-to-disable-find-my-iphone.html\">"
         "this tutorial</a> to disable \"Find my iPhone\" first and then restart your iPhone to try again.<br/><br/>"
         "Find My iPhone must be disabled"},
        {Restore, 205, "Failed to move the incomplete restore directory into place at path /x",
         "error code:205. <br/><br/>Please restart your iPhone first.<br/><br/>Failed to move the incomplete restore "
         "directory into place at path /x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(backup2tool::failureText(c.op, c.result, c.error), c.text)
            << c.result << ' ' << c.error.toStdString();
    EXPECT_EQ((QStringList {backup2tool::sizeText(999), backup2tool::sizeText(1500), backup2tool::sizeText(2500000),
                            backup2tool::sizeText(3000000000ull), backup2tool::sizeText(2000000000000ull)}),
              (QStringList {"999 Bytes", "1.5 KB", "2.5 MB", "3.0 GB", "2.0 TB"}));
}

} // namespace
