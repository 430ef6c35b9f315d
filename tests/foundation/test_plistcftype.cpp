#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <plist/plist.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/plistfixtures.h"

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

// One value of every kind, in a fixed order.
P everyKind()
{
    P d = P::createCFDictionary();
    d.put("bool", P::createCFBoolean(true))
        .put("false", P::createCFBoolean(false))
        .put("int", integer(-5))
        .put("min", integer(kMin64))
        .put("max", integer(kMax64))
        .put("real", P::createCFNumberDouble(2.5))
        .put("string", P::createCFString(QStringLiteral("Grüße \u65E5\u672C <&>")))
        .put("empty", P::createCFString(QString()))
        .put("data", P::createCFData(QByteArray("\x00\x01\xfe\xff", 4)))
        .put("date", P::createCFDate(utc(2001, 1, 1, 0, 0, 0, 250)))
        .put("uid", P::createCFKeyedArchiverUID(7))
        .put("array", P::createCFArray())
        .put("dict", P::createCFDictionary().put("inner", P::createCFArray({integer(1), P::createCFString("two")})));
    return d;
}

// XML keeps neither date fractions nor UIDs.
void expectEveryKind(const P& d, bool binary)
{
    ASSERT_TRUE(d.isCFDictionary());
    EXPECT_EQ(d.dict_size(), 13);
    EXPECT_TRUE(d.get("bool").CFNumberBool(false));
    EXPECT_TRUE(d.get("false").isCFBoolean());
    EXPECT_FALSE(d.get("false").CFNumberBool(true));
    EXPECT_EQ(d.get("int").CFNumberInt64(0), -5);
    EXPECT_EQ(d.get("min").CFNumberInt64(0), kMin64);
    EXPECT_EQ(d.get("max").CFNumberInt64(0), kMax64);
    EXPECT_EQ(d.get("real").CFNumberDouble(0), 2.5);
    EXPECT_EQ(d.get("string").CFStringQString(), QStringLiteral("Grüße \u65E5\u672C <&>"));
    EXPECT_TRUE(d.get("empty").isCFString());
    EXPECT_EQ(d.get("data").CFDataBytes(), QByteArray("\x00\x01\xfe\xff", 4));
    EXPECT_EQ(d.get("date").CFDateToDateTime(0), utc(2001, 1, 1, 0, 0, 0, binary ? 250 : 0));
    if (binary)
        EXPECT_EQ(d.get("uid").CFKeyedArchiverUIDGetValue(), 7u);
    else // libplist writes the CoreFoundation form and reads a dictionary back
        EXPECT_EQ(d.get("uid").get("CF$UID").CFNumberInt(0), 7);
    EXPECT_EQ(d.get("array").array_size(), 0);
    EXPECT_TRUE(d.get("array").isCFArray());
    EXPECT_EQ(d.get("dict").toString(), "{inner : [1, two]}");
}

} // namespace

TEST(PlistCFType, ReadersCutIntegersAndFallBackToDefaults)
{
    const struct { qint64 v; int i8, i16, i32; } cuts[] = {
        {300, 44, 300, 300},
        {70000, 112, 4464, 70000},
        {0x12345, 0x45, 0x2345, 0x12345},
        {0x180000000LL, 0, 0, std::numeric_limits<int>::min()},
        {0x1FFFFFFFFLL, -1, -1, -1},
        {-1, -1, -1, -1},
    };
    for (const auto& c : cuts) {
        const P n = integer(c.v);
        EXPECT_EQ(n.CFNumberInt8(0), char(c.i8)) << c.v;
        EXPECT_EQ(n.CFNumberInt16(0), c.i16) << c.v;
        EXPECT_EQ(n.CFNumberInt(0), c.i32) << c.v;
    }
    EXPECT_EQ(P::createCFNumberInt8(char(-128)).CFNumberInt64(0) + P::createCFNumberInt16(short(-300)).CFNumberInt64(0), -428);

    // Reals truncate toward zero, then cut; outside the 64-bit range the
    // conversion would be undefined, so it saturates, and NaN has no value.
    EXPECT_EQ(P::createCFNumberDouble(-2.9).CFNumberInt(0), -2);
    EXPECT_EQ(P::createCFNumberDouble(300.7).CFNumberInt8(0), 44);
    EXPECT_EQ(P::createCFNumberDouble(1e300).CFNumberInt64(0), kMax64);
    EXPECT_EQ(P::createCFNumberDouble(-1e300).CFNumberInt64(0), kMin64);
    EXPECT_EQ(P::createCFNumberDouble(std::nan("")).CFNumberInt(9), 9);
    EXPECT_TRUE(std::isinf(P::createCFNumberDouble(1e300).CFNumberFloat(0)));
    EXPECT_EQ(P::createCFKeyedArchiverUID(0x100000005L).CFKeyedArchiverUIDGetValue(), 5u);

    // Only the right kind is read.
    const P str = P::createCFString("12");
    EXPECT_EQ(str.CFNumberInt(7), 7);
    EXPECT_TRUE(integer(0).CFNumberBool(true));
    EXPECT_TRUE(str.CFDataBytes().isEmpty() && str.CFDateToDateTime(0).isNull() && str.CFKeyedArchiverUIDGetValue() == 0);

    for (const P& v : {P(), P(nullptr, true)}) {
        EXPECT_TRUE(v.isNull());
        EXPECT_FALSE(v.isCFNumber() || v.isCFBoolean() || v.isCFString() || v.isCFData() || v.isCFDate()
                     || v.isCFDictionary() || v.isCFArray() || v.isCFKeyedArchiverUID());
        EXPECT_EQ(v.CFNumberInt64(42), 42);
        EXPECT_EQ(v.toString(), "NULL");
        EXPECT_TRUE(v.CFPropertyListToBytes(kBin).isEmpty());
        EXPECT_TRUE(v.get("x").isNull() && v.at(0).isNull() && P::clone(v).isNull());
        EXPECT_TRUE(v.NSKeyedArchiver().isEmpty());
    }
}

TEST(PlistCFType, DictionaryAndArrayEditing)
{
    P d = P::createCFDictionary();
    d.put("a", integer(1)).put("b", integer(2)).put("c", integer(3));
    // A key put twice keeps its first position and holds the second value.
    d.put("a", P::createCFString("again"));
    EXPECT_EQ(d.toString(), "{a : again, b : 2, c : 3}");

    // Non-string keys use their text form; nodeless keys and values, and
    // editing of the wrong kind, change nothing.
    d.put(integer(42), P::createCFBoolean(true));
    EXPECT_TRUE(d.get(integer(42)).isCFBoolean());
    d.put(P(), P::createCFBoolean(true)).put("z", P());
    d.append(integer(1));
    d.dict_replace(P::createCFString("b"), integer(20));
    EXPECT_EQ(d.toString(), "{a : again, b : 20, c : 3, 42 : 1}");
    P array = P::createCFArray();
    array.put("k", integer(1));
    EXPECT_EQ(array.array_size(), 0);

    // A mutable copy is deep, and empty for a non-dictionary.
    P::createCFDictionaryCreateMutableCopy(d).put("new", integer(3));
    EXPECT_EQ(d.dict_size(), 4);
    EXPECT_EQ(P::createCFDictionaryCreateMutableCopy(array).toString(), "{}");

    // List creators: surplus keys are dropped, a nodeless key reads "NULL".
    const P fromLists = P::createCFDictionary({P::createCFString(QStringLiteral("schlüssel")), P(), P::createCFString("3rd")},
                                              {integer(1), integer(2)});
    EXPECT_EQ(fromLists.toString(), QStringLiteral("{schlüssel : 1, NULL : 2}"));

    array.append(integer(1)).append(integer(2));
    EXPECT_TRUE(array.at(-1).isNull() && array.at(2).isNull());
    array.array_replace(1, P::createCFString("two"));
    // Out of range: nothing changes and the item keeps (and later frees) its node.
    P item = P::createCFString("kept");
    array.array_replace(5, item);
    array.array_replace(-1, item);
    EXPECT_EQ(array.toString(), "[1, two]");
    array = P();
    EXPECT_FALSE(item.CFPropertyListToBytes(kBin).isEmpty());
}

// Run under the sanitizers: a node in two trees, or a node freed while a tree
// still holds it, shows up as a double free or a use after free.
TEST(PlistCFType, InsertedValuesBelongToTheirContainer)
{
    P d = P::createCFDictionary();
    {
        P v = P::createCFString("entry");
        P vCopy = v;
        d.put("k", v);
    }
    EXPECT_EQ(d.get("k").CFStringQString(), "entry");

    // A value that already sits in another tree, or is borrowed, is copied.
    P other = P::createCFDictionary();
    P inner = P::createCFArray({integer(1)});
    other.put("list", inner);
    d.put("list", inner);
    d.put("again", other.get("list"));
    P arr = P::createCFArray();
    arr.append(inner).append(inner);
    other.get("list").append(integer(2));
    EXPECT_EQ(other.get("list").toString(), "[1, 2]");
    EXPECT_EQ(d.get("list").toString(), "[1]");
    EXPECT_EQ(d.get("again").toString(), "[1]");
    EXPECT_EQ(arr.toString(), "[[1], [1]]");

    // So is a borrowed root that someone else owns.
    plist_t foreign = plist_new_string("foreign");
    d.put("foreign", P(foreign, false));
    plist_free(foreign);
    EXPECT_EQ(d.get("foreign").CFStringQString(), "foreign");

    // A container put into itself, or into its own child, would make a cycle.
    d.put("self", d);
    EXPECT_EQ(d.get("self").get("k").CFStringQString(), "entry");
    EXPECT_TRUE(d.get("self").get("self").isNull());
    d.get("list").append(d);
    EXPECT_EQ(d.get("list").at(1).get("k").CFStringQString(), "entry");

    // Replacing an entry with itself, or a slot with its own item.
    d.put("k", d.get("k"));
    EXPECT_EQ(d.get("k").CFStringQString(), "entry");
    arr.array_replace(0, arr.at(0));
    EXPECT_EQ(arr.toString(), "[[1], [1]]");

    EXPECT_TRUE(parse(d.CFPropertyListToBytes(kBin)).isCFDictionary());
    other = P();
    EXPECT_EQ(d.get("list").at(0).CFNumberInt(0), 1);
}

TEST(PlistCFType, RoundTripsEveryKind)
{
    const P d = everyKind();
    expectEveryKind(d, true);
    const QByteArray bin = d.CFPropertyListToBytes(kBin);
    ASSERT_TRUE(bin.startsWith("bplist00"));
    const P fromBin = parse(bin);
    expectEveryKind(fromBin, true);
    EXPECT_EQ(fromBin.toString(), d.toString()); // file order kept
    EXPECT_EQ(fromBin.CFPropertyListToBytes(kBin), bin);
    // Every format value but XML writes binary.
    EXPECT_EQ(d.CFPropertyListToBytes(static_cast<CFPropertyListFormat>(0)), bin);
    EXPECT_EQ(d.CFPropertyListToData(kBin).CFDataBytes(), bin);

    const QByteArray xml = d.CFPropertyListToBytes(kXml);
    EXPECT_TRUE(xml.startsWith("<?xml"));
    const P fromXml = parse(xml);
    expectEveryKind(fromXml, false);
    EXPECT_EQ(parse(fromXml.CFPropertyListToBytes(kBin)).toString(), fromXml.toString());

    // A borrowed sub-tree serialises on its own.
    EXPECT_EQ(parse(d.get("dict").CFPropertyListToBytes(kBin)).toString(), "{inner : [1, two]}");

    QTemporaryDir dir;
    QFile f(dir.filePath("a.plist"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bin);
    f.close();
    expectEveryKind(P::createCFPropertyListFromFile(f.fileName()), true);
    EXPECT_TRUE(P::createCFPropertyListFromFile(dir.filePath("missing.plist")).isNull());
    EXPECT_TRUE(P::createCFPropertyListFromFile(dir.path()).isNull());
}

TEST(PlistCFType, PythonPlistlibAgrees)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    const QString expr = QStringLiteral("{'v': {'s': 'h\u00e9', 'i': -3, 'big': 2**63 - 1, 'r': 0.5, 't': True, "
                                        "'d': b'\\x00\\xff', 'l': [1, {'x': []}]%1}, "
                                        "'when': utc(1999, 12, 31, 23, 59, 58, 750000)}");
    for (bool binary : {true, false}) {
        // XML has no UIDs and holds dates in whole seconds.
        const P v = parse(plistfixtures::pythonDumps(expr.arg(binary ? ", 'u': plistlib.UID(9)" : ""), binary));
        EXPECT_EQ(v.get("v").toString(), QStringLiteral("{s : h\u00e9, i : -3, big : 9223372036854775807, r : 0.5, t : 1, "
                                                        "d : AP8=, l : [1, {x : []}]%1}").arg(binary ? ", u : 9" : ""));
        EXPECT_TRUE(v.get("v").get("t").isCFBoolean());
        EXPECT_EQ(v.get("v").get("u").isCFKeyedArchiverUID(), binary);
        EXPECT_EQ(v.get("when").CFDateToDateTime(0), utc(1999, 12, 31, 23, 59, 58, binary ? 750 : 0));
    }

    const QString common = QStringLiteral(
        "{bool: True, false: False, int: -5, min: -9223372036854775808, max: 9223372036854775807, real: 2.5, "
        "string: Grüße \u65E5\u672C <&>, empty: , data: b64:AAH+/w==, date: date:%1, uid: %2, array: [], "
        "dict: {inner: [1, two]}}");
    EXPECT_EQ(plistfixtures::pythonLoads(everyKind().CFPropertyListToBytes(kBin)), common.arg("250000", "uid:7"));
    EXPECT_EQ(plistfixtures::pythonLoads(everyKind().CFPropertyListToBytes(kXml)), common.arg("0", "{CF$UID: 7}"));
    const P dates = P::createCFArray({P::createCFDate(utc(1999, 12, 31, 23, 59, 58, 750)),
                                      P::createCFDate(utc(2100, 1, 1, 0, 0, 0, 500)), P::createCFDate(utc(1900, 1, 1))});
    EXPECT_EQ(plistfixtures::pythonLoads(dates.CFPropertyListToBytes(kBin)),
              "[date:-31622401250000, date:3124137600500000, date:-3187296000000000]");
}

TEST(PlistCFType, DatesKeepTheirInstant)
{
    const P quarter = P::createCFDate(utc(2001, 1, 1, 0, 0, 0, 250));
    EXPECT_EQ(quarter.CFDateToDateTime(0).timeSpec(), Qt::LocalTime);
    EXPECT_EQ(quarter.CFDateToDateTime(60), utc(2001, 1, 1, 0, 1, 0, 250));

    // Before 2001 with fractions, milliseconds that are no exact binary
    // fraction, local-time input, and instants outside libplist's 32-bit
    // seconds (1933-2069), which must not wrap.
    const QList<QDateTime> instants = {
        utc(2000, 12, 31, 23, 59, 59, 250), utc(2001, 1, 1, 0, 0, 0, 999), utc(1969, 7, 20, 20, 17, 40, 1),
        utc(2024, 2, 29, 12, 34, 56, 123), QDateTime(QDate(2010, 6, 1), QTime(8, 0, 0, 5), Qt::LocalTime),
        utc(2100, 1, 1, 0, 0, 0, 500), utc(1900, 1, 1, 0, 0, 0, 125), utc(1601, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999)};
    for (const QDateTime& when : instants) {
        SCOPED_TRACE(when.toString(Qt::ISODateWithMs).toStdString());
        const P date = P::createCFDate(when);
        ASSERT_TRUE(date.isCFDate());
        EXPECT_EQ(date.CFDateToDateTime(0).toMSecsSinceEpoch(), when.toMSecsSinceEpoch());
        const P parsed = parse(P::createCFArray({date}).CFPropertyListToBytes(kBin));
        EXPECT_EQ(parsed.at(0).CFDateToDateTime(0).toMSecsSinceEpoch(), when.toMSecsSinceEpoch());
    }
    EXPECT_TRUE(P::createCFDate(QDateTime()).isNull());

    // Dates written by another tool: before 2001 with a fraction, far outside
    // 32 bits, and garbage.
    BplistWriter w;
    const quint64 top = w.addArray({w.addDate(-1.25), w.addDate(-0.75), w.addDate(5e9), w.addDate(std::nan(""))});
    const P raw = parse(w.bytes(top));
    ASSERT_TRUE(raw.isCFArray());
    const qint64 ref = utc(2001, 1, 1).toMSecsSinceEpoch();
    EXPECT_EQ(raw.at(0).CFDateToDateTime(0).toMSecsSinceEpoch(), ref - 1250);
    EXPECT_EQ(raw.at(1).CFDateToDateTime(0).toMSecsSinceEpoch(), ref - 750);
    EXPECT_EQ(raw.at(2).CFDateToDateTime(0).toMSecsSinceEpoch(), ref + qint64(5e9) * 1000);
    EXPECT_TRUE(raw.at(3).CFDateToDateTime(0).isNull());
}

TEST(PlistCFType, WritesReadableListsFromBrokenText)
{
    // An "ASCII" string and keys with bytes that are no UTF-8, as a damaged
    // file may hold them; both keys repair to the same text.
    BplistWriter w;
    const quint64 str = w.addAscii("x\xC3");
    const quint64 top = w.addDict({w.addAscii("k\xBD"), w.addAscii("k\xBE")}, {str, str});
    const P damaged = parse(w.bytes(top));
    EXPECT_EQ(damaged.toString(), QStringLiteral("{k\uFFFD : x\uFFFD, k\uFFFD : x\uFFFD}"));

    for (CFPropertyListFormat f : {kBin, kXml}) {
        const QByteArray bytes = damaged.CFPropertyListToBytes(f);
        EXPECT_EQ(parse(bytes).get(QStringLiteral("k\uFFFD")).CFStringQString(), QStringLiteral("x\uFFFD")) << f;
        if (plistfixtures::havePython())
            EXPECT_EQ(plistfixtures::pythonLoads(bytes), QStringLiteral("{k\uFFFD: x\uFFFD}")) << f;
    }
    // The tree itself is left as it was.
    EXPECT_TRUE(plistdetail::hasBrokenText(damaged.ref()));
}

TEST(PlistCFType, BinaryStringsEndAtTheirFirstNul)
{
    // NUL inside keys and values, short and long counts, ASCII and UTF-16;
    // copying and writing the result must stay inside its buffers.
    BplistWriter w;
    const QList<quint64> keys = {w.addAscii(QByteArray("a\0b", 3)), w.addAscii(QByteArray("long key\0", 9) + QByteArray(20, 'z')),
                                 w.addUtf16(QStringLiteral("\u00E9t\u00E9"))};
    const QList<quint64> values = {w.addAscii(QByteArray("x\0y", 3)), w.addUtf16(QStringLiteral("\u65E5") + QChar(0) + "tail"),
                                   w.addAscii(QByteArray(1, '\0'))};
    const P d = parse(w.bytes(w.addDict(keys, values)));
    EXPECT_EQ(d.toString(), QStringLiteral("{a : x, long key : \u65E5, \u00E9t\u00E9 : }"));
    const P copy = P::createCFDictionaryCreateMutableCopy(d);
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kBin)).toString(), d.toString());
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kXml)).toString(), d.toString());
}

TEST(PlistCFType, ShortTruncatedAndEmptyInputs)
{
    // "bplist" alone (6 bytes) is read as XML, which it is not.
    for (const QByteArray& bad : {QByteArray(), QByteArray("bplist"), QByteArray("bplist0"), QByteArray("bplist00"),
                                  QByteArray("<plist><dict>"), QByteArray(64, '\0'),
                                  QByteArray("<plist><string>a\0b</string></plist>", 34)})
        EXPECT_TRUE(parse(bad).isNull()) << bad.toStdString();
    EXPECT_EQ(parse("<plist version=\"1.0\"><integer>3</integer></plist>").CFNumberInt(0), 3);
    EXPECT_EQ(parse(QByteArray("<plist><string>ab</string></plist>\0\0", 36)).CFStringQString(), "ab");

    const QByteArray good = everyKind().CFPropertyListToBytes(kBin);
    for (qsizetype n = 0; n < good.size(); ++n)
        EXPECT_TRUE(parse(good.left(n)).isNull()) << n;
    // Every single byte flipped: a value or none, never a crash.
    for (qsizetype i = 8; i < good.size(); ++i) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ 0xA5);
        (void)parse(bad).toString();
    }
}

TEST(PlistCFType, MalformedBinaryListsAreRefused)
{
    const auto one = [](auto build) {
        BplistWriter w;
        return build(w);
    };
    // The well-formed shape first.
    EXPECT_EQ(parse(one([](BplistWriter& w) { const quint64 i = w.addInt(1); return w.bytes(w.addArray({i, i})); })).toString(),
              "[1, 1]");
    const QList<QByteArray> refused = {
        one([](BplistWriter& w) { return w.bytes(w.addArray({5})); }), // a reference past the table
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
    for (int i = 0; i < refused.size(); ++i)
        EXPECT_TRUE(parse(refused[i]).isNull()) << i;

    BplistWriter w;
    w.addInt(1);
    // Offset size 9; offset table past the trailer; the object inside the header.
    for (const auto& [at, bytes] : {std::pair{26, QByteArray(1, 9)}, std::pair{1, QByteArray(1, char(0xF0))},
                                    std::pair{36, QByteArray(4, '\0')}}) {
        QByteArray bad = w.bytes(0);
        bad.replace(bad.size() - at, bytes.size(), bytes);
        EXPECT_TRUE(parse(bad).isNull()) << at;
    }

    // Objects that overlap, which no writer makes: a number whose offset lies
    // inside a string (the string's last bytes read as the integer 5), and
    // two table entries for one object.
    auto withSecondOffset = [](quint32 offset) {
        BplistWriter w;
        const quint64 str = w.addAscii("ab\x10\x05");
        const quint64 replaced = w.addInt(0);
        QByteArray bytes = w.bytes(w.addArray({str, replaced}));
        const qsizetype table = bytes.size() - 32 - 3 * 4;
        bytes.replace(table + 4, 4, QByteArray::fromHex(QByteArray::number(offset, 16).rightJustified(8, '0')));
        return bytes;
    };
    EXPECT_EQ(parse(withSecondOffset(13)).toString(), "[ab\x10\x05, 0]");
    EXPECT_TRUE(parse(withSecondOffset(11)).isNull());
    EXPECT_TRUE(parse(withSecondOffset(8)).isNull());
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
        return "<plist version=\"1.0\">" + QByteArray("<array>" + between).repeated(depth)
            + QByteArray("</array>").repeated(depth) + "</plist>";
    };
    EXPECT_TRUE(parse(nestedBinary(P::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedBinary(P::kMaxNesting + 1)).isNull());
    EXPECT_TRUE(parse(nestedBinary(200000)).isNull()); // would overflow libplist's stack
    EXPECT_TRUE(parse(nestedXml(P::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedXml(P::kMaxNesting + 1)).isNull());
    EXPECT_TRUE(parse(nestedXml(300000)).isNull());
    // Closing tags that libplist skips must not lower the count.
    EXPECT_TRUE(parse(nestedXml(600, "<!-- </array> -->")).isNull());
    EXPECT_TRUE(parse(nestedXml(600, "<string><![CDATA[</array>]]></string>")).isNull());
    // As many nodes as a binary list may expand to are refused as XML too
    // ("<true/>" takes 7 bytes, libplist spends over 100 on it).
    EXPECT_TRUE(parse("<plist><array>" + QByteArray("<true/>").repeated(int(plistdetail::kMaxNodesAbsolute))
                      + "</array></plist>")
                    .isNull());
    // Many containers side by side are no nesting.
    const QByteArray wide = "<plist><array>" + QByteArray("<dict><key>k</key><array/></dict>").repeated(5000)
        + "</array></plist>";
    EXPECT_EQ(parse(wide).array_size(), 5000);

    // Markup inside comments, CDATA, processing instructions, quoted DOCTYPE
    // and attribute values is no markup.
    const std::pair<const char*, int> bounds[] = {
        {"<plist><array><dict></dict><array><array/></array></array></plist>", 2},
        {"<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist><array></array></plist>", 1},
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
