#include "handle_accounting.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness_scope.h"
#include "probe_module.h"
#include "reports.h"

namespace {

using intercept::HandleAccounting;
using testsupport::CallEnd;

// A handle as the reports print it.
std::string handle(const void* h) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h)));
  return buf;
}

std::uint64_t bits(const void* h) { return reinterpret_cast<std::uintptr_t>(h); }

class HandleAccountingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(p.module, nullptr); }

  // Runs `body` as one native call of the probe; `end` says what Java holds after it.
  Violations call(
      const std::function<void()>& body, const std::function<CallEnd()>& end = [] { return CallEnd{}; }) {
    Violations found;
    accounting->onCallStart();
    body();
    accounting->onCallEnd(end(), found);
    return found;
  }

  static CallEnd javaHolds(std::vector<std::uint64_t> after, std::vector<std::uint64_t> before = {}) {
    CallEnd end;
    end.javaHandles = std::move(after);
    end.javaHandlesAtStart = std::move(before);
    return end;
  }

  const ProbeModule& p = probe();
  std::unique_ptr<HandleAccounting> accounting = std::make_unique<HandleAccounting>(p.module);
};

TEST_F(HandleAccountingTest, PatchesWhatTheModuleImports) {
  std::vector<std::string> names = accounting->accountedFunctions();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"CloseHandle", "CreateEventW", "DuplicateHandle", "OpenProcess",
                                             "RegCloseKey", "RegOpenKeyExW"}));
}

TEST_F(HandleAccountingTest, ReportsWhatACallLeftOpenOrClosedWrongly) {
  struct Case {
    const char* name;
    // Makes the call's handle traffic; returns the fragments to expect.
    std::function<std::vector<std::string>()> body;
  };
  std::vector<HANDLE> leftOver;
  HKEY leftKey = nullptr;
  const Case cases[] = {
      {"registry key left open",
       [&]() -> std::vector<std::string> {
         leftKey = p.regOpenKey(HKEY_CURRENT_USER, L"Software");
         return {"handle " + handle(leftKey) +
                 " from RegOpenKeyExW left open: neither closed nor handed to Java "
                 "(RegCloseKey closes it)"};
       }},
      {"process handle left open",
       [&]() -> std::vector<std::string> {
         HANDLE process = p.openProcess(GetCurrentProcessId());
         leftOver.push_back(process);
         return {"handle " + handle(process) + " from OpenProcess left open"};
       }},
      {"duplicate left open",
       [&]() -> std::vector<std::string> {
         HANDLE copy = p.duplicateHandle(GetCurrentProcess());
         leftOver.push_back(copy);
         return {"handle " + handle(copy) + " from DuplicateHandle left open"};
       }},
      {"event closed twice",
       [&]() -> std::vector<std::string> {
         HANDLE event = p.createEvent();
         EXPECT_TRUE(p.closeHandle(event));
         SetLastError(0);
         EXPECT_FALSE(p.closeHandle(event)) << "the second close is not passed on";
         EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
         return {"handle " + handle(event) + " from CreateEventW closed twice (again with CloseHandle)"};
       }},
      {"process handle closed with RegCloseKey",
       [&]() -> std::vector<std::string> {
         HANDLE process = p.openProcess(GetCurrentProcessId());
         p.regCloseKey(reinterpret_cast<HKEY>(process));
         return {"handle " + handle(process) +
                 " from OpenProcess closed with RegCloseKey (wrong function: CloseHandle closes it)"};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> expected;
    const Violations found = call([&] { expected = c.body(); });
    expectViolations(found, expected);
  }
  for (HANDLE h : leftOver) CloseHandle(h);
  RegCloseKey(leftKey);
}

TEST_F(HandleAccountingTest, BalancedTrafficReportsNothing) {
  const Violations found = call([&] {
    p.regCloseKey(p.regOpenKey(HKEY_CURRENT_USER, L"Software"));
    p.closeHandle(p.openProcess(GetCurrentProcessId()));
    p.closeHandle(p.duplicateHandle(GetCurrentProcess()));
    p.closeHandle(p.createEvent());
    // Predefined keys and pseudo-handles are no handles to account.
    p.closeHandle(GetCurrentProcess());
  });
  expectViolations(found, {});
}

TEST_F(HandleAccountingTest, AHandleJavaHoldsStaysAccountedUntilItsOwnClose) {
  HANDLE event = nullptr;
  HKEY key = nullptr;
  // Returned, or stored in a "_handle" field: Java owns them now.
  Violations found = call(
      [&] {
        event = p.createEvent();
        key = p.regOpenKey(HKEY_CURRENT_USER, L"Software");
      },
      [&] {
        return javaHolds({bits(event), bits(key)});
      });
  expectViolations(found, {});
  found = call([] {}, [&] { return javaHolds({bits(event), bits(key)}, {bits(event), bits(key)}); });
  expectViolations(found, {});

  // A later call still knows where they came from.
  found = call([&] { p.regCloseKey(reinterpret_cast<HKEY>(event)); },
               [&] {
                 return javaHolds({bits(key)}, {bits(event), bits(key)});
               });
  expectViolations(found, {"handle " + handle(event) + " from CreateEventW closed with RegCloseKey"});
  found = call([&] { EXPECT_EQ(p.regCloseKey(key), ERROR_SUCCESS); }, [&] { return javaHolds({}, {bits(key)}); });
  expectViolations(found, {});
}

TEST_F(HandleAccountingTest, AHandleACallTookFromJavaMustBeClosedByTheEndOfTheTest) {
  HANDLE process = nullptr;
  call([&] { process = p.openProcess(GetCurrentProcessId()); }, [&] { return javaHolds({bits(process)}); });
  // The native cleared the field without closing the handle.
  Violations found = call([] {}, [&] { return javaHolds({}, {bits(process)}); });
  expectViolations(found, {});
  accounting->onTestEnd(found);
  expectViolations(found, {"handle " + handle(process) +
                           " from OpenProcess, held by Java until native call 2 of the test took it away without "
                           "closing it, is still open (CloseHandle closes it)"});
  CloseHandle(process);

  // Java let go of one between calls (the test changed the field): not the call's doing.
  HANDLE event = nullptr;
  call([&] { event = p.createEvent(); }, [&] { return javaHolds({bits(event)}); });
  found = call([] {}, [&] { return javaHolds({}, {}); });
  accounting->onTestEnd(found);
  expectViolations(found, {});
  CloseHandle(event);

  // A later call of the library that closes it settles it.
  call([&] { event = p.createEvent(); }, [&] { return javaHolds({bits(event)}); });
  call([] {}, [&] { return javaHolds({}, {bits(event)}); });
  found = call([&] { p.closeHandle(event); });
  accounting->onTestEnd(found);
  expectViolations(found, {});
}

TEST_F(HandleAccountingTest, HandlesTheTestOpensAreNotTheModules) {
  HANDLE before = p.createEvent();
  HKEY harnessKey = nullptr;
  const Violations found = call([&] {
    {
      testsupport::HarnessScope harness;
      harnessKey = p.regOpenKey(HKEY_CURRENT_USER, L"Software");
    }
    EXPECT_TRUE(p.closeHandle(before));
  });
  expectViolations(found, {});
  RegCloseKey(harnessKey);
}

// GCC may load an import's address once per function; a function of its own sees
// the patched slot.
__attribute__((noinline)) BOOL closeThroughImport(HANDLE h) { return CloseHandle(h); }

TEST_F(HandleAccountingTest, AHandleTheTestProgramClosedIsNoLongerAccounted) {
  accounting.reset();
  HandleAccounting::Options options;
  options.releasingModule = GetModuleHandleW(nullptr);
  accounting = std::make_unique<HandleAccounting>(p.module, options);
  HANDLE event = nullptr;
  call([&] { event = p.createEvent(); }, [&] { return javaHolds({bits(event)}); });
  // A call takes it from Java; the test kept the value and closes it itself.
  Violations found = call([] {}, [&] { return javaHolds({}, {bits(event)}); });
  EXPECT_TRUE(closeThroughImport(event));
  accounting->onTestEnd(found);
  expectViolations(found, {});
}

TEST_F(HandleAccountingTest, OnlyOneInstanceMayBeActive) {
  std::unique_ptr<HandleAccounting> second;
  EXPECT_NONFATAL_FAILURE(second = std::make_unique<HandleAccounting>(p.module), "only one may be at a time");
}

}  // namespace
