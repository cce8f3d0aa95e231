// WindowsCounterPath natives: splitting, building and expanding counter paths,
// and the name and index lookups of a machine's counter name table.
#include <com_corvantis_monitoring_windows_WindowsCounterPath.h>

#include <cstdlib>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "monitoring_common.h"

namespace {

using bridge::processHeap;
using bridge::throwPdhException;
using namespace bridge::monitoring;

constexpr DWORD kParsedPathBytes = 1024;
constexpr DWORD kBuiltPathUnits = 256;
constexpr DWORD kNameUnits = 512;

// Builds the full path of the receiver's fields and hands it, with its length,
// to use(heap, path, length); the path is freed afterwards. Null when the path
// could not be made or use failed (an exception pending).
template <class Use>
jobject withBuiltPath(JNIEnv* env, jobject self, jint flags, Use use) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  DWORD length = kBuiltPathUnits;
  WCHAR* path = makeCounterPath(env, heap, self, &length, static_cast<DWORD>(flags));
  jobject result = nullptr;
  if (path != nullptr && !env->ExceptionCheck()) {
    result = use(heap, path, length);
  }
  if (path != nullptr) {
    HeapFree(heap, 0, path);
  }
  return result;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_corvantis_monitoring_windows_WindowsCounterPath_crack(JNIEnv* env, jobject self,
                                                                                      jstring fullPath) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return;
  }
  CounterPathFieldIds ids{};
  if (!getCounterPathFieldIds(env, &ids)) {
    return;
  }
  LPWSTR path = GetSzwStringCharsFromHeap(env, heap, fullPath);
  if (env->ExceptionCheck()) {
    return;
  }
  DWORD size = kParsedPathBytes;
  PdhAnswer answer = callWithGrowingBuffer(
      &size, 1, 0, HeapGrowth{env, heap},
      [&](void* block, DWORD* bytes) {
        return PdhParseCounterPathW(path, static_cast<PDH_COUNTER_PATH_ELEMENTS_W*>(block), bytes, 0);
      });
  if (answer.block != nullptr) {
    if (answer.status != kPdhSuccess) {
      throwPdhException(static_cast<DWORD>(answer.status), env);
    } else {
      // The record sits at the buffer's start and its strings follow it there.
      size_t used = unitsInside(size, answer.capacity);
      auto record = static_cast<const PDH_COUNTER_PATH_ELEMENTS_W*>(answer.block);
      if (recordInsideBuffer(env, record, sizeof(*record), answer.block, used)) {
        writeCounterPathElements(env, record, answer.block, used, ids, self);
      }
    }
    HeapFree(heap, 0, answer.block);
  }
  ReleaseFromHeap(env, heap, path);
}

JNIEXPORT jstring JNICALL Java_com_corvantis_monitoring_windows_WindowsCounterPath_resolveCounterPath(JNIEnv* env,
                                                                                                      jobject self,
                                                                                                      jint flags) {
  return static_cast<jstring>(withBuiltPath(env, self, flags, [env](HANDLE, const WCHAR* path, DWORD length) {
    return env->NewString(reinterpret_cast<const jchar*>(path), static_cast<jsize>(length));
  }));
}

JNIEXPORT jobject JNICALL Java_com_corvantis_monitoring_windows_WindowsCounterPath_expandWildCardPath__II(
    JNIEnv* env, jobject self, jint makeFlags, jint expandFlags) {
  return withBuiltPath(env, self, makeFlags, [env, expandFlags](HANDLE heap, const WCHAR* path, DWORD) {
    return expandCounterPathList(env, heap, path, static_cast<DWORD>(expandFlags));
  });
}

JNIEXPORT jobject JNICALL
Java_com_corvantis_monitoring_windows_WindowsCounterPath_expandWildCardPath__Ljava_lang_String_2I(JNIEnv* env, jclass,
                                                                                                 jstring path,
                                                                                                 jint expandFlags) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  LPWSTR pathCopy = GetSzwStringCharsFromHeap(env, heap, path);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  jobject list = expandCounterPathList(env, heap, pathCopy, static_cast<DWORD>(expandFlags));
  ReleaseFromHeap(env, heap, pathCopy);
  return list;
}

JNIEXPORT jstring JNICALL Java_com_corvantis_monitoring_windows_WindowsCounterPath_lookupName(JNIEnv* env, jclass,
                                                                                              jstring machineName,
                                                                                              jint index) {
  // A null machine name reaches PDH as null: the local machine.
  LPWSTR machine = nullptr;
  if (machineName != nullptr) {
    machine = GetSzwStringChars(env, machineName);
    if (machine == nullptr) {
      return nullptr;
    }
  }
  DWORD size = kNameUnits;
  PdhAnswer answer = callWithGrowingBuffer(
      &size, sizeof(WCHAR), 0, AllocatorGrowth{env},
      [&](void* block, DWORD* units) {
        // An answer that writes no name must not hand out what the buffer held before.
        static_cast<LPWSTR>(block)[0] = L'\0';
        return PdhLookupPerfNameByIndexW(machine, static_cast<DWORD>(index), static_cast<LPWSTR>(block), units);
      });
  jstring name = nullptr;
  if (answer.block != nullptr) {
    if (answer.status != kPdhSuccess) {
      throwPdhException(static_cast<DWORD>(answer.status), env);
    } else {
      // PDH's size counts the terminator; a name ends at its first NUL in any case.
      size_t units = unitsInside(size, answer.capacity);
      auto text = static_cast<const WCHAR*>(answer.block);
      size_t length = 0;
      while (length + 1 < units && text[length] != L'\0') {
        ++length;
      }
      name = env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(length));
    }
    std::free(answer.block);
  }
  ReleaseSzwStringChars(env, machine);
  return name;
}

JNIEXPORT jint JNICALL Java_com_corvantis_monitoring_windows_WindowsCounterPath_rawLookupPerfIndex(JNIEnv* env, jclass,
                                                                                                   jstring machineName,
                                                                                                   jstring name) {
  DWORD index = 0xFFFFFFFF;
  LPWSTR machine = GetSzwStringChars(env, machineName);
  if (env->ExceptionCheck()) {
    return -1;
  }
  LPWSTR nameCopy = GetSzwStringChars(env, name);
  if (!env->ExceptionCheck()) {
    PDH_STATUS status = PdhLookupPerfIndexByNameW(machine, nameCopy, &index);
    if (status != kPdhSuccess) {
      throwPdhException(static_cast<DWORD>(status), env);
    }
    ReleaseSzwStringChars(env, nameCopy);
  }
  ReleaseSzwStringChars(env, machine);
  return static_cast<jint>(index);
}

}  // extern "C"
