#include <QtEndian>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <plist/plist.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/plistcftype.h"
#include "foundation/plistcftype_p.h"

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

P parse(const QByteArray& bytes) { return P::createCFPropertyList(bytes); }

P integer(qint64 v) { return P::createCFNumberInt64(v); }

// Binary property lists written byte by byte, without the code under test, so
// that any graph can be made, malformed ones included. An object is a marker
// byte and its body; references take 2 bytes, offsets 4.
QByteArray bigEndian(quint64 v, int size)
{
    const quint64 big = qToBigEndian(v);
    return QByteArray(reinterpret_cast<const char*>(&big) + 8 - size, size);
}

// Counts from 15 on follow the marker as an integer object.
QByteArray object(int type, qsizetype count, const QByteArray& body)
{
    if (count < 15)
        return char(type << 4 | int(count)) + body;
    return char(type << 4 | 0x0f) + (char(0x13) + bigEndian(quint64(count), 8)) + body;
}

QByteArray refs(const QList<quint64>& list)
{
    QByteArray out;
    for (quint64 r : list)
        out += bigEndian(r, 2);
    return out;
}

QByteArray intObject(qint64 v) { return char(0x13) + bigEndian(quint64(v), 8); }

QByteArray dateObject(double secondsSince2001)
{
    quint64 bits;
    std::memcpy(&bits, &secondsSince2001, sizeof bits);
    return char(0x33) + bigEndian(bits, 8);
}

QByteArray ascii(const QByteArray& s) { return object(0x5, s.size(), s); }

QByteArray utf16(const QString& s)
{
    QByteArray units;
    for (QChar c : s)
        units += bigEndian(c.unicode(), 2);
    return object(0x6, s.size(), units);
}

QByteArray arrayOf(const QList<quint64>& items) { return object(0xA, items.size(), refs(items)); }

QByteArray dictOf(const QList<quint64>& k, const QList<quint64>& v) { return object(0xD, k.size(), refs(k) + refs(v)); }

// The objects in order (a reference is an index into this list); numObjects
// overrides the count the trailer gives (-1: the real one).
QByteArray bplist(const QList<QByteArray>& objects, quint64 top = 0, qint64 numObjects = -1)
{
    QByteArray out("bplist00"), table;
    for (const QByteArray& o : objects) {
        table += bigEndian(quint64(out.size()), 4);
        out += o;
    }
    const quint64 tableOffset = quint64(out.size());
    out += table + QByteArray(6, '\0') + char(4) + char(2);
    out += bigEndian(numObjects < 0 ? quint64(objects.size()) : quint64(numObjects), 8);
    return out + bigEndian(top, 8) + bigEndian(tableOffset, 8);
}

bool havePython() { return testenv::haveTool("python3"); }

// Python's plistlib as a second reader: repr() of what it reads.
QString pythonLoads(const QByteArray& plist)
{
    const QString script = "import plistlib, sys; print(repr(plistlib.loads(sys.stdin.buffer.read())), end='')";
    QByteArray out, err;
    if (testenv::runTool("python3", {"-c", script}, &out, &err, plist) != 0)
        return "ERROR: " + QString::fromUtf8(err);
    return QString::fromUtf8(out);
}

// One value of every kind, in a fixed order, and how Python's plistlib reads
// it (%1: the date's fraction, %2: the UID, which XML cannot hold).
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
    "{'bool': True, 'int': -5, 'min': -9223372036854775808, 'max': 9223372036854775807, 'real': 2.5, "
    "'string': 'Grüße \u65E5\u672C <&>', 'empty': '', 'data': b'\\x00\\x01\\xfe\\xff', "
    "'date': datetime.datetime(2001, 1, 1, 0, 0%1), 'uid': %2, 'dict': {'inner': [1, 'two']}}");

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
    EXPECT_EQ(d.get("list").toString(), "[1]");
    EXPECT_EQ(d.get("again").toString(), "[1]");
    EXPECT_EQ(other.get("list").toString(), "[1, 2]");
    plist_t foreign = plist_new_string("foreign");
    d.put("foreign", P(foreign, false));
    plist_free(foreign);
    // A container put into itself, or into its own child, would make a cycle.
    d.put("self", d);
    d.get("list").append(d);
    EXPECT_EQ(d.get("list").at(1).get("foreign").CFStringQString(), "foreign");
    EXPECT_EQ(d.get("self").get("self").toString(), "NULL");
    d.put("b", d.get("b"));
    other = P();
    EXPECT_EQ(parse(d.CFPropertyListToBytes(kBin)).get("b").CFNumberInt(0), 2);

    EXPECT_EQ(P::createCFNumberDouble(-2.9).CFNumberInt(0), -2);
    EXPECT_EQ(P::createCFNumberDouble(1e300).CFNumberInt64(0), kMax64);
    EXPECT_EQ(P::createCFNumberDouble(-1e300).CFNumberInt64(0), kMin64);
    EXPECT_EQ(P::createCFNumberDouble(std::nan("")).CFNumberInt(9), 9);
    EXPECT_EQ(P::createCFString("12").CFNumberInt(7), 7); // only the right kind is read
    EXPECT_EQ(P().CFNumberInt(8), 8);
}

TEST(PlistCFType, EveryKindRoundTripsAndPythonsPlistlibAgrees)
{
    const QByteArray bin = everyKind().CFPropertyListToBytes(kBin);
    const QByteArray xml = everyKind().CFPropertyListToBytes(kXml);
    const P fromBin = parse(bin);
    EXPECT_EQ(fromBin.toString(), everyKind().toString()); // file order kept
    EXPECT_EQ(fromBin.CFPropertyListToBytes(kBin), bin);
    EXPECT_EQ(fromBin.get("date").CFDateToDateTime(0), utc(2001, 1, 1, 0, 0, 0, 250));
    // XML keeps neither date fractions nor UIDs.
    EXPECT_EQ(parse(xml).get("date").CFDateToDateTime(0), utc(2001, 1, 1));
    EXPECT_EQ(parse(parse(xml).CFPropertyListToBytes(kBin)).toString(), parse(xml).toString());
    if (!havePython())
        GTEST_SKIP() << "python3 not available";
    EXPECT_EQ(pythonLoads(bin), kEveryKindInPython.arg(", 0, 250000", "UID(7)"));
    EXPECT_EQ(pythonLoads(xml), kEveryKindInPython.arg("", "{'CF$UID': 7}"));
}

TEST(PlistCFType, DatesKeepTheirInstant)
{
    // Before 2001 with fractions, milliseconds that are no exact binary
    // fraction, local time, and instants outside libplist's 32-bit seconds
    // (1933-2069), which must not wrap.
    const QDateTime dates[] = {utc(2000, 12, 31, 23, 59, 59, 250), utc(1969, 7, 20, 20, 17, 40, 1),
                               QDateTime(QDate(2010, 6, 1), QTime(8, 0, 0, 5), Qt::LocalTime),
                               utc(2100, 1, 1, 0, 0, 0, 500), utc(1601, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999)};
    for (const QDateTime& when : dates) {
        const QByteArray bytes = P::createCFArray({P::createCFDate(when)}).CFPropertyListToBytes(kBin);
        EXPECT_EQ(parse(bytes).at(0).CFDateToDateTime(0), when);
    }
    EXPECT_TRUE(P::createCFDate(QDateTime()).isNull());
    EXPECT_EQ(P::createCFDate(utc(2001, 1, 1)).CFDateToDateTime(60), utc(2001, 1, 1, 0, 1));
    // Dates written by another tool: before 2001 with a fraction, far outside 32 bits, and garbage.
    const P raw = parse(bplist({arrayOf({1, 2, 3}), dateObject(-1.25), dateObject(5e9), dateObject(std::nan(""))}));
    EXPECT_EQ(raw.at(0).CFDateToDateTime(0).addMSecs(1250), utc(2001, 1, 1));
    EXPECT_EQ(raw.at(1).CFDateToDateTime(0), utc(2001, 1, 1).addSecs(qint64(5e9)));
    EXPECT_TRUE(raw.at(2).CFDateToDateTime(0).isNull());
}

TEST(PlistCFType, BrokenTextIsWrittenRepairedAndStringsEndAtTheirFirstNul)
{
    // Keys and a value with bytes that are no UTF-8, as a damaged file may
    // hold them; both keys repair to the same text.
    const P damaged = parse(bplist({dictOf({1, 2}, {3, 3}), ascii("k\xBD"), ascii("k\xBE"), ascii("x\xC3")}));
    for (CFPropertyListFormat f : {kBin, kXml}) {
        const QByteArray bytes = damaged.CFPropertyListToBytes(f);
        EXPECT_EQ(parse(bytes).get(QStringLiteral("k\uFFFD")).CFStringQString(), QStringLiteral("x\uFFFD")) << f;
        if (havePython()) {
            EXPECT_EQ(pythonLoads(bytes), QStringLiteral("{'k\uFFFD': 'x\uFFFD'}")) << f;
        }
    }
    EXPECT_TRUE(plistdetail::hasBrokenText(damaged.ref())); // the tree itself is left as it was

    // NUL inside keys and values, short and long counts, ASCII and UTF-16;
    // copying and writing the result must stay inside its buffers.
    const P d = parse(bplist({dictOf({1, 2, 3}, {4, 5, 6}),
                              ascii(QByteArray("a\0b", 3)),
                              ascii(QByteArray("long key\0", 9) + QByteArray(20, 'z')),
                              utf16(QStringLiteral("\u00E9t\u00E9")),
                              ascii(QByteArray("x\0y", 3)),
                              utf16(QStringLiteral("\u65E5") + QChar(0) + "tail"),
                              ascii(QByteArray(1, '\0'))}));
    EXPECT_EQ(d.toString(), QStringLiteral("{a : x, long key : \u65E5, \u00E9t\u00E9 : }"));
    const P copy = P::createCFDictionaryCreateMutableCopy(d);
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kBin)).toString(), d.toString());
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kXml)).toString(), d.toString());
}

TEST(PlistCFType, ShortDamagedAndMalformedListsAreRefused)
{
    const QByteArray good = everyKind().CFPropertyListToBytes(kBin);
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_TRUE(parse(good.left(n)).isNull()) << n;
    EXPECT_EQ(parse(bplist({arrayOf({1, 1}), intObject(1)})).toString(), "[1, 1]");
    // The smallest lists there are: one one-byte object, offsets and
    // references of one byte.
    for (const auto& [marker, shown] : {std::pair{'\xD0', "{}"}, {'\xA0', "[]"}, {'\x09', "1"}, {'\x08', "0"}}) {
        const QByteArray bytes = "bplist00" + QByteArray(1, marker) + char(8) + QByteArray(6, '\0') + char(1) + char(1)
                                 + bigEndian(1, 8) + bigEndian(0, 8) + bigEndian(9, 8);
        EXPECT_EQ(parse(bytes).toString(), shown) << bytes.toHex().toStdString();
    }
    EXPECT_EQ(parse(QByteArray("<plist><string>ab</string></plist>\0\0", 36)).CFStringQString(), "ab");

    const QByteArray one = bplist({intObject(1)});
    const QByteArray refused[] = {
        "<plist><dict>",
        QByteArray(64, '\0'),
        QByteArray("<plist><string>a\0b</string></plist>", 34),
        bplist({arrayOf({5})}), // a reference past the table
        bplist({arrayOf({0})}), // contains itself
        bplist({arrayOf({1}), dictOf({2}, {0}), ascii("k")}),
        // 2^60 items, more string bytes than there are, a count cut off
        bplist({QByteArray("\xAF\x13", 2) + QByteArray::fromHex("1000000000000000")}),
        bplist({QByteArray("\x5F\x10\x10", 3) + "short"}),
        bplist({QByteArray("\x4F\x13", 2)}),
        // trailers that do not fit: more objects than offsets, top past the end, no objects
        bplist({intObject(1)}, 0, 1000),
        bplist({intObject(1)}, 1),
        bplist({intObject(1)}, 0, 0),
        // offset size 9, offset table past the trailer, the object inside the header
        QByteArray(one).replace(one.size() - 26, 1, QByteArray(1, 9)),
        QByteArray(one).replace(one.size() - 1, 1, QByteArray(1, char(0xF0))),
        QByteArray(one).replace(one.size() - 36, 4, QByteArray(4, '\0')),
    };
    for (const QByteArray& bytes : refused)
        EXPECT_TRUE(parse(bytes).isNull()) << bytes.toHex().toStdString();
    // Objects that overlap, which no writer makes: a number whose offset lies
    // inside a string (its last bytes read as the integer 5), and two table
    // entries for one object.
    const std::pair<int, const char*> overlaps[] = {{13, "[ab\x10\x05, 0]"}, {11, "NULL"}, {8, "NULL"}};
    for (const auto& [offset, result] : overlaps) {
        QByteArray bytes = bplist({ascii("ab\x10\x05"), intObject(0), arrayOf({0, 1})}, 2);
        bytes.replace(bytes.size() - 32 - 8, 4, bigEndian(quint64(offset), 4));
        EXPECT_EQ(parse(bytes).toString(), result) << offset;
    }
}

TEST(PlistCFType, SharingAndNestingAreBounded)
{
    // Each array holds the next one twice: 40 levels would make 2^41 nodes
    // out of a few hundred bytes; 8 levels (511 nodes) are fine.
    const auto nestedBinary = [](int depth, int width) {
        QList<QByteArray> objects;
        for (quint64 i = 1; i <= quint64(depth); ++i)
            objects << arrayOf(QList<quint64>(width, i));
        return bplist(objects << intObject(7));
    };
    EXPECT_TRUE(parse(nestedBinary(40, 2)).isNull());
    EXPECT_EQ(parse(nestedBinary(8, 2)).at(1).at(0).at(1).array_size(), 2);
    const auto nestedXml = [](int depth, const QByteArray& between = QByteArray()) {
        const QByteArray open = QByteArray("<array>" + between).repeated(depth);
        return "<plist>" + open + QByteArray("</array>").repeated(depth) + "</plist>";
    };
    EXPECT_TRUE(parse(nestedBinary(P::kMaxNesting, 1)).isCFArray());
    EXPECT_TRUE(parse(nestedBinary(P::kMaxNesting + 1, 1)).isNull());
    EXPECT_TRUE(parse(nestedBinary(200000, 1)).isNull()); // would overflow libplist's stack
    EXPECT_TRUE(parse(nestedXml(P::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedXml(P::kMaxNesting + 1)).isNull());
    // Closing tags that libplist skips must not lower the count.
    EXPECT_TRUE(parse(nestedXml(600, "<!-- </array> -->")).isNull());
    EXPECT_TRUE(parse(nestedXml(600, "<string><![CDATA[</array>]]></string>")).isNull());
    // As many nodes as a binary list may expand to are refused as XML too
    // ("<true/>" takes 7 bytes, libplist spends over 100 on it).
    const QByteArray manyTrues = QByteArray("<true/>").repeated(int(plistdetail::kMaxNodesAbsolute));
    EXPECT_TRUE(parse("<plist><array>" + manyTrues + "</array></plist>").isNull());
    // Many containers side by side are no nesting.
    const QByteArray siblings = QByteArray("<dict><key>k</key><array/></dict>").repeated(5000);
    EXPECT_EQ(parse("<plist><array>" + siblings + "</array></plist>").array_size(), 5000);

    // libplist looks up each key of an XML dictionary among those before
    // it: 1.9 million keys (45 MB) took 100 s. The keys of one dictionary
    // are bounded; as many spread over several dictionaries are no harm.
    const auto keyed = [](quint64 n, quint64 from) {
        QByteArray out = "<dict>";
        for (quint64 i = from; i < from + n; ++i)
            out += "<key>" + QByteArray::number(i) + "</key><true/>";
        return out + "</dict>";
    };
    const quint64 cap = plistdetail::kMaxXmlDictKeys;
    const struct { QByteArray xml; qint64 size; } dicts[] = {
        {keyed(cap, 0), qint64(cap)},
        {keyed(cap + 1, 0), -1},
        {"<array>" + keyed(cap, 0) + keyed(cap, cap) + "</array>", 2},
        {"<dict><key>a</key>" + keyed(cap + 1, 0) + "</dict>", -1}, // deeper down
        {keyed(1900000, 0), -1},
        // A phone's move of a large backup's files names each in one dictionary.
        {keyed(100000, 0), 100000},
    };
    for (const auto& [xml, size] : dicts) {
        const P list = parse("<plist>" + xml + "</plist>");
        EXPECT_EQ(list.isNull(), size < 0) << xml.size();
        if (size >= 0)
            EXPECT_EQ(list.isCFArray() ? list.array_size() : list.dict_size(), size) << xml.size();
    }

    // Markup inside comments, CDATA, processing instructions, quoted DOCTYPE
    // and attribute values is no markup.
    const std::pair<const char*, int> bounds[] = {
        {"<!-- <array><array> --><array></array>", 1},
        {"<? <array> \"?>\" <array> ?><array></array>", 1},
        {"<!DOCTYPE x \"[<array>\" [ <!ENTITY a \"]>\"> ]><array></array>", 1},
        {"<array a=\"></array>\"><array></array></array>", 2},
        {"<array ><dict\n><array />", 2},
        // Text that ends on a closing quote inside unfinished markup, with no
        // byte after it to lean on (the sanitizers see any read past the end).
        {"<array><?x \"a\"", 1},
        {"<array><!DOCTYPE x [\"a\"", 1},
    };
    for (const auto& [xml, depth] : bounds) {
        const std::vector<char> exact(xml, xml + std::strlen(xml));
        EXPECT_EQ(plistdetail::xmlNestingBound(exact.data(), exact.size()), depth) << xml;
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
    QList<P> items{P::createCFString("$null"), root};
    for (const char* s : {"k1", "k2", "k3", "v1", "v2"})
        items << P::createCFString(s);
    P archive = P::createCFDictionary();
    archive.put("$objects", P::createCFArray(items << integer(7)));
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
    if (havePython()) {
        EXPECT_EQ(pythonLoads(archive.CFPropertyListToBytes(kBin)),
                  "{'$archiver': 'NSKeyedArchiver', '$objects': ['$null', {'NS.keys': [UID(2), UID(3)], "
                  "'NS.objects': [UID(4), UID(5)], '$class': UID(6)}, 'a', 'b', 'x', -2, "
                  "{'$classes': ['NSMutableDictionary', 'NSDictionary', 'NSObject'], "
                  "'$classname': 'NSMutableDictionary'}], '$top': {'root': UID(1)}, '$version': 100000}");
    }
    QHash<QString, P> back = P::parseNSDictionaryStringCFType(archive);
    EXPECT_EQ(back.keys().size(), 2);
    EXPECT_EQ(back.value("a").CFStringQString(), "x");
    EXPECT_EQ(back.value("b").toString(), "-2");
    const P empty = parse(P::createNSDictionaryStringCFType({}, false).CFPropertyListToBytes(kBin));
    EXPECT_EQ(empty.get("$objects").toString(),
              "[$null, {NS.keys : [], NS.objects : [], $class : 2}, {$classes : [NSDictionary, NSObject], "
              "$classname : NSDictionary}]");
}

TEST(NSKeyedArchiver, BackupFileRecordsAreReadAndMalformedArchivesGiveWhatIsThere)
{
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
    // The root's own values resolved (as a backup file list's records are
    // read), borrowed while the archive lives.
    P archive = handMadeArchive({2}, {5});
    archive.get("$objects").at(1).put("path", P::createCFKeyedArchiverUID(3));
    archive.get("$objects").at(1).put("far", P::createCFKeyedArchiverUID((long(1) << 32) + 2));
    EXPECT_EQ(archive.NSKeyedArchiver().value("path").CFStringQString(), "k2");
    EXPECT_TRUE(archive.NSKeyedArchiver().value("far").isNull());
    // Roots past the table or of the wrong kind, and no archive at all.
    const P roots[] = {P::createCFKeyedArchiverUID((long(1) << 32) + 1), P::createCFKeyedArchiverUID(8), integer(1)};
    for (const P& top : roots) {
        archive.get("$top").put("root", top);
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(archive).isEmpty());
        EXPECT_TRUE(archive.NSKeyedArchiver().isEmpty());
    }
    for (const P& v : {P(), P::createCFArray(), P::createCFDictionary()}) {
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(v).isEmpty());
        EXPECT_TRUE(v.NSKeyedArchiver().isEmpty());
    }
}


// A dictionary's key node reads as the string it holds and finds its value,
// as libplist hands such nodes out while walking a dictionary.
TEST(PlistCFType, KeyNodesReadAsTheirText)
{
    P d = P::createCFDictionary();
    const QString keys[] = {"Domain", QStringLiteral("Grüße \u65E5"), ""};
    for (const QString& k : keys)
        d.put(k, P::createCFString("v:" + k));
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(static_cast<plist_t>(d.ref()), &it);
    QStringList seen;
    for (;;) {
        char* name = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(static_cast<plist_t>(d.ref()), it, &name, &value);
        free(name);
        if (!value)
            break;
        const P key(plist_dict_item_get_key(value), false);
        EXPECT_TRUE(key.isCFString());
        seen << key.CFStringQString();
        EXPECT_EQ(d.get(key).CFStringQString(), "v:" + key.CFStringQString());
    }
    free(it);
    EXPECT_EQ(seen, QStringList(std::begin(keys), std::end(keys)));
}

} // namespace
