#pragma once
// The backups of the chooser: one flat row per backup, newest first, with its name, date and folder.
#include "ui/abstreeitemmodel.h"

#include <QPixmap>
#include <QSharedPointer>

class BackupManifest;

class ItemModelLoadBk : public AbsTreeItemModel {
    Q_OBJECT
public:
    class _BKItemNode : public _ItemNode {
    public:
        static constexpr int nodeType = 0;
        explicit _BKItemNode(const QSharedPointer<BackupManifest>& manifest);

        QSharedPointer<BackupManifest> manifest;
    };

    explicit ItemModelLoadBk(QObject* parent = nullptr);

    // Inserts a row for manifest (its "Manifest.plist" loaded) above the first backup with an
    // earlier date, below those of the same date; a backup without a date goes below every dated
    // one. Returns the new node, owned by the model.
    _BKItemNode* addBackup(const QSharedPointer<BackupManifest>& manifest);

    // The backup of a row; null for an index without one.
    static QSharedPointer<BackupManifest> manifestAt(const QModelIndex& index);
    // The backups in row order.
    QList<QSharedPointer<BackupManifest>> backups() const;

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QPixmap m_icon;
};
