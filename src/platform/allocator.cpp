#include "platform/allocator.h"

#include <cstdlib>  // defines __GLIBC__ on glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// At least a thread heap's whole reach (64 MiB on 64-bit systems): a new heap is made writable at
// once, and a heap keeps that much freed memory at its top instead of trimming it.
constexpr int kTopPad = 64 << 20;
// Setting the pad fixes the mmap threshold at its 128 KiB start; this is where glibc's own moving
// threshold would end, so blocks of a few megabytes are not mapped and unmapped each time.
constexpr int kMmapThreshold = 32 << 20;
// The number of arenas stays glibc's: with fewer, a job would more often take over one that still
// holds an earlier job's memory, but threads that allocate side by side (the recovery scan's carving
// threads) would queue for one arena's lock.

}  // namespace

void tuneAllocator()
{
#if defined(__GLIBC__)
    mallopt(M_TOP_PAD, kTopPad);
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
#endif
}
