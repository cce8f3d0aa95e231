#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "harness_scope.h"
#include "heap_accounting.h"
#include "probe_module.h"
#include "reports.h"

namespace {

using intercept::HeapAccounting;

class HeapAccountingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(p.module, nullptr); }

  // Runs `body` as one accounted native call on the probe module.
  Violations accountedCall(const std::function<void()>& body) {
    HeapAccounting accounting(p.module);
    Violations found;
    accounting.onCallStart();
    body();
    accounting.onCallEnd(found);
    return found;
  }

  const ProbeModule& p = probe();
};

TEST_F(HeapAccountingTest, PatchesWhatTheModuleImports) {
  HeapAccounting accounting(p.module);
  std::vector<std::string> names = accounting.accountedFunctions();
  std::sort(names.begin(), names.end());
  const std::vector<std::string> expected = {
      "CommandLineToArgvW", "FormatMessageW", "GlobalAlloc", "GlobalFree", "HeapAlloc", "HeapCreate",
      "HeapDestroy", "HeapFree", "HeapReAlloc", "HeapSize", "HeapValidate", "InternetQueryOptionW", "LocalAlloc", "LocalFree",
      "LocalReAlloc", "LocalSize", "_msize", "calloc", "free", "malloc", "realloc"};
  // GlobalReAlloc and the lock functions are not imported by the probe and are skipped silently.
  EXPECT_EQ(names, expected);
}

struct Case {
  const char* name;
  // Performs the call's heap traffic; returns the fragments to expect.
  std::function<std::vector<std::string>(const ProbeModule&)> body;
};

TEST_F(HeapAccountingTest, ReportsWhatACallLeftBehindOrReleasedWrongly) {
  const HANDLE process = GetProcessHeap();
  const Case cases[] = {
      {"leaked HeapAlloc block",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         m.heapAlloc(process, 64);
         return {"leaked 64 bytes from HeapAlloc on heap " + hex(process)};
       }},
      {"leaked block on a private heap that survives",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         HANDLE heap = m.heapCreate();
         m.heapAlloc(heap, 24);
         return {"leaked 24 bytes from HeapAlloc on heap " + hex(heap),
                 "private heap " + hex(heap) + " from HeapCreate was not destroyed"};
       }},
      {"leaked HeapReAlloc result",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         m.heapReAlloc(process, m.heapAlloc(process, 8), 200);
         return {"leaked 200 bytes from HeapReAlloc on heap " + hex(process)};
       }},
      {"leaked malloc block",
       [](const ProbeModule& m) -> std::vector<std::string> {
         m.malloc(48);
         return {"leaked 48 bytes from malloc"};
       }},
      {"leaked calloc block",
       [](const ProbeModule& m) -> std::vector<std::string> {
         m.calloc(3, 10);
         return {"leaked 30 bytes from calloc"};
       }},
      {"leaked realloc result",
       [](const ProbeModule& m) -> std::vector<std::string> {
         m.realloc(m.malloc(4), 40);
         return {"leaked 40 bytes from realloc"};
       }},
      {"leaked FormatMessageW buffer",
       [](const ProbeModule& m) -> std::vector<std::string> {
         wchar_t* text = m.formatMessage(ERROR_ACCESS_DENIED);
         if (!text) return {"FormatMessageW produced no text"};
         return {"leaked " + std::to_string(m.localSize(text)) + " bytes from FormatMessageW"};
       }},
      {"leaked CommandLineToArgvW vector",
       [](const ProbeModule& m) -> std::vector<std::string> {
         wchar_t** argv = m.commandLineToArgv(L"one two");
         if (!argv) return {"CommandLineToArgvW produced no vector"};
         return {"leaked " + std::to_string(m.localSize(argv)) + " bytes from CommandLineToArgvW"};
       }},
      {"leaked LocalAlloc and GlobalAlloc blocks",
       [](const ProbeModule& m) -> std::vector<std::string> {
         m.localAlloc(12);
         m.globalAlloc(13);
         return {"leaked 12 bytes from LocalAlloc", "leaked 13 bytes from GlobalAlloc"};
       }},
      {"undestroyed private heap",
       [](const ProbeModule& m) -> std::vector<std::string> {
         HANDLE heap = m.heapCreate();
         return {"private heap " + hex(heap) + " from HeapCreate was not destroyed"};
       }},
      {"HeapFree on the wrong heap",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         HANDLE heap = m.heapCreate();
         void* block = m.heapAlloc(heap, 16);
         m.heapFree(process, block);
         m.heapDestroy(heap);
         return {"block " + hex(block) + " from HeapAlloc on heap " + hex(heap) +
                 " released with HeapFree on heap " + hex(process) + " (wrong heap)"};
       }},
      {"malloc block released with HeapFree",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         void* block = m.malloc(16);
         m.heapFree(process, block);
         return {"block " + hex(block) + " from malloc released with HeapFree (wrong allocator family)"};
       }},
      {"FormatMessageW buffer released with free",
       [](const ProbeModule& m) -> std::vector<std::string> {
         wchar_t* text = m.formatMessage(ERROR_ACCESS_DENIED);
         m.free(text);
         return {"from FormatMessageW released with free (wrong allocator family)"};
       }},
      {"double HeapFree",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         void* block = m.heapAlloc(process, 32);
         EXPECT_TRUE(m.heapFree(process, block));
         EXPECT_FALSE(m.heapFree(process, block));
         return {"double free of block " + hex(block) + " from HeapAlloc (HeapFree)"};
       }},
      {"double LocalFree",
       [](const ProbeModule& m) -> std::vector<std::string> {
         HLOCAL block = m.localAlloc(32);
         EXPECT_EQ(m.localFree(block), nullptr);
         EXPECT_EQ(m.localFree(block), block);
         return {"double free of block " + hex(block) + " from LocalAlloc (LocalFree)"};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> expected;
    const Violations found = accountedCall([&] { expected = c.body(p); });
    expectViolations(found, expected);
  }
}

TEST_F(HeapAccountingTest, BalancedTrafficReportsNothing) {
  const HANDLE process = GetProcessHeap();
  const Case cases[] = {
      {"HeapAlloc, HeapReAlloc, HeapFree",
       [&](const ProbeModule& m) -> std::vector<std::string> {
         void* block = m.heapReAlloc(process, m.heapAlloc(process, 8), 4096);
         m.heapFree(process, block);
         return {};
       }},
      {"private heap destroyed with blocks still on it",
       [](const ProbeModule& m) -> std::vector<std::string> {
         HANDLE heap = m.heapCreate();
         m.heapAlloc(heap, 100);
         m.heapDestroy(heap);
         return {};
       }},
      {"malloc, calloc, realloc, free, realloc to zero",
       [](const ProbeModule& m) -> std::vector<std::string> {
         m.free(m.realloc(m.malloc(5), 500));
         m.free(m.calloc(2, 2));
         m.realloc(m.realloc(nullptr, 9), 0);
         return {};
       }},
      {"Local and Global memory",
       [](const ProbeModule& m) -> std::vector<std::string> {
         m.localFree(m.localReAlloc(m.localAlloc(10), 1000));
         m.globalFree(m.globalAlloc(10));
         return {};
       }},
      {"CommandLineToArgvW vector released with LocalFree",
       [](const ProbeModule& m) -> std::vector<std::string> {
         wchar_t** argv = m.commandLineToArgv(L"one two");
         EXPECT_NE(argv, nullptr);
         m.localFree(argv);
         return {};
       }},
      {"FormatMessageW buffer released with LocalFree",
       [](const ProbeModule& m) -> std::vector<std::string> {
         wchar_t* text = m.formatMessage(ERROR_FILE_NOT_FOUND);
         EXPECT_NE(text, nullptr);
         m.localFree(text);
         return {};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Violations found = accountedCall([&] { c.body(p); });
    expectViolations(found, {});
  }
}

TEST_F(HeapAccountingTest, ReleasesOfBlocksItDidNotSeeAllocatedPassThrough) {
  void* early = p.malloc(20);
  wchar_t* text = p.formatMessage(ERROR_ACCESS_DENIED);
  ASSERT_NE(text, nullptr);
  HeapAccounting accounting(p.module);
  Violations found;
  accounting.onCallStart();
  p.free(early);
  const HLOCAL result = p.localFree(text);
  accounting.onCallEnd(found);
  EXPECT_EQ(result, nullptr);
  expectViolations(found, {});
}

TEST_F(HeapAccountingTest, NothingIsRecordedOutsideACall) {
  HeapAccounting accounting(p.module);
  void* before = p.malloc(10);
  accounting.onCallStart();
  Violations found;
  accounting.onCallEnd(found);
  void* after = p.malloc(10);
  expectViolations(found, {});

  // The same blocks released inside a later call are not ours either.
  accounting.onCallStart();
  p.free(before);
  p.free(after);
  accounting.onCallEnd(found);
  expectViolations(found, {});
}

TEST_F(HeapAccountingTest, ViolationsAreAppendedAndStateIsResetPerCall) {
  HeapAccounting accounting(p.module);
  Violations found = {"earlier line"};
  accounting.onCallStart();
  void* block = p.malloc(11);
  accounting.onCallEnd(found);
  expectViolations(found, {"earlier line", "leaked 11 bytes from malloc"});

  accounting.onCallStart();
  Violations second;
  accounting.onCallEnd(second);
  expectViolations(second, {});
  p.free(block);
}

TEST_F(HeapAccountingTest, HarnessTrafficIsNotRecorded) {
  HeapAccounting accounting(p.module);
  accounting.onCallStart();
  void* block = nullptr;
  {
    testsupport::HarnessScope harness;
    block = p.malloc(70);
    p.heapFree(GetProcessHeap(), p.heapAlloc(GetProcessHeap(), 5));
  }
  Violations found;
  accounting.onCallEnd(found);
  expectViolations(found, {});
  p.free(block);
}

TEST_F(HeapAccountingTest, OnlyOneInstanceMayBeActive) {
  HeapAccounting first(p.module);
  std::unique_ptr<HeapAccounting> second;
  EXPECT_NONFATAL_FAILURE(second = std::make_unique<HeapAccounting>(p.module),
                          "only one may be at a time");
}

// GCC may load an import's address once per function; a function of its own
// sees the patched slot.
__attribute__((noinline)) void* mallocThroughImport(size_t size) { return std::malloc(size); }

// The library under test may be linked into the test program itself; then the
// harness's own allocations share the module's imports.
TEST(HeapAccountingOnExe, AccountsTheProgramsOwnTrafficButNotTheHarness) {
  HeapAccounting accounting(GetModuleHandleW(nullptr));
  Violations found;
  accounting.onCallStart();
  void* leaked = mallocThroughImport(77);
  void* harnessBlock = nullptr;
  {
    testsupport::HarnessScope harness;
    harnessBlock = mallocThroughImport(99);
  }
  accounting.onCallEnd(found);
  expectViolations(found, {"leaked 77 bytes from malloc"});
  std::free(leaked);
  std::free(harnessBlock);
}

}  // namespace
