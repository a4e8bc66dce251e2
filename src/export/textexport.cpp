#include "export/textexport.h"

#include "core/errors.h"
#include "msgdb/msgutil.h"


#include <algorithm>
#include <ctime>

namespace {

const int kDateWidth = 30;
const int kFlagWidth = 6;
const int kNameWidth = 40;

// Large enough that the file sees few writes, small enough to stay in cache.
constexpr int kFlushBytes = 64 * 1024;

// count spaces, without a string made for them.
void appendSpaces(QString& line, int count)
{
    static const char kSpaces[] = "                                ";
    constexpr int kAtOnce = int(sizeof kSpaces) - 1;
    for (; count > 0; count -= kAtOnce)
        line += QLatin1String(kSpaces, std::min(count, kAtOnce));
}

// Padded on the right to width; longer text is kept whole and pushes the next column along.
void appendPadded(QString& line, const QString& text, int width)
{
    line += text;
    appendSpaces(line, width - text.size());
}

// value in count decimal digits at out, with leading zeros.
void putDigits(char* out, int value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
}

// Appends text as UTF-8, byte for byte as QString::toUtf8 encodes it (an unpaired surrogate as '?'),
// straight into out rather than through a QByteArray of each line.
void appendUtf8(QByteArray& out, const QString& text)
{
    const int start = out.size();
    const int size = text.size();
    out.resize(start + 3 * size);  // a UTF-16 unit never takes more than three bytes
    auto* dst = reinterpret_cast<uchar*>(out.data() + start);
    const ushort* const src = text.utf16();
    for (int i = 0; i < size; ++i) {
        const uint unit = src[i];
        if (unit < 0x80) {
            *dst++ = uchar(unit);
        } else if (unit < 0x800) {
            *dst++ = uchar(0xC0 | (unit >> 6));
            *dst++ = uchar(0x80 | (unit & 0x3F));
        } else if (!QChar::isSurrogate(unit)) {
            *dst++ = uchar(0xE0 | (unit >> 12));
            *dst++ = uchar(0x80 | ((unit >> 6) & 0x3F));
            *dst++ = uchar(0x80 | (unit & 0x3F));
        } else if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(src[i + 1])) {
            const uint point = QChar::surrogateToUcs4(ushort(unit), src[++i]);
            *dst++ = uchar(0xF0 | (point >> 18));
            *dst++ = uchar(0x80 | ((point >> 12) & 0x3F));
            *dst++ = uchar(0x80 | ((point >> 6) & 0x3F));
            *dst++ = uchar(0x80 | (point & 0x3F));
        } else {
            *dst++ = '?';
        }
    }
    out.resize(int(reinterpret_cast<char*>(dst) - out.data()));
}

bool needsCsvQuotes(const QString& text)
{
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'"':
        case u',':
        case u'\n':
        case u'\r':
            return true;
        default:
            break;
        }
    }
    return false;
}

QString oneLine(QString text)
{
    text.remove(QLatin1Char('\r'));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

QString txtFlag(const _MsgMessage& message)
{
    if (message.item_type != 0)
        return QString();
    return message.is_from_me ? QStringLiteral("To") : QStringLiteral("From");
}

// Person and number columns: the identifier for a group, else the first member's name and address.
void csvParty(const _MsgChat* chat, QString& person, QString& number)
{
    if (!chat)
        return;
    if (chat->isGroup()) {
        person = number = chat->chat_identifier;
        return;
    }
    const QList<_MsgHandle*> handles = chat->sortedHandles();
    if (handles.isEmpty())
        return;
    person = handles.first()->contactName;
    number = handles.first()->id;
}

}  // namespace

QString csvDateText(int appleSeconds)
{
    // localtime_r rather than QDateTime: the same local time, at a fraction of the cost per row.
    std::tm local{};
    if (!appleLocalTime(appleSeconds, local))
        return QString();
    // "yyyy-MM-dd hh:mm:ss" by hand, as strftime would write it: strftime costs more than the rest of
    // the row. 32-bit dates fall between 1932 and 2069, so the year always has four digits.
    char text[] = "0000-00-00 00:00:00";
    putDigits(text, local.tm_year + 1900, 4);
    putDigits(text + 5, local.tm_mon + 1, 2);
    putDigits(text + 8, local.tm_mday, 2);
    putDigits(text + 11, local.tm_hour, 2);
    putDigits(text + 14, local.tm_min, 2);
    putDigits(text + 17, local.tm_sec, 2);
    return QString::fromLatin1(text, int(sizeof text) - 1);
}

QString csvEscape(const QString& text)
{
    // Most fields need nothing: they are shared, not copied.
    if (!needsCsvQuotes(text))
        return text;
    bool needsQuotes = false;
    QString escaped;
    escaped.reserve(text.size() + 2);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'"':
            escaped += QLatin1Char('"');
            needsQuotes = true;
            break;
        case u',':
        case u'\n':
        case u'\r':
            needsQuotes = true;
            break;
        default:
            break;
        }
        escaped += c;
    }
    if (needsQuotes) {
        escaped.prepend(QLatin1Char('"'));
        escaped += QLatin1Char('"');
    }
    return escaped;
}

TextFileExport::TextFileExport(const QString& path) : m_file(path) {}

void TextFileExport::begin()
{
    // Text mode adds nothing on Linux: every line ends in "\n" as written.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text))
        fail(m_file.errorString());
    m_buffer.reserve(kFlushBytes + 4096);
    writeHeader();
}

void TextFileExport::write(const QString& text)
{
    // Whole lines are encoded at once, so a surrogate pair is never split between two encodings.
    appendUtf8(m_buffer, text);
    if (m_buffer.size() >= kFlushBytes)
        flushBuffer();
}

void TextFileExport::flushBuffer()
{
    if (m_buffer.isEmpty())
        return;
    if (m_file.write(m_buffer) != m_buffer.size())
        fail(m_file.errorString());
    m_buffer.resize(0);
}

void TextFileExport::end()
{
    writeFooter();
    flushBuffer();
    if (m_file.error() != QFileDevice::NoError)
        fail(m_file.errorString());
    if (!m_file.commit())
        fail(m_file.errorString());
}

void TextFileExport::fail(const QString& what) const
{
    throwUtf8(QStringLiteral("%1: %2").arg(m_file.fileName(), what));
}

void ExportMessagesTxt::writeHeader()
{
    QString line;
    appendPadded(line, QStringLiteral("Date"), kDateWidth);
    appendPadded(line, QStringLiteral("Flag"), kFlagWidth);
    appendPadded(line, QStringLiteral("Name"), kNameWidth);
    line += QStringLiteral("Message\n");
    write(line);
}

const QString& ExportMessagesTxt::nameColumn(const _MsgChat* chat)
{
    const auto found = m_nameColumns.constFind(chat);
    if (found != m_nameColumns.constEnd())
        return *found;
    QString column;
    appendPadded(column, chat ? chat->displayName(false) : QStringLiteral("Unknown"), kNameWidth);
    return *m_nameColumns.insert(chat, column);
}

void ExportMessagesTxt::exportMessage(_MsgMessage* message)
{
    m_line.resize(0);
    m_dates.append(m_line, message->date);
    appendSpaces(m_line, kDateWidth - m_line.size());
    appendPadded(m_line, txtFlag(*message), kFlagWidth);
    m_line += nameColumn(message->chat);
    m_line += oneLine(messagePlainText(message));
    m_line += QLatin1Char('\n');
    write(m_line);
}

void ExportMessagesCsv::writeHeader()
{
    write(QStringLiteral("date,send,person,number,content\n"));
}

const QString& ExportMessagesCsv::partyColumns(const _MsgChat* chat)
{
    const auto found = m_partyColumns.constFind(chat);
    if (found != m_partyColumns.constEnd())
        return *found;
    QString person;
    QString number;
    csvParty(chat, person, number);
    return *m_partyColumns.insert(chat, QLatin1Char(',') + csvEscape(person) + QLatin1Char(',') + csvEscape(number)
                                            + QLatin1Char(','));
}

void ExportMessagesCsv::exportMessage(_MsgMessage* message)
{
    m_line.resize(0);
    m_line += csvDateText(message->date);
    m_line += QLatin1Char(',');
    m_line += QLatin1Char(message->is_from_me ? '1' : '0');
    m_line += partyColumns(message->chat);
    m_line += csvEscape(messagePlainText(message));
    m_line += QLatin1Char('\n');
    write(m_line);
}
