#include "tests/support/zipfixturebuilder.h"

#include <QFile>

namespace {

void put16(QByteArray& out, quint32 v)
{
    out.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}

void put32(QByteArray& out, quint32 v)
{
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

constexpr quint32 kLocalHeaderSize = 30;
constexpr quint32 kVersionMadeByUnix = (3u << 8) | 20u;
constexpr quint32 kFlagUtf8Name = 1u << 11;
// 1980-01-01 00:00, the earliest time the format can hold.
constexpr quint32 kDosDate = (0u << 9) | (1u << 5) | 1u;

// The fields that the local header and the central directory entry share,
// from "version needed" to "extra field length".
void putSharedFields(QByteArray& out, const QByteArray& name, const QByteArray& data)
{
    put16(out, 10);            // version needed
    put16(out, kFlagUtf8Name); // flags
    put16(out, 0);             // stored
    put16(out, 0);             // time
    put16(out, kDosDate);
    put32(out, fixtureCrc32(data));
    put32(out, quint32(data.size()));
    put32(out, quint32(data.size()));
    put16(out, quint32(name.size()));
    put16(out, 0);             // extra field length
}

} // namespace

quint32 fixtureCrc32(const QByteArray& data)
{
    quint32 crc = 0xffffffffu;
    for (const char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

ZipFixtureBuilder& ZipFixtureBuilder::add(const QByteArray& name, const QByteArray& data, quint32 mode)
{
    entries.append(Entry{name, data, mode});
    return *this;
}

QByteArray ZipFixtureBuilder::bytes() const
{
    QByteArray out;
    QByteArray central;
    for (const Entry& e : entries) {
        const quint32 offset = quint32(out.size());
        put32(out, 0x04034b50);
        putSharedFields(out, e.name, e.data);
        out.append(e.name).append(e.data);

        put32(central, 0x02014b50);
        put16(central, kVersionMadeByUnix);
        putSharedFields(central, e.name, e.data);
        put16(central, 0);          // comment length
        put16(central, 0);          // disk
        put16(central, 0);          // internal attributes
        put32(central, e.mode << 16);
        put32(central, offset);
        central.append(e.name);
    }
    const quint32 centralOffset = quint32(out.size());
    out.append(central);
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint32(entries.size()));
    put16(out, quint32(entries.size()));
    put32(out, quint32(central.size()));
    put32(out, centralOffset);
    put16(out, 0);
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
