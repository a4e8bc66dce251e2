#include "msgdb/messagerecycledb.h"

#include "msgdb/ios6columns.h"
#include "msgdb/msgutil.h"
#include "platform/schemascript.h"
#include "platform/sqlite3readahead.h"

#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

void setSrcRowid(Sqlite3Row& row, qint64 srcRowid)
{
    if (srcRowid > 0)
        row.setValue(QStringLiteral("src_rowid"), srcRowid);
}

_MsgHandle handleFromRow(const Sqlite3Cursor& cursor, qint64 rowid)
{
    _MsgHandle handle;
    handle.rowid = rowid;
    handle.id = cursor.getText(QStringLiteral("id"));
    handle.service = cursor.getText(QStringLiteral("service"));
    handle.uncanonicalized_id = cursor.getText(QStringLiteral("uncanonicalized_id"));
    return handle;
}

// The recycle database holds the message columns of the first layout, and beside them where a
// recovered message belongs and where it came from.
bool isRecycled(const Ios6Column<_MsgMessage>& column)
{
    return column.has(kColumnBase);
}

QString messageInsertSql()
{
    QStringList names;
    for (const Ios6Column<_MsgMessage>& c : kIos6MessageColumns) {
        if (isRecycled(c))
            names << QLatin1String(c.name);
    }
    names << QStringLiteral("chat_identifier") << QStringLiteral("handle") << QStringLiteral("src_rowid");
    QStringList values;
    for (int i = 0; i < names.size(); ++i)
        values << QStringLiteral("?");
    return QStringLiteral("insert into message(%1) values(%2)")
        .arg(names.join(QLatin1String(", ")), values.join(QLatin1Char(',')));
}

// ---- Keys of conversations made for recovered messages

bool isKnownBand(qint64 key)
{
    return key >= kRecycleKnownBandFloor;
}

// The first key at or below start, inside start's band, that neither chats nor handles of the store
// use. Bands: [kRecycleKnownBandFloor, kRecycleKnownChatBase] for conversations with an identifier,
// everything up to kRecycleUnknownChatBase for those without. A start above its band (a negative
// handle_id) begins at the top of the band.
qint64 freeRecycleKey(const _MsgStoreData& data, qint64 start)
{
    const bool known = isKnownBand(start);
    const qint64 top = known ? kRecycleKnownChatBase : kRecycleUnknownChatBase;
    const qint64 floor = known ? kRecycleKnownBandFloor : std::numeric_limits<qint64>::min();
    qint64 key = std::min(start, top);
    const qint64 first = key;
    while (data.chats.contains(key) || data.handles.contains(key)) {
        key = key == floor ? top : key - 1;
        if (key == first)
            throw std::runtime_error("no free key left for recovered conversations");
    }
    return key;
}

// Where the key search starts for a conversation of a recovered message: base minus handle_id,
// kept inside the band whatever handle_id a carved row holds (and without overflow).
qint64 bandStartKey(bool known, qint64 handleId)
{
    const qint64 base = known ? kRecycleKnownChatBase : kRecycleUnknownChatBase;
    if (handleId <= 0)
        return base;
    const qint64 floor = known ? kRecycleKnownBandFloor : std::numeric_limits<qint64>::min();
    return handleId > base - floor ? floor : base - handleId;
}

_MsgChat* addChatWithHandle(_MsgStore& store, qint64 startKey, const QString& ident, const QString& service)
{
    _MsgStoreData& data = *store.data();
    const qint64 key = freeRecycleKey(data, startKey);
    auto chat = std::make_unique<_MsgChat>();
    chat->rowid = key;
    chat->last = 0;
    chat->style = 45;
    chat->state = 3;
    chat->guid = QStringLiteral("%1;-;%2").arg(service, ident);
    chat->chat_identifier = ident;
    chat->service_name = service;
    auto handle = std::make_unique<_MsgHandle>();
    handle->rowid = key;
    handle->service = service;
    handle->id = ident;
    chat->handles.insert(ident, handle.get());
    data.handles.insert(key, handle.release());
    data.chats.insert(key, chat.get());
    return chat.release();
}

// The handle of a chat with the lowest row id, so the choice does not follow hash order.
_MsgHandle* firstHandle(const _MsgChat& chat)
{
    _MsgHandle* first = nullptr;
    for (_MsgHandle* handle : chat.handles) {
        if (!first || handle->rowid < first->rowid)
            first = handle;
    }
    return first;
}

// A live conversation keys its handles by row id text, a made one by address: try both.
_MsgHandle* handleByText(const _MsgChat& chat, const QString& text)
{
    if (_MsgHandle* byKey = chat.handles.value(text))
        return byKey;
    for (_MsgHandle* handle : chat.handles) {
        if (handle->id == text)
            return handle;
    }
    return nullptr;
}

// Where a received message came from, by the address its recovery gave: a member of its conversation,
// else a handle the store holds at that address (a live group may be gone while its people stay),
// else one made for it, so that a group's message never shows as another member's.
class SenderHandles {
public:
    explicit SenderHandles(_MsgStoreData& data) : m_data(data) {}

    _MsgHandle* find(const _MsgChat& chat, const QString& address, const _MsgMessage& m)
    {
        if (_MsgHandle* member = handleByText(chat, address))
            return member;
        if (!m_filled) {
            for (_MsgHandle* handle : m_data.handles)
                m_byAddress.insert(handle->id, handle);
            m_filled = true;
        }
        _MsgHandle*& known = m_byAddress[address];
        if (!known) {
            const qint64 key = freeRecycleKey(m_data, bandStartKey(true, m.handle_id));
            auto made = std::make_unique<_MsgHandle>();
            made->rowid = key;
            made->id = address;
            made->service = m.service;
            known = made.get();
            m_data.handles.insert(key, made.release());
        }
        return known;
    }

private:
    _MsgStoreData& m_data;
    TextHash<_MsgHandle*> m_byAddress;
    bool m_filled = false;
};

void raiseLast(_MsgChat& chat, int date)
{
    chat.last = std::max(chat.last, date);
}

}  // namespace

bool isGuidShaped(const QString& text)
{
    // Asked for every recovered message stored: compared by hand, not through a regular expression.
    constexpr int kHyphens[] = {8, 13, 18, 23};
    if (text.size() != 36)
        return false;
    for (int i = 0; i < 36; ++i) {
        const ushort c = text.at(i).unicode();
        const bool hyphen = std::find(std::begin(kHyphens), std::end(kHyphens), i) != std::end(kHyphens);
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (hyphen ? c != '-' : !alnum)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// MessageRecycleDb

MessageRecycleDb::MessageRecycleDb(QString path) : m_path(std::move(path)) {}

void MessageRecycleDb::open()
{
    if (isOpen())
        return;
    if (QFileInfo::exists(m_path))
        openThrow(m_path, 2);
    else
        createFile();
    // A scan inserts all it finds in one transaction: with the default cache of 2 MB the pages of a
    // large one and its indexes are written out and read back while it runs.
    QString ignored;
    exec(QStringLiteral("PRAGMA cache_size=-65536"), ignored);
}

void MessageRecycleDb::createFile()
{
    const QString prefix = QStringLiteral("create MessageRecycleDb error. ");
    createDatabaseFromScript(*this, m_path, readScriptResource(QStringLiteral(":/res/recycle_ddl.sql"), prefix), prefix);
}

qint64 MessageRecycleDb::insertHandle(const _MsgHandle& handle, qint64 srcRowid)
{
    open();
    static_assert(
        [] {
            for (const Ios6Column<_MsgHandle>& c : kIos6HandleColumns) {
                if (c.has(kColumnBase) && !c.textField)
                    return false;
            }
            return true;
        }(),
        "the recycle database's handle columns are texts");
    Sqlite3Row row;
    for (const Ios6Column<_MsgHandle>& c : kIos6HandleColumns) {
        if (c.has(kColumnBase))
            row.setValue(QLatin1String(c.name), handle.*c.textField);
    }
    setSrcRowid(row, srcRowid);
    return insertRow(row, QStringLiteral("handle"));
}

qint64 MessageRecycleDb::insertMessage(const _MsgMessage& m, const QString& chatIdentifier, const QString& handleText,
                                       qint64 srcRowid)
{
    open();
    // Prepared once per connection and its values bound straight in: a scan stores many thousand rows.
    // The optional texts and blob are NULL when empty, as their columns are when left out.
    static constexpr int kGuid = ios6ColumnIndex(kIos6MessageColumns, "guid");
    static constexpr int kCacheHasAttachments = ios6ColumnIndex(kIos6MessageColumns, "cache_has_attachments");
    if (!m_insertMessage.isLive())
        m_insertMessage = prepare(messageInsertSql());
    Sqlite3Prepared& insert = m_insertMessage;
    const QString guid = isGuidShaped(m.guid) ? m.guid : newGuid();
    int position = 0;
    for (std::size_t i = 0; i < kIos6MessageColumns.size(); ++i) {
        const Ios6Column<_MsgMessage>& c = kIos6MessageColumns[i];
        if (!isRecycled(c))
            continue;
        ++position;
        const bool emptyNull = c.has(kColumnEmptyNull);
        if (int(i) == kGuid) {
            insert.bindText(position, guid);
            continue;
        }
        if (int(i) == kCacheHasAttachments) {
            insert.bindInt64(position, m.attachments.isEmpty() ? 0 : 1);
            continue;
        }
        switch (c.read) {
        case ColumnRead::None:
            insert.bindNull(position);
            break;
        case ColumnRead::Integer:
        case ColumnRead::Date:
            insert.bindInt64(position, m.*c.intField);
            break;
        case ColumnRead::Integer64:
            insert.bindInt64(position, m.*c.int64Field);
            break;
        case ColumnRead::Text:
        case ColumnRead::SharedText:
            emptyNull && (m.*c.textField).isEmpty() ? insert.bindNull(position) : insert.bindText(position, m.*c.textField);
            break;
        case ColumnRead::Blob:
            emptyNull && (m.*c.blobField).isEmpty() ? insert.bindNull(position) : insert.bindBlob(position, m.*c.blobField);
            break;
        }
    }
    insert.bindText(position + 1, chatIdentifier).bindText(position + 2, handleText);
    srcRowid > 0 ? insert.bindInt64(position + 3, srcRowid) : insert.bindNull(position + 3);
    insert.run();
    const qint64 rowid = lastInsertId();
    if (m_batch) {
        m_batch->guids.insert(MessageBatch::guidHash(guid), rowid);
        m_batch->dateDirectionText.insert(MessageBatch::keyHash(m), rowid);
    }
    return rowid;
}

void MessageRecycleDb::beginMessageBatch()
{
    open();
    m_batch.reset();
    if (queryFirstInt64("select 1 from message limit 1"))
        return;  // new rows are told from the stored ones through the indexes
    auto batch = std::make_unique<MessageBatch>();
    Sqlite3Cursor indexes = queryThrow(
        "select name, sql from sqlite_master where type='index' and tbl_name='message' and sql is not null");
    QStringList names;
    while (indexes.moveNext()) {
        names.append(indexes.getText(0));
        batch->indexSql.append(indexes.getText(1));
    }
    for (const QString& name : qAsConst(names))
        executeThrow(QStringLiteral("drop index %1").arg(sqliteQuoteIdentifier(name)));
    m_batch = std::move(batch);
}

void MessageRecycleDb::finishMessageBatch()
{
    const std::unique_ptr<MessageBatch> batch = std::move(m_batch);
    if (!batch)
        return;
    for (const QString& sql : batch->indexSql)
        executeThrow(sql);
}

qint64 MessageRecycleDb::findHandle(const _MsgHandle& handle)
{
    open();
    return queryFirstInt64(
               Sqlite3Sql("select rowid from handle where id=? and service=?").addTextParam(handle.id).addTextParam(handle.service))
        .value_or(0);
}

qint64 MessageRecycleDb::findMessage(const _MsgMessage& message)
{
    open();
    if (m_batch) {
        const qint64 byGuid = m_batch->guids.find(MessageBatch::guidHash(message.guid), [&](qint64 rowid) {
            return queryFirstInt64(
                       Sqlite3Sql("select 1 from message where rowid=? and guid=?").addInt64Param(rowid).addTextParam(message.guid))
                .has_value();
        });
        return byGuid ? byGuid : m_batch->dateDirectionText.find(MessageBatch::keyHash(message), [&](qint64 rowid) {
            return queryFirstInt64(Sqlite3Sql("select 1 from message where rowid=? and date=? and is_from_me=?"
                                              " and ifnull(text,'')=?")
                                       .addInt64Param(rowid)
                                       .addInt64Param(message.date)
                                       .addIntParam(message.is_from_me)
                                       .addTextParam(message.text))
                .has_value();
        });
    }
    // NULL and "" count as the same text, so a row without text is not stored again on every scan. Asked
    // for every carved row: the statement is prepared once per connection.
    return queryFirstInt64(Sqlite3Sql("select rowid from message where guid=? or (date=? and is_from_me=? and ifnull(text,'')=?)")
                               .addTextParam(message.guid)
                               .addInt64Param(message.date)
                               .addIntParam(message.is_from_me)
                               .addTextParam(message.text))
        .value_or(0);
}

void MessageRecycleDb::RowidsByHash::insert(uint hash, qint64 rowid)
{
    if (2 * (m_used + 1) > m_slots.size()) {
        std::vector<Slot> old(std::max<size_t>(1024, 2 * m_slots.size()));
        old.swap(m_slots);
        m_used = 0;
        for (const Slot& slot : old) {
            if (slot.rowid != 0)
                insert(slot.hash, slot.rowid);
        }
    }
    const size_t mask = m_slots.size() - 1;
    size_t i = hash & mask;
    while (m_slots[i].rowid != 0)
        i = (i + 1) & mask;
    m_slots[i] = {rowid, hash};
    ++m_used;
}

qint64 MessageRecycleDb::RowidsByHash::find(uint hash, const std::function<bool(qint64)>& matches) const
{
    qint64 latest = 0;
    const size_t mask = m_slots.size() - 1;
    for (size_t i = hash & mask; !m_slots.empty() && m_slots[i].rowid != 0; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (slot.hash == hash && slot.rowid > latest && matches(slot.rowid))
            latest = slot.rowid;
    }
    return latest;
}

bool MessageRecycleDb::setMessageNumber(const _MsgMessage& message, const QString& chatIdentifier,
                                        const QString& handleText)
{
    // A message loaded from this store carries its own row; another stored message with the same date,
    // direction and text must not be renumbered instead.
    open();
    const bool loaded = message.rowid <= kRecycleMessageBase;
    const qint64 rowid = loaded ? kRecycleMessageBase - message.rowid : findMessage(message);
    if (rowid == 0)
        return false;
    executeThrow(Sqlite3Sql("update message set chat_identifier=?, handle=? where rowid=?")
                     .addTextParam(chatIdentifier)
                     .addTextParam(handleText)
                     .addInt64Param(rowid));
    return true;
}

_MsgHandle MessageRecycleDb::handleBySrcRowid(qint64 srcRowid)
{
    open();
    Sqlite3Cursor cursor = queryThrow(Sqlite3Sql("select * from handle where src_rowid=?").addInt64Param(srcRowid));
    if (!cursor.moveNext())
        return _MsgHandle();
    return handleFromRow(cursor, cursor.getInt64(QStringLiteral("src_rowid")));
}

void MessageRecycleDb::setHandleSource(qint64 rowid, qint64 srcRowid)
{
    open();
    executeThrow(Sqlite3Sql("update handle set src_rowid=? where rowid=? and src_rowid is null")
                     .addInt64Param(srcRowid)
                     .addInt64Param(rowid));
}

IdSet MessageRecycleDb::handleSources()
{
    open();
    IdSet sources;
    for (Sqlite3Cursor cursor = queryThrow("select src_rowid from handle where src_rowid is not null"); cursor.moveNext();)
        sources.insert(cursor.getInt64(0));
    return sources;
}

QList<_MsgRecycledMessage> MessageRecycleDb::loadMessages()
{
    QList<_MsgRecycledMessage> list;
    for (RecycledRecord& r : loadRecords())
        list.append({std::move(*r.message), std::move(r.chat_identifier), std::move(r.handle)});
    return list;
}

std::vector<RecycledRecord> MessageRecycleDb::loadRecords()
{
    open();
    // Rows in the order of the (is_skip, chat_identifier, date) index, read in file order: walking the
    // index for whole rows would look each up at its own place in the file. The index alone gives the
    // order, and a table scan the rows by ascending row id.
    std::vector<RecycledRecord> records;
    std::vector<qint64> rowids;
    Sqlite3Cursor cursor = queryThrow("select * from message where +is_skip=0");
    const auto position = [&cursor](const char* name) { return cursor.columnIndex(QLatin1String(name)); };
    const auto positions = ios6Positions(kIos6MessageColumns, position, isRecycled);
    const int rowid = position("rowid");
    const int chatIdentifier = position("chat_identifier");
    const int handle = position("handle");
    // Stepping a wide row costs as much as making its record: the rows are stepped on a thread of their own.
    std::vector<Sqlite3Read> reads = ios6ReadAheadPlan(kIos6MessageColumns, positions);
    for (const auto& [column, read] : {std::pair(rowid, Sqlite3Read::Integer), std::pair(chatIdentifier, Sqlite3Read::Text),
                                       std::pair(handle, Sqlite3Read::Text)}) {
        if (column >= int(reads.size()))
            reads.resize(size_t(column) + 1, Sqlite3Read::Skip);
        if (column >= 0 && reads[size_t(column)] == Sqlite3Read::Skip)
            reads[size_t(column)] = read;
    }
    SharedStrings strings;
    for (Sqlite3ReadAhead ahead(std::move(cursor), std::move(reads)); ahead.moveNext();) {
        const Sqlite3ReadAheadRow& row = ahead.row();
        auto m = std::make_unique<_MsgMessage>();
        fillIos6Record(*m, row, kIos6MessageColumns, positions, &strings);
        rowids.push_back(row.getInt64(rowid));
        m->rowid = kRecycleMessageBase - rowids.back();
        m->isHighlighted = true;
        records.push_back({std::move(m), strings.text(row.getUtf8(chatIdentifier)), strings.text(row.getUtf8(handle))});
    }
    std::vector<size_t> order;  // places in records, in index order
    order.reserve(records.size());
    std::vector<bool> met(records.size(), false);
    for (Sqlite3Cursor c = queryThrow("select rowid from message where is_skip=0"); c.moveNext();) {
        const auto it = std::lower_bound(rowids.cbegin(), rowids.cend(), c.getInt64(0));
        if (it != rowids.cend() && *it == c.getInt64(0) && !met[size_t(it - rowids.cbegin())]) {
            met[size_t(it - rowids.cbegin())] = true;
            order.push_back(size_t(it - rowids.cbegin()));
        }
    }
    // An index that does not give back every row once (a damaged file) leaves the table's order.
    if (order.size() != records.size() || !std::is_sorted(rowids.cbegin(), rowids.cend()))
        return records;
    std::vector<RecycledRecord> ordered;
    ordered.reserve(records.size());
    for (const size_t i : order)
        ordered.push_back(std::move(records[i]));
    return ordered;
}

QList<_MsgHandle> MessageRecycleDb::handles()
{
    open();
    QList<_MsgHandle> list;
    Sqlite3Cursor cursor = queryThrow("select * from handle");
    while (cursor.moveNext())
        list.append(handleFromRow(cursor, cursor.getInt64(QStringLiteral("rowid"))));
    return list;
}

// ---------------------------------------------------------------------------------------------
// Into a store

_MsgChat* findOrAddSmsChat(_MsgStore& store, qint64 key, const QString& number)
{
    return addChatWithHandle(store, key, number, QStringLiteral("SMS"));
}

void addRecycledMessages(_MsgStore& store, QList<_MsgRecycledMessage> list)
{
    std::vector<RecycledRecord> records;
    records.reserve(size_t(list.size()));
    for (_MsgRecycledMessage& r : list)
        records.push_back({std::make_unique<_MsgMessage>(std::move(r.message)), std::move(r.chat_identifier), std::move(r.handle)});
    addRecycledMessages(store, std::move(records));
}

void addRecycledMessages(_MsgStore& store, std::vector<RecycledRecord> records)
{
    _MsgStoreData& data = *store.data();
    // Ascending row id, so of two conversations with one identifier the later row always wins.
    QList<_MsgChat*> chats = store.chatList();
    std::stable_sort(chats.begin(), chats.end(), [](const _MsgChat* a, const _MsgChat* b) { return a->rowid < b->rowid; });
    TextHash<_MsgChat*> smsChats;
    TextHash<_MsgChat*> iMessageChats;
    for (_MsgChat* chat : qAsConst(chats)) {
        const bool iMessage = chat->service_name.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
        (iMessage ? iMessageChats : smsChats).insert(chat->chat_identifier, chat);
    }

    SenderHandles senders(data);
    for (RecycledRecord& r : records) {
        if (data.messages.contains(r.message->rowid))
            continue;
        _MsgMessage* m = r.message.get();
        m->sortKey = -m->rowid;
        data.messages.insert(m->rowid, r.message.release());

        QString ident = r.chat_identifier;
        _MsgChat* chat = nullptr;
        if (ident.isEmpty()) {
            ident = QStringLiteral("%1%2").arg(QStringLiteral("unknown")).arg(m->handle_id);
            chat = smsChats.value(ident);
            if (!chat) {
                chat = findOrAddSmsChat(store, bandStartKey(false, m->handle_id), ident);
                smsChats.insert(ident, chat);
            }
            m->chat = chat;
            raiseLast(*chat, m->date);
            m->handle = firstHandle(*chat);
            chat->messages.insert(m->guid, m);
            continue;
        }
        if (m->service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0) {
            chat = iMessageChats.value(ident);
            if (!chat) {
                chat = addChatWithHandle(store, bandStartKey(true, m->handle_id), ident, QStringLiteral("iMessage"));
                chat->account_id = isGuidShaped(m->account_guid) ? m->account_guid : guidFromMd5(ident.toUtf8());
                chat->account_login = m->account;
                iMessageChats.insert(ident, chat);
            }
        } else {
            chat = smsChats.value(ident);
            if (!chat) {
                chat = findOrAddSmsChat(store, bandStartKey(true, m->handle_id), ident);
                smsChats.insert(ident, chat);
            }
        }
        m->chat = chat;
        raiseLast(*chat, m->date);
        // A conversation made for a recovered room holds only the room's own address, no person.
        const bool madeRoom = chat->handles.size() == 1 && chat->handles.begin().value()->id == ident && ident != r.handle;
        // A received message of a room whose sender's handle was not recovered has no known sender: the
        // room's own address is nobody's.
        const bool senderUnknown = !m->is_from_me && r.handle.isEmpty() && m->cache_roomnames == ident;
        if (!m->is_from_me && !r.handle.isEmpty() && (chat->handles.size() > 1 || madeRoom))
            m->handle = senders.find(*chat, r.handle, *m);
        else if (chat->handles.size() == 1 && !(madeRoom && senderUnknown))
            m->handle = chat->handles.begin().value();
        else if (chat->handles.size() > 1)
            m->handle = handleByText(*chat, r.handle);
        chat->messages.insert(m->guid, m);
    }
}
