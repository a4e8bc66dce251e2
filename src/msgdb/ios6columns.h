#pragma once
// The columns of the iOS 6 layout's message, chat, handle and attachment tables, each described once:
// its name, SQL type and default, how it is read into which field of the record, and which files
// and roads hold it. The reader, the writer, the recycle database and the deleted-row scan all
// derive their column lists from these tables, so a column is added or changed here only.
#include "core/sharedstrings.h"
#include "msgdb/records.h"
#include "platform/sqlite3readahead.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <array>
#include <climits>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// A message date as stored (seconds since 2001-01-01, or nanoseconds on newer devices) in seconds,
// clamped to the range of the 32-bit date fields.
int appleDateSeconds(qint64 stored);

// How a column is read into its record field.
enum class ColumnRead : quint8 {
    None,        // into no field: the column is only written, or only part of the scan's template
    Integer,     // int field, truncated like sqlite3_column_int
    Integer64,   // qint64 field
    Date,        // int field: a stored date in seconds (appleDateSeconds)
    Text,        // QString field
    SharedText,  // QString field whose few values repeat on every row: through the pool
    Blob,        // QByteArray field
};

enum ColumnFlag : quint16 {
    kColumnNotNull = 1 << 0,
    kColumnBase = 1 << 1,       // in the first iOS 6 layout: the recycle database and the short scan template hold it
    kColumnLater = 1 << 2,      // added by later devices: in the long scan template; written only when the file has it
    kColumnLocal = 1 << 3,      // this program's own: written only when the file has it
    kColumnAlias = 1 << 4,      // the row id, or a join's id selected beside the table's columns: read, never written
    kColumnNoInsert = 1 << 5,   // read, but left to its default when a row is inserted
    kColumnEmptyNull = 1 << 6,  // an empty text or blob is stored as NULL
    kColumnNullRead = 1 << 7,   // the reader tells NULL from 0 (read ahead with its NULLs)
    kColumnProbeType = 1 << 8,  // the file has it when its CREATE text holds "name TYPE" in any case
    kColumnCarved = 1 << 9,     // the scan keeps a carved record only when it holds this column whole
};

template <typename Record>
struct Ios6Column {
    const char* name;
    const char* sqlType;
    const char* defaultValue;  // SQL text; null for none
    ColumnRead read;
    quint16 flags;
    int Record::*intField;
    qint64 Record::*int64Field;
    QString Record::*textField;
    QByteArray Record::*blobField;

    constexpr bool has(quint16 flag) const { return (flags & flag) != 0; }
    constexpr bool optional() const { return has(kColumnLater) || has(kColumnLocal); }
};

namespace ios6col {

template <typename R>
constexpr Ios6Column<R> integer(const char* name, int R::*field, quint16 flags = 0, const char* dflt = nullptr,
                                ColumnRead read = ColumnRead::Integer)
{
    return {name, "INTEGER", dflt, read, flags, field, nullptr, nullptr, nullptr};
}
template <typename R>
constexpr Ios6Column<R> date(const char* name, int R::*field, quint16 flags = 0)
{
    return integer(name, field, flags, nullptr, ColumnRead::Date);
}
template <typename R>
constexpr Ios6Column<R> integer64(const char* name, qint64 R::*field, quint16 flags = 0, const char* dflt = nullptr)
{
    return {name, "INTEGER", dflt, ColumnRead::Integer64, flags, nullptr, field, nullptr, nullptr};
}
template <typename R>
constexpr Ios6Column<R> text(const char* name, QString R::*field, quint16 flags = 0,
                             ColumnRead read = ColumnRead::Text)
{
    return {name, "TEXT", nullptr, read, flags, nullptr, nullptr, field, nullptr};
}
template <typename R>
constexpr Ios6Column<R> shared(const char* name, QString R::*field, quint16 flags = 0)
{
    return text(name, field, flags, ColumnRead::SharedText);
}
template <typename R>
constexpr Ios6Column<R> blob(const char* name, QByteArray R::*field, quint16 flags = 0)
{
    return {name, "BLOB", nullptr, ColumnRead::Blob, flags, nullptr, nullptr, nullptr, field};
}
// A column no record field holds.
template <typename R>
constexpr Ios6Column<R> unread(const char* name, const char* type, quint16 flags = 0, const char* dflt = nullptr)
{
    return {name, type, dflt, ColumnRead::None, flags, nullptr, nullptr, nullptr, nullptr};
}

constexpr quint16 kBase = kColumnBase, kLater = kColumnLater, kLocal = kColumnLocal, kAlias = kColumnAlias;
constexpr quint16 kNoInsert = kColumnNoInsert, kEmptyNull = kColumnEmptyNull, kCarved = kColumnCarved;
using M = _MsgMessage;

}  // namespace ios6col

// In the order of the device's table: the scan's templates are its leading columns.
inline constexpr std::array<Ios6Column<_MsgMessage>, 53> kIos6MessageColumns = [] {
    using namespace ios6col;
    return std::array<Ios6Column<M>, 53>{{
        integer64("rowid", &M::rowid, kAlias),
        text("guid", &M::guid, kBase | kColumnNotNull | kCarved),
        text("text", &M::text, kBase | kCarved),
        integer("replace", &M::replace, kBase, "0"),
        shared("service_center", &M::service_center, kBase | kEmptyNull),
        integer64("handle_id", &M::handle_id, kBase | kCarved, "0"),
        text("subject", &M::subject, kBase | kEmptyNull),
        shared("country", &M::country, kBase | kEmptyNull),
        blob("attributedBody", &M::attributedBody, kBase | kEmptyNull | kCarved),
        integer("version", &M::version, kBase, "0"),
        integer("type", &M::type, kBase, "0"),
        shared("service", &M::service, kBase | kCarved),
        shared("account", &M::account, kBase),
        shared("account_guid", &M::account_guid, kBase),
        integer("error", &M::error, kBase, "0"),
        date("date", &M::date, kBase | kColumnNullRead | kCarved),
        date("date_read", &M::date_read, kBase),
        date("date_delivered", &M::date_delivered, kBase),
        integer("is_delivered", &M::is_delivered, kBase, "0"),
        integer("is_finished", &M::is_finished, kBase, "0"),
        integer("is_emote", &M::is_emote, kBase, "0"),
        integer("is_from_me", &M::is_from_me, kBase | kCarved, "0"),
        integer("is_empty", &M::is_empty, kBase, "0"),
        integer("is_delayed", &M::is_delayed, kBase, "0"),
        integer("is_auto_reply", &M::is_auto_reply, kBase, "0"),
        integer("is_prepared", &M::is_prepared, kBase, "0"),
        integer("is_read", &M::is_read, kBase, "0"),
        integer("is_system_message", &M::is_system_message, kBase, "0"),
        integer("is_sent", &M::is_sent, kBase, "0"),
        integer("has_dd_results", &M::has_dd_results, kBase, "0"),
        integer("is_service_message", &M::is_service_message, kBase, "0"),
        integer("is_forward", &M::is_forward, kBase, "0"),
        integer("was_downgraded", &M::was_downgraded, kBase, "0"),
        integer("is_archive", &M::is_archive, kBase, "0"),
        integer("cache_has_attachments", &M::cache_has_attachments, kBase, "0"),
        shared("cache_roomnames", &M::cache_roomnames, kBase | kCarved),
        integer("was_data_detected", &M::was_data_detected, kBase, "0"),
        integer("was_deduplicated", &M::was_deduplicated, kBase, "0"),
        integer("is_audio_message", &M::is_audio_message, kLater, "0"),
        integer("is_played", &M::is_played, kLater, "0"),
        date("date_played", &M::date_played, kLater),
        integer("item_type", &M::item_type, kLater, "0"),
        integer64("other_handle", &M::other_handle, kLater, "-1"),
        text("group_title", &M::group_title, kLater | kEmptyNull),
        integer("group_action_type", &M::group_action_type, kLater, "0"),
        integer("share_status", &M::share_status, kLater),
        integer("share_direction", &M::share_direction, kLater),
        integer("is_expirable", &M::is_expirable, kLater, "0"),
        integer("expire_state", &M::expire_state, kLater, "0"),
        integer("message_action_type", &M::message_action_type, kLater, "0"),
        unread<M>("message_source", "INTEGER", kLater, "0"),
        unread<M>("logic_hash", "TEXT", kLocal),
        unread<M>("chat_id", "INTEGER", kAlias),
    }};
}();

inline constexpr std::array<Ios6Column<_MsgChat>, 16> kIos6ChatColumns = [] {
    using namespace ios6col;
    using C = _MsgChat;
    return std::array<Ios6Column<C>, 16>{{
        integer64("rowid", &C::rowid, kAlias),
        text("guid", &C::guid, kColumnNotNull),
        integer("style", &C::style),
        integer("state", &C::state),
        text("account_id", &C::account_id, kEmptyNull),
        blob("properties", &C::properties, kNoInsert),
        text("chat_identifier", &C::chat_identifier),
        shared("service_name", &C::service_name),
        text("room_name", &C::room_name, kEmptyNull),
        shared("account_login", &C::account_login),
        integer("is_archived", &C::is_archived, 0, "0"),
        text("last_addressed_handle", &C::last_addressed_handle, kNoInsert),
        text("display_name", &C::display_name, kLater | kEmptyNull),
        date("_last", &C::last, kLocal | kColumnProbeType | kNoInsert),
        text("group_id", &C::group_id, kLater),
        unread<C>("chat_id", "INTEGER", kAlias),
    }};
}();

inline constexpr std::array<Ios6Column<_MsgHandle>, 8> kIos6HandleColumns = [] {
    using namespace ios6col;
    using H = _MsgHandle;
    return std::array<Ios6Column<H>, 8>{{
        integer64("rowid", &H::rowid, kAlias),
        text("id", &H::id, kBase | kColumnNotNull | kCarved),
        shared("country", &H::country, kBase | kEmptyNull | kCarved),
        shared("service", &H::service, kBase | kColumnNotNull | kCarved),
        text("uncanonicalized_id", &H::uncanonicalized_id, kBase | kEmptyNull),
        text("_ct_name", &H::contactName, kLocal | kColumnProbeType),
        blob("_photo", &H::photo, kLocal | kColumnProbeType),
        unread<H>("chat_id", "INTEGER", kAlias),
    }};
}();

inline constexpr std::array<Ios6Column<_MsgAttachment>, 14> kIos6AttachmentColumns = [] {
    using namespace ios6col;
    using A = _MsgAttachment;
    return std::array<Ios6Column<A>, 14>{{
        integer64("rowid", &A::rowid, kAlias),
        text("guid", &A::guid, kColumnNotNull),
        integer("created_date", &A::created_date),
        integer("start_date", &A::start_date),
        text("filename", &A::filename),
        shared("uti", &A::uti),
        shared("mime_type", &A::mime_type),
        integer("transfer_state", &A::transfer_state),
        integer("is_outgoing", &A::is_outgoing),
        blob("user_info", &A::user_info, kLater | kEmptyNull),
        text("transfer_name", &A::transfer_name, kLater | kEmptyNull),
        integer64("total_bytes", &A::total_bytes, kLater),
        unread<A>("attachment_id", "INTEGER", kAlias),
        unread<A>("message_id", "INTEGER", kAlias),
    }};
}();

// The position of name in a table, or -1; for the columns the roads treat apart from the others.
template <typename Record, std::size_t N>
constexpr int ios6ColumnIndex(const std::array<Ios6Column<Record>, N>& columns, std::string_view name)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (std::string_view(columns[i].name) == name)
            return int(i);
    }
    return -1;
}

// Per column of a table, where a row holds it: a position, -1 for a column the row lacks (read as
// NULL, so its field is 0 or empty), or kColumnLeftAlone for a column whose field is not touched.
constexpr int kColumnLeftAlone = INT_MIN;
template <std::size_t N>
using Ios6Positions = std::array<int, N>;

// Positions found by name (position(name) -> int) for the columns keep(column) accepts.
template <typename Record, std::size_t N, typename Position, typename Keep>
Ios6Positions<N> ios6Positions(const std::array<Ios6Column<Record>, N>& columns, Position position, Keep keep)
{
    Ios6Positions<N> positions{};
    for (std::size_t i = 0; i < N; ++i)
        positions[i] = keep(columns[i]) ? position(columns[i].name) : kColumnLeftAlone;
    return positions;
}

namespace ios6detail {

template <typename Row, typename = void>
struct HasUtf8 : std::false_type {};
template <typename Row>
struct HasUtf8<Row, std::void_t<decltype(std::declval<const Row&>().getUtf8(0))>> : std::true_type {};

}  // namespace ios6detail

// Fills the fields of record from row, each column as the table says. Row is anything with the
// cursor's getters by position: a cursor's row, a read-ahead row, a carved row. Without strings, or
// from a row without getUtf8, shared texts are read as plain ones.
template <typename Record, typename Row, std::size_t N>
void fillIos6Record(Record& record, const Row& row, const std::array<Ios6Column<Record>, N>& columns,
                    const Ios6Positions<N>& positions, SharedStrings* strings)
{
    for (std::size_t i = 0; i < N; ++i) {
        const int p = positions[i];
        if (p == kColumnLeftAlone)
            continue;
        const Ios6Column<Record>& c = columns[i];
        switch (c.read) {
        case ColumnRead::None:
            break;
        case ColumnRead::Integer:
            record.*c.intField = row.getInt(p);
            break;
        case ColumnRead::Integer64:
            record.*c.int64Field = row.getInt64(p);
            break;
        case ColumnRead::Date:
            record.*c.intField = appleDateSeconds(row.getInt64(p));
            break;
        case ColumnRead::Text:
            record.*c.textField = row.getText(p);
            break;
        case ColumnRead::SharedText:
            if constexpr (ios6detail::HasUtf8<Row>::value) {
                if (strings) {
                    record.*c.textField = strings->text(row.getUtf8(p));
                    break;
                }
            }
            record.*c.textField = row.getText(p);
            break;
        case ColumnRead::Blob:
            record.*c.blobField = row.getBlob(p);
            break;
        }
    }
}

// How a reader that fills records with fillIos6Record reads each position ahead: a join's id beside
// the table's columns as an integer, what no field holds not at all.
template <typename Record, std::size_t N>
std::vector<Sqlite3Read> ios6ReadAheadPlan(const std::array<Ios6Column<Record>, N>& columns,
                                           const Ios6Positions<N>& positions)
{
    int last = -1;
    for (const int p : positions)
        last = std::max(last, p);
    std::vector<Sqlite3Read> reads(std::size_t(last + 1), Sqlite3Read::Skip);
    for (std::size_t i = 0; i < N; ++i) {
        if (positions[i] < 0)
            continue;
        const Ios6Column<Record>& c = columns[i];
        Sqlite3Read& read = reads[std::size_t(positions[i])];
        switch (c.read) {
        case ColumnRead::None:
            read = c.has(kColumnAlias) ? Sqlite3Read::Integer : Sqlite3Read::Skip;
            break;
        case ColumnRead::Text:
        case ColumnRead::SharedText:
            read = Sqlite3Read::Text;
            break;
        case ColumnRead::Blob:
            read = Sqlite3Read::Blob;
            break;
        default:
            read = c.has(kColumnNullRead) ? Sqlite3Read::NullableInteger : Sqlite3Read::Integer;
            break;
        }
    }
    return reads;
}

// Which optional columns (later devices', this program's own) a file's table has, as one bit per
// column of the table, probed from its CREATE text.
template <typename Record, std::size_t N>
quint64 ios6PresentColumns(const std::array<Ios6Column<Record>, N>& columns, const QString& createSql)
{
    static_assert(N <= 64, "one bit per column");
    quint64 present = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const Ios6Column<Record>& c = columns[i];
        if (!c.optional())
            continue;
        const bool found = c.has(kColumnProbeType)
            ? createSql.contains(QStringLiteral("%1 %2").arg(QLatin1String(c.name), QLatin1String(c.sqlType)),
                                 Qt::CaseInsensitive)
            : createSql.contains(QLatin1String(c.name), Qt::CaseSensitive);
        if (found)
            present |= quint64(1) << i;
    }
    return present;
}

// The ALTER TABLE statements that add the message columns later devices added, in their order.
std::vector<std::pair<const char*, QString>> ios6LaterMessageColumnStatements();
