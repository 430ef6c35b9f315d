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

TEST_F(Sqlite3StmtCacheTest, RepeatedTextsAreCompiledOnceNestedOnesStayApartFailuresLeaveNoTrace)
{
    for (int i = 0; i < 100; ++i)
        db.executeThrow(Sqlite3Sql("insert into t(b) values(?)").addIntParam(i));
    // The key is taken: the kept statement fails, then serves again.
    EXPECT_THROW(db.executeThrow(Sqlite3Sql("insert into t(a, b) values(?, ?)").addIntParam(1).addIntParam(0)),
                 std::runtime_error);
    db.executeThrow(Sqlite3Sql("insert into t(a, b) values(?, ?)").addIntParam(101).addIntParam(100));
    const int before = compiled();
    Sqlite3Cursor outer = db.queryThrow("select b from t order by a");
    Sqlite3Cursor inner = db.queryThrow("select b from t order by a");
    ASSERT_TRUE(outer.moveNext() && outer.moveNext() && inner.moveNext());
    EXPECT_EQ(outer.getInt(0) * 10 + inner.getInt(0), 10);
    EXPECT_EQ(compiled(), before + 2);
    // However many texts pass through, few statements stay.
    for (int i = 0; i < 200; ++i)
        db.queryThrow(QStringLiteral("select %1").arg(i)).moveNext();
    EXPECT_LE(compiled(), before + 2 + 32);
}

TEST_F(Sqlite3StmtCacheTest, KeptStatementsFollowSchemaChangesEvenForNamesAskedBeforeTheFirstStep)
{
    db.executeThrow("insert into t(b) values('x')");
    db.queryThrow("select * from t").moveNext();
    db.executeThrow("alter table t add column c default 'new'");
    EXPECT_EQ(db.queryThrow("select * from t").columnCount(), 3);
    db.executeThrow("drop table t");
    db.executeThrow("create table t(b, z)");
    db.executeThrow("insert into t values('first', 'second')");
    Sqlite3Cursor remade = db.queryThrow("select * from t");
    const int z = remade.columnIndex("z");
    ASSERT_TRUE(remade.moveNext());
    EXPECT_EQ(remade.getText(z), "second");
    EXPECT_EQ(remade.getText("b"), "first");
}

} // namespace
