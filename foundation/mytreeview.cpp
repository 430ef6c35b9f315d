#include "foundation/mytreeview.h"

MyTreeView::MyTreeView(QWidget* parent)
    : QTreeView(parent)
{
}

MyTreeView::~MyTreeView() = default;

void MyTreeView::contextMenuEvent(QContextMenuEvent* event)
{
    emit createContextMenu();
    // The scroll area's handler leaves the event ignored, so a parent may
    // still show its own menu.
    QAbstractScrollArea::contextMenuEvent(event);
}

void MyTreeView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    emit onSelectionChanged(selected, deselected);
    QTreeView::selectionChanged(selected, deselected);
}
