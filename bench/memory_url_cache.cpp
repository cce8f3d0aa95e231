#include "memory_url_cache.h"

#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace bench {
namespace {

MemoryUrlCache& cache() { return *intercept::ActiveInstance<MemoryUrlCache>::get(); }

constexpr WCHAR kUrlPrefix[] = L"http://bench.example/page-";
constexpr WCHAR kFilePrefix[] = L"C:\\users\\bench\\Temporary Internet Files\\Content.IE5\\BENCH\\page-";
constexpr WCHAR kSuffix[] = L".htm";
constexpr size_t kDigits = 5;

// prefix, the entry's number in five digits, suffix, NUL; returns the units written.
template <size_t N>
size_t writeName(WCHAR* out, const WCHAR (&prefix)[N], size_t entry) {
  std::memcpy(out, prefix, (N - 1) * sizeof(WCHAR));
  WCHAR* digits = out + N - 1;
  for (size_t i = kDigits; i-- > 0; entry /= 10) {
    digits[i] = static_cast<WCHAR>(L'0' + entry % 10);
  }
  std::memcpy(digits + kDigits, kSuffix, sizeof kSuffix);
  return N - 1 + kDigits + sizeof kSuffix / sizeof(WCHAR);
}

constexpr size_t kUrlUnits = sizeof kUrlPrefix / sizeof(WCHAR) - 1 + kDigits + sizeof kSuffix / sizeof(WCHAR);
constexpr size_t kFileUnits = sizeof kFilePrefix / sizeof(WCHAR) - 1 + kDigits + sizeof kSuffix / sizeof(WCHAR);

// Hands over the entry at the enumeration's position, or the next one the filter
// admits; ERROR_NO_MORE_ITEMS past the last, ERROR_INSUFFICIENT_BUFFER (the entry
// staying next) when it does not fit.
BOOL handOver(MemoryUrlCache::Enumeration& enumeration, INTERNET_CACHE_ENTRY_INFOW* out, DWORD* size) {
  MemoryUrlCache& c = cache();
  size_t count = c.deleted.size();
  while (enumeration.next < count && (c.deleted[enumeration.next] || (NORMAL_CACHE_ENTRY & enumeration.filter) == 0)) {
    ++enumeration.next;
  }
  if (enumeration.next >= count) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  constexpr auto needed =
      static_cast<DWORD>(sizeof(INTERNET_CACHE_ENTRY_INFOW) + (kUrlUnits + kFileUnits) * sizeof(WCHAR));
  if (out == nullptr || *size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memset(out, 0, sizeof *out);
  out->dwStructSize = sizeof *out;
  out->CacheEntryType = NORMAL_CACHE_ENTRY;
  auto strings = reinterpret_cast<WCHAR*>(out + 1);
  out->lpszSourceUrlName = strings;
  out->lpszLocalFileName = strings + writeName(strings, kUrlPrefix, enumeration.next);
  writeName(out->lpszLocalFileName, kFilePrefix, enumeration.next);
  *size = needed;
  ++enumeration.next;
  return TRUE;
}

HANDLE WINAPI findFirst(LPCWSTR pattern, DWORD flags, DWORD filter, GROUPID group, LPINTERNET_CACHE_ENTRY_INFOW entry,
                        LPDWORD size, LPVOID groupAttributes, LPDWORD groupAttributesSize, LPVOID reserved) {
  if (pattern != nullptr || flags != 0 || group != 0 || groupAttributes != nullptr || groupAttributesSize != nullptr ||
      reserved != nullptr || size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  MemoryUrlCache::Enumeration enumeration{filter, 0};
  if (!handOver(enumeration, entry, size)) {
    return nullptr;
  }
  auto handle = reinterpret_cast<HANDLE>(cache().nextHandle++);
  cache().open[handle] = enumeration;
  return handle;
}

BOOL WINAPI findNext(HANDLE handle, LPINTERNET_CACHE_ENTRY_INFOW entry, LPDWORD size, LPVOID, LPDWORD, LPVOID) {
  auto it = cache().open.find(handle);
  if (it == cache().open.end() || size == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return handOver(it->second, entry, size);
}

BOOL WINAPI findClose(HANDLE handle) {
  if (cache().open.erase(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// The entry's number is in its URL.
BOOL WINAPI deleteEntry(LPCWSTR url) {
  MemoryUrlCache& c = cache();
  size_t entry = c.deleted.size();
  if (url != nullptr && wcslen(url) == kUrlUnits - 1) {
    entry = wcstoul(url + sizeof kUrlPrefix / sizeof(WCHAR) - 1, nullptr, 10);
  }
  WCHAR expected[kUrlUnits];
  if (entry >= c.deleted.size() || c.deleted[entry] ||
      (writeName(expected, kUrlPrefix, entry), wcscmp(url, expected) != 0)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  c.deleted[entry] = true;
  return TRUE;
}

}  // namespace

MemoryUrlCache::MemoryUrlCache(const std::vector<HMODULE>& modules) : active_(this) {
  const struct {
    const char* name;
    void* replacement;
  } replaced[] = {
      {"FindFirstUrlCacheEntryExW", reinterpret_cast<void*>(findFirst)},
      {"FindNextUrlCacheEntryExW", reinterpret_cast<void*>(findNext)},
      {"FindCloseUrlCache", reinterpret_cast<void*>(findClose)},
      {"DeleteUrlCacheEntryW", reinterpret_cast<void*>(deleteEntry)},
  };
  for (HMODULE module : modules) {
    for (const auto& r : replaced) {
      patches_.push_back(std::make_unique<intercept::ImportPatch>(module, "wininet.dll", r.name, r.replacement));
    }
  }
}

MemoryUrlCache::~MemoryUrlCache() { patches_.clear(); }

void MemoryUrlCache::fill(long count) { deleted.assign(static_cast<size_t>(count), false); }

size_t MemoryUrlCache::size() const { return static_cast<size_t>(std::count(deleted.begin(), deleted.end(), false)); }

}  // namespace bench
