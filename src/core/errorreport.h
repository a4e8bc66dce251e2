#pragma once
// Error reports: every error the error box shows is posted to the maker's web host as a form with the
// fields prod, ver and err. Nothing is sent while no web host is configured (the default).
#include <QByteArray>
#include <QString>

// Version text sent with every report: version and build number.
QString reportVersionText();

// One form field value: Base64 of the UTF-8 bytes with '/' as '!' and '=' as '-'. '+' goes out as
// "%2B", since a bare '+' in a form body decodes to a space on the server.
QString encodeReportField(const QString& value);

// The report text for the rich text of an error box: <br> tags become CRLF, and the entities that
// htmlEscape() produces become their characters again.
QString reportPlainText(const QString& richText);

// The form body: prod=...&ver=...&err=... with every value encoded by encodeReportField.
QByteArray errorReportBody(const QString& richText);

// Posts one report for text (fire and forget). True when a request was started.
bool sendErrorReport(const QString& richText);
