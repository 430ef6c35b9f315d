#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/safefile.h"
#include "foundation/utf8mac.h"
#include "foundation/utf8mac_p.h"
#include "foundation/ziputil.h"

namespace {

using namespace pathutil;

QString u8(const char* s) { return QString::fromUtf8(s); }

// Every path below dir, relative and sorted, hidden ones too; links are listed, not followed.
QStringList tree(const QString& dir)
{
    QStringList out;
    const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (QDirIterator it(dir, all, QDirIterator::Subdirectories); it.hasNext();)
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

TEST(SafeFile, RelativePathsThatLeaveTheirFolderAreRefused)
{
    const std::pair<QString, const char*> cases[] = {
        {"a/b.txt", "a/b.txt"}, {"a//./b/", "a/b"}, {"./x", "x"},     {"", nullptr},
        {".//.", nullptr},      {"..", nullptr},    {"a/../b", nullptr}, {"a/..", nullptr},
        {"/etc/passwd", nullptr}, {QString("a") + QChar(0) + "b", nullptr},
    };
    for (const auto& [in, clean] : cases) {
        QString out = "untouched";
        EXPECT_EQ(safefile::cleanRelativePath(in, &out), clean != nullptr) << in;
        EXPECT_EQ(out, clean ? QString(clean) : QString("untouched")) << in;
    }
    QString out;
    EXPECT_FALSE(safefile::cleanRelativePath("a/b/c", &out, 2));
}

// Resolving refuses any link on the way, confinement only links that lead
// outside; "box2" beside "box" starts with the same text but is outside it.
TEST(SafeFile, LinksOutOfTheFolderAndSpecialFilesAreRefused)
{
    QTemporaryDir top;
    const QString root = top.filePath("box");
    const QString real = QFileInfo(top.path()).canonicalFilePath() + "/box";
    ASSERT_TRUE(QDir().mkpath(root + "/in/deep"));
    ASSERT_TRUE(testenv::writeFile(real + "2/f", "outside"));
    const std::pair<const char*, QString> links[] = {
        {"in/up", real + "/in/deep"}, {"in/out", real + "2"}, {"in/file-out", real + "2/f"},
        {"in/dangling", real + "2/none"}};
    for (const auto& [link, target] : links)
        ASSERT_TRUE(QFile::link(target, root + '/' + link)) << link;
    EXPECT_EQ(safefile::resolveInside(root, "in/deep/new"), root + "/in/deep/new");
    QString error;
    EXPECT_TRUE(safefile::resolveInside(root, "in/out/x", &error).isEmpty());
    EXPECT_TRUE(error.contains("link")) << error;
    EXPECT_TRUE(safefile::resolveInside(root, "in/file-out").isEmpty());
    EXPECT_TRUE(safefile::resolveInside(root, "../x").isEmpty());

    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/fifo").constData(), 0600), 0);
    // A FIFO would block forever in open() if it were opened plainly.
    QFile file;
    for (const char* refused : {"/in/file-out", "/fifo", "/in"})
        EXPECT_FALSE(safefile::openRegular(file, root + refused, QIODevice::ReadOnly, &error)) << refused;
    EXPECT_FALSE(safefile::isRegularFile(root + "/in/file-out"));
    ASSERT_TRUE(safefile::openRegular(file, root + "/in/file-out", QIODevice::ReadOnly, &error, true));
    EXPECT_EQ(file.readAll(), "outside");

    safefile::Confinement box(root);
    const std::pair<const char*, QString> cases[] = {
        {"/in/deep/x", real + "/in/deep/x"}, {"/in/up/x", real + "/in/deep/x"}, {"/in/up", real + "/in/deep"},
        {"/new/dir/x", real + "/new/dir/x"}, {"/in/out/x", ""}, {"/in/out/new/x", ""}, {"/in/file-out", ""},
        {"/in/dangling", ""}, {"/in/../in/x", ""}, {"2/f", ""}};
    for (int round = 0; round < 2; ++round) { // the second from remembered folders
        for (const auto& [rel, result] : cases)
            EXPECT_EQ(box.realPath(root + rel), result) << rel;
    }
}

TEST(SafeFile, AtomicFileAppearsWholeAndReplacesALinkInsteadOfWritingThroughIt)
{
    QTemporaryDir dir, outside;
    const QString victim = outside.filePath("victim");
    const QString target = dir.filePath("out.bin");
    ASSERT_TRUE(testenv::writeFile(victim, "precious"));
    ASSERT_TRUE(QFile::link(victim, target));
    {
        safefile::AtomicFile file(target, 0600);
        ASSERT_TRUE(file.open());
        file.file().write("new");
        EXPECT_TRUE(QFileInfo(target).isSymLink()); // nothing visible before commit
        ASSERT_TRUE(file.commit());
    }
    EXPECT_EQ(testenv::readFile(target), "new");
    EXPECT_EQ(testenv::readFile(victim), "precious");
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;
    EXPECT_EQ(QFile::permissions(target), ownerOnly);
    {
        safefile::AtomicFile dropped(target);
        ASSERT_TRUE(dropped.open());
        dropped.file().write("half");
    }
    EXPECT_EQ(tree(dir.path()), QStringList{"out.bin"});
}

// Escaping makes a name up to three times longer: what the file system
// cannot take gets a short form that every side making the same long name
// meets, that no other name meets, and that a file (written atomically,
// with its temporary name beside it) can bear.
TEST(FileNameEncodings, NamesTooLongForTheFileSystemGetOneShortFormEach)
{
    QString kana; // decomposed, as the phone keeps names: 6 bytes a letter
    for (int i = 0; i < 40; ++i)
        kana += utf8mac_to(QString(QChar(0x30AC + 2 * (i % 10))));
    const QString a255 = QString(255, 'a');
    const struct { QString name; bool shortened; QString suffix; } cases[] = {
        {kana + ".pdf", true, ".pdf"},
        {"m2_" + kana + ".pdf", true, ".pdf"},
        {kana + "x.pdf", true, ".pdf"}, // differs from the first only past the cut
        {a255, false, ""},
        {a255 + "b", true, ""},
        {a255 + "c", true, ""},
        {"z" + QString(84, QChar(0xE9)), true, ""}, // the cut falls inside an escape
        {"x." + kana, true, ""},                  // a suffix too long to keep
        {QString::fromUcs4(U"\U0001F600").repeated(120), true, ""}, // letters outside the basic plane
    };
    QTemporaryDir dir;
    QStringList made;
    for (const auto& c : cases) {
        const QString full = encodeFileNamePart(c.name), form = encodeFileName(c.name);
        EXPECT_LE(form.toUtf8().size(), kMaxNameBytes) << form;
        EXPECT_EQ(form == full, !c.shortened) << form;
        EXPECT_EQ(form, fitFileName(full));
        EXPECT_EQ(form.contains("%~"), c.shortened);
        EXPECT_TRUE(form.endsWith(c.suffix)) << form;
        // Every escape whole: a "%" starts two hex digits or the marker.
        const QRegularExpression broken("%(?![0-9A-F]{2}|~[0-9a-f]{40})");
        EXPECT_FALSE(broken.match(form).hasMatch()) << form;
        EXPECT_FALSE(made.contains(form)) << form;
        made << form;
        safefile::AtomicFile file(dir.filePath(form));
        QString why;
        EXPECT_TRUE(file.open(&why) && file.file().write("x") == 1 && file.commit(&why)) << why;
        EXPECT_EQ(testenv::readFile(dir.filePath(form)), "x");
    }
    // A long name put together from encoded parts finds the same file.
    EXPECT_EQ(fitFileName("m2_" + encodeFileNamePart(kana + ".pdf")), encodeFileName("m2_" + kana + ".pdf"));
    EXPECT_EQ(tree(dir.path()).size(), made.size()); // no temporary name left
}

// Names from chats and backups can hold anything: both encodings must come
// back exactly, and the encoded form must always be one plain component.
TEST(FileNameEncodings, KnownFormsAndRoundTripsOfAnyText)
{
    const std::pair<QString, QString> encoded[] = {
        {"a/b:c?.txt", "a%2Fb%3Ac%3F.txt"}, {"100%", "100%25"}, {u8("\xE6\x97\xA5"), "%E6%97%A5"},
        {" `~!@#$^&()-=_+[]{};',.azAZ09", " `~!@#$^&()-=_+[]{};',.azAZ09"},
        {"\"*<>\\|\x01\x7f", "%22%2A%3C%3E%5C%7C%01%7F"},
        // Reserved device names are encoded whole, and only as the whole name.
        {"Com1", "%43%6F%6D%31"}, {"CON.txt", "CON.txt"}, {"CON\n", "CON%0A"},
        // A name of dots only, or none, must stay one harmless component.
        {".", "%2E"}, {"..", "%2E%2E"}, {"", "%00"}, {"..a", "..a"}, {"../x", "..%2Fx"},
    };
    QStringList samples{"tab\there\nnew", u8("\xF0\x9F\x98\x80 \xC3\xA9")};
    for (const auto& [name, form] : encoded) {
        EXPECT_EQ(encodeFileName(name), form) << name;
        samples << name << form;
    }
    EXPECT_EQ(encodeFileNameWin("%\\/:*?\"<>|\n\r\t"), "%25%5c%2f%3a%2a%3f%22%3c%3e%7c%0a%0d%09");
    EXPECT_EQ(encodeFileNameWin("Com1"), "%43%6f%6d%31");
    // Escapes of either case; a percent sign without two hex digits is text.
    const std::pair<QString, QString> decoded[] = {
        {"a%2fb%2Fc", "a/b/c"}, {"ab%00cd", "ab"}, {"100%", "100%"}, {"%zz%4", "%zz%4"}, {"%%41", "%A"}};
    for (const auto& [form, name] : decoded)
        EXPECT_EQ(decodeFileName(form), name) << form;
    EXPECT_EQ(decodeFileNameWin("%e9x%00y"), u8("\xC3\xA9xy")); // escapes read as Latin-1

    for (const QString& s : samples) {
        const QString enc = encodeFileName(s);
        const QString encWin = encodeFileNameWin(s);
        EXPECT_EQ(decodeFileName(enc), s);
        EXPECT_EQ(decodeFileNameWin(encWin), s);
        EXPECT_TRUE(std::all_of(enc.begin(), enc.end(), [](QChar c) { return c.unicode() < 0x80; })) << enc;
        EXPECT_EQ(QDir::cleanPath("/s/" + enc), "/s/" + enc);
        EXPECT_EQ(QDir::cleanPath("/s/" + encWin), "/s/" + encWin);
    }
    // An expression that matches empty text still ends.
    const auto bracket = [](const QRegularExpressionMatch& m) { return '<' + m.captured(1) + '>'; };
    EXPECT_EQ(rx_replace(QString("ab"), QRegularExpression("(x*)"), bracket), "<>a<>b<>");
}

TEST(FileUtil, CopyingAndDeletingATreeSkipLinksAndHiddenEntriesAndNeverLeaveIt)
{
    QTemporaryDir dir, outside;
    const QString src = dir.filePath("src");
    const QString dst = dir.filePath("dst");
    for (const char* rel : {"a.txt", "sub/.hidden", "sub/b.txt", "sub/deeper/c.txt"})
        ASSERT_TRUE(testenv::writeFile(src + '/' + rel, rel));
    ASSERT_TRUE(testenv::writeFile(outside.filePath("keep/precious.txt"), "P"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), src + "/sub/dirlink"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep/precious.txt"), src + "/filelink"));
    ASSERT_TRUE(QFile::link(src + "/gone", src + "/dangling"));
    ASSERT_TRUE(QFile::link(src, src + "/sub/loop"));
    // A file in the target is kept, a link there never written through.
    ASSERT_TRUE(testenv::writeFile(dst + "/src/sub/b.txt", "OLD"));
    ASSERT_TRUE(QFile::link(outside.filePath("written-through"), dst + "/src/a.txt"));

    QString error;
    EXPECT_TRUE(cpr(src, QDir(dst), &error)) << error;
    EXPECT_EQ(tree(dst), QStringList({"src", "src/a.txt", "src/sub", "src/sub/b.txt", "src/sub/deeper",
                                      "src/sub/deeper/c.txt"}));
    EXPECT_EQ(testenv::readFile(dst + "/src/sub/deeper/c.txt"), "sub/deeper/c.txt");
    EXPECT_EQ(testenv::readFile(dst + "/src/sub/b.txt"), "OLD");
    EXPECT_FALSE(cpr(src, QDir(src + "/sub"), &error));
    EXPECT_FALSE(QFileInfo::exists(src + "/sub/src"));
    EXPECT_TRUE(cpr(src + "/sub", QDir(src + "/sub2"))); // a sibling whose name merely starts the same
    EXPECT_EQ(testenv::readFile(src + "/sub2/sub/b.txt"), "sub/b.txt");
    EXPECT_FALSE(cpr(src, QDir(src + "/a.txt/below"), &error)); // not below a plain file

    pathutil::rmpath(src);
    EXPECT_EQ(tree(src), QStringList({"sub", "sub/.hidden"}));
    ASSERT_TRUE(QFile::remove(src + "/sub/.hidden"));
    g_delDirCascade(src);
    EXPECT_FALSE(QFileInfo::exists(src));
    // A link given as the folder loses only the link.
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), dir.filePath("link")));
    g_delDirCascade(dir.filePath("link"));
    EXPECT_FALSE(QFileInfo(dir.filePath("link")).isSymLink());
    EXPECT_EQ(tree(outside.path()), QStringList({"keep", "keep/precious.txt"}));
}

TEST(FileUtil, FreeNamesCleanNamesHtmlAndJavaHashes)
{
    QTemporaryDir dir;
    for (const char* taken : {"photo.jpg", "photo(1).jpg", "x.tar.gz", "README", "a%1b/in-a-folder"})
        ASSERT_TRUE(testenv::writeFile(dir.filePath(taken), "x"));
    // A dangling link counts as taken: writing through it would land elsewhere.
    ASSERT_TRUE(QFile::link(dir.filePath("nowhere"), dir.filePath("out.txt")));
    const std::pair<const char*, const char*> free[] = {{"new.jpg", "new.jpg"}, {"photo.jpg", "photo(2).jpg"},
        {"x.tar.gz", "x(1).gz"}, {"README", "README(1)"}, {"a%1b", "a%1b(1)"}, {"out.txt", "out(1).txt"}};
    for (const auto& [name, result] : free)
        EXPECT_EQ(g_getValidFilePath(dir.filePath(name)), dir.filePath(result)) << name;

    EXPECT_EQ(g_formatFileName(u8(" a\\b/c:d*e?f\"g<h>i|j\nk\rl\tm \xE6\x97\xA5 ")), u8("abcdefghijklm \xE6\x97\xA5"));
    EXPECT_EQ(htmlEncode("a<b & c\nd\"e' &amp;>"), "a&lt;b &amp; c<br/>d\"e' &amp;amp;&gt;");
    // Java's String.hashCode over signed UTF-16 units, wrapping in 32 bits, up to the first zero unit.
    const std::pair<QString, qint32> hashes[] = {{"polygenelubricants", std::numeric_limits<qint32>::min()},
                                                 {QString(QChar(0xffff)) + 'a', -31 + 'a'},
                                                 {QString::fromUtf16(u"ab\0cd", 5), 'a' * 31 + 'b'}};
    for (const auto& [text, hash] : hashes)
        EXPECT_EQ(hashcode(text), hash) << text;
}

QString units(std::initializer_list<char16_t> us)
{
    return QString(reinterpret_cast<const QChar*>(us.begin()), qsizetype(us.size()));
}

TEST(Utf8Mac, DecomposesWithTheTableAndRecomposesOnlyWholeSequences)
{
    EXPECT_EQ(utf8mac_to(QStringLiteral("Caf\u00E9 \u30AC.jpg")), QStringLiteral("Cafe\u0301 \u30AB\u3099.jpg"));
    // Characters that Unicode decomposes but the table leaves out, and
    // surrogate pairs, pass through; the text ends at its first zero unit.
    const QString kept = units({0xAC00, 0x2126, 0x212B, 0xF900, 0x01F8, 0xD83D, 0xDE00});
    EXPECT_EQ(utf8mac_to(kept), kept);
    EXPECT_EQ(utf8mac_to(units({u'a', 0x00E9, 0, u'b'})), units({u'a', u'e', 0x0301}));
    QString all; // decomposing is idempotent over the whole plane
    for (int u = 1; u < 0x10000; ++u)
        all.append(QChar(char16_t(u)));
    EXPECT_EQ(utf8mac_to(utf8mac_to(all)), utf8mac_to(all));

    EXPECT_EQ(utf8mac_from(units({0x03B1, 0x0313, 0x0345})), units({0x1F00, 0x0345}));
    EXPECT_EQ(utf8mac_from(units({0x0065, 0x0301, 0, 0x0065, 0x0301})), units({0x00E9}));
    // Single units are never turned into look-alikes.
    const QString plain = units({u';', u'`', 0x00B4, 0x0301, 0x03B9, 0x00C6, 0x0259, 0x01B7, 0x0275, u'e'});
    EXPECT_EQ(utf8mac_from(plain), plain);
    int count = 0;
    const S4* table = utf8mac_table(&count);
    for (int i = 0; i < count; ++i) {
        const QString one = units({table[i].ch});
        if (table[i].len >= 2) { // single-unit mappings are left decomposed
            EXPECT_EQ(utf8mac_from(utf8mac_to(one)), one) << std::hex << int(table[i].ch);
        }
    }
    // The table is what its generator makes of the Unicode data.
    if (testenv::haveTool("python3")) {
        const QString generator = testenv::sourceDir() + "/scripts/gen_utf8mac_table.py";
        EXPECT_EQ(testenv::runTool("python3", {generator, "--check"}), 0);
    }
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

// Files written by this process may grow only to `bytes` while it lives: the
// way to make a disk run full without one.
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN); // a failed write, not a signal
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit lim{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
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
        ASSERT_TRUE(QDir().mkpath(dest));
        ASSERT_TRUE(QDir().mkpath(outside));
    }

    QString at(const QString& rel) const { return tmp.filePath(rel); }
    QByteArray read(const QString& rel) const { return testenv::readFile(at(rel)); }
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
        for (const Entry& e : entries) {
            py += "i = zipfile.ZipInfo(bytes.fromhex('" + e.name.toHex() + "').decode())\n";
            py += "i.external_attr = " + QByteArray::number(e.mode) + " << 16\n";
            py += "z.writestr(i, bytes.fromhex('" + e.data.toHex() + "'))\n";
        }
        run("python3", {"-"}, py + "z.close()\n");
    }

    QTemporaryDir tmp;
    const QString dest = at("dest");
    const QString outside = at("outside");
};

// Info-ZIP reads what we pack, and we unpack what it packs.
TEST_F(ZipUtilTest, ArchivesRoundTripWithZipAndUnzipWithOrdinaryPermissionsInOrderAndWithoutHiddenEntries)
{
    const QByteArray big = randomBytes(300 * 1024 + 17);
    const QString name = u8("写真 é.bin");
    ASSERT_TRUE(testenv::writeFile(at("src/d/" + name), big));
    ASSERT_TRUE(testenv::writeFile(at("src/d/empty"), ""));
    for (const char* rel : {"src/d/sub/t.txt", "src/d/a/q.txt", "src/d/.hidden", "src/top.txt"})
        ASSERT_TRUE(testenv::writeFile(at(rel), "text"));
    QFile::setPermissions(at("src/d/empty"), QFileDevice::ReadOwner); // whatever the source's, stored ones are ordinary
    // Links to folders (a loop here) and dangling ones are left out, a link to a file is packed as the file.
    ASSERT_TRUE(QFile::link(at("src/d"), at("src/d/sub/loop")));
    ASSERT_TRUE(QFile::link(at("nowhere"), at("src/d/dangling")));
    ASSERT_TRUE(QFile::link(at("src/top.txt"), at("src/d/a/top-link.txt")));
    // Written inside a folder being packed, it does not read itself.
    ziputil::zipFilesThrow({at("src/top.txt"), at("src/d/"), at("missing")}, at("src/d/out.zip"));
    ASSERT_TRUE(QFile::rename(at("src/d/out.zip"), at("out.zip")));
    EXPECT_EQ(run("unzip", {"-Z1", at("out.zip")}).split('\n', Qt::SkipEmptyParts),
              QStringList({"top.txt", "d/", "d/empty", "d/" + name, "d/a/", "d/a/q.txt", "d/a/top-link.txt", "d/sub/",
                           "d/sub/t.txt"}));
    const QString listing = run("unzip", {"-Z", "-l", at("out.zip")});
    EXPECT_EQ(listing.count("\n-rw-r--r--") + listing.count("\ndrwxr-xr-x"), 9) << listing;
    run("unzip", {"-q", at("out.zip"), "-d", at("byunzip")});
    EXPECT_EQ(read("byunzip/d/" + name), big);

    ASSERT_TRUE(QDir().mkpath(at("byunzip/d/emptydir")));
    run("sh", {"-c", "cd \"$0\" && zip -q -r \"$1\" d", at("byunzip"), at("made.zip")});
    ASSERT_TRUE(testenv::writeFile(dest + "/d/" + name, "old contents"));
    ziputil::unzipThrow(at("made.zip"), QDir(dest));
    EXPECT_EQ(tree(dest + "/d"), tree(at("byunzip/d")));
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
    EXPECT_EQ(tree(outside), QStringList());
    // lnk became an ordinary folder for the later entry.
    EXPECT_EQ(tree(dest), QStringList({"cx.txt", "d", "d/e.txt", "lnk", "lnk/evil.txt", "planted"}));
    EXPECT_FALSE(QFileInfo(dest + "/lnk").isSymLink());
    EXPECT_EQ(read("dest/d/e.txt"), QByteArray("dot slash"));
}

TEST_F(ZipUtilTest, DamagedArchivesAndArchivesBeyondTheLimitsFailWithoutAHalfFile)
{
    const QByteArray second(5000, 'b');
    makeZip("good.zip", {{"first.txt", QByteArray(3000, 'a')}, {"second.txt", second}, {"c.txt", "late"}});
    const QByteArray good = read("good.zip");
    QByteArray badCrc = good;
    badCrc[good.indexOf(second) + 10] = 'X';
    const std::tuple<QByteArray, ziputil::UnzipLimits, const char*, QStringList> cases[] = {
        {badCrc, {}, "noise.zip", {"first.txt"}},
        {good.left(good.indexOf(second) + 100), {}, "noise.zip", {"first.txt"}},
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
        EXPECT_EQ(tree(dest), left) << why;
    }
    EXPECT_THROW(ziputil::unzipThrow(at("does-not-exist.zip"), QDir(dest)), std::runtime_error);
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
            EXPECT_TRUE(text.startsWith(start)) << e.what();
            EXPECT_TRUE(text.endsWith(QString::fromLocal8Bit(std::strerror(EFBIG)))) << e.what();
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
    EXPECT_EQ(read("dest/small.txt"), QByteArray("fits"));
    EXPECT_EQ(read("dest/big.bin"), QByteArray("older file"));
    EXPECT_EQ(tree(tmp.path()), QStringList({"dest", "dest/big.bin", "dest/small.txt", "in.zip", "out.zip", "outside",
                                             "src", "src/big.bin"}));
}

} // namespace
