#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>
#include <vector>
// A job thread's freed page cache (8,000 blocks of 4 KB) serves the next job's thread: no new faults.
// Sanitizers bring allocators of their own, which hold freed memory back.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TM_OWN_ALLOCATOR 1
#endif
#endif
#if !defined(TM_OWN_ALLOCATOR) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(Allocator, NextJobThreadReusesFreedMemory)
{
    rusage before{}, after{};
    for (int job = 0; job < 3; ++job)  // the first job warms the arena the next ones take over
        std::thread([&] {
            getrusage(RUSAGE_THREAD, &before);
            const std::vector<std::vector<char>> pages(8000, std::vector<char>(4360));
            getrusage(RUSAGE_THREAD, &after);
        }).join();
    EXPECT_LT(after.ru_minflt - before.ru_minflt, 800);
}
#endif
