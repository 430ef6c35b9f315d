#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "tests/support/gtest_qt.h"

#include "foundation/sqlite3db.h"

namespace {

class Sqlite3StmtCacheTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db.openThrow(dir.filePath("t.db"), 6);
        db.executeThrow("create table t(a integer primary key, b)");
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

TEST_F(Sqlite3StmtCacheTest, RepeatedStatementsAreCompiledOnceAndNestedOnesStayApart)
{
    for (int i = 0; i < 100; ++i)
        db.executeThrow(Sqlite3Sql("insert into t(b) values(?)").addIntParam(i));
    const int afterInserts = compiled();
    for (int i = 0; i < 100; ++i) {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select b from t where a=?").addIntParam(i + 1));
        ASSERT_TRUE(c.moveNext());
        EXPECT_EQ(c.getInt(0), i);
    }
    EXPECT_EQ(compiled(), afterInserts + 1);

    // Two cursors over one text each step on their own.
    Sqlite3Cursor outer = db.queryThrow("select b from t order by a");
    Sqlite3Cursor inner = db.queryThrow("select b from t order by a");
    ASSERT_TRUE(outer.moveNext() && outer.moveNext());
    ASSERT_TRUE(inner.moveNext());
    EXPECT_EQ(outer.getInt(0), 1);
    EXPECT_EQ(inner.getInt(0), 0);

    // The cache stays small however many texts pass through it.
    for (int i = 0; i < 200; ++i)
        db.queryThrow(QStringLiteral("select %1").arg(i)).moveNext();
    EXPECT_LE(compiled(), afterInserts + 2 + 32);
}

TEST_F(Sqlite3StmtCacheTest, KeptStatementsFollowSchemaChangesEvenForNamesAskedBeforeTheFirstStep)
{
    db.executeThrow("insert into t(b) values('x')");
    db.queryThrow("select * from t").moveNext();
    db.executeThrow("alter table t add column c default 'new'");
    {
        Sqlite3Cursor added = db.queryThrow("select * from t");
        EXPECT_EQ(added.columnCount(), 3);
        ASSERT_TRUE(added.moveNext());
        EXPECT_EQ(added.getText("c"), "new");
        EXPECT_FALSE(added.moveNext());
    }
    db.executeThrow("drop table t");
    db.executeThrow("create table t(b, z)");
    db.executeThrow("insert into t values('first', 'second')");
    Sqlite3Cursor remade = db.queryThrow("select * from t");
    const int b = remade.columnIndex("b");
    const int z = remade.columnIndex("z");
    ASSERT_TRUE(remade.moveNext());
    EXPECT_EQ(remade.getText(b), "first");
    EXPECT_EQ(remade.getText(z), "second");
    EXPECT_EQ(remade.columnIndex("a"), -1);
    EXPECT_FALSE(remade.moveNext());
}

TEST_F(Sqlite3StmtCacheTest, AFailedRunLeavesTheKeptStatementUsable)
{
    const Sqlite3Sql insert = Sqlite3Sql("insert into t(a, b) values(?, ?)").addIntParam(1).addTextParam("one");
    db.executeThrow(insert);
    EXPECT_THROW(db.executeThrow(insert), std::runtime_error); // the key is taken
    EXPECT_THROW(db.executeThrow(Sqlite3Sql("insert into t(a, b) values(?, ?)").addIntParam(2)), std::runtime_error);
    // Bindings of the failed runs are gone: nothing carries over.
    db.executeThrow(Sqlite3Sql("insert into t(a, b) values(?, ?)").addIntParam(2).addNullParam());
    Sqlite3Cursor c = db.queryThrow("select a, b is null from t order by a");
    ASSERT_TRUE(c.moveNext() && c.moveNext());
    EXPECT_EQ(c.getInt(0), 2);
    EXPECT_EQ(c.getInt(1), 1);

    // A text of two statements is refused by an execute each time, though a
    // query (which runs the first) compiled it.
    db.queryThrow("select 1; select 2").moveNext();
    EXPECT_THROW(db.executeThrow("select 1; select 2"), std::runtime_error);
}

} // namespace
