#include "platform/seededhash.h"

#include <QRandomGenerator>

#include <cstring>

quint64 seededhash::drawSeed()
{
    return QRandomGenerator::system()->generate64();
}

namespace {

// Eight bytes at a time, each block folded into the seeded state before it is mixed, so that which
// inputs collide depends on the secret seed. The length goes in first: inputs that differ only in
// trailing zero bytes stay apart.
quint64 hashBytes(const unsigned char* data, std::size_t size)
{
    quint64 state = seededhash::processSeed() ^ quint64(size);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 block;
        std::memcpy(&block, data + i, 8);
        state = seededhash::mix(state ^ block);
    }
    quint64 tail = 0;
    for (int shift = 0; i < size; ++i, shift += 8)
        tail |= quint64(data[i]) << shift;
    return seededhash::mix(state ^ tail ^ 0x9E3779B97F4A7C15ULL);
}

}  // namespace

quint64 seededHash(const QString& text)
{
    return hashBytes(reinterpret_cast<const unsigned char*>(text.constData()), std::size_t(text.size()) * sizeof(QChar));
}

quint64 seededHash(const QByteArray& bytes)
{
    return hashBytes(reinterpret_cast<const unsigned char*>(bytes.constData()), std::size_t(bytes.size()));
}
