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

ExportMessagesPdf::ExportMessagesPdf(const QString& path) : m_file(path), m_writer(&m_file)
{
    // New only: a file already there is never truncated.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        fail(m_file.errorString());
    setUpMessagePages(m_writer);
    if (!m_pagePainter.begin(&m_writer)) {
        m_file.remove();
        fail(QStringLiteral("the PDF cannot be started"));
    }
}

ExportMessagesPdf::~ExportMessagesPdf()
{
    if (m_finished)
        return;
    m_pagePainter.end();
    m_file.remove();
}

void ExportMessagesPdf::exportMessage(_MsgMessage* message)
{
    m_pagePainter.drawMessage(*message);
}

void ExportMessagesPdf::end()
{
    // flush() reports what the last buffered writes met; close() would hide it.
    if (!m_pagePainter.end() || !m_file.flush() || m_file.error() != QFileDevice::NoError)
        fail(m_file.errorString());
    m_file.close();
    m_finished = true;
}

void ExportMessagesPdf::fail(const QString& what) const
{
    throwUtf8(QStringLiteral("Cannot create %1: %2").arg(m_file.fileName(), what));
}
