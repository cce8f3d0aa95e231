#include "heap_accounting.h"

// After windows.h (through the header above), whose types it uses.
#include <gtest/gtest.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <type_traits>

#include "guard_pages.h"
#include "hook_scope.h"
#include "import_patch.h"

namespace intercept {
namespace {

using testsupport::guard::Contents;

enum class Family { Heap, Local, Global, Crt };

// The module under test records and gets guarded blocks; the releasing module
// (the test program) only hands guarded blocks back to the guard.
enum Side { kLibrary, kReleaser, kSideCount };

enum Fn {
  kHeapAlloc,
  kHeapReAlloc,
  kHeapFree,
  kHeapSize,
  kHeapValidate,
  kHeapCreate,
  kHeapDestroy,
  kLocalAlloc,
  kLocalReAlloc,
  kLocalFree,
  kLocalSize,
  kLocalLock,
  kGlobalAlloc,
  kGlobalReAlloc,
  kGlobalFree,
  kGlobalSize,
  kGlobalLock,
  kFormatMessageW,
  kCommandLineToArgvW,
  kInternetQueryOptionW,
  kMalloc,
  kCalloc,
  kRealloc,
  kFree,
  kMsize,
  kFnCount
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

std::string blockLabel(const char* allocator, Family family, HANDLE heap) {
  return family == Family::Heap ? std::string(allocator) + " on heap " + hex(heap) : std::string(allocator);
}

// A block handed out from guard pages in place of the one the real allocator
// made (the ticket), which is kept aside and released with it.
struct Guarded {
  void* ticket;
  Family family;
  HANDLE heap;    // only for Family::Heap
  bool released;  // pages already inaccessible; the address is kept until reclaimed
};

// Guarded blocks of every instance: a block guarded during one test's call may be
// released by test code or under a later instance. Used only inside a Busy scope.
class GuardedTable {
 public:
  static GuardedTable& instance() {
    static GuardedTable* table = new GuardedTable;
    return *table;
  }

  bool find(const void* p, Guarded* out) {
    if (p == nullptr) return false;
    AcquireSRWLockShared(&lock_);
    auto it = blocks_.find(p);
    const bool found = it != blocks_.end();
    if (found) *out = it->second;
    ReleaseSRWLockShared(&lock_);
    return found;
  }
  void put(const void* p, const Guarded& g) {
    AcquireSRWLockExclusive(&lock_);
    blocks_[p] = g;
    ReleaseSRWLockExclusive(&lock_);
  }
  void markReleased(const void* p) {
    AcquireSRWLockExclusive(&lock_);
    auto it = blocks_.find(p);
    if (it != blocks_.end()) it->second.released = true;
    ReleaseSRWLockExclusive(&lock_);
  }
  void erase(const void* p) {
    AcquireSRWLockExclusive(&lock_);
    blocks_.erase(p);
    ReleaseSRWLockExclusive(&lock_);
  }
  std::vector<void*> liveOnHeap(HANDLE heap) {
    std::vector<void*> out;
    AcquireSRWLockShared(&lock_);
    for (const auto& [p, g] : blocks_) {
      if (g.family == Family::Heap && g.heap == heap && !g.released) out.push_back(const_cast<void*>(p));
    }
    ReleaseSRWLockShared(&lock_);
    return out;
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<const void*, Guarded> blocks_;
};

}  // namespace

struct HeapAccounting::State {
  State(HMODULE m, bool guard) : module(m), active(this), guardPages(guard) {}

  HMODULE module;
  ActiveInstance<State> active;
  std::atomic<bool> recording{false};
  std::atomic<bool> guardPages;
  ImportPatch* patches[kSideCount][kFnCount] = {};
  std::vector<std::unique_ptr<ImportPatch>> owned;

  SRWLOCK lock = SRWLOCK_INIT;
  unsigned long long nextSequence = 0;
  std::map<void*, Block> live;
  std::map<void*, const char*> released;  // tracked blocks released, by allocator
  std::map<HANDLE, unsigned long long> heaps;
  std::vector<std::string> events;
  std::vector<void*> toReclaim;  // guarded blocks released, reclaimed when the call ends

  template <class FnPtr>
  FnPtr real(Side side, Fn fn) const {
    return reinterpret_cast<FnPtr>(patches[side][fn]->previous());
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
        events.push_back("block " + hex(p) + " from " + b.allocator + " released with " + releaser +
                         " (wrong allocator family)");
        verdict = Verdict::Abandoned;
      } else if (family == Family::Heap && b.heap != heap) {
        events.push_back("block " + hex(p) + " from " + b.allocator + " on heap " + hex(b.heap) + " released with " +
                         releaser + " on heap " + hex(heap) + " (wrong heap)");
        verdict = Verdict::Abandoned;
      } else {
        verdict = Verdict::Matched;
      }
      if (verdict == Verdict::Abandoned) {
        released[p] = b.allocator;
        live.erase(it);
      }
    } else if (auto r = released.find(p); r != released.end()) {
      events.push_back("double free of block " + hex(p) + " from " + r->second + " (" + releaser + ")");
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

  // The block to hand out for `ticket`, which the real allocator just made.
  void* adopt(void* ticket, SIZE_T size, bool zero, Family family, HANDLE heap, const char* allocator) {
    if (!guardPages.load()) return ticket;
    void* p = testsupport::guard::allocate(size, zero ? Contents::Zero : Contents::Fresh,
                                           blockLabel(allocator, family, heap));
    // Out of address space: the real block serves unguarded.
    if (p == nullptr) return ticket;
    GuardedTable::instance().put(p, Guarded{ticket, family, heap, false});
    return p;
  }

  // Its ticket is gone: the block's pages become inaccessible for the rest of the call.
  void retire(void* p) {
    testsupport::guard::release(p);
    GuardedTable::instance().markReleased(p);
    AcquireSRWLockExclusive(&lock);
    toReclaim.push_back(p);
    ReleaseSRWLockExclusive(&lock);
  }

  // A guarded block after its ticket was resized to `ticket`: a new block with the
  // contents (the old one retired), or, in place only, the same block resized.
  // Null when it cannot stay in place.
  void* move(void* old, const Guarded& g, void* ticket, SIZE_T size, bool zero, bool inPlaceOnly,
             const char* allocator) {
    const Contents contents = zero ? Contents::Zero : Contents::Fresh;
    if (inPlaceOnly) {
      if (!testsupport::guard::resize(old, size, contents)) return nullptr;
      GuardedTable::instance().put(old, Guarded{ticket, g.family, g.heap, false});
      return old;
    }
    testsupport::guard::BlockInfo info;
    testsupport::guard::find(old, &info);
    void* p = testsupport::guard::allocate(size, contents, blockLabel(allocator, g.family, g.heap));
    void* target = p != nullptr ? p : ticket;
    std::memcpy(target, old, std::min<SIZE_T>(info.size, size));
    if (p != nullptr) GuardedTable::instance().put(p, Guarded{ticket, g.family, g.heap, false});
    retire(old);
    return target;
  }

  static void doubleRelease(const void* p, const char* releaser) {
    testsupport::guard::report("block " + hex(p) + " released again with " + releaser + " after it was released");
  }

  void reclaimReleased() {
    AcquireSRWLockExclusive(&lock);
    std::vector<void*> blocks;
    blocks.swap(toReclaim);
    ReleaseSRWLockExclusive(&lock);
    for (void* p : blocks) {
      GuardedTable::instance().erase(p);
      testsupport::guard::reclaim(p);
    }
  }
};

namespace {

using State = HeapAccounting::State;

// Opens every replacement: the active accounting, and whether this call is the
// library's own traffic to record (never on the releasing module's side).
template <Side side>
class Call {
 public:
  Call() : s(*ActiveInstance<State>::get()), scope(side == kLibrary && s.recording.load()) {}

  template <class FnPtr, class... Args>
  auto real(Fn fn, Args... args) {
    if constexpr (std::is_void_v<decltype(s.real<FnPtr>(side, fn)(args...))>) {
      s.real<FnPtr>(side, fn)(args...);
      scope.keepLastError();
    } else {
      auto result = s.real<FnPtr>(side, fn)(args...);
      scope.keepLastError();
      return result;
    }
  }
  bool nested() const { return scope.nested(); }
  bool record() const { return scope.record(); }
  Verdict checkRelease(void* p, Family family, HANDLE heap, const char* releaser) {
    return record() && p != nullptr ? s.checkRelease(p, family, heap, releaser) : Verdict::Untracked;
  }
  // A guarded block `p` is known (guarded, live or released) and `g` filled.
  bool guarded(const void* p, Guarded* g) const { return !nested() && GuardedTable::instance().find(p, g); }

  State& s;
  HookScope scope;
};

LPVOID WINAPI hookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  Call<kLibrary> c;
  void* p = c.real<decltype(&HeapAlloc)>(kHeapAlloc, heap, flags, size);
  if (!c.record() || p == nullptr) return p;
  p = c.s.adopt(p, size, flags & HEAP_ZERO_MEMORY, Family::Heap, heap, "HeapAlloc");
  c.s.allocated(p, size, Family::Heap, heap, "HeapAlloc");
  return p;
}

template <Side side>
LPVOID WINAPI hookHeapReAlloc(HANDLE heap, DWORD flags, LPVOID old, SIZE_T size) {
  using F = decltype(&HeapReAlloc);
  Call<side> c;
  const Verdict v = c.checkRelease(old, Family::Heap, heap, "HeapReAlloc");
  if (v == Verdict::Abandoned || v == Verdict::DoubleFree) {
    // What HeapReAlloc does with a block it does not own on a checking heap.
    c.scope.setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Guarded g;
  void* p = nullptr;
  if (c.guarded(old, &g)) {
    if (g.released) {
      State::doubleRelease(old, "HeapReAlloc");
      c.scope.setLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    void* ticket = c.template real<F>(kHeapReAlloc, heap, flags, g.ticket, size);
    if (ticket == nullptr) return nullptr;
    p = c.s.move(old, g, ticket, size, flags & HEAP_ZERO_MEMORY, flags & HEAP_REALLOC_IN_PLACE_ONLY, "HeapReAlloc");
    if (p == nullptr) {
      c.scope.setLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  } else {
    p = c.template real<F>(kHeapReAlloc, heap, flags, old, size);
  }
  if (p != nullptr && v == Verdict::Matched) {
    c.s.commitRelease(old);
    c.s.allocated(p, size, Family::Heap, heap, "HeapReAlloc");
  }
  return p;
}

template <Side side>
BOOL WINAPI hookHeapFree(HANDLE heap, DWORD flags, LPVOID p) {
  using F = decltype(&HeapFree);
  Call<side> c;
  const Verdict v = c.checkRelease(p, Family::Heap, heap, "HeapFree");
  if (v == Verdict::Abandoned) return TRUE;
  if (v == Verdict::DoubleFree) {
    // A checking heap's answer to a block that is no longer allocated.
    c.scope.setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Guarded g;
  if (c.guarded(p, &g)) {
    if (g.released) {
      State::doubleRelease(p, "HeapFree");
      c.scope.setLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (!c.template real<F>(kHeapFree, heap, flags, g.ticket)) return FALSE;
    c.s.retire(p);
  } else if (!c.template real<F>(kHeapFree, heap, flags, p)) {
    return FALSE;
  }
  if (v == Verdict::Matched) c.s.commitRelease(p);
  return TRUE;
}

// The size of a guarded block; (SIZE_T)-1 (the failure value of HeapSize and
// _msize) for one already released.
SIZE_T guardedSize(const void* p, HookScope& scope) {
  testsupport::guard::BlockInfo info;
  if (!testsupport::guard::find(p, &info) || info.released) {
    scope.setLastError(ERROR_INVALID_PARAMETER);
    return static_cast<SIZE_T>(-1);
  }
  return info.size;
}

template <Side side>
SIZE_T WINAPI hookHeapSize(HANDLE heap, DWORD flags, LPCVOID p) {
  Call<side> c;
  Guarded g;
  if (c.guarded(p, &g)) return guardedSize(p, c.scope);
  return c.template real<decltype(&HeapSize)>(kHeapSize, heap, flags, p);
}

// A guarded block is valid on its own heap while it is live and its fences hold.
template <Side side>
BOOL WINAPI hookHeapValidate(HANDLE heap, DWORD flags, LPCVOID p) {
  Call<side> c;
  Guarded g;
  if (c.guarded(p, &g)) {
    if (g.released || g.family != Family::Heap || g.heap != heap) return FALSE;
    testsupport::guard::check(const_cast<void*>(p));
    return TRUE;
  }
  return c.template real<decltype(&HeapValidate)>(kHeapValidate, heap, flags, p);
}

HANDLE WINAPI hookHeapCreate(DWORD options, SIZE_T initial, SIZE_T maximum) {
  Call<kLibrary> c;
  HANDLE h = c.real<decltype(&HeapCreate)>(kHeapCreate, options, initial, maximum);
  if (c.record() && h != nullptr) c.s.heapCreated(h);
  return h;
}

BOOL WINAPI hookHeapDestroy(HANDLE heap) {
  Call<kLibrary> c;
  BOOL ok = c.real<decltype(&HeapDestroy)>(kHeapDestroy, heap);
  if (!ok || c.nested()) return ok;
  // Its blocks, and so their guarded stand-ins, are gone with it.
  for (void* p : GuardedTable::instance().liveOnHeap(heap)) c.s.retire(p);
  if (c.record()) c.s.heapDestroyed(heap);
  return ok;
}

// Local and Global memory share one shape: Alloc(flags, size),
// ReAlloc(handle, size, flags), Free(handle) returning null on success,
// Size(handle), Lock(handle). Moveable memory comes as a handle, not an address,
// and is accounted but not guarded.
template <Family family, Fn allocFn, Fn reallocFn, Fn freeFn, Fn sizeFn, Fn lockFn>
struct MovableMemory {
  static constexpr UINT kMoveable = LMEM_MOVEABLE;  // == GMEM_MOVEABLE
  static constexpr UINT kZeroInit = LMEM_ZEROINIT;  // == GMEM_ZEROINIT
  static constexpr UINT kModify = LMEM_MODIFY;      // == GMEM_MODIFY

  static const char* name(Fn fn) {
    switch (fn) {
      case kLocalAlloc:
        return "LocalAlloc";
      case kLocalReAlloc:
        return "LocalReAlloc";
      case kLocalFree:
        return "LocalFree";
      case kGlobalAlloc:
        return "GlobalAlloc";
      case kGlobalReAlloc:
        return "GlobalReAlloc";
      default:
        return "GlobalFree";
    }
  }

  static HLOCAL WINAPI alloc(UINT flags, SIZE_T size) {
    Call<kLibrary> c;
    HLOCAL h = c.real<HLOCAL(WINAPI*)(UINT, SIZE_T)>(allocFn, flags, size);
    if (!c.record() || h == nullptr) return h;
    if (!(flags & kMoveable)) h = c.s.adopt(h, size, flags & kZeroInit, family, nullptr, name(allocFn));
    c.s.allocated(h, size, family, nullptr, name(allocFn));
    return h;
  }

  template <Side side>
  static HLOCAL WINAPI realloc(HLOCAL old, SIZE_T size, UINT flags) {
    using F = HLOCAL(WINAPI*)(HLOCAL, SIZE_T, UINT);
    Call<side> c;
    const Verdict v = c.checkRelease(old, family, nullptr, name(reallocFn));
    if (v == Verdict::Abandoned || v == Verdict::DoubleFree) {
      c.scope.setLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    Guarded g;
    HLOCAL h = nullptr;
    if (c.guarded(old, &g)) {
      if (g.released) {
        State::doubleRelease(old, name(reallocFn));
        c.scope.setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      HLOCAL ticket = c.template real<F>(reallocFn, g.ticket, size, flags);
      if (ticket == nullptr) return nullptr;
      // Only the block's attributes change.
      if (flags & kModify) return old;
      // Without the moveable flag a fixed block is resized in place or not at all.
      h = c.s.move(old, g, ticket, size, flags & kZeroInit, !(flags & kMoveable), name(reallocFn));
      if (h == nullptr) {
        c.scope.setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
      }
    } else {
      h = c.template real<F>(reallocFn, old, size, flags);
    }
    if (h != nullptr && v == Verdict::Matched) {
      c.s.commitRelease(old);
      c.s.allocated(h, size, family, nullptr, name(reallocFn));
    }
    return h;
  }

  template <Side side>
  static HLOCAL WINAPI release(HLOCAL h) {
    using F = HLOCAL(WINAPI*)(HLOCAL);
    Call<side> c;
    const Verdict v = c.checkRelease(h, family, nullptr, name(freeFn));
    if (v == Verdict::Abandoned) return nullptr;
    if (v == Verdict::DoubleFree) {
      // LocalFree/GlobalFree fail by handing the handle back.
      c.scope.setLastError(ERROR_INVALID_HANDLE);
      return h;
    }
    Guarded g;
    if (c.guarded(h, &g)) {
      if (g.released) {
        State::doubleRelease(h, name(freeFn));
        c.scope.setLastError(ERROR_INVALID_HANDLE);
        return h;
      }
      if (c.template real<F>(freeFn, g.ticket) != nullptr) return h;
      c.s.retire(h);
    } else if (c.template real<F>(freeFn, h) != nullptr) {
      return h;
    }
    if (v == Verdict::Matched) c.s.commitRelease(h);
    return nullptr;
  }

  template <Side side>
  static SIZE_T WINAPI size(HLOCAL h) {
    Call<side> c;
    Guarded g;
    if (c.guarded(h, &g)) {
      const SIZE_T n = guardedSize(h, c.scope);
      return n == static_cast<SIZE_T>(-1) ? 0 : n;
    }
    return c.template real<SIZE_T(WINAPI*)(HLOCAL)>(sizeFn, h);
  }

  // Locking fixed memory gives its address, which for a guarded block is itself.
  template <Side side>
  static LPVOID WINAPI lock(HLOCAL h) {
    Call<side> c;
    Guarded g;
    if (c.guarded(h, &g) && !g.released) return h;
    return c.template real<LPVOID(WINAPI*)(HLOCAL)>(lockFn, h);
  }
};

using LocalMemory = MovableMemory<Family::Local, kLocalAlloc, kLocalReAlloc, kLocalFree, kLocalSize, kLocalLock>;
using GlobalMemory = MovableMemory<Family::Global, kGlobalAlloc, kGlobalReAlloc, kGlobalFree, kGlobalSize, kGlobalLock>;

DWORD WINAPI hookFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                                va_list* args) {
  Call<kLibrary> c;
  DWORD n = c.real<decltype(&FormatMessageW)>(kFormatMessageW, flags, source, id, language, buffer, size, args);
  if (!c.record() || n == 0 || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) return n;
  // The text was placed in a LocalAlloc block the caller must LocalFree; its
  // guarded stand-in holds the text and its NUL.
  auto* slot = reinterpret_cast<HLOCAL*>(buffer);
  HLOCAL block = *slot;
  if (block == nullptr) return n;
  const SIZE_T textSize = (static_cast<SIZE_T>(n) + 1) * sizeof(WCHAR);
  HLOCAL handedOut = c.s.adopt(block, textSize, false, Family::Local, nullptr, "FormatMessageW");
  if (handedOut != block) {
    std::memcpy(handedOut, block, textSize);
    *slot = handedOut;
  }
  c.s.allocated(handedOut, handedOut != block ? textSize : LocalSize(block), Family::Local, nullptr, "FormatMessageW");
  return n;
}

LPWSTR* WINAPI hookCommandLineToArgvW(LPCWSTR commandLine, int* count) {
  Call<kLibrary> c;
  LPWSTR* argv = c.real<LPWSTR*(WINAPI*)(LPCWSTR, int*)>(kCommandLineToArgvW, commandLine, count);
  if (!c.record() || argv == nullptr) return argv;
  // The argument vector is one LocalAlloc block, the pointers followed by the
  // strings they point to; the guarded copy points into itself.
  const SIZE_T size = LocalSize(argv);
  auto* handedOut = static_cast<LPWSTR*>(c.s.adopt(argv, size, false, Family::Local, nullptr, "CommandLineToArgvW"));
  if (handedOut != argv) {
    std::memcpy(handedOut, argv, size);
    const auto* begin = reinterpret_cast<const char*>(argv);
    for (int i = 0; count != nullptr && i < *count; ++i) {
      const auto* target = reinterpret_cast<const char*>(argv[i]);
      if (target >= begin && target < begin + size) {
        handedOut[i] = reinterpret_cast<LPWSTR>(reinterpret_cast<char*>(handedOut) + (target - begin));
      }
    }
  }
  c.s.allocated(handedOut, size, Family::Local, nullptr, "CommandLineToArgvW");
  return handedOut;
}

// A per-connection option query hands back its strings in GlobalAlloc blocks that
// the caller frees with GlobalFree; each gets a guarded stand-in with the text and its NUL.
BOOL WINAPI hookInternetQueryOptionW(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length) {
  Call<kLibrary> c;
  const BOOL ok =
      c.real<BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, LPDWORD)>(kInternetQueryOptionW, handle, option, buffer, length);
  if (!c.record() || !ok || option != INTERNET_OPTION_PER_CONNECTION_OPTION || buffer == nullptr) return ok;
  auto* list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  for (DWORD i = 0; list->pOptions != nullptr && i < list->dwOptionCount; ++i) {
    INTERNET_PER_CONN_OPTIONW& entry = list->pOptions[i];
    switch (entry.dwOption) {
      case INTERNET_PER_CONN_PROXY_SERVER:
      case INTERNET_PER_CONN_PROXY_BYPASS:
      case INTERNET_PER_CONN_AUTOCONFIG_URL:
      case INTERNET_PER_CONN_AUTOCONFIG_SECONDARY_URL:
      case INTERNET_PER_CONN_AUTOCONFIG_LAST_DETECT_URL:
        break;
      default:
        continue;
    }
    if (entry.Value.pszValue == nullptr) continue;
    const SIZE_T size = (wcslen(entry.Value.pszValue) + 1) * sizeof(WCHAR);
    auto* text = static_cast<LPWSTR>(
        c.s.adopt(entry.Value.pszValue, size, false, Family::Global, nullptr, "InternetQueryOptionW"));
    if (text != entry.Value.pszValue) std::memcpy(text, entry.Value.pszValue, size);
    entry.Value.pszValue = text;
    c.s.allocated(text, size, Family::Global, nullptr, "InternetQueryOptionW");
  }
  return ok;
}

void* __cdecl hookMalloc(size_t size) {
  Call<kLibrary> c;
  void* p = c.real<void*(__cdecl*)(size_t)>(kMalloc, size);
  if (!c.record() || p == nullptr) return p;
  p = c.s.adopt(p, size, false, Family::Crt, nullptr, "malloc");
  c.s.allocated(p, size, Family::Crt, nullptr, "malloc");
  return p;
}

void* __cdecl hookCalloc(size_t count, size_t size) {
  Call<kLibrary> c;
  void* p = c.real<void*(__cdecl*)(size_t, size_t)>(kCalloc, count, size);
  if (!c.record() || p == nullptr) return p;
  p = c.s.adopt(p, count * size, true, Family::Crt, nullptr, "calloc");
  c.s.allocated(p, count * size, Family::Crt, nullptr, "calloc");
  return p;
}

template <Side side>
void* __cdecl hookRealloc(void* old, size_t size) {
  using F = void*(__cdecl*)(void*, size_t);
  Call<side> c;
  const Verdict v = c.checkRelease(old, Family::Crt, nullptr, "realloc");
  if (v == Verdict::Abandoned || v == Verdict::DoubleFree) {
    c.scope.setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Guarded g;
  void* p = nullptr;
  if (c.guarded(old, &g)) {
    if (g.released) {
      State::doubleRelease(old, "realloc");
      return nullptr;
    }
    void* ticket = c.template real<F>(kRealloc, g.ticket, size);
    // realloc(p, 0) frees p and returns null in msvcrt.
    if (size == 0 && ticket == nullptr) {
      c.s.retire(old);
    } else if (ticket != nullptr) {
      p = c.s.move(old, g, ticket, size, false, false, "realloc");
    }
  } else {
    p = c.template real<F>(kRealloc, old, size);
    if (c.record() && p != nullptr && old == nullptr) p = c.s.adopt(p, size, false, Family::Crt, nullptr, "realloc");
  }
  if (v == Verdict::Matched && (p != nullptr || size == 0)) c.s.commitRelease(old);
  if (c.record() && p != nullptr && (v == Verdict::Matched || old == nullptr)) {
    c.s.allocated(p, size, Family::Crt, nullptr, "realloc");
  }
  return p;
}

template <Side side>
void __cdecl hookFree(void* p) {
  using F = void(__cdecl*)(void*);
  Call<side> c;
  const Verdict v = c.checkRelease(p, Family::Crt, nullptr, "free");
  if (v == Verdict::Abandoned || v == Verdict::DoubleFree) return;
  Guarded g;
  if (c.guarded(p, &g)) {
    if (g.released) {
      State::doubleRelease(p, "free");
      return;
    }
    c.template real<F>(kFree, g.ticket);
    c.s.retire(p);
  } else {
    c.template real<F>(kFree, p);
  }
  if (v == Verdict::Matched) c.s.commitRelease(p);
}

template <Side side>
size_t __cdecl hookMsize(void* p) {
  Call<side> c;
  Guarded g;
  if (c.guarded(p, &g)) return guardedSize(p, c.scope);
  return c.template real<size_t(__cdecl*)(void*)>(kMsize, p);
}

struct Hook {
  Fn fn;
  const char* dll;
  const char* name;
  void* library;
  void* releaser;  // null: nothing to patch on the releasing module's side
};

template <class F>
void* fnAddress(F* f) {
  return reinterpret_cast<void*>(f);
}

}  // namespace

HeapAccounting::HeapAccounting(HMODULE module, Options options)
    : state_(std::make_unique<State>(module, options.guardPages)) {
  Busy busy;
  if (state_->active.displacedAnother()) ADD_FAILURE() << "another HeapAccounting is active; only one may be at a time";
  const Hook hooks[] = {
      {kHeapAlloc, "KERNEL32.dll", "HeapAlloc", fnAddress(hookHeapAlloc), nullptr},
      {kHeapReAlloc, "KERNEL32.dll", "HeapReAlloc", fnAddress(hookHeapReAlloc<kLibrary>),
       fnAddress(hookHeapReAlloc<kReleaser>)},
      {kHeapFree, "KERNEL32.dll", "HeapFree", fnAddress(hookHeapFree<kLibrary>), fnAddress(hookHeapFree<kReleaser>)},
      {kHeapSize, "KERNEL32.dll", "HeapSize", fnAddress(hookHeapSize<kLibrary>), fnAddress(hookHeapSize<kReleaser>)},
      {kHeapValidate, "KERNEL32.dll", "HeapValidate", fnAddress(hookHeapValidate<kLibrary>),
       fnAddress(hookHeapValidate<kReleaser>)},
      {kHeapCreate, "KERNEL32.dll", "HeapCreate", fnAddress(hookHeapCreate), nullptr},
      {kHeapDestroy, "KERNEL32.dll", "HeapDestroy", fnAddress(hookHeapDestroy), nullptr},
      {kLocalAlloc, "KERNEL32.dll", "LocalAlloc", fnAddress(LocalMemory::alloc), nullptr},
      {kLocalReAlloc, "KERNEL32.dll", "LocalReAlloc", fnAddress(LocalMemory::realloc<kLibrary>),
       fnAddress(LocalMemory::realloc<kReleaser>)},
      {kLocalFree, "KERNEL32.dll", "LocalFree", fnAddress(LocalMemory::release<kLibrary>),
       fnAddress(LocalMemory::release<kReleaser>)},
      {kLocalSize, "KERNEL32.dll", "LocalSize", fnAddress(LocalMemory::size<kLibrary>),
       fnAddress(LocalMemory::size<kReleaser>)},
      {kLocalLock, "KERNEL32.dll", "LocalLock", fnAddress(LocalMemory::lock<kLibrary>),
       fnAddress(LocalMemory::lock<kReleaser>)},
      {kGlobalAlloc, "KERNEL32.dll", "GlobalAlloc", fnAddress(GlobalMemory::alloc), nullptr},
      {kGlobalReAlloc, "KERNEL32.dll", "GlobalReAlloc", fnAddress(GlobalMemory::realloc<kLibrary>),
       fnAddress(GlobalMemory::realloc<kReleaser>)},
      {kGlobalFree, "KERNEL32.dll", "GlobalFree", fnAddress(GlobalMemory::release<kLibrary>),
       fnAddress(GlobalMemory::release<kReleaser>)},
      {kGlobalSize, "KERNEL32.dll", "GlobalSize", fnAddress(GlobalMemory::size<kLibrary>),
       fnAddress(GlobalMemory::size<kReleaser>)},
      {kGlobalLock, "KERNEL32.dll", "GlobalLock", fnAddress(GlobalMemory::lock<kLibrary>),
       fnAddress(GlobalMemory::lock<kReleaser>)},
      {kFormatMessageW, "KERNEL32.dll", "FormatMessageW", fnAddress(hookFormatMessageW), nullptr},
      {kCommandLineToArgvW, "SHELL32.dll", "CommandLineToArgvW", fnAddress(hookCommandLineToArgvW), nullptr},
      {kInternetQueryOptionW, "WININET.dll", "InternetQueryOptionW", fnAddress(hookInternetQueryOptionW), nullptr},
      {kMalloc, "msvcrt.dll", "malloc", fnAddress(hookMalloc), nullptr},
      {kCalloc, "msvcrt.dll", "calloc", fnAddress(hookCalloc), nullptr},
      {kRealloc, "msvcrt.dll", "realloc", fnAddress(hookRealloc<kLibrary>), fnAddress(hookRealloc<kReleaser>)},
      {kFree, "msvcrt.dll", "free", fnAddress(hookFree<kLibrary>), fnAddress(hookFree<kReleaser>)},
      {kMsize, "msvcrt.dll", "_msize", fnAddress(hookMsize<kLibrary>), fnAddress(hookMsize<kReleaser>)},
  };
  const HMODULE releaser = options.releasingModule != module ? options.releasingModule : nullptr;
  for (Side side : {kLibrary, kReleaser}) {
    const HMODULE target = side == kLibrary ? module : releaser;
    if (target == nullptr) continue;
    for (const Hook& h : hooks) {
      void* replacement = side == kLibrary ? h.library : h.releaser;
      if (replacement == nullptr) continue;
      auto patch = std::make_unique<ImportPatch>(deferred, target, h.dll, h.name, replacement, OnMissing::Skip);
      if (!patch->found()) continue;
      // The replacement must find its patch from the moment the slot changes.
      ImportPatch* raw = patch.get();
      state_->owned.push_back(std::move(patch));
      state_->patches[side][h.fn] = raw;
      raw->install();
    }
    if (side == kLibrary && state_->owned.empty())
      ADD_FAILURE() << "HeapAccounting: the module imports none of the heap functions";
  }
}

HeapAccounting::~HeapAccounting() {
  Busy busy;
  state_->recording.store(false);
  // Newest first, as the chain was built.
  while (!state_->owned.empty()) state_->owned.pop_back();
  state_->reclaimReleased();
}

void HeapAccounting::setGuardPages(bool on) { state_->guardPages.store(on); }
bool HeapAccounting::guardPages() const { return state_->guardPages.load(); }

void HeapAccounting::onCallStart() {
  Busy::clearStale();
  Busy busy;
  state_->reclaimReleased();
  AcquireSRWLockExclusive(&state_->lock);
  state_->live.clear();
  state_->released.clear();
  state_->heaps.clear();
  state_->events.clear();
  ReleaseSRWLockExclusive(&state_->lock);
  state_->recording.store(true);
}

void HeapAccounting::onCallEnd(const testsupport::CallEnd&, std::vector<std::string>& violations) {
  Busy::clearStale();
  Busy busy;
  state_->recording.store(false);
  AcquireSRWLockExclusive(&state_->lock);
  std::vector<std::string> found = std::move(state_->events);
  std::vector<std::pair<void*, Block>> leaks(state_->live.begin(), state_->live.end());
  std::vector<std::pair<HANDLE, unsigned long long>> heaps(state_->heaps.begin(), state_->heaps.end());
  state_->live.clear();
  state_->released.clear();
  state_->heaps.clear();
  state_->events.clear();
  ReleaseSRWLockExclusive(&state_->lock);
  state_->reclaimReleased();

  std::sort(leaks.begin(), leaks.end(),
            [](const auto& a, const auto& b) { return a.second.sequence < b.second.sequence; });
  for (const auto& [p, b] : leaks) {
    std::string line = "leaked " + std::to_string(b.size) + " bytes from " + b.allocator;
    if (b.family == Family::Heap) line += " on heap " + hex(b.heap);
    line += " (block " + hex(p) + ")";
    found.push_back(line);
  }
  std::sort(heaps.begin(), heaps.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  for (const auto& h : heaps) found.push_back("private heap " + hex(h.first) + " from HeapCreate was not destroyed");
  for (std::string& f : testsupport::guard::takeFaults()) found.push_back(std::move(f));
  violations.insert(violations.end(), found.begin(), found.end());
}

std::vector<std::string> HeapAccounting::accountedFunctions() const {
  return patchedFunctions(state_->patches[kLibrary]);
}

}  // namespace intercept
