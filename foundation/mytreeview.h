#pragma once

#include <QItemSelection>
#include <QTreeView>

// A tree view that re-emits its selection changes and context-menu requests,
// so that its owner reacts to them without subclassing the view.
class MyTreeView : public QTreeView
{
    Q_OBJECT
public:
    explicit MyTreeView(QWidget* parent = nullptr);
    ~MyTreeView() override;

signals:
    // Emitted before the view's own selection handling runs.
    void onSelectionChanged(QItemSelection selected, QItemSelection deselected);
    void createContextMenu();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
};
