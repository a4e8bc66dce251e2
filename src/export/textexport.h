#pragma once
// Text and CSV exporters: all messages in one UTF-8 file without byte-order mark, LF line ends.
//
// Both write into a temporary file beside the target and put it in place only in end(), so a cancel
// or an error leaves whatever was at the target before untouched. Write errors (a full disk, a
// vanished folder) surface as exceptions from end(), never as a short file reported as done.
#include "export/absformatexport.h"
#include "export/shortdatetime.h"

#include <QByteArray>
#include <QHash>
#include <QSaveFile>
#include <QString>

// The date column of CSV files, in local time.
QString csvDateText(int appleSeconds);

// Shared by the text formats and the HTML pages: the temporary file, the UTF-8 output buffer and the
// error checks.
class TextFileExport : public MessageExporter {
public:
    explicit TextFileExport(const QString& path);

    void begin() override;
    void end() override;

protected:
    virtual void writeHeader() = 0;
    // What follows the last message; nothing by default.
    virtual void writeFooter() {}
    // Appends text as UTF-8; the file is written in large blocks.
    void write(const QString& text);

private:
    void flushBuffer();
    [[noreturn]] void fail(const QString& what) const;

    QSaveFile m_file;
    QByteArray m_buffer;
};

// Fixed-width columns: date (30), flag (6), conversation name (40), then the text on one line.
class ExportMessagesTxt : public TextFileExport {
public:
    using TextFileExport::TextFileExport;
    void exportMessage(_MsgMessage* message) override;

protected:
    void writeHeader() override;

private:
    // The conversation's name column, padded; made once per conversation, as the records do not
    // change while an export runs.
    const QString& nameColumn(const _MsgChat* chat);

    const ShortDateTimeFormat m_dates;
    QHash<const _MsgChat*, QString> m_nameColumns;
    QString m_line;  // reused for every row
};

// date,send,person,number,content with RFC 4180 quoting.
class ExportMessagesCsv : public TextFileExport {
public:
    using TextFileExport::TextFileExport;
    void exportMessage(_MsgMessage* message) override;

protected:
    void writeHeader() override;

private:
    // The escaped person and number columns of a conversation with the separators around them; the
    // records do not change while an export runs, and conversations hold many messages.
    const QString& partyColumns(const _MsgChat* chat);

    QHash<const _MsgChat*, QString> m_partyColumns;
    QString m_line;  // reused for every row
};

// The text as one CSV field: doubled quotes, and the whole field quoted when it holds a quote, a
// comma, a line feed or a carriage return (spreadsheets break rows on a bare CR too).
QString csvEscape(const QString& text);

