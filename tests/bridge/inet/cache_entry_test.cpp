// CacheEntry.commit against Wine's URL cache in both bridge DLLs.
#include "heap_faults.h"
#include "inet_test.h"

namespace {

using inettest::asHarness;
using inettest::cachedEntries;
using inettest::kCacheEntry;
using inettest::kNoSuchField;
using inettest::kOutOfMemory;
using inettest::wide;
using intercept::ActiveInstance;
using intercept::ImportPatch;
using jnihost::jInt;
using jnihost::jLong;
using jnihost::jObj;

constexpr ULONGLONG kEpochOffset = 116444736000000000ULL;  // 1970-01-01 in FILETIME units

ULONGLONG units(const FILETIME& time) { return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

std::optional<std::wstring> wideOrNull(LPCWSTR text) {
  return text != nullptr ? std::optional<std::wstring>(text) : std::nullopt;
}

// CommitUrlCacheEntryW as it was called, before the real one records the entry.
struct CommitCall {
  std::optional<std::wstring> url;
  std::optional<std::wstring> fileName;
  ULONGLONG expires;
  ULONGLONG lastModified;
  DWORD type;
  std::optional<std::wstring> headers;
  DWORD headerLength;
  bool extensionNull;
  std::optional<std::wstring> originUrl;
};
struct CommitLog {
  std::vector<CommitCall> calls;
};
BOOL WINAPI loggedCommit(LPCWSTR url, LPCWSTR fileName, FILETIME expires, FILETIME lastModified, DWORD type,
                         LPWSTR headers, DWORD headerLength, LPCWSTR extension, LPCWSTR originUrl) {
  asHarness([&] {
    ActiveInstance<CommitLog>::get()->calls.push_back(
        CommitCall{wideOrNull(url), wideOrNull(fileName), units(expires), units(lastModified), type,
                   wideOrNull(headers), headerLength, extension == nullptr, wideOrNull(originUrl)});
  });
  return CommitUrlCacheEntryW(url, fileName, expires, lastModified, type, headers, headerLength, extension, originUrl);
}

class CacheEntryTest : public inettest::UrlCacheTest {
 protected:
  // A reserved and written file for url.
  jstring writtenFile(const std::u16string& url) {
    jstring path = createEntry(str(url), 0, str(u"txt"));
    EXPECT_NE(path, nullptr);
    HANDLE file = CreateFileW(wide(host.str(path)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "body", 4, &written, nullptr);
    CloseHandle(file);
    return path;
  }
};

TEST_P(CacheEntryTest, CommitRecordsTheEntryInTheCache) {
  jstring path = writtenFile(u"http://commit.example/page");
  commit(cacheEntry(str(u"http://commit.example/page"), path, 0, 1000, NORMAL_CACHE_ENTRY | STICKY_CACHE_ENTRY,
                    str(u"HTTP/1.1 200 OK\r\n\r\n"), nullptr));
  ASSERT_FALSE(host.exceptionPending());
  std::vector<BYTE> buffer(8192);
  auto info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
  DWORD size = static_cast<DWORD>(buffer.size());
  ASSERT_TRUE(GetUrlCacheEntryInfoW(L"http://commit.example/page", info, &size)) << GetLastError();
  EXPECT_EQ(units(info->LastModifiedTime), kEpochOffset + 10000000);
  EXPECT_TRUE(info->CacheEntryType & STICKY_CACHE_ENTRY);
  EXPECT_EQ(wide(host.str(path)), info->lpszLocalFileName);
  ASSERT_NE(info->lpHeaderInfo, nullptr);
  EXPECT_EQ(std::wstring(info->lpHeaderInfo, 15), L"HTTP/1.1 200 OK");
}

TEST_P(CacheEntryTest, TimesHeadersAndUrlsReachWinInetExactly) {
  CommitLog log;
  ActiveInstance<CommitLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CommitUrlCacheEntryW", loggedCommit);
  const struct {
    jlong expires, lastModified;
    ULONGLONG expiresPassed, lastModifiedPassed;
    const char16_t* headers;
    DWORD headerLength;
    const char16_t* origin;
  } cases[] = {
      {0, 0, 0, 0, nullptr, 0, nullptr},
      {-1, -1, 0, 0, u"abc", 4, u"http://commit.example/first"},
      {1, 1000, 116444736000010000ULL, 116444736010000000ULL, u"", 1, nullptr},
      {-2, 1700000000000LL, kEpochOffset - 20000, kEpochOffset + 17000000000000000ULL, nullptr, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expires);
    log.calls.clear();
    jstring path = writtenFile(u"http://commit.example/exact");
    commit(cacheEntry(str(u"http://commit.example/exact"), path, c.expires, c.lastModified, 0x00100001,
                      c.headers ? str(c.headers) : nullptr, c.origin ? str(c.origin) : nullptr));
    EXPECT_FALSE(host.exceptionPending());
    ASSERT_EQ(log.calls.size(), 1u);
    const CommitCall& call = log.calls[0];
    EXPECT_EQ(call.url, L"http://commit.example/exact");
    EXPECT_EQ(call.fileName, wide(host.str(path)));
    EXPECT_EQ(call.expires, c.expiresPassed);
    EXPECT_EQ(call.lastModified, c.lastModifiedPassed);
    EXPECT_EQ(call.type, 0x00100001u);
    EXPECT_EQ(call.headers, c.headers ? std::optional<std::wstring>(wide(c.headers)) : std::nullopt);
    EXPECT_EQ(call.headerLength, c.headerLength);
    EXPECT_TRUE(call.extensionNull);
    EXPECT_EQ(call.originUrl, c.origin ? std::optional<std::wstring>(wide(c.origin)) : std::nullopt);
  }
}

TEST_P(CacheEntryTest, FieldsAreFoundOnTheReceiversOwnClass) {
  CommitLog log;
  ActiveInstance<CommitLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CommitUrlCacheEntryW", loggedCommit);
  host.defineClass("com/example/TaggedCacheEntry", kCacheEntry).testOnly().field("_tag", "I").constructor("()V");
  jobject entry = host.newObject("com/example/TaggedCacheEntry");
  host.setField(entry, "_url", jObj(str(u"http://commit.example/tagged")));
  host.setField(entry, "_file_name", jObj(writtenFile(u"http://commit.example/tagged")));
  host.setField(entry, "_cache_entry_type", jInt(NORMAL_CACHE_ENTRY));
  commit(entry);
  EXPECT_FALSE(host.exceptionPending());
  ASSERT_EQ(log.calls.size(), 1u);
  EXPECT_EQ(cachedEntries().count(L"http://commit.example/tagged"), 1u);
}

TEST_P(CacheEntryTest, MissingOrMistypedFieldCommitsNothing) {
  CommitLog log;
  ActiveInstance<CommitLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CommitUrlCacheEntryW", loggedCommit);
  const struct {
    const char* omitted;
    const char* replacementSignature;  // the field under another type, or none
  } cases[] = {{"_cache_entry_type", nullptr}, {"_url", nullptr}, {"_headers", nullptr},
               {"_origin_url", nullptr},       {"_expires", "I"}, {"_last_modified", "Ljava/lang/String;"}};
  const char* fields[][2] = {{"_url", "Ljava/lang/String;"},
                             {"_file_name", "Ljava/lang/String;"},
                             {"_expires", "J"},
                             {"_last_modified", "J"},
                             {"_cache_entry_type", "I"},
                             {"_headers", "Ljava/lang/String;"},
                             {"_origin_url", "Ljava/lang/String;"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.omitted);
    std::string cls = "com/example/PartialEntry" + std::to_string(n++);
    auto builder = host.defineClass(cls).testOnly();
    for (const auto& field : fields) {
      if (std::string(field[0]) != c.omitted) {
        builder.field(field[0], field[1]);
      } else if (c.replacementSignature != nullptr) {
        builder.field(field[0], c.replacementSignature);
      }
    }
    builder.constructor("()V");
    jobject entry = host.newObject(cls);
    for (const char* name : {"_url", "_file_name", "_headers", "_origin_url"}) {
      if (std::string(name) != c.omitted) {
        host.setField(entry, name, jObj(str(u"text")));
      }
    }
    commit(entry);
    EXPECT_EQ(host.exceptionClass(), kNoSuchField);
    host.clearException();
  }
  EXPECT_TRUE(log.calls.empty());
}

TEST_P(CacheEntryTest, RefusedCommitIsCoded) {
  const wchar_t* missingFile = L"C:\\velaro-no-such-folder\\file.txt";
  ASSERT_FALSE(CommitUrlCacheEntryW(L"http://commit.example/nofile", missingFile, FILETIME{}, FILETIME{},
                                    NORMAL_CACHE_ENTRY, nullptr, 0, nullptr, nullptr));
  DWORD refusal = GetLastError();
  commit(cacheEntry(str(u"http://commit.example/nofile"), str(inettest::u16(missingFile)), 0, 0, NORMAL_CACHE_ENTRY,
                    nullptr, nullptr));
  expectCoded(refusal);
  EXPECT_TRUE(cachedEntries().empty());
}

TEST_P(CacheEntryTest, CopiesThatCannotBeMadeCommitNothing) {
  CommitLog log;
  ActiveInstance<CommitLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CommitUrlCacheEntryW", loggedCommit);
  jobject entry = cacheEntry(str(u"http://commit.example/x"), str(u"C:\\x.txt"), 0, 0, NORMAL_CACHE_ENTRY, str(u"h"),
                             str(u"http://commit.example/origin"));
  {
    intercept::FailGetProcessHeap noHeap(library.module, ERROR_INVALID_HANDLE);
    commit(entry);
    expectCoded(ERROR_INVALID_HANDLE);
  }
  // The URL, file name, header and origin copies, in that order.
  for (unsigned failing = 1; failing <= 4; ++failing) {
    SCOPED_TRACE(failing);
    intercept::FailHeapAlloc noMemory(library.module, intercept::Schedule::nth(failing));
    commit(entry);
    expectThrown(kOutOfMemory);
  }
  EXPECT_TRUE(log.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Bridges, CacheEntryTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
