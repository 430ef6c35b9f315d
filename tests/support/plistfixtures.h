#pragma once

// Property-list fixtures built without PlistCFType: raw bytes of the binary
// format, Python's plistlib, and raw libplist calls.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace plistfixtures {

// Writes a binary property list ("bplist00") object by object, so that tests
// can make any graph, including malformed ones: shared and dangling
// references, cycles, deep nesting, wrong offsets. References and offsets
// are written with the given sizes (1 to 8 bytes).
class BplistWriter
{
public:
    explicit BplistWriter(int refSize = 2, int offsetSize = 4) : m_refSize(refSize), m_offsetSize(offsetSize) {}

    // Each adds one object and returns its index.
    int addInt(qint64 v);
    int addReal(double v);
    int addDate(double secondsSince2001);
    int addBool(bool v);
    int addAscii(const QByteArray& s);
    int addUtf16(const QString& s);
    int addData(const QByteArray& d);
    int addUid(quint64 v);
    int addArray(const QList<quint64>& refs);
    int addDict(const QList<quint64>& keyRefs, const QList<quint64>& valueRefs);
    // Any bytes as an object, for malformed markers and lengths.
    int addRaw(const QByteArray& bytes);

    // The whole list with the given top object. numObjects overrides the
    // count written in the trailer (-1: the real count).
    QByteArray bytes(quint64 top = 0, qint64 numObjects = -1) const;

private:
    int add(const QByteArray& obj);
    QByteArray marker(int type, quint64 count) const;
    QByteArray refBytes(quint64 ref) const;

    int m_refSize;
    int m_offsetSize;
    QList<QByteArray> m_objects;
};

// True when python3 runs here.
bool havePython();

// Bytes of plistlib.dumps(<pythonExpr>) in binary or XML form; the
// expression may use plistlib, datetime and the helper `utc(y, m, d, H, M, S, us)`.
// Empty when Python fails.
QByteArray pythonDumps(const QString& pythonExpr, bool binary);

// What plistlib.loads makes of the bytes, as a canonical text: dict entries
// in file order as {k: v, ...}, lists as [...], bytes as b64:<base64>,
// datetimes as date:<microseconds since 2001 UTC>, UIDs as uid:<n>, floats
// with repr(), booleans as True/False. "ERROR: ..." when loading fails.
QString pythonLoads(const QByteArray& plist);

// A keyed archive of one backup file record (class "MBFile"), the layout of
// Manifest.db's "file" column, built with raw libplist calls; binary bytes.
// relativePath and size vary the record; mode 0100644, flags 0,
// protection class 3, three times, user and group 501, an inode number.
QByteArray mbFileArchive(const QString& relativePath, qint64 size);

} // namespace plistfixtures
