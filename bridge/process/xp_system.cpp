// XPSystem: user logon and the machine's idle time (fullbridge only).
#include <com_quillstone_velaro_server_XPSystem.h>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "bridge/strings.h"
#include "password.h"

namespace {

// What a logon holds until it returns; released on one path by the caller.
struct Logon {
  LPWSTR user = nullptr;
  LPWSTR domain = nullptr;
  bridge::Password password;
};

jobject logon(JNIEnv* env, HANDLE heap, jstring userName, jstring domain, jcharArray password, jint logonType,
              jint logonProvider, Logon* held) {
  held->user = GetSzwStringCharsFromHeap(env, heap, userName);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  held->domain = GetSzwStringCharsFromHeap(env, heap, domain);
  if (env->ExceptionCheck() || !bridge::takePassword(env, password, &held->password) ||
      !bridge::requirePasswordNul(env, held->password)) {
    return nullptr;
  }
  HANDLE token = nullptr;
  if (!LogonUserW(held->user, held->domain, reinterpret_cast<LPCWSTR>(held->password.chars),
                  static_cast<DWORD>(logonType), static_cast<DWORD>(logonProvider), &token)) {
    throwCodedSystemException(env, GetLastError());
    return nullptr;
  }
  // The token is closed if the UserToken cannot be made.
  return bridge::newUserToken(env, token);
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_quillstone_velaro_server_XPSystem_getSystemIdleTime(JNIEnv* env, jclass) {
  FILETIME idle{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetSystemTimes(&idle, &kernel, &user)) {
    throwCodedSystemException(env, GetLastError());
    return 0;
  }
  ULARGE_INTEGER value;
  value.LowPart = idle.dwLowDateTime;
  value.HighPart = idle.dwHighDateTime;
  return static_cast<jlong>(value.QuadPart);
}

JNIEXPORT jobject JNICALL Java_com_quillstone_velaro_server_XPSystem_logonUser(JNIEnv* env, jclass, jstring userName,
                                                                               jstring domain, jcharArray password,
                                                                               jint logonType, jint logonProvider) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  Logon held;
  jobject token = logon(env, heap, userName, domain, password, logonType, logonProvider, &held);
  bridge::releasePassword(env, held.password);
  ReleaseFromHeap(env, heap, held.domain);
  ReleaseFromHeap(env, heap, held.user);
  return token;
}

}  // extern "C"
