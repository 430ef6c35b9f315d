#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <thread>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/sqlite3db.h"

namespace {

class Sqlite3DBTest : public ::testing::Test
{
protected:
    void SetUp() override { db.openThrow(path(), 6); }
    QString path() const { return dir.filePath("t.db"); }
    qint64 count(const QString& table)
    {
        Sqlite3Cursor c = db.queryThrow("select count(*) from " + table);
        return c.moveNext() ? c.getInt64(0) : -1;
    }
    QTemporaryDir dir;
    Sqlite3DB db;
};

TEST_F(Sqlite3DBTest, OpeningNeitherCreatesNorAcceptsACorruptFile)
{
    Sqlite3DB other;
    EXPECT_THROW(other.openThrow(dir.filePath("missing.db"), 2), std::runtime_error);
    EXPECT_FALSE(other.isOpen() || QFile::exists(dir.filePath("missing.db")));
    ASSERT_TRUE(testenv::writeFile(dir.filePath("bad.db"), QByteArray(4096, 'x')));
    other.openThrow(dir.filePath("bad.db"), 2); // SQLite reads lazily
    EXPECT_THROW(other.queryThrow("select * from sqlite_master"), std::runtime_error);
}

TEST_F(Sqlite3DBTest, EveryValueKindRoundTripsThroughParametersAndRows)
{
    db.executeThrow("create table \"my t\"(id integer primary key, i, d, s, b, tb, n, e)");
    const QByteArray blob("a\0b\0\0c", 6), badUtf8("\xff\xfe" "abc\x80", 6);
    const QString text = QString::fromUtf8("日本 \xF0\x9F\x98\x80");
    db.executeThrow(Sqlite3Sql("insert into \"my t\"(i, d, s, b, tb, n, e) values(?,?,?,?,?,?,?)")
                        .addInt64Param(Q_INT64_C(0x7fffffffffffffff))
                        .addDoubleParam(1.5)
                        .addTextParam(text)
                        .addBlobParam(blob)
                        .addTextBytesParam(badUtf8)
                        .addNullParam()
                        .addBlobParam(QByteArray()));
    Sqlite3Cursor c = db.queryThrow("select *, typeof(tb) || typeof(b) || typeof(e) || typeof(n) as k from \"my t\"");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt64("I"), Q_INT64_C(0x7fffffffffffffff)); // names without regard to case
    EXPECT_DOUBLE_EQ(c.getDouble("d"), 1.5);
    EXPECT_EQ(c.getText("s"), text);
    EXPECT_EQ(c.getBlob("b"), blob);
    EXPECT_EQ(c.getTextBytes("tb"), badUtf8);
    EXPECT_EQ(c.getText("k"), "textblobblobnull"); // an empty blob stays a blob
    EXPECT_TRUE(c.isNull("n") && c.getInt("n") == 0 && c.getText("n").isEmpty());
    EXPECT_THROW(c.getInt("nosuch"), std::runtime_error);

    // A row read back goes in again through its own insert, every kind kept.
    Sqlite3Row row = c.getRow();
    row["tb"] = QVariant::fromValue(Sqlite3Row::_TypeTextBytes{badUtf8});
    EXPECT_FALSE(c.moveNext());
    db.executeThrow(row.insertSql("my t", {"id", "k"}));
    EXPECT_EQ(db.lastInsertId(), 2);
    Sqlite3Cursor again = db.queryThrow("select count(*) from (select distinct i, d, s, b, tb, typeof(tb), n from \"my t\")");
    ASSERT_TRUE(again.moveNext());
    EXPECT_EQ(again.getInt(0), 1);
}

TEST_F(Sqlite3DBTest, CursorCopiesShareThePositionAndOutliveTheConnection)
{
    db.executeThrow("create table t(a)");
    db.executeThrow("insert into t values(0), (1), (2)");
    Sqlite3Cursor c = db.queryThrow("select a from t order by a");
    Sqlite3Cursor kept = c;
    ASSERT_TRUE(c.moveNext() && kept.moveNext());
    EXPECT_EQ(c.getInt("a"), 1);
    c = Sqlite3Cursor();
    db.close();
    ASSERT_TRUE(kept.moveNext());
    EXPECT_EQ(kept.getInt(0), 2);
    EXPECT_FALSE(kept.moveNext());
}

TEST_F(Sqlite3DBTest, ErrorsThrowWithoutSideEffects)
{
    db.executeThrow("create table t(a)");
    EXPECT_THROW(db.executeThrow(Sqlite3Sql("insert into t values(?)")), std::runtime_error);
    EXPECT_THROW(db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(1).addIntParam(2)), std::runtime_error);
    EXPECT_THROW(db.queryThrow("selec nothing"), std::runtime_error);
    // Two statements in one execute would silently drop the second.
    EXPECT_THROW(db.executeThrow("insert into t values(1); insert into t values(2)"), std::runtime_error);
    EXPECT_EQ(count("t"), 0);
    QString error;
    EXPECT_NE(db.exec("insert into nosuch values(1)", error), 0);
    EXPECT_TRUE(error.contains("nosuch"));
    // A name built to break out of the pragma is just an unknown table.
    db.executeThrow("create table \"we\"\"ird\"(\"a b\" text)");
    EXPECT_EQ(db.tbCols("we\"ird").value(0).name, "a b");
    EXPECT_TRUE(db.tbCols("t); drop table \"we\"\"ird\"; --").isEmpty());
    EXPECT_EQ(db.tbCols("we\"ird").size(), 1);
}

TEST_F(Sqlite3DBTest, BusyCommitThrowsAndLeavesNoTransactionOpen)
{
    db.executeThrow("create table t(a)");
    sqlite3_busy_timeout(db.rawHandle(), 0);
    Sqlite3DB reader;
    reader.openThrow(path(), 2);
    // An open read statement holds a SHARED lock that blocks the commit.
    reader.executeThrow("begin");
    Sqlite3Cursor hold = reader.queryThrow("select * from t");
    hold.moveNext();
    db.beginTran();
    db.executeThrow("insert into t values(1)");
    EXPECT_THROW(db.commitTran(), std::runtime_error);
    EXPECT_FALSE(db.inTransaction());
    hold = Sqlite3Cursor();
    reader.executeThrow("commit");
    EXPECT_EQ(count("t"), 0);
    db.beginTran();
    db.executeThrow("insert into t values(2)");
    db.commitTran();
    EXPECT_EQ(count("t"), 1);
}

TEST_F(Sqlite3DBTest, InterruptMakesAStepFailInsteadOfEndingQuietly)
{
    Sqlite3Cursor c = db.queryThrow("with recursive n(x) as (select 1 union all select x+1 from n) select count(*) from n");
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        db.interrupt();
    });
    EXPECT_THROW(c.moveNext(), std::runtime_error);
    t.join();
}

} // namespace
