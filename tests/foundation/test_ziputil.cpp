#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <functional>
#include <tuple>

#include "foundation/safefile.h"
#include "foundation/ziputil.h"

namespace {

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

// Files written by this process may grow only to `bytes` while it lives: the
// way to make a disk run full without one.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes) : oldHandler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit lim{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }

private:
    rlimit saved{};
    void (*oldHandler)(int);
};

struct Entry
{
    QByteArray name;
    QByteArray data;
    int mode = 0100644; // the full Unix mode, file type included
};

class ZipUtilTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testenv::haveTool("unzip") || !testenv::haveTool("zip") || !testenv::haveTool("python3"))
            GTEST_SKIP() << "zip, unzip and python3 are installed by scripts/setup.sh";
        // dest/ for unpacking and a sibling outside/ that must stay empty.
        ASSERT_TRUE(QDir().mkpath(dest) && QDir().mkpath(outside));
    }

    QString at(const QString& rel) const { return tmp.filePath(rel); }
    QByteArray read(const QString& rel) const { return testenv::readFile(at(rel)); }
    // Every path below rel, relative and sorted; links are listed, not followed.
    QStringList tree(const QString& rel) const
    {
        QStringList out;
        QDirIterator it(at(rel), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out << QDir(at(rel)).relativeFilePath(it.next());
        out.sort();
        return out;
    }
    QString run(const QString& tool, const QStringList& args, const QByteArray& input = QByteArray())
    {
        QByteArray out, err;
        EXPECT_EQ(testenv::runTool(tool, args, &out, &err, input), 0) << out.toStdString() << err.toStdString();
        return QString::fromUtf8(out);
    }
    // An archive with the entries exactly as given, written by Python's
    // zipfile: names no well-behaved packer would store, links, special files.
    void makeZip(const QString& rel, const QList<Entry>& entries)
    {
        QByteArray py = "import zipfile\nz = zipfile.ZipFile(bytes.fromhex('" + QFile::encodeName(at(rel)).toHex()
                        + "').decode(), 'w')\n";
        for (const Entry& e : entries)
            py += "i = zipfile.ZipInfo(bytes.fromhex('" + e.name.toHex() + "').decode())\ni.external_attr = "
                  + QByteArray::number(e.mode) + " << 16\nz.writestr(i, bytes.fromhex('" + e.data.toHex() + "'))\n";
        run("python3", {"-"}, py + "z.close()\n");
    }

    QTemporaryDir tmp;
    const QString dest = at("dest");
    const QString outside = at("outside");
};

TEST(Hashcode, MatchesTheThirtyOneMultiplierHashOfSignedUtf16Units)
{
    const std::pair<QString, qint32> cases[] = {
        {"abc", 96354}, {"polygenelubricants", std::numeric_limits<qint32>::min()}, // wraps in 32 bits
        {QString(QChar(0xffff)) + 'a', -31 + 'a'},                                    // units from 0x8000 are negative
        {QString::fromUtf16(u"ab\0cd", 5), hashcode("ab")}};                          // ends at the first zero unit
    for (const auto& [text, hash] : cases)
        EXPECT_EQ(hashcode(text), hash) << text.toStdString();
}

// Info-ZIP reads what we pack, and we unpack what it packs.
TEST_F(ZipUtilTest, ArchivesRoundTripWithZipAndUnzipWithOrdinaryPermissionsInOrderAndWithoutHiddenEntries)
{
    const QByteArray big = randomBytes(300 * 1024 + 17);
    const QString name = QString::fromUtf8("写真 é.bin");
    for (const QString& rel : {"src/d/" + name, QString("src/d/empty"), QString("src/d/sub/t.txt"),
                               QString("src/d/a/q.txt"), QString("src/d/.hidden"), QString("src/top.txt")})
        ASSERT_TRUE(testenv::writeFile(at(rel), rel.endsWith(".bin") ? big : QByteArray(rel.endsWith("empty") ? "" : "text")));
    QFile::setPermissions(at("src/d/empty"), QFileDevice::ReadOwner); // whatever the source's, stored ones are ordinary
    ziputil::zipFilesThrow({at("src/top.txt"), at("src/d/"), at("missing")}, at("out.zip"));
    run("unzip", {"-t", at("out.zip")});
    EXPECT_EQ(run("unzip", {"-Z1", at("out.zip")}).split('\n', Qt::SkipEmptyParts),
              QStringList({"top.txt", "d/", "d/empty", "d/" + name, "d/a/", "d/a/q.txt", "d/sub/", "d/sub/t.txt"}));
    QStringList modes;
    for (const QString& line : run("unzip", {"-Z", "-l", at("out.zip")}).split('\n'))
        if (line.startsWith('-') || line.startsWith('d'))
            modes << line.left(10);
    EXPECT_EQ(modes.filter("-rw-r--r--").size() + modes.filter("drwxr-xr-x").size(), 8) << modes.join(' ').toStdString();
    run("unzip", {"-q", at("out.zip"), "-d", at("byunzip")});
    EXPECT_EQ(read("byunzip/d/" + name), big);

    ASSERT_TRUE(QDir().mkpath(at("byunzip/d/emptydir")));
    run("sh", {"-c", "cd \"$0\" && zip -q -r \"$1\" d", at("byunzip"), at("made.zip")});
    ASSERT_TRUE(testenv::writeFile(dest + "/d/" + name, "old contents"));
    ziputil::unzipThrow(at("made.zip"), QDir(dest));
    EXPECT_EQ(tree("dest/d"), tree("byunzip/d"));
    EXPECT_EQ(read("dest/d/" + name), big);
}

TEST_F(ZipUtilTest, NamesThatClimbOutLinksAndSpecialEntriesWriteNothingOutsideTheDestination)
{
    // A link the destination already holds must not carry entries out either.
    ASSERT_TRUE(QFile::link(outside, dest + "/planted"));
    makeZip("evil.zip", {{"../outside/e.txt", "climb"},
                         {QFile::encodeName(outside + "/abs.txt"), "absolute"},
                         {"a/../../outside/e2.txt", "climb after a folder"},
                         {"a/../b.txt", "dot-dot inside"},
                         {"./d/e.txt", "dot slash"},
                         {"..\\outside\\bs.txt", "backslashes read as separators still climb"},
                         {"c:\"*?<>|\tx.txt", "odd characters"},
                         {"./", "empty after the prefix"},
                         {"lnk", QFile::encodeName(outside), 0120777},
                         {"lnk/evil.txt", "through the link"},
                         {"rel", "../outside/rel.txt", 0120777},
                         {"sock", "", 0140755},
                         {"planted/x.txt", "through a planted link"},
                         {"planted/sub/", "", 040755}});
    ziputil::unzipThrow(at("evil.zip"), QDir(dest));
    EXPECT_EQ(tree("outside"), QStringList());
    // lnk became an ordinary folder for the later entry.
    EXPECT_EQ(tree("dest"), QStringList({"cx.txt", "d", "d/e.txt", "lnk", "lnk/evil.txt", "planted"}));
    EXPECT_FALSE(QFileInfo(dest + "/lnk").isSymLink());
    EXPECT_EQ(read("dest/d/e.txt"), QByteArray("dot slash"));
}

TEST_F(ZipUtilTest, DamagedArchivesAndArchivesBeyondTheLimitsFailWithoutAHalfFile)
{
    makeZip("good.zip", {{"first.txt", QByteArray(3000, 'a')}, {"second.txt", QByteArray(5000, 'b')}, {"c.txt", "late"}});
    const QByteArray good = read("good.zip");
    QByteArray badCrc = good;
    badCrc[good.indexOf(QByteArray(5000, 'b')) + 10] = 'X';
    const std::tuple<QByteArray, ziputil::UnzipLimits, const char*, QStringList> cases[] = {
        {badCrc, {}, "noise.zip", {"first.txt"}},
        {good.left(good.indexOf(QByteArray(5000, 'b')) + 100), {}, "noise.zip", {"first.txt"}},
        {randomBytes(4096), {}, "noise.zip", {}},
        {good, {4096, 100}, "more data", {"first.txt"}},
        {good, {1 << 20, 2}, "more entries", {"first.txt", "second.txt"}}};
    for (const auto& [bytes, limits, why, left] : cases) {
        QDir(dest).removeRecursively();
        ASSERT_TRUE(testenv::writeFile(at("noise.zip"), bytes));
        try {
            ziputil::unzipThrow(at("noise.zip"), QDir(dest), limits);
            ADD_FAILURE() << why;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains(why)) << e.what();
        }
        EXPECT_EQ(tree("dest"), left) << why;
    }
    EXPECT_THROW(ziputil::unzipThrow(at("does-not-exist.zip"), QDir(dest)), std::runtime_error);
}

TEST_F(ZipUtilTest, PackingNeverFollowsFolderLinksNorReadsItsOwnOutput)
{
    ASSERT_TRUE(testenv::writeFile(at("a/x.txt"), "x"));
    ASSERT_TRUE(QDir().mkpath(at("a/b")));
    ASSERT_TRUE(QFile::link(at("a"), at("a/b/loop")));
    ASSERT_TRUE(QFile::link(at("a/x.txt"), at("a/b/x-link.txt")));
    ASSERT_TRUE(QFile::link(at("nowhere"), at("a/b/dangling")));
    ziputil::zipFilesThrow({at("a")}, at("a/packed.zip")); // written inside the folder being packed
    EXPECT_EQ(run("unzip", {"-Z1", at("a/packed.zip")}).split('\n', Qt::SkipEmptyParts),
              QStringList({"a/", "a/x.txt", "a/b/", "a/b/x-link.txt"}));
}

// The error names what the system said (here "File too large", as a full
// disk would say "No space left on device"), and nothing is left half
// written: no archive, no unpacked file, no file written aside.
TEST_F(ZipUtilTest, AFullDiskIsAnErrorThatLeavesEarlierFilesAsTheyWere)
{
    ASSERT_TRUE(testenv::writeFile(at("src/big.bin"), randomBytes(256 * 1024)));
    ASSERT_TRUE(testenv::writeFile(at("out.zip"), "previous archive"));
    makeZip("in.zip", {{"small.txt", "fits"}, {"big.bin", randomBytes(200 * 1024)}});
    ASSERT_TRUE(testenv::writeFile(dest + "/big.bin", "older file"));
    const std::pair<std::function<void()>, QString> cases[] = {
        {[&] { ziputil::zipFilesThrow({at("src")}, at("out.zip")); }, "write zip file " + at("out.zip")},
        {[&] { ziputil::unzipThrow(at("in.zip"), QDir(dest)); }, "write " + dest + "/big.bin error."}};
    for (const auto& [work, start] : cases) {
        try {
            FileSizeLimit limit(64 * 1024);
            work();
            ADD_FAILURE() << "a full disk must throw";
        } catch (const std::runtime_error& e) {
            const QString text = QString::fromUtf8(e.what());
            EXPECT_TRUE(text.startsWith(start) && text.endsWith(QString::fromLocal8Bit(std::strerror(EFBIG)))) << e.what();
        }
    }
    {
        FileSizeLimit limit(64 * 1024);
        safefile::AtomicFile file(at("atomic.bin"));
        ASSERT_TRUE(file.open());
        for (int i = 0; i < 50; ++i) // small writes, buffered: the failure shows when they are flushed
            file.file().write(QByteArray(4096, 'x'));
        EXPECT_FALSE(file.commit());
    }
    EXPECT_EQ(read("out.zip"), QByteArray("previous archive"));
    EXPECT_EQ(read("dest/small.txt") + read("dest/big.bin"), QByteArray("fitsolder file"));
    EXPECT_EQ(tree(""), QStringList({"dest", "dest/big.bin", "dest/small.txt", "in.zip", "out.zip", "outside", "src",
                                     "src/big.bin"}));

    // A device at the target is written to, never replaced: here a private
    // node of the full device (made only where the test may make nodes).
    const QByteArray full = QFile::encodeName(at("full"));
    if (::mknod(full.constData(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        EXPECT_THROW(ziputil::zipFilesThrow({at("src")}, at("full")), std::runtime_error);
        struct stat st;
        EXPECT_TRUE(::stat(full.constData(), &st) == 0 && S_ISCHR(st.st_mode));
    }
}

} // namespace
