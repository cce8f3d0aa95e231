// Emptying the URL cache. Wine lacks the filtered enumeration
// (FindFirstUrlCacheEntryExW is a stub), so both sides go through a stand-in put
// behind the imports of the library and of the baselines' DLL alike:
// - the inet tests' stand-in, which walks Wine's real cache with its plain
//   enumeration and deletes there; Wine spends milliseconds per entry, so this
//   runs at 1,000 entries only;
// - an in-memory cache, at 1,000 and 10,000 entries, where what is left to time
//   is the walk itself.
#include <com_corvantis_windows_inet_InetCache.h>

#include <cstdio>
#include <string>

#include "baseline.h"
#include "memory_url_cache.h"
#include "operation.h"
#include "url_cache_standin.h"

namespace bench {
namespace {

using ClearCache = decltype(&Java_com_corvantis_windows_inet_InetCache_clearCache);

class CacheClear : public Operation {
 public:
  CacheClear(std::string name, Target target, int repetitions, long entries, const Context& context, ClearCache clear)
      : Operation(std::move(name), "FindFirst/FindNextUrlCacheEntryExW + DeleteUrlCacheEntryW walk", target,
                  repetitions, entries),
        modules_{context.bridge, context.baseline},
        clear_(clear) {
    expected = std::to_string(entries) + " deleted, 0 left";
  }

  void bind(jnihost::Host&) override {}
  bool needsPrepare() const override { return true; }
  void bridge(JNIEnv* env) override { result_ = clear_(env, nullptr, nullptr, NORMAL_CACHE_ENTRY); }
  void baseline(JNIEnv* env) override { result_ = bareClearCache(env, nullptr, nullptr, NORMAL_CACHE_ENTRY); }
  std::string outcome(jnihost::Host&) override {
    return std::to_string(result_) + " deleted, " + std::to_string(left()) + " left";
  }

 protected:
  virtual size_t left() = 0;

  std::vector<HMODULE> modules_;

 private:
  ClearCache clear_;
  jint result_ = 0;
};

class WineCacheClear : public CacheClear {
 public:
  using CacheClear::CacheClear;

  void start() override {
    inettest::emptyCache();
    for (HMODULE module : modules_) {
      standIns_.push_back(std::make_unique<inettest::UrlCacheStandIn>(module));
    }
  }
  void finish() override { standIns_.clear(); }
  // Each entry with its file, committed through WinInet.
  void prepare() override {
    for (long i = 0; i < items; ++i) {
      wchar_t url[64];
      std::swprintf(url, 64, L"http://bench.example/wine/page-%05ld.html", i);
      inettest::addEntry(url);
    }
  }

 private:
  size_t left() override { return inettest::cachedEntries().size(); }

  std::vector<std::unique_ptr<inettest::UrlCacheStandIn>> standIns_;
};

// One in-memory cache for the sizes of the group, behind the imports while any
// of them is being measured.
struct SharedMemoryCache {
  std::vector<HMODULE> modules;
  std::unique_ptr<MemoryUrlCache> cache;
  int users = 0;
};

class MemoryCacheClear : public CacheClear {
 public:
  MemoryCacheClear(std::string name, long entries, const Context& context, ClearCache clear,
                   std::shared_ptr<SharedMemoryCache> cache)
      : CacheClear(std::move(name), Target{1.10}, 21, entries, context, clear), cache_(std::move(cache)) {}

  void start() override {
    if (cache_->users++ == 0) {
      cache_->cache = std::make_unique<MemoryUrlCache>(cache_->modules);
    }
  }
  void finish() override {
    if (--cache_->users == 0) {
      cache_->cache.reset();
    }
  }
  void prepare() override { cache_->cache->fill(items); }

 private:
  size_t left() override { return cache_->cache->size(); }

  std::shared_ptr<SharedMemoryCache> cache_;
};

}  // namespace

bool addCacheOperations(const Context& context, Operations& out) {
  auto clear = BENCH_NATIVE(context, Java_com_corvantis_windows_inet_InetCache_clearCache);
  if (clear == nullptr) {
    std::fprintf(stderr, "cache: clearCache not found\n");
    return false;
  }
  // Wine's time per entry drowns the walk's: shown for information, without a target.
  out.push_back(std::make_unique<WineCacheClear>("clearCache, 1,000, Wine's cache", Target{}, 9, 1000, context, clear));
  auto cache = std::make_shared<SharedMemoryCache>();
  cache->modules = {context.bridge, context.baseline};
  for (long entries : {1000L, 10000L}) {
    auto operation = std::make_unique<MemoryCacheClear>(
        "clearCache, " + std::string(entries == 1000 ? "1,000" : "10,000") + ", in memory", entries, context, clear,
        cache);
    operation->group = "clearCache, in memory";
    out.push_back(std::move(operation));
  }
  return true;
}

}  // namespace bench
