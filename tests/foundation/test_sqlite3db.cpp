#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <thread>

#include "tests/support/gtest_qt.h"

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

TEST(Sqlite3DB, OpensWithoutCreatingAndRefusesACorruptFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("t.db");
    Sqlite3DB db;
    EXPECT_THROW(db.openThrow(path, 2), std::runtime_error);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(sqlite_qt_version(), 8);

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    db.openThrow(path, 2); // sqlite opens lazily
    EXPECT_THROW(db.queryThrow("select * from sqlite_master"), std::runtime_error);
}

TEST_F(Sqlite3DBTest, EveryParameterKindRoundTripsIncludingNullsAndZeroBytes)
{
    db.executeThrow("create table t(i integer, j integer, d real, s text, b blob, tb text, n, e blob)");
    const QByteArray blob("a\0b\0\0c", 6);
    const QByteArray badUtf8("\xff\xfe" "abc\x80", 6);
    const QString text = QString::fromUtf8("日本 \xF0\x9F\x98\x80");
    db.executeThrow(Sqlite3Sql("insert into t values(?,?,?,?,?,?,?,?)")
                        .addIntParam(-7)
                        .addInt64Param(Q_INT64_C(0x7fffffffffffffff))
                        .addDoubleParam(1.5)
                        .addTextParam(text)
                        .addBlobParam(blob)
                        .addTextBytesParam(badUtf8)
                        .addNullParam()
                        .addBlobParam(QByteArray()));
    EXPECT_EQ(db.lastInsertId(), 1);

    Sqlite3Cursor c = db.queryThrow("select *, typeof(tb) as ttb, typeof(b) as tbb, typeof(e) as te from t");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt("i"), -7);
    EXPECT_EQ(c.getInt64("j"), Q_INT64_C(0x7fffffffffffffff));
    EXPECT_DOUBLE_EQ(c.getDouble("d"), 1.5);
    EXPECT_EQ(c.getText("s"), text);
    EXPECT_EQ(c.getBlob("b"), blob);
    EXPECT_EQ(c.getTextBytes("tb"), badUtf8);
    // Types as stored: an empty blob stays a blob, not NULL.
    EXPECT_EQ(QStringList({c.getText("ttb"), c.getText("tbb"), c.getText("te")}), QStringList({"text", "blob", "blob"}));
    // NULL reads as zero or empty whatever the getter.
    EXPECT_TRUE(c.isNull("n"));
    EXPECT_EQ(c.getInt("n") + c.getInt64("n") + c.getDouble("n"), 0);
    EXPECT_TRUE(c.getText("n").isEmpty() && c.getBlob("n").isEmpty());
    // Column names resolve without regard to case; unknown ones throw.
    EXPECT_EQ(c.getInt("I"), -7);
    EXPECT_THROW(c.getInt("nosuch"), std::runtime_error);
    EXPECT_FALSE(c.moveNext());
    EXPECT_FALSE(c.moveNext());
}

TEST_F(Sqlite3DBTest, CursorCopiesShareThePositionAndOutliveTheConnection)
{
    db.executeThrow("create table t(a)");
    db.executeThrow("insert into t values(0), (1), (2)");
    Sqlite3Cursor c = db.queryThrow("select a from t order by a");
    Sqlite3Cursor kept = c;
    ASSERT_TRUE(c.moveNext());
    ASSERT_TRUE(kept.moveNext());
    EXPECT_EQ(c.getInt("a"), 1);
    c = Sqlite3Cursor();
    db.close();
    // The connection is gone; the statement still finishes cleanly.
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
    EXPECT_EQ(db.exec("insert into t values(1); insert into t values(2)", error), 0);
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(count("t"), 2);

    db.beginTran();
    EXPECT_THROW(db.beginTran(), std::runtime_error);
}

TEST_F(Sqlite3DBTest, BusyCommitThrowsAndLeavesNoTransactionOpen)
{
    db.executeThrow("create table t(a)");
    sqlite3_busy_timeout(db.rawHandle(), 0);
    Sqlite3DB reader;
    reader.openThrow(path(), 2);
    sqlite3_busy_timeout(reader.rawHandle(), 0);
    // An open read statement holds a SHARED lock that blocks the commit.
    reader.executeThrow("begin");
    Sqlite3Cursor hold = reader.queryThrow("select * from t");
    hold.moveNext();

    db.beginTran();
    db.executeThrow("insert into t values(1)");
    EXPECT_TRUE(db.inTransaction());
    EXPECT_THROW(db.commitTran(), std::runtime_error);
    EXPECT_FALSE(db.inTransaction());

    hold = Sqlite3Cursor();
    reader.executeThrow("commit");
    // Nothing was written, and the connection commits normally again.
    EXPECT_EQ(count("t"), 0);
    db.beginTran();
    db.executeThrow("insert into t values(2)");
    db.commitTran();
    EXPECT_EQ(count("t"), 1);
}

TEST_F(Sqlite3DBTest, TableNamesWithQuotesAndSpacesAreQuoted)
{
    db.executeThrow("create table \"we\"\"ird name\"(\"a b\" text, c)");
    const auto cols = db.tbCols("we\"ird name");
    ASSERT_EQ(cols.size(), 2);
    EXPECT_EQ(cols[0].name, "a b");
    EXPECT_EQ(cols[0].type.toLower(), "text");
    EXPECT_EQ(cols[1].name, "c");
    // A name built to break out of the pragma is just an unknown table.
    EXPECT_TRUE(db.tbCols("t); drop table \"we\"\"ird name\"; --").isEmpty());
    EXPECT_EQ(db.tbCols("we\"ird name").size(), 2);
}

TEST_F(Sqlite3DBTest, RowBuildsAnInsertThatBindsEveryKind)
{
    db.executeThrow("create table \"my t\"(id integer primary key, a, b, c, d, e)");
    Sqlite3Row row;
    row["a"] = 5;
    row["b"] = QString::fromUtf8("héllo");
    row["c"] = QByteArray("\0\1", 2);
    row["d"] = QVariant::fromValue(Sqlite3Row::_TypeTextBytes{QByteArray("\xc3(", 2)});
    row["e"] = QVariant();
    row["id"] = 99;
    db.executeThrow(row.insertSql("my t", {"id"})); // id left out
    EXPECT_EQ(db.lastInsertId(), 1);
    Sqlite3Cursor c = db.queryThrow("select *, typeof(a) || typeof(b) || typeof(c) || typeof(d) || typeof(e) k from \"my t\"");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getText("k"), "integertextblobtextnull");
    EXPECT_EQ(c.getTextBytes("d"), QByteArray("\xc3(", 2));

    Sqlite3Row back = c.getRow();
    EXPECT_EQ(back.value("a").toLongLong(), 5);
    EXPECT_EQ(back.value("b").toString(), QString::fromUtf8("héllo"));
    EXPECT_EQ(back.value("c").toByteArray(), QByteArray("\0\1", 2));
    EXPECT_TRUE(back.value("e").isNull());
    // The row read back goes in again through its own insert.
    db.executeThrow(back.insertSql("my t", {"id", "k"}));
    EXPECT_EQ(db.lastInsertId(), 2);
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
