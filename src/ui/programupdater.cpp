#include "ui/programupdater.h"

#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/product.h"
#include "platform/webhost.h"
#include "ui/messagebox.h"
#include "ui/updatecheck.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QNetworkReply>
#include <QStatusBar>

namespace {

QByteArray readStateFile(DataFile name)
{
    QFile file(dataFilePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeStateFile(DataFile name, const QByteArray& bytes)
{
    QFile file(dataFilePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
        makeFilePrivate(file.fileName());
    }
}

// The HTTP status of a reply, or 0 when no answer arrived.
int httpStatus(QNetworkReply* reply)
{
    return reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

}  // namespace

ProgramUpdater::ProgramUpdater(QWidget* window, QStatusBar* statusBar)
    : QObject(window), m_window(window), m_statusLabel(new QLabel(statusBar))
{
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setTextFormat(Qt::RichText);
    // Links come from the web host: we open them ourselves, and only http and https ones.
    m_statusLabel->setOpenExternalLinks(false);
    connect(m_statusLabel, &QLabel::linkActivated, this, [](const QString& link) { openUrl(link); });
    statusBar->setStyleSheet(QStringLiteral("QStatusBar::item{border: 0px}"));
    statusBar->addWidget(m_statusLabel, 0);
    const QByteArray cached = readStateFile(DataFile::StatusLink);
    if (!cached.isEmpty())
        m_statusLabel->setText(QString::fromUtf8(cached));
}

void ProgramUpdater::startDailyCheck()
{
    if (!webHostEnabled())
        return;
    if (!UpdateCheck::shouldCheck(readStateFile(DataFile::UpdateCheckTime), QDateTime::currentSecsSinceEpoch()))
        return;
    if (QNetworkReply* reply = webHostGet(UpdateCheck::versionRequestPath()))
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onCheckVersionReadyRead(reply); });
    if (QNetworkReply* reply = webHostGet(UpdateCheck::linkRequestPath()))
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onGetAdvLinkRead(reply); });
}

void ProgramUpdater::onCheckVersionReadyRead(QNetworkReply* reply)
{
    const int status = httpStatus(reply);
    if (status == 0)
        return;  // no answer: the next start tries again
    writeStateFile(DataFile::UpdateCheckTime, QByteArray::number(QDateTime::currentSecsSinceEpoch()));
    if (status != 200)
        return;
    const QString url = UpdateCheck::downloadUrlFromAnswer(reply->readAll());
    if (url.isEmpty())
        return;
    const QString question = QStringLiteral("A new version of %1 is available. Would you like to download it now?")
                                 .arg(productTitle());
    if (askQuestion(question)) {
        openUrl(url);
        m_window->close();
    }
}

void ProgramUpdater::onGetAdvLinkRead(QNetworkReply* reply)
{
    if (httpStatus(reply) != 200)
        return;
    const QString link = UpdateCheck::restyleAnchor(reply->readAll());
    if (link.isEmpty())
        return;
    m_statusLabel->setText(link);
    writeStateFile(DataFile::StatusLink, link.toUtf8());
}

void ProgramUpdater::openUpdatePage()
{
    const QUrl page = webHostUrl(UpdateCheck::updatePagePath());
    if (page.isEmpty()) {
        showInfo(QCoreApplication::translate("MainWindow", "IDS_NO_WEB_HOST"));
        return;
    }
    openUrl(page.toString(QUrl::FullyEncoded));
}
