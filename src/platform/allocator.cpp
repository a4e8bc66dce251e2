#include "platform/allocator.h"

#include <cstdlib>  // defines __GLIBC__ on glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int kArenas = 2;
// At least a thread heap's whole reach (64 MiB on 64-bit systems): a new heap is made writable at
// once, and a heap keeps that much freed memory at its top instead of trimming it.
constexpr int kTopPad = 64 << 20;
// Setting the pad fixes the mmap threshold at its 128 KiB start; this is where glibc's own moving
// threshold would end, so blocks of a few megabytes are not mapped and unmapped each time.
constexpr int kMmapThreshold = 32 << 20;

}  // namespace

void tuneAllocator()
{
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, kArenas);
    mallopt(M_TOP_PAD, kTopPad);
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
#endif
}
