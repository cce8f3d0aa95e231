// Helpers shared by the registry natives of RegistryKey and RegistryRoot.
#pragma once

#include "bridge/core.h"

namespace bridge {
namespace registry {

constexpr const char* kInvalidRegistryTypeExceptionClass =
    "com/corvantis/windows/registry/InvalidRegistryTypeException";

// The receiver's key handle; check ExceptionCheck afterwards.
HKEY keyHandle(JNIEnv* env, jobject key);

// True when stored is one of the count accepted types; otherwise raises
// InvalidRegistryTypeException, (expected, stored) for one type, (stored) for several.
bool checkRegistryType(JNIEnv* env, const DWORD* accepted, DWORD count, DWORD stored);

// Deletes the item of key named by nameCopy with remove (RegDeleteValueW or
// RegDeleteKeyW), guarded. True when deleted; false without an exception when the
// item did not exist; false with CodedSystemException for any other refusal.
bool deleteNamedItem(JNIEnv* env, HKEY key, LPCWSTR nameCopy, LONG(WINAPI* remove)(HKEY, LPCWSTR));

// Raises java.util.NoSuchElementException whose message is name (null for the default value).
void throwNoSuchElement(JNIEnv* env, jstring name);

}  // namespace registry
}  // namespace bridge
