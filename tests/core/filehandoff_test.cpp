#include "core/filehandoff.h"

#include "fixtures/recording_progress_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;

bool readyNow(FileHandoff& handoff, const QString& path)
{
    return handoff.waitReady(path, milliseconds(0));
}

// A file may be read once nothing the maker still does can change it.
TEST(FileHandoffTest, APathIsReadyOnceTheMakerCanNoLongerChangeIt)
{
    FileHandoff handoff;
    handoff.expect({"/c/once", "/c/twice", "/c/twice", "/c/old"}, {"/c/dir"});
    handoff.settle("/c/once");
    handoff.settle("/c/twice");
    const struct {
        const char* path;
        bool ready;
    } cases[] = {
        {"/c/once", true},       // settled
        {"/c/old", false},       // not yet
        {"/c/twice", false},     // the second copy lands later
        {"/c/dir", false},       // a folder may replace what lies there
        {"/c/old/in", false},    // the file may replace an older folder
        {"/c/other", true},      // never written by the maker
        {"/c/dir/in", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readyNow(handoff, c.path), c.ready) << c.path;
    handoff.endWith(QStringLiteral("note"));
    for (const auto& c : cases)
        EXPECT_TRUE(readyNow(handoff, c.path)) << c.path;
    EXPECT_EQ(handoff.finish(nullptr), QStringLiteral("note"));
}

// The maker's error is told once; the user's cancel reaches a maker that is still at work.
TEST(FileHandoffTest, TheMakersEndReachesTheUser)
{
    FileHandoff failing;
    failing.start([&] { failing.postError(QStringLiteral("disk full")); });
    EXPECT_EQ(failing.finish(nullptr), std::nullopt);
    EXPECT_TRUE(failing.hasFailed());
    EXPECT_EQ(failing.takeError(), QStringLiteral("disk full"));
    EXPECT_EQ(failing.takeError(), std::nullopt);

    FileHandoff working;
    working.expect({"/c/f"}, {});
    working.start([&] {
        while (!working.isCancelled())
            std::this_thread::sleep_for(milliseconds(1));
    });
    fixtures::RecordingProgressSink user;
    user.cancel();
    EXPECT_EQ(working.finish(&user), std::nullopt);
    EXPECT_TRUE(readyNow(working, "/c/f"));
    EXPECT_EQ(working.takeError(), std::nullopt);
}

}  // namespace
