#include "export/exportmessagespdf.h"

#include "core/errors.h"

#include <QMarginsF>
#include <QPageSize>

namespace {

constexpr int kResolution = 96;
constexpr qreal kMarginPoints = 20;

}  // namespace

void setUpMessagePages(QPdfWriter& writer)
{
    writer.setResolution(kResolution);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(kMarginPoints, kMarginPoints, kMarginPoints, kMarginPoints), QPageLayout::Point);
}

bool PdfFile::create()
{
    // New only: a file already there is never truncated.
    return m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && open(QIODevice::WriteOnly);
}

qint64 PdfFile::writeData(const char* data, qint64 size)
{
    const qint64 written = m_file.write(data, size);
    if (written != size && m_error.isEmpty())
        m_error = m_file.errorString();
    return written;
}

bool PdfFile::finish()
{
    const bool flushed = m_file.flush();
    close();
    m_file.close();
    return flushed && m_error.isEmpty() && m_file.error() == QFileDevice::NoError;
}

void PdfFile::discard()
{
    close();
    m_file.remove();
}

ExportMessagesPdf::ExportMessagesPdf(const QString& path) : m_file(path), m_writer(&m_file)
{
    if (!m_file.create())
        fail(m_file.errorText());
    setUpMessagePages(m_writer);
    if (!m_pagePainter.begin(&m_writer)) {
        m_file.discard();
        fail(QStringLiteral("the PDF cannot be started"));
    }
}

ExportMessagesPdf::~ExportMessagesPdf()
{
    if (m_finished)
        return;
    m_pagePainter.end();
    m_file.discard();
}

void ExportMessagesPdf::exportMessage(_MsgMessage* message)
{
    m_pagePainter.drawMessage(*message);
}

void ExportMessagesPdf::end()
{
    const bool painted = m_pagePainter.end();
    if (!m_file.finish() || !painted)
        fail(m_file.errorText());
    m_finished = true;
}

void ExportMessagesPdf::fail(const QString& what) const
{
    throwUtf8(QStringLiteral("Cannot create %1: %2").arg(m_file.fileName(), what));
}
