#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/logsaver.h"

#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

namespace {

// The child of a "threadsafe" death test runs the test again from the start;
// the parent's folder reaches it through the environment.
constexpr char kChildLogDir[] = "CHATFERRY_TEST_CHILD_LOG_DIR";

class LogSaverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (!qEnvironmentVariableIsSet(kChildLogDir)) {
            qputenv(kChildLogDir, QFile::encodeName(dir.filePath("qlogs")));
            ownsVariable = true;
        }
        logDir = qEnvironmentVariable(kChildLogDir);
    }
    void TearDown() override
    {
        if (ownsVariable)
            qunsetenv(kChildLogDir);
        qInstallMessageHandler(nullptr);
    }

    // Every line of every log file (a test across midnight writes two).
    QList<QByteArray> logLines() const
    {
        QByteArray all;
        for (const QString& name : QDir(logDir).entryList({"log-*.txt"}, QDir::Files, QDir::Name)) {
            EXPECT_TRUE(QRegularExpression("^log-\\d{8}\\.txt$").match(name).hasMatch()) << name.toStdString();
            all += testenv::readFile(QDir(logDir).filePath(name));
        }
        QList<QByteArray> lines = all.split('\n');
        lines.removeLast();
        return lines;
    }

    QTemporaryDir dir;
    QString logDir;
    bool ownsVariable = false;
};

TEST_F(LogSaverTest, InstallingKeepsTheNewestFilesOnly)
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
}

TEST_F(LogSaverTest, LinesCarryTypeTimeAndTheMessageAndAFolderThatCannotBeMadeLosesThemQuietly)
{
    logsaver_install_msghandler(logDir, 10);
    qWarning("x");
    qInfo("info");
    ASSERT_TRUE(QDir(logDir).removeRecursively()); // made again
    qDebug("debug \xE6\x97\xA5\xE6\x9C\xAC");
    const QList<QByteArray> lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(QRegularExpression("^\\(D \\d\\d:\\d\\d:\\d\\d\\) debug \u65E5\u672C$")
                    .match(QString::fromUtf8(lines[0]))
                    .hasMatch())
        << lines[0].toStdString();

    // A plain file where the folder should be: the handler must neither
    // recurse nor hang.
    ASSERT_TRUE(QDir(logDir).removeRecursively());
    ASSERT_TRUE(testenv::writeFile(logDir, "not a folder"));
    qWarning("lost");
    EXPECT_EQ(testenv::readFile(logDir), "not a folder");
    ASSERT_TRUE(QFile::remove(logDir));
    qCritical("kept");
    ASSERT_EQ(logLines().size(), 1);
    EXPECT_TRUE(QRegularExpression("^\\(C \\d\\d:\\d\\d:\\d\\d\\) kept$").match(QString::fromUtf8(logLines()[0])).hasMatch());
}

TEST_F(LogSaverTest, EightThreadsAtOnceNeitherMixNorLoseLines)
{
    logsaver_install_msghandler(logDir, 10);
    const QByteArray filler(3000, 'f'); // long lines make a torn write easy to see
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &filler] {
            for (int n = 0; n < 200; ++n)
                qWarning("t%d n%d %s end", t, n, filler.constData());
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const QRegularExpression shape(QRegularExpression::anchoredPattern(R"(\(W \d\d:\d\d:\d\d\) t(\d) n(\d+) f{3000} end)"));
    std::set<std::pair<int, int>> seen;
    for (const QByteArray& line : logLines()) {
        const QRegularExpressionMatch m = shape.match(QString::fromLatin1(line));
        ASSERT_TRUE(m.hasMatch()) << line.left(80).toStdString();
        seen.insert({m.captured(1).toInt(), m.captured(2).toInt()});
    }
    EXPECT_EQ(seen.size(), 1600u);
    EXPECT_EQ(logLines().size(), 1600);
}

// Messages keep coming while the process tears its statics down; the handler
// must still know its folder then.
void logAtExit()
{
    qWarning("at exit");
}

TEST_F(LogSaverTest, AFatalMessageIsTheLastLineBeforeTheAbortAndMessagesDuringExitAreWritten)
{
    EXPECT_DEATH(
        {
            logsaver_install_msghandler(logDir, 10);
            qFatal("fatal end");
        },
        "");
    ASSERT_EQ(logLines().size(), 1);
    EXPECT_TRUE(logLines()[0].startsWith("(F ") && logLines()[0].endsWith(") fatal end"));
    EXPECT_EXIT(
        {
            // Registered before the handler's own state exists, so it runs
            // after anything that state would destroy at exit.
            std::atexit(logAtExit);
            logsaver_install_msghandler(logDir, 10);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    ASSERT_EQ(logLines().size(), 2);
    EXPECT_TRUE(logLines()[1].endsWith(") at exit"));
}

} // namespace
