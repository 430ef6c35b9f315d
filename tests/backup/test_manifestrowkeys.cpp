// The in-place reading of a Manifest.db row's archive (all of it, or the
// keys only of a row a merge leaves alone): on archives written by libplist
// (not by the product), it reads what the full reader reads, or declines and
// leaves the row to it.
#include <plist/plist.h>

#include <functional>

#include "backup/mbdbparser_p.h"
#include "tests/backup/backuptest.h"

namespace {

using Dict = std::function<void(plist_t file, plist_t objects)>;

QByteArray serialise(plist_t top, bool xml)
{
    char* out = nullptr;
    uint32_t n = 0;
    xml ? plist_to_xml(top, &out, &n) : plist_to_bin(top, &out, &n);
    QByteArray bytes(out, qsizetype(n));
    xml ? plist_to_xml_free(out) : plist_to_bin_free(out);
    plist_free(top);
    return bytes;
}

// An MBFile archive as the phone writes it; `change` edits the root object
// and $objects before it is written.
QByteArray archive(const Dict& change = {}, bool xml = false, const char* rootKey = "root")
{
    plist_t objects = plist_new_array(), file = plist_new_dict(), keyBox = plist_new_dict();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, plist_new_string("Library/a"));
    const QByteArray stored = QByteArray("\x03\0\0\0", 4) + QByteArray(40, 'w');
    plist_dict_set_item(keyBox, "NS.data", plist_new_data(stored.constData(), uint64_t(stored.size())));
    plist_array_append_item(objects, keyBox);
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(file, "EncryptionKey", plist_new_uid(3));
    plist_dict_set_item(file, "Mode", plist_new_uint(0x81A4));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(0x100000007ULL));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(4));
    plist_dict_set_item(file, "Size", plist_new_uint(1234));
    plist_dict_set_item(file, "Birth", plist_new_uint(1600000000));
    if (change)
        change(file, objects);
    plist_t top = plist_new_dict(), t = plist_new_dict();
    plist_dict_set_item(t, rootKey, plist_new_uid(1));
    plist_dict_set_item(top, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(top, "$top", t);
    plist_dict_set_item(top, "$objects", objects);
    return serialise(top, xml);
}

// The fields of the in-place reader's keysOnly reading, or all of them.
QString fieldsOf(const MBDBParser::_MBDBItem& r, bool keysOnly)
{
    QString f = QString("%1 %2 %3 %4 %5:%6")
                    .arg(r.mode, 0, 8)
                    .arg(r.inodeHigh)
                    .arg(r.inodeNumber)
                    .arg(r.protectionClass)
                    .arg(r.encryptionKey.isValid())
                    .arg(QString::fromLatin1(r.encryptionKey.data.toHex()));
    if (!keysOnly)
        f += QString(" %1:%2 %3:%4 %5 %6 %7 %8 %9 %10")
                 .arg(r.digest.isValid())
                 .arg(QString::fromLatin1(r.digest.data.toHex()))
                 .arg(r.linkTarget.isValid())
                 .arg(QString::fromLatin1(r.linkTarget.data))
                 .arg(r.birth)
                 .arg(r.groupId)
                 .arg(r.lastModified)
                 .arg(r.lastStatusChange)
                 .arg(r.size)
                 .arg(r.userId);
    return f;
}

// Both readers over `value`: whether the in-place one read every field, and
// whether it agrees with the full one wherever it read (every field or the
// keys only).
struct Outcome
{
    bool inPlace = false, full = false, agree = true;
};
Outcome both(const QByteArray& value)
{
    MBDBParser::_MBDBItem a, keys, all;
    Outcome o;
    o.full = mbdbdetail::decodeMBFile(value, a);
    const bool keysRead = mbdbdetail::decodeMBFileInPlace(value, keys, true);
    o.inPlace = mbdbdetail::decodeMBFileInPlace(value, all, false);
    // Reading every field declines wherever reading the keys does.
    o.agree = (!o.inPlace || keysRead) && (!keysRead || (o.full && fieldsOf(a, true) == fieldsOf(keys, true)))
        && (!o.inPlace || fieldsOf(a, false) == fieldsOf(all, false));
    return o;
}

} // namespace

TEST(ManifestRowKeys, InPlaceReadingAgreesWithTheFullReaderOrDeclines)
{
    const QByteArray big(70000, 'b'); // offsets of three bytes
    const struct
    {
        const char* name;
        QByteArray value;
        bool inPlace;
    } cases[] = {
        {"as the phone writes it", archive(), true},
        {"the key as plain data",
         archive([](plist_t f, plist_t o) {
             plist_array_append_item(o, plist_new_data("0123456789", 10));
             plist_dict_set_item(f, "EncryptionKey", plist_new_uid(plist_array_get_size(o) - 1));
         }),
         true},
        {"no key", archive([](plist_t f, plist_t) { plist_dict_remove_item(f, "EncryptionKey"); }), true},
        {"a key that names no object",
         archive([](plist_t f, plist_t) { plist_dict_set_item(f, "EncryptionKey", plist_new_uid(999)); }), true},
        {"a key box without NS.data",
         archive([](plist_t, plist_t o) { plist_dict_remove_item(plist_array_get_item(o, 3), "NS.data"); }), true},
        {"NS.data of another type",
         archive([](plist_t, plist_t o) { plist_dict_set_item(plist_array_get_item(o, 3), "NS.data", plist_new_string("k")); }),
         true},
        {"a mode of another type", archive([](plist_t f, plist_t) { plist_dict_set_item(f, "Mode", plist_new_string("x")); }), true},
        {"numbers behind UIDs",
         archive([](plist_t f, plist_t o) {
             plist_array_append_item(o, plist_new_uint(0x41ED));
             plist_dict_set_item(f, "Mode", plist_new_uid(plist_array_get_size(o) - 1));
             plist_dict_set_item(f, "ProtectionClass", plist_new_uint(0x1FF)); // the low 8 bits count
         }),
         true},
        {"the largest inode number",
         archive([](plist_t f, plist_t) { plist_dict_set_item(f, "InodeNumber", plist_new_uint(~0ULL)); }), true},
        {"wide references and offsets",
         archive([&](plist_t f, plist_t o) {
             for (int i = 0; i < 300; ++i)
                 plist_array_append_item(o, plist_new_uint(uint64_t(i) << 20));
             plist_array_append_item(o, plist_new_data(big.constData(), uint64_t(big.size())));
             plist_dict_set_item(f, "EncryptionKey", plist_new_uid(plist_array_get_size(o) - 1));
             plist_dict_set_item(f, "Mode", plist_new_uid(250));
         }),
         true},
        {"digest and link target",
         archive([](plist_t f, plist_t o) {
             plist_array_append_item(o, plist_new_data("01234567890123456789", 20));
             plist_dict_set_item(f, "Digest", plist_new_uid(plist_array_get_size(o) - 1));
             plist_dict_set_item(f, "Target", plist_new_string("../elsewhere"));
             for (const char* n : {"GroupID", "UserID", "LastModified", "LastStatusChange"})
                 plist_dict_set_item(f, n, plist_new_uint(0x1F0000001ULL)); // kept to 32 bits
         }),
         true},
        {"a digest in a box, an empty target, numbers of other types",
         archive([](plist_t f, plist_t o) {
             plist_t box = plist_new_dict();
             plist_dict_set_item(box, "NS.data", plist_new_data("abc", 3));
             plist_array_append_item(o, box);
             plist_dict_set_item(f, "Digest", plist_new_uid(plist_array_get_size(o) - 1));
             plist_dict_set_item(f, "Target", plist_new_string(""));
             plist_dict_set_item(f, "Size", plist_new_data("7", 1));
             plist_dict_set_item(f, "UserID", plist_new_string("501"));
         }),
         true},
        // Left to the full reader:
        {"a link target that is no ASCII text",
         archive([](plist_t f, plist_t) { plist_dict_set_item(f, "Target", plist_new_string("Bücher")); }), false},
        {"an XML archive", archive({}, true), false},
        {"a key that is no ASCII text",
         archive([](plist_t f, plist_t) { plist_dict_set_item(f, "Größe", plist_new_uint(1)); }), false},
        {"no root", archive({}, false, "rout"), false},
        {"no keyed archive", QByteArray("bplist00 and nothing that follows the format at all"), false},
        {"empty", QByteArray(), false},
    };
    for (const auto& c : cases) {
        const Outcome o = both(c.value);
        EXPECT_EQ(o.inPlace, c.inPlace) << c.name;
        EXPECT_TRUE(o.agree) << c.name;
    }
    // What it reads is the record's own, not a leftover.
    MBDBParser::_MBDBItem r;
    r.encryptionKey.setVal("stale");
    r.digest.setVal("stale");
    r.inodeHigh = 9;
    ASSERT_TRUE(mbdbdetail::decodeMBFileInPlace(
        archive([](plist_t f, plist_t) { plist_dict_remove_item(f, "EncryptionKey"); }), r, false));
    EXPECT_EQ(fieldsOf(r, false), "100644 0 4294967303 4 0: 0: 0: 1600000000 0 0 0 1234 0");
}

// Damaged archives: every byte changed, every length cut. The in-place
// reader stays within the bytes (the sanitized build checks) and never
// reads a value other than the full reader's.
TEST(ManifestRowKeys, DamagedArchivesNeverGiveOtherValues)
{
    const QByteArray good = archive();
    int read = 0;
    auto check = [&](const QByteArray& v, const QString& what) {
        const Outcome o = both(v);
        if (o.inPlace && o.full)
            ++read;
        EXPECT_TRUE(!o.full || o.agree) << what.toStdString();
    };
    for (int i = 0; i < good.size(); ++i) {
        for (const uchar x : {0x00, 0xFF, 0x0F, 0x80}) {
            QByteArray v = good;
            v[i] = char(uchar(v[i]) ^ x);
            check(v, QString("byte %1 ^ %2").arg(i).arg(x));
        }
        check(good.left(i), QString("cut at %1").arg(i));
    }
    EXPECT_GT(read, good.size()); // most changes fall outside the fields read
}
