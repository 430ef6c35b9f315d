// Manifest.db rows read in place: on archives written by libplist (not by the
// product) the in-place reader reads what the full reader reads, or declines
// and leaves the row to it; a merge takes its class keys from rows it reads
// for their keys only, and leaves those rows as they are stored.
#include <plist/plist.h>

#include <functional>

#include "backup/iosmergewafiles2itunesbkthread.h"
#include "backup/mbdbparser_p.h"
#include "foundation/progressform.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"

namespace {

using Edit = std::function<void(plist_t file, plist_t objects)>;

uint64_t last(plist_t objects, plist_t added)
{
    plist_array_append_item(objects, added);
    return plist_array_get_size(objects) - 1;
}

// An MBFile archive as a phone writes it (class 4, a stored key that unwraps
// with no class key), changed by `edit`.
QByteArray archive(const Edit& edit = {}, bool xml = false, const char* rootKey = "root")
{
    plist_t objects = plist_new_array(), file = plist_new_dict(), box = plist_new_dict(), top = plist_new_dict(),
            t = plist_new_dict();
    const QByteArray stored = QByteArray("\x04\0\0\0", 4) + QByteArray(40, 'w');
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, file);
    plist_dict_set_item(box, "NS.data", plist_new_data(stored.constData(), uint64_t(stored.size())));
    plist_dict_set_item(file, "EncryptionKey", plist_new_uid(last(objects, box)));
    plist_dict_set_item(file, "Mode", plist_new_uint(0x81A4));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(0x100000007ULL));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(4));
    plist_dict_set_item(file, "Birth", plist_new_uint(1600000000));
    if (edit)
        edit(file, objects);
    plist_dict_set_item(t, rootKey, plist_new_uid(1));
    plist_dict_set_item(top, "$top", t);
    plist_dict_set_item(top, "$objects", objects);
    char* out = nullptr;
    uint32_t n = 0;
    xml ? plist_to_xml(top, &out, &n) : plist_to_bin(top, &out, &n);
    const QByteArray bytes(out, qsizetype(n));
    xml ? plist_to_xml_free(out) : plist_to_bin_free(out);
    plist_free(top);
    return bytes;
}

QString fieldsOf(const MBDBParser::_MBDBItem& r, bool keysOnly)
{
    QStringList f{QString::number(r.mode, 8), QString::number(r.inodeHigh), QString::number(r.inodeNumber),
                  QString::number(r.protectionClass), QString::number(r.encryptionKey.isValid()) + r.encryptionKey.data.toHex()};
    if (!keysOnly)
        f << QString::number(r.digest.isValid()) + r.digest.data.toHex() << QString::number(r.linkTarget.isValid()) + r.linkTarget.data
          << QString::number(r.birth) << QString::number(r.groupId) << QString::number(r.lastModified)
          << QString::number(r.lastStatusChange) << QString::number(r.size) << QString::number(r.userId);
    return f.join(' ');
}

// Whether the in-place reader read every field, and whether both its
// readings (every field, keys only) agree with the full reader where they read.
std::pair<bool, bool> inPlaceAndAgreed(const QByteArray& value)
{
    MBDBParser::_MBDBItem full, keys, all;
    const bool ok = mbdbdetail::decodeMBFile(value, full), keysRead = mbdbdetail::decodeMBFileInPlace(value, keys, true),
               allRead = mbdbdetail::decodeMBFileInPlace(value, all, false);
    return {allRead, (!allRead || keysRead) && (!keysRead || (ok && fieldsOf(full, true) == fieldsOf(keys, true)))
                         && (!allRead || fieldsOf(full, false) == fieldsOf(all, false))};
}

Edit set(const char* key, plist_t value)
{
    return [=](plist_t f, plist_t) { plist_dict_set_item(f, key, value); };
}

} // namespace

TEST(ManifestRows, InPlaceReadingAgreesWithTheFullReaderOrDeclines)
{
    const QByteArray big(70000, 'b'); // offsets of three bytes
    const struct { const char* name; QByteArray value; bool inPlace; } cases[] = {
        {"as a phone writes it", archive(), true},
        {"key as plain data, a digest in a box, a link target", archive([](plist_t f, plist_t o) {
             plist_dict_set_item(f, "EncryptionKey", plist_new_uid(last(o, plist_new_data("0123456789", 10))));
             plist_t box = plist_new_dict();
             plist_dict_set_item(box, "NS.data", plist_new_data("abc", 3));
             plist_dict_set_item(f, "Digest", plist_new_uid(last(o, box)));
             plist_dict_set_item(f, "Target", plist_new_string("../elsewhere"));
         }), true},
        {"a key that names no object", archive(set("EncryptionKey", plist_new_uid(999))), true},
        {"NS.data of another type, an empty target, numbers of other types", archive([](plist_t f, plist_t o) {
             plist_dict_set_item(plist_array_get_item(o, 2), "NS.data", plist_new_string("k"));
             plist_dict_set_item(f, "Target", plist_new_string(""));
             plist_dict_set_item(f, "Mode", plist_new_string("x"));
             plist_dict_set_item(f, "Size", plist_new_data("7", 1));
         }), true},
        {"numbers behind UIDs, wider than their fields", archive([](plist_t f, plist_t o) {
             plist_dict_set_item(f, "Mode", plist_new_uid(last(o, plist_new_uint(0x141ED))));
             plist_dict_set_item(f, "ProtectionClass", plist_new_uint(0x1FF));
             plist_dict_set_item(f, "GroupID", plist_new_uint(0x1F0000001ULL));
             plist_dict_set_item(f, "InodeNumber", plist_new_uint(~0ULL));
         }), true},
        {"wide references and offsets", archive([&](plist_t f, plist_t o) {
             for (int i = 0; i < 300; ++i)
                 plist_array_append_item(o, plist_new_uint(uint64_t(i) << 20));
             plist_dict_set_item(f, "EncryptionKey", plist_new_uid(last(o, plist_new_data(big.constData(), uint64_t(big.size())))));
             plist_dict_set_item(f, "Mode", plist_new_uid(250));
         }), true},
        {"an XML archive", archive({}, true), false},
        {"a key that is no ASCII text", archive(set("Größe", plist_new_uint(1))), false},
        {"a link target that is no ASCII text", archive(set("Target", plist_new_string("Bücher"))), false},
        {"a link target holding a NUL", archive(set("Target", plist_new_string("a#z"))).replace("a#z", QByteArray("a\0z", 3)), false},
        {"no root", archive({}, false, "rout"), false},
        {"no keyed archive", "bplist00 and nothing of the format after it", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(inPlaceAndAgreed(c.value), std::make_pair(c.inPlace, true)) << c.name;

    // What it reads is the record's own, not a leftover. (Damaged archives:
    // the row fuzz target compares both readers.)
    MBDBParser::_MBDBItem r;
    r.encryptionKey.setVal("stale");
    r.digest.setVal("stale");
    ASSERT_TRUE(mbdbdetail::decodeMBFileInPlace(archive([](plist_t f, plist_t) { plist_dict_remove_item(f, "EncryptionKey"); }), r, false));
    EXPECT_EQ(fieldsOf(r, false), "100644 0 4294967303 4 0 0 0 1600000000 0 0 0 0 0");
}

// The merge takes its class keys from rows it reads for their keys only, and
// reads past the first rows of a class when none of their keys unwraps; the
// rows it does not change, its files' folder included, stay as stored.
TEST_F(BackupTest, MergeKeysComeFromRecordsItLeavesAlone)
{
    const QString L = "AppDomain-jp.naver.line";
    QJsonArray entries;
    for (int i = 0; i < 2 * mbdbdetail::kKeyCandidates; ++i)
        entries.append(QJsonObject{{"domain", L}, {"path", QString("dead%1").arg(i)},
                                   {"raw", QString::fromLatin1(archive(set("ProtectionClass", plist_new_uint(3))))}});
    entries.append(bb::folder(L, "dir")); // the merged files' folder: its row stays as it is
    entries.append(bb::file("HomeDomain", "three", "x", 3));
    entries.append(bb::file("HomeDomain", "four", "x", 4));
    const QString folder = build({{"password", "pw"}, {"entries", entries}});
    auto rows = [](const BackupManifest& b) {
        Sqlite3DB db;
        db.openThrow(b.decryptedManifestPath, 1);
        QMap<QString, QByteArray> all;
        for (Sqlite3Cursor c = db.queryThrow("select fileID, file from Files"); c.moveNext();)
            all[c.getText("fileID")] = c.getBlob("file");
        return all;
    };
    const auto b = open(folder, "pw");
    const auto before = rows(*b);
    ASSERT_TRUE(testenv::writeFile(tmp.filePath("n3"), "n3") && testenv::writeFile(tmp.filePath("n4"), "n4"));
    // A class-4 file alone: no class-3 key is needed, so nothing is read again.
    for (const bool class4 : {true, false}) {
        ProgressForm form("");
        const QString name = class4 ? "n4" : "n3";
        IOSMergeWAFiles2iTunesBKThread merge(*b, {{L, tmp.filePath(name), "dir/" + name, true, class4}}, form);
        merge.start();
        merge.wait();
    }

    const auto fresh = open(folder, "pw");
    const auto after = rows(*fresh);
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        EXPECT_EQ(after.value(it.key()), it.value()) << it.key();
    const MBDBParser::MBDBItemMap map = MBDBParser::parse(*fresh);
    for (const auto& [path, from, key] : {std::tuple{"n3", "three", built.fileKeys.size() - 2}, {"n4", "four", built.fileKeys.size() - 1}}) {
        const MBDBParser::_MBDBItem r = map.files.value(bb::fileId(L, QString("dir/") + path));
        EXPECT_EQ(r.encryptionKey.data, map.files.value(bb::fileId("HomeDomain", from)).encryptionKey.data) << path;
        EXPECT_EQ(bb::aesCbc(built.fileKeys[key], readFile(bb::dataPath(folder, r.backupFileName(), false)), false), path);
    }
}
