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
    if (!m_file.open(QIODevice::WriteOnly))
        fail(m_file.errorString());
    setUpMessagePages(m_writer);
    if (!m_pagePainter.begin(&m_writer))
        fail(QStringLiteral("the PDF cannot be started"));
}

void ExportMessagesPdf::exportMessage(_MsgMessage* message)
{
    m_pagePainter.drawMessage(*message);
}

void ExportMessagesPdf::end()
{
    if (!m_pagePainter.end() || m_file.error() != QFileDevice::NoError)
        fail(m_file.errorString());
    if (!m_file.commit())
        fail(m_file.errorString());
}

void ExportMessagesPdf::fail(const QString& what) const
{
    throwUtf8(QStringLiteral("Cannot create %1: %2").arg(m_file.fileName(), what));
}
