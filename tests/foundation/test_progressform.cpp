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
#include <tuple>

#include "foundation/errorreport.h"
#include "foundation/messagebox.h"
#include "foundation/operationlocker.h"
#include "foundation/progressform.h"

namespace {

class Worker : public QThread
{
public:
    explicit Worker(std::function<void()> body) : m_body(std::move(body)) {}
    ~Worker() override { wait(); }

protected:
    void run() override { m_body(); }

private:
    std::function<void()> m_body;
};

QProgressBar* bar(ProgressForm& f)
{
    return f.findChild<QProgressBar*>("progressBar");
}
void pressCancel(ProgressForm& f)
{
    emit f.findChild<QPushButton*>("btnCancel")->pressed();
}

// "status|bar|progress text" as the window shows them.
QString shown(ProgressForm& f)
{
    return f.findChild<QLabel*>("lbStatus")->text() + '|' + QString::number(bar(f)->value()) + '|'
           + f.findChild<QLabel*>("lbProgress")->text();
}

// Runs body as the form's worker and waits for it; the window's result.
int run(ProgressForm& form, std::function<void()> body)
{
    Worker worker(std::move(body));
    const int result = form.runWorker(worker);
    EXPECT_TRUE(form.waitForThread(worker, true));
    EXPECT_TRUE(worker.isFinished());
    return result;
}

// A worker that succeeds once `go` is set.
std::function<void()> succeedWhen(ProgressForm& form, const std::atomic<bool>& go)
{
    return [&form, &go] {
        while (!go)
            QThread::msleep(2);
        form.invokeSucceed("");
    };
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
    void SetUp() override
    {
        errorReport_setServer(QString(), 0);
        QObject::connect(&form, &ProgressForm::userCancel, [this] { ++cancels; });
    }

    ModalDriver driver;
    ProgressForm form{"t"};
    int cancels = 0;
};

TEST_F(ProgressFormTest, EmptyOrNegativeValuesKeepStatusAndBarAndCallsOnTheGuiThreadRunAtOnce)
{
    for (const auto& [status, percent, text, expected] : {
             std::make_tuple("", -1, "", "t|0|Progress:0%"),
             std::make_tuple("Reading", 40, "12 of 30", "Reading|40|12 of 30"),
             std::make_tuple("", -1, "", "Reading|40|Progress:40%"),
         }) {
        form.updateProgress(status, percent, text);
        EXPECT_EQ(shown(form), expected);
    }
    form.setVisible(true);
    form.invokeUpdateProgress("row 7", 7, "");
    EXPECT_EQ(shown(form), "row 7|7|Progress:7%");
    form.invokeSucceed("");
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), 1);
}

TEST_F(ProgressFormTest, EscEnterAcceptRejectAndCloseLeaveItOpen)
{
    bool stillOpen = true;
    QTimer::singleShot(0, &form, [&] {
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(&form, key);
        form.accept();
        form.reject();
        form.close();
        stillOpen = form.isVisible();
        form.invokeSucceed("");
    });
    EXPECT_EQ(form.exec(), 1);
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, AWorkersResultIsShownWhileTheWindowIsOpenAndDecidesHowItCloses)
{
    const QString error = QString::fromUtf8("讀取失敗: トーク 😀 é\u0301"); // a combining accent too
    const struct
    {
        std::function<void(ProgressForm&)> body;
        int result;
        QString notice; // part of the notice's text; empty when none may come
    } cases[] = {
        {[](ProgressForm& f) { f.invokeSucceed("Done: 3 chats"); }, 1, "Done: 3 chats"},
        {[&](ProgressForm& f) { f.invokeErrorOccurred(error); }, 0, "<br/><br/>" + error + "<br/><br/>"},
        // Progress queued before the success is shown first.
        {[](ProgressForm& f) {
             for (int i = 0; i <= 100; ++i)
                 f.invokeUpdateProgress("step", i, "");
             f.invokeSucceed("");
         },
         1, ""},
        // Ending without a result must not leave the modal loop running.
        {[](ProgressForm& f) { f.invokeUpdateProgress("step", 100, ""); }, 0, ""},
    };
    for (const auto& c : cases) {
        ModalDriver answers;
        ProgressForm f("t");
        bool openDuringNotice = false;
        answers.handle([&](QMessageBox* box) {
            openDuringNotice = f.isVisible() && !f.cancelled;
            box->button(QMessageBox::Ok)->click();
        });
        EXPECT_EQ(run(f, [&] { c.body(f); }), c.result);
        EXPECT_EQ(f.cancelled, c.result == 0);
        if (c.notice.isEmpty()) {
            EXPECT_EQ(answers.answered(), 0);
            EXPECT_EQ(shown(f), "step|100|Progress:100%");
        } else {
            ASSERT_EQ(answers.answered(), 1);
            EXPECT_TRUE(answers.texts[0].contains(c.notice)) << answers.texts[0].toStdString();
            EXPECT_TRUE(openDuringNotice);
        }
    }

    // Also when the thread had already ended before the window watched it.
    Worker quick([] {});
    quick.start();
    quick.wait();
    form.watchThread(quick);
    EXPECT_EQ(form.exec(), 0);
}

TEST_F(ProgressFormTest, CancelAnsweredNoChangesNothing)
{
    driver.answer(QMessageBox::No);
    std::atomic<bool> answered{false};
    QTimer::singleShot(0, &form, [&] {
        pressCancel(form); // answered No by the time it returns
        answered = true;
    });
    EXPECT_EQ(run(form, succeedWhen(form, answered)), 1);
    EXPECT_EQ(driver.texts, QStringList{"Are You Sure You Want To Cancel?"});
    EXPECT_EQ(cancels, 0);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, CancelYesSignalsFirstAndAWorkerThatIgnoresItIsAwaitedNotKilled)
{
    driver.answer(QMessageBox::Yes);
    bool openWhenSignalled = false;
    QObject::connect(&form, &ProgressForm::userCancel, [&] { openWhenSignalled = form.isVisible(); });
    std::atomic<bool> ranToTheEnd{false};
    QTimer::singleShot(0, &form, [&] { pressCancel(form); });
    const int result = run(form, [&] {
        while (!form.cancelled) {
            form.invokeUpdateProgress("", -1, "");
            QThread::msleep(2);
        }
        // Finishing an item after the cancel: awaited, never terminated.
        QThread::msleep(1500);
        ranToTheEnd = true;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(openWhenSignalled);
    EXPECT_TRUE(form.cancelled);
    EXPECT_TRUE(ranToTheEnd);
}

TEST_F(ProgressFormTest, SuccessWhileTheCancelQuestionIsOpenStaysASuccess)
{
    std::atomic<bool> finish{false};
    driver.handle([&](QMessageBox* box) {
        finish = true;
        spinUntil([&] { return !form.isVisible(); });
        box->button(QMessageBox::Yes)->click();
    });
    QTimer::singleShot(0, &form, [&] { pressCancel(form); });
    EXPECT_EQ(run(form, succeedWhen(form, finish)), 1);
    EXPECT_EQ(driver.answered(), 1);
    EXPECT_EQ(cancels, 0);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, ProgressFromAChattyWorkerIsCoalescedNotQueuedPerCall)
{
    int barChanges = 0;
    QObject::connect(bar(form), &QProgressBar::valueChanged, [&] { ++barChanges; });
    Worker worker([&] {
        for (int i = 0; i < 20000; ++i)
            form.invokeUpdateProgress(i == 5 ? "phase two" : QString(), i / 200, "");
        form.invokeUpdateProgress("", -1, "last item");
    });
    worker.start();
    worker.wait(); // the GUI thread delivers nothing meanwhile
    QCoreApplication::processEvents();
    // Delivered per call (or per new percent), the bar would change 99 times.
    EXPECT_LE(barChanges, 2);
    EXPECT_EQ(shown(form), "phase two|99|last item");
}

TEST_F(ProgressFormTest, QueuedProgressNeverOvertakesALaterCall)
{
    driver.answer(QMessageBox::Ok);
    QList<QPair<int, bool>> seen; // bar value, notice open at that moment
    QObject::connect(bar(form), &QProgressBar::valueChanged, [&](int v) { seen.append({v, topMessageBox() != nullptr}); });
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
    EXPECT_EQ(seen, (QList<QPair<int, bool>>{{10, false}, {20, true}}));
    EXPECT_EQ(driver.texts, QStringList{"read me"});
    EXPECT_FALSE(form.tipsWaiting);
}

TEST_F(ProgressFormTest, ScreenshotsOfTheWindowAndOfANoticeAreNotBlank)
{
    form.updateProgress("Exporting chats", 42, "");
    form.show();
    const QImage shot = form.grab().toImage();
    EXPECT_EQ(shot.size(), QSize(350, 122));
    EXPECT_GT(colourCount(shot), 1);

    auto box = g_messageBox(QMessageBox::Information, "Backup finished.", QMessageBox::Ok, nullptr, true);
    box->show();
    EXPECT_GT(colourCount(box->grab().toImage()), 1);
    box->hide();
}

TEST(OperationLocker, SecondOverlappingLockerFailsAndLeavesTheFirstLockInPlace)
{
    {
        OperationLocker first;
        EXPECT_TRUE(first.locked);
        EXPECT_FALSE(OperationLocker().locked);
        // The failed locker released nothing, for this thread or another.
        EXPECT_FALSE(OperationLocker::mutex().tryLock());
        std::atomic<bool> otherThread{true};
        Worker other([&] { otherThread = OperationLocker().locked; });
        other.start();
        other.wait();
        EXPECT_FALSE(otherThread);
    }
    EXPECT_TRUE(OperationLocker().locked);
}

} // namespace
