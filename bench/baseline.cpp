#define BENCH_BASELINE_BUILDING
#include "baseline.h"

#include <pdh.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstring>

namespace {

constexpr int kNameUnits = 256;
constexpr int kLineUnits = 4096;
constexpr DWORD kEntryBytes = 8192;

BYTE valueBuffer[kBareValueBytes];

jlong handleField(JNIEnv* env, jobject object) {
  return env->GetLongField(object, env->GetFieldID(env->GetObjectClass(object), "_handle", "J"));
}

// The name NUL-terminated in `name` (kNameUnits).
void copyName(JNIEnv* env, jstring string, WCHAR* name) {
  jsize length = env->GetStringLength(string);
  env->GetStringRegion(string, 0, length, reinterpret_cast<jchar*>(name));
  name[length] = L'\0';
}

DWORD queryValue(JNIEnv* env, jobject self, jstring name, void* data, DWORD size) {
  WCHAR copy[kNameUnits];
  copyName(env, name, copy);
  DWORD type = 0;
  RegQueryValueExW(reinterpret_cast<HKEY>(handleField(env, self)), copy, nullptr, &type, static_cast<BYTE*>(data),
                   &size);
  return size;
}

// add(element) on a collection; false also when it raised.
bool addTo(JNIEnv* env, jobject collection, jmethodID add, const WCHAR* text, jsize length, bool* added) {
  jstring element = env->NewString(reinterpret_cast<const jchar*>(text), length);
  *added = env->CallBooleanMethod(collection, add, element) || *added;
  env->DeleteLocalRef(element);
  return !env->ExceptionCheck();
}

jmethodID addMethod(JNIEnv* env, jobject collection) {
  return env->GetMethodID(env->GetObjectClass(collection), "add", "(Ljava/lang/Object;)Z");
}

}  // namespace

void JNICALL bareStoreValue(JNIEnv* env, jclass, jlong counter, jint format, jint offset, jobject buffer) {
  auto address = static_cast<unsigned char*>(env->GetDirectBufferAddress(buffer));
  PDH_FMT_COUNTERVALUE value;
  PdhGetFormattedCounterValue(reinterpret_cast<PDH_HCOUNTER>(counter), static_cast<DWORD>(format), nullptr, &value);
  std::memcpy(address + offset, &value.doubleValue, sizeof value.doubleValue);
}

void JNICALL bareStoreValueSameCalls(JNIEnv* env, jclass, jlong counter, jint format, jint offset, jobject buffer) {
  auto address = static_cast<unsigned char*>(env->GetDirectBufferAddress(buffer));
  if (offset + 8 > env->GetDirectBufferCapacity(buffer)) {
    return;
  }
  PDH_FMT_COUNTERVALUE value;
  PdhGetFormattedCounterValue(reinterpret_cast<PDH_HCOUNTER>(counter), static_cast<DWORD>(format), nullptr, &value);
  std::memcpy(address + offset, &value.doubleValue, sizeof value.doubleValue);
}

void JNICALL bareUpdateCounters(JNIEnv*, jclass, jlong query) {
  PdhCollectQueryData(reinterpret_cast<PDH_HQUERY>(query));
}

jstring JNICALL bareGetStringValue(JNIEnv* env, jobject self, jstring name) {
  DWORD size = queryValue(env, self, name, valueBuffer, sizeof valueBuffer);
  return env->NewString(reinterpret_cast<const jchar*>(valueBuffer), static_cast<jsize>(size / 2 - 1));
}

jstring JNICALL bareGetStringValueSameCalls(JNIEnv* env, jobject self, jstring name) {
  WCHAR copy[kNameUnits];
  copyName(env, name, copy);
  auto key = reinterpret_cast<HKEY>(handleField(env, self));
  HANDLE heap = GetProcessHeap();
  DWORD capacity = 256;
  void* data = HeapAlloc(heap, 0, capacity);
  DWORD size = capacity;
  DWORD type = 0;
  if (RegQueryValueExW(key, copy, nullptr, &type, static_cast<BYTE*>(data), &size) == ERROR_MORE_DATA) {
    capacity = size + 2;
    data = HeapReAlloc(heap, 0, data, capacity);
    size = capacity;
    RegQueryValueExW(key, copy, nullptr, &type, static_cast<BYTE*>(data), &size);
  }
  jstring result = env->NewString(static_cast<const jchar*>(data), static_cast<jsize>(size / 2 - 1));
  HeapFree(heap, 0, data);
  return result;
}

jint JNICALL bareGetIntValue(JNIEnv* env, jobject self, jstring name) {
  DWORD value = 0;
  queryValue(env, self, name, &value, sizeof value);
  return static_cast<jint>(value);
}

jboolean JNICALL bareAddMultiStringValuesTo(JNIEnv* env, jobject self, jstring name, jobject collection) {
  DWORD units = queryValue(env, self, name, valueBuffer, sizeof valueBuffer) / 2;
  jmethodID add = addMethod(env, collection);
  auto strings = reinterpret_cast<const WCHAR*>(valueBuffer);
  bool added = false;
  for (DWORD at = 0; at < units && strings[at] != L'\0';) {
    jsize length = lstrlenW(strings + at);
    if (!addTo(env, collection, add, strings + at, length, &added)) {
      break;
    }
    at += static_cast<DWORD>(length) + 1;
  }
  return added ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL bareAddAvailableSubKeys(JNIEnv* env, jobject self, jobject names) {
  auto key = reinterpret_cast<HKEY>(handleField(env, self));
  jmethodID add = addMethod(env, names);
  WCHAR name[kNameUnits];
  bool added = false;
  for (DWORD index = 0;; ++index) {
    DWORD length = kNameUnits;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        !addTo(env, names, add, name, static_cast<jsize>(length), &added)) {
      break;
    }
  }
  return added ? JNI_TRUE : JNI_FALSE;
}

jobjectArray JNICALL bareParseCommandLineArguments(JNIEnv* env, jclass, jstring line) {
  WCHAR copy[kLineUnits];
  jsize length = env->GetStringLength(line);
  env->GetStringRegion(line, 0, length, reinterpret_cast<jchar*>(copy));
  copy[length] = L'\0';
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(copy, &count);
  jobjectArray array = env->NewObjectArray(count, env->FindClass("java/lang/String"), nullptr);
  for (int i = 0; i < count; ++i) {
    jstring argument = env->NewString(reinterpret_cast<const jchar*>(arguments[i]), lstrlenW(arguments[i]));
    env->SetObjectArrayElement(array, i, argument);
    env->DeleteLocalRef(argument);
  }
  LocalFree(arguments);
  return array;
}

jint JNICALL bareClearCache(JNIEnv*, jclass, jstring, jint filter) {
  alignas(8) static BYTE buffer[kEntryBytes];
  auto entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer);
  DWORD size = kEntryBytes;
  HANDLE find =
      FindFirstUrlCacheEntryExW(nullptr, 0, static_cast<DWORD>(filter), 0, entry, &size, nullptr, nullptr, nullptr);
  if (find == nullptr) {
    return 0;
  }
  jint deleted = 0;
  do {
    deleted += DeleteUrlCacheEntryW(entry->lpszSourceUrlName) ? 1 : 0;
    size = kEntryBytes;
  } while (FindNextUrlCacheEntryExW(find, entry, &size, nullptr, nullptr, nullptr));
  FindCloseUrlCache(find);
  return deleted;
}

jobject JNICALL bareCreateProcess(JNIEnv* env, jclass, jstring commandLine) {
  WCHAR copy[kLineUnits];
  jsize length = env->GetStringLength(commandLine);
  env->GetStringRegion(commandLine, 0, length, reinterpret_cast<jchar*>(copy));
  copy[length] = L'\0';
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, copy, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup,
                      &created)) {
    return nullptr;
  }
  CloseHandle(created.hThread);
  jclass cls = env->FindClass("com/corvantis/process/WindowsProcess");
  return env->NewObject(cls, env->GetMethodID(cls, "<init>", "(JI)V"), reinterpret_cast<jlong>(created.hProcess),
                        static_cast<jint>(created.dwProcessId));
}

jint JNICALL bareWaitFor(JNIEnv* env, jobject process) {
  auto handle = reinterpret_cast<HANDLE>(handleField(env, process));
  WaitForSingleObject(handle, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(handle, &code);
  return static_cast<jint>(code);
}

void JNICALL bareClose(JNIEnv* env, jobject process) {
  jfieldID field = env->GetFieldID(env->GetObjectClass(process), "_handle", "J");
  CloseHandle(reinterpret_cast<HANDLE>(env->GetLongField(process, field)));
  env->SetLongField(process, field, 0);
}
