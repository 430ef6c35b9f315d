// The framed pipe to a helper process, with sh as the real child at the other end.
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include "device/mobiledevice_pipe.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace {

QByteArray frame(const QByteArray& body, qint64 length = -1)
{
    const quint32 n = quint32(length < 0 ? body.size() : length);
    return QByteArray(reinterpret_cast<const char*>(&n), 4) + body;
}

// Runs `script` in sh as a real child process, with the files "0", "1", ...
// in its folder, the descriptor numbers of the pipe's request end as $1 and
// of its response end as $2 (opened as /dev/fd/N), and `arg` as $3.
struct Child
{
    Child(const mobiledevice_pipe& pipe, const QString& script, const QList<QByteArray>& files, qint64 arg = 0)
    {
        for (int i = 0; i < files.size(); ++i)
            EXPECT_TRUE(testenv::writeFile(dir.filePath(QString::number(i)), files[i]));
        process.setWorkingDirectory(dir.path());
        const QStringList fds {pipe.requestReadFd(), pipe.responseWriteFd()};
        process.start("/bin/sh", QStringList {"-c", script, "sh"} + fds + QStringList {QString::number(arg)});
        EXPECT_TRUE(process.waitForStarted());
    }
    // Waits until the script has touched `name`, so that no case races the child's start-up.
    bool waitFor(const QString& name) const
    {
        for (int i = 0; i < 1000 && !QFileInfo::exists(dir.filePath(name)); ++i)
            QThread::msleep(10);
        return QFileInfo::exists(dir.filePath(name));
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished();
    }
    QTemporaryDir dir;
    QProcess process;
};

TEST(MobiledevicePipe, FramesRequestsAndResponsesBothWays)
{
    // More than a pipe holds, so the request goes out in several writes.
    const PlistCFType request = PlistCFType::createCFString(QString(300000, 'z'));
    PlistCFType binary = PlistCFType::createCFArray();
    binary.append(PlistCFType::createCFNumberInt32(7));
    mobiledevice_pipe pipe(5000);
    ASSERT_TRUE(pipe.create());
    // The child echoes the framed request byte for byte, then answers three times.
    const QList<QByteArray> files {frame(binary.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0)), frame({}, 0)};
    const qint64 requestSize = request.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0).size() + 4;
    Child child(pipe, "head -c $3 /dev/fd/$1 >req; cat req 0 1 0 >/dev/fd/$2", files, requestSize);
    ASSERT_TRUE(pipe.writeRequest(request));
    EXPECT_EQ(pipe.readReponse().CFStringQString(), request.CFStringQString());
    EXPECT_EQ(pipe.readReponse().at(0).CFNumberInt(0), 7);
    EXPECT_TRUE(pipe.readReponse().isNull()); // a zero length reads nothing further
    EXPECT_EQ(pipe.readReponse().at(0).CFNumberInt(0), 7);
    EXPECT_FALSE(pipe.isBroken());
}

TEST(MobiledevicePipe, LateAnswersCutMessagesAndBadLengthsBreakThePipeUntilClosed)
{
    const QByteArray ok = PlistCFType::createCFString("ok").CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    const QList<QByteArray> files = {frame(ok), frame("x", 0xFFFFFFF0u)};
    const QString late = "; touch ready; sleep 1; tail -c +%1 0 >/dev/fd/$2; cat 0 >/dev/fd/$2; touch done";
    const struct { int timeoutMs; QString script; bool answered; QString broken; } cases[] = {
        // An answer that comes after the time-out would answer the next request.
        {100, "touch ready; sleep 0.5; cat 0 >/dev/fd/$2; touch done", false, "no response arrived within 100 ms"},
        {0, "sleep 0.3; cat 0 >/dev/fd/$2", true, ""},
        {2000, "cat 1 >/dev/fd/$2; touch ready; cat 0 >/dev/fd/$2; touch done", false,
         "a response announced 4294967280 bytes, more than allowed"},
        {150, "head -c 2 0 >/dev/fd/$2" + late.arg(3), false, "a response was cut off in its length"},
        {150, "head -c 9 0 >/dev/fd/$2" + late.arg(10), false, "a response was cut off in its middle"},
    };
    for (const auto& c : cases) {
        mobiledevice_pipe pipe(c.timeoutMs);
        ASSERT_TRUE(pipe.create());
        Child child(pipe, c.script, files);
        ASSERT_TRUE(c.broken.isEmpty() || child.waitFor("ready"));
        EXPECT_EQ(pipe.readReponse().CFStringQString(), c.answered ? "ok" : "") << c.script.toStdString();
        EXPECT_EQ(pipe.errorString(), c.broken);
        if (c.broken.isEmpty())
            continue;
        // What arrives later is never taken for a new message.
        ASSERT_TRUE(child.waitFor("done"));
        EXPECT_TRUE(pipe.readReponse().isNull());
        EXPECT_FALSE(pipe.writeRequest(PlistCFType::createCFString("next")));
        pipe.close();
        EXPECT_FALSE(pipe.isBroken());
    }
}

TEST(MobiledevicePipe, AChildDolingOutOneByteAtATimeDoesNotStretchTheTimeOut)
{
    const QByteArray ok = PlistCFType::createCFString("ok").CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
    // $3 bytes at once, then one byte at a time, each well within the
    // time-out; all of them take seconds.
    const QString dribble = "head -c $3 0 >/dev/fd/$2; touch ready; i=$(($3+1)); while [ $i -le $(wc -c <0) ]; "
                            "do tail -c +$i 0 | head -c 1 >/dev/fd/$2; sleep 0.1; i=$((i+1)); done";
    const struct { int atOnce; bool raw; QString broken; } cases[] = {
        {0, false, "a response was cut off in its length"},
        {4, false, "a response was cut off in its middle"},
        {0, true, ""},
    };
    for (const auto& c : cases) {
        mobiledevice_pipe pipe(200);
        ASSERT_TRUE(pipe.create());
        Child child(pipe, dribble, {frame(ok)}, c.atOnce);
        ASSERT_TRUE(child.waitFor("ready"));
        QElapsedTimer clock;
        clock.start();
        char buffer[64];
        if (c.raw) {
            const int got = pipe.read(buffer, sizeof buffer);
            EXPECT_GT(got, 0);
            EXPECT_LT(got, int(sizeof buffer));
        } else {
            EXPECT_TRUE(pipe.readReponse().isNull());
        }
        EXPECT_LT(clock.elapsed(), 2000) << c.atOnce << c.raw;
        EXPECT_EQ(pipe.errorString(), c.broken);
    }
}

} // namespace
