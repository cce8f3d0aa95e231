#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness_scope.h"
#include "heap_accounting.h"
#include "heap_faults.h"
#include "probe_module.h"

namespace {

using namespace intercept;

class HeapFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(p.module, nullptr); }
  const ProbeModule& p = probe();
};

TEST_F(HeapFaultsTest, GetProcessHeapReturnsNullWithChosenError) {
  {
    FailGetProcessHeap fault(p.module, ERROR_OUTOFMEMORY);
    ASSERT_TRUE(fault.installed());
    SetLastError(0);
    EXPECT_EQ(p.getProcessHeap(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_EQ(fault.failures(), 1u);
  }
  EXPECT_EQ(p.getProcessHeap(), GetProcessHeap());
}

TEST_F(HeapFaultsTest, ScheduleSelectsWhichCallsFail) {
  struct Case {
    const char* name;
    Schedule schedule;
    std::vector<bool> fails;  // per call, from the first
  };
  const Case cases[] = {
      {"always", Schedule::always(), {true, true, true}},
      {"second only", Schedule::nth(2), {false, true, false, false}},
      {"third onwards", Schedule::fromNth(3), {false, false, true, true}},
      {"two from the second", Schedule{2, 2}, {false, true, true, false}},
  };
  const HANDLE heap = GetProcessHeap();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailHeapAlloc fault(p.module, c.schedule);
    for (size_t i = 0; i < c.fails.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i + 1));
      // Windows' HeapAlloc fails without touching the last error.
      SetLastError(ERROR_FILE_NOT_FOUND);
      void* block = p.heapAlloc(heap, 16);
      if (c.fails[i]) {
        EXPECT_EQ(block, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
      } else {
        EXPECT_NE(block, nullptr);
        HeapFree(heap, 0, block);
      }
    }
    EXPECT_EQ(fault.calls(), c.fails.size());
  }
}

TEST_F(HeapFaultsTest, HeapReAllocFailsAndKeepsTheOldBlock) {
  const HANDLE heap = GetProcessHeap();
  char* block = static_cast<char*>(p.heapAlloc(heap, 4));
  ASSERT_NE(block, nullptr);
  block[0] = 'k';
  {
    FailHeapReAlloc fault(p.module, Schedule::fromNth(1));
    SetLastError(ERROR_MORE_DATA);
    EXPECT_EQ(p.heapReAlloc(heap, block, 1 << 20), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(block[0], 'k');
  }
  {
    // A stale code given to the fault stands for one an earlier call left behind.
    FailHeapReAlloc fault(p.module, Schedule::nth(1), ERROR_FILE_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(p.heapReAlloc(heap, block, 1 << 20), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    void* grown = p.heapReAlloc(heap, block, 64);
    ASSERT_NE(grown, nullptr);
    block = static_cast<char*>(grown);
  }
  EXPECT_TRUE(p.heapFree(heap, block));
}

TEST_F(HeapFaultsTest, HeapFreeFailsWithChosenError) {
  const HANDLE heap = GetProcessHeap();
  void* block = p.heapAlloc(heap, 8);
  {
    FailHeapFree fault(p.module);
    SetLastError(0);
    EXPECT_FALSE(p.heapFree(heap, block));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_TRUE(p.heapFree(heap, block));
}

TEST_F(HeapFaultsTest, FormatMessageWFindsNoText) {
  {
    FailFormatMessageW fault(p.module);
    SetLastError(0);
    EXPECT_EQ(p.formatMessage(ERROR_ACCESS_DENIED), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  }
  wchar_t* text = p.formatMessage(ERROR_ACCESS_DENIED);
  EXPECT_NE(text, nullptr);
  LocalFree(text);
}

TEST_F(HeapFaultsTest, HarnessCallsAreNeitherCountedNorFailed) {
  FailHeapAlloc fault(p.module, Schedule::nth(1));
  const HANDLE heap = GetProcessHeap();
  {
    testsupport::HarnessScope harness;
    void* block = p.heapAlloc(heap, 8);
    EXPECT_NE(block, nullptr);
    HeapFree(heap, 0, block);
  }
  EXPECT_EQ(fault.calls(), 0u);
  EXPECT_EQ(p.heapAlloc(heap, 8), nullptr);
}

// Fault and accounting patch the same imports; either may be installed first.
TEST_F(HeapFaultsTest, ComposesWithHeapAccountingInEitherOrder) {
  const HANDLE heap = GetProcessHeap();
  for (bool faultFirst : {true, false}) {
    SCOPED_TRACE(faultFirst ? "fault installed first" : "accounting installed first");
    std::unique_ptr<FailHeapAlloc> allocFault;
    std::unique_ptr<FailHeapFree> freeFault;
    if (faultFirst) {
      allocFault = std::make_unique<FailHeapAlloc>(p.module, Schedule::nth(2));
      freeFault = std::make_unique<FailHeapFree>(p.module, Schedule::nth(1));
    }
    HeapAccounting accounting(p.module);
    if (!faultFirst) {
      allocFault = std::make_unique<FailHeapAlloc>(p.module, Schedule::nth(2));
      freeFault = std::make_unique<FailHeapFree>(p.module, Schedule::nth(1));
    }
    std::vector<std::string> found;
    accounting.onCallStart();
    void* first = p.heapAlloc(heap, 10);
    void* second = p.heapAlloc(heap, 20);
    void* third = p.heapAlloc(heap, 30);
    const BOOL firstFreed = p.heapFree(heap, first);  // fails: the block stays
    const BOOL thirdFreed = p.heapFree(heap, third);
    accounting.onCallEnd(found);

    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_FALSE(firstFreed);
    EXPECT_TRUE(thirdFreed);
    ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
    EXPECT_NE(found[0].find("leaked 10 bytes from HeapAlloc"), std::string::npos) << found[0];
    // Released after the call, with the faults gone: nothing more to say.
    freeFault.reset();
    allocFault.reset();
    EXPECT_TRUE(p.heapFree(heap, first));
  }
}

}  // namespace
