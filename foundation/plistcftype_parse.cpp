// Parsing and writing of PlistCFType, and the guards that keep libplist 2.2
// away from input it cannot take safely.
#include "foundation/plistcftype.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <algorithm>
#include <vector>

#include "foundation/plistcftype_p.h"
#include "foundation/safefile.h"

namespace {

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

    // Where object i lies: its marker, count and references. False when the
    // object does not fit in the object area or is of a malformed kind.
    struct Object
    {
        unsigned type = 0;
        size_t marker = 0;     // offset of the marker byte
        size_t countAt = 0;    // offset of a count that follows the marker (0: in the marker)
        unsigned countWidth = 0;
        quint64 count = 0;     // items, bytes or UTF-16 units
        size_t payload = 0;    // offset of the items, bytes or units
        quint64 refCount = 0;  // references held; 0 for every leaf
        size_t end = 0;        // one past the object's last byte
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
        out->type = type;
        out->marker = size_t(off);
        out->end = size_t(off) + 1;
        auto fixedSize = [&](bool ok, size_t bytes) {
            out->end += bytes;
            return ok && bytes <= left;
        };
        switch (type) {
        case 0x0: // null, booleans, fill
            return true;
        case 0x1: // integer
            return fixedSize(low <= 4, size_t(1) << (low & 7));
        case 0x2: // real
        case 0x3: // date
            return fixedSize(low <= 3, size_t(1) << (low & 7));
        case 0x8: // UID
            return fixedSize(true, size_t(low) + 1);
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
            out->countAt = pos + 1;
            out->countWidth = n;
            pos += 1 + n;
        }
        out->count = count;
        out->payload = pos;
        const size_t room = objectsEnd - pos;
        switch (type) {
        case 0x4:
        case 0x5:
        case 0x7:
            out->end = pos + size_t(count);
            return count <= room;
        case 0x6:
            out->end = pos + 2 * size_t(count);
            return count <= room / 2;
        case 0xD:
            if (count > room / refSize / 2)
                return false;
            out->refCount = count * 2;
            break;
        default:
            if (count > room / refSize)
                return false;
            out->refCount = count;
            break;
        }
        out->end = pos + size_t(out->refCount) * refSize;
        return true;
    }

    quint64 ref(const Object& o, quint64 index) const { return readBE(d + o.payload + index * refSize, refSize); }

    // The units before the first U+0000 of a string object, or -1 when it
    // holds none.
    qint64 unitsBeforeNul(const Object& o) const
    {
        if (o.type == 0x6) {
            for (quint64 u = 0; u < o.count; ++u) {
                if (d[o.payload + 2 * u] == 0 && d[o.payload + 2 * u + 1] == 0)
                    return qint64(u);
            }
            return -1;
        }
        const void* nul = std::memchr(d + o.payload, 0, size_t(o.count));
        return nul ? qint64(static_cast<const unsigned char*>(nul) - (d + o.payload)) : -1;
    }

    const unsigned char* d = nullptr;
    unsigned offsetSize = 0;
    unsigned refSize = 0;
    quint64 numObjects = 0;
    quint64 top = 0;
    size_t objectsEnd = 0;
};

} // namespace

namespace plistdetail {

bool binaryIsSafe(const char* data, size_t size, int maxNesting, quint64 maxNodes, std::vector<StringCut>* cuts)
{
    BinaryLayout bin;
    if (!bin.load(data, size))
        return false;

    // Walks the tree that libplist would build, shared objects once per
    // reference. No memo is needed for that: every step adds a node, so the
    // walk ends after maxNodes steps at most, and a cycle runs into either
    // limit. Objects of an honest list do not overlap: overlapping ones are
    // refused (a cut in one would change another). Strings are scanned for
    // NUL once per object, and scanning more bytes than the list holds means
    // overlap, found early.
    struct Frame
    {
        BinaryLayout::Object o;
        quint64 next;
    };
    std::vector<Frame> stack;
    stack.reserve(8);
    std::vector<bool> seen(bin.numObjects, false);
    std::vector<std::pair<size_t, size_t>> extents;
    extents.reserve(size_t(std::min<quint64>(bin.numObjects, 1024)));
    quint64 scannedBytes = 0;
    quint64 count = 0;
    auto enter = [&](quint64 obj) {
        BinaryLayout::Object o;
        if (obj >= bin.numObjects || !bin.object(obj, &o) || ++count > maxNodes)
            return false;
        if (!seen[obj]) {
            seen[obj] = true;
            extents.emplace_back(o.marker, o.end);
            if (o.type == 0x5 || o.type == 0x6 || o.type == 0x7) {
                scannedBytes += o.type == 0x6 ? 2 * o.count : o.count;
                if (scannedBytes > size)
                    return false;
                const qint64 keep = bin.unitsBeforeNul(o);
                if (keep >= 0)
                    cuts->push_back(StringCut{o.marker, o.countAt, o.countWidth, quint64(keep)});
            }
        }
        if (o.refCount == 0)
            return true;
        if (stack.size() >= size_t(maxNesting))
            return false;
        stack.push_back(Frame{o, 0});
        return true;
    };
    cuts->clear();
    if (!enter(bin.top))
        return false;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.o.refCount) {
            stack.pop_back();
            continue;
        }
        const quint64 child = bin.ref(f.o, f.next++);
        if (!enter(child))
            return false;
    }
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i) {
        if (extents[i].first < extents[i - 1].second)
            return false;
    }
    return true;
}

void applyCuts(QByteArray* bytes, const std::vector<StringCut>& cuts)
{
    for (const StringCut& c : cuts) {
        if (c.countWidth == 0) {
            (*bytes)[qsizetype(c.marker)] = char((uchar((*bytes)[qsizetype(c.marker)]) & 0xf0) | uchar(c.units));
        } else {
            for (unsigned i = 0; i < c.countWidth; ++i)
                (*bytes)[qsizetype(c.countAt + i)] = char((c.units >> (8 * (c.countWidth - 1 - i))) & 0xff);
        }
    }
}

int xmlNestingBound(const char* data, size_t size, quint64* elements, quint64* widestDict)
{
    quint64 started = 0;
    // Keys met directly inside each open container, the outermost level
    // first; levels past any nesting a caller accepts are not followed.
    constexpr int kFollowedLevels = 4096;
    std::vector<quint64> keys(1, 0);
    quint64 widest = 0;
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
                // The closing quote starts no match, and may be the last
                // byte: comparing there would read past the end.
                p = static_cast<const char*>(q) + 1;
                continue;
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
        while (p < end && (*p == '\0' || !std::strchr(" \r\n\t<>", *p)))
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
        if (nameLen > 0 && *name != '/')
            ++started;
        auto is = [&](const char* s) { return nameLen == std::strlen(s) && std::memcmp(name, s, nameLen) == 0; };
        // Counted in whatever container is open: an upper bound of the keys
        // of the dictionary libplist builds there.
        if (is("key") && depth < kFollowedLevels)
            widest = std::max(widest, ++keys[size_t(depth)]);
        if (empty)
            continue;
        if (is("array") || is("dict")) {
            deepest = std::max(deepest, ++depth);
            if (depth < kFollowedLevels) {
                keys.resize(size_t(depth) + 1);
                keys[size_t(depth)] = 0;
            }
        } else if ((is("/array") || is("/dict")) && depth > 0) {
            --depth;
        }
    }
    if (elements)
        *elements = started;
    if (widestDict)
        *widestDict = widest;
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

namespace {

bool validUtf8(const char* p, size_t n)
{
    return QByteArrayView(p, qsizetype(n)).isValidUtf8();
}

QByteArray repairedUtf8(const char* p, size_t n)
{
    return QString::fromUtf8(p, qsizetype(n)).toUtf8();
}

} // namespace

bool hasBrokenText(plist_t node)
{
    bool found = false;
    switch (node ? plist_get_node_type(node) : PLIST_NONE) {
    case PLIST_STRING: {
        uint64_t len = 0;
        const char* p = plist_get_string_ptr(node, &len);
        found = p && !validUtf8(p, size_t(len));
        break;
    }
    case PLIST_ARRAY: {
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n && !found; ++i)
            found = hasBrokenText(plist_array_get_item(node, i));
        break;
    }
    case PLIST_DICT:
        forEachEntry(node, [&](const char* key, plist_t value) {
            found = !validUtf8(key, std::strlen(key)) || hasBrokenText(value);
            return !found;
        });
        break;
    default:
        break;
    }
    return found;
}

plist_t repairedCopy(plist_t node)
{
    // Built afresh rather than edited: libplist refuses to rename a key to a
    // text the dictionary already holds, which two repaired keys may share.
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        uint64_t len = 0;
        const char* p = plist_get_string_ptr(node, &len);
        return plist_new_string(p ? repairedUtf8(p, size_t(len)).constData() : "");
    }
    case PLIST_ARRAY: {
        plist_t copy = plist_new_array();
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i)
            plist_array_append_item(copy, repairedCopy(plist_array_get_item(node, i)));
        return copy;
    }
    case PLIST_DICT: {
        plist_t copy = plist_new_dict();
        forEachEntry(node, [&](const char* key, plist_t value) {
            plist_dict_set_item(copy, repairedUtf8(key, std::strlen(key)).constData(), repairedCopy(value));
            return true;
        });
        return copy;
    }
    default:
        return plist_copy(node);
    }
}

} // namespace plistdetail

PlistCFType PlistCFType::createCFPropertyList(const QByteArray& bytes)
{
    if (bytes.size() > kMaxBytes)
        return PlistCFType();
    const size_t size = size_t(bytes.size());
    plist_t root = nullptr;
    // Expanded tree size that a list may reach: about one node per input
    // byte for a binary list without shared containers, so twice that leaves
    // room for honest sharing; an XML node takes a few bytes at least.
    const quint64 maxNodes = std::min<quint64>(2 * quint64(size) + 4096, plistdetail::kMaxNodesAbsolute);
    if (size > 6 && bytes.startsWith("bplist")) {
        std::vector<plistdetail::StringCut> cuts;
        if (!plistdetail::binaryIsSafe(bytes.constData(), size, kMaxNesting, maxNodes, &cuts))
            return PlistCFType();
        if (cuts.empty()) {
            plist_from_bin(bytes.constData(), uint32_t(size), &root);
        } else {
            QByteArray cut = bytes;
            plistdetail::applyCuts(&cut, cuts);
            plist_from_bin(cut.constData(), uint32_t(size), &root);
        }
    } else {
        // XML holds no U+0000, and libplist 2.2 keeps a string with NUL bytes
        // at a length longer than its buffer (its writer then reads past the
        // end): the text ends at the first NUL.
        const qsizetype nul = bytes.indexOf('\0');
        const size_t textSize = nul < 0 ? size : size_t(nul);
        quint64 elements = 0, widestDict = 0;
        if (plistdetail::xmlNestingBound(bytes.constData(), textSize, &elements, &widestDict) > kMaxNesting
            || elements > maxNodes || widestDict > plistdetail::kMaxXmlDictKeys)
            return PlistCFType();
        plist_from_xml(bytes.constData(), uint32_t(textSize), &root);
    }
    return root ? PlistCFType(root, true) : PlistCFType();
}

PlistCFType PlistCFType::createCFPropertyListFromFile(const QString& path)
{
    // Regular files only, opened without blocking: a FIFO would hang here.
    QFile file;
    if (!safefile::openRegular(file, path, QIODevice::ReadOnly, nullptr, true))
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
    plist_t repaired = nullptr;
    if (plistdetail::hasBrokenText(node)) {
        repaired = plistdetail::repairedCopy(node);
        node = repaired;
    }
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
    if (repaired)
        plist_free(repaired);
    return bytes;
}

PlistCFType PlistCFType::CFPropertyListToData(CFPropertyListFormat format) const
{
    return createCFData(CFPropertyListToBytes(format));
}
