#pragma once
// The hash of every table keyed by what came from outside: a backup, a phone, a file.
//
// Qt's own hashes are no defence there. A 64-bit integer is hashed as the low half of
// key ^ (key >> 31), so row ids chosen to fold alike share one hash under every seed. Strings and byte
// arrays, with a nonzero seed on a CPU with SSE4.2, are CRC32-C from the seed, and a CRC is affine:
// two keys of one length that collide under one seed collide under every seed. Without SSE4.2 (or
// with seed 0) they are plainly unseeded. Either way a crafted file can pile its keys into one bucket.
// These hashes fold the key into a secret per-process state, so which keys collide depends on it.
//
// Use `TextHash`, `TextSet`, `IdHash`, `IdSet` (or `TextKey`, `IdKey` inside a QPair) for Qt tables,
// `TextHasher` for std ones.

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace seededhash {

// Random, drawn once per process.
quint64 drawSeed();
inline quint64 processSeed()
{
    static const quint64 seed = drawSeed();
    return seed;
}

// The finaliser of MurmurHash3: every bit of the input moves every bit of the output.
inline quint64 mix(quint64 x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb93fe53a85ceULL;
    x ^= x >> 33;
    return x;
}

inline uint fold(quint64 hash)
{
    return uint(hash ^ (hash >> 32));
}

}  // namespace seededhash

quint64 seededHash(const QString& text);
quint64 seededHash(const QByteArray& bytes);
inline quint64 seededHash(qint64 number)
{
    return seededhash::mix(quint64(number) ^ seededhash::processSeed());
}

// A value that hashes with the seeded hash. It converts to and from its value, so a table of these
// reads like a table of the values themselves.
template <typename Value>
class SeededKey {
public:
    SeededKey() = default;
    template <typename From, typename = std::enable_if_t<!std::is_same_v<std::decay_t<From>, SeededKey>
                                                         && std::is_constructible_v<Value, From&&>>>
    SeededKey(From&& from) : m_value(std::forward<From>(from))  // NOLINT(google-explicit-constructor)
    {
    }

    operator const Value&() const { return m_value; }  // NOLINT(google-explicit-constructor)
    const Value& value() const { return m_value; }

    bool operator==(const SeededKey& other) const { return m_value == other.m_value; }
    bool operator!=(const SeededKey& other) const { return m_value != other.m_value; }
    bool operator<(const SeededKey& other) const { return m_value < other.m_value; }

private:
    Value m_value{};
};

using TextKey = SeededKey<QString>;
using BytesKey = SeededKey<QByteArray>;
using IdKey = SeededKey<qint64>;  // a row id or another number from a file

// QHash mixes its own per-table seed in, so two tables do not share a layout either.
template <typename Value>
uint qHash(const SeededKey<Value>& key, uint seed = 0) noexcept
{
    return seededhash::fold(seededHash(key.value()) ^ seed);
}

template <typename T>
using TextHash = QHash<TextKey, T>;
template <typename T>
using TextMultiHash = QMultiHash<TextKey, T>;
using TextSet = QSet<TextKey>;
template <typename T>
using IdHash = QHash<IdKey, T>;
using IdSet = QSet<IdKey>;

// For std::unordered_map and std::unordered_set of QString or QByteArray.
struct TextHasher {
    std::size_t operator()(const QString& text) const { return std::size_t(seededHash(text)); }
    std::size_t operator()(const QByteArray& bytes) const { return std::size_t(seededHash(bytes)); }
};
