#include "core/sharedstrings.h"

#include <QList>

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
