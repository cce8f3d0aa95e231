#include "heap_accounting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "harness_scope.h"
#include "import_patch.h"

namespace intercept {
namespace {

enum class Family { Heap, Local, Global, Crt };

enum Fn {
  kHeapAlloc, kHeapReAlloc, kHeapFree, kHeapCreate, kHeapDestroy,
  kLocalAlloc, kLocalReAlloc, kLocalFree, kGlobalAlloc, kGlobalReAlloc, kGlobalFree,
  kFormatMessageW, kCommandLineToArgvW, kMalloc, kCalloc, kRealloc, kFree, kFnCount
};

struct Block {
  SIZE_T size;
  Family family;
  HANDLE heap;  // only for Family::Heap
  const char* allocator;
  unsigned long long sequence;
};

enum class Verdict {
  Untracked,   // not ours: pass through, nothing to note
  Matched,     // ours and released correctly: pass through, then forget it
  Abandoned,   // ours, released wrongly: reported, not passed on
  DoubleFree,  // released before during this call: reported, not passed on
};

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return std::string("0x") + buf;
}

}  // namespace

struct HeapAccounting::State {
  explicit State(HMODULE m) : module(m), active(this), tls(TlsAlloc()) {}
  ~State() { TlsFree(tls); }

  HMODULE module;
  ActiveInstance<State> active;
  DWORD tls;  // set while this thread is inside a replacement
  std::atomic<bool> recording{false};
  ImportPatch* patches[kFnCount] = {};
  std::vector<std::unique_ptr<ImportPatch>> owned;

  SRWLOCK lock = SRWLOCK_INIT;
  unsigned long long nextSequence = 0;
  std::map<void*, Block> live;
  std::map<void*, const char*> released;  // tracked blocks released, by allocator
  std::map<HANDLE, unsigned long long> heaps;
  std::vector<std::string> events;

  template <class FnPtr>
  FnPtr real(Fn fn) const {
    return reinterpret_cast<FnPtr>(patches[fn]->previous());
  }

  void allocated(void* p, SIZE_T size, Family family, HANDLE heap, const char* allocator) {
    AcquireSRWLockExclusive(&lock);
    live[p] = Block{size, family, heap, allocator, nextSequence++};
    released.erase(p);
    ReleaseSRWLockExclusive(&lock);
  }

  Verdict checkRelease(void* p, Family family, HANDLE heap, const char* releaser) {
    AcquireSRWLockExclusive(&lock);
    Verdict verdict = Verdict::Untracked;
    auto it = live.find(p);
    if (it != live.end()) {
      const Block& b = it->second;
      if (b.family != family) {
        events.push_back("block " + hex(p) + " from " + b.allocator + " released with " +
                         releaser + " (wrong allocator family)");
        verdict = Verdict::Abandoned;
      } else if (family == Family::Heap && b.heap != heap) {
        events.push_back("block " + hex(p) + " from " + b.allocator + " on heap " +
                         hex(b.heap) + " released with " + releaser + " on heap " +
                         hex(heap) + " (wrong heap)");
        verdict = Verdict::Abandoned;
      } else {
        verdict = Verdict::Matched;
      }
      if (verdict == Verdict::Abandoned) {
        released[p] = b.allocator;
        live.erase(it);
      }
    } else if (auto r = released.find(p); r != released.end()) {
      events.push_back("double free of block " + hex(p) + " from " + r->second + " (" +
                       releaser + ")");
      verdict = Verdict::DoubleFree;
    }
    ReleaseSRWLockExclusive(&lock);
    return verdict;
  }

  void commitRelease(void* p) {
    AcquireSRWLockExclusive(&lock);
    auto it = live.find(p);
    if (it != live.end()) {
      released[p] = it->second.allocator;
      live.erase(it);
    }
    ReleaseSRWLockExclusive(&lock);
  }

  void heapCreated(HANDLE heap) {
    AcquireSRWLockExclusive(&lock);
    heaps[heap] = nextSequence++;
    ReleaseSRWLockExclusive(&lock);
  }

  // Destroying a heap releases every block on it.
  void heapDestroyed(HANDLE heap) {
    AcquireSRWLockExclusive(&lock);
    heaps.erase(heap);
    for (auto it = live.begin(); it != live.end();) {
      if (it->second.family == Family::Heap && it->second.heap == heap)
        it = live.erase(it);
      else
        ++it;
    }
    ReleaseSRWLockExclusive(&lock);
  }
};

namespace {

using State = HeapAccounting::State;

// Brackets every replacement: tells whether this call is the module's own
// traffic during an accounted call, keeps the bookkeeping's own allocations
// (which may come back through a patched import) out of the records, and
// leaves the caller the last-error value the real function produced.
class Entry {
 public:
  Entry() : state_(ActiveInstance<State>::get()), lastError_(GetLastError()) {
    if (state_->recording.load() && !TlsGetValue(state_->tls)) {
      TlsSetValue(state_->tls, reinterpret_cast<void*>(1));
      guarded_ = true;
      record_ = !testsupport::inHarness();
    }
    SetLastError(lastError_);
  }
  ~Entry() {
    if (guarded_) TlsSetValue(state_->tls, nullptr);
    SetLastError(lastError_);
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  State& state() const { return *state_; }
  bool record() const { return record_; }
  // Call right after the real function returned.
  void keepLastError() { lastError_ = GetLastError(); }
  void setLastError(DWORD e) { lastError_ = e; }

 private:
  State* state_;
  DWORD lastError_;
  bool guarded_ = false;
  bool record_ = false;
};

template <class FnPtr, class... Args>
auto callReal(Entry& e, Fn fn, Args... args) {
  auto result = e.state().real<FnPtr>(fn)(args...);
  e.keepLastError();
  return result;
}

LPVOID WINAPI hookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  Entry e;
  void* p = callReal<decltype(&HeapAlloc)>(e, kHeapAlloc, heap, flags, size);
  if (e.record() && p) e.state().allocated(p, size, Family::Heap, heap, "HeapAlloc");
  return p;
}

LPVOID WINAPI hookHeapReAlloc(HANDLE heap, DWORD flags, LPVOID old, SIZE_T size) {
  Entry e;
  Verdict v = e.record() ? e.state().checkRelease(old, Family::Heap, heap, "HeapReAlloc")
                         : Verdict::Untracked;
  if (v == Verdict::Abandoned || v == Verdict::DoubleFree) {
    // What HeapReAlloc does with a block it does not own on a checking heap.
    e.setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* p = callReal<decltype(&HeapReAlloc)>(e, kHeapReAlloc, heap, flags, old, size);
  if (p && v == Verdict::Matched) {
    e.state().commitRelease(old);
    e.state().allocated(p, size, Family::Heap, heap, "HeapReAlloc");
  }
  return p;
}

BOOL WINAPI hookHeapFree(HANDLE heap, DWORD flags, LPVOID p) {
  Entry e;
  Verdict v = e.record() && p ? e.state().checkRelease(p, Family::Heap, heap, "HeapFree")
                              : Verdict::Untracked;
  if (v == Verdict::Abandoned) return TRUE;
  if (v == Verdict::DoubleFree) {
    // A checking heap's answer to a block that is no longer allocated.
    e.setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  BOOL ok = callReal<decltype(&HeapFree)>(e, kHeapFree, heap, flags, p);
  if (ok && v == Verdict::Matched) e.state().commitRelease(p);
  return ok;
}

HANDLE WINAPI hookHeapCreate(DWORD options, SIZE_T initial, SIZE_T maximum) {
  Entry e;
  HANDLE h = callReal<decltype(&HeapCreate)>(e, kHeapCreate, options, initial, maximum);
  if (e.record() && h) e.state().heapCreated(h);
  return h;
}

BOOL WINAPI hookHeapDestroy(HANDLE heap) {
  Entry e;
  BOOL ok = callReal<decltype(&HeapDestroy)>(e, kHeapDestroy, heap);
  if (e.record() && ok) e.state().heapDestroyed(heap);
  return ok;
}

// Local and Global memory share one shape: Alloc(flags, size),
// ReAlloc(handle, size, flags), Free(handle) returning null on success.
template <Family family, Fn allocFn, Fn reallocFn, Fn freeFn>
struct MovableMemory {
  static const char* name(Fn fn) {
    switch (fn) {
      case kLocalAlloc: return "LocalAlloc";
      case kLocalReAlloc: return "LocalReAlloc";
      case kLocalFree: return "LocalFree";
      case kGlobalAlloc: return "GlobalAlloc";
      case kGlobalReAlloc: return "GlobalReAlloc";
      default: return "GlobalFree";
    }
  }

  static HLOCAL WINAPI alloc(UINT flags, SIZE_T size) {
    Entry e;
    HLOCAL h = callReal<HLOCAL(WINAPI*)(UINT, SIZE_T)>(e, allocFn, flags, size);
    if (e.record() && h) e.state().allocated(h, size, family, nullptr, name(allocFn));
    return h;
  }

  static HLOCAL WINAPI realloc(HLOCAL old, SIZE_T size, UINT flags) {
    Entry e;
    Verdict v = e.record() ? e.state().checkRelease(old, family, nullptr, name(reallocFn))
                           : Verdict::Untracked;
    if (v == Verdict::Abandoned || v == Verdict::DoubleFree) {
      e.setLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    HLOCAL h = callReal<HLOCAL(WINAPI*)(HLOCAL, SIZE_T, UINT)>(e, reallocFn, old, size, flags);
    if (h && v == Verdict::Matched) {
      e.state().commitRelease(old);
      e.state().allocated(h, size, family, nullptr, name(reallocFn));
    }
    return h;
  }

  static HLOCAL WINAPI release(HLOCAL h) {
    Entry e;
    Verdict v = e.record() && h ? e.state().checkRelease(h, family, nullptr, name(freeFn))
                                : Verdict::Untracked;
    if (v == Verdict::Abandoned) return nullptr;
    if (v == Verdict::DoubleFree) {
      // LocalFree/GlobalFree fail by handing the handle back.
      e.setLastError(ERROR_INVALID_HANDLE);
      return h;
    }
    HLOCAL result = callReal<HLOCAL(WINAPI*)(HLOCAL)>(e, freeFn, h);
    if (!result && v == Verdict::Matched) e.state().commitRelease(h);
    return result;
  }
};

using LocalMemory = MovableMemory<Family::Local, kLocalAlloc, kLocalReAlloc, kLocalFree>;
using GlobalMemory = MovableMemory<Family::Global, kGlobalAlloc, kGlobalReAlloc, kGlobalFree>;

DWORD WINAPI hookFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language,
                                LPWSTR buffer, DWORD size, va_list* args) {
  Entry e;
  DWORD n = callReal<decltype(&FormatMessageW)>(e, kFormatMessageW, flags, source, id,
                                                 language, buffer, size, args);
  if (e.record() && n && (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
    // The text was placed in a LocalAlloc block the caller must LocalFree.
    HLOCAL block = *reinterpret_cast<HLOCAL*>(buffer);
    if (block) e.state().allocated(block, LocalSize(block), Family::Local, nullptr, "FormatMessageW");
  }
  return n;
}

LPWSTR* WINAPI hookCommandLineToArgvW(LPCWSTR commandLine, int* count) {
  Entry e;
  LPWSTR* argv = callReal<LPWSTR*(WINAPI*)(LPCWSTR, int*)>(e, kCommandLineToArgvW, commandLine, count);
  // The argument vector is one LocalAlloc block the caller must LocalFree.
  if (e.record() && argv) e.state().allocated(argv, LocalSize(argv), Family::Local, nullptr, "CommandLineToArgvW");
  return argv;
}

void* __cdecl hookMalloc(size_t size) {
  Entry e;
  void* p = callReal<void*(__cdecl*)(size_t)>(e, kMalloc, size);
  if (e.record() && p) e.state().allocated(p, size, Family::Crt, nullptr, "malloc");
  return p;
}

void* __cdecl hookCalloc(size_t count, size_t size) {
  Entry e;
  void* p = callReal<void*(__cdecl*)(size_t, size_t)>(e, kCalloc, count, size);
  if (e.record() && p) e.state().allocated(p, count * size, Family::Crt, nullptr, "calloc");
  return p;
}

void* __cdecl hookRealloc(void* old, size_t size) {
  Entry e;
  Verdict v = e.record() && old ? e.state().checkRelease(old, Family::Crt, nullptr, "realloc")
                                : Verdict::Untracked;
  if (v == Verdict::Abandoned || v == Verdict::DoubleFree) {
    e.setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* p = callReal<void*(__cdecl*)(void*, size_t)>(e, kRealloc, old, size);
  // realloc(p, 0) frees p and returns null in msvcrt.
  if (v == Verdict::Matched && (p || size == 0)) e.state().commitRelease(old);
  if (e.record() && p && (v == Verdict::Matched || !old))
    e.state().allocated(p, size, Family::Crt, nullptr, "realloc");
  return p;
}

void __cdecl hookFree(void* p) {
  Entry e;
  Verdict v = e.record() && p ? e.state().checkRelease(p, Family::Crt, nullptr, "free")
                              : Verdict::Untracked;
  if (v == Verdict::Abandoned || v == Verdict::DoubleFree) return;
  e.state().real<void(__cdecl*)(void*)>(kFree)(p);
  if (v == Verdict::Matched) e.state().commitRelease(p);
}

struct Hook {
  Fn fn;
  const char* dll;
  const char* name;
  void* replacement;
};

template <class F>
void* fnAddress(F* f) {
  return reinterpret_cast<void*>(f);
}

}  // namespace

HeapAccounting::HeapAccounting(HMODULE module) : state_(std::make_unique<State>(module)) {
  if (state_->active.displacedAnother())
    ADD_FAILURE() << "another HeapAccounting is active; only one may be at a time";
  const Hook hooks[] = {
      {kHeapAlloc, "KERNEL32.dll", "HeapAlloc", fnAddress(hookHeapAlloc)},
      {kHeapReAlloc, "KERNEL32.dll", "HeapReAlloc", fnAddress(hookHeapReAlloc)},
      {kHeapFree, "KERNEL32.dll", "HeapFree", fnAddress(hookHeapFree)},
      {kHeapCreate, "KERNEL32.dll", "HeapCreate", fnAddress(hookHeapCreate)},
      {kHeapDestroy, "KERNEL32.dll", "HeapDestroy", fnAddress(hookHeapDestroy)},
      {kLocalAlloc, "KERNEL32.dll", "LocalAlloc", fnAddress(LocalMemory::alloc)},
      {kLocalReAlloc, "KERNEL32.dll", "LocalReAlloc", fnAddress(LocalMemory::realloc)},
      {kLocalFree, "KERNEL32.dll", "LocalFree", fnAddress(LocalMemory::release)},
      {kGlobalAlloc, "KERNEL32.dll", "GlobalAlloc", fnAddress(GlobalMemory::alloc)},
      {kGlobalReAlloc, "KERNEL32.dll", "GlobalReAlloc", fnAddress(GlobalMemory::realloc)},
      {kGlobalFree, "KERNEL32.dll", "GlobalFree", fnAddress(GlobalMemory::release)},
      {kFormatMessageW, "KERNEL32.dll", "FormatMessageW", fnAddress(hookFormatMessageW)},
      {kCommandLineToArgvW, "SHELL32.dll", "CommandLineToArgvW", fnAddress(hookCommandLineToArgvW)},
      {kMalloc, "msvcrt.dll", "malloc", fnAddress(hookMalloc)},
      {kCalloc, "msvcrt.dll", "calloc", fnAddress(hookCalloc)},
      {kRealloc, "msvcrt.dll", "realloc", fnAddress(hookRealloc)},
      {kFree, "msvcrt.dll", "free", fnAddress(hookFree)},
  };
  for (const Hook& h : hooks) {
    auto patch = std::make_unique<ImportPatch>(deferred, module, h.dll, h.name, h.replacement,
                                               OnMissing::Skip);
    if (!patch->found()) continue;
    // The replacement must find its patch from the moment the slot changes.
    ImportPatch* raw = patch.get();
    state_->owned.push_back(std::move(patch));
    state_->patches[h.fn] = raw;
    raw->install();
  }
  if (state_->owned.empty())
    ADD_FAILURE() << "HeapAccounting: the module imports none of the heap functions";
}

HeapAccounting::~HeapAccounting() {
  state_->recording.store(false);
  // Newest first, as the chain was built.
  while (!state_->owned.empty()) state_->owned.pop_back();
}

void HeapAccounting::onCallStart() {
  state_->live.clear();
  state_->released.clear();
  state_->heaps.clear();
  state_->events.clear();
  state_->recording.store(true);
}

void HeapAccounting::onCallEnd(std::vector<std::string>& violations) {
  state_->recording.store(false);
  AcquireSRWLockExclusive(&state_->lock);
  std::vector<std::string> found = std::move(state_->events);
  std::vector<std::pair<void*, Block>> leaks(state_->live.begin(), state_->live.end());
  std::vector<std::pair<HANDLE, unsigned long long>> heaps(state_->heaps.begin(),
                                                           state_->heaps.end());
  state_->live.clear();
  state_->released.clear();
  state_->heaps.clear();
  state_->events.clear();
  ReleaseSRWLockExclusive(&state_->lock);

  std::sort(leaks.begin(), leaks.end(), [](const auto& a, const auto& b) {
    return a.second.sequence < b.second.sequence;
  });
  for (const auto& [p, b] : leaks) {
    std::string line = "leaked " + std::to_string(b.size) + " bytes from " + b.allocator;
    if (b.family == Family::Heap) line += " on heap " + hex(b.heap);
    line += " (block " + hex(p) + ")";
    found.push_back(line);
  }
  std::sort(heaps.begin(), heaps.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  for (const auto& h : heaps)
    found.push_back("private heap " + hex(h.first) + " from HeapCreate was not destroyed");
  violations.insert(violations.end(), found.begin(), found.end());
}

std::vector<std::string> HeapAccounting::accountedFunctions() const {
  std::vector<std::string> names;
  for (const auto& p : state_->owned) names.push_back(p->function());
  return names;
}

}  // namespace intercept
