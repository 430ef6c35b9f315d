#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "tests/support/gtest_qt.h"
#include "tests/support/httptestserver.h"
#include "tests/support/modaldriver.h"

#include "foundation/errorreport.h"
#include "foundation/messagebox.h"
#include "foundation/operationlocker.h"
#include "foundation/progressform.h"
#include "foundation/tips.h"

namespace {

QProgressBar* bar(ProgressForm& f) { return f.findChild<QProgressBar*>("progressBar"); }

void pressCancel(ProgressForm& f) { emit f.findChild<QPushButton*>("btnCancel")->pressed(); }

// "status|bar|progress text" as the window shows them.
QString shown(ProgressForm& f)
{
    return f.findChild<QLabel*>("lbStatus")->text() + '|' + QString::number(bar(f)->value()) + '|'
           + f.findChild<QLabel*>("lbProgress")->text();
}

// Runs body as the form's worker and waits for it; the window's result.
int run(ProgressForm& form, std::function<void()> body)
{
    std::unique_ptr<QThread> worker(QThread::create(std::move(body)));
    const int result = form.runWorker(*worker);
    EXPECT_TRUE(form.waitForThread(*worker, true) && worker->isFinished());
    return result;
}

class ProgressFormTest : public ::testing::Test
{
protected:
    // No test here may reach a real server through an error notice.
    void SetUp() override { errorReport_setServer(QString(), 0); }

    ModalDriver driver;
    ProgressForm form{"t"};
};

// The window closes only by its worker's result or a confirmed cancel.
TEST_F(ProgressFormTest, KeysAndCloseCallsLeaveItOpenAndEmptyValuesKeepWhatIsShown)
{
    bool stillOpen = false;
    QTimer::singleShot(0, &form, [&] {
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return})
            QTest::keyClick(&form, key);
        form.reject();
        form.close();
        stillOpen = form.isVisible();
        form.invokeUpdateProgress("row 7", 7, ""); // on the GUI thread: at once
        form.invokeUpdateProgress("", -1, "");
        form.invokeSucceed("");
    });
    EXPECT_EQ(form.exec(), 1);
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(form.cancelled);
    EXPECT_EQ(shown(form), "row 7|7|Progress:7%");
}

TEST_F(ProgressFormTest, AWorkersResultIsShownWhileTheWindowIsOpenAndDecidesHowItCloses)
{
    const QString error = QString::fromUtf8("讀取失敗: トーク 😀 é\u0301");
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
        EXPECT_EQ(answers.answered(), c.notice.isEmpty() ? 0 : 1);
        EXPECT_TRUE(c.notice.isEmpty() ? shown(f) == "step|100|Progress:100%"
                                       : answers.texts.value(0).contains(c.notice) && openDuringNotice)
            << c.notice.toStdString();
    }
    // Also when the thread had already ended before the window watched it.
    std::unique_ptr<QThread> quick(QThread::create([] {}));
    quick->start();
    quick->wait();
    form.watchThread(*quick);
    EXPECT_EQ(form.exec(), 0);
}

TEST_F(ProgressFormTest, CancelAnsweredNoChangesNothingAndYesSignalsAndAwaitsAWorkerThatIgnoresIt)
{
    for (const bool yes : {false, true}) {
        ModalDriver answers;
        ProgressForm f("t");
        answers.answer(yes ? QMessageBox::Yes : QMessageBox::No);
        bool openWhenSignalled = false;
        QObject::connect(&f, &ProgressForm::userCancel, [&] { openWhenSignalled = f.isVisible(); });
        std::atomic<bool> asked{false}, ranToTheEnd{false};
        QTimer::singleShot(0, &f, [&] {
            pressCancel(f); // answered by the time it returns
            asked = true;
        });
        const int result = run(f, [&] {
            while (!asked || (yes && !f.cancelled))
                QThread::msleep(2);
            if (!yes)
                f.invokeSucceed("");
            QThread::msleep(300); // finishing an item after the cancel: awaited, never terminated
            ranToTheEnd = true;
        });
        EXPECT_EQ(result, yes ? 0 : 1);
        EXPECT_EQ(f.cancelled, yes);
        EXPECT_EQ(openWhenSignalled, yes);
        EXPECT_TRUE(ranToTheEnd);
        EXPECT_EQ(answers.texts, QStringList{"Are You Sure You Want To Cancel?"});
    }
}

TEST_F(ProgressFormTest, SuccessWhileTheCancelQuestionIsOpenStaysASuccess)
{
    int cancels = 0;
    QObject::connect(&form, &ProgressForm::userCancel, [&] { ++cancels; });
    std::atomic<bool> finish{false};
    driver.handle([&](QMessageBox* box) {
        finish = true;
        spinUntil([&] { return !form.isVisible(); });
        box->button(QMessageBox::Yes)->click();
    });
    QTimer::singleShot(0, &form, [&] { pressCancel(form); });
    EXPECT_EQ(run(form,
                  [&] {
                      while (!finish)
                          QThread::msleep(2);
                      form.invokeSucceed("");
                  }),
              1);
    EXPECT_EQ(cancels, 0);
    EXPECT_FALSE(form.cancelled);
}

TEST_F(ProgressFormTest, ProgressFromAChattyWorkerIsCoalescedAndNeverOvertakesALaterCall)
{
    int barChanges = 0;
    QObject::connect(bar(form), &QProgressBar::valueChanged, [&] { ++barChanges; });
    std::unique_ptr<QThread> chatty(QThread::create([&] {
        for (int i = 0; i < 20000; ++i)
            form.invokeUpdateProgress(i == 5 ? "phase two" : QString(), i / 200, "");
        form.invokeUpdateProgress("", -1, "last item");
    }));
    chatty->start();
    chatty->wait(); // the GUI thread delivers nothing meanwhile
    QCoreApplication::processEvents();
    EXPECT_LE(barChanges, 2); // per call (or per new percent) it would change 99 times
    EXPECT_EQ(shown(form), "phase two|99|last item");

    driver.answer(QMessageBox::Ok);
    QList<QPair<int, bool>> seen; // bar value, notice open at that moment
    QObject::connect(bar(form), &QProgressBar::valueChanged,
                     [&](int v) { seen.append({v, topMessageBox() != nullptr}); });
    std::atomic<bool> issued{false};
    std::unique_ptr<QThread> worker(QThread::create([&] {
        form.invokeUpdateProgress("", 10, "");
        form.invokeTipsWait("read me");
        form.invokeUpdateProgress("", 20, "");
        issued = true;
        while (form.tipsWaiting)
            QThread::msleep(2);
        form.invokeSucceed("");
    }));
    form.watchThread(*worker);
    worker->start();
    while (!issued) // all three calls wait in the queue before any is delivered
        QThread::msleep(1);
    EXPECT_EQ(form.exec(), 1);
    form.waitForThread(*worker, true);
    EXPECT_EQ(seen, (QList<QPair<int, bool>>{{10, false}, {20, true}}));
    EXPECT_EQ(driver.texts, QStringList{"read me"});
}

TEST(OperationLocker, ASecondOverlappingLockerFailsAndLeavesTheFirstLockInPlace)
{
    {
        OperationLocker first;
        EXPECT_TRUE(first.locked);
        EXPECT_FALSE(OperationLocker().locked);
    }
    EXPECT_TRUE(OperationLocker().locked);
}

const QString kHeader = "<nobr><b>Marrowquist Chatferry for Mac v3.1.97</b></nobr><br/><br/>";

TEST(Tips, QuestionIsTrueOnlyForYesAndNoticesKeepOnlyTheButtonsAskedFor)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Yes);
    driver.answer(QMessageBox::No);
    driver.handle([](QMessageBox* box) { box->reject(); });
    driver.answer(QMessageBox::Ok);
    driver.answer(QMessageBox::Retry);
    EXPECT_TRUE(Tips::question("q1"));
    EXPECT_FALSE(Tips::question("q2"));
    EXPECT_FALSE(Tips::question("q3"));
    Tips::warning("careful <b>x</b>");
    EXPECT_EQ(g_showMessageBox(QMessageBox::Warning, "trust?", QMessageBox::Retry | QMessageBox::Save, true),
              QMessageBox::Retry);
    EXPECT_EQ(driver.texts, QStringList({"q1", "q2", "q3", "careful <b>x</b>", kHeader + "trust?"}));
    EXPECT_EQ(driver.buttonTexts.mid(2), QStringList({"Yes|No", "OK", "Retry"}));
}

// Reports free themselves once their exchange has ended. A test waits for
// that, since a request still in flight when the process ends leaves Qt's
// network thread with objects it never frees.
bool reportsEnded()
{
    return spinUntil([] { return qApp->findChildren<QNetworkReply*>().isEmpty(); });
}

TEST(TipsError, ShowsTheFramedMessageThenPostsTheReportByteForByteOrNothingWhenOff)
{
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    errorReport_setServer("127.0.0.1", server.port());
    ModalDriver driver;
    for (int i = 0; i < 3; ++i)
        driver.answer(QMessageBox::Ok);
    const QString message = QString::fromUtf8("書けません<br/>disk <b>full</b> 😀");
    Tips::error(message);
    EXPECT_EQ(driver.texts.value(0), kHeader + "An Error Occurred. <br/><br/>" + message
                                         + "<br/><br/> Or you can contact support@marrowquist.com for help.");
    EXPECT_TRUE(spinUntil([&] { return server.requests().size() == 1; }));
    EXPECT_TRUE(reportsEnded());
    // Base64 with "/" and "=" replaced; <br/> becomes a line break, markup is escaped.
    const QByteArray err = QByteArray("書けません\r\ndisk &lt;b&gt;full&lt;/b&gt; 😀").toBase64();
    const QByteArray body = "prod=TWFycm93cXVpc3QgQ2hhdGZlcnJ5IGZvciBNYWM-&ver=My4xLjk3KDk3KQ--&err="
                            + QByteArray(err).replace('/', '!').replace('=', '-');
    const QByteArray req = server.requests().value(0);
    EXPECT_TRUE(req.startsWith("POST /err_report.php ")) << req.toStdString();
    EXPECT_TRUE(req.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n")) << req.toStdString();
    EXPECT_TRUE(req.endsWith("\r\n\r\n" + body)) << req.toStdString();

    // An unreachable or switched-off server changes nothing the user sees.
    errorReport_setServer("127.0.0.1", HttpTestServer::closedPort());
    Tips::error("refused");
    EXPECT_TRUE(reportsEnded());
    errorReport_setServer(QString(), 0);
    Tips::error("off");
    EXPECT_TRUE(qApp->findChildren<QNetworkReply*>().isEmpty()); // nothing was even started
    EXPECT_EQ(driver.answered(), 3);
}

} // namespace
