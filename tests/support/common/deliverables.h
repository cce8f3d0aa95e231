// Loads the built deliverables (from the folder CTest names in VELARO_DELIVERABLES)
// so that tests call exported functions exactly as another module would.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// Full path of a deliverable file, e.g. deliverablePath(L"fullbridge.dll").
std::wstring deliverablePath(const wchar_t* file);

// Folder of the running test program, ending in its separator: the helper programs
// and DLLs the tests build are beside it.
std::wstring testProgramFolder();

// A DLL loaded for the holder's lifetime.
struct LoadedLibrary {
  HMODULE module = nullptr;
  DWORD error = 0;  // GetLastError of a failed load

  explicit LoadedLibrary(const std::wstring& path);
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  // The named export cast to F; null when missing.
  template <class F>
  F function(const char* name) const {
    return module != nullptr ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
  }
};

}  // namespace testsupport
