#include "chatdata/tinykvserializer.h"

#include <QBuffer>
#include <QStringList>
#include <QtEndian>

#include <cstring>

namespace {

const char kMagic[] = "tinykv";
constexpr qint64 kMagicSize = 6;

bool writeAll(QIODevice& dev, const char* data, qint64 size)
{
    return dev.write(data, size) == size;
}

// Bytes that can still be read from the device without blocking; for the
// in-memory buffers used here that is exactly what is left.
qint64 remaining(QIODevice& dev)
{
    return dev.bytesAvailable();
}

} // namespace

bool TinyKVSerializer::readExact(QIODevice& dev, qint64 size, QByteArray& out)
{
    if (size < 0 || size > remaining(dev))
        return false;
    out = dev.read(size);
    return out.size() == size;
}

bool TinyKVSerializer::readByte(QIODevice& dev, quint8& value)
{
    char c;
    if (dev.read(&c, 1) != 1)
        return false;
    value = static_cast<quint8>(c);
    return true;
}

bool TinyKVSerializer::readInt32(QIODevice& dev, qint32& value)
{
    uchar b[4];
    if (dev.read(reinterpret_cast<char*>(b), 4) != 4)
        return false;
    value = qFromLittleEndian<qint32>(b);
    return true;
}

bool TinyKVSerializer::readInt64(QIODevice& dev, qint64& value)
{
    uchar b[8];
    if (dev.read(reinterpret_cast<char*>(b), 8) != 8)
        return false;
    value = qFromLittleEndian<qint64>(b);
    return true;
}

bool TinyKVSerializer::readDouble(QIODevice& dev, double& value)
{
    qint64 bits;
    if (!readInt64(dev, bits))
        return false;
    std::memcpy(&value, &bits, sizeof value);
    return true;
}

bool TinyKVSerializer::readBinary(QIODevice& dev, QByteArray& value)
{
    qint32 n;
    if (!readInt32(dev, n))
        return false;
    return readExact(dev, n, value);
}

bool TinyKVSerializer::readString(QIODevice& dev, QString& value)
{
    QByteArray bytes;
    if (!readBinary(dev, bytes))
        return false;
    value = QString::fromUtf8(bytes);
    return true;
}

bool TinyKVSerializer::writeByte(QIODevice& dev, quint8 value)
{
    const char c = static_cast<char>(value);
    return writeAll(dev, &c, 1);
}

bool TinyKVSerializer::writeInt32(QIODevice& dev, qint32 value)
{
    uchar b[4];
    qToLittleEndian<qint32>(value, b);
    return writeAll(dev, reinterpret_cast<const char*>(b), 4);
}

bool TinyKVSerializer::writeInt64(QIODevice& dev, qint64 value)
{
    uchar b[8];
    qToLittleEndian<qint64>(value, b);
    return writeAll(dev, reinterpret_cast<const char*>(b), 8);
}

bool TinyKVSerializer::writeDouble(QIODevice& dev, double value)
{
    qint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return writeInt64(dev, bits);
}

bool TinyKVSerializer::writeBinay(QIODevice& dev, const QByteArray& value)
{
    if (value.size() > std::numeric_limits<qint32>::max())
        return false;
    return writeInt32(dev, qint32(value.size())) && writeAll(dev, value.constData(), value.size());
}

bool TinyKVSerializer::writeString(QIODevice& dev, const QString& value)
{
    return writeBinay(dev, value.toUtf8());
}

QByteArray TinyKVSerializer::ser(const QHash<QString, QVariant>& values)
{
    QByteArray out;
    QBuffer buf(&out);
    if (!buf.open(QIODevice::WriteOnly))
        return QByteArray();
    if (!ser(buf, values, 0))
        return QByteArray();
    buf.close();
    return out;
}

bool TinyKVSerializer::ser(QIODevice& dev, const QHash<QString, QVariant>& values)
{
    return ser(dev, values, 0);
}

bool TinyKVSerializer::ser(QIODevice& dev, const QHash<QString, QVariant>& values, int depth)
{
    if (!writeAll(dev, kMagic, kMagicSize))
        return false;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        if (!writeString(dev, it.key()) || !writeValue(dev, it.value(), depth))
            return false;
    }
    return true;
}

bool TinyKVSerializer::writeValue(QIODevice& dev, const QVariant& value)
{
    return writeValue(dev, value, 0);
}

bool TinyKVSerializer::writeValue(QIODevice& dev, const QVariant& value, int depth)
{
    if (depth >= maxDepth)
        return false;
    const int type = value.metaType().id();
    if (type == QMetaType::QVariantHash) {
        QByteArray nested;
        QBuffer buf(&nested);
        // A nested hash that cannot be written becomes an empty document.
        if (!buf.open(QIODevice::WriteOnly) || !ser(buf, value.toHash(), depth + 1))
            nested.clear();
        return writeByte(dev, '{') && writeBinay(dev, nested);
    }
    if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
        const QVariantList list = value.toList();
        QByteArray body;
        QBuffer buf(&body);
        if (!buf.open(QIODevice::WriteOnly) || list.size() > std::numeric_limits<qint32>::max())
            return false;
        if (!writeInt32(buf, qint32(list.size())))
            return false;
        for (const QVariant& v : list) {
            if (!writeValue(buf, v, depth + 1))
                return false;
        }
        return writeByte(dev, '[') && writeBinay(dev, body);
    }
    switch (type) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return writeByte(dev, 'i') && writeInt32(dev, qint32(value.toLongLong()));
    case QMetaType::Long:
    case QMetaType::LongLong:
        return writeByte(dev, 'l') && writeInt64(dev, value.toLongLong());
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return writeByte(dev, 'l') && writeInt64(dev, qint64(value.toULongLong()));
    case QMetaType::Double:
        return writeByte(dev, 'd') && writeDouble(dev, value.toDouble());
    case QMetaType::QString:
        return writeByte(dev, 's') && writeString(dev, value.toString());
    case QMetaType::QByteArray:
        return writeByte(dev, 'v') && writeBinay(dev, value.toByteArray());
    default:
        return writeByte(dev, 'n');
    }
}

QHash<QString, QVariant> TinyKVSerializer::unser(const QByteArray& bytes)
{
    QHash<QString, QVariant> values;
    QByteArray copy = bytes;
    QBuffer buf(&copy);
    if (!buf.open(QIODevice::ReadOnly))
        return {};
    if (!unser(buf, values, 0))
        return {};
    return values;
}

bool TinyKVSerializer::unser(QIODevice& dev, QHash<QString, QVariant>& values)
{
    return unser(dev, values, 0);
}

bool TinyKVSerializer::unser(QIODevice& dev, QHash<QString, QVariant>& values, int depth)
{
    char magic[kMagicSize];
    if (dev.read(magic, kMagicSize) != kMagicSize || std::memcmp(magic, kMagic, kMagicSize) != 0)
        return false;
    values.clear();
    for (;;) {
        QString key;
        // A key that cannot be read whole is where the document ends.
        if (!readString(dev, key))
            return true;
        QVariant value;
        if (!readValue(dev, value, depth)) {
            values.clear();
            return false;
        }
        values.insert(key, value);
    }
}

bool TinyKVSerializer::readValue(QIODevice& dev, QVariant& value)
{
    return readValue(dev, value, 0);
}

bool TinyKVSerializer::readValue(QIODevice& dev, QVariant& value, int depth)
{
    if (depth >= maxDepth)
        return false;
    quint8 tag;
    if (!readByte(dev, tag))
        return false;
    switch (tag) {
    case 'i': {
        qint32 v;
        if (!readInt32(dev, v))
            return false;
        value = int(v);
        return true;
    }
    case 'l': {
        qint64 v;
        if (!readInt64(dev, v))
            return false;
        value = v;
        return true;
    }
    case 'd': {
        double v;
        if (!readDouble(dev, v))
            return false;
        value = v;
        return true;
    }
    case 's': {
        QString v;
        if (!readString(dev, v))
            return false;
        value = v;
        return true;
    }
    case 'v': {
        QByteArray v;
        if (!readBinary(dev, v))
            return false;
        value = v;
        return true;
    }
    case 'n':
        value = QVariant();
        return true;
    case '{': {
        QByteArray nested;
        if (!readBinary(dev, nested))
            return false;
        QHash<QString, QVariant> hash;
        QBuffer buf(&nested);
        // A nested document that does not parse is an empty hash; the
        // outer document goes on.
        if (!buf.open(QIODevice::ReadOnly) || !unser(buf, hash, depth + 1))
            hash.clear();
        value = hash;
        return true;
    }
    case '[': {
        QByteArray body;
        if (!readBinary(dev, body))
            return false;
        QBuffer buf(&body);
        if (!buf.open(QIODevice::ReadOnly))
            return false;
        qint32 count;
        if (!readInt32(buf, count))
            return false;
        QVariantList list;
        for (qint32 i = 0; i < count; ++i) {
            // Every element takes at least its tag byte: a count larger than
            // the bytes can hold fails here without reserving anything.
            QVariant element;
            if (!readValue(buf, element, depth + 1))
                return false;
            list.append(element);
        }
        value = list;
        return true;
    }
    default:
        return false;
    }
}
