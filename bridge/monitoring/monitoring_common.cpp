#include "monitoring_common.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "bridge/failures.h"
#include "bridge/strings.h"

namespace bridge {
namespace monitoring {
namespace {

// Characters from string to the end of the buffer; 0 for a string that does not
// start inside it, so that nothing outside the buffer is ever read.
size_t charactersLeft(const WCHAR* string, const void* buffer, size_t bufferBytes) {
  auto start = reinterpret_cast<std::uintptr_t>(buffer);
  auto at = reinterpret_cast<std::uintptr_t>(string);
  if (at < start || at - start >= bufferBytes) {
    return 0;
  }
  return (bufferBytes - (at - start)) / sizeof(WCHAR);
}

// One String field into a heap copy, read in a frame of its own.
bool readElement(JNIEnv* env, HANDLE heap, jobject source, jfieldID field, LPWSTR* member) {
  LocalFrame frame(env, 1);
  if (!frame.pushed()) {
    return false;
  }
  auto value = static_cast<jstring>(env->GetObjectField(source, field));
  if (!env->ExceptionCheck()) {
    *member = GetSzwStringCharsFromHeap(env, heap, value);
  }
  return !env->ExceptionCheck();
}

}  // namespace

bool getCounterPathFieldIds(JNIEnv* env, CounterPathFieldIds* ids) {
  LocalFrame frame(env, 1);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->FindClass(kWindowsCounterPathClass);
  if (cls == nullptr) {
    return false;
  }
  const struct {
    jfieldID* id;
    const char* name;
    const char* signature;
  } fields[] = {
      {&ids->hostName, "_host_name", "Ljava/lang/String;"},
      {&ids->objectName, "_object_name", "Ljava/lang/String;"},
      {&ids->instanceName, "_instance_name", "Ljava/lang/String;"},
      {&ids->parentInstanceName, "_parent_instance_name", "Ljava/lang/String;"},
      {&ids->instanceIndex, "_instance_index", "I"},
      {&ids->counterName, "_counter_name", "Ljava/lang/String;"},
  };
  for (const auto& field : fields) {
    *field.id = env->GetFieldID(cls, field.name, field.signature);
    if (*field.id == nullptr) {
      return false;
    }
  }
  return true;
}

bool readCounterPathElements(JNIEnv* env, HANDLE heap, jobject source, const CounterPathFieldIds& ids,
                             PDH_COUNTER_PATH_ELEMENTS_W* record) {
  if (!readElement(env, heap, source, ids.parentInstanceName, &record->szParentInstance) ||
      !readElement(env, heap, source, ids.instanceName, &record->szInstanceName) ||
      !readElement(env, heap, source, ids.objectName, &record->szObjectName) ||
      !readElement(env, heap, source, ids.hostName, &record->szMachineName)) {
    return false;
  }
  record->dwInstanceIndex = static_cast<DWORD>(env->GetIntField(source, ids.instanceIndex));
  if (env->ExceptionCheck()) {
    return false;
  }
  return readElement(env, heap, source, ids.counterName, &record->szCounterName);
}

void releaseCounterPathElements(JNIEnv* env, HANDLE heap, PDH_COUNTER_PATH_ELEMENTS_W* record) {
  for (LPWSTR* member : {&record->szCounterName, &record->szParentInstance, &record->szInstanceName,
                         &record->szObjectName, &record->szMachineName}) {
    ReleaseFromHeap(env, heap, *member);
    *member = nullptr;
  }
}

bool setBufferStringField(JNIEnv* env, const WCHAR* string, const void* buffer, size_t bufferBytes, jfieldID field,
                          jobject target) {
  LocalFrame frame(env, 1);
  if (!frame.pushed()) {
    return false;
  }
  jstring value = nullptr;
  if (string != nullptr) {
    size_t length = 0;
    if (!boundedLength(string, charactersLeft(string, buffer, bufferBytes), &length)) {
      throwCodedSystemException(env, kInvalidArgument);
      return false;
    }
    value = env->NewString(reinterpret_cast<const jchar*>(string), static_cast<jsize>(length));
    if (value == nullptr) {
      return false;
    }
  }
  env->SetObjectField(target, field, value);
  return !env->ExceptionCheck();
}

bool writeCounterPathElements(JNIEnv* env, const PDH_COUNTER_PATH_ELEMENTS_W* record, const void* buffer,
                              size_t bufferBytes, const CounterPathFieldIds& ids, jobject target) {
  const struct {
    const WCHAR* string;
    jfieldID field;
  } members[] = {
      {record->szParentInstance, ids.parentInstanceName},
      {record->szInstanceName, ids.instanceName},
      {record->szObjectName, ids.objectName},
      {record->szMachineName, ids.hostName},
      {record->szCounterName, ids.counterName},
  };
  for (const auto& member : members) {
    if (!setBufferStringField(env, member.string, buffer, bufferBytes, member.field, target)) {
      return false;
    }
  }
  env->SetIntField(target, ids.instanceIndex, static_cast<jint>(record->dwInstanceIndex));
  return !env->ExceptionCheck();
}

bool recordInsideBuffer(JNIEnv* env, const void* record, size_t recordBytes, const void* buffer, size_t bufferBytes) {
  auto start = reinterpret_cast<std::uintptr_t>(buffer);
  auto at = reinterpret_cast<std::uintptr_t>(record);
  if (at >= start && at - start <= bufferBytes && bufferBytes - (at - start) >= recordBytes) {
    return true;
  }
  throwCodedSystemException(env, kInvalidArgument);
  return false;
}

bool growHeapBlock(JNIEnv* env, HANDLE heap, void** block, size_t bytes) {
  void* grown = nullptr;
  if (bytes != 0) {
    grown = *block == nullptr ? HeapAlloc(heap, 0, bytes) : HeapReAlloc(heap, 0, *block, bytes);
  }
  if (grown == nullptr) {
    if (*block != nullptr) {
      HeapFree(heap, 0, *block);
      *block = nullptr;
    }
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *block = grown;
  return true;
}

bool growAllocatorBlock(JNIEnv* env, void** block, size_t bytes) {
  // realloc with 0 bytes would free the block and answer null.
  void* grown = bytes != 0 ? std::realloc(*block, bytes) : nullptr;
  if (grown == nullptr) {
    std::free(*block);
    *block = nullptr;
    throwMemoryException(env);
    return false;
  }
  *block = grown;
  return true;
}

WCHAR* makeCounterPath(JNIEnv* env, HANDLE heap, jobject source, DWORD* size, DWORD flags) {
  LocalFrame frame(env, 6);
  if (!frame.pushed()) {
    return nullptr;
  }
  PDH_COUNTER_PATH_ELEMENTS_W record{};
  CounterPathFieldIds ids{};
  WCHAR* path = nullptr;
  if (getCounterPathFieldIds(env, &ids) && readCounterPathElements(env, heap, source, ids, &record)) {
    PdhAnswer answer = callWithGrowingBuffer(
        size, sizeof(WCHAR), 0, HeapGrowth{env, heap},
        [&](void* block, DWORD* units) {
          return PdhMakeCounterPathW(&record, static_cast<LPWSTR>(block), units, flags);
        });
    path = static_cast<WCHAR*>(answer.block);
    if (path != nullptr && answer.status != kPdhSuccess) {
      throwPdhException(static_cast<DWORD>(answer.status), env);
      HeapFree(heap, 0, path);
      path = nullptr;
    } else if (path != nullptr) {
      // PDH may or may not count the terminator; the length never includes it.
      *size = static_cast<DWORD>(unitsInside(*size, answer.capacity));
      if (*size != 0 && path[*size - 1] == L'\0') {
        --*size;
      }
    }
  }
  releaseCounterPathElements(env, heap, &record);
  return path;
}

jobject expandCounterPathList(JNIEnv* env, HANDLE heap, const WCHAR* path, DWORD flags) {
  // 5120 characters offered first, then each reported size plus one.
  DWORD size = 5119;
  PdhAnswer answer = callWithGrowingBuffer(
      &size, sizeof(WCHAR), 1, HeapGrowth{env, heap},
      [&](void* block, DWORD* units) {
        return PdhExpandWildCardPathW(nullptr, path, static_cast<LPWSTR>(block), units, flags);
      });
  if (answer.block == nullptr) {
    return nullptr;
  }
  jobject list = nullptr;
  if (answer.status != kPdhSuccess) {
    throwPdhException(static_cast<DWORD>(answer.status), env);
  } else {
    list = newListFromMultiString(env, static_cast<const WCHAR*>(answer.block), unitsInside(size, answer.capacity),
                                  kCodedSystemExceptionClass);
  }
  HeapFree(heap, 0, answer.block);
  if (list != nullptr && env->ExceptionCheck()) {
    env->DeleteLocalRef(list);
    list = nullptr;
  }
  return list;
}

}  // namespace monitoring
}  // namespace bridge
