// Exporting a whole generated history to CSV and text, to HTML pages, into a new local database and to
// PDF, each against a raw floor doing the same work in the same run: for CSV and text the plain SQLite
// C API reading the rows and plain C writing the lines (localtime_r/strftime, the same quoting or
// columns, fwrite; the text floor writes the C locale's dates, so that benchmark wants LC_ALL=C.UTF-8);
// for HTML the same reading, the same page bytes (escaping, emoji images, date and sender lines)
// written with plain C, and plain copies of bubble/ and emoji/; for the local database the same
// look-ups and prepared inserts with the plain SQLite C API, and plain copies of the attachment files;
// for PDF the same page operations issued straight on the same kind of PDF writer, so that only our
// layout and bubble drawing is measured. The two sides take turns at going first.
//
// BM_PageNames names the PDF pages of range(0) one-message conversations that all share one name, with
// pages that write nothing, against as many conversations of names apart: slowdown is shared over apart.
#include "core/assetdir.h"
#include "export/exportmessagesdb.h"
#include "export/exportmessagespdf.h"
#include "export/exportmessagesthread.h"
#include "export/messagepagepainter.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"
#include "platform/allocator.h"

#include "fixtures/message_history.h"
#include "exportfloors.h"
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

using namespace exportfloors;
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
class NoPage : public MessageExporter {
public:
    void begin() override {}
    void exportMessage(_MsgMessage*) override {}
    void end() override {}
};

// Seconds to name the PDF pages of count one-message conversations, all of one name or each its own;
// the last name given in last.
double namingSeconds(int count, bool shared, QString& last)
{
    _MsgStore store;
    MsgMessageList messages;
    for (int i = 0; i < count; ++i) {
        auto* chat = new _MsgChat;
        chat->rowid = i + 1;
        chat->chat_identifier = QStringLiteral("+1555%1").arg(i, 7, 10, QLatin1Char('0'));
        chat->display_name = shared ? QStringLiteral("Sam") : chat->chat_identifier;
        store.data()->chats.insert(chat->rowid, chat);
        auto* message = new _MsgMessage;
        message->rowid = message->sortKey = i + 1;
        message->chat = chat;
        message->date = chat->last = 1000 + i;
        chat->messages.insert(message->rowid, message);
        store.data()->messages.insert(message->rowid, message);
        messages.append(message);
    }
    QTemporaryDir out;
    ExportMessagesThread job(messages, out.path(), ExportMessagesThread::Pdf, nullptr);
    job.setPageExporterFactory([&last](int, const QString&, const QString& name) {
        last = name;
        return std::make_unique<NoPage>();
    });
    const auto start = std::chrono::steady_clock::now();
    job.run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_PageNames(benchmark::State& state)
{
    double shared = 0;
    double apart = 0;
    QString last;
    QString lastApart;
    for (auto _ : state) {
        const double seconds = namingSeconds(int(state.range(0)), true, last);
        state.SetIterationTime(seconds);
        shared += seconds;
        apart += namingSeconds(int(state.range(0)), false, lastApart);
    }
    state.SetLabel(last.toStdString());  // the name of the last page of the shared name
    state.counters["apart_s"] = benchmark::Counter(apart);
    state.counters["slowdown"] = benchmark::Counter(shared / apart);
}

}  // namespace

BENCHMARK(BM_PageNames)->Arg(8000)->Arg(20000)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
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
    tuneAllocator();
    // Pages need fonts and a paint system, not a display; thumbnails go into a data folder of our own.
    // The application's folder is where bubble/ and emoji/ are found.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const floors::TemporaryHome home;
    QGuiApplication app(argc, argv);
    const int status = floors::runBenchmarks(argc, argv);
    return status != 0 || g_mismatch ? 1 : 0;
}
