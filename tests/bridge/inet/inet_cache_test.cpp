// InetCache natives against Wine's URL cache in both bridge DLLs; the filtered
// enumeration Wine lacks is stood in for (url_cache_standin.h).
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

#include "heap_faults.h"
#include "inet_test.h"

namespace {

using inettest::addEntry;
using inettest::asHarness;
using inettest::cachedEntries;
using inettest::kOutOfMemory;
using inettest::TooSmallSize;
using inettest::u16;
using inettest::UrlCacheCalls;
using inettest::UrlCacheScript;
using inettest::UrlCacheStandIn;
using inettest::wide;
using intercept::ActiveInstance;
using intercept::ImportPatch;

constexpr DWORD kSweepFilter = NORMAL_CACHE_ENTRY | SPARSE_CACHE_ENTRY;
constexpr DWORD kInvalidArgument = 0x80070057;

// The sizes the DLL asks malloc and realloc for, in one sequence; one call may be
// refused, as the run-time heap can. The refusal sets no last error, as the C
// allocator's does not; staleError stands for a code an earlier call left.
struct AllocationLog {
  std::vector<size_t> sizes;
  unsigned refuseCall = 0;  // counting from 1
  std::optional<DWORD> staleError;
  ImportPatch* malloc = nullptr;
  ImportPatch* realloc = nullptr;

  bool next(size_t size) {
    bool refuse = false;
    asHarness([&] {
      sizes.push_back(size);
      refuse = sizes.size() == refuseCall;
    });
    if (refuse && staleError) {
      SetLastError(*staleError);
    }
    return !refuse;
  }
};
void* __cdecl loggedMalloc(size_t size) {
  AllocationLog* log = ActiveInstance<AllocationLog>::get();
  return log->next(size) ? log->malloc->previousAs<decltype(malloc)>()(size) : nullptr;
}
void* __cdecl loggedRealloc(void* block, size_t size) {
  AllocationLog* log = ActiveInstance<AllocationLog>::get();
  return log->next(size) ? log->realloc->previousAs<decltype(realloc)>()(block, size) : nullptr;
}

struct LoggedAllocation {
  explicit LoggedAllocation(HMODULE module, AllocationLog* log)
      : active(log),
        malloc(intercept::deferred, module, "msvcrt.dll", "malloc", reinterpret_cast<void*>(loggedMalloc)),
        realloc(intercept::deferred, module, "msvcrt.dll", "realloc", reinterpret_cast<void*>(loggedRealloc)) {
    log->malloc = &malloc;
    log->realloc = &realloc;
    malloc.install();
    realloc.install();
  }
  ActiveInstance<AllocationLog> active;
  ImportPatch malloc;
  ImportPatch realloc;
};

// CreateUrlCacheEntryW as it was called; the real one runs unless a file name is scripted.
struct CreateCall {
  std::optional<std::wstring> url;
  DWORD expectedSize;
  std::optional<std::wstring> extension;
  DWORD reserved;
};
struct CreateLog {
  std::vector<CreateCall> calls;
  std::optional<std::wstring> writtenName;  // written whole, without a NUL of its own
};
std::optional<std::wstring> wideOrNull(LPCWSTR text) {
  return text != nullptr ? std::optional<std::wstring>(text) : std::nullopt;
}
BOOL WINAPI loggedCreate(LPCWSTR url, DWORD expectedSize, LPCWSTR extension, LPWSTR fileName, DWORD reserved) {
  CreateLog* log = ActiveInstance<CreateLog>::get();
  asHarness([&] { log->calls.push_back(CreateCall{wideOrNull(url), expectedSize, wideOrNull(extension), reserved}); });
  if (log->writtenName) {
    log->writtenName->copy(fileName, log->writtenName->size());
    return TRUE;
  }
  return CreateUrlCacheEntryW(url, expectedSize, extension, fileName, reserved);
}

class InetCacheTest : public inettest::UrlCacheTest {
 protected:
  // The URL Wine's plain enumeration hands out first.
  std::wstring firstEnumerated() {
    std::vector<BYTE> buffer(1 << 16);
    auto info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    DWORD size = static_cast<DWORD>(buffer.size());
    HANDLE find = FindFirstUrlCacheEntryW(nullptr, info, &size);
    EXPECT_NE(find, nullptr);
    std::wstring url = find != nullptr ? info->lpszSourceUrlName : L"";
    FindCloseUrlCache(find);
    return url;
  }
  std::vector<std::wstring> remaining() {
    std::vector<std::wstring> urls;
    for (const auto& entry : cachedEntries()) {
      urls.push_back(entry.first);
    }
    return urls;
  }
};

TEST_P(InetCacheTest, ClearCacheDeletesWhatCreateAndCommitPutThere) {
  for (const char16_t* url : {u"http://cache.example/a", u"http://cache.example/b", u"http://cache.example/c"}) {
    addThroughNatives(url);
  }
  ASSERT_EQ(cachedEntries().size(), 3u);
  UrlCacheStandIn standIn(library.module);
  EXPECT_EQ(clearCache(nullptr, kSweepFilter), 3);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_TRUE(cachedEntries().empty());
  ASSERT_EQ(standIn.calls.firsts.size(), 1u);
  const auto& first = standIn.calls.firsts[0];
  EXPECT_EQ(first.pattern, std::nullopt);
  EXPECT_EQ(first.flags, 0u);
  EXPECT_EQ(first.filter, kSweepFilter);
  EXPECT_EQ(first.group, 0);
  EXPECT_EQ(first.size, 8192u);
  EXPECT_TRUE(first.reservedNull);
  EXPECT_EQ(standIn.calls.nextSizes, (std::vector<DWORD>{8192, 8192, 8192}));
  EXPECT_EQ(standIn.calls.deletions.size(), 3u);
  EXPECT_EQ(standIn.calls.closes, 1u);
}

TEST_P(InetCacheTest, NothingToDeleteGivesZero) {
  for (DWORD endCode : {DWORD{ERROR_NO_MORE_FILES}, DWORD{ERROR_NO_MORE_ITEMS}}) {
    SCOPED_TRACE(endCode);
    UrlCacheScript script;
    script.endCode = endCode;
    UrlCacheStandIn standIn(library.module, script);
    EXPECT_EQ(clearCache(nullptr, kSweepFilter), 0);
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(standIn.calls.closes, 0u);
  }
  addEntry(L"http://cache.example/kept");
  UrlCacheStandIn standIn(library.module);
  // A pattern or a filter that matches nothing.
  EXPECT_EQ(clearCache(str(u"visited:"), kSweepFilter), 0);
  EXPECT_EQ(clearCache(nullptr, STICKY_CACHE_ENTRY), 0);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(remaining(), std::vector<std::wstring>{L"http://cache.example/kept"});
  ASSERT_EQ(standIn.calls.firsts.size(), 2u);
  EXPECT_EQ(standIn.calls.firsts[0].pattern, L"visited:");
  EXPECT_EQ(standIn.calls.firsts[1].filter, static_cast<DWORD>(STICKY_CACHE_ENTRY));
}

TEST_P(InetCacheTest, CountIsOfTheEntriesTheFilterAdmitted) {
  addEntry(L"http://cache.example/page");
  addEntry(L"http://cache.example/cookie-typed", COOKIE_CACHE_ENTRY);
  UrlCacheStandIn standIn(library.module);
  EXPECT_EQ(clearCache(nullptr, COOKIE_CACHE_ENTRY), 1);
  EXPECT_EQ(remaining(), std::vector<std::wstring>{L"http://cache.example/page"});
  EXPECT_EQ(standIn.calls.deletions, std::vector<std::wstring>{L"http://cache.example/cookie-typed"});
}

TEST_P(InetCacheTest, EntryNeedingMoreRoomGrowsTheBufferAndTheWalkGoesOn) {
  addEntry(L"http://cache.example/1");
  // Long headers make Wine's own entry information larger than 8192 bytes.
  addEntry(L"http://cache.example/2", NORMAL_CACHE_ENTRY, std::wstring(6000, L'h'));
  addEntry(L"http://cache.example/3");
  UrlCacheStandIn standIn(library.module);
  AllocationLog allocations;
  LoggedAllocation logged(library.module, &allocations);
  EXPECT_EQ(clearCache(nullptr, kSweepFilter), 3);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_TRUE(cachedEntries().empty());
  // One growth to twice what WinInet asked for; from then on that size is declared.
  std::vector<DWORD> offered{standIn.calls.firsts[0].size};
  offered.insert(offered.end(), standIn.calls.nextSizes.begin(), standIn.calls.nextSizes.end());
  auto grown = std::find_if(offered.begin(), offered.end(), [](DWORD size) { return size != 8192; });
  ASSERT_NE(grown, offered.end());
  const DWORD needed = *grown;
  EXPECT_GT(needed, 8192u);
  EXPECT_TRUE(std::all_of(grown, offered.end(), [&](DWORD size) { return size == needed; }));
  EXPECT_EQ(allocations.sizes, (std::vector<size_t>{16384, size_t{needed} * 2}));
}

TEST_P(InetCacheTest, FirstEntryNeedingMoreRoomRepeatsTheFirstCall) {
  addEntry(L"http://cache.example/1");
  addEntry(L"http://cache.example/2");
  UrlCacheScript script;
  script.neededBytes = {{L"http://cache.example/1", 20000}, {L"http://cache.example/2", 20000}};
  UrlCacheStandIn standIn(library.module, script);
  AllocationLog allocations;
  LoggedAllocation logged(library.module, &allocations);
  EXPECT_EQ(clearCache(nullptr, kSweepFilter), 2);
  ASSERT_EQ(standIn.calls.firsts.size(), 2u);
  EXPECT_EQ(standIn.calls.firsts[0].size, 8192u);
  EXPECT_EQ(standIn.calls.firsts[1].size, 20000u);
  EXPECT_EQ(standIn.calls.nextSizes, (std::vector<DWORD>{20000, 20000}));
  EXPECT_EQ(allocations.sizes, (std::vector<size_t>{16384, 40000}));
}

// WinInet asking for no more room than it was offered is not relied on: the next
// call declares twice the size, until the entry fits.
TEST_P(InetCacheTest, EntryAskingForNoMoreRoomThanOfferedGetsTwiceAsMuch) {
  for (TooSmallSize reported : {TooSmallSize::Offered, TooSmallSize::Zero}) {
    SCOPED_TRACE(reported == TooSmallSize::Offered ? "the size offered" : "0");
    addEntry(L"http://cache.example/1");
    addEntry(L"http://cache.example/2");
    UrlCacheScript script;
    script.neededBytes = {{L"http://cache.example/1", 20000}, {L"http://cache.example/2", 20000}};
    script.tooSmall = reported;
    UrlCacheStandIn standIn(library.module, script);
    AllocationLog allocations;
    LoggedAllocation logged(library.module, &allocations);
    EXPECT_EQ(clearCache(nullptr, kSweepFilter), 2) << host.exceptionClass();
    EXPECT_FALSE(host.exceptionPending());
    std::vector<DWORD> firsts;
    for (const UrlCacheCalls::First& first : standIn.calls.firsts) firsts.push_back(first.size);
    EXPECT_EQ(firsts, (std::vector<DWORD>{8192, 16384, 32768}));
    EXPECT_EQ(standIn.calls.nextSizes, (std::vector<DWORD>{32768, 32768}));
    EXPECT_EQ(allocations.sizes, (std::vector<size_t>{16384, 32768, 65536}));
    EXPECT_TRUE(cachedEntries().empty());
  }
}

TEST_P(InetCacheTest, GoneOrInUseEntriesAreSkippedUncounted) {
  for (const wchar_t* url :
       {L"http://cache.example/in-use", L"http://cache.example/plain", L"http://cache.example/gone"}) {
    addEntry(url);
  }
  UrlCacheScript script;
  script.deleteAnswers = {{L"http://cache.example/in-use", ERROR_ACCESS_DENIED},
                          {L"http://cache.example/gone", ERROR_FILE_NOT_FOUND}};
  UrlCacheStandIn standIn(library.module, script);
  EXPECT_EQ(clearCache(nullptr, kSweepFilter), 1);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(standIn.calls.deletions.size(), 3u);
  EXPECT_EQ(remaining(), (std::vector<std::wstring>{L"http://cache.example/gone", L"http://cache.example/in-use"}));
}

TEST_P(InetCacheTest, OtherDeletionRefusalStopsTheWalk) {
  addEntry(L"http://cache.example/locked");
  addEntry(L"http://cache.example/free");
  // Wine refuses to delete an entry whose file is in use with ERROR_SHARING_VIOLATION.
  BYTE info[4096];
  DWORD size = sizeof(info);
  ASSERT_TRUE(RetrieveUrlCacheEntryFileW(L"http://cache.example/locked",
                                         reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(info), &size, 0));
  UrlCacheStandIn standIn(library.module);
  clearCache(nullptr, kSweepFilter);
  expectCoded(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(standIn.calls.closes, 1u);
  EXPECT_EQ(cachedEntries().count(L"http://cache.example/locked"), 1u);
  EXPECT_EQ(standIn.calls.deletions.back(), L"http://cache.example/locked");
  UnlockUrlCacheEntryFileW(L"http://cache.example/locked", 0);
}

TEST_P(InetCacheTest, EnumerationErrorsStopTheWalk) {
  for (const wchar_t* url : {L"http://cache.example/1", L"http://cache.example/2", L"http://cache.example/3"}) {
    addEntry(url);
  }
  {
    UrlCacheScript script;
    script.firstFailsWith = ERROR_ACCESS_DENIED;
    UrlCacheStandIn standIn(library.module, script);
    EXPECT_EQ(clearCache(nullptr, kSweepFilter), 0);
    expectCoded(ERROR_ACCESS_DENIED);
    EXPECT_EQ(standIn.calls.closes, 0u);
    EXPECT_EQ(cachedEntries().size(), 3u);
  }
  {
    UrlCacheScript script;
    script.nextFailsAtCall = 1;
    script.nextFailsWith = ERROR_INTERNET_INTERNAL_ERROR;
    UrlCacheStandIn standIn(library.module, script);
    clearCache(nullptr, kSweepFilter);
    expectCoded(ERROR_INTERNET_INTERNAL_ERROR);
    EXPECT_EQ(standIn.calls.closes, 1u);
    // The entry deleted before the failure stays deleted.
    EXPECT_EQ(standIn.calls.deletions.size(), 1u);
    EXPECT_EQ(cachedEntries().size(), 2u);
  }
}

TEST_P(InetCacheTest, FailedCloseIsRaisedUnlessAnotherFailureCameFirst) {
  addEntry(L"http://cache.example/1");
  addEntry(L"http://cache.example/2");
  {
    UrlCacheScript script;
    script.closeFailsWith = ERROR_INVALID_HANDLE;
    script.deleteAnswers = {{L"http://cache.example/1", ERROR_INVALID_PARAMETER},
                            {L"http://cache.example/2", ERROR_INVALID_PARAMETER}};
    UrlCacheStandIn standIn(library.module, script);
    clearCache(nullptr, kSweepFilter);
    expectCoded(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(standIn.calls.closes, 1u);
  }
  UrlCacheScript script;
  script.closeFailsWith = ERROR_INVALID_HANDLE;
  UrlCacheStandIn standIn(library.module, script);
  clearCache(nullptr, kSweepFilter);
  expectCoded(ERROR_INVALID_HANDLE);
  EXPECT_TRUE(cachedEntries().empty());
}

TEST_P(InetCacheTest, EntryBufferThatCannotBeHadIsCoded) {
  addEntry(L"http://cache.example/1");
  addEntry(L"http://cache.example/2");
  // The C allocator sets no last error: lack of memory whatever an earlier call left.
  for (std::optional<DWORD> stale : {std::optional<DWORD>(), std::optional<DWORD>(ERROR_MORE_DATA),
                                     std::optional<DWORD>(ERROR_FILE_NOT_FOUND)}) {
    SCOPED_TRACE(stale ? std::to_string(*stale) : "last error untouched");
    {
      UrlCacheStandIn standIn(library.module);
      AllocationLog allocations;
      allocations.refuseCall = 1;
      allocations.staleError = stale;
      LoggedAllocation logged(library.module, &allocations);
      EXPECT_EQ(clearCache(str(u"cookie:"), kSweepFilter), 0);
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_TRUE(standIn.calls.firsts.empty());
    }
    {
      // Growth refused before the enumeration opened: the old block is freed.
      UrlCacheScript script;
      script.neededBytes = {{L"http://cache.example/1", 20000}, {L"http://cache.example/2", 20000}};
      UrlCacheStandIn standIn(library.module, script);
      AllocationLog allocations;
      allocations.refuseCall = 2;
      allocations.staleError = stale;
      LoggedAllocation logged(library.module, &allocations);
      EXPECT_EQ(clearCache(nullptr, kSweepFilter), 0);
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_EQ(standIn.calls.firsts.size(), 1u);
    }
  }
  {
    UrlCacheStandIn standIn(library.module);
    intercept::FailHeapAlloc noMemory(library.module);
    EXPECT_EQ(clearCache(str(u"cookie:"), kSweepFilter), 0);
    expectThrown(kOutOfMemory);
    EXPECT_TRUE(standIn.calls.firsts.empty());
  }
  EXPECT_EQ(cachedEntries().size(), 2u);
}

TEST_P(InetCacheTest, GrowthRefusedDuringTheWalkClosesTheEnumeration) {
  addEntry(L"http://cache.example/1");
  addEntry(L"http://cache.example/2");
  UrlCacheScript script;
  // The entry Wine enumerates second needs more room.
  std::wstring second =
      firstEnumerated() == L"http://cache.example/1" ? L"http://cache.example/2" : L"http://cache.example/1";
  script.neededBytes = {{second, 20000}};
  UrlCacheStandIn standIn(library.module, script);
  AllocationLog allocations;
  allocations.refuseCall = 2;
  LoggedAllocation logged(library.module, &allocations);
  clearCache(nullptr, kSweepFilter);
  expectCoded(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(standIn.calls.closes, 1u);
  EXPECT_EQ(remaining(), std::vector<std::wstring>{second});
}

TEST_P(InetCacheTest, DeleteEntryAnswersWhetherItWasThere) {
  addEntry(L"http://cache.example/once");
  EXPECT_TRUE(deleteEntry(str(u"http://cache.example/once")));
  EXPECT_TRUE(cachedEntries().empty());
  EXPECT_FALSE(deleteEntry(str(u"http://cache.example/once")));
  EXPECT_FALSE(deleteEntry(str(u"http://cache.example/never")));
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(InetCacheTest, DeleteEntryRaisesOtherRefusals) {
  ASSERT_FALSE(DeleteUrlCacheEntryW(nullptr));
  DWORD nullRefusal = GetLastError();
  EXPECT_FALSE(deleteEntry(nullptr));
  expectCoded(nullRefusal);
  addEntry(L"http://cache.example/locked");
  BYTE info[4096];
  DWORD size = sizeof(info);
  ASSERT_TRUE(RetrieveUrlCacheEntryFileW(L"http://cache.example/locked",
                                         reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(info), &size, 0));
  EXPECT_FALSE(deleteEntry(str(u"http://cache.example/locked")));
  expectCoded(ERROR_SHARING_VIOLATION);
  UnlockUrlCacheEntryFileW(L"http://cache.example/locked", 0);
}

TEST_P(InetCacheTest, DeleteEntryWithoutItsCopyDeletesNothing) {
  addEntry(L"http://cache.example/kept");
  {
    intercept::FailGetProcessHeap noHeap(library.module, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(deleteEntry(str(u"http://cache.example/kept")));
    expectCoded(ERROR_INVALID_HANDLE);
  }
  {
    intercept::FailHeapAlloc noMemory(library.module);
    EXPECT_FALSE(deleteEntry(str(u"http://cache.example/kept")));
    expectThrown(kOutOfMemory);
  }
  EXPECT_EQ(cachedEntries().size(), 1u);
}

TEST_P(InetCacheTest, CreateReservesAFileInTheCacheFolder) {
  for (const char16_t* extension : {u"txt", static_cast<const char16_t*>(nullptr)}) {
    jstring path = createEntry(str(u"http://cache.example/new"), 6000, extension ? str(extension) : nullptr);
    ASSERT_NE(path, nullptr);
    std::wstring file = wide(host.str(path));
    if (extension != nullptr) {
      EXPECT_EQ(file.substr(file.size() - 4), L".txt");
    }
    std::wstring folder = file.substr(0, file.find_last_of(L'\\'));
    DWORD attributes = GetFileAttributesW(folder.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
}

TEST_P(InetCacheTest, ExpectedSizeIsHalvedWithItsSign) {
  CreateLog log;
  ActiveInstance<CreateLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CreateUrlCacheEntryW", loggedCreate);
  const struct {
    jint given;
    DWORD passed;
  } cases[] = {{7, 3}, {0, 0}, {1, 0}, {6000, 3000}, {-7, 0xFFFFFFFC}, {-1, 0xFFFFFFFF}, {INT_MIN, 0xC0000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    log.calls.clear();
    EXPECT_NE(createEntry(str(u"http://cache.example/sized"), c.given, str(u"bin")), nullptr);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].expectedSize, c.passed);
    EXPECT_EQ(log.calls[0].url, L"http://cache.example/sized");
    EXPECT_EQ(log.calls[0].extension, L"bin");
    EXPECT_EQ(log.calls[0].reserved, 0u);
  }
}

TEST_P(InetCacheTest, RefusedCreationIsCoded) {
  WCHAR file[MAX_PATH + 1];
  ASSERT_FALSE(CreateUrlCacheEntryW(nullptr, 0, nullptr, file, 0));
  DWORD refusal = GetLastError();
  EXPECT_EQ(createEntry(nullptr, 0, nullptr), nullptr);
  expectCoded(refusal);
}

TEST_P(InetCacheTest, FileNameMustEndWithinMaxPath) {
  CreateLog log;
  ActiveInstance<CreateLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CreateUrlCacheEntryW", loggedCreate);
  const std::wstring longest = L"C:\\" + std::wstring(253, L'f') + L".txt";  // 260 units and its NUL
  log.writtenName = std::wstring(longest.c_str(), longest.size() + 1);
  EXPECT_EQ(text(createEntry(str(u"http://cache.example/n"), 0, nullptr)), u16(longest));
  log.writtenName = std::wstring(MAX_PATH + 1, L'x');
  EXPECT_EQ(createEntry(str(u"http://cache.example/n"), 0, nullptr), nullptr);
  expectCoded(kInvalidArgument);
}

TEST_P(InetCacheTest, CreationWithoutItsBlocksReachesNothing) {
  CreateLog log;
  ActiveInstance<CreateLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "CreateUrlCacheEntryW", loggedCreate);
  {
    intercept::FailGetProcessHeap noHeap(library.module, ERROR_INVALID_HANDLE);
    EXPECT_EQ(createEntry(str(u"http://cache.example/x"), 0, str(u"txt")), nullptr);
    expectCoded(ERROR_INVALID_HANDLE);
  }
  // The URL copy, the extension copy, the file name buffer.
  const char* expected[] = {kOutOfMemory, kOutOfMemory, testsupport::kCodedSystemException};
  for (unsigned failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    intercept::FailHeapAlloc noMemory(library.module, intercept::Schedule::nth(failing));
    EXPECT_EQ(createEntry(str(u"http://cache.example/x"), 0, str(u"txt")), nullptr);
    EXPECT_EQ(host.exceptionClass(), expected[failing - 1]);
    if (failing == 3) {
      EXPECT_EQ(static_cast<DWORD>(host.exceptionIntField("_code")), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    }
    host.clearException();
  }
  EXPECT_TRUE(log.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Bridges, InetCacheTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
