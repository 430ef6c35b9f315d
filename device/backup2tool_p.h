#pragma once

#include <QString>

#include <functional>
#include <stdexcept>

#include <libimobiledevice/lockdown.h>

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

// A message that could not be taken from the phone; `code` is the
// mobilebackup2 error code the text names.
struct ReceiveError : std::runtime_error
{
    ReceiveError(int code, const std::string& text) : std::runtime_error(text), code(code) { }
    int code;
};

// The connection of one run to the phone's service, opened through the
// library's public calls and owned here. Every wait on it watches `wake`, a
// descriptor that turns readable once the run is cancelled, and asks
// `cancelled` between slices of a fraction of a second, so a cancel ends a
// wait for a silent phone, or for one that no longer reads, at once.
// Without SSL the bytes go straight through the socket; with it through the
// library, in bounded pieces.
class Channel
{
public:
    enum Wait { Done, Closed, Cancelled };

    Channel(int wake, std::function<bool()> cancelled);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Connects to the service's port, with SSL when it asks for it: 0, or
    // the library's code of the step that failed.
    int open(idevice_t device, const lockdownd_service_descriptor& service);
    // At least one byte and at most size into data (*got), waiting as long
    // as the phone is silent.
    Wait receiveSome(char* data, quint32 size, quint32* got);
    // Every byte; with patienceMs > 0 the wait for room gives up (Closed)
    // after that long.
    Wait sendAll(const char* data, quint32 size, int patienceMs = 0);
    // Once a wait has found the channel closed or broken.
    bool broken() const { return m_broken; }

private:
    // Until the socket is ready for `events` (Done), the run is cancelled,
    // or patienceMs have passed (Closed).
    Wait ready(short events, int patienceMs);

    idevice_connection_t m_connection = nullptr;
    int m_fd = -1;
    bool m_ssl = false;
    bool m_broken = false;
    int m_wake;
    std::function<bool()> m_cancelled;
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

// DeviceLink's "no argument".
constexpr char kEmptyParameter[] = "___EmptyParameterString___";

// A list as the library sends its services' messages: a length, then the
// binary list.
QByteArray framedList(const PlistCFType& list);

// Text from the phone as it goes into a message shown as HTML: markup
// characters escaped, so that it reads as the plain text it is.
QString asText(const QString& text);

// One DeviceLink message: a length, then a binary or XML list whose first
// item, a text beginning "DL", names it (*name). A length of 0 or above
// 16 MiB, bytes that are no list, a list nested deeper than PlistCFType
// takes (checked without recursion, before libplist sees it) or one that is
// no DeviceLink message throws ReceiveError; the reader's own text passes.
PlistCFType readMessageThrow(const Reader& read, QString* name);

// One file name record; "" for the record that ends a list.
QString readNameThrow(const Reader& read);
// The content records of one file, up to the record that ends it; returns
// the number of data bytes. Throws for an empty record, an unknown code or
// an error record before any data; after data the phone marks a file's end
// with an error record too, whatever text it carries.
quint64 readContentThrow(const Reader& read, const Writer& write);

} // namespace backup2detail
