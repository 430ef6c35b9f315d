#include <QTimeZone>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/memlinedb.h"

#include "chatdata/linedata.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"
#include "chatdata/linetime.h"

namespace {

_LineMsg msgOf(_LineChat* chat, const QString& uid)
{
    _LineMsg m;
    m.chat = chat;
    m.uid = uid;
    return m;
}

QDateTime utc(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc());
}

// Chats 1 and 2 with n1 and n2 messages "<chat>-<i>", loaded into `data`.
QSharedPointer<MemLineDb> twoChatDb(int n1, int n2, LineData& data, int pageSize)
{
    auto db = QSharedPointer<MemLineDb>::create();
    const int counts[] = {n1, n2};
    for (int c = 0; c < 2; ++c) {
        _LineChat chat;
        chat.id = c + 1;
        db->addChat(chat, 0, {});
        for (int i = 0; i < counts[c]; ++i) {
            _LineMsg m = msgOf(nullptr, QStringLiteral("%1-%2").arg(c + 1).arg(i));
            m.ts = utc(1600000000 + i);
            db->addMessage(m, c + 1, 0);
        }
    }
    data = LineData(db, pageSize);
    db->loadDataThrow(data);
    return db;
}

} // namespace

TEST(LineMsgsListSource, SplitsByChatKeepingTheListOrder)
{
    _LineChat a, b;
    LineMsgsListSource list;
    for (const auto& m : {msgOf(&a, "1"), msgOf(&b, "2"), msgOf(nullptr, "orphan"), msgOf(&a, "3")})
        list.append(m);

    const QHash<_LineChat*, PAbsLineMsgsSource> split = list.chatMsgs();
    ASSERT_EQ(split.size(), 2);
    ASSERT_TRUE(split.contains(&a));
    ASSERT_EQ(split.value(&a)->size(), 2);
    EXPECT_EQ(split.value(&a)->msg(0).uid, "1");
    EXPECT_EQ(split.value(&a)->msg(1).uid, "3");
    EXPECT_EQ(split.value(&b)->msg(0).uid, "2");

    // Outside the list: empty for views, an error for workers.
    EXPECT_EQ(list.msg(4).uid, "");
    EXPECT_EQ(list.msg(-1).uid, "");
    EXPECT_EQ(list.msgThrow(2).uid, "orphan");
    EXPECT_THROW(list.msgThrow(4), std::runtime_error);
    EXPECT_TRUE(LineMsgsListSource().chatMsgs().isEmpty());
}

TEST(LineMsgsDataSource, ReadsThroughThePageCacheAndSplitsIntoChatsOfTheData)
{
    LineData data;
    auto db = twoChatDb(3, 2, data, 5000);
    const LineMsgsDataSource all(data, nullptr, true);
    EXPECT_EQ(all.size(), 5);
    EXPECT_EQ(all.msg(all.size()).id, 0);

    const int queriesBeforeSplit = db->pageQueries().size();
    const QHash<_LineChat*, PAbsLineMsgsSource> split = all.chatMsgs();
    EXPECT_EQ(db->pageQueries().size(), queriesBeforeSplit); // splitting reads nothing
    ASSERT_EQ(split.size(), 2);
    ASSERT_TRUE(split.value(data.chat(1)));
    EXPECT_EQ(split.value(data.chat(1))->size(), 3);
    EXPECT_EQ(split.value(data.chat(1))->msg(2).uid, "1-2");

    const LineMsgsDataSource newestFirst(data, data.chat(2), false);
    EXPECT_EQ(newestFirst.msg(0).uid, "2-1");
    EXPECT_EQ(newestFirst.chatMsgs().value(data.chat(2))->msg(0).uid, "2-1");
    EXPECT_TRUE(LineMsgsDataSource(LineData(), nullptr, true).chatMsgs().isEmpty());
}

// A worker reading a source whose database breaks half-way must learn of
// it instead of getting empty messages that it would store as real ones.
TEST(LineMsgsDataSource, AWorkerLearnsThatReadingFailedHalfWay)
{
    LineData data;
    auto db = twoChatDb(12, 0, data, 5);
    const PAbsLineMsgsSource source(new LineMsgsDataSource(data, data.chat(1), true));
    db->setFailFromPage(2);

    qint64 read = 0;
    try {
        for (qint64 i = 0, n = source->sizeThrow(); i < n; ++i, ++read)
            source->msgThrow(i);
        ADD_FAILURE() << "reading should fail";
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(read, 5);
    EXPECT_EQ(source->msg(7).id, 0); // what a view sees

    db->setFailCount(true);
    EXPECT_EQ(source->size(), 0);
    EXPECT_THROW(source->sizeThrow(), std::runtime_error);
}

TEST(LineTime, ConversionsWithTheirExamplesAndTheUnsigned32BitEdges)
{
    const QDateTime origin = utc(978307200);
    EXPECT_EQ(dtFromTimestamp(0.9), origin);
    EXPECT_EQ(dtFromTimestamp(-0.9), origin);
    EXPECT_EQ(dtFromTimestamp(1.0), origin.addSecs(1));
    EXPECT_EQ(dtFromTimestamp(0.0).timeSpec(), Qt::LocalTime);
    EXPECT_EQ(unixepochMsecFromDt21(1.2345), Q_INT64_C(978307201234));
    EXPECT_EQ(dt21FromUnixepochMsec(Q_INT64_C(978307201500)), 1.5);
    EXPECT_EQ(dt21FromUnixepochSecs(0), -978307200.0);

    // The last second unsigned 32-bit Unix time holds, and one past it,
    // which wraps to 1970.
    EXPECT_EQ(dtFromTimestamp(4294967295.0 - 978307200.0), utc(Q_INT64_C(4294967295)));
    EXPECT_EQ(dtFromTimestamp(4294967296.0 - 978307200.0), utc(0));
    EXPECT_EQ(dtFromTimestamp(-978307201.0), utc(Q_INT64_C(4294967295)));
    EXPECT_FALSE(dtFromTimestamp(std::nan("")).isValid());
    EXPECT_FALSE(dtFromTimestamp(1e300).isValid());
    // A time after 2038 stored as a negative int still lands on its moment.
    EXPECT_EQ(dt21FromUnixepochSecs(int(quint32(3000000000u))), 3000000000.0 - 978307200.0);
    EXPECT_EQ(dt21FromUnixepochSecs(std::numeric_limits<int>::min()), 2147483648.0 - 978307200.0);
    EXPECT_EQ(unixepochMsecFromDt21(1e300), std::numeric_limits<qint64>::max());
    EXPECT_EQ(unixepochMsecFromDt21(-1e300), std::numeric_limits<qint64>::min());
    EXPECT_EQ(unixepochMsecFromDt21(std::nan("")), 0);

    const QList<QPair<QDateTime, quint32>> secs32 = {{utc(0), 0u},
                                                     {utc(Q_INT64_C(4294967295)), 4294967295u},
                                                     {utc(Q_INT64_C(4294967296)), 4294967295u},
                                                     {utc(-1), 4294967295u},
                                                     {QDateTime(), 4294967295u}};
    for (const auto& s : secs32)
        EXPECT_EQ(dtToUnixSecs32(s.first), s.second) << s.first.toString(Qt::ISODate).toStdString();
}

TEST(LineTime, MessagesBySecondsThenIdWithInvalidTimesLastAndNewerChatsFirst)
{
    _LineMsg early, late, invalid, sameSecond;
    early.id = 9;
    early.ts = utc(1000).addMSecs(900);
    sameSecond.id = 10;
    sameSecond.ts = utc(1000).addMSecs(100); // earlier milliseconds, larger id
    late.id = 1;
    late.ts = utc(Q_INT64_C(4294967294));
    EXPECT_FALSE(compareLineMsgAsc(&early, &early));
    EXPECT_FALSE(compareLineMsgDesc(&early, &early));

    std::vector<const _LineMsg*> v = {&invalid, &late, &sameSecond, &early};
    std::sort(v.begin(), v.end(), compareLineMsgAsc);
    EXPECT_EQ(v, (std::vector<const _LineMsg*>{&early, &sameSecond, &late, &invalid}));
    std::sort(v.begin(), v.end(), compareLineMsgDesc);
    EXPECT_EQ(v, (std::vector<const _LineMsg*>{&invalid, &late, &sameSecond, &early}));

    _LineChat today, yesterday;
    today.lastTs = QDateTime::currentDateTime();
    yesterday.lastTs = today.lastTs.addDays(-1);
    EXPECT_TRUE(compareLineChatAsc(&today, &yesterday));
    EXPECT_FALSE(compareLineChatAsc(&yesterday, &today));
    EXPECT_FALSE(compareLineChatAsc(&today, &today));
}
