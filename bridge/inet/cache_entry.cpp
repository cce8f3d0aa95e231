// CacheEntry native: recording an entry whose local file has been written.
#include <com_corvantis_windows_inet_CacheEntry.h>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "inet_common.h"

namespace {

// A copy of one string field of the entry on heap, with its length in units;
// null for a null field. Check ExceptionCheck afterwards.
struct StringField {
  LPWSTR copy = nullptr;
  DWORD length = 0;
};

// The field of the receiver's own class; null with NoSuchFieldError pending. Its
// class reference stays in the caller's local frame.
jfieldID receiverField(JNIEnv* env, jobject self, const char* name, const char* signature) {
  return env->GetFieldID(env->GetObjectClass(self), name, signature);
}

StringField readStringField(JNIEnv* env, jobject self, HANDLE heap, const char* name) {
  StringField field;
  bridge::LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return field;
  }
  jfieldID id = receiverField(env, self, name, "Ljava/lang/String;");
  if (id == nullptr) {
    return field;
  }
  auto value = static_cast<jstring>(env->GetObjectField(self, id));
  if (value != nullptr) {
    field.length = static_cast<DWORD>(env->GetStringLength(value));
    field.copy = GetSzwStringCharsFromHeap(env, heap, value);
  }
  return field;
}

// A time field as a FILETIME; 0 and -1 mean that no time is given.
FILETIME readTimeField(JNIEnv* env, jobject self, const char* name) {
  FILETIME time{};
  bridge::LocalFrame frame(env, 2);
  if (!frame.pushed()) {
    return time;
  }
  jfieldID id = receiverField(env, self, name, "J");
  if (id == nullptr) {
    return time;
  }
  jlong millis = env->GetLongField(self, id);
  if (millis != 0 && millis != -1) {
    auto units = static_cast<ULONGLONG>(bridge::javaMillisToFileTime(millis));
    time.dwLowDateTime = static_cast<DWORD>(units);
    time.dwHighDateTime = static_cast<DWORD>(units >> 32);
  }
  return time;
}

// The entry's fields as CommitUrlCacheEntryW takes them.
struct CommitFields {
  StringField url;
  StringField fileName;
  FILETIME expires{};
  FILETIME lastModified{};
  DWORD type = 0;
  StringField headers;
  StringField originUrl;
};

// Reads the fields in the order the commit takes them, stopping at the first failure.
bool readCommitFields(JNIEnv* env, jobject self, HANDLE heap, jfieldID typeField, CommitFields* fields) {
  fields->url = readStringField(env, self, heap, "_url");
  if (env->ExceptionCheck()) return false;
  fields->fileName = readStringField(env, self, heap, "_file_name");
  if (env->ExceptionCheck()) return false;
  fields->expires = readTimeField(env, self, "_expires");
  if (env->ExceptionCheck()) return false;
  fields->lastModified = readTimeField(env, self, "_last_modified");
  if (env->ExceptionCheck()) return false;
  fields->type = static_cast<DWORD>(env->GetIntField(self, typeField));
  fields->headers = readStringField(env, self, heap, "_headers");
  if (env->ExceptionCheck()) return false;
  fields->originUrl = readStringField(env, self, heap, "_origin_url");
  return !env->ExceptionCheck();
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_corvantis_windows_inet_CacheEntry_commit(JNIEnv* env, jobject self) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return;
  }
  jfieldID typeField = receiverField(env, self, "_cache_entry_type", "I");
  if (typeField == nullptr) {
    return;
  }
  CommitFields fields;
  if (readCommitFields(env, self, heap, typeField, &fields)) {
    // The header length counts the terminating NUL; a null header has none.
    DWORD headerLength = fields.headers.copy != nullptr ? fields.headers.length + 1 : 0;
    if (!CommitUrlCacheEntryW(fields.url.copy, fields.fileName.copy, fields.expires, fields.lastModified, fields.type,
                              fields.headers.copy, headerLength, nullptr, fields.originUrl.copy)) {
      throwCodedSystemException(env, GetLastError());
    }
  }
  ReleaseFromHeap(env, heap, fields.originUrl.copy);
  ReleaseFromHeap(env, heap, fields.headers.copy);
  ReleaseFromHeap(env, heap, fields.fileName.copy);
  ReleaseFromHeap(env, heap, fields.url.copy);
}
