// Helpers shared by the natives of InternetHandle.
#pragma once

#include "bridge/core.h"
#include "bridge/handles.h"

// After windows.h, which bridge/core.h brings in.
#include <wininet.h>

namespace bridge {
namespace inet {

// The receiver's WinInet handle, bit for bit; check ExceptionCheck afterwards.
inline HINTERNET internetHandle(JNIEnv* env, jobject self) {
  return reinterpret_cast<HINTERNET>(getHandleField(env, self));
}

}  // namespace inet
}  // namespace bridge
