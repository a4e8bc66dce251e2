#pragma once
// Base of the program's tree models: a forest of nodes that the model owns, with Qt's structural
// answers (index, parent, row count) taken from it and removal with proper row notifications. Derived
// models add their own node classes, fill the tree and implement columnCount() and data().
//
// A node's row is its position in its parent's children (or in roots). Indexes are always computed
// from the tree as it is now, so they stay right after removals; parents are always in column 0.
#include <QAbstractItemModel>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

class AbsTreeItemModel : public QAbstractItemModel {
    Q_OBJECT
public:
    class _ItemNode {
    public:
        // Does not link the node anywhere; the creator adds it to its parent's children or to roots
        // (appendNode() does both with the insert notifications).
        _ItemNode(int type, const QString& name, _ItemNode* parent) : type(type), name(name), parent(parent) {}
        virtual ~_ItemNode() = default;  // derived node classes go with their children
        _ItemNode(const _ItemNode&) = delete;
        _ItemNode& operator=(const _ItemNode&) = delete;

        int type;          // kind code chosen by the derived model
        QString name;      // the text shown for the node
        _ItemNode* parent; // null for a root; not owned
        std::vector<std::unique_ptr<_ItemNode>> children;
    };
    using NodeList = std::vector<std::unique_ptr<_ItemNode>>;

    explicit AbsTreeItemModel(QObject* parent = nullptr);
    ~AbsTreeItemModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;

    // The node an index points to; null for the invalid index.
    static _ItemNode* nodeOf(const QModelIndex& index);
    // The node's index in column 0; invalid for null or for a node not linked into this tree.
    QModelIndex indexOfNode(const _ItemNode* node) const;

    // Links node as the last child of parent (a root when parent is null), with the insert notifications.
    _ItemNode* appendNode(_ItemNode* parent, std::unique_ptr<_ItemNode> node);
    // Removes and deletes every child of node (every root when node is null) in one removal.
    void removeChildren(_ItemNode* node);
    // Removes and deletes node with its subtree: first its children, then the node itself.
    void removeNode(_ItemNode* node);

    // Every node in pre-order: a root, its subtree in row order, then the next root.
    QList<_ItemNode*> allNodes() const;
    void emitLayoutChanged();
    // dataChanged for the node's row (all columns) and, when it has children, for their rows.
    void emitNodeChanged(_ItemNode* node);

protected:
    NodeList& childList(_ItemNode* node) { return node ? node->children : roots; }
    const NodeList& childList(const _ItemNode* node) const { return node ? node->children : roots; }
    // Position of node in its parent's list (or in roots); -1 when it is not there.
    int rowOfNode(const _ItemNode* node) const;

    NodeList roots;
};
