// The `file` value of a Manifest.db row: a keyed archive from any backup.
#include <QByteArray>

#include "backup/mbdbparser_p.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MBDBParser::_MBDBItem item;
    if (mbdbdetail::decodeMBFile(QByteArray(reinterpret_cast<const char*>(data), int(size)), item)) {
        // Every string the record holds keeps its stated length.
        for (const auto* b : {&item.linkTarget, &item.digest, &item.encryptionKey})
            if (b->isValid() && b->length != quint16(b->data.size()))
                __builtin_trap();
    }
    return 0;
}
