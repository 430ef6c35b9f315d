#include <QDir>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/gtest_qt.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/testenv.h"

#include "foundation/datadir.h"
#include "foundation/logsaver.h"
#include "foundation/translocale.h"
#include "foundation/workingdevicelocker.h"
#include "foundation/workingdeviceset.h"

namespace {

const QString kProduct = QStringLiteral("7C1E5A90D3B84F26A0E9B4D1C6F23A85");

TEST(DataDir, ThreadsAtOnceGetOneFolderAndARedirectTakesEffectAtTheNextStartUnlessItIsUnusable)
{
    ScopedDataHome home;
    QTemporaryDir elsewhere;
    const QString defaultDir = home.path() + "/MarrowQuist/" + kProduct;
    std::vector<std::future<QString>> answers;
    for (int i = 0; i < 8; ++i)
        answers.push_back(std::async(std::launch::async, [] { return g_dataSaveDir().absolutePath(); }));
    for (auto& answer : answers)
        EXPECT_EQ(answer.get(), defaultDir);
    EXPECT_EQ(g_localDbDir().absolutePath(), defaultDir + "/local_databases");
    EXPECT_TRUE(QFileInfo(defaultDir + "/local_databases").isDir());

    const QString target = elsewhere.path() + QString::fromUtf8("/d\xC3\xA4t\xC3\xA4 & more");
    ASSERT_TRUE(QDir().mkpath(target));
    g_setDataSaveDirLink(target);
    EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDir); // kept for the run
    g_forgetDataSaveDir();
    EXPECT_EQ(g_dataSaveDir().absolutePath(), target + '/' + kProduct);

    ASSERT_TRUE(testenv::writeFile(elsewhere.filePath("plain-file"), ""));
    ASSERT_TRUE(QDir().mkpath(home.path() + "/relative"));
    const QString savedCwd = QDir::currentPath();
    QDir::setCurrent(home.path()); // the relative one exists from here, which must not matter
    const QByteArray unusable[] = {QFile::encodeName(target) + '\n', QFile::encodeName(elsewhere.filePath("missing")),
                                   QFile::encodeName(elsewhere.filePath("plain-file")), "relative", ""};
    for (const QByteArray& content : unusable) {
        ASSERT_TRUE(testenv::writeFile(defaultDir + ".redirect", content));
        g_forgetDataSaveDir();
        EXPECT_EQ(g_dataSaveDir().absolutePath(), defaultDir) << content.toStdString();
    }
    QDir::setCurrent(savedCwd);
}

// The child of a "threadsafe" death test runs the test again from the start;
// the parent's folder reaches it through the environment.
constexpr char kChildLogDir[] = "CHATFERRY_TEST_CHILD_LOG_DIR";

class LogSaverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (!qEnvironmentVariableIsSet(kChildLogDir))
            qputenv(kChildLogDir, QFile::encodeName(dir.filePath("qlogs")));
        logDir = qEnvironmentVariable(kChildLogDir);
    }
    void TearDown() override
    {
        qunsetenv(kChildLogDir);
        qInstallMessageHandler(nullptr);
    }

    // Every line of every log file (a test across midnight writes two), each
    // with its time replaced by "T".
    QStringList logLines() const
    {
        QString all;
        for (const QString& name : QDir(logDir).entryList({"log-????????.txt"}, QDir::Files, QDir::Name))
            all += QString::fromUtf8(testenv::readFile(QDir(logDir).filePath(name)));
        const QRegularExpression time("^\\((.) \\d\\d:\\d\\d:\\d\\d\\) ", QRegularExpression::MultilineOption);
        return all.replace(time, "\\1 T ").split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    QString logDir;
};

TEST_F(LogSaverTest, InstallingKeepsTheNewestFilesOnlyAndLinesCarryTypeTimeAndMessage)
{
    // Every plain file counts whatever its name; folders and hidden files do not.
    QStringList files{".hidden", "zz-notes.txt"};
    for (int day = 1; day <= 12; ++day)
        files << QString::asprintf("log-202401%02d.txt", day);
    for (const QString& name : files)
        ASSERT_TRUE(testenv::writeFile(QDir(logDir).filePath(name), "x"));
    ASSERT_TRUE(QDir(logDir).mkdir("a-folder"));
    logsaver_install_msghandler(logDir, 3);
    EXPECT_EQ(QDir(logDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({".hidden", "a-folder", "log-20240111.txt", "log-20240112.txt", "zz-notes.txt"}));

    ASSERT_TRUE(QDir(logDir).removeRecursively()); // made again
    qDebug("debug \xE6\x97\xA5\xE6\x9C\xAC");
    // A plain file where the folder should be: the handler must neither
    // recurse nor hang, and the line is lost quietly.
    ASSERT_TRUE(QDir().rename(logDir, logDir + ".kept"));
    ASSERT_TRUE(testenv::writeFile(logDir, "not a folder"));
    qWarning("lost");
    EXPECT_EQ(testenv::readFile(logDir), "not a folder");
    ASSERT_TRUE(QFile::remove(logDir));
    ASSERT_TRUE(QDir().rename(logDir + ".kept", logDir));
    qCritical("kept");
    EXPECT_EQ(logLines(), QStringList({QString::fromUtf8("D T debug 日本"), "C T kept"}));
}

// Messages keep coming while the process tears its statics down; the handler
// must still know its folder then.
void logAtExit() { qWarning("at exit"); }

TEST_F(LogSaverTest, AFatalMessageIsTheLastLineBeforeTheAbortAndMessagesDuringExitAreWritten)
{
    EXPECT_DEATH(
        {
            logsaver_install_msghandler(logDir, 10);
            qFatal("fatal end");
        },
        "");
    EXPECT_EXIT(
        {
            // Registered before the handler's own state exists, so it runs
            // after anything that state would destroy at exit.
            std::atexit(logAtExit);
            logsaver_install_msghandler(logDir, 10);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(logLines(), QStringList({"F T fatal end", "W T at exit"}));
}

// The first of two jobs on one device to finish must not free it, whichever
// threads they run on.
TEST(WorkingDeviceSet, ConcurrentLockersKeepADeviceBusyUntilTheLastOneEnds)
{
    WorkingDeviceSet* reg = WorkingDeviceSet::instance();
    auto first = std::make_unique<WorkingDeviceLocker>("udid-1", QStringLiteral("backup"));
    {
        WorkingDeviceLocker second("udid-1", QStringLiteral("restore"));
        first.reset();
        EXPECT_EQ(reg->get("udid-1"), QVariant(QStringLiteral("restore")));
    }
    EXPECT_FALSE(reg->contains("udid-1"));

    std::atomic<int> sawMissing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, reg, &sawMissing] {
            for (int i = 0; i < 500; ++i) {
                WorkingDeviceLocker shared("shared", t);
                WorkingDeviceLocker own(QString::number(t), i);
                if (!reg->contains("shared") || reg->get(QString::number(t)) != QVariant(i))
                    ++sawMissing;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(sawMissing.load(), 0);
    EXPECT_FALSE(reg->contains("shared") || reg->contains("0"));
    EXPECT_EQ(thread_sleep(-1), 0u); // not an almost endless unsigned sleep
}


// The language chosen last time is read back from the data folder at the next
// start; Chinese of Hong Kong, Taiwan, Macao and Singapore reads the
// traditional translation, other Chinese the English one.
TEST(TransLocale, TheSavedLanguageIsShownFromTheNextStartAndAGivenOneWins)
{
    ScopedDataHome home;
    const auto yes = [] { return QCoreApplication::translate("QObject", "Yes"); };
    const std::pair<const char*, const char*> saved[] = {
        {"JA_jp", "はい"}, {"zh_HK", "是"}, {"zh_sg", "是"}, {"zh_TW\n", "Yes"}, {"zh_CN", "Yes"}, {"", "Yes"}};
    for (const auto& [file, shown] : saved) {
        translocale_saveLocale(QString::fromUtf8(file));
        translocale_set(QString());
        EXPECT_EQ(yes(), QString::fromUtf8(shown)) << file;
    }
    translocale_saveLocale("ja_JP");
    translocale_set("zh_MO");
    EXPECT_EQ(yes(), QString::fromUtf8("是"));
    translocale_set("en_US"); // later tests expect English
    EXPECT_EQ(yes(), "Yes");
}

} // namespace
