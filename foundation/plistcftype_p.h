#pragma once

// Private details of PlistCFType, shared by its implementation files and the
// tests that check the input guards directly.

#include <QtGlobal>

#include <cstddef>
#include <optional>

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

namespace plistguard {

// libplist 2.2 trusts the object graph of a binary list: shared references
// are copied out into a tree (so a few hundred bytes can expand into billions
// of nodes) and nesting is followed by recursion. This walks the graph
// without recursion before libplist sees it and accepts it only when every
// reachable object lies inside the object area, no reference leaves the
// table, there is no cycle, nesting stays within maxNesting and the expanded
// tree has at most maxNodes nodes.
bool binaryIsSafe(const char* data, size_t size, int maxNesting, quint64 maxNodes);

// libplist 2.2 parses XML without recursion but frees, copies and writes
// trees recursively. This gives an upper bound of the container nesting that
// plist_from_xml can build from the text, tokenising it the way libplist
// does (comments, CDATA, processing instructions, DOCTYPE, quoted attribute
// values).
int xmlNestingBound(const char* data, size_t size);

// Seconds since 2001-01-01 00:00:00 UTC held by a date node, exactly: the
// libplist 2.2 getter splits negative values wrongly and wraps outside 32 bits.
std::optional<double> dateSeconds(plist_t node);

// A date node for any seconds since 2001; null for NaN or infinity.
plist_t newDate(double seconds);

} // namespace plistguard
