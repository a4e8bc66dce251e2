#pragma once
// Item views that turn their selection and context-menu hooks into signals, so the main window reacts
// to both without subclassing the views itself.
#include <QItemSelection>
#include <QListView>
#include <QTreeView>

class MyTreeView : public QTreeView {
    Q_OBJECT
public:
    explicit MyTreeView(QWidget* parent = nullptr);

signals:
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void createContextMenu();

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    // Emits first; the event stays unaccepted so it still reaches the parent widget.
    void contextMenuEvent(QContextMenuEvent* event) override;
};

class MyListView : public QListView {
    Q_OBJECT
public:
    explicit MyListView(QWidget* parent = nullptr);

signals:
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void createContextMenu();

protected:
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};
