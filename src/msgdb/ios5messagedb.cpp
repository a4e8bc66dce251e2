#include "msgdb/ios5messagedb.h"

#include "core/errors.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "core/plistnode.h"
#include "core/safepath.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <sqlite3.h>

#include <array>
#include <memory>

namespace {

const QString kIMessage = QStringLiteral("iMessage");
const QString kMadridChat = QStringLiteral("madrid_chat");
const QString kMadridAttachment = QStringLiteral("madrid_attachment");
// The tables the reader always reads, and the iMessage tables it reads when the file has them.
const QStringList kSmsTables = {QStringLiteral("message"), QStringLiteral("msg_group"),
                                QStringLiteral("group_member"), QStringLiteral("msg_pieces")};
const QStringList kIMessageTables = {kMadridChat, kMadridAttachment};
const QChar kObjectReplacement(0xFFFC);

// "read(x)": 1 when x is non-zero. Statements and triggers of device files call it.
void sqlRead(sqlite3_context* context, int /*argc*/, sqlite3_value** argv)
{
    sqlite3_result_int(context, sqlite3_value_int64(argv[0]) != 0 ? 1 : 0);
}

enum MessageColumn {
    mRowid, mDate, mText, mFlags, mGroupId, mSvcCenter, mSubject, mCountry, mAddress, mIsMadrid,
    mAttributedBody, mMadridGuid, mMadridAccount, mMadridAccountGuid, mMadridError, mMadridDateRead,
    mMadridDateDelivered, mMadridRoomname, mMadridHandle, mMadridAttachmentInfo, kMessageColumns
};
const std::array<const char*, kMessageColumns> kMessageColumnNames = {
    "rowid", "date", "text", "flags", "group_id", "svc_center", "subject", "country", "address", "is_madrid",
    "madrid_attributedBody", "madrid_guid", "madrid_account", "madrid_account_guid", "madrid_error",
    "madrid_date_read", "madrid_date_delivered", "madrid_roomname", "madrid_handle", "madrid_attachmentInfo"};

std::array<int, kMessageColumns> messageColumnPositions(const Sqlite3Cursor& cursor)
{
    std::array<int, kMessageColumns> positions{};
    for (std::size_t i = 0; i < positions.size(); ++i)
        positions[i] = cursor.columnIndex(QLatin1String(kMessageColumnNames[i]));
    return positions;
}

// The fields of the iOS 6 layout that this layout has no column for.
void setFixedMessageFields(_MsgMessage& m)
{
    m.replace = 0;
    m.version = 10;
    setIos5StatusFields(m);
    m.item_type = 0;
}

// Attachment GUIDs in the archived attachment info of an iMessage row. Everything but letters,
// digits and "-" is blanked first, so GUIDs inside binary data are found whole.
QStringList attachmentGuidsIn(const QByteArray& info)
{
    QString text;
    text.reserve(info.size());
    for (const char byte : info) {
        const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
                          || byte == '-';
        text.append(kept ? QLatin1Char(byte) : QLatin1Char(' '));
    }
    static const QRegularExpression guidPattern(
        QStringLiteral("[a-zA-Z0-9]{8}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{4}-[a-zA-Z0-9]{12}"));
    QStringList guids;
    auto matches = guidPattern.globalMatch(text);
    while (matches.hasNext())
        guids.append(matches.next().captured(0));
    return guids;
}

// Which of two conversations with one identifier receives the iMessage rows: an iMessage
// conversation before an SMS one, then the lower key. Independent of the store's hash order.
bool preferredForIMessageRows(const _MsgChat* candidate, const _MsgChat* current)
{
    const bool candidateIsIMessage = candidate->service_name == kIMessage;
    if (candidateIsIMessage != (current->service_name == kIMessage))
        return candidateIsIMessage;
    return candidate->rowid < current->rowid;
}

QString lastPathComponent(const QString& path)
{
    const int separator = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(separator + 1);
}

// The bytes of a text part up to its first NUL.
QString textPartText(const QByteArray& data)
{
    const int nul = data.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? data : data.left(nul));
}

// Writes through a temporary file, so an interrupted write never replaces a good copy.
bool writePartFile(const QString& path, const QByteArray& data)
{
    if (!makePrivatePath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit() && makeFilePrivate(path);
}

void logWarning(const QString& text)
{
    qWarning("%s", text.toUtf8().constData());
}

}  // namespace

// State of one messages() call.
struct IOS5MessageDb::MessageReading {
    MessageReading(_MsgStoreData& storeData, const QDir& fileRelayDir)
        : data(storeData), fileRelay(QSharedPointer<ContainedFolder>::create(fileRelayDir.absolutePath()))
    {
    }

    _MsgStoreData& data;
    // Attachment copies are looked up below it when they are used.
    const QSharedPointer<const ContainedFolder> fileRelay;
    TextHash<_MsgChat*> chatByIdentifier;
    // Messages made by this call. Only they take text parts: a message read before already holds
    // its texts, and appending them again would double them on every read.
    IdSet created;
    std::array<int, kMessageColumns> columns{};
    bool attachmentRowsLoaded = false;
    TextHash<_MsgAttachment> attachmentRowByGuid;  // the lowest row of each GUID
};

void setIos5StatusFields(_MsgMessage& m)
{
    m.type = 0;
    m.is_delivered = 0;
    m.is_finished = 1;
    m.is_prepared = 1;
    m.is_read = 1;
    m.is_sent = 1;
    m.was_data_detected = 1;
}

QString mmsPartRelativePath(int groupId, int messageId, int partId, const QString& contentLocation)
{
    const QString last = lastPathComponent(contentLocation);
    const int dot = last.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot < 0 ? QString() : last.mid(dot + 1);
    const QString name = sanitizeFileName(QStringLiteral("%1-%2.%3").arg(messageId).arg(partId).arg(suffix));
    return QStringLiteral("var/mobile/Library/SMS/Parts/%1/%2/%3")
        .arg(groupId % 256, 2, 16, QLatin1Char('0'))
        .arg(messageId % 16, 2, 10, QLatin1Char('0'))
        .arg(name);
}

IOS5MessageDb::IOS5MessageDb(const QDir& dir, const QString& mcc)
    : m_dir(dir),
      m_fileRelayDir(::fileRelayDir(dir)),
      m_contactsDb(dir, mcc),
      m_recycle(dir.absoluteFilePath(QStringLiteral("recycle.db"))),
      m_countryLib(mcc),
      m_dbPath(messageDbPath(dir))
{
}

// ---------------------------------------------------------------------------------------------
// Opening

void IOS5MessageDb::open()
{
    if (isOpen())
        return;
    // Every file of this layout comes from a device or a backup.
    limitOutsideDatabase(*this);
    openThrow(m_dbPath, 2);
    try {
        registerReadFunction();
        readMessageDb([&] {
            m_tableSql = tableSqlOf(*this);
            checkReadableTables(*this, m_tableSql, kSmsTables, kIMessageTables);
        });
    } catch (...) {
        close();
        m_tableSql.clear();
        throw;
    }
}

void IOS5MessageDb::registerReadFunction()
{
    const int flags = SQLITE_ANY | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    if (sqlite3_create_function_v2(handle(), "read", 1, flags, nullptr, sqlRead, nullptr, nullptr, nullptr)
        != SQLITE_OK)
        throwUtf8(QStringLiteral("register IOS5MessageDb functions error. %1")
                      .arg(QString::fromUtf8(sqlite3_errmsg(handle()))));
}

qint64 IOS5MessageDb::messageCount()
{
    open();
    return readMessageDb([&] {
        Sqlite3Cursor cursor = queryThrow("select count(*) from message");
        return cursor.moveNext() ? cursor.getInt64(0) : 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Conversations

void IOS5MessageDb::chats(_MsgStore& store)
{
    open();
    m_naming.openContactsQuietly();
    readMessageDb([&] {
        readSmsChats(store);
        readSmsMembers(store);
        if (hasTable(kMadridChat))
            readIMessageChats(store);
    });
}

void IOS5MessageDb::readSmsChats(_MsgStore& store)
{
    auto& chats = store.data()->chats;
    // A group whose newest message is gone has nothing to show and is left out.
    Sqlite3Cursor cursor = queryThrow(
        "select g.rowid as rowid, g.*, m.date-978307200 as last_date from msg_group as g"
        " inner join message as m on g.newest_message=m.rowid order by g.rowid");
    const int rowidAt = cursor.columnIndex(QStringLiteral("rowid"));
    const int hashAt = cursor.columnIndex(QStringLiteral("hash"));
    const int lastAt = cursor.columnIndex(QStringLiteral("last_date"));
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(rowidAt);
        if (chats.contains(rowid))
            continue;
        auto chat = std::make_unique<_MsgChat>();
        chat->rowid = rowid;
        chat->last = appleDateSeconds(cursor.getInt64(lastAt));
        chat->style = 45;
        chat->state = 3;
        chat->guid = QStringLiteral("SMS;-;%1").arg(cursor.getInt(hashAt));
        chat->chat_identifier = QStringLiteral("unknown");
        chat->service_name = QStringLiteral("SMS");
        chat->account_login = QStringLiteral("E:");
        chats.insert(rowid, chat.release());
    }
}

void IOS5MessageDb::readSmsMembers(_MsgStore& store)
{
    auto& handles = store.data()->handles;
    const auto& chats = store.data()->chats;
    // In row order: the first two members decide the conversation's identifier. A member a crafted
    // file repeats is read once, as its first row.
    Sqlite3Cursor cursor = queryThrow(
        "select min(rowid) as rowid, group_id, address, country from group_member"
        " group by group_id, address, country order by rowid");
    const int rowidAt = cursor.columnIndex(QStringLiteral("rowid"));
    const int groupAt = cursor.columnIndex(QStringLiteral("group_id"));
    const int addressAt = cursor.columnIndex(QStringLiteral("address"));
    const int countryAt = cursor.columnIndex(QStringLiteral("country"));
    while (cursor.moveNext()) {
        _MsgChat* chat = chats.value(cursor.getInt64(groupAt));
        if (!chat)
            continue;
        const qint64 rowid = cursor.getInt64(rowidAt);
        _MsgHandle* handle = handles.value(rowid);
        if (!handle) {
            auto made = std::make_unique<_MsgHandle>();
            made->rowid = rowid;
            made->country = cursor.getText(countryAt);
            made->service = QStringLiteral("SMS");
            made->id = m_naming.countryOf(made->country).normalizeNumber(cursor.getText(addressAt));
            m_naming.applyContact(*made);
            handle = made.release();
            handles.insert(rowid, handle);
        }
        if (chat->handles.contains(handle->id))
            continue;
        if (chat->handles.isEmpty()) {
            chat->chat_identifier = handle->id;
            chat->guid = QStringLiteral("SMS;-;") + handle->id;
            chat->style = 45;
        } else if (chat->handles.size() == 1) {
            const QString name = makeChatRoomName(chat->guid);
            chat->chat_identifier = name;
            chat->guid = QStringLiteral("SMS;+;") + name;
            chat->room_name = name;
            chat->style = 43;
            chat->account_id = guidFromMd5(chat->guid.toUtf8());
        }
        chat->handles.insert(handle->id, handle);
    }
}

void IOS5MessageDb::readIMessageChats(_MsgStore& store)
{
    auto& chats = store.data()->chats;
    auto& handles = store.data()->handles;
    TextHash<_MsgChat*> madeChats;  // identifier -> conversation made by this call
    Sqlite3Cursor cursor = queryThrow("select rowid as rowid, * from madrid_chat order by rowid");
    while (cursor.moveNext()) {
        const qint64 key = -cursor.getInt64(QStringLiteral("rowid"));
        if (chats.contains(key))
            continue;
        const QStringList members = participantIds(cursor.getBlob(QStringLiteral("participants")));

        auto made = std::make_unique<_MsgChat>();
        _MsgChat* chat = made.get();
        chats.insert(key, made.release());
        chat->rowid = key;
        chat->chat_identifier = normalizedWithDefault(cursor.getText(QStringLiteral("chat_identifier")));
        chat->guid = (members.size() <= 1 ? QStringLiteral("iMessage;-;") : QStringLiteral("iMessage;+;"))
                     + chat->chat_identifier;
        chat->style = cursor.getInt(QStringLiteral("style"));
        chat->state = cursor.getInt(QStringLiteral("state"));
        chat->account_id = cursor.getText(QStringLiteral("account_id"));
        chat->service_name = kIMessage;
        chat->account_login = cursor.getText(QStringLiteral("account_login"));
        madeChats.insert(chat->chat_identifier, chat);

        for (const QString& member : members) {
            auto handle = std::make_unique<_MsgHandle>();
            handle->rowid = freeIMessageHandleKey(store);
            handle->service = kIMessage;
            handle->id = member;
            m_naming.applyContact(*handle);
            chat->handles.insert(handle->id, handle.get());
            handles.insert(handle->rowid, handle.get());
            handle.release();
        }
    }
    applyIMessageChatDates(madeChats);
}

QStringList IOS5MessageDb::participantIds(const QByteArray& participants)
{
    const PlistNode list = PlistNode::fromData(participants);
    const int count = list.isArray() ? list.count() : 0;
    QStringList ids;
    TextSet seen;
    for (int i = 0; i < count; ++i) {
        const QString id = normalizedWithDefault(list.at(i).toString());
        if (!seen.contains(id)) {
            seen.insert(id);
            ids.append(id);
        }
    }
    return ids;
}

qint64 IOS5MessageDb::freeIMessageHandleKey(const _MsgStore& store) const
{
    // Counted over the whole store, so the keys run -1, -2, ...; a key another reader took already is
    // passed over instead of replacing (and losing) its handle.
    const auto& handles = store.data()->handles;
    qint64 key = -1 - handles.size();
    while (handles.contains(key))
        --key;
    return key;
}

void IOS5MessageDb::applyIMessageChatDates(const TextHash<_MsgChat*>& madeChats)
{
    // The conversations are keyed by normalised identifiers, so the stored room names and addresses
    // are normalised the same way before the lookup; several spellings of one address count as one.
    const auto newestBy = [this](const char* sql) {
        TextHash<int> newest;
        Sqlite3Cursor cursor = queryThrow(sql);
        while (cursor.moveNext()) {
            const QString id = normalizedWithDefault(cursor.getText(0));
            const int date = appleDateSeconds(cursor.getInt64(1));
            auto found = newest.find(id);
            if (found == newest.end())
                newest.insert(id, date);
            else
                *found = qMax(*found, date);
        }
        return newest;
    };
    const TextHash<int> byRoom = newestBy(
        "select madrid_roomname,max(date) as last_date from message group by madrid_roomname"
        " having madrid_roomname is not null and madrid_roomname <> ''");
    const TextHash<int> byHandle = newestBy(
        "select madrid_handle,max(date) as last_date from message group by madrid_handle"
        " having madrid_handle is not null and madrid_handle <> ''");
    for (auto it = madeChats.cbegin(); it != madeChats.cend(); ++it) {
        if (byHandle.contains(it.key()))
            it.value()->last = byHandle.value(it.key());
        else if (byRoom.contains(it.key()))
            it.value()->last = byRoom.value(it.key());
    }
}

// ---------------------------------------------------------------------------------------------
// Messages

void IOS5MessageDb::messages(_MsgStore& store, qint64 chatRowid)
{
    open();
    chats(store);
    MessageReading reading(*store.data(), m_fileRelayDir);
    for (_MsgChat* chat : store.chatList()) {
        auto found = reading.chatByIdentifier.find(chat->chat_identifier);
        if (found == reading.chatByIdentifier.end())
            reading.chatByIdentifier.insert(chat->chat_identifier, chat);
        else if (preferredForIMessageRows(chat, *found))
            *found = chat;
    }
    // Without iMessage tables there is no iMessage conversation to read.
    if (chatRowid < 0 && !hasTable(kMadridChat))
        return;
    readMessageDb([&] {
        readMessageRows(reading, chatRowid);
        if (chatRowid >= 0)
            readMmsParts(reading, chatRowid);
    });
}

void IOS5MessageDb::readMessageRows(MessageReading& reading, qint64 chatRowid)
{
    Sqlite3Sql sql("select m.rowid as rowid, m.* from message as m");
    if (chatRowid > 0)
        sql.appendSql(QStringLiteral(" where m.group_id=?")).addInt64Param(chatRowid);
    else if (chatRowid < 0)
        sql.appendSql(QStringLiteral(" inner join madrid_chat as c on (m.madrid_roomname=c.chat_identifier"
                                     " or m.madrid_handle=c.chat_identifier) and c.rowid=?"))
            .addInt64Param(-chatRowid);
    Sqlite3Cursor cursor = queryThrow(sql);
    reading.columns = messageColumnPositions(cursor);
    const auto& p = reading.columns;
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(p[mRowid]);
        if (reading.data.messages.contains(rowid))
            continue;
        auto made = std::make_unique<_MsgMessage>();
        _MsgMessage& message = *made;
        reading.data.messages.insert(rowid, made.release());
        reading.created.insert(rowid);
        message.rowid = rowid;
        message.sortKey = rowid;
        message.text = cursor.getText(p[mText]);
        message.service_center = cursor.getText(p[mSvcCenter]);
        message.subject = cursor.getText(p[mSubject]);
        message.country = cursor.getText(p[mCountry]);
        setFixedMessageFields(message);
        if (cursor.getInt64(p[mIsMadrid]) != 0)
            fillIMessageRow(reading, message, cursor);
        else
            fillSmsRow(reading, message, cursor);
    }
}

void IOS5MessageDb::fillIMessageRow(MessageReading& reading, _MsgMessage& message, const Sqlite3Cursor& row)
{
    const auto& p = reading.columns;
    const QByteArray storedBody = row.getBlob(p[mAttributedBody]);
    message.guid = row.getText(p[mMadridGuid]);
    message.service = kIMessage;
    message.account = row.getText(p[mMadridAccount]);
    message.account_guid = row.getText(p[mMadridAccountGuid]);
    message.error = row.getInt(p[mMadridError]);
    message.date = appleDateSeconds(row.getInt64(p[mDate]));
    message.date_read = appleDateSeconds(row.getInt64(p[mMadridDateRead]));
    message.date_delivered = appleDateSeconds(row.getInt64(p[mMadridDateDelivered]));
    message.is_from_me = message.date_delivered > 0 ? 1 : 0;

    const QString room = normalizedWithDefault(row.getText(p[mMadridRoomname]));
    const QString peer = normalizedWithDefault(row.getText(p[mMadridHandle]));
    _MsgChat* chat = reading.chatByIdentifier.value(room.isEmpty() ? peer : room);
    message.chat = chat;
    if (chat) {
        chat->messages.insert(message.rowid, &message);
        if (chat->handles.size() == 1)
            message.handle = chat->handles.cbegin().value();
        else if (chat->handles.size() > 1 && !message.is_from_me)
            message.handle = chat->handles.value(peer);
    }
    if (hasTable(kMadridAttachment))
        attachIMessageFiles(reading, message, row.getBlob(p[mMadridAttachmentInfo]), storedBody);
}

void IOS5MessageDb::attachIMessageFiles(MessageReading& reading, _MsgMessage& message, const QByteArray& info,
                                        const QByteArray& storedBody)
{
    for (const QString& guid : attachmentGuidsIn(info)) {
        if (message.attachments.contains(guid))
            continue;
        _MsgAttachment* attachment = iMessageAttachment(reading, guid);
        if (!attachment)
            continue;
        message.attachments.insert(attachment->guid, attachment);
        // One attachment: the rich text is made for it; several: the device's own is kept.
        message.attributedBody =
            message.attachments.size() == 1 ? makeAttributedBody(attachment->guid) : storedBody;
    }
}

_MsgAttachment* IOS5MessageDb::iMessageAttachment(MessageReading& reading, const QString& guid)
{
    if (!reading.attachmentRowsLoaded) {
        // One pass over the table instead of one statement per GUID.
        reading.attachmentRowsLoaded = true;
        Sqlite3Cursor cursor = queryThrow("select rowid as rowid, * from madrid_attachment order by rowid");
        while (cursor.moveNext()) {
            const QString rowGuid = cursor.getText(QStringLiteral("attachment_guid"));
            if (reading.attachmentRowByGuid.contains(rowGuid))
                continue;
            _MsgAttachment a;
            a.rowid = -cursor.getInt64(QStringLiteral("rowid"));
            a.guid = rowGuid;
            a.created_date = appleDateSeconds(cursor.getInt64(QStringLiteral("created_date")));
            a.start_date = appleDateSeconds(cursor.getInt64(QStringLiteral("start_date")));
            a.filename = cursor.getText(QStringLiteral("filename"));
            if (a.filename.startsWith(QLatin1String("/var/mobile/")))
                a.filename.replace(0, 12, QStringLiteral("~/"));
            a.uti = cursor.getText(QStringLiteral("uti_type"));
            a.mime_type = cursor.getText(QStringLiteral("mime_type"));
            a.transfer_state = cursor.getInt(QStringLiteral("transfer_state"));
            a.is_outgoing = cursor.getInt64(QStringLiteral("is_incoming")) == 0 ? 1 : 0;
            reading.attachmentRowByGuid.insert(rowGuid, a);
        }
    }
    const auto found = reading.attachmentRowByGuid.constFind(guid);
    if (found == reading.attachmentRowByGuid.constEnd())
        return nullptr;
    if (_MsgAttachment* stored = reading.data.attachments.value(found->rowid))
        return stored;
    auto made = std::make_unique<_MsgAttachment>(*found);
    made->localPath = AttachmentLocation(reading.fileRelay, made->filename);
    _MsgAttachment* attachment = made.release();
    reading.data.attachments.insert(attachment->rowid, attachment);
    return attachment;
}

void IOS5MessageDb::fillSmsRow(MessageReading& reading, _MsgMessage& message, const Sqlite3Cursor& row)
{
    const auto& p = reading.columns;
    const qint64 storedDate = row.getInt64(p[mDate]);
    const int flags = row.getInt(p[mFlags]);
    const QString address = row.getText(p[mAddress]);
    // Derived from the row rather than random, so the same row keeps its identity across reads.
    message.guid = guidFromMd5(QStringLiteral("sms5:%1:%2:%3:%4:%5")
                                   .arg(QString::number(message.rowid), QString::number(storedDate),
                                        QString::number(flags), address, message.text)
                                   .toUtf8());
    message.service = QStringLiteral("SMS");
    message.account = QStringLiteral("e:");
    message.error = 0;
    message.date = appleDateSeconds(storedDate - kAppleEpochOffset);
    message.date_read = message.date;
    message.date_delivered = message.date;
    message.is_from_me = flags == 3 ? 1 : 0;

    _MsgChat* chat = reading.data.chats.value(row.getInt(p[mGroupId]));
    message.chat = chat;
    if (!chat)
        return;
    chat->messages.insert(message.rowid, &message);
    if (chat->handles.size() == 1)
        message.handle = chat->handles.cbegin().value();
    else if (chat->handles.size() > 1 && !message.is_from_me)
        message.handle = chat->handles.value(m_naming.countryOf(message.country).normalizeNumber(address));
}

// ---------------------------------------------------------------------------------------------
// MMS parts

void IOS5MessageDb::readMmsParts(MessageReading& reading, qint64 chatRowid)
{
    Sqlite3Sql sql(
        "select p.rowid as rowid, m.group_id as group_id, m.flags as msg_flags, p.* from msg_pieces as p"
        " inner join message as m on p.message_id=m.rowid");
    if (chatRowid > 0)
        sql.appendSql(QStringLiteral(" and m.group_id=?")).addInt64Param(chatRowid);
    // In part order, so the same picture is always the one the message itself keeps.
    sql.appendSql(QStringLiteral(" order by p.rowid"));
    Sqlite3Cursor cursor = queryThrow(sql);
    const int rowidAt = cursor.columnIndex(QStringLiteral("rowid"));
    const int messageAt = cursor.columnIndex(QStringLiteral("message_id"));
    const int typeAt = cursor.columnIndex(QStringLiteral("content_type"));
    const int locationAt = cursor.columnIndex(QStringLiteral("content_loc"));
    const int dataAt = cursor.columnIndex(QStringLiteral("data"));
    while (cursor.moveNext()) {
        if (reading.data.attachments.contains(cursor.getInt64(rowidAt)))
            continue;
        const qint64 messageId = cursor.getInt(messageAt);
        _MsgMessage* message = reading.data.messages.value(messageId);
        if (!message)
            continue;
        const QString type = cursor.getText(typeAt);
        if (type.isEmpty() || type.startsWith(QLatin1String("application/"), Qt::CaseInsensitive))
            continue;
        if (type.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
            if (reading.created.contains(messageId)) {
                message->text += QLatin1Char('\n') + textPartText(cursor.getBlob(dataAt));
                message->text = message->text.trimmed();
            }
            continue;
        }
        if (cursor.getText(locationAt).isEmpty())
            continue;
        addMmsAttachment(reading, *message, cursor);
    }
}

void IOS5MessageDb::addMmsAttachment(MessageReading& reading, _MsgMessage& message, const Sqlite3Cursor& part)
{
    const qint64 partRowid = part.getInt64(QStringLiteral("rowid"));
    const QString type = part.getText(QStringLiteral("content_type"));
    const QString location = part.getText(QStringLiteral("content_loc"));
    const QByteArray data = part.getBlob(QStringLiteral("data"));
    const QString relative = mmsPartRelativePath(part.getInt(QStringLiteral("group_id")),
                                                 part.getInt(QStringLiteral("message_id")),
                                                 part.getInt(QStringLiteral("part_id")), location);
    // The name the attachment keeps is made from data too: one safe file name, never a path.
    const QString name = sanitizeFileName(lastPathComponent(location));

    auto attachment = std::make_unique<_MsgAttachment>();
    attachment->rowid = partRowid;
    // The content is part of the identity: two sources with the same ids but different pictures
    // must never share an attachment once copied into one local database.
    attachment->guid = guidFromMd5(relative.toUtf8() + ':'
                                   + QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    attachment->created_date = int(QDateTime::currentSecsSinceEpoch() - kAppleEpochOffset);
    attachment->start_date = 0;
    attachment->filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                               .arg(attachment->guid.left(2).toLower(), attachment->guid.mid(2, 2).toLower(),
                                    attachment->guid, name);
    attachment->mime_type = type;
    attachment->uti = QStringLiteral("public.") + type.split(QLatin1Char('/')).value(1);
    attachment->transfer_state = 5;
    attachment->is_outgoing = part.getInt(QStringLiteral("msg_flags")) == 3 ? 1 : 0;
    attachment->transfer_name = name;
    // The part is written now, so its path is checked now.
    const QString localPath = resolveContained(m_fileRelayDir.absolutePath(), relative).value_or(QString());
    attachment->localPath = localPath;
    if (!localPath.isEmpty() && !data.isEmpty()) {
        if (m_maker)
            m_maker->claim(localPath);
        if (!writePartFile(localPath, data))
            logWarning(QStringLiteral("IOS5MessageDb::messages, cannot write %1").arg(localPath));
    }

    _MsgAttachment* stored = attachment.release();
    reading.data.attachments.insert(partRowid, stored);

    if (message.attachments.isEmpty()) {
        message.attachments.insert(stored->guid, stored);
        message.text += kObjectReplacement;
        message.attributedBody = makeAttributedBody(stored->guid);
        return;
    }
    // Each further picture becomes a message of its own beside the original, and joins its
    // conversation too, so conversation views and exports keep every picture.
    const qint64 cloneRowid = kMmsCloneMessageBase - partRowid;
    if (reading.data.messages.contains(cloneRowid))
        return;
    qDebug("IOS5MessageDb::messages, clone attachment message.");
    auto clone = std::make_unique<_MsgMessage>(message);
    clone->rowid = cloneRowid;
    clone->guid = guidFromMd5(QStringLiteral("%1(%2)").arg(stored->guid, QString::number(message.rowid)).toUtf8());
    clone->text = QString(kObjectReplacement);
    clone->attachments.clear();
    clone->attachments.insert(stored->guid, stored);
    clone->attributedBody = makeAttributedBody(stored->guid);
    _MsgMessage* cloned = clone.release();
    reading.data.messages.insert(cloneRowid, cloned);
    if (cloned->chat)
        cloned->chat->messages.insert(cloneRowid, cloned);
}

// ---------------------------------------------------------------------------------------------
// Contacts and numbers

QString IOS5MessageDb::normalizedWithDefault(const QString& address)
{
    return m_countryLib.defaultCountry().normalizeNumber(address);
}
