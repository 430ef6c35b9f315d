#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>

class QIODevice;

// The "tinykv" document: a message's attachment values as one
// self-describing blob ("tinykv" magic, then key/value pairs with type
// tags, little-endian). Stateless; nothing here throws.
//
// Reading is bounded by the bytes at hand: a declared length that is
// negative or longer than what is left fails before anything is allocated,
// and nesting deeper than maxDepth fails, so a damaged or hostile blob costs
// at most its own size.
class TinyKVSerializer
{
public:
    static constexpr int maxDepth = 32;

    static QByteArray ser(const QHash<QString, QVariant>& values);
    static bool ser(QIODevice& dev, const QHash<QString, QVariant>& values);
    static QHash<QString, QVariant> unser(const QByteArray& bytes);
    static bool unser(QIODevice& dev, QHash<QString, QVariant>& values);

    static bool writeValue(QIODevice& dev, const QVariant& value);
    static bool readValue(QIODevice& dev, QVariant& value);

    static bool readByte(QIODevice& dev, quint8& value);
    static bool readInt32(QIODevice& dev, qint32& value);
    static bool readInt64(QIODevice& dev, qint64& value);
    static bool readDouble(QIODevice& dev, double& value);
    static bool readBinary(QIODevice& dev, QByteArray& value);
    static bool readString(QIODevice& dev, QString& value);

    static bool writeByte(QIODevice& dev, quint8 value);
    static bool writeInt32(QIODevice& dev, qint32 value);
    static bool writeInt64(QIODevice& dev, qint64 value);
    static bool writeDouble(QIODevice& dev, double value);
    static bool writeBinay(QIODevice& dev, const QByteArray& value);
    static bool writeString(QIODevice& dev, const QString& value);

private:
    static bool ser(QIODevice& dev, const QHash<QString, QVariant>& values, int depth);
    static bool unser(QIODevice& dev, QHash<QString, QVariant>& values, int depth);
    static bool writeValue(QIODevice& dev, const QVariant& value, int depth);
    static bool readValue(QIODevice& dev, QVariant& value, int depth);
    static bool readExact(QIODevice& dev, qint64 size, QByteArray& out);
};
