#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <plist/plist.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/plistfixtures.h"

#include "foundation/plistcftype.h"
#include "foundation/plistcftype_p.h"

using plistfixtures::BplistWriter;

namespace {

QDateTime utc(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0, int ms = 0)
{
    return QDateTime(QDate(y, m, d), QTime(hh, mm, ss, ms), Qt::UTC);
}

PlistCFType parse(const QByteArray& bytes)
{
    return PlistCFType::createCFPropertyList(bytes);
}

// One value of every kind, in a fixed order.
PlistCFType everyKind()
{
    PlistCFType nested = PlistCFType::createCFDictionary();
    nested.put("inner", PlistCFType::createCFArray({PlistCFType::createCFNumberInt64(1), PlistCFType::createCFString("two")}));
    PlistCFType d = PlistCFType::createCFDictionary();
    d.put("bool", PlistCFType::createCFBoolean(true))
        .put("false", PlistCFType::createCFBoolean(false))
        .put("int", PlistCFType::createCFNumberInt64(-5))
        .put("min", PlistCFType::createCFNumberInt64(std::numeric_limits<qint64>::min()))
        .put("max", PlistCFType::createCFNumberInt64(std::numeric_limits<qint64>::max()))
        .put("real", PlistCFType::createCFNumberDouble(2.5))
        .put("string", PlistCFType::createCFString(QStringLiteral("Grüße \u65E5\u672C <&>")))
        .put("empty", PlistCFType::createCFString(QString()))
        .put("data", PlistCFType::createCFData(QByteArray("\x00\x01\xfe\xff", 4)))
        .put("date", PlistCFType::createCFDate(utc(2001, 1, 1, 0, 0, 0, 250)))
        .put("uid", PlistCFType::createCFKeyedArchiverUID(7))
        .put("array", PlistCFType::createCFArray())
        .put("dict", nested);
    return d;
}

// The parts of everyKind() that every format keeps.
void expectEveryKind(const PlistCFType& d, bool keepsFractionsAndUids)
{
    ASSERT_TRUE(d.isCFDictionary());
    EXPECT_TRUE(d.get("bool").CFNumberBool(false));
    EXPECT_TRUE(d.get("false").isCFBoolean());
    EXPECT_FALSE(d.get("false").CFNumberBool(true));
    EXPECT_EQ(d.get("int").CFNumberInt64(0), -5);
    EXPECT_EQ(d.get("min").CFNumberInt64(0), std::numeric_limits<qint64>::min());
    EXPECT_EQ(d.get("max").CFNumberInt64(0), std::numeric_limits<qint64>::max());
    EXPECT_EQ(d.get("real").CFNumberDouble(0), 2.5);
    EXPECT_EQ(d.get("real").typeId(), 22);
    EXPECT_EQ(d.get("string").CFStringQString(), QStringLiteral("Grüße \u65E5\u672C <&>"));
    EXPECT_TRUE(d.get("empty").isCFString());
    EXPECT_EQ(d.get("data").CFDataBytes(), QByteArray("\x00\x01\xfe\xff", 4));
    EXPECT_TRUE(d.get("date").isCFDate());
    EXPECT_EQ(d.get("date").CFDateToDateTime(0).toMSecsSinceEpoch(),
              utc(2001, 1, 1, 0, 0, 0, keepsFractionsAndUids ? 250 : 0).toMSecsSinceEpoch());
    if (keepsFractionsAndUids) {
        EXPECT_EQ(d.get("uid").CFKeyedArchiverUIDGetValue(), 7u);
    } else {
        // XML has no UID: libplist writes the CoreFoundation form and reads a dictionary back.
        EXPECT_EQ(d.get("uid").get("CF$UID").CFNumberInt(0), 7);
    }
    EXPECT_TRUE(d.get("array").isCFArray());
    EXPECT_EQ(d.get("array").array_size(), 0);
    EXPECT_EQ(d.get("dict").get("inner").at(1).CFStringQString(), "two");
    EXPECT_EQ(d.dict_size(), 13);
}

} // namespace

TEST(PlistCFType, ReadersCutIntegersAndFallBackToDefaults)
{
    const PlistCFType i300 = PlistCFType::createCFNumberInt64(300);
    EXPECT_EQ(i300.CFNumberInt8(0), 44);
    EXPECT_EQ(PlistCFType::createCFNumberInt64(70000).CFNumberInt16(0), 4464);
    EXPECT_EQ(PlistCFType::createCFNumberInt64(0x12345).CFNumberInt16(0), 0x2345);
    EXPECT_EQ(PlistCFType::createCFNumberInt64(0x180000000LL).CFNumberInt(0), std::numeric_limits<int>::min());
    EXPECT_EQ(PlistCFType::createCFNumberInt64(0x1FFFFFFFFLL).CFNumberInt(0), -1);
    const PlistCFType minus1 = PlistCFType::createCFNumberInt32(-1);
    EXPECT_EQ(minus1.CFNumberInt8(0), char(-1));
    EXPECT_EQ(minus1.CFNumberInt16(0), -1);
    EXPECT_EQ(minus1.CFNumberInt64(0), -1);
    EXPECT_EQ(PlistCFType::createCFNumberInt8(char(-128)).CFNumberInt64(0), -128);
    EXPECT_EQ(PlistCFType::createCFNumberInt16(short(-300)).CFNumberInt64(0), -300);
    EXPECT_EQ(PlistCFType::createCFNumberCFIndex(-7L).CFNumberInt64(0), -7);

    // Reals truncate toward zero, then cut.
    EXPECT_EQ(PlistCFType::createCFNumberDouble(2.9).CFNumberInt64(0), 2);
    EXPECT_EQ(PlistCFType::createCFNumberDouble(-2.9).CFNumberInt(0), -2);
    EXPECT_EQ(PlistCFType::createCFNumberDouble(300.7).CFNumberInt8(0), 44);
    // Outside the 64-bit range the conversion would be undefined: it saturates;
    // NaN has no integer value at all.
    EXPECT_EQ(PlistCFType::createCFNumberDouble(1e300).CFNumberInt64(0), std::numeric_limits<qint64>::max());
    EXPECT_EQ(PlistCFType::createCFNumberDouble(-1e300).CFNumberInt64(0), std::numeric_limits<qint64>::min());
    EXPECT_EQ(PlistCFType::createCFNumberDouble(std::nan("")).CFNumberInt(9), 9);
    EXPECT_TRUE(std::isinf(PlistCFType::createCFNumberDouble(1e300).CFNumberFloat(0)));

    EXPECT_EQ(PlistCFType::createCFNumberInt64(5).CFNumberDouble(0), 5.0);
    EXPECT_EQ(PlistCFType::createCFNumberInt64(-5).CFNumberFloat(0), -5.0f);
    EXPECT_EQ(PlistCFType::createCFNumberFloat(1.5f).CFNumberDouble(0), 1.5);

    // Only the right kind is read.
    const PlistCFType str = PlistCFType::createCFString("12");
    EXPECT_EQ(str.CFNumberInt(7), 7);
    EXPECT_TRUE(PlistCFType::createCFNumberInt64(0).CFNumberBool(true));
    EXPECT_FALSE(str.isCFNumber());
    EXPECT_TRUE(i300.CFStringQString().isEmpty());
    EXPECT_FALSE(i300.CFStringQString().isNull());
    EXPECT_TRUE(i300.CFDataBytes().isEmpty());
    EXPECT_EQ(i300.CFKeyedArchiverUIDGetValue(), 0u);
    EXPECT_TRUE(i300.CFDateToDateTime(0).isNull());
    EXPECT_EQ(PlistCFType::createCFKeyedArchiverUID(0x100000005L).CFKeyedArchiverUIDGetValue(), 5u);
    EXPECT_EQ(PlistCFType::createCFString(QStringLiteral("\U0001F600x")).CFStringLength(), 3);
    EXPECT_EQ(PlistCFType::createCFData("abc").CFDataLength(), 3);
}

TEST(PlistCFType, ValueWithoutNodeAnswersDefaults)
{
    for (const PlistCFType& v : {PlistCFType(), PlistCFType(nullptr, true)}) {
        EXPECT_TRUE(v.isNull());
        EXPECT_FALSE(v.isCFNumber() || v.isCFBoolean() || v.isCFString() || v.isCFData() || v.isCFDate()
                     || v.isCFDictionary() || v.isCFArray() || v.isCFKeyedArchiverUID());
        EXPECT_EQ(v.CFNumberInt64(42), 42);
        EXPECT_EQ(v.CFNumberDouble(1.5), 1.5);
        EXPECT_TRUE(v.CFNumberBool(true));
        EXPECT_EQ(v.toString(), "NULL");
        EXPECT_EQ(v.typeId(), 16);
        EXPECT_TRUE(v.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
        EXPECT_EQ(v.dict_size(), 0);
        EXPECT_TRUE(v.get("x").isNull());
        EXPECT_TRUE(v.at(0).isNull());
        EXPECT_TRUE(PlistCFType::clone(v).isNull());
        EXPECT_TRUE(v.NSKeyedArchiver().isEmpty());
    }
}

TEST(PlistCFType, TypeIdsAndTextForms)
{
    EXPECT_EQ(PlistCFType::createCFBoolean(true).typeId(), 21);
    EXPECT_EQ(PlistCFType::createCFNumberInt64(1).typeId(), 22);
    EXPECT_EQ(PlistCFType::createCFString("a").typeId(), 7);
    EXPECT_EQ(PlistCFType::createCFArray().typeId(), 19);
    EXPECT_EQ(PlistCFType::createCFDictionary().typeId(), 18);
    EXPECT_EQ(PlistCFType::createCFDate(QDateTime::currentDateTime()).typeId(), 37);
    EXPECT_EQ(PlistCFType::createCFData("a").typeId(), 20);
    EXPECT_EQ(PlistCFType::createCFKeyedArchiverUID(1).typeId(), 35);

    PlistCFType d = PlistCFType::createCFDictionary();
    d.put("a", PlistCFType::createCFNumberInt64(1));
    d.put("b", PlistCFType::createCFArray({PlistCFType::createCFBoolean(true), PlistCFType::createCFString("x")}));
    EXPECT_EQ(d.toString(), "{a : 1, b : [1, x]}");
    PlistCFType outer = PlistCFType::createCFArray({d, PlistCFType::createCFNumberDouble(1.0 / 3)});
    EXPECT_EQ(outer.toString(), "[{a : 1, b : [1, x]}, 0.333333]");
    EXPECT_EQ(PlistCFType::createCFData("hi!").toString(), "aGkh");
    EXPECT_EQ(PlistCFType::createCFKeyedArchiverUID(12).toString(), "12");
    EXPECT_EQ(PlistCFType::createCFNumberInt64(-9).toString(), "-9");
    EXPECT_EQ(PlistCFType::createCFBoolean(false).toString(), "0");
    const QDateTime when = utc(2020, 5, 6, 7, 8, 9);
    EXPECT_EQ(PlistCFType::createCFDate(when).toString(), when.toLocalTime().toString(Qt::TextDate));
}

TEST(PlistCFType, DictionaryEditing)
{
    PlistCFType d = PlistCFType::createCFDictionary();
    d.put("a", PlistCFType::createCFNumberInt64(1));
    d.put("b", PlistCFType::createCFNumberInt64(2));
    d.put("c", PlistCFType::createCFNumberInt64(3));
    // A key put twice keeps its first position and holds the second value.
    d.put("a", PlistCFType::createCFString("again"));
    QStringList keys;
    for (const PlistCFType& k : d.dict_keys())
        keys << k.CFStringQString();
    EXPECT_EQ(keys, QStringList({"a", "b", "c"}));
    EXPECT_EQ(d.get("a").CFStringQString(), "again");
    EXPECT_EQ(d.dict_size(), 3);

    // Non-string keys use their text form; a key without a node does nothing.
    d.put(PlistCFType::createCFNumberInt64(42), PlistCFType::createCFBoolean(true));
    EXPECT_TRUE(d.get("42").CFNumberBool(false));
    EXPECT_TRUE(d.get(PlistCFType::createCFNumberInt64(42)).isCFBoolean());
    d.put(PlistCFType(), PlistCFType::createCFBoolean(true));
    d.dict_replace(PlistCFType::createCFString("b"), PlistCFType::createCFNumberInt64(20));
    EXPECT_EQ(d.get("b").CFNumberInt(0), 20);
    EXPECT_EQ(d.dict_size(), 4);

    // Values without a node, and editing of the wrong kind, change nothing.
    d.put("z", PlistCFType());
    EXPECT_EQ(d.dict_size(), 4);
    PlistCFType array = PlistCFType::createCFArray();
    array.put("k", PlistCFType::createCFNumberInt64(1));
    EXPECT_EQ(array.array_size(), 0);
    d.append(PlistCFType::createCFNumberInt64(1));
    EXPECT_EQ(d.dict_size(), 4);
    EXPECT_TRUE(array.get("k").isNull());

    // Copies share one node.
    PlistCFType copy = d;
    copy.put("shared", PlistCFType::createCFNumberInt64(5));
    EXPECT_EQ(d.get("shared").CFNumberInt(0), 5);

    // A parsed dictionary keeps file order, then insertion order.
    PlistCFType parsed = parse(plistfixtures::pythonDumps("{'z': 1, 'a': 2, 'm': 3}", true));
    if (plistfixtures::havePython()) {
        parsed.put("b", PlistCFType::createCFNumberInt64(4));
        EXPECT_EQ(parsed.toString(), "{z : 1, a : 2, m : 3, b : 4}");
    }
}

TEST(PlistCFType, CreatorsFromLists)
{
    const QList<PlistCFType> keys = {PlistCFType::createCFString(QStringLiteral("schlüssel")), PlistCFType(),
                                     PlistCFType::createCFString("third")};
    const QList<PlistCFType> values = {PlistCFType::createCFNumberInt64(1), PlistCFType::createCFNumberInt64(2)};
    const PlistCFType d = PlistCFType::createCFDictionary(keys, values);
    EXPECT_EQ(d.dict_size(), 2);
    EXPECT_EQ(d.get(QStringLiteral("schlüssel")).CFNumberInt(0), 1);
    EXPECT_EQ(d.get("NULL").CFNumberInt(0), 2);

    const PlistCFType a = PlistCFType::createCFArray(values);
    EXPECT_EQ(a.toString(), "[1, 2]");

    // A mutable copy is deep; of anything but a dictionary it is empty.
    PlistCFType copy = PlistCFType::createCFDictionaryCreateMutableCopy(d);
    copy.put("new", PlistCFType::createCFNumberInt64(3));
    EXPECT_EQ(copy.dict_size(), 3);
    EXPECT_EQ(d.dict_size(), 2);
    const PlistCFType fromArray = PlistCFType::createCFDictionaryCreateMutableCopy(a);
    EXPECT_TRUE(fromArray.isCFDictionary());
    EXPECT_EQ(fromArray.dict_size(), 0);
}

TEST(PlistCFType, ArrayEditing)
{
    PlistCFType a = PlistCFType::createCFArray();
    a.append(PlistCFType::createCFNumberInt64(1)).append(PlistCFType::createCFNumberInt64(2));
    EXPECT_TRUE(a.at(-1).isNull());
    EXPECT_TRUE(a.at(2).isNull());
    a.array_replace(1, PlistCFType::createCFString("two"));
    EXPECT_EQ(a.toString(), "[1, two]");

    // Out of range: nothing changes and the item keeps (and later frees) its node.
    PlistCFType item = PlistCFType::createCFString("kept");
    a.array_replace(5, item);
    a.array_replace(-1, item);
    EXPECT_EQ(a.array_size(), 2);
    a = PlistCFType();
    EXPECT_EQ(item.CFStringQString(), "kept");
    EXPECT_FALSE(item.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0).isEmpty());
}

// Run under the sanitizers: a node in two trees, or a node freed while a tree
// still holds it, shows up as a double free or a use after free.
TEST(PlistCFType, InsertedValuesBelongToTheirContainer)
{
    PlistCFType d = PlistCFType::createCFDictionary();
    {
        PlistCFType v = PlistCFType::createCFString("entry");
        PlistCFType vCopy = v;
        d.put("k", v);
    }
    EXPECT_EQ(d.get("k").CFStringQString(), "entry");

    // A value that already sits in another tree is copied, not shared.
    PlistCFType other = PlistCFType::createCFDictionary();
    PlistCFType inner = PlistCFType::createCFArray({PlistCFType::createCFNumberInt64(1)});
    other.put("list", inner);
    d.put("list", inner);          // inner is in other's tree now
    d.put("again", other.get("list")); // borrowed
    PlistCFType arr = PlistCFType::createCFArray();
    arr.append(inner).append(inner);
    other.get("list").append(PlistCFType::createCFNumberInt64(2));
    EXPECT_EQ(other.get("list").toString(), "[1, 2]");
    EXPECT_EQ(d.get("list").toString(), "[1]");
    EXPECT_EQ(d.get("again").toString(), "[1]");
    EXPECT_EQ(arr.toString(), "[[1], [1]]");

    // A borrowed root that someone else owns is copied too.
    plist_t foreign = plist_new_string("foreign");
    d.put("foreign", PlistCFType(foreign, false));
    plist_free(foreign);
    EXPECT_EQ(d.get("foreign").CFStringQString(), "foreign");

    // A container put into itself, or into its own child, would make a cycle.
    d.put("self", d);
    EXPECT_EQ(d.get("self").get("k").CFStringQString(), "entry");
    EXPECT_TRUE(d.get("self").get("self").isNull());
    PlistCFType child = d.get("list");
    child.append(d);
    EXPECT_EQ(d.get("list").at(1).get("k").CFStringQString(), "entry");

    // Replacing an entry with itself, or a slot with its own item.
    d.put("k", d.get("k"));
    EXPECT_EQ(d.get("k").CFStringQString(), "entry");
    arr.array_replace(0, arr.at(0));
    EXPECT_EQ(arr.toString(), "[[1], [1]]");

    // Serialising everything touches every node once more.
    EXPECT_TRUE(parse(d.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)).isCFDictionary());
    other = PlistCFType();
    EXPECT_EQ(d.get("list").at(0).CFNumberInt(0), 1);
}

TEST(PlistCFType, RoundTripsEveryKind)
{
    const PlistCFType d = everyKind();
    expectEveryKind(d, true);

    const QByteArray bin = d.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    ASSERT_TRUE(bin.startsWith("bplist00"));
    const PlistCFType fromBin = parse(bin);
    expectEveryKind(fromBin, true);
    EXPECT_EQ(fromBin.toString(), d.toString());
    EXPECT_EQ(fromBin.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0), bin);

    // Every format value but XML writes binary.
    EXPECT_EQ(d.CFPropertyListToBytes(static_cast<CFPropertyListFormat>(0)), bin);
    EXPECT_EQ(d.CFPropertyListToBytes(static_cast<CFPropertyListFormat>(101)), bin);

    const QByteArray xml = d.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    EXPECT_TRUE(xml.startsWith("<?xml"));
    const PlistCFType fromXml = parse(xml);
    expectEveryKind(fromXml, false);

    // The XML and binary forms of one document give the same tree.
    EXPECT_EQ(parse(fromXml.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)).toString(), fromXml.toString());

    const PlistCFType data = d.CFPropertyListToData(kCFPropertyListBinaryFormat_v1_0);
    EXPECT_TRUE(data.isCFData());
    EXPECT_EQ(data.CFDataBytes(), bin);

    // A borrowed sub-tree serialises on its own.
    EXPECT_EQ(parse(d.get("dict").CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)).toString(),
              "{inner : [1, two]}");
}

TEST(PlistCFType, ParsesWhatPythonWrites)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    const QString expr = QStringLiteral(
        "{'s': 'h\u00e9', 'i': -3, 'big': 2**63 - 1, 'r': 0.5, 't': True, 'd': b'\\x00\\xff', "
        "'when': utc(1999, 12, 31, 23, 59, 58, 750000), 'l': [1, {'x': []}], 'u': plistlib.UID(9)}");
    for (bool binary : {true, false}) {
        const PlistCFType v = parse(plistfixtures::pythonDumps(binary ? expr : QString(expr).replace(", 'u': plistlib.UID(9)", ""), binary));
        ASSERT_TRUE(v.isCFDictionary()) << binary;
        EXPECT_EQ(v.get("s").CFStringQString(), QStringLiteral("h\u00e9"));
        EXPECT_EQ(v.get("i").CFNumberInt(0), -3);
        EXPECT_EQ(v.get("big").CFNumberInt64(0), std::numeric_limits<qint64>::max());
        EXPECT_EQ(v.get("r").CFNumberDouble(0), 0.5);
        EXPECT_TRUE(v.get("t").CFNumberBool(false));
        EXPECT_EQ(v.get("d").CFDataBytes(), QByteArray("\x00\xff", 2));
        // XML dates hold whole seconds.
        EXPECT_EQ(v.get("when").CFDateToDateTime(0).toMSecsSinceEpoch(),
                  utc(1999, 12, 31, 23, 59, 58, binary ? 750 : 0).toMSecsSinceEpoch());
        EXPECT_EQ(v.get("l").toString(), "[1, {x : []}]");
        if (binary) {
            EXPECT_EQ(v.get("u").CFKeyedArchiverUIDGetValue(), 9u);
        }
    }
}

TEST(PlistCFType, PythonReadsWhatWeWrite)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    const PlistCFType d = everyKind();
    const QString common = QStringLiteral(
        "{bool: True, false: False, int: -5, min: -9223372036854775808, max: 9223372036854775807, real: 2.5, "
        "string: Grüße \u65E5\u672C <&>, empty: , data: b64:AAH+/w==, date: date:%1, uid: %2, array: [], "
        "dict: {inner: [1, two]}}");
    EXPECT_EQ(plistfixtures::pythonLoads(d.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)),
              common.arg("250000", "uid:7"));
    EXPECT_EQ(plistfixtures::pythonLoads(d.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0)),
              common.arg("0", "{CF$UID: 7}"));
}

TEST(PlistCFType, DatesKeepTheirInstant)
{
    // 0.25 s after the reference date, as libplist sees it.
    const PlistCFType quarter = PlistCFType::createCFDate(utc(2001, 1, 1, 0, 0, 0, 250));
    int32_t sec = -1;
    int32_t usec = -1;
    plist_get_date_val(quarter.ref(), &sec, &usec);
    EXPECT_EQ(sec, 0);
    EXPECT_EQ(usec, 250000);
    const QDateTime back = quarter.CFDateToDateTime(0);
    EXPECT_EQ(back.timeSpec(), Qt::LocalTime);
    EXPECT_EQ(back, utc(2001, 1, 1, 0, 0, 0, 250));
    EXPECT_EQ(quarter.CFDateToDateTime(60), utc(2001, 1, 1, 0, 1, 0, 250));

    // Before 2001 with fractions, millisecond values that are no exact binary
    // fraction, local-time input, and instants outside libplist's 32-bit seconds
    // (1933-2069), all through both serialisations.
    const QList<QDateTime> instants = {
        utc(2000, 12, 31, 23, 59, 59, 250), utc(2001, 1, 1, 0, 0, 0, 999), utc(1969, 7, 20, 20, 17, 40, 1),
        utc(2024, 2, 29, 12, 34, 56, 123), QDateTime(QDate(2010, 6, 1), QTime(8, 0, 0, 5), Qt::LocalTime),
        utc(2100, 1, 1, 0, 0, 0, 500), utc(1900, 1, 1, 0, 0, 0, 125), utc(1601, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999)};
    for (const QDateTime& when : instants) {
        const PlistCFType date = PlistCFType::createCFDate(when);
        ASSERT_TRUE(date.isCFDate()) << when.toString(Qt::ISODateWithMs).toStdString();
        EXPECT_EQ(date.CFDateToDateTime(0).toMSecsSinceEpoch(), when.toMSecsSinceEpoch())
            << when.toString(Qt::ISODateWithMs).toStdString();
        PlistCFType holder = PlistCFType::createCFDictionary();
        holder.put("d", date);
        const PlistCFType parsed = parse(holder.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0));
        const PlistCFType back = parsed.get("d"); // borrowed: valid while parsed lives
        EXPECT_EQ(back.CFDateToDateTime(0).toMSecsSinceEpoch(), when.toMSecsSinceEpoch())
            << when.toString(Qt::ISODateWithMs).toStdString();
    }
    EXPECT_TRUE(PlistCFType::createCFDate(QDateTime()).isNull());

    // Dates written by another tool, raw: before 2001 with a fraction, far
    // outside 32 bits, and garbage.
    BplistWriter w;
    const int k1 = w.addAscii("a"), k2 = w.addAscii("b"), k3 = w.addAscii("c"), k4 = w.addAscii("e");
    const int v1 = w.addDate(-1.25), v2 = w.addDate(-0.75), v3 = w.addDate(5e9), v4 = w.addDate(std::nan(""));
    const int top = w.addDict({quint64(k1), quint64(k2), quint64(k3), quint64(k4)},
                              {quint64(v1), quint64(v2), quint64(v3), quint64(v4)});
    const PlistCFType raw = parse(w.bytes(top));
    ASSERT_TRUE(raw.isCFDictionary());
    const qint64 ref = utc(2001, 1, 1).toMSecsSinceEpoch();
    EXPECT_EQ(raw.get("a").CFDateToDateTime(0).toMSecsSinceEpoch(), ref - 1250);
    EXPECT_EQ(raw.get("b").CFDateToDateTime(0).toMSecsSinceEpoch(), ref - 750);
    EXPECT_EQ(raw.get("c").CFDateToDateTime(0).toMSecsSinceEpoch(), ref + qint64(5e9) * 1000);
    EXPECT_TRUE(raw.get("e").CFDateToDateTime(0).isNull());
}

TEST(PlistCFType, PythonReadsOurDates)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    PlistCFType a = PlistCFType::createCFArray();
    a.append(PlistCFType::createCFDate(utc(1999, 12, 31, 23, 59, 58, 750)))
        .append(PlistCFType::createCFDate(utc(2100, 1, 1, 0, 0, 0, 500)))
        .append(PlistCFType::createCFDate(utc(1900, 1, 1)));
    EXPECT_EQ(plistfixtures::pythonLoads(a.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)),
              "[date:-31622401250000, date:3124137600500000, date:-3187296000000000]");
}

TEST(PlistCFType, WritesReadableListsFromBrokenText)
{
    // An "ASCII" string and a key with bytes that are no UTF-8, as a damaged
    // file may hold them.
    BplistWriter w;
    const int key = w.addAscii("k\xBD");
    const int str = w.addAscii("x\xC3");
    const int key2 = w.addAscii("k\xBE"); // repairs to the same text as key
    const int top = w.addDict({quint64(key), quint64(key2)}, {quint64(str), quint64(str)});
    const PlistCFType damaged = parse(w.bytes(quint64(top)));
    ASSERT_TRUE(damaged.isCFDictionary());
    const QString k = QStringLiteral("k\uFFFD");
    const QString x = QStringLiteral("x\uFFFD");
    EXPECT_EQ(damaged.toString(), QStringLiteral("{k\uFFFD : x\uFFFD, k\uFFFD : x\uFFFD}"));

    for (CFPropertyListFormat f : {kCFPropertyListBinaryFormat_v1_0, kCFPropertyListXMLFormat_v1_0}) {
        const QByteArray bytes = damaged.CFPropertyListToBytes(f);
        const PlistCFType back = parse(bytes);
        ASSERT_TRUE(back.isCFDictionary()) << f;
        EXPECT_EQ(back.get(k).CFStringQString(), x) << f;
        if (plistfixtures::havePython()) {
            EXPECT_EQ(plistfixtures::pythonLoads(bytes), QStringLiteral("{k\uFFFD: x\uFFFD}")) << f;
        }
    }
    // The tree itself is left as it was.
    EXPECT_TRUE(plistdetail::hasBrokenText(damaged.ref()));
}

TEST(PlistCFType, BinaryStringsEndAtTheirFirstNul)
{
    // NUL inside strings, as keys and values, short and long counts, ASCII
    // and UTF-16; copying and writing the result must stay inside its buffers.
    BplistWriter w;
    const int k1 = w.addAscii(QByteArray("a\0b", 3));
    const int v1 = w.addAscii(QByteArray("x\0y", 3));
    const int k2 = w.addAscii(QByteArray("long key\0", 9) + QByteArray(20, 'z'));
    const int v2 = w.addUtf16(QStringLiteral("\u65E5") + QChar(0) + QStringLiteral("tail"));
    const int k3 = w.addUtf16(QStringLiteral("\u00E9t\u00E9"));
    const int v3 = w.addAscii(QByteArray(1, '\0'));
    const int top = w.addDict({quint64(k1), quint64(k2), quint64(k3)}, {quint64(v1), quint64(v2), quint64(v3)});
    const PlistCFType d = parse(w.bytes(quint64(top)));
    ASSERT_TRUE(d.isCFDictionary());
    EXPECT_EQ(d.toString(), QStringLiteral("{a : x, long key : \u65E5, \u00E9t\u00E9 : }"));
    const PlistCFType copy = PlistCFType::createCFDictionaryCreateMutableCopy(d);
    const PlistCFType again = parse(copy.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0));
    EXPECT_EQ(again.toString(), d.toString());
    EXPECT_EQ(parse(copy.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0)).toString(), d.toString());
}

TEST(PlistCFType, ShortAndEmptyInputs)
{
    EXPECT_TRUE(parse(QByteArray()).isNull());
    EXPECT_TRUE(parse("bplist").isNull()); // 6 bytes: read as XML, which it is not
    EXPECT_TRUE(parse("bplist0").isNull());
    EXPECT_TRUE(parse("bplist00").isNull());
    EXPECT_TRUE(parse("<plist><dict>").isNull());
    EXPECT_TRUE(parse(QByteArray(64, '\0')).isNull());
    EXPECT_EQ(parse("<plist version=\"1.0\"><integer>3</integer></plist>").CFNumberInt(0), 3);
    // XML text ends at its first NUL byte.
    EXPECT_EQ(parse(QByteArray("<plist><string>ab</string></plist>\0\0", 36)).CFStringQString(), "ab");
    EXPECT_TRUE(parse(QByteArray("<plist><string>a\0b</string></plist>", 34)).isNull());
}

TEST(PlistCFType, TruncatedBinaryListsNeverCrash)
{
    const QByteArray good = everyKind().CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    ASSERT_TRUE(parse(good).isCFDictionary());
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
    // A well-formed list of the same shape as the malformed ones below.
    {
        BplistWriter w;
        const int one = w.addInt(1);
        const int top = w.addArray({quint64(one), quint64(one)});
        EXPECT_EQ(parse(w.bytes(top)).toString(), "[1, 1]");
    }
    // A reference past the object table.
    {
        BplistWriter w;
        const int top = w.addArray({5});
        EXPECT_TRUE(parse(w.bytes(top)).isNull());
    }
    // An array that contains itself, and a two-object cycle.
    {
        BplistWriter w;
        w.addArray({0});
        EXPECT_TRUE(parse(w.bytes(0)).isNull());
        BplistWriter w2;
        w2.addArray({1});
        w2.addDict({2}, {0});
        w2.addAscii("k");
        EXPECT_TRUE(parse(w2.bytes(0)).isNull());
    }
    // An array that claims 2^60 items, a string that claims more bytes than
    // there are, a count whose integer is cut off.
    {
        BplistWriter w;
        w.addRaw(QByteArray("\xAF\x13", 2) + QByteArray::fromHex("1000000000000000"));
        EXPECT_TRUE(parse(w.bytes(0)).isNull());
        BplistWriter w2;
        w2.addRaw(QByteArray("\x5F\x10\xFF", 3) + "short");
        EXPECT_TRUE(parse(w2.bytes(0)).isNull());
        BplistWriter w3;
        w3.addRaw(QByteArray("\x4F\x13", 2));
        EXPECT_TRUE(parse(w3.bytes(0)).isNull());
    }
    // Objects that overlap, which no writer makes: a number whose offset lies
    // inside a string (the string's last bytes read as the integer 5), and
    // two table entries for one object.
    {
        auto withSecondOffset = [](quint32 offset) {
            BplistWriter w;
            const int str = w.addAscii("ab\x10\x05");
            w.addInt(0); // its offset is replaced
            const int top = w.addArray({quint64(str), 1});
            QByteArray bytes = w.bytes(quint64(top));
            const qsizetype table = bytes.size() - 32 - 3 * 4;
            bytes.replace(table + 4, 4, QByteArray::fromHex(QByteArray::number(offset, 16).rightJustified(8, '0')));
            return bytes;
        };
        EXPECT_EQ(parse(withSecondOffset(13)).toString(), "[ab\x10\x05, 0]");
        EXPECT_TRUE(parse(withSecondOffset(11)).isNull());
        EXPECT_TRUE(parse(withSecondOffset(8)).isNull());
    }
    // Trailer values that do not fit the file.
    {
        BplistWriter w;
        w.addInt(1);
        EXPECT_TRUE(parse(w.bytes(0, 1000)).isNull()); // more objects than offsets
        EXPECT_TRUE(parse(w.bytes(1)).isNull());       // top past the end
        EXPECT_TRUE(parse(w.bytes(0, 0)).isNull());
        QByteArray bad = w.bytes(0);
        bad[bad.size() - 26] = 9; // offset size
        EXPECT_TRUE(parse(bad).isNull());
        bad = w.bytes(0);
        bad[bad.size() - 1] = char(0xF0); // offset table past the trailer
        EXPECT_TRUE(parse(bad).isNull());
        bad = w.bytes(0);
        bad.replace(bad.size() - 36, 4, QByteArray(4, '\0')); // the object's offset points into the header
        EXPECT_TRUE(parse(bad).isNull());
    }
}

TEST(PlistCFType, SharedReferencesCannotExpandWithoutBound)
{
    // Each array holds the next one twice: 40 levels would make 2^41 nodes
    // out of a few hundred bytes.
    BplistWriter w;
    const int levels = 40;
    for (int i = 0; i < levels; ++i)
        w.addArray({quint64(i + 1), quint64(i + 1)});
    w.addInt(7);
    EXPECT_TRUE(parse(w.bytes(0)).isNull());

    // Modest sharing stays fine: 8 levels, 511 nodes.
    BplistWriter small;
    for (int i = 0; i < 8; ++i)
        small.addArray({quint64(i + 1), quint64(i + 1)});
    small.addInt(7);
    const PlistCFType v = parse(small.bytes(0));
    ASSERT_TRUE(v.isCFArray());
    EXPECT_EQ(v.at(1).at(0).at(1).array_size(), 2);
}

TEST(PlistCFType, NestingIsBounded)
{
    auto nestedBinary = [](int depth) {
        BplistWriter w;
        for (int i = 0; i < depth; ++i)
            w.addArray({quint64(i + 1)});
        w.addInt(1);
        return w.bytes(0);
    };
    EXPECT_TRUE(parse(nestedBinary(PlistCFType::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedBinary(PlistCFType::kMaxNesting + 1)).isNull());
    EXPECT_TRUE(parse(nestedBinary(200000)).isNull()); // would overflow libplist's stack

    auto nestedXml = [](int depth, const QByteArray& between = QByteArray()) {
        return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + QByteArray("<array>" + between).repeated(depth)
            + QByteArray("</array>").repeated(depth) + "</plist>";
    };
    EXPECT_TRUE(parse(nestedXml(PlistCFType::kMaxNesting)).isCFArray());
    EXPECT_TRUE(parse(nestedXml(PlistCFType::kMaxNesting + 1)).isNull());
    EXPECT_TRUE(parse(nestedXml(300000)).isNull());
    // Closing tags that libplist skips must not lower the count.
    EXPECT_TRUE(parse(nestedXml(600, "<!-- </array> -->")).isNull());
    EXPECT_TRUE(parse(nestedXml(600, "<string><![CDATA[</array>]]></string>")).isNull());
    // Many containers side by side are no nesting.
    const QByteArray wide = "<plist><array>" + QByteArray("<dict><key>k</key><array/></dict>").repeated(5000)
        + "</array></plist>";
    const PlistCFType w = parse(wide);
    ASSERT_TRUE(w.isCFArray());
    EXPECT_EQ(w.array_size(), 5000);
}

TEST(PlistCFType, XmlNestingBoundFollowsLibplistTokens)
{
    auto bound = [](const QByteArray& xml) { return plistdetail::xmlNestingBound(xml.constData(), size_t(xml.size())); };
    EXPECT_EQ(bound("<plist><array><dict></dict><array><array/></array></array></plist>"), 2);
    EXPECT_EQ(bound("<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist><array></array></plist>"),
              1);
    // Markup inside comments, CDATA, processing instructions, quoted DOCTYPE
    // and attribute values is no markup.
    EXPECT_EQ(bound("<!-- <array><array> --><array></array>"), 1);
    EXPECT_EQ(bound("<? <array> \"?>\" <array> ?><array></array>"), 1);
    EXPECT_EQ(bound("<!DOCTYPE x \"[<array>\" [ <!ENTITY a \"]>\"> ]><array></array>"), 1);
    EXPECT_EQ(bound("<array a=\"></array>\"><array></array></array>"), 2);
    EXPECT_EQ(bound("<array ><dict\n><array />"), 2);
}

TEST(PlistCFType, ReadsFiles)
{
    QTemporaryDir dir;
    EXPECT_TRUE(PlistCFType::createCFPropertyListFromFile(dir.filePath("missing.plist")).isNull());
    EXPECT_TRUE(PlistCFType::createCFPropertyListFromFile(dir.path()).isNull());
    QFile f(dir.filePath("a.plist"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(everyKind().CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0));
    f.close();
    expectEveryKind(PlistCFType::createCFPropertyListFromFile(f.fileName()), true);
}
