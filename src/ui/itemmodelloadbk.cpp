#include "ui/itemmodelloadbk.h"

#include "backup/backupmanifest.h"

#include <QBrush>
#include <QColor>
#include <QLocale>
#include <QSize>

namespace {

enum Column { NameColumn, DateColumn, PathColumn, ColumnCount };

// True when a belongs below b: an earlier date, or no date while b has one.
bool isOlder(const QDateTime& a, const QDateTime& b)
{
    if (!b.isValid())
        return false;
    return !a.isValid() || a < b;
}

}  // namespace

ItemModelLoadBk::_BKItemNode::_BKItemNode(const QSharedPointer<BackupManifest>& manifest)
    : _ItemNode(nodeType, manifest->displayName, nullptr), manifest(manifest)
{
}

ItemModelLoadBk::ItemModelLoadBk(QObject* parent) : AbsTreeItemModel(parent)
{
    const QPixmap icon(QStringLiteral(":/res/iphone.png"));
    if (!icon.isNull())
        m_icon = icon.scaledToWidth(18, Qt::FastTransformation);
}

ItemModelLoadBk::_BKItemNode* ItemModelLoadBk::addBackup(const QSharedPointer<BackupManifest>& manifest)
{
    const QDateTime date = manifest->deviceInfo.date;
    int row = 0;
    while (row < int(roots.size()) &&
           !isOlder(static_cast<_BKItemNode*>(roots[size_t(row)].get())->manifest->deviceInfo.date, date))
        ++row;
    beginInsertRows(QModelIndex(), row, row);
    auto node = std::make_unique<_BKItemNode>(manifest);
    _BKItemNode* added = node.get();
    roots.insert(roots.begin() + row, std::move(node));
    endInsertRows();
    return added;
}

QSharedPointer<BackupManifest> ItemModelLoadBk::manifestAt(const QModelIndex& index)
{
    const _ItemNode* node = nodeOf(index);
    if (!node || node->type != _BKItemNode::nodeType)
        return {};
    return static_cast<const _BKItemNode*>(node)->manifest;
}

QList<QSharedPointer<BackupManifest>> ItemModelLoadBk::backups() const
{
    QList<QSharedPointer<BackupManifest>> result;
    for (const std::unique_ptr<_ItemNode>& node : roots)
        result.append(static_cast<const _BKItemNode*>(node.get())->manifest);
    return result;
}

int ItemModelLoadBk::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QVariant ItemModelLoadBk::data(const QModelIndex& index, int role) const
{
    const QSharedPointer<BackupManifest> manifest = manifestAt(index);
    if (!manifest)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (index.column() == NameColumn)
            return manifest->displayName;
        if (index.column() == DateColumn)
            return QLocale::system().toString(manifest->deviceInfo.date, QLocale::ShortFormat);
        if (index.column() == PathColumn)
            return manifest->backupDir.absolutePath();
        return QVariant();
    case Qt::DecorationRole:
        return index.column() == NameColumn && !m_icon.isNull() ? QVariant(m_icon) : QVariant();
    case Qt::BackgroundRole:
        return QBrush(index.row() % 2 == 0 ? QColor(250, 250, 250) : QColor(255, 255, 255));
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return QVariant();
    }
}

QVariant ItemModelLoadBk::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case NameColumn:
        return QStringLiteral("Name");
    case DateColumn:
        return QStringLiteral("Backup Date");
    case PathColumn:
        return QStringLiteral("Path");
    default:
        return QVariant();
    }
}
