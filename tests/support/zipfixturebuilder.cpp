#include "tests/support/zipfixturebuilder.h"

#include <QFile>

namespace {

// Little-endian, `size` bytes.
void put(QByteArray& out, quint64 v, int size)
{
    for (int i = 0; i < size; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}

quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xffffffffu;
    for (const char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

constexpr quint32 kLocalHeaderSize = 30;

// The fields the local header and the central directory entry share, from
// "version needed" to "extra field length": version 1.0, UTF-8 name, stored,
// 1980-01-01 00:00.
void putSharedFields(QByteArray& out, const QByteArray& name, const QByteArray& data)
{
    for (const quint32 v : {10u, 1u << 11, 0u, 0u, (1u << 5) | 1u})
        put(out, v, 2);
    for (const quint32 v : {crc32(data), quint32(data.size()), quint32(data.size())})
        put(out, v, 4);
    put(out, quint32(name.size()), 2);
    put(out, 0, 2);
}

} // namespace

ZipFixtureBuilder& ZipFixtureBuilder::add(const QByteArray& name, const QByteArray& data, quint32 mode)
{
    entries.append(Entry{name, data, mode});
    return *this;
}

QByteArray ZipFixtureBuilder::bytes() const
{
    QByteArray out, central;
    for (const Entry& e : entries) {
        const quint32 offset = quint32(out.size());
        put(out, 0x04034b50, 4);
        putSharedFields(out, e.name, e.data);
        out.append(e.name).append(e.data);

        put(central, 0x02014b50, 4);
        put(central, (3u << 8) | 20u, 2); // made by Unix
        putSharedFields(central, e.name, e.data);
        put(central, 0, 6); // comment length, disk, internal attributes
        put(central, e.mode << 16, 4);
        put(central, offset, 4);
        central.append(e.name);
    }
    const quint32 centralOffset = quint32(out.size());
    out.append(central);
    put(out, 0x06054b50, 4);
    put(out, 0, 4); // disk numbers
    put(out, quint32(entries.size()), 2);
    put(out, quint32(entries.size()), 2);
    put(out, quint32(central.size()), 4);
    put(out, centralOffset, 4);
    put(out, 0, 2);
    return out;
}

qint64 ZipFixtureBuilder::dataOffset(int index) const
{
    qint64 offset = 0;
    for (int i = 0; i < index; ++i)
        offset += kLocalHeaderSize + entries[i].name.size() + entries[i].data.size();
    return offset + kLocalHeaderSize + entries[index].name.size();
}

bool ZipFixtureBuilder::writeTo(const QString& path) const
{
    QFile f(path);
    const QByteArray data = bytes();
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size() && f.flush();
}
