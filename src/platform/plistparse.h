#pragma once
// Parsing property lists that come from outside (backups, devices): libplist 2.2 behind the checks it
// needs. Shared by the property-list values of the program and the CoreFoundation stand-in.
#include <QByteArray>

#include <plist/plist.h>

// Inputs larger than this are refused rather than handed to the parser.
constexpr int kMaxPropertyListBytes = 128 * 1024 * 1024;

// The tree of a binary (when the data begins with "bplist00" and is longer than that) or XML property
// list, which the caller frees with plist_free; null when the bytes do not parse, are empty or too large,
// or hold text libplist mishandles.
plist_t parsePropertyList(const QByteArray& bytes);
