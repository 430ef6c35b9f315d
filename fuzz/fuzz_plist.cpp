// Binary and XML property lists as they arrive from backups and devices,
// then the keyed-archive readers that run over them (backup file records,
// message metadata).
#include <QByteArray>
#include <QHash>

#include <cstdint>
#include <cstdlib>

#include "foundation/plistcftype.h"

namespace {

void touch(const QHash<QString, PlistCFType>& map)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        (void)it.value().toString();
        (void)it.value().CFNumberInt64(0);
        (void)it.value().CFDateToDateTime(0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const PlistCFType value = PlistCFType::createCFPropertyList(bytes);
    if (value.isNull())
        return 0;

    const QHash<QString, PlistCFType> root = value.NSKeyedArchiver();
    touch(root);
    touch(PlistCFType::parseNSDictionaryStringCFType(value));
    (void)value.toString();

    // What we parsed we can write, and what we write we can read back.
    const QByteArray bin = value.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    const PlistCFType again = PlistCFType::createCFPropertyList(bin);
    if (again.isNull())
        abort();
    (void)value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);

    // Editing a parsed tree with its own parts: copies, never shared nodes.
    PlistCFType copy = PlistCFType::createCFDictionaryCreateMutableCopy(value);
    for (auto it = root.cbegin(); it != root.cend(); ++it)
        copy.put(it.key(), it.value());
    copy.put(QStringLiteral("self"), copy);
    return 0;
}
