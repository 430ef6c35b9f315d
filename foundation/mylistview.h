#pragma once

#include <QListView>

#include "foundation/mytreeview.h"

// MyTreeView's twin over a list view.
class MyListView : public ReEmittingView<MyListView, QListView>
{
    Q_OBJECT
public:
    explicit MyListView(QWidget* parent = nullptr);
    ~MyListView() override;

signals:
    // Emitted before the view's own selection handling runs.
    void onSelectionChanged(QItemSelection selected, QItemSelection deselected);
    void createContextMenu();
};
