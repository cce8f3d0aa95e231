#include "inet_test.h"

namespace inettest {

using jnihost::Host;
using jnihost::jVoid;

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

void InetTest::SetUp() {
  DeliverableTest::SetUp();
  if (HasFatalFailure()) {
    return;
  }
  host.defineClass(kBufferUnderflow, "java/lang/RuntimeException");
  host.defineClass(kInternetHandle, testsupport::kWindowsHandle)
      .constructor("()V")
      .constructor("(J)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_handle", args[0]);
        return jVoid();
      });
  auto optionWith = [](const char* valueSignature) {
    return [valueSignature](Host& h, jobject self, const jvalue* args) {
      h.setField(self, "_option_code", args[0]);
      if (valueSignature[0] == 'I') {
        h.setField(self, "_value", jnihost::jObj(h.newInteger(args[1].i)));
        h.setField(self, "_desired_type", jnihost::jObj(h.findClass("java/lang/Integer")));
      } else if (valueSignature[0] == 'S') {
        h.setField(self, "_value", args[1]);
        h.setField(self, "_desired_type", jnihost::jObj(h.findClass("java/lang/String")));
      } else {
        h.setField(self, "_desired_type", args[1]);
      }
      return jVoid();
    };
  };
  host.defineClass(kConnectionOption)
      .field("_option_code", "I")
      .field("_value", "Ljava/lang/Object;")
      .field("_desired_type", "Ljava/lang/Class;")
      .constructor("(ILjava/lang/Class;)V", optionWith("Class"))
      .constructor("(II)V", optionWith("I"))
      .constructor("(ILjava/lang/String;)V", optionWith("String"));
  host.defineClass(kCacheEntry)
      .field("_url", "Ljava/lang/String;")
      .field("_file_name", "Ljava/lang/String;")
      .field("_expires", "J")
      .field("_last_modified", "J")
      .field("_cache_entry_type", "I")
      .field("_headers", "Ljava/lang/String;")
      .field("_origin_url", "Ljava/lang/String;")
      .constructor("(Ljava/lang/String;Ljava/lang/String;JJILjava/lang/String;Ljava/lang/String;)V",
                   [](Host& h, jobject self, const jvalue* args) {
                     const char* names[] = {"_url",     "_file_name", "_expires", "_last_modified", "_cache_entry_type",
                                            "_headers", "_origin_url"};
                     for (int i = 0; i < 7; ++i) {
                       h.setField(self, names[i], args[i]);
                     }
                     return jVoid();
                   });
  host.defineClass(kInetCache);
  host.defineClass(kInternetExplorer);
}

jobject InetTest::internetHandle(HINTERNET handle) {
  return testsupport::newHandleObject(host, kInternetHandle, reinterpret_cast<jlong>(handle));
}

void InetTest::expectThrown(const std::string& cls, std::optional<std::u16string> message) {
  EXPECT_EQ(host.exceptionClass(), cls);
  if (host.exceptionPending()) {
    EXPECT_EQ(host.exceptionMessage(), message);
    host.clearException();
  }
}

void UrlCacheTest::SetUp() {
  InetTest::SetUp();
  emptyCache();
}

void UrlCacheTest::TearDown() {
  emptyCache();
  InetTest::TearDown();
}

jobject UrlCacheTest::cacheEntry(jstring url, jstring fileName, jlong expires, jlong lastModified, DWORD type,
                                 jstring headers, jstring originUrl) {
  return host.newObject(
      kCacheEntry, "(Ljava/lang/String;Ljava/lang/String;JJILjava/lang/String;Ljava/lang/String;)V",
      {jnihost::jObj(url), jnihost::jObj(fileName), jnihost::jLong(expires), jnihost::jLong(lastModified),
       jnihost::jInt(static_cast<jint>(type)), jnihost::jObj(headers), jnihost::jObj(originUrl)});
}

void UrlCacheTest::addThroughNatives(const std::u16string& url) {
  jstring path = createEntry(str(url), 0, str(u"txt"));
  ASSERT_NE(path, nullptr);
  HANDLE file = CreateFileW(wide(host.str(path)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "cached", 6, &written, nullptr);
  CloseHandle(file);
  commit(cacheEntry(str(url), path, 0, 0, NORMAL_CACHE_ENTRY, nullptr, nullptr));
  ASSERT_FALSE(host.exceptionPending());
}

}  // namespace inettest
