#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// One class key of a backup keybag, its records by tag ("UUID", "CLAS",
// "WRAP", "WPKY", "KTYP", "PBKY"); after an unlock also "KEY", the
// unwrapped class key.
struct _KeybagPros
{
    QMap<QString, QByteArray> tags;

    // The first 4 bytes of the tag's value, unsigned big-endian; 0 when the
    // tag is missing or shorter than 4 bytes.
    quint32 getInt32(const QString& tag) const;
};

// A parsed backup keybag: its own records (the first "UUID" and "WRAP",
// "SALT", "ITER", "DPIC", "DPSL", ...) and the class keys by protection class.
struct _KeybagInfo
{
    QMap<QString, QByteArray> attributes;
    QMap<int, _KeybagPros> classKeys;
    // Why the keybag cannot be used (a record running past the end, a value
    // too short, a missing salt, an iteration count of 0 or beyond reason);
    // empty for a sound keybag. Set by parseKeybag and unlockWithPasscode.
    QString damage;
};

// Never fails: empty data gives an empty keybag; a record that runs past the
// end stops the reading and is recorded in `damage`.
_KeybagInfo parseKeybag(const QByteArray& data);

// Derives the password key (PBKDF2-HMAC-SHA256 over "DPSL"/"DPIC" first when
// the keybag has both, then PBKDF2-HMAC-SHA1 over "SALT"/"ITER") and
// unwraps every class key whose "WRAP" has bit 2, storing "KEY". False for a
// wrong password, and for a damaged keybag (then `damage` says why and no
// key is derived: a hostile iteration count costs nothing). unwrapped, when
// given, receives the number of class keys unwrapped.
bool unlockWithPasscode(const QByteArray& password, _KeybagInfo& keybag, int* unwrapped = nullptr);

// The 32-byte key that `wrapped` (exactly 40 bytes) holds under the unlocked
// key of the class; empty when the class or its key is missing or the
// unwrap fails.
QByteArray unwrapKeyForClass(const _KeybagInfo& keybag, int protectionClass, const QByteArray& wrapped);
