// intercept_probe.dll: a module under test whose imports the self-tests patch.
// Each export makes exactly one import call, so tests decide what a "call"
// does by combining them.
#include <windows.h>
// After windows.h, whose types they use.
#include <shellapi.h>
#include <wininet.h>

#include <malloc.h>

#include <cstdlib>

#define PROBE_API extern "C" __declspec(dllexport)

PROBE_API HANDLE probe_getProcessHeap() { return GetProcessHeap(); }
PROBE_API void* probe_heapAlloc(HANDLE heap, SIZE_T size) { return HeapAlloc(heap, 0, size); }
PROBE_API void* probe_heapReAlloc(HANDLE heap, void* block, SIZE_T size) {
  return HeapReAlloc(heap, 0, block, size);
}
PROBE_API BOOL probe_heapFree(HANDLE heap, void* block) { return HeapFree(heap, 0, block); }
PROBE_API void* probe_heapAllocFlags(HANDLE heap, DWORD flags, SIZE_T size) { return HeapAlloc(heap, flags, size); }
PROBE_API SIZE_T probe_heapSize(HANDLE heap, const void* block) { return HeapSize(heap, 0, block); }
PROBE_API BOOL probe_heapValidate(HANDLE heap, const void* block) { return HeapValidate(heap, 0, block); }
PROBE_API HANDLE probe_heapCreate() { return HeapCreate(0, 0, 0); }
PROBE_API HANDLE probe_heapCreateLimited(SIZE_T maximum) { return HeapCreate(0, 0, maximum); }
PROBE_API BOOL probe_heapDestroy(HANDLE heap) { return HeapDestroy(heap); }

PROBE_API void* probe_malloc(size_t size) { return std::malloc(size); }
PROBE_API void* probe_calloc(size_t count, size_t size) { return std::calloc(count, size); }
PROBE_API void* probe_realloc(void* block, size_t size) { return std::realloc(block, size); }
PROBE_API void probe_free(void* block) { std::free(block); }
PROBE_API size_t probe_msize(void* block) { return _msize(block); }

PROBE_API HLOCAL probe_localAlloc(SIZE_T size) { return LocalAlloc(LMEM_FIXED, size); }
PROBE_API HLOCAL probe_localReAlloc(HLOCAL block, SIZE_T size) {
  return LocalReAlloc(block, size, LMEM_MOVEABLE);
}
PROBE_API HLOCAL probe_localFree(HLOCAL block) { return LocalFree(block); }
PROBE_API HLOCAL probe_localAllocFlags(UINT flags, SIZE_T size) { return LocalAlloc(flags, size); }
PROBE_API SIZE_T probe_localSize(HLOCAL block) { return LocalSize(block); }
PROBE_API HGLOBAL probe_globalAlloc(SIZE_T size) { return GlobalAlloc(GMEM_FIXED, size); }
PROBE_API HGLOBAL probe_globalFree(HGLOBAL block) { return GlobalFree(block); }

// System text for `code` in a buffer FormatMessageW allocates; null when none.
PROBE_API wchar_t* probe_formatMessage(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  return n ? text : nullptr;
}

// Argument vector of a command line, in the block CommandLineToArgvW allocates.
PROBE_API wchar_t** probe_commandLineToArgv(const wchar_t* commandLine) {
  int count = 0;
  return CommandLineToArgvW(commandLine, &count);
}

// WinInet's per-connection options of the LAN, queried into `entries`.
PROBE_API BOOL probe_queryConnectionOptions(INTERNET_PER_CONN_OPTIONW* entries, DWORD count) {
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof list;
  list.dwOptionCount = count;
  list.pOptions = entries;
  DWORD length = sizeof list;
  return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length);
}

// Handles of the kinds the handle accounting tells apart.
PROBE_API HKEY probe_regOpenKey(HKEY root, const wchar_t* subKey) {
  HKEY key = nullptr;
  return RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) == ERROR_SUCCESS ? key : nullptr;
}
PROBE_API LONG probe_regCloseKey(HKEY key) { return RegCloseKey(key); }
PROBE_API HANDLE probe_openProcess(DWORD id) { return OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id); }
PROBE_API HANDLE probe_createEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
PROBE_API HANDLE probe_duplicateHandle(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  return copy;
}
PROBE_API BOOL probe_closeHandle(HANDLE handle) { return CloseHandle(handle); }
