// InternetHandle natives that read and write WinInet's per-connection options
// (proxy and automatic-configuration settings) through ConnectionOption objects.
#include <com_corvantis_windows_inet_InternetHandle.h>

#include <climits>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "inet_common.h"

namespace {

using bridge::inet::internetHandle;

constexpr const char* kConnectionOptionClass = "com/quillstone/browser/ConnectionOption";
constexpr DWORD kPrivateHeapInitial = 0x4000;
constexpr DWORD kPrivateHeapMaximum = 0x200000;

static_assert(sizeof(INTERNET_PER_CONN_OPTION_LISTW) == 32, "option list as WinInet declares it");
static_assert(sizeof(INTERNET_PER_CONN_OPTIONW) == 16, "option entry as WinInet declares it");

// How the Java side wants an option's value back.
enum class ResultKind { Integer, String, Unsupported };

// One array element between the two passes of a query: its local reference and
// the kind of its _desired_type.
struct QueriedElement {
  jobject option;
  ResultKind kind;
};

struct QueryLookups {
  jclass optionClass;
  jfieldID optionCode;
  jfieldID value;
  jfieldID desiredType;
  jclass nullPointer;
  jclass illegalArgument;
  jclass integer;
  jmethodID valueOf;
  jclass string;
};

// The lookups of a query, in the order the method makes them; false when one failed
// (the virtual machine's exception pending).
bool lookUpForQuery(JNIEnv* env, QueryLookups* l) {
  l->optionClass = env->FindClass(kConnectionOptionClass);
  if (l->optionClass == nullptr) return false;
  l->optionCode = env->GetFieldID(l->optionClass, "_option_code", "I");
  if (l->optionCode == nullptr) return false;
  l->value = env->GetFieldID(l->optionClass, "_value", "Ljava/lang/Object;");
  if (l->value == nullptr) return false;
  l->desiredType = env->GetFieldID(l->optionClass, "_desired_type", "Ljava/lang/Class;");
  if (l->desiredType == nullptr) return false;
  l->nullPointer = env->FindClass("java/lang/NullPointerException");
  if (l->nullPointer == nullptr) return false;
  l->illegalArgument = env->FindClass("java/lang/IllegalArgumentException");
  if (l->illegalArgument == nullptr) return false;
  l->integer = env->FindClass("java/lang/Integer");
  if (l->integer == nullptr) return false;
  l->valueOf = env->GetStaticMethodID(l->integer, "valueOf", "(I)Ljava/lang/Integer;");
  if (l->valueOf == nullptr) return false;
  l->string = env->FindClass("java/lang/String");
  return l->string != nullptr;
}

ResultKind resultKindOf(JNIEnv* env, const QueryLookups& l, jobject option) {
  jobject type = env->GetObjectField(option, l.desiredType);
  ResultKind kind = env->IsSameObject(type, l.integer)  ? ResultKind::Integer
                    : env->IsSameObject(type, l.string) ? ResultKind::String
                                                        : ResultKind::Unsupported;
  env->DeleteLocalRef(type);
  return kind;
}

// Element i of the options array; null when it is null (NullPointerException raised)
// or cannot be had.
jobject elementAt(JNIEnv* env, jobjectArray options, jsize i, jclass nullPointer) {
  jobject option = env->GetObjectArrayElement(options, i);
  if (option == nullptr && !env->ExceptionCheck()) {
    env->ThrowNew(nullPointer, nullptr);
  }
  return option;
}

// First pass: option numbers into the entries, elements kept for the second pass.
bool readQueriedOptions(JNIEnv* env, const QueryLookups& l, jobjectArray options, jsize count,
                        INTERNET_PER_CONN_OPTIONW* entries, QueriedElement* elements) {
  // One reference per element lives until the second pass is done, beside the
  // value and type references that come and go.
  if (env->EnsureLocalCapacity(count < INT_MAX - 2 ? count + 2 : INT_MAX) != JNI_OK) {
    return false;
  }
  for (jsize i = 0; i < count; ++i) {
    jobject option = elementAt(env, options, i, l.nullPointer);
    if (option == nullptr) {
      return false;
    }
    entries[i].dwOption = static_cast<DWORD>(env->GetIntField(option, l.optionCode));
    elements[i] = QueriedElement{option, resultKindOf(env, l, option)};
  }
  return true;
}

// Second pass: each value into _value, in order, until the first failure. Every
// string WinInet handed over is released, converted or not.
void writeQueriedValues(JNIEnv* env, const QueryLookups& l, jsize count, INTERNET_PER_CONN_OPTIONW* entries,
                        const QueriedElement* elements) {
  for (jsize i = 0; i < count; ++i) {
    if (env->ExceptionCheck()) {
      // Strings of the entries the pass did not reach.
      if (elements[i].kind == ResultKind::String && entries[i].Value.pszValue != nullptr) {
        GlobalFree(entries[i].Value.pszValue);
      }
      continue;
    }
    jobject value = nullptr;
    switch (elements[i].kind) {
      case ResultKind::Integer:
        value = env->CallStaticObjectMethod(l.integer, l.valueOf, static_cast<jint>(entries[i].Value.dwValue));
        break;
      case ResultKind::String:
        value = bridge::newJavaString(env, entries[i].Value.pszValue);
        if (entries[i].Value.pszValue != nullptr) {
          GlobalFree(entries[i].Value.pszValue);
        }
        break;
      case ResultKind::Unsupported:
        env->ThrowNew(l.illegalArgument, "unsupported result type");
        break;
    }
    if (!env->ExceptionCheck()) {
      env->SetObjectField(elements[i].option, l.value, value);
    }
    if (value != nullptr) {
      env->DeleteLocalRef(value);
    }
  }
}

struct SetLookups {
  jclass nullPointer;
  jclass illegalArgument;
  jclass string;
  jclass integer;
  jmethodID intValue;
  jclass optionClass;
  jfieldID optionCode;
  jfieldID value;
};

bool lookUpForSet(JNIEnv* env, SetLookups* l) {
  l->nullPointer = env->FindClass("java/lang/NullPointerException");
  if (l->nullPointer == nullptr) return false;
  l->illegalArgument = env->FindClass("java/lang/IllegalArgumentException");
  if (l->illegalArgument == nullptr) return false;
  l->string = env->FindClass("java/lang/String");
  if (l->string == nullptr) return false;
  l->integer = env->FindClass("java/lang/Integer");
  if (l->integer == nullptr) return false;
  l->intValue = env->GetMethodID(l->integer, "intValue", "()I");
  if (l->intValue == nullptr) return false;
  l->optionClass = env->FindClass(kConnectionOptionClass);
  if (l->optionClass == nullptr) return false;
  l->optionCode = env->GetFieldID(l->optionClass, "_option_code", "I");
  if (l->optionCode == nullptr) return false;
  l->value = env->GetFieldID(l->optionClass, "_value", "Ljava/lang/Object;");
  return l->value != nullptr;
}

// Converts every element into its entry, strings copied onto the private heap.
// False at the first element that cannot be converted (an exception pending).
bool convertOptionsToSet(JNIEnv* env, const SetLookups& l, HANDLE heap, jobjectArray options, jsize count,
                         INTERNET_PER_CONN_OPTIONW* entries) {
  for (jsize i = 0; i < count; ++i) {
    jobject option = elementAt(env, options, i, l.nullPointer);
    if (option == nullptr) {
      return false;
    }
    entries[i].dwOption = static_cast<DWORD>(env->GetIntField(option, l.optionCode));
    jobject value = env->GetObjectField(option, l.value);
    // IsInstanceOf holds for null too: a null value is a null string pointer.
    if (env->IsInstanceOf(value, l.string)) {
      entries[i].Value.pszValue = GetSzwStringCharsFromHeap(env, heap, static_cast<jstring>(value));
    } else if (env->IsInstanceOf(value, l.integer)) {
      entries[i].Value.dwValue = static_cast<DWORD>(env->CallIntMethod(value, l.intValue));
    } else {
      env->ThrowNew(l.illegalArgument, "unsupported value type");
    }
    if (env->ExceptionCheck()) {
      return false;
    }
    env->DeleteLocalRef(value);
    env->DeleteLocalRef(option);
  }
  return true;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_InternetHandle_queryConnectionOptions(JNIEnv* env, jobject self,
                                                                                             jstring connection,
                                                                                             jobjectArray options) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return;
  }
  INTERNET_PER_CONN_OPTION_LISTW list{};
  HINTERNET handle = internetHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  QueryLookups lookups;
  if (!lookUpForQuery(env, &lookups)) {
    return;
  }
  if (options == nullptr) {
    env->ThrowNew(lookups.nullPointer, nullptr);
    return;
  }
  jsize count = env->GetArrayLength(options);
  auto entries = static_cast<INTERNET_PER_CONN_OPTIONW*>(
      HeapAlloc(heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count) * sizeof(INTERNET_PER_CONN_OPTIONW)));
  auto elements = static_cast<QueriedElement*>(
      entries != nullptr ? HeapAlloc(heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count) * sizeof(QueriedElement))
                         : nullptr);
  LPWSTR connectionCopy = nullptr;
  if (elements == nullptr) {
    throwMemoryException(env);
  } else if (readQueriedOptions(env, lookups, options, count, entries, elements)) {
    connectionCopy = GetSzwStringCharsFromHeap(env, heap, connection);
    if (!env->ExceptionCheck()) {
      list.dwSize = sizeof(list);
      list.pszConnection = connectionCopy;
      list.dwOptionCount = static_cast<DWORD>(count);
      list.pOptions = entries;
      DWORD length = list.dwSize;
      if (InternetQueryOptionW(handle, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length)) {
        writeQueriedValues(env, lookups, count, entries, elements);
      } else {
        throwCodedSystemException(env, GetLastError());
      }
    }
  }
  ReleaseFromHeap(env, heap, connectionCopy);
  ReleaseFromHeap(env, heap, elements);
  ReleaseFromHeap(env, heap, entries);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_InternetHandle_setConnectionOptions(JNIEnv* env, jobject self,
                                                                                           jstring connection,
                                                                                           jobjectArray options) {
  SetLookups lookups;
  if (!lookUpForSet(env, &lookups)) {
    return;
  }
  INTERNET_PER_CONN_OPTION_LISTW list{};
  HINTERNET handle = internetHandle(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  // Everything the set needs lives on this heap, which cannot grow past its maximum
  // and goes away whole at the end.
  HANDLE heap = HeapCreate(HEAP_NO_SERIALIZE, kPrivateHeapInitial, kPrivateHeapMaximum);
  if (heap == nullptr) {
    throwMemoryException(env);
    return;
  }
  if (options == nullptr) {
    env->ThrowNew(lookups.nullPointer, nullptr);
  } else {
    jsize count = env->GetArrayLength(options);
    auto entries = static_cast<INTERNET_PER_CONN_OPTIONW*>(
        HeapAlloc(heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count) * sizeof(INTERNET_PER_CONN_OPTIONW)));
    if (entries == nullptr) {
      throwMemoryException(env);
    } else if (convertOptionsToSet(env, lookups, heap, options, count, entries)) {
      LPWSTR connectionCopy = GetSzwStringCharsFromHeap(env, heap, connection);
      if (!env->ExceptionCheck()) {
        list.dwSize = sizeof(list);
        list.pszConnection = connectionCopy;
        list.dwOptionCount = static_cast<DWORD>(count);
        list.pOptions = entries;
        if (!InternetSetOptionW(handle, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list))) {
          throwCodedSystemException(env, GetLastError());
        }
      }
    }
  }
  if (!HeapDestroy(heap)) {
    DWORD code = GetLastError();
    if (!env->ExceptionCheck()) {
      throwCodedSystemException(env, code);
    }
  }
}

}  // extern "C"
