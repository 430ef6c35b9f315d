#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/plistfixtures.h"

#include "foundation/plistcftype.h"

using plistfixtures::BplistWriter;
using P = PlistCFType;

namespace {

P reparse(const P& v)
{
    return P::createCFPropertyList(v.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0));
}

QHash<QString, P> decode(const QByteArray& bytes)
{
    return P::parseNSDictionaryStringCFType(P::createCFPropertyList(bytes));
}

// A keyed archive written byte by byte: a root dictionary whose NS.keys and
// NS.objects are the given indexes into a fixed "$objects":
//   0 "$null", 1 root, 2 "k1", 3 "k2", 4 "k3", 5 "v1", 6 "v2", 7 the integer 7.
QByteArray handArchive(const QList<quint64>& keyIdx, const QList<quint64>& objIdx, bool withRoot = true)
{
    BplistWriter w;
    for (const char* s : {"$null", "unused", "k1", "k2", "k3", "v1", "v2"})
        w.addAscii(s);
    w.addInt(7);
    const auto uids = [&w](const QList<quint64>& indexes) {
        QList<quint64> refs;
        for (quint64 i : indexes)
            refs << w.addUid(i);
        return w.addArray(refs);
    };
    const quint64 root = w.addDict({w.addAscii("NS.keys"), w.addAscii("NS.objects")}, {uids(keyIdx), uids(objIdx)});
    const quint64 objects = w.addArray({0, root, 2, 3, 4, 5, 6, 7});
    const quint64 top = withRoot ? w.addDict({w.addAscii("root")}, {w.addUid(1)}) : w.addDict({}, {});
    return w.bytes(w.addDict({w.addAscii("$objects"), w.addAscii("$top")}, {objects, top}));
}

} // namespace

TEST(NSKeyedArchiver, WritesTheArchiveLayoutAndReadsItBack)
{
    QHash<QString, P> map;
    map.insert("name", P::createCFString("Alice"));
    map.insert("count", P::createCFNumberInt64(3));
    map.insert("blob", P::createCFData("hi!"));
    // An entry without a value is left out rather than misnumbering the table.
    map.insert("none", P());

    const P archive = reparse(P::createNSDictionaryStringCFType(map, false));
    // Keys sorted, each value at the same distance from its key.
    EXPECT_EQ(archive.toString(),
              "{$archiver : NSKeyedArchiver, $objects : [$null, {NS.keys : [2, 3, 4], NS.objects : [5, 6, 7], $class : 8}, "
              "blob, count, name, aGkh, 3, Alice, {$classes : [NSDictionary, NSObject], $classname : NSDictionary}], "
              "$top : {root : 1}, $version : 100000}");
    const P root = archive.get("$objects").at(1);
    EXPECT_TRUE(archive.get("$top").get("root").isCFKeyedArchiverUID() && root.get("NS.keys").at(0).isCFKeyedArchiverUID()
                && root.get("NS.objects").at(2).isCFKeyedArchiverUID() && root.get("$class").isCFKeyedArchiverUID());

    const QHash<QString, P> back = P::parseNSDictionaryStringCFType(archive);
    EXPECT_EQ(back.size(), 3);
    EXPECT_EQ(back.value("name").CFStringQString(), "Alice");
    EXPECT_EQ(back.value("count").CFNumberInt(0), 3);
    EXPECT_EQ(back.value("blob").CFDataBytes(), "hi!");

    const P empty = reparse(P::createNSDictionaryStringCFType({}, true));
    EXPECT_EQ(empty.get("$objects").toString(),
              "[$null, {NS.keys : [], NS.objects : [], $class : 2}, {$classes : [NSMutableDictionary, NSDictionary, "
              "NSObject], $classname : NSMutableDictionary}]");
    EXPECT_TRUE(P::parseNSDictionaryStringCFType(empty).isEmpty());
}

// Run under the sanitizers: a value shared between the archive and its
// source would be freed twice.
TEST(NSKeyedArchiver, ValuesAreHandedOverOrCopied)
{
    P source = P::createCFDictionary();
    source.put("s", P::createCFString("from source"));
    QHash<QString, P> map;
    map.insert("borrowed", source.get("s"));
    map.insert("fresh", P::createCFArray({P::createCFNumberInt64(1)}));
    const P archive = P::createNSDictionaryStringCFType(map, false);
    map.clear(); // the fresh array now lives in the archive only
    EXPECT_EQ(source.get("s").CFStringQString(), "from source");
    source = P();

    // Decoded values are deep copies that outlive the archive; a nested value
    // is its own node, not archived further.
    QHash<QString, P> decoded = P::parseNSDictionaryStringCFType(reparse(archive));
    EXPECT_EQ(decoded.value("borrowed").CFStringQString(), "from source");
    EXPECT_EQ(decoded.value("fresh").toString(), "[1]");
    EXPECT_EQ(archive.get("$objects").at(5).toString(), "[1]");
}

TEST(NSKeyedArchiver, PythonReadsOurArchivesAndWeReadBackupFileRecords)
{
    if (!plistfixtures::havePython())
        GTEST_SKIP() << "python3 not available";
    QHash<QString, P> map;
    map.insert("a", P::createCFString("x"));
    map.insert("b", P::createCFNumberInt64(-2));
    EXPECT_EQ(plistfixtures::pythonLoads(
                  P::createNSDictionaryStringCFType(map, true).CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)),
              "{$archiver: NSKeyedArchiver, $objects: [$null, {NS.keys: [uid:2, uid:3], NS.objects: [uid:4, uid:5], "
              "$class: uid:6}, a, b, x, -2, {$classes: [NSMutableDictionary, NSDictionary, NSObject], "
              "$classname: NSMutableDictionary}], $top: {root: uid:1}, $version: 100000}");

    // The layout of a backup file list's "file" column: one level, borrowed.
    const P archive = P::createCFPropertyList(plistfixtures::pythonDumps(
        "{'$archiver': 'NSKeyedArchiver', '$version': 100000, '$top': {'root': plistlib.UID(1)}, "
        "'$objects': ['$null', {'RelativePath': plistlib.UID(2), 'Size': 4096, 'Mode': 0o100644, "
        "'$class': plistlib.UID(3)}, 'Library/Preferences/a.plist', "
        "{'$classes': ['MBFile', 'NSObject'], '$classname': 'MBFile'}]}",
        true));
    const QHash<QString, P> file = archive.NSKeyedArchiver();
    EXPECT_EQ(file.size(), 4);
    EXPECT_EQ(file.value("RelativePath").CFStringQString(), "Library/Preferences/a.plist");
    EXPECT_EQ(file.value("Size").CFNumberInt64(0), 4096);
    EXPECT_EQ(file.value("Mode").CFNumberInt(0), 0100644);
    EXPECT_EQ(file.value("$class").get("$classname").CFStringQString(), "MBFile");
}

TEST(NSKeyedArchiver, MalformedArchivesGiveWhatIsThere)
{
    EXPECT_EQ(decode(handArchive({2, 3, 4}, {5, 6, 7})).value("k3").CFNumberInt(0), 7);
    // NS.keys longer than NS.objects: two entries.
    const auto shorter = decode(handArchive({2, 3, 4}, {5, 6}));
    EXPECT_EQ(shorter.size(), 2);
    EXPECT_EQ(shorter.value("k2").CFStringQString(), "v2");
    // A key that is a number reads as ""; a value past the end of "$objects"
    // has no node; a later equal key replaces an earlier one.
    const auto odd = decode(handArchive({7, 2, 3, 3}, {5, 99, 5, 6}));
    EXPECT_EQ(odd.size(), 3);
    EXPECT_EQ(odd.value("").CFStringQString(), "v1");
    EXPECT_TRUE(odd.contains("k1"));
    EXPECT_TRUE(odd.value("k1").isNull());
    EXPECT_EQ(odd.value("k2").CFStringQString(), "v2");
    // No root: "$null", object 0, is no dictionary.
    const P noRoot = P::createCFPropertyList(handArchive({2}, {5}, false));
    ASSERT_TRUE(noRoot.isCFDictionary());
    EXPECT_TRUE(P::parseNSDictionaryStringCFType(noRoot).isEmpty());
    EXPECT_TRUE(noRoot.NSKeyedArchiver().isEmpty());

    // UIDs past 32 bits (libplist reads none from a file, but they can be
    // made) point past the table too, instead of being cut to a valid index.
    const long far = long(1) << 32;
    P root = P::createCFDictionary();
    root.put("NS.keys", P::createCFArray({P::createCFKeyedArchiverUID(2)}));
    root.put("NS.objects", P::createCFArray({P::createCFKeyedArchiverUID(far + 2)}));
    root.put("far", P::createCFKeyedArchiverUID(far + 2));
    P archive = P::createCFDictionary();
    archive.put("$objects", P::createCFArray({P::createCFString("$null"), root, P::createCFString("k")}));
    archive.put("$top", P::createCFDictionary().put("root", P::createCFKeyedArchiverUID(1)));
    const auto farMap = P::parseNSDictionaryStringCFType(archive);
    EXPECT_TRUE(farMap.contains("k"));
    EXPECT_TRUE(farMap.value("k").isNull());
    EXPECT_TRUE(archive.NSKeyedArchiver().value("far").isNull());

    // Roots past the table or of the wrong kind, "$objects" that is no
    // array, and things that are no archive at all.
    const auto expectNothing = [](const P& v) {
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(v).isEmpty()) << v.toString().toStdString();
        EXPECT_TRUE(v.NSKeyedArchiver().isEmpty()) << v.toString().toStdString();
    };
    for (const P& root : {P::createCFKeyedArchiverUID(far + 1), P::createCFKeyedArchiverUID(3), P::createCFNumberInt64(1)}) {
        archive.get("$top").put("root", root);
        expectNothing(archive);
    }
    archive.get("$top").put("root", P::createCFKeyedArchiverUID(1));
    archive.put("$objects", P::createCFString("nope"));
    expectNothing(archive);
    for (const P& v : {P(), P::createCFArray(), P::createCFDictionary()})
        expectNothing(v);
}
