#include "msgdb/ios6messagemerge.h"
#include "msgdb/records.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

// The table's contents as an ordered map, walked through its iterator.
template <typename Key>
std::map<Key, int*> contents(const RecordTable<Key, int>& table)
{
    std::map<Key, int*> seen;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        EXPECT_TRUE(seen.emplace(it.key(), it.value()).second) << "an entry walked twice";
    return seen;
}

// Random inserts, replacements, takes and removals over a few keys, so runs of neighbouring cells
// form, wrap around the end and are closed up again, checked against a map after every step.
TEST(RecordTableTest, AgreesWithAMapThroughGrowthAndRemovals)
{
    std::mt19937 random(7);
    int values[4] = {};
    for (const int keyRange : {3, 40, 2000}) {
        RecordTable<qint64, int> table;
        std::map<qint64, int*> model;
        for (int step = 0; step < 20000; ++step) {
            const qint64 key = qint64(random() % keyRange) - keyRange / 2;
            int* value = &values[random() % 4];
            switch (random() % 4) {
            case 0:
            case 1:
                table.insert(key, value);
                model[key] = value;
                break;
            case 2: {
                const auto found = model.find(key);
                EXPECT_EQ(table.take(key), found == model.end() ? nullptr : found->second);
                model.erase(key);
                break;
            }
            default:
                EXPECT_EQ(table.remove(key), int(model.erase(key)));
            }
            ASSERT_EQ(table.size(), int(model.size()));
            ASSERT_EQ(table.contains(key), model.count(key) == 1);
            if (step % 97 == 0) {
                ASSERT_EQ(contents(table), model) << "range " << keyRange << ", step " << step;
            }
        }
    }
}

TEST(RecordTableTest, KeysValuesCopiesAndNulls)
{
    int a = 0;
    int b = 0;
    RecordTable<RecordKey, int> table;
    table.insert(RecordKey(qint64(5)), &a);
    table.insert(QStringLiteral("5"), &b);  // a text key never equals a number
    EXPECT_EQ(table.value(RecordKey(qint64(5))), &a);
    EXPECT_EQ(table.value(QStringLiteral("5")), &b);
    EXPECT_EQ(table.value(QString()), nullptr);

    const RecordTable<RecordKey, int> copy = table;
    table.remove(QStringLiteral("5"));
    EXPECT_EQ(copy.size(), 2);
    EXPECT_EQ(copy.value(QStringLiteral("5")), &b);

    table.insert(RecordKey(qint64(5)), nullptr);  // a null value is not kept
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.begin(), table.end());
}

}  // namespace

// The run's own rows by text: every row noted is found again across the table's growth, keys that
// differ only in their last character stay apart, and nothing else is found.
TEST(RowsByText, FindsEveryNotedRowAndNoOther)
{
    RowsByText rows;
    for (int i = 0; i < 5000; ++i)
        rows[QStringLiteral("%1-key-%1").arg(i)] = i + 1;
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(rows[QStringLiteral("%1-key-%1").arg(i)], i + 1);
    EXPECT_EQ(rows[QStringLiteral("1-key-2")], 0);
    rows.clear();
    EXPECT_EQ(rows[QStringLiteral("1-key-1")], 0);
}

// Guids come from the backup. Keys built from the blocks "Aa" and "BB" share one value under Qt's
// unseeded string hash (31 * 'A' + 'a' == 31 * 'B' + 'B'), the kind a crafted backup would hold: they
// must be noted about as fast as keys of the same length that share nothing.
TEST(RowsByText, KeysCollidingUnderAFixedHashStayFast)
{
    constexpr int kBlocks = 15;
    const auto colliding = [](int i) {
        QString key;
        for (int block = 0; block < kBlocks; ++block)
            key += i >> block & 1 ? QStringLiteral("BB") : QStringLiteral("Aa");
        return key;
    };
    const auto timeToNote = [](auto keyOf) {
        RowsByText rows;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 1 << kBlocks; ++i)
            rows[keyOf(i)] = i + 1;
        return std::max<qint64>(timer.nsecsElapsed(), 1);
    };
    const auto plain = [](int i) { return QString::number(i).rightJustified(2 * kBlocks, '0'); };
    EXPECT_LT(timeToNote(colliding), 20 * timeToNote(plain));
}
