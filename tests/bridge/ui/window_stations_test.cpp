// Opening, creating, enumerating, switching and closing desktops and window
// stations against Wine's, with stand-ins only where Wine cannot refuse.
#include <functional>

#include "host_state.h"
#include "refusal.h"
#include "ui_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using intercept::Refusal;
using testsupport::HarnessScope;
using uitest::isOpen;
using uitest::kDesktop;
using uitest::kWindowStation;
using uitest::rawName;
using uitest::StdoutCapture;

constexpr jint kGenericAll = GENERIC_ALL;
constexpr jint kStationAllAccess = WINSTA_ALL_ACCESS;

// Every CloseDesktop and CloseWindowStation the DLL makes, passed on to Windows.
struct CloseLog {
  std::vector<std::pair<HANDLE, BOOL>> calls;
  void add(HANDLE handle, BOOL result) {
    HarnessScope harness;
    calls.emplace_back(handle, result);
  }
};
BOOL WINAPI loggedCloseDesktop(HDESK desktop) {
  BOOL result = CloseDesktop(desktop);
  ActiveInstance<CloseLog>::get()->add(desktop, result);
  return result;
}
BOOL WINAPI loggedCloseWindowStation(HWINSTA station) {
  BOOL result = CloseWindowStation(station);
  ActiveInstance<CloseLog>::get()->add(station, result);
  return result;
}

// CreateDesktopW passed on to Windows, noting what standard output held when it
// was called and the arguments it got.
struct CreateLog {
  const StdoutCapture* capture = nullptr;
  std::vector<std::string> outputAtCall;
  std::vector<std::pair<DWORD, ACCESS_MASK>> flagsAndAccess;
};
HDESK WINAPI tracedCreateDesktop(LPCWSTR name, LPCWSTR device, DEVMODEW* mode, DWORD flags, ACCESS_MASK access,
                                 LPSECURITY_ATTRIBUTES security) {
  {
    HarnessScope harness;
    CreateLog* log = ActiveInstance<CreateLog>::get();
    log->outputAtCall.push_back(log->capture->written());
    log->flagsAndAccess.emplace_back(flags, access);
  }
  return CreateDesktopW(name, device, mode, flags, access, security);
}

// The enumeration as Windows documents it: the callback's answer (here, with no
// window station to call it for, TRUE).
BOOL WINAPI emptyEnumWindowStations(WINSTAENUMPROCW, LPARAM) { return TRUE; }

// Names Windows enumerates, read directly.
BOOL CALLBACK collectRaw(LPWSTR name, LPARAM names) {
  reinterpret_cast<std::vector<std::u16string>*>(names)->push_back(uitest::u16(name));
  return TRUE;
}

class WindowStationsTest : public uitest::UiTest {
 protected:
  jobject openInputDesktop() {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_openInputDesktop), uiSupport, jint{0},
                     jboolean{JNI_FALSE}, kGenericAll);
  }
  jobject threadDesktop() {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getCurrentThreadDesktop), uiSupport);
  }
  jobject processStation() {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getProcessWindowStation), uiSupport);
  }
  jobject createDesktop(jstring name, jint flags = 0, jint access = kGenericAll) {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_createDesktop), uiSupport, name, flags,
                     access);
  }
  jobject openStation(jstring name, bool inherit = false, jint access = kStationAllAccess) {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_openWindowStation), uiSupport, name,
                     static_cast<jboolean>(inherit ? JNI_TRUE : JNI_FALSE), access);
  }
  jobject windowStations() {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getWindowStations), uiSupport);
  }
  jobject desktopsOf(jobject station) {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowStation_getDesktops), station);
  }
  void closeDesktop(jobject desktop) { host.call(UI_NATIVE(Java_com_corvantis_windows_ui_Desktop_close), desktop); }
  void closeStation(jobject station) {
    host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowStation_close), station);
  }
};

TEST_P(WindowStationsTest, UnnamedOpenersGiveObjectsWithNullName) {
  jobject input = openInputDesktop();
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(host.className(input), kDesktop);
  EXPECT_EQ(nameOf(input), nullptr);
  EXPECT_EQ(rawName(handleOf(input)), L"Default");
  closeDesktop(input);
  EXPECT_FALSE(host.exceptionPending());

  jobject own = threadDesktop();
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(host.className(own), kDesktop);
  EXPECT_EQ(handleOf(own), GetThreadDesktop(GetCurrentThreadId()));
  EXPECT_EQ(nameOf(own), nullptr);

  jobject station = processStation();
  ASSERT_NE(station, nullptr);
  EXPECT_EQ(host.className(station), kWindowStation);
  EXPECT_EQ(handleOf(station), GetProcessWindowStation());
  EXPECT_EQ(nameOf(station), nullptr);
}

// Windows documents a null handle, with the reason in the last error, for each of
// these; OpenInputDesktop is refused that way, for instance, to a process outside
// the interactive session. Wine always hands them out.
TEST_P(WindowStationsTest, UnnamedOpenerRefusedRaisesItsError) {
  struct Case {
    const char* import;
    std::function<jobject()> openRefused;
    DWORD code;
  };
  const Case cases[] = {
      {"OpenInputDesktop",
       [&] {
         Refusal<decltype(OpenInputDesktop)> refusal(library.module, "user32.dll", "OpenInputDesktop",
                                                     ERROR_ACCESS_DENIED);
         return openInputDesktop();
       },
       ERROR_ACCESS_DENIED},
      {"GetThreadDesktop",
       [&] {
         Refusal<decltype(GetThreadDesktop)> refusal(library.module, "user32.dll", "GetThreadDesktop",
                                                     ERROR_INVALID_PARAMETER);
         return threadDesktop();
       },
       ERROR_INVALID_PARAMETER},
      {"GetProcessWindowStation",
       [&] {
         Refusal<decltype(GetProcessWindowStation)> refusal(library.module, "user32.dll", "GetProcessWindowStation",
                                                            ERROR_NOT_ENOUGH_MEMORY);
         return processStation();
       },
       ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.import);
    EXPECT_EQ(c.openRefused(), nullptr);
    expectCoded(c.code);
  }
}

TEST_P(WindowStationsTest, OwnedHandleIsClosedWhenItsObjectCannotBeMade) {
  std::wstring name = uniqueName();
  struct Case {
    const char* what;
    std::function<jobject()> open;
    bool owned;
  };
  const Case cases[] = {
      {"openInputDesktop", [&] { return openInputDesktop(); }, true},
      {"createDesktop",
       [&] {
         StdoutCapture quiet;
         return createDesktop(str(name));
       },
       true},
      {"openWindowStation", [&] { return openStation(str(L"WinSta0")); }, true},
      // Windows' own handles, which must never be closed.
      {"getCurrentThreadDesktop", [&] { return threadDesktop(); }, false},
      {"getProcessWindowStation", [&] { return processStation(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CloseLog log;
    ActiveInstance<CloseLog> active(&log);
    ImportPatch closeDesk(library.module, "user32.dll", "CloseDesktop", loggedCloseDesktop);
    ImportPatch closeStation(library.module, "user32.dll", "CloseWindowStation", loggedCloseWindowStation);
    host.failNextPushLocalFrame();
    EXPECT_EQ(c.open(), nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
    if (c.owned) {
      ASSERT_EQ(log.calls.size(), 1u);
      EXPECT_TRUE(log.calls[0].second);
    } else {
      EXPECT_TRUE(log.calls.empty());
    }
  }
  EXPECT_TRUE(isOpen(GetThreadDesktop(GetCurrentThreadId())));
  EXPECT_TRUE(isOpen(GetProcessWindowStation()));
}

// Calls createDesktop with standard output captured; what was written, also as
// it stood when CreateDesktopW was called, and the arguments that call got.
struct TracedCreate {
  jobject desktop = nullptr;
  std::string output;
  CreateLog log;
};

class CreateDesktopTest : public WindowStationsTest {
 protected:
  TracedCreate tracedCreate(jstring name, jint flags = 0, jint access = kGenericAll) {
    TracedCreate traced;
    StdoutCapture capture;
    traced.log.capture = &capture;
    {
      ActiveInstance<CreateLog> active(&traced.log);
      ImportPatch patch(library.module, "user32.dll", "CreateDesktopW", tracedCreateDesktop);
      traced.desktop = createDesktop(name, flags, access);
    }
    traced.output = capture.finish();
    traced.log.capture = nullptr;
    return traced;
  }
};

TEST_P(CreateDesktopTest, TracesTheNameBeforeAskingWindows) {
  const std::wstring name = uniqueName();
  jstring javaName = str(name);
  TracedCreate first = tracedCreate(javaName, DF_ALLOWOTHERACCOUNTHOOK, kGenericAll);
  ASSERT_NE(first.desktop, nullptr);
  const std::string expected = "Creating new desktop: " + std::string(name.begin(), name.end());
  EXPECT_EQ(first.output, expected);
  EXPECT_EQ(first.log.outputAtCall, std::vector<std::string>{expected});
  EXPECT_EQ(first.log.flagsAndAccess,
            (std::vector<std::pair<DWORD, ACCESS_MASK>>{{DF_ALLOWOTHERACCOUNTHOOK, GENERIC_ALL}}));

  // The very string object the caller passed, and a desktop Windows knows by it.
  EXPECT_EQ(host.className(first.desktop), kDesktop);
  EXPECT_TRUE(host.isSameObject(nameOf(first.desktop), javaName));
  EXPECT_EQ(rawName(handleOf(first.desktop)), name);
  closeDesktop(first.desktop);
  EXPECT_FALSE(host.exceptionPending());

  // Without a line end, successive traces run on in one line.
  std::string both;
  {
    StdoutCapture capture;
    jobject a = createDesktop(javaName);
    jobject b = createDesktop(javaName);
    both = capture.finish();
    closeDesktop(a);
    closeDesktop(b);
  }
  EXPECT_EQ(both, expected + expected);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(CreateDesktopTest, RefusedDesktopIsTracedToo) {
  struct Case {
    const wchar_t* name;  // null: a null Java string
    const char* trace;
    DWORD code;
  };
  const Case cases[] = {
      {L"Bad\\Name", "Creating new desktop: Bad\\Name", ERROR_BAD_PATHNAME},
      {nullptr, "Creating new desktop: (null)", ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    TracedCreate traced = tracedCreate(c.name != nullptr ? str(c.name) : nullptr);
    EXPECT_EQ(traced.desktop, nullptr);
    expectCoded(c.code);
    EXPECT_EQ(traced.output, c.trace);
    EXPECT_EQ(traced.log.outputAtCall, std::vector<std::string>{c.trace});
  }
}

INSTANTIATE_TEST_SUITE_P(Full, CreateDesktopTest, testing::Values(L"fullbridge.dll"));

TEST_P(WindowStationsTest, OpenWindowStationKeepsTheCallersNameAndFlags) {
  jstring name = str(L"WinSta0");
  jobject station = openStation(name, true, kStationAllAccess);
  ASSERT_NE(station, nullptr);
  EXPECT_EQ(host.className(station), kWindowStation);
  EXPECT_TRUE(host.isSameObject(nameOf(station), name));
  HANDLE handle = handleOf(station);
  EXPECT_EQ(rawName(handle), L"WinSta0");
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(handle, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, DWORD{HANDLE_FLAG_INHERIT});
  closeStation(station);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_FALSE(isOpen(handle));

  EXPECT_EQ(openStation(str(L"NoSuchWindowStation")), nullptr);
  expectCoded(ERROR_FILE_NOT_FOUND);
}

TEST_P(WindowStationsTest, EnumerationsListWhatWindowsReports) {
  std::vector<std::u16string> stations;
  ASSERT_TRUE(EnumWindowStationsW(collectRaw, reinterpret_cast<LPARAM>(&stations)));
  jobject list = windowStations();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(host.className(list), "java/util/ArrayList");
  EXPECT_EQ(host.stringElements(list), stations);
  EXPECT_NE(std::find(stations.begin(), stations.end(), u"WinSta0"), stations.end());

  rawDesktop(uniqueName());
  std::vector<std::u16string> desktops;
  HWINSTA raw = OpenWindowStationW(L"WinSta0", FALSE, WINSTA_ALL_ACCESS);
  ASSERT_TRUE(EnumDesktopsW(raw, collectRaw, reinterpret_cast<LPARAM>(&desktops)));
  jobject station = containerObject(kWindowStation, raw);
  jobject names = desktopsOf(station);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(host.stringElements(names), desktops);
  EXPECT_GE(desktops.size(), 2u);
  EXPECT_FALSE(host.exceptionPending());
  CloseWindowStation(raw);
}

TEST_P(WindowStationsTest, EmptyEnumerationsGiveEmptyLists) {
  // A window station of our own has no desktops yet.
  HWINSTA fresh = CreateWindowStationW(uniqueName().c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_NE(fresh, nullptr);
  jobject names = desktopsOf(containerObject(kWindowStation, fresh));
  ASSERT_NE(names, nullptr);
  EXPECT_TRUE(host.stringElements(names).empty());
  EXPECT_FALSE(host.exceptionPending());
  CloseWindowStation(fresh);

  ImportPatch patch(library.module, "user32.dll", "EnumWindowStationsW", emptyEnumWindowStations);
  jobject stations = windowStations();
  ASSERT_NE(stations, nullptr);
  EXPECT_TRUE(host.stringElements(stations).empty());
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(WindowStationsTest, RefusedEnumerationRaisesItsErrorWithTheList) {
  // Wine checks WINSTA_ENUMDESKTOPS, as Windows does.
  HWINSTA limited = OpenWindowStationW(L"WinSta0", FALSE, WINSTA_READATTRIBUTES);
  ASSERT_NE(limited, nullptr);
  EXPECT_NE(desktopsOf(containerObject(kWindowStation, limited)), nullptr);
  expectCoded(ERROR_ACCESS_DENIED);
  CloseWindowStation(limited);

  // Zero with the last error set, as Windows answers when the enumeration itself cannot be made.
  Refusal<decltype(EnumWindowStationsW)> refusal(library.module, "user32.dll", "EnumWindowStationsW",
                                                 ERROR_ACCESS_DENIED);
  jobject stations = windowStations();
  ASSERT_NE(stations, nullptr);
  EXPECT_TRUE(host.stringElements(stations).empty());
  expectCoded(ERROR_ACCESS_DENIED);
}

TEST_P(WindowStationsTest, JavaExceptionInTheCallbackStopsTheEnumeration) {
  // The list refuses every element; Windows gets FALSE from the first callback.
  int adds = 0;
  jnihost::ClassBuilder(host, host.state().classes.at("java/util/ArrayList").get())
      .method("add", "(Ljava/lang/Object;)Z", [&adds](jnihost::Host& h, jobject, const jvalue*) {
        ++adds;
        h.throwNew("java/lang/IllegalStateException", u"full");
        return jnihost::jBool(false);
      });
  EXPECT_NE(windowStations(), nullptr);
  EXPECT_EQ(takeException(), "java/lang/IllegalStateException");
  EXPECT_EQ(adds, 1);

  HWINSTA raw = OpenWindowStationW(L"WinSta0", FALSE, WINSTA_ALL_ACCESS);
  EXPECT_NE(desktopsOf(containerObject(kWindowStation, raw)), nullptr);
  EXPECT_EQ(takeException(), "java/lang/IllegalStateException");
  EXPECT_EQ(adds, 2);
  CloseWindowStation(raw);
}

TEST_P(WindowStationsTest, ClosesLeaveTheFieldAndSkipZero) {
  CloseLog log;
  ActiveInstance<CloseLog> active(&log);
  ImportPatch closeDesk(library.module, "user32.dll", "CloseDesktop", loggedCloseDesktop);
  ImportPatch closeStationPatch(library.module, "user32.dll", "CloseWindowStation", loggedCloseWindowStation);

  closeDesktop(containerObject(kDesktop, nullptr));
  closeStation(containerObject(kWindowStation, nullptr));
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_TRUE(log.calls.empty());

  HDESK desktop = CreateDesktopW(uniqueName().c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  HWINSTA station = OpenWindowStationW(L"WinSta0", FALSE, WINSTA_ALL_ACCESS);
  jobject desktopObject = containerObject(kDesktop, desktop);
  jobject stationObject = containerObject(kWindowStation, station);
  closeDesktop(desktopObject);
  closeStation(stationObject);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(handleOf(desktopObject), desktop);
  EXPECT_EQ(handleOf(stationObject), station);
  EXPECT_FALSE(isOpen(desktop));
  EXPECT_FALSE(isOpen(station));
  EXPECT_EQ(log.calls.size(), 2u);
}

TEST_P(WindowStationsTest, RefusedCloseRaisesItsError) {
  // Windows keeps the calling thread's desktop and the process's window station open.
  closeDesktop(threadDesktop());
  expectCoded(ERROR_BUSY);
  closeStation(processStation());
  expectCoded(ERROR_ACCESS_DENIED);
  EXPECT_TRUE(isOpen(GetThreadDesktop(GetCurrentThreadId())));
  EXPECT_TRUE(isOpen(GetProcessWindowStation()));
}

TEST_P(WindowStationsTest, SwitchAndSetThreadDesktop) {
  auto switchDesktop = UI_NATIVE(Java_com_corvantis_windows_ui_Desktop_switchDesktop);
  auto setThreadDesktop = UI_NATIVE(Java_com_corvantis_windows_ui_Desktop_setThreadDesktop);
  HDESK original = GetThreadDesktop(GetCurrentThreadId());
  HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_SWITCHDESKTOP);
  ASSERT_NE(input, nullptr);
  HDESK desktop = rawDesktop(uniqueName());
  jobject object = containerObject(kDesktop, desktop);

  host.call(switchDesktop, object);
  EXPECT_FALSE(host.exceptionPending());
  // Wine accepts the switch without changing the input desktop; the session's
  // input desktop goes back anyway before this test's desktop is closed.
  EXPECT_TRUE(SwitchDesktop(input));
  CloseDesktop(input);
  host.call(setThreadDesktop, object);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), desktop);
  ASSERT_TRUE(SetThreadDesktop(original));

  // A handle of 0 goes to Windows, which refuses it.
  host.call(setThreadDesktop, containerObject(kDesktop, nullptr));
  expectCoded(ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), original);

  // Windows refuses the switch with ERROR_ACCESS_DENIED when, for instance, the
  // secure desktop is active; Wine always switches.
  Refusal<decltype(SwitchDesktop)> refusal(library.module, "user32.dll", "SwitchDesktop", ERROR_ACCESS_DENIED);
  host.call(switchDesktop, object);
  expectCoded(ERROR_ACCESS_DENIED);
}

INSTANTIATE_TEST_SUITE_P(Full, WindowStationsTest, testing::Values(L"fullbridge.dll"));

}  // namespace
