// Attachment blobs come from local databases that may be damaged or foreign.
#include <QByteArray>
#include <QHash>
#include <QVariant>

#include "chatdata/tinykvserializer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QHash<QString, QVariant> values = TinyKVSerializer::unser(bytes);
    // Whatever was read must write and read back to the same keys.
    const QHash<QString, QVariant> again = TinyKVSerializer::unser(TinyKVSerializer::ser(values));
    if (again.size() != values.size())
        __builtin_trap();
    return 0;
}
