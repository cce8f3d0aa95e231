// RasSupport: phonebook entry names, active connections and one entry's properties.
#include <com_corvantis_windows_ras_RasSupport.h>

#include <algorithm>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "ras_records.h"

namespace {

using bridge::ras::ConnectionRecord;
using bridge::ras::EntryNameRecord;
using bridge::ras::kConnectionSize;
using bridge::ras::kEntryNameSize;
using bridge::ras::kEntrySize;

// The records of one RAS answer, on the process heap; the caller releases them.
struct RasRecords {
  BYTE* buffer = nullptr;
  DWORD capacity = 0;  // bytes allocated
};

// Hands RAS a zero-filled buffer of one record whose dwSize is recordSize through
// ask(buffer, &size) and, while RAS answers ERROR_BUFFER_TOO_SMALL, grows it to the
// size RAS asked for and asks again. True when RAS answered 0; otherwise false with
// the exception raised (OutOfMemoryError when the buffer cannot grow).
template <class Ask>
bool askRas(JNIEnv* env, HANDLE heap, DWORD recordSize, RasRecords* records, Ask ask) {
  records->buffer = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, recordSize));
  if (records->buffer == nullptr) {
    throwMemoryException(env);
    return false;
  }
  records->capacity = recordSize;
  *reinterpret_cast<DWORD*>(records->buffer) = recordSize;
  for (;;) {
    DWORD size = records->capacity;
    DWORD status = ask(records->buffer, &size);
    if (status == ERROR_SUCCESS) {
      return true;
    }
    if (status != ERROR_BUFFER_TOO_SMALL) {
      throwCodedSystemException(env, status);
      return false;
    }
    // Growing keeps the contents, so the first record's dwSize stays as set. An
    // answer asking for no more than was offered is not relied on: twice as much is
    // offered, so the buffer never shrinks below that record.
    size = bridge::grownSize(records->capacity, size);
    if (size == 0) {
      throwMemoryException(env);
      return false;
    }
    LPVOID grown = records->buffer;
    if (!ReAllocHeapBuffer(env, heap, HEAP_ZERO_MEMORY, &grown, size)) {
      return false;
    }
    records->buffer = static_cast<BYTE*>(grown);
    records->capacity = size;
  }
}

// Java string of a text member, up to its NUL; a member without one is refused
// rather than read past.
template <size_t N>
jstring memberString(JNIEnv* env, const WCHAR (&member)[N]) {
  return bridge::newJavaStringBounded(env, member, N);
}

// The class of the objects made from the records and its constructor.
struct RecordClass {
  jclass cls = nullptr;
  jmethodID constructor = nullptr;
};

bool findRecordClass(JNIEnv* env, const char* classPath, const char* signature, RecordClass* out) {
  out->cls = env->FindClass(classPath);
  out->constructor = out->cls != nullptr ? env->GetMethodID(out->cls, "<init>", signature) : nullptr;
  return out->constructor != nullptr;
}

jobject newRasEntryName(JNIEnv* env, const RecordClass& entryName, const BYTE* bytes) {
  bridge::LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return nullptr;
  }
  auto record = reinterpret_cast<const EntryNameRecord*>(bytes);
  jstring name = memberString(env, record->szEntryName);
  jstring path = env->ExceptionCheck() ? nullptr : memberString(env, record->szPhonebookPath);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  return frame.pop(
      env->NewObject(entryName.cls, entryName.constructor, name, static_cast<jint>(record->dwFlags), path));
}

jobject newRasConnection(JNIEnv* env, const RecordClass& connection, const BYTE* bytes) {
  bridge::LocalFrame frame(env, 5);
  if (!frame.pushed()) {
    return nullptr;
  }
  auto record = reinterpret_cast<const ConnectionRecord*>(bytes);
  jstring name = memberString(env, record->szEntryName);
  jstring type = env->ExceptionCheck() ? nullptr : memberString(env, record->szDeviceType);
  jstring device = env->ExceptionCheck() ? nullptr : memberString(env, record->szDeviceName);
  jstring phonebook = env->ExceptionCheck() ? nullptr : memberString(env, record->szPhonebook);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  return frame.pop(env->NewObject(connection.cls, connection.constructor, name, type, device, phonebook,
                                  static_cast<jint>(record->dwSubEntry)));
}

// An array of the objects that make(record) builds from the count records at the
// given stride, one local reference alive at a time; it stops at the first record
// that yields no object.
template <class Make>
jobjectArray newRecordArray(JNIEnv* env, const RecordClass& element, const RasRecords& records, DWORD stride,
                            DWORD count, Make make) {
  // Records RAS counted beyond the buffer would be read past its end.
  count = std::min(count, records.capacity / stride);
  jobjectArray array = env->NewObjectArray(static_cast<jsize>(count), element.cls, nullptr);
  for (DWORD i = 0; array != nullptr && i < count; ++i) {
    jobject object = make(env, element, records.buffer + static_cast<size_t>(i) * stride);
    if (object == nullptr) {
      break;
    }
    env->SetObjectArrayElement(array, static_cast<jsize>(i), object);
    env->DeleteLocalRef(object);
    if (env->ExceptionCheck()) {
      break;
    }
  }
  return array;
}

}  // namespace

extern "C" {

JNIEXPORT jobjectArray JNICALL Java_com_corvantis_windows_ras_RasSupport_getEntryNamesByPath(JNIEnv* env, jclass,
                                                                                             jstring phonebookPath) {
  HANDLE heap = bridge::processHeap(env);
  RecordClass entryName;
  if (heap == nullptr ||
      !findRecordClass(env, bridge::ras::kRasEntryNameClass, "(Ljava/lang/String;ILjava/lang/String;)V", &entryName)) {
    return nullptr;
  }
  LPWSTR path = GetSzwStringCharsFromHeap(env, heap, phonebookPath);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  RasRecords records;
  DWORD count = 0;
  jobjectArray result = nullptr;
  if (askRas(env, heap, kEntryNameSize, &records, [&](BYTE* buffer, DWORD* size) {
        return RasEnumEntriesW(nullptr, path, reinterpret_cast<LPRASENTRYNAMEW>(buffer), size, &count);
      })) {
    result = newRecordArray(env, entryName, records, kEntryNameSize, count, newRasEntryName);
  }
  ReleaseFromHeap(env, heap, records.buffer);
  ReleaseFromHeap(env, heap, path);
  return env->ExceptionCheck() ? nullptr : result;
}

JNIEXPORT jobjectArray JNICALL Java_com_corvantis_windows_ras_RasSupport_getActiveConnections(JNIEnv* env, jclass) {
  HANDLE heap = bridge::processHeap(env);
  RecordClass connection;
  if (heap == nullptr ||
      !findRecordClass(env, bridge::ras::kRasConnectionClass,
                       "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V", &connection)) {
    return nullptr;
  }
  RasRecords records;
  DWORD count = 0;
  jobjectArray result = nullptr;
  if (askRas(env, heap, kConnectionSize, &records, [&](BYTE* buffer, DWORD* size) {
        return RasEnumConnectionsW(reinterpret_cast<LPRASCONNW>(buffer), size, &count);
      })) {
    result = newRecordArray(env, connection, records, kConnectionSize, count, newRasConnection);
  }
  ReleaseFromHeap(env, heap, records.buffer);
  return env->ExceptionCheck() ? nullptr : result;
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ras_RasSupport_getEntryProperties(JNIEnv* env, jclass,
                                                                                       jstring phonebookPath,
                                                                                       jstring entryName) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  LPWSTR path = GetSzwStringCharsFromHeap(env, heap, phonebookPath);
  LPWSTR name = env->ExceptionCheck() ? nullptr : GetSzwStringCharsFromHeap(env, heap, entryName);
  RasRecords records;
  jobject result = nullptr;
  // A null entry name asks RAS for the default properties.
  if (!env->ExceptionCheck() && askRas(env, heap, kEntrySize, &records, [&](BYTE* buffer, DWORD* size) {
        return RasGetEntryPropertiesW(path, name, reinterpret_cast<LPRASENTRYW>(buffer), size, nullptr, nullptr);
      })) {
    result = bridge::ras::newRasEntry(env, records.buffer, records.capacity);
  }
  ReleaseFromHeap(env, heap, records.buffer);
  ReleaseFromHeap(env, heap, path);
  ReleaseFromHeap(env, heap, name);
  return env->ExceptionCheck() ? nullptr : result;
}

}  // extern "C"
