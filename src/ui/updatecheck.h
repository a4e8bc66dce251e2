#pragma once
// The daily update check and the status-bar link: the decisions, apart from ProgramUpdater, which
// sends the requests and shows the answers.
#include "core/product.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace UpdateCheck {

inline constexpr quint32 kIntervalSeconds = 86400;
// The volume serial the update page asks for; we send this fixed value rather than a fingerprint.
inline constexpr quint32 kVolumeSerial = 123456;
inline constexpr char kLinkColour[] = "#37789E";

// Whether the requests go out, from the time file's bytes (decimal Unix seconds up to the first NUL;
// unreadable counts as 0) and the current time. A stored time at most a day old suppresses them; a
// time in the future lets them run.
bool shouldCheck(const QByteArray& timeFileBytes, qint64 nowSecs);

// The download link of a version answer: the body up to the first NUL, trimmed, when it is an http or
// https URL; else "".
QString downloadUrlFromAnswer(const QByteArray& body);

// A link answer (UTF-8) starting with "<a" in any case gets the link colour and no underline; else "".
QString restyleAnchor(const QByteArray& body);

// The relative paths of the requests and of the "Check for Update" page.
QString versionRequestPath();
QString linkRequestPath();
QString updatePagePath();

}  // namespace UpdateCheck
