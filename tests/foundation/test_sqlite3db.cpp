#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <sqlite3.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/dbschema.h"
#include "foundation/sqlite3db.h"

namespace {

class Sqlite3DBTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db.openThrow(path(), 6);
        db.executeThrow("create table t(a integer primary key, b)");
    }
    QString path() const { return dir.filePath("t.db"); }
    QString scalar(const QString& sql)
    {
        Sqlite3Cursor c = db.queryThrow(sql);
        return c.moveNext() ? c.getText(0) : "-";
    }
    // Statements the connection holds compiled, in use or kept.
    int compiled()
    {
        int n = 0;
        for (sqlite3_stmt* s = sqlite3_next_stmt(db.rawHandle(), nullptr); s; s = sqlite3_next_stmt(db.rawHandle(), s))
            ++n;
        return n;
    }
    QTemporaryDir dir;
    Sqlite3DB db;
};

TEST_F(Sqlite3DBTest, EveryValueKindRoundTripsThroughParametersAndRows)
{
    db.executeThrow("create table \"my t\"(id integer primary key, i, d, s, b, tb, n, e)");
    const QByteArray blob("a\0b\0\0c", 6);
    const QByteArray badUtf8("\xff\xfe" "abc\x80", 6);
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
    EXPECT_THROW(c.getInt("nosuch"), std::runtime_error);

    // A row read back goes in again through its own insert, every kind kept.
    Sqlite3Row row = c.getRow();
    row["tb"] = QVariant::fromValue(Sqlite3Row::_TypeTextBytes{badUtf8});
    EXPECT_FALSE(c.moveNext());
    db.executeThrow(row.insertSql("my t", {"id", "k"}));
    EXPECT_EQ(db.lastInsertId(), 2);
    EXPECT_EQ(scalar("select count(*) from (select distinct i, d, s, b, tb, typeof(tb), n from \"my t\")"), "1");

    // Cursor copies share the position and outlive the connection.
    Sqlite3Cursor first = db.queryThrow("select id from \"my t\" order by id");
    Sqlite3Cursor kept = first;
    ASSERT_TRUE(first.moveNext());
    ASSERT_TRUE(kept.moveNext());
    first = Sqlite3Cursor();
    db.close();
    EXPECT_EQ(kept.getInt(0), 2);
    EXPECT_FALSE(kept.moveNext());
}

TEST_F(Sqlite3DBTest, ErrorsThrowWithoutSideEffects)
{
    Sqlite3DB other;
    EXPECT_THROW(other.openThrow(dir.filePath("missing.db"), 2), std::runtime_error);
    EXPECT_FALSE(QFile::exists(dir.filePath("missing.db")));
    const Sqlite3Sql insert("insert into t(b) values(?)");
    EXPECT_THROW(db.executeThrow(insert), std::runtime_error);
    EXPECT_THROW(db.executeThrow(Sqlite3Sql(insert).addIntParam(1).addIntParam(2)), std::runtime_error);
    EXPECT_THROW(db.queryThrow("selec nothing"), std::runtime_error);
    // Two statements in one execute would silently drop the second.
    EXPECT_THROW(db.executeThrow("insert into t(b) values(1); insert into t(b) values(2)"), std::runtime_error);
    EXPECT_EQ(scalar("select count(*) from t"), "0");
    // A step that fails is no end of the rows.
    EXPECT_THROW(db.queryThrow("select abs(-9223372036854775807 - 1)").moveNext(), std::runtime_error);
    // A name built to break out of the pragma is just an unknown table.
    db.executeThrow("create table \"we\"\"ird\"(\"a b\" text)");
    EXPECT_TRUE(db.tbCols("t); drop table \"we\"\"ird\"; --").isEmpty());
    EXPECT_EQ(db.tbCols("we\"ird").value(0).name, "a b");
}

TEST_F(Sqlite3DBTest, BusyCommitThrowsAndLeavesNoTransactionOpen)
{
    sqlite3_busy_timeout(db.rawHandle(), 0);
    Sqlite3DB reader;
    reader.openThrow(path(), 2);
    // An open read statement holds a SHARED lock that blocks the commit.
    reader.executeThrow("begin");
    Sqlite3Cursor hold = reader.queryThrow("select * from t");
    hold.moveNext();
    db.beginTran();
    db.executeThrow("insert into t(b) values(1)");
    EXPECT_THROW(db.commitTran(), std::runtime_error);
    EXPECT_FALSE(db.inTransaction());
    hold = Sqlite3Cursor();
    reader.executeThrow("commit");
    db.beginTran();
    db.executeThrow("insert into t(b) values(2)");
    db.commitTran();
    EXPECT_EQ(scalar("select group_concat(b) from t"), "2");
}

TEST_F(Sqlite3DBTest, RepeatedTextsAreCompiledOnceNestedOnesStayApartFailuresLeaveNoTrace)
{
    for (int i = 0; i < 100; ++i)
        db.executeThrow(Sqlite3Sql("insert into t(b) values(?)").addIntParam(i));
    // The key is taken: the kept statement fails, then serves again.
    const QString insert = "insert into t(a, b) values(?, ?)";
    EXPECT_THROW(db.executeThrow(Sqlite3Sql(insert).addIntParam(1).addIntParam(0)), std::runtime_error);
    db.executeThrow(Sqlite3Sql(insert).addIntParam(101).addIntParam(100));
    const int before = compiled();
    Sqlite3Cursor outer = db.queryThrow("select b from t order by a");
    Sqlite3Cursor inner = db.queryThrow("select b from t order by a");
    ASSERT_TRUE(outer.moveNext());
    ASSERT_TRUE(outer.moveNext());
    ASSERT_TRUE(inner.moveNext());
    EXPECT_EQ(outer.getInt(0), 1);
    EXPECT_EQ(inner.getInt(0), 0);
    EXPECT_EQ(compiled(), before + 2);
    // However many texts pass through, few statements stay.
    for (int i = 0; i < 200; ++i)
        db.queryThrow(QStringLiteral("select %1").arg(i)).moveNext();
    EXPECT_LE(compiled(), before + 2 + 32);

    // Kept statements follow schema changes, even for names asked before the first step.
    outer = Sqlite3Cursor();
    inner = Sqlite3Cursor();
    EXPECT_EQ(db.queryThrow("select * from t").columnCount(), 2);
    db.executeThrow("drop table t");
    db.executeThrow("create table t(b, z)");
    db.executeThrow("insert into t values('first', 'second')");
    Sqlite3Cursor remade = db.queryThrow("select * from t");
    const int z = remade.columnIndex("z");
    ASSERT_TRUE(remade.moveNext());
    EXPECT_EQ(remade.getText(z), "second");
    EXPECT_EQ(remade.getText("b"), "first");
}

// What a writer remembers of its rows holds only while nothing but the
// writer changed the database.
TEST_F(Sqlite3DBTest, ARowMemoIsForgottenAfterAChangeMadeOutsideItsGuards)
{
    struct Memo : Sqlite3RowMemo
    {
        int forgotten = 0;
        void forget() override { ++forgotten; }
    } memo;
    const auto forgetsInAGuardedWrite = [&] {
        const int before = memo.forgotten;
        Sqlite3RowMemo::Guard guard(db, memo);
        db.executeThrow("insert into t(b) values(0)");
        return memo.forgotten - before;
    };
    forgetsInAGuardedWrite();
    EXPECT_EQ(forgetsInAGuardedWrite(), 0);
    db.executeThrow("insert into t(b) values(1)");
    EXPECT_EQ(forgetsInAGuardedWrite(), 1);
    // Another connection's commit counts even before this one reads again.
    Sqlite3DB other;
    other.openThrow(path(), 2);
    other.executeThrow("insert into t(b) values(2)");
    EXPECT_EQ(forgetsInAGuardedWrite(), 1);
    EXPECT_EQ(forgetsInAGuardedWrite(), 0);
}

// Stores name their tables and columns in any case; the program asks in its own.
TEST_F(Sqlite3DBTest, SchemaLookupsIgnoreCaseAndAddColumnRunsOnlyWhenTheColumnIsMissing)
{
    db.executeThrow("create table ZMessage(id integer primary key, ZVer integer)");
    db.executeThrow("create index Idx_Ver on ZMessage(ZVer)");
    db.executeThrow("create view v as select 1");
    DbSchema schema;
    schema.loadDbThrow(db);
    EXPECT_TRUE(schema.containsCol("zmessage", "zver"));
    EXPECT_FALSE(schema.containsCol("zmessage", "x"));
    EXPECT_FALSE(schema.containsTable("v"));
    EXPECT_EQ(schema.table("ZMESSAGE").col("zver").name, "ZVer");
    EXPECT_EQ(schema.indexSql("idx_ver"), "CREATE INDEX Idx_Ver on ZMessage(ZVer)");

    schema.addColumnThrow(db, "ZMESSAGE", "ZVER", "integer"); // present: nothing runs
    schema.addColumnThrow(db, "ZMessage", "ZNew", "text");
    EXPECT_THROW(schema.addColumnThrow(db, "nosuch", "c", "text"), std::runtime_error);
    schema.loadDbThrow(db);
    EXPECT_TRUE(schema.containsCol("zmessage", "znew"));
}


// An error text is about the last call only: a later success leaves it empty.
TEST_F(Sqlite3DBTest, ExecReportsEachCallsOwnError)
{
    const struct { const char* sql; bool fails; const char* mentions; } calls[] = {
        {"insert into nosuch values(1)", true, "nosuch"},
        {"insert into t(b) values(1)", false, ""},
        {"selec 1", true, "syntax"},
        {"select 1", false, ""},
    };
    QString error = "stale";
    for (const auto& c : calls) {
        EXPECT_EQ(db.exec(c.sql, error) != SQLITE_OK, c.fails) << c.sql;
        EXPECT_EQ(error.isEmpty(), !c.fails) << c.sql;
        EXPECT_TRUE(error.contains(c.mentions)) << c.sql << " " << error.toStdString();
    }
    Sqlite3DB closed;
    EXPECT_EQ(closed.exec("select 1", error), SQLITE_MISUSE);
    EXPECT_FALSE(error.isEmpty());
}

// An interrupted statement fails: ending quietly would pass a cut result for
// a whole one.
TEST_F(Sqlite3DBTest, InterruptMakesARunningStepFailInsteadOfEndingQuietly)
{
    Sqlite3Cursor c = db.queryThrow("with recursive n(x) as (select 1 union all select x+1 from n) "
                                    "select count(*) from n");
    std::atomic<bool> ended{false};
    std::thread interrupter([&] {
        while (!ended) {
            db.interrupt();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_THROW(c.moveNext(), std::runtime_error);
    ended = true;
    interrupter.join();
    EXPECT_FALSE(c.moveNext());
    EXPECT_EQ(scalar("select count(*) from t"), "0"); // the connection still works
}

} // namespace
