#include "ui/mmsprinter.h"

#include "export/messagepagepainter.h"
#include "msgdb/msgutil.h"
#include "ui/interaction.h"

#include <QMarginsF>
#include <QPageSize>
#include <QPrintPreviewDialog>
#include <QPrinter>

MMSPrinter::MMSPrinter(QObject* parent) : QObject(parent) {}

void MMSPrinter::print(const MsgMessageList& messages)
{
    m_messages = messages;
    sortMessages(m_messages);
    QPrinter printer(QPrinter::ScreenResolution);
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::NativeFormat);
    if (!printer.isValid())
        printer.setOutputFormat(QPrinter::PdfFormat);  // no printer installed
    printer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);

    QPrintPreviewDialog dialog(&printer);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setModal(true);
    dialog.setWindowTitle(tr("IDS_PRINT_MMS"));
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, &MMSPrinter::onPaintRequested);
    execDialog(dialog);
}

void MMSPrinter::onPaintRequested(QPrinter* printer)
{
    MessagePagePainter painter;
    if (!painter.begin(printer))
        return;  // the dialog reports printer errors itself
    for (const _MsgMessage* message : qAsConst(m_messages)) {
        if (message)
            painter.drawMessage(*message);
    }
    painter.end();
}
