// Accounts for every heap block a module takes and gives back during one
// native call, and reports what the call left behind or released wrongly.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "call_observer.h"

namespace intercept {

// Patches, in `module`, whichever of these it imports: HeapAlloc, HeapReAlloc,
// HeapFree, HeapCreate, HeapDestroy, LocalAlloc, LocalReAlloc, LocalFree,
// GlobalAlloc, GlobalReAlloc, GlobalFree, FormatMessageW (its
// FORMAT_MESSAGE_ALLOCATE_BUFFER result is a LocalAlloc block),
// CommandLineToArgvW (its vector is a LocalAlloc block) and the C runtime's
// malloc, calloc, realloc, free.
//
// Only traffic between onCallStart and onCallEnd is recorded, and not while
// testsupport::inHarness() holds on the calling thread. Releases of blocks not
// seen allocated pass through unreported. A release with the wrong allocator
// family or heap is reported and the block abandoned rather than handed to an
// allocator that does not own it; a repeated release is reported and swallowed.
//
// Patches chain: the accounting calls through to whatever the import held when
// it was installed, so fault patches compose with it in either order.
// One instance may be active at a time.
class HeapAccounting : public testsupport::CallObserver {
 public:
  explicit HeapAccounting(HMODULE module);
  ~HeapAccounting() override;
  HeapAccounting(const HeapAccounting&) = delete;
  HeapAccounting& operator=(const HeapAccounting&) = delete;

  void onCallStart() override;
  // Lines such as "leaked 64 bytes from HeapAlloc on heap 0x...",
  // "private heap 0x... from HeapCreate was not destroyed",
  // "block 0x... from malloc released with HeapFree (wrong allocator family)",
  // "block 0x... from HeapAlloc on heap 0x... released with HeapFree on heap
  // 0x... (wrong heap)", "double free of block 0x... from HeapAlloc (HeapFree)".
  void onCallEnd(std::vector<std::string>& violations) override;

  // The functions the module imports and that are therefore accounted.
  std::vector<std::string> accountedFunctions() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace intercept
