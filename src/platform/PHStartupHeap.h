#pragma once

#include <cstddef>

/// How the settings host's memory is laid out while the window starts.
///
/// Start-up makes tens of thousands of small objects (a node per listed
/// folder, the widgets of four tabs) and a few window-sized pictures (the
/// backing store, a screenshot) that are freed again. By default the C
/// library hands every picture-sized block out as fresh pages of its own and
/// gives them back when freed, so each is faulted in page by page, and the
/// small objects fill the heap 4 KiB at a time. On a virtual machine a first
/// touch of a page costs 10-20 us, and start-up touches a few thousand.
///
/// begin() keeps start-up's blocks in one heap that is not given back while
/// the window starts (freed memory is used again instead), and asks the
/// kernel to back that heap with transparent huge pages where it offers
/// them. end() returns to the C library's usual behaviour once start-up
/// work has settled: large blocks in pages of their own, freed memory at the
/// top given back.
///
/// Both are process-wide (they set the allocator's parameters): the host
/// calls them from the main thread only, begin() before the application
/// object exists.
namespace PHStartupHeap {

/// What begin() reserves for the heap ahead of use: address space only,
/// nothing is touched until it is allocated.
inline constexpr std::size_t reserve = std::size_t{32} << 20;

/// Returns whether the reserved heap was asked to use huge pages (false
/// where the kernel has no transparent huge pages or the heap could not
/// grow; start-up then only keeps its blocks in one heap).
bool begin();
void end();

} // namespace PHStartupHeap
