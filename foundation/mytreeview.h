#pragma once

#include <QAbstractScrollArea>
#include <QItemSelection>
#include <QTreeView>

// What MyTreeView and MyListView add to their Qt view, written once: View is
// the class that declares the two signals, Base the view it derives from.
template <class View, class Base>
class ReEmittingView : public Base
{
public:
    using Base::Base;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override
    {
        emit static_cast<View*>(this)->createContextMenu();
        // The scroll area's handler leaves the event ignored, so a parent may
        // still show its own menu.
        QAbstractScrollArea::contextMenuEvent(event);
    }

    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override
    {
        emit static_cast<View*>(this)->onSelectionChanged(selected, deselected);
        Base::selectionChanged(selected, deselected);
    }
};

// A tree view that re-emits its selection changes and context-menu requests,
// so that its owner reacts to them without subclassing the view.
class MyTreeView : public ReEmittingView<MyTreeView, QTreeView>
{
    Q_OBJECT
public:
    explicit MyTreeView(QWidget* parent = nullptr);
    ~MyTreeView() override;

signals:
    // Emitted before the view's own selection handling runs.
    void onSelectionChanged(QItemSelection selected, QItemSelection deselected);
    void createContextMenu();
};
