#include "url_cache_standin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>

#include "harness_scope.h"

namespace inettest {

using intercept::ActiveInstance;
using intercept::ImportPatch;

namespace {

// Wine's plain enumeration loses the entry it could not copy, so it always gets room.
constexpr DWORD kWineBufferBytes = 1 << 20;

bool startsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  size_t length = std::wcslen(prefix);
  if (text.size() < length) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    if (std::towlower(text[i]) != std::towlower(prefix[i])) {
      return false;
    }
  }
  return true;
}

enum class PatternKind { Content, Cookies, History, Invalid };

// "cookie:" enumerates cookies, "visited:" the history, null all content entries;
// the pattern can be nothing else.
PatternKind patternKind(LPCWSTR pattern) {
  if (pattern == nullptr) return PatternKind::Content;
  if (_wcsicmp(pattern, L"cookie:") == 0) return PatternKind::Cookies;
  if (_wcsicmp(pattern, L"visited:") == 0) return PatternKind::History;
  return PatternKind::Invalid;
}

bool admits(PatternKind kind, DWORD filter, const INTERNET_CACHE_ENTRY_INFOW* entry) {
  std::wstring url = entry->lpszSourceUrlName != nullptr ? entry->lpszSourceUrlName : L"";
  bool cookie = startsWithNoCase(url, L"cookie:");
  bool history = startsWithNoCase(url, L"visited:");
  bool patternMatches = kind == PatternKind::Cookies   ? cookie
                        : kind == PatternKind::History ? history
                                                       : !cookie && !history;
  // The filter admits an entry when its type has one of the filter's bits.
  return patternMatches && (entry->CacheEntryType & filter) != 0;
}

// Rebases a pointer into Wine's buffer onto the caller's copy.
template <class T>
T* rebase(T* pointer, const BYTE* from, DWORD used, BYTE* to) {
  auto address = reinterpret_cast<const BYTE*>(pointer);
  if (pointer == nullptr || address < from || address >= from + used) {
    return pointer;
  }
  return reinterpret_cast<T*>(to + (address - from));
}

}  // namespace

struct UrlCacheStandIn::Enumeration {
  HANDLE wine = nullptr;
  PatternKind kind = PatternKind::Content;
  DWORD filter = 0;
  std::vector<BYTE> entry = std::vector<BYTE>(kWineBufferBytes);
  DWORD used = 0;        // bytes of the entry in `entry`
  bool pending = false;  // an admitted entry not yet handed over

  const INTERNET_CACHE_ENTRY_INFOW* info() const {
    return reinterpret_cast<const INTERNET_CACHE_ENTRY_INFOW*>(entry.data());
  }

  // Moves to the next entry the pattern and filter admit; false with Wine's code at the end.
  bool advance(bool first, DWORD* code) {
    for (;;) {
      DWORD size = static_cast<DWORD>(entry.size());
      auto info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(entry.data());
      bool found;
      if (first) {
        wine = FindFirstUrlCacheEntryW(nullptr, info, &size);
        found = wine != nullptr;
        first = false;
      } else {
        found = FindNextUrlCacheEntryW(wine, info, &size);
      }
      if (!found) {
        *code = GetLastError();
        EXPECT_NE(*code, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << "an entry beyond the stand-in's buffer";
        return false;
      }
      used = size;
      if (admits(kind, filter, this->info())) {
        pending = true;
        return true;
      }
    }
  }

  DWORD needed(const UrlCacheScript& script) const {
    auto it = script.neededBytes.find(info()->lpszSourceUrlName);
    return it != script.neededBytes.end() && it->second > used ? it->second : used;
  }

  // Hands the pending entry over when it fits the caller's size word; otherwise
  // ERROR_INSUFFICIENT_BUFFER with the size needed, and the entry stays pending.
  bool handOver(UrlCacheStandIn& s, INTERNET_CACHE_ENTRY_INFOW* out, DWORD* size) {
    const UrlCacheScript& script = s.script;
    DWORD need = needed(script);
    if (*size < need) {
      if (script.tooSmall != TooSmallSize::Exact && *size == s.calls.lastTooSmall) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
      }
      s.calls.lastTooSmall = *size;
      *size = script.tooSmall == TooSmallSize::Offered ? *size : script.tooSmall == TooSmallSize::Zero ? 0 : need;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    s.calls.lastTooSmall = 0;
    // All the declared room is the caller's to give.
    auto to = reinterpret_cast<BYTE*>(out);
    std::memset(to, 0xCD, *size);
    std::memcpy(to, entry.data(), used);
    out->lpszSourceUrlName = rebase(out->lpszSourceUrlName, entry.data(), used, to);
    out->lpszLocalFileName = rebase(out->lpszLocalFileName, entry.data(), used, to);
    out->lpHeaderInfo = rebase(out->lpHeaderInfo, entry.data(), used, to);
    out->lpszFileExtension = rebase(out->lpszFileExtension, entry.data(), used, to);
    *size = need;
    pending = false;
    return true;
  }
};

namespace {

UrlCacheStandIn& standIn() { return *ActiveInstance<UrlCacheStandIn>::get(); }

HANDLE WINAPI findFirstEx(LPCWSTR pattern, DWORD flags, DWORD filter, GROUPID group, LPINTERNET_CACHE_ENTRY_INFOW entry,
                          LPDWORD size, LPVOID groupAttributes, LPDWORD groupAttributesSize, LPVOID reserved) {
  testsupport::HarnessScope harness;
  UrlCacheStandIn& s = standIn();
  s.calls.firsts.push_back(UrlCacheCalls::First{
      pattern != nullptr ? std::optional<std::wstring>(pattern) : std::nullopt, flags, filter, group, *size,
      groupAttributes == nullptr && groupAttributesSize == nullptr && reserved == nullptr});
  PatternKind kind = patternKind(pattern);
  if (kind == PatternKind::Invalid || flags != 0 || groupAttributes != nullptr || groupAttributesSize != nullptr ||
      reserved != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (s.script.firstFailsWith != ERROR_SUCCESS) {
    SetLastError(s.script.firstFailsWith);
    return nullptr;
  }
  auto enumeration = std::make_unique<UrlCacheStandIn::Enumeration>();
  enumeration->kind = kind;
  enumeration->filter = filter;
  DWORD code = ERROR_SUCCESS;
  if (!enumeration->advance(true, &code)) {
    if (enumeration->wine != nullptr) {
      FindCloseUrlCache(enumeration->wine);
    }
    SetLastError(code == ERROR_NO_MORE_ITEMS ? s.script.endCode : code);
    return nullptr;
  }
  // A first call that cannot hand its entry over opens no enumeration.
  if (!enumeration->handOver(s, entry, size)) {
    DWORD refusal = GetLastError();
    FindCloseUrlCache(enumeration->wine);
    SetLastError(refusal);
    return nullptr;
  }
  HANDLE handle = enumeration->wine;
  s.open[handle] = std::move(enumeration);
  return handle;
}

BOOL WINAPI findNextEx(HANDLE handle, LPINTERNET_CACHE_ENTRY_INFOW entry, LPDWORD size, LPVOID groupAttributes,
                       LPDWORD groupAttributesSize, LPVOID reserved) {
  testsupport::HarnessScope harness;
  UrlCacheStandIn& s = standIn();
  s.calls.nextSizes.push_back(*size);
  auto it = s.open.find(handle);
  if (it == s.open.end() || groupAttributes != nullptr || groupAttributesSize != nullptr || reserved != nullptr) {
    SetLastError(it == s.open.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (s.calls.nextSizes.size() == s.script.nextFailsAtCall) {
    SetLastError(s.script.nextFailsWith);
    return FALSE;
  }
  UrlCacheStandIn::Enumeration& e = *it->second;
  DWORD code = ERROR_SUCCESS;
  if (!e.pending && !e.advance(false, &code)) {
    SetLastError(code == ERROR_NO_MORE_ITEMS ? s.script.endCode : code);
    return FALSE;
  }
  return e.handOver(s, entry, size);
}

BOOL WINAPI findClose(HANDLE handle) {
  testsupport::HarnessScope harness;
  UrlCacheStandIn& s = standIn();
  ++s.calls.closes;
  auto it = s.open.find(handle);
  if (it == s.open.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  FindCloseUrlCache(it->second->wine);
  s.open.erase(it);
  if (s.script.closeFailsWith != ERROR_SUCCESS) {
    SetLastError(s.script.closeFailsWith);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI deleteEntry(LPCWSTR url) {
  testsupport::HarnessScope harness;
  UrlCacheStandIn& s = standIn();
  s.calls.deletions.push_back(url != nullptr ? url : L"<null>");
  if (url != nullptr) {
    auto it = s.script.deleteAnswers.find(url);
    if (it != s.script.deleteAnswers.end()) {
      SetLastError(it->second);
      return FALSE;
    }
  }
  return DeleteUrlCacheEntryW(url);
}

}  // namespace

UrlCacheStandIn::UrlCacheStandIn(HMODULE module, UrlCacheScript s) : script(std::move(s)), active_(this) {
  const struct {
    const char* name;
    void* replacement;
  } replaced[] = {
      {"FindFirstUrlCacheEntryExW", reinterpret_cast<void*>(findFirstEx)},
      {"FindNextUrlCacheEntryExW", reinterpret_cast<void*>(findNextEx)},
      {"FindCloseUrlCache", reinterpret_cast<void*>(findClose)},
      {"DeleteUrlCacheEntryW", reinterpret_cast<void*>(deleteEntry)},
  };
  for (const auto& r : replaced) {
    patches_.push_back(std::make_unique<ImportPatch>(module, "wininet.dll", r.name, r.replacement));
  }
}

UrlCacheStandIn::~UrlCacheStandIn() {
  patches_.clear();
  for (auto& entry : open) {
    FindCloseUrlCache(entry.second->wine);
  }
}

std::map<std::wstring, DWORD> cachedEntries() {
  std::map<std::wstring, DWORD> entries;
  std::vector<BYTE> buffer(kWineBufferBytes);
  auto info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
  DWORD size = kWineBufferBytes;
  HANDLE find = FindFirstUrlCacheEntryW(nullptr, info, &size);
  if (find == nullptr) {
    return entries;
  }
  do {
    entries[info->lpszSourceUrlName] = info->CacheEntryType;
    size = kWineBufferBytes;
  } while (FindNextUrlCacheEntryW(find, info, &size));
  FindCloseUrlCache(find);
  return entries;
}

void emptyCache() {
  for (const auto& entry : cachedEntries()) {
    DeleteUrlCacheEntryW(entry.first.c_str());
  }
  EXPECT_TRUE(cachedEntries().empty()) << "the cache could not be emptied";
}

std::wstring addEntry(const std::wstring& url, DWORD type, const std::wstring& headers) {
  WCHAR file[MAX_PATH + 1] = {};
  EXPECT_TRUE(CreateUrlCacheEntryW(url.c_str(), 0, L"txt", file, 0)) << "error " << GetLastError();
  HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(handle, "data", 4, &written, nullptr);
  CloseHandle(handle);
  std::wstring headerCopy = headers;
  EXPECT_TRUE(CommitUrlCacheEntryW(url.c_str(), file, FILETIME{}, FILETIME{}, type,
                                   headers.empty() ? nullptr : &headerCopy[0],
                                   headers.empty() ? 0 : static_cast<DWORD>(headers.size() + 1), nullptr, nullptr))
      << "error " << GetLastError();
  return file;
}

}  // namespace inettest
