#include <QBuffer>
#include <QDateTime>
#include <QtEndian>
#include <gtest/gtest.h>

#include "chatdata/tinykvserializer.h"
#include "tests/support/gtest_qt.h"

namespace {

QByteArray le32(qint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian<qint32>(v, b.data());
    return b;
}

// A document of the given pairs, each a key and its tagged value bytes.
QByteArray doc(std::initializer_list<QPair<QByteArray, QByteArray>> pairs)
{
    QByteArray d("tinykv");
    for (const auto& p : pairs)
        d += le32(qint32(p.first.size())) + p.first + p.second;
    return d;
}

// Reads through the device interface; `out` starts with a stale value.
bool unserDevice(const QByteArray& bytes, QHash<QString, QVariant>& out)
{
    QBuffer buf;
    buf.setData(bytes);
    buf.open(QIODevice::ReadOnly);
    out = {{"stale", 1}};
    return TinyKVSerializer::unser(buf, out);
}

TEST(TinyKV, ExactBytesOfSmallDocuments)
{
    EXPECT_EQ(TinyKVSerializer::ser({}), QByteArray("tinykv"));
    EXPECT_EQ(TinyKVSerializer::ser({{"width", 640}}), doc({{"width", "i" + QByteArray("\x80\x02\x00\x00", 4)}}));
    QHash<QString, QVariant> out;
    EXPECT_TRUE(unserDevice("tinykv", out));
    EXPECT_TRUE(out.isEmpty());
}

TEST(TinyKV, EveryKindRoundTripsWithTheDocumentedTypeChanges)
{
    QHash<QString, QVariant> h;
    h["b"] = true;
    h["u"] = 4000000000u; // wraps to a signed 32-bit value
    h["l"] = Q_INT64_C(-5000000000);
    h["ul"] = Q_UINT64_C(0xffffffffffffffff);
    h["d"] = 3.25;
    h["s"] = QString::fromUtf8("日本語 \xF0\x9F\x98\x80");
    h["v"] = QByteArray("\0\xff\x01", 3);
    h["sl"] = QStringList{"a", "b"};
    h["list"] = QVariantList{1, QString("x"), QVariantList{2.5}};
    h["hash"] = QVariantHash{{"inner", Q_INT64_C(7)}, {"deeper", QVariantHash{{"z", 1}}}};
    h["map"] = QVariantMap{{"k", 1}};
    h["date"] = QDateTime::currentDateTime();
    h["null"] = QVariant();
    h[""] = QString("empty key");

    const QHash<QString, QVariant> back = TinyKVSerializer::unser(TinyKVSerializer::ser(h));
    ASSERT_EQ(back.size(), h.size());
    EXPECT_EQ(back["b"].metaType().id(), QMetaType::Int);
    EXPECT_EQ(back["b"].toInt(), 1);
    EXPECT_EQ(back["u"].toInt(), qint32(4000000000u));
    EXPECT_EQ(back["l"].metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(back["l"].toLongLong(), Q_INT64_C(-5000000000));
    EXPECT_EQ(back["ul"].toLongLong(), -1);
    EXPECT_EQ(back["d"].toDouble(), 3.25);
    EXPECT_EQ(back["s"].toString(), h["s"].toString());
    EXPECT_EQ(back["v"].toByteArray(), QByteArray("\0\xff\x01", 3));
    EXPECT_EQ(back["sl"].metaType().id(), QMetaType::QVariantList);
    EXPECT_EQ(back["sl"].toStringList(), (QStringList{"a", "b"}));
    EXPECT_EQ(back["list"].toList().value(2).toList().value(0).toDouble(), 2.5);
    EXPECT_EQ(back["hash"].toHash()["deeper"].toHash()["z"].toInt(), 1);
    // Maps and dates are not part of the format: they come back as null.
    EXPECT_FALSE(back["map"].isValid());
    EXPECT_FALSE(back["date"].isValid());
    EXPECT_FALSE(back["null"].isValid());
    EXPECT_EQ(back[""].toString(), "empty key");
}

TEST(TinyKV, ACutInsideAKeyEndsTheDocumentInsideAValueFailsIt)
{
    const QByteArray whole = doc({{"a", "i" + le32(1)}, {"bb", "s" + le32(3) + "xyz"}});
    EXPECT_EQ(TinyKVSerializer::unser(whole).size(), 2);
    // Cut in the second key's bytes: the first pair survives.
    const QHash<QString, QVariant> h = TinyKVSerializer::unser(whole.left(6 + 4 + 1 + 5 + 4 + 1));
    ASSERT_EQ(h.size(), 1);
    EXPECT_EQ(h["a"].toInt(), 1);
    // Cut in the second value: nothing survives, and the device read fails.
    QHash<QString, QVariant> out;
    EXPECT_FALSE(unserDevice(whole.left(whole.size() - 1), out));
    EXPECT_TRUE(out.isEmpty());
    // A foreign blob fails too, and leaves the caller's hash alone.
    EXPECT_FALSE(unserDevice("nottinykv", out));
    EXPECT_EQ(out.size(), 1);
    for (const QByteArray& foreign : {QByteArray(), QByteArray("tinyk"), QByteArray("bplist00....")})
        EXPECT_TRUE(TinyKVSerializer::unser(foreign).isEmpty());
}

TEST(TinyKV, HostileLengthsTagsAndNestingFailWithoutAllocating)
{
    // Declared lengths larger than the blob, negative, or at the 32-bit limit.
    for (qint32 n : {-1, -2147483647 - 1, 2147483647, 1000000}) {
        EXPECT_TRUE(TinyKVSerializer::unser(doc({{"k", "s" + le32(n) + "abc"}})).isEmpty()) << n;
        EXPECT_TRUE(TinyKVSerializer::unser(doc({{"k", "v" + le32(n)}})).isEmpty()) << n;
        EXPECT_TRUE(TinyKVSerializer::unser(doc({{"k", "[" + le32(n)}})).isEmpty()) << n;
        EXPECT_TRUE(TinyKVSerializer::unser(QByteArray("tinykv") + le32(n) + "k").isEmpty()) << n;
    }
    // A list that promises two billion elements in a few bytes; unknown tags.
    for (const QByteArray& value :
         {"[" + le32(4) + le32(2000000000), QByteArray("a"), QByteArray("\x01"), QByteArray("}")})
        EXPECT_TRUE(TinyKVSerializer::unser(doc({{"k", value}})).isEmpty()) << value.toHex().toStdString();

    // Lists nested far beyond any real attachment value.
    QByteArray deep = QByteArray("i") + le32(1);
    for (int i = 0; i < 5000; ++i) {
        const QByteArray body = le32(1) + deep;
        deep = QByteArray("[") + le32(body.size()) + body;
    }
    EXPECT_TRUE(TinyKVSerializer::unser(doc({{"deep", deep}})).isEmpty());
    // Writing an equally deep value fails instead of overflowing the stack.
    QVariant v = 1;
    for (int i = 0; i < 100; ++i)
        v = QVariantList{v};
    EXPECT_TRUE(TinyKVSerializer::ser({{"deep", v}}).isEmpty());
}

TEST(TinyKV, ListsAndNestedDocumentsAtTheirEdges)
{
    // A list whose byte count is larger than its elements need.
    const QByteArray items = le32(1) + "i" + le32(9) + "trailing";
    QHash<QString, QVariant> h = TinyKVSerializer::unser(doc({{"l", "[" + le32(items.size()) + items}}));
    EXPECT_EQ(h["l"].toList(), QVariantList{QVariant(9)});
    // A count of zero or below is an empty list.
    h = TinyKVSerializer::unser(doc({{"l", "[" + le32(4) + le32(-3)}}));
    EXPECT_TRUE(h.contains("l"));
    EXPECT_TRUE(h["l"].toList().isEmpty());
    // A count larger than the elements present fails the whole document.
    const QByteArray shortItems = le32(2) + "i" + le32(9);
    EXPECT_TRUE(TinyKVSerializer::unser(doc({{"l", "[" + le32(shortItems.size()) + shortItems}})).isEmpty());
    // A nested document of length 0, or a damaged one, is an empty hash and
    // the outer document goes on.
    for (const QByteArray& nested : {le32(0), le32(3) + "bad"}) {
        h = TinyKVSerializer::unser(doc({{"h", "{" + nested}, {"after", "i" + le32(5)}}));
        EXPECT_TRUE(h["h"].toHash().isEmpty());
        EXPECT_EQ(h["after"].toInt(), 5);
    }
    // The later of two pairs with one key wins.
    EXPECT_EQ(TinyKVSerializer::unser(doc({{"k", "i" + le32(1)}, {"k", "i" + le32(2)}}))["k"].toInt(), 2);
}

TEST(TinyKV, AShortWriteIsAFailure)
{
    QByteArray storage;
    QBuffer ro(&storage);
    ro.open(QIODevice::ReadOnly);
    EXPECT_FALSE(TinyKVSerializer::ser(ro, {{"k", 1}}));
    EXPECT_FALSE(TinyKVSerializer::writeInt64(ro, 1));
}

} // namespace
