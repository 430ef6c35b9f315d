#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"

#include <atomic>
#include <functional>

#include "foundation/errorreport.h"
#include "foundation/messagebox.h"
#include "foundation/operationlocker.h"
#include "foundation/progressform.h"

namespace {

class Worker : public QThread
{
public:
    explicit Worker(std::function<void()> body)
        : m_body(std::move(body))
    {
    }
    ~Worker() override { wait(); }

protected:
    void run() override { m_body(); }

private:
    std::function<void()> m_body;
};

QString statusText(ProgressForm& f)
{
    return f.findChild<QLabel*>("lbStatus")->text();
}
QString progressText(ProgressForm& f)
{
    return f.findChild<QLabel*>("lbProgress")->text();
}
int barValue(ProgressForm& f)
{
    return f.findChild<QProgressBar*>("progressBar")->value();
}
QPushButton* cancelButton(ProgressForm& f)
{
    return f.findChild<QPushButton*>("btnCancel");
}

int colourCount(const QImage& image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    return colours.size();
}

class ProgressFormTest : public ::testing::Test
{
protected:
    // No test here may reach a real server through an error notice.
    void SetUp() override { errorReport_setServer(QString(), 0); }
};

TEST_F(ProgressFormTest, IsBuiltAsTheFormDescribes)
{
    ProgressForm form("Copying");
    EXPECT_EQ(form.objectName(), "ProgressForm");
    EXPECT_EQ(form.windowTitle(), "Copying");
    EXPECT_EQ(statusText(form), "Copying");
    EXPECT_EQ(form.size(), QSize(350, 122));
    EXPECT_EQ(form.windowFlags(), Qt::Dialog | Qt::FramelessWindowHint);
    EXPECT_FALSE(form.styleSheet().isEmpty());
    EXPECT_EQ(cancelButton(form)->text(), "Cancel");
    EXPECT_EQ(cancelButton(form)->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(cancelButton(form)->geometry(), QRect(130, 90, 75, 23));
    EXPECT_EQ(barValue(form), 0);
    EXPECT_FALSE(form.cancelled);
    EXPECT_FALSE(form.tipsWaiting);
    form.setCancelable(false);
    EXPECT_FALSE(cancelButton(form)->isEnabled());
    form.invokeSetCancelBtnText("Stop");
    EXPECT_EQ(cancelButton(form)->text(), "Stop");
}

TEST_F(ProgressFormTest, ProgressKeepsStatusAndBarForEmptyOrNegativeValues)
{
    ProgressForm form("Title");
    form.updateProgress("", -1, "");
    EXPECT_EQ(statusText(form), "Title");
    EXPECT_EQ(barValue(form), 0);
    EXPECT_EQ(progressText(form), "Progress:0%");

    form.updateProgress("Reading", 40, "12 of 30");
    EXPECT_EQ(statusText(form), "Reading");
    EXPECT_EQ(barValue(form), 40);
    EXPECT_EQ(progressText(form), "12 of 30");

    form.updateProgress("", -1, "");
    EXPECT_EQ(statusText(form), "Reading");
    EXPECT_EQ(barValue(form), 40);
    EXPECT_EQ(progressText(form), "Progress:40%");

    form.updateProgress("", 150, "");
    EXPECT_EQ(progressText(form), "Progress:150%");
}

TEST_F(ProgressFormTest, EscEnterAcceptRejectAndCloseLeaveItOpen)
{
    ModalDriver driver; // would answer a cancel question, which must not come
    ProgressForm form("busy");
    bool stillOpen = true;
    QTimer::singleShot(0, &form, [&] {
        QTest::keyClick(&form, Qt::Key_Escape);
        QTest::keyClick(&form, Qt::Key_Return);
        QTest::keyClick(&form, Qt::Key_Enter);
        form.accept();
        form.reject();
        form.close();
        stillOpen = form.isVisible();
        form.invokeSucceed("");
    });
    EXPECT_EQ(form.exec(), 1);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(driver.answered(), 0);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, WorkerSuccessWithEmptyMessageClosesWithOneAndNoNotice)
{
    ModalDriver driver;
    ProgressForm form("t");
    Worker worker([&] {
        for (int i = 0; i <= 100; ++i)
            form.invokeUpdateProgress("step", i, "");
        form.invokeSucceed("");
    });
    EXPECT_EQ(form.runWorker(worker), 1);
    EXPECT_TRUE(form.waitForThread(worker, true));
    EXPECT_EQ(driver.answered(), 0);
    EXPECT_FALSE(form.cancelled);
    // Progress queued before the success has been shown.
    EXPECT_EQ(barValue(form), 100);
    EXPECT_EQ(progressText(form), "Progress:100%");
}

TEST_F(ProgressFormTest, WorkerSuccessMessageIsShownBeforeTheWindowCloses)
{
    ModalDriver driver;
    bool visibleDuringNotice = false;
    ProgressForm form("t");
    driver.handle([&](QMessageBox* box) {
        visibleDuringNotice = form.isVisible();
        box->button(QMessageBox::Ok)->click();
    });
    Worker worker([&] { form.invokeSucceed("Done: 3 chats"); });
    EXPECT_EQ(form.runWorker(worker), 1);
    form.waitForThread(worker, true);
    ASSERT_EQ(driver.answered(), 1);
    EXPECT_EQ(driver.texts[0], "Done: 3 chats");
    EXPECT_TRUE(visibleDuringNotice);
}

TEST_F(ProgressFormTest, WorkerErrorTextArrivesByteForByteAndClosesWithZeroAfterTheNotice)
{
    const QString message = QString::fromUtf8("\xe8\xae\x80\xe5\x8f\x96\xe5\xa4\xb1\xe6\x95\x97: "
                                              "\xe3\x83\x88\xe3\x83\xbc\xe3\x82\xaf \xf0\x9f\x98\x80 \xc3\xa9\xcc\x81");
    ModalDriver driver;
    bool visibleDuringNotice = false;
    ProgressForm form("t");
    driver.handle([&](QMessageBox* box) {
        visibleDuringNotice = form.isVisible() && !form.cancelled;
        box->button(QMessageBox::Ok)->click();
    });
    Worker worker([&] { form.invokeErrorOccurred(message); });
    EXPECT_EQ(form.runWorker(worker), 0);
    form.waitForThread(worker, true);
    ASSERT_EQ(driver.answered(), 1);
    EXPECT_TRUE(driver.texts[0].contains("<br/><br/>" + message + "<br/><br/>"));
    EXPECT_TRUE(visibleDuringNotice);
    EXPECT_TRUE(form.cancelled);
}

TEST_F(ProgressFormTest, CancelAnsweredNoChangesNothing)
{
    ModalDriver driver;
    driver.answer(QMessageBox::No);
    ProgressForm form("t");
    int cancels = 0;
    QObject::connect(&form, &ProgressForm::userCancel, [&] { ++cancels; });
    std::atomic<bool> answered{false};
    Worker worker([&] {
        while (!answered)
            QThread::msleep(5);
        form.invokeSucceed("");
    });
    QTimer::singleShot(0, &form, [&] {
        cancelButton(form)->pressed();
        // The question has been answered No by now.
        answered = true;
    });
    EXPECT_EQ(form.runWorker(worker), 1);
    form.waitForThread(worker, true);
    EXPECT_EQ(driver.answered(), 1);
    EXPECT_EQ(driver.texts[0], "Are You Sure You Want To Cancel?");
    EXPECT_EQ(cancels, 0);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, CancelYesSignalsFirstAndAWorkerThatIgnoresItIsAwaitedNotKilled)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Yes);
    ProgressForm form("t");
    bool openWhenSignalled = false;
    QObject::connect(&form, &ProgressForm::userCancel, [&] { openWhenSignalled = form.isVisible(); });
    std::atomic<bool> sawCancel{false}, ranToTheEnd{false};
    Worker worker([&] {
        while (!form.cancelled) {
            form.invokeUpdateProgress("", -1, "");
            QThread::msleep(2);
        }
        sawCancel = true;
        // Ignores the cancel for a while, as a worker finishing an item does;
        // it must be waited for, not terminated.
        QThread::msleep(1500);
        ranToTheEnd = true;
    });
    QTimer::singleShot(0, &form, [&] { cancelButton(form)->pressed(); });
    EXPECT_EQ(form.runWorker(worker), 0);
    EXPECT_TRUE(openWhenSignalled);
    EXPECT_TRUE(form.cancelled);
    EXPECT_TRUE(form.waitForThread(worker, true));
    EXPECT_TRUE(worker.isFinished());
    EXPECT_TRUE(sawCancel);
    EXPECT_TRUE(ranToTheEnd);
}

TEST_F(ProgressFormTest, SuccessWhileTheCancelQuestionIsOpenStaysASuccess)
{
    ModalDriver driver;
    ProgressForm form("t");
    int cancels = 0;
    QObject::connect(&form, &ProgressForm::userCancel, [&] { ++cancels; });
    std::atomic<bool> finish{false};
    Worker worker([&] {
        while (!finish)
            QThread::msleep(2);
        form.invokeSucceed("");
    });
    driver.handle([&](QMessageBox* box) {
        // The worker succeeds while the user still reads the question.
        finish = true;
        spinUntil([&] { return !form.isVisible(); });
        box->button(QMessageBox::Yes)->click();
    });
    QTimer::singleShot(0, &form, [&] { cancelButton(form)->pressed(); });
    EXPECT_EQ(form.runWorker(worker), 1);
    form.waitForThread(worker, true);
    EXPECT_EQ(driver.answered(), 1);
    EXPECT_EQ(cancels, 0);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, WorkerThatEndsWithoutAResultClosesTheWindowWithZero)
{
    ModalDriver driver;
    ProgressForm form("t");
    Worker worker([&] { form.invokeUpdateProgress("half", 50, ""); });
    EXPECT_EQ(form.runWorker(worker), 0);
    EXPECT_TRUE(form.waitForThread(worker, true));
    EXPECT_TRUE(form.cancelled);
    EXPECT_EQ(driver.answered(), 0);
    EXPECT_EQ(statusText(form), "half");

    // Also when the thread had already ended before the window watched it.
    ProgressForm late("t");
    Worker quick([] {});
    quick.start();
    quick.wait();
    late.watchThread(quick);
    EXPECT_EQ(late.exec(), 0);
}

TEST_F(ProgressFormTest, ProgressFromAChattyWorkerIsCoalescedNotQueuedPerCall)
{
    ProgressForm form("t");
    class MetaCallCounter : public QObject
    {
    public:
        int calls = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::MetaCall)
                ++calls;
            return false;
        }
    } counter;
    form.installEventFilter(&counter);
    Worker worker([&] {
        for (int i = 0; i < 20000; ++i)
            form.invokeUpdateProgress(i == 5 ? "phase two" : QString(), i / 200, "");
        form.invokeUpdateProgress("", -1, "last item");
    });
    worker.start();
    worker.wait(); // the GUI thread delivers nothing meanwhile
    QCoreApplication::processEvents();
    EXPECT_LE(counter.calls, 2);
    EXPECT_EQ(statusText(form), "phase two");
    EXPECT_EQ(barValue(form), 99);
    EXPECT_EQ(progressText(form), "last item");
}

TEST_F(ProgressFormTest, QueuedProgressNeverOvertakesALaterCall)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    ProgressForm form("t");
    QList<QPair<int, bool>> seen; // bar value, notice open at that moment
    QObject::connect(form.findChild<QProgressBar*>("progressBar"), &QProgressBar::valueChanged,
                     [&](int v) { seen.append({v, topMessageBox() != nullptr}); });
    std::atomic<bool> issued{false};
    Worker worker([&] {
        form.invokeUpdateProgress("", 10, "");
        form.invokeTipsWait("read me");
        form.invokeUpdateProgress("", 20, "");
        issued = true;
        while (form.tipsWaiting)
            QThread::msleep(2);
        form.invokeSucceed("");
    });
    form.watchThread(worker);
    worker.start();
    while (!issued) // all three calls wait in the queue before any is delivered
        QThread::msleep(1);
    EXPECT_EQ(form.exec(), 1);
    form.waitForThread(worker, true);
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[0], qMakePair(10, false));
    EXPECT_EQ(seen[1], qMakePair(20, true));
    EXPECT_EQ(driver.texts, QStringList{"read me"});
    EXPECT_FALSE(form.tipsWaiting);
}

TEST_F(ProgressFormTest, WithoutAModalLoopCallsRunAtOnceAndAResultHidesTheForm)
{
    ProgressForm form("search");
    form.setVisible(true);
    form.invokeUpdateProgress("row 7", 7, "");
    EXPECT_EQ(statusText(form), "row 7");
    EXPECT_EQ(barValue(form), 7);
    form.invokeSucceed("");
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), 1);
}

TEST_F(ProgressFormTest, ScreenshotsOfTheWindowAndOfANoticeAreNotBlank)
{
    ProgressForm form("Exporting chats");
    form.updateProgress("Exporting chats", 42, "");
    form.show();
    const QImage shot = form.grab().toImage();
    EXPECT_EQ(shot.size(), QSize(350, 122));
    EXPECT_GT(colourCount(shot), 1);

    auto box = g_messageBox(QMessageBox::Information, "Backup finished.", QMessageBox::Ok, nullptr, true);
    box->show();
    const QImage notice = box->grab().toImage();
    EXPECT_GT(colourCount(notice), 1);
    box->hide();
}

TEST(OperationLocker, SecondOverlappingLockerFailsAndLeavesTheFirstLockInPlace)
{
    {
        OperationLocker first;
        EXPECT_TRUE(first.locked);
        {
            OperationLocker second;
            EXPECT_FALSE(second.locked);
        }
        // The failed locker released nothing.
        EXPECT_FALSE(OperationLocker::mutex().tryLock());
        std::atomic<bool> otherThread{true};
        Worker other([&] {
            OperationLocker fromThere;
            otherThread = fromThere.locked;
        });
        other.start();
        other.wait();
        EXPECT_FALSE(otherThread);
    }
    OperationLocker again;
    EXPECT_TRUE(again.locked);
    EXPECT_EQ(&OperationLocker::mutex(), &OperationLocker::mutex());
}

} // namespace
