#include "password.h"

#include "bridge/failures.h"

namespace bridge {

bool takePassword(JNIEnv* env, jcharArray array, Password* password) {
  if (!requireNonNull(env, array)) {
    return false;
  }
  password->array = array;
  password->chars = env->GetCharArrayElements(array, &password->isCopy);
  if (password->chars == nullptr) {
    return false;
  }
  password->length = env->GetArrayLength(array);
  return true;
}

bool requirePasswordNul(JNIEnv* env, const Password& password) {
  for (jsize i = 0; i < password.length; ++i) {
    if (password.chars[i] == 0) {
      return true;
    }
  }
  throwNew(env, "java/lang/IllegalArgumentException", "password must end with a NUL character");
  return false;
}

void releasePassword(JNIEnv* env, const Password& password) {
  if (password.chars == nullptr) {
    return;
  }
  if (password.isCopy) {
    SecureZeroMemory(password.chars, static_cast<SIZE_T>(password.length) * sizeof(jchar));
  }
  env->ReleaseCharArrayElements(password.array, password.chars, JNI_ABORT);
}

}  // namespace bridge
