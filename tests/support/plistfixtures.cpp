#include "tests/support/plistfixtures.h"

#include <cstring>

#include <plist/plist.h>

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

QByteArray mbFileArchive(const QString& relativePath, qint64 size)
{
    // "$objects": 0 "$null", 1 the MBFile object, 2 its path, 3 the class record.
    plist_t file = plist_new_dict();
    const std::pair<const char*, uint64_t> numbers[] = {
        {"LastModified", 1700000000}, {"Flags", 0}, {"GroupID", 501}, {"LastStatusChange", 1700000100},
        {"Birth", 1690000000}, {"Mode", 0100644}, {"InodeNumber", 123456789}, {"Size", uint64_t(size)},
        {"ProtectionClass", 3}, {"UserID", 501}};
    for (const auto& [key, value] : numbers)
        plist_dict_set_item(file, key, plist_new_uint(value));
    plist_dict_set_item(file, "$class", plist_new_uid(3));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));

    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string("MBFile"));
    plist_array_append_item(classes, plist_new_string("NSObject"));
    plist_t classRecord = plist_new_dict();
    plist_dict_set_item(classRecord, "$classes", classes);
    plist_dict_set_item(classRecord, "$classname", plist_new_string("MBFile"));

    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, plist_new_string(relativePath.toUtf8().constData()));
    plist_array_append_item(objects, classRecord);

    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_t archive = plist_new_dict();
    plist_dict_set_item(archive, "$version", plist_new_uint(100000));
    plist_dict_set_item(archive, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(archive, "$top", top);
    plist_dict_set_item(archive, "$objects", objects);

    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(archive, &bin, &len);
    const QByteArray bytes(bin, qsizetype(len));
    plist_to_bin_free(bin);
    plist_free(archive);
    return bytes;
}

} // namespace plistfixtures
