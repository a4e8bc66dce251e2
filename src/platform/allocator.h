#pragma once
// How the process's memory allocator is set up, once at start by every program of the project (the
// application, the tests and the benchmarks), before any thread is started.
//
// Every job runs on a thread of its own, which glibc serves from an arena of its own. By default such
// an arena's heap grows by one mprotect call per page and gives freed memory straight back: a
// 100,000-message copy into a local database made some 9,000 mprotect calls on its thread, and a job
// that took over an arena found nothing of the last job's memory. A top pad of a whole thread heap makes
// a heap writable at once and keeps what was freed for the next job on that arena.
void tuneAllocator();
