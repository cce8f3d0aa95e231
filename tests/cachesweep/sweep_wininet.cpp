// A wininet.dll for the cachesweep tests: the four cache functions the program
// looks up, answering from a scripted cache (sweep_script.h) the way Microsoft
// documents FindFirstUrlCacheEntryExW and its companions, and logging every call.
// Each load reads the script of its own walk, so the program's second walk, with
// WinInet loaded anew, sees a cache of its own.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sweep_script.h"

namespace {

using sweeptest::logLine;

const HANDLE kEnumeration = reinterpret_cast<HANDLE>(0x5EED);

struct Cache {
  unsigned load = 0;
  sweeptest::WalkScript walk;
  std::vector<size_t> admitted;  // entries the filter admits, in order
  size_t delivered = 0;          // entries handed over so far
  unsigned nextCalls = 0;
  bool spyLoaded = false;
  DWORD lastTooSmall = 0;  // the size of the last call answered "too small"; 0 after a hand-over
};

Cache& cache() {
  static Cache instance;
  return instance;
}

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%lX", static_cast<unsigned long>(value));
  return text;
}

// Loads the spy from beside this DLL; it stays for the rest of the process.
void loadSpy(HMODULE self, DWORD setTokenAnswer) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring spy(path, length);
  spy = spy.substr(0, spy.find_last_of(L'\\') + 1) + L"sweep_spy.dll";
  HMODULE module = LoadLibraryW(spy.c_str());
  auto install = reinterpret_cast<void (*)(DWORD)>(
      module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, "installSpy")) : nullptr);
  if (install == nullptr) {
    logLine("spy missing");
    return;
  }
  install(setTokenAnswer);
}

HMODULE selfModule() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&cache), &self);
  return self;
}

// Hands the admitted entry over: the structure, then the URL behind it. All the
// declared room is written, so a buffer smaller than declared shows at once.
BOOL handOver(size_t index, LPINTERNET_CACHE_ENTRY_INFOW info, LPDWORD size) {
  const sweeptest::ScriptedEntry& entry = cache().walk.entries[cache().admitted[index]];
  DWORD natural = static_cast<DWORD>(sizeof(INTERNET_CACHE_ENTRY_INFOW) + (entry.url.size() + 1) * sizeof(WCHAR));
  DWORD needed = entry.needed > natural ? entry.needed : natural;
  Cache& c = cache();
  if (*size < needed) {
    if (c.walk.tooSmall != sweeptest::TooSmallSize::Exact && *size == c.lastTooSmall) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    c.lastTooSmall = *size;
    *size = c.walk.tooSmall == sweeptest::TooSmallSize::Offered ? *size
            : c.walk.tooSmall == sweeptest::TooSmallSize::Zero  ? 0
                                                                : needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  c.lastTooSmall = 0;
  std::memset(info, 0xCD, *size);
  std::memset(info, 0, sizeof(*info));
  info->dwStructSize = sizeof(*info);
  info->CacheEntryType = entry.type;
  auto url = reinterpret_cast<WCHAR*>(info + 1);
  std::memcpy(url, entry.url.c_str(), (entry.url.size() + 1) * sizeof(WCHAR));
  info->lpszSourceUrlName = url;
  *size = needed;
  return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI standInFindFirst(LPCWSTR pattern, DWORD flags, DWORD filter, GROUPID group,
                               LPINTERNET_CACHE_ENTRY_INFOW info, LPDWORD size, LPVOID groupAttributes,
                               LPDWORD groupAttributesSize, LPVOID reserved) {
  Cache& c = cache();
  bool reservedNull = groupAttributes == nullptr && groupAttributesSize == nullptr && reserved == nullptr;
  logLine("first pattern=" + (pattern != nullptr ? sweeptest::narrow(pattern) : std::string("null")) +
          " flags=" + std::to_string(flags) + " filter=" + hex(filter) + " group=" + std::to_string(group) +
          " size=" + std::to_string(*size) + " reserved=" + (reservedNull ? "null" : "set"));
  if (c.walk.spy && !c.spyLoaded) {
    c.spyLoaded = true;
    loadSpy(selfModule(), c.walk.setTokenAnswer);
  }
  if (pattern != nullptr || flags != 0 || !reservedNull) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (c.walk.firstFails != 0) {
    SetLastError(c.walk.firstFails);
    return nullptr;
  }
  // The filter admits an entry when its type has one of the filter's bits.
  c.admitted.clear();
  for (size_t i = 0; i < c.walk.entries.size(); ++i) {
    if (c.walk.entries[i].type & filter) {
      c.admitted.push_back(i);
    }
  }
  c.delivered = 0;
  if (c.admitted.empty()) {
    SetLastError(c.walk.endCode);
    return nullptr;
  }
  if (!handOver(0, info, size)) {
    return nullptr;
  }
  c.delivered = 1;
  return kEnumeration;
}

BOOL WINAPI standInFindNext(HANDLE find, LPINTERNET_CACHE_ENTRY_INFOW info, LPDWORD size, LPVOID, LPDWORD, LPVOID) {
  Cache& c = cache();
  logLine("next size=" + std::to_string(*size));
  if (find != kEnumeration) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (++c.nextCalls == c.walk.nextFailsAtCall) {
    SetLastError(c.walk.nextFails);
    return FALSE;
  }
  if (c.delivered >= c.admitted.size()) {
    SetLastError(c.walk.endCode);
    return FALSE;
  }
  // An entry that did not fit stays the next one.
  if (!handOver(c.delivered, info, size)) {
    return FALSE;
  }
  ++c.delivered;
  return TRUE;
}

BOOL WINAPI standInDelete(LPCWSTR url) {
  std::wstring name = url != nullptr ? url : L"<null>";
  logLine("delete " + sweeptest::narrow(name));
  for (const sweeptest::ScriptedEntry& entry : cache().walk.entries) {
    if (entry.url == name) {
      if (entry.deleteAnswer != 0) {
        SetLastError(entry.deleteAnswer);
        return FALSE;
      }
      return TRUE;
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

BOOL WINAPI standInClose(HANDLE find) {
  logLine("close");
  if (find != kEnumeration) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (cache().walk.closeFails != 0) {
    SetLastError(cache().walk.closeFails);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  Cache& c = cache();
  if (reason == DLL_PROCESS_ATTACH) {
    // The load count lives in the process environment, which outlasts this DLL.
    wchar_t text[16] = {};
    GetEnvironmentVariableW(sweeptest::kLoadsVariable, text, 16);
    c.load = static_cast<unsigned>(_wtoi(text)) + 1;
    SetEnvironmentVariableW(sweeptest::kLoadsVariable, std::to_wstring(c.load).c_str());
    c.walk = sweeptest::readWalk(c.load);
    logLine("load " + std::to_string(c.load) + " integrity " + sweeptest::integrityLevel());
  } else if (reason == DLL_PROCESS_DETACH) {
    logLine("unload " + std::to_string(c.load));
  }
  return TRUE;
}
