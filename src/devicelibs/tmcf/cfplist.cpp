// Property lists of libtmcf.so: objects to libplist trees and back, and the two serialisations.
#include "devicelibs/tmcf/cfobject.h"
#include "devicelibs/tmcf/tmcfplist.h"
#include "platform/plistparse.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

using tmcf::as;

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistTree = std::unique_ptr<void, PlistFree>;

// Dates travel as whole seconds and microseconds, the seconds clamped to what libplist keeps.
plist_t dateNode(CFAbsoluteTime at)
{
    const double whole = std::isfinite(at) ? std::floor(at) : 0.0;
    const double clamped = std::fmin(std::fmax(whole, double(std::numeric_limits<int32_t>::min())),
                                     double(std::numeric_limits<int32_t>::max()));
    const auto micro = int32_t(std::lround((at - whole) * 1e6));
    return plist_new_date(int32_t(clamped), std::isfinite(at) ? std::min(micro, 999999) : 0);
}

plist_t toPlist(CFTypeRef ref, int depth);

plist_t dictionaryNode(const TMCFDictionary& dictionary, int depth)
{
    PlistTree node(plist_new_dict());
    for (const auto& [key, value] : dictionary.entries) {
        const auto* name = as<TMCFString>(key);
        plist_t item = name ? toPlist(value, depth + 1) : nullptr;
        if (!item)
            return nullptr;  // property lists have string keys only
        plist_dict_set_item(node.get(), name->text.toUtf8().constData(), item);
    }
    return node.release();
}

plist_t arrayNode(const TMCFArray& array, int depth)
{
    PlistTree node(plist_new_array());
    for (CFTypeRef item : array.items) {
        plist_t child = toPlist(item, depth + 1);
        if (!child)
            return nullptr;
        plist_array_append_item(node.get(), child);
    }
    return node.release();
}

plist_t toPlist(CFTypeRef ref, int depth)
{
    if (depth > tmcf::kMaxDepth)
        return nullptr;
    if (const auto* boolean = as<TMCFBoolean>(ref))
        return plist_new_bool(boolean->value);
    if (const auto* number = as<TMCFNumber>(ref))
        return number->isFloat ? plist_new_real(number->real) : plist_new_uint(uint64_t(number->integer));
    if (const auto* string = as<TMCFString>(ref))
        return plist_new_string(string->text.toUtf8().constData());
    if (const auto* data = as<TMCFData>(ref))
        return plist_new_data(data->bytes.constData(), uint64_t(data->bytes.size()));
    if (const auto* date = as<TMCFDate>(ref))
        return dateNode(date->at);
    if (const auto* dictionary = as<TMCFDictionary>(ref))
        return dictionaryNode(*dictionary, depth);
    if (const auto* array = as<TMCFArray>(ref))
        return arrayNode(*array, depth);
    return nullptr;
}

// Owned objects released on every path out of a conversion.
struct ReleaseObject {
    void operator()(const void* ref) const { tmcf::release(ref); }
};
using Owned = std::unique_ptr<const void, ReleaseObject>;

CFTypeRef fromPlist(plist_t node, int depth, bool mutableContainers);

CFTypeRef dictionaryFromPlist(plist_t node, int depth, bool mutableContainers)
{
    std::unique_ptr<TMCFDictionary, ReleaseObject> dictionary(tmcf::create<TMCFDictionary>(mutableContainers));
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    const std::unique_ptr<void, decltype(&std::free)> iterOwner(iter, &std::free);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        const std::unique_ptr<char, decltype(&std::free)> keyOwner(key, &std::free);
        if (!item || !key)
            break;
        const Owned name(tmcf::create<TMCFString>(QString::fromUtf8(key)));
        const Owned value(fromPlist(item, depth + 1, mutableContainers));
        if (!value)
            return nullptr;
        dictionary->set(name.get(), value.get());
    }
    return dictionary.release();
}

CFTypeRef arrayFromPlist(plist_t node, int depth, bool mutableContainers)
{
    std::unique_ptr<TMCFArray, ReleaseObject> array(tmcf::create<TMCFArray>(mutableContainers));
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i) {
        const Owned item(fromPlist(plist_array_get_item(node, i), depth + 1, mutableContainers));
        if (!item)
            return nullptr;
        array->append(item.get());
    }
    return array.release();
}

QByteArray takeBytes(char* data, uint64_t length)
{
    QByteArray bytes(data ? data : "", data ? int(std::min<uint64_t>(length, std::numeric_limits<int>::max())) : 0);
    std::free(data);
    return bytes;
}

CFTypeRef fromPlist(plist_t node, int depth, bool mutableContainers)
{
    if (!node || depth > tmcf::kMaxDepth)
        return nullptr;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return tmcf::create<TMCFNumber>(kCFNumberSInt64Type, qint64(value));  // negative ones as two's complement
    }
    case PLIST_REAL: {
        double value = 0.0;
        plist_get_real_val(node, &value);
        return tmcf::create<TMCFNumber>(kCFNumberFloat64Type, value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char* text = nullptr;
        if (plist_get_node_type(node) == PLIST_KEY)
            plist_get_key_val(node, &text);
        else
            plist_get_string_val(node, &text);
        const QByteArray bytes = takeBytes(text, text ? std::strlen(text) : 0);
        return tmcf::create<TMCFString>(QString::fromUtf8(bytes));
    }
    case PLIST_DATA: {
        char* data = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &data, &length);
        return tmcf::create<TMCFData>(takeBytes(data, length));
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t micro = 0;
        plist_get_date_val(node, &seconds, &micro);
        return tmcf::create<TMCFDate>(double(seconds) + micro / 1e6);
    }
    case PLIST_DICT: return dictionaryFromPlist(node, depth, mutableContainers);
    case PLIST_ARRAY: return arrayFromPlist(node, depth, mutableContainers);
    default: return nullptr;  // UIDs and nodes of no type have no object here
    }
}

}  // namespace

extern "C" {

CFPropertyListRef TMCF_CreateFromPlist(plist_t node)
{
    return fromPlist(node, 0, false);
}

plist_t TMCF_CopyToPlist(CFPropertyListRef value)
{
    return toPlist(value, 0);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList, CFPropertyListFormat format,
                                   CFOptionFlags, CFErrorRef* error)
{
    if (error)
        *error = nullptr;
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0)
        return nullptr;
    const PlistTree tree(toPlist(propertyList, 0));
    if (!tree)
        return nullptr;
    char* bytes = nullptr;
    uint32_t length = 0;
    if (format == kCFPropertyListXMLFormat_v1_0)
        plist_to_xml(tree.get(), &bytes, &length);
    else
        plist_to_bin(tree.get(), &bytes, &length);
    if (!bytes)
        return nullptr;
    const QByteArray serialised(bytes, int(length));
    if (format == kCFPropertyListXMLFormat_v1_0)
        plist_to_xml_free(bytes);
    else
        plist_to_bin_free(bytes);
    return tmcf::create<TMCFData>(serialised);
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error)
{
    if (error)
        *error = nullptr;
    const auto* object = as<TMCFData>(data);
    if (!object)
        return nullptr;
    const PlistTree tree(parsePropertyList(object->bytes));
    if (!tree)
        return nullptr;
    if (format)
        *format = object->bytes.startsWith("bplist00") ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
    return fromPlist(tree.get(), 0, options != kCFPropertyListImmutable);
}

}  // extern "C"
