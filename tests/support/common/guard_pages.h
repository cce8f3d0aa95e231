// Blocks that end where their committed pages end, with a page of no access after
// them and one before their pages, in the manner of Windows' full page heap: a read
// or write past the end faults on the spot, wherever it happens. A vectored
// exception handler, which sees a fault before any structured-exception handler of
// the code under test can turn it into something else, records the faulting
// address and the block it belongs to, makes the page accessible and lets the code
// go on, so one test fails with a report instead of the program dying.
//
// Heap blocks start 16-byte aligned, as HeapAlloc and malloc give them on x64; a
// Java buffer needs only its element's alignment and so ends flush against the page
// of no access. The bytes between a block's end and the next multiple of its
// alignment, and those between the start of its first page and the block, hold a
// fence pattern that is checked when the block is released. A released block's pages become inaccessible until reclaim(), so a
// use after release faults too.
//
// The registry of blocks is process-wide: a block made by one user may be released
// by another (test code freeing what a library left behind).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport::guard {

constexpr std::size_t kAlignment = 16;
// What fresh, not zeroed memory holds: not zero, so that code relying on zeroed
// memory it did not ask for shows it.
constexpr unsigned char kFreshFill = 0xC0;
// What the fences hold.
constexpr unsigned char kFenceFill = 0xFD;

enum class Contents { Zero, Fresh };

// A new block of `size` bytes (0 gives a block whose first byte already faults),
// starting at a multiple of `alignment` (a power of two). `label` names it in reports
// ("HeapAlloc on heap 0x...", "elements of [I"). Null when the address space cannot
// be had.
void* allocate(std::size_t size, Contents contents, std::string label, std::size_t alignment = kAlignment);

struct BlockInfo {
  void* block = nullptr;
  std::size_t size = 0;
  bool released = false;
};

// The block that starts at `p` and has not been reclaimed.
bool find(const void* p, BlockInfo* info);

// Bytes a live block can hold without moving: up to the end of its last page.
std::size_t roomInPlace(const void* p);

// Gives a live block a new size in place, at its alignment; the bytes it gains hold
// `contents`, and the fences are laid again. False when it does not fit (see roomInPlace).
bool resize(void* p, std::size_t size, Contents contents);

// Checks a live block's fences now (damage is reported like a fault, once: the
// fences are laid again).
void check(void* p);

// Ends a live block: checks its fences (damage is reported like a fault) and makes
// its pages inaccessible. False when `p` is not a live block.
bool release(void* p);

// Returns the address space of a released block; a live one is released first.
void reclaim(void* p);

// Reclaims a block without checking anything: for storage whose owner goes away.
void discard(void* p);

// Adds a report of misuse found outside the handler (a block released twice).
void report(std::string text);

// Reports of faults and damaged fences since the last take, oldest first.
std::vector<std::string> takeFaults();

}  // namespace testsupport::guard
