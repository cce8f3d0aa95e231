// The application's Java classes that the bridge core looks up, defined in the
// JNI host with the members the native side uses.
#pragma once

#include "jni_host.h"

namespace testsupport {

constexpr const char* kCodedSystemException = "com/quillstone/velaro/server/CodedSystemException";
constexpr const char* kPdhException = "com/corvantis/monitoring/windows/PdhException";
constexpr const char* kWindowsHandle = "com/corvantis/windows/WindowsHandle";
constexpr const char* kAccessToken = "com/corvantis/windows/security/AccessToken";
constexpr const char* kUserToken = "com/corvantis/windows/security/UserToken";
constexpr const char* kRegistryKey = "com/corvantis/windows/registry/RegistryKey";
constexpr const char* kWindowsProcess = "com/corvantis/process/WindowsProcess";

// CodedSystemException and PdhException (code in "_code", text as the message),
// WindowsHandle with its "(J)V" subclasses, and WindowsProcess "(JI)V".
void defineCoreClasses(jnihost::Host& host);

// A new WindowsHandle (or subclass) object holding `handle`, made from test code.
jobject newHandleObject(jnihost::Host& host, const char* cls, jlong handle);

}  // namespace testsupport
