// Property lists from backups and message databases: parse, walk every value, re-serialise.
#include "core/plistnode.h"
#include "fuzz_support.h"

#include <QMap>

namespace {

void walk(const PlistNode& node, int depth)
{
    if (depth > 64)
        return;
    (void)node.toString();
    (void)node.toByteArray();
    (void)node.toDateTime();
    for (int i = 0; i < node.count(); ++i)
        walk(node.at(i), depth + 1);
    if (node.isDict()) {
        const QMap<QString, PlistNode> entries = node.toMap();
        for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
            walk(node.value(it.key()), depth + 1);
            walk(it.value(), depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const PlistNode root = PlistNode::fromData(fuzz::bytes(data, size));
    if (root.isNull())
        return 0;
    walk(root, 0);
    // Re-reading what we wrote exercises the writer; libplist does not promise that a damaged input's
    // tree survives the round trip (bytes that were never valid text stay invalid), so no check here.
    walk(PlistNode::fromData(root.toBinary()), 0);
    (void)root.toXml();
    return 0;
}
