#include <gtest/gtest.h>

#include <set>
#include <string>

#include "jvmstub.h"

namespace {

class JvmStubTest : public ::testing::Test {
 protected:
  void SetUp() override { jvmstub_reset(); }
  void TearDown() override { jvmstub_reset(); }
};

TEST_F(JvmStubTest, InterruptEventIsAManualResetEventTheTestControls) {
  const HANDLE event = JVM_GetThreadInterruptEvent();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event, jvmstub_interruptEvent());
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(SetEvent(jvmstub_interruptEvent()));
  // Manual reset: every wait sees it until it is reset.
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(JvmStubTest, SameEventOnEveryThread) {
  HANDLE fromThread = nullptr;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* out) -> DWORD {
        *static_cast<HANDLE*>(out) = JVM_GetThreadInterruptEvent();
        return 0;
      },
      &fromThread, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(fromThread, jvmstub_interruptEvent());
}

TEST_F(JvmStubTest, ReturnedEventCanBeReplacedAndCallsAreCounted) {
  EXPECT_EQ(jvmstub_callCount(), 0);
  jvmstub_setReturnedEvent(nullptr);
  EXPECT_EQ(JVM_GetThreadInterruptEvent(), nullptr);
  const HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  jvmstub_setReturnedEvent(other);
  EXPECT_EQ(JVM_GetThreadInterruptEvent(), other);
  EXPECT_EQ(jvmstub_callCount(), 2);

  SetEvent(jvmstub_interruptEvent());
  jvmstub_reset();
  EXPECT_EQ(JVM_GetThreadInterruptEvent(), jvmstub_interruptEvent());
  EXPECT_EQ(WaitForSingleObject(jvmstub_interruptEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(jvmstub_callCount(), 1);
  CloseHandle(other);
}

TEST(JvmStubExports, ExportsOnlyTheIntendedFunctions) {
  const HMODULE jvm = GetModuleHandleW(L"jvm.dll");
  ASSERT_NE(jvm, nullptr);
  auto* base = reinterpret_cast<const BYTE*>(jvm);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    found.insert(reinterpret_cast<const char*>(base + names[i]));
  const std::set<std::string> expected = {
      "JVM_GetThreadInterruptEvent", "jvmstub_callCount", "jvmstub_interruptEvent",
      "jvmstub_reset", "jvmstub_setReturnedEvent"};
  EXPECT_EQ(found, expected);
}

}  // namespace
