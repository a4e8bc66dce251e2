#include "ui/mytreeview.h"

#include <QAbstractScrollArea>

MyTreeView::MyTreeView(QWidget* parent) : QTreeView(parent) {}

void MyTreeView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    emit onSelectionChanged(selected, deselected);
    QTreeView::selectionChanged(selected, deselected);
}

void MyTreeView::contextMenuEvent(QContextMenuEvent* event)
{
    emit createContextMenu();
    QAbstractScrollArea::contextMenuEvent(event);
}

MyListView::MyListView(QWidget* parent) : QListView(parent) {}

void MyListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    emit onSelectionChanged(selected, deselected);
    QListView::selectionChanged(selected, deselected);
}

void MyListView::contextMenuEvent(QContextMenuEvent* event)
{
    emit createContextMenu();
    QAbstractScrollArea::contextMenuEvent(event);
}
