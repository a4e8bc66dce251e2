#pragma once
// Where the copy of a device file lives on this computer. Message databases store attachment paths
// as the device knows them ("/var/mobile/Library/SMS/Attachments/...", "~/Library/SMS/..."); every
// source keeps its copies below a "file-relay" folder that mirrors the device tree.
#include "core/safepath.h"

#include <QDir>
#include <QString>

// The device path as a path relative to the mirrored tree: one leading "/" dropped, a leading "~/"
// made "var/mobile/", and the characters : * ? " < > | removed. Not yet checked for containment.
QString deviceRelativePath(const QString& filename);

// The absolute path of the copy of filename below fileRelayDir, or "" (the file counts as missing)
// when filename is empty, or its relative form is absolute, holds a "." or ".." component, or
// resolves outside fileRelayDir.
QString attachmentLocalPath(const QDir& fileRelayDir, const QString& filename);
// The same below a folder resolved once, for readers that map many attachments in one pass.
QString attachmentLocalPath(const ContainedFolder& fileRelay, const QString& filename);

// The copy of filename as attachmentLocalPath gives it, but only when filename lies in the message
// attachment folders ("Library/SMS/Attachments/..." or "Library/SMS/Parts/..." of the mobile user;
// compared without regard to case, as the device's file system does) and no symbolic link below
// fileRelayDir leads it out of them; "" otherwise. Writers and deleters of attachment copies go
// through here, so a row naming a database file ("~/Library/SMS/sms.db-wal") never reaches it.
QString attachmentAreaPath(const QDir& fileRelayDir, const QString& filename);
