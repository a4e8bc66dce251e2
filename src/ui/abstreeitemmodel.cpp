#include "ui/abstreeitemmodel.h"

#include <algorithm>

namespace {

void collectPreOrder(const AbsTreeItemModel::NodeList& list, QList<AbsTreeItemModel::_ItemNode*>& out)
{
    for (const auto& node : list) {
        out.append(node.get());
        collectPreOrder(node->children, out);
    }
}

}  // namespace

AbsTreeItemModel::AbsTreeItemModel(QObject* parent) : QAbstractItemModel(parent) {}

AbsTreeItemModel::~AbsTreeItemModel() = default;

AbsTreeItemModel::_ItemNode* AbsTreeItemModel::nodeOf(const QModelIndex& index)
{
    return index.isValid() ? static_cast<_ItemNode*>(index.internalPointer()) : nullptr;
}

QModelIndex AbsTreeItemModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    const NodeList& list = childList(nodeOf(parent));
    return createIndex(row, column, list[static_cast<size_t>(row)].get());
}

QModelIndex AbsTreeItemModel::parent(const QModelIndex& child) const
{
    const _ItemNode* node = nodeOf(child);
    return node ? indexOfNode(node->parent) : QModelIndex();
}

int AbsTreeItemModel::rowCount(const QModelIndex& parent) const
{
    // Only column 0 carries children, as Qt's views expect.
    if (parent.column() > 0)
        return 0;
    return static_cast<int>(childList(nodeOf(parent)).size());
}

int AbsTreeItemModel::rowOfNode(const _ItemNode* node) const
{
    if (!node)
        return -1;
    const NodeList& siblings = childList(node->parent);
    const auto found = std::find_if(siblings.begin(), siblings.end(),
                                    [node](const std::unique_ptr<_ItemNode>& entry) { return entry.get() == node; });
    return found == siblings.end() ? -1 : static_cast<int>(found - siblings.begin());
}

QModelIndex AbsTreeItemModel::indexOfNode(const _ItemNode* node) const
{
    const int row = rowOfNode(node);
    return row < 0 ? QModelIndex() : createIndex(row, 0, const_cast<_ItemNode*>(node));
}

AbsTreeItemModel::_ItemNode* AbsTreeItemModel::appendNode(_ItemNode* parent, std::unique_ptr<_ItemNode> node)
{
    if (!node)
        return nullptr;
    NodeList& list = childList(parent);
    const int row = static_cast<int>(list.size());
    node->parent = parent;
    beginInsertRows(indexOfNode(parent), row, row);
    list.push_back(std::move(node));
    endInsertRows();
    return list.back().get();
}

void AbsTreeItemModel::removeChildren(_ItemNode* node)
{
    NodeList& list = childList(node);
    if (list.empty())
        return;
    if (node && rowOfNode(node) < 0) {
        list.clear();  // a node outside the tree: nothing any view could show
        return;
    }
    beginRemoveRows(indexOfNode(node), 0, static_cast<int>(list.size()) - 1);
    NodeList removed;
    removed.swap(list);
    removed.clear();  // deletes the subtrees while the removal is announced
    endRemoveRows();
}

void AbsTreeItemModel::removeNode(_ItemNode* node)
{
    if (!node || rowOfNode(node) < 0)
        return;  // not ours: leave it to whoever holds it
    removeChildren(node);
    const int row = rowOfNode(node);
    NodeList& siblings = childList(node->parent);
    beginRemoveRows(indexOfNode(node->parent), row, row);
    siblings.erase(siblings.begin() + row);
    endRemoveRows();
}

QList<AbsTreeItemModel::_ItemNode*> AbsTreeItemModel::allNodes() const
{
    QList<_ItemNode*> nodes;
    collectPreOrder(roots, nodes);
    return nodes;
}

void AbsTreeItemModel::emitLayoutChanged()
{
    emit layoutChanged();
}

void AbsTreeItemModel::emitNodeChanged(_ItemNode* node)
{
    const QModelIndex first = indexOfNode(node);
    if (!first.isValid())
        return;
    const int lastColumn = std::max(0, columnCount(first.parent()) - 1);
    emit dataChanged(first, first.siblingAtColumn(lastColumn));
    if (!node->children.empty()) {
        const int lastRow = static_cast<int>(node->children.size()) - 1;
        emit dataChanged(index(0, 0, first), index(lastRow, std::max(0, columnCount(first) - 1), first));
    }
}
