// A backup folder in which a file has a second name: the engine with the
// default hook against the simulated iPhone. Such a file may be tied to any
// place on the same disk, so it is never sent, and an upload replaces it
// without writing through it.
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "device/backup2tool.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using namespace simpl;
using testenv::readFile;
using testenv::writeFile;
const QString kUdid = "00008030-001A2B3C4D5E6F71";
const QString u = kUdid + '/';

QByteArray name(const QString& s) { return be32(quint32(s.toUtf8().size())) + s.toUtf8(); }
QByteArray record(char code, const QByteArray& data = {}) { return be32(quint32(data.size() + 1)) + code + data; }
SimStep dl(const char* message, const QList<PlistCFType>& args = {}, const QByteArray& raw = {})
{
    return {list(QList<PlistCFType> {str(message)} + args + QList<PlistCFType> {dict()}), raw, false};
}

quint64 inodeOf(const QString& path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

bool hardLink(const QString& existing, const QString& name)
{
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(name).constData()) == 0;
}

TEST(Backup2HardLinks, AFileWithASecondNameIsNotSentAndAnUploadLeavesTheOtherNameAsItWas)
{
    QTemporaryDir root, outside;
    const auto at = [&](const QString& rel) { return root.filePath(u + rel); };
    const QString secret = outside.filePath("secret");
    ASSERT_TRUE(writeFile(secret, "secret") && writeFile(at("plain"), "plain") && writeFile(at("both"), "both"));
    // One name outside the backup root, and two names inside the device folder.
    ASSERT_TRUE(hardLink(secret, at("twin")) && hardLink(at("both"), at("both2")));
    const quint64 secretInode = inodeOf(secret);

    SimIPhone sim;
    SimDevice phone(kUdid);
    const QStringList asked {u + "plain", u + "twin", u + "both", u + "both2"};
    QByteArray download = name(u + "plain") + record(0x0c, "plain") + record(0);
    for (const QString& path : asked.mid(1))
        download += name(path) + QByteArray("\0\0\0\1\6", 5); // no such file
    const QByteArray upload = name("/var/t") + name(u + "twin") + record(0x0c, "from the phone") + record(0)
        + name("/var/b") + name(u + "both") + record(0x0c, "B") + record(0) + be32(0);
    phone.backup2.script = {
        dl("DLMessageDownloadFiles", {strings(asked)}),
        dl("DLMessageUploadFiles", {}, upload),
        dl("DLMessageProcessMessage", {dict().put("ErrorCode", num(0)).put("ErrorDescription", str(""))}),
    };
    sim.attach(phone);
    QString thrown;
    try {
        backup2tool(kUdid, QDir(root.path()), {}).runThrow(_backup2tool_req(Backup));
    } catch (const std::exception& e) {
        thrown = e.what();
    }
    EXPECT_EQ(thrown, "");
    SimBackup2 seen;
    for (int i = 0; i < 500 && !seen.finished; ++i) {
        QThread::msleep(i ? 10 : 0);
        sim.edit(kUdid, [&](SimDevice& d) { seen = d.backup2; });
    }
    EXPECT_EQ(seen.downloads, QList<QByteArray> {download + be32(0)});
    ASSERT_FALSE(seen.replies.isEmpty());
    EXPECT_EQ(seen.replies[0].at(3).dict_size(), 3); // one error entry per refused file

    EXPECT_EQ(readFile(secret), "secret");
    EXPECT_EQ(inodeOf(secret), secretInode);
    EXPECT_NE(inodeOf(at("twin")), secretInode);
    EXPECT_EQ(readFile(at("twin")), "from the phone");
    EXPECT_EQ((QList<QByteArray> {readFile(at("both")), readFile(at("both2"))}), (QList<QByteArray> {"B", "both"}));
    EXPECT_EQ(simFilesBelow(root.path()),
              (QStringList {u + "both", u + "both2", u + "plain", u + "twin"}));
}

} // namespace
