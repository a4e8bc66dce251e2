#include "exportfloors.h"

#include "msgdb/msgutil.h"

#include "floors.h"

#include <QFile>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <strings.h>
#include <unistd.h>

namespace exportfloors {

using floors::columnText;
using floors::RawDb;
using floors::Stmt;

// --- CSV -----------------------------------------------------------------------------------------

void csvField(std::string& out, const std::string& text)
{
    const bool quote = text.find_first_of("\",\n\r") != std::string::npos;
    if (quote)
        out += '"';
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    if (quote)
        out += '"';
}

std::tm localTime(qint64 stored)
{
    if (stored > 100000000000LL || stored < -100000000000LL)
        stored /= 1000000000;  // nanoseconds on newer devices
    const std::time_t unixSeconds = std::time_t(stored + kAppleEpochOffset);
    std::tm local{};
    localtime_r(&unixSeconds, &local);
    return local;
}

// "04 Sep 2013 3:06 PM", as the system-event sentences give their time.
std::string sentenceDate(qint64 stored)
{
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::tm t = localTime(stored);
    char text[48];
    const int hour = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    const int length = std::snprintf(text, sizeof text, "%02d %s %04d %d:%02d %s", t.tm_mday, kMonths[t.tm_mon],
                                     t.tm_year + 1900, hour, t.tm_min, t.tm_hour < 12 ? "AM" : "PM");
    return std::string(text, std::size_t(length));
}

// The old encoding's emoji in the Basic Multilingual Plane: the private-use block and these symbols.
bool isBmpEmoji(unsigned codePoint)
{
    static const unsigned kSymbols[] = {
        0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
        0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
        0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
        0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030};
    if (codePoint >= 0xE000 && codePoint <= 0xE537)
        return true;
    return std::binary_search(std::begin(kSymbols), std::end(kSymbols), codePoint);
}

// Emoji (U+1F000..U+1F7FF and the BMP ones) become "[EMOJI]"; UTF-8 in, UTF-8 out.
std::string replaceEmojiUtf8(const std::string& in)
{
    std::string out;
    out.reserve(in.size());
    const auto byte = [&](std::size_t k) { return k < in.size() ? static_cast<unsigned char>(in[k]) : 0u; };
    for (std::size_t k = 0; k < in.size();) {
        const unsigned b0 = byte(k);
        if (b0 == 0xF0 && byte(k + 1) == 0x9F && byte(k + 2) >= 0x80 && byte(k + 2) <= 0x9F
            && (byte(k + 3) & 0xC0) == 0x80) {
            out += "[EMOJI]";
            k += 4;
            continue;
        }
        if ((b0 & 0xF0) == 0xE0 && (byte(k + 1) & 0xC0) == 0x80 && (byte(k + 2) & 0xC0) == 0x80) {
            const unsigned cp = ((b0 & 0x0F) << 12) | ((byte(k + 1) & 0x3F) << 6) | (byte(k + 2) & 0x3F);
            if (isBmpEmoji(cp))
                out += "[EMOJI]";
            else
                out.append(in, k, 3);
            k += 3;
            continue;
        }
        out += char(b0);
        ++k;
    }
    return out;
}

const char* attachmentTagFor(const char* mime)
{
    const auto starts = [&](const char* prefix) { return strncasecmp(mime, prefix, std::strlen(prefix)) == 0; };
    if (starts("image/"))
        return " [IMAGE]";
    if (starts("video/"))
        return " [VIDEO]";
    if (starts("audio/"))
        return " [AUDIO]";
    if (strcasecmp(mime, "text/x-vCard") == 0 || strcasecmp(mime, "text/vcard") == 0)
        return " [VCARD]";
    return " [ATTA]";
}

std::string trimmedAscii(const std::string& text)
{
    const char* space = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Addresses as the reader normalises them; the generated numbers are already international.
std::string normalizedAddress(std::string id)
{
    if (id.find_first_of("@abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
        for (char& c : id)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return id;
    }
    std::string digits;
    for (const char c : id) {
        if ((c >= '0' && c <= '9') || c == '+')
            digits += c;
    }
    return digits;
}



bool hasColumn(sqlite3* db, const char* table, const char* column)
{
    Stmt probe(db, "select 1 from pragma_table_info(?) where name=?");
    sqlite3_bind_text(probe.s, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text(probe.s, 2, column, -1, SQLITE_STATIC);
    return probe.run() != 0;
}


RawParties readParties(sqlite3* db)
{
    RawParties parties;
    Stmt chatRows(db, "select rowid, chat_identifier, display_name from chat");
    while (sqlite3_step(chatRows.s) == SQLITE_ROW) {
        RawChat& chat = parties.chats[sqlite3_column_int64(chatRows.s, 0)];
        chat.identifier = columnText(chatRows.s, 1);
        chat.displayName = columnText(chatRows.s, 2);
    }
    const bool stored = hasColumn(db, "handle", "_ct_name");
    Stmt members(db, stored ? "select j.chat_id, h.rowid, h.id, h._ct_name from chat_handle_join j"
                              " join handle h on j.handle_id=h.rowid order by j.chat_id, h.rowid"
                            : "select j.chat_id, h.rowid, h.id, '' from chat_handle_join j"
                              " join handle h on j.handle_id=h.rowid order by j.chat_id, h.rowid");
    while (sqlite3_step(members.s) == SQLITE_ROW) {
        const qint64 handle = sqlite3_column_int64(members.s, 1);
        if (parties.handles.find(handle) == parties.handles.end())
            parties.handles[handle] = RawHandle{normalizedAddress(columnText(members.s, 2)), columnText(members.s, 3)};
        const auto chat = parties.chats.find(sqlite3_column_int64(members.s, 0));
        if (chat != parties.chats.end())
            chat->second.members.push_back(handle);
    }
    return parties;
}

// The text of column col without attachment marks (U+FFFC, EF BF BC in UTF-8).
void appendVisibleText(std::string& out, sqlite3_stmt* row, int col)
{
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(row, col));
    for (const char* p = text ? text : ""; *p; ++p) {
        if (std::strncmp(p, "\xEF\xBF\xBC", 3) == 0)
            p += 2;
        else
            out += *p;
    }
}

// The sentence the reader gives a system event, named by the handles of the conversations.
std::string systemSentence(sqlite3_stmt* row, const std::unordered_map<qint64, RawHandle>& handles)
{
    const auto nameOrYou = [&](qint64 rowid) -> std::string {
        const auto found = handles.find(rowid);
        return found == handles.end() ? std::string("You") : found->second.displayName();
    };
    const qint64 date = sqlite3_column_int64(row, 0);
    const std::string actor = nameOrYou(sqlite3_column_int64(row, 6));
    const qint64 otherRow = sqlite3_column_int64(row, 7);
    const std::string other = nameOrYou(otherRow > 0 ? otherRow : 0);
    switch (sqlite3_column_int(row, 5)) {
    case 1:
        return actor + " Added " + other + " to the conversation.\n" + sentenceDate(date);
    case 2:
        return actor + " named the conversation \"" + columnText(row, 8) + "\".\n" + sentenceDate(date);
    case 3:
        return actor + " left the conversation.\n" + sentenceDate(date);
    default:
        return "System Information.\n" + sentenceDate(date);
    }
}

// One message as both text formats need it.
struct ExportRow {
    std::tm local;
    bool fromMe;
    bool systemEvent;
    const RawChat* chat;  // null without one
    const std::string* content;  // the plain text: sentence or visible text with tags, emoji marked
};

// Reads every message the reader shows with its conversation and hands each to write, in the order
// the exporter sorts into: the same dates, attachment tags, system-event sentences and emoji marks.
// Location shares are left out as the reader leaves them out. Returns the messages.
qint64 walkExportRows(const QString& dbPath, RawParties& parties, const std::function<void(const ExportRow&)>& write)
{
    RawDb raw(dbPath, SQLITE_OPEN_READONLY);
    parties = readParties(raw.db);
    const auto& handles = parties.handles;
    const auto& chats = parties.chats;
    std::unordered_map<qint64, std::string> tags;  // message row id -> its attachment tags in row id order
    {
        Stmt attachments(raw.db, "select ma.message_id, a.mime_type from message_attachment_join ma"
                                 " join attachment a on ma.attachment_id=a.rowid order by ma.message_id, a.rowid");
        while (sqlite3_step(attachments.s) == SQLITE_ROW) {
            const char* mime = reinterpret_cast<const char*>(sqlite3_column_text(attachments.s, 1));
            tags[sqlite3_column_int64(attachments.s, 0)] += attachmentTagFor(mime ? mime : "");
        }
    }
    // The generated dates rise with the row id, so this is also the order the exporter sorts into.
    Stmt rows(raw.db, "select m.date, m.is_from_me, m.text, j.chat_id, m.rowid, m.item_type, m.handle_id,"
                      " m.other_handle, m.group_title from chat_message_join j join message m"
                      " on j.message_id=m.rowid and m.item_type<>4 order by m.date, m.rowid");
    qint64 count = 0;
    std::string content;
    while (sqlite3_step(rows.s) == SQLITE_ROW) {
        const bool systemEvent = sqlite3_column_int(rows.s, 5) != 0;
        if (systemEvent) {
            content = systemSentence(rows.s, handles);
        } else {
            // The text without attachment marks, then the tags.
            content.clear();
            appendVisibleText(content, rows.s, 2);
            const auto found = tags.find(sqlite3_column_int64(rows.s, 4));
            if (found != tags.end())
                content += found->second;
            content = trimmedAscii(content);
        }
        content = replaceEmojiUtf8(content);
        const auto chat = chats.find(sqlite3_column_int64(rows.s, 3));
        write({localTime(sqlite3_column_int64(rows.s, 0)), sqlite3_column_int(rows.s, 1) != 0, systemEvent,
               chat == chats.end() ? nullptr : &chat->second, &content});
        ++count;
    }
    return count;
}

// Flushes, syncs and closes file: the exporters write through QSaveFile, which syncs each file before
// putting it in place, and both sides write files the same way. False on any failure.
bool closeSynced(FILE* file)
{
    const bool synced = std::fflush(file) == 0 && ::fdatasync(fileno(file)) == 0;
    return std::fclose(file) == 0 && synced;
}

// Writes the lines write() makes for every message, after header, with fwrite.
qint64 writeRawExport(const QString& dbPath, const QString& outPath, const std::string& header,
                      const std::function<void(const RawParties&, const ExportRow&, std::string&)>& makeLine)
{
    FILE* out = std::fopen(outPath.toUtf8().constData(), "w");
    if (!out)
        throw std::runtime_error("cannot write");
    std::fwrite(header.data(), 1, header.size(), out);
    RawParties parties;
    std::string line;
    const qint64 count = walkExportRows(dbPath, parties, [&](const ExportRow& row) {
        line.clear();
        makeLine(parties, row, line);
        std::fwrite(line.data(), 1, line.size(), out);
    });
    if (!closeSynced(out))
        throw std::runtime_error("cannot write");
    return count;
}

// The same CSV lines as the exporter.
qint64 csvRaw(const QString& dbPath, const QString& outPath)
{
    static const std::string kNone;
    return writeRawExport(dbPath, outPath, "date,send,person,number,content\n",
                          [](const RawParties& parties, const ExportRow& row, std::string& line) {
        char stamp[32];
        line.assign(stamp, std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &row.local));
        line += row.fromMe ? ",1," : ",0,";
        const std::string* person = &kNone;
        const std::string* number = &kNone;
        if (row.chat && row.chat->members.size() > 1) {
            person = number = &row.chat->identifier;
        } else if (row.chat && !row.chat->members.empty()) {
            const RawHandle& first = parties.handles.at(row.chat->members.front());
            person = &first.name;
            number = &first.id;
        }
        csvField(line, *person);
        line += ',';
        csvField(line, *number);
        line += ',';
        csvField(line, *row.content);
        line += '\n';
    });
}

// UTF-16 units of UTF-8 text, as the exporter counts for its columns.
int utf16Length(const std::string& text)
{
    int units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

void appendPadded(std::string& line, const std::string& text, int width)
{
    line += text;
    line.append(std::size_t(qMax(0, width - utf16Length(text))), ' ');
}

// The same text lines as the exporter, for the C locale's short date format ("d MMM yyyy HH:mm:ss").
qint64 txtRaw(const QString& dbPath, const QString& outPath)
{
    std::string header;
    appendPadded(header, "Date", 30);
    appendPadded(header, "Flag", 6);
    appendPadded(header, "Name", 40);
    header += "Message\n";
    const auto makeLine = [](const RawParties& parties, const ExportRow& row, std::string& line) {
        char stamp[32];
        const std::size_t stampLength = std::strftime(stamp, sizeof stamp, "%-d %b %Y %H:%M:%S", &row.local);
        appendPadded(line, std::string(stamp, stampLength), 30);
        appendPadded(line, row.systemEvent ? "" : row.fromMe ? "To" : "From", 6);
        std::string name = row.chat ? row.chat->displayName : "Unknown";
        if (row.chat && name.empty()) {
            for (const qint64 member : row.chat->members)
                name += (name.empty() ? "" : ", ") + parties.handles.at(member).displayName();
            if (name.empty())
                name = "Unknown";
        }
        appendPadded(line, name, 40);
        for (const char c : *row.content) {
            if (c != '\r')
                line += c == '\n' ? ' ' : c;
        }
        line += '\n';
    };
    return writeRawExport(dbPath, outPath, header, makeLine);
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Empty when equal, else where the files first differ with the line of each.
std::string firstDifference(const QByteArray& ours, const QByteArray& raw)
{
    if (ours == raw)
        return std::string();
    int at = 0;
    while (at < ours.size() && at < raw.size() && ours[at] == raw[at])
        ++at;
    const auto lineAt = [&](const QByteArray& bytes) {
        const int from = bytes.lastIndexOf('\n', at - 1) + 1;
        const int to = bytes.indexOf('\n', at);
        return bytes.mid(from, to < 0 ? -1 : to - from).toStdString();
    };
    return "outputs differ at byte " + std::to_string(at) + ": ours \"" + lineAt(ours) + "\", raw \"" + lineAt(raw)
           + "\"";
}

}  // namespace exportfloors
