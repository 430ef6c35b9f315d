#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include "foundation/dbschema.h"

namespace {

class DbSchemaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db.openThrow(dir.filePath("s.db"), 6);
        db.executeThrow("create table line_msg(id integer primary key, ver integer, \"Mixed Case\" text)");
        db.executeThrow("create table Other(k text unique)");
        db.executeThrow("create table \"it's a \"\"table\"\"\"(x integer primary key autoincrement)");
        db.executeThrow("create index idx_msg_ver on line_msg(ver)");
        db.executeThrow("create view v as select 1");
        db.executeThrow("create trigger tr after insert on Other begin select 1; end");
        schema.loadDbThrow(db);
    }
    QString addColumnError(const QString& table, const QString& col)
    {
        try {
            schema.addColumnThrow(db, table, col, "text");
        } catch (const std::runtime_error& e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    }
    QTemporaryDir dir;
    Sqlite3DB db;
    DbSchema schema;
};

TEST_F(DbSchemaTest, LookupsIgnoreCaseAndKeepStoredNames)
{
    EXPECT_TRUE(schema.containsCol("Line_Msg", "VER"));
    EXPECT_TRUE(schema.containsCol("line_msg", "mixed case"));
    EXPECT_TRUE(schema.containsCol("it's a \"table\"", "x"));
    EXPECT_FALSE(schema.containsCol("line_msg", "nosuch"));
    EXPECT_FALSE(schema.containsCol("nosuch", "ver"));
    EXPECT_EQ(schema.table("OTHER").name, "Other");
    EXPECT_TRUE(schema.table("OTHER").sql.startsWith("CREATE TABLE Other"));
    EXPECT_EQ(schema.table("line_msg").col("VER").name, "ver");
    EXPECT_EQ(schema.table("line_msg").col("ver").type.toLower(), "integer");
    EXPECT_EQ(schema.table("line_msg").cols().size(), 3);
    // Views and triggers are not tables.
    EXPECT_FALSE(schema.containsTable("v") || schema.containsTable("tr"));
    // SQLite's own bookkeeping tables are listed like any other.
    EXPECT_TRUE(schema.containsTable("sqlite_sequence"));
    EXPECT_EQ(schema.tables().size(), 4);
    // Missing ones give empty defaults.
    EXPECT_TRUE(schema.table("nosuch").name.isNull());
    EXPECT_TRUE(schema.table("nosuch").cols().isEmpty());
    EXPECT_TRUE(schema.table("line_msg").col("nosuch").name.isNull());
}

TEST_F(DbSchemaTest, IndexesIncludingAutomaticOnes)
{
    EXPECT_EQ(schema.indexSql("IDX_MSG_VER"), "CREATE INDEX idx_msg_ver on line_msg(ver)");
    EXPECT_TRUE(schema.containsIndex("sqlite_autoindex_Other_1"));
    EXPECT_TRUE(schema.indexSql("sqlite_autoindex_Other_1").isEmpty());
    EXPECT_TRUE(schema.indexSql("line_msg").isEmpty());

    db.executeThrow("drop index idx_msg_ver");
    EXPECT_FALSE(schema.indexSql("idx_msg_ver").isEmpty()); // a snapshot
    schema.loadDbThrow(db);
    EXPECT_FALSE(schema.containsIndex("idx_msg_ver"));
}

TEST_F(DbSchemaTest, AddColumn)
{
    // Present in another case: no statement runs (a run would fail).
    EXPECT_EQ(addColumnError("LINE_MSG", "VER"), QString());
    EXPECT_EQ(addColumnError("nosuch", "c"), "error:no table, ALTER TABLE nosuch ADD COLUMN c text");

    EXPECT_EQ(addColumnError("line_msg", "custom_name"), QString());
    EXPECT_FALSE(schema.containsCol("line_msg", "custom_name")); // not reloaded
    const QString again = addColumnError("line_msg", "custom_name");
    EXPECT_TRUE(again.startsWith("error:duplicate column name: custom_name, ")) << again.toStdString();
    EXPECT_TRUE(again.endsWith(", ALTER TABLE line_msg ADD COLUMN custom_name text")) << again.toStdString();
    schema.loadDbThrow(db);
    EXPECT_TRUE(schema.containsCol("line_msg", "CUSTOM_NAME"));
}

} // namespace
