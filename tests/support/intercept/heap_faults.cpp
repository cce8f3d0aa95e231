#include "heap_faults.h"

#include <gtest/gtest.h>

#include "harness_scope.h"

namespace intercept {

Fault::~Fault() = default;

void Fault::install(HMODULE module, const char* dll, const char* function, void* replacement,
                    bool displacedAnother) {
  if (displacedAnother)
    ADD_FAILURE() << "a fault on " << function << " is already active; only one may be at a time";
  patch_ = std::make_unique<ImportPatch>(deferred, module, dll, function, replacement);
  // Installed only once the replacement can reach it through patch_.
  patch_->install();
}

bool Fault::nextCallFails() {
  if (testsupport::inHarness()) return false;
  const unsigned call = ++calls_;
  if (!schedule_.fails(call)) return false;
  ++failures_;
  return true;
}

namespace {

template <class F>
void* address(F* f) {
  return reinterpret_cast<void*>(f);
}

HANDLE WINAPI failingGetProcessHeap() {
  Fault* f = FailGetProcessHeap::active();
  if (f->nextCallFails()) {
    SetLastError(f->lastError());
    return nullptr;
  }
  return f->original<decltype(GetProcessHeap)>()();
}

// The real HeapAlloc/HeapReAlloc leave the last error alone on failure.
void leaveStaleError(const Fault* f) {
  if (f->lastError() != kLastErrorUntouched) SetLastError(f->lastError());
}

LPVOID WINAPI failingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  Fault* f = FailHeapAlloc::active();
  if (f->nextCallFails()) {
    leaveStaleError(f);
    return nullptr;
  }
  return f->original<decltype(HeapAlloc)>()(heap, flags, size);
}

LPVOID WINAPI failingHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
  Fault* f = FailHeapReAlloc::active();
  if (f->nextCallFails()) {
    leaveStaleError(f);
    return nullptr;
  }
  return f->original<decltype(HeapReAlloc)>()(heap, flags, block, size);
}

BOOL WINAPI failingHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  Fault* f = FailHeapFree::active();
  if (f->nextCallFails()) {
    SetLastError(f->lastError());
    return FALSE;
  }
  return f->original<decltype(HeapFree)>()(heap, flags, block);
}

// FormatMessageW with no message text for the id: 0, ERROR_MR_MID_NOT_FOUND,
// and no buffer handed out when the caller asked for one to be allocated.
DWORD WINAPI failingFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language,
                                   LPWSTR buffer, DWORD size, va_list* args) {
  Fault* f = FailFormatMessageW::active();
  if (f->nextCallFails()) {
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && buffer)
      *reinterpret_cast<LPWSTR*>(buffer) = nullptr;
    SetLastError(f->lastError());
    return 0;
  }
  return f->original<decltype(FormatMessageW)>()(flags, source, id, language, buffer, size,
                                                 args);
}

}  // namespace

FailGetProcessHeap::FailGetProcessHeap(HMODULE module, DWORD lastError, Schedule schedule)
    : TaggedFault(module, "KERNEL32.dll", "GetProcessHeap", address(failingGetProcessHeap),
                  schedule, lastError) {}

FailHeapAlloc::FailHeapAlloc(HMODULE module, Schedule schedule, DWORD lastError)
    : TaggedFault(module, "KERNEL32.dll", "HeapAlloc", address(failingHeapAlloc), schedule,
                  lastError) {}

FailHeapReAlloc::FailHeapReAlloc(HMODULE module, Schedule schedule, DWORD lastError)
    : TaggedFault(module, "KERNEL32.dll", "HeapReAlloc", address(failingHeapReAlloc),
                  schedule, lastError) {}

FailHeapFree::FailHeapFree(HMODULE module, Schedule schedule, DWORD lastError)
    : TaggedFault(module, "KERNEL32.dll", "HeapFree", address(failingHeapFree), schedule,
                  lastError) {}

FailFormatMessageW::FailFormatMessageW(HMODULE module, Schedule schedule)
    : TaggedFault(module, "KERNEL32.dll", "FormatMessageW", address(failingFormatMessageW),
                  schedule, ERROR_MR_MID_NOT_FOUND) {}

}  // namespace intercept
