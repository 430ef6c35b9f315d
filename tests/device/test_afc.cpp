// AFC file access against the simulated iPhone's media folder.
#include <QBuffer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "device/mobiledevice_afc.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

const QString kUdid = "00008030-001A2B3C4D5E6F70";

class AfcTest : public ::testing::Test
{
protected:
    void SetUp() override { phone.media = media.path(); }
    QByteArray content(const QString& name) const { return testenv::readFile(media.filePath(name)); }
    bool start(const QList<SimFault>& faults = {})
    {
        sim.detach(kUdid);
        phone.faults = faults;
        sim.attach(phone);
        return afc.startService();
    }

    QTemporaryDir media;
    SimIPhone sim;
    SimDevice phone {kUdid};
    mobiledevice_afc afc {kUdid};
};

TEST_F(AfcTest, ListingsRecordsAndNames)
{
    ASSERT_TRUE(testenv::writeFile(media.filePath("DCIM/a.jpg"), "abc") && testenv::writeFile(media.filePath("DCIM/b.jpg"), "b")
                && QDir().mkpath(media.filePath("DCIM/sub")) && QFile::link("a.jpg", media.filePath("DCIM/l")));
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123999999}};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(media.filePath("DCIM/a.jpg")), times, 0), 0);
    phone.onRequest = [gone = media.filePath("DCIM/b.jpg")](const QString& request) { // deleted between the listing and its record
        if (request == "com.apple.afc:GetFileInfo /DCIM/b.jpg")
            QFile::remove(gone);
    };
    ASSERT_TRUE(start());
    EXPECT_EQ(afc.ls("/DCIM", false), QStringList({".", "..", "a.jpg", "b.jpg", "l", "sub"}));
    EXPECT_EQ(afc.ls("/DCIM", true), QStringList({"a.jpg", "b.jpg", "l", "sub"}));
    const QList<_AfcFileInfo> infos = afc.ls_finfo("/DCIM/");
    ASSERT_EQ(infos.size(), 3);
    EXPECT_EQ(infos[0].path + ' ' + QString::number(infos[0].size), "/DCIM/a.jpg 3");
    EXPECT_EQ(infos[0].mtime.toMSecsSinceEpoch(), 1700000000123); // not rounded up to ...124
    EXPECT_TRUE(infos[0].isFile() && !infos[0].isDir() && infos[1].isLink() && infos[2].isDir());
    sim.edit(kUdid, [](SimDevice& d) { d.lowerCaseTypes = true; });
    ASSERT_TRUE(afc.startService());
    EXPECT_TRUE(afc.fileInfo("/DCIM/sub").isDir());

    AfcFile file;
    EXPECT_TRUE(afc.mkdir("/made/deep") && afc.rename("/DCIM/a.jpg", "/new.txt") && afc.del("/DCIM") && !afc.del("/DCIM"));
    EXPECT_FALSE(afc.readWriteFile("/missing.txt", file));
    ASSERT_TRUE(afc.readWriteFile("/new.txt", file));
    EXPECT_EQ(file.lock(AFC_LOCK_EX), 0);
    EXPECT_EQ(file.write("xy", 2), 2);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(simFilesBelow(media.path()), QStringList{"new.txt"});
    EXPECT_EQ(content("new.txt"), "xyc");
    EXPECT_TRUE(QFileInfo(media.filePath("made/deep")).isDir());
}

TEST_F(AfcTest, WholeFileCopiesTellACompleteCopyFromAShortOne)
{
    QByteArray big(3 * mobiledevice_afc::kBlockSize + 5, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 251);
    ASSERT_TRUE(testenv::writeFile(media.filePath("empty.bin"), "") && testenv::writeFile(media.filePath("gone.bin"), "old content"));
    bool complete = true;
    sim.attach(phone);
    EXPECT_FALSE(afc.writeFileContent("/empty.bin", big)); // never started: fails without asking the phone
    EXPECT_FALSE(start({{SimFault::Refuse, "com.apple.afc"}}));
    EXPECT_TRUE(afc.readFileContent("/empty.bin", &complete).isEmpty() && !complete && !afc.writeFileContent("/empty.bin", big));
    EXPECT_FALSE(sim.requests().join('\n').contains("com.apple.afc:") || content("empty.bin").size());
    ASSERT_TRUE(start());
    EXPECT_TRUE(afc.writeFileContent("/big.bin", big) && content("big.bin") == big);
    EXPECT_TRUE(afc.readFileContent("/big.bin", &complete) == big && complete);
    EXPECT_TRUE(afc.writeFileContent("/gone.bin", QByteArray()) && content("gone.bin").isEmpty()); // truncated
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    EXPECT_TRUE(afc.readFileContent("/empty.bin", out) && !afc.readFileContent("/missing.bin", out) && out.size() == 0);
    for (const SimFault::Kind kind : {SimFault::Unplug, SimFault::Drop}) {
        ASSERT_TRUE(start({{kind, "com.apple.afc", 3}})); // open, two blocks, then the cut
        EXPECT_TRUE(afc.readFileContent("/big.bin", &complete) == big.left(2 * mobiledevice_afc::kBlockSize) && !complete);
        ASSERT_TRUE(start({{kind, "com.apple.afc", 3}}));
        EXPECT_FALSE(afc.writeFileContent("/copy.bin", big));
        EXPECT_EQ(content("copy.bin").size(), 3 * mobiledevice_afc::kBlockSize); // the phone wrote the block whose answer was cut
    }
}

} // namespace
