#include "ui/itemmodelsms.h"

#include "msgdb/msgutil.h"

#include <QBrush>
#include <QColor>
#include <QLocale>
#include <QSize>

namespace {

constexpr int kColumnCount = 4;

bool isSystemEvent(const _MsgMessage& message)
{
    return message.item_type != 0;
}

}  // namespace

ItemModelSms::ItemModelSms(QObject* parent) : QAbstractItemModel(parent) {}

void ItemModelSms::setMessages(const MsgMessageList& messages)
{
    beginResetModel();
    m_messages = messages;
    m_contentCache.clear();
    endResetModel();
}

void ItemModelSms::clear()
{
    setMessages({});
}

QModelIndex ItemModelSms::rowIndex(int row) const
{
    return index(row, 0);
}

_MsgMessage* ItemModelSms::messageOf(const QModelIndex& index)
{
    return index.isValid() && index.column() == 0 ? static_cast<_MsgMessage*>(index.internalPointer()) : nullptr;
}

QModelIndex ItemModelSms::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    return column == 0 ? createIndex(row, column, m_messages.at(row)) : createIndex(row, column);
}

QModelIndex ItemModelSms::parent(const QModelIndex&) const
{
    return {};
}

int ItemModelSms::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_messages.size();
}

int ItemModelSms::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QString ItemModelSms::dateText(const _MsgMessage& message)
{
    return QLocale::c().toString(appleTimeToDateTime(message.date), QStringLiteral("yyyy-MM-dd h:mm AP"));
}

QString ItemModelSms::flagText(const _MsgMessage& message)
{
    if (isSystemEvent(message))
        return QString();
    return message.is_from_me ? QStringLiteral("To") : QStringLiteral("From");
}

QString ItemModelSms::contactText(const _MsgMessage& message)
{
    if (!isSystemEvent(message))
        return message.chatLabel();
    return message.chat ? message.chat->displayName(false) : QString();
}

QString ItemModelSms::contentText(const _MsgMessage* message) const
{
    auto found = m_contentCache.constFind(message);
    if (found == m_contentCache.constEnd())
        found = m_contentCache.insert(message, messagePlainText(message));
    return *found;
}

QPixmap ItemModelSms::directionIcon(const _MsgMessage& message) const
{
    const bool iMessage = message.service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
    const QString path = iMessage ? (message.is_from_me ? QStringLiteral(":/res/imsg-send.png")
                                                        : QStringLiteral(":/res/imsg-rec.png"))
                                  : (message.is_from_me ? QStringLiteral(":/res/icon_sms-sent.png")
                                                        : QStringLiteral(":/res/icon_sms-receive.png"));
    auto found = m_iconCache.constFind(path);
    if (found == m_iconCache.constEnd()) {
        QPixmap pixmap(path);
        if (!pixmap.isNull())
            pixmap = pixmap.scaledToWidth(kIconWidth, Qt::SmoothTransformation);
        found = m_iconCache.insert(path, pixmap);
    }
    return *found;
}

QVariant ItemModelSms::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_messages.size() || !m_messages.at(index.row()))
        return {};
    const _MsgMessage& message = *m_messages.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (index.column()) {
        case 0:
            return dateText(message);
        case 1:
            return flagText(message);
        case 2:
            return contactText(message);
        case 3:
            return contentText(&message);
        default:
            return {};
        }
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(directionIcon(message)) : QVariant();
    case Qt::BackgroundRole:
        return QBrush(message.is_from_me ? QColor(245, 255, 226) : QColor(255, 255, 255));
    case Qt::ForegroundRole:
        return message.isHighlighted ? QVariant(QColor(255, 0, 0, 255)) : QVariant();
    case Qt::SizeHintRole:
        return QSize(0, kRowHeight);
    default:
        return {};
    }
}

QVariant ItemModelSms::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[kColumnCount] = {"Date", "Flag", "Contact", "Content"};
    return section >= 0 && section < kColumnCount ? QVariant(QString::fromLatin1(titles[section])) : QVariant();
}
