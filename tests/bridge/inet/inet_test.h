// Shared ground of the WinInet tests: the natives of both bridge libraries and the
// application classes of the Internet settings and URL cache in the JNI host.
#pragma once

#include <com_corvantis_windows_inet_CacheEntry.h>
#include <com_corvantis_windows_inet_InetCache.h>
#include <com_corvantis_windows_inet_InternetHandle.h>
#include <com_quillstone_browser_InternetExplorer.h>
#include <windows.h>
#include <wininet.h>

#include <optional>
#include <string>
#include <vector>

#include "bridge_test.h"
#include "deliverable_native.h"
#include "harness_scope.h"
#include "import_patch.h"
#include "url_cache_standin.h"

namespace inettest {

constexpr const char* kInternetHandle = "com/corvantis/windows/inet/InternetHandle";
constexpr const char* kConnectionOption = "com/quillstone/browser/ConnectionOption";
constexpr const char* kInternetExplorer = "com/quillstone/browser/InternetExplorer";
constexpr const char* kInetCache = "com/corvantis/windows/inet/InetCache";
constexpr const char* kCacheEntry = "com/corvantis/windows/inet/CacheEntry";
constexpr const char* kBufferUnderflow = "java/nio/BufferUnderflowException";
constexpr const char* kNullPointer = "java/lang/NullPointerException";
constexpr const char* kIllegalArgument = "java/lang/IllegalArgumentException";
constexpr const char* kOutOfMemory = "java/lang/OutOfMemoryError";
constexpr const char* kNoSuchField = "java/lang/NoSuchFieldError";

std::u16string u16(const std::wstring& text);
std::wstring wide(const std::u16string& text);

class InetTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override;

  jobject internetHandle(HINTERNET handle);
  jstring str(std::u16string_view text) { return host.newString(text); }
  std::optional<std::u16string> text(jobject s) {
    return s != nullptr ? std::optional<std::u16string>(host.str(s)) : std::nullopt;
  }
  jclass classOf(const char* name) { return host.findClass(name); }

  // Checks and clears the pending exception.
  void expectThrown(const std::string& cls, std::optional<std::u16string> message = std::nullopt);
};

// For the URL cache natives: each test starts and ends with Wine's cache empty.
class UrlCacheTest : public InetTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  jint clearCache(jstring pattern, DWORD filter) {
    return host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InetCache_clearCache), classOf(kInetCache),
                     pattern, static_cast<jint>(filter));
  }
  jboolean deleteEntry(jstring url) {
    return host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InetCache_deleteEntry), classOf(kInetCache),
                     url);
  }
  jstring createEntry(jstring url, jint expectedSize, jstring extension) {
    return host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InetCache_createUrlCacheEntry),
                     classOf(kInetCache), url, expectedSize, extension);
  }
  void commit(jobject entry) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_CacheEntry_commit), entry);
  }

  jobject cacheEntry(jstring url, jstring fileName, jlong expires, jlong lastModified, DWORD type, jstring headers,
                     jstring originUrl);
  // Reserves the file through the native, writes it, and commits the entry through the native.
  void addThroughNatives(const std::u16string& url);
};

// Runs a replacement's own bookkeeping as harness traffic.
template <class F>
void asHarness(F&& f) {
  testsupport::HarnessScope harness;
  f();
}

}  // namespace inettest
