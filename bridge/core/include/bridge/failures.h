// Failure reporting shared by the bridge's native methods.
#pragma once

#include <type_traits>

#include "bridge/core.h"

namespace bridge {

constexpr const char* kCodedSystemExceptionClass = "com/quillstone/velaro/server/CodedSystemException";
constexpr const char* kPdhExceptionClass = "com/corvantis/monitoring/windows/PdhException";
constexpr DWORD kInvalidArgument = 0x80070057;  // E_INVALIDARG

// throwCodedException with com/corvantis/monitoring/windows/PdhException.
void throwPdhException(DWORD status, JNIEnv* env);

// Raises an exception of classPath (a JDK class) through ThrowNew; message may be
// null. Does nothing when an exception is already pending.
void throwNew(JNIEnv* env, const char* classPath, const char* message);

// True for a non-null reference; otherwise NullPointerException (no message) and false.
bool requireNonNull(JNIEnv* env, jobject object);

// True when object is an instance of cls (null passes); otherwise ClassCastException
// whose message is the object's runtime class as java.lang.Class prints it, and false.
bool checkInstanceOf(JNIEnv* env, jobject object, jclass cls);

// Runs body(context) under a structured-exception handler. Returns true when it
// completed; false when a structured exception ended it, with its code stored.
extern "C" int bridgeGuardedInvoke(void (*body)(void*), void* context, DWORD* exceptionCode);

// Runs body under a structured-exception handler; an exception raised inside it
// becomes CodedSystemException with the exception code. True when body completed.
template <class Body>
bool guardedCall(JNIEnv* env, Body&& body) {
  using Callable = std::remove_reference_t<Body>;
  DWORD code = 0;
  auto trampoline = [](void* context) { (*static_cast<Callable*>(context))(); };
  if (bridgeGuardedInvoke(trampoline, const_cast<void*>(static_cast<const void*>(&body)), &code)) {
    return true;
  }
  throwCodedSystemException(env, code);
  return false;
}

// A local frame pushed for the holder's lifetime; popped on every path. A result
// leaves through pop(), which hands it to the enclosing frame.
class LocalFrame {
 public:
  LocalFrame(JNIEnv* env, jint capacity) : env_(env), pushed_(env->PushLocalFrame(capacity) == JNI_OK) {}
  ~LocalFrame() {
    if (pushed_) {
      env_->PopLocalFrame(nullptr);
    }
  }
  LocalFrame(const LocalFrame&) = delete;
  LocalFrame& operator=(const LocalFrame&) = delete;

  bool pushed() const { return pushed_; }

  jobject pop(jobject result) {
    pushed_ = false;
    return env_->PopLocalFrame(result);
  }

 private:
  JNIEnv* env_;
  bool pushed_;
};

}  // namespace bridge
