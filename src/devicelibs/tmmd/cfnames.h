#pragma once
// Names between the program's CoreFoundation strings and the UTF-8 that libimobiledevice takes, through
// the plist conversion of libtmcf.so (the one CoreFoundation instance of the process).
#include "devicelibs/corefoundation.h"

#include <plist/plist.h>

#include <memory>
#include <string>

namespace tmmd {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
// An owned libplist tree.
using Plist = std::unique_ptr<void, PlistFree>;

// The text of a string node; false for null or any other kind of node.
bool plistText(plist_t node, std::string& text);
// The text of a string object; false for null or any other kind of object.
bool utf8Of(CFTypeRef value, std::string& text);
// An owned string object holding text.
CFStringRef newString(const std::string& text);

}  // namespace tmmd
