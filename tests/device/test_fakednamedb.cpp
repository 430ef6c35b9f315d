#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/fakednamedb.h"
#include "tests/support/gtest_qt.h"

namespace {

QDateTime at(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs);
}

QStringList listing(FakeDNameDb& db, const QString& p)
{
    QStringList out;
    for (const auto& i : db.items(p))
        out << QString("%1 %2 %3 %4").arg(i.name).arg(i.type).arg(i.size).arg(i.mtime.toSecsSinceEpoch());
    return out;
}

TEST(FakeDNameDb, PrefixesAndFolderView)
{
    QTemporaryDir dir;
    const QString ab = "ab" + QString(38, 'f'), cd = "cd" + QString(38, '0'), s31(31, 'x'), s32 = "ef" + QString(30, 'y');
    FakeDNameDb db;
    ASSERT_TRUE(db.open(dir.filePath("dname.sqlite"), nullptr));
    db.insert("Manifest.db", "", true, at(50));
    db.insert(ab, "AppDomain-x-Library/a", false, at(900));
    db.update(ab, at(950), 5);
    db.insert(ab, "AppDomain-x-Library/b", false, at(1000)); // replaces, size back to 0
    db.insert(cd, "HomeDomain-c", true, at(300));
    db.insert(s31, "d31", false, at(7));
    db.insert(s32, "d32", false, at(8));
    db.update(cd, at(400), 77);
    EXPECT_EQ(listing(db, ""),
              (QStringList{"ab 2 0 1000", "cd 2 0 400", "ef 2 0 8", "Manifest.db 1 0 50", s31 + " 1 0 7"}));
    EXPECT_EQ(listing(db, "ab") + listing(db, "cd"), (QStringList{ab + " 1 0 1000", cd + " 1 77 400"}));
    EXPECT_EQ(db.getDName(ab) + "|" + db.getDName("missing"), "AppDomain-x-Library/b|");
    db.remove(ab);
    EXPECT_TRUE(listing(db, "ab").isEmpty());
}

TEST(FakeDNameDb, CommitsEveryTenThousandInsertsAndOnClose)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("dname.sqlite");
    const auto committedRows = [&] {
        Sqlite3DB reader;
        reader.openThrow(path, 2);
        Sqlite3Cursor c = reader.queryThrow("select count(*) as n from dname");
        return c.moveNext() ? c.getInt64("n") : -1;
    };
    {
        FakeDNameDb db;
        ASSERT_TRUE(db.open(path, nullptr));
        for (int i = 1; i < 10000; ++i)
            db.insert(QString::number(i), "d", false, at(i));
        EXPECT_EQ(committedRows(), 0);
        db.insert("last", "d", false, at(1));
        EXPECT_EQ(committedRows(), 10000);
        db.insert("after", "kept", false, at(1));
    }
    FakeDNameDb again; // an existing file is opened as it is, not created anew
    ASSERT_TRUE(again.open(path, nullptr));
    EXPECT_EQ(again.getDName("after"), "kept");
}

} // namespace
