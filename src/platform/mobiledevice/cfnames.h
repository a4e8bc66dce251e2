#pragma once
// Names between the program's CoreFoundation strings and the UTF-8 that libimobiledevice takes, through
// the plist conversion of libtmcf.so (the one CoreFoundation instance of the process).
#include "platform/cf/corefoundation.h"

#include <string>

namespace tmmd {

// The text of a string object; false for null or any other kind of object.
bool utf8Of(CFTypeRef value, std::string& text);
// An owned string object holding text.
CFStringRef newString(const std::string& text);

}  // namespace tmmd
