// Accounts for every heap block a module takes and gives back during one
// native call, reports what the call left behind or released wrongly, and hands
// the module its blocks from guard pages so that reads and writes past them fault.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "call_observer.h"

namespace intercept {

// Patches, in `module`, whichever of these it imports: HeapAlloc, HeapReAlloc,
// HeapFree, HeapSize, HeapValidate, HeapCreate, HeapDestroy, LocalAlloc, LocalReAlloc,
// LocalFree, LocalSize, LocalLock, GlobalAlloc, GlobalReAlloc, GlobalFree,
// GlobalSize, GlobalLock, FormatMessageW (its FORMAT_MESSAGE_ALLOCATE_BUFFER
// result is a LocalAlloc block), CommandLineToArgvW (its vector is a LocalAlloc
// block), InternetQueryOptionW (the strings of a per-connection option query are
// GlobalAlloc blocks) and the C runtime's malloc, calloc, realloc, free, _msize.
//
// Only traffic between onCallStart and onCallEnd is recorded, and not while
// testsupport::inHarness() holds on the calling thread. Releases of blocks not
// seen allocated pass through unreported. A release with the wrong allocator
// family or heap is reported and the block abandoned rather than handed to an
// allocator that does not own it; a repeated release is reported and swallowed.
//
// Guard pages (on by default): every block recorded is placed by
// testsupport::guard at the end of its own pages, 16-byte aligned, fresh contents
// not zero unless zeroing was asked for. The real allocator still hands out a
// block of the same size for each one, kept aside, so that its answers (a private
// heap's maximum size, refusals, HEAP_GENERATE_EXCEPTIONS, injected faults) stay
// exactly the real ones. A released block's pages stay inaccessible until the
// call ends. Moveable Local/Global memory is accounted but not guarded.
//
// Patches chain: the accounting calls through to whatever the import held when
// it was installed, so fault patches compose with it in either order.
// One instance may be active at a time.
class HeapAccounting : public testsupport::CallObserver {
 public:
  struct Options {
    bool guardPages = true;
    // A second module whose releases (HeapFree, free, LocalFree, ... and the size
    // queries) must find guarded blocks too: the test program, which may free what
    // the library under test left behind. Nothing there is recorded.
    HMODULE releasingModule = nullptr;
  };

  explicit HeapAccounting(HMODULE module) : HeapAccounting(module, Options{}) {}
  HeapAccounting(HMODULE module, Options options);
  ~HeapAccounting() override;
  HeapAccounting(const HeapAccounting&) = delete;
  HeapAccounting& operator=(const HeapAccounting&) = delete;

  // Off: blocks come from the plain allocator (for tests that measure). Blocks
  // already guarded stay so until released.
  void setGuardPages(bool on);
  bool guardPages() const;

  void onCallStart() override;
  // Lines such as "leaked 64 bytes from HeapAlloc on heap 0x...",
  // "private heap 0x... from HeapCreate was not destroyed",
  // "block 0x... from malloc released with HeapFree (wrong allocator family)",
  // "block 0x... from HeapAlloc on heap 0x... released with HeapFree on heap
  // 0x... (wrong heap)", "double free of block 0x... from HeapAlloc (HeapFree)",
  // and the guard pages' reports ("read 1 byte(s) past the end of block 0x...").
  void onCallEnd(const testsupport::CallEnd& end, std::vector<std::string>& violations) override;
  void onCallEnd(std::vector<std::string>& violations) { onCallEnd(testsupport::CallEnd{}, violations); }

  // The functions the module imports and that are therefore accounted.
  std::vector<std::string> accountedFunctions() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace intercept
