// What every replacement installed by the accountings (heap, handles) needs around
// its work: telling the library's own calls from the harness's and from the
// accounting's own bookkeeping, and leaving the caller the last-error value the
// real function produced.
#pragma once

#include <windows.h>

#include "harness_scope.h"

namespace intercept {

// Marks this thread as running a replacement or the accountings' bookkeeping.
// Allocator and handle calls made meanwhile come from the accounting itself (its
// maps and strings, when the module under test is the test program) and must pass
// straight through, without touching the accountings' tables again.
class Busy {
 public:
  Busy() : was_(enter()) {}
  ~Busy() { leave(was_); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

  static bool active() { return TlsGetValue(slot()) != nullptr; }
  // What enter() found, to hand back to leave().
  static void* enter() {
    void* was = TlsGetValue(slot());
    TlsSetValue(slot(), reinterpret_cast<void*>(1));
    return was;
  }
  static void leave(void* was) { TlsSetValue(slot(), was); }
  // A structured exception that unwinds through a replacement (a heap made with
  // HEAP_GENERATE_EXCEPTIONS refusing a block) skips its clean-up and leaves the
  // mark set; the accountings clear it where no replacement can be running.
  static void clearStale() { TlsSetValue(slot(), nullptr); }

 private:
  // A TLS slot rather than thread_local: reading it never allocates, which matters
  // inside replacements of the allocator itself.
  static DWORD slot() {
    static const DWORD index = TlsAlloc();
    return index;
  }
  void* was_;
};

// Opens a replacement. `recording` says whether the accounting records at all now;
// the call is the library's own when it is, the thread is not already inside a
// replacement, and no harness code is running on it.
class HookScope {
 public:
  explicit HookScope(bool recording) : lastError_(GetLastError()), nested_(Busy::active()) {
    if (!nested_) {
      was_ = Busy::enter();
      record_ = recording && !testsupport::inHarness();
    }
    SetLastError(lastError_);
  }
  ~HookScope() {
    if (!nested_) Busy::leave(was_);
    SetLastError(lastError_);
  }
  HookScope(const HookScope&) = delete;
  HookScope& operator=(const HookScope&) = delete;

  // Called from the accounting's own code: pass through untouched.
  bool nested() const { return nested_; }
  bool record() const { return record_; }
  // Call right after the real function returned.
  void keepLastError() { lastError_ = GetLastError(); }
  void setLastError(DWORD e) { lastError_ = e; }

 private:
  DWORD lastError_;
  bool nested_;
  bool record_ = false;
  void* was_ = nullptr;
};

}  // namespace intercept
