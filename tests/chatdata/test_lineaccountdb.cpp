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
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        debugLines.clear();
    }
    void TearDown() override { qInstallMessageHandler(nullptr); }

    QString storePath() const { return g_dataSaveDir().absoluteFilePath("bk_line_account.db"); }

    void writeStore(const QByteArray& bytes)
    {
        QFile f(storePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    static QList<LineAccountDB::_Account> sorted(QList<LineAccountDB::_Account> list)
    {
        std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.uid < b.uid; });
        return list;
    }

    ScopedDataHome home;
};

} // namespace

TEST_F(LineAccountDBTest, AMissingStoreIsCreatedWithItsTable)
{
    ASSERT_FALSE(QFile::exists(storePath()));
    EXPECT_TRUE(LineAccountDB().accountsThrow().isEmpty());
    ASSERT_TRUE(QFile::exists(storePath()));
    EXPECT_TRUE(storePath().startsWith(home.path()));

    if (testenv::haveTool("sqlite3")) {
        QByteArray out;
        ASSERT_EQ(testenv::runTool("sqlite3", {storePath(), ".schema line_account"}, &out), 0);
        EXPECT_EQ(out.trimmed(), QByteArray("CREATE TABLE line_account(uid VARCHAR PRIMARY KEY, name VARCHAR, tel VARCHAR);"));
    }
}

TEST_F(LineAccountDBTest, AnEmptyFileIsTreatedLikeAMissingOne)
{
    writeStore(QByteArray());
    LineAccountDB db;
    db.saveAccountThrow(LineAccountDB::_Account("u1", "A", "+81"));
    EXPECT_EQ(db.accountsThrow().size(), 1);
}

TEST_F(LineAccountDBTest, SavingAUidAgainReplacesItsNameAndNumber)
{
    {
        LineAccountDB db;
        db.saveAccountThrow(LineAccountDB::_Account("u1", "A", "111"));
        db.saveAccountThrow(LineAccountDB::_Account("u2", QString::fromUtf8("山田 \xF0\x9F\x98\x80"), ""));
    }
    // A later object opens the existing file anew.
    LineAccountDB db;
    db.saveAccountThrow(LineAccountDB::_Account("u1", "B", "222"));
    const QList<LineAccountDB::_Account> all = sorted(db.accountsThrow());
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all.at(0).uid, "u1");
    EXPECT_EQ(all.at(0).name, "B");
    EXPECT_EQ(all.at(0).tel, "222");
    EXPECT_EQ(all.at(1).name, QString::fromUtf8("山田 \xF0\x9F\x98\x80"));

    if (testenv::haveTool("sqlite3")) {
        db.close();
        QByteArray out;
        ASSERT_EQ(testenv::runTool("sqlite3", {storePath(), "select uid, name, tel from line_account order by uid"}, &out), 0);
        EXPECT_EQ(out, QByteArray("u1|B|222\nu2|" "\xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x98\x80|\n"));
    }
}

TEST_F(LineAccountDBTest, AnAccountWithoutUidIsNotStored)
{
    LineAccountDB db;
    db.saveAccount(LineAccountDB::_Account("u1", "A", ""));
    EXPECT_NO_THROW(db.saveAccountThrow(LineAccountDB::_Account("", "nobody", "000")));
    db.saveAccount(LineAccountDB::_Account("", "nobody", "000"));
    const QList<LineAccountDB::_Account> all = db.accounts();
    ASSERT_EQ(all.size(), 1);
    EXPECT_EQ(all.at(0).uid, "u1");
}

TEST_F(LineAccountDBTest, AStoreWithoutItsTableFailsAndThePlainTwinsLogIt)
{
    {
        Sqlite3DB other;
        other.openThrow(storePath(), 6);
        other.executeThrow("create table something_else(a)");
    }
    EXPECT_THROW(LineAccountDB().accountsThrow(), std::runtime_error);
    EXPECT_THROW(LineAccountDB().saveAccountThrow(LineAccountDB::_Account("u1", "A", "")), std::runtime_error);

    qInstallMessageHandler(collectDebug);
    EXPECT_TRUE(LineAccountDB().accounts().isEmpty());
    LineAccountDB().saveAccount(LineAccountDB::_Account("u1", "A", ""));
    qInstallMessageHandler(nullptr);
    ASSERT_EQ(debugLines.size(), 2);
    EXPECT_TRUE(debugLines.at(0).contains("line_account")) << debugLines.at(0).toStdString();
    EXPECT_TRUE(debugLines.at(1).startsWith("LineAccountDB::saveAccount error: ")) << debugLines.at(1).toStdString();
}

TEST_F(LineAccountDBTest, AFileThatIsNoDatabaseFails)
{
    writeStore(QByteArray(4096, 'x'));
    EXPECT_THROW(LineAccountDB().accountsThrow(), std::runtime_error);
    EXPECT_TRUE(LineAccountDB().accounts().isEmpty());
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
                    LineAccountDB().saveAccountThrow(LineAccountDB::_Account(QStringLiteral("u%1").arg(t), "n", ""));
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

TEST(LineAccount, TravelsInAVariantUnderItsRegisteredName)
{
    LineAccountDB db; // registers the type
    const QMetaType type = QMetaType::fromName("LineAccountDB::Account");
    ASSERT_TRUE(type.isValid());
    EXPECT_EQ(type.id(), qMetaTypeId<LineAccountDB::_Account>());
    const QVariant v = QVariant::fromValue(LineAccountDB::_Account("u", "n", "t"));
    EXPECT_EQ(v.value<LineAccountDB::_Account>().tel, "t");
}
