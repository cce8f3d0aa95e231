// The built DLLs, loaded as the JVM loads them: load entry, the natives of the
// core, the helper interface that only fullbridge exports, and the accounting of
// heap blocks and handles on each DLL's own imports.
#include <algorithm>

#include "bridge_test.h"
#include "harness_scope.h"
#include "import_patch.h"

namespace {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using testsupport::DeliverableTest;
using testsupport::kAccessToken;

bool has(const std::vector<std::string>& lines, const std::string& fragment) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(fragment) != std::string::npos; });
}

// A release the library forgot, in place of its import and over the accounting:
// what it would have released is kept for the test to release, and the library is
// told the release succeeded.
struct Dropped {
  std::vector<void*> kept;
  void keep(void* what) {
    testsupport::HarnessScope harness;
    kept.push_back(what);
  }
};
HLOCAL WINAPI droppedLocalFree(HLOCAL block) {
  ActiveInstance<Dropped>::get()->keep(block);
  return nullptr;
}
BOOL WINAPI droppedCloseHandle(HANDLE handle) {
  ActiveInstance<Dropped>::get()->keep(handle);
  return TRUE;
}

using OnLoad = jint(JNICALL*)(JavaVM*, void*);
using CloseNative = void(JNICALL*)(JNIEnv*, jobject);

class BridgeDeliverableTest : public DeliverableTest {};

TEST_P(BridgeDeliverableTest, OnLoadAsksForJni14) {
  auto onLoad = exported<OnLoad>("JNI_OnLoad");
  ASSERT_NE(onLoad, nullptr);
  EXPECT_EQ(onLoad(host.vm(), nullptr), 0x10004);
}

TEST_P(BridgeDeliverableTest, WindowsHandleCloseReleasesTheHandle) {
  auto close = exported<CloseNative>("Java_com_corvantis_windows_WindowsHandle_close");
  ASSERT_NE(close, nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  jobject object = testsupport::newHandleObject(host, kAccessToken, reinterpret_cast<jlong>(event));
  host.call(close, object);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(object, "_handle").j, 0);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(event, &flags));
}

// The accounting hooks each bridge's own imports: a block or a handle one of its
// natives takes and does not give back is reported.
TEST_P(BridgeDeliverableTest, BlockAndHandleANativeKeepsAreReported) {
  using Parse = jobjectArray(JNICALL*)(JNIEnv*, jclass, jstring);
  using ById = jobject(JNICALL*)(JNIEnv*, jclass, jint, jint);
  auto parse = exported<Parse>("Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments");
  auto byId = exported<ById>("Java_com_quillstone_velaro_server_WindowsSystem_getProcessById");
  ASSERT_TRUE(parse && byId);
  Dropped dropped;
  ActiveInstance<Dropped> active(&dropped);

  // CommandLineToArgvW's vector, which the native gives back with LocalFree.
  {
    ImportPatch patch(library.module, "kernel32.dll", "LocalFree", droppedLocalFree);
    EXPECT_NE(host.call(parse, jclass{nullptr}, host.newString(u"one two")), nullptr);
  }
  ASSERT_EQ(dropped.kept.size(), 1u);
  std::vector<std::string> found = host.violations();
  host.clearViolations();
  EXPECT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
  EXPECT_TRUE(has(found, "leaked ")) << ::testing::PrintToString(found);
  EXPECT_TRUE(has(found, " from CommandLineToArgvW")) << ::testing::PrintToString(found);
  LocalFree(dropped.kept[0]);

  // The process handle, which the native closes when its object cannot be made.
  dropped.kept.clear();
  {
    ImportPatch patch(library.module, "kernel32.dll", "CloseHandle", droppedCloseHandle);
    host.failNextPushLocalFrame();
    EXPECT_EQ(host.call(byId, jclass{nullptr}, static_cast<jint>(GetCurrentProcessId()),
                        jint{PROCESS_QUERY_LIMITED_INFORMATION}),
              nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  }
  ASSERT_EQ(dropped.kept.size(), 1u);
  found = host.violations();
  host.clearViolations();
  EXPECT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
  EXPECT_TRUE(has(found, " from OpenProcess left open")) << ::testing::PrintToString(found);
  CloseHandle(dropped.kept[0]);
}

INSTANTIATE_TEST_SUITE_P(Bridges, BridgeDeliverableTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

class FullBridgeHelpersTest : public DeliverableTest {};

TEST_P(FullBridgeHelpersTest, HelpersWorkThroughTheExportTable) {
  auto raise = exported<void (*)(JNIEnv*, DWORD)>("throwCodedSystemException");
  auto copy = exported<LPWSTR (*)(JNIEnv*, jstring)>("GetSzwStringChars");
  auto release = exported<void (*)(JNIEnv*, LPWSTR)>("ReleaseSzwStringChars");
  ASSERT_TRUE(raise && copy && release);

  jstring text = host.newString(u"through the DLL");
  bool copied = false;
  host.call([&](JNIEnv* env) {
    LPWSTR chars = copy(env, text);
    copied = chars != nullptr && lstrcmpW(chars, L"through the DLL") == 0;
    release(env, chars);
  });
  EXPECT_TRUE(copied);

  host.call(raise, DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(host.exceptionClass(), testsupport::kCodedSystemException);
  EXPECT_EQ(host.exceptionIntField("_code"), ERROR_FILE_NOT_FOUND);
  host.clearException();
}

TEST_P(FullBridgeHelpersTest, LeakedBlockInTheDllIsCaught) {
  // The accounting watches the DLL's own imports: a copy never released is reported.
  auto copy = exported<LPWSTR (*)(JNIEnv*, jstring)>("GetSzwStringChars");
  ASSERT_NE(copy, nullptr);
  jstring text = host.newString(u"kept");
  LPWSTR leaked = host.call(copy, text);
  ASSERT_EQ(host.violations().size(), 1u);
  EXPECT_NE(host.violations()[0].find("leaked"), std::string::npos) << host.violations()[0];
  host.clearViolations();
  HeapFree(GetProcessHeap(), 0, leaked);
}

INSTANTIATE_TEST_SUITE_P(Full, FullBridgeHelpersTest, testing::Values(L"fullbridge.dll"));

TEST(TcpEstatsDeliverable, LoadsWithFullBridgeAndHasNoLoadEntry) {
  testsupport::LoadedLibrary tcpestats(testsupport::deliverablePath(L"tcpestats.dll"));
  ASSERT_NE(tcpestats.module, nullptr) << "error " << tcpestats.error;
  HMODULE fullbridge = GetModuleHandleW(L"fullbridge.dll");
  ASSERT_NE(fullbridge, nullptr);
  EXPECT_EQ(tcpestats.function<void*>("JNI_OnLoad"), nullptr);
  // tcpestats_loading_test checks that its import is bound to fullbridge's export.
}

class TcpEstatsAccountingTest : public DeliverableTest {};

// tcpestats takes memory only through the C runtime's calloc and realloc (none of
// its natives does), and imports nothing that opens or closes a handle. The
// accounting hooks those imports of its own: a block its code took through them
// and kept is reported, as it is for the bridges.
TEST_P(TcpEstatsAccountingTest, BlockItsCodeKeepsIsReportedAndItOpensNoHandle) {
  const std::vector<std::string> heapHooks = heap->accountedFunctions();
  for (const char* function : {"calloc", "realloc", "free"}) {
    EXPECT_NE(std::find(heapHooks.begin(), heapHooks.end(), function), heapHooks.end()) << function;
  }
  EXPECT_EQ(handles->accountedFunctions(), std::vector<std::string>{});

  std::vector<void**> slots = intercept::findImportSlots(library.module, "msvcrt.dll", "calloc");
  ASSERT_EQ(slots.size(), 1u);
  // The DLL's own calloc, as its code reaches it: through its import slot.
  auto callocOfTheDll = reinterpret_cast<void*(__cdecl*)(size_t, size_t)>(*slots[0]);
  void* kept = host.call([&](JNIEnv*) { return callocOfTheDll(3, 8); });
  ASSERT_NE(kept, nullptr);
  const std::vector<std::string> found = host.violations();
  host.clearViolations();
  EXPECT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
  EXPECT_TRUE(has(found, "leaked 24 bytes from calloc")) << ::testing::PrintToString(found);
  free(kept);
}

INSTANTIATE_TEST_SUITE_P(TcpEstats, TcpEstatsAccountingTest, testing::Values(L"tcpestats.dll"));

}  // namespace
