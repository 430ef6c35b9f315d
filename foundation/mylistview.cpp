#include "foundation/mylistview.h"

MyListView::MyListView(QWidget* parent)
    : QListView(parent)
{
}

MyListView::~MyListView() = default;

void MyListView::contextMenuEvent(QContextMenuEvent* event)
{
    emit createContextMenu();
    // The scroll area's handler leaves the event ignored, so a parent may
    // still show its own menu.
    QAbstractScrollArea::contextMenuEvent(event);
}

void MyListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    emit onSelectionChanged(selected, deselected);
    QListView::selectionChanged(selected, deselected);
}
