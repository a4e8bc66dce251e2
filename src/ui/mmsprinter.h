#pragma once
// Printing messages: the print preview dialog ("Print Messages") on A4 pages with 20-point margins;
// whenever the preview or the printout needs the pages, the whole document is drawn by the message
// page painter. On a machine without printers the preview's printer writes PDF.
#include "msgdb/records.h"

#include <QObject>

class QPrinter;

class MMSPrinter : public QObject {
    Q_OBJECT
public:
    explicit MMSPrinter(QObject* parent = nullptr);

    // Sorts messages into the message order and runs the preview dialog until it closes. The records
    // must live until then.
    void print(const MsgMessageList& messages);

public slots:
    // Draws every message on printer from the first page.
    void onPaintRequested(QPrinter* printer);

private:
    MsgMessageList m_messages;
};
