#include <QApplication>
#include <QContextMenuEvent>
#include <QStandardItemModel>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"


#include "foundation/mylistview.h"
#include "foundation/mytreeview.h"

namespace {

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
    int menus = 0;
    QObject::connect(&view, &View::createContextMenu, [&] { ++menus; });
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5), view.viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(view.viewport(), &ev);
    EXPECT_EQ(menus, 1);
    EXPECT_FALSE(ev.isAccepted()); // a parent may still handle it
}

TEST(ItemViews, TreeAndListViewReEmitSelectionAndContextMenu)
{
    expectSelectionAndContextMenuSignals<MyTreeView>();
    expectSelectionAndContextMenuSignals<MyListView>();
}

} // namespace
