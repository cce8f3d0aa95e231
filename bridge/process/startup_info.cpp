#include "startup_info.h"

#include "bridge/failures.h"
#include "bridge/handles.h"

static_assert(sizeof(STARTUPINFOW) == 104, "the Windows x64 layout");

namespace bridge {
namespace {

constexpr const char* kWindowsHandleSignature = "Lcom/corvantis/windows/WindowsHandle;";

// Each reader returns false with the exception pending when the field cannot be read.

bool readStringField(JNIEnv* env, HANDLE heap, jobject object, jclass cls, const char* name, LPWSTR* out) {
  jfieldID field = env->GetFieldID(cls, name, "Ljava/lang/String;");
  if (env->ExceptionCheck()) {
    return false;
  }
  auto value = static_cast<jstring>(env->GetObjectField(object, field));
  *out = GetSzwStringCharsFromHeap(env, heap, value);
  env->DeleteLocalRef(value);
  return !env->ExceptionCheck();
}

bool readIntField(JNIEnv* env, jobject object, jclass cls, const char* name, DWORD* out) {
  jfieldID field = env->GetFieldID(cls, name, "I");
  if (env->ExceptionCheck()) {
    return false;
  }
  *out = static_cast<DWORD>(env->GetIntField(object, field));
  return true;
}

bool readShortField(JNIEnv* env, jobject object, jclass cls, const char* name, WORD* out) {
  jfieldID field = env->GetFieldID(cls, name, "S");
  if (env->ExceptionCheck()) {
    return false;
  }
  *out = static_cast<WORD>(env->GetShortField(object, field));
  return true;
}

bool readHandleObjectField(JNIEnv* env, jobject object, jclass cls, const char* name, HANDLE* out) {
  jfieldID field = env->GetFieldID(cls, name, kWindowsHandleSignature);
  if (env->ExceptionCheck()) {
    return false;
  }
  jobject handleObject = env->GetObjectField(object, field);
  if (handleObject != nullptr) {
    *out = reinterpret_cast<HANDLE>(getHandleField(env, handleObject));
    env->DeleteLocalRef(handleObject);
  }
  return !env->ExceptionCheck();
}

// The fields in the order the class documents them; stops at the first failure.
bool readFields(JNIEnv* env, HANDLE heap, jobject object, STARTUPINFOW* block) {
  LocalFrame frame(env, 5);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->FindClass(kStartupInfoClass);
  if (cls == nullptr) {
    return false;
  }
  return readStringField(env, heap, object, cls, "desktop", &block->lpDesktop) &&
         readStringField(env, heap, object, cls, "title", &block->lpTitle) &&
         readIntField(env, object, cls, "x", &block->dwX) && readIntField(env, object, cls, "y", &block->dwY) &&
         readIntField(env, object, cls, "xCountChars", &block->dwXCountChars) &&
         readIntField(env, object, cls, "yCountChars", &block->dwYCountChars) &&
         readIntField(env, object, cls, "fillAttribute", &block->dwFillAttribute) &&
         readIntField(env, object, cls, "dwFlags", &block->dwFlags) &&
         readShortField(env, object, cls, "showWindow", &block->wShowWindow) &&
         readHandleObjectField(env, object, cls, "stdInput", &block->hStdInput) &&
         readHandleObjectField(env, object, cls, "stdOutput", &block->hStdOutput) &&
         readHandleObjectField(env, object, cls, "stdError", &block->hStdError);
}

}  // namespace

STARTUPINFOW* readStartupInfo(JNIEnv* env, HANDLE heap, jobject startupInfo) {
  // Room for a STARTUPINFOEXW whose attribute list is null: creation flags pass
  // unchanged, and with EXTENDED_STARTUPINFO_PRESENT among them Windows may read the
  // block as one. cb still says STARTUPINFOW.
  auto block = static_cast<STARTUPINFOW*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(STARTUPINFOEXW)));
  if (block == nullptr) {
    // Creating a process without its start-up description is not an option.
    throwMemoryException(env);
    return nullptr;
  }
  if (startupInfo != nullptr) {
    readFields(env, heap, startupInfo, block);
  }
  block->cb = sizeof(STARTUPINFOW);
  return block;
}

void freeStartupInfo(JNIEnv* env, HANDLE heap, STARTUPINFOW* block) {
  if (block == nullptr) {
    return;
  }
  ReleaseFromHeap(env, heap, block->lpDesktop);
  ReleaseFromHeap(env, heap, block->lpTitle);
  ReleaseFromHeap(env, heap, block);
}

}  // namespace bridge
