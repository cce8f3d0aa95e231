// Display devices and display modes against Wine's virtual display, with
// stand-ins for the answers Wine never gives.
#include <cstring>
#include <optional>

#include "heap_faults.h"
#include "ui_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::FailHeapAlloc;
using intercept::ImportPatch;
using testsupport::HarnessScope;
using uitest::kDeviceMode;
using uitest::kDisplayDevice;

constexpr const char* kNullPointer = "java/lang/NullPointerException";
constexpr jint kTest = CDS_TEST;

// One display device as a stand-in reports it.
struct DeviceRecord {
  std::wstring name;
  std::wstring description;
  bool nameTerminated;
  bool descriptionTerminated;
  DWORD stateFlags;
};
// The record to answer with, and the request the DLL made.
struct DeviceAnswer {
  DeviceRecord record;
  bool requestZeroed = false;
  std::optional<std::wstring> device;
  DWORD devNum = 0;
  DWORD flags = 0;
};
// EnumDisplayDevicesW filling the record as Windows does, except that a text may
// fill its whole field without a NUL (the record comes from the display driver).
BOOL WINAPI answeredEnumDisplayDevices(LPCWSTR device, DWORD devNum, PDISPLAY_DEVICEW record, DWORD flags) {
  HarnessScope harness;
  DeviceAnswer* answer = ActiveInstance<DeviceAnswer>::get();
  DISPLAY_DEVICEW expected{};
  expected.cb = sizeof(DISPLAY_DEVICEW);
  answer->requestZeroed = record->cb == 840 && std::memcmp(record, &expected, sizeof(expected)) == 0;
  answer->device = device != nullptr ? std::optional<std::wstring>(device) : std::nullopt;
  answer->devNum = devNum;
  answer->flags = flags;
  auto fill = [](WCHAR* field, size_t capacity, const std::wstring& text, bool terminated) {
    std::fill(field, field + capacity, L'#');
    std::copy(text.begin(), text.end(), field);
    if (terminated) {
      field[text.size()] = L'\0';
    }
  };
  const DeviceRecord& given = answer->record;
  fill(record->DeviceName, ARRAYSIZE(record->DeviceName), given.name, given.nameTerminated);
  fill(record->DeviceString, ARRAYSIZE(record->DeviceString), given.description, given.descriptionTerminated);
  record->StateFlags = given.stateFlags;
  return TRUE;
}

// The modes and devices the DLL hands to the display-settings functions. With no
// answer set the call goes on to Windows.
struct ModeLog {
  std::vector<DEVMODEW> modes;
  std::vector<std::optional<std::wstring>> devices;
  std::vector<DWORD> flags;
  std::optional<LONG> answer;

  LONG record(LPCWSTR device, const DEVMODEW* mode, DWORD flag) {
    HarnessScope harness;
    modes.push_back(*mode);
    devices.push_back(device != nullptr ? std::optional<std::wstring>(device) : std::nullopt);
    flags.push_back(flag);
    return answer.value_or(DISP_CHANGE_SUCCESSFUL);
  }
};
// DISP_CHANGE_RESTART and the failures as Windows reports them for modes that
// need a restart or that the driver refuses; Wine's virtual display takes them all.
LONG WINAPI loggedChangeDisplaySettings(DEVMODEW* mode, DWORD flags) {
  ModeLog* log = ActiveInstance<ModeLog>::get();
  LONG answer = log->record(nullptr, mode, flags);
  return log->answer ? answer : ChangeDisplaySettingsW(mode, flags);
}
LONG WINAPI loggedChangeDisplaySettingsEx(LPCWSTR device, DEVMODEW* mode, HWND window, DWORD flags, LPVOID param) {
  ModeLog* log = ActiveInstance<ModeLog>::get();
  LONG answer = log->record(device, mode, flags);
  return log->answer ? answer : ChangeDisplaySettingsExW(device, mode, window, flags, param);
}

// Both display-settings imports of the DLL logged while the holder lives;
// answer, when given, replaces Windows' own.
struct LoggedModeChanges {
  explicit LoggedModeChanges(HMODULE module, std::optional<LONG> answer = std::nullopt)
      : plain(module, "user32.dll", "ChangeDisplaySettingsW", loggedChangeDisplaySettings),
        onDevice(module, "user32.dll", "ChangeDisplaySettingsExW", loggedChangeDisplaySettingsEx) {
    log.answer = answer;
  }
  ModeLog log;
  ActiveInstance<ModeLog> active{&log};
  ImportPatch plain;
  ImportPatch onDevice;
};

DEVMODEW expectedMode(DWORD fields, DWORD bits, DWORD width, DWORD height, DWORD displayFlags, DWORD frequency) {
  DEVMODEW mode;
  std::memset(&mode, 0, sizeof(mode));
  mode.dmSize = sizeof(DEVMODEW);
  mode.dmSpecVersion = DM_SPECVERSION;
  mode.dmFields = fields;
  mode.dmBitsPerPel = bits;
  mode.dmPelsWidth = width;
  mode.dmPelsHeight = height;
  mode.dmDisplayFlags = displayFlags;
  mode.dmDisplayFrequency = frequency;
  return mode;
}

bool sameBytes(const DEVMODEW& a, const DEVMODEW& b) { return std::memcmp(&a, &b, sizeof(DEVMODEW)) == 0; }

class DisplaySettingsTest : public uitest::UiTest {
 protected:
  jobject displayDevice(jstring device, jint devNum, jint flags = 0) {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getDisplayDevice), uiSupport, device,
                     devNum, flags);
  }
  void change(jobject mode, jint flags) {
    host.call(
        UI_NATIVE(
            Java_com_corvantis_windows_ui_WindowsUISupport_changeDisplaySettings__Lcom_corvantis_windows_ui_devicecontext_DeviceMode_2I),
        uiSupport, mode, flags);
  }
  void changeOn(jstring device, jobject mode, jint flags) {
    host.call(
        UI_NATIVE(
            Java_com_corvantis_windows_ui_WindowsUISupport_changeDisplaySettings__Ljava_lang_String_2Lcom_corvantis_windows_ui_devicecontext_DeviceMode_2I),
        uiSupport, device, mode, flags);
  }
  jobject mode(jint fields, jint bits, jint width, jint height, jint displayFlags, jint frequency) {
    jobject object = host.newObject(kDeviceMode);
    const std::pair<const char*, jint> values[] = {
        {"_fields", fields},     {"_bitsPerPel", bits},           {"_pelsWidth", width},
        {"_pelsHeight", height}, {"_displayFlags", displayFlags}, {"_displayFrequency", frequency}};
    for (const auto& value : values) {
      host.setField(object, value.first, jnihost::jInt(value.second));
    }
    return object;
  }
  jobject sizeMode(DWORD width, DWORD height) {
    return host.newObject(kDeviceMode, "(II)V",
                          {jnihost::jInt(static_cast<jint>(width)), jnihost::jInt(static_cast<jint>(height))});
  }
  std::u16string text(jobject device, const char* field) { return host.str(host.field(device, field).l); }
};

TEST_P(DisplaySettingsTest, WalkingDevicesFromZeroEndsWithNull) {
  // Adapters first, then the monitors of the first adapter.
  std::wstring firstAdapter;
  for (const wchar_t* parent : {static_cast<const wchar_t*>(nullptr), L"adapter"}) {
    const wchar_t* device = parent == nullptr ? nullptr : firstAdapter.c_str();
    SCOPED_TRACE(parent == nullptr ? "adapters" : "monitors");
    DWORD index = 0;
    for (;; ++index) {
      jobject found = displayDevice(device != nullptr ? str(device) : nullptr, static_cast<jint>(index));
      ASSERT_FALSE(host.exceptionPending());
      DISPLAY_DEVICEW raw{};
      raw.cb = sizeof(raw);
      BOOL exists = EnumDisplayDevicesW(device, index, &raw, 0);
      if (found == nullptr) {
        EXPECT_FALSE(exists) << index;
        break;
      }
      ASSERT_TRUE(exists) << index;
      EXPECT_EQ(host.className(found), kDisplayDevice);
      EXPECT_EQ(text(found, "_device_name"), uitest::u16(raw.DeviceName));
      EXPECT_EQ(text(found, "_device_string"), uitest::u16(raw.DeviceString));
      EXPECT_EQ(host.field(found, "_state_flags").i, static_cast<jint>(raw.StateFlags));
      if (firstAdapter.empty()) {
        firstAdapter = raw.DeviceName;
      }
    }
    EXPECT_GE(index, 1u);
  }
}

TEST_P(DisplaySettingsTest, DeviceTextsAreTakenUpToTheirNul) {
  struct Case {
    const char* what;
    DeviceRecord record;
    bool accepted;
  };
  const std::wstring hundred(100, L'd');
  const std::wstring fullName(31, L'n');
  const Case cases[] = {
      {"100-character description", {L"\\\\.\\DISPLAY7", hundred, true, true, 5}, true},
      {"texts filling their fields", {fullName, std::wstring(127, L's'), true, true, 1}, true},
      {"empty texts", {L"", L"", true, true, 0}, true},
      // The field after each text starts with a NUL, so reading one unit too far
      // would find one.
      {"name without NUL", {std::wstring(32, L'n'), L"", false, true, 0}, false},
      {"description without NUL", {L"\\\\.\\DISPLAY1", std::wstring(128, L's'), true, false, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceAnswer answer;
    answer.record = c.record;
    ActiveInstance<DeviceAnswer> active(&answer);
    ImportPatch patch(library.module, "user32.dll", "EnumDisplayDevicesW", answeredEnumDisplayDevices);
    jobject device = displayDevice(str(L"\\\\.\\DISPLAY1"), 3, EDD_GET_DEVICE_INTERFACE_NAME);
    EXPECT_TRUE(answer.requestZeroed);
    EXPECT_EQ(answer.device, std::optional<std::wstring>(L"\\\\.\\DISPLAY1"));
    EXPECT_EQ(answer.devNum, 3u);
    EXPECT_EQ(answer.flags, DWORD{EDD_GET_DEVICE_INTERFACE_NAME});
    if (c.accepted) {
      ASSERT_NE(device, nullptr);
      EXPECT_EQ(text(device, "_device_name"), uitest::u16(c.record.name));
      EXPECT_EQ(text(device, "_device_string"), uitest::u16(c.record.description));
      EXPECT_EQ(host.field(device, "_state_flags").i, static_cast<jint>(c.record.stateFlags));
    } else {
      EXPECT_EQ(device, nullptr);
      expectCoded(0x80070057);
    }
  }
}

TEST_P(DisplaySettingsTest, FailedBuildReturnsNullAndFreesTheDeviceCopy) {
  host.failNextPushLocalFrame();
  EXPECT_EQ(displayDevice(str(L"\\\\.\\DISPLAY1"), 0), nullptr);
  EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
}

TEST_P(DisplaySettingsTest, ModeReachesWindowsExactlyAsJavaHoldsIt) {
  struct Case {
    const char* what;
    DWORD fields;
    DWORD values[5];
  };
  const Case cases[] = {
      {"every member",
       DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFLAGS | DM_DISPLAYFREQUENCY,
       {32, 1024, 768, 0, 60}},
      {"no DM_ bits", 0, {16, 640, 480, 2, 75}},
      {"bits that name no member copied", 0x80000000u | DM_PELSWIDTH, {1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DEVMODEW expected = expectedMode(c.fields, c.values[0], c.values[1], c.values[2], c.values[3], c.values[4]);
    jobject javaMode =
        mode(static_cast<jint>(c.fields), static_cast<jint>(c.values[0]), static_cast<jint>(c.values[1]),
             static_cast<jint>(c.values[2]), static_cast<jint>(c.values[3]), static_cast<jint>(c.values[4]));
    LoggedModeChanges changes(library.module, DISP_CHANGE_SUCCESSFUL);
    const ModeLog& log = changes.log;
    change(javaMode, kTest | CDS_UPDATEREGISTRY);
    changeOn(str(L"\\\\.\\DISPLAY1"), javaMode, kTest);
    changeOn(nullptr, javaMode, CDS_RESET);
    EXPECT_FALSE(host.exceptionPending());
    ASSERT_EQ(log.modes.size(), 3u);
    for (const DEVMODEW& seen : log.modes) {
      EXPECT_TRUE(sameBytes(seen, expected));
    }
    EXPECT_EQ(log.devices[0], std::nullopt);
    EXPECT_EQ(log.devices[1], std::optional<std::wstring>(L"\\\\.\\DISPLAY1"));
    EXPECT_EQ(log.devices[2], std::nullopt);
    EXPECT_EQ(log.flags, (std::vector<DWORD>{CDS_TEST | CDS_UPDATEREGISTRY, CDS_TEST, CDS_RESET}));
  }
}

TEST_P(DisplaySettingsTest, WindowsAnswersBecomeCodes) {
  DEVMODEW current{};
  current.dmSize = sizeof(current);
  ASSERT_TRUE(EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &current));
  struct Case {
    const char* what;
    const wchar_t* device;  // null: the overload without a device
    DWORD width;
    DWORD height;
    LONG code;  // 0: accepted
  };
  // Wine's own answers, asked only to test the mode.
  const Case cases[] = {
      {"current mode", nullptr, current.dmPelsWidth, current.dmPelsHeight, DISP_CHANGE_SUCCESSFUL},
      {"current mode on the adapter", L"\\\\.\\DISPLAY1", current.dmPelsWidth, current.dmPelsHeight,
       DISP_CHANGE_SUCCESSFUL},
      {"mode the display lacks", nullptr, 12345, 7, DISP_CHANGE_BADMODE},
      {"mode the display lacks on the adapter", L"\\\\.\\DISPLAY1", 12345, 7, DISP_CHANGE_BADMODE},
      {"unknown device", L"\\\\.\\NODISPLAY", 12345, 7, DISP_CHANGE_BADPARAM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    jobject javaMode = sizeMode(c.width, c.height);
    if (c.device == nullptr) {
      change(javaMode, kTest);
    } else {
      changeOn(str(c.device), javaMode, kTest);
    }
    if (c.code == DISP_CHANGE_SUCCESSFUL) {
      EXPECT_FALSE(host.exceptionPending());
    } else {
      expectCoded(static_cast<DWORD>(c.code));
    }
  }
}

TEST_P(DisplaySettingsTest, RestartAndFailuresAreRaisedWithTheirValue) {
  for (LONG answer : {LONG{DISP_CHANGE_RESTART}, LONG{DISP_CHANGE_FAILED}, LONG{DISP_CHANGE_BADDUALVIEW}}) {
    SCOPED_TRACE(answer);
    LoggedModeChanges changes(library.module, answer);
    change(sizeMode(800, 600), 0);
    jint code = 0;
    EXPECT_EQ(takeException(&code), testsupport::kCodedSystemException);
    EXPECT_EQ(code, answer);
    changeOn(str(L"\\\\.\\DISPLAY1"), sizeMode(800, 600), 0);
    EXPECT_EQ(takeException(&code), testsupport::kCodedSystemException);
    EXPECT_EQ(code, answer);
  }
}

TEST_P(DisplaySettingsTest, UnusableModeStopsBeforeWindowsAndBeforeTheDevice) {
  // A mode class without one of the six fields.
  host.defineClass("test/PartialMode")
      .testOnly()
      .field("_fields", "I")
      .field("_bitsPerPel", "I")
      .field("_pelsWidth", "I")
      .field("_pelsHeight", "I")
      .field("_displayFlags", "I")
      .constructor("()V");
  struct Case {
    const char* what;
    jobject mode;
    const char* exception;
  };
  const Case cases[] = {
      {"null mode", nullptr, kNullPointer},
      {"field missing", host.newObject("test/PartialMode"), "java/lang/NoSuchFieldError"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoggedModeChanges changes(library.module);
    // Any copy of the device string would have to allocate, and fail here.
    FailHeapAlloc noCopy(library.module);
    change(c.mode, kTest);
    EXPECT_EQ(takeException(), c.exception);
    changeOn(str(L"\\\\.\\DISPLAY1"), c.mode, kTest);
    if (c.mode == nullptr) {
      EXPECT_EQ(host.exceptionMessage(), std::nullopt);
    }
    EXPECT_EQ(takeException(), c.exception);
    EXPECT_EQ(noCopy.calls(), 0u);
    EXPECT_TRUE(changes.log.modes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Full, DisplaySettingsTest, testing::Values(L"fullbridge.dll"));

}  // namespace
