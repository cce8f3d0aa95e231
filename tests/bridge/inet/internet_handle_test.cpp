// InternetHandle option natives and close, and InternetExplorer's proxy detection,
// against Wine's WinInet in both bridge DLLs.
#include <cstdlib>
#include <cstring>

#include "heap_faults.h"
#include "inet_test.h"

namespace {

using inettest::asHarness;
using inettest::kBufferUnderflow;
using inettest::kOutOfMemory;
using intercept::ActiveInstance;
using intercept::ImportPatch;

constexpr DWORD kConnectTimeout = INTERNET_OPTION_CONNECT_TIMEOUT;       // 4 bytes, process-wide
constexpr DWORD kVersion = INTERNET_OPTION_VERSION;                      // 8 bytes
constexpr DWORD kMaxConnections = INTERNET_OPTION_MAX_CONNS_PER_SERVER;  // settable, process-wide
constexpr DWORD kUserAgent = INTERNET_OPTION_USER_AGENT;                 // string, per session

// What InternetSetOptionW received, before the real call.
struct SetOptionCall {
  HINTERNET handle;
  DWORD option;
  bool nullBuffer;
  std::vector<WCHAR> units;  // the buffer read as `length` UTF-16 units
  DWORD length;
};
struct SetOptionLog {
  std::vector<SetOptionCall> calls;
};

BOOL WINAPI loggedSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
  asHarness([&] {
    auto units = static_cast<const WCHAR*>(buffer);
    ActiveInstance<SetOptionLog>::get()->calls.push_back(
        SetOptionCall{handle, option, buffer == nullptr,
                      buffer != nullptr ? std::vector<WCHAR>(units, units + length) : std::vector<WCHAR>{}, length});
  });
  return InternetSetOptionW(handle, option, buffer, length);
}

// DetectAutoProxyUrl as documented: the NUL-terminated URL of the configuration
// script when it fits the buffer, otherwise failure. Wine finds no script at all.
struct Detection {
  const char* url = "http://wpad.example/wpad.dat";
  bool unterminated = false;  // fills the whole buffer and leaves out the NUL
  std::vector<DWORD> lengths;
  std::vector<DWORD> flags;
};

BOOL WINAPI scriptedDetection(LPSTR buffer, DWORD length, DWORD flags) {
  Detection* d = ActiveInstance<Detection>::get();
  asHarness([&] {
    d->lengths.push_back(length);
    d->flags.push_back(flags);
  });
  if (d->unterminated) {
    std::memset(buffer, 'x', length);
    return TRUE;
  }
  size_t needed = std::strlen(d->url) + 1;
  if (length < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, d->url, needed);
  return TRUE;
}

// The run-time heap refusing one allocation. Like the C allocator it sets no last
// error; staleError stands for a code an earlier call left behind.
struct MallocRefusal {
  ImportPatch* patch = nullptr;
  unsigned refusals = 0;
  DWORD staleError = ERROR_SUCCESS;
};
void* __cdecl refusingMalloc(size_t size) {
  MallocRefusal* r = ActiveInstance<MallocRefusal>::get();
  if (r->refusals == 0) {
    ++r->refusals;
    if (r->staleError != ERROR_SUCCESS) {
      SetLastError(r->staleError);
    }
    return nullptr;
  }
  return r->patch->previousAs<decltype(malloc)>()(size);
}

DWORD directIntOption(HINTERNET handle, DWORD option, DWORD* error = nullptr) {
  DWORD value = 0;
  DWORD length = sizeof(value);
  if (!InternetQueryOptionW(handle, option, &value, &length) && error != nullptr) {
    *error = GetLastError();
  }
  return value;
}

class InternetHandleTest : public inettest::InetTest {
 protected:
  jint getInt(jobject handle, DWORD option) {
    return host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_getIntOption), handle,
                     static_cast<jint>(option));
  }
  jlong getLong(jobject handle, DWORD option) {
    return host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_getLongOption), handle,
                     static_cast<jint>(option));
  }
  void setAlone(jobject handle, DWORD option) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_setOption__I), handle,
              static_cast<jint>(option));
  }
  void setInt(jobject handle, DWORD option, jint value) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_setOption__II), handle,
              static_cast<jint>(option), value);
  }
  void setString(jobject handle, DWORD option, jstring value) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_setOption__ILjava_lang_String_2),
              handle, static_cast<jint>(option), value);
  }
  void close(jobject handle) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_close), handle);
  }
  jstring detect(jint length, jint flags) {
    return host.call(DELIVERABLE_NATIVE(Java_com_quillstone_browser_InternetExplorer_detectAutoProxyUrl),
                     classOf(inettest::kInternetExplorer), length, flags);
  }
  HINTERNET openSession() {
    HINTERNET session = InternetOpenW(L"velaro-inet-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    EXPECT_NE(session, nullptr) << "InternetOpenW failed, error " << GetLastError();
    return session;
  }
};

TEST_P(InternetHandleTest, FixedSizeOptionsReadWhatWinInetHolds) {
  jobject process = internetHandle(nullptr);
  EXPECT_EQ(static_cast<DWORD>(getInt(process, kConnectTimeout)), directIntOption(nullptr, kConnectTimeout));
  INTERNET_VERSION_INFO version{};
  DWORD length = sizeof(version);
  ASSERT_TRUE(InternetQueryOptionW(nullptr, kVersion, &version, &length));
  jlong expected = 0;
  std::memcpy(&expected, &version, sizeof(expected));
  EXPECT_EQ(getLong(process, kVersion), expected);
  EXPECT_NE(expected, 0);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(InternetHandleTest, ValueOfAnotherSizeIsRefused) {
  jobject process = internetHandle(nullptr);
  // Eight bytes do not fit four: WinInet itself refuses.
  EXPECT_EQ(getInt(process, kVersion), 0);
  expectCoded(ERROR_INSUFFICIENT_BUFFER);
  // Four bytes in an eight-byte buffer: an underflow, with what was read.
  EXPECT_EQ(getLong(process, kConnectTimeout), static_cast<jlong>(directIntOption(nullptr, kConnectTimeout)));
  expectThrown(kBufferUnderflow);
}

TEST_P(InternetHandleTest, FailedQueryRaisesWinInetsCode) {
  HINTERNET stale = openSession();
  ASSERT_TRUE(InternetCloseHandle(stale));
  const struct {
    HINTERNET handle;
    DWORD option;
  } cases[] = {{nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT}, {stale, kConnectTimeout}, {nullptr, 0xFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    DWORD expected = ERROR_SUCCESS;
    directIntOption(c.handle, c.option, &expected);
    ASSERT_NE(expected, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(getInt(internetHandle(c.handle), c.option), 0);
    expectCoded(expected);
    EXPECT_EQ(getLong(internetHandle(c.handle), c.option), 0);
    expectCoded(expected);
  }
}

TEST_P(InternetHandleTest, IntValueIsSetForReal) {
  jobject process = internetHandle(nullptr);
  const DWORD original = directIntOption(nullptr, kMaxConnections);
  setInt(process, kMaxConnections, 7);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(directIntOption(nullptr, kMaxConnections), 7u);
  // WinInet refuses no connections at all.
  DWORD zero = 0;
  ASSERT_FALSE(InternetSetOptionW(nullptr, kMaxConnections, &zero, sizeof(zero)));
  DWORD refusal = GetLastError();
  setInt(process, kMaxConnections, 0);
  expectCoded(refusal);
  EXPECT_EQ(directIntOption(nullptr, kMaxConnections), 7u);
  DWORD restore = original;
  InternetSetOptionW(nullptr, kMaxConnections, &restore, sizeof(restore));
}

TEST_P(InternetHandleTest, OptionAloneAndNullStringPassNoBuffer) {
  SetOptionLog log;
  ActiveInstance<SetOptionLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "InternetSetOptionW", loggedSetOption);
  jobject process = internetHandle(nullptr);
  setAlone(process, INTERNET_OPTION_SETTINGS_CHANGED);
  EXPECT_FALSE(host.exceptionPending());
  // A refresh needs a session handle; WinInet refuses it for the process.
  ASSERT_FALSE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0));
  DWORD refusal = GetLastError();
  setAlone(process, INTERNET_OPTION_REFRESH);
  expectCoded(refusal);
  setString(process, INTERNET_OPTION_REFRESH, nullptr);
  expectCoded(refusal);
  ASSERT_EQ(log.calls.size(), 3u);
  for (const SetOptionCall& call : log.calls) {
    EXPECT_EQ(call.handle, nullptr);
    EXPECT_TRUE(call.nullBuffer);
    EXPECT_EQ(call.length, 0u);
  }
  EXPECT_EQ(log.calls[1].option, static_cast<DWORD>(INTERNET_OPTION_REFRESH));
  EXPECT_EQ(log.calls[2].option, static_cast<DWORD>(INTERNET_OPTION_REFRESH));
}

TEST_P(InternetHandleTest, StringValueGoesWithItsNul) {
  HINTERNET session = openSession();
  jobject handle = internetHandle(session);
  SetOptionLog log;
  ActiveInstance<SetOptionLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "InternetSetOptionW", loggedSetOption);
  const std::u16string values[] = {u"abc", u"", std::u16string(u"a\0b", 3), std::u16string(300, u'u')};
  for (const std::u16string& value : values) {
    SCOPED_TRACE(value.size());
    log.calls.clear();
    setString(handle, kUserAgent, str(value));
    EXPECT_FALSE(host.exceptionPending());
    ASSERT_EQ(log.calls.size(), 1u);
    std::vector<WCHAR> expected(value.begin(), value.end());
    expected.push_back(L'\0');
    EXPECT_EQ(log.calls[0].units, expected);
    EXPECT_EQ(log.calls[0].length, value.size() + 1);
    EXPECT_EQ(log.calls[0].handle, session);
  }
  setString(handle, kUserAgent, str(u"abc"));
  WCHAR agent[64] = {};
  DWORD length = sizeof(agent);
  ASSERT_TRUE(InternetQueryOptionW(session, kUserAgent, agent, &length));
  EXPECT_STREQ(agent, L"abc");
  InternetCloseHandle(session);
}

TEST_P(InternetHandleTest, StringThatCannotBeCopiedSetsNothing) {
  SetOptionLog log;
  ActiveInstance<SetOptionLog> active(&log);
  ImportPatch patch(library.module, "wininet.dll", "InternetSetOptionW", loggedSetOption);
  jobject process = internetHandle(nullptr);
  {
    intercept::FailGetProcessHeap noHeap(library.module, ERROR_INVALID_HANDLE);
    setString(process, kUserAgent, str(u"abc"));
    expectCoded(ERROR_INVALID_HANDLE);
  }
  {
    intercept::FailHeapAlloc noMemory(library.module);
    setString(process, kUserAgent, str(u"abc"));
    expectThrown(kOutOfMemory);
  }
  EXPECT_TRUE(log.calls.empty());
}

TEST_P(InternetHandleTest, CloseReleasesTheHandleOnce) {
  HINTERNET session = openSession();
  jobject handle = internetHandle(session);
  close(handle);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(handle, "_handle").j, 0);
  EXPECT_FALSE(InternetCloseHandle(session)) << "the handle was not closed";
  close(handle);
  EXPECT_FALSE(host.exceptionPending());
  close(internetHandle(nullptr));
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(InternetHandleTest, FailedCloseKeepsTheHandle) {
  HINTERNET stale = openSession();
  ASSERT_TRUE(InternetCloseHandle(stale));
  jobject handle = internetHandle(stale);
  close(handle);
  expectCoded(ERROR_INVALID_HANDLE);
  EXPECT_EQ(host.field(handle, "_handle").j, reinterpret_cast<jlong>(stale));
}

TEST_P(InternetHandleTest, DetectionWithoutScriptGivesNull) {
  // Wine finds no configuration script, as on a network without one.
  EXPECT_EQ(detect(256, PROXY_AUTO_DETECT_TYPE_DHCP | PROXY_AUTO_DETECT_TYPE_DNS_A), nullptr);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(InternetHandleTest, DetectedUrlNeedsRoomForItsNul) {
  Detection detection;
  ActiveInstance<Detection> active(&detection);
  ImportPatch patch(library.module, "wininet.dll", "DetectAutoProxyUrl", scriptedDetection);
  const jint exact = static_cast<jint>(std::strlen(detection.url) + 1);
  const struct {
    jint length;
    bool found;
  } cases[] = {{256, true}, {exact, true}, {exact - 1, false}, {0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    jstring url = detect(c.length, PROXY_AUTO_DETECT_TYPE_DNS_A);
    EXPECT_FALSE(host.exceptionPending());
    if (c.found) {
      EXPECT_EQ(text(url), u"http://wpad.example/wpad.dat");
    } else {
      EXPECT_EQ(url, nullptr);
    }
    EXPECT_EQ(detection.lengths.back(), static_cast<DWORD>(c.length));
    EXPECT_EQ(detection.flags.back(), static_cast<DWORD>(PROXY_AUTO_DETECT_TYPE_DNS_A));
  }
}

TEST_P(InternetHandleTest, UnterminatedUrlIsNotReadPastTheBuffer) {
  Detection detection;
  detection.unterminated = true;
  ActiveInstance<Detection> active(&detection);
  ImportPatch patch(library.module, "wininet.dll", "DetectAutoProxyUrl", scriptedDetection);
  EXPECT_EQ(detect(16, PROXY_AUTO_DETECT_TYPE_DHCP), nullptr);
  expectCoded(0x80070057);
}

TEST_P(InternetHandleTest, BufferThatCannotBeAllocatedNeverReachesWinInet) {
  Detection detection;
  ActiveInstance<Detection> active(&detection);
  ImportPatch patch(library.module, "wininet.dll", "DetectAutoProxyUrl", scriptedDetection);
  for (jint length : {-1, INT32_MIN}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(detect(length, PROXY_AUTO_DETECT_TYPE_DHCP), nullptr);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
  }
  for (DWORD stale : {DWORD{ERROR_SUCCESS}, DWORD{ERROR_MORE_DATA}, DWORD{ERROR_FILE_NOT_FOUND}}) {
    SCOPED_TRACE(stale);
    MallocRefusal refusal;
    refusal.staleError = stale;
    ActiveInstance<MallocRefusal> refusing(&refusal);
    ImportPatch noMemory(intercept::deferred, library.module, "msvcrt.dll", "malloc",
                         reinterpret_cast<void*>(refusingMalloc));
    refusal.patch = &noMemory;
    noMemory.install();
    EXPECT_EQ(detect(256, PROXY_AUTO_DETECT_TYPE_DHCP), nullptr);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(refusal.refusals, 1u);
  }
  EXPECT_TRUE(detection.lengths.empty());
}

INSTANTIATE_TEST_SUITE_P(Bridges, InternetHandleTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
