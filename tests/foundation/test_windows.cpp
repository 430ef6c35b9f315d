#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"

#include "foundation/errorreport.h"
#include "foundation/mylistview.h"
#include "foundation/mytreeview.h"
#include "foundation/progressform.h"
#include "foundation/winmovable.h"

namespace {

QProgressBar* bar(ProgressForm& f) { return f.findChild<QProgressBar*>("progressBar"); }

// "status|bar|progress text" as the window shows them.
QString shown(ProgressForm& f)
{
    const QString status = f.findChild<QLabel*>("lbStatus")->text();
    return status + '|' + QString::number(bar(f)->value()) + '|' + f.findChild<QLabel*>("lbProgress")->text();
}

// Runs body as the form's worker and waits for it; the window's result.
int run(ProgressForm& form, std::function<void()> body)
{
    std::unique_ptr<QThread> worker(QThread::create(std::move(body)));
    const int result = form.runWorker(*worker);
    EXPECT_TRUE(form.waitForThread(*worker, true));
    EXPECT_TRUE(worker->isFinished());
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
        QTest::keyClick(&form, Qt::Key_Escape);
        QTest::keyClick(&form, Qt::Key_Return);
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
        // Ending without a result must not leave the modal loop running.
        {[](ProgressForm&) {}, 0, ""},
    };
    for (const auto& c : cases) {
        ModalDriver answers;
        ProgressForm f("t");
        QStringList seen; // the notices shown while the window was open
        answers.handle([&](QMessageBox* box) {
            if (f.isVisible() && !f.cancelled)
                seen << box->text();
            box->button(QMessageBox::Ok)->click();
        });
        EXPECT_EQ(run(f, [&] { c.body(f); }), c.result);
        EXPECT_EQ(f.cancelled, c.result == 0);
        EXPECT_EQ(seen.filter(c.notice).size(), c.notice.isEmpty() ? 0 : 1) << seen.join('|');
        EXPECT_EQ(answers.answered(), seen.size());
    }
    // Also when the thread had already ended before the window watched it.
    std::unique_ptr<QThread> quick(QThread::create([] {}));
    quick->start();
    quick->wait();
    form.watchThread(*quick);
    EXPECT_EQ(form.exec(), 0);
}

// Answered No, a cancel changes nothing; Yes signals while the window is
// open and awaits a worker that goes on with its item; a success that comes
// while the question is open stays a success.
TEST(ProgressFormCancel, OnlyAConfirmedCancelBeforeAnyResultCancels)
{
    const struct
    {
        QMessageBox::StandardButton answer;
        bool resultWhileAsked;
        int result;
    } cases[] = {{QMessageBox::No, false, 1}, {QMessageBox::Yes, false, 0}, {QMessageBox::Yes, true, 1}};
    for (const auto& c : cases) {
        ModalDriver answers;
        ProgressForm f("t");
        std::atomic<bool> asked{false};
        answers.handle([&](QMessageBox* box) {
            asked = true;
            if (c.resultWhileAsked)
                spinUntil([&] { return !f.isVisible(); });
            box->button(c.answer)->click();
        });
        QStringList signalled; // whether the window was open at each signal
        QObject::connect(&f, &ProgressForm::userCancel, [&] { signalled << (f.isVisible() ? "open" : "closed"); });
        QTimer::singleShot(0, &f, [&] { emit f.findChild<QPushButton*>("btnCancel")->pressed(); });
        std::atomic<bool> ranToTheEnd{false};
        const int result = run(f, [&] {
            QDeadlineTimer patience(10000);
            while ((!asked || (c.result == 0 && !f.cancelled)) && !patience.hasExpired())
                QThread::msleep(2);
            if (c.result == 1)
                f.invokeSucceed("");
            QThread::msleep(300); // finishing an item after the cancel: awaited, never terminated
            ranToTheEnd = true;
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(f.cancelled, c.result == 0);
        EXPECT_EQ(signalled, c.result == 0 ? QStringList{"open"} : QStringList());
        EXPECT_TRUE(ranToTheEnd);
        EXPECT_EQ(answers.texts, QStringList{"Are You Sure You Want To Cancel?"});
    }
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


// A frameless window follows a left-button drag from where it was pressed,
// and only until the button is released or the filter goes; the window still
// gets every mouse event.
TEST(WinMovable, OnlyALeftDragMovesTheWindowAndOnlyUntilTheRelease)
{
    struct Event { QEvent::Type type; QPoint at; Qt::MouseButton button; };
    const QEvent::Type press = QEvent::MouseButtonPress, move = QEvent::MouseMove, release = QEvent::MouseButtonRelease;
    const struct { QList<Event> events; QPoint moved; } cases[] = {
        {{{press, {10, 10}, Qt::LeftButton}, {move, {30, 15}, Qt::LeftButton}}, {20, 5}},
        {{{press, {10, 10}, Qt::RightButton}, {move, {40, 40}, Qt::RightButton}}, {0, 0}},
        {{{press, {10, 10}, Qt::LeftButton}, {release, {10, 10}, Qt::LeftButton}, {move, {50, 50}, Qt::NoButton}},
         {0, 0}},
        {{{press, {10, 10}, Qt::LeftButton}, {move, {12, 10}, Qt::LeftButton}, {release, {12, 10}, Qt::LeftButton},
          {move, {60, 60}, Qt::NoButton}},
         {2, 0}},
    };
    for (const auto& c : cases) {
        struct Counting : QWidget
        {
            int events = 0;
            void mousePressEvent(QMouseEvent*) override { ++events; }
            void mouseMoveEvent(QMouseEvent*) override { ++events; }
            void mouseReleaseEvent(QMouseEvent*) override { ++events; }
        } window;
        window.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        window.setGeometry(100, 100, 200, 100);
        window.setMouseTracking(true);
        window.show();
        const QPoint start = window.pos();
        WinMovable mover(&window);
        for (const Event& e : c.events) {
            const Qt::MouseButtons held = e.type == release ? Qt::NoButton : Qt::MouseButtons(e.button);
            QMouseEvent ev(e.type, QPointF(e.at), QPointF(window.mapToGlobal(e.at)), e.type == move ? Qt::NoButton : e.button,
                           held, Qt::NoModifier);
            QApplication::sendEvent(&window, &ev);
        }
        EXPECT_EQ(window.pos() - start, c.moved) << c.events.size();
        EXPECT_EQ(window.events, c.events.size());
    }
}

// The tree and list views tell their owner of each selection change and
// context-menu request, and leave the menu event to a parent.
template <typename View>
void expectSelectionAndContextMenuSignals()
{
    QStandardItemModel model;
    for (int i = 0; i < 3; ++i)
        model.appendRow(new QStandardItem(QString::number(i)));
    View view;
    view.setModel(&model);
    QStringList changes; // "selected row/deselected row", -1 for none
    QObject::connect(&view, &View::onSelectionChanged, [&](QItemSelection s, QItemSelection d) {
        changes << QStringLiteral("%1/%2").arg(s.indexes().value(0).row()).arg(d.indexes().value(0).row());
    });
    view.selectionModel()->select(model.index(1, 0), QItemSelectionModel::ClearAndSelect);
    view.selectionModel()->select(model.index(2, 0), QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(changes, QStringList({"1/-1", "2/1"}));
    EXPECT_EQ(view.selectionModel()->selectedIndexes().value(0).row(), 2);
    int menus = 0;
    QObject::connect(&view, &View::createContextMenu, [&] { ++menus; });
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5), view.viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(view.viewport(), &ev);
    EXPECT_EQ(menus, 1);
    EXPECT_FALSE(ev.isAccepted()); // a parent may still handle it
}

TEST(ItemViews, TreeAndListViewPassOnSelectionAndContextMenu)
{
    expectSelectionAndContextMenuSignals<MyTreeView>();
    expectSelectionAndContextMenuSignals<MyListView>();
}

} // namespace
