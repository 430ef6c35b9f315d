#include <QFile>
#include <QVariant>
#include <gtest/gtest.h>

#include <algorithm>
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

QStringList debugLines;

void collectDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        debugLines.append(message);
}

// Each case gets its own data folder.
class LineAccountDBTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(home.isValid()); }
    void TearDown() override { qInstallMessageHandler(nullptr); }

    QString storePath() const { return g_dataSaveDir().absoluteFilePath("bk_line_account.db"); }

    void writeStore(const QByteArray& bytes)
    {
        QFile f(storePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    ScopedDataHome home;
};

} // namespace

TEST_F(LineAccountDBTest, AMissingOrEmptyStoreIsCreatedWithItsTable)
{
    EXPECT_TRUE(LineAccountDB().accountsThrow().isEmpty());
    ASSERT_TRUE(QFile::exists(storePath()));
    EXPECT_TRUE(storePath().startsWith(home.path()));
    if (testenv::haveTool("sqlite3")) {
        QByteArray out;
        ASSERT_EQ(testenv::runTool("sqlite3", {storePath(), ".schema line_account"}, &out), 0);
        EXPECT_EQ(out.trimmed(),
                  QByteArray("CREATE TABLE line_account(uid VARCHAR PRIMARY KEY, name VARCHAR, tel VARCHAR);"));
    }

    writeStore(QByteArray());
    LineAccountDB db;
    db.saveAccountThrow(Account("u1", "A", "+81"));
    EXPECT_EQ(db.accountsThrow().size(), 1);
}

TEST_F(LineAccountDBTest, SavingAUidAgainReplacesItsNameAndNumberAndAnEmptyUidIsNotStored)
{
    {
        LineAccountDB db;
        db.saveAccountThrow(Account("u1", "A", "111"));
        db.saveAccountThrow(Account("u2", QString::fromUtf8("山田 \xF0\x9F\x98\x80"), ""));
    }
    // A later object opens the existing file anew.
    LineAccountDB db;
    db.saveAccountThrow(Account("u1", "B", "222"));
    EXPECT_NO_THROW(db.saveAccountThrow(Account("", "nobody", "000")));
    db.saveAccount(Account("", "nobody", "000"));
    QList<Account> all = db.accountsThrow();
    std::sort(all.begin(), all.end(), [](const Account& a, const Account& b) { return a.uid < b.uid; });
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all.at(0).name, "B");
    EXPECT_EQ(all.at(0).tel, "222");
    EXPECT_EQ(all.at(1).name, QString::fromUtf8("山田 \xF0\x9F\x98\x80"));

    // It travels in a variant under its registered name.
    const QMetaType type = QMetaType::fromName("LineAccountDB::Account");
    ASSERT_TRUE(type.isValid());
    EXPECT_EQ(type.id(), qMetaTypeId<Account>());
}

TEST_F(LineAccountDBTest, AStoreWithoutItsTableOrNoDatabaseAtAllFailsAndThePlainTwinsLogIt)
{
    {
        Sqlite3DB other;
        other.openThrow(storePath(), 6);
        other.executeThrow("create table something_else(a)");
    }
    EXPECT_THROW(LineAccountDB().accountsThrow(), std::runtime_error);
    EXPECT_THROW(LineAccountDB().saveAccountThrow(Account("u1", "A", "")), std::runtime_error);

    debugLines.clear();
    qInstallMessageHandler(collectDebug);
    EXPECT_TRUE(LineAccountDB().accounts().isEmpty());
    LineAccountDB().saveAccount(Account("u1", "A", ""));
    qInstallMessageHandler(nullptr);
    ASSERT_EQ(debugLines.size(), 2);
    EXPECT_TRUE(debugLines.at(0).contains("line_account")) << debugLines.at(0).toStdString();
    EXPECT_TRUE(debugLines.at(1).startsWith("LineAccountDB::saveAccount error: ")) << debugLines.at(1).toStdString();

    writeStore(QByteArray(4096, 'x'));
    EXPECT_THROW(LineAccountDB().accountsThrow(), std::runtime_error);
    EXPECT_EQ(QFile(storePath()).size(), 4096); // left as it was
}

TEST_F(LineAccountDBTest, SeveralFirstUsersAtOnceAllSucceed)
{
    for (int round = 0; round < 10; ++round) {
        QFile::remove(storePath());
        std::atomic<int> ready{0};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t]() {
                ++ready;
                while (ready.load() < 4) {
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
        ASSERT_EQ(LineAccountDB().accountsThrow().size(), 4);
    }
}
