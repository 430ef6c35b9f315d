#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include "foundation/datadir.h"

#include <future>
#include <vector>

namespace {

const QString kProduct = QStringLiteral("7C1E5A90D3B84F26A0E9B4D1C6F23A85");

// Each case gets its own data location, so cases cannot see each other's
// redirect files or data folders.
class DataDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
        g_forgetDataSaveDir();
    }
    void TearDown() override
    {
        qputenv("XDG_DATA_HOME", savedDataHome);
        g_forgetDataSaveDir();
    }

    QString defaultRoot() const { return home.path() + "/MarrowQuist"; }
    QString redirectFile() const { return defaultRoot() + '/' + kProduct + ".redirect"; }
    void writeRedirect(const QByteArray& content)
    {
        ASSERT_TRUE(QDir().mkpath(defaultRoot()));
        QFile f(redirectFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    QTemporaryDir home;
    QTemporaryDir elsewhere;
    QByteArray savedDataHome;
};

TEST_F(DataDirTest, PlacesFollowTheDataLocation)
{
    EXPECT_EQ(g_osAppDir().absolutePath(), home.path());
    EXPECT_EQ(g_defaultSaveDirPath(), defaultRoot());
    EXPECT_FALSE(QFileInfo::exists(defaultRoot())); // not created by asking

    QTemporaryDir other;
    qputenv("XDG_DATA_HOME", QFile::encodeName(other.path()));
    EXPECT_EQ(g_osAppDir().absolutePath(), other.path());
    EXPECT_EQ(g_defaultSaveDirPath(), other.path() + "/MarrowQuist");
}

TEST_F(DataDirTest, WithoutRedirectTheDataFolderIsBelowTheDefaultRootAndComesBack)
{
    EXPECT_TRUE(g_dataSaveDirLink().isEmpty());
    const QString expected = defaultRoot() + '/' + kProduct;
    EXPECT_EQ(g_dataSaveDir().absolutePath(), expected);
    EXPECT_TRUE(QFileInfo(expected).isDir());

    ASSERT_TRUE(QDir(expected).removeRecursively());
    EXPECT_EQ(g_dataSaveDir().absolutePath(), expected);
    EXPECT_TRUE(QFileInfo(expected).isDir());

    EXPECT_EQ(g_localDbDir().absolutePath(), expected + "/local_databases");
    EXPECT_TRUE(QFileInfo(expected + "/local_databases").isDir());
}

TEST_F(DataDirTest, RedirectToAnExistingFolderMovesTheDataFolder)
{
    ASSERT_TRUE(QDir().mkpath(defaultRoot()));
    const QString target = elsewhere.path() + QString::fromUtf8("/d\xC3\xA4t\xC3\xA4 & more");
    ASSERT_TRUE(QDir().mkpath(target));
    g_setDataSaveDirLink(target);

    QFile f(redirectFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), target.toUtf8()); // UTF-8, no line end

    EXPECT_EQ(g_dataSaveDirLink(), target);
    EXPECT_EQ(g_dataSaveDir().absolutePath(), target + '/' + kProduct);
    EXPECT_TRUE(QFileInfo(target + '/' + kProduct).isDir());
    EXPECT_EQ(g_localDbDir().absolutePath(), target + '/' + kProduct + "/local_databases");
}

TEST_F(DataDirTest, RedirectReadsUpToTheFirstZeroByte)
{
    writeRedirect(QFile::encodeName(elsewhere.path()) + QByteArray("\0junk", 5));
    EXPECT_EQ(g_dataSaveDirLink(), elsewhere.path());
}

TEST_F(DataDirTest, UnusableRedirectsFallBackToTheDefaultRoot)
{
    QFile plain(elsewhere.filePath("plain-file"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();

    const QList<QByteArray> bad = {
        QFile::encodeName(elsewhere.path()) + '\n', // line ends are not stripped
        QFile::encodeName(elsewhere.filePath("missing")),
        QFile::encodeName(plain.fileName()), // a data folder cannot live below a file
        "relative/folder",
        "",
    };
    // The relative one exists from the working folder, which must not matter.
    ASSERT_TRUE(QDir().mkpath(home.path() + "/relative/folder"));
    const QString savedCwd = QDir::currentPath();
    QDir::setCurrent(home.path());
    for (const QByteArray& content : bad) {
        SCOPED_TRACE(content.toStdString());
        writeRedirect(content);
        g_forgetDataSaveDir();
        EXPECT_TRUE(g_dataSaveDirLink().isEmpty());
        EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultRoot() + '/' + kProduct);
    }
    QDir::setCurrent(savedCwd);
}

TEST_F(DataDirTest, WritingTheRedirectNeedsTheDefaultRootAndTakesEffectAtTheNextStart)
{
    g_setDataSaveDirLink(elsewhere.path());
    EXPECT_FALSE(QFileInfo::exists(defaultRoot())); // neither the file nor its folder is made

    const QString before = g_dataSaveDir().absolutePath();
    g_setDataSaveDirLink(elsewhere.path());
    EXPECT_EQ(g_dataSaveDirLink(), elsewhere.path());
    EXPECT_EQ(g_dataSaveDir().absolutePath(), before); // cached for the run

    g_forgetDataSaveDir();
    EXPECT_EQ(g_dataSaveDir().absolutePath(), elsewhere.path() + '/' + kProduct);
}

TEST_F(DataDirTest, ThreadsAskingAtOnceAllGetTheSameFolder)
{
    std::vector<std::future<QString>> answers;
    for (int i = 0; i < 8; ++i)
        answers.push_back(std::async(std::launch::async, [] { return g_dataSaveDir().absolutePath(); }));
    for (auto& answer : answers)
        EXPECT_EQ(answer.get(), defaultRoot() + '/' + kProduct);
}

} // namespace
