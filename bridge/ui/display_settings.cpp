// Display devices and display modes.
#include <com_corvantis_windows_ui_WindowsUISupport.h>

#include "bridge/failures.h"
#include "bridge/strings.h"

namespace {

using bridge::LocalFrame;

constexpr const char* kDisplayDeviceClass = "com/corvantis/windows/ui/devicecontext/DisplayDevice";

static_assert(sizeof(DISPLAY_DEVICEW) == 840, "DISPLAY_DEVICEW as Windows x64 lays it out");
static_assert(sizeof(DEVMODEW) == 220, "DEVMODEW without driver extra");

// Stores text (at most capacity units, NUL within them) in the string field name.
bool setTextField(JNIEnv* env, jobject object, jclass cls, const char* name, const WCHAR* text, size_t capacity) {
  jfieldID field = env->GetFieldID(cls, name, "Ljava/lang/String;");
  if (field == nullptr) {
    return false;
  }
  jstring value = bridge::newJavaStringBounded(env, text, capacity);
  if (env->ExceptionCheck()) {
    return false;
  }
  env->SetObjectField(object, field, value);
  return !env->ExceptionCheck();
}

// New DisplayDevice holding the record's name, description and state flags; null
// with the exception pending when any step fails.
jobject buildDisplayDevice(JNIEnv* env, const DISPLAY_DEVICEW& record) {
  LocalFrame frame(env, 8);
  if (!frame.pushed()) {
    return nullptr;
  }
  jclass cls = env->FindClass(kDisplayDeviceClass);
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "()V") : nullptr;
  jobject device = constructor != nullptr ? env->NewObject(cls, constructor) : nullptr;
  if (device == nullptr ||
      !setTextField(env, device, cls, "_device_name", record.DeviceName, ARRAYSIZE(record.DeviceName)) ||
      !setTextField(env, device, cls, "_device_string", record.DeviceString, ARRAYSIZE(record.DeviceString))) {
    return frame.pop(nullptr);
  }
  jfieldID flags = env->GetFieldID(cls, "_state_flags", "I");
  if (flags == nullptr) {
    return frame.pop(nullptr);
  }
  env->SetIntField(device, flags, static_cast<jint>(record.StateFlags));
  return frame.pop(env->ExceptionCheck() ? nullptr : device);
}

// Fills *devMode from a DeviceMode object: the header Windows checks, then the six
// members, each exactly as Java holds it. False with an exception pending when the
// mode is null or a field cannot be read.
bool buildDeviceMode(JNIEnv* env, jobject mode, DEVMODEW* devMode) {
  ZeroMemory(devMode, sizeof(*devMode));
  devMode->dmSize = sizeof(*devMode);
  devMode->dmSpecVersion = DM_SPECVERSION;
  if (!bridge::requireNonNull(env, mode)) {
    return false;
  }
  struct ModeField {
    const char* name;
    DWORD* member;
  };
  const ModeField fields[] = {
      {"_fields", &devMode->dmFields},
      {"_bitsPerPel", &devMode->dmBitsPerPel},
      {"_pelsWidth", &devMode->dmPelsWidth},
      {"_pelsHeight", &devMode->dmPelsHeight},
      {"_displayFlags", &devMode->dmDisplayFlags},
      {"_displayFrequency", &devMode->dmDisplayFrequency},
  };
  LocalFrame frame(env, 7);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->GetObjectClass(mode);
  for (const ModeField& field : fields) {
    jfieldID id = env->GetFieldID(cls, field.name, "I");
    if (id == nullptr) {
      return false;
    }
    *field.member = static_cast<DWORD>(env->GetIntField(mode, id));
    if (env->ExceptionCheck()) {
      return false;
    }
  }
  return true;
}

// DISP_CHANGE_SUCCESSFUL passes; every other answer, DISP_CHANGE_RESTART included,
// is raised with its value as the code.
void raiseDisplayChange(JNIEnv* env, LONG answer) {
  if (answer != DISP_CHANGE_SUCCESSFUL) {
    throwCodedSystemException(env, static_cast<DWORD>(answer));
  }
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_getDisplayDevice(JNIEnv* env, jclass,
                                                                                          jstring device, jint devNum,
                                                                                          jint flags) {
  DISPLAY_DEVICEW record;
  ZeroMemory(&record, sizeof(record));
  record.cb = sizeof(record);
  LPWSTR deviceCopy = GetSzwStringChars(env, device);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  // A refused index is the end of the list, not a failure.
  jobject result = nullptr;
  if (EnumDisplayDevicesW(deviceCopy, static_cast<DWORD>(devNum), &record, static_cast<DWORD>(flags))) {
    result = buildDisplayDevice(env, record);
  }
  ReleaseSzwStringChars(env, deviceCopy);
  return env->ExceptionCheck() ? nullptr : result;
}

JNIEXPORT void JNICALL
Java_com_corvantis_windows_ui_WindowsUISupport_changeDisplaySettings__Lcom_corvantis_windows_ui_devicecontext_DeviceMode_2I(
    JNIEnv* env, jclass, jobject mode, jint flags) {
  DEVMODEW devMode;
  if (!buildDeviceMode(env, mode, &devMode)) {
    return;
  }
  raiseDisplayChange(env, ChangeDisplaySettingsW(&devMode, static_cast<DWORD>(flags)));
}

JNIEXPORT void JNICALL
Java_com_corvantis_windows_ui_WindowsUISupport_changeDisplaySettings__Ljava_lang_String_2Lcom_corvantis_windows_ui_devicecontext_DeviceMode_2I(
    JNIEnv* env, jclass, jstring device, jobject mode, jint flags) {
  // The mode first: a null mode is refused before the device string is touched.
  DEVMODEW devMode;
  if (!buildDeviceMode(env, mode, &devMode)) {
    return;
  }
  LPWSTR deviceCopy = GetSzwStringChars(env, device);
  if (env->ExceptionCheck()) {
    return;
  }
  raiseDisplayChange(env, ChangeDisplaySettingsExW(deviceCopy, &devMode, nullptr, static_cast<DWORD>(flags), nullptr));
  ReleaseSzwStringChars(env, deviceCopy);
}

}  // extern "C"
