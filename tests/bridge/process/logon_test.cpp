// XPSystem and UserToken, which only fullbridge carries: logon through a stand-in for
// LogonUserW, impersonation with a real token of the test process, idle time from Wine.
#include <com_corvantis_windows_security_UserToken.h>
#include <com_quillstone_velaro_server_XPSystem.h>

#include "bridge_test.h"
#include "deliverable_native.h"
#include "harness_scope.h"
#include "heap_faults.h"
#include "import_patch.h"
#include "password_contract.h"
#include "pending_exception.h"
#include "refusal.h"

namespace {

using testsupport::HarnessScope;
using testsupport::kCodedSystemException;

// Wine's LogonUserW accepts any name and password and hands out a token that cannot
// be impersonated. The stand-in does what Windows documents: it reads the password up
// to its NUL, refuses wrong credentials with ERROR_LOGON_FAILURE without handing out
// a token, and otherwise returns a primary token of the user - a duplicate of the test
// process's own token, so that a thread can really impersonate it.
class LogonStandIn {
 public:
  static constexpr const wchar_t* kPassword = L"s3cret";

  explicit LogonStandIn(HMODULE module) : active_(this), patch_(module, "advapi32.dll", "LogonUserW", &replacement) {}

  int calls = 0;
  std::wstring user;
  std::wstring domain;
  std::wstring password;
  DWORD type = 0;
  DWORD provider = 0;
  HANDLE issued = nullptr;  // the token handed out, null after a refusal

 private:
  static BOOL WINAPI replacement(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD type, DWORD provider,
                                 PHANDLE token) {
    LogonStandIn* self = intercept::ActiveInstance<LogonStandIn>::get();
    if (user == nullptr || password == nullptr || token == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    {
      HarnessScope harness;
      ++self->calls;
      self->user = user;
      self->domain = domain != nullptr ? domain : L"(null)";
      self->password = password;
      self->type = type;
      self->provider = provider;
      self->issued = nullptr;
    }
    if (lstrcmpW(password, kPassword) != 0) {
      SetLastError(ERROR_LOGON_FAILURE);
      return FALSE;
    }
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
      return FALSE;
    }
    BOOL duplicated = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
    DWORD error = GetLastError();
    CloseHandle(own);
    SetLastError(error);
    self->issued = duplicated ? *token : nullptr;
    return duplicated;
  }

  intercept::ActiveInstance<LogonStandIn> active_;
  intercept::ImportPatch patch_;
};

// The calling thread's token, null when it does not impersonate; *error gets the reason.
HANDLE threadToken(DWORD* error = nullptr) {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (error != nullptr) *error = GetLastError();
    return nullptr;
  }
  return token;
}

LUID logonSession(HANDLE token) {
  TOKEN_STATISTICS statistics{};
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &size));
  return statistics.AuthenticationId;
}

ULONGLONG idleNow() {
  FILETIME idle, kernel, user;
  EXPECT_TRUE(GetSystemTimes(&idle, &kernel, &user));
  return (static_cast<ULONGLONG>(idle.dwHighDateTime) << 32) | idle.dwLowDateTime;
}

class LogonTest : public testsupport::DeliverableTest {
 protected:
  void TearDown() override {
    // No test may leave the thread impersonating.
    RevertToSelf();
    DeliverableTest::TearDown();
  }

  jobject logonUser(jstring user, jstring domain, jcharArray password, jint type = LOGON32_LOGON_INTERACTIVE,
                    jint provider = LOGON32_PROVIDER_DEFAULT) {
    auto native = DELIVERABLE_NATIVE(Java_com_quillstone_velaro_server_XPSystem_logonUser);
    return native != nullptr ? host.call(native, jclass{nullptr}, user, domain, password, type, provider) : nullptr;
  }
  jobject logonTester(jcharArray password) { return logonUser(host.newString(u"tester"), nullptr, password); }
  void impersonate(jobject token) {
    auto native = DELIVERABLE_NATIVE(Java_com_corvantis_windows_security_UserToken_impersonateLoggedOnUser);
    if (native != nullptr) host.call(native, token);
  }
  void revertToSelf() {
    auto native = DELIVERABLE_NATIVE(Java_com_corvantis_windows_security_UserToken_revertToSelf);
    if (native != nullptr) host.call(native, jclass{nullptr});
  }
  jlong idleTime() {
    auto native = DELIVERABLE_NATIVE(Java_com_quillstone_velaro_server_XPSystem_getSystemIdleTime);
    return native != nullptr ? host.call(native, jclass{nullptr}) : -1;
  }

  jcharArray passwordArray(const std::u16string& chars) { return passwordcontract::passwordArray(host, chars); }
  std::u16string contents(jcharArray array) { return passwordcontract::contents(host, array); }
  HANDLE handleOf(jobject token) { return reinterpret_cast<HANDLE>(host.field(token, "_handle").j); }

  const std::u16string rightPassword{u"s3cret\0", 7};
};

TEST_P(LogonTest, LogonHandsOutTheTokenAndZeroesTheJvmCopyOfThePassword) {
  LogonStandIn standIn(library.module);
  jcharArray password = passwordArray(rightPassword);
  jobject token = logonUser(host.newString(u"tester"), host.newString(u"WORKGROUP"), password, LOGON32_LOGON_NETWORK,
                            LOGON32_PROVIDER_WINNT50);
  ASSERT_NE(token, nullptr) << takeException();
  EXPECT_EQ(host.className(token), testsupport::kUserToken);
  EXPECT_EQ(handleOf(token), standIn.issued);
  EXPECT_EQ(standIn.calls, 1);
  EXPECT_EQ(standIn.user, L"tester");
  EXPECT_EQ(standIn.domain, L"WORKGROUP");
  EXPECT_EQ(standIn.password, LogonStandIn::kPassword);
  EXPECT_EQ(standIn.type, static_cast<DWORD>(LOGON32_LOGON_NETWORK));
  EXPECT_EQ(standIn.provider, static_cast<DWORD>(LOGON32_PROVIDER_WINNT50));
  EXPECT_EQ(host.lastReleasedCopy().size(), rightPassword.size() * sizeof(jchar));
  EXPECT_TRUE(passwordcontract::allZero(host.lastReleasedCopy()));
  EXPECT_EQ(contents(password), rightPassword);
  CloseHandle(handleOf(token));
}

TEST_P(LogonTest, ArrayHandedOutInPlaceStaysUnchanged) {
  host.setCopyElements(false);
  LogonStandIn standIn(library.module);
  jcharArray password = passwordArray(rightPassword);
  jobject token = logonTester(password);
  ASSERT_NE(token, nullptr) << takeException();
  EXPECT_EQ(standIn.domain, L"(null)");
  EXPECT_EQ(contents(password), rightPassword);
  CloseHandle(handleOf(token));
}

TEST_P(LogonTest, RefusedPasswordsLeaveNoTokenAndOnlyZerosInTheJvmCopy) {
  passwordcontract::expectPasswordsRefused<LogonStandIn>(
      host, library.module, [&](jcharArray password) { return logonTester(password); },
      [](const LogonStandIn& standIn) { EXPECT_EQ(standIn.issued, nullptr); });
}

TEST_P(LogonTest, TokenIsClosedWhenItsObjectCannotBeMade) {
  LogonStandIn standIn(library.module);
  // The builder's frame is the first the call asks for.
  host.failNextPushLocalFrame();
  EXPECT_EQ(logonTester(passwordArray(rightPassword)), nullptr);
  EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  ASSERT_NE(standIn.issued, nullptr);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(standIn.issued, &flags));
}

TEST_P(LogonTest, UncopyableNameStopsBeforeWindows) {
  for (unsigned failing : {1u, 2u}) {  // user name, domain
    SCOPED_TRACE(failing);
    LogonStandIn standIn(library.module);
    intercept::FailHeapAlloc fault(library.module, intercept::Schedule::nth(failing));
    EXPECT_EQ(logonUser(host.newString(u"tester"), host.newString(u"WORKGROUP"), passwordArray(rightPassword)),
              nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(standIn.calls, 0);
  }
  LogonStandIn standIn(library.module);
  intercept::FailGetProcessHeap fault(library.module, ERROR_INVALID_HANDLE);
  EXPECT_EQ(logonTester(passwordArray(rightPassword)), nullptr);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_HANDLE);
  EXPECT_EQ(standIn.calls, 0);
}

TEST_P(LogonTest, ImpersonationLastsUntilRevertToSelf) {
  LogonStandIn standIn(library.module);
  jobject token = logonTester(passwordArray(rightPassword));
  ASSERT_NE(token, nullptr) << takeException();
  ASSERT_EQ(threadToken(), nullptr);

  impersonate(token);
  ASSERT_FALSE(host.exceptionPending()) << takeException();
  HANDLE acting = threadToken();
  ASSERT_NE(acting, nullptr);
  EXPECT_EQ(logonSession(acting).LowPart, logonSession(standIn.issued).LowPart);
  EXPECT_EQ(logonSession(acting).HighPart, logonSession(standIn.issued).HighPart);
  CloseHandle(acting);

  revertToSelf();
  EXPECT_FALSE(host.exceptionPending()) << takeException();
  DWORD error = 0;
  EXPECT_EQ(threadToken(&error), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_TOKEN));
  CloseHandle(handleOf(token));
}

TEST_P(LogonTest, ImpersonatingAClosedTokenRaisesTheWindowsCode) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(event);
  impersonate(testsupport::newHandleObject(host, testsupport::kUserToken, reinterpret_cast<jlong>(event)));
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_HANDLE);
  EXPECT_EQ(threadToken(), nullptr);
}

TEST_P(LogonTest, RevertToSelfWithoutImpersonationSucceeds) {
  revertToSelf();
  EXPECT_FALSE(host.exceptionPending()) << takeException();
}

TEST_P(LogonTest, RefusedRevertRaisesTheWindowsCode) {
  // Windows refuses to revert, for instance, a thread whose token it cannot replace.
  intercept::Refusal<decltype(RevertToSelf)> refusal(library.module, "advapi32.dll", "RevertToSelf",
                                                     ERROR_ACCESS_DENIED);
  revertToSelf();
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_ACCESS_DENIED);
}

TEST_P(LogonTest, IdleTimeIsTheSystemsAndGrowsAtMostWithTheProcessors) {
  const ULONGLONG before = idleNow();
  const jlong first = idleTime();
  const ULONGLONG after = idleNow();
  ASSERT_FALSE(host.exceptionPending()) << takeException();
  EXPECT_GE(static_cast<ULONGLONG>(first), before);
  EXPECT_LE(static_cast<ULONGLONG>(first), after);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  Sleep(1000);
  const jlong second = idleTime();
  QueryPerformanceCounter(&end);
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  // On an idle machine the readings differ by about one second per processor; a busy
  // one idles less, never more. The counters tick in coarse steps, hence the slack.
  const double elapsed = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart * 1e7;
  EXPECT_GE(second, first);
  EXPECT_LE(static_cast<double>(second - first), system.dwNumberOfProcessors * (elapsed + 2e6));
}

TEST_P(LogonTest, UnreadableIdleTimeRaisesTheWindowsCode) {
  // GetSystemTimes fails with FALSE and the reason in the last error; Wine's never does.
  intercept::Refusal<decltype(GetSystemTimes)> refusal(library.module, "kernel32.dll", "GetSystemTimes",
                                                       ERROR_INVALID_PARAMETER);
  EXPECT_EQ(idleTime(), 0);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Full, LogonTest, testing::Values(L"fullbridge.dll"));

TEST(LogonInCoreBridge, NoneOfTheMethodsIsThere) {
  testsupport::LoadedLibrary corebridge(testsupport::deliverablePath(L"corebridge.dll"));
  ASSERT_NE(corebridge.module, nullptr) << "error " << corebridge.error;
  for (const char* name : {"Java_com_quillstone_velaro_server_XPSystem_getSystemIdleTime",
                           "Java_com_quillstone_velaro_server_XPSystem_logonUser",
                           "Java_com_corvantis_windows_security_UserToken_impersonateLoggedOnUser",
                           "Java_com_corvantis_windows_security_UserToken_revertToSelf"}) {
    EXPECT_EQ(corebridge.function<void*>(name), nullptr) << name;
  }
}

}  // namespace
