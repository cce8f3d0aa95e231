// Reading a Java StartupInfo into a Windows STARTUPINFOW.
#pragma once

#include "bridge/core.h"

namespace bridge {

constexpr const char* kStartupInfoClass = "com/corvantis/windows/process/StartupInfo";

// New zeroed STARTUPINFOW on heap (cb set; the block has room for the null attribute
// list of a STARTUPINFOEXW behind it) filled from startupInfo's fields; a null
// object leaves it all zero. When a field cannot be read the block is still returned,
// with the exception pending. Null, with OutOfMemoryError pending, when the block
// itself cannot be allocated. Free with freeStartupInfo.
STARTUPINFOW* readStartupInfo(JNIEnv* env, HANDLE heap, jobject startupInfo);

// Frees the block and its desktop and title copies; null does nothing.
void freeStartupInfo(JNIEnv* env, HANDLE heap, STARTUPINFOW* block);

}  // namespace bridge
