// Java exceptions of the JDK that the process natives raise by class name.
#pragma once

#include "bridge/core.h"

namespace bridge {

// Raises an exception of classPath through ThrowNew (message may be null), unless
// one is already pending.
void throwNew(JNIEnv* env, const char* classPath, const char* message);

}  // namespace bridge
