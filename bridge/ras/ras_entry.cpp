// RasEntry: the record bytes of one phonebook entry and the RAS text limits.
#include <com_corvantis_windows_ras_RasEntry.h>

#include <cstring>

#include "bridge/failures.h"
#include "ras_records.h"

namespace bridge {
namespace ras {

jobject newRasEntry(JNIEnv* env, const BYTE* record, DWORD capacity) {
  LocalFrame frame(env, 4);
  if (!frame.pushed()) {
    return nullptr;
  }
  jclass cls = env->FindClass(kRasEntryClass);
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "([B)V") : nullptr;
  if (constructor == nullptr) {
    return nullptr;
  }
  // Only the record itself: the alternate phone numbers RAS put after it stay behind.
  DWORD size = 0;
  std::memcpy(&size, record, sizeof size);
  if (size > capacity) {
    size = capacity;
  }
  jbyteArray bytes = env->NewByteArray(static_cast<jsize>(size));
  if (bytes == nullptr) {
    return nullptr;
  }
  env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(size), reinterpret_cast<const jbyte*>(record));
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  return frame.pop(env->NewObject(cls, constructor, bytes));
}

}  // namespace ras
}  // namespace bridge

extern "C" {

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_MAX_1PATH(JNIEnv*, jclass) { return MAX_PATH; }

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxAreaCode(JNIEnv*, jclass) {
  return RAS_MaxAreaCode;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxPhoneNumber(JNIEnv*, jclass) {
  return RAS_MaxPhoneNumber;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxDeviceType(JNIEnv*, jclass) {
  return RAS_MaxDeviceType;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxDeviceName(JNIEnv*, jclass) {
  return RAS_MaxDeviceName;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxPadType(JNIEnv*, jclass) {
  return RAS_MaxPadType;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxX25Address(JNIEnv*, jclass) {
  return RAS_MaxX25Address;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxFacilities(JNIEnv*, jclass) {
  return RAS_MaxFacilities;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_ras_RasEntry_RAS_1MaxUserData(JNIEnv*, jclass) {
  return RAS_MaxUserData;
}

}  // extern "C"
