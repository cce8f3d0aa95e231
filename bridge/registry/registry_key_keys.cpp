// RegistryKey natives that act on the key itself: sub-keys, enumeration, close.
#include <com_corvantis_windows_registry_RegistryKey.h>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "bridge/strings.h"
#include "registry_common.h"

namespace {

using bridge::guardedCall;
using bridge::processHeap;
using bridge::registry::deleteNamedItem;
using bridge::registry::keyHandle;
using bridge::registry::throwNoSuchElement;

constexpr DWORD kSubKeyNameUnits = 128;
// Value names are at most 16383 characters, so this buffer never grows.
constexpr DWORD kValueNameUnits = 16384;

// Opens (or creates) a sub-key of the receiver through openKey and wraps it.
// A missing sub-key raises NoSuchElementException when reportMissing is set.
template <class OpenKey>
jobject openKeyObject(JNIEnv* env, jobject self, jstring name, bool reportMissing, OpenKey openKey) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  // A null name stays null: Windows then opens the key itself once more.
  LPWSTR nameCopy = GetSzwStringCharsFromHeap(env, heap, name);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  HKEY opened = nullptr;
  LONG answer = ERROR_SUCCESS;
  jobject result = nullptr;
  if (guardedCall(env, [&] { answer = openKey(key, nameCopy, &opened); })) {
    if (answer == ERROR_SUCCESS) {
      result = bridge::newRegistryKey(env, opened);
    } else if (answer == ERROR_FILE_NOT_FOUND && reportMissing) {
      throwNoSuchElement(env, name);
    } else {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  }
  ReleaseFromHeap(env, heap, nameCopy);
  return result;
}

// One RegQueryInfoKeyW answer; false with an exception raised when it failed.
template <class Query>
bool queryKeyInfo(JNIEnv* env, jobject self, Query query) {
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return false;
  }
  LONG answer = ERROR_SUCCESS;
  if (!guardedCall(env, [&] { answer = query(key); })) {
    return false;
  }
  if (answer != ERROR_SUCCESS) {
    throwCodedSystemException(env, static_cast<DWORD>(answer));
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_registry_RegistryKey_openSubKey(JNIEnv* env, jobject self,
                                                                                     jstring name, jint samDesired) {
  return openKeyObject(env, self, name, true, [samDesired](HKEY key, LPCWSTR subKey, HKEY* opened) {
    return RegOpenKeyExW(key, subKey, 0, static_cast<REGSAM>(samDesired), opened);
  });
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_registry_RegistryKey_createAndGetSubKey(JNIEnv* env, jobject self,
                                                                                             jstring name,
                                                                                             jboolean isVolatile,
                                                                                             jint samDesired) {
  DWORD options = isVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE;
  return openKeyObject(env, self, name, false, [options, samDesired](HKEY key, LPCWSTR subKey, HKEY* opened) {
    return RegCreateKeyExW(key, subKey, 0, nullptr, options, static_cast<REGSAM>(samDesired), nullptr, opened, nullptr);
  });
}

JNIEXPORT jboolean JNICALL Java_com_corvantis_windows_registry_RegistryKey_deleteSubKey(JNIEnv* env, jobject self,
                                                                                        jstring name) {
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return JNI_FALSE;
  }
  // RegDeleteKeyW takes no null name, and an empty one deletes the key itself:
  // neither names a sub-key, so Windows is not asked.
  if (!bridge::requireNonNull(env, name)) {
    return JNI_FALSE;
  }
  jsize nameLength = env->GetStringLength(name);
  if (env->ExceptionCheck()) {
    return JNI_FALSE;
  }
  if (nameLength == 0) {
    bridge::throwNew(env, "java/lang/IllegalArgumentException", "empty sub-key name");
    return JNI_FALSE;
  }
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return JNI_FALSE;
  }
  LPWSTR nameCopy = GetSzwStringCharsFromHeap(env, heap, name);
  if (env->ExceptionCheck()) {
    return JNI_FALSE;
  }
  bool deleted = deleteNamedItem(env, key, nameCopy, RegDeleteKeyW);
  ReleaseFromHeap(env, heap, nameCopy);
  return deleted && !env->ExceptionCheck() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_corvantis_windows_registry_RegistryKey_addAvailableSubKeys(JNIEnv* env,
                                                                                               jobject self,
                                                                                               jobject names) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return JNI_FALSE;
  }
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck() || !bridge::requireNonNull(env, names)) {
    return JNI_FALSE;
  }
  jclass namesClass = env->GetObjectClass(names);
  jmethodID add = namesClass != nullptr ? env->GetMethodID(namesClass, "add", "(Ljava/lang/Object;)Z") : nullptr;
  if (add == nullptr) {
    return JNI_FALSE;
  }
  DWORD capacity = kSubKeyNameUnits;
  auto buffer = static_cast<WCHAR*>(HeapAlloc(heap, 0, capacity * sizeof(WCHAR)));
  if (buffer == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return JNI_FALSE;
  }
  bool added = false;
  guardedCall(env, [&] {
    for (DWORD index = 0;;) {
      DWORD length = capacity;
      LONG answer = RegEnumKeyExW(key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
      if (answer == ERROR_SUCCESS) {
        jstring name = env->NewString(reinterpret_cast<const jchar*>(buffer), static_cast<jsize>(length));
        if (name == nullptr) {
          return;
        }
        if (env->CallBooleanMethod(names, add, name)) {
          added = true;
        }
        env->DeleteLocalRef(name);
        ++index;
      } else if (answer == ERROR_MORE_DATA) {
        // The same index is asked again with twice the room.
        capacity = bridge::grownSize(capacity, 0);
        auto grown = capacity != 0 ? static_cast<WCHAR*>(HeapReAlloc(heap, HEAP_GENERATE_EXCEPTIONS, buffer,
                                                                      SIZE_T{capacity} * sizeof(WCHAR)))
                                   : nullptr;
        if (grown == nullptr) {
          throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
          return;
        }
        buffer = grown;
      } else {
        if (answer != ERROR_NO_MORE_ITEMS) {
          throwCodedSystemException(env, static_cast<DWORD>(answer));
        }
        return;
      }
      if (env->ExceptionCheck()) {
        return;
      }
    }
  });
  ReleaseFromHeap(env, heap, buffer);
  return added && !env->ExceptionCheck() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_addAvailableValues(JNIEnv* env, jobject self,
                                                                                          jobject types) {
  if (!bridge::requireNonNull(env, types)) {
    return;
  }
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return;
  }
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  jclass integerClass = env->FindClass("java/lang/Integer");
  jmethodID valueOf =
      integerClass != nullptr ? env->GetStaticMethodID(integerClass, "valueOf", "(I)Ljava/lang/Integer;") : nullptr;
  jclass typesClass = valueOf != nullptr ? env->GetObjectClass(types) : nullptr;
  jmethodID put = typesClass != nullptr
                      ? env->GetMethodID(typesClass, "put", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;")
                      : nullptr;
  if (put == nullptr) {
    return;
  }
  auto buffer = static_cast<WCHAR*>(HeapAlloc(heap, 0, kValueNameUnits * sizeof(WCHAR)));
  if (buffer == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  guardedCall(env, [&] {
    for (DWORD index = 0;; ++index) {
      DWORD length = kValueNameUnits;
      DWORD type = REG_NONE;
      LONG answer = RegEnumValueW(key, index, buffer, &length, nullptr, &type, nullptr, nullptr);
      if (answer != ERROR_SUCCESS) {
        if (answer != ERROR_NO_MORE_ITEMS) {
          throwCodedSystemException(env, static_cast<DWORD>(answer));
        }
        return;
      }
      jobject boxedType = env->CallStaticObjectMethod(integerClass, valueOf, static_cast<jint>(type));
      if (env->ExceptionCheck()) {
        return;
      }
      // The default value comes with an empty name and is put under "".
      jstring name = env->NewString(reinterpret_cast<const jchar*>(buffer), static_cast<jsize>(length));
      if (name == nullptr) {
        return;
      }
      jobject previous = env->CallNonvirtualObjectMethod(types, typesClass, put, name, boxedType);
      env->DeleteLocalRef(name);
      env->DeleteLocalRef(boxedType);
      if (previous != nullptr) {
        env->DeleteLocalRef(previous);
      }
      if (env->ExceptionCheck()) {
        return;
      }
    }
  });
  ReleaseFromHeap(env, heap, buffer);
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_registry_RegistryKey_getNumberSubKeys(JNIEnv* env, jobject self) {
  DWORD count = 0;
  bool answered = queryKeyInfo(env, self, [&count](HKEY key) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
  });
  return answered ? static_cast<jint>(count) : 0;
}

JNIEXPORT jlong JNICALL Java_com_corvantis_windows_registry_RegistryKey_getLastWriteTime(JNIEnv* env, jobject self) {
  FILETIME written{};
  bool answered = queryKeyInfo(env, self, [&written](HKEY key) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, &written);
  });
  if (!answered) {
    return 0;
  }
  ULARGE_INTEGER ticks;
  ticks.LowPart = written.dwLowDateTime;
  ticks.HighPart = written.dwHighDateTime;
  return bridge::fileTimeToJavaMillis(static_cast<jlong>(ticks.QuadPart));
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_saveToFile(JNIEnv* env, jobject self,
                                                                                  jstring path) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return;
  }
  HKEY key = keyHandle(env, self);
  // RegSaveKeyW needs a file name; a null path is the caller's error, not Windows'.
  if (env->ExceptionCheck() || !bridge::requireNonNull(env, path)) {
    return;
  }
  LPWSTR pathCopy = GetSzwStringCharsFromHeap(env, heap, path);
  if (env->ExceptionCheck()) {
    return;
  }
  guardedCall(env, [&] {
    LONG answer = RegSaveKeyW(key, pathCopy, nullptr);
    if (answer != ERROR_SUCCESS) {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  });
  ReleaseFromHeap(env, heap, pathCopy);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_close(JNIEnv* env, jobject self) {
  bridge::closeHandleField(env, self, [env](jlong handle) {
    LONG answer = ERROR_SUCCESS;
    if (!guardedCall(env, [&] { answer = RegCloseKey(reinterpret_cast<HKEY>(handle)); })) {
      return false;
    }
    // RegCloseKey answers with its code, not through the last error.
    SetLastError(static_cast<DWORD>(answer));
    return answer == ERROR_SUCCESS;
  });
}

}  // extern "C"
