// Java handle objects: reading their "_handle" field and wrapping new handles.
#pragma once

#include "bridge/core.h"

namespace bridge {

constexpr const char* kWindowsHandleClass = "com/corvantis/windows/WindowsHandle";
constexpr const char* kAccessTokenClass = "com/corvantis/windows/security/AccessToken";
constexpr const char* kUserTokenClass = "com/corvantis/windows/security/UserToken";
constexpr const char* kRegistryKeyClass = "com/corvantis/windows/registry/RegistryKey";
constexpr const char* kWindowsProcessClass = "com/corvantis/process/WindowsProcess";

// "_handle" of a WindowsHandle object, looked up through WindowsHandle; 0 with an
// exception pending when a lookup fails (or the object is null).
jlong getHandleField(JNIEnv* env, jobject object);
// The same, looked up through the object's own class.
jlong getObjectHandleField(JNIEnv* env, jobject object);

// New object of classPath made with "(J)V" around handle. When it cannot be made the
// handle is closed with CloseHandle and null returned, the JVM's exception pending.
jobject newHandleObject(JNIEnv* env, HANDLE handle, const char* classPath);
jobject newAccessToken(JNIEnv* env, HANDLE token);
jobject newUserToken(JNIEnv* env, HANDLE token);
// Like newHandleObject, closing with RegCloseKey.
jobject newRegistryKey(JNIEnv* env, HKEY key);
// New WindowsProcess("(JI)V"); closes nothing on failure, the caller does.
jobject newWindowsProcess(JNIEnv* env, HANDLE process, DWORD processId);

// Closes what the object's WindowsHandle "_handle" holds with close(handle), which
// answers like CloseHandle, and then sets the field to 0. Nothing for 0; a refusal
// keeps the value and raises CodedSystemException with the last error, unless close
// raised an exception of its own.
template <class Close>
void closeHandleField(JNIEnv* env, jobject self, Close close) {
  jclass cls = env->FindClass(kWindowsHandleClass);
  jfieldID field = cls != nullptr ? env->GetFieldID(cls, "_handle", "J") : nullptr;
  if (field == nullptr) {
    return;
  }
  jlong handle = env->GetLongField(self, field);
  if (handle == 0) {
    return;
  }
  if (close(handle)) {
    env->SetLongField(self, field, 0);
  } else {
    throwCodedSystemException(env, GetLastError());
  }
}

}  // namespace bridge
