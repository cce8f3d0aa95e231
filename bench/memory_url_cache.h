// An in-memory URL cache behind a module's imports of FindFirstUrlCacheEntryExW,
// FindNextUrlCacheEntryExW, FindCloseUrlCache and DeleteUrlCacheEntryW, for
// emptying caches of thousands of entries: Wine's own cache costs milliseconds
// per entry. It answers as Microsoft documents the functions: each entry laid out
// in the caller's buffer (the INTERNET_CACHE_ENTRY_INFOW, then its URL and file
// name), ERROR_INSUFFICIENT_BUFFER with the size needed when it does not fit,
// ERROR_NO_MORE_ITEMS at the end, a null pattern enumerating every entry whose
// type has a bit of the filter, entries deleted during an enumeration skipped.
#pragma once

#include <windows.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "import_patch.h"

namespace bench {

class MemoryUrlCache {
 public:
  // Behind the imports of every module given.
  explicit MemoryUrlCache(const std::vector<HMODULE>& modules);
  ~MemoryUrlCache();
  MemoryUrlCache(const MemoryUrlCache&) = delete;
  MemoryUrlCache& operator=(const MemoryUrlCache&) = delete;

  // Replaces the contents by `count` (at most 100,000) entries of NORMAL_CACHE_ENTRY.
  void fill(long count);
  // Entries not deleted.
  size_t size() const;

  // Entry i's URL and file name are made from i when handed over: nothing per
  // entry is stored but this flag, so the cost per entry does not grow with the count.
  std::vector<bool> deleted;

  struct Enumeration {
    DWORD filter;
    size_t next;  // the entry to look at next
  };
  std::unordered_map<HANDLE, Enumeration> open;
  UINT_PTR nextHandle = 1;

 private:
  intercept::ActiveInstance<MemoryUrlCache> active_;
  std::vector<std::unique_ptr<intercept::ImportPatch>> patches_;
};

}  // namespace bench
