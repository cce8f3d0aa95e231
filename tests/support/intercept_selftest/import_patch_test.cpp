#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>

#include "import_patch.h"
#include "probe_module.h"
#include "refusal.h"

namespace {

using intercept::ImportPatch;
using intercept::OnMissing;

HANDLE const kFakeHeap = reinterpret_cast<HANDLE>(0x5eed);

HANDLE WINAPI fakeGetProcessHeap() { return kFakeHeap; }

class ImportPatchTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(p.module, nullptr); }
  const ProbeModule& p = probe();
};

TEST_F(ImportPatchTest, ReplacesWhileAliveAndRestoresAfter) {
  const HANDLE real = GetProcessHeap();
  ASSERT_EQ(p.getProcessHeap(), real);
  {
    ImportPatch patch(p.module, "KERNEL32.dll", "GetProcessHeap", &fakeGetProcessHeap);
    ASSERT_TRUE(patch.installed()) << patch.error();
    EXPECT_EQ(p.getProcessHeap(), kFakeHeap);
    // Only the patched module is affected.
    EXPECT_EQ(GetProcessHeap(), real);
    EXPECT_EQ(patch.previousAs<HANDLE WINAPI()>()(), real);
  }
  EXPECT_EQ(p.getProcessHeap(), real);
}

TEST_F(ImportPatchTest, MatchesDllNameCaseInsensitivelyAndByFamily) {
  for (const char* dll : {"kernel32.DLL", "KERNELBASE.dll", "api-ms-win-core-heap-l1-1-0.dll"}) {
    SCOPED_TRACE(dll);
    ImportPatch patch(p.module, dll, "GetProcessHeap", &fakeGetProcessHeap);
    EXPECT_TRUE(patch.installed()) << patch.error();
    EXPECT_EQ(p.getProcessHeap(), kFakeHeap);
  }
  EXPECT_EQ(p.getProcessHeap(), GetProcessHeap());
}

TEST_F(ImportPatchTest, MissingImportIsReported) {
  struct Case {
    HMODULE module;
    const char* dll;
    const char* function;
    const char* why;
  };
  const Case cases[] = {
      {p.module, "KERNEL32.dll", "GetProcessHeapp", "does not import GetProcessHeapp"},
      {p.module, "USER32.dll", "GetProcessHeap", "imports nothing from USER32.dll"},
      {p.module, "msvcrt.dll", "GetProcessHeap", "does not import GetProcessHeap"},
      {nullptr, "KERNEL32.dll", "GetProcessHeap", "no module"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dll) + "!" + c.function);
    std::unique_ptr<ImportPatch> patch;
    EXPECT_NONFATAL_FAILURE(
        patch = std::make_unique<ImportPatch>(c.module, c.dll, c.function, &fakeGetProcessHeap),
        c.why);
    EXPECT_FALSE(patch->installed());
    EXPECT_NE(patch->error().find(c.why), std::string::npos) << patch->error();

    ImportPatch quiet(c.module, c.dll, c.function, &fakeGetProcessHeap, OnMissing::Skip);
    EXPECT_FALSE(quiet.installed());
    EXPECT_EQ(p.getProcessHeap(), GetProcessHeap());
  }
}

// Replacements that count their calls and pass them on down the chain.
struct ChainState {
  ImportPatch* lower = nullptr;
  ImportPatch* upper = nullptr;
  int lowerCalls = 0;
  int upperCalls = 0;
};
ChainState* chain = nullptr;

HANDLE WINAPI lowerGetProcessHeap() {
  ++chain->lowerCalls;
  return chain->lower->previousAs<HANDLE WINAPI()>()();
}
HANDLE WINAPI upperGetProcessHeap() {
  ++chain->upperCalls;
  return chain->upper->previousAs<HANDLE WINAPI()>()();
}

TEST_F(ImportPatchTest, PatchesChainAndUnlinkInAnyOrder) {
  ChainState state;
  chain = &state;
  const HANDLE real = GetProcessHeap();
  void* const original = *intercept::findImportSlots(p.module, "KERNEL32.dll", "GetProcessHeap")[0];

  auto lower = std::make_unique<ImportPatch>(p.module, "KERNEL32.dll", "GetProcessHeap",
                                             &lowerGetProcessHeap);
  auto upper = std::make_unique<ImportPatch>(p.module, "KERNEL32.dll", "GetProcessHeap",
                                             &upperGetProcessHeap);
  state.lower = lower.get();
  state.upper = upper.get();
  EXPECT_EQ(upper->previous(), reinterpret_cast<void*>(&lowerGetProcessHeap));
  EXPECT_EQ(p.getProcessHeap(), real);
  EXPECT_EQ(state.upperCalls, 1);
  EXPECT_EQ(state.lowerCalls, 1);

  // Removing the older patch first must leave the newer one calling the original.
  lower.reset();
  state.lower = nullptr;
  EXPECT_EQ(upper->previous(), original);
  EXPECT_EQ(p.getProcessHeap(), real);
  EXPECT_EQ(state.upperCalls, 2);
  EXPECT_EQ(state.lowerCalls, 1);

  upper.reset();
  EXPECT_EQ(*intercept::findImportSlots(p.module, "KERNEL32.dll", "GetProcessHeap")[0], original);
  EXPECT_EQ(p.getProcessHeap(), real);
  EXPECT_EQ(state.upperCalls, 2);
  chain = nullptr;
}

DWORD WINAPI fakeGetTickCount() { return 4242; }

// GCC treats an import's address as constant within a function and may load
// it once; reading it in a function of its own sees each patch.
__attribute__((noinline)) DWORD tickCountThroughImport() { return GetTickCount(); }

TEST(ImportPatchOnExe, PatchesTheTestProgramsOwnImports) {
  const HMODULE exe = GetModuleHandleW(nullptr);
  {
    ImportPatch patch(exe, "KERNEL32.dll", "GetTickCount", &fakeGetTickCount);
    ASSERT_TRUE(patch.installed()) << patch.error();
    EXPECT_EQ(tickCountThroughImport(), 4242u);
  }
  EXPECT_NE(tickCountThroughImport(), 4242u);
}

TEST(ActiveInstance, TracksTheLiveObjectAndNesting) {
  struct Tag {};
  int a = 1;
  int b = 2;
  EXPECT_EQ((intercept::ActiveInstance<int, Tag>::get()), nullptr);
  {
    intercept::ActiveInstance<int, Tag> outer(&a);
    EXPECT_FALSE(outer.displacedAnother());
    {
      intercept::ActiveInstance<int, Tag> inner(&b);
      EXPECT_TRUE(inner.displacedAnother());
      EXPECT_EQ((intercept::ActiveInstance<int, Tag>::get()), &b);
    }
    EXPECT_EQ((intercept::ActiveInstance<int, Tag>::get()), &a);
  }
  EXPECT_EQ((intercept::ActiveInstance<int, Tag>::get()), nullptr);
}

// A Windows function's documented failure: its failure value with the reason in the
// last error, for the first calls asked; later calls reach the function.
TEST_F(ImportPatchTest, RefusalFailsAsDocumentedAndThenPassesOn) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  intercept::Refusal<decltype(CloseHandle)> refusal(p.module, "KERNEL32.dll", "CloseHandle", ERROR_INVALID_HANDLE);
  ASSERT_TRUE(refusal.installed());
  refusal.passAfter(2);
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE(call);
    SetLastError(ERROR_SUCCESS);
    const BOOL closed = p.closeHandle(event);
    const DWORD error = GetLastError();
    EXPECT_FALSE(closed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_TRUE(p.closeHandle(event));
  EXPECT_EQ(refusal.calls(), 3u);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(event, &flags));
}

// A function that answers with its error (the registry's) leaves the last error alone.
TEST_F(ImportPatchTest, RefusalThatAnswersWithTheErrorLeavesTheLastError) {
  intercept::Refusal<decltype(RegCloseKey)> refusal(intercept::answerOnly, p.module, "ADVAPI32.dll", "RegCloseKey",
                                                    ERROR_ACCESS_DENIED);
  SetLastError(ERROR_FILE_NOT_FOUND);
  const LONG answer = p.regCloseKey(HKEY_CURRENT_USER);
  const DWORD error = GetLastError();
  EXPECT_EQ(answer, ERROR_ACCESS_DENIED);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(refusal.calls(), 1u);
}

// Refusals of one signature share their replacement, so two at once would answer
// with one error: the second needs a tag of its own.
TEST_F(ImportPatchTest, TwoRefusalsOfOneSignatureNeedTags) {
  intercept::Refusal<decltype(CloseHandle)> first(p.module, "KERNEL32.dll", "CloseHandle", ERROR_INVALID_HANDLE);
  EXPECT_NONFATAL_FAILURE(
      {
        intercept::Refusal<decltype(CloseHandle)> second(p.module, "KERNEL32.dll", "CloseHandle", ERROR_ACCESS_DENIED);
      },
      "give one a tag");
  struct OtherTag {};
  intercept::Refusal<decltype(CloseHandle), OtherTag> tagged(p.module, "KERNEL32.dll", "CloseHandle",
                                                             ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  const BOOL closed = p.closeHandle(nullptr);
  const DWORD error = GetLastError();
  EXPECT_FALSE(closed);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(first.calls(), 0u);
  EXPECT_EQ(tagged.calls(), 1u);
}

}  // namespace
