// Keys crafted to share Qt's hash under every seed spread under the project's seeded hash.
#include "platform/seededhash.h"
#include "fixtures/crafted_keys.h"

#include <gtest/gtest.h>
#include <set>

TEST(TextHash, KeysCollidingUnderEveryQtSeedSpreadUnderOurs)
{
    if (!qtHashIsCrc())
        GTEST_SKIP() << "Qt's string hash is no CRC on this CPU";
    const QStringList texts = crcCollidingTexts(QStringLiteral("chat"), QStringLiteral("@example.org"), 64);
    const std::vector<QByteArray> bytes = crcCollidingBytes("Library/SMS/", ".jpg", 64);
    for (const uint seed : {1u, 0x5eedu, 0x9e3779b9u}) {
        std::set<std::size_t> qt, ours;  // TextKey and BytesKey for Qt tables, TextHasher for std ones
        for (int i = 0; i < 64; ++i) {
            const QByteArray& data = bytes[size_t(i)];
            qt.insert({qHash(texts[i], seed), qHash(data, seed)});
            ours.insert({qHash(TextKey(texts[i]), seed), qHash(BytesKey(data), seed), TextHasher()(texts[i]), TextHasher()(data)});
        }
        EXPECT_LE(qt.size(), 2u);
        EXPECT_EQ(ours.size(), 4u * 64);
    }
}

// Qt hashes a 64-bit integer as the low half of key ^ (key >> 31): row ids whose halves fold to one
// value so share its hash under every seed.
TEST(IdHash, RowIdsFoldingAlikeSpreadUnderOurs)
{
    for (const uint seed : {1u, 0x5eedu}) {
        std::set<uint> qt, ours;
        for (qint64 high = 1; high <= 64; ++high) {
            const qint64 id = high << 32 | ((high << 1) ^ 0x1234);
            qt.insert(qHash(id, seed));
            ours.insert(qHash(IdKey(id), seed));
        }
        EXPECT_EQ(qt.size(), 1u);
        EXPECT_EQ(ours.size(), 64u);
    }
}
