#pragma once
// The PDF of one conversation: A4 pages with 20-point margins, drawn by the message page painter at a
// fixed resolution, so the pages look the same whatever the display.
//
// An exporter destroyed before end() (a cancel, an error) removes its unfinished file, and a write
// error (a full disk) is an error, never a short file reported as done. The path must be new: the
// file is written in place.
#include "export/absformatexport.h"
#include "export/messagepagepainter.h"

#include <QFile>
#include <QPdfWriter>
#include <QString>

// The page set-up of every message PDF.
void setUpMessagePages(QPdfWriter& writer);

// The file a PDF is written to, through a device that remembers a failed write: the PDF engine does
// not look at what its writes return, and the file itself forgets the error again.
class PdfFile : public QIODevice {
public:
    explicit PdfFile(const QString& path) : m_file(path) {}

    // Creates the file; false when something is there already or it cannot be made.
    bool create();
    // Closes the file; false when any write failed.
    bool finish();
    // Closes and removes the file.
    void discard();
    QString fileName() const { return m_file.fileName(); }
    QString errorText() const { return m_error.isEmpty() ? m_file.errorString() : m_error; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override;

private:
    QFile m_file;
    QString m_error;  // of the first failed write
};

class ExportMessagesPdf : public MessageExporter {
public:
    // Creates the file and draws the first page's background; throws, naming the file, when the file
    // cannot be created.
    explicit ExportMessagesPdf(const QString& path);
    ~ExportMessagesPdf() override;

    void begin() override {}
    void exportMessage(_MsgMessage* message) override;
    void end() override;

private:
    [[noreturn]] void fail(const QString& what) const;

    PdfFile m_file;
    QPdfWriter m_writer;  // writes into m_file
    MessagePagePainter m_pagePainter;
    bool m_finished = false;
};
