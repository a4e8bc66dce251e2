#include "export/textexport.h"

#include "msgdb/msgutil.h"

#include <QLocale>

#include <ctime>
#include <stdexcept>

namespace {

const int kDateWidth = 30;
const int kFlagWidth = 6;
const int kNameWidth = 40;

// Padded on the right to width; longer text is kept whole and pushes the next column along.
void writePadded(QTextStream& out, const QString& text, int width)
{
    out << text;
    for (int i = text.size(); i < width; ++i)
        out << QLatin1Char(' ');
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
void csvParty(const _MsgMessage& message, QString& person, QString& number)
{
    const _MsgChat* chat = message.chat;
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

QString txtDateText(int appleSeconds)
{
    return QLocale::system().toString(appleTimeToDateTime(appleSeconds), QLocale::ShortFormat);
}

QString csvDateText(int appleSeconds)
{
    // localtime_r rather than QDateTime: the same local time, at a fraction of the cost per row.
    const std::time_t unixSeconds = std::time_t(qint64(appleSeconds) + kAppleEpochOffset);
    std::tm local{};
    if (!localtime_r(&unixSeconds, &local))
        return QString();
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return QString::fromLatin1(text, int(length));
}

QString csvEscape(const QString& text)
{
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
    m_stream.setDevice(&m_file);
    m_stream.setCodec("UTF-8");
    m_stream.setGenerateByteOrderMark(false);
    writeHeader();
}

void TextFileExport::end()
{
    m_stream.flush();
    if (m_stream.status() != QTextStream::Ok || m_file.error() != QFileDevice::NoError)
        fail(m_file.errorString());
    if (!m_file.commit())
        fail(m_file.errorString());
}

void TextFileExport::fail(const QString& what) const
{
    throw std::runtime_error(QStringLiteral("%1: %2").arg(m_file.fileName(), what).toUtf8().toStdString());
}

void ExportMessagesTxt::writeHeader()
{
    QTextStream& out = stream();
    writePadded(out, QStringLiteral("Date"), kDateWidth);
    writePadded(out, QStringLiteral("Flag"), kFlagWidth);
    writePadded(out, QStringLiteral("Name"), kNameWidth);
    out << QStringLiteral("Message\n");
}

void ExportMessagesTxt::exportMessage(_MsgMessage* message)
{
    QTextStream& out = stream();
    writePadded(out, txtDateText(message->date), kDateWidth);
    writePadded(out, txtFlag(*message), kFlagWidth);
    writePadded(out, message->chat ? message->chat->displayName(false) : QStringLiteral("Unknown"), kNameWidth);
    out << oneLine(messagePlainText(message)) << QLatin1Char('\n');
}

void ExportMessagesCsv::writeHeader()
{
    stream() << QStringLiteral("date,send,person,number,content\n");
}

void ExportMessagesCsv::exportMessage(_MsgMessage* message)
{
    QString person;
    QString number;
    csvParty(*message, person, number);
    QTextStream& out = stream();
    out << csvDateText(message->date) << QLatin1Char(',') << (message->is_from_me ? '1' : '0') << QLatin1Char(',')
        << csvEscape(person) << QLatin1Char(',') << csvEscape(number) << QLatin1Char(',')
        << csvEscape(messagePlainText(message)) << QLatin1Char('\n');
}
