#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSharedPointer>
#include <QString>

#include <functional>

class PlistCFTypePrivacy;

// Serialisation format of PlistCFType::CFPropertyListToBytes. Any value other
// than the XML one writes a binary property list.
enum CFPropertyListFormat : int {
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200,
};

// A property-list value (dictionary, array, string, integer, real, boolean,
// date, data, keyed-archiver UID) over one libplist node.
//
// Copies share the node: a change made through one copy is seen through all.
// The node is freed by the last copy of the value that owns it, or by the
// container it was inserted into.
//
// Nothing here throws or reports: a wrong kind, a missing key, an index out of
// range or bytes that do not parse give a value without a node (isNull()), an
// empty result or the caller's default.
//
// Lifetimes:
// - Values from get(), at(), dict_forEach(), array_forEach() and NSKeyedArchiver() are
//   borrowed: they never free their node and are valid only while the
//   container's node exists and still holds the item. Replacing a dictionary
//   entry or array slot frees the old item and so invalidates borrowed values
//   of it.
// - put(), append(), array_replace() and the list creators hand a free-standing
//   owned node over to the container: afterwards the value and its copies no
//   longer own it, and they are valid only while the container lives.
// - A value whose node cannot be handed over -- it is borrowed, already sits in
//   a tree, or is the container or one of its ancestors -- is deep-copied
//   instead; the value passed in is left as it was. One node never ends up in
//   two trees.
//
// A value may be copied into another thread (the ownership count is atomic),
// but one tree is read or changed by one thread at a time.
class PlistCFType
{
public:
    PlistCFType();
    // Wraps a node that a library call returned: owned is true for a node the
    // caller must free, false for one that some other tree owns.
    PlistCFType(void* node, bool owned);
    PlistCFType(const PlistCFType& other);
    PlistCFType& operator=(const PlistCFType& other);
    virtual ~PlistCFType();

    bool isNull() const { return ref() == nullptr; }

    // Kind tests; all false for a value without a node.
    bool isCFNumber() const; // integer or real
    bool isCFBoolean() const;
    bool isCFString() const; // string or dictionary key
    bool isCFData() const;
    bool isCFDate() const;
    bool isCFDictionary() const;
    bool isCFArray() const;
    bool isCFKeyedArchiverUID() const;

    // Readers: the argument is returned for a value without a node or a node
    // of another kind.
    bool CFNumberBool(bool defaultValue = false) const; // boolean nodes only
    // Integers are cut to the low 8/16/32/64 bits and read as signed; reals
    // are truncated toward zero first (saturating at the 64-bit limits; NaN
    // gives the default).
    char CFNumberInt8(char defaultValue = 0) const;
    short CFNumberInt16(short defaultValue = 0) const;
    int CFNumberInt(int defaultValue = 0) const;
    long long CFNumberInt64(long long defaultValue = 0) const;
    float CFNumberFloat(float defaultValue = 0) const;
    double CFNumberDouble(double defaultValue = 0) const;
    QString CFStringQString() const; // empty, not null, when not a string
    int CFStringLength() const;
    QByteArray CFDataBytes() const;
    int CFDataLength() const;
    unsigned int CFKeyedArchiverUIDGetValue() const; // low 32 bits
    // The date as a local-time QDateTime with millisecond precision, moved by
    // extraSeconds; a null QDateTime when this is not a date.
    QDateTime CFDateToDateTime(int extraSeconds = 0) const;
    // Boolean 21, integer and real 22, string 7, array 19, dictionary 18,
    // date 37, data 20, UID 35, anything else 16.
    int typeId() const;
    // A text form for logs and dictionary keys ("NULL" without a node).
    QString toString() const;
    // The raw plist_t, still owned as before. Hand plist_copy of it to a
    // library call that takes ownership.
    void* ref() const;

    // Creators: each returns a new value that owns its node.
    static PlistCFType createCFBoolean(bool value);
    static PlistCFType createCFNumberInt8(char value);
    static PlistCFType createCFNumberInt16(short value);
    static PlistCFType createCFNumberInt32(int value);
    static PlistCFType createCFNumberInt64(long long value);
    static PlistCFType createCFNumberCFIndex(long value);
    static PlistCFType createCFNumberFloat(float value);
    static PlistCFType createCFNumberDouble(double value);
    static PlistCFType createCFString(const QString& value);
    static PlistCFType createCFData(const QByteArray& value);
    // The instant is kept to the millisecond, also outside the 32-bit seconds
    // of libplist's date calls (1933-2069); CFDateToDateTime reads dates up to
    // about 30,000 years from 2001. An invalid date-time gives a value
    // without a node.
    static PlistCFType createCFDate(const QDateTime& value);
    static PlistCFType createCFKeyedArchiverUID(long value);
    static PlistCFType createCFDictionary();
    static PlistCFType createCFArray();
    // Pairs (keys[i], values[i]) up to the shorter list, each put under the
    // key's toString().
    static PlistCFType createCFDictionary(const QList<PlistCFType>& keys, const QList<PlistCFType>& values);
    static PlistCFType createCFArray(const QList<PlistCFType>& items);
    // A deep copy of a dictionary; a new empty dictionary for anything else.
    static PlistCFType createCFDictionaryCreateMutableCopy(const PlistCFType& dict);
    static PlistCFType clone(const PlistCFType& value);

    // Dictionaries. The editing operations return *this for chaining and
    // change nothing when this is not a dictionary or the value has no node.
    int dict_size() const;
    // New owning string values, in the dictionary's own order.
    QList<PlistCFType> dict_keys() const;
    PlistCFType get(const QString& key) const;
    PlistCFType get(const PlistCFType& key) const;
    // Calls f(key, value) for each entry in the dictionary's own order until f
    // returns false. Walk a dictionary this way rather than get() for each of
    // dict_keys(): libplist 2.2 keeps no index for a dictionary parsed from a
    // binary list, so every get() scans its keys, and a phone's message that
    // names every file of a backup would cost the square of their number. The
    // values are borrowed; the dictionary must not change during the walk.
    void dict_forEach(const std::function<bool(const QString& key, const PlistCFType& value)>& f) const;
    // An existing entry is replaced in its place; a new one goes last.
    PlistCFType& put(const QString& key, const PlistCFType& value);
    PlistCFType& put(const PlistCFType& key, const PlistCFType& value);
    PlistCFType& dict_replace(const PlistCFType& key, const PlistCFType& value);

    // Arrays.
    int array_size() const;
    // at() finds its item by walking the array from its start in libplist
    // 2.2, as get() its key: a long array, such as a phone's list of every
    // file it wants, is walked with array_forEach instead. f(item) for each
    // item in order until f returns false; borrowed values, and the array
    // must not change during the walk.
    PlistCFType at(int index) const;
    void array_forEach(const std::function<bool(const PlistCFType& item)>& f) const;
    PlistCFType& append(const PlistCFType& item);
    PlistCFType& array_replace(int index, const PlistCFType& item);

    // Parsing: bytes longer than 6 that begin with "bplist" are read as a
    // binary property list, anything else as XML. Input that is malformed,
    // nested deeper than kMaxNesting, or whose shared binary objects would
    // expand into an outsized tree gives a value without a node.
    static PlistCFType createCFPropertyList(const QByteArray& bytes);
    static PlistCFType createCFPropertyListFromFile(const QString& path);
    // XML text for kCFPropertyListXMLFormat_v1_0, a binary list for any other
    // value; empty without a node. Text that is not valid UTF-8 (from a
    // malformed input) is written with U+FFFD in place of the invalid bytes,
    // as CFStringQString() reads it.
    QByteArray CFPropertyListToBytes(CFPropertyListFormat format) const;
    PlistCFType CFPropertyListToData(CFPropertyListFormat format) const;

    // Keyed archives (NSKeyedArchiver layout).
    // Writes map as an archived NSDictionary (NSMutableDictionary when
    // isMutable) with the keys in sorted order. The values are handed over
    // as put() does; an entry whose value has no node is left out.
    static PlistCFType createNSDictionaryStringCFType(const QHash<QString, PlistCFType>& map, bool isMutable);
    // Decodes an archived dictionary into deep copies that outlive the archive.
    static QHash<QString, PlistCFType> parseNSDictionaryStringCFType(const PlistCFType& archive);
    // The root object's entries, one level of UIDs resolved, borrowed from
    // this value's tree.
    QHash<QString, PlistCFType> NSKeyedArchiver() const;

    // Deepest nesting of containers that parsing accepts.
    static constexpr int kMaxNesting = 512;
    // Largest input that parsing accepts, in bytes.
    static constexpr qint64 kMaxBytes = qint64(64) * 1024 * 1024;

private:
    // The node to link into this container for value: value's own node when
    // it can be handed over (*handOver set), else a fresh deep copy.
    void* nodeForInsertion(const PlistCFType& value, bool* handOver) const;
    // After value's node was linked in: it is no longer value's to free.
    void handOver(const PlistCFType& value);

    QSharedPointer<PlistCFTypePrivacy> owner;
};
