#include "bridge/failures.h"

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM
constexpr DWORD kSystemMessageFlags = 0x1300;

// The system's text for code, whole and untrimmed; null when there is none or
// when making the Java string failed (then with its exception pending).
jstring systemMessage(JNIEnv* env, DWORD code) {
  LPWSTR buffer = nullptr;
  DWORD length = FormatMessageW(kSystemMessageFlags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  jstring message = nullptr;
  if (length > 0) {
    message = env->NewString(reinterpret_cast<const jchar*>(buffer), static_cast<jsize>(length));
  }
  LocalFree(buffer);
  return message;
}

}  // namespace

extern "C" void throwCodedException(JNIEnv* env, const char* classPath, DWORD code) {
  // The first failure is the one Java must see; the lookups below may not run over it.
  if (env->ExceptionCheck()) {
    return;
  }
  bridge::LocalFrame frame(env, 4);
  if (!frame.pushed()) {
    return;
  }
  jclass cls = env->FindClass(classPath);
  if (cls == nullptr) {
    return;
  }
  jmethodID constructor = env->GetMethodID(cls, "<init>", "(ILjava/lang/String;)V");
  if (constructor == nullptr) {
    return;
  }
  jstring message = systemMessage(env, code);
  if (env->ExceptionCheck()) {
    return;
  }
  jobject exception = env->NewObject(cls, constructor, static_cast<jint>(code), message);
  if (exception != nullptr) {
    env->Throw(static_cast<jthrowable>(exception));
  }
}

extern "C" void throwCodedSystemException(JNIEnv* env, DWORD code) {
  throwCodedException(env, bridge::kCodedSystemExceptionClass, code);
}

extern "C" void throwMemoryException(JNIEnv* env) {
  if (env->ExceptionCheck()) {
    return;
  }
  bridge::LocalFrame frame(env, 1);
  if (!frame.pushed()) {
    return;
  }
  jclass cls = env->FindClass("java/lang/OutOfMemoryError");
  if (cls != nullptr) {
    env->ThrowNew(cls, nullptr);
  }
}

namespace bridge {

void throwPdhException(DWORD status, JNIEnv* env) { throwCodedException(env, kPdhExceptionClass, status); }

void throwNew(JNIEnv* env, const char* classPath, const char* message) {
  if (env->ExceptionCheck()) {
    return;
  }
  jclass cls = env->FindClass(classPath);
  if (cls != nullptr) {
    env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
  }
}

bool requireNonNull(JNIEnv* env, jobject object) {
  if (object != nullptr) {
    return true;
  }
  throwNew(env, "java/lang/NullPointerException", nullptr);
  return false;
}

bool checkInstanceOf(JNIEnv* env, jobject object, jclass cls) {
  if (env->IsInstanceOf(object, cls)) {
    return true;
  }
  LocalFrame frame(env, 7);
  if (!frame.pushed()) {
    return false;
  }
  jclass classClass = env->GetObjectClass(cls);
  if (classClass == nullptr) {
    return false;
  }
  jmethodID toString = env->GetMethodID(classClass, "toString", "()Ljava/lang/String;");
  if (toString == nullptr) {
    return false;
  }
  jclass objectClass = env->GetObjectClass(object);
  if (objectClass == nullptr) {
    return false;
  }
  jobject text = env->CallObjectMethod(objectClass, toString);
  if (env->ExceptionCheck()) {
    return false;
  }
  jclass exceptionClass = env->FindClass("java/lang/ClassCastException");
  if (exceptionClass == nullptr) {
    return false;
  }
  jmethodID constructor = env->GetMethodID(exceptionClass, "<init>", "(Ljava/lang/String;)V");
  if (constructor == nullptr) {
    return false;
  }
  jobject exception = env->NewObject(exceptionClass, constructor, text);
  if (exception != nullptr && !env->ExceptionCheck()) {
    env->Throw(static_cast<jthrowable>(exception));
  }
  return false;
}

}  // namespace bridge
