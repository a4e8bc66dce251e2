#include "backup/backupfilenode.h"

#include <utility>

BackupFileNode::BackupFileNode(BackupFileNode* parent, const MbdbRecord& record, const QString& name)
    : name(name), record(record), parent(parent)
{
}

BackupFileNode::~BackupFileNode()
{
    std::vector<std::unique_ptr<BackupFileNode>> pending = std::move(children);
    while (!pending.empty()) {
        std::unique_ptr<BackupFileNode> node = std::move(pending.back());
        pending.pop_back();
        for (std::unique_ptr<BackupFileNode>& child : node->children)
            pending.push_back(std::move(child));
        node->children.clear();
    }
}

BackupFileNode* BackupFileNode::addChild(std::unique_ptr<BackupFileNode> child)
{
    children.push_back(std::move(child));
    return children.back().get();
}

BackupFileNode* BackupFileNode::childNamed(const QString& name) const
{
    for (const std::unique_ptr<BackupFileNode>& child : children)
        if (child->name.compare(name, Qt::CaseInsensitive) == 0)
            return child.get();
    return nullptr;
}
