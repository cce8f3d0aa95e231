// The built DLLs, loaded as the JVM loads them: load entry, the natives of the
// core, and the helper interface that only fullbridge exports.
#include "bridge_test.h"

namespace {

using testsupport::DeliverableTest;
using testsupport::kAccessToken;

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

TEST(TcpEstatsDeliverable, LoadsWithItsImportBoundToFullBridge) {
  testsupport::LoadedLibrary tcpestats(testsupport::deliverablePath(L"tcpestats.dll"));
  ASSERT_NE(tcpestats.module, nullptr) << "error " << tcpestats.error;
  HMODULE fullbridge = GetModuleHandleW(L"fullbridge.dll");
  ASSERT_NE(fullbridge, nullptr);
  EXPECT_EQ(tcpestats.function<void*>("JNI_OnLoad"), nullptr);
}

}  // namespace
