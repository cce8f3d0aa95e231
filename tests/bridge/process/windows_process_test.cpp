// WindowsProcess in both bridge libraries, against real child processes: waiting
// (and being interrupted), exit codes, processor time, ending, priority, the
// access token and closing.
#include <com_corvantis_windows_WindowsHandle.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "harness_scope.h"
#include "import_patch.h"
#include "process_fixture.h"

namespace processtest {
namespace {

using jnihost::jLong;
using testsupport::kCodedSystemException;

using Clock = std::chrono::steady_clock;

long long millisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class WindowsProcessTest : public ProcessTest {
 protected:
  jint exitValue(jobject process) {
    auto native = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_exitValue);
    return native != nullptr ? host.call(native, process) : -1;
  }
  void destroy(jobject process) {
    auto native = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_destroy);
    if (native != nullptr) host.call(native, process);
  }
  jlong cpuTime(jobject process) {
    auto native = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_getCpuTime);
    return native != nullptr ? host.call(native, process) : -1;
  }
  void setPriority(jobject process, jint priorityClass) {
    auto native = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_setPriorityClassId);
    if (native != nullptr) host.call(native, process, priorityClass);
  }
  jint priority(jobject process) {
    auto native = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_getPriorityClassId);
    return native != nullptr ? host.call(native, process) : -1;
  }
  jobject accessToken(jobject process, jint access) {
    auto native = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_getAccessToken);
    return native != nullptr ? host.call(native, process, access) : nullptr;
  }
  jobject processObject(HANDLE handle) {
    return host.newObject(testsupport::kWindowsProcess, "(JI)V",
                          {jLong(reinterpret_cast<jlong>(handle)), jnihost::jInt(0)});
  }
  // Ends a child that a failed expectation left running.
  void endChild(jobject process) {
    TerminateProcess(handleOf(process), 0);
    close(process);
  }
};

TEST_P(WindowsProcessTest, WaitForReturnsTheExitCode) {
  jobject process = startChild(L"sleep 200 exit 42");
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(waitFor(process), 42);
  EXPECT_FALSE(host.exceptionPending());
  close(process);
}

TEST_P(WindowsProcessTest, InterruptBeforeTheWaitRaisesAtOnce) {
  jobject process = startChild(L"sleep 20000");
  ASSERT_NE(process, nullptr);
  SetEvent(jvmstub_interruptEvent());
  Clock::time_point start = Clock::now();
  EXPECT_EQ(waitFor(process), 0);
  EXPECT_LT(millisSince(start), 5000);
  EXPECT_EQ(takeException(), "java/lang/InterruptedException");
  EXPECT_EQ(host.exceptionMessage(), std::nullopt);
  // The interrupt status stays the JVM's to clear.
  EXPECT_EQ(WaitForSingleObject(jvmstub_interruptEvent(), 0), WAIT_OBJECT_0);
  endChild(process);
}

TEST_P(WindowsProcessTest, InterruptDuringTheWaitEndsIt) {
  jobject process = startChild(L"sleep 20000");
  ASSERT_NE(process, nullptr);
  Clock::time_point start = Clock::now();
  std::thread interrupter([] {
    Sleep(300);
    SetEvent(jvmstub_interruptEvent());
  });
  EXPECT_EQ(waitFor(process), 0);
  interrupter.join();
  EXPECT_GE(millisSince(start), 250);
  EXPECT_LT(millisSince(start), 5000);
  EXPECT_EQ(takeException(), "java/lang/InterruptedException");
  EXPECT_EQ(exitValue(process), 0);
  EXPECT_EQ(takeException(), "java/lang/IllegalThreadStateException");
  endChild(process);
}

TEST_P(WindowsProcessTest, EndedProcessWinsOverAnInterrupt) {
  jobject process = startChild(L"exit 5");
  ASSERT_NE(process, nullptr);
  awaitEnd(process);
  SetEvent(jvmstub_interruptEvent());
  EXPECT_EQ(waitFor(process), 5);
  EXPECT_FALSE(host.exceptionPending());
  close(process);
}

// GetProcAddress on a jvm.dll that lacks the export: null with ERROR_PROC_NOT_FOUND.
FARPROC WINAPI withoutInterruptExport(HMODULE module, LPCSTR name) {
  auto* patch = intercept::ActiveInstance<intercept::ImportPatch, struct InterruptExportTag>::get();
  if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && lstrcmpA(name, "JVM_GetThreadInterruptEvent") == 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return patch->previousAs<decltype(GetProcAddress)>()(module, name);
}

TEST_P(WindowsProcessTest, WithoutAnInterruptEventTheWaitIsForTheProcessAlone) {
  struct Case {
    const char* name;
    bool exportMissing;
  };
  for (const Case& c : {Case{"jvm.dll without the export", true}, Case{"the JVM hands out no event", false}}) {
    SCOPED_TRACE(c.name);
    intercept::ImportPatch patch(intercept::deferred, library.module, "kernel32.dll", "GetProcAddress",
                                 reinterpret_cast<void*>(&withoutInterruptExport));
    intercept::ActiveInstance<intercept::ImportPatch, struct InterruptExportTag> active(&patch);
    if (c.exportMissing) {
      patch.install();
    } else {
      jvmstub_setReturnedEvent(nullptr);
    }
    // The stand-in's event is set: a wait that looked at it would end at once.
    SetEvent(jvmstub_interruptEvent());
    jobject process = startChild(L"sleep 300 exit 9");
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(waitFor(process), 9);
    EXPECT_FALSE(host.exceptionPending());
    close(process);
    jvmstub_reset();
  }
}

TEST_P(WindowsProcessTest, ExitValueTellsRunningFromEnded) {
  struct Case {
    std::wstring steps;
    bool awaitEnd;
    const char* exception;
    jint expected;
  };
  // Exit code 259 is STILL_ACTIVE: it cannot be told from a running process.
  for (const Case& c :
       {Case{L"sleep 20000", false, "java/lang/IllegalThreadStateException", 0},
        Case{L"exit 259", true, "java/lang/IllegalThreadStateException", 0}, Case{L"exit 3", true, "", 3}}) {
    SCOPED_TRACE(std::string(c.steps.begin(), c.steps.end()));
    jobject process = startChild(c.steps);
    ASSERT_NE(process, nullptr);
    if (c.awaitEnd) awaitEnd(process);
    EXPECT_EQ(exitValue(process), c.expected);
    if (*c.exception != '\0') {
      EXPECT_EQ(host.exceptionMessageUtf8(), "process has not exited");
    }
    EXPECT_EQ(takeException(), c.exception);
    endChild(process);
  }
}

TEST_P(WindowsProcessTest, UnreadableExitCodeRaisesTheWindowsCode) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(event);  // a stale value Windows refuses
  jobject process = processObject(event);
  jint code = 0;
  EXPECT_EQ(exitValue(process), 0);
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_HANDLE);
}

TEST_P(WindowsProcessTest, DestroyEndsWithExitCodeOneAndIgnoresAnEndedProcess) {
  jobject process = startChild(L"sleep 20000");
  ASSERT_NE(process, nullptr);
  destroy(process);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(waitFor(process), 1);
  destroy(process);
  EXPECT_FALSE(host.exceptionPending());
  close(process);
}

TEST_P(WindowsProcessTest, CpuTimeIsKernelPlusUserTime) {
  jobject process = startChild(L"burn 300");
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(waitFor(process), 0);
  // Wine may still add the last tick to an ended process's times after its handle
  // was signalled, so the native's reading lies between two direct ones.
  auto processorTime = [&] {
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(handleOf(process), &creation, &exit, &kernel, &user));
    auto value = [](const FILETIME& t) {
      return static_cast<jlong>((ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    };
    return value(kernel) + value(user);
  };
  jlong before = processorTime();
  jlong total = cpuTime(process);
  jlong after = processorTime();
  EXPECT_LE(before, total);
  EXPECT_LE(total, after);
  // Wine reports less than the child measured for itself, so only "some" is checked.
  EXPECT_GT(total, 0);
  close(process);
}

struct Times {
  ULONGLONG kernel;
  ULONGLONG user;
};

FILETIME fileTime(ULONGLONG value) { return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)}; }

// GetProcessTimes reporting chosen kernel and user times, as Windows fills them in.
BOOL WINAPI chosenProcessTimes(HANDLE, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user) {
  const Times* times = intercept::ActiveInstance<const Times>::get();
  *creation = fileTime(0);
  *exit = fileTime(0);
  *kernel = fileTime(times->kernel);
  *user = fileTime(times->user);
  return TRUE;
}

TEST_P(WindowsProcessTest, CpuTimeSumsBothFullFileTimes) {
  jobject process = processObject(GetCurrentProcess());
  // 1.5 s kernel and 0.5 s user time; then values beyond 32 bits.
  for (const Times& t : {Times{15000000, 5000000}, Times{0x100000001ULL, 0xFFFFFFFFULL}}) {
    SCOPED_TRACE(t.kernel);
    intercept::ActiveInstance<const Times> active(&t);
    intercept::ImportPatch patch(library.module, "kernel32.dll", "GetProcessTimes", &chosenProcessTimes);
    EXPECT_EQ(cpuTime(process), static_cast<jlong>(t.kernel + t.user));
  }
}

TEST_P(WindowsProcessTest, PriorityClassRoundTrips) {
  jobject process = startChild(L"sleep 20000");
  ASSERT_NE(process, nullptr);
  for (jint priorityClass : {IDLE_PRIORITY_CLASS, BELOW_NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS}) {
    SCOPED_TRACE(priorityClass);
    setPriority(process, priorityClass);
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(priority(process), priorityClass);
  }
  jint code = 0;
  setPriority(process, 0x3);  // no priority class
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_PARAMETER);
  endChild(process);
}

TEST_P(WindowsProcessTest, ControlOfAClosedHandleRaisesTheWindowsCode) {
  jobject process = processObject(nullptr);
  struct Case {
    const char* name;
    std::function<void()> call;
  };
  for (const Case& c : {Case{"getCpuTime", [&] { EXPECT_EQ(cpuTime(process), 0); }},
                        Case{"getPriorityClassId", [&] { EXPECT_EQ(priority(process), 0); }},
                        Case{"setPriorityClassId", [&] { setPriority(process, IDLE_PRIORITY_CLASS); }},
                        Case{"getAccessToken", [&] { EXPECT_EQ(accessToken(process, TOKEN_QUERY), nullptr); }}}) {
    SCOPED_TRACE(c.name);
    c.call();
    jint code = 0;
    EXPECT_EQ(takeException(&code), kCodedSystemException);
    EXPECT_EQ(code, ERROR_INVALID_HANDLE);
  }
}

TEST_P(WindowsProcessTest, HandleThatCannotBeReadStopsEveryMethod) {
  jobject process = startChild(L"sleep 20000");
  ASSERT_NE(process, nullptr);
  struct Case {
    const char* name;
    std::function<void()> call;
  };
  for (const Case& c :
       {Case{"waitFor", [&] { EXPECT_EQ(waitFor(process), 0); }},
        Case{"exitValue", [&] { EXPECT_EQ(exitValue(process), 0); }}, Case{"destroy", [&] { destroy(process); }},
        Case{"getCpuTime", [&] { EXPECT_EQ(cpuTime(process), 0); }},
        Case{"setPriorityClassId", [&] { setPriority(process, IDLE_PRIORITY_CLASS); }},
        Case{"getPriorityClassId", [&] { EXPECT_EQ(priority(process), 0); }},
        Case{"getAccessToken", [&] { EXPECT_EQ(accessToken(process, TOKEN_QUERY), nullptr); }}}) {
    SCOPED_TRACE(c.name);
    host.failNextPushLocalFrame();
    c.call();
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  }
  // Nothing reached Windows: the child still runs at its first priority.
  EXPECT_EQ(WaitForSingleObject(handleOf(process), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(GetPriorityClass(handleOf(process)), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  endChild(process);
}

TEST_P(WindowsProcessTest, CloseReleasesTheHandleOnce) {
  jobject process = startChild(L"exit 0");
  ASSERT_NE(process, nullptr);
  HANDLE handle = handleOf(process);
  close(process);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(process, "_handle").j, 0);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(handle, &flags));
  close(process);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(WindowsProcessTest, RefusedCloseRaisesAndStillClearsTheField) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(event);  // a stale value Windows refuses
  jobject process = processObject(event);
  close(process);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_HANDLE);
  EXPECT_EQ(host.field(process, "_handle").j, 0);
}

// A Windows function handed memory it cannot use raises an access violation rather
// than returning; these stand-ins raise one the same way.
BOOL WINAPI faultingCloseHandle(HANDLE) {
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return FALSE;
}
BOOL WINAPI faultingGetProcessTimes(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*) {
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return FALSE;
}
BOOL WINAPI faultingSetPriorityClass(HANDLE, DWORD) {
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return FALSE;
}

TEST_P(WindowsProcessTest, StructuredExceptionInAGuardedCallBecomesItsCode) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  jobject process = processObject(event);
  struct Case {
    const char* function;
    void* replacement;
    std::function<void()> call;
  };
  for (const Case& c :
       {Case{"GetProcessTimes", reinterpret_cast<void*>(&faultingGetProcessTimes), [&] { cpuTime(process); }},
        Case{"SetPriorityClass", reinterpret_cast<void*>(&faultingSetPriorityClass),
             [&] { setPriority(process, IDLE_PRIORITY_CLASS); }},
        Case{"CloseHandle", reinterpret_cast<void*>(&faultingCloseHandle), [&] { close(process); }}}) {
    SCOPED_TRACE(c.function);
    intercept::ImportPatch patch(library.module, "kernel32.dll", c.function, c.replacement);
    c.call();
    jint code = 0;
    EXPECT_EQ(takeException(&code), kCodedSystemException);
    EXPECT_EQ(static_cast<DWORD>(code), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  }
  EXPECT_EQ(host.field(process, "_handle").j, 0);
  CloseHandle(event);
}

TEST_P(WindowsProcessTest, AccessTokenIsOpenedAndCloses) {
  auto closeToken = BRIDGE_NATIVE(Java_com_corvantis_windows_WindowsHandle_close);
  ASSERT_NE(closeToken, nullptr);
  jobject process = processObject(GetCurrentProcess());
  jobject token = accessToken(process, TOKEN_QUERY);
  ASSERT_NE(token, nullptr) << host.exceptionClass();
  EXPECT_EQ(host.className(token), testsupport::kAccessToken);
  auto handle = reinterpret_cast<HANDLE>(host.field(token, "_handle").j);
  TOKEN_TYPE type{};
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(handle, TokenType, &type, sizeof type, &size));
  EXPECT_EQ(type, TokenPrimary);
  host.call(closeToken, token);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(token, "_handle").j, 0);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(handle, &flags));
}

// The access mask OpenProcessToken receives, passed on to Windows.
struct TokenRequest {
  std::vector<DWORD> masks;
};
BOOL WINAPI recordedOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  {
    testsupport::HarnessScope harness;
    intercept::ActiveInstance<TokenRequest>::get()->masks.push_back(access);
  }
  return OpenProcessToken(process, access, token);
}

TEST_P(WindowsProcessTest, AccessTokenIsOpenedWithExactlyTheMaskAskedFor) {
  auto closeToken = BRIDGE_NATIVE(Java_com_corvantis_windows_WindowsHandle_close);
  ASSERT_NE(closeToken, nullptr);
  jobject process = processObject(GetCurrentProcess());
  for (DWORD mask : {DWORD{TOKEN_QUERY}, DWORD{TOKEN_QUERY | TOKEN_DUPLICATE}, DWORD{TOKEN_ADJUST_PRIVILEGES},
                     DWORD{TOKEN_ALL_ACCESS}, DWORD{MAXIMUM_ALLOWED}}) {
    SCOPED_TRACE(mask);
    TokenRequest request;
    intercept::ActiveInstance<TokenRequest> active(&request);
    intercept::ImportPatch patch(library.module, "advapi32.dll", "OpenProcessToken", &recordedOpenProcessToken);
    jobject token = accessToken(process, static_cast<jint>(mask));
    ASSERT_NE(token, nullptr) << host.exceptionClass();
    EXPECT_EQ(request.masks, std::vector<DWORD>{mask});
    host.call(closeToken, token);
  }
}

INSTANTIATE_TEST_SUITE_P(Bridges, WindowsProcessTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
}  // namespace processtest
