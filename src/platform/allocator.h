#pragma once
// How the process's memory allocator is set up, once at start by every program of the project (the
// application, the tests and the benchmarks), before any thread is started.
//
// Every job runs on a thread of its own. By default glibc gives such a thread an arena of its own that
// starts empty, grows its heap one system call per page and gives freed memory straight back, so each
// job faults in afresh what the last one freed: on a 100,000-message import, some 15,000 page faults
// and 9,000 mprotect calls that the same work on a warm heap does not pay. Two arenas (the main
// thread's and one the workers share; their small blocks come from per-thread caches without a lock)
// and a generous top pad keep the memory one job freed ready for the next.
void tuneAllocator();
