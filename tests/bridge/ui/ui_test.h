// Shared ground of the window-station, desktop and display tests: the natives of
// fullbridge, the subsystem's Java classes in the JNI host, and helpers that look
// at desktops and window stations through Windows directly.
#pragma once

#include <com_corvantis_windows_ui_AbstractUserInterfaceContainerObject.h>
#include <com_corvantis_windows_ui_Desktop.h>
#include <com_corvantis_windows_ui_WindowStation.h>
#include <com_corvantis_windows_ui_WindowsUISupport.h>

#include <string>
#include <vector>

#include "bridge_test.h"
#include "harness_scope.h"
#include "import_patch.h"

namespace uitest {

constexpr const char* kUiSupport = "com/corvantis/windows/ui/WindowsUISupport";
constexpr const char* kContainer = "com/corvantis/windows/ui/AbstractUserInterfaceContainerObject";
constexpr const char* kDesktop = "com/corvantis/windows/ui/Desktop";
constexpr const char* kWindowStation = "com/corvantis/windows/ui/WindowStation";
constexpr const char* kDisplayDevice = "com/corvantis/windows/ui/devicecontext/DisplayDevice";
constexpr const char* kDeviceMode = "com/corvantis/windows/ui/devicecontext/DeviceMode";

// The export of the library under test with the signature javac generated.
#define UI_NATIVE(name) exported<decltype(&name)>(#name)

// Every native of the subsystem, by its exported name.
extern const char* const kUiNatives[16];

std::u16string u16(const std::wstring& text);
std::wstring wide(const std::u16string& text);

// Text written to the C runtime's standard output (shared with the DLL under
// test) until finish(), kept in a temporary file. Test failures reported in
// between land there too, so checks belong after finish().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  // Everything that reached the file so far; buffered text is not flushed first.
  std::string written() const;
  // Gives standard output back and returns everything written to it.
  std::string finish();

 private:
  std::wstring path_;
  int file_ = -1;
  int saved_ = -1;
  bool redirected_ = false;
};

// A user object's information as Windows gives it; empty when refused.
std::vector<BYTE> rawInformation(HANDLE object, int index);
// UOI_NAME of a desktop or window station, without its NUL.
std::wstring rawName(HANDLE object);
// True while the handle still names a desktop or window station.
bool isOpen(HANDLE object);

class UiTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Desktop or WindowStation made by test code; the test still owns the handle.
  jobject containerObject(const char* cls, HANDLE handle, jstring name = nullptr);
  HANDLE handleOf(jobject object) { return reinterpret_cast<HANDLE>(host.field(object, "_handle").j); }
  jobject nameOf(jobject object) { return host.field(object, "_name").l; }
  jstring str(const std::wstring& text) { return host.newString(u16(text)); }

  // A desktop name no other test uses: the test's name plus a suffix.
  std::wstring uniqueName(const std::wstring& suffix = L"");
  // A desktop made with Windows directly, closed at tear-down.
  HDESK rawDesktop(const std::wstring& name, ACCESS_MASK access = GENERIC_ALL);

  jclass uiSupport = nullptr;
  std::vector<HDESK> ownDesktops;
};

}  // namespace uitest
