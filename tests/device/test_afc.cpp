// AFC file access against the simulated iPhone's media folder.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "device/mobiledevice_afc.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/simiphone.h"

namespace {

const QString kUdid = "00008030-001A2B3C4D5E6F70";

class AfcTest : public ::testing::Test
{
protected:
    QString put(const QString& name, const QByteArray& bytes = "abc")
    {
        const QString path = media.filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return path;
    }
    QByteArray content(const QString& name)
    {
        QFile file(media.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void start(const QList<SimFault>& faults = {})
    {
        sim.detach(kUdid);
        phone.faults = faults;
        sim.attach(phone);
        ASSERT_TRUE(afc.startService());
    }

    QTemporaryDir media;
    SimIPhone sim;
    SimDevice phone{kUdid};
    mobiledevice_afc afc{kUdid};
    void SetUp() override { phone.media = media.path(); }
};

TEST_F(AfcTest, WithoutAStartedServiceEveryCallFailsWithoutAskingTheDevice)
{
    put("a.txt");
    phone.faults = {{SimFault::Refuse, "com.apple.afc"}};
    sim.attach(phone);
    auto everythingFails = [&] {
        AfcFile file;
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        char byte;
        EXPECT_FALSE(afc.fileInfo("/a.txt").isValid());
        EXPECT_TRUE(afc.ls("/", false).isEmpty());
        EXPECT_TRUE(afc.ls_finfo("/").isEmpty());
        EXPECT_FALSE(afc.mkdir("/d") || afc.del("/a.txt") || afc.rename("/a.txt", "/b.txt"));
        EXPECT_FALSE(afc.readFile("/a.txt", file) || afc.readWriteFile("/a.txt", file) || afc.writeFile("/a.txt", file));
        EXPECT_FALSE(afc.readFileContent("/a.txt", out) || afc.writeFileContent("/a.txt", QByteArray("x")));
        EXPECT_TRUE(afc.readFileContent("/a.txt").isEmpty());
        EXPECT_EQ(file.read(&byte, 1), -1);
        EXPECT_EQ(file.write("x", 1), -1);
        EXPECT_EQ(file.lock(AFC_LOCK_EX), 1);
    };
    everythingFails(); // never started
    EXPECT_FALSE(afc.startService());
    everythingFails(); // the phone refused the service
    EXPECT_FALSE(sim.requests().join('\n').contains("com.apple.afc:"));
    EXPECT_EQ(content("a.txt"), "abc");
}

TEST_F(AfcTest, ListingsAndRecords)
{
    put("DCIM/a.jpg");
    const QString gone = put("DCIM/b.jpg");
    QDir().mkpath(media.filePath("DCIM/sub"));
    QFile::link("a.jpg", media.filePath("DCIM/l"));
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123999999}};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(media.filePath("DCIM/a.jpg")), times, 0), 0);
    phone.onRequest = [gone](const QString& request) { // deleted between the listing and its record
        if (request == "com.apple.afc:GetFileInfo /DCIM/b.jpg")
            QFile::remove(gone);
    };
    start();

    EXPECT_EQ(afc.ls("/DCIM", false), QStringList({".", "..", "a.jpg", "b.jpg", "l", "sub"}));
    EXPECT_EQ(afc.ls("/DCIM", true), QStringList({"a.jpg", "b.jpg", "l", "sub"}));
    EXPECT_TRUE(afc.ls("/nothing", false).isEmpty());
    const QList<_AfcFileInfo> infos = afc.ls_finfo("/DCIM/");
    ASSERT_EQ(infos.size(), 3);
    EXPECT_EQ(infos[0].path, "/DCIM/a.jpg");
    EXPECT_TRUE(infos[0].isFile() && !infos[0].isDir());
    EXPECT_EQ(infos[0].size, 3);
    EXPECT_EQ(infos[0].mtime.toMSecsSinceEpoch(), 1700000000123); // not rounded up to ...124
    EXPECT_TRUE(infos[1].isLink());
    EXPECT_TRUE(infos[2].isDir());
    EXPECT_FALSE(afc.fileInfo("/DCIM/b.jpg").isValid());

    sim.edit(kUdid, [](SimDevice& d) { d.lowerCaseTypes = true; });
    ASSERT_TRUE(afc.startService());
    EXPECT_EQ(afc.fileInfo("/DCIM/sub").ifmt, "s_ifdir");
    EXPECT_TRUE(afc.fileInfo("/DCIM/sub").isDir());
}

TEST_F(AfcTest, FoldersNamesAndOpenFiles)
{
    put("old.txt");
    put("tree/x/y.txt");
    start();
    EXPECT_TRUE(afc.mkdir("/made/deep"));
    EXPECT_TRUE(QFileInfo(media.filePath("made/deep")).isDir());
    EXPECT_TRUE(afc.rename("/old.txt", "/new.txt"));
    EXPECT_FALSE(QFile::exists(media.filePath("old.txt")));
    EXPECT_TRUE(afc.del("/tree"));
    EXPECT_FALSE(QFile::exists(media.filePath("tree")));
    EXPECT_FALSE(afc.del("/tree"));

    AfcFile file;
    EXPECT_FALSE(afc.readWriteFile("/missing.txt", file));
    ASSERT_TRUE(afc.readWriteFile("/new.txt", file));
    EXPECT_EQ(file.lock(AFC_LOCK_EX), 0);
    EXPECT_EQ(file.write("xy", 2), 2);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(content("new.txt"), "xyc");
    EXPECT_TRUE(sim.requests().contains("com.apple.afc:FileLock"));
}

TEST_F(AfcTest, WholeFileCopiesTellACompleteCopyFromAShortOne)
{
    QByteArray big(3 * mobiledevice_afc::kBlockSize + 5, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 251);
    put("empty.bin", "");
    put("gone.bin", "old content");
    start();

    bool complete = false;
    EXPECT_TRUE(afc.writeFileContent("/big.bin", big));
    EXPECT_TRUE(content("big.bin") == big);
    EXPECT_TRUE(afc.readFileContent("/big.bin", &complete) == big);
    EXPECT_TRUE(complete);
    EXPECT_TRUE(afc.writeFileContent("/gone.bin", QByteArray())); // truncated
    EXPECT_EQ(content("gone.bin"), "");
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    EXPECT_TRUE(afc.readFileContent("/empty.bin", out));
    EXPECT_FALSE(afc.readFileContent("/missing.bin", out));
    EXPECT_EQ(out.size(), 0);

    for (const SimFault::Kind kind : {SimFault::Unplug, SimFault::Drop}) {
        start({{kind, "com.apple.afc", 3}}); // open, two blocks, then the cut
        const QByteArray part = afc.readFileContent("/big.bin", &complete);
        EXPECT_FALSE(complete);
        EXPECT_TRUE(part == big.left(2 * mobiledevice_afc::kBlockSize)) << part.size();
        start({{kind, "com.apple.afc", 3}});
        EXPECT_FALSE(afc.writeFileContent("/copy.bin", big));
        // The phone wrote the block whose answer was cut.
        EXPECT_TRUE(content("copy.bin") == big.left(3 * mobiledevice_afc::kBlockSize)) << content("copy.bin").size();
    }
}

} // namespace
