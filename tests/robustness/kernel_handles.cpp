#include "kernel_handles.h"

#include <windows.h>
#include <winternl.h>

namespace robustness {

std::set<uintptr_t> kernelHandles() {
  // Handle values are handed out lowest first: the scan ends after a block of 256
  // values with none open in it.
  constexpr uintptr_t kBlock = 256 * 4;
  std::set<uintptr_t> open;
  for (uintptr_t block = 0; block < 0x10000; block += kBlock) {
    bool any = false;
    for (uintptr_t value = block == 0 ? 4 : block; value < block + kBlock; value += 4) {
      DWORD flags = 0;
      if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
        open.insert(value);
        any = true;
      }
    }
    if (!any && block > 0) break;
  }
  return open;
}

std::string handleType(uintptr_t value) {
  using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query =
      reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  alignas(8) unsigned char info[512] = {};
  ULONG length = 0;
  // ObjectTypeInformation (2) starts with the type's name as a UNICODE_STRING.
  if (query == nullptr || query(reinterpret_cast<HANDLE>(value), 2, info, sizeof info, &length) != 0) return "?";
  const auto* name = reinterpret_cast<const UNICODE_STRING*>(info);
  std::string text;
  for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i) text += static_cast<char>(name->Buffer[i]);
  return text;
}

std::string handlesOpened(const std::set<uintptr_t>& before, const std::set<uintptr_t>& after) {
  std::string opened;
  for (uintptr_t h : after) {
    if (before.count(h) != 0) continue;
    const std::string type = handleType(h);
    if (type != "Event" && type != "Semaphore")
      opened += (opened.empty() ? "" : ", ") + std::to_string(h) + " (" + type + ")";
  }
  return opened;
}

}  // namespace robustness
