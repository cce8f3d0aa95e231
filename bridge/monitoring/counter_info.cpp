// PerformanceCounterInfo, WindowsMonitor and WindowsMonitorPool natives: what a
// counter is, which objects, counters and instances a machine offers, and the
// PDH version.
#include <com_corvantis_monitoring_windows_PerformanceCounterInfo.h>
#include <com_corvantis_monitoring_windows_WindowsMonitor.h>
#include <com_corvantis_monitoring_windows_WindowsMonitorPool.h>

#include <cstdlib>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "bridge/strings.h"
#include "monitoring_common.h"

namespace {

using bridge::kPdhExceptionClass;
using bridge::processHeap;
using bridge::throwPdhException;
using namespace bridge::monitoring;

constexpr DWORD kCounterInfoBytes = 1648;
// One less than the first offer: every call adds one character to the size.
constexpr DWORD kObjectListUnits = 10239;
constexpr DWORD kCounterListUnits = 4095;
constexpr DWORD kInstanceListUnits = 2047;

// Sets the info object's fields from a PDH_COUNTER_INFO_W that lies, with its
// strings, in the first bufferBytes of buffer.
bool fillCounterInfo(JNIEnv* env, jobject self, const void* buffer, size_t bufferBytes) {
  auto info = static_cast<const PDH_COUNTER_INFO_W*>(buffer);
  if (!recordInsideBuffer(env, info, sizeof(*info), buffer, bufferBytes)) {
    return false;
  }
  bridge::LocalFrame frame(env, 2);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->GetObjectClass(self);
  if (cls == nullptr) {
    return false;
  }
  const struct {
    const char* name;
    jint value;
  } numbers[] = {
      {"_Type", static_cast<jint>(info->dwType)},
      {"_CStatus", static_cast<jint>(info->CStatus)},
      {"_lScale", static_cast<jint>(info->lScale)},
      {"_lDefaultScale", static_cast<jint>(info->lDefaultScale)},
  };
  for (const auto& number : numbers) {
    jfieldID field = env->GetFieldID(cls, number.name, "I");
    if (field == nullptr) {
      return false;
    }
    env->SetIntField(self, field, number.value);
    if (env->ExceptionCheck()) {
      return false;
    }
  }
  const struct {
    const char* name;
    const WCHAR* text;
  } texts[] = {
      {"_FullPath", info->szFullPath},
      {"_ExplainText", info->szExplainText},
  };
  for (const auto& text : texts) {
    jfieldID field = env->GetFieldID(cls, text.name, "Ljava/lang/String;");
    if (field == nullptr || !setBufferStringField(env, text.text, buffer, bufferBytes, field, self)) {
      return false;
    }
  }
  jfieldID pathField = env->GetFieldID(cls, "_path", "Lcom/corvantis/monitoring/windows/WindowsCounterPath;");
  if (pathField == nullptr) {
    return false;
  }
  jobject path = env->GetObjectField(self, pathField);
  if (env->ExceptionCheck()) {
    return false;
  }
  if (path == nullptr) {
    return true;
  }
  CounterPathFieldIds ids{};
  return getCounterPathFieldIds(env, &ids) &&
         writeCounterPathElements(env, &info->CounterPath, buffer, bufferBytes, ids, path);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_PerformanceCounterInfo_loadParameters(
    JNIEnv* env, jobject self, jobject counterObject, jboolean withExplainText) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return;
  }
  jlong counter = bridge::getObjectHandleField(env, counterObject);
  if (env->ExceptionCheck()) {
    return;
  }
  DWORD size = kCounterInfoBytes;
  PdhAnswer answer = callWithGrowingBuffer(
      &size, 1, 0, HeapGrowth{env, heap},
      [&](void* block, DWORD* bytes) {
        return PdhGetCounterInfoW(reinterpret_cast<PDH_HCOUNTER>(counter), withExplainText, bytes,
                                  static_cast<PDH_COUNTER_INFO_W*>(block));
      });
  if (answer.block == nullptr) {
    return;
  }
  if (answer.status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(answer.status), env);
  } else {
    fillCounterInfo(env, self, answer.block, unitsInside(size, answer.capacity));
  }
  ReleaseFromHeap(env, heap, answer.block);
}

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_WindowsMonitor_checkConnect(JNIEnv* env, jclass,
                                                                                         jstring machineName) {
  LPWSTR machine = GetSzwStringChars(env, machineName);
  if (env->ExceptionCheck()) {
    return;
  }
  PDH_STATUS status = PdhConnectMachineW(machine);
  if (status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(status), env);
  }
  ReleaseSzwStringChars(env, machine);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_monitoring_windows_WindowsMonitor_getAvailableObjects(
    JNIEnv* env, jclass, jstring machineName, jint detailLevel, jboolean refresh) {
  LPWSTR machine = GetSzwStringChars(env, machineName);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  DWORD size = kObjectListUnits;
  PdhAnswer answer = callWithGrowingBuffer(&size, sizeof(WCHAR), 1, AllocatorGrowth{env},
                                           [&](void* block, DWORD* units) {
                                             return PdhEnumObjectsW(nullptr, machine, static_cast<LPWSTR>(block),
                                                                    units, static_cast<DWORD>(detailLevel), refresh);
                                           });
  ReleaseSzwStringChars(env, machine);
  jobject list = nullptr;
  if (answer.block != nullptr && !env->ExceptionCheck()) {
    if (answer.status != kPdhSuccess) {
      throwPdhException(static_cast<DWORD>(answer.status), env);
    } else {
      list = bridge::newListFromMultiString(env, static_cast<const WCHAR*>(answer.block),
                                            unitsInside(size, answer.capacity), kPdhExceptionClass);
    }
  }
  std::free(answer.block);
  if (list != nullptr && env->ExceptionCheck()) {
    env->DeleteLocalRef(list);
    list = nullptr;
  }
  return list;
}

JNIEXPORT jobject JNICALL Java_com_corvantis_monitoring_windows_WindowsMonitor_getAvailableObjectItems(
    JNIEnv* env, jclass, jstring machineName, jstring objectName, jobject counters, jint detailLevel) {
  jobject instances = nullptr;
  LPWSTR machine = GetSzwStringChars(env, machineName);
  LPWSTR object = env->ExceptionCheck() ? nullptr : GetSzwStringChars(env, objectName);
  if (!env->ExceptionCheck()) {
    void* counterList = nullptr;
    void* instanceList = nullptr;
    DWORD counterSize = kCounterListUnits;
    DWORD instanceSize = kInstanceListUnits;
    DWORD counterCapacity = bridge::grownSize(0, counterSize, 1);
    DWORD instanceCapacity = bridge::grownSize(0, instanceSize, 1);
    PDH_STATUS status = kPdhSuccess;
    // Each list is offered its reported size plus one on every retry, or twice its
    // last size when PDH reports no more than that.
    for (;;) {
      if (!growAllocatorBlock(env, &counterList, static_cast<size_t>(counterCapacity) * sizeof(WCHAR)) ||
          !growAllocatorBlock(env, &instanceList, static_cast<size_t>(instanceCapacity) * sizeof(WCHAR))) {
        break;
      }
      counterSize = counterCapacity;
      instanceSize = instanceCapacity;
      status = PdhEnumObjectItemsW(nullptr, machine, object, static_cast<LPWSTR>(counterList), &counterSize,
                                   static_cast<LPWSTR>(instanceList), &instanceSize,
                                   static_cast<DWORD>(detailLevel), 0);
      if (status != kPdhMoreData) {
        break;
      }
      counterCapacity = bridge::grownSize(counterCapacity, counterSize, 1);
      instanceCapacity = bridge::grownSize(instanceCapacity, instanceSize, 1);
    }
    if (!env->ExceptionCheck()) {
      if (status != kPdhSuccess) {
        throwPdhException(static_cast<DWORD>(status), env);
      } else {
        bridge::addMultiStringToCollection(env, static_cast<const WCHAR*>(counterList),
                                           unitsInside(counterSize, counterCapacity), counters, kPdhExceptionClass);
        // An object without an instance list reports a length of 0.
        if (instanceSize != 0 && !env->ExceptionCheck()) {
          instances = bridge::newListFromMultiString(env, static_cast<const WCHAR*>(instanceList),
                                                     unitsInside(instanceSize, instanceCapacity), kPdhExceptionClass);
        }
      }
    }
    std::free(instanceList);
    std::free(counterList);
  }
  ReleaseSzwStringChars(env, object);
  ReleaseSzwStringChars(env, machine);
  if (instances != nullptr && env->ExceptionCheck()) {
    env->DeleteLocalRef(instances);
    instances = nullptr;
  }
  return instances;
}

JNIEXPORT jint JNICALL Java_com_corvantis_monitoring_windows_WindowsMonitorPool_getPdhVersion(JNIEnv* env, jclass) {
  DWORD version = 0;
  PDH_STATUS status = PdhGetDllVersion(&version);
  if (status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(status), env);
    return 0;
  }
  return static_cast<jint>(version);
}

}  // extern "C"
