#include "bridge/failures.h"

#if defined(_MSC_VER)

extern "C" int bridgeGuardedInvoke(void (*body)(void*), void* context, DWORD* exceptionCode) {
  __try {
    body(context);
  } __except (*exceptionCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    return 0;
  }
  return 1;
}

#else

// Filter of the scope table in guard_gcc.S. The establisher frame is that function's
// stack pointer after its prologue; the caller's code slot sits 32 bytes above it.
extern "C" LONG bridgeGuardFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame) {
  DWORD* exceptionCode = *reinterpret_cast<DWORD**>(static_cast<char*>(establisherFrame) + 32);
  *exceptionCode = pointers->ExceptionRecord->ExceptionCode;
  return EXCEPTION_EXECUTE_HANDLER;
}

#endif
