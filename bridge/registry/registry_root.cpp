// RegistryRoot natives: the first key of a user, of a token's user, or of a machine.
#include <com_corvantis_windows_registry_RegistryRoot.h>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "bridge/strings.h"
#include "registry_common.h"

// After windows.h, whose declarations its deprecation macros would rename.
#include <strsafe.h>

namespace {

// The token object's handle read and the classes root opened, both under one
// handler: a fault in either must still let the caller leave the monitor.
struct ClassesRootOpen {
  JNIEnv* env;
  jobject token;
  REGSAM samDesired;
  HKEY key;
  LONG answer;
};

void openClassesRoot(void* context) {
  auto open = static_cast<ClassesRootOpen*>(context);
  HANDLE token = reinterpret_cast<HANDLE>(bridge::getHandleField(open->env, open->token));
  if (open->env->ExceptionCheck()) {
    return;
  }
  open->answer = RegOpenUserClassesRoot(token, 0, open->samDesired, &open->key);
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_registry_RegistryRoot_openRegistryCurrentUser(JNIEnv* env, jclass,
                                                                                                   jint samDesired) {
  HKEY key = nullptr;
  LONG answer = ERROR_SUCCESS;
  if (!bridge::guardedCall(env, [&] { answer = RegOpenCurrentUser(static_cast<REGSAM>(samDesired), &key); })) {
    return nullptr;
  }
  if (answer != ERROR_SUCCESS) {
    throwCodedSystemException(env, static_cast<DWORD>(answer));
    return nullptr;
  }
  return bridge::newRegistryKey(env, key);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_registry_RegistryRoot_openRegistryUserClassesRoot(
    JNIEnv* env, jclass, jobject token, jint samDesired) {
  if (!bridge::requireNonNull(env, token)) {
    return nullptr;
  }
  if (env->MonitorEnter(token) != JNI_OK) {
    return nullptr;
  }
  ClassesRootOpen open{env, token, static_cast<REGSAM>(samDesired), nullptr, ERROR_SUCCESS};
  DWORD fault = 0;
  // A structured exception is not raised here: its code is the answer, reported
  // once the monitor has been left.
  if (!bridge::bridgeGuardedInvoke(openClassesRoot, &open, &fault)) {
    open.answer = static_cast<LONG>(fault);
  }
  bool opened = open.answer == ERROR_SUCCESS && open.key != nullptr;
  env->MonitorExit(token);
  // A failed exit, or a failed handle read, leaves an exception; the key must not outlive it.
  if (env->ExceptionCheck()) {
    if (opened) {
      RegCloseKey(open.key);
    }
    return nullptr;
  }
  if (open.answer != ERROR_SUCCESS) {
    throwCodedSystemException(env, static_cast<DWORD>(open.answer));
    return nullptr;
  }
  return bridge::newRegistryKey(env, open.key);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_registry_RegistryRoot_connectRemoteKey(JNIEnv* env, jobject self,
                                                                                            jstring machineName) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  HKEY predefined = bridge::registry::keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  // Null stays null: Windows then connects the local machine's key.
  LPWSTR machine = nullptr;
  if (machineName != nullptr) {
    jsize length = env->GetStringLength(machineName);
    if (env->ExceptionCheck()) {
      return nullptr;
    }
    SIZE_T units = static_cast<SIZE_T>(length) + 3;
    machine = static_cast<LPWSTR>(HeapAlloc(heap, 0, units * sizeof(WCHAR)));
    if (machine == nullptr) {
      throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    // Zeros behind the backslashes give the name its terminating NUL.
    HRESULT copied = StringCchCopyExW(machine, units, L"\\\\", nullptr, nullptr, STRSAFE_FILL_BEHIND_NULL);
    if (FAILED(copied)) {
      throwCodedSystemException(env, static_cast<DWORD>(copied));
    } else {
      env->GetStringRegion(machineName, 0, length, reinterpret_cast<jchar*>(machine + 2));
    }
    if (env->ExceptionCheck()) {
      ReleaseFromHeap(env, heap, machine);
      return nullptr;
    }
  }
  HKEY key = nullptr;
  jobject result = nullptr;
  bridge::guardedCall(env, [&] {
    LONG answer = RegConnectRegistryW(machine, predefined, &key);
    if (answer == ERROR_SUCCESS) {
      result = bridge::newRegistryKey(env, key);
    } else {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  });
  ReleaseFromHeap(env, heap, machine);
  return result;
}

}  // extern "C"
