// RegistryKey natives that read, write, count and delete the values of a key.
#include <com_corvantis_windows_registry_RegistryKey.h>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "registry_common.h"

namespace {

using bridge::guardedCall;
using bridge::processHeap;
using bridge::registry::checkRegistryType;
using bridge::registry::deleteNamedItem;
using bridge::registry::keyHandle;
using bridge::registry::throwNoSuchElement;

constexpr DWORD kStringCapacity = 256;
constexpr DWORD kResolveCapacity = 128;
constexpr DWORD kBinaryCapacity = 128;
constexpr DWORD kMultiStringCapacity = 512;
constexpr DWORD kPerformanceDataStep = 8192;
constexpr SIZE_T kMultiStringFirstUnits = 512;

// One variable-size read: a process-heap block that the query may grow.
struct ValueBuffer {
  void* data;
  DWORD length;    // bytes Windows reported for the value
  DWORD capacity;  // bytes in data
};

bool allocateValueBuffer(JNIEnv* env, HANDLE heap, DWORD capacity, ValueBuffer* buffer) {
  *buffer = ValueBuffer{HeapAlloc(heap, 0, capacity), 0, capacity};
  if (buffer->data == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

const WCHAR* unitsOf(const ValueBuffer& buffer) { return static_cast<const WCHAR*>(buffer.data); }

// Next capacity after ERROR_MORE_DATA. HKEY_PERFORMANCE_DATA reports no usable
// size, and a size no larger than the buffer is not relied on either: both grow in
// steps, so every retry offers more. 0 when the size cannot be held in a DWORD.
DWORD grownCapacity(HKEY key, DWORD reported, DWORD capacity) {
  ULONGLONG grown = reported > capacity && key != HKEY_PERFORMANCE_DATA ? ULONGLONG{reported} + 2
                                                                        : ULONGLONG{capacity} + kPerformanceDataStep;
  return grown > MAXDWORD ? 0 : static_cast<DWORD>(grown);
}

// Reads a value of one of the accepted types into buffer, growing it as Windows
// asks. True when the value was read and its type accepted; otherwise an
// exception is pending.
bool readRegistryValue(JNIEnv* env, jobject self, jstring name, HANDLE heap, ValueBuffer* buffer, const DWORD* accepted,
                       DWORD count, DWORD* storedType) {
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return false;
  }
  LPWSTR nameCopy = GetSzwStringCharsFromHeap(env, heap, name);
  if (env->ExceptionCheck()) {
    return false;
  }
  LONG answer = ERROR_SUCCESS;
  DWORD type = REG_NONE;
  bool refused = false;
  bool completed = guardedCall(env, [&] {
    for (;;) {
      DWORD size = buffer->capacity;
      answer = RegQueryValueExW(key, nameCopy, nullptr, &type, static_cast<LPBYTE>(buffer->data), &size);
      buffer->length = size;
      if (answer != ERROR_MORE_DATA) {
        return;
      }
      if (!checkRegistryType(env, accepted, count, type)) {
        refused = true;
        return;
      }
      DWORD capacity = grownCapacity(key, size, buffer->capacity);
      // HEAP_GENERATE_EXCEPTIONS raises on failure; a null from a heap that does not is refused too.
      void* grown = capacity != 0 ? HeapReAlloc(heap, HEAP_GENERATE_EXCEPTIONS, buffer->data, capacity) : nullptr;
      if (grown == nullptr) {
        answer = ERROR_NOT_ENOUGH_MEMORY;
        return;
      }
      buffer->data = grown;
      buffer->capacity = capacity;
    }
  });
  bool read = false;
  if (completed && !refused) {
    if (answer == ERROR_SUCCESS) {
      read = checkRegistryType(env, accepted, count, type);
      if (read && storedType != nullptr) {
        *storedType = type;
      }
    } else if (answer == ERROR_FILE_NOT_FOUND) {
      throwNoSuchElement(env, name);
    } else {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  }
  ReleaseFromHeap(env, heap, nameCopy);
  return read && !env->ExceptionCheck();
}

jstring readStringValue(JNIEnv* env, jobject self, jstring name, DWORD type) {
  HANDLE heap = processHeap(env);
  ValueBuffer buffer;
  if (heap == nullptr || !allocateValueBuffer(env, heap, kStringCapacity, &buffer)) {
    return nullptr;
  }
  jstring result = nullptr;
  if (readRegistryValue(env, self, name, heap, &buffer, &type, 1, nullptr)) {
    DWORD units = buffer.length / sizeof(WCHAR);
    // Only the one terminating NUL goes; embedded and further trailing NULs stay.
    if (units >= 1 && unitsOf(buffer)[units - 1] == L'\0') {
      --units;
    }
    result = env->NewString(reinterpret_cast<const jchar*>(buffer.data), static_cast<jsize>(units));
  }
  ReleaseFromHeap(env, heap, buffer.data);
  return result;
}

// Makes the text in buffer NUL-terminated and returns its length in units, or
// -1 with an exception pending.
long long terminateText(JNIEnv* env, HANDLE heap, ValueBuffer* buffer) {
  DWORD units = buffer->length / sizeof(WCHAR);
  if (units >= 1 && unitsOf(*buffer)[units - 1] == L'\0') {
    return units - 1;
  }
  if (buffer->capacity - buffer->length < sizeof(WCHAR)) {
    DWORD size = buffer->length + sizeof(WCHAR);
    // A length Windows reported beyond MAXDWORD - 2 wraps: refused as lack of memory.
    void* grown = size > buffer->length ? HeapReAlloc(heap, HEAP_ZERO_MEMORY, buffer->data, size) : nullptr;
    if (grown == nullptr) {
      throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    buffer->data = grown;
    buffer->capacity = size;
  }
  static_cast<WCHAR*>(buffer->data)[units] = L'\0';
  return units;
}

void writeRegistryValue(JNIEnv* env, jobject self, jstring name, const void* data, SIZE_T size, DWORD type) {
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  // A larger size would be cut to its low 32 bits and store a truncated value.
  if (size > MAXDWORD) {
    throwCodedSystemException(env, ERROR_INVALID_PARAMETER);
    return;
  }
  LPWSTR nameCopy = GetSzwStringChars(env, name);
  if (env->ExceptionCheck()) {
    return;
  }
  guardedCall(env, [&] {
    LONG answer = RegSetValueExW(key, nameCopy, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    if (answer != ERROR_SUCCESS) {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  });
  ReleaseSzwStringChars(env, nameCopy);
}

void writeStringValue(JNIEnv* env, jobject self, jstring name, jstring value, DWORD type) {
  if (!bridge::requireNonNull(env, value)) {
    return;
  }
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return;
  }
  jsize length = env->GetStringLength(value);
  if (env->ExceptionCheck()) {
    return;
  }
  SIZE_T size = (static_cast<SIZE_T>(length) + 1) * sizeof(WCHAR);
  void* text = HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
  if (text == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  env->GetStringRegion(value, 0, length, static_cast<jchar*>(text));
  if (!env->ExceptionCheck()) {
    writeRegistryValue(env, self, name, text, size, type);
  }
  ReleaseFromHeap(env, heap, text);
}

// Reads a REG_DWORD or REG_QWORD straight into the result; no growth.
template <class Value>
Value readFixedRegistryValue(JNIEnv* env, jobject self, jstring name, DWORD expected) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return 0;
  }
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return 0;
  }
  LPWSTR nameCopy = GetSzwStringCharsFromHeap(env, heap, name);
  if (env->ExceptionCheck()) {
    return 0;
  }
  // Bytes a shorter value does not supply read as zero.
  Value value = 0;
  DWORD size = sizeof(value);
  DWORD type = REG_NONE;
  LONG answer = ERROR_SUCCESS;
  if (guardedCall(env, [&] {
        answer = RegQueryValueExW(key, nameCopy, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
      })) {
    if (answer == ERROR_SUCCESS || (answer == ERROR_MORE_DATA && type != expected)) {
      checkRegistryType(env, &expected, 1, type);
    } else if (answer == ERROR_FILE_NOT_FOUND) {
      throwNoSuchElement(env, name);
    } else {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  }
  ReleaseFromHeap(env, heap, nameCopy);
  return env->ExceptionCheck() ? 0 : value;
}

// The growing REG_MULTI_SZ block. Its allocations raise a structured exception
// on failure, so they run only inside the guard; a heap that returns null
// instead is refused all the same.
struct MultiString {
  WCHAR* units;
  SIZE_T capacity;  // in units
  SIZE_T used;      // units written so far, each string's NUL included
};

bool appendToMultiString(JNIEnv* env, HANDLE heap, MultiString* block, jstring string) {
  jsize length = env->GetStringLength(string);
  if (env->ExceptionCheck()) {
    return false;
  }
  // The text, its NUL and room for the closing NUL.
  SIZE_T needed = block->used + static_cast<SIZE_T>(length) + 2;
  if (needed > block->capacity) {
    SIZE_T capacity = block->capacity * 2 > needed ? block->capacity * 2 : needed;
    auto grown =
        static_cast<WCHAR*>(HeapReAlloc(heap, HEAP_GENERATE_EXCEPTIONS, block->units, capacity * sizeof(WCHAR)));
    if (grown == nullptr) {
      throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    block->units = grown;
    block->capacity = capacity;
  }
  env->GetStringRegion(string, 0, length, reinterpret_cast<jchar*>(block->units + block->used));
  if (env->ExceptionCheck()) {
    return false;
  }
  block->units[block->used + length] = L'\0';
  block->used += static_cast<SIZE_T>(length) + 1;
  return true;
}

// Writes a REG_MULTI_SZ built from the strings that nextString hands out, one
// local reference at a time, until it returns null; nothing is written when an
// exception is pending by then.
template <class NextString>
void buildMultiString(JNIEnv* env, jobject self, jstring name, NextString nextString) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return;
  }
  MultiString block{nullptr, 0, 0};
  guardedCall(env, [&] {
    block.units =
        static_cast<WCHAR*>(HeapAlloc(heap, HEAP_GENERATE_EXCEPTIONS, kMultiStringFirstUnits * sizeof(WCHAR)));
    if (block.units == nullptr) {
      throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
      return;
    }
    block.capacity = kMultiStringFirstUnits;
    while (jstring string = nextString()) {
      bool appended = appendToMultiString(env, heap, &block, string);
      env->DeleteLocalRef(string);
      if (!appended) {
        return;
      }
    }
    if (!env->ExceptionCheck()) {
      block.units[block.used] = L'\0';
      writeRegistryValue(env, self, name, block.units, (block.used + 1) * sizeof(WCHAR), REG_MULTI_SZ);
    }
  });
  ReleaseFromHeap(env, heap, block.units);
}

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL Java_com_corvantis_windows_registry_RegistryKey_getStringValue(JNIEnv* env, jobject self,
                                                                                         jstring name) {
  return readStringValue(env, self, name, REG_SZ);
}

JNIEXPORT jstring JNICALL Java_com_corvantis_windows_registry_RegistryKey_getExpandableStringValue(JNIEnv* env,
                                                                                                   jobject self,
                                                                                                   jstring name) {
  return readStringValue(env, self, name, REG_EXPAND_SZ);
}

JNIEXPORT jstring JNICALL Java_com_corvantis_windows_registry_RegistryKey_resolveStringValue(JNIEnv* env, jobject self,
                                                                                             jstring name) {
  HANDLE heap = processHeap(env);
  ValueBuffer buffer;
  if (heap == nullptr || !allocateValueBuffer(env, heap, kResolveCapacity, &buffer)) {
    return nullptr;
  }
  const DWORD accepted[] = {REG_SZ, REG_EXPAND_SZ};
  DWORD type = REG_NONE;
  jstring result = nullptr;
  if (readRegistryValue(env, self, name, heap, &buffer, accepted, 2, &type)) {
    long long length = terminateText(env, heap, &buffer);
    if (length >= 0) {
      result = type == REG_SZ ? env->NewString(reinterpret_cast<const jchar*>(buffer.data), static_cast<jsize>(length))
                              : bridge::expandToJavaString(env, heap, unitsOf(buffer));
    }
  }
  ReleaseFromHeap(env, heap, buffer.data);
  return result;
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_setStringValue(JNIEnv* env, jobject self,
                                                                                      jstring name, jstring value) {
  writeStringValue(env, self, name, value, REG_SZ);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_setExpandableStringValue(JNIEnv* env,
                                                                                                jobject self,
                                                                                                jstring name,
                                                                                                jstring value) {
  writeStringValue(env, self, name, value, REG_EXPAND_SZ);
}

JNIEXPORT jboolean JNICALL Java_com_corvantis_windows_registry_RegistryKey_addMultiStringValuesTo(JNIEnv* env,
                                                                                                  jobject self,
                                                                                                  jstring name,
                                                                                                  jobject strings) {
  HANDLE heap = processHeap(env);
  ValueBuffer buffer;
  if (heap == nullptr || !allocateValueBuffer(env, heap, kMultiStringCapacity, &buffer)) {
    return JNI_FALSE;
  }
  const DWORD accepted = REG_MULTI_SZ;
  bool added = false;
  if (readRegistryValue(env, self, name, heap, &buffer, &accepted, 1, nullptr)) {
    added = bridge::addMultiStringToCollection(env, unitsOf(buffer), buffer.length / sizeof(WCHAR), strings,
                                               bridge::kCodedSystemExceptionClass);
  }
  ReleaseFromHeap(env, heap, buffer.data);
  return added && !env->ExceptionCheck() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL
Java_com_corvantis_windows_registry_RegistryKey_setMultiStringValue__Ljava_lang_String_2Ljava_util_Iterator_2(
    JNIEnv* env, jobject self, jstring name, jobject iterator) {
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr || !bridge::requireNonNull(env, iterator)) {
    return;
  }
  jclass iteratorClass = env->GetObjectClass(iterator);
  jmethodID next = iteratorClass != nullptr ? env->GetMethodID(iteratorClass, "next", "()Ljava/lang/Object;") : nullptr;
  jmethodID hasNext = next != nullptr ? env->GetMethodID(iteratorClass, "hasNext", "()Z") : nullptr;
  if (hasNext == nullptr) {
    return;
  }
  buildMultiString(env, self, name, [&]() -> jstring {
    bool more = env->CallBooleanMethod(iterator, hasNext);
    if (env->ExceptionCheck() || !more) {
      return nullptr;
    }
    jobject element = env->CallObjectMethod(iterator, next);
    if (env->ExceptionCheck()) {
      return nullptr;
    }
    if (!bridge::requireNonNull(env, element) || !bridge::checkInstanceOf(env, element, stringClass)) {
      env->DeleteLocalRef(element);
      return nullptr;
    }
    return static_cast<jstring>(element);
  });
}

JNIEXPORT void JNICALL
Java_com_corvantis_windows_registry_RegistryKey_setMultiStringValue__Ljava_lang_String_2_3Ljava_lang_String_2(
    JNIEnv* env, jobject self, jstring name, jobjectArray strings) {
  if (!bridge::requireNonNull(env, strings)) {
    return;
  }
  jsize length = env->GetArrayLength(strings);
  if (env->ExceptionCheck()) {
    return;
  }
  jsize index = 0;
  buildMultiString(env, self, name, [&]() -> jstring {
    if (index == length || env->ExceptionCheck()) {
      return nullptr;
    }
    jobject element = env->GetObjectArrayElement(strings, index++);
    if (env->ExceptionCheck() || !bridge::requireNonNull(env, element)) {
      return nullptr;
    }
    return static_cast<jstring>(element);
  });
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_registry_RegistryKey_getIntValue(JNIEnv* env, jobject self,
                                                                                   jstring name) {
  return readFixedRegistryValue<jint>(env, self, name, REG_DWORD);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_setIntValue(JNIEnv* env, jobject self,
                                                                                   jstring name, jint value) {
  writeRegistryValue(env, self, name, &value, sizeof(value), REG_DWORD);
}

JNIEXPORT jlong JNICALL Java_com_corvantis_windows_registry_RegistryKey_getLongValue(JNIEnv* env, jobject self,
                                                                                     jstring name) {
  return readFixedRegistryValue<jlong>(env, self, name, REG_QWORD);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_setLongValue(JNIEnv* env, jobject self,
                                                                                    jstring name, jlong value) {
  writeRegistryValue(env, self, name, &value, sizeof(value), REG_QWORD);
}

JNIEXPORT jbyteArray JNICALL Java_com_corvantis_windows_registry_RegistryKey_getBinaryValue(JNIEnv* env, jobject self,
                                                                                            jstring name) {
  HANDLE heap = processHeap(env);
  ValueBuffer buffer;
  if (heap == nullptr || !allocateValueBuffer(env, heap, kBinaryCapacity, &buffer)) {
    return nullptr;
  }
  const DWORD accepted = REG_BINARY;
  jbyteArray result = nullptr;
  if (readRegistryValue(env, self, name, heap, &buffer, &accepted, 1, nullptr)) {
    result = env->NewByteArray(static_cast<jsize>(buffer.length));
    if (result != nullptr) {
      env->SetByteArrayRegion(result, 0, static_cast<jsize>(buffer.length), static_cast<const jbyte*>(buffer.data));
    }
  }
  ReleaseFromHeap(env, heap, buffer.data);
  return result;
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_setBinaryValue(JNIEnv* env, jobject self,
                                                                                      jstring name, jbyteArray data) {
  if (!bridge::requireNonNull(env, data)) {
    return;
  }
  jsize length = env->GetArrayLength(data);
  if (env->ExceptionCheck()) {
    return;
  }
  jbyte* bytes = env->GetByteArrayElements(data, nullptr);
  if (bytes == nullptr) {
    return;
  }
  writeRegistryValue(env, self, name, bytes, static_cast<SIZE_T>(length), REG_BINARY);
  env->ReleaseByteArrayElements(data, bytes, JNI_ABORT);
}

JNIEXPORT jboolean JNICALL Java_com_corvantis_windows_registry_RegistryKey_deleteValue(JNIEnv* env, jobject self,
                                                                                       jstring name) {
  HANDLE heap = processHeap(env);
  if (heap == nullptr) {
    return JNI_FALSE;
  }
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return JNI_FALSE;
  }
  LPWSTR nameCopy = GetSzwStringCharsFromHeap(env, heap, name);
  if (env->ExceptionCheck()) {
    return JNI_FALSE;
  }
  bool deleted = deleteNamedItem(env, key, nameCopy, RegDeleteValueW);
  ReleaseFromHeap(env, heap, nameCopy);
  return deleted && !env->ExceptionCheck() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_com_corvantis_windows_registry_RegistryKey_getNumberValues(JNIEnv* env, jobject self) {
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return 0;
  }
  DWORD count = 0;
  LONG answer = ERROR_SUCCESS;
  if (!guardedCall(env, [&] {
        answer = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                  nullptr, nullptr);
      })) {
    return 0;
  }
  if (answer != ERROR_SUCCESS) {
    throwCodedSystemException(env, static_cast<DWORD>(answer));
    return 0;
  }
  return static_cast<jint>(count);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_registry_RegistryKey_flush(JNIEnv* env, jobject self) {
  HKEY key = keyHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  guardedCall(env, [&] {
    LONG answer = RegFlushKey(key);
    if (answer != ERROR_SUCCESS) {
      throwCodedSystemException(env, static_cast<DWORD>(answer));
    }
  });
}

}  // extern "C"
