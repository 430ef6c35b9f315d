#pragma once

// Property-list fixtures made without PlistCFType: raw bytes of the binary
// format, and Python's plistlib.

#include <QByteArray>
#include <QList>
#include <QString>

namespace plistfixtures {

// Writes a binary property list ("bplist00") object by object, so that tests
// can make any graph, malformed ones included: shared and dangling
// references, cycles, deep nesting, wrong offsets. References take 2 bytes,
// offsets 4. Each add returns the new object's index.
class BplistWriter
{
public:
    quint64 addInt(qint64 v);
    quint64 addDate(double secondsSince2001);
    quint64 addAscii(const QByteArray& s);
    quint64 addUtf16(const QString& s);
    quint64 addArray(const QList<quint64>& refs);
    quint64 addDict(const QList<quint64>& keyRefs, const QList<quint64>& valueRefs);
    // Any bytes as an object, for malformed markers and lengths.
    quint64 addRaw(const QByteArray& bytes);

    // The whole list with the given top object; numObjects overrides the
    // count written in the trailer (-1: the real count).
    QByteArray bytes(quint64 top = 0, qint64 numObjects = -1) const;

private:
    QList<QByteArray> m_objects;
};

// True when python3 runs here.
bool havePython();

// plistlib.dumps(<pythonExpr>) in binary or XML form; the expression may use
// plistlib and `utc(y, m, d, H, M, S, us)`. Empty when Python fails.
QByteArray pythonDumps(const QString& pythonExpr, bool binary);

// What plistlib.loads makes of the bytes, as a canonical text: dict entries
// in file order as {k: v, ...}, lists as [...], bytes as b64:<base64>,
// datetimes as date:<microseconds since 2001 UTC>, UIDs as uid:<n>, floats
// with repr(), booleans as True/False. "ERROR: ..." when loading fails.
QString pythonLoads(const QByteArray& plist);

} // namespace plistfixtures
