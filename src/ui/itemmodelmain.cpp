#include "ui/itemmodelmain.h"

#include <QColor>
#include <QHash>
#include <QSize>

#include <algorithm>

namespace {

QImage scaledToWidth(const QString& path)
{
    const QImage image(path);
    return image.isNull() ? image : image.scaledToWidth(ItemModelMain::kIconWidth, Qt::SmoothTransformation);
}

QImage decodePhoto(const QByteArray& bytes)
{
    QImage photo;
    if (bytes.isEmpty())
        return photo;
    if (!photo.loadFromData(bytes, "JPEG"))
        photo.loadFromData(bytes, "PNG");
    return photo;
}

}  // namespace

_RootDeviceItemNode::_RootDeviceItemNode()
    : _ItemNode(kNodeRootDevice, ItemModelMain::tr("IDS_ROOT_DEVICE"), nullptr)
{
}

_RootLocalDBItemNode::_RootLocalDBItemNode()
    : _ItemNode(kNodeRootLocalDb, ItemModelMain::tr("IDS_ROOT_LOCALDB"), nullptr)
{
}

_AbsDBItemNode::_AbsDBItemNode(int type, const QString& name, QSharedPointer<AbsMessageDb> db)
    : _ItemNode(type, name, nullptr), db(std::move(db))
{
}

_IOSDeviceItemNode::_IOSDeviceItemNode(QSharedPointer<AbsMessageDb> db, const IOSDevice& device)
    : _AbsDBItemNode(kNodeIOSDevice, device.name, std::move(db)), device(device)
{
}

_LocalDBItemNode::_LocalDBItemNode(QSharedPointer<AbsMessageDb> db, const QString& name)
    : _AbsDBItemNode(kNodeLocalDb, name, std::move(db))
{
}

_ChatSessionItemNode::_ChatSessionItemNode(const _MsgChatSession& session)
    : _ItemNode(kNodeChatSession, QString(), nullptr), chats(session.chats), last(session.last)
{
    if (!chats.isEmpty() && chats.first())
        name = chats.first()->displayName(false);
}

ItemModelMain::ItemModelMain(QObject* parent) : AbsTreeItemModel(parent)
{
    roots.push_back(std::make_unique<_RootDeviceItemNode>());
    roots.push_back(std::make_unique<_RootLocalDBItemNode>());
}

_IOSDeviceItemNode* ItemModelMain::addIOSDevice(QSharedPointer<AbsMessageDb> db, const IOSDevice& device)
{
    return static_cast<_IOSDeviceItemNode*>(
        appendNode(deviceRoot(), std::make_unique<_IOSDeviceItemNode>(std::move(db), device)));
}

_LocalDBItemNode* ItemModelMain::addLocalDb(QSharedPointer<AbsMessageDb> db, const QString& name)
{
    return static_cast<_LocalDBItemNode*>(
        appendNode(localDbRoot(), std::make_unique<_LocalDBItemNode>(std::move(db), name)));
}

bool ItemModelMain::sessionNewerFirst(const _MsgChatSession& a, const _MsgChatSession& b)
{
    if (a.last != b.last)
        return a.last > b.last;
    const auto identifier = [](const _MsgChatSession& s) {
        return s.chats.isEmpty() || !s.chats.first() ? QString() : s.chats.first()->chat_identifier.toLower();
    };
    return identifier(a) < identifier(b);
}

void ItemModelMain::loadChats(_AbsDBItemNode* node)
{
    if (!node || rowOfNode(node) < 0)
        return;
    removeChildren(node);
    QList<_MsgChatSession> sessions = node->store.chatSessions();
    std::stable_sort(sessions.begin(), sessions.end(), sessionNewerFirst);
    if (sessions.isEmpty())
        return;
    beginInsertRows(indexOfNode(node), 0, sessions.size() - 1);
    for (const _MsgChatSession& session : qAsConst(sessions)) {
        auto child = std::make_unique<_ChatSessionItemNode>(session);
        child->parent = node;
        node->children.push_back(std::move(child));
    }
    endInsertRows();
}

_AbsDBItemNode* ItemModelMain::databaseNodeOf(_ItemNode* node)
{
    if (node && node->type == kNodeChatSession)
        node = node->parent;
    if (node && (node->type == kNodeIOSDevice || node->type == kNodeLocalDb))
        return static_cast<_AbsDBItemNode*>(node);
    return nullptr;
}

int ItemModelMain::columnCount(const QModelIndex&) const
{
    return 1;
}

QVariant ItemModelMain::headerData(int, Qt::Orientation, int) const
{
    return {};
}

QImage ItemModelMain::typeIcon(int type)
{
    // Scaled once per process; GUI thread only, like the model itself.
    static QHash<int, QImage> cache;
    const auto found = cache.constFind(type);
    if (found != cache.constEnd())
        return *found;
    static const QHash<int, QString> paths{
        {kNodeRootDevice, QStringLiteral(":/res/devices.png")},
        {kNodeRootLocalDb, QStringLiteral(":/res/databases.png")},
        {kNodeIOSDevice, QStringLiteral(":/res/iphone.png")},
        {kNodeAndroid, QStringLiteral(":/res/android.png")},
        {kNodeLocalDb, QStringLiteral(":/res/database.png")},
        {kNodeChatSession + 100, QStringLiteral(":/res/group.png")},
        {kNodeChatSession + 200, QStringLiteral(":/res/contact.png")},
    };
    const QImage image = scaledToWidth(paths.value(type));
    cache.insert(type, image);
    return image;
}

QImage ItemModelMain::chatSessionIcon(const _ChatSessionItemNode& node)
{
    const _MsgChat* chat = node.chats.isEmpty() ? nullptr : node.chats.first();
    if (!chat)
        return {};
    if (chat->handles.size() > 1)
        return typeIcon(kNodeChatSession + 100);
    if (chat->handles.size() == 1 && chat->handles.cbegin().value()) {
        const QImage photo = decodePhoto(chat->handles.cbegin().value()->photo);
        if (!photo.isNull())
            return photo.scaledToHeight(kIconWidth, Qt::SmoothTransformation);
    }
    return typeIcon(kNodeChatSession + 200);
}

QVariant ItemModelMain::data(const QModelIndex& index, int role) const
{
    const _ItemNode* node = nodeOf(index);
    if (!node || index.row() < 0 || index.column() < 0)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return node->name;
    case Qt::DecorationRole: {
        if (node->type == kNodeChatSession) {
            const auto* session = static_cast<const _ChatSessionItemNode*>(node);
            if (!session->iconReady) {
                session->icon = chatSessionIcon(*session);
                session->iconReady = true;
            }
            return session->icon.isNull() ? QVariant() : QVariant(session->icon);
        }
        if (node->type < kNodeRootDevice || node->type > kNodeChatSession)
            return {};
        return typeIcon(node->type);
    }
    case Qt::ForegroundRole:
        if (node->type == kNodeChatSession) {
            const auto* session = static_cast<const _ChatSessionItemNode*>(node);
            const _MsgChat* chat = session->chats.isEmpty() ? nullptr : session->chats.first();
            if (chat && chat->rowid < kRecoveredChatRowidLimit)
                return QColor(255, 0, 0, 255);
        }
        return {};
    case Qt::SizeHintRole:
        return QSize(0, kRowHeight);
    default:
        return {};
    }
}
