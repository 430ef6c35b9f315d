// The remembered LINE accounts.
#include <QFile>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/testenv.h"

#include "chatdata/lineaccountdb.h"
#include "foundation/datadir.h"

namespace {

using Account = LineAccountDB::_Account;

QString all()
{
    QStringList out;
    for (const Account& a : LineAccountDB().accountsThrow())
        out << a.uid + ":" + a.name + ":" + a.tel;
    out.sort();
    return out.join(' ');
}

class LineAccountDBTest : public ::testing::Test
{
protected:
    ScopedDataHome home;
    const QString path = g_dataSaveDir().absoluteFilePath("bk_line_account.db");
};

TEST_F(LineAccountDBTest, AUidSavedAgainReplacesItsValuesAndAStoreThatIsNoneFailsUntouched)
{
    ASSERT_TRUE(testenv::writeFile(path, "")); // an empty file is given the table
    {
        LineAccountDB db;
        db.saveAccountThrow(Account("u1", "A", "111"));
        db.saveAccountThrow(Account("u2", QString::fromUtf8("山田 \xF0\x9F\x98\x80"), ""));
        db.saveAccountThrow(Account("", "nobody", "000"));
    }
    LineAccountDB().saveAccountThrow(Account("u1", "B", "222")); // a later object opens the file anew
    EXPECT_EQ(all(), QString::fromUtf8("u1:B:222 u2:山田 \xF0\x9F\x98\x80:"));

    {
        Sqlite3DB other;
        other.openThrow(path + ".other", 6);
        other.executeThrow("create table something_else(a)");
    }
    for (const QString& from : {path + ".other", QString()}) {
        QFile::remove(path);
        ASSERT_TRUE(from.isEmpty() ? testenv::writeFile(path, QByteArray(4096, 'x')) : QFile::copy(from, path));
        const QByteArray before = testenv::readFile(path);
        EXPECT_THROW(all(), std::runtime_error);
        EXPECT_THROW(LineAccountDB().saveAccountThrow(Account("u1", "A", "")), std::runtime_error);
        EXPECT_TRUE(LineAccountDB().accounts().isEmpty()); // the plain form logs instead
        EXPECT_EQ(testenv::readFile(path), before);
    }
}

TEST_F(LineAccountDBTest, SeveralFirstUsersAtOnceAllSucceed)
{
    for (int round = 0; round < 10; ++round) {
        QFile::remove(path);
        std::atomic<int> ready{0}, failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t]() {
                for (++ready; ready.load() < 4;) {
                }
                try {
                    LineAccountDB().saveAccountThrow(Account(QStringLiteral("u%1").arg(t), "n", ""));
                } catch (const std::exception&) {
                    ++failures;
                }
            });
        }
        for (std::thread& th : threads)
            th.join();
        ASSERT_EQ(failures.load(), 0) << "round " << round;
        ASSERT_EQ(all(), "u0:n: u1:n: u2:n: u3:n:");
    }
}

} // namespace
