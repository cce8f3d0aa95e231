#include "allocation_counter.h"

#include <cstdlib>

namespace bench {
namespace {

enum Slot {
  kHeapAlloc,
  kHeapReAlloc,
  kHeapCreate,
  kLocalAlloc,
  kLocalReAlloc,
  kGlobalAlloc,
  kGlobalReAlloc,
  kMalloc,
  kCalloc,
  kRealloc,
  kSlots
};

AllocationCounter& counter() { return *intercept::ActiveInstance<AllocationCounter>::get(); }

// The function the import held before the counter, noted once per call.
template <class F>
F forward(int slot) {
  counter().note();
  return reinterpret_cast<F>(counter().previous(slot));
}

LPVOID WINAPI heapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  return forward<decltype(&HeapAlloc)>(kHeapAlloc)(heap, flags, size);
}
LPVOID WINAPI heapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
  return forward<decltype(&HeapReAlloc)>(kHeapReAlloc)(heap, flags, block, size);
}
HANDLE WINAPI heapCreate(DWORD options, SIZE_T initial, SIZE_T maximum) {
  return forward<decltype(&HeapCreate)>(kHeapCreate)(options, initial, maximum);
}
HLOCAL WINAPI localAlloc(UINT flags, SIZE_T size) { return forward<decltype(&LocalAlloc)>(kLocalAlloc)(flags, size); }
HLOCAL WINAPI localReAlloc(HLOCAL block, SIZE_T size, UINT flags) {
  return forward<decltype(&LocalReAlloc)>(kLocalReAlloc)(block, size, flags);
}
HGLOBAL WINAPI globalAlloc(UINT flags, SIZE_T size) {
  return forward<decltype(&GlobalAlloc)>(kGlobalAlloc)(flags, size);
}
HGLOBAL WINAPI globalReAlloc(HGLOBAL block, SIZE_T size, UINT flags) {
  return forward<decltype(&GlobalReAlloc)>(kGlobalReAlloc)(block, size, flags);
}
void* __cdecl countedMalloc(size_t size) { return forward<void* (*)(size_t)>(kMalloc)(size); }
void* __cdecl countedCalloc(size_t count, size_t size) {
  return forward<void* (*)(size_t, size_t)>(kCalloc)(count, size);
}
void* __cdecl countedRealloc(void* block, size_t size) {
  return forward<void* (*)(void*, size_t)>(kRealloc)(block, size);
}

}  // namespace

AllocationCounter::AllocationCounter(HMODULE module) : active_(this) {
  const struct {
    const char* dll;
    const char* name;
    void* replacement;
  } replaced[kSlots] = {
      {"kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(heapAlloc)},
      {"kernel32.dll", "HeapReAlloc", reinterpret_cast<void*>(heapReAlloc)},
      {"kernel32.dll", "HeapCreate", reinterpret_cast<void*>(heapCreate)},
      {"kernel32.dll", "LocalAlloc", reinterpret_cast<void*>(localAlloc)},
      {"kernel32.dll", "LocalReAlloc", reinterpret_cast<void*>(localReAlloc)},
      {"kernel32.dll", "GlobalAlloc", reinterpret_cast<void*>(globalAlloc)},
      {"kernel32.dll", "GlobalReAlloc", reinterpret_cast<void*>(globalReAlloc)},
      {"msvcrt.dll", "malloc", reinterpret_cast<void*>(countedMalloc)},
      {"msvcrt.dll", "calloc", reinterpret_cast<void*>(countedCalloc)},
      {"msvcrt.dll", "realloc", reinterpret_cast<void*>(countedRealloc)},
  };
  for (const auto& r : replaced) {
    patches_.push_back(
        std::make_unique<intercept::ImportPatch>(module, r.dll, r.name, r.replacement, intercept::OnMissing::Skip));
  }
}

AllocationCounter::~AllocationCounter() { patches_.clear(); }

void* AllocationCounter::previous(int slot) const { return patches_[static_cast<size_t>(slot)]->previous(); }

}  // namespace bench
