// The `file` value of a Manifest.db row: an NSKeyedArchiver archive whose root
// object is an MBFile. Walked with libplist directly, after PlistCFType's
// guarded parse: one row per file of a backup makes this the hot path.
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>

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

    // Each entry of the root, a UID value replaced by the object it names. A
    // later equal key replaces an earlier one, as in a lookup table.
    template <class F>
    void forEach(F f) const
    {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(m_root, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(m_root, it, &key, &value);
            if (!value) {
                free(key);
                break;
            }
            if (key)
                f(key, resolve(value));
            free(key);
        }
        free(it);
    }

    // Data, or a dictionary whose "NS.data" is data.
    void data(plist_t n, MBDBParser::_MBDBBinary* out) const
    {
        if (is(n, PLIST_DICT))
            n = plist_dict_get_item(n, "NS.data");
        if (!is(n, PLIST_DATA))
            return;
        uint64_t len = 0;
        const char* p = plist_get_data_ptr(n, &len);
        out->setVal(QByteArray(p, qsizetype(len)));
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
    // One pass over the root's entries: a lookup per field would scan the
    // keys again for each of them.
    item.inodeHigh = 0;
    a.forEach([&](const char* key, plist_t value) {
        auto number = [&] {
            uint64_t v = 0;
            if (is(value, PLIST_UINT))
                plist_get_uint_val(value, &v);
            return v;
        };
        switch (key[0]) {
        case 'B': if (!strcmp(key, "Birth")) item.birth = quint32(number()); break;
        case 'D': if (!strcmp(key, "Digest")) a.data(value, &item.digest); break;
        case 'E': if (!strcmp(key, "EncryptionKey")) a.data(value, &item.encryptionKey); break;
        case 'G': if (!strcmp(key, "GroupID")) item.groupId = quint32(number()); break;
        case 'I': if (!strcmp(key, "InodeNumber")) item.inodeNumber = qint64(number()); break;
        case 'M': if (!strcmp(key, "Mode")) item.mode = quint16(number()); break;
        case 'P': if (!strcmp(key, "ProtectionClass")) item.protectionClass = qint8(number()); break;
        case 'S': if (!strcmp(key, "Size")) item.size = qint64(number()); break;
        case 'U': if (!strcmp(key, "UserID")) item.userId = quint32(number()); break;
        case 'L':
            if (!strcmp(key, "LastModified"))
                item.lastModified = quint32(number());
            else if (!strcmp(key, "LastStatusChange"))
                item.lastStatusChange = quint32(number());
            break;
        case 'T': {
            uint64_t len = 0;
            const char* text = is(value, PLIST_STRING) ? plist_get_string_ptr(value, &len) : nullptr;
            if (!strcmp(key, "Target") && text && len > 0)
                item.linkTarget.setVal(QByteArray(text, qsizetype(len)));
            break;
        }
        default: break;
        }
    });
    return true;
}
