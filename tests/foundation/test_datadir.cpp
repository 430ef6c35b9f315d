#include <QFile>
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/scopeddatahome.h"

#include "foundation/datadir.h"

namespace {

const QString kProduct = QStringLiteral("7C1E5A90D3B84F26A0E9B4D1C6F23A85");

// Each case gets its own data location, so cases cannot see each other's
// redirect files or data folders.
class DataDirTest : public ::testing::Test
{
protected:
    QString defaultRoot() const { return home.path() + "/MarrowQuist"; }
    QString defaultDataDir() const { return defaultRoot() + '/' + kProduct; }
    void writeRedirect(const QByteArray& content)
    {
        ASSERT_TRUE(QDir().mkpath(defaultRoot()));
        QFile f(defaultRoot() + '/' + kProduct + ".redirect");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    ScopedDataHome home;
    QTemporaryDir elsewhere;
};

TEST_F(DataDirTest, WithoutRedirectTheDataFolderIsBelowTheDefaultRootAndComesBack)
{
    EXPECT_EQ(g_osAppDir().absolutePath(), home.path());
    EXPECT_EQ(g_defaultSaveDirPath(), defaultRoot());
    EXPECT_FALSE(QFileInfo::exists(defaultRoot())); // not created by asking
    EXPECT_TRUE(g_dataSaveDirLink().isEmpty());

    EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDataDir());
    ASSERT_TRUE(QDir(defaultDataDir()).removeRecursively());
    EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDataDir());
    EXPECT_TRUE(QFileInfo(defaultDataDir()).isDir());
    EXPECT_EQ(g_localDbDir().absolutePath(), defaultDataDir() + "/local_databases");
    EXPECT_TRUE(QFileInfo(defaultDataDir() + "/local_databases").isDir());
}

TEST_F(DataDirTest, RedirectTakesEffectAtTheNextStart)
{
    // Writing needs the default root: neither the file nor its folder is made.
    g_setDataSaveDirLink(elsewhere.path());
    EXPECT_FALSE(QFileInfo::exists(defaultRoot()));

    const QString target = elsewhere.path() + QString::fromUtf8("/d\xC3\xA4t\xC3\xA4 & more");
    ASSERT_TRUE(QDir().mkpath(target));
    const QString before = g_dataSaveDir().absolutePath();
    g_setDataSaveDirLink(target);
    QFile f(defaultRoot() + '/' + kProduct + ".redirect");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), target.toUtf8()); // UTF-8, no line end
    EXPECT_EQ(g_dataSaveDirLink(), target);
    EXPECT_EQ(g_dataSaveDir().absolutePath(), before); // cached for the run

    g_forgetDataSaveDir();
    EXPECT_EQ(g_dataSaveDir().absolutePath(), target + '/' + kProduct);
    EXPECT_TRUE(QFileInfo(target + '/' + kProduct).isDir());
    EXPECT_EQ(g_localDbDir().absolutePath(), target + '/' + kProduct + "/local_databases");

    // The file is read up to its first zero byte.
    writeRedirect(QFile::encodeName(elsewhere.path()) + QByteArray("\0junk", 5));
    EXPECT_EQ(g_dataSaveDirLink(), elsewhere.path());
}

TEST_F(DataDirTest, UnusableRedirectsFallBackToTheDefaultRoot)
{
    QFile plain(elsewhere.filePath("plain-file"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    // The relative one exists from the working folder, which must not matter.
    ASSERT_TRUE(QDir().mkpath(home.path() + "/relative/folder"));
    const QString savedCwd = QDir::currentPath();
    QDir::setCurrent(home.path());
    for (const QByteArray& content : {
             QFile::encodeName(elsewhere.path()) + '\n', // line ends are not stripped
             QFile::encodeName(elsewhere.filePath("missing")),
             QFile::encodeName(plain.fileName()), // a data folder cannot live below a file
             QByteArray("relative/folder"),
             QByteArray(),
         }) {
        SCOPED_TRACE(content.toStdString());
        writeRedirect(content);
        g_forgetDataSaveDir();
        EXPECT_TRUE(g_dataSaveDirLink().isEmpty());
        EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDataDir());
    }
    QDir::setCurrent(savedCwd);
}

TEST_F(DataDirTest, ThreadsAskingAtOnceAllGetTheSameFolder)
{
    std::vector<std::future<QString>> answers;
    for (int i = 0; i < 8; ++i)
        answers.push_back(std::async(std::launch::async, [] { return g_dataSaveDir().absolutePath(); }));
    for (auto& answer : answers)
        EXPECT_EQ(answer.get(), defaultDataDir());
}

} // namespace
