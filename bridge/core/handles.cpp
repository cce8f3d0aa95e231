#include "bridge/handles.h"

#include <com_corvantis_windows_WindowsHandle.h>

#include "bridge/failures.h"

namespace bridge {
namespace {

jlong readHandleField(JNIEnv* env, jobject object, jclass (*classOf)(JNIEnv*, jobject)) {
  // A null object would make GetLongField crash the JVM.
  if (!requireNonNull(env, object)) {
    return 0;
  }
  LocalFrame frame(env, 2);
  if (!frame.pushed()) {
    return 0;
  }
  jclass cls = classOf(env, object);
  jfieldID field = cls != nullptr ? env->GetFieldID(cls, "_handle", "J") : nullptr;
  return field != nullptr ? env->GetLongField(object, field) : 0;
}

jclass windowsHandleClass(JNIEnv* env, jobject) { return env->FindClass(kWindowsHandleClass); }
jclass ownClass(JNIEnv* env, jobject object) { return env->GetObjectClass(object); }

void closeKernelHandle(jlong handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }
void closeRegistryKey(jlong handle) { RegCloseKey(reinterpret_cast<HKEY>(handle)); }

// New object of classPath made with "(J)V"; the handle is closed whenever the
// object cannot be made, so it never outlives a failed wrap.
jobject wrapHandle(JNIEnv* env, jlong handle, const char* classPath, void (*close)(jlong)) {
  LocalFrame frame(env, 3);
  jobject object = nullptr;
  if (frame.pushed()) {
    jclass cls = env->FindClass(classPath);
    jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "(J)V") : nullptr;
    object = constructor != nullptr ? env->NewObject(cls, constructor, handle) : nullptr;
  }
  if (object == nullptr) {
    close(handle);
  }
  return frame.pushed() ? frame.pop(object) : nullptr;
}

}  // namespace

jlong getHandleField(JNIEnv* env, jobject object) { return readHandleField(env, object, windowsHandleClass); }

jlong getObjectHandleField(JNIEnv* env, jobject object) { return readHandleField(env, object, ownClass); }

jobject newHandleObject(JNIEnv* env, HANDLE handle, const char* classPath) {
  return wrapHandle(env, reinterpret_cast<jlong>(handle), classPath, closeKernelHandle);
}

jobject newAccessToken(JNIEnv* env, HANDLE token) { return newHandleObject(env, token, kAccessTokenClass); }

jobject newUserToken(JNIEnv* env, HANDLE token) { return newHandleObject(env, token, kUserTokenClass); }

jobject newRegistryKey(JNIEnv* env, HKEY key) {
  return wrapHandle(env, reinterpret_cast<jlong>(key), kRegistryKeyClass, closeRegistryKey);
}

jobject newWindowsProcess(JNIEnv* env, HANDLE process, DWORD processId) {
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return nullptr;
  }
  jclass cls = env->FindClass(kWindowsProcessClass);
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "(JI)V") : nullptr;
  jobject object = constructor != nullptr ? env->NewObject(cls, constructor, reinterpret_cast<jlong>(process),
                                                           static_cast<jint>(processId))
                                          : nullptr;
  return frame.pop(object);
}

}  // namespace bridge

extern "C" jobject wrapJavaProcessAndCloseThread(JNIEnv* env, const PROCESS_INFORMATION* info) {
  // The thread handle is never kept, whatever happens to the process object.
  CloseHandle(info->hThread);
  jobject process = bridge::newWindowsProcess(env, info->hProcess, info->dwProcessId);
  if (process == nullptr) {
    CloseHandle(info->hProcess);
  }
  return process;
}

extern "C" JNIEXPORT void JNICALL Java_com_corvantis_windows_WindowsHandle_close(JNIEnv* env, jobject self) {
  bridge::closeHandleField(env, self, [](jlong handle) { return CloseHandle(reinterpret_cast<HANDLE>(handle)); });
}
