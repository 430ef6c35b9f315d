// Parsing and writing of PlistCFType, and the guards that keep libplist 2.2
// away from input it cannot take safely.
#include "foundation/plistcftype.h"

#include <QFile>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <algorithm>
#include <vector>

#include "foundation/plistcftype_p.h"

namespace {

// Expanded tree size that a binary list may reach: about one node per input
// byte without shared containers, so twice that leaves room for honest
// sharing, with an absolute cap (libplist spends ~100 bytes per node).
constexpr quint64 kMaxNodesAbsolute = quint64(1) << 22;

quint64 readBE(const unsigned char* p, unsigned n)
{
    quint64 v = 0;
    for (unsigned i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// The object area and tables of a binary list whose trailer checked out.
class BinaryLayout
{
public:
    bool load(const char* data, size_t size)
    {
        d = reinterpret_cast<const unsigned char*>(data);
        // Header, at least one one-byte object and its offset, trailer.
        if (size < 8 + 1 + 1 + 32 || std::memcmp(data, "bplist", 6) != 0)
            return false;
        const size_t trailer = size - 32;
        offsetSize = d[trailer + 6];
        refSize = d[trailer + 7];
        numObjects = readBE(d + trailer + 8, 8);
        top = readBE(d + trailer + 16, 8);
        const quint64 table = readBE(d + trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8)
            return false;
        if (numObjects == 0 || top >= numObjects)
            return false;
        if (table < 9 || table > trailer)
            return false;
        if (numObjects > (trailer - table) / offsetSize)
            return false;
        objectsEnd = size_t(table);
        return true;
    }

    // Where object i lies, with the references it holds. False when the
    // object does not fit in the object area or is of a malformed kind.
    struct Object
    {
        size_t refs = 0;       // offset of the first reference
        quint64 refCount = 0;  // 0 for every leaf
    };
    bool object(quint64 i, Object* out) const
    {
        const quint64 off = readBE(d + objectsEnd + i * offsetSize, offsetSize);
        if (off < 8 || off >= objectsEnd)
            return false;
        const size_t left = objectsEnd - size_t(off) - 1; // bytes after the marker
        const unsigned type = d[off] >> 4;
        const unsigned low = d[off] & 0x0f;
        *out = Object();
        switch (type) {
        case 0x0: // null, booleans, fill
            return true;
        case 0x1: // integer
            return low <= 4 && (size_t(1) << low) <= left;
        case 0x2: // real
        case 0x3: // date
            return low <= 3 && (size_t(1) << low) <= left;
        case 0x8: // UID
            return size_t(low) + 1 <= left;
        case 0x4: // data
        case 0x5: // ASCII string
        case 0x6: // UTF-16 string
        case 0x7: // UTF-8 string
        case 0xA: // array
        case 0xB: // ordered set
        case 0xC: // set
        case 0xD: // dictionary
            break;
        default: // unknown kinds are leaves that libplist refuses by itself
            return true;
        }
        quint64 count = low;
        size_t pos = size_t(off) + 1;
        if (low == 0x0f) {
            if (pos >= objectsEnd || (d[pos] >> 4) != 0x1 || (d[pos] & 0x0f) > 3)
                return false;
            const unsigned n = 1u << (d[pos] & 0x0f);
            if (n > objectsEnd - pos - 1)
                return false;
            count = readBE(d + pos + 1, n);
            pos += 1 + n;
        }
        const size_t room = objectsEnd - pos;
        switch (type) {
        case 0x4:
        case 0x5:
        case 0x7:
            return count <= room;
        case 0x6:
            return count <= room / 2;
        case 0xD:
            if (count > room / refSize / 2)
                return false;
            out->refs = pos;
            out->refCount = count * 2;
            return true;
        default:
            if (count > room / refSize)
                return false;
            out->refs = pos;
            out->refCount = count;
            return true;
        }
    }

    quint64 ref(size_t refs, quint64 index) const { return readBE(d + refs + index * refSize, refSize); }

    const unsigned char* d = nullptr;
    unsigned offsetSize = 0;
    unsigned refSize = 0;
    quint64 numObjects = 0;
    quint64 top = 0;
    size_t objectsEnd = 0;
};

} // namespace

namespace plistguard {

bool binaryIsSafe(const char* data, size_t size, int maxNesting, quint64 maxNodes)
{
    BinaryLayout bin;
    if (!bin.load(data, size))
        return false;

    // Walks the tree that libplist would build, shared objects once per
    // reference. No memo is needed: every step adds a node, so the walk ends
    // after maxNodes steps at most, and a cycle runs into either limit.
    struct Frame
    {
        BinaryLayout::Object o;
        quint64 next;
    };
    std::vector<Frame> stack;
    stack.reserve(size_t(maxNesting));
    quint64 count = 0;
    auto enter = [&](quint64 obj) {
        BinaryLayout::Object o;
        if (obj >= bin.numObjects || !bin.object(obj, &o) || ++count > maxNodes)
            return false;
        if (o.refCount == 0)
            return true;
        if (stack.size() >= size_t(maxNesting))
            return false;
        stack.push_back(Frame{o, 0});
        return true;
    };
    if (!enter(bin.top))
        return false;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.o.refCount) {
            stack.pop_back();
            continue;
        }
        const quint64 child = bin.ref(f.o.refs, f.next++);
        if (!enter(child))
            return false;
    }
    return true;
}

int xmlNestingBound(const char* data, size_t size)
{
    const char* p = data;
    const char* const end = data + size;
    int depth = 0;
    int deepest = 0;

    auto startsWith = [&](const char* s) {
        const size_t n = std::strlen(s);
        return size_t(end - p) >= n && std::memcmp(p, s, n) == 0;
    };
    // Moves p onto the next occurrence of s, jumping over "quoted" parts when
    // asked, as libplist does; false at the end of the text.
    auto findStr = [&](const char* s, bool quotes) {
        const size_t n = std::strlen(s);
        while (size_t(end - p) > n) {
            if (quotes && *p == '"') {
                const void* q = std::memchr(p + 1, '"', size_t(end - p - 1));
                if (!q)
                    return false;
                p = static_cast<const char*>(q);
            }
            if (std::memcmp(p, s, n) == 0)
                return true;
            ++p;
        }
        return false;
    };
    // Moves p onto the next of the given characters, outside quotes if asked.
    auto findAny = [&](const char* chars, bool quotes) {
        while (p < end) {
            if (quotes && *p == '"') {
                const void* q = std::memchr(p + 1, '"', size_t(end - p - 1));
                if (!q)
                    return false;
                p = static_cast<const char*>(q);
            }
            if (std::strchr(chars, *p) && *p != '\0')
                return true;
            ++p;
        }
        return false;
    };

    // Every place where libplist gives up ends the scan: it stops there too.
    while (p < end) {
        const void* lt = std::memchr(p, '<', size_t(end - p));
        if (!lt)
            break;
        p = static_cast<const char*>(lt) + 1;
        if (p >= end)
            break;
        if (*p == '?') {
            if (!findStr("?>", true))
                break;
            p += 2;
            continue;
        }
        if (*p == '!') {
            if (startsWith("!--")) {
                p += 3;
                if (!findStr("-->", false))
                    break;
                p += 3;
            } else if (startsWith("![CDATA[")) {
                p += 8;
                if (!findStr("]]>", false))
                    break;
                p += 3;
            } else if (startsWith("!DOCTYPE")) {
                p += 8;
                if (!findAny("[>", true))
                    break;
                if (*p == '[' && !findStr("]>", true))
                    break;
                p += (*p == '>') ? 1 : 2;
            } else {
                break;
            }
            continue;
        }
        const char* name = p;
        while (p < end && !std::strchr(" \r\n\t<>", *p))
            ++p;
        if (p >= end)
            break;
        const size_t nameLen = size_t(p - name);
        if (*p != '>' && !findAny("<>", true))
            break;
        if (*p != '>')
            break;
        const bool empty = p[-1] == '/';
        ++p;
        if (empty)
            continue;
        auto is = [&](const char* s) { return nameLen == std::strlen(s) && std::memcmp(name, s, nameLen) == 0; };
        if (is("array") || is("dict")) {
            deepest = std::max(deepest, ++depth);
        } else if ((is("/array") || is("/dict")) && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::optional<double> dateSeconds(plist_t node)
{
    int32_t secs = 0;
    int32_t usecs = 0;
    plist_get_date_val(node, &secs, &usecs);
    // Whole seconds well inside 32 bits come out right. Fractions do not
    // before 2001 (the getter loses their sign) and values outside 32 bits
    // wrap, so those are read from the binary form, which holds the date as
    // the very double the node keeps.
    if (usecs == 0 && secs != std::numeric_limits<int32_t>::min() && secs != std::numeric_limits<int32_t>::max())
        return double(secs);
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(node, &bin, &len);
    std::optional<double> result;
    // "bplist00", then the one object: marker 0x33 and a big-endian double.
    if (bin && len >= 17 && static_cast<unsigned char>(bin[8]) == 0x33) {
        const quint64 bits = readBE(reinterpret_cast<const unsigned char*>(bin) + 9, 8);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        result = v;
    }
    if (bin)
        plist_to_bin_free(bin);
    return result;
}

plist_t newDate(double seconds)
{
    if (!std::isfinite(seconds))
        return nullptr;
    // A binary list of one date object: header, object at offset 8, a
    // one-byte offset table at 17, trailer (offset and reference size 1, one
    // object, top 0, table at 17).
    unsigned char b[50] = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x33};
    quint64 bits;
    std::memcpy(&bits, &seconds, sizeof bits);
    for (int i = 0; i < 8; ++i)
        b[9 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    b[17] = 8;
    b[18 + 6] = 1;
    b[18 + 7] = 1;
    b[18 + 15] = 1;
    b[18 + 31] = 17;
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(b), sizeof b, &node);
    return node;
}

} // namespace plistguard

PlistCFType PlistCFType::createCFPropertyList(const QByteArray& bytes)
{
    if (bytes.size() > kMaxBytes)
        return PlistCFType();
    const size_t size = size_t(bytes.size());
    plist_t root = nullptr;
    if (size > 6 && bytes.startsWith("bplist")) {
        const quint64 maxNodes = std::min<quint64>(2 * quint64(size) + 4096, kMaxNodesAbsolute);
        if (!plistguard::binaryIsSafe(bytes.constData(), size, kMaxNesting, maxNodes))
            return PlistCFType();
        plist_from_bin(bytes.constData(), uint32_t(size), &root);
    } else {
        if (plistguard::xmlNestingBound(bytes.constData(), size) > kMaxNesting)
            return PlistCFType();
        plist_from_xml(bytes.constData(), uint32_t(size), &root);
    }
    return root ? PlistCFType(root, true) : PlistCFType();
}

PlistCFType PlistCFType::createCFPropertyListFromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return PlistCFType();
    // Read one byte past the limit rather than trusting size(), which is 0
    // for some special files.
    const QByteArray bytes = file.read(kMaxBytes + 1);
    if (bytes.size() > kMaxBytes)
        return PlistCFType();
    return createCFPropertyList(bytes);
}

QByteArray PlistCFType::CFPropertyListToBytes(CFPropertyListFormat format) const
{
    plist_t node = ref();
    if (!node)
        return QByteArray();
    char* out = nullptr;
    uint32_t len = 0;
    QByteArray bytes;
    if (format == kCFPropertyListXMLFormat_v1_0) {
        plist_to_xml(node, &out, &len);
        if (out) {
            bytes = QByteArray(out, qsizetype(len));
            plist_to_xml_free(out);
        }
    } else {
        plist_to_bin(node, &out, &len);
        if (out) {
            bytes = QByteArray(out, qsizetype(len));
            plist_to_bin_free(out);
        }
    }
    return bytes;
}

PlistCFType PlistCFType::CFPropertyListToData(CFPropertyListFormat format) const
{
    return createCFData(CFPropertyListToBytes(format));
}
