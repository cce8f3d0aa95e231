// WindowsSystem in both bridge libraries: facts about the own process, process
// lookup, and process creation as the calling user or under another account.
#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include <gtest/gtest-spi.h>

#include "harness_scope.h"
#include "heap_faults.h"
#include "import_patch.h"
#include "password_contract.h"
#include "process_fixture.h"
#include "refusal.h"

namespace processtest {
namespace {

using jnihost::jInt;
using jnihost::jObj;
using jnihost::jShort;
using testsupport::HarnessScope;
using testsupport::kCodedSystemException;

class WindowsSystemTest : public ProcessTest {};

TEST_P(WindowsSystemTest, CurrentProcessIsThePseudoHandleAndOwnId) {
  auto current = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getCurrentProcess);
  ASSERT_NE(current, nullptr);
  jobject process = host.call(current, jclass{nullptr});
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(host.className(process), testsupport::kWindowsProcess);
  EXPECT_EQ(handleOf(process), GetCurrentProcess());
  EXPECT_EQ(static_cast<DWORD>(host.field(process, "_processId").i), GetCurrentProcessId());
}

TEST_P(WindowsSystemTest, ProcessByIdOwnsAnOpenedHandle) {
  auto byId = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getProcessById);
  ASSERT_NE(byId, nullptr);
  auto ownId = static_cast<jint>(GetCurrentProcessId());
  jobject process = host.call(byId, jclass{nullptr}, ownId, jint{PROCESS_QUERY_INFORMATION});
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(host.field(process, "_processId").i, ownId);
  HANDLE handle = handleOf(process);
  EXPECT_NE(handle, GetCurrentProcess());
  EXPECT_EQ(GetProcessId(handle), GetCurrentProcessId());
  DWORD handleFlags = 0;
  ASSERT_TRUE(GetHandleInformation(handle, &handleFlags));
  EXPECT_EQ(handleFlags & HANDLE_FLAG_INHERIT, 0u) << "a child started later would inherit the handle";
  close(process);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(handle, &flags));
}

TEST_P(WindowsSystemTest, ProcessByUnknownIdRaisesTheWindowsCode) {
  auto byId = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getProcessById);
  ASSERT_NE(byId, nullptr);
  // Process ids are multiples of 4 far below this one.
  EXPECT_EQ(host.call(byId, jclass{nullptr}, jint{0x7FFFFFF0}, jint{PROCESS_QUERY_INFORMATION}), nullptr);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_PARAMETER);
}

TEST_P(WindowsSystemTest, CommandLineIsTheWholeProcessCommandLine) {
  auto commandLine = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getCommandLine);
  ASSERT_NE(commandLine, nullptr);
  jstring text = host.call(commandLine, jclass{nullptr});
  EXPECT_EQ(host.str(text), u16(GetCommandLineW()));
}

TEST_P(WindowsSystemTest, ParsedArgumentsFollowCommandLineToArgvRules) {
  auto parse = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments);
  ASSERT_NE(parse, nullptr);
  wchar_t ownPath[MAX_PATH];
  GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
  struct Case {
    std::u16string commandLine;
    std::vector<std::u16string> expected;
  };
  for (const Case& c : {Case{u"prog a \"b c\" d", {u"prog", u"a", u"b c", u"d"}},
                        Case{u"prog \"\" x\\\"y \"e\\\\\"", {u"prog", u"", u"x\"y", u"e\\"}},
                        // An empty text gives the running program's path.
                        Case{u"", {u16(ownPath)}}}) {
    SCOPED_TRACE(std::string(c.commandLine.begin(), c.commandLine.end()));
    auto array = static_cast<jobjectArray>(host.call(parse, jclass{nullptr}, host.newString(c.commandLine)));
    ASSERT_NE(array, nullptr) << host.exceptionClass();
    EXPECT_EQ(host.className(array), "[Ljava/lang/String;");
    EXPECT_EQ(host.stringElements(array), c.expected);
  }
}

TEST_P(WindowsSystemTest, ManyArgumentsKeepLocalReferencesBounded) {
  auto parse = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments);
  ASSERT_NE(parse, nullptr);
  std::u16string commandLine = u"prog";
  for (int i = 0; i < 300; ++i) commandLine += u" arg";
  auto array = static_cast<jobjectArray>(host.call(parse, jclass{nullptr}, host.newString(commandLine)));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(host.objectArrayContents(array).size(), 301u);
  EXPECT_LE(host.lastCallPeakLocalRefs(), 8u);
}

TEST_P(WindowsSystemTest, NullTextRaisesNullPointer) {
  auto parse = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments);
  auto expand = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_expandEnvironmentString);
  ASSERT_TRUE(parse && expand);
  EXPECT_EQ(host.call(parse, jclass{nullptr}, jstring{nullptr}), nullptr);
  EXPECT_EQ(takeException(), "java/lang/NullPointerException");
  EXPECT_EQ(host.call(expand, jclass{nullptr}, jstring{nullptr}), nullptr);
  EXPECT_EQ(takeException(), "java/lang/NullPointerException");
}

TEST_P(WindowsSystemTest, ProcessorCountIsTheSystemCount) {
  auto count = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getProcessorCount);
  ASSERT_NE(count, nullptr);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(host.call(count, jclass{nullptr}), static_cast<jint>(info.dwNumberOfProcessors));
}

TEST_P(WindowsSystemTest, ExpansionReturnsTheWholeText) {
  auto expand = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_expandEnvironmentString);
  ASSERT_NE(expand, nullptr);
  const std::wstring longValue(200, L'v');
  ASSERT_TRUE(SetEnvironmentVariableW(L"VELARO_PROCESS_LONG", longValue.c_str()));
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  for (const Case& c : {Case{u"no references here", u"no references here"},
                        Case{u"<%VELARO_PROCESS_LONG%>", u"<" + u16(longValue) + u">"},
                        Case{u"%VELARO_PROCESS_UNSET%", u"%VELARO_PROCESS_UNSET%"}, Case{u"", u""}}) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    jstring expanded = host.call(expand, jclass{nullptr}, host.newString(c.text));
    EXPECT_EQ(host.str(expanded), c.expected);
  }
  SetEnvironmentVariableW(L"VELARO_PROCESS_LONG", nullptr);
}

// A UTF-16 environment block up to and including its closing double NUL, read
// only within the heap block that holds it.
std::u16string environmentBlock(const void* environment) {
  SIZE_T bytes = HeapSize(GetProcessHeap(), 0, environment);
  if (bytes == static_cast<SIZE_T>(-1)) {
    return u"(not a process heap block)";
  }
  auto block = static_cast<const char16_t*>(environment);
  for (SIZE_T i = 0; i + 1 < bytes / sizeof(char16_t); ++i) {
    if (block[i] == u'\0' && block[i + 1] == u'\0') {
      return std::u16string(block, i + 2);
    }
  }
  return u"(no double NUL within the block)";
}

bool handleIsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

// What a creation handed back to the library, and a handle of the test's own to
// the child, so that the test can wait for it whatever the library closed.
struct StartedChild {
  PROCESS_INFORMATION returned{};
  HANDLE child = nullptr;

  void record(const PROCESS_INFORMATION& information) {
    HarnessScope harness;
    returned = information;
    DuplicateHandle(GetCurrentProcess(), information.hProcess, GetCurrentProcess(), &child, SYNCHRONIZE, FALSE, 0);
  }
  ~StartedChild() {
    if (child != nullptr) {
      WaitForSingleObject(child, INFINITE);
      CloseHandle(child);
    }
  }
};

// Records what the library hands to CreateProcessW, then lets the real one run.
class CreateProcessRecorder {
 public:
  explicit CreateProcessRecorder(HMODULE module)
      : active_(this), patch_(module, "kernel32.dll", "CreateProcessW", &replacement) {}

  int calls = 0;
  BOOL inherit = FALSE;
  DWORD flags = 0;
  std::u16string environment;  // the block up to its double NUL, "(null)" for none
  STARTUPINFOW startup{};
  std::wstring desktop;
  std::wstring title;
  StartedChild started;

 private:
  static BOOL WINAPI replacement(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                 LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                                 LPCWSTR directory, LPSTARTUPINFOW startup, PROCESS_INFORMATION* information) {
    CreateProcessRecorder* self = intercept::ActiveInstance<CreateProcessRecorder>::get();
    {
      HarnessScope harness;
      ++self->calls;
      self->inherit = inherit;
      self->flags = flags;
      self->environment = environment != nullptr ? environmentBlock(environment) : u"(null)";
      self->startup = *startup;
      self->desktop = startup->lpDesktop != nullptr ? startup->lpDesktop : L"(null)";
      self->title = startup->lpTitle != nullptr ? startup->lpTitle : L"(null)";
    }
    BOOL created = self->patch_.previousAs<decltype(CreateProcessW)>()(application, commandLine, processAttributes,
                                                                       threadAttributes, inherit, flags, environment,
                                                                       directory, startup, information);
    if (created) {
      self->started.record(*information);
    }
    return created;
  }

  intercept::ActiveInstance<CreateProcessRecorder> active_;
  intercept::ImportPatch patch_;
};

TEST_P(WindowsSystemTest, NullStartupInfoGivesAZeroBlockAndFlagsAlwaysCarryUnicodeEnvironment) {
  STARTUPINFOW zero{};
  zero.cb = sizeof(STARTUPINFOW);
  ASSERT_EQ(zero.cb, 104u);
  for (jint flags : {0, CREATE_UNICODE_ENVIRONMENT, CREATE_NEW_PROCESS_GROUP}) {
    SCOPED_TRACE(flags);
    CreateProcessRecorder recorder(library.module);
    jobject process = startChild(L"exit 7", flags);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_EQ(recorder.flags, static_cast<DWORD>(flags) | CREATE_UNICODE_ENVIRONMENT);
    EXPECT_EQ(recorder.environment, u"(null)");
    EXPECT_EQ(std::memcmp(&recorder.startup, &zero, sizeof zero), 0);
    EXPECT_EQ(waitFor(process), 7);
    close(process);
  }
}

TEST_P(WindowsSystemTest, StartupInfoFieldsReachWindows) {
  HANDLE input = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE error = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  jobject startupInfo = newStartupInfo();
  host.setField(startupInfo, "desktop", jObj(host.newString(u"WinSta0\\Default")));
  host.setField(startupInfo, "title", jObj(host.newString(u"velaro child")));
  host.setField(startupInfo, "x", jInt(10));
  host.setField(startupInfo, "y", jInt(20));
  host.setField(startupInfo, "xCountChars", jInt(80));
  host.setField(startupInfo, "yCountChars", jInt(25));
  host.setField(startupInfo, "fillAttribute", jInt(0x1F));
  const DWORD flags = STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USECOUNTCHARS | STARTF_USEFILLATTRIBUTE;
  host.setField(startupInfo, "dwFlags", jInt(flags));
  host.setField(startupInfo, "showWindow", jShort(SW_SHOWMINNOACTIVE));
  host.setField(startupInfo, "stdInput", jObj(handleObject(input)));
  host.setField(startupInfo, "stdError", jObj(handleObject(error)));

  CreateProcessRecorder recorder(library.module);
  jobject process =
      createProcess(nullptr, host.newString(u16(childCommand(L"exit 0"))), false, 0, nullptr, nullptr, startupInfo);
  ASSERT_NE(process, nullptr) << host.exceptionClass();
  const STARTUPINFOW& s = recorder.startup;
  EXPECT_EQ(s.cb, 104u);
  EXPECT_EQ(recorder.desktop, L"WinSta0\\Default");
  EXPECT_EQ(recorder.title, L"velaro child");
  EXPECT_EQ(s.dwX, 10u);
  EXPECT_EQ(s.dwY, 20u);
  EXPECT_EQ(s.dwXSize, 0u);
  EXPECT_EQ(s.dwYSize, 0u);
  EXPECT_EQ(s.dwXCountChars, 80u);
  EXPECT_EQ(s.dwYCountChars, 25u);
  EXPECT_EQ(s.dwFillAttribute, 0x1Fu);
  EXPECT_EQ(s.dwFlags, flags);
  EXPECT_EQ(s.wShowWindow, SW_SHOWMINNOACTIVE);
  EXPECT_EQ(s.lpReserved, nullptr);
  EXPECT_EQ(s.cbReserved2, 0);
  EXPECT_EQ(s.lpReserved2, nullptr);
  EXPECT_EQ(s.hStdInput, input);
  EXPECT_EQ(s.hStdOutput, nullptr);
  EXPECT_EQ(s.hStdError, error);
  EXPECT_EQ(waitFor(process), 0);
  close(process);
  CloseHandle(input);
  CloseHandle(error);
}

// With EXTENDED_STARTUPINFO_PRESENT Windows takes the block for a STARTUPINFOEXW and
// reads its attribute list behind the STARTUPINFOW; this stand-in reads it the same
// way (it is how Wine faulted reading past a block of 104 bytes), notes the block's
// size, and refuses as for a block whose cb is not that of a STARTUPINFOEXW.
struct ExtendedBlockSeen {
  SIZE_T blockSize = 0;
  LPPROC_THREAD_ATTRIBUTE_LIST attributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(1);
  DWORD cb = 0;
};

BOOL WINAPI readsExtendedBlock(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD flags,
                               LPVOID, LPCWSTR, LPSTARTUPINFOW startup, PROCESS_INFORMATION*) {
  ExtendedBlockSeen* seen = intercept::ActiveInstance<ExtendedBlockSeen>::get();
  seen->cb = startup->cb;
  seen->blockSize = HeapSize(GetProcessHeap(), 0, startup);
  if ((flags & EXTENDED_STARTUPINFO_PRESENT) != 0 && seen->blockSize >= sizeof(STARTUPINFOEXW)) {
    seen->attributeList = reinterpret_cast<STARTUPINFOEXW*>(startup)->lpAttributeList;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

TEST_P(WindowsSystemTest, ExtendedStartupFlagFindsANullAttributeListInsideTheBlock) {
  ExtendedBlockSeen seen;
  intercept::ActiveInstance<ExtendedBlockSeen> active(&seen);
  intercept::ImportPatch patch(library.module, "kernel32.dll", "CreateProcessW", &readsExtendedBlock);
  jobject process = createProcess(nullptr, host.newString(u16(childCommand(L"exit 0"))), false,
                                  EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, newStartupInfo());
  EXPECT_EQ(process, nullptr);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(seen.cb, sizeof(STARTUPINFOW));
  EXPECT_GE(seen.blockSize, sizeof(STARTUPINFOEXW));
  EXPECT_EQ(seen.attributeList, nullptr);
}

TEST_P(WindowsSystemTest, ChildReceivesNoOutputHandleBesideThePassedOnes) {
  Pipe input(Pipe::ChildEnd::Read);
  Pipe error(Pipe::ChildEnd::Write);
  jobject startupInfo = newStartupInfo();
  const DWORD flags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  host.setField(startupInfo, "dwFlags", jInt(flags));
  host.setField(startupInfo, "showWindow", jShort(SW_HIDE));
  host.setField(startupInfo, "stdInput", jObj(handleObject(input.read)));
  host.setField(startupInfo, "stdError", jObj(handleObject(error.write)));
  jobject process =
      createProcess(nullptr, host.newString(u16(childCommand(L"handles"))), true, 0, nullptr, nullptr, startupInfo);
  ASSERT_NE(process, nullptr) << host.exceptionClass();
  std::string report = error.readAll();
  EXPECT_EQ(report, "in=1 out=0 err=1 flags=" + std::to_string(flags) + " show=" + std::to_string(SW_HIDE) + "\n");
  EXPECT_EQ(waitFor(process), 0);
  close(process);
}

TEST_P(WindowsSystemTest, CommandLineAndApplicationNameReachTheChild) {
  struct Case {
    std::wstring application;
    std::wstring commandLine;
  };
  for (const Case& c :
       {Case{L"", childCommand(L"cmdline \"two words\" x\\\"y")}, Case{childPath(), L"child cmdline"}}) {
    SCOPED_TRACE(std::string(c.commandLine.begin(), c.commandLine.end()));
    Pipe output(Pipe::ChildEnd::Write);
    jobject startupInfo = newStartupInfo();
    host.setField(startupInfo, "dwFlags", jInt(STARTF_USESTDHANDLES));
    host.setField(startupInfo, "stdOutput", jObj(handleObject(output.write)));
    jstring application = c.application.empty() ? nullptr : host.newString(u16(c.application));
    jobject process =
        createProcess(application, host.newString(u16(c.commandLine)), true, 0, nullptr, nullptr, startupInfo);
    ASSERT_NE(process, nullptr) << host.exceptionClass();
    std::vector<std::string> printed = lines(output.readAll());
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], std::string(c.commandLine.begin(), c.commandLine.end()));
    EXPECT_EQ(waitFor(process), 0);
    close(process);
  }
}

// Wine adds its own variables to every new process; Windows adds none.
bool addedByWine(const std::string& entry) {
  return entry.rfind("WINE", 0) == 0 || entry.rfind("SystemDrive=", 0) == 0 || entry.rfind("SystemRoot=", 0) == 0;
}

TEST_P(WindowsSystemTest, EnvironmentReachesTheChildExactly) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"VELARO_PROCESS_INHERITED", L"yes"));
  // With and without the closing NUL that completes the double NUL.
  for (std::u16string block : {std::u16string(u"A=1\0B=2\0", 8), std::u16string(u"A=1\0B=2", 7)}) {
    SCOPED_TRACE(block.size());
    CreateProcessRecorder recorder(library.module);
    std::vector<std::string> entries = lines(childOutput(L"env", host.newString(block)));
    EXPECT_EQ(recorder.environment, std::u16string(u"A=1\0B=2\0\0", 9));
    entries.erase(std::remove_if(entries.begin(), entries.end(), addedByWine), entries.end());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"A=1", "B=2"}));
  }
  SetEnvironmentVariableW(L"VELARO_PROCESS_INHERITED", nullptr);
}

TEST_P(WindowsSystemTest, NullEnvironmentIsInherited) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"VELARO_PROCESS_INHERITED", L"yes"));
  std::vector<std::string> entries = lines(childOutput(L"env"));
  SetEnvironmentVariableW(L"VELARO_PROCESS_INHERITED", nullptr);
  EXPECT_NE(std::find(entries.begin(), entries.end(), "VELARO_PROCESS_INHERITED=yes"), entries.end());
}

TEST_P(WindowsSystemTest, CurrentDirectoryReachesTheChild) {
  std::wstring binDirectory = childPath().substr(0, childPath().find_last_of(L"\\/"));
  wchar_t own[MAX_PATH];
  DWORD ownLength = GetCurrentDirectoryW(MAX_PATH, own);
  struct Case {
    jstring directory;
    std::wstring expected;
  };
  for (const Case& c :
       {Case{host.newString(u16(binDirectory)), binDirectory}, Case{nullptr, std::wstring(own, ownLength)}}) {
    SCOPED_TRACE(c.directory != nullptr ? "given directory" : "inherited directory");
    std::vector<std::string> printed = lines(childOutput(L"cwd", nullptr, c.directory));
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], std::string(c.expected.begin(), c.expected.end()));
  }
}

// The handle OpenProcess returned, passed on.
struct OpenedProcess {
  HANDLE handle = nullptr;
};
HANDLE WINAPI recordedOpenProcess(DWORD access, BOOL inherit, DWORD id) {
  HANDLE handle = OpenProcess(access, inherit, id);
  HarnessScope harness;
  intercept::ActiveInstance<OpenedProcess>::get()->handle = handle;
  return handle;
}

TEST_P(WindowsSystemTest, ProcessByIdClosesItsHandleWhenTheObjectCannotBeMade) {
  auto byId = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getProcessById);
  ASSERT_NE(byId, nullptr);
  OpenedProcess opened;
  intercept::ActiveInstance<OpenedProcess> active(&opened);
  intercept::ImportPatch patch(library.module, "kernel32.dll", "OpenProcess", &recordedOpenProcess);
  host.failNextPushLocalFrame();
  EXPECT_EQ(host.call(byId, jclass{nullptr}, static_cast<jint>(GetCurrentProcessId()), jint{PROCESS_QUERY_INFORMATION}),
            nullptr);
  EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  ASSERT_NE(opened.handle, nullptr);
  EXPECT_FALSE(handleIsOpen(opened.handle));
}

TEST_P(WindowsSystemTest, FailedCreationRaisesTheWindowsCode) {
  const wchar_t* missing = L"C:\\velaro\\no-such-program.exe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION information{};
  ASSERT_FALSE(CreateProcessW(missing, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &information));
  const DWORD expected = GetLastError();

  EXPECT_EQ(createProcess(host.newString(u16(missing)), host.newString(u"x"), false, 0, host.newString(u"A=1\0"),
                          host.newString(u"C:\\"), newStartupInfo()),
            nullptr);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(static_cast<DWORD>(code), expected);
}

// The fixture starts a child again only when Wine lost it (ERROR_INTERNAL_ERROR);
// any other refusal fails the test at once, so that retries cannot hide an
// intermittent fault of ours. CreateProcessW fails here as Wine's does when the
// child dies during set-up, and as Windows' does when the program may not be run.
TEST_P(WindowsSystemTest, StartReliablyRetriesOnlyAChildWineLost) {
  struct Case {
    const char* name;
    DWORD error;
    unsigned refusals;  // then CreateProcessW starts the child
    unsigned calls;
    bool started;
  };
  const Case cases[] = {
      {"lost once", ERROR_INTERNAL_ERROR, 1, 2, true},
      {"lost three times", ERROR_INTERNAL_ERROR, 3, 3, false},
      {"refused once", ERROR_ACCESS_DENIED, 1, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    intercept::Refusal<decltype(CreateProcessW)> refusal(library.module, "kernel32.dll", "CreateProcessW", c.error);
    refusal.passAfter(c.refusals);
    jobject process = nullptr;
    if (c.started) {
      process = startChild(L"exit 5");
    } else {
      EXPECT_NONFATAL_FAILURE(process = startChild(L"exit 5"),
                              "child not started: " + std::string(kCodedSystemException) + " " +
                                  std::to_string(c.error));
    }
    EXPECT_EQ(refusal.calls(), c.calls);
    ASSERT_EQ(process != nullptr, c.started);
    if (process != nullptr) {
      EXPECT_EQ(waitFor(process), 5);
      close(process);
    }
  }
}

TEST_P(WindowsSystemTest, UnallocatableBlockOrCopyStopsBeforeWindows) {
  // Allocations in order: start-up block, desktop, application, command line,
  // environment, current directory.
  for (unsigned failing = 1; failing <= 6; ++failing) {
    SCOPED_TRACE(failing);
    jobject startupInfo = newStartupInfo();
    host.setField(startupInfo, "desktop", jObj(host.newString(u"WinSta0\\Default")));
    CreateProcessRecorder recorder(library.module);
    intercept::FailHeapAlloc fault(library.module, intercept::Schedule::nth(failing));
    EXPECT_EQ(createProcess(host.newString(u16(childPath())), host.newString(u"child exit 0"), false, 0,
                            host.newString(u"A=1\0"), host.newString(u"C:\\"), startupInfo),
              nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(recorder.calls, 0);
  }
}

TEST_P(WindowsSystemTest, UngrowableEnvironmentCopyStopsBeforeWindows) {
  CreateProcessRecorder recorder(library.module);
  intercept::FailHeapReAlloc fault(library.module);
  EXPECT_EQ(createProcess(nullptr, host.newString(u16(childCommand(L"exit 0"))), false, 0, host.newString(u"A=1\0"),
                          nullptr, nullptr),
            nullptr);
  EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  EXPECT_EQ(recorder.calls, 0);
}

class IncompleteStartupInfoTest : public WindowsSystemTest {
 protected:
  IncompleteStartupInfoTest() { omittedStartupField = "stdError"; }
};

TEST_P(IncompleteStartupInfoTest, MissingFieldStopsCreation) {
  jobject startupInfo = newStartupInfo();
  host.setField(startupInfo, "desktop", jObj(host.newString(u"WinSta0\\Default")));
  host.setField(startupInfo, "title", jObj(host.newString(u"copied before the failure")));
  CreateProcessRecorder recorder(library.module);
  EXPECT_EQ(
      createProcess(nullptr, host.newString(u16(childCommand(L"exit 0"))), false, 0, nullptr, nullptr, startupInfo),
      nullptr);
  EXPECT_EQ(takeException(), "java/lang/NoSuchFieldError");
  EXPECT_EQ(recorder.calls, 0);
}

// Wine has no CreateProcessWithLogonW. The stand-in does what Windows documents for
// it: it refuses logon flags other than LOGON_WITH_PROFILE and
// LOGON_NETCREDENTIALS_ONLY and creation flags outside the documented set with
// ERROR_INVALID_PARAMETER, reads the password up to its NUL, refuses wrong
// credentials with ERROR_LOGON_FAILURE, and otherwise starts the program as
// CreateProcessW would, without inheriting handles. It records what it was given,
// and the flags are checked against what the test expects before anything starts,
// so flags swapped by the library fail at once instead of starting a debuggee.
class LogonStandIn {
 public:
  static constexpr const wchar_t* kPassword = L"s3cret";

  explicit LogonStandIn(HMODULE module)
      : active_(this), patch_(module, "advapi32.dll", "CreateProcessWithLogonW", &replacement) {}

  int calls = 0;
  std::wstring user;
  std::wstring domain;
  std::wstring password;
  DWORD logonFlags = 0;
  DWORD creationFlags = 0;
  DWORD expectedLogonFlags = LOGON_WITH_PROFILE;
  DWORD expectedCreationFlags = CREATE_UNICODE_ENVIRONMENT;
  StartedChild started;

 private:
  static BOOL WINAPI replacement(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonFlags, LPCWSTR application,
                                 LPWSTR commandLine, DWORD creationFlags, LPVOID environment, LPCWSTR directory,
                                 LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
    LogonStandIn* self = intercept::ActiveInstance<LogonStandIn>::get();
    if (user == nullptr || password == nullptr || startup == nullptr || information == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    {
      HarnessScope harness;
      ++self->calls;
      self->user = user;
      self->domain = domain != nullptr ? domain : L"(null)";
      self->password = password;
      self->logonFlags = logonFlags;
      self->creationFlags = creationFlags;
      EXPECT_EQ(logonFlags, self->expectedLogonFlags);
      EXPECT_EQ(creationFlags, self->expectedCreationFlags);
    }
    const DWORD documentedCreationFlags = CREATE_DEFAULT_ERROR_MODE | CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP |
                                          CREATE_SEPARATE_WOW_VDM | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                                          EXTENDED_STARTUPINFO_PRESENT | ABOVE_NORMAL_PRIORITY_CLASS |
                                          BELOW_NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS | IDLE_PRIORITY_CLASS |
                                          NORMAL_PRIORITY_CLASS | REALTIME_PRIORITY_CLASS;
    if ((logonFlags != LOGON_WITH_PROFILE && logonFlags != LOGON_NETCREDENTIALS_ONLY) ||
        (creationFlags & ~documentedCreationFlags) != 0 || logonFlags != self->expectedLogonFlags ||
        creationFlags != self->expectedCreationFlags) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (lstrcmpW(password, kPassword) != 0) {
      SetLastError(ERROR_LOGON_FAILURE);
      return FALSE;
    }
    BOOL created = CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, creationFlags, environment,
                                  directory, startup, information);
    if (created) {
      self->started.record(*information);
    }
    return created;
  }

  intercept::ActiveInstance<LogonStandIn> active_;
  intercept::ImportPatch patch_;
};

class LogonCreationTest : public ProcessTest {
 protected:
  jobject createWithLogon(jcharArray password, jstring domain = nullptr, jint flags = 0) {
    auto create = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_CreateProcessWithLogon);
    if (create == nullptr) return nullptr;
    return host.call(create, jclass{nullptr}, host.newString(u"tester"), domain, password, jint{LOGON_WITH_PROFILE},
                     jstring{nullptr}, host.newString(u16(childCommand(L"exit 11"))), flags, jstring{nullptr},
                     jstring{nullptr}, jobject{nullptr});
  }

  jcharArray passwordArray(const std::u16string& chars) { return passwordcontract::passwordArray(host, chars); }
  std::u16string contents(jcharArray array) { return passwordcontract::contents(host, array); }
};

TEST_P(LogonCreationTest, StartsTheProgramAndZeroesTheJvmCopyOfThePassword) {
  LogonStandIn standIn(library.module);
  standIn.expectedCreationFlags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
  const std::u16string password(u"s3cret\0", 7);
  jcharArray array = passwordArray(password);
  jobject process = createWithLogon(array, host.newString(u"WORKGROUP"), CREATE_NEW_PROCESS_GROUP);
  ASSERT_NE(process, nullptr) << host.exceptionClass();
  EXPECT_EQ(standIn.calls, 1);
  EXPECT_EQ(standIn.user, L"tester");
  EXPECT_EQ(standIn.domain, L"WORKGROUP");
  EXPECT_EQ(standIn.password, LogonStandIn::kPassword);
  EXPECT_EQ(standIn.logonFlags, static_cast<DWORD>(LOGON_WITH_PROFILE));
  EXPECT_EQ(standIn.creationFlags, static_cast<DWORD>(CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT));
  EXPECT_EQ(host.lastReleasedCopy().size(), password.size() * sizeof(jchar));
  EXPECT_TRUE(passwordcontract::allZero(host.lastReleasedCopy()));
  EXPECT_EQ(contents(array), password);
  EXPECT_EQ(waitFor(process), 11);
  close(process);
}

TEST_P(LogonCreationTest, RefusedPasswordsLeaveOnlyZerosInTheJvmCopy) {
  passwordcontract::expectPasswordsRefused<LogonStandIn>(
      host, library.module, [&](jcharArray password) { return createWithLogon(password); },
      [](const LogonStandIn& standIn) { EXPECT_EQ(standIn.started.child, nullptr); });
}

// The new thread's handle is never kept, whichever native created the process; when
// the WindowsProcess cannot be made (here: no local frame for it), the process
// handle goes too.
TEST_P(LogonCreationTest, ThreadHandleIsClosedAndAFailedWrapClosesBoth) {
  for (bool withLogon : {false, true}) {
    for (bool wrapFails : {false, true}) {
      SCOPED_TRACE(std::string(withLogon ? "CreateProcessWithLogon" : "CreateProcess") +
                   (wrapFails ? ", no frame for the object" : ""));
      CreateProcessRecorder recorder(library.module);
      LogonStandIn standIn(library.module);
      if (wrapFails) {
        host.failNextPushLocalFrame();
      }
      jobject process =
          withLogon ? createWithLogon(passwordArray(std::u16string(u"s3cret\0", 7)))
                    : createProcess(nullptr, host.newString(u16(childCommand(L"exit 11"))), false, 0, nullptr, nullptr,
                                    nullptr);
      const StartedChild& started = withLogon ? standIn.started : recorder.started;
      ASSERT_EQ(withLogon ? standIn.calls : recorder.calls, 1);
      ASSERT_EQ(withLogon ? recorder.calls : standIn.calls, 0);
      ASSERT_NE(started.child, nullptr);
      EXPECT_FALSE(handleIsOpen(started.returned.hThread));
      if (wrapFails) {
        EXPECT_EQ(process, nullptr);
        EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
        EXPECT_FALSE(handleIsOpen(started.returned.hProcess));
      } else {
        ASSERT_NE(process, nullptr);
        EXPECT_EQ(handleOf(process), started.returned.hProcess);
        EXPECT_EQ(waitFor(process), 11);
        close(process);
      }
    }
  }
}

TEST_P(LogonCreationTest, ArrayHandedOutInPlaceStaysUnchanged) {
  LogonStandIn standIn(library.module);
  host.setCopyElements(false);
  const std::u16string password(u"s3cret\0", 7);
  jcharArray array = passwordArray(password);
  jobject process = createWithLogon(array);
  ASSERT_NE(process, nullptr) << host.exceptionClass();
  EXPECT_EQ(standIn.password, LogonStandIn::kPassword);
  EXPECT_EQ(contents(array), password);
  EXPECT_EQ(waitFor(process), 11);
  close(process);
}

const auto kBridges = testing::Values(L"fullbridge.dll", L"corebridge.dll");
INSTANTIATE_TEST_SUITE_P(Bridges, WindowsSystemTest, kBridges);
INSTANTIATE_TEST_SUITE_P(Bridges, IncompleteStartupInfoTest, kBridges);
INSTANTIATE_TEST_SUITE_P(Bridges, LogonCreationTest, kBridges);

}  // namespace
}  // namespace processtest
