// The self-tests' view of intercept_probe.dll, loaded with LoadLibrary so that
// patching a dynamically loaded module is exercised too.
#pragma once

#include <windows.h>
// After windows.h, whose types it uses.
#include <wininet.h>

#include <cstddef>

struct ProbeModule {
  HMODULE module = nullptr;
  HANDLE (*getProcessHeap)() = nullptr;
  void* (*heapAlloc)(HANDLE, SIZE_T) = nullptr;
  void* (*heapReAlloc)(HANDLE, void*, SIZE_T) = nullptr;
  BOOL (*heapFree)(HANDLE, void*) = nullptr;
  void* (*heapAllocFlags)(HANDLE, DWORD, SIZE_T) = nullptr;
  SIZE_T (*heapSize)(HANDLE, const void*) = nullptr;
  BOOL (*heapValidate)(HANDLE, const void*) = nullptr;
  HANDLE (*heapCreate)() = nullptr;
  HANDLE (*heapCreateLimited)(SIZE_T) = nullptr;
  BOOL (*heapDestroy)(HANDLE) = nullptr;
  void* (*malloc)(size_t) = nullptr;
  void* (*calloc)(size_t, size_t) = nullptr;
  void* (*realloc)(void*, size_t) = nullptr;
  void (*free)(void*) = nullptr;
  size_t (*msize)(void*) = nullptr;
  HLOCAL (*localAlloc)(SIZE_T) = nullptr;
  HLOCAL (*localReAlloc)(HLOCAL, SIZE_T) = nullptr;
  HLOCAL (*localFree)(HLOCAL) = nullptr;
  HLOCAL (*localAllocFlags)(UINT, SIZE_T) = nullptr;
  SIZE_T (*localSize)(HLOCAL) = nullptr;
  HGLOBAL (*globalAlloc)(SIZE_T) = nullptr;
  HGLOBAL (*globalFree)(HGLOBAL) = nullptr;
  BOOL (*queryConnectionOptions)(INTERNET_PER_CONN_OPTIONW*, DWORD) = nullptr;
  wchar_t* (*formatMessage)(DWORD) = nullptr;
  wchar_t** (*commandLineToArgv)(const wchar_t*) = nullptr;
  HKEY (*regOpenKey)(HKEY, const wchar_t*) = nullptr;
  LONG (*regCloseKey)(HKEY) = nullptr;
  HANDLE (*openProcess)(DWORD) = nullptr;
  HANDLE (*createEvent)() = nullptr;
  HANDLE (*duplicateHandle)(HANDLE) = nullptr;
  BOOL (*closeHandle)(HANDLE) = nullptr;
};

// Loaded once per process; fails the calling test when the DLL or an export
// is missing.
const ProbeModule& probe();
