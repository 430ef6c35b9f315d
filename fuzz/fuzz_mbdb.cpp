// Manifest.mbdb comes from any backup folder a user picks.
#include <QBuffer>

#include <stdexcept>

#include "backup/mbdbparser_p.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QBuffer in;
    in.setData(reinterpret_cast<const char*>(data), int(size));
    in.open(QIODevice::ReadOnly);
    MBDBParser::MBDBItemMap map;
    try {
        mbdbdetail::readMbdb(in, QStringLiteral("Manifest.mbdb"), map);
    } catch (const std::runtime_error&) {
        return 0; // a cut list is refused whole
    }
    for (const MBDBParser::_MBDBItem& item : map.files) {
        if (!item.domain.isValid() || item.backupFileName().size() != 40)
            __builtin_trap();
    }
    return 0;
}
