// UserToken: impersonation of a logged-on user by the calling thread (fullbridge only).
#include <com_corvantis_windows_security_UserToken.h>

#include "bridge/core.h"
#include "bridge/handles.h"

extern "C" {

JNIEXPORT void JNICALL Java_com_corvantis_windows_security_UserToken_impersonateLoggedOnUser(JNIEnv* env,
                                                                                             jobject self) {
  jlong token = bridge::getHandleField(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  if (!ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(token))) {
    throwCodedSystemException(env, GetLastError());
  }
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_security_UserToken_revertToSelf(JNIEnv* env, jclass) {
  if (!RevertToSelf()) {
    throwCodedSystemException(env, GetLastError());
  }
}

}  // extern "C"
