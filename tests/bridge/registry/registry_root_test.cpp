// RegistryRoot natives: current user's root, a token's classes root, connections.
#include <optional>

#include "refusal.h"
#include "registry_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using registrytest::kNullPointer;
using registrytest::kRegistryRoot;
using testsupport::HarnessScope;

using OpenCurrentUser = jobject(JNICALL*)(JNIEnv*, jclass, jint);
using OpenClassesRoot = jobject(JNICALL*)(JNIEnv*, jclass, jobject, jint);
using Connect = jobject(JNICALL*)(JNIEnv*, jobject, jstring);
using OpenSubKey = jobject(JNICALL*)(JNIEnv*, jobject, jstring, jint);
using KeyAction = void(JNICALL*)(JNIEnv*, jobject);

// What RegOpenUserClassesRoot saw, and how the stand-in answers.
struct ClassesRootCall {
  jnihost::Host* host;
  jobject token;
  bool monitorHeldDuringCall = false;
  HANDLE tokenSeen = nullptr;
  HKEY opened = nullptr;
  // OwnKey: a key opened for the call, as Windows gives; Wine's answer is the
  // predefined HKEY_CLASSES_ROOT, which no close releases.
  enum { Real, OwnKey, Refuse, Fault } mode = Real;
};
constexpr DWORD kFaultCode = 0xC0000005;

// The real RegOpenUserClassesRoot behind a check of the token's monitor; it can
// also answer ERROR_ACCESS_DENIED or fault, as the Windows call may.
LONG WINAPI watchedClassesRoot(HANDLE token, DWORD options, REGSAM access, PHKEY key) {
  ClassesRootCall* call = ActiveInstance<ClassesRootCall>::get();
  {
    HarnessScope harness;
    call->monitorHeldDuringCall = call->host->monitorHeld(call->token);
    call->tokenSeen = token;
  }
  if (call->mode == ClassesRootCall::Refuse) {
    return ERROR_ACCESS_DENIED;
  }
  if (call->mode == ClassesRootCall::Fault) {
    RaiseException(kFaultCode, 0, 0, nullptr);
  }
  LONG answer = call->mode == ClassesRootCall::OwnKey ? RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, access, key)
                                                      : RegOpenUserClassesRoot(token, options, access, key);
  call->opened = answer == ERROR_SUCCESS ? *key : nullptr;
  return answer;
}

// The machine name RegConnectRegistryW receives, before the real call connects
// the local machine's key (Wine reaches no other machine).
struct ConnectCall {
  std::optional<std::wstring> machine;
  HKEY predefined = nullptr;
};
LONG WINAPI watchedConnect(LPCWSTR machine, HKEY predefined, PHKEY key) {
  ConnectCall* call = ActiveInstance<ConnectCall>::get();
  {
    HarnessScope harness;
    call->machine = machine != nullptr ? std::optional<std::wstring>(machine) : std::nullopt;
    call->predefined = predefined;
  }
  return RegConnectRegistryW(nullptr, predefined, key);
}

class RegistryRootTest : public registrytest::RegistryTest {
 protected:
  jclass rootClass() { return host.findClass(kRegistryRoot); }
  jobject root(HKEY predefined) {
    return host.newObject(kRegistryRoot, "(J)V", {jnihost::jLong(reinterpret_cast<jlong>(predefined))});
  }
  // The test key, found below the key object; closes what it opened.
  bool reachesTestKey(jobject userRoot) {
    jobject sub = host.call(keyNative<OpenSubKey>("openSubKey"), userRoot,
                            str(std::u16string(testPath.begin(), testPath.end())), jint{KEY_READ});
    if (sub == nullptr) {
      return false;
    }
    bool found = RegQueryValueExW(reinterpret_cast<HKEY>(host.field(sub, "_handle").j), L"mark", nullptr, nullptr,
                                  nullptr, nullptr) == ERROR_SUCCESS;
    host.call(keyNative<KeyAction>("close"), sub);
    return found;
  }
  jobject processToken() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, &token));
    tokenHandle = token;
    return testsupport::newHandleObject(host, testsupport::kAccessToken, reinterpret_cast<jlong>(token));
  }
  void TearDown() override {
    if (tokenHandle != nullptr) {
      CloseHandle(tokenHandle);
    }
    RegistryTest::TearDown();
  }
  HANDLE tokenHandle = nullptr;
};

TEST_P(RegistryRootTest, CurrentUserRootReachesTheUsersKeys) {
  putRaw(L"mark", REG_DWORD, std::vector<BYTE>{1, 0, 0, 0});
  jobject userRoot = host.call(rootNative<OpenCurrentUser>("openRegistryCurrentUser"), rootClass(), jint{KEY_READ});
  ASSERT_NE(userRoot, nullptr);
  EXPECT_EQ(host.className(userRoot), testsupport::kRegistryKey);
  EXPECT_TRUE(reachesTestKey(userRoot));
  host.call(keyNative<KeyAction>("close"), userRoot);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(RegistryRootTest, ClassesRootOpensUnderTheTokensMonitor) {
  jobject token = processToken();
  ClassesRootCall call{&host, token};
  ActiveInstance<ClassesRootCall> active(&call);
  ImportPatch patch(library.module, "advapi32.dll", "RegOpenUserClassesRoot", watchedClassesRoot);
  auto open = rootNative<OpenClassesRoot>("openRegistryUserClassesRoot");

  jobject classes = host.call(open, rootClass(), token, jint{KEY_READ});
  ASSERT_NE(classes, nullptr);
  EXPECT_TRUE(call.monitorHeldDuringCall);
  EXPECT_EQ(call.tokenSeen, tokenHandle);
  EXPECT_FALSE(host.monitorHeld(token));
  host.call(keyNative<KeyAction>("close"), classes);

  const struct {
    decltype(ClassesRootCall::mode) mode;
    DWORD code;
  } failures[] = {{ClassesRootCall::Refuse, ERROR_ACCESS_DENIED}, {ClassesRootCall::Fault, kFaultCode}};
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.code);
    call.mode = failure.mode;
    call.monitorHeldDuringCall = false;
    EXPECT_EQ(host.call(open, rootClass(), token, jint{KEY_READ}), nullptr);
    expectCoded(failure.code);
    EXPECT_TRUE(call.monitorHeldDuringCall);
    EXPECT_FALSE(host.monitorHeld(token));
  }
}

TEST_P(RegistryRootTest, RefusedCurrentUserRootMakesNoKey) {
  // RegOpenCurrentUser refusing, as Windows does when the user's hive cannot be
  // reached: the answer is the error, the last error is not part of it.
  intercept::Refusal<decltype(RegOpenCurrentUser)> refusal(intercept::answerOnly, library.module, "advapi32.dll",
                                                           "RegOpenCurrentUser", ERROR_ACCESS_DENIED);
  EXPECT_EQ(host.call(rootNative<OpenCurrentUser>("openRegistryCurrentUser"), rootClass(), jint{KEY_READ}), nullptr);
  expectCoded(ERROR_ACCESS_DENIED);
}

// The token's monitor is held around RegOpenUserClassesRoot: a failed enter asks
// Windows nothing, a failed exit closes the key Windows opened; neither leaves the
// monitor held.
TEST_P(RegistryRootTest, FailedMonitorEnterOrExitLeavesNoKeyOpen) {
  struct Case {
    const char* name;
    void (jnihost::Host::*fail)();
    const char* exception;
    bool windowsAsked;
  };
  const Case cases[] = {
      {"enter", &jnihost::Host::failNextMonitorEnter, "java/lang/OutOfMemoryError", false},
      {"exit", &jnihost::Host::failNextMonitorExit, "java/lang/IllegalMonitorStateException", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    jobject token = processToken();
    ClassesRootCall call{&host, token};
    ActiveInstance<ClassesRootCall> active(&call);
    call.mode = ClassesRootCall::OwnKey;
    ImportPatch patch(library.module, "advapi32.dll", "RegOpenUserClassesRoot", watchedClassesRoot);
    (host.*c.fail)();
    EXPECT_EQ(
        host.call(rootNative<OpenClassesRoot>("openRegistryUserClassesRoot"), rootClass(), token, jint{KEY_READ}),
        nullptr);
    expectThrown(c.exception);
    EXPECT_FALSE(host.monitorHeld(token));
    if (!c.windowsAsked) {
      EXPECT_EQ(call.tokenSeen, nullptr);
      EXPECT_EQ(call.opened, nullptr);
      continue;
    }
    ASSERT_NE(call.opened, nullptr);
    DWORD subKeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(call.opened, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE)
        << "the key opened before the failed exit is still open";
  }
}

TEST_P(RegistryRootTest, ClassesRootWithNullTokenOpensNothing) {
  ClassesRootCall call{&host, nullptr};
  ActiveInstance<ClassesRootCall> active(&call);
  ImportPatch patch(library.module, "advapi32.dll", "RegOpenUserClassesRoot", watchedClassesRoot);
  EXPECT_EQ(host.call(rootNative<OpenClassesRoot>("openRegistryUserClassesRoot"), rootClass(), jobject{nullptr},
                      jint{KEY_READ}),
            nullptr);
  expectThrown(kNullPointer);
  EXPECT_EQ(call.tokenSeen, nullptr);
  EXPECT_FALSE(call.monitorHeldDuringCall);
}

TEST_P(RegistryRootTest, ConnectPrefixesTheMachineNameWithTwoBackslashes) {
  putRaw(L"mark", REG_DWORD, std::vector<BYTE>{1, 0, 0, 0});
  jobject currentUser = root(HKEY_CURRENT_USER);
  auto connect = rootNative<Connect>("connectRemoteKey");
  const struct {
    std::optional<std::u16string> name;
    std::optional<std::wstring> passed;
  } cases[] = {
      {u"server", L"\\\\server"},
      {u"", L"\\\\"},
      {u"\\\\twice", L"\\\\\\\\twice"},
      {std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    ConnectCall call;
    ActiveInstance<ConnectCall> active(&call);
    ImportPatch patch(library.module, "advapi32.dll", "RegConnectRegistryW", watchedConnect);
    jobject connected = host.call(connect, currentUser, c.name ? str(*c.name) : nullptr);
    EXPECT_EQ(call.machine, c.passed);
    EXPECT_EQ(call.predefined, HKEY_CURRENT_USER);
    ASSERT_NE(connected, nullptr);
    EXPECT_TRUE(reachesTestKey(connected));
    host.call(keyNative<KeyAction>("close"), connected);
  }
}

TEST_P(RegistryRootTest, ConnectReportsWindowsRefusal) {
  // Wine connects only the local machine; any other name is an unknown network path.
  host.call(rootNative<Connect>("connectRemoteKey"), root(HKEY_LOCAL_MACHINE), str(u"no-such-machine.invalid"));
  EXPECT_EQ(host.exceptionClass(), testsupport::kCodedSystemException);
  EXPECT_NE(host.exceptionIntField("_code"), 0);
  host.clearException();
}

INSTANTIATE_TEST_SUITE_P(Bridges, RegistryRootTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
