#include "ui_test.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>

namespace uitest {

using jnihost::Host;
using jnihost::jVoid;

const char* const kUiNatives[16] = {
    "Java_com_corvantis_windows_ui_WindowsUISupport_openInputDesktop",
    "Java_com_corvantis_windows_ui_WindowsUISupport_getCurrentThreadDesktop",
    "Java_com_corvantis_windows_ui_WindowsUISupport_createDesktop",
    "Java_com_corvantis_windows_ui_WindowsUISupport_getProcessWindowStation",
    "Java_com_corvantis_windows_ui_WindowsUISupport_getWindowStations",
    "Java_com_corvantis_windows_ui_WindowsUISupport_openWindowStation",
    "Java_com_corvantis_windows_ui_WindowsUISupport_getDisplayDevice",
    "Java_com_corvantis_windows_ui_WindowsUISupport_changeDisplaySettings__Lcom_corvantis_windows_ui_devicecontext_"
    "DeviceMode_2I",
    "Java_com_corvantis_windows_ui_WindowsUISupport_changeDisplaySettings__Ljava_lang_String_2Lcom_corvantis_windows_"
    "ui_devicecontext_DeviceMode_2I",
    "Java_com_corvantis_windows_ui_Desktop_close",
    "Java_com_corvantis_windows_ui_Desktop_switchDesktop",
    "Java_com_corvantis_windows_ui_Desktop_setThreadDesktop",
    "Java_com_corvantis_windows_ui_WindowStation_close",
    "Java_com_corvantis_windows_ui_WindowStation_getDesktops",
    "Java_com_corvantis_windows_ui_AbstractUserInterfaceContainerObject_getUserInformation",
    "Java_com_corvantis_windows_ui_AbstractUserInterfaceContainerObject_clearDacl",
};

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

StdoutCapture::StdoutCapture() {
  wchar_t folder[MAX_PATH];
  wchar_t file[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"out", 0, file);
  path_ = file;
  fflush(stdout);
  // Text mode, as standard output starts: wide output reaches it as ANSI text.
  file_ = _wopen(path_.c_str(), _O_RDWR | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  saved_ = _dup(1);
  redirected_ = file_ >= 0 && saved_ >= 0 && _dup2(file_, 1) == 0;
  if (!redirected_) {
    ADD_FAILURE() << "cannot redirect standard output";
  }
}

std::string StdoutCapture::finish() {
  fflush(stdout);
  if (redirected_) {
    _dup2(saved_, 1);
    redirected_ = false;
  }
  return written();
}

StdoutCapture::~StdoutCapture() {
  finish();
  if (saved_ >= 0) {
    _close(saved_);
  }
  if (file_ >= 0) {
    _close(file_);
  }
  DeleteFileW(path_.c_str());
}

std::string StdoutCapture::written() const {
  HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  std::string text;
  if (file == INVALID_HANDLE_VALUE) {
    return text;
  }
  char chunk[512];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    text.append(chunk, read);
  }
  CloseHandle(file);
  return text;
}

std::vector<BYTE> rawInformation(HANDLE object, int index) {
  DWORD needed = 0;
  GetUserObjectInformationW(object, index, nullptr, 0, &needed);
  std::vector<BYTE> data(needed);
  if (needed == 0 || !GetUserObjectInformationW(object, index, data.data(), needed, &needed)) {
    data.clear();
  }
  return data;
}

std::wstring rawName(HANDLE object) {
  std::vector<BYTE> data = rawInformation(object, UOI_NAME);
  return data.empty() ? std::wstring() : std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

bool isOpen(HANDLE object) {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  return GetUserObjectInformationW(object, UOI_FLAGS, &flags, sizeof(flags), &needed) != FALSE;
}

void UiTest::SetUp() {
  DeliverableTest::SetUp();
  if (HasFatalFailure()) {
    return;
  }
  // The classes as the Java sources declare them.
  auto storeHandleAndName = [](Host& h, jobject self, const jvalue* args) {
    h.setField(self, "_handle", args[0]);
    h.setField(self, "_name", jnihost::jObj(args[1].l));
    return jVoid();
  };
  host.defineClass(kUiSupport);
  host.defineClass(kContainer, testsupport::kWindowsHandle)
      .field("_name", "Ljava/lang/String;")
      .constructor("(JLjava/lang/String;)V", storeHandleAndName);
  host.defineClass(kDesktop, kContainer).constructor("(JLjava/lang/String;)V", storeHandleAndName);
  host.defineClass(kWindowStation, kContainer).constructor("(JLjava/lang/String;)V", storeHandleAndName);
  host.defineClass(kDisplayDevice)
      .field("_device_name", "Ljava/lang/String;")
      .field("_device_string", "Ljava/lang/String;")
      .field("_state_flags", "I")
      .constructor("()V");
  host.defineClass(kDeviceMode)
      .field("_fields", "I")
      .field("_bitsPerPel", "I")
      .field("_pelsWidth", "I")
      .field("_pelsHeight", "I")
      .field("_displayFlags", "I")
      .field("_displayFrequency", "I")
      .constructor("()V")
      .constructor("(II)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_pelsWidth", args[0]);
        h.setField(self, "_pelsHeight", args[1]);
        h.setField(self, "_fields", jnihost::jInt(DM_PELSWIDTH | DM_PELSHEIGHT));
        return jVoid();
      });
  uiSupport = host.findClass(kUiSupport);
}

void UiTest::TearDown() {
  for (HDESK desktop : ownDesktops) {
    CloseDesktop(desktop);
  }
  DeliverableTest::TearDown();
}

jobject UiTest::containerObject(const char* cls, HANDLE handle, jstring name) {
  return host.newObject(cls, "(JLjava/lang/String;)V",
                        {jnihost::jLong(reinterpret_cast<jlong>(handle)), jnihost::jObj(name)});
}

std::wstring UiTest::uniqueName(const std::wstring& suffix) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->name()) + "_" + std::to_string(GetCurrentProcessId());
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  return std::wstring(name.begin(), name.end()) + suffix;
}

HDESK UiTest::rawDesktop(const std::wstring& name, ACCESS_MASK access) {
  HDESK desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, access, nullptr);
  EXPECT_NE(desktop, nullptr) << "CreateDesktopW error " << GetLastError();
  if (desktop != nullptr) {
    ownDesktops.push_back(desktop);
  }
  return desktop;
}

}  // namespace uitest
