// Fault injection on a module's imports, for the failure paths of heap and
// message-text handling. Each fault is an ImportPatch that calls through to
// the previous slot value when it lets a call pass, so it composes with
// HeapAccounting (and other patches) installed before or after it.
// Calls made while testsupport::inHarness() holds pass through uncounted.
// One instance of each fault type may be active at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "import_patch.h"

namespace intercept {

// Which calls fail, counting from 1 since the fault was installed.
struct Schedule {
  static constexpr unsigned kUnbounded = ~0u;
  unsigned first = 1;
  unsigned count = kUnbounded;

  static Schedule always() { return {1, kUnbounded}; }
  static Schedule nth(unsigned n) { return {n, 1}; }
  static Schedule fromNth(unsigned n) { return {n, kUnbounded}; }
  bool fails(unsigned call) const { return call >= first && call - first < count; }
};

class Fault {
 public:
  Fault(const Fault&) = delete;
  Fault& operator=(const Fault&) = delete;

  bool installed() const { return patch_ && patch_->installed(); }
  // Calls seen so far (failed or passed), harness traffic excluded.
  unsigned calls() const { return calls_.load(); }
  unsigned failures() const { return failures_.load(); }

  // For the replacement: counts the call and says whether it must fail.
  bool nextCallFails();
  DWORD lastError() const { return lastError_; }
  template <class Fn>
  Fn* original() const {
    return patch_->previousAs<Fn>();
  }

 protected:
  Fault(Schedule schedule, DWORD lastError) : schedule_(schedule), lastError_(lastError) {}
  ~Fault();
  void install(HMODULE module, const char* dll, const char* function, void* replacement,
               bool displacedAnother);
  void uninstall() { patch_.reset(); }

 private:
  std::unique_ptr<ImportPatch> patch_;
  Schedule schedule_;
  DWORD lastError_;
  std::atomic<unsigned> calls_{0};
  std::atomic<unsigned> failures_{0};
};

// Gives each fault type its own slot through which its replacement finds it;
// the slot is set before the patch goes in and cleared after it comes out.
template <class Tag>
class TaggedFault : public Fault {
 public:
  static Fault* active() { return ActiveInstance<Fault, Tag>::get(); }

 protected:
  TaggedFault(HMODULE module, const char* dll, const char* function, void* replacement,
              Schedule schedule, DWORD lastError)
      : Fault(schedule, lastError), active_(this) {
    install(module, dll, function, replacement, active_.displacedAnother());
  }
  ~TaggedFault() { uninstall(); }

 private:
  ActiveInstance<Fault, Tag> active_;
};

// GetProcessHeap returns null, with `lastError` set.
class FailGetProcessHeap : public TaggedFault<FailGetProcessHeap> {
 public:
  explicit FailGetProcessHeap(HMODULE module, DWORD lastError = ERROR_NOT_ENOUGH_MEMORY,
                              Schedule schedule = Schedule::always());
};

// HeapAlloc and HeapReAlloc fail without setting the last error, as Windows
// documents; it keeps whatever an earlier call left. A test that needs a known
// stale value there (an earlier call's ERROR_MORE_DATA, say) passes it as
// `staleError`, which is set just before the failing call returns.
constexpr DWORD kLastErrorUntouched = ~0u;

// HeapAlloc returns null; the last error as described above.
class FailHeapAlloc : public TaggedFault<FailHeapAlloc> {
 public:
  explicit FailHeapAlloc(HMODULE module, Schedule schedule = Schedule::always(),
                         DWORD staleError = kLastErrorUntouched);
};

// HeapReAlloc returns null, the old block stays valid; the last error as above.
class FailHeapReAlloc : public TaggedFault<FailHeapReAlloc> {
 public:
  explicit FailHeapReAlloc(HMODULE module, Schedule schedule = Schedule::always(),
                           DWORD staleError = kLastErrorUntouched);
};

// HeapFree returns FALSE, with `lastError` set; the block is not released.
class FailHeapFree : public TaggedFault<FailHeapFree> {
 public:
  explicit FailHeapFree(HMODULE module, Schedule schedule = Schedule::always(),
                        DWORD lastError = ERROR_INVALID_PARAMETER);
};

// FormatMessageW finds no text for the message: returns 0 with
// ERROR_MR_MID_NOT_FOUND (317).
class FailFormatMessageW : public TaggedFault<FailFormatMessageW> {
 public:
  explicit FailFormatMessageW(HMODULE module, Schedule schedule = Schedule::always());
};

}  // namespace intercept
