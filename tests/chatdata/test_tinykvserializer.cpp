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

QByteArray key(const QByteArray& k)
{
    return le32(qint32(k.size())) + k;
}

TEST(TinyKV, ExactBytesOfSmallDocuments)
{
    EXPECT_EQ(TinyKVSerializer::ser({}), QByteArray("tinykv"));
    QHash<QString, QVariant> h;
    h["width"] = 640;
    EXPECT_EQ(TinyKVSerializer::ser(h), QByteArray("tinykv") + key("width") + "i" + QByteArray("\x80\x02\x00\x00", 4));

    QBuffer buf;
    buf.setData("tinykv");
    buf.open(QIODevice::ReadOnly);
    QHash<QString, QVariant> out{{"stale", 1}};
    EXPECT_TRUE(TinyKVSerializer::unser(buf, out));
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
    const QVariantList list = back["list"].toList();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[1].toString(), "x");
    EXPECT_EQ(list[2].toList().value(0).toDouble(), 2.5);
    const QVariantHash nested = back["hash"].toHash();
    EXPECT_EQ(nested["inner"].toLongLong(), 7);
    EXPECT_EQ(nested["deeper"].toHash()["z"].toInt(), 1);
    // Maps and dates are not part of the format: they come back as null.
    EXPECT_FALSE(back["map"].isValid());
    EXPECT_FALSE(back["date"].isValid());
    EXPECT_FALSE(back["null"].isValid());
    EXPECT_EQ(back[""].toString(), "empty key");
}

TEST(TinyKV, ForeignOrEmptyBlobsHaveNoValues)
{
    EXPECT_TRUE(TinyKVSerializer::unser(QByteArray()).isEmpty());
    EXPECT_TRUE(TinyKVSerializer::unser("tinyk").isEmpty());
    EXPECT_TRUE(TinyKVSerializer::unser("bplist00....").isEmpty());

    QBuffer buf;
    buf.setData("nottinykv");
    buf.open(QIODevice::ReadOnly);
    QHash<QString, QVariant> kept{{"a", 1}};
    EXPECT_FALSE(TinyKVSerializer::unser(buf, kept));
    EXPECT_EQ(kept.size(), 1) << "a bad magic leaves the caller's hash alone";
}

TEST(TinyKV, TruncationInsideAKeyEndsTheDocumentInsideAValueFailsIt)
{
    QByteArray doc = QByteArray("tinykv") + key("a") + "i" + le32(1) + key("bb") + "s" + le32(3) + "xyz";
    // Cut in the second key's bytes: the first pair survives.
    QHash<QString, QVariant> h = TinyKVSerializer::unser(doc.left(6 + 4 + 1 + 1 + 4 + 4 + 1));
    ASSERT_EQ(h.size(), 1);
    EXPECT_EQ(h["a"].toInt(), 1);
    // Cut in the second value: nothing survives, and the device read fails.
    QBuffer buf;
    buf.setData(doc.left(doc.size() - 1));
    buf.open(QIODevice::ReadOnly);
    QHash<QString, QVariant> out{{"old", 1}};
    EXPECT_FALSE(TinyKVSerializer::unser(buf, out));
    EXPECT_TRUE(out.isEmpty());
    EXPECT_EQ(TinyKVSerializer::unser(doc).size(), 2);
}

TEST(TinyKV, HostileLengthsAndTagsFailWithoutAllocating)
{
    const QByteArray base = QByteArray("tinykv") + key("k");
    // Declared lengths larger than the blob, negative, or at the 32-bit limit.
    for (qint32 n : {-1, -2147483647 - 1, 2147483647, 1000000}) {
        EXPECT_TRUE(TinyKVSerializer::unser(base + "s" + le32(n) + "abc").isEmpty()) << n;
        EXPECT_TRUE(TinyKVSerializer::unser(base + "v" + le32(n)).isEmpty()) << n;
        EXPECT_TRUE(TinyKVSerializer::unser(base + "[" + le32(n)).isEmpty()) << n;
        // A key length that cannot be satisfied is the end of the document.
        EXPECT_TRUE(TinyKVSerializer::unser(QByteArray("tinykv") + le32(n) + "k").isEmpty()) << n;
    }
    // A list that promises two billion elements in a few bytes.
    EXPECT_TRUE(TinyKVSerializer::unser(base + "[" + le32(4) + le32(2000000000)).isEmpty());
    // Unknown tags, inside and outside the tag range.
    EXPECT_TRUE(TinyKVSerializer::unser(base + "a").isEmpty());
    EXPECT_TRUE(TinyKVSerializer::unser(base + "\x01").isEmpty());
    EXPECT_TRUE(TinyKVSerializer::unser(base + "}").isEmpty());
}

TEST(TinyKV, ListsAndNestedDocumentsAtTheirEdges)
{
    // A list whose byte count is larger than its elements need.
    const QByteArray items = le32(1) + "i" + le32(9) + "trailing";
    QHash<QString, QVariant> h = TinyKVSerializer::unser(QByteArray("tinykv") + key("l") + "[" + le32(items.size()) + items);
    ASSERT_EQ(h["l"].toList().size(), 1);
    EXPECT_EQ(h["l"].toList()[0].toInt(), 9);
    // A count of zero or below is an empty list.
    h = TinyKVSerializer::unser(QByteArray("tinykv") + key("l") + "[" + le32(4) + le32(-3));
    EXPECT_TRUE(h.contains("l"));
    EXPECT_TRUE(h["l"].toList().isEmpty());
    // A count larger than the elements present fails the whole document.
    const QByteArray shortItems = le32(2) + "i" + le32(9);
    EXPECT_TRUE(TinyKVSerializer::unser(QByteArray("tinykv") + key("l") + "[" + le32(shortItems.size()) + shortItems).isEmpty());
    // A nested document of length 0, or a damaged one, is an empty hash and
    // the outer document goes on.
    h = TinyKVSerializer::unser(QByteArray("tinykv") + key("h") + "{" + le32(0) + key("after") + "i" + le32(5));
    EXPECT_TRUE(h["h"].toHash().isEmpty());
    EXPECT_EQ(h["after"].toInt(), 5);
    h = TinyKVSerializer::unser(QByteArray("tinykv") + key("h") + "{" + le32(3) + "bad" + key("after") + "i" + le32(5));
    EXPECT_TRUE(h["h"].toHash().isEmpty());
    EXPECT_EQ(h["after"].toInt(), 5);
    // The later of two pairs with one key wins.
    h = TinyKVSerializer::unser(QByteArray("tinykv") + key("k") + "i" + le32(1) + key("k") + "i" + le32(2));
    EXPECT_EQ(h["k"].toInt(), 2);
}

TEST(TinyKV, DeepNestingIsRefusedNotARecursionCrash)
{
    // Lists nested far beyond any real attachment value.
    QByteArray value = QByteArray("i") + le32(1);
    for (int i = 0; i < 5000; ++i) {
        const QByteArray body = le32(1) + value;
        value = QByteArray("[") + le32(body.size()) + body;
    }
    EXPECT_TRUE(TinyKVSerializer::unser(QByteArray("tinykv") + key("deep") + value).isEmpty());

    // Writing an equally deep value fails instead of overflowing the stack.
    QVariant v = 1;
    for (int i = 0; i < 100; ++i)
        v = QVariantList{v};
    EXPECT_TRUE(TinyKVSerializer::ser({{"deep", v}}).isEmpty());
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
