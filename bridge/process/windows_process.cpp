#include <com_corvantis_process_WindowsProcess.h>

#include "bridge/failures.h"
#include "bridge/handles.h"

namespace {

using InterruptEventFunction = HANDLE(JNICALL*)();

// The JVM's event for Thread.interrupt of the calling thread, looked up when needed
// rather than imported, so that a jvm.dll without the export still loads the
// library. Null when there is no such event to wait on.
HANDLE threadInterruptEvent() {
  HMODULE jvm = GetModuleHandleW(L"jvm.dll");
  if (jvm == nullptr) {
    return nullptr;
  }
  auto function = reinterpret_cast<InterruptEventFunction>(
      reinterpret_cast<void*>(GetProcAddress(jvm, "JVM_GetThreadInterruptEvent")));
  return function != nullptr ? function() : nullptr;
}

// "_handle" through the object's own class; check ExceptionCheck after it.
HANDLE processHandle(JNIEnv* env, jobject self) {
  return reinterpret_cast<HANDLE>(bridge::getObjectHandleField(env, self));
}

// False with CodedSystemException pending when Windows cannot read the exit code,
// rather than passing on whatever the variable held.
bool readExitCode(JNIEnv* env, HANDLE process, DWORD* code) {
  if (!GetExitCodeProcess(process, code)) {
    throwCodedSystemException(env, GetLastError());
    return false;
  }
  return true;
}

jlong fileTimeValue(const FILETIME& time) {
  return static_cast<jlong>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_corvantis_process_WindowsProcess_waitFor(JNIEnv* env, jobject self) {
  HANDLE process = processHandle(env, self);
  if (env->ExceptionCheck()) {
    return 0;
  }
  // The process comes first: when both are signalled, its end wins.
  HANDLE handles[2] = {process, threadInterruptEvent()};
  DWORD count = handles[1] != nullptr ? 2 : 1;
  if (WaitForMultipleObjects(count, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
    bridge::throwNew(env, "java/lang/InterruptedException", nullptr);
    return 0;
  }
  DWORD code = 0;
  return readExitCode(env, process, &code) ? static_cast<jint>(code) : 0;
}

JNIEXPORT jint JNICALL Java_com_corvantis_process_WindowsProcess_exitValue(JNIEnv* env, jobject self) {
  HANDLE process = processHandle(env, self);
  DWORD code = 0;
  if (env->ExceptionCheck() || !readExitCode(env, process, &code)) {
    return 0;
  }
  if (code == STILL_ACTIVE) {
    bridge::throwNew(env, "java/lang/IllegalThreadStateException", "process has not exited");
    return 0;
  }
  return static_cast<jint>(code);
}

JNIEXPORT void JNICALL Java_com_corvantis_process_WindowsProcess_destroy(JNIEnv* env, jobject self) {
  HANDLE process = processHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  // A process that has already ended refuses; that is not worth an exception.
  TerminateProcess(process, 1);
}

JNIEXPORT void JNICALL Java_com_corvantis_process_WindowsProcess_close(JNIEnv* env, jobject self) {
  jclass cls = env->GetObjectClass(self);
  jfieldID field = cls != nullptr ? env->GetFieldID(cls, "_handle", "J") : nullptr;
  if (field == nullptr) {
    return;
  }
  jlong value = env->GetLongField(self, field);
  env->DeleteLocalRef(cls);
  if (value == 0) {
    return;
  }
  // Cleared before closing: once a failure is pending the JVM allows no field write,
  // and the object must not keep a value that is closed or refused for good.
  env->SetLongField(self, field, 0);
  bridge::guardedCall(env, [&] {
    if (!CloseHandle(reinterpret_cast<HANDLE>(value))) {
      throwCodedSystemException(env, GetLastError());
    }
  });
}

JNIEXPORT jlong JNICALL Java_com_corvantis_process_WindowsProcess_getCpuTime(JNIEnv* env, jobject self) {
  HANDLE process = processHandle(env, self);
  if (env->ExceptionCheck()) {
    return 0;
  }
  jlong total = 0;
  bridge::guardedCall(env, [&] {
    FILETIME creation, exit, kernel, user;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
      total = fileTimeValue(kernel) + fileTimeValue(user);
    } else {
      throwCodedSystemException(env, GetLastError());
    }
  });
  return total;
}

JNIEXPORT void JNICALL Java_com_corvantis_process_WindowsProcess_setPriorityClassId(JNIEnv* env, jobject self,
                                                                                    jint priorityClass) {
  HANDLE process = processHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  bridge::guardedCall(env, [&] {
    if (!SetPriorityClass(process, static_cast<DWORD>(priorityClass))) {
      throwCodedSystemException(env, GetLastError());
    }
  });
}

JNIEXPORT jint JNICALL Java_com_corvantis_process_WindowsProcess_getPriorityClassId(JNIEnv* env, jobject self) {
  HANDLE process = processHandle(env, self);
  if (env->ExceptionCheck()) {
    return 0;
  }
  DWORD priorityClass = GetPriorityClass(process);
  if (priorityClass == 0) {
    throwCodedSystemException(env, GetLastError());
  }
  return static_cast<jint>(priorityClass);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_process_WindowsProcess_getAccessToken(JNIEnv* env, jobject self,
                                                                                   jint desiredAccess) {
  HANDLE process = processHandle(env, self);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, static_cast<DWORD>(desiredAccess), &token)) {
    throwCodedSystemException(env, GetLastError());
    return nullptr;
  }
  return bridge::newAccessToken(env, token);
}

}  // extern "C"
