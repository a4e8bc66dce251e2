#include <gtest/gtest.h>
#include <sys/resource.h>

#include <memory>
#include <thread>
#include <vector>

// What a job thread freed is there for the next job without faulting its pages in again (the test
// main sets the allocator up as the programs do); a job's page cache is some 8,000 blocks of 4 KB.
TEST(Allocator, NextJobThreadReusesFreedMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory aside";
#endif
    long faults = 0;
    for (int job = 0; job < 4; ++job) {  // the first jobs warm the arenas the workers share
        std::thread([&faults] {
            rusage before{}, after{};
            getrusage(RUSAGE_THREAD, &before);
            std::vector<std::unique_ptr<char[]>> pages(8000);
            for (auto& page : pages)
                page = std::make_unique<char[]>(4360);  // zeroed, so touched
            pages.clear();
            getrusage(RUSAGE_THREAD, &after);
            faults = after.ru_minflt - before.ru_minflt;
        }).join();
    }
    EXPECT_LT(faults, 800);
}
