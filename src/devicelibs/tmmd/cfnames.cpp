#include "devicelibs/tmmd/cfnames.h"

#include "devicelibs/tmcf/tmcfplist.h"

#include <cstdlib>

namespace tmmd {

bool plistText(plist_t node, std::string& text)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return false;
    char* chars = nullptr;
    plist_get_string_val(node, &chars);
    text = chars ? chars : "";
    std::free(chars);
    return true;
}

bool utf8Of(CFTypeRef value, std::string& text)
{
    const Plist node(value ? TMCF_CopyToPlist(value) : nullptr);
    return plistText(node.get(), text);
}

CFStringRef newString(const std::string& text)
{
    const Plist node(plist_new_string(text.c_str()));
    return static_cast<CFStringRef>(TMCF_CreateFromPlist(node.get()));
}

}  // namespace tmmd
