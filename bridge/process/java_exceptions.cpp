#include "java_exceptions.h"

namespace bridge {

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

}  // namespace bridge
