// The baselines: what a native needs at the least to give Java the same result
// as the library's, written with the bare Windows and JNI calls. They live in a
// DLL of their own, so that they are called across a module boundary as the
// library is, and so that an import stand-in can be put behind their imports.
#pragma once

#include <jni.h>
#include <windows.h>

#ifdef BENCH_BASELINE_BUILDING
#define BENCH_BASELINE_API extern "C" __declspec(dllexport)
#else
#define BENCH_BASELINE_API extern "C" __declspec(dllimport)
#endif

// Value buffers of the registry reads are the right size already: one query does.
constexpr DWORD kBareValueBytes = 64 * 1024 + 16;

// GetDirectBufferAddress, PdhGetFormattedCounterValue, copy of the double.
BENCH_BASELINE_API void JNICALL bareStoreValue(JNIEnv* env, jclass, jlong counter, jint format, jint offset,
                                               jobject buffer);
// The same with the library's calls: GetDirectBufferCapacity too, for its bounds check.
BENCH_BASELINE_API void JNICALL bareStoreValueSameCalls(JNIEnv* env, jclass, jlong counter, jint format, jint offset,
                                                        jobject buffer);
// PdhCollectQueryData.
BENCH_BASELINE_API void JNICALL bareUpdateCounters(JNIEnv* env, jclass, jlong query);

// The key from "_handle", the name into a buffer on the stack, one RegQueryValueExW.
BENCH_BASELINE_API jstring JNICALL bareGetStringValue(JNIEnv* env, jobject self, jstring name);
// The same with the library's calls: a 256-byte block of the process heap first,
// grown to the reported size plus 2 bytes and asked again on ERROR_MORE_DATA.
BENCH_BASELINE_API jstring JNICALL bareGetStringValueSameCalls(JNIEnv* env, jobject self, jstring name);
BENCH_BASELINE_API jint JNICALL bareGetIntValue(JNIEnv* env, jobject self, jstring name);
// The same query, then NewString and add per string.
BENCH_BASELINE_API jboolean JNICALL bareAddMultiStringValuesTo(JNIEnv* env, jobject self, jstring name,
                                                               jobject collection);
// RegEnumKeyExW from index 0 with a name buffer on the stack, NewString and add per name.
BENCH_BASELINE_API jboolean JNICALL bareAddAvailableSubKeys(JNIEnv* env, jobject self, jobject names);

// The line into a buffer on the stack, CommandLineToArgvW, a String[] of NewString.
BENCH_BASELINE_API jobjectArray JNICALL bareParseCommandLineArguments(JNIEnv* env, jclass, jstring line);

// FindFirstUrlCacheEntryExW (null pattern), DeleteUrlCacheEntryW and
// FindNextUrlCacheEntryExW per entry with a static 8 KiB buffer, FindCloseUrlCache.
BENCH_BASELINE_API jint JNICALL bareClearCache(JNIEnv* env, jclass, jstring pattern, jint filter);

// CreateProcessW (CREATE_UNICODE_ENVIRONMENT, zeroed STARTUPINFOW) of the command
// line, the thread handle closed, a WindowsProcess made around the process handle.
BENCH_BASELINE_API jobject JNICALL bareCreateProcess(JNIEnv* env, jclass, jstring commandLine);
// WaitForSingleObject and GetExitCodeProcess on the object's "_handle".
BENCH_BASELINE_API jint JNICALL bareWaitFor(JNIEnv* env, jobject process);
// CloseHandle of "_handle", which is set to 0.
BENCH_BASELINE_API void JNICALL bareClose(JNIEnv* env, jobject process);
