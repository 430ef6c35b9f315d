#pragma once

#include <QString>

#include <functional>

#include "foundation/plistcftype.h"

// The framing of the raw channel of a mobilebackup2 run, apart from the
// channel itself so that any bytes can be fed to it. Every length is a
// big-endian 32-bit value; a file name record is a length and UTF-8 text, a
// content record a length, a code byte and a payload.
namespace backup2detail {

// Leaves a run that was cancelled while it waited for the phone.
struct Cancelled
{
};

// Fills data with exactly size bytes, or throws std::runtime_error with the
// text `broken` when the channel has closed.
using Reader = std::function<void(char* data, quint32 size, const char* broken)>;
// Takes one piece of a file's data.
using Writer = std::function<void(const char* data, quint32 size)>;

constexpr quint32 kMaxNameLength = 4096;
// File data per record sent to the phone.
constexpr quint32 kChunk = 32768;
// The largest piece of a record taken from the phone at once, whatever
// length the record announces.
constexpr quint32 kPiece = 262144;

// Text from the phone as it goes into a message shown as HTML: markup
// characters escaped, so that it reads as the plain text it is.
QString asText(const QString& text);

// One DeviceLink message: a length, then a binary or XML list whose first
// item, a text beginning "DL", names it (*name). A length of 0 or above
// 16 MiB, bytes that are no list, a list nested deeper than PlistCFType
// takes (checked without recursion, before libplist sees it) or one that is
// no DeviceLink message throws std::runtime_error.
PlistCFType readMessageThrow(const Reader& read, QString* name);

// One file name record; "" for the record that ends a list.
QString readNameThrow(const Reader& read);
// The content records of one file, up to the record that ends it; returns
// the number of data bytes. Throws for an empty record, an unknown code or
// an error record before any data; after data the phone marks a file's end
// with an error record too, whatever text it carries.
quint64 readContentThrow(const Reader& read, const Writer& write);

} // namespace backup2detail
