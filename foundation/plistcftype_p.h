#pragma once

// Private details of PlistCFType, shared by its implementation files and the
// tests that check the input guards directly.

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <plist/plist.h>

// The owner record of one node: frees the node (and its subtree) when it is
// destroyed, if it still owns it.
class PlistCFTypePrivacy
{
public:
    PlistCFTypePrivacy(plist_t node, bool owned) : node(node), owned(owned) {}
    ~PlistCFTypePrivacy()
    {
        if (node && owned)
            plist_free(node);
    }
    PlistCFTypePrivacy(const PlistCFTypePrivacy&) = delete;
    PlistCFTypePrivacy& operator=(const PlistCFTypePrivacy&) = delete;

    plist_t p() const { return node; }

    plist_t node;
    bool owned;
};

namespace plistdetail {

// Nodes a parsed list may have at most, binary or XML.
constexpr quint64 kMaxNodesAbsolute = quint64(1) << 22;
// Keys one dictionary of an XML list may have at most. libplist 2.2 builds an
// XML dictionary in time that grows with the square of its keys (200,000
// take about 2 s, 1.9 million about 100 s); at this bound a list costs
// under a second. Most lists hold a few hundred keys, but a phone's message
// that moves or removes the files of a backup names every file in one
// dictionary, so the bound must stay well above the files of a large backup.
constexpr quint64 kMaxXmlDictKeys = quint64(1) << 17;

// Calls f(key, value) for each entry of a dictionary node in its own order,
// until f returns false. key is the raw UTF-8 text (valid only during the call).
// f may throw: what the walk holds is freed all the same.
template <class F>
void forEachEntry(plist_t dict, F f)
{
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    const std::unique_ptr<void, decltype(&free)> iterator(it, &free);
    while (it) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &key, &value);
        const std::unique_ptr<char, decltype(&free)> text(key, &free);
        if (!value || !f(key ? key : "", value))
            break;
    }
}

// Calls f(item) for each item of an array node in order, until f returns
// false; f may throw.
template <class F>
void forEachItem(plist_t array, F f)
{
    if (!array || plist_get_node_type(array) != PLIST_ARRAY)
        return;
    plist_array_iter it = nullptr;
    plist_array_new_iter(array, &it);
    const std::unique_ptr<void, decltype(&free)> iterator(it, &free);
    while (it) {
        plist_t item = nullptr;
        plist_array_next_item(array, it, &item);
        if (!item || !f(item))
            break;
    }
}

// A string object of a binary list to be cut before its first U+0000:
// libplist 2.2 keeps such a string at a length longer than what plist_copy
// copies, and asserts when one is read as a dictionary key.
struct StringCut
{
    size_t marker;       // offset of the object's marker byte
    size_t countAt;      // offset of the count after the marker, 0 when in the marker
    unsigned countWidth; // bytes of that count
    quint64 units;       // the new count
};

// libplist 2.2 trusts the object graph of a binary list: shared references
// are copied out into a tree (so a few hundred bytes can expand into billions
// of nodes) and nesting is followed by recursion. This walks the graph
// without recursion before libplist sees it and accepts it only when every
// reachable object lies inside the object area, no reference leaves the
// table, there is no cycle, nesting stays within maxNesting and the expanded
// tree has at most maxNodes nodes. Strings that hold U+0000 are listed in
// cuts; apply them with applyCuts before parsing.
bool binaryIsSafe(const char* data, size_t size, int maxNesting, quint64 maxNodes, std::vector<StringCut>* cuts);
void applyCuts(QByteArray* bytes, const std::vector<StringCut>& cuts);

// libplist 2.2 parses XML without recursion but frees, copies and writes
// trees recursively. This gives an upper bound of the container nesting that
// plist_from_xml can build from the text, tokenising it the way libplist
// does (comments, CDATA, processing instructions, DOCTYPE, quoted attribute
// values), and in *elements an upper bound of the nodes it makes (libplist
// spends some hundred bytes on a node that "<true/>" writes in seven).
// In *widestDict an upper bound of the keys of one dictionary: libplist 2.2
// looks up every new key among those before it, so one dictionary of n keys
// costs n * n / 2 comparisons (1.9 million keys: 100 s).
int xmlNestingBound(const char* data, size_t size, quint64* elements = nullptr, quint64* widestDict = nullptr);

// libplist 2.2 writes a string or key that is not valid UTF-8 (only malformed
// input makes one) as a binary list that no reader can parse, and as XML
// text in no encoding. hasBrokenText tells whether a tree holds such text;
// repairedCopy gives a deep copy with U+FFFD for the invalid bytes, as the
// readers show them (entries whose repaired keys coincide become one, the
// later value in the first place).
bool hasBrokenText(plist_t node);
plist_t repairedCopy(plist_t node);

// Seconds since 2001-01-01 00:00:00 UTC held by a date node, exactly: the
// libplist 2.2 getter splits negative values wrongly and wraps outside 32 bits.
std::optional<double> dateSeconds(plist_t node);

// A date node for any seconds since 2001; null for NaN or infinity.
plist_t newDate(double seconds);

} // namespace plistdetail
