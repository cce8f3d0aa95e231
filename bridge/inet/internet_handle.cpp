// InternetHandle natives that read and set WinInet options and close the handle.
#include <com_corvantis_windows_inet_InternetHandle.h>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "inet_common.h"

namespace {

using bridge::inet::internetHandle;

// Raises an exception of a class with only a "()V" constructor (ThrowNew needs a
// String one).
void throwWithoutMessage(JNIEnv* env, const char* classPath) {
  bridge::LocalFrame frame(env, 2);
  if (!frame.pushed()) {
    return;
  }
  jclass cls = env->FindClass(classPath);
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "()V") : nullptr;
  jobject exception = constructor != nullptr ? env->NewObject(cls, constructor) : nullptr;
  if (exception != nullptr) {
    env->Throw(static_cast<jthrowable>(exception));
  }
}

// Reads an option of exactly sizeof(Value) bytes. WinInet refuses a larger value
// itself (ERROR_INSUFFICIENT_BUFFER); a shorter one is raised as a buffer underflow
// and the buffer's value returned with it.
template <class Value>
Value queryFixedOption(JNIEnv* env, jobject self, jint option) {
  Value value = 0;
  DWORD length = sizeof(Value);
  HINTERNET handle = internetHandle(env, self);
  if (env->ExceptionCheck()) {
    return 0;
  }
  if (!InternetQueryOptionW(handle, static_cast<DWORD>(option), &value, &length)) {
    throwCodedSystemException(env, GetLastError());
    return 0;
  }
  if (length != sizeof(Value)) {
    throwWithoutMessage(env, "java/nio/BufferUnderflowException");
  }
  return value;
}

void setOption(JNIEnv* env, jobject self, jint option, void* value, DWORD length) {
  HINTERNET handle = internetHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  if (!InternetSetOptionW(handle, static_cast<DWORD>(option), value, length)) {
    throwCodedSystemException(env, GetLastError());
  }
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_InternetHandle_close(JNIEnv* env, jobject self) {
  // A failed close leaves the handle in the object, so the close can be repeated.
  bridge::closeHandleField(
      env, self, [](jlong handle) { return InternetCloseHandle(reinterpret_cast<HINTERNET>(handle)); });
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_inet_InternetHandle_getIntOption(JNIEnv* env, jobject self,
                                                                                   jint option) {
  return queryFixedOption<jint>(env, self, option);
}

JNIEXPORT jlong JNICALL Java_com_corvantis_windows_inet_InternetHandle_getLongOption(JNIEnv* env, jobject self,
                                                                                     jint option) {
  return queryFixedOption<jlong>(env, self, option);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_InternetHandle_setOption__I(JNIEnv* env, jobject self,
                                                                                   jint option) {
  setOption(env, self, option, nullptr, 0);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_InternetHandle_setOption__II(JNIEnv* env, jobject self,
                                                                                    jint option, jint value) {
  setOption(env, self, option, &value, sizeof(value));
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_InternetHandle_setOption__ILjava_lang_String_2(JNIEnv* env,
                                                                                                      jobject self,
                                                                                                      jint option,
                                                                                                      jstring value) {
  HINTERNET handle = internetHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return;
  }
  LPWSTR copy = GetSzwStringCharsFromHeap(env, heap, value);
  if (env->ExceptionCheck()) {
    return;
  }
  // The length counts characters with the terminating NUL; a null string passes none.
  DWORD length = copy != nullptr ? static_cast<DWORD>(env->GetStringLength(value)) + 1 : 0;
  if (!InternetSetOptionW(handle, static_cast<DWORD>(option), copy, length)) {
    throwCodedSystemException(env, GetLastError());
  }
  ReleaseFromHeap(env, heap, copy);
}

}  // extern "C"
