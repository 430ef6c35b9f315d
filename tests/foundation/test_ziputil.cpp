#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"
#include "tests/support/zipfixturebuilder.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <tuple>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

class ZipUtilTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        if (!testenv::haveTool("unzip") || !testenv::haveTool("zip"))
            GTEST_SKIP() << "zip and unzip are installed by scripts/setup.sh";
        // dest/ for unpacking and a sibling outside/ that must stay empty.
        ASSERT_TRUE(QDir().mkpath(dest) && QDir().mkpath(outside));
    }

    QString at(const QString& rel) const { return tmp.filePath(rel); }
    void write(const QString& rel, const QByteArray& data)
    {
        QDir().mkpath(QFileInfo(at(rel)).absolutePath());
        QFile f(at(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size());
    }
    QByteArray read(const QString& rel) const
    {
        QFile f(at(rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
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
    // Runs unzip (Info-ZIP) and returns its output.
    QString unzip(const QStringList& args)
    {
        QByteArray out, err;
        EXPECT_EQ(testenv::runTool("unzip", args, &out, &err), 0) << out.toStdString() << err.toStdString();
        return QString::fromUtf8(out);
    }
    QStringList unzipList(const QString& zip) { return unzip({"-Z1", zip}).split('\n', Qt::SkipEmptyParts); }

    QTemporaryDir tmp;
    const QString dest = at("dest");
    const QString outside = at("outside");
};

TEST(HashcodeTest, MatchesTheThirtyOneMultiplierHashOfSignedUtf16Units)
{
    const struct
    {
        QString text;
        qint32 hash;
    } cases[] = {
        {"abc", 96354},
        {QString(), 0},
        {"polygenelubricants", std::numeric_limits<qint32>::min()}, // wraps in 32 bits
        {QString(QChar(0x8000)), -32768},                             // units from 0x8000 up are negative
        {QString(QChar(0xffff)) + 'a', -31 + 'a'},
        {QString::fromUtf16(u"ab\0cd", 5), hashcode("ab")}, // stops at the first zero unit
    };
    for (const auto& c : cases)
        EXPECT_EQ(hashcode(c.text), c.hash) << c.text.toStdString();
}

TEST_F(ZipUtilTest, NestedFolderIsStoredFilesFirstThenSubfoldersEachSortedWithoutHiddenEntries)
{
    for (const char* rel : {"a/b/x.txt", "a/b/w.txt", "a/b/c/y.txt", "a/b/a/q.txt", "a/b/.hidden", "a/b/.git/z", "top.txt"})
        write(rel, "x");
    ziputil::zipFilesThrow({at("top.txt"), at("a/b/"), at("missing")}, at("out.zip"));
    EXPECT_EQ(unzipList(at("out.zip")),
              QStringList({"top.txt", "b/", "b/w.txt", "b/x.txt", "b/a/", "b/a/q.txt", "b/c/", "b/c/y.txt"}));
}

TEST_F(ZipUtilTest, OurArchiveIsReadByUnzipWithOrdinaryPermissionsAndExactContents)
{
    const QByteArray big = randomBytes(100 * 1024 + 17);
    const QString name = QString::fromUtf8("写真 é.bin");
    write("src/d/" + name, big);
    write("src/d/empty", QByteArray());
    write("src/d/sub/t.txt", "text\n");
    // Whatever the source's permissions, the stored ones are ordinary.
    QFile::setPermissions(at("src/d/empty"), QFileDevice::ReadOwner);
    const QString zip = at("out.zip");
    ziputil::zipFilesThrow({at("src/d")}, zip);

    unzip({"-t", zip});
    QStringList modes;
    for (const QString& line : unzip({"-Z", "-l", zip}).split('\n'))
        if (line.startsWith('-') || line.startsWith('d'))
            modes << line.left(10);
    modes.sort();
    EXPECT_EQ(modes, QStringList({"-rw-r--r--", "-rw-r--r--", "-rw-r--r--", "drwxr-xr-x", "drwxr-xr-x"}));

    unzip({"-q", zip, "-d", at("byunzip")});
    EXPECT_EQ(read("byunzip/d/" + name), big);
    EXPECT_EQ(read("byunzip/d/sub/t.txt"), QByteArray("text\n"));
    // And back through our own reader.
    ziputil::unzipThrow(zip, QDir(at("byus")));
    EXPECT_EQ(tree("byus"), tree("byunzip"));
    EXPECT_EQ(read("byus/d/" + name), big);
    EXPECT_EQ(read("byus/d/empty"), QByteArray());
}

TEST_F(ZipUtilTest, ArchiveMadeByZipIsUnpackedAndReplacesExistingFiles)
{
    const QByteArray big = randomBytes(300 * 1024);
    write("src/pkg/big.bin", big);
    write("src/pkg/deep/er/note.txt", QByteArray(5000, 'n'));
    ASSERT_TRUE(QDir().mkpath(at("src/pkg/emptydir")));
    QByteArray err;
    ASSERT_EQ(testenv::runTool("sh", {"-c", "cd \"$0\" && zip -q -r \"$1\" pkg", at("src"), at("made.zip")}, nullptr,
                               &err),
              0)
        << err.toStdString();

    write("dest/pkg/big.bin", "old contents");
    ziputil::unzipThrow(at("made.zip"), QDir(dest));
    EXPECT_EQ(read("dest/pkg/big.bin"), big);
    EXPECT_EQ(read("dest/pkg/deep/er/note.txt"), QByteArray(5000, 'n'));
    EXPECT_EQ(tree("dest"), tree("src"));
}

TEST_F(ZipUtilTest, NamesThatClimbOutOrAreAbsoluteWriteNothingOutsideTheDestination)
{
    ZipFixtureBuilder zip;
    zip.addFile("../outside/e.txt", "climb")
        .addFile(QFile::encodeName(outside + "/abs.txt"), "absolute")
        .addFile("a/../../outside/e2.txt", "climb after a folder")
        .addFile("a/../b.txt", "dot-dot inside")
        .addFile("./d/e.txt", "dot slash")
        .addFile("..\\outside\\bs.txt", "backslashes read as separators still climb")
        .addFile("c:\"*?<>|\tx.txt", "odd characters")
        .addFile("./", "empty after the prefix");
    ASSERT_TRUE(zip.writeTo(at("evil.zip")));
    ziputil::unzipThrow(at("evil.zip"), QDir(dest));
    EXPECT_EQ(tree(""), QStringList({"dest", "dest/cx.txt", "dest/d", "dest/d/e.txt", "evil.zip", "outside"}));
    EXPECT_EQ(read("dest/d/e.txt"), QByteArray("dot slash"));
}

TEST_F(ZipUtilTest, LinksAndSpecialEntriesAreNeverCreatedNorWrittenThrough)
{
    // A link the destination already holds must not carry entries out either.
    ASSERT_TRUE(QFile::link(outside, dest + "/planted"));
    ZipFixtureBuilder zip;
    zip.addSymlink("lnk", QFile::encodeName(outside))
        .addFile("lnk/evil.txt", "through the link")
        .addSymlink("rel", "../outside/rel.txt")
        .add("sock", QByteArray(), 0140755)
        .addFile("planted/x.txt", "through a planted link")
        .addDir("planted/sub/")
        .addFile("plain.txt", "plain");
    ASSERT_TRUE(zip.writeTo(at("links.zip")));
    ziputil::unzipThrow(at("links.zip"), QDir(dest));
    EXPECT_EQ(tree("outside"), QStringList());
    // lnk became an ordinary folder for the later entry.
    EXPECT_EQ(tree("dest"), QStringList({"lnk", "lnk/evil.txt", "plain.txt", "planted"}));
    EXPECT_FALSE(QFileInfo(dest + "/lnk").isSymLink());
}

TEST_F(ZipUtilTest, DamagedArchivesFailInsteadOfEndingQuietly)
{
    ZipFixtureBuilder zip;
    zip.addFile("first.txt", QByteArray(3000, 'a')).addFile("second.txt", QByteArray(3000, 'b'));
    const QByteArray good = zip.bytes();
    QByteArray badCrc = good;
    badCrc[int(zip.dataOffset(1) + 10)] = 'X';
    const struct
    {
        const char* name;
        QByteArray bytes;
    } damaged[] = {{"crc", badCrc}, {"cut", good.left(int(zip.dataOffset(1) + 100))}, {"noise", randomBytes(4096)}};
    for (const auto& d : damaged) {
        const QString name = QString::fromLatin1(d.name);
        write(name + ".zip", d.bytes);
        EXPECT_THROW(ziputil::unzipThrow(at(name + ".zip"), QDir(at(name))), std::runtime_error) << d.name;
        // The damaged entry leaves no half-written file.
        EXPECT_FALSE(QFile::exists(at(name + "/second.txt"))) << d.name;
    }
    EXPECT_EQ(read("crc/first.txt"), QByteArray(3000, 'a'));
    try {
        ziputil::unzipThrow(at("does-not-exist.zip"), QDir(dest));
        ADD_FAILURE() << "a missing archive must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains("does-not-exist.zip")) << e.what();
    }
}

TEST_F(ZipUtilTest, PackingNeverFollowsFolderLinksNorReadsItsOwnOutput)
{
    write("a/x.txt", "x");
    ASSERT_TRUE(QDir().mkpath(at("a/b")));
    ASSERT_TRUE(QFile::link(at("a"), at("a/b/loop")));
    ASSERT_TRUE(QFile::link(at("a/x.txt"), at("a/b/x-link.txt")));
    ASSERT_TRUE(QFile::link(at("nowhere"), at("a/b/dangling")));
    // The archive is written inside the folder being packed.
    ziputil::zipFilesThrow({at("a")}, at("a/packed.zip"));
    EXPECT_EQ(unzipList(at("a/packed.zip")), QStringList({"a/", "a/x.txt", "a/b/", "a/b/x-link.txt"}));
    ziputil::unzipThrow(at("a/packed.zip"), QDir(at("back")));
    EXPECT_EQ(read("back/a/b/x-link.txt"), QByteArray("x"));
    EXPECT_FALSE(QFileInfo(at("back/a/b/x-link.txt")).isSymLink());
}

// The error names what the system said (here "File too large", as a full
// disk would say "No space left on device"), never an unknown error.
void expectFullDiskError(const std::function<void()>& work, const QString& start)
{
    try {
        FileSizeLimit limit(64 * 1024);
        work();
        ADD_FAILURE() << "a full disk must throw";
    } catch (const std::runtime_error& e) {
        const QString text = QString::fromUtf8(e.what());
        EXPECT_TRUE(text.startsWith(start) && text.endsWith(QString::fromLocal8Bit(std::strerror(EFBIG))))
            << e.what();
    }
}

TEST_F(ZipUtilTest, AFullDiskWhilePackingIsAnErrorAndLeavesNoArchive)
{
    write("src/big.bin", randomBytes(256 * 1024));
    write("out.zip", "previous archive");
    expectFullDiskError([&] { ziputil::zipFilesThrow({at("src")}, at("out.zip")); }, "write zip file " + at("out.zip"));
    // The earlier archive is untouched and no temporary file is left.
    EXPECT_EQ(read("out.zip"), QByteArray("previous archive"));
    EXPECT_EQ(tree(""), QStringList({"dest", "out.zip", "outside", "src", "src/big.bin"}));
    try {
        ziputil::zipFilesThrow({at("src")}, at("no/such/out.zip"));
        ADD_FAILURE() << "an archive that cannot be created must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), "create zip file " + at("no/such/out.zip") + " error.");
    }

    // A device at the target is written to, never replaced: here a private
    // node of the full device (made only where the test may make nodes).
    const QByteArray full = QFile::encodeName(at("full"));
    if (::mknod(full.constData(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        EXPECT_THROW(ziputil::zipFilesThrow({at("src")}, at("full")), std::runtime_error);
        struct stat st;
        EXPECT_TRUE(::stat(full.constData(), &st) == 0 && S_ISCHR(st.st_mode));
        QFile::remove(at("full"));
    }
}

TEST_F(ZipUtilTest, AFullDiskWhileUnpackingIsAnErrorAndLeavesNoHalfFile)
{
    ZipFixtureBuilder zip;
    zip.addFile("small.txt", "fits").addFile("big.bin", randomBytes(200 * 1024));
    ASSERT_TRUE(zip.writeTo(at("in.zip")));
    write("dest/big.bin", "older file");
    expectFullDiskError([&] { ziputil::unzipThrow(at("in.zip"), QDir(dest)); }, "write " + dest + "/big.bin error.");
    EXPECT_EQ(read("dest/small.txt"), QByteArray("fits"));
    EXPECT_EQ(read("dest/big.bin"), QByteArray("older file"));
    EXPECT_EQ(tree("dest"), QStringList({"big.bin", "small.txt"}));
}

TEST_F(ZipUtilTest, AnArchiveBeyondTheUnpackLimitsIsRefusedWithoutAHalfFile)
{
    ZipFixtureBuilder zip;
    zip.addFile("a.txt", "fits").addFile("big.bin", QByteArray(5000, 'z')).addFile("c.txt", "late");
    ASSERT_TRUE(zip.writeTo(at("in.zip")));
    const std::tuple<ziputil::UnzipLimits, const char*, QStringList> cases[] = {
        {{4096, 100}, "more data", {"a.txt"}}, {{1 << 20, 2}, "more entries", {"a.txt", "big.bin"}}};
    for (const auto& [limits, why, left] : cases) {
        QDir(dest).removeRecursively();
        try {
            ziputil::unzipThrow(at("in.zip"), QDir(dest), limits);
            ADD_FAILURE() << why;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains(why)) << e.what();
        }
        EXPECT_EQ(tree("dest"), left) << why;
    }
}

} // namespace
