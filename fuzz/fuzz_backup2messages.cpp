// DeviceLink messages of a mobilebackup2 run come from the phone, or from
// anything that answers on the usbmuxd socket: framed binary or XML lists.
#include <QByteArray>

#include <cstring>
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
    try {
        for (;;) {
            QString name;
            const PlistCFType message = backup2detail::readMessageThrow(read, &name);
            // What comes out is a DeviceLink message named by its first item.
            if (!message.isCFArray() || !name.startsWith(QLatin1String("DL"))
                || message.at(0).CFStringQString() != name)
                __builtin_trap();
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
