// InetCache natives: emptying the URL cache, deleting one entry and reserving the
// local file of a new one.
#include <com_corvantis_windows_inet_InetCache.h>

#include <cstdlib>

#include "bridge/failures.h"
#include "bridge/strings.h"
#include "inet_common.h"

namespace {

constexpr DWORD kFirstDeclaredSize = 8192;
constexpr SIZE_T kFileNameUnits = MAX_PATH + 1;

// Receives one INTERNET_CACHE_ENTRY_INFOW with its strings. The block is always
// twice the size declared to WinInet.
struct EntryBuffer {
  void* block;
  DWORD declared;

  INTERNET_CACHE_ENTRY_INFOW* entry() const { return static_cast<INTERNET_CACHE_ENTRY_INFOW*>(block); }
};

bool allocateEntryBuffer(JNIEnv* env, EntryBuffer* buffer) {
  *buffer = EntryBuffer{std::malloc(SIZE_T{kFirstDeclaredSize} * 2), kFirstDeclaredSize};
  if (buffer->block == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

// Grows the buffer to the size WinInet asked for, or to twice the declared size
// when WinInet asks for no more than that (a retry at the same size would get the
// same answer). A size that cannot be declared is refused as lack of memory.
bool growEntryBuffer(JNIEnv* env, EntryBuffer* buffer, DWORD needed) {
  DWORD declared = bridge::grownSize(buffer->declared, needed);
  void* grown = declared != 0 ? std::realloc(buffer->block, SIZE_T{declared} * 2) : nullptr;
  if (grown == nullptr) {
    // The old block stays the buffer's, freed with it.
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  buffer->block = grown;
  buffer->declared = declared;
  return true;
}

bool isEndOfEnumeration(DWORD code) { return code == ERROR_NO_MORE_FILES || code == ERROR_NO_MORE_ITEMS; }

// Runs one enumeration call, find(size word), until it hands over an entry, growing
// the buffer as often as WinInet asks. False at the end of the enumeration or on
// failure (then with an exception pending).
template <class Find>
bool fetchEntry(JNIEnv* env, EntryBuffer* buffer, Find find) {
  for (;;) {
    DWORD size = buffer->declared;
    if (find(&size)) {
      return true;
    }
    DWORD code = GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER) {
      if (!isEndOfEnumeration(code)) {
        throwCodedSystemException(env, code);
      }
      return false;
    }
    if (!growEntryBuffer(env, buffer, size)) {
      return false;
    }
  }
}

// The first entry that the pattern and filter admit; null when there is none or on
// failure (then with an exception pending).
HANDLE findFirstEntry(JNIEnv* env, LPCWSTR pattern, DWORD filter, EntryBuffer* buffer) {
  HANDLE find = nullptr;
  fetchEntry(env, buffer, [&](DWORD* size) {
    find = FindFirstUrlCacheEntryExW(pattern, 0, filter, 0, buffer->entry(), size, nullptr, nullptr, nullptr);
    return find != nullptr;
  });
  return find;
}

bool findNextEntry(JNIEnv* env, HANDLE find, EntryBuffer* buffer) {
  return fetchEntry(env, buffer, [&](DWORD* size) {
    return FindNextUrlCacheEntryExW(find, buffer->entry(), size, nullptr, nullptr, nullptr) != FALSE;
  });
}

// Deletes the entries of an open enumeration, the one in the buffer first, until
// the enumeration ends or fails. Entries that are gone or in use are skipped.
jint deleteEnumeratedEntries(JNIEnv* env, HANDLE find, EntryBuffer* buffer) {
  jint deleted = 0;
  do {
    if (DeleteUrlCacheEntryW(buffer->entry()->lpszSourceUrlName)) {
      ++deleted;
    } else {
      DWORD code = GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_ACCESS_DENIED) {
        throwCodedSystemException(env, code);
        break;
      }
    }
  } while (findNextEntry(env, find, buffer));
  return deleted;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_corvantis_windows_inet_InetCache_clearCache(JNIEnv* env, jclass, jstring urlPattern,
                                                                            jint filter) {
  // A null pattern stays null: WinInet then enumerates every entry the filter admits.
  LPWSTR pattern = nullptr;
  if (urlPattern != nullptr) {
    pattern = GetSzwStringChars(env, urlPattern);
    if (pattern == nullptr) {
      return 0;
    }
  }
  jint deleted = 0;
  EntryBuffer buffer;
  if (allocateEntryBuffer(env, &buffer)) {
    HANDLE find = findFirstEntry(env, pattern, static_cast<DWORD>(filter), &buffer);
    if (find != nullptr) {
      deleted = deleteEnumeratedEntries(env, find, &buffer);
      if (!FindCloseUrlCache(find)) {
        DWORD code = GetLastError();
        if (!env->ExceptionCheck()) {
          throwCodedSystemException(env, code);
        }
      }
    }
    std::free(buffer.block);
  }
  ReleaseSzwStringChars(env, pattern);
  return deleted;
}

JNIEXPORT jboolean JNICALL Java_com_corvantis_windows_inet_InetCache_deleteEntry(JNIEnv* env, jclass, jstring url) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return JNI_FALSE;
  }
  LPWSTR urlCopy = GetSzwStringCharsFromHeap(env, heap, url);
  if (env->ExceptionCheck()) {
    return JNI_FALSE;
  }
  bool deleted = DeleteUrlCacheEntryW(urlCopy);
  if (!deleted) {
    // An entry that is not in the cache is an answer, not a failure.
    DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND) {
      throwCodedSystemException(env, code);
    }
  }
  ReleaseFromHeap(env, heap, urlCopy);
  return deleted ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jstring JNICALL Java_com_corvantis_windows_inet_InetCache_createUrlCacheEntry(JNIEnv* env, jclass,
                                                                                        jstring url, jint expectedSize,
                                                                                        jstring extension) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  LPWSTR urlCopy = GetSzwStringCharsFromHeap(env, heap, url);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  LPWSTR extensionCopy = GetSzwStringCharsFromHeap(env, heap, extension);
  if (env->ExceptionCheck()) {
    ReleaseFromHeap(env, heap, urlCopy);
    return nullptr;
  }
  jstring path = nullptr;
  auto fileName = static_cast<LPWSTR>(HeapAlloc(heap, 0, kFileNameUnits * sizeof(WCHAR)));
  if (fileName == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
  } else {
    // WinInet is told half the expected size; the shift keeps the sign.
    DWORD expected = static_cast<DWORD>(expectedSize >> 1);
    if (CreateUrlCacheEntryW(urlCopy, expected, extensionCopy, fileName, 0)) {
      path = bridge::newJavaStringBounded(env, fileName, kFileNameUnits);
    } else {
      throwCodedSystemException(env, GetLastError());
    }
    ReleaseFromHeap(env, heap, fileName);
  }
  ReleaseFromHeap(env, heap, extensionCopy);
  ReleaseFromHeap(env, heap, urlCopy);
  return path;
}

}  // extern "C"
