#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <plist/plist.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/plistfixtures.h"
#include "tests/support/testenv.h"

#include "foundation/plistcftype.h"
#include "foundation/plistcftype_p.h"

using plistfixtures::BplistWriter;
using P = PlistCFType;

namespace {

constexpr CFPropertyListFormat kBin = kCFPropertyListBinaryFormat_v1_0;
constexpr CFPropertyListFormat kXml = kCFPropertyListXMLFormat_v1_0;
constexpr qint64 kMin64 = std::numeric_limits<qint64>::min();
constexpr qint64 kMax64 = std::numeric_limits<qint64>::max();

QDateTime utc(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0, int ms = 0)
{
    return QDateTime(QDate(y, m, d), QTime(hh, mm, ss, ms), Qt::UTC);
}

P parse(const QByteArray& bytes)
{
    return P::createCFPropertyList(bytes);
}

P integer(qint64 v)
{
    return P::createCFNumberInt64(v);
}

// One value of every kind, in a fixed order, and how Python's plistlib reads
// it (%1: the date's microseconds, %2: the UID, which XML cannot hold).
P everyKind()
{
    P d = P::createCFDictionary();
    d.put("bool", P::createCFBoolean(true))
        .put("int", integer(-5))
        .put("min", integer(kMin64))
        .put("max", integer(kMax64))
        .put("real", P::createCFNumberDouble(2.5))
        .put("string", P::createCFString(QStringLiteral("Grüße \u65E5\u672C <&>")))
        .put("empty", P::createCFString(QString()))
        .put("data", P::createCFData(QByteArray("\x00\x01\xfe\xff", 4)))
        .put("date", P::createCFDate(utc(2001, 1, 1, 0, 0, 0, 250)))
        .put("uid", P::createCFKeyedArchiverUID(7))
        .put("dict", P::createCFDictionary().put("inner", P::createCFArray({integer(1), P::createCFString("two")})));
    return d;
}
const QString kEveryKindInPython = QStringLiteral(
    "{bool: True, int: -5, min: -9223372036854775808, max: 9223372036854775807, real: 2.5, "
    "string: Grüße \u65E5\u672C <&>, empty: , data: b64:AAH+/w==, date: date:%1, uid: %2, dict: {inner: [1, two]}}");

// Run under the sanitizers: a node in two trees, a node freed while a tree
// still holds it, or a real cast out of range shows up.
TEST(PlistCFType, EveryNodeBelongsToOneTreeAndReadersSaturateOrFallBack)
{
    P d = P::createCFDictionary();
    d.put("a", integer(1)).put("b", integer(2)).put("a", P::createCFString("again")).put(P(), integer(3)).put("z", P());
    EXPECT_EQ(d.toString(), "{a : again, b : 2}"); // a key put twice keeps its first position
    // A value that already sits in another tree, or is borrowed, is copied.
    P other = P::createCFDictionary();
    P inner = P::createCFArray({integer(1)});
    other.put("list", inner);
    d.put("list", inner).put("again", other.get("list"));
    other.get("list").append(integer(2));
    EXPECT_EQ(d.get("list").toString() + d.get("again").toString() + other.get("list").toString(), "[1][1][1, 2]");
    plist_t foreign = plist_new_string("foreign");
    d.put("foreign", P(foreign, false));
    plist_free(foreign);
    // A container put into itself, or into its own child, would make a cycle.
    d.put("self", d);
    d.get("list").append(d);
    EXPECT_EQ(d.get("list").at(1).get("foreign").CFStringQString() + d.get("self").get("self").toString(), "foreignNULL");
    d.put("b", d.get("b"));
    other = P();
    EXPECT_EQ(parse(d.CFPropertyListToBytes(kBin)).get("b").CFNumberInt(0), 2);

    EXPECT_EQ(P::createCFNumberDouble(-2.9).CFNumberInt(0), -2);
    EXPECT_EQ(P::createCFNumberDouble(1e300).CFNumberInt64(0), kMax64);
    EXPECT_EQ(P::createCFNumberDouble(-1e300).CFNumberInt64(0), kMin64);
    EXPECT_EQ(P::createCFNumberDouble(std::nan("")).CFNumberInt(9), 9);
    EXPECT_EQ(P::createCFString("12").CFNumberInt(7) + P().CFNumberInt(8), 15); // only the right kind is read
}

TEST(PlistCFType, EveryKindRoundTripsAndPythonsPlistlibAgrees)
{
    const QByteArray bin = everyKind().CFPropertyListToBytes(kBin), xml = everyKind().CFPropertyListToBytes(kXml);
    ASSERT_TRUE(bin.startsWith("bplist00") && xml.startsWith("<?xml"));
    const P fromBin = parse(bin);
    EXPECT_EQ(fromBin.toString(), everyKind().toString()); // file order kept
    EXPECT_EQ(fromBin.CFPropertyListToBytes(kBin), bin);
    EXPECT_EQ(fromBin.get("date").CFDateToDateTime(0), utc(2001, 1, 1, 0, 0, 0, 250));
    EXPECT_EQ(fromBin.get("uid").CFKeyedArchiverUIDGetValue(), 7u);
    EXPECT_EQ(fromBin.get("min").CFNumberInt64(0), kMin64);
    // XML keeps neither date fractions nor UIDs.
    EXPECT_EQ(parse(xml).get("date").CFDateToDateTime(0), utc(2001, 1, 1));
    EXPECT_EQ(parse(parse(xml).CFPropertyListToBytes(kBin)).toString(), parse(xml).toString());
    QTemporaryDir dir;
    ASSERT_TRUE(testenv::writeFile(dir.filePath("a.plist"), bin));
    EXPECT_EQ(P::createCFPropertyListFromFile(dir.filePath("a.plist")).toString(), fromBin.toString());
    EXPECT_TRUE(P::createCFPropertyListFromFile(dir.filePath("missing")).isNull());
    EXPECT_TRUE(P::createCFPropertyListFromFile(dir.path()).isNull());

    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    EXPECT_EQ(plistfixtures::pythonLoads(bin), kEveryKindInPython.arg("250000", "uid:7"));
    EXPECT_EQ(plistfixtures::pythonLoads(xml), kEveryKindInPython.arg("0", "{CF$UID: 7}"));
    for (bool binary : {true, false}) {
        const P v = parse(plistfixtures::pythonDumps(
            QStringLiteral("{'s': 'h\u00e9', 'big': 2**63 - 1, 'r': 0.5, 't': True, 'd': b'\\x00\\xff', "
                           "'l': [1, {'x': []}], 'when': utc(1999, 12, 31, 23, 59, 58, 750000)%1}")
                .arg(binary ? ", 'u': plistlib.UID(9)" : ""),
            binary));
        EXPECT_EQ(v.toString().section(", when", 0, 0) + v.get("u").toString(),
                  QStringLiteral("{s : h\u00e9, big : 9223372036854775807, r : 0.5, t : 1, d : AP8=, l : [1, {x : []}]")
                      + (binary ? "9" : "NULL"));
        EXPECT_TRUE(v.get("t").isCFBoolean());
        EXPECT_EQ(v.get("when").CFDateToDateTime(0), utc(1999, 12, 31, 23, 59, 58, binary ? 750 : 0));
    }
}

TEST(PlistCFType, DatesKeepTheirInstant)
{
    // Before 2001 with fractions, milliseconds that are no exact binary
    // fraction, local time, and instants outside libplist's 32-bit seconds
    // (1933-2069), which must not wrap.
    for (const QDateTime& when : {utc(2000, 12, 31, 23, 59, 59, 250), utc(1969, 7, 20, 20, 17, 40, 1),
                                  QDateTime(QDate(2010, 6, 1), QTime(8, 0, 0, 5), Qt::LocalTime),
                                  utc(2100, 1, 1, 0, 0, 0, 500), utc(1601, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999)})
        EXPECT_EQ(parse(P::createCFArray({P::createCFDate(when)}).CFPropertyListToBytes(kBin)).at(0).CFDateToDateTime(0), when);
    EXPECT_TRUE(P::createCFDate(QDateTime()).isNull());
    EXPECT_EQ(P::createCFDate(utc(2001, 1, 1)).CFDateToDateTime(60), utc(2001, 1, 1, 0, 1));
    // Dates written by another tool: before 2001 with a fraction, far outside 32 bits, and garbage.
    BplistWriter w;
    const P raw = parse(w.bytes(w.addArray({w.addDate(-1.25), w.addDate(5e9), w.addDate(std::nan(""))})));
    EXPECT_EQ(raw.at(0).CFDateToDateTime(0).addMSecs(1250), utc(2001, 1, 1));
    EXPECT_EQ(raw.at(1).CFDateToDateTime(0), utc(2001, 1, 1).addSecs(qint64(5e9)));
    EXPECT_TRUE(raw.at(2).CFDateToDateTime(0).isNull());
}

TEST(PlistCFType, BrokenTextIsWrittenRepairedAndStringsEndAtTheirFirstNul)
{
    // Keys and a value with bytes that are no UTF-8, as a damaged file may
    // hold them; both keys repair to the same text.
    BplistWriter w;
    const quint64 str = w.addAscii("x\xC3");
    const P damaged = parse(w.bytes(w.addDict({w.addAscii("k\xBD"), w.addAscii("k\xBE")}, {str, str})));
    for (CFPropertyListFormat f : {kBin, kXml}) {
        const QByteArray bytes = damaged.CFPropertyListToBytes(f);
        EXPECT_EQ(parse(bytes).get(QStringLiteral("k\uFFFD")).CFStringQString(), QStringLiteral("x\uFFFD")) << f;
        if (plistfixtures::havePython()) {
            EXPECT_EQ(plistfixtures::pythonLoads(bytes), QStringLiteral("{k\uFFFD: x\uFFFD}")) << f;
        }
    }
    EXPECT_TRUE(plistdetail::hasBrokenText(damaged.ref())); // the tree itself is left as it was

    // NUL inside keys and values, short and long counts, ASCII and UTF-16;
    // copying and writing the result must stay inside its buffers.
    BplistWriter n;
    const QList<quint64> keys = {n.addAscii(QByteArray("a\0b", 3)), n.addAscii(QByteArray("long key\0", 9) + QByteArray(20, 'z')),
                                 n.addUtf16(QStringLiteral("\u00E9t\u00E9"))};
    const QList<quint64> values = {n.addAscii(QByteArray("x\0y", 3)), n.addUtf16(QStringLiteral("\u65E5") + QChar(0) + "tail"),
                                   n.addAscii(QByteArray(1, '\0'))};
    const P d = parse(n.bytes(n.addDict(keys, values)));
    EXPECT_EQ(d.toString(), QStringLiteral("{a : x, long key : \u65E5, \u00E9t\u00E9 : }"));
    const P copy = P::createCFDictionaryCreateMutableCopy(d);
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kBin)).toString(), d.toString());
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kXml)).toString(), d.toString());
}

TEST(PlistCFType, ShortDamagedAndMalformedListsAreRefused)
{
    // "bplist" alone (6 bytes) is read as XML, which it is not.
    for (const QByteArray& bad : {QByteArray(), QByteArray("bplist"), QByteArray("bplist00"), QByteArray("<plist><dict>"),
                                  QByteArray(64, '\0'), QByteArray("<plist><string>a\0b</string></plist>", 34)})
        EXPECT_TRUE(parse(bad).isNull()) << bad.toStdString();
    EXPECT_EQ(parse(QByteArray("<plist><string>ab</string></plist>\0\0", 36)).CFStringQString(), "ab");
    const QByteArray good = everyKind().CFPropertyListToBytes(kBin);
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_TRUE(parse(good.left(n)).isNull()) << n;

    const auto one = [](auto build) {
        BplistWriter w;
        return build(w);
    };
    EXPECT_EQ(parse(one([](BplistWriter& w) { const quint64 i = w.addInt(1); return w.bytes(w.addArray({i, i})); })).toString(),
              "[1, 1]");
    const QByteArray refused[] = {
        one([](BplistWriter& w) { return w.bytes(w.addArray({5})); }),      // a reference past the table
        one([](BplistWriter& w) { w.addArray({0}); return w.bytes(0); }), // contains itself
        one([](BplistWriter& w) { w.addArray({1}); w.addDict({2}, {0}); w.addAscii("k"); return w.bytes(0); }),
        // 2^60 items, more string bytes than there are, a count cut off
        one([](BplistWriter& w) { w.addRaw(QByteArray("\xAF\x13", 2) + QByteArray::fromHex("1000000000000000")); return w.bytes(0); }),
        one([](BplistWriter& w) { w.addRaw(QByteArray("\x5F\x10\xFF", 3) + "short"); return w.bytes(0); }),
        one([](BplistWriter& w) { w.addRaw(QByteArray("\x4F\x13", 2)); return w.bytes(0); }),
        // trailers that do not fit: more objects than offsets, top past the end, no objects
        one([](BplistWriter& w) { w.addInt(1); return w.bytes(0, 1000); }),
        one([](BplistWriter& w) { w.addInt(1); return w.bytes(1); }),
        one([](BplistWriter& w) { w.addInt(1); return w.bytes(0, 0); }),
    };
    for (const QByteArray& bytes : refused)
        EXPECT_TRUE(parse(bytes).isNull()) << bytes.toHex().toStdString();
    // Offset size 9; offset table past the trailer; the object inside the header.
    for (const auto& [at, bytes] : {std::pair{26, QByteArray(1, 9)}, std::pair{1, QByteArray(1, char(0xF0))},
                                    std::pair{36, QByteArray(4, '\0')}}) {
        QByteArray bad = one([](BplistWriter& w) { w.addInt(1); return w.bytes(0); });
        bad.replace(bad.size() - at, bytes.size(), bytes);
        EXPECT_TRUE(parse(bad).isNull()) << at;
    }
    // Objects that overlap, which no writer makes: a number whose offset lies
    // inside a string (its last bytes read as the integer 5), and two table
    // entries for one object.
    for (const auto& [offset, result] : {std::pair{13, "[ab\x10\x05, 0]"}, std::pair{11, "NULL"}, std::pair{8, "NULL"}}) {
        BplistWriter w;
        const quint64 str = w.addAscii("ab\x10\x05");
        const quint64 replaced = w.addInt(0);
        QByteArray bytes = w.bytes(w.addArray({str, replaced}));
        bytes.replace(bytes.size() - 32 - 8, 4, QByteArray::fromHex(QByteArray::number(offset, 16).rightJustified(8, '0')));
        EXPECT_EQ(parse(bytes).toString(), result) << offset;
    }
}

TEST(PlistCFType, SharingAndNestingAreBounded)
{
    // Each array holds the next one twice: 40 levels would make 2^41 nodes
    // out of a few hundred bytes; 8 levels (511 nodes) are fine.
    auto doubling = [](int levels) {
        BplistWriter w;
        for (int i = 0; i < levels; ++i)
            w.addArray({quint64(i + 1), quint64(i + 1)});
        w.addInt(7);
        return parse(w.bytes(0));
    };
    EXPECT_TRUE(doubling(40).isNull());
    EXPECT_EQ(doubling(8).at(1).at(0).at(1).array_size(), 2);
    auto nestedBinary = [](int depth) {
        BplistWriter w;
        for (int i = 0; i < depth; ++i)
            w.addArray({quint64(i + 1)});
        w.addInt(1);
        return w.bytes(0);
    };
    auto nestedXml = [](int depth, const QByteArray& between = QByteArray()) {
        return "<plist>" + QByteArray("<array>" + between).repeated(depth) + QByteArray("</array>").repeated(depth) + "</plist>";
    };
    EXPECT_TRUE(parse(nestedBinary(P::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedBinary(P::kMaxNesting + 1)).isNull());
    EXPECT_TRUE(parse(nestedBinary(200000)).isNull()); // would overflow libplist's stack
    EXPECT_TRUE(parse(nestedXml(P::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedXml(P::kMaxNesting + 1)).isNull());
    // Closing tags that libplist skips must not lower the count.
    EXPECT_TRUE(parse(nestedXml(600, "<!-- </array> -->")).isNull());
    EXPECT_TRUE(parse(nestedXml(600, "<string><![CDATA[</array>]]></string>")).isNull());
    // As many nodes as a binary list may expand to are refused as XML too
    // ("<true/>" takes 7 bytes, libplist spends over 100 on it).
    EXPECT_TRUE(parse("<plist><array>" + QByteArray("<true/>").repeated(int(plistdetail::kMaxNodesAbsolute)) + "</array></plist>")
                    .isNull());
    // Many containers side by side are no nesting.
    EXPECT_EQ(parse("<plist><array>" + QByteArray("<dict><key>k</key><array/></dict>").repeated(5000) + "</array></plist>")
                  .array_size(),
              5000);

    // Markup inside comments, CDATA, processing instructions, quoted DOCTYPE
    // and attribute values is no markup.
    const std::pair<const char*, int> bounds[] = {
        {"<!-- <array><array> --><array></array>", 1},
        {"<? <array> \"?>\" <array> ?><array></array>", 1},
        {"<!DOCTYPE x \"[<array>\" [ <!ENTITY a \"]>\"> ]><array></array>", 1},
        {"<array a=\"></array>\"><array></array></array>", 2},
        {"<array ><dict\n><array />", 2},
    };
    for (const auto& [xml, depth] : bounds)
        EXPECT_EQ(plistdetail::xmlNestingBound(xml, std::strlen(xml)), depth) << xml;
    // Text that ends on a closing quote inside unfinished markup, with no
    // byte after it to lean on (the sanitizers see any read past the end).
    for (const char* text : {"<array><?x \"a\"", "<array><!DOCTYPE x [\"a\""}) {
        const std::vector<char> exact(text, text + std::strlen(text));
        EXPECT_EQ(plistdetail::xmlNestingBound(exact.data(), exact.size()), 1) << text;
    }
}

// A keyed archive whose root lists NS.keys and NS.objects as UIDs into
// "$objects": 0 "$null", 1 the root, 2 "k1", 3 "k2", 4 "k3", 5 "v1", 6 "v2", 7 the integer 7.
P handMadeArchive(const QList<long>& keys, const QList<long>& objects)
{
    const auto uids = [](const QList<long>& indexes) {
        P list = P::createCFArray();
        for (long i : indexes)
            list.append(P::createCFKeyedArchiverUID(i));
        return list;
    };
    P root = P::createCFDictionary();
    root.put("NS.keys", uids(keys)).put("NS.objects", uids(objects));
    P archive = P::createCFDictionary();
    archive.put("$objects", P::createCFArray({P::createCFString("$null"), root, P::createCFString("k1"), P::createCFString("k2"),
                                              P::createCFString("k3"), P::createCFString("v1"), P::createCFString("v2"), integer(7)}));
    archive.put("$top", P::createCFDictionary().put("root", P::createCFKeyedArchiverUID(1)));
    return archive;
}

// Python's plistlib sees the layout Foundation writes, and values come back
// as copies that outlive the archive (run under the sanitizers: a value
// shared between the archive and its source would be freed twice).
TEST(NSKeyedArchiver, WritesTheArchiveLayoutAndReadsItBack)
{
    P source = P::createCFDictionary();
    source.put("s", P::createCFString("x"));
    QHash<QString, P> map{{"a", source.get("s")}, {"b", integer(-2)}, {"none", P()}};
    const P archive = parse(P::createNSDictionaryStringCFType(map, true).CFPropertyListToBytes(kBin));
    map.clear();
    source = P();
    if (plistfixtures::havePython())
        EXPECT_EQ(plistfixtures::pythonLoads(archive.CFPropertyListToBytes(kBin)),
                  "{$archiver: NSKeyedArchiver, $objects: [$null, {NS.keys: [uid:2, uid:3], NS.objects: [uid:4, uid:5], "
                  "$class: uid:6}, a, b, x, -2, {$classes: [NSMutableDictionary, NSDictionary, NSObject], "
                  "$classname: NSMutableDictionary}], $top: {root: uid:1}, $version: 100000}");
    QHash<QString, P> back = P::parseNSDictionaryStringCFType(archive);
    EXPECT_EQ(back.keys().size(), 2);
    EXPECT_EQ(back.value("a").CFStringQString() + back.value("b").toString(), "x-2");
    EXPECT_EQ(parse(P::createNSDictionaryStringCFType({}, false).CFPropertyListToBytes(kBin)).get("$objects").toString(),
              "[$null, {NS.keys : [], NS.objects : [], $class : 2}, {$classes : [NSDictionary, NSObject], "
              "$classname : NSDictionary}]");
}

TEST(NSKeyedArchiver, BackupFileRecordsAreReadAndMalformedArchivesGiveWhatIsThere)
{
    if (plistfixtures::havePython()) { // the layout of a backup file list's "file" column
        const P archive = parse(plistfixtures::pythonDumps(
            "{'$archiver': 'NSKeyedArchiver', '$version': 100000, '$top': {'root': plistlib.UID(1)}, "
            "'$objects': ['$null', {'RelativePath': plistlib.UID(2), 'Size': 4096, '$class': plistlib.UID(3)}, "
            "'Library/a.plist', {'$classes': ['MBFile', 'NSObject'], '$classname': 'MBFile'}]}",
            true));
        const QHash<QString, P> file = archive.NSKeyedArchiver(); // borrowed: valid while the archive lives
        EXPECT_EQ(file.value("RelativePath").CFStringQString() + file.value("Size").toString(), "Library/a.plist4096");
        EXPECT_EQ(file.value("$class").get("$classname").CFStringQString(), "MBFile");
    }
    const auto decoded = [](const QList<long>& keys, const QList<long>& objects) {
        QStringList out;
        const QHash<QString, P> map = P::parseNSDictionaryStringCFType(handMadeArchive(keys, objects));
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            out << it.key() + "=" + it.value().toString();
        out.sort();
        return out.join(' ');
    };
    EXPECT_EQ(decoded({2, 3, 4}, {5, 6, 7}), "k1=v1 k2=v2 k3=7");
    EXPECT_EQ(decoded({2, 3, 4}, {5, 6}), "k1=v1 k2=v2"); // NS.keys longer than NS.objects
    // A key that is a number reads as ""; a value past the end of "$objects",
    // also one past 32 bits that a cut would make valid, has no node; a later
    // equal key replaces an earlier one.
    EXPECT_EQ(decoded({7, 2, 3, 3, 4}, {5, 99, 5, 6, (long(1) << 32) + 5}), "=v1 k1=NULL k2=v2 k3=NULL");
    P archive = handMadeArchive({2}, {5});
    archive.get("$objects").at(1).put("far", P::createCFKeyedArchiverUID((long(1) << 32) + 2));
    EXPECT_TRUE(archive.NSKeyedArchiver().value("far").isNull());
    // Roots past the table or of the wrong kind.
    for (const P& top : {P::createCFKeyedArchiverUID((long(1) << 32) + 1), P::createCFKeyedArchiverUID(8), integer(1)}) {
        archive.get("$top").put("root", top);
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(archive).isEmpty() && archive.NSKeyedArchiver().isEmpty());
    }
    for (const P& v : {P(), P::createCFArray(), P::createCFDictionary()})
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(v).isEmpty() && v.NSKeyedArchiver().isEmpty());
}

} // namespace
