#pragma once
// One node of a backup's file tree: a path component with the manifest record it came from.
#include "backup/mbdb.h"

#include <QString>

#include <memory>
#include <vector>

struct BackupFileNode {
    // Does not attach itself to parent; the builder appends it with addChild.
    BackupFileNode(BackupFileNode* parent, const MbdbRecord& record, const QString& name);
    // Frees the subtree without recursion, so a hostile manifest nested thousands of folders deep
    // cannot exhaust the stack.
    ~BackupFileNode();

    BackupFileNode(const BackupFileNode&) = delete;
    BackupFileNode& operator=(const BackupFileNode&) = delete;

    // Appends child (whose parent must be this node) and returns it.
    BackupFileNode* addChild(std::unique_ptr<BackupFileNode> child);
    // The first child whose name equals name, letter case ignored; null when there is none.
    BackupFileNode* childNamed(const QString& name) const;

    QString name;  // last component of the tree path; empty for the root
    MbdbRecord record;
    BackupFileNode* parent = nullptr;
    std::vector<std::unique_ptr<BackupFileNode>> children;  // in the order they were added
};
