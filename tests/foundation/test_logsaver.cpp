#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include "foundation/logsaver.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <set>
#include <thread>
#include <vector>

namespace {

class LogSaverTest : public ::testing::Test
{
protected:
    void TearDown() override { qInstallMessageHandler(nullptr); }

    QString logDir() const { return dir.filePath("qlogs"); }

    // Every line of every log file; a test that runs across midnight writes
    // into two files.
    QList<QByteArray> logLines() const
    {
        QByteArray all;
        const QFileInfoList files = QDir(logDir()).entryInfoList({"log-*.txt"}, QDir::Files, QDir::Name);
        for (const QFileInfo& file : files) {
            EXPECT_TRUE(QRegularExpression("^log-\\d{8}\\.txt$").match(file.fileName()).hasMatch()) << file.fileName().toStdString();
            QFile f(file.absoluteFilePath());
            if (f.open(QIODevice::ReadOnly))
                all += f.readAll();
        }
        QList<QByteArray> lines = all.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    void makeFiles(const QStringList& names)
    {
        ASSERT_TRUE(QDir().mkpath(logDir()));
        for (const QString& name : names)
            ASSERT_TRUE(QFile(QDir(logDir()).filePath(name)).open(QIODevice::WriteOnly));
    }

    QStringList remaining() const
    {
        return QDir(logDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir dir;
};

QStringList dayFiles(int first, int last)
{
    QStringList names;
    for (int day = first; day <= last; ++day)
        names << QString::asprintf("log-202401%02d.txt", day);
    return names;
}

TEST_F(LogSaverTest, InstallingKeepsTheNewestFilesOnly)
{
    // Every plain file counts whatever its name; folders and hidden files do not.
    makeFiles(dayFiles(1, 12) + QStringList{".hidden"});
    ASSERT_TRUE(QDir(logDir()).mkdir("a-folder"));
    logsaver_install_msghandler(logDir(), 10);
    EXPECT_EQ(remaining(), QStringList({".hidden", "a-folder"}) + dayFiles(3, 12));
    logsaver_install_msghandler(logDir(), 10);
    EXPECT_EQ(remaining().size(), 12);

    makeFiles({"zz-notes.txt"});
    logsaver_install_msghandler(logDir(), 2);
    EXPECT_EQ(remaining(), QStringList({".hidden", "a-folder", "log-20240112.txt", "zz-notes.txt"}));

    logsaver_install_msghandler(dir.filePath("missing"), 10);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("missing")));
}

TEST_F(LogSaverTest, LinesCarryTypeTimeAndTheUtf8Message)
{
    logsaver_install_msghandler(logDir(), 10);
    qWarning("x");
    qCritical("%s", "critical one");
    qInfo("info");
    qDebug("debug \xE6\x97\xA5\xE6\x9C\xAC");
    const QList<QByteArray> lines = logLines();
    ASSERT_EQ(lines.size(), 4);
    const char* shapes[] = {R"(\(W \d\d:\d\d:\d\d\) x)", R"(\(C \d\d:\d\d:\d\d\) critical one)",
                            R"(\(\d\d:\d\d:\d\d\) info)", "\\(D \\d\\d:\\d\\d:\\d\\d\\) debug \xE6\x97\xA5\xE6\x9C\xAC"};
    for (int i = 0; i < 4; ++i) {
        const QRegularExpression shape(QRegularExpression::anchoredPattern(QString::fromUtf8(shapes[i])));
        EXPECT_TRUE(shape.match(QString::fromUtf8(lines[i])).hasMatch()) << lines[i].toStdString();
    }
}

TEST_F(LogSaverTest, AMissingFolderIsMadeAgainAndABlockedOneLosesLinesQuietly)
{
    logsaver_install_msghandler(logDir(), 10);
    qWarning("first");
    ASSERT_TRUE(QDir(logDir()).removeRecursively());
    qWarning("second");
    const QList<QByteArray> lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(") second"));

    // A plain file where the folder should be: neither the folder nor the log
    // file can be made, and the handler must neither recurse nor hang.
    ASSERT_TRUE(QDir(logDir()).removeRecursively());
    QFile blocker(logDir());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a folder");
    blocker.close();
    for (int i = 0; i < 3; ++i)
        qWarning("lost %d", i);
    EXPECT_EQ(blocker.size(), qint64(12));
    ASSERT_TRUE(blocker.remove());
    qWarning("kept");
    ASSERT_EQ(logLines().size(), 1);
}

// Standard output redirected into a file for as long as it lives.
class CapturedStdout
{
public:
    explicit CapturedStdout(const QString& path)
    {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~CapturedStdout()
    {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

// Checks that every line is one whole message of the given shape and that
// each (thread, number) pair comes exactly once.
void expectWholeLines(const QList<QByteArray>& lines, const QString& pattern, int threads, int perThread)
{
    const QRegularExpression shape(QRegularExpression::anchoredPattern(pattern));
    std::set<std::pair<int, int>> seen;
    for (const QByteArray& line : lines) {
        const QRegularExpressionMatch m = shape.match(QString::fromLatin1(line));
        ASSERT_TRUE(m.hasMatch()) << line.left(80).toStdString();
        EXPECT_TRUE(seen.insert({m.captured(1).toInt(), m.captured(2).toInt()}).second);
    }
    EXPECT_EQ(lines.size(), threads * perThread);
    EXPECT_EQ(seen.size(), size_t(threads * perThread));
}

TEST_F(LogSaverTest, EightThreadsAtOnceNeitherMixNorLoseLines)
{
    logsaver_install_msghandler(logDir(), 10);
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    // Long lines make a torn or interleaved write easy to see. Debug messages
    // also go to standard output, where the text and its line feed are two
    // writes.
    const QByteArray filler(3000, 'f');
    const QString stdoutFile = dir.filePath("stdout.txt");
    {
        CapturedStdout capture(stdoutFile);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &filler] {
                for (int n = 0; n < kLines; ++n)
                    qDebug("t%d n%d %s end", t, n, filler.constData());
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    }

    expectWholeLines(logLines(), R"(\(D \d\d:\d\d:\d\d\) t(\d) n(\d+) f{3000} end)", kThreads, kLines);

    QFile out(stdoutFile);
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    QList<QByteArray> outLines = out.readAll().split('\n');
    ASSERT_EQ(outLines.takeLast(), QByteArray());
    expectWholeLines(outLines, R"(t(\d) n(\d+) f{3000} end)", kThreads, kLines);
}

// The child of a "threadsafe" death test runs the test again from the start,
// with its own fixture; the parent's folder reaches it through the environment.
constexpr char kChildLogDir[] = "CHATFERRY_TEST_CHILD_LOG_DIR";

class LogSaverDeathTest : public LogSaverTest
{
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (!qEnvironmentVariableIsSet(kChildLogDir)) {
            qputenv(kChildLogDir, QFile::encodeName(logDir()));
            ownsVariable = true;
        }
        childLogDir = qEnvironmentVariable(kChildLogDir);
    }
    void TearDown() override
    {
        if (ownsVariable)
            qunsetenv(kChildLogDir);
        LogSaverTest::TearDown();
    }
    QString childLogDir;
    bool ownsVariable = false;
};

TEST_F(LogSaverDeathTest, AFatalMessageIsTheLastLineBeforeTheAbort)
{
    EXPECT_DEATH(
        {
            logsaver_install_msghandler(childLogDir, 10);
            qWarning("before");
            qFatal("fatal end");
        },
        "");
    const QList<QByteArray> lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(") before"));
    EXPECT_TRUE(lines[1].startsWith("(F "));
    EXPECT_TRUE(lines[1].endsWith(") fatal end"));
}

// Messages keep coming while the process tears its statics down; the handler
// must still know its folder then.
void logAtExit()
{
    qWarning("at exit");
}

TEST_F(LogSaverDeathTest, MessagesDuringExitAreStillWritten)
{
    EXPECT_EXIT(
        {
            // Registered before the handler's own state exists, so it runs
            // after anything that state would destroy at exit.
            std::atexit(logAtExit);
            logsaver_install_msghandler(childLogDir, 10);
            qWarning("running");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const QList<QByteArray> lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(") running"));
    EXPECT_TRUE(QRegularExpression(R"(^\(W \d\d:\d\d:\d\d\) at exit$)").match(QString::fromLatin1(lines[1])).hasMatch())
        << lines[1].toStdString();
}

} // namespace
