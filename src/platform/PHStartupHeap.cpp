#include "platform/PHStartupHeap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

// The size of a transparent huge page on x86-64 and arm64 with 4 KiB pages.
constexpr std::uintptr_t hugePage = std::uintptr_t{2} << 20;
// The C library's initial thresholds, which end() puts back.
constexpr int usualMmapThreshold = 128 * 1024;
constexpr int usualTrimThreshold = 128 * 1024;

// The part of the heap asked for huge pages, so end() can withdraw the request.
std::uintptr_t hugeFrom = 0;
std::uintptr_t hugeTo = 0;

} // namespace

bool PHStartupHeap::begin() {
    // Blocks up to the reserve (any picture of the window) come from the heap,
    // and memory freed at its top stays for the next block.
    mallopt(M_MMAP_THRESHOLD, int(reserve));
    mallopt(M_TRIM_THRESHOLD, int(2 * reserve));

    // Grow the heap by the reserve once, so the range asked for huge pages
    // is where the coming blocks are cut from. Only the block's edges are
    // written; freeing it leaves it as the heap's free top.
    const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
    const std::size_t size = reserve - hugePage;
    void *const block = std::malloc(size);
    const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    // The block starts in the heap's free top and ends in what the break
    // added. Where the break could not move, the allocator took the block
    // from a mapping of its own: there is no heap range to ask for.
    const bool inHeap =
        block && before != std::uintptr_t(-1) && after > before && at + size > before && at + size <= after;
    std::free(block);
    if (!inHeap)
        return false;

    const std::uintptr_t from = (at + hugePage - 1) & ~(hugePage - 1);
    const std::uintptr_t to = after & ~(hugePage - 1);
    if (to <= from || madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE) != 0)
        return false; // no transparent huge pages in this kernel
    hugeFrom = from;
    hugeTo = to;
    return true;
}

void PHStartupHeap::end() {
    // Fixed at the library's initial values: the allocator's own adjustment
    // of the mmap threshold stays off once a threshold has been set.
    mallopt(M_MMAP_THRESHOLD, usualMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, usualTrimThreshold);
    // The huge pages start-up has filled stay; no more are made, neither for
    // later growth nor by the kernel's background collapsing of sparse ranges.
    if (hugeTo > hugeFrom)
        madvise(reinterpret_cast<void *>(hugeFrom), hugeTo - hugeFrom, MADV_NOHUGEPAGE);
    hugeFrom = hugeTo = 0;
}
