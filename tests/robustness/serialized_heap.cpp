#include "serialized_heap.h"

#include <shellapi.h>

#include <cstdlib>
#include <mutex>

namespace robustness {
namespace {

std::recursive_mutex& heapLock() {
  static std::recursive_mutex lock;
  return lock;
}

// The replacement for one import of signature R(A...): the lock, then whatever the
// import held before (the accounting, then the real function). The caller gets the
// last-error value that call left, whatever taking and leaving the lock did to it.
template <int Id, class Signature>
struct Locked;

template <int Id, class R, class... A>
struct Locked<Id, R(A...)> {
  static intercept::ImportPatch*& patch() {
    static intercept::ImportPatch* installed = nullptr;
    return installed;
  }
  static R call(A... args) {
    R result;
    DWORD error;
    {
      std::lock_guard<std::recursive_mutex> hold(heapLock());
      result = patch()->template previousAs<R(A...)>()(args...);
      error = GetLastError();
    }
    SetLastError(error);
    return result;
  }
};

template <int Id>
struct Locked<Id, void(void*)> {
  static intercept::ImportPatch*& patch() {
    static intercept::ImportPatch* installed = nullptr;
    return installed;
  }
  static void call(void* block) {
    std::lock_guard<std::recursive_mutex> hold(heapLock());
    patch()->template previousAs<void(void*)>()(block);
  }
};

template <int Id, class Signature>
void lock(HMODULE module, const char* dll, const char* function,
          std::vector<std::unique_ptr<intercept::ImportPatch>>& patches) {
  using L = Locked<Id, Signature>;
  auto patch = std::make_unique<intercept::ImportPatch>(intercept::deferred, module, dll, function,
                                                        reinterpret_cast<void*>(&L::call), intercept::OnMissing::Skip);
  if (!patch->found()) return;
  L::patch() = patch.get();
  patch->install();
  patches.push_back(std::move(patch));
}

}  // namespace

SerializedHeap::SerializedHeap(HMODULE module) {
  lock<0, LPVOID(HANDLE, DWORD, SIZE_T)>(module, "kernel32.dll", "HeapAlloc", patches_);
  lock<1, LPVOID(HANDLE, DWORD, LPVOID, SIZE_T)>(module, "kernel32.dll", "HeapReAlloc", patches_);
  lock<2, BOOL(HANDLE, DWORD, LPVOID)>(module, "kernel32.dll", "HeapFree", patches_);
  lock<3, HANDLE(DWORD, SIZE_T, SIZE_T)>(module, "kernel32.dll", "HeapCreate", patches_);
  lock<4, BOOL(HANDLE)>(module, "kernel32.dll", "HeapDestroy", patches_);
  lock<5, HLOCAL(UINT, SIZE_T)>(module, "kernel32.dll", "LocalAlloc", patches_);
  lock<6, HLOCAL(HLOCAL, SIZE_T, UINT)>(module, "kernel32.dll", "LocalReAlloc", patches_);
  lock<7, HLOCAL(HLOCAL)>(module, "kernel32.dll", "LocalFree", patches_);
  lock<8, HGLOBAL(UINT, SIZE_T)>(module, "kernel32.dll", "GlobalAlloc", patches_);
  lock<9, HGLOBAL(HGLOBAL, SIZE_T, UINT)>(module, "kernel32.dll", "GlobalReAlloc", patches_);
  lock<10, HGLOBAL(HGLOBAL)>(module, "kernel32.dll", "GlobalFree", patches_);
  lock<11, DWORD(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*)>(module, "kernel32.dll", "FormatMessageW",
                                                                         patches_);
  lock<12, LPWSTR*(LPCWSTR, int*)>(module, "shell32.dll", "CommandLineToArgvW", patches_);
  lock<13, void*(size_t)>(module, "msvcrt.dll", "malloc", patches_);
  lock<14, void*(size_t, size_t)>(module, "msvcrt.dll", "calloc", patches_);
  lock<15, void*(void*, size_t)>(module, "msvcrt.dll", "realloc", patches_);
  lock<16, void(void*)>(module, "msvcrt.dll", "free", patches_);
}

SerializedHeap::~SerializedHeap() {
  while (!patches_.empty()) patches_.pop_back();
}

}  // namespace robustness
