// The raw upload stream of a mobilebackup2 run comes from the phone, or from
// anything that answers on the usbmuxd socket.
#include <QByteArray>

#include <stdexcept>

#include "device/backup2tool_p.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t at = 0;
    const backup2detail::Reader read = [&](char* into, quint32 n, const char* broken) {
        if (size - at < n)
            throw std::runtime_error(broken);
        memcpy(into, data + at, n);
        at += n;
    };
    quint64 written = 0;
    const backup2detail::Writer write = [&](const char*, quint32 n) {
        // Never more than one bounded piece at once, never more than arrived.
        if (n == 0 || n > backup2detail::kPiece || (written += n) > size)
            __builtin_trap();
    };
    try {
        while (!backup2detail::readNameThrow(read).isEmpty() && !backup2detail::readNameThrow(read).isEmpty())
            backup2detail::readContentThrow(read, write);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
