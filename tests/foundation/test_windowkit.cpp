#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QMouseEvent>
#include <QPushButton>
#include <QStandardItemModel>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include "foundation/mylistview.h"
#include "foundation/mytreeview.h"
#include "foundation/stylesheet.h"
#include "foundation/winmovable.h"

namespace {

TEST(StyleSheet, IsTheBuiltInSheetReadOnceAndKept)
{
    QFile source(testenv::sourceDir() + "/resources/res/style.css");
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QString sheet = getStyleSheet();
    EXPECT_EQ(sheet, QString::fromLatin1(source.readAll()));
    EXPECT_EQ(getStyleSheet(), sheet);
    // The pictures it names are built in too.
    EXPECT_TRUE(sheet.contains(":/res/sub_bg.jpg"));
    EXPECT_TRUE(QFile::exists(":/res/sub_bg.jpg"));
    EXPECT_TRUE(QFile::exists(":/res/main_bg.jpg"));
}

TEST(StyleSheet, StylesButtonsAsTheProgramDrawsThem)
{
    QWidget window;
    window.setStyleSheet(getStyleSheet());
    auto* button = new QPushButton("x", &window);
    window.show();
    // "min-width: 65px; min-height: 20px" reach the button.
    EXPECT_GE(button->sizeHint().width(), 65);
    EXPECT_GE(button->sizeHint().height(), 20);
    EXPECT_EQ(button->font().pixelSize(), 11);
}

// A window that counts the mouse events that reach it, to show that the drag
// filter consumes none.
class CountingWindow : public QWidget
{
public:
    int presses = 0, moves = 0, releases = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
    void mouseMoveEvent(QMouseEvent*) override { ++moves; }
    void mouseReleaseEvent(QMouseEvent*) override { ++releases; }
};

class WinMovableTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        window.resize(200, 100);
        window.setMouseTracking(true);
        window.move(100, 100);
        window.show();
        start = window.pos();
    }

    void send(QEvent::Type type, QPoint local, Qt::MouseButton button)
    {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent ev(type, QPointF(local), QPointF(window.mapToGlobal(local)),
                       type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
        QApplication::sendEvent(&window, &ev);
    }

    CountingWindow window;
    QPoint start;
};

TEST_F(WinMovableTest, LeftDragMovesByTheMouseOffsetAndPassesEveryEventOn)
{
    WinMovable mover(&window);
    send(QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    send(QEvent::MouseMove, {30, 15}, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start + QPoint(20, 5));
    send(QEvent::MouseButtonRelease, {30, 15}, Qt::LeftButton);
    // After the release, moves without a press move nothing.
    send(QEvent::MouseMove, {50, 50}, Qt::NoButton);
    EXPECT_EQ(window.pos(), start + QPoint(20, 5));
    EXPECT_EQ(window.presses, 1);
    EXPECT_EQ(window.moves, 2);
    EXPECT_EQ(window.releases, 1);
}

TEST_F(WinMovableTest, RightButtonAndAPressAtTheOriginNeverDrag)
{
    WinMovable mover(&window);
    send(QEvent::MouseButtonPress, {10, 10}, Qt::RightButton);
    send(QEvent::MouseMove, {40, 40}, Qt::RightButton);
    EXPECT_EQ(window.pos(), start);
    send(QEvent::MouseButtonRelease, {40, 40}, Qt::RightButton);

    send(QEvent::MouseButtonPress, {0, 0}, Qt::LeftButton);
    send(QEvent::MouseMove, {25, 25}, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start);
}

TEST_F(WinMovableTest, DestroyingTheFilterEndsDragging)
{
    {
        WinMovable mover(&window);
        send(QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    }
    send(QEvent::MouseMove, {30, 30}, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start);
}

// MyTreeView and MyListView behave alike; each test runs over both.
template <typename View>
void checkSelectionAndContextMenuSignals()
{
    QStandardItemModel model;
    for (int i = 0; i < 3; ++i)
        model.appendRow(new QStandardItem(QString::number(i)));
    QWidget parent;
    View view(&parent);
    view.setModel(&model);
    parent.show();

    QList<QItemSelection> selected, deselected;
    QObject::connect(&view, &View::onSelectionChanged, [&](QItemSelection s, QItemSelection d) {
        selected.append(s);
        deselected.append(d);
    });
    view.selectionModel()->select(model.index(1, 0), QItemSelectionModel::ClearAndSelect);
    view.selectionModel()->select(model.index(2, 0), QItemSelectionModel::ClearAndSelect);
    ASSERT_EQ(selected.size(), 2);
    EXPECT_EQ(selected[0].indexes().value(0).row(), 1);
    EXPECT_TRUE(deselected[0].isEmpty());
    EXPECT_EQ(selected[1].indexes().value(0).row(), 2);
    EXPECT_EQ(deselected[1].indexes().value(0).row(), 1);

    int menus = 0;
    QObject::connect(&view, &View::createContextMenu, [&] { ++menus; });
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5), view.viewport()->mapToGlobal(QPoint(5, 5)));
    ev.accept();
    QApplication::sendEvent(view.viewport(), &ev);
    EXPECT_EQ(menus, 1);
    // The event is left ignored, so a parent may still handle it.
    EXPECT_FALSE(ev.isAccepted());
}

TEST(ItemViews, TreeViewReEmitsSelectionAndContextMenu)
{
    checkSelectionAndContextMenuSignals<MyTreeView>();
}

TEST(ItemViews, ListViewReEmitsSelectionAndContextMenu)
{
    checkSelectionAndContextMenuSignals<MyListView>();
}

} // namespace
