#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QMouseEvent>
#include <QStandardItemModel>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

#include <memory>

#include "foundation/mylistview.h"
#include "foundation/mytreeview.h"
#include "foundation/stylesheet.h"
#include "foundation/winmovable.h"

namespace {

TEST(StyleSheet, IsTheBuiltInSheetWithItsPictures)
{
    QFile source(testenv::sourceDir() + "/resources/res/style.css");
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    EXPECT_EQ(getStyleSheet(), QString::fromLatin1(source.readAll()));
    EXPECT_TRUE(getStyleSheet().contains(":/res/sub_bg.jpg"));
    EXPECT_TRUE(QFile::exists(":/res/sub_bg.jpg"));
    EXPECT_TRUE(QFile::exists(":/res/main_bg.jpg"));
}

// Counts the mouse events that reach it, to show that the drag filter
// consumes none.
class CountingWindow : public QWidget
{
public:
    int events = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++events; }
    void mouseMoveEvent(QMouseEvent*) override { ++events; }
    void mouseReleaseEvent(QMouseEvent*) override { ++events; }
};

TEST(WinMovable, OnlyALeftDragAwayFromTheOriginMovesTheWindowAndOnlyWhileTheFilterLives)
{
    CountingWindow window;
    window.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    window.setGeometry(100, 100, 200, 100);
    window.setMouseTracking(true);
    window.show();
    const QPoint start = window.pos();
    const auto send = [&](QEvent::Type type, QPoint local, Qt::MouseButton button) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent ev(type, QPointF(local), QPointF(window.mapToGlobal(local)),
                       type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
        QApplication::sendEvent(&window, &ev);
    };
    auto mover = std::make_unique<WinMovable>(&window);
    send(QEvent::MouseButtonPress, {10, 10}, Qt::RightButton);
    send(QEvent::MouseMove, {40, 40}, Qt::RightButton);
    send(QEvent::MouseButtonRelease, {40, 40}, Qt::RightButton);
    send(QEvent::MouseButtonPress, {0, 0}, Qt::LeftButton);
    send(QEvent::MouseMove, {25, 25}, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, {25, 25}, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start);

    send(QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    send(QEvent::MouseMove, {30, 15}, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start + QPoint(20, 5));
    send(QEvent::MouseButtonRelease, {30, 15}, Qt::LeftButton);
    send(QEvent::MouseMove, {50, 50}, Qt::NoButton);
    EXPECT_EQ(window.pos(), start + QPoint(20, 5));
    EXPECT_EQ(window.events, 10);

    send(QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton);
    mover.reset();
    send(QEvent::MouseMove, {30, 30}, Qt::LeftButton);
    EXPECT_EQ(window.pos(), start + QPoint(20, 5));
}

// MyTreeView and MyListView behave alike.
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

    QStringList changes; // "selected row/deselected row", -1 for none
    QObject::connect(&view, &View::onSelectionChanged, [&](QItemSelection s, QItemSelection d) {
        changes << QStringLiteral("%1/%2").arg(s.indexes().value(0).row()).arg(d.indexes().value(0).row());
    });
    view.selectionModel()->select(model.index(1, 0), QItemSelectionModel::ClearAndSelect);
    view.selectionModel()->select(model.index(2, 0), QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(changes, QStringList({"1/-1", "2/1"}));

    int menus = 0;
    QObject::connect(&view, &View::createContextMenu, [&] { ++menus; });
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5), view.viewport()->mapToGlobal(QPoint(5, 5)));
    ev.accept();
    QApplication::sendEvent(view.viewport(), &ev);
    EXPECT_EQ(menus, 1);
    // Left ignored, so a parent may still handle it.
    EXPECT_FALSE(ev.isAccepted());
}

TEST(ItemViews, TreeAndListViewReEmitSelectionAndContextMenu)
{
    checkSelectionAndContextMenuSignals<MyTreeView>();
    checkSelectionAndContextMenuSignals<MyListView>();
}

} // namespace
