#include "core/sharedstrings.h"

#include "platform/seededhash.h"

#include <cstring>

SharedStrings::SharedStrings() : m_slots(std::size_t(2 * kMaxEntries)) {}

QString SharedStrings::text(std::string_view utf8)
{
    if (!utf8.data())
        return QString();
    const int size = int(utf8.size());
    if (size > kMaxBytes)
        return QString::fromUtf8(utf8.data(), size);
    // The texts come from the file: with a fixed hash, crafted ones would fill one run of slots.
    const uint hash = seededhash::fold(seededHash(QByteArray::fromRawData(utf8.data(), size)));
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Slot& slot = m_slots[i];
        if (slot.bytes.isNull()) {
            // Half the slots stay free, so a probe always ends at one.
            QString decoded = QString::fromUtf8(utf8.data(), size);
            if (m_entries < kMaxEntries) {
                slot.hash = hash;
                slot.bytes = QByteArray(utf8.data(), size);
                slot.text = decoded;
                ++m_entries;
            }
            return decoded;
        }
        if (slot.hash == hash && slot.bytes.size() == size
            && std::memcmp(slot.bytes.constData(), utf8.data(), utf8.size()) == 0)
            return slot.text;
    }
}
