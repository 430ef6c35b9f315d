#include <QFile>
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/scopeddatahome.h"

#include "foundation/datadir.h"

namespace {

const QString kProduct = QStringLiteral("7C1E5A90D3B84F26A0E9B4D1C6F23A85");

TEST(DataDir, ARedirectTakesEffectAtTheNextStartAndAnUnusableOneIsIgnored)
{
    ScopedDataHome home;
    QTemporaryDir elsewhere;
    const QString root = home.path() + "/MarrowQuist", defaultDir = root + '/' + kProduct;
    EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDir);
    EXPECT_EQ(g_localDbDir().absolutePath(), defaultDir + "/local_databases");
    EXPECT_TRUE(QFileInfo(defaultDir + "/local_databases").isDir());

    const QString target = elsewhere.path() + QString::fromUtf8("/d\xC3\xA4t\xC3\xA4 & more");
    ASSERT_TRUE(QDir().mkpath(target));
    g_setDataSaveDirLink(target);
    EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDir); // kept for the run
    g_forgetDataSaveDir();
    EXPECT_EQ(g_dataSaveDir().absolutePath(), target + '/' + kProduct);

    QFile plain(elsewhere.filePath("plain-file"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir().mkpath(home.path() + "/relative"));
    const QString savedCwd = QDir::currentPath();
    QDir::setCurrent(home.path()); // the relative one exists from here, which must not matter
    for (const QByteArray& content : {QFile::encodeName(target) + '\n', QFile::encodeName(elsewhere.filePath("missing")),
                                      QFile::encodeName(plain.fileName()), QByteArray("relative"), QByteArray()}) {
        QFile redirect(root + '/' + kProduct + ".redirect");
        ASSERT_TRUE(redirect.open(QIODevice::WriteOnly) && redirect.write(content) == content.size());
        redirect.close();
        g_forgetDataSaveDir();
        EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDir) << content.toStdString();
    }
    QDir::setCurrent(savedCwd);
}

TEST(DataDir, ThreadsAskingAtOnceAllGetTheSameFolder)
{
    ScopedDataHome home;
    std::vector<std::future<QString>> answers;
    for (int i = 0; i < 8; ++i)
        answers.push_back(std::async(std::launch::async, [] { return g_dataSaveDir().absolutePath(); }));
    for (auto& answer : answers)
        EXPECT_EQ(answer.get(), home.path() + "/MarrowQuist/" + kProduct);
}

} // namespace
