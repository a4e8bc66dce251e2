#include "export/textexport.h"

#include "core/errors.h"
#include "msgdb/msgutil.h"


#include <ctime>

namespace {

const int kDateWidth = 30;
const int kFlagWidth = 6;
const int kNameWidth = 40;

// Large enough that the file sees few writes, small enough to stay in cache.
constexpr int kFlushBytes = 64 * 1024;

// Padded on the right to width; longer text is kept whole and pushes the next column along.
void appendPadded(QString& line, const QString& text, int width)
{
    line += text;
    if (text.size() < width)
        line += QString(width - text.size(), QLatin1Char(' '));
}

// value in count decimal digits at out, with leading zeros.
void putDigits(char* out, int value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
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
    m_buffer += text.toUtf8();
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
    if (m_line.size() < kDateWidth)
        m_line += QString(kDateWidth - m_line.size(), QLatin1Char(' '));
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
