#pragma once
// The flat model of the message list: one row per message of a list the caller keeps alive (the
// records belong to a node's store), four columns: date, direction, contact, content.
#include "msgdb/records.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QPixmap>

class ItemModelSms : public QAbstractItemModel {
    Q_OBJECT
public:
    static constexpr int kIconWidth = 18;
    static constexpr int kRowHeight = 23;

    explicit ItemModelSms(QObject* parent = nullptr);

    void setMessages(const MsgMessageList& messages);
    void clear();
    const MsgMessageList& messages() const { return m_messages; }
    // The column-0 index of row, or an invalid index when there is no such row.
    QModelIndex rowIndex(int row) const;
    // The message a column-0 index carries, else null.
    static _MsgMessage* messageOf(const QModelIndex& index);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The texts of the first four columns for message.
    static QString dateText(const _MsgMessage& message);
    static QString flagText(const _MsgMessage& message);
    static QString contactText(const _MsgMessage& message);

private:
    QString contentText(const _MsgMessage* message) const;
    QPixmap directionIcon(const _MsgMessage& message) const;

    MsgMessageList m_messages;
    // The content column is built with regular expressions; keep it until the list changes.
    mutable QHash<const _MsgMessage*, QString> m_contentCache;
    mutable QHash<QString, QPixmap> m_iconCache;
};
