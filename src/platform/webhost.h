#pragma once
// The maker's web host: one base URL fixed at configure time (TALLOWMERE_WEB_HOST) that the environment
// variable of the same name overrides, even when set to the empty string. An empty or unusable base URL
// disables every request. Requests run on the GUI thread through one QNetworkAccessManager.
#include <QByteArray>
#include <QString>
#include <QUrl>

class QNetworkReply;

// The base URL in use: http or https with a host, or an empty QUrl when requests are disabled.
QUrl webHostBaseUrl();

bool webHostEnabled();

// relativePath ("err_report.php", "pages/help.html", "check.php?a=1") below the base URL, its query after
// the first "?"; empty when disabled.
QUrl webHostUrl(const QString& relativePath);

// Start a request below the base URL. nullptr when disabled (or without a QCoreApplication). The
// reply deletes itself once finished, so read it in a slot connected to QNetworkReply::finished.
QNetworkReply* webHostPost(const QString& relativePath, const QByteArray& body, const QByteArray& contentType);
QNetworkReply* webHostGet(const QString& relativePath);

// The support e-mail address that error boxes name: fixed at configure time (TALLOWMERE_SUPPORT_ADDRESS),
// overridden by the environment variable of the same name. "" when none is set or the text is not a plain
// address (one "@", no spaces or markup characters).
QString supportAddress();
