#pragma once
// The hash of every table keyed by text that came from outside: a backup, a phone, a file.
//
// Qt's own string and byte-array hashes are no defence there. With a nonzero seed on a CPU with
// SSE4.2 they are CRC32-C from the seed, and a CRC is affine: two keys of one length that collide
// under one seed collide under every seed, so a crafted file can still pile its keys into one
// bucket. Without SSE4.2 (or with seed 0) they are plainly unseeded. This hash folds the text into a
// secret per-process state block by block, so which keys collide depends on that secret.
//
// Use `TextHash`, `TextSet` (or `TextKey` inside a QPair) for Qt tables, `TextHasher` for std ones.

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <cstddef>

namespace texthash {

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

}  // namespace texthash

quint64 seededHash(const QString& text);
quint64 seededHash(const QByteArray& bytes);

// A QString that hashes with the seeded hash. It converts to and from QString, so a table of these
// reads like a table of strings.
class TextKey {
public:
    TextKey() = default;
    TextKey(const QString& text) : m_text(text) {}  // NOLINT(google-explicit-constructor)
    TextKey(QString&& text) : m_text(std::move(text)) {}  // NOLINT(google-explicit-constructor)
    TextKey(QLatin1String text) : m_text(text) {}  // NOLINT(google-explicit-constructor)

    operator const QString&() const { return m_text; }  // NOLINT(google-explicit-constructor)
    const QString& text() const { return m_text; }

    bool operator==(const TextKey& other) const { return m_text == other.m_text; }
    bool operator!=(const TextKey& other) const { return m_text != other.m_text; }
    bool operator<(const TextKey& other) const { return m_text < other.m_text; }

private:
    QString m_text;
};

// The same for bytes.
class BytesKey {
public:
    BytesKey() = default;
    BytesKey(const QByteArray& bytes) : m_bytes(bytes) {}  // NOLINT(google-explicit-constructor)

    operator const QByteArray&() const { return m_bytes; }  // NOLINT(google-explicit-constructor)
    const QByteArray& bytes() const { return m_bytes; }

    bool operator==(const BytesKey& other) const { return m_bytes == other.m_bytes; }
    bool operator!=(const BytesKey& other) const { return m_bytes != other.m_bytes; }
    bool operator<(const BytesKey& other) const { return m_bytes < other.m_bytes; }

private:
    QByteArray m_bytes;
};

// QHash mixes its own per-table seed in, so two tables do not share a layout either.
inline uint qHash(const TextKey& key, uint seed = 0) noexcept
{
    return texthash::fold(seededHash(key.text()) ^ seed);
}
inline uint qHash(const BytesKey& key, uint seed = 0) noexcept
{
    return texthash::fold(seededHash(key.bytes()) ^ seed);
}

template <typename T>
using TextHash = QHash<TextKey, T>;
template <typename T>
using TextMultiHash = QMultiHash<TextKey, T>;
using TextSet = QSet<TextKey>;

// For std::unordered_map and std::unordered_set of QString or QByteArray.
struct TextHasher {
    std::size_t operator()(const QString& text) const { return std::size_t(seededHash(text)); }
    std::size_t operator()(const QByteArray& bytes) const { return std::size_t(seededHash(bytes)); }
};
