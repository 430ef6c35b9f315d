#include "tests/support/plistfixtures.h"

#include <cstring>

#include "tests/support/testenv.h"

namespace plistfixtures {

namespace {

constexpr int kRefSize = 2;
constexpr int kOffsetSize = 4;

QByteArray bigEndian(quint64 v, int size)
{
    QByteArray out(size, '\0');
    for (int i = size - 1; i >= 0; --i, v >>= 8)
        out[i] = char(v & 0xff);
    return out;
}

QByteArray marker(int type, quint64 count)
{
    if (count < 15)
        return QByteArray(1, char((type << 4) | int(count)));
    // Longer counts follow as an integer object of 8 bytes.
    return QByteArray(1, char((type << 4) | 0x0f)) + char(0x13) + bigEndian(count, 8);
}

QByteArray refs(const QList<quint64>& list)
{
    QByteArray out;
    for (quint64 r : list)
        out += bigEndian(r, kRefSize);
    return out;
}

} // namespace

quint64 BplistWriter::add(const QByteArray& obj)
{
    m_objects << obj;
    return quint64(m_objects.size() - 1);
}

quint64 BplistWriter::addInt(qint64 v)
{
    return add(char(0x13) + bigEndian(quint64(v), 8));
}

quint64 BplistWriter::addDate(double secondsSince2001)
{
    quint64 bits;
    std::memcpy(&bits, &secondsSince2001, sizeof bits);
    return add(char(0x33) + bigEndian(bits, 8));
}

quint64 BplistWriter::addAscii(const QByteArray& s)
{
    return add(marker(0x5, quint64(s.size())) + s);
}

quint64 BplistWriter::addUtf16(const QString& s)
{
    QByteArray units;
    for (QChar c : s)
        units += bigEndian(c.unicode(), 2);
    return add(marker(0x6, quint64(s.size())) + units);
}

quint64 BplistWriter::addUid(quint64 v)
{
    int n = 1;
    while (n < 8 && (v >> (8 * n)) != 0)
        n *= 2;
    return add(char(0x80 | (n - 1)) + bigEndian(v, n));
}

quint64 BplistWriter::addArray(const QList<quint64>& items)
{
    return add(marker(0xA, quint64(items.size())) + refs(items));
}

quint64 BplistWriter::addDict(const QList<quint64>& keyRefs, const QList<quint64>& valueRefs)
{
    return add(marker(0xD, quint64(keyRefs.size())) + refs(keyRefs) + refs(valueRefs));
}

quint64 BplistWriter::addRaw(const QByteArray& bytes)
{
    return add(bytes);
}

QByteArray BplistWriter::bytes(quint64 top, qint64 numObjects) const
{
    QByteArray out("bplist00");
    QByteArray table;
    for (const QByteArray& o : m_objects) {
        table += bigEndian(quint64(out.size()), kOffsetSize);
        out += o;
    }
    const quint64 tableOffset = quint64(out.size());
    out += table + QByteArray(6, '\0') + char(kOffsetSize) + char(kRefSize);
    out += bigEndian(numObjects < 0 ? quint64(m_objects.size()) : quint64(numObjects), 8);
    out += bigEndian(top, 8) + bigEndian(tableOffset, 8);
    return out;
}

bool havePython()
{
    return testenv::haveTool("python3");
}

namespace {

const char* kPythonPrelude = R"(
import base64, datetime, plistlib, sys
EPOCH = datetime.datetime(2001, 1, 1)
def utc(y, m, d, H=0, M=0, S=0, us=0):
    return datetime.datetime(y, m, d, H, M, S, us)
)";

} // namespace

QByteArray pythonDumps(const QString& pythonExpr, bool binary)
{
    const QString script = QString::fromUtf8(kPythonPrelude)
        + QStringLiteral("sys.stdout.buffer.write(plistlib.dumps(%1, fmt=plistlib.%2, sort_keys=False))\n")
              .arg(pythonExpr, binary ? QStringLiteral("FMT_BINARY") : QStringLiteral("FMT_XML"));
    QByteArray out;
    if (testenv::runTool(QStringLiteral("python3"), {QStringLiteral("-c"), script}, &out) != 0)
        return QByteArray();
    return out;
}

QString pythonLoads(const QByteArray& plist)
{
    const QString script = QString::fromUtf8(kPythonPrelude) + QStringLiteral(R"(
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
try:
    print(canon(plistlib.loads(sys.stdin.buffer.read())), end='')
except Exception as e:
    print('ERROR: %s' % e, end='')
)");
    QByteArray out;
    QByteArray err;
    if (testenv::runTool(QStringLiteral("python3"), {QStringLiteral("-c"), script}, &out, &err, plist) != 0)
        return QStringLiteral("ERROR: python3 failed: ") + QString::fromUtf8(err);
    return QString::fromUtf8(out);
}

} // namespace plistfixtures
