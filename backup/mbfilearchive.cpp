// The `file` value of a Manifest.db row: an NSKeyedArchiver archive whose root
// object is an MBFile. Walked with libplist directly, after PlistCFType's
// guarded parse: one row per file of a backup makes this the hot path.
#include <plist/plist.h>

#include "backup/mbdbparser_p.h"
#include "foundation/plistcftype.h"

namespace {

bool is(plist_t node, plist_type type)
{
    return node && plist_get_node_type(node) == type;
}

class Archive
{
public:
    // False when the value is no keyed archive with a dictionary as its root.
    bool open(plist_t top)
    {
        if (!is(top, PLIST_DICT))
            return false;
        m_objects = plist_dict_get_item(top, "$objects");
        plist_t t = plist_dict_get_item(top, "$top");
        if (!is(m_objects, PLIST_ARRAY) || !is(t, PLIST_DICT))
            return false;
        plist_t root = plist_dict_get_item(t, "root");
        m_root = is(root, PLIST_UID) ? resolve(root) : nullptr;
        return is(m_root, PLIST_DICT);
    }

    // The root's entry, a UID replaced by the object it names.
    plist_t field(const char* key) const { return resolve(plist_dict_get_item(m_root, key)); }

    quint64 number(const char* key) const
    {
        uint64_t v = 0;
        plist_t n = field(key);
        if (is(n, PLIST_UINT))
            plist_get_uint_val(n, &v);
        return v;
    }

    // Data, or a dictionary whose "NS.data" is data.
    bool data(const char* key, MBDBParser::_MBDBBinary* out) const
    {
        plist_t n = field(key);
        if (is(n, PLIST_DICT))
            n = plist_dict_get_item(n, "NS.data");
        if (!is(n, PLIST_DATA))
            return false;
        uint64_t len = 0;
        const char* p = plist_get_data_ptr(n, &len);
        out->setVal(QByteArray(p, qsizetype(len)));
        return true;
    }

private:
    plist_t resolve(plist_t node) const
    {
        if (!is(node, PLIST_UID))
            return node;
        uint64_t index = 0;
        plist_get_uid_val(node, &index);
        return index < plist_array_get_size(m_objects) ? plist_array_get_item(m_objects, uint32_t(index)) : nullptr;
    }

    plist_t m_objects = nullptr;
    plist_t m_root = nullptr;
};

} // namespace

bool mbdbdetail::decodeMBFile(const QByteArray& value, MBDBParser::_MBDBItem& item)
{
    const PlistCFType plist = PlistCFType::createCFPropertyList(value);
    Archive a;
    if (!a.open(static_cast<plist_t>(plist.ref())))
        return false;
    plist_t target = a.field("Target");
    uint64_t len = 0;
    if (is(target, PLIST_STRING) && plist_get_string_ptr(target, &len) && len > 0)
        item.linkTarget.setVal(QByteArray(plist_get_string_ptr(target, &len), qsizetype(len)));
    a.data("Digest", &item.digest);
    a.data("EncryptionKey", &item.encryptionKey);
    item.mode = quint16(a.number("Mode"));
    item.inodeNumber = qint64(a.number("InodeNumber"));
    item.inodeHigh = 0;
    item.userId = quint32(a.number("UserID"));
    item.groupId = quint32(a.number("GroupID"));
    item.lastModified = quint32(a.number("LastModified"));
    item.lastStatusChange = quint32(a.number("LastStatusChange"));
    item.birth = quint32(a.number("Birth"));
    item.size = qint64(a.number("Size"));
    item.protectionClass = qint8(a.number("ProtectionClass"));
    return true;
}
