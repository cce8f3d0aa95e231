// Helper interface of the bridge core. fullbridge exports these functions under
// their plain names so that other libraries (tcpestats) can raise the same coded
// exceptions and share the string and heap helpers; corebridge keeps them internal.
#pragma once

#include <jni.h>
#include <windows.h>

#if defined(BRIDGE_EXPORT_HELPERS)
#define BRIDGE_HELPER_API __declspec(dllexport)
#elif defined(BRIDGE_IMPORT_HELPERS)
#define BRIDGE_HELPER_API __declspec(dllimport)
#else
#define BRIDGE_HELPER_API
#endif

static_assert(sizeof(jint) == 4 && sizeof(jlong) == 8, "Windows x64 JNI types");
static_assert(sizeof(jlong) == sizeof(HANDLE), "handles travel as Java longs");

extern "C" {

// Raises a Java exception of classPath (slash form) built with "(ILjava/lang/String;)V"
// from code and the system's message text for it (null when there is none).
// Never replaces an exception that is already pending.
BRIDGE_HELPER_API void throwCodedException(JNIEnv* env, const char* classPath, DWORD code);
// throwCodedException with com/quillstone/velaro/server/CodedSystemException.
BRIDGE_HELPER_API void throwCodedSystemException(JNIEnv* env, DWORD code);
// Raises java/lang/OutOfMemoryError without a message.
BRIDGE_HELPER_API void throwMemoryException(JNIEnv* env);

// NUL-terminated UTF-16 copy of a Java string in a block of heap; null for a null
// string (nothing raised) or on failure (exception pending). Free with ReleaseFromHeap.
BRIDGE_HELPER_API LPWSTR GetSzwStringCharsFromHeap(JNIEnv* env, HANDLE heap, jstring string);
// The same on the process heap; free with ReleaseSzwStringChars.
BRIDGE_HELPER_API LPWSTR GetSzwStringChars(JNIEnv* env, jstring string);
// Frees a block of GetSzwStringChars; null does nothing. A failure is raised only
// when no exception is pending, so clean-up keeps the first exception.
BRIDGE_HELPER_API void ReleaseSzwStringChars(JNIEnv* env, LPWSTR chars);
// Frees a block of heap; null does nothing. Same rule for failures.
BRIDGE_HELPER_API void ReleaseFromHeap(JNIEnv* env, HANDLE heap, LPVOID block);
// Resizes *block with HeapReAlloc(heap, flags, ...). Returns 1 and updates *block,
// or returns 0 with OutOfMemoryError pending and *block untouched (still the caller's).
BRIDGE_HELPER_API int ReAllocHeapBuffer(JNIEnv* env, HANDLE heap, DWORD flags, LPVOID* block, SIZE_T size);

// Closes the new thread's handle and wraps the process handle and id in a new
// WindowsProcess; when that cannot be made, the process handle is closed too.
BRIDGE_HELPER_API jobject wrapJavaProcessAndCloseThread(JNIEnv* env, const PROCESS_INFORMATION* info);

}  // extern "C"
