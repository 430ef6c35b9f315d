// The `file` value of a Manifest.db row: a keyed archive from any backup,
// through the full reader and the in-place one.
#include <QByteArray>

#include "backup/mbdbparser_p.h"

namespace {

bool same(const MBDBParser::_MBDBItem& a, const MBDBParser::_MBDBItem& b, bool keysOnly)
{
    auto binary = [](const MBDBParser::_MBDBBinary& x, const MBDBParser::_MBDBBinary& y) {
        return x.isValid() == y.isValid() && x.data == y.data;
    };
    if (a.mode != b.mode || a.inodeNumber != b.inodeNumber || a.inodeHigh != b.inodeHigh
        || a.protectionClass != b.protectionClass || !binary(a.encryptionKey, b.encryptionKey))
        return false;
    return keysOnly
        || (binary(a.digest, b.digest) && binary(a.linkTarget, b.linkTarget) && a.birth == b.birth
            && a.groupId == b.groupId && a.userId == b.userId && a.lastModified == b.lastModified
            && a.lastStatusChange == b.lastStatusChange && a.size == b.size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray value(reinterpret_cast<const char*>(data), int(size));
    MBDBParser::_MBDBItem item, keys, all;
    const bool full = mbdbdetail::decodeMBFile(value, item);
    if (full) {
        // Every string the record holds keeps its stated length.
        for (const auto* b : {&item.linkTarget, &item.digest, &item.encryptionKey})
            if (b->isValid() && b->length != quint16(b->data.size()))
                __builtin_trap();
    }
    // Where the in-place reader reads a value, it is the full reader's.
    if (mbdbdetail::decodeMBFileInPlace(value, keys, true) && full && !same(item, keys, true))
        __builtin_trap();
    if (mbdbdetail::decodeMBFileInPlace(value, all, false) && full && !same(item, all, false))
        __builtin_trap();
    return 0;
}
