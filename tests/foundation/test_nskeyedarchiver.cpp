#include <gtest/gtest.h>

#include <plist/plist.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/plistfixtures.h"

#include "foundation/plistcftype.h"

using plistfixtures::BplistWriter;

namespace {

QStringList textsOf(const PlistCFType& array)
{
    QStringList out;
    for (int i = 0; i < array.array_size(); ++i)
        out << array.at(i).toString();
    return out;
}

QStringList keysOf(const PlistCFType& dict)
{
    QStringList out;
    for (const PlistCFType& k : dict.dict_keys())
        out << k.CFStringQString();
    return out;
}

PlistCFType reparse(const PlistCFType& v)
{
    return PlistCFType::createCFPropertyList(v.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0));
}

// A keyed archive written byte by byte: a root dictionary whose NS.keys and
// NS.objects are given as object indexes, over a fixed object table.
//   0 "$null", 1 root, 2 "k1", 3 "k2", 4 "k3", 5 "v1", 6 "v2", 7 the integer 7,
//   8 "NS.keys", 9 "NS.objects", 10 "$top", 11 "root", 12 "$objects", 13 UID 1 ...
QByteArray handArchive(const QList<quint64>& keyIdx, const QList<quint64>& objIdx, bool withRoot = true)
{
    BplistWriter w;
    w.addAscii("$null");
    w.addAscii("placeholder"); // replaced by the root below
    for (const char* s : {"k1", "k2", "k3", "v1", "v2"})
        w.addAscii(s);
    w.addInt(7);
    const quint64 nsKeys = quint64(w.addAscii("NS.keys"));
    const quint64 nsObjects = quint64(w.addAscii("NS.objects"));
    const quint64 topKey = quint64(w.addAscii("$top"));
    const quint64 rootKey = quint64(w.addAscii("root"));
    const quint64 objectsKey = quint64(w.addAscii("$objects"));
    QList<quint64> keyUids;
    QList<quint64> objUids;
    for (quint64 i : keyIdx)
        keyUids << quint64(w.addUid(i));
    for (quint64 i : objIdx)
        objUids << quint64(w.addUid(i));
    const quint64 keysArray = quint64(w.addArray(keyUids));
    const quint64 objsArray = quint64(w.addArray(objUids));
    const quint64 rootDict = quint64(w.addDict({nsKeys, nsObjects}, {keysArray, objsArray}));
    QList<quint64> table = {0, rootDict};
    for (quint64 i = 2; i <= 7; ++i)
        table << i;
    const quint64 objects = quint64(w.addArray(table));
    const quint64 uid1 = quint64(w.addUid(1));
    const quint64 topDict = withRoot ? quint64(w.addDict({rootKey}, {uid1})) : quint64(w.addDict({}, {}));
    const int archive = w.addDict({objectsKey, topKey}, {objects, topDict});
    return w.bytes(quint64(archive));
}

} // namespace

TEST(NSKeyedArchiver, WritesTheArchiveLayout)
{
    QHash<QString, PlistCFType> map;
    map.insert("name", PlistCFType::createCFString("Alice"));
    map.insert("count", PlistCFType::createCFNumberInt64(3));
    map.insert("when", PlistCFType::createCFDate(QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC)));

    const PlistCFType archive = reparse(PlistCFType::createNSDictionaryStringCFType(map, false));
    ASSERT_TRUE(archive.isCFDictionary());
    EXPECT_EQ(keysOf(archive), QStringList({"$archiver", "$objects", "$top", "$version"}));
    EXPECT_EQ(archive.get("$archiver").CFStringQString(), "NSKeyedArchiver");
    EXPECT_EQ(archive.get("$version").CFNumberInt(0), 100000);
    EXPECT_EQ(archive.get("$top").toString(), "{root : 1}");
    EXPECT_TRUE(archive.get("$top").get("root").isCFKeyedArchiverUID());

    const PlistCFType objects = archive.get("$objects");
    ASSERT_EQ(objects.array_size(), 9);
    EXPECT_EQ(objects.at(0).CFStringQString(), "$null");
    const PlistCFType root = objects.at(1);
    EXPECT_EQ(keysOf(root), QStringList({"NS.keys", "NS.objects", "$class"}));
    EXPECT_EQ(textsOf(root.get("NS.keys")), QStringList({"2", "3", "4"}));
    EXPECT_EQ(textsOf(root.get("NS.objects")), QStringList({"5", "6", "7"}));
    EXPECT_TRUE(root.get("NS.keys").at(0).isCFKeyedArchiverUID());
    EXPECT_EQ(root.get("$class").CFKeyedArchiverUIDGetValue(), 8u);
    // Keys in sorted order, each value at the same distance from its key.
    EXPECT_EQ(textsOf(objects).mid(2, 3), QStringList({"count", "name", "when"}));
    EXPECT_EQ(objects.at(5).CFNumberInt(0), 3);
    EXPECT_EQ(objects.at(6).CFStringQString(), "Alice");
    EXPECT_TRUE(objects.at(7).isCFDate());
    const PlistCFType classRecord = objects.at(8);
    EXPECT_EQ(keysOf(classRecord), QStringList({"$classes", "$classname"}));
    EXPECT_EQ(textsOf(classRecord.get("$classes")), QStringList({"NSDictionary", "NSObject"}));
    EXPECT_EQ(classRecord.get("$classname").CFStringQString(), "NSDictionary");

    const QHash<QString, PlistCFType> back = PlistCFType::parseNSDictionaryStringCFType(archive);
    EXPECT_EQ(back.size(), 3);
    EXPECT_EQ(back.value("name").CFStringQString(), "Alice");
    EXPECT_EQ(back.value("count").CFNumberInt(0), 3);
    EXPECT_EQ(back.value("when").CFDateToDateTime(0), QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC));
}

TEST(NSKeyedArchiver, EmptyAndMutableDictionaries)
{
    const PlistCFType empty = reparse(PlistCFType::createNSDictionaryStringCFType({}, false));
    const PlistCFType objects = empty.get("$objects");
    ASSERT_EQ(objects.array_size(), 3);
    EXPECT_TRUE(objects.at(1).get("NS.keys").isCFArray());
    EXPECT_EQ(objects.at(1).get("NS.keys").array_size(), 0);
    EXPECT_EQ(objects.at(1).get("NS.objects").array_size(), 0);
    EXPECT_EQ(objects.at(1).get("$class").CFKeyedArchiverUIDGetValue(), 2u);
    EXPECT_EQ(objects.at(2).get("$classname").CFStringQString(), "NSDictionary");
    EXPECT_TRUE(PlistCFType::parseNSDictionaryStringCFType(empty).isEmpty());

    QHash<QString, PlistCFType> one;
    one.insert("k", PlistCFType::createCFBoolean(true));
    const PlistCFType mut = PlistCFType::createNSDictionaryStringCFType(one, true);
    const PlistCFType classRecord = mut.get("$objects").at(4);
    EXPECT_EQ(textsOf(classRecord.get("$classes")), QStringList({"NSMutableDictionary", "NSDictionary", "NSObject"}));
    EXPECT_EQ(classRecord.get("$classname").CFStringQString(), "NSMutableDictionary");

    // An entry without a value is left out rather than misnumbering the table.
    one.insert("none", PlistCFType());
    const PlistCFType skipped = PlistCFType::createNSDictionaryStringCFType(one, false);
    EXPECT_EQ(skipped.get("$objects").array_size(), 5);
    EXPECT_EQ(PlistCFType::parseNSDictionaryStringCFType(skipped).keys(), QList<QString>({"k"}));
}

TEST(NSKeyedArchiver, ValuesAreHandedOverOrCopied)
{
    // Values from another tree are copied; that tree stays whole.
    PlistCFType source = PlistCFType::createCFDictionary();
    source.put("s", PlistCFType::createCFString("from source"));
    QHash<QString, PlistCFType> map;
    map.insert("borrowed", source.get("s"));
    map.insert("fresh", PlistCFType::createCFArray({PlistCFType::createCFNumberInt64(1)}));
    const PlistCFType archive = PlistCFType::createNSDictionaryStringCFType(map, false);
    map.clear(); // the fresh array now lives in the archive only
    EXPECT_EQ(source.get("s").CFStringQString(), "from source");
    source = PlistCFType();

    // Decoded values are deep copies that outlive the archive.
    QHash<QString, PlistCFType> decoded;
    {
        const PlistCFType parsed = reparse(archive);
        decoded = PlistCFType::parseNSDictionaryStringCFType(parsed);
    }
    EXPECT_EQ(decoded.value("borrowed").CFStringQString(), "from source");
    EXPECT_EQ(decoded.value("fresh").toString(), "[1]");
    // A nested value is not archived further: it is its own node.
    EXPECT_EQ(archive.get("$objects").at(5).toString(), "[1]");
}

TEST(NSKeyedArchiver, PythonReadsOurArchive)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    QHash<QString, PlistCFType> map;
    map.insert("a", PlistCFType::createCFString("x"));
    map.insert("b", PlistCFType::createCFNumberInt64(-2));
    const QByteArray bytes = PlistCFType::createNSDictionaryStringCFType(map, true).CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    EXPECT_EQ(plistfixtures::pythonLoads(bytes),
              "{$archiver: NSKeyedArchiver, $objects: [$null, {NS.keys: [uid:2, uid:3], NS.objects: [uid:4, uid:5], "
              "$class: uid:6}, a, b, x, -2, {$classes: [NSMutableDictionary, NSDictionary, NSObject], "
              "$classname: NSMutableDictionary}], $top: {root: uid:1}, $version: 100000}");
}

TEST(NSKeyedArchiver, ReadsWhatPythonArchives)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    // The layout written by hand in Python, object by object.
    const QByteArray bytes = plistfixtures::pythonDumps(
        "{'$archiver': 'NSKeyedArchiver', '$version': 100000, '$top': {'root': plistlib.UID(1)}, "
        "'$objects': ['$null', {'NS.keys': [plistlib.UID(2), plistlib.UID(3)], "
        "'NS.objects': [plistlib.UID(4), plistlib.UID(5)], '$class': plistlib.UID(6)}, "
        "'title', 'n', 'Hello', 42, {'$classes': ['NSDictionary', 'NSObject'], '$classname': 'NSDictionary'}]}",
        true);
    const PlistCFType archive = PlistCFType::createCFPropertyList(bytes);
    const QHash<QString, PlistCFType> map = PlistCFType::parseNSDictionaryStringCFType(archive);
    EXPECT_EQ(map.size(), 2);
    EXPECT_EQ(map.value("title").CFStringQString(), "Hello");
    EXPECT_EQ(map.value("n").CFNumberInt(0), 42);

    // One level of the root, borrowed: the arrays stay arrays of UIDs.
    const QHash<QString, PlistCFType> rootLevel = archive.NSKeyedArchiver();
    QStringList keys = rootLevel.keys();
    keys.sort();
    EXPECT_EQ(keys, QStringList({"$class", "NS.keys", "NS.objects"}));
    EXPECT_EQ(textsOf(rootLevel.value("NS.keys")), QStringList({"2", "3"}));
    EXPECT_TRUE(rootLevel.value("NS.objects").at(0).isCFKeyedArchiverUID());
    EXPECT_EQ(rootLevel.value("$class").get("$classname").CFStringQString(), "NSDictionary");
}

TEST(NSKeyedArchiver, DecodesBackupFileRecords)
{
    const PlistCFType archive = PlistCFType::createCFPropertyList(plistfixtures::mbFileArchive("Library/Preferences/a.plist", 4096));
    const QHash<QString, PlistCFType> file = archive.NSKeyedArchiver();
    EXPECT_EQ(file.value("RelativePath").CFStringQString(), "Library/Preferences/a.plist");
    EXPECT_EQ(file.value("Size").CFNumberInt64(0), 4096);
    EXPECT_EQ(file.value("Mode").CFNumberInt(0), 0100644);
    EXPECT_EQ(file.value("ProtectionClass").CFNumberInt(0), 3);
    EXPECT_EQ(file.value("LastModified").CFNumberInt64(0), 1700000000);
    EXPECT_EQ(file.value("$class").get("$classname").CFStringQString(), "MBFile");
    EXPECT_EQ(file.size(), 12);
}

TEST(NSKeyedArchiver, MalformedArchivesGiveWhatIsThere)
{
    // Well-formed: three keys, three values.
    {
        const PlistCFType a = PlistCFType::createCFPropertyList(handArchive({2, 3, 4}, {5, 6, 7}));
        const auto map = PlistCFType::parseNSDictionaryStringCFType(a);
        EXPECT_EQ(map.size(), 3);
        EXPECT_EQ(map.value("k3").CFNumberInt(0), 7);
    }
    // NS.keys longer than NS.objects: two entries.
    {
        const auto map = PlistCFType::parseNSDictionaryStringCFType(
            PlistCFType::createCFPropertyList(handArchive({2, 3, 4}, {5, 6})));
        EXPECT_EQ(map.size(), 2);
        EXPECT_EQ(map.value("k2").CFStringQString(), "v2");
    }
    // A key that is a number reads as ""; a value past the end of "$objects"
    // has no node; a later equal key replaces an earlier one.
    {
        const auto map = PlistCFType::parseNSDictionaryStringCFType(
            PlistCFType::createCFPropertyList(handArchive({7, 2, 3, 3}, {5, 99, 5, 6})));
        EXPECT_EQ(map.size(), 3);
        EXPECT_EQ(map.value("").CFStringQString(), "v1");
        EXPECT_TRUE(map.contains("k1"));
        EXPECT_TRUE(map.value("k1").isNull());
        EXPECT_EQ(map.value("k2").CFStringQString(), "v2");
    }
    // UIDs past 32 bits (libplist reads none from a file, but they can be
    // made) point past the table too, instead of being cut to a valid index.
    {
        const qint64 far = qint64(1) << 32;
        PlistCFType root = PlistCFType::createCFDictionary();
        root.put("NS.keys", PlistCFType::createCFArray({PlistCFType::createCFKeyedArchiverUID(2)}));
        root.put("NS.objects", PlistCFType::createCFArray({PlistCFType::createCFKeyedArchiverUID(long(far + 2))}));
        root.put("far", PlistCFType::createCFKeyedArchiverUID(long(far + 2)));
        PlistCFType archive = PlistCFType::createCFDictionary();
        archive.put("$objects", PlistCFType::createCFArray({PlistCFType::createCFString("$null"), root,
                                                            PlistCFType::createCFString("k")}));
        archive.put("$top", PlistCFType::createCFDictionary().put("root", PlistCFType::createCFKeyedArchiverUID(1)));
        const auto map = PlistCFType::parseNSDictionaryStringCFType(archive);
        EXPECT_TRUE(map.contains("k"));
        EXPECT_TRUE(map.value("k").isNull());
        EXPECT_TRUE(archive.NSKeyedArchiver().value("far").isNull());
        archive.get("$top").put("root", PlistCFType::createCFKeyedArchiverUID(long(far + 1)));
        EXPECT_TRUE(archive.NSKeyedArchiver().isEmpty());
        EXPECT_TRUE(PlistCFType::parseNSDictionaryStringCFType(archive).isEmpty());
    }
    // No root: both readers give nothing ("$null", object 0, is no dictionary).
    {
        const PlistCFType a = PlistCFType::createCFPropertyList(handArchive({2}, {5}, false));
        ASSERT_TRUE(a.isCFDictionary());
        EXPECT_TRUE(PlistCFType::parseNSDictionaryStringCFType(a).isEmpty());
        EXPECT_TRUE(a.NSKeyedArchiver().isEmpty());
    }
    // Not an archive at all.
    for (const PlistCFType& v : {PlistCFType(), PlistCFType::createCFArray(), PlistCFType::createCFDictionary()}) {
        EXPECT_TRUE(PlistCFType::parseNSDictionaryStringCFType(v).isEmpty());
        EXPECT_TRUE(v.NSKeyedArchiver().isEmpty());
    }
    // "$objects" that is no array, a root UID past the table, a root that is no UID.
    PlistCFType odd = PlistCFType::createCFDictionary();
    odd.put("$objects", PlistCFType::createCFString("nope"));
    odd.put("$top", PlistCFType::createCFDictionary().put("root", PlistCFType::createCFKeyedArchiverUID(1)));
    EXPECT_TRUE(odd.NSKeyedArchiver().isEmpty());
    EXPECT_TRUE(PlistCFType::parseNSDictionaryStringCFType(odd).isEmpty());
    odd.put("$objects", PlistCFType::createCFArray({PlistCFType::createCFString("$null")}));
    EXPECT_TRUE(odd.NSKeyedArchiver().isEmpty());
    odd.get("$top").put("root", PlistCFType::createCFNumberInt64(1));
    EXPECT_TRUE(PlistCFType::parseNSDictionaryStringCFType(odd).isEmpty());
}
