#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include <sqlite3.h>

#include <thread>

#include "foundation/sqlite3db.h"

namespace {

class Sqlite3DBTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("t.db"); }
};

TEST_F(Sqlite3DBTest, OpenExistingWithoutCreateFlagFailsAndCreateFlagMakesTheFile)
{
    Sqlite3DB db;
    EXPECT_THROW(db.openThrow(path(), 2), std::runtime_error);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(path()));
    db.openThrow(path(), 6);
    EXPECT_TRUE(db.isOpen());
    db.executeThrow("create table t(a)");
    db.close();
    EXPECT_TRUE(QFile::exists(path()));
    db.openThrow(path(), 2);
    EXPECT_EQ(db.tbCols("t").size(), 1);
    EXPECT_EQ(sqlite_qt_version(), 8);
}

TEST_F(Sqlite3DBTest, EveryParameterKindRoundTripsIncludingNullsAndZeroBytes)
{
    Sqlite3DB db;
    db.openThrow(path(), 6);
    db.executeThrow("create table t(i integer, j integer, d real, s text, b blob, tb text, n)");
    const QByteArray blob("a\0b\0\0c", 6);
    const QByteArray badUtf8("\xff\xfe" "abc\x80", 6);
    Sqlite3Sql ins("insert into t values(?,?,?,?,?,?,?)");
    ins.addIntParam(-7)
        .addInt64Param(Q_INT64_C(0x7fffffffffffffff))
        .addDoubleParam(1.5)
        .addTextParam(QString::fromUtf8("日本 \xF0\x9F\x98\x80"))
        .addBlobParam(blob)
        .addTextBytesParam(badUtf8)
        .addNullParam();
    db.executeThrow(ins);
    EXPECT_EQ(db.lastInsertId(), 1);

    Sqlite3Cursor c = db.queryThrow("select i, j, d, s, b, tb, n, typeof(tb) as ttb, typeof(b) as tbb from t");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt("i"), -7);
    EXPECT_EQ(c.getInt64("j"), Q_INT64_C(0x7fffffffffffffff));
    EXPECT_DOUBLE_EQ(c.getDouble("d"), 1.5);
    EXPECT_EQ(c.getText("s"), QString::fromUtf8("日本 \xF0\x9F\x98\x80"));
    EXPECT_EQ(c.getBlob("b"), blob);
    EXPECT_EQ(c.getTextBytes("tb"), badUtf8);
    EXPECT_EQ(c.getText("ttb"), "text");
    EXPECT_EQ(c.getText("tbb"), "blob");
    // NULL reads as zero or empty whatever the getter.
    EXPECT_TRUE(c.isNull("n"));
    EXPECT_EQ(c.getInt("n"), 0);
    EXPECT_EQ(c.getInt64("n"), 0);
    EXPECT_EQ(c.getDouble("n"), 0.0);
    EXPECT_TRUE(c.getText("n").isEmpty());
    EXPECT_TRUE(c.getBlob("n").isEmpty());
    // Column names resolve without regard to case; unknown ones throw.
    EXPECT_EQ(c.getInt("I"), -7);
    EXPECT_THROW(c.getInt("nosuch"), std::runtime_error);
    EXPECT_FALSE(c.moveNext());
    EXPECT_FALSE(c.moveNext());
}

TEST_F(Sqlite3DBTest, EmptyBlobStaysABlobNotNull)
{
    Sqlite3DB db;
    db.openThrow(path(), 6);
    db.executeThrow("create table t(b blob)");
    db.executeThrow(Sqlite3Sql("insert into t values(?)").addBlobParam(QByteArray()));
    Sqlite3Cursor c = db.queryThrow("select typeof(b) as k from t");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getText("k"), "blob");
}

TEST_F(Sqlite3DBTest, CursorCopiesShareThePositionAndOutliveTheConnection)
{
    Sqlite3Cursor kept;
    {
        Sqlite3DB db;
        db.openThrow(path(), 6);
        db.executeThrow("create table t(a)");
        for (int i = 0; i < 3; ++i)
            db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(i));
        Sqlite3Cursor c = db.queryThrow("select a from t order by a");
        Sqlite3Cursor copy = c;
        ASSERT_TRUE(c.moveNext());
        ASSERT_TRUE(copy.moveNext());
        EXPECT_EQ(c.getInt("a"), 1);
        kept = copy;
    }
    // The database object is gone; the statement still finishes cleanly.
    ASSERT_TRUE(kept.moveNext());
    EXPECT_EQ(kept.getInt(0), 2);
    EXPECT_FALSE(kept.moveNext());
}

TEST_F(Sqlite3DBTest, WrongParameterCountAndSyntaxErrorsThrowWithoutSideEffects)
{
    Sqlite3DB db;
    db.openThrow(path(), 6);
    db.executeThrow("create table t(a)");
    EXPECT_THROW(db.executeThrow(Sqlite3Sql("insert into t values(?)")), std::runtime_error);
    EXPECT_THROW(db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(1).addIntParam(2)),
                 std::runtime_error);
    EXPECT_THROW(db.queryThrow("selec nothing"), std::runtime_error);
    // Two statements in one execute would silently drop the second.
    EXPECT_THROW(db.executeThrow("insert into t values(1); insert into t values(2)"), std::runtime_error);
    Sqlite3Cursor c = db.queryThrow("select count(*) from t");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt64(0), 0);
    QString error;
    EXPECT_NE(db.exec("insert into nosuch values(1)", error), 0);
    EXPECT_TRUE(error.contains("nosuch"));
    EXPECT_EQ(db.exec("insert into t values(1); insert into t values(2)", error), 0);
    EXPECT_TRUE(error.isEmpty());
}

TEST_F(Sqlite3DBTest, BusyCommitThrowsAndLeavesNoTransactionOpen)
{
    Sqlite3DB writer;
    writer.openThrow(path(), 6);
    writer.executeThrow("create table t(a)");
    sqlite3_busy_timeout(writer.rawHandle(), 0);

    Sqlite3DB reader;
    reader.openThrow(path(), 2);
    sqlite3_busy_timeout(reader.rawHandle(), 0);
    // An open read statement holds a SHARED lock that blocks the commit.
    reader.executeThrow("begin");
    Sqlite3Cursor hold = reader.queryThrow("select * from t");
    hold.moveNext();

    writer.beginTran();
    writer.executeThrow("insert into t values(1)");
    EXPECT_TRUE(writer.inTransaction());
    EXPECT_THROW(writer.commitTran(), std::runtime_error);
    EXPECT_FALSE(writer.inTransaction());

    hold = Sqlite3Cursor();
    reader.executeThrow("commit");
    Sqlite3Cursor c = reader.queryThrow("select count(*) from t");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt64(0), 0);
    c = Sqlite3Cursor();
    // The writer is usable again and commits normally.
    writer.beginTran();
    writer.executeThrow("insert into t values(2)");
    writer.commitTran();
    Sqlite3Cursor d = writer.queryThrow("select count(*) from t");
    ASSERT_TRUE(d.moveNext());
    EXPECT_EQ(d.getInt64(0), 1);
}

TEST_F(Sqlite3DBTest, BeginInsideATransactionThrows)
{
    Sqlite3DB db;
    db.openThrow(path(), 6);
    db.beginTran();
    EXPECT_THROW(db.beginTran(), std::runtime_error);
}

TEST_F(Sqlite3DBTest, TableNamesWithQuotesAndSpacesAreQuoted)
{
    Sqlite3DB db;
    db.openThrow(path(), 6);
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
    Sqlite3DB db;
    db.openThrow(path(), 6);
    db.executeThrow("create table \"my t\"(id integer primary key, a, b, c, d, e)");
    Sqlite3Row row;
    row["a"] = 5;
    row["b"] = QString::fromUtf8("héllo");
    row["c"] = QByteArray("\0\1", 2);
    row["d"] = QVariant::fromValue(Sqlite3Row::_TypeTextBytes{QByteArray("\xc3(", 2)});
    row["e"] = QVariant();
    row["id"] = 99;
    db.executeThrow(row.insertSql("my t", {"id"}));
    EXPECT_EQ(db.lastInsertId(), 1);
    Sqlite3Cursor c = db.queryThrow(
        "select id, a, b, c, d, e, typeof(a) ta, typeof(c) tc, typeof(d) td, typeof(e) te from \"my t\"");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt("a"), 5);
    EXPECT_EQ(c.getText("b"), QString::fromUtf8("héllo"));
    EXPECT_EQ(c.getBlob("c"), QByteArray("\0\1", 2));
    EXPECT_EQ(c.getTextBytes("d"), QByteArray("\xc3(", 2));
    EXPECT_EQ(c.getText("ta"), "integer");
    EXPECT_EQ(c.getText("tc"), "blob");
    EXPECT_EQ(c.getText("td"), "text");
    EXPECT_EQ(c.getText("te"), "null");

    Sqlite3Cursor plain = db.queryThrow("select * from \"my t\"");
    ASSERT_TRUE(plain.moveNext());
    Sqlite3Row back = plain.getRow();
    EXPECT_EQ(back.value("a").toLongLong(), 5);
    EXPECT_EQ(back.value("b").toString(), QString::fromUtf8("héllo"));
    EXPECT_EQ(back.value("c").toByteArray(), QByteArray("\0\1", 2));
    EXPECT_TRUE(back.value("e").isNull());

    // The same row written again through its own insert gives an equal row.
    back["id"] = QVariant();
    db.executeThrow(back.insertSql("my t"));
    EXPECT_EQ(db.lastInsertId(), 2);
}

TEST_F(Sqlite3DBTest, InterruptMakesAStepFailInsteadOfEndingQuietly)
{
    Sqlite3DB db;
    db.openThrow(path(), 6);
    Sqlite3Cursor c = db.queryThrow(
        "with recursive n(x) as (select 1 union all select x+1 from n) select count(*) from n");
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        db.interrupt();
    });
    EXPECT_THROW(c.moveNext(), std::runtime_error);
    t.join();
}

TEST_F(Sqlite3DBTest, ACorruptFileIsAnErrorNotAnEmptyDatabase)
{
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    Sqlite3DB db;
    db.openThrow(path(), 2); // sqlite opens lazily
    EXPECT_THROW(db.queryThrow("select * from sqlite_master"), std::runtime_error);
}

} // namespace
