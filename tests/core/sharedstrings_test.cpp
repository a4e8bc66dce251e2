#include "core/sharedstrings.h"

#include <QElapsedTimer>
#include <QList>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string_view bytes(const QByteArray& b)
{
    return std::string_view(b.constData(), std::size_t(b.size()));
}

TEST(SharedStrings, DecodesAsFromUtf8AndSharesRepeatsWithinItsBounds)
{
    SharedStrings strings;
    EXPECT_TRUE(strings.text(std::string_view()).isNull());
    const QString empty = strings.text(std::string_view("", 0));
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_FALSE(empty.isNull());

    const QList<QByteArray> samples = {"SMS", "iMessage", "e:me@example.org", "\xF0\x9F\x91\x8D ok", "bad \xC3(",
                                       QByteArray(SharedStrings::kMaxBytes + 1, 'x')};
    for (const QByteArray& sample : samples) {
        const QString first = strings.text(bytes(sample));
        const QString again = strings.text(bytes(QByteArray(sample)));  // equal bytes elsewhere in memory
        EXPECT_EQ(first, QString::fromUtf8(sample)) << sample.constData();
        EXPECT_EQ(again, first);
        EXPECT_EQ(again.constData() == first.constData(), sample.size() <= SharedStrings::kMaxBytes)
            << sample.constData();
    }

    // Once full, new texts still decode; the remembered ones are still shared.
    for (int i = 0; i < 2 * SharedStrings::kMaxEntries; ++i) {
        const QByteArray unique = QByteArray::number(i);
        ASSERT_EQ(strings.text(bytes(unique)), QString::fromLatin1(unique));
    }
    EXPECT_EQ(strings.text(bytes("SMS")).constData(), strings.text(bytes("SMS")).constData());
}

// Texts built of the blocks "Aa" and "BB" share one value under Qt's unseeded byte hash; more of them
// than the pool keeps must still be read about as fast as texts of the same length that share nothing.
TEST(SharedStrings, TextsCollidingUnderAFixedHashStayFast)
{
    constexpr int kBlocks = 10;
    const auto timeToRead = [](auto textOf) {
        std::vector<QByteArray> texts;
        for (int i = 0; i < 1 << kBlocks; ++i)
            texts.push_back(textOf(i));
        SharedStrings strings;
        QElapsedTimer timer;
        timer.start();
        for (int round = 0; round < 50; ++round)
            for (const QByteArray& text : texts)
                strings.text(bytes(text));
        return std::max<qint64>(timer.nsecsElapsed(), 1);
    };
    const auto colliding = [](int i) {
        QByteArray text;
        for (int block = 0; block < kBlocks; ++block)
            text += i >> block & 1 ? "BB" : "Aa";
        return text;
    };
    const auto plain = [](int i) { return QByteArray::number(i).rightJustified(2 * kBlocks, '0'); };
    EXPECT_LT(timeToRead(colliding), 5 * timeToRead(plain));
}

}  // namespace
