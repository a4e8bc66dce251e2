#include "device/iosmobilerestorethread.h"

#include "core/errors.h"
#include "core/htmltext.h"
#include "core/jobguard.h"
#include "core/progresssink.h"
#include "platform/webhost.h"

#include <QRegularExpression>

namespace {

constexpr int kCancelled = -1;

}  // namespace

QString restoreFailureMessage(const QString& toolText)
{
    if (toolText.contains(QLatin1String("Find My iPhone must be disabled"), Qt::CaseInsensitive)) {
        const QUrl help = webHostUrl(QStringLiteral("guides/how-to-disable-find-my-iphone.html"));
        return QStringLiteral("Please follow <a href=\"") + htmlEscape(help.toString(QUrl::FullyEncoded))
               + QStringLiteral("\"> this tutorial</a> to disable \"Find my iPhone\" first and then restart your "
                                "iPhone to try again.<br/><br/>");
    }
    static const QRegularExpression space(
        QStringLiteral("Insufficient free disk space on device to restore \\((\\d+) [^\\d]+ (\\d+)\\)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch needed = space.match(toolText);
    if (needed.hasMatch()) {
        const double gigabytes = double(needed.captured(2).toLongLong()) / 1073741824.0;
        return QString::number(gigabytes, 'g', 1)
               + QStringLiteral(" GB free disk space on your device is required restore data.  Please remove some "
                                "camera roll videos from your device to computer to free up disk space first and "
                                "then try again.");
    }
    return errorRichText(std::runtime_error(toolText.toStdString())) + QLatin1String(kRestartDeviceNote);
}

IOSMobileRestoreThread::IOSMobileRestoreThread(const IOSDevice* device, const QDir& backupRoot, ProgressSink* sink,
                                               QObject* parent)
    : BackupToolJob(device, backupRoot, sink, parent)
{
}

void IOSMobileRestoreThread::run()
{
    ProgressSink::postUpdateProgress(m_sink, tr("IDS_RESTORING_BACKUP_TO_IOS"), 0, QString());
    runGuarded(
        m_sink,
        [this] {
            try {
                if (!runTool(BackupToolOptions::Restore))
                    throw kCancelled;
                ProgressSink::postSucceed(m_sink, QString());
            } catch (const std::exception& error) {
                throwHtml(restoreFailureMessage(QString::fromUtf8(error.what())));
            }
        },
        [] {});
}
