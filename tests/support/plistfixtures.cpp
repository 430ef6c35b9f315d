#include "tests/support/plistfixtures.h"

#include <cstring>

#include "tests/support/testenv.h"

namespace plistfixtures {

namespace {

QByteArray bigEndian(quint64 v, int size)
{
    QByteArray out(size, '\0');
    for (int i = size - 1; i >= 0; --i, v >>= 8)
        out[i] = char(v & 0xff);
    return out;
}

// A marker with its count; counts from 15 on follow as an 8-byte integer object.
QByteArray marker(int type, quint64 count)
{
    if (count < 15)
        return QByteArray(1, char((type << 4) | int(count)));
    return QByteArray(1, char((type << 4) | 0x0f)) + char(0x13) + bigEndian(count, 8);
}

QByteArray refs(const QList<quint64>& list)
{
    QByteArray out;
    for (quint64 r : list)
        out += bigEndian(r, 2);
    return out;
}

} // namespace

quint64 BplistWriter::addRaw(const QByteArray& bytes)
{
    m_objects << bytes;
    return quint64(m_objects.size() - 1);
}

quint64 BplistWriter::addInt(qint64 v)
{
    return addRaw(char(0x13) + bigEndian(quint64(v), 8));
}

quint64 BplistWriter::addDate(double secondsSince2001)
{
    quint64 bits;
    std::memcpy(&bits, &secondsSince2001, sizeof bits);
    return addRaw(char(0x33) + bigEndian(bits, 8));
}

quint64 BplistWriter::addAscii(const QByteArray& s)
{
    return addRaw(marker(0x5, quint64(s.size())) + s);
}

quint64 BplistWriter::addUtf16(const QString& s)
{
    QByteArray units;
    for (QChar c : s)
        units += bigEndian(c.unicode(), 2);
    return addRaw(marker(0x6, quint64(s.size())) + units);
}

quint64 BplistWriter::addArray(const QList<quint64>& items)
{
    return addRaw(marker(0xA, quint64(items.size())) + refs(items));
}

quint64 BplistWriter::addDict(const QList<quint64>& keyRefs, const QList<quint64>& valueRefs)
{
    return addRaw(marker(0xD, quint64(keyRefs.size())) + refs(keyRefs) + refs(valueRefs));
}

QByteArray BplistWriter::bytes(quint64 top, qint64 numObjects) const
{
    QByteArray out("bplist00"), table;
    for (const QByteArray& o : m_objects) {
        table += bigEndian(quint64(out.size()), 4);
        out += o;
    }
    const quint64 tableOffset = quint64(out.size());
    out += table + QByteArray(6, '\0') + char(4) + char(2);
    out += bigEndian(numObjects < 0 ? quint64(m_objects.size()) : quint64(numObjects), 8);
    return out + bigEndian(top, 8) + bigEndian(tableOffset, 8);
}

bool havePython()
{
    return testenv::haveTool("python3");
}

namespace {

const char* kPrelude = R"(
import base64, datetime, plistlib, sys
EPOCH = datetime.datetime(2001, 1, 1)
def utc(y, m, d, H=0, M=0, S=0, us=0):
    return datetime.datetime(y, m, d, H, M, S, us)
def canon(v):
    if isinstance(v, bool):
        return repr(v)
    if isinstance(v, dict):
        return '{' + ', '.join(k + ': ' + canon(x) for k, x in v.items()) + '}'
    if isinstance(v, list):
        return '[' + ', '.join(canon(x) for x in v) + ']'
    if isinstance(v, bytes):
        return 'b64:' + base64.b64encode(v).decode()
    if isinstance(v, datetime.datetime):
        d = v.replace(tzinfo=None) - EPOCH
        return 'date:%d' % ((d.days * 86400 + d.seconds) * 1000000 + d.microseconds)
    if isinstance(v, plistlib.UID):
        return 'uid:%d' % v.data
    return repr(v) if isinstance(v, (int, float)) else str(v)
)";

} // namespace

QByteArray pythonDumps(const QString& pythonExpr, bool binary)
{
    QByteArray out;
    const QString script = kPrelude + QStringLiteral("sys.stdout.buffer.write(plistlib.dumps(%1, fmt=plistlib.%2, sort_keys=False))\n")
                                          .arg(pythonExpr, binary ? QStringLiteral("FMT_BINARY") : QStringLiteral("FMT_XML"));
    return testenv::runTool("python3", {"-c", script}, &out) == 0 ? out : QByteArray();
}

QString pythonLoads(const QByteArray& plist)
{
    QByteArray out, err;
    const QString script = kPrelude + QStringLiteral("try:\n    print(canon(plistlib.loads(sys.stdin.buffer.read())), end='')\n"
                                                     "except Exception as e:\n    print('ERROR: %s' % e, end='')\n");
    if (testenv::runTool("python3", {"-c", script}, &out, &err, plist) != 0)
        return "ERROR: python3 failed: " + QString::fromUtf8(err);
    return QString::fromUtf8(out);
}

} // namespace plistfixtures
