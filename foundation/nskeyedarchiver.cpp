// The keyed-archive members of PlistCFType: the NSKeyedArchiver layout, in
// which every object of a graph lies in the flat array "$objects" and objects
// refer to each other by UID (an index into that array).
#include "foundation/plistcftype.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>

#include "foundation/plistcftype_p.h"

namespace {

// A UID's full value as an object index; anything else counts as index 0.
// (Cutting to 32 bits would turn an index past the table into a valid one.)
quint64 uidIndex(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_UID)
        return 0;
    uint64_t v = 0;
    plist_get_uid_val(node, &v);
    return v;
}

// Item `index` of the object table, or null when there is no such item.
plist_t objectAt(plist_t objects, quint64 index)
{
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || index >= plist_array_get_size(objects))
        return nullptr;
    return plist_array_get_item(objects, uint32_t(index));
}

// "$top" -> "root", 0 when it is missing or no UID.
quint64 rootIndex(plist_t archive)
{
    if (!archive || plist_get_node_type(archive) != PLIST_DICT)
        return 0;
    plist_t top = plist_dict_get_item(archive, "$top");
    if (!top || plist_get_node_type(top) != PLIST_DICT)
        return 0;
    return uidIndex(plist_dict_get_item(top, "root"));
}

plist_t arrayItem(plist_t dict, const char* key)
{
    plist_t a = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    return a && plist_get_node_type(a) == PLIST_ARRAY ? a : nullptr;
}

uint32_t arraySize(plist_t array)
{
    return array ? plist_array_get_size(array) : 0;
}

PlistCFType uid(quint64 index)
{
    return PlistCFType::createCFKeyedArchiverUID(long(index));
}

} // namespace

PlistCFType PlistCFType::createNSDictionaryStringCFType(const QHash<QString, PlistCFType>& map, bool isMutable)
{
    // Sorted, so that the same map always gives the same bytes.
    QStringList keys;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!it.value().isNull())
            keys << it.key();
    }
    std::sort(keys.begin(), keys.end());
    const quint64 n = quint64(keys.size());

    PlistCFType nsKeys = createCFArray();
    PlistCFType nsObjects = createCFArray();
    for (quint64 i = 0; i < n; ++i) {
        nsKeys.append(uid(2 + i));
        nsObjects.append(uid(n + 2 + i));
    }
    PlistCFType root = createCFDictionary();
    root.put(QStringLiteral("NS.keys"), nsKeys)
        .put(QStringLiteral("NS.objects"), nsObjects)
        .put(QStringLiteral("$class"), uid(2 * n + 2));

    const QStringList classes = isMutable
        ? QStringList{QStringLiteral("NSMutableDictionary"), QStringLiteral("NSDictionary"), QStringLiteral("NSObject")}
        : QStringList{QStringLiteral("NSDictionary"), QStringLiteral("NSObject")};
    PlistCFType classNames = createCFArray();
    for (const QString& c : classes)
        classNames.append(createCFString(c));
    PlistCFType classRecord = createCFDictionary();
    classRecord.put(QStringLiteral("$classes"), classNames).put(QStringLiteral("$classname"), createCFString(classes.first()));

    PlistCFType objects = createCFArray();
    objects.append(createCFString(QStringLiteral("$null"))).append(root);
    for (const QString& k : keys)
        objects.append(createCFString(k));
    for (const QString& k : keys)
        objects.append(map.value(k));
    objects.append(classRecord);

    PlistCFType top = createCFDictionary();
    top.put(QStringLiteral("root"), uid(1));
    PlistCFType archive = createCFDictionary();
    archive.put(QStringLiteral("$archiver"), createCFString(QStringLiteral("NSKeyedArchiver")))
        .put(QStringLiteral("$objects"), objects)
        .put(QStringLiteral("$top"), top)
        .put(QStringLiteral("$version"), createCFNumberInt64(100000));
    return archive;
}

QHash<QString, PlistCFType> PlistCFType::parseNSDictionaryStringCFType(const PlistCFType& archive)
{
    QHash<QString, PlistCFType> map;
    plist_t node = archive.ref();
    const quint64 rootIdx = rootIndex(node);
    if (rootIdx < 1)
        return map;
    plist_t objects = arrayItem(node, "$objects");
    plist_t root = objectAt(objects, rootIdx);
    plist_t keys = arrayItem(root, "NS.keys");
    plist_t values = arrayItem(root, "NS.objects");
    const uint32_t n = std::min(arraySize(keys), arraySize(values));
    for (uint32_t i = 0; i < n; ++i) {
        plist_t key = objectAt(objects, uidIndex(plist_array_get_item(keys, i)));
        plist_t value = objectAt(objects, uidIndex(plist_array_get_item(values, i)));
        // A later equal key replaces an earlier one.
        map.insert(PlistCFType(key, false).CFStringQString(), value ? PlistCFType(plist_copy(value), true) : PlistCFType());
    }
    return map;
}

QHash<QString, PlistCFType> PlistCFType::NSKeyedArchiver() const
{
    QHash<QString, PlistCFType> map;
    plist_t objects = arrayItem(ref(), "$objects");
    if (!objects)
        return map;
    plist_t root = objectAt(objects, rootIndex(ref()));
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return map;
    map.reserve(int(plist_dict_get_size(root)));
    plistdetail::forEachEntry(root, [&](const char* key, plist_t value) {
        plist_t item = plist_get_node_type(value) == PLIST_UID ? objectAt(objects, uidIndex(value)) : value;
        map.insert(QString::fromUtf8(key), item ? PlistCFType(item, false) : PlistCFType());
        return true;
    });
    return map;
}
