#include "platform/mobiledevice/cfnames.h"

#include "platform/cf/tmcfplist.h"

#include <cstdlib>
#include <memory>

namespace tmmd {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

}  // namespace

bool utf8Of(CFTypeRef value, std::string& text)
{
    const Plist node(value ? TMCF_CopyToPlist(value) : nullptr);
    if (!node || plist_get_node_type(node.get()) != PLIST_STRING)
        return false;
    char* chars = nullptr;
    plist_get_string_val(node.get(), &chars);
    text = chars ? chars : "";
    std::free(chars);
    return true;
}

CFStringRef newString(const std::string& text)
{
    const Plist node(plist_new_string(text.c_str()));
    return static_cast<CFStringRef>(TMCF_CreateFromPlist(node.get()));
}

}  // namespace tmmd
