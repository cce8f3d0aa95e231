// Java strings to and from Windows UTF-16 buffers, multi-strings and time values.
#pragma once

#include <cstddef>

#include "bridge/core.h"

namespace bridge {

// The process heap, or null with CodedSystemException (the last error) raised.
HANDLE processHeap(JNIEnv* env);

// The strsafe rule: a string with `remaining` characters left in its buffer is
// valid when remaining <= INT_MAX and a NUL occurs among them; *length is then
// the number of characters before that NUL.
bool boundedLength(const WCHAR* start, size_t remaining, size_t* length);

// The size to offer next after Windows answered that a buffer of `offered` units
// is too small and asked for `asked`: asked plus extra; or, when that asks for no
// more than was offered (a size not to be relied on), twice the offered size, so
// that every retry offers more. 0 when the size does not fit in 32 bits (or is 0):
// the caller refuses it like a failed allocation.
DWORD grownSize(DWORD offered, DWORD asked, DWORD extra = 0);

// Java string of a NUL-terminated UTF-16 string; null for null.
jstring newJavaString(JNIEnv* env, const WCHAR* text);

// Java string up to the first NUL within capacity characters; null for null.
// No NUL within the capacity: CodedSystemException E_INVALIDARG and null.
jstring newJavaStringBounded(JNIEnv* env, const WCHAR* buffer, size_t capacity);

// Java string of source with %VARIABLE% references expanded; working buffer on heap.
jstring expandToJavaString(JNIEnv* env, HANDLE heap, const WCHAR* source);

// Adds each string of a multi-string of `length` characters to a Java collection
// through its add(Object) method. True if any add returned true. A string without a
// NUL in the rest of the buffer raises exceptionClass with E_INVALIDARG.
bool addMultiStringToCollection(JNIEnv* env, const WCHAR* strings, size_t length, jobject collection,
                                const char* exceptionClass);

// New java.util.ArrayList holding the strings of a multi-string. Also returned
// when filling it raised an exception; the caller checks.
jobject newListFromMultiString(JNIEnv* env, const WCHAR* strings, size_t length, const char* exceptionClass);

// Milliseconds between the Windows file-time epoch (1601) and the Java epoch (1970).
constexpr jlong kEpochDifferenceMillis = 11644473600000LL;

constexpr jlong fileTimeToJavaMillis(jlong fileTime) { return fileTime / 10000 - kEpochDifferenceMillis; }
// Computed modulo 2^64: a Java time too far out for a file time (Long.MAX_VALUE, say)
// wraps as the JVM's own long arithmetic would, instead of overflowing a signed value.
constexpr jlong javaMillisToFileTime(jlong millis) {
  return static_cast<jlong>((static_cast<unsigned long long>(millis) + kEpochDifferenceMillis) * 10000ULL);
}

}  // namespace bridge
