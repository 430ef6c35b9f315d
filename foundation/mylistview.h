#pragma once

#include <QItemSelection>
#include <QListView>

// A list view that re-emits its selection changes and context-menu requests,
// so that its owner reacts to them without subclassing the view.
class MyListView : public QListView
{
    Q_OBJECT
public:
    explicit MyListView(QWidget* parent = nullptr);
    ~MyListView() override;

signals:
    // Emitted before the view's own selection handling runs.
    void onSelectionChanged(QItemSelection selected, QItemSelection deselected);
    void createContextMenu();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
};
