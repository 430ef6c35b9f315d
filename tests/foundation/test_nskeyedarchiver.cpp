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

// A keyed archive written byte by byte: a root dictionary whose NS.keys and
// NS.objects are the given indexes into a fixed "$objects":
//   0 "$null", 1 root, 2 "k1", 3 "k2", 4 "k3", 5 "v1", 6 "v2", 7 the integer 7.
QHash<QString, P> decodeHandMade(const QList<quint64>& keyIdx, const QList<quint64>& objIdx)
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
    const quint64 top = w.addDict({w.addAscii("root")}, {w.addUid(1)});
    return P::parseNSDictionaryStringCFType(
        P::createCFPropertyList(w.bytes(w.addDict({w.addAscii("$objects"), w.addAscii("$top")}, {objects, top}))));
}

// Python's plistlib sees the layout Foundation writes, and values come back
// as copies that outlive the archive (run under the sanitizers: a value
// shared between the archive and its source would be freed twice).
TEST(NSKeyedArchiver, WritesTheArchiveLayoutAndReadsItBack)
{
    P source = P::createCFDictionary();
    source.put("s", P::createCFString("x"));
    QHash<QString, P> map{{"a", source.get("s")}, {"b", P::createCFNumberInt64(-2)}, {"none", P()}};
    const P archive = reparse(P::createNSDictionaryStringCFType(map, true));
    map.clear();
    source = P();
    if (plistfixtures::havePython())
        EXPECT_EQ(plistfixtures::pythonLoads(archive.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)),
                  "{$archiver: NSKeyedArchiver, $objects: [$null, {NS.keys: [uid:2, uid:3], NS.objects: [uid:4, uid:5], "
                  "$class: uid:6}, a, b, x, -2, {$classes: [NSMutableDictionary, NSDictionary, NSObject], "
                  "$classname: NSMutableDictionary}], $top: {root: uid:1}, $version: 100000}");
    QHash<QString, P> back = P::parseNSDictionaryStringCFType(archive);
    EXPECT_EQ(back.keys().size(), 2);
    EXPECT_EQ(back.value("a").CFStringQString() + back.value("b").toString(), "x-2");
    EXPECT_EQ(reparse(P::createNSDictionaryStringCFType({}, false)).get("$objects").toString(),
              "[$null, {NS.keys : [], NS.objects : [], $class : 2}, {$classes : [NSDictionary, NSObject], "
              "$classname : NSDictionary}]");
}

TEST(NSKeyedArchiver, BackupFileRecordsAreReadAndMalformedArchivesGiveWhatIsThere)
{
    if (plistfixtures::havePython()) { // the layout of a backup file list's "file" column
        const P archive = P::createCFPropertyList(plistfixtures::pythonDumps(
            "{'$archiver': 'NSKeyedArchiver', '$version': 100000, '$top': {'root': plistlib.UID(1)}, "
            "'$objects': ['$null', {'RelativePath': plistlib.UID(2), 'Size': 4096, '$class': plistlib.UID(3)}, "
            "'Library/a.plist', {'$classes': ['MBFile', 'NSObject'], '$classname': 'MBFile'}]}",
            true));
        const QHash<QString, P> file = archive.NSKeyedArchiver(); // borrowed: valid while the archive lives
        EXPECT_EQ(file.value("RelativePath").CFStringQString() + file.value("Size").toString(), "Library/a.plist4096");
        EXPECT_EQ(file.value("$class").get("$classname").CFStringQString(), "MBFile");
    }
    EXPECT_EQ(decodeHandMade({2, 3, 4}, {5, 6, 7}).value("k3").CFNumberInt(0), 7);
    EXPECT_EQ(decodeHandMade({2, 3, 4}, {5, 6}).size(), 2); // NS.keys longer than NS.objects
    // A key that is a number reads as ""; a value past the end of "$objects"
    // has no node; a later equal key replaces an earlier one.
    const auto odd = decodeHandMade({7, 2, 3, 3}, {5, 99, 5, 6});
    EXPECT_EQ(odd.size(), 3);
    EXPECT_EQ(odd.value("").CFStringQString() + odd.value("k2").CFStringQString(), "v1v2");
    EXPECT_TRUE(odd.contains("k1") && odd.value("k1").isNull());

    // UIDs past 32 bits point past the table too, instead of being cut to a
    // valid index; so do roots past the table or of the wrong kind.
    const long far = long(1) << 32;
    P root = P::createCFDictionary();
    root.put("NS.keys", P::createCFArray({P::createCFKeyedArchiverUID(2)}));
    root.put("NS.objects", P::createCFArray({P::createCFKeyedArchiverUID(far + 2)}));
    root.put("far", P::createCFKeyedArchiverUID(far + 2));
    P archive = P::createCFDictionary();
    archive.put("$objects", P::createCFArray({P::createCFString("$null"), root, P::createCFString("k")}));
    archive.put("$top", P::createCFDictionary().put("root", P::createCFKeyedArchiverUID(1)));
    EXPECT_TRUE(P::parseNSDictionaryStringCFType(archive).contains("k"));
    EXPECT_TRUE(P::parseNSDictionaryStringCFType(archive).value("k").isNull());
    EXPECT_TRUE(archive.NSKeyedArchiver().value("far").isNull());
    for (const P& top : {P::createCFKeyedArchiverUID(far + 1), P::createCFKeyedArchiverUID(3), P::createCFNumberInt64(1)}) {
        archive.get("$top").put("root", top);
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(archive).isEmpty() && archive.NSKeyedArchiver().isEmpty());
    }
    for (const P& v : {P(), P::createCFArray(), P::createCFDictionary()})
        EXPECT_TRUE(P::parseNSDictionaryStringCFType(v).isEmpty() && v.NSKeyedArchiver().isEmpty());
}

} // namespace
