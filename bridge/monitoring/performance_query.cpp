// PerformanceQuery and WindowsPerformanceCounter natives: opening and closing
// queries, adding and removing counters, collecting, and storing formatted values
// straight into direct buffers.
#include <com_corvantis_monitoring_windows_PerformanceQuery.h>
#include <com_corvantis_monitoring_windows_WindowsPerformanceCounter.h>

#include <cstring>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "monitoring_common.h"

namespace {

using bridge::throwNew;
using bridge::throwPdhException;
using namespace bridge::monitoring;

constexpr DWORD kFormatTypeMask = 0xFF0;
constexpr DWORD kCStatusValidData = 0x00000000;   // PDH_CSTATUS_VALID_DATA
constexpr DWORD kCStatusNewData = 0x00000001;     // PDH_CSTATUS_NEW_DATA
constexpr DWORD kCStatusNoInstance = 0x800007D1;  // PDH_CSTATUS_NO_INSTANCE
constexpr LONGLONG kQuietNaNBits = 0x7FF8000000000000LL;

// The receiver's "_handle" field, looked up on its run-time class; null with the
// lookup's exception pending.
jfieldID ownHandleField(JNIEnv* env, jobject self) {
  jclass cls = env->GetObjectClass(self);
  if (cls == nullptr) {
    return nullptr;
  }
  jfieldID field = env->GetFieldID(cls, "_handle", "J");
  env->DeleteLocalRef(cls);
  return field;
}

// Hands the receiver's handle to release (PdhCloseQuery or PdhRemoveCounter) and
// sets "_handle" to 0 once PDH let it go.
void releaseOwnHandle(JNIEnv* env, jobject self, PDH_STATUS(WINAPI* release)(HANDLE)) {
  jfieldID field = ownHandleField(env, self);
  if (field == nullptr) {
    return;
  }
  auto handle = reinterpret_cast<HANDLE>(env->GetLongField(self, field));
  PDH_STATUS status = release(handle);
  if (status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(status), env);
  } else {
    env->SetLongField(self, field, 0);
  }
}

// Bytes stored for a format: 4 for PDH_FMT_LONG, 8 for PDH_FMT_DOUBLE and
// PDH_FMT_LARGE, 0 for anything else. Modifier bits do not count.
size_t valueWidth(DWORD format) {
  switch (format & kFormatTypeMask) {
    case PDH_FMT_LONG:
      return sizeof(LONG);
    case PDH_FMT_DOUBLE:
    case PDH_FMT_LARGE:
      return sizeof(LONGLONG);
    default:
      return 0;
  }
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_PerformanceQuery_openHandle(JNIEnv* env, jobject self) {
  jfieldID field = ownHandleField(env, self);
  if (field == nullptr) {
    return;
  }
  PDH_HQUERY query = nullptr;
  PDH_STATUS status = PdhOpenQueryA(nullptr, 0, &query);
  if (status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(status), env);
  } else {
    env->SetLongField(self, field, reinterpret_cast<jlong>(query));
  }
}

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_PerformanceQuery_closeHandle(JNIEnv* env, jobject self) {
  releaseOwnHandle(env, self, PdhCloseQuery);
}

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_PerformanceQuery_updateCounters(JNIEnv* env, jclass,
                                                                                             jlong query) {
  // A query without counters answers PDH_NO_DATA; that is not a failure.
  PDH_STATUS status = PdhCollectQueryData(reinterpret_cast<PDH_HQUERY>(query));
  if (status != kPdhSuccess && status != kPdhNoData) {
    throwPdhException(static_cast<DWORD>(status), env);
  }
}

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_createHandle(JNIEnv* env,
                                                                                                    jobject self,
                                                                                                    jlong query) {
  jclass cls = env->GetObjectClass(self);
  jfieldID handleField = cls != nullptr ? env->GetFieldID(cls, "_handle", "J") : nullptr;
  if (handleField == nullptr) {
    return;
  }
  if (env->GetLongField(self, handleField) != 0) {
    throwNew(env, "java/lang/IllegalStateException", "Handle already open");
    return;
  }
  LPWSTR path = nullptr;
  {
    bridge::LocalFrame frame(env, 2);
    if (!frame.pushed()) {
      return;
    }
    jfieldID pathField = env->GetFieldID(cls, "_counter_path", "Ljava/lang/String;");
    if (pathField == nullptr) {
      return;
    }
    auto pathString = static_cast<jstring>(env->GetObjectField(self, pathField));
    if (env->ExceptionCheck()) {
      return;
    }
    path = GetSzwStringChars(env, pathString);
  }
  if (env->ExceptionCheck()) {
    return;
  }
  PDH_HCOUNTER counter = nullptr;
  PDH_STATUS status = PdhAddCounterW(reinterpret_cast<PDH_HQUERY>(query), path, 0, &counter);
  if (status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(status), env);
  } else {
    env->SetLongField(self, handleField, reinterpret_cast<jlong>(counter));
  }
  ReleaseSzwStringChars(env, path);
}

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_close(JNIEnv* env,
                                                                                             jobject self) {
  releaseOwnHandle(env, self, PdhRemoveCounter);
}

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_setScaleFactor(JNIEnv* env,
                                                                                                      jobject self,
                                                                                                      jint scale) {
  jlong counter = bridge::getObjectHandleField(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  PDH_STATUS status = PdhSetCounterScaleFactor(reinterpret_cast<PDH_HCOUNTER>(counter), scale);
  if (status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(status), env);
  }
}

// The per-sample path: no allocation, no Java object, two JNI calls.
JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_storeValueInBuffer(
    JNIEnv* env, jclass, jlong counter, jint format, jint offset, jobject buffer) {
  // GetDirectBufferAddress would dereference a null buffer.
  if (!bridge::requireNonNull(env, buffer)) {
    return;
  }
  auto address = static_cast<unsigned char*>(env->GetDirectBufferAddress(buffer));
  if (address == nullptr) {
    throwNew(env, "java/lang/IllegalStateException", "Data buffer is not directly accessible");
    return;
  }
  jlong capacity = env->GetDirectBufferCapacity(buffer);
  PDH_FMT_COUNTERVALUE value{};
  PDH_STATUS status =
      PdhGetFormattedCounterValue(reinterpret_cast<PDH_HCOUNTER>(counter), static_cast<DWORD>(format), nullptr, &value);
  // An instance that went away is not a failure: its marker is stored.
  if (status != kPdhSuccess && !(status == kPdhInvalidData && value.CStatus == kCStatusNoInstance)) {
    throwPdhException(static_cast<DWORD>(status), env);
    return;
  }
  size_t width = valueWidth(static_cast<DWORD>(format));
  if (width == 0) {
    throwNew(env, "java/lang/IllegalArgumentException", "Unrecognized format type");
    return;
  }
  if (offset < 0 || capacity < 0 || static_cast<jlong>(offset) + static_cast<jlong>(width) > capacity) {
    throwNew(env, "java/lang/IllegalArgumentException", "Offset outside the data buffer");
    return;
  }
  if (value.CStatus != kCStatusValidData && value.CStatus != kCStatusNewData) {
    value.largeValue = (static_cast<DWORD>(format) & kFormatTypeMask) == PDH_FMT_DOUBLE ? kQuietNaNBits : -1;
  }
  // The three value members share their first bytes, so the stored width picks
  // the long, the double or the large value alike.
  std::memcpy(address + offset, &value.largeValue, width);
}

}  // extern "C"
