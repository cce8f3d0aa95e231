// Stand-ins for WinInet's filtered cache enumeration, which Wine lacks
// (FindFirstUrlCacheEntryExW is a stub there). They enumerate Wine's real cache
// through its plain FindFirstUrlCacheEntryW/FindNextUrlCacheEntryW and apply the
// pattern and filter as Microsoft documents them, so that what the bridge deletes
// really leaves Wine's cache. On request they also fail the way WinInet may.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "import_patch.h"

namespace inettest {

// The size reported with ERROR_INSUFFICIENT_BUFFER: the size needed, or, as a
// WinInet not to be relied on might, the size offered or 0.
enum class TooSmallSize { Exact, Offered, Zero };

struct UrlCacheScript {
  // Entries that report needing this many bytes (at least their real size).
  std::map<std::wstring, DWORD> neededBytes;
  // Entries whose deletion answers this code and leaves them in the cache.
  std::map<std::wstring, DWORD> deleteAnswers;
  DWORD firstFailsWith = ERROR_SUCCESS;
  unsigned nextFailsAtCall = 0;  // counting from 1
  DWORD nextFailsWith = ERROR_SUCCESS;
  DWORD closeFailsWith = ERROR_SUCCESS;  // after the enumeration was really closed
  DWORD endCode = ERROR_NO_MORE_FILES;
  // With any size but Exact, a call offering the size that the call answered
  // ERROR_INSUFFICIENT_BUFFER before it offered is answered ERROR_INVALID_DATA
  // instead: a loop that would spin ends, and fails its test by the result.
  TooSmallSize tooSmall = TooSmallSize::Exact;
};

// What the bridge passed in.
struct UrlCacheCalls {
  struct First {
    std::optional<std::wstring> pattern;
    DWORD flags;
    DWORD filter;
    GROUPID group;
    DWORD size;
    bool reservedNull;
  };
  std::vector<First> firsts;
  std::vector<DWORD> nextSizes;
  std::vector<std::wstring> deletions;  // every DeleteUrlCacheEntryW, answered or not
  unsigned closes = 0;
  DWORD lastTooSmall = 0;  // the size of the last call answered "too small"; 0 after a hand-over
};

class UrlCacheStandIn {
 public:
  explicit UrlCacheStandIn(HMODULE module, UrlCacheScript script = {});
  ~UrlCacheStandIn();
  UrlCacheStandIn(const UrlCacheStandIn&) = delete;
  UrlCacheStandIn& operator=(const UrlCacheStandIn&) = delete;

  UrlCacheScript script;
  UrlCacheCalls calls;

  struct Enumeration;
  std::map<HANDLE, std::unique_ptr<Enumeration>> open;

 private:
  intercept::ActiveInstance<UrlCacheStandIn> active_;
  std::vector<std::unique_ptr<intercept::ImportPatch>> patches_;
};

// The URLs of Wine's cache as its plain enumeration reports them, with their types.
std::map<std::wstring, DWORD> cachedEntries();
// Deletes every entry of Wine's cache.
void emptyCache();
// Creates and commits an entry of the given type directly through WinInet.
std::wstring addEntry(const std::wstring& url, DWORD type = NORMAL_CACHE_ENTRY, const std::wstring& headers = L"");

}  // namespace inettest
