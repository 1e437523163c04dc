// The host's start-up heap: picture-sized blocks freed during start-up are
// used again rather than faulted in afresh, the heap asks for huge pages, and
// the allocator's usual behaviour returns afterwards. A program of its own:
// the allocator's parameters are process-wide.

#include "platform/PHStartupHeap.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true; // the sanitizer's allocator takes no parameters
#else
constexpr bool sanitized = false;
#endif

// A block the size of the window's backing store.
constexpr std::size_t pictureBytes = std::size_t{4} << 20;

long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Fills a fresh block and returns the page faults that took.
long faultsToFill(char *block) {
    const long before = minorFaults();
    std::memset(block, 0x5a, pictureBytes);
    return minorFaults() - before;
}

bool inBrkHeap(const void *p) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    while (std::getline(maps, line)) {
        if (line.find("[heap]") == std::string::npos)
            continue;
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream(line) >> std::hex >> from >> dash >> to;
        if (at >= from && at < to)
            return true;
    }
    return false;
}

// The kernel's flags for the mapping that holds `p` ("hg": huge pages
// asked for, "nh": refused).
std::string mappingFlags(const void *p) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        if (std::istringstream(line) >> std::hex >> from >> dash >> to && dash == '-') {
            inside = at >= from && at < to;
            continue;
        }
        if (inside && line.rfind("VmFlags:", 0) == 0)
            return line.substr(8) + ' ';
    }
    return {};
}

bool kernelOffersHugePages() {
    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(enabled, modes);
    return !modes.empty() && modes.find("[never]") == std::string::npos;
}

TEST(StartupHeap, UsesFreedPicturesAgainInOneHugePageHeapUntilStartUpEnds) {
    if (sanitized)
        GTEST_SKIP() << "the address sanitizer's allocator has no parameters to set";

    const bool huge = PHStartupHeap::begin();
    if (kernelOffersHugePages()) {
        EXPECT_TRUE(huge) << "the kernel offers transparent huge pages, but the heap did not ask for them";
    }

    // A picture drawn, freed, and drawn again: the second costs no new pages.
    char *first = static_cast<char *>(std::malloc(pictureBytes));
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(inBrkHeap(first)) << "a picture-sized block still came from a mapping of its own";
    const long firstFaults = faultsToFill(first);
    std::free(first);
    char *second = static_cast<char *>(std::malloc(pictureBytes));
    ASSERT_NE(second, nullptr);
    const long secondFaults = faultsToFill(second);
    EXPECT_LE(secondFaults, 8) << "freed memory was given back and faulted in again (" << firstFaults
                               << " faults the first time)";
    if (huge) {
        EXPECT_NE(mappingFlags(second + pictureBytes - 1).find(" hg "), std::string::npos)
            << mappingFlags(second + pictureBytes - 1);
    }
    std::free(second);

    // Afterwards: memory freed at the heap's top is given back again.
    const auto heapEnd = [] { return reinterpret_cast<std::uintptr_t>(sbrk(0)); };
    const std::uintptr_t grown = heapEnd();
    PHStartupHeap::end();
    char *later = static_cast<char *>(std::malloc(pictureBytes));
    ASSERT_NE(later, nullptr);
    faultsToFill(later);
    std::free(later);
    EXPECT_LE(heapEnd() + PHStartupHeap::reserve / 2, grown) << "the free top of the heap was kept";
    if (huge) {
        char *small = static_cast<char *>(std::malloc(64));
        ASSERT_NE(small, nullptr);
        ASSERT_TRUE(inBrkHeap(small));
        const std::string flags = mappingFlags(small);
        EXPECT_EQ(flags.find(" hg "), std::string::npos) << flags;
        std::free(small);
    }
}

} // namespace
