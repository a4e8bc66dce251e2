#include "core/progressthrottle.h"

#include "fixtures/recording_progress_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

TEST(ProgressThrottleTest, PostsTheFirstAndLastUnitAndEveryNewPercentageAndFewOthers)
{
    const struct {
        qint64 total;
        int scale;
    } cases[] = {{1, 100}, {7, 100}, {250, 99}, {100000, 100}, {1000000, 99}};
    for (const auto& c : cases) {
        ProgressThrottle throttle(c.total, c.scale);
        const auto start = std::chrono::steady_clock::now();
        std::vector<qint64> posted;
        int shown = -1;
        for (qint64 done = 1; done <= c.total; ++done) {
            const int percent = int(double(done) / double(c.total) * c.scale);
            if (!throttle.due(done)) {
                ASSERT_EQ(percent, shown) << c.total << " unit " << done;
                continue;
            }
            posted.push_back(done);
            shown = throttle.percent();
            ASSERT_EQ(shown, percent);
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        ASSERT_FALSE(posted.empty());
        EXPECT_EQ(posted.front(), 1);
        EXPECT_EQ(posted.back(), c.total);
        EXPECT_EQ(shown, c.scale);
        EXPECT_LE(qint64(posted.size()), c.scale + 2 + elapsed / ProgressThrottle::kInterval) << c.total;
    }
}

TEST(ThrottledSinkTest, HoldsWhatItSkipsAndPassesTheLastStateBeforeTheFinalReport)
{
    fixtures::RecordingProgressSink recorded;
    ThrottledSink sink(&recorded);
    ProgressSink::postUpdateProgress(&sink, QStringLiteral("Caching"), 150, QString());
    for (int i = 1; i <= 20000; ++i)
        ProgressSink::postUpdateProgress(&sink, i == 20000 ? QStringLiteral("Done") : QString(), -1, QString::number(i));
    ProgressSink::postSucceed(&sink, QString());
    const auto updates = recorded.updates();
    ASSERT_LT(updates.size(), 100u);
    EXPECT_EQ(updates.front().status, QStringLiteral("Caching"));
    EXPECT_EQ(updates.back().status, QStringLiteral("Done"));
    EXPECT_EQ(updates.back().progress, -1);  // the bar never took 150
    EXPECT_EQ(updates.back().text, QStringLiteral("20000"));
    EXPECT_EQ(recorded.successes(), QStringList{QString()});
}

}  // namespace
