#include "deliverables.h"

#include <cstdlib>

namespace testsupport {

std::wstring deliverablePath(const wchar_t* file) {
  // CTest passes a Unix path; Wine maps it through the Z: drive.
  const char* folder = std::getenv("VELARO_DELIVERABLES");
  std::wstring path = L"Z:";
  for (const char* c = folder != nullptr ? folder : "."; *c != '\0'; ++c) {
    path += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
  }
  return path + L"\\" + file;
}

std::wstring testProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring own(path, length);
  return own.substr(0, own.find_last_of(L"\\/") + 1);
}

LoadedLibrary::LoadedLibrary(const std::wstring& path) {
  // The folder of the DLL first, so that tcpestats finds fullbridge beside it.
  module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    error = GetLastError();
  }
}

LoadedLibrary::~LoadedLibrary() {
  if (module != nullptr) {
    FreeLibrary(module);
  }
}

}  // namespace testsupport
