#include "registry_common.h"

#include "bridge/failures.h"
#include "bridge/handles.h"

namespace bridge {
namespace registry {

HKEY keyHandle(JNIEnv* env, jobject key) { return reinterpret_cast<HKEY>(getHandleField(env, key)); }

bool deleteNamedItem(JNIEnv* env, HKEY key, LPCWSTR nameCopy, LONG(WINAPI* remove)(HKEY, LPCWSTR)) {
  LONG answer = ERROR_SUCCESS;
  if (!guardedCall(env, [&] { answer = remove(key, nameCopy); })) {
    return false;
  }
  if (answer != ERROR_SUCCESS && answer != ERROR_FILE_NOT_FOUND) {
    throwCodedSystemException(env, static_cast<DWORD>(answer));
  }
  return answer == ERROR_SUCCESS;
}

bool checkRegistryType(JNIEnv* env, const DWORD* accepted, DWORD count, DWORD stored) {
  for (DWORD i = 0; i < count; ++i) {
    if (accepted[i] == stored) {
      return true;
    }
  }
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->FindClass(kInvalidRegistryTypeExceptionClass);
  if (cls == nullptr) {
    return false;
  }
  jmethodID constructor = env->GetMethodID(cls, "<init>", count == 1 ? "(II)V" : "(I)V");
  if (constructor == nullptr) {
    return false;
  }
  jobject exception = count == 1
                          ? env->NewObject(cls, constructor, static_cast<jint>(accepted[0]), static_cast<jint>(stored))
                          : env->NewObject(cls, constructor, static_cast<jint>(stored));
  if (exception != nullptr && !env->ExceptionCheck()) {
    env->Throw(static_cast<jthrowable>(exception));
  }
  return false;
}

void throwNoSuchElement(JNIEnv* env, jstring name) {
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return;
  }
  jclass cls = env->FindClass("java/util/NoSuchElementException");
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "(Ljava/lang/String;)V") : nullptr;
  jobject exception = constructor != nullptr ? env->NewObject(cls, constructor, name) : nullptr;
  if (exception != nullptr) {
    env->Throw(static_cast<jthrowable>(exception));
  }
}

}  // namespace registry
}  // namespace bridge
