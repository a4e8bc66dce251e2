// Exporting a whole generated history to CSV and text, to HTML pages, into a new local database and to
// PDF, each against a raw floor doing the same work in the same run: for CSV and text the plain SQLite
// C API reading the rows and plain C writing the lines (localtime_r/strftime, the same quoting or
// columns, fwrite; the text floor writes the C locale's dates, so that benchmark wants LC_ALL=C.UTF-8);
// for HTML the same reading, the same page bytes (escaping, emoji images, date and sender lines)
// written with plain C, and plain copies of bubble/ and emoji/; for the local database the same
// look-ups and prepared inserts with the plain SQLite C API, and plain copies of the attachment files;
// for PDF the same page operations issued straight on the same kind of PDF writer, so that only our
// layout and bubble drawing is measured. The two sides take turns at going first.
#include "core/assetdir.h"
#include "export/exportmessagesdb.h"
#include "export/exportmessagespdf.h"
#include "export/exportmessagesthread.h"
#include "export/messagepagepainter.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"

#include "fixtures/message_history.h"
#include "floors.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QLocale>
#include <QPaintEngine>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ctime>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>
#include <algorithm>
#include <dirent.h>
#include <unistd.h>
#include <strings.h>
#include <sys/stat.h>

namespace {

using floors::columnText;
using floors::copyRaw;
using floors::RawDb;
using floors::Stmt;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A generated device database of messages in folder, 250 to a conversation; returns its path.
QString generateHistory(const QTemporaryDir& folder, int messages, bool attachments)
{
    const QString dbPath = fixtures::ios6DbPathIn(folder.path());
    fixtures::createIos6DeviceDb(dbPath);
    fixtures::SampleHistoryOptions options;
    options.messages = messages;
    options.conversations = qMax(1, messages / 250);
    options.attachments = attachments;
    fixtures::fillSampleHistory(dbPath, options);
    return dbPath;
}

// A generated device history with a small file for every attachment, read into a store once.
struct Source {
    QTemporaryDir dir;
    _MsgStore store;
    MsgMessageList messages;
    QString dbPath;
    explicit Source(int count) : dbPath(generateHistory(dir, count, true))
    {
        IOS6MessageDb db(QDir(dir.path()), QString(), false);
        db.messages(store, 0);
        db.close();
        messages = store.messageList();
        const QByteArray content(2048, 'a');
        for (const _MsgAttachment* a : store.data()->attachments) {
            if (a->localPath.path().isEmpty())
                continue;
            QDir().mkpath(QFileInfo(a->localPath.path()).absolutePath());
            QFile file(a->localPath.path());
            if (file.open(QIODevice::WriteOnly))
                file.write(content);
        }
    }
};

const Source& source()
{
    static const Source s(floors::benchMessages());
    return s;
}

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

struct RawHandle {
    std::string id;
    std::string name;  // the stored contact name, may be empty
    const std::string& displayName() const { return name.empty() ? id : name; }
};

struct RawChat {
    std::string identifier;
    std::string displayName;      // may be empty
    std::vector<qint64> members;  // ascending row id
};

bool hasColumn(sqlite3* db, const char* table, const char* column)
{
    Stmt probe(db, "select 1 from pragma_table_info(?) where name=?");
    sqlite3_bind_text(probe.s, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text(probe.s, 2, column, -1, SQLITE_STATIC);
    return probe.run() != 0;
}

struct RawParties {
    std::unordered_map<qint64, RawHandle> handles;  // members of some conversation, as the reader keeps them
    std::unordered_map<qint64, RawChat> chats;
};

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

bool g_mismatch = false;

void failLoudly(benchmark::State& state, const std::string& why)
{
    std::fprintf(stderr, "%s\n", why.c_str());
    g_mismatch = true;
    state.SkipWithError(why.c_str());
}

// Per iteration, in a fresh folder: the floor, which returns how many items it handled, and ours (timed
// for the benchmark), in turn going first; then the difference between their outputs, which must be
// empty. Reports the counters ours_per_s, raw_per_s and slowdown.
void compareWithFloor(benchmark::State& state, const std::function<qint64(const QTemporaryDir&)>& raw,
                      const std::function<void(const QTemporaryDir&)>& ours,
                      const std::function<std::string(const QTemporaryDir&)>& difference)
{
    static int calls = 0;  // the two sides take turns at going first
    double oursTotal = 0, rawTotal = 0;
    qint64 items = 0;
    for (auto _ : state) {
        QTemporaryDir out;
        const floors::Timing run = floors::alternate(calls++, [&] { ours(out); }, [&] { items += raw(out); });
        rawTotal += run.raw;
        oursTotal += run.ours;
        state.SetIterationTime(run.ours);
        const std::string why = difference(out);
        if (!why.empty()) {
            failLoudly(state, why);
            return;
        }
    }
    state.counters["ours_per_s"] = benchmark::Counter(items / oursTotal);
    state.counters["raw_per_s"] = benchmark::Counter(items / rawTotal);
    state.counters["slowdown"] = benchmark::Counter(oursTotal / rawTotal);
}

// Ours reads the rows into records too, as the command does for a whole database. The command reads
// them into the database node's store, which the node keeps after the export: the records are returned
// so that their release is not counted as part of the export (BM_ExportText reports it apart).
_MsgStore exportDatabase(const QString& folder, const QString& target, int format, const QString& assets = QString())
{
    IOS6MessageDb db(QDir(folder), QString(), false);
    _MsgStore store;
    db.messages(store, 0);
    ExportMessagesThread job(store.messageList(), target, format, nullptr);
    job.setAssetRoot(assets);
    job.run();
    return store;
}

// Argument: the export format, CSV or text.
void BM_ExportText(benchmark::State& state)
{
    const bool csv = state.range(0) == ExportMessagesThread::Csv;
    if (!csv && QLocale::system().dateTimeFormat(QLocale::ShortFormat) != QLatin1String("d MMM yyyy HH:mm:ss")) {
        state.SkipWithError("the text floor writes the C locale's dates: run with LC_ALL=C.UTF-8");
        return;
    }
    const Source& s = source();
    const QString ours = csv ? QStringLiteral("ours.csv") : QStringLiteral("ours.txt");
    const QString raw = csv ? QStringLiteral("raw.csv") : QStringLiteral("raw.txt");
    _MsgStore kept;
    double releaseTotal = 0;
    compareWithFloor(
        state,
        [&](const QTemporaryDir& out) {
            return csv ? csvRaw(s.dbPath, out.filePath(raw)) : txtRaw(s.dbPath, out.filePath(raw));
        },
        [&](const QTemporaryDir& out) { kept = exportDatabase(s.dir.path(), out.filePath(ours), int(state.range(0))); },
        [&](const QTemporaryDir& out) {
            // Closing the database node later releases its records: timed here, outside the export.
            const auto start = floors::Clock::now();
            kept = _MsgStore();
            releaseTotal += floors::seconds(floors::Clock::now() - start);
            return firstDifference(fileBytes(out.filePath(ours)), fileBytes(out.filePath(raw)));
        });
    state.counters["release_s"] = benchmark::Counter(releaseTotal / double(std::max<qint64>(1, state.iterations())));
}

// --- HTML ----------------------------------------------------------------------------------------



// The code point of the emoji starting at text[k] and its length in bytes; 0 when there is none.
unsigned emojiAt(const std::string& text, std::size_t k, std::size_t& length)
{
    const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned b0 = byte(k);
    if (b0 == 0xF0 && byte(k + 1) == 0x9F && byte(k + 2) >= 0x80 && byte(k + 2) <= 0x9F
        && (byte(k + 3) & 0xC0) == 0x80) {
        length = 4;
        return 0x1F000 | ((byte(k + 2) & 0x3F) << 6) | (byte(k + 3) & 0x3F);
    }
    if ((b0 & 0xF0) == 0xE0 && (byte(k + 1) & 0xC0) == 0x80 && (byte(k + 2) & 0xC0) == 0x80) {
        const unsigned cp = ((b0 & 0x0F) << 12) | ((byte(k + 1) & 0x3F) << 6) | (byte(k + 2) & 0x3F);
        length = 3;
        return isBmpEmoji(cp) ? cp : 0;
    }
    return 0;
}

// Element content: &, < and > as entities, line feeds (with a CR before them) as <br/>, emoji as images.
void appendEscaped(std::string& out, const std::string& text)
{
    for (std::size_t k = 0; k < text.size();) {
        std::size_t length = 0;
        if (const unsigned cp = emojiAt(text, k, length)) {
            char tag[40];
            out.append(tag, std::size_t(std::snprintf(tag, sizeof tag, "<img src=\"emoji/%X.png\" />", cp)));
            k += length;
            continue;
        }
        const char c = text[k++];
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\n': out += "<br/>"; break;
        case '\r':
            if (k < text.size() && text[k] == '\n')
                break;
            out += c;
            break;
        default: out += c;
        }
    }
}

void appendBubble(std::string& out, const std::string& text, bool sent, const std::string& sender)
{
    if (!sender.empty()) {
        out += "<div class=\"ct_left\">";
        appendEscaped(out, sender);
        out += "</div><div class=\"clear\"></div>";
    }
    out += sent ? "<div class=\"bb2\">" : "<div class=\"bb1\">";
    out += "<div class=\"bb_bg top_left\"></div><div class=\"bb_bg top_middle\"></div>"
           "<div class=\"bb_bg top_right\"></div><div class=\"bb_bg middle_left\"></div>"
           "<div class=\"bb_bg middle_middle\"></div><div class=\"bb_bg middle_right\"></div>"
           "<div class=\"bb_bg bottom_left\"></div><div class=\"bb_bg bottom_middle\"></div>"
           "<div class=\"bb_bg bottom_right\"></div>";
    appendEscaped(out, text);
    out += "</div><div class=\"clear\"></div>";
}

// The page name of a conversation, as the job names it, without characters file names may not hold.
std::string pageName(const RawChat& chat, const std::unordered_map<qint64, RawHandle>& handles)
{
    std::string name = chat.identifier;
    if (chat.members.size() < 2 && !chat.displayName.empty()) {
        name = chat.displayName;
    } else if (chat.members.size() < 2) {
        name.clear();
        for (const qint64 member : chat.members) {
            const RawHandle& h = handles.at(member);
            name += (name.empty() ? "" : ", ") + (h.name.empty() ? h.id : h.name + " (" + h.id + ")");
        }
        if (name.empty())
            name = "Unknown";
    }
    std::string safe;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && !std::strchr("\\/:*?\"<>|", c))
            safe += c;
    }
    return safe + ".html";
}

void copyFolderRaw(const std::string& from, const std::string& to)
{
    mkdir(to.c_str(), 0755);
    DIR* dir = opendir(from.c_str());
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_type == DT_REG && !copyRaw(QString::fromStdString(from + '/' + entry->d_name),
                                                QString::fromStdString(to + '/' + entry->d_name)))
            throw std::runtime_error("cannot copy " + from + '/' + entry->d_name);
    }
    closedir(dir);
}

const char kHtmlPrologue[] =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n<html xmlns=\"http://www.w3.org/1999/xhtml\">\n"
    "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\n<title>Tallowmere</title>\n"
    "<link href=\"files/style.css\" type=\"text/css\" rel=\"stylesheet\"/></head><body>\n";

// The pages of a history without attachments, one per conversation, with the same date lines, sender
// lines, system-event sentences, escaping and emoji images, and plain copies of bubble/ and emoji/.
// Returns the messages written.
qint64 htmlRaw(const QString& dbPath, const QString& assets, const QString& outDir)
{
    const std::string out = outDir.toStdString();
    mkdir(out.c_str(), 0755);
    copyFolderRaw(assets.toStdString() + "/bubble", out + "/files");
    copyFolderRaw(assets.toStdString() + "/emoji", out + "/emoji");
    RawDb raw(dbPath, SQLITE_OPEN_READONLY);
    const RawParties parties = readParties(raw.db);
    Stmt rows(raw.db, "select m.date, m.is_from_me, m.text, j.chat_id, m.rowid, m.item_type, m.handle_id,"
                      " m.other_handle, m.group_title, m.subject from chat_message_join j join message m"
                      " on j.message_id=m.rowid and m.item_type<>4 order by j.chat_id, m.date, m.rowid");
    FILE* page = nullptr;
    const auto close = [&page] {
        if (page && (std::fputs("</body></html>", page) < 0 || !closeSynced(page)))
            throw std::runtime_error("cannot write");
        page = nullptr;
    };
    qint64 chatId = 0;
    qint64 written = 0;
    qint64 lastShown = 0;
    std::string line;
    std::string text;
    static const std::string kNone;
    while (sqlite3_step(rows.s) == SQLITE_ROW) {
        const RawChat& chat = parties.chats.at(sqlite3_column_int64(rows.s, 3));
        if (!page || sqlite3_column_int64(rows.s, 3) != chatId) {
            close();
            chatId = sqlite3_column_int64(rows.s, 3);
            page = std::fopen((out + '/' + pageName(chat, parties.handles)).c_str(), "w");
            if (!page)
                throw std::runtime_error("cannot write");
            std::fputs(kHtmlPrologue, page);
            lastShown = 0;
        }
        line.clear();
        ++written;
        if (sqlite3_column_int(rows.s, 5) != 0) {
            line += "<div class=\"sysif\">";
            appendEscaped(line, replaceEmojiUtf8(systemSentence(rows.s, parties.handles)));
            line += "</div>\n";
            std::fwrite(line.data(), 1, line.size(), page);
            continue;
        }
        const qint64 date = sqlite3_column_int64(rows.s, 0);
        const bool sent = sqlite3_column_int(rows.s, 1) != 0;
        const auto sender = parties.handles.find(sqlite3_column_int64(rows.s, 6));
        const bool named = chat.members.size() > 1 && !sent && sender != parties.handles.end();
        if (std::llabs(date + kAppleEpochOffset - lastShown) > 60) {
            line += "<div class=\"dt\">" + sentenceDate(date) + "</div>";
            lastShown = date + kAppleEpochOffset;
        }
        const std::string subject = columnText(rows.s, 9);
        text = subject.empty() ? std::string() : "<Subject:" + subject + ">\n";
        appendVisibleText(text, rows.s, 2);
        appendBubble(line, text, sent, named ? sender->second.displayName() : kNone);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), page);
    }
    close();
    return written;
}

// Empty when both folders hold the same files with the same bytes, else the first difference.
std::string folderDifference(const QString& oursDir, const QString& rawDir)
{
    const auto files = [](const QString& dir) {
        QStringList names;
        QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            names.append(QDir(dir).relativeFilePath(it.next()));
        names.sort();
        return names;
    };
    const QStringList ours = files(oursDir);
    const QStringList raw = files(rawDir);
    if (ours != raw)
        return "the folders hold different files: ours " + std::to_string(ours.size()) + ", raw "
               + std::to_string(raw.size());
    for (const QString& name : ours) {
        const std::string difference = firstDifference(fileBytes(QDir(oursDir).filePath(name)),
                                                       fileBytes(QDir(rawDir).filePath(name)));
        if (!difference.empty())
            return name.toStdString() + ": " + difference;
    }
    return std::string();
}

// A history of text, emoji, group senders and system events, without attachments: 10,000 messages
// unless BENCH_MESSAGES says otherwise.
struct HtmlSource {
    QTemporaryDir dir;
    QString dbPath =
        generateHistory(dir, qEnvironmentVariableIntValue("BENCH_MESSAGES") > 0 ? floors::benchMessages() : 10000, false);
};

void BM_ExportHtml(benchmark::State& state)
{
    const QString assets = assetRoot(QStringLiteral("emoji"));
    if (!QFileInfo(QDir(assets).filePath(QStringLiteral("emoji"))).isDir()) {
        state.SkipWithError("bubble/ and emoji/ are not beside the benchmark (a build without the user interface)");
        return;
    }
    static const HtmlSource s;
    compareWithFloor(
        state,
        [&](const QTemporaryDir& out) { return htmlRaw(s.dbPath, assets, out.filePath(QStringLiteral("raw"))); },
        [&](const QTemporaryDir& out) {
            exportDatabase(s.dir.path(), out.filePath(QStringLiteral("ours")), ExportMessagesThread::Html, assets);
        },
        [](const QTemporaryDir& out) {
            return folderDifference(out.filePath(QStringLiteral("ours")), out.filePath(QStringLiteral("raw")));
        });
}

// --- local database ------------------------------------------------------------------------------

void localDbOurs(const MsgMessageList& messages, const QString& dir)
{
    ExportMessagesDb exporter{QDir(dir), QString()};
    exporter.database().open();  // creating the file is not timed in either
    exporter.begin();
    for (_MsgMessage* m : messages)
        exporter.exportMessage(m);
    exporter.end();
}

void BM_ExportLocalDb(benchmark::State& state)
{
    const Source& s = source();
    MsgMessageList messages = s.messages;
    sortMessages(messages);
    compareWithFloor(
        state,
        [&](const QTemporaryDir& out) {
            const QString sourceRelay = fileRelayDir(QDir(s.dir.path())).absolutePath();
            floors::localDbRaw(messages, sourceRelay, out.filePath(QStringLiteral("raw")));
            return qint64(messages.size());
        },
        [&](const QTemporaryDir& out) { localDbOurs(messages, out.filePath(QStringLiteral("ours"))); },
        [](const QTemporaryDir& out) {
            return floors::localDbDifference(out.filePath(QStringLiteral("ours")), out.filePath(QStringLiteral("raw")));
        });
}


// --- PDF -----------------------------------------------------------------------------------------

// Pages take far longer than rows: a smaller history (BENCH_PDF_MESSAGES, 10,000 by default).
const Source& pdfSource()
{
    const int n = qEnvironmentVariableIntValue("BENCH_PDF_MESSAGES");
    static const Source s(n > 0 ? n : 10000);
    return s;
}

// One operation our painter issued on a page: what the floor repeats.
struct PageOp {
    enum Kind { NewPage, Fill, Image, Text } kind;
    QRectF rect;    // Fill, Image
    QSize size;     // Image
    QPointF point;  // Text: its baseline
    QFont font;     // Text
    QString text;   // Text
};
using PageOps = std::vector<PageOp>;

// Records fills, images and texts instead of drawing them.
class RecordingEngine : public QPaintEngine {
public:
    explicit RecordingEngine(PageOps& ops) : QPaintEngine(QPaintEngine::AllFeatures), m_ops(ops) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    Type type() const override { return QPaintEngine::User; }
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawRects(const QRectF* rects, int count) override
    {
        for (int i = 0; i < count; ++i)
            m_ops.push_back({PageOp::Fill, rects[i], {}, {}, {}, {}});
    }
    void drawRects(const QRect* rects, int count) override
    {
        for (int i = 0; i < count; ++i)
            m_ops.push_back({PageOp::Fill, QRectF(rects[i]), {}, {}, {}, {}});
    }
    void drawImage(const QRectF& rect, const QImage& image, const QRectF&, Qt::ImageConversionFlags) override
    {
        m_ops.push_back({PageOp::Image, rect, image.size(), {}, {}, {}});
    }
    void drawTextItem(const QPointF& point, const QTextItem& item) override
    {
        m_ops.push_back({PageOp::Text, {}, {}, point, item.font(), item.text()});
    }

private:
    PageOps& m_ops;
};

// A PDF writer with the page set-up of ours that records instead of writing a file.
class RecordingPdfWriter : public QPdfWriter {
public:
    explicit RecordingPdfWriter(PageOps& ops) : QPdfWriter(QString()), m_ops(ops), m_engine(ops)
    {
        setUpMessagePages(*this);
    }
    bool newPage() override
    {
        m_ops.push_back({PageOp::NewPage, {}, {}, {}, {}, {}});
        return true;
    }

protected:
    QPaintEngine* paintEngine() const override { return &m_engine; }

private:
    PageOps& m_ops;
    mutable RecordingEngine m_engine;
};

// The page painter on a recording writer: one conversation's operations.
class RecordingExporter : public MessageExporter {
public:
    explicit RecordingExporter(PageOps& ops) : m_writer(ops) {}
    void begin() override { m_painter.begin(&m_writer); }
    void exportMessage(_MsgMessage* message) override { m_painter.drawMessage(*message); }
    void end() override { m_painter.end(); }

private:
    RecordingPdfWriter m_writer;
    MessagePagePainter m_painter;
};

// The operations of every file the export writes, by file name.
std::map<QString, PageOps> recordPages(const MsgMessageList& messages)
{
    std::map<QString, PageOps> files;
    QTemporaryDir out;
    ExportMessagesThread job(messages, out.path(), ExportMessagesThread::Pdf, nullptr);
    job.setPageExporterFactory([&files](int, const QString&, const QString& name) {
        return std::make_unique<RecordingExporter>(files[name]);
    });
    job.run();
    return files;
}

// The same operations straight on the same kind of writer: per bubble one image of its size, filled,
// drawn at its place; the same texts in the same fonts.
void pdfRaw(const std::map<QString, PageOps>& files, const QString& dir)
{
    const QColor page(219, 226, 237);
    const QColor line(146, 146, 165);
    QDir().mkpath(dir);
    for (const auto& file : files) {
        QPdfWriter writer(QDir(dir).filePath(file.first));
        setUpMessagePages(writer);
        QPainter painter(&writer);
        painter.setPen(line);
        for (const PageOp& op : file.second) {
            switch (op.kind) {
            case PageOp::NewPage:
                writer.newPage();
                break;
            case PageOp::Fill:
                painter.fillRect(op.rect, page);
                break;
            case PageOp::Image: {
                QImage image(op.size, QImage::Format_RGB32);
                image.fill(page);
                painter.drawImage(op.rect.topLeft(), image);
                break;
            }
            case PageOp::Text:
                painter.setFont(op.font);
                painter.drawText(op.point, op.text);
                break;
            }
        }
    }
}

qint64 folderBytes(const QString& dir, int* files)
{
    qint64 bytes = 0;
    *files = 0;
    for (const QFileInfo& file : QDir(dir).entryInfoList(QDir::Files)) {
        bytes += file.size();
        ++*files;
    }
    return bytes;
}

void BM_ExportPdf(benchmark::State& state)
{
    const Source& s = pdfSource();
    const std::map<QString, PageOps> files = recordPages(s.messages);
    qint64 pages = 0;
    for (const auto& file : files)
        pages += 1 + std::count_if(file.second.begin(), file.second.end(),
                                   [](const PageOp& op) { return op.kind == PageOp::NewPage; });
    double ours = 0, raw = 0;
    qint64 messages = 0, totalPages = 0, bytes = 0;
    for (auto _ : state) {
        QTemporaryDir out;
        auto start = Clock::now();
        pdfRaw(files, out.filePath(QStringLiteral("raw")));
        raw += since(start);
        start = Clock::now();
        ExportMessagesThread job(s.messages, out.filePath(QStringLiteral("ours")), ExportMessagesThread::Pdf, nullptr);
        job.run();
        const double ourSeconds = since(start);
        ours += ourSeconds;
        state.SetIterationTime(ourSeconds);
        messages += s.messages.size();
        totalPages += pages;
        int oursFiles = 0;
        int rawFiles = 0;
        bytes = folderBytes(out.filePath(QStringLiteral("ours")), &oursFiles);
        folderBytes(out.filePath(QStringLiteral("raw")), &rawFiles);
        if (oursFiles != int(files.size()) || rawFiles != oursFiles) {
            failLoudly(state, "PDF files differ: ours " + std::to_string(oursFiles) + ", raw " +
                                  std::to_string(rawFiles) + ", recorded " + std::to_string(files.size()));
            return;
        }
    }
    state.counters["ours_per_s"] = benchmark::Counter(messages / ours);
    state.counters["raw_per_s"] = benchmark::Counter(messages / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
    state.counters["pages_per_s"] = benchmark::Counter(totalPages / ours);
    state.counters["file_bytes"] = benchmark::Counter(double(bytes));
}
}  // namespace

BENCHMARK(BM_ExportText)
    ->Arg(ExportMessagesThread::Csv)
    ->Arg(ExportMessagesThread::Text)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportHtml)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
// Two iterations a run: each side once first, once second.
BENCHMARK(BM_ExportLocalDb)->UseManualTime()->Iterations(2)->Repetitions(5)->Unit(benchmark::kMillisecond);
// Pages are few enough to time thrice, which evens out a busy machine.
BENCHMARK(BM_ExportPdf)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// A floor that does other work than ours measures nothing: a difference fails the run.
int main(int argc, char** argv)
{
    // Pages need fonts and a paint system, not a display; thumbnails go into a data folder of our own.
    // The application's folder is where bubble/ and emoji/ are found.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const floors::TemporaryHome home;
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return g_mismatch ? 1 : 0;
}
