#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include "foundation/dbschema.h"

namespace {

// Stores name their tables and columns in any case; the program asks in its own.
TEST(DbSchema, LookupsIgnoreCaseAndAddColumnRunsOnlyWhenTheColumnIsMissing)
{
    QTemporaryDir dir;
    Sqlite3DB db;
    db.openThrow(dir.filePath("s.db"), 6);
    db.executeThrow("create table ZMessage(id integer primary key, ZVer integer)");
    db.executeThrow("create table \"it's a \"\"table\"\"\"(x)");
    db.executeThrow("create index Idx_Ver on ZMessage(ZVer)");
    db.executeThrow("create view v as select 1");
    DbSchema schema;
    schema.loadDbThrow(db);
    EXPECT_TRUE(schema.containsCol("zmessage", "zver") && schema.containsCol("ZMESSAGE", "ID"));
    EXPECT_TRUE(schema.containsCol("it's a \"table\"", "x"));
    EXPECT_FALSE(schema.containsCol("zmessage", "x") || schema.containsCol("nosuch", "id") || schema.containsTable("v"));
    EXPECT_EQ(schema.table("ZMESSAGE").col("zver").name, "ZVer");
    EXPECT_EQ(schema.indexSql("idx_ver"), "CREATE INDEX Idx_Ver on ZMessage(ZVer)");

    schema.addColumnThrow(db, "ZMESSAGE", "ZVER", "integer"); // present: nothing runs
    schema.addColumnThrow(db, "ZMessage", "ZNew", "text");
    EXPECT_THROW(schema.addColumnThrow(db, "nosuch", "c", "text"), std::runtime_error);
    schema.loadDbThrow(db);
    EXPECT_TRUE(schema.containsCol("zmessage", "znew"));
    db.executeThrow("drop index Idx_Ver");
    schema.loadDbThrow(db);
    EXPECT_FALSE(schema.containsIndex("idx_ver"));
}

} // namespace
