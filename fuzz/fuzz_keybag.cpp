// Keybags come from the Manifest.plist of any backup folder a user picks.
#include <QByteArray>
#include <QtEndian>

#include "backup/keybaginfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    _KeybagInfo kb = parseKeybag(QByteArray(reinterpret_cast<const char*>(data), int(size)));
    // Real round counts would make each run take seconds; what matters here
    // is that nothing is read beyond a value, so keep them small.
    for (const char* tag : {"ITER", "DPIC"}) {
        const QByteArray v = kb.attributes.value(tag);
        if (v.size() >= 4 && qFromBigEndian<quint32>(v.constData()) > 16)
            return 0;
    }
    const bool accepted = unlockWithPasscode("password", kb);
    if (accepted && !kb.damage.isEmpty()) // a damaged keybag never takes a password
        __builtin_trap();
    for (auto it = kb.classKeys.cbegin(); it != kb.classKeys.cend(); ++it)
        unwrapKeyForClass(kb, it.key(), QByteArray(40, 'w'));
    return 0;
}
