#include "child_command.h"

#include <windows.h>

namespace robustness {

std::wstring childCommand(const std::wstring& arguments) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring own(path, n);
  return L"\"" + own.substr(0, own.find_last_of(L"\\/") + 1) + L"robustness_child.exe\" " + arguments;
}

}  // namespace robustness
