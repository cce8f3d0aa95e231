// Blocks the module under test takes through its imports lie before guard pages.
#include "guard_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "heap_accounting.h"
#include "heap_faults.h"
#include "probe_module.h"
#include "reports.h"

namespace {

using intercept::HeapAccounting;

// Accesses the tests make on purpose, which the compiler must neither drop nor merge.
unsigned char readByte(const void* p, std::ptrdiff_t offset) {
  return static_cast<const volatile unsigned char*>(p)[offset];
}
void writeByte(void* p, std::ptrdiff_t offset, unsigned char value) {
  static_cast<volatile unsigned char*>(p)[offset] = value;
}

std::size_t roundUp16(std::size_t n) { return (n + 15) / 16 * 16; }

bool isGuarded(const void* p) {
  testsupport::guard::BlockInfo info;
  return testsupport::guard::find(p, &info) && !info.released;
}

class GuardPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(p.module, nullptr);
    testsupport::guard::takeFaults();
  }

  // Runs `body` as one accounted native call of the probe.
  Violations call(const std::function<void()>& body) {
    Violations found;
    accounting->onCallStart();
    body();
    accounting->onCallEnd(found);
    return found;
  }

  const ProbeModule& p = probe();
  std::unique_ptr<HeapAccounting> accounting = std::make_unique<HeapAccounting>(p.module);
};

struct Allocator {
  const char* name;
  std::function<void*(const ProbeModule&, std::size_t)> take;
  std::function<std::size_t(const ProbeModule&, void*)> size;
  std::function<void(const ProbeModule&, void*)> give;
};

std::vector<Allocator> allocators() {
  const HANDLE process = GetProcessHeap();
  return {
      {"HeapAlloc", [=](const ProbeModule& m, std::size_t n) { return m.heapAlloc(process, n); },
       [=](const ProbeModule& m, void* b) { return static_cast<std::size_t>(m.heapSize(process, b)); },
       [=](const ProbeModule& m, void* b) { m.heapFree(process, b); }},
      {"malloc", [](const ProbeModule& m, std::size_t n) { return m.malloc(n); },
       [](const ProbeModule& m, void* b) { return m.msize(b); }, [](const ProbeModule& m, void* b) { m.free(b); }},
      {"calloc", [](const ProbeModule& m, std::size_t n) { return m.calloc(1, n); },
       [](const ProbeModule& m, void* b) { return m.msize(b); }, [](const ProbeModule& m, void* b) { m.free(b); }},
      {"realloc", [](const ProbeModule& m, std::size_t n) { return m.realloc(nullptr, n); },
       [](const ProbeModule& m, void* b) { return m.msize(b); }, [](const ProbeModule& m, void* b) { m.free(b); }},
      {"LocalAlloc", [](const ProbeModule& m, std::size_t n) { return static_cast<void*>(m.localAlloc(n)); },
       [](const ProbeModule& m, void* b) { return static_cast<std::size_t>(m.localSize(b)); },
       [](const ProbeModule& m, void* b) { m.localFree(b); }},
      {"GlobalAlloc", [](const ProbeModule& m, std::size_t n) { return static_cast<void*>(m.globalAlloc(n)); },
       [](const ProbeModule&, void* b) { return static_cast<std::size_t>(GlobalSize(b)); },
       [](const ProbeModule& m, void* b) { m.globalFree(b); }},
  };
}

TEST_F(GuardPagesTest, EveryAllocatorHandsOutBlocksThatEndAtAPageOfNoAccess) {
  for (const Allocator& a : allocators()) {
    for (std::size_t size : {std::size_t{16}, std::size_t{17}, std::size_t{1}, std::size_t{4096}, std::size_t{0}}) {
      SCOPED_TRACE(std::string(a.name) + ", " + std::to_string(size) + " bytes");
      void* block = nullptr;
      const Violations found = call([&] {
        block = a.take(p, size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
        // GlobalSize comes from the test program here, which is not patched.
        if (std::string(a.name) != "GlobalAlloc") {
          EXPECT_EQ(a.size(p, block), size);
        }
        readByte(block, static_cast<std::ptrdiff_t>(roundUp16(size)));
        a.give(p, block);
      });
      expectViolations(found, {"read at offset " + std::to_string(roundUp16(size)) + " of block " + hex(block) + " (" +
                               std::to_string(size) + " bytes, " + a.name});
    }
  }
}

TEST_F(GuardPagesTest, WritesIntoTheSlackOrBeforeTheStartShowWhenTheBlockIsReleased) {
  void* block = nullptr;
  Violations found = call([&] {
    block = p.malloc(13);
    writeByte(block, 13, 0);
    p.free(block);
  });
  expectViolations(found, {"write at offset 13 of block " + hex(block) + " (13 bytes, malloc), past its end"});

  found = call([&] {
    block = p.heapAlloc(GetProcessHeap(), 24);
    writeByte(block, -1, 0);
    p.heapFree(GetProcessHeap(), block);
  });
  expectViolations(found, {"write at offset -1 of block " + hex(block) + " (24 bytes, HeapAlloc on heap"});
}

TEST_F(GuardPagesTest, FreshBlocksAreNotZeroedUnlessZeroingWasAskedFor) {
  const HANDLE process = GetProcessHeap();
  struct Case {
    const char* name;
    std::function<void*()> take;
    std::function<void(void*)> give;
    unsigned char expected;
  };
  const Case cases[] = {
      {"HeapAlloc", [&] { return p.heapAllocFlags(process, 0, 40); }, [&](void* b) { p.heapFree(process, b); },
       testsupport::guard::kFreshFill},
      {"HeapAlloc zeroed", [&] { return p.heapAllocFlags(process, HEAP_ZERO_MEMORY, 40); },
       [&](void* b) { p.heapFree(process, b); }, 0},
      {"malloc", [&] { return p.malloc(40); }, [&](void* b) { p.free(b); }, testsupport::guard::kFreshFill},
      {"calloc", [&] { return p.calloc(4, 10); }, [&](void* b) { p.free(b); }, 0},
      {"LocalAlloc zeroed", [&] { return static_cast<void*>(p.localAllocFlags(LPTR, 40)); },
       [&](void* b) { p.localFree(b); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> contents;
    const Violations found = call([&] {
      void* block = c.take();
      for (int i = 0; i < 40; ++i) contents.push_back(readByte(block, i));
      c.give(block);
    });
    expectViolations(found, {});
    EXPECT_EQ(contents, std::vector<unsigned char>(40, c.expected));
  }
}

TEST_F(GuardPagesTest, ReallocationMovesTheContentsAndTheOldBlockFaults) {
  const HANDLE process = GetProcessHeap();
  void* old = nullptr;
  void* grown = nullptr;
  bool kept = false;
  const Violations found = call([&] {
    old = p.heapAlloc(process, 8);
    std::memcpy(old, "contents", 8);
    grown = p.heapReAlloc(process, old, 4096);
    kept = grown != old && std::memcmp(grown, "contents", 8) == 0 && p.heapSize(process, grown) == 4096;
    readByte(old, 0);
    p.heapFree(process, grown);
  });
  EXPECT_TRUE(kept);
  expectViolations(found, {"read at offset 0 of block " + hex(old) + " (8 bytes, HeapAlloc on heap " + hex(process) +
                           "), after it was released"});
}

TEST_F(GuardPagesTest, UseAfterFreeFaultsForTheRestOfTheCall) {
  void* block = nullptr;
  const Violations found = call([&] {
    block = p.malloc(32);
    p.free(block);
    writeByte(block, 5, 1);
  });
  expectViolations(found, {"write at offset 5 of block " + hex(block) + " (32 bytes, malloc), after it was released"});
  // Once the call is over the address space goes back.
  EXPECT_FALSE(testsupport::guard::find(block, nullptr));
}

TEST_F(GuardPagesTest, AFaultIsReportedEvenWhereAHandlerWouldHaveSwallowedIt) {
  void* block = nullptr;
  BOOL bad = TRUE;
  const Violations found = call([&] {
    block = p.malloc(64);
    // IsBadReadPtr catches the fault with a structured-exception handler of its own;
    // the vectored handler sees it first.
    bad = IsBadReadPtr(block, 65);
    p.free(block);
  });
  EXPECT_FALSE(bad) << "the page was made readable for the code to go on";
  // A fault on memory that is not a guarded block goes on to the handlers as before.
  void* foreign = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_TRUE(IsBadReadPtr(foreign, 1));
  VirtualFree(foreign, 0, MEM_RELEASE);
  EXPECT_TRUE(testsupport::guard::takeFaults().empty());
  expectViolations(found, {"read at offset 64 of block " + hex(block) + " (64 bytes, malloc), past its end"});
}

TEST_F(GuardPagesTest, HeapDestroyTakesItsBlocksWithIt) {
  void* block = nullptr;
  const Violations found = call([&] {
    HANDLE heap = p.heapCreate();
    block = p.heapAlloc(heap, 16);
    EXPECT_TRUE(p.heapValidate(heap, block));
    EXPECT_FALSE(p.heapValidate(GetProcessHeap(), block));
    p.heapDestroy(heap);
    readByte(block, 0);
  });
  expectViolations(found, {"read at offset 0 of block " + hex(block) + " (16 bytes, HeapAlloc on heap"});
}

// A private heap's limits are the real allocator's: the same requests succeed and
// fail with guard pages as without.
TEST_F(GuardPagesTest, PrivateHeapsRefuseWhatWindowsRefuses) {
  const std::vector<SIZE_T> requests = {0x4000, 0x8000, 0x8000, 0x20000, static_cast<SIZE_T>(-0x100)};
  auto outcomes = [&](bool limited) {
    std::vector<bool> granted;
    HANDLE heap = limited ? p.heapCreateLimited(0x10000) : p.heapCreate();
    for (SIZE_T size : requests) granted.push_back(p.heapAlloc(heap, size) != nullptr);
    p.heapDestroy(heap);
    return granted;
  };
  for (bool limited : {true, false}) {
    SCOPED_TRACE(limited ? "maximum size 64 KiB" : "growable");
    std::vector<bool> plain;
    call([&] {
      accounting->setGuardPages(false);
      plain = outcomes(limited);
    });
    accounting->setGuardPages(true);
    std::vector<bool> guarded;
    const Violations found = call([&] { guarded = outcomes(limited); });
    expectViolations(found, {});
    EXPECT_EQ(guarded, plain);
    EXPECT_FALSE(guarded.back()) << "a request near the size of the address space";
    if (limited) {
      EXPECT_FALSE(guarded[3]) << "more than the maximum size";
    }
  }
}

TEST_F(GuardPagesTest, FaultInjectionComposesInEitherOrder) {
  for (bool faultFirst : {true, false}) {
    SCOPED_TRACE(faultFirst ? "fault installed before the accounting" : "fault installed after it");
    accounting.reset();
    std::unique_ptr<intercept::FailHeapAlloc> fault;
    if (faultFirst) fault = std::make_unique<intercept::FailHeapAlloc>(p.module, intercept::Schedule::nth(2));
    accounting = std::make_unique<HeapAccounting>(p.module);
    if (!faultFirst) fault = std::make_unique<intercept::FailHeapAlloc>(p.module, intercept::Schedule::nth(2));
    void* first = nullptr;
    void* second = nullptr;
    const Violations found = call([&] {
      first = p.heapAlloc(GetProcessHeap(), 16);
      second = p.heapAlloc(GetProcessHeap(), 16);
      p.heapFree(GetProcessHeap(), first);
    });
    expectViolations(found, {});
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    accounting.reset();
  }
}

TEST_F(GuardPagesTest, ThePlainAllocatorServesWhenAskedFor) {
  accounting->setGuardPages(false);
  void* block = nullptr;
  const Violations found = call([&] { block = p.malloc(24); });
  EXPECT_FALSE(isGuarded(block));
  expectViolations(found, {"leaked 24 bytes from malloc"});
  p.free(block);
}

// GCC may load an import's address once per function; a function of its own sees
// the patched slot.
__attribute__((noinline)) void freeThroughImport(void* block) { std::free(block); }
__attribute__((noinline)) BOOL heapFreeThroughImport(void* block) { return HeapFree(GetProcessHeap(), 0, block); }

TEST_F(GuardPagesTest, TheTestProgramMayFreeWhatTheModuleLeftBehind) {
  accounting.reset();
  HeapAccounting::Options options;
  options.releasingModule = GetModuleHandleW(nullptr);
  accounting = std::make_unique<HeapAccounting>(p.module, options);
  void* fromMalloc = nullptr;
  void* fromHeap = nullptr;
  const Violations found = call([&] {
    fromMalloc = p.malloc(10);
    fromHeap = p.heapAlloc(GetProcessHeap(), 10);
  });
  expectViolations(found, {"leaked 10 bytes from malloc", "leaked 10 bytes from HeapAlloc"});
  ASSERT_TRUE(isGuarded(fromMalloc) && isGuarded(fromHeap));
  freeThroughImport(fromMalloc);
  EXPECT_TRUE(heapFreeThroughImport(fromHeap));
  EXPECT_FALSE(isGuarded(fromMalloc));
  EXPECT_FALSE(isGuarded(fromHeap));
  EXPECT_TRUE(testsupport::guard::takeFaults().empty());
}

// Stands in for WinInet's per-connection query as its documentation describes it:
// each string comes in a GlobalAlloc block that the caller frees with GlobalFree.
BOOL WINAPI scriptedConnectionQuery(HINTERNET, DWORD option, LPVOID buffer, LPDWORD) {
  auto* list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  for (DWORD i = 0; i < list->dwOptionCount; ++i) {
    INTERNET_PER_CONN_OPTIONW& entry = list->pOptions[i];
    if (entry.dwOption == INTERNET_PER_CONN_FLAGS) entry.Value.dwValue = PROXY_TYPE_PROXY;
    if (entry.dwOption == INTERNET_PER_CONN_PROXY_SERVER) {
      const wchar_t text[] = L"proxy.example:8080";
      entry.Value.pszValue = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, sizeof text));
      std::memcpy(entry.Value.pszValue, text, sizeof text);
    }
  }
  return option == INTERNET_OPTION_PER_CONNECTION_OPTION;
}

TEST_F(GuardPagesTest, StringsOfAPerConnectionQueryAreGuardedAndAccounted) {
  // The stand-in goes in first, so that the accounting calls through to it.
  accounting.reset();
  intercept::ImportPatch standIn(p.module, "wininet.dll", "InternetQueryOptionW", scriptedConnectionQuery);
  accounting = std::make_unique<HeapAccounting>(p.module);
  INTERNET_PER_CONN_OPTIONW entries[2] = {};
  entries[0].dwOption = INTERNET_PER_CONN_FLAGS;
  entries[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  std::wstring proxy;
  Violations found = call([&] {
    ASSERT_TRUE(p.queryConnectionOptions(entries, 2));
    proxy = entries[1].Value.pszValue;
    readByte(entries[1].Value.pszValue, 48);
    p.globalFree(entries[1].Value.pszValue);
  });
  EXPECT_EQ(proxy, L"proxy.example:8080");
  EXPECT_EQ(entries[0].Value.dwValue, static_cast<DWORD>(PROXY_TYPE_PROXY));
  expectViolations(found, {"read at offset 48 of block " + hex(entries[1].Value.pszValue) +
                           " (38 bytes, InternetQueryOptionW), past its end"});

  found = call([&] { p.queryConnectionOptions(entries, 2); });
  expectViolations(found, {"leaked 38 bytes from InternetQueryOptionW"});
  accounting.reset();
}

TEST_F(GuardPagesTest, BuffersWindowsAllocatesForTheCallerAreGuardedToo) {
  wchar_t* text = nullptr;
  wchar_t** argv = nullptr;
  std::size_t textSize = 0;
  bool argvInside = false;
  const Violations found = call([&] {
    text = p.formatMessage(ERROR_ACCESS_DENIED);
    ASSERT_NE(text, nullptr);
    textSize = p.localSize(text);
    EXPECT_EQ(textSize, (wcslen(text) + 1) * sizeof(wchar_t));
    readByte(text, static_cast<std::ptrdiff_t>(roundUp16(textSize)));
    p.localFree(text);

    argv = p.commandLineToArgv(L"one \"two three\"");
    ASSERT_NE(argv, nullptr);
    const auto* begin = reinterpret_cast<const char*>(argv);
    argvInside = std::wstring(argv[0]) == L"one" && std::wstring(argv[1]) == L"two three" && argv[2] == nullptr &&
                 reinterpret_cast<const char*>(argv[1]) > begin &&
                 reinterpret_cast<const char*>(argv[1]) < begin + p.localSize(argv);
    p.localFree(argv);
  });
  EXPECT_TRUE(argvInside);
  expectViolations(found, {"read at offset " + std::to_string(roundUp16(textSize)) + " of block " + hex(text) + " (" +
                           std::to_string(textSize) + " bytes, FormatMessageW)"});
}

}  // namespace
