#pragma once
// The PDF of one conversation: A4 pages with 20-point margins, drawn by the message page painter at a
// fixed resolution, so the pages look the same whatever the display.
//
// An exporter destroyed before end() (a cancel, an error) removes its unfinished file, and a write
// error (a full disk) is an error, never a short file reported as done. The path must be new: the
// file is written in place.
#include "export/absformatexport.h"
#include "export/messagepagepainter.h"

#include <QPdfWriter>
#include <QFile>
#include <QString>

// The page set-up of every message PDF.
void setUpMessagePages(QPdfWriter& writer);

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

    QFile m_file;
    QPdfWriter m_writer;  // writes into m_file
    MessagePagePainter m_pagePainter;
    bool m_finished = false;
};
