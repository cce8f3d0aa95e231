#include "bridge/strings.h"

#include <climits>

#include "bridge/failures.h"

extern "C" LPWSTR GetSzwStringCharsFromHeap(JNIEnv* env, HANDLE heap, jstring string) {
  if (string == nullptr) {
    return nullptr;
  }
  jsize length = env->GetStringLength(string);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  // Zeroed, so the unit after the copied ones is the terminating NUL.
  auto block =
      static_cast<LPWSTR>(HeapAlloc(heap, HEAP_ZERO_MEMORY, (static_cast<SIZE_T>(length) + 1) * sizeof(WCHAR)));
  if (block == nullptr) {
    throwMemoryException(env);
    return nullptr;
  }
  env->GetStringRegion(string, 0, length, reinterpret_cast<jchar*>(block));
  if (env->ExceptionCheck()) {
    HeapFree(heap, 0, block);
    return nullptr;
  }
  return block;
}

extern "C" LPWSTR GetSzwStringChars(JNIEnv* env, jstring string) {
  HANDLE heap = bridge::processHeap(env);
  return heap != nullptr ? GetSzwStringCharsFromHeap(env, heap, string) : nullptr;
}

extern "C" void ReleaseFromHeap(JNIEnv* env, HANDLE heap, LPVOID block) {
  if (block == nullptr) {
    return;
  }
  if (!HeapFree(heap, 0, block)) {
    DWORD code = GetLastError();
    if (!env->ExceptionCheck()) {
      throwCodedSystemException(env, code);
    }
  }
}

extern "C" void ReleaseSzwStringChars(JNIEnv* env, LPWSTR chars) {
  if (chars == nullptr) {
    return;
  }
  HANDLE heap = GetProcessHeap();
  if (heap == nullptr || !HeapFree(heap, 0, chars)) {
    DWORD code = GetLastError();
    if (!env->ExceptionCheck()) {
      throwCodedSystemException(env, code);
    }
  }
}

extern "C" int ReAllocHeapBuffer(JNIEnv* env, HANDLE heap, DWORD flags, LPVOID* block, SIZE_T size) {
  LPVOID resized = HeapReAlloc(heap, flags, *block, size);
  if (resized == nullptr) {
    throwMemoryException(env);
    return 0;
  }
  *block = resized;
  return 1;
}

namespace bridge {

HANDLE processHeap(JNIEnv* env) {
  HANDLE heap = GetProcessHeap();
  if (heap == nullptr) {
    throwCodedSystemException(env, GetLastError());
  }
  return heap;
}

bool boundedLength(const WCHAR* start, size_t remaining, size_t* length) {
  if (remaining > static_cast<size_t>(INT_MAX)) {
    return false;
  }
  for (size_t i = 0; i < remaining; ++i) {
    if (start[i] == L'\0') {
      *length = i;
      return true;
    }
  }
  return false;
}

DWORD grownSize(DWORD offered, DWORD asked, DWORD extra) {
  ULONGLONG next = asked > offered ? ULONGLONG{asked} + extra : ULONGLONG{offered} * 2;
  return next > MAXDWORD ? 0 : static_cast<DWORD>(next);
}

jstring newJavaString(JNIEnv* env, const WCHAR* text) {
  if (text == nullptr) {
    return nullptr;
  }
  return env->NewString(reinterpret_cast<const jchar*>(text), lstrlenW(text));
}

jstring newJavaStringBounded(JNIEnv* env, const WCHAR* buffer, size_t capacity) {
  if (buffer == nullptr) {
    return nullptr;
  }
  size_t length = 0;
  if (!boundedLength(buffer, capacity, &length)) {
    throwCodedSystemException(env, kInvalidArgument);
    return nullptr;
  }
  return env->NewString(reinterpret_cast<const jchar*>(buffer), static_cast<jsize>(length));
}

jstring expandToJavaString(JNIEnv* env, HANDLE heap, const WCHAR* source) {
  DWORD capacity = 128;
  auto block = static_cast<LPWSTR>(HeapAlloc(heap, 0, capacity * sizeof(WCHAR)));
  if (block == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  for (;;) {
    DWORD needed = ExpandEnvironmentStringsW(source, block, capacity);
    if (capacity >= needed) {
      jstring result = nullptr;
      if (needed > 0) {
        result = env->NewString(reinterpret_cast<const jchar*>(block), static_cast<jsize>(needed - 1));
      } else {
        throwCodedSystemException(env, GetLastError());
      }
      ReleaseFromHeap(env, heap, block);
      return result;
    }
    // The variables may change between calls, so ask again at the new size.
    auto grown = static_cast<LPWSTR>(HeapReAlloc(heap, 0, block, static_cast<SIZE_T>(needed) * sizeof(WCHAR)));
    if (grown == nullptr) {
      HeapFree(heap, 0, block);
      throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    block = grown;
    capacity = needed;
  }
}

namespace {

bool endsAt(const WCHAR* strings, size_t length, size_t position) {
  return position + 1 == length && strings != nullptr && strings[position] == L'\0';
}

}  // namespace

bool addMultiStringToCollection(JNIEnv* env, const WCHAR* strings, size_t length, jobject collection,
                                const char* exceptionClass) {
  if (!requireNonNull(env, collection)) {
    return false;
  }
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->GetObjectClass(collection);
  jmethodID add = cls != nullptr ? env->GetMethodID(cls, "add", "(Ljava/lang/Object;)Z") : nullptr;
  if (add == nullptr) {
    return false;
  }
  bool added = false;
  // The walk stops on the buffer's closing NUL. A buffer that does not end in that
  // extra NUL runs off its end and fails the bounded-length rule, also when its
  // last string is a single unit sitting where the closing NUL belongs.
  for (size_t position = 0; !endsAt(strings, length, position);) {
    if (env->ExceptionCheck()) {
      break;
    }
    size_t stringLength = 0;
    if (strings == nullptr || !boundedLength(strings + position, length - position, &stringLength)) {
      throwCodedException(env, exceptionClass, kInvalidArgument);
      break;
    }
    jstring element =
        env->NewString(reinterpret_cast<const jchar*>(strings + position), static_cast<jsize>(stringLength));
    if (element == nullptr) {
      break;
    }
    if (env->CallNonvirtualBooleanMethod(collection, cls, add, element)) {
      added = true;
    }
    env->DeleteLocalRef(element);
    position += stringLength + 1;
  }
  return added;
}

jobject newListFromMultiString(JNIEnv* env, const WCHAR* strings, size_t length, const char* exceptionClass) {
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return nullptr;
  }
  jclass cls = env->FindClass("java/util/ArrayList");
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "(I)V") : nullptr;
  jobject list = constructor != nullptr ? env->NewObject(cls, constructor, static_cast<jint>(50)) : nullptr;
  if (list != nullptr) {
    addMultiStringToCollection(env, strings, length, list, exceptionClass);
  }
  return frame.pop(list);
}

}  // namespace bridge
