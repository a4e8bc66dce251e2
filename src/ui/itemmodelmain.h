#pragma once
// The model of the main window's source tree: two fixed roots ("Devices", "Local Databases"), one node
// per device or local database below them, one node per conversation below those. The model never
// reads a database: the window fills a node's store and asks for its conversation nodes.
#include "device/iosdevice.h"
#include "msgdb/absdb.h"
#include "msgdb/records.h"
#include "ui/abstreeitemmodel.h"

#include <QImage>
#include <QSharedPointer>

// Node types; menus, command enabling and commands decide by them.
enum MainNodeType {
    kNodeRootDevice = 1,
    kNodeRootLocalDb = 2,
    kNodeIOSDevice = 3,
    kNodeAndroid = 4,  // an icon only: nothing builds such a node
    kNodeLocalDb = 5,
    kNodeChatSession = 6,
};

class _RootDeviceItemNode : public AbsTreeItemModel::_ItemNode {
public:
    _RootDeviceItemNode();
};

class _RootLocalDBItemNode : public AbsTreeItemModel::_ItemNode {
public:
    _RootLocalDBItemNode();
};

// A node with a message database and the store its reads fill. The node shares the database with
// whoever opened it and owns the store (and so every record shown below it).
class _AbsDBItemNode : public AbsTreeItemModel::_ItemNode {
public:
    _AbsDBItemNode(int type, const QString& name, QSharedPointer<AbsMessageDb> db);
    QSharedPointer<AbsMessageDb> db;
    _MsgStore store;
};

class _IOSDeviceItemNode : public _AbsDBItemNode {
public:
    _IOSDeviceItemNode(QSharedPointer<AbsMessageDb> db, const IOSDevice& device);
    IOSDevice device;
};

class _LocalDBItemNode : public _AbsDBItemNode {
public:
    _LocalDBItemNode(QSharedPointer<AbsMessageDb> db, const QString& name);
};

// One conversation: the chats of the parent's store that share one identifier, newest time among them.
class _ChatSessionItemNode : public AbsTreeItemModel::_ItemNode {
public:
    explicit _ChatSessionItemNode(const _MsgChatSession& session);
    QList<_MsgChat*> chats;  // owned by the parent's store
    int last = 0;
    // The scaled contact photo or stand-in icon, made on first paint.
    mutable QImage icon;
    mutable bool iconReady = false;
};

class ItemModelMain : public AbsTreeItemModel {
    Q_OBJECT
public:
    // Conversation nodes whose first chat has a row id below this are painted red: recovered messages
    // are filed under such ids.
    static constexpr qint64 kRecoveredChatRowidLimit = -1947483646;
    static constexpr int kIconWidth = 18;
    static constexpr int kRowHeight = 25;

    explicit ItemModelMain(QObject* parent = nullptr);

    _ItemNode* deviceRoot() const { return roots.at(0).get(); }
    _ItemNode* localDbRoot() const { return roots.at(1).get(); }

    _IOSDeviceItemNode* addIOSDevice(QSharedPointer<AbsMessageDb> db, const IOSDevice& device);
    _LocalDBItemNode* addLocalDb(QSharedPointer<AbsMessageDb> db, const QString& name);
    // Replaces node's conversation children by the conversations of its store, newest first.
    void loadChats(_AbsDBItemNode* node);

    // The node commands act on for node: itself for a device or local database, its parent for a
    // conversation, null otherwise.
    static _AbsDBItemNode* databaseNodeOf(_ItemNode* node);

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The order of conversation nodes: newer last first, then by identifier, so equal times come out
    // the same in every run.
    static bool sessionNewerFirst(const _MsgChatSession& a, const _MsgChatSession& b);
    // The icon of a conversation node (null image for one without chats).
    static QImage chatSessionIcon(const _ChatSessionItemNode& node);

private:
    static QImage typeIcon(int type);
};
