#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"
#include "tests/support/zipfixturebuilder.h"

#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "foundation/ziputil.h"

namespace {

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

// Every path below dir, relative, sorted; links are listed, not followed.
QStringList tree(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// Entry names as Info-ZIP's reader lists them, in archive order.
QStringList unzipList(const QString& zip)
{
    QByteArray out, err;
    const int rc = testenv::runTool("unzip", {"-Z1", zip}, &out, &err);
    EXPECT_EQ(rc, 0) << err.toStdString();
    return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
}

// Files written by this process may grow only to `bytes` while it lives: the
// way to make a disk run full without one.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim = saved;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }

private:
    rlimit saved{};
    void (*oldHandler)(int) = nullptr;
};

class ZipUtilTest : public ::testing::Test
{
protected:
    QTemporaryDir tmp;
    QString at(const QString& rel) const { return tmp.filePath(rel); }

    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        if (!testenv::haveTool("unzip") || !testenv::haveTool("zip"))
            GTEST_SKIP() << "zip and unzip are installed by scripts/setup.sh";
    }

    // dest/ for unpacking and a sibling outside/ that must stay empty.
    QString dest() const { return at("dest"); }
    QString outside() const { return at("outside"); }
    void makeDestAndOutside()
    {
        ASSERT_TRUE(QDir().mkpath(dest()));
        ASSERT_TRUE(QDir().mkpath(outside()));
    }
};

TEST(HashcodeTest, MatchesTheThirtyOneMultiplierHashOfUtf16Units)
{
    EXPECT_EQ(hashcode(QStringLiteral("abc")), 96354);
    EXPECT_EQ(hashcode(QStringLiteral("hello")), 99162322);
    EXPECT_EQ(hashcode(QString()), 0);
    EXPECT_EQ(hashcode(QStringLiteral("")), 0);
    // Wraps in 32 bits: this text's hash is exactly the smallest integer.
    EXPECT_EQ(hashcode(QStringLiteral("polygenelubricants")), std::numeric_limits<qint32>::min());
    // Units from 0x8000 up count as negative.
    EXPECT_EQ(hashcode(QString(QChar(0x8000))), -32768);
    EXPECT_EQ(hashcode(QString(QChar(0xffff))), -1);
    EXPECT_EQ(hashcode(QString(QChar(0x8000)) + 'a'), -32768 * 31 + 'a');
    // Stops at the first zero unit.
    EXPECT_EQ(hashcode(QString::fromUtf16(u"ab\0cd", 5)), hashcode(QStringLiteral("ab")));
}

TEST_F(ZipUtilTest, NestedFolderIsStoredFilesFirstThenSubfoldersEachSortedWithoutHiddenEntries)
{
    ASSERT_TRUE(writeFile(at("a/b/x.txt"), "x"));
    ASSERT_TRUE(writeFile(at("a/b/w.txt"), "w"));
    ASSERT_TRUE(writeFile(at("a/b/c/y.txt"), "y"));
    ASSERT_TRUE(writeFile(at("a/b/a/q.txt"), "q"));
    ASSERT_TRUE(writeFile(at("a/b/.hidden"), "h"));
    ASSERT_TRUE(writeFile(at("a/b/.git/z"), "z"));
    ASSERT_TRUE(writeFile(at("top.txt"), "t"));

    const QString zip = at("out.zip");
    ziputil::zipFilesThrow({at("top.txt"), at("a/b/"), at("missing")}, zip);
    EXPECT_EQ(unzipList(zip), QStringList({"top.txt", "b/", "b/w.txt", "b/x.txt", "b/a/", "b/a/q.txt", "b/c/",
                                           "b/c/y.txt"}));
}

TEST_F(ZipUtilTest, OurArchiveIsReadByUnzipWithOrdinaryPermissionsAndExactContents)
{
    const QByteArray big = randomBytes(100 * 1024 + 17);
    const QString name = QString::fromUtf8("写真 é.bin");
    ASSERT_TRUE(writeFile(at("src/d/") + name, big));
    ASSERT_TRUE(writeFile(at("src/d/empty"), QByteArray()));
    ASSERT_TRUE(writeFile(at("src/d/sub/t.txt"), "text\n"));
    // Whatever the source's permissions, the stored ones are ordinary.
    QFile::setPermissions(at("src/d/empty"), QFileDevice::ReadOwner);
    const QString zip = at("out.zip");
    ziputil::zipFilesThrow({at("src/d")}, zip);

    QByteArray out, err;
    ASSERT_EQ(testenv::runTool("unzip", {"-t", zip}, &out, &err), 0) << out.toStdString() << err.toStdString();
    ASSERT_EQ(testenv::runTool("unzip", {"-Z", "-l", zip}, &out, &err), 0) << err.toStdString();
    const QStringList lines = QString::fromUtf8(out).split('\n');
    int files = 0, dirs = 0;
    for (const QString& line : lines) {
        if (line.startsWith('-')) {
            EXPECT_TRUE(line.startsWith("-rw-r--r--")) << line.toStdString();
            ++files;
        } else if (line.startsWith('d')) {
            EXPECT_TRUE(line.startsWith("drwxr-xr-x")) << line.toStdString();
            ++dirs;
        }
    }
    EXPECT_EQ(files, 3);
    EXPECT_EQ(dirs, 2);

    ASSERT_EQ(testenv::runTool("unzip", {"-q", zip, "-d", at("byunzip")}, &out, &err), 0) << err.toStdString();
    EXPECT_EQ(readFile(at("byunzip/d/") + name), big);
    EXPECT_EQ(readFile(at("byunzip/d/empty")), QByteArray());
    EXPECT_EQ(readFile(at("byunzip/d/sub/t.txt")), QByteArray("text\n"));

    // And back through our own reader.
    ziputil::unzipThrow(zip, QDir(at("byus")));
    EXPECT_EQ(tree(at("byus")), tree(at("byunzip")));
    EXPECT_EQ(readFile(at("byus/d/") + name), big);
    const QFile::Permissions p = QFileInfo(at("byus/d/sub/t.txt")).permissions();
    EXPECT_TRUE(p.testFlag(QFileDevice::ReadOwner) && p.testFlag(QFileDevice::WriteOwner));
}

TEST_F(ZipUtilTest, ArchiveMadeByZipIsUnpackedAndReplacesExistingFiles)
{
    const QByteArray big = randomBytes(300 * 1024);
    ASSERT_TRUE(writeFile(at("src/pkg/big.bin"), big));
    ASSERT_TRUE(writeFile(at("src/pkg/deep/er/note.txt"), QByteArray(5000, 'n')));
    ASSERT_TRUE(QDir().mkpath(at("src/pkg/emptydir")));
    QProcess zipper;
    zipper.setWorkingDirectory(at("src"));
    zipper.start("zip", {"-q", "-r", at("made.zip"), "pkg"});
    ASSERT_TRUE(zipper.waitForFinished(60000));
    ASSERT_EQ(zipper.exitCode(), 0) << zipper.readAllStandardError().toStdString();

    makeDestAndOutside();
    ASSERT_TRUE(writeFile(dest() + "/pkg/big.bin", "old contents"));
    ziputil::unzipThrow(at("made.zip"), QDir(dest()));
    EXPECT_EQ(readFile(dest() + "/pkg/big.bin"), big);
    EXPECT_EQ(readFile(dest() + "/pkg/deep/er/note.txt"), QByteArray(5000, 'n'));
    EXPECT_TRUE(QFileInfo(dest() + "/pkg/emptydir").isDir());
    EXPECT_EQ(tree(dest()), tree(at("src")));
}

TEST_F(ZipUtilTest, NamesThatClimbOutOrAreAbsoluteWriteNothingOutsideTheDestination)
{
    makeDestAndOutside();
    const QByteArray absolute = QFile::encodeName(outside() + "/abs.txt");
    ZipFixtureBuilder zip;
    zip.addFile("../outside/e.txt", "climb")
        .addFile(absolute, "absolute")
        .addFile("a/../../outside/e2.txt", "climb after a folder")
        .addFile("a/../b.txt", "dot-dot inside")
        .addFile("./d/e.txt", "dot slash")
        .addFile("..\\outside\\bs.txt", "backslashes read as separators still climb")
        .addFile("c:\"*?<>|\tx.txt", "odd characters")
        .addFile("./", "empty after the prefix");
    ASSERT_TRUE(zip.writeTo(at("evil.zip")));

    ziputil::unzipThrow(at("evil.zip"), QDir(dest()));
    EXPECT_EQ(tree(outside()), QStringList());
    EXPECT_EQ(tree(at("")), QStringList({"dest", "dest/cx.txt", "dest/d", "dest/d/e.txt", "evil.zip", "outside"}));
    EXPECT_EQ(readFile(dest() + "/d/e.txt"), QByteArray("dot slash"));
}

TEST_F(ZipUtilTest, LinksAndSpecialEntriesAreNeverCreatedNorWrittenThrough)
{
    makeDestAndOutside();
    // A link the destination already holds must not carry entries out either.
    ASSERT_TRUE(QFile::link(outside(), dest() + "/planted"));
    ZipFixtureBuilder zip;
    zip.addSymlink("lnk", QFile::encodeName(outside()))
        .addFile("lnk/evil.txt", "through the link")
        .addSymlink("rel", "../outside/rel.txt")
        .add("sock", QByteArray(), 0140755)
        .addFile("planted/x.txt", "through a planted link")
        .addDir("planted/sub/")
        .addFile("plain.txt", "plain");
    ASSERT_TRUE(zip.writeTo(at("links.zip")));

    ziputil::unzipThrow(at("links.zip"), QDir(dest()));
    EXPECT_EQ(tree(outside()), QStringList());
    // lnk became an ordinary folder for the later entry; no link or socket
    // name was made into a file or folder.
    EXPECT_EQ(tree(dest()), QStringList({"lnk", "lnk/evil.txt", "plain.txt", "planted"}));
    EXPECT_FALSE(QFileInfo(dest() + "/lnk").isSymLink());
    EXPECT_TRUE(QFileInfo(dest() + "/planted").isSymLink());
}

TEST_F(ZipUtilTest, DamagedArchivesFailInsteadOfEndingQuietly)
{
    makeDestAndOutside();
    ZipFixtureBuilder zip;
    zip.addFile("first.txt", QByteArray(3000, 'a')).addFile("second.txt", QByteArray(3000, 'b'));
    const QByteArray good = zip.bytes();

    QByteArray badCrc = good;
    badCrc[int(zip.dataOffset(1) + 10)] = 'X';
    ASSERT_TRUE(writeFile(at("crc.zip"), badCrc));
    EXPECT_THROW(ziputil::unzipThrow(at("crc.zip"), QDir(at("crc"))), std::runtime_error);
    EXPECT_EQ(readFile(at("crc/first.txt")), QByteArray(3000, 'a'));
    // The damaged entry leaves no half-written file.
    EXPECT_FALSE(QFile::exists(at("crc/second.txt")));

    ASSERT_TRUE(writeFile(at("cut.zip"), good.left(int(zip.dataOffset(1) + 100))));
    EXPECT_THROW(ziputil::unzipThrow(at("cut.zip"), QDir(at("cut"))), std::runtime_error);
    EXPECT_FALSE(QFile::exists(at("cut/second.txt")));

    ASSERT_TRUE(writeFile(at("noise.zip"), randomBytes(4096)));
    EXPECT_THROW(ziputil::unzipThrow(at("noise.zip"), QDir(at("noise"))), std::runtime_error);

    try {
        ziputil::unzipThrow(at("does-not-exist.zip"), QDir(dest()));
        ADD_FAILURE() << "a missing archive must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains("does-not-exist.zip")) << e.what();
    }
    EXPECT_EQ(tree(outside()), QStringList());
}

TEST_F(ZipUtilTest, PackingNeverFollowsFolderLinksNorReadsItsOwnOutput)
{
    ASSERT_TRUE(writeFile(at("a/x.txt"), "x"));
    ASSERT_TRUE(QDir().mkpath(at("a/b")));
    ASSERT_TRUE(QFile::link(at("a"), at("a/b/loop")));
    ASSERT_TRUE(QFile::link(at("a/x.txt"), at("a/b/x-link.txt")));
    ASSERT_TRUE(QFile::link(at("nowhere"), at("a/b/dangling")));

    // The archive is written inside the folder being packed.
    const QString zip = at("a/packed.zip");
    ziputil::zipFilesThrow({at("a")}, zip);
    EXPECT_EQ(unzipList(zip), QStringList({"a/", "a/x.txt", "a/b/", "a/b/x-link.txt"}));
    ziputil::unzipThrow(zip, QDir(at("back")));
    EXPECT_EQ(readFile(at("back/a/b/x-link.txt")), QByteArray("x"));
    EXPECT_FALSE(QFileInfo(at("back/a/b/x-link.txt")).isSymLink());
}

TEST_F(ZipUtilTest, AFullDiskWhilePackingIsAnErrorAndLeavesNoArchive)
{
    ASSERT_TRUE(writeFile(at("src/big.bin"), randomBytes(256 * 1024)));
    ASSERT_TRUE(writeFile(at("out.zip"), "previous archive"));

    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_THROW(ziputil::zipFilesThrow({at("src")}, at("out.zip")), std::runtime_error);
    }
    // The earlier archive is untouched and no temporary file is left.
    EXPECT_EQ(readFile(at("out.zip")), QByteArray("previous archive"));
    EXPECT_EQ(tree(at("")), QStringList({"out.zip", "src", "src/big.bin"}));

    try {
        ziputil::zipFilesThrow({at("src")}, at("no/such/folder/out.zip"));
        ADD_FAILURE() << "an archive that cannot be created must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(QString::fromUtf8(e.what()),
                  QStringLiteral("create zip file %1 error.").arg(at("no/such/folder/out.zip")));
    }

    // A device at the target is written to, never replaced: here a private
    // node of the full device (made only where the test may make nodes).
    const QString full = at("full");
    if (::mknod(QFile::encodeName(full).constData(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        EXPECT_THROW(ziputil::zipFilesThrow({at("src")}, full), std::runtime_error);
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(full).constData(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        QFile::remove(full);
    }

    // An empty list still makes a valid, empty archive.
    ziputil::zipFilesThrow({}, at("empty.zip"));
    ziputil::unzipThrow(at("empty.zip"), QDir(at("emptydest")));
    EXPECT_EQ(tree(at("emptydest")), QStringList());
}

TEST_F(ZipUtilTest, AFullDiskWhileUnpackingIsAnErrorAndLeavesNoHalfFile)
{
    makeDestAndOutside();
    ZipFixtureBuilder zip;
    zip.addFile("small.txt", "fits").addFile("big.bin", randomBytes(200 * 1024));
    ASSERT_TRUE(zip.writeTo(at("in.zip")));
    ASSERT_TRUE(writeFile(dest() + "/big.bin", "older file"));
    {
        FileSizeLimit limit(64 * 1024);
        try {
            ziputil::unzipThrow(at("in.zip"), QDir(dest()));
            ADD_FAILURE() << "a full disk must throw";
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith("write " + dest() + "/big.bin error.")) << e.what();
        }
    }
    EXPECT_EQ(readFile(dest() + "/small.txt"), QByteArray("fits"));
    EXPECT_EQ(readFile(dest() + "/big.bin"), QByteArray("older file"));
    EXPECT_EQ(tree(dest()), QStringList({"big.bin", "small.txt"}));
}

} // namespace
