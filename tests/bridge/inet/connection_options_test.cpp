// InternetHandle per-connection option natives against Wine's WinInet, in both
// bridge DLLs. The LAN settings a test changes are restored afterwards.
#include <cstring>
#include <map>

#include "heap_faults.h"
#include "inet_test.h"

namespace {

using inettest::asHarness;
using inettest::kConnectionOption;
using inettest::kIllegalArgument;
using inettest::kNullPointer;
using inettest::kOutOfMemory;
using intercept::ActiveInstance;
using intercept::ImportPatch;
using jnihost::jInt;
using jnihost::jObj;

constexpr DWORD kFlags = INTERNET_PER_CONN_FLAGS;
constexpr DWORD kProxyServer = INTERNET_PER_CONN_PROXY_SERVER;
constexpr DWORD kAutoConfigUrl = INTERNET_PER_CONN_AUTOCONFIG_URL;

std::optional<std::wstring> wideOrNull(const WCHAR* text) {
  return text != nullptr ? std::optional<std::wstring>(text) : std::nullopt;
}

// One INTERNET_PER_CONN_OPTION_LISTW as WinInet received it.
struct ListCall {
  DWORD listSize;
  DWORD lengthWord;  // the length argument (the set passes it by value)
  std::optional<std::wstring> connection;
  DWORD count;
  DWORD optionError;
  std::vector<DWORD> options;
  std::vector<ULONGLONG> valuesAfter;                  // query: each entry's 8 value bytes on return
  std::vector<std::optional<std::wstring>> stringsIn;  // set: each entry read as a string
  std::vector<DWORD> wordsIn;                          // set: each entry read as a word
};

struct OptionLog {
  std::vector<ListCall> queries;
  std::vector<ListCall> sets;
  std::vector<void*> freed;  // GlobalFree
  ImportPatch* globalFree = nullptr;
  DWORD refuseSetWith = ERROR_SUCCESS;
};

ListCall describe(const INTERNET_PER_CONN_OPTION_LISTW* list, DWORD lengthWord) {
  ListCall call{
      list->dwSize, lengthWord, wideOrNull(list->pszConnection), list->dwOptionCount, list->dwOptionError, {}, {},
      {},           {}};
  for (DWORD i = 0; i < list->dwOptionCount; ++i) {
    call.options.push_back(list->pOptions[i].dwOption);
  }
  return call;
}

BOOL WINAPI loggedQuery(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length) {
  OptionLog* log = ActiveInstance<OptionLog>::get();
  auto list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  asHarness([&] { log->queries.push_back(describe(list, *length)); });
  BOOL ok = InternetQueryOptionW(handle, option, buffer, length);
  DWORD error = GetLastError();
  asHarness([&] {
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
      ULONGLONG raw = 0;
      std::memcpy(&raw, &list->pOptions[i].Value, sizeof(raw));
      log->queries.back().valuesAfter.push_back(raw);
    }
  });
  SetLastError(error);
  return ok;
}

// Records what the set hands over; it may also refuse the set as WinInet can, with
// FALSE and the error code.
BOOL WINAPI loggedSet(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
  OptionLog* log = ActiveInstance<OptionLog>::get();
  auto list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  asHarness([&] {
    ListCall call = describe(list, length);
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
      // Only the option numbers tell which member is meant.
      bool isString = list->pOptions[i].dwOption != kFlags;
      call.stringsIn.push_back(isString ? wideOrNull(list->pOptions[i].Value.pszValue) : std::nullopt);
      call.wordsIn.push_back(isString ? 0 : list->pOptions[i].Value.dwValue);
    }
    log->sets.push_back(call);
  });
  if (log->refuseSetWith != ERROR_SUCCESS) {
    SetLastError(log->refuseSetWith);
    return FALSE;
  }
  return InternetSetOptionW(handle, option, buffer, length);
}

HGLOBAL WINAPI loggedGlobalFree(HGLOBAL block) {
  OptionLog* log = ActiveInstance<OptionLog>::get();
  asHarness([&] { log->freed.push_back(block); });
  return log->globalFree->previousAs<decltype(GlobalFree)>()(block);
}

// The arguments of HeapCreate; HeapDestroy may report failure after destroying, so
// that nothing is left behind when its failure is tested.
struct PrivateHeapLog {
  std::vector<std::vector<SIZE_T>> creates;
  ImportPatch* create = nullptr;
  ImportPatch* destroy = nullptr;
  bool refuseCreate = false;
  bool reportDestroyFailure = false;
};

HANDLE WINAPI loggedHeapCreate(DWORD options, SIZE_T initial, SIZE_T maximum) {
  PrivateHeapLog* log = ActiveInstance<PrivateHeapLog>::get();
  asHarness([&] { log->creates.push_back({options, initial, maximum}); });
  if (log->refuseCreate) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return log->create->previousAs<decltype(HeapCreate)>()(options, initial, maximum);
}

BOOL WINAPI loggedHeapDestroy(HANDLE heap) {
  PrivateHeapLog* log = ActiveInstance<PrivateHeapLog>::get();
  BOOL ok = log->destroy->previousAs<decltype(HeapDestroy)>()(heap);
  if (ok && log->reportDestroyFailure) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ok;
}

// The LAN settings as WinInet reports them.
struct LanSettings {
  DWORD flags = 0;
  std::optional<std::wstring> proxy;
};

LanSettings readLan() {
  INTERNET_PER_CONN_OPTIONW entries[2] = {};
  entries[0].dwOption = kFlags;
  entries[1].dwOption = kProxyServer;
  INTERNET_PER_CONN_OPTION_LISTW list{sizeof(list), nullptr, 2, 0, entries};
  DWORD length = sizeof(list);
  LanSettings lan;
  EXPECT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length));
  lan.flags = entries[0].Value.dwValue;
  lan.proxy = wideOrNull(entries[1].Value.pszValue);
  if (entries[1].Value.pszValue != nullptr) {
    GlobalFree(entries[1].Value.pszValue);
  }
  return lan;
}

void writeLan(const LanSettings& lan) {
  INTERNET_PER_CONN_OPTIONW entries[2] = {};
  entries[0].dwOption = kFlags;
  entries[0].Value.dwValue = lan.flags;
  entries[1].dwOption = kProxyServer;
  entries[1].Value.pszValue = lan.proxy ? const_cast<LPWSTR>(lan.proxy->c_str()) : nullptr;
  INTERNET_PER_CONN_OPTION_LISTW list{sizeof(list), nullptr, 2, 0, entries};
  EXPECT_TRUE(InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list)));
}

class ConnectionOptionsTest : public inettest::InetTest {
 protected:
  void SetUp() override {
    InetTest::SetUp();
    saved = readLan();
  }
  void TearDown() override {
    writeLan(saved);
    InetTest::TearDown();
  }

  jobject wanted(DWORD option, const char* cls) {
    return host.newObject(kConnectionOption, "(ILjava/lang/Class;)V",
                          {jInt(static_cast<jint>(option)), jObj(host.findClass(cls))});
  }
  jobject word(DWORD option, jint value) {
    return host.newObject(kConnectionOption, "(II)V", {jInt(static_cast<jint>(option)), jInt(value)});
  }
  jobject text(DWORD option, std::optional<std::u16string> value) {
    return host.newObject(kConnectionOption, "(ILjava/lang/String;)V",
                          {jInt(static_cast<jint>(option)), jObj(value ? str(*value) : nullptr)});
  }
  jobjectArray array(const std::vector<jobject>& options) { return host.newObjectArray(kConnectionOption, options); }
  jobject valueOf(jobject option) { return host.field(option, "_value").l; }
  std::optional<std::u16string> stringValueOf(jobject option) { return InetTest::text(valueOf(option)); }

  void query(jstring connection, jobjectArray options, HINTERNET handle = nullptr) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_queryConnectionOptions),
              internetHandle(handle), connection, options);
  }
  void set(jstring connection, jobjectArray options) {
    host.call(DELIVERABLE_NATIVE(Java_com_corvantis_windows_inet_InternetHandle_setConnectionOptions),
              internetHandle(nullptr), connection, options);
  }

  // Logs the WinInet calls and GlobalFree of the DLL under test while it lives.
  struct Logging {
    Logging(HMODULE module, OptionLog* log)
        : active(log),
          query(module, "wininet.dll", "InternetQueryOptionW", loggedQuery),
          set(module, "wininet.dll", "InternetSetOptionW", loggedSet),
          free(intercept::deferred, module, "kernel32.dll", "GlobalFree", reinterpret_cast<void*>(loggedGlobalFree)) {
      log->globalFree = &free;
      free.install();
    }
    ActiveInstance<OptionLog> active;
    ImportPatch query;
    ImportPatch set;
    ImportPatch free;
  };

  LanSettings saved;
};

TEST_P(ConnectionOptionsTest, SetValuesAreQueriedBack) {
  OptionLog log;
  Logging logging(library.module, &log);
  set(nullptr, array({word(kFlags, PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY), text(kProxyServer, u"proxy.example:8080")}));
  ASSERT_FALSE(host.exceptionPending());
  LanSettings lan = readLan();
  EXPECT_EQ(lan.proxy, L"proxy.example:8080");

  jobject flags = wanted(kFlags, "java/lang/Integer");
  jobject proxy = wanted(kProxyServer, "java/lang/String");
  jobject script = wanted(kAutoConfigUrl, "java/lang/String");
  host.setField(script, "_value", jObj(str(u"before")));
  query(nullptr, array({flags, proxy, script}));
  ASSERT_FALSE(host.exceptionPending());
  ASSERT_TRUE(host.isInstanceOf(valueOf(flags), "java/lang/Integer"));
  EXPECT_EQ(static_cast<DWORD>(host.invoke(valueOf(flags), "intValue", "()I").i), lan.flags);
  EXPECT_EQ(stringValueOf(proxy), u"proxy.example:8080");
  // Unset: WinInet hands back no string at all.
  EXPECT_EQ(valueOf(script), nullptr);

  // Every string WinInet handed over is released, once.
  ASSERT_EQ(log.queries.size(), 1u);
  auto proxyString = reinterpret_cast<void*>(log.queries[0].valuesAfter[1]);
  ASSERT_NE(proxyString, nullptr);
  EXPECT_EQ(log.freed, std::vector<void*>{proxyString});

  // A null value clears the string option.
  set(nullptr, array({word(kFlags, PROXY_TYPE_DIRECT), text(kProxyServer, std::nullopt)}));
  ASSERT_FALSE(host.exceptionPending());
  EXPECT_EQ(readLan().proxy, std::nullopt);
  ASSERT_EQ(log.sets.size(), 2u);
  EXPECT_EQ(log.sets[1].stringsIn[1], std::nullopt);
  EXPECT_EQ(log.sets[1].wordsIn[0], static_cast<DWORD>(PROXY_TYPE_DIRECT));
}

TEST_P(ConnectionOptionsTest, ListCarriesConnectionCountAndOptionNumbers) {
  OptionLog log;
  Logging logging(library.module, &log);
  for (const char16_t* connection : {u"Dial-up entry", static_cast<const char16_t*>(nullptr)}) {
    SCOPED_TRACE(connection != nullptr ? "named" : "LAN");
    log.queries.clear();
    log.sets.clear();
    jstring name = connection != nullptr ? str(connection) : nullptr;
    std::optional<std::wstring> expectedName =
        connection != nullptr ? std::optional<std::wstring>(L"Dial-up entry") : std::nullopt;
    query(name, array({wanted(kFlags, "java/lang/Integer"), wanted(kAutoConfigUrl, "java/lang/String")}));
    set(name, array({word(kFlags, PROXY_TYPE_DIRECT), text(kProxyServer, u"p:1")}));
    ASSERT_FALSE(host.exceptionPending());
    for (const std::vector<ListCall>* calls : {&log.queries, &log.sets}) {
      ASSERT_EQ(calls->size(), 1u);
      const ListCall& call = calls->front();
      EXPECT_EQ(call.listSize, 32u);
      EXPECT_EQ(call.lengthWord, 32u);
      EXPECT_EQ(call.connection, expectedName);
      EXPECT_EQ(call.count, 2u);
      EXPECT_EQ(call.optionError, 0u);
    }
    EXPECT_EQ(log.queries[0].options, (std::vector<DWORD>{kFlags, kAutoConfigUrl}));
    EXPECT_EQ(log.sets[0].options, (std::vector<DWORD>{kFlags, kProxyServer}));
    EXPECT_EQ(log.sets[0].wordsIn[0], static_cast<DWORD>(PROXY_TYPE_DIRECT));
    EXPECT_EQ(log.sets[0].stringsIn[1], L"p:1");
  }
}

TEST_P(ConnectionOptionsTest, EmptyArrayStillReachesWinInet) {
  OptionLog log;
  Logging logging(library.module, &log);
  query(nullptr, array({}));
  EXPECT_FALSE(host.exceptionPending());
  set(nullptr, array({}));
  EXPECT_FALSE(host.exceptionPending());
  ASSERT_EQ(log.queries.size(), 1u);
  ASSERT_EQ(log.sets.size(), 1u);
  EXPECT_EQ(log.queries[0].count, 0u);
  EXPECT_EQ(log.sets[0].count, 0u);
  // What WinInet answers for an empty list is raised as it is.
  log.refuseSetWith = ERROR_INVALID_PARAMETER;
  set(nullptr, array({}));
  expectCoded(ERROR_INVALID_PARAMETER);
}

TEST_P(ConnectionOptionsTest, NullArrayOrElementReachesNothing) {
  OptionLog log;
  Logging logging(library.module, &log);
  query(nullptr, nullptr);
  expectThrown(kNullPointer);
  set(nullptr, nullptr);
  expectThrown(kNullPointer);
  jobject first = wanted(kFlags, "java/lang/Integer");
  query(nullptr, array({first, nullptr}));
  expectThrown(kNullPointer);
  EXPECT_EQ(valueOf(first), nullptr);
  set(nullptr, array({word(kFlags, PROXY_TYPE_PROXY), nullptr}));
  expectThrown(kNullPointer);
  EXPECT_TRUE(log.queries.empty());
  EXPECT_TRUE(log.sets.empty());
}

TEST_P(ConnectionOptionsTest, UnsupportedResultTypeStopsThePassAndReleasesTheRest) {
  writeLan({PROXY_TYPE_PROXY, L"proxy.example:3128"});
  OptionLog log;
  Logging logging(library.module, &log);
  jobject first = wanted(kProxyServer, "java/lang/String");
  jobject second = wanted(kFlags, "java/lang/Long");
  jobject third = wanted(kProxyServer, "java/lang/String");
  jobject fourth = wanted(kFlags, "java/lang/Integer");
  jstring untouched = str(u"untouched");
  for (jobject option : {second, third, fourth}) {
    host.setField(option, "_value", jObj(untouched));
  }
  query(nullptr, array({first, second, third, fourth}));
  expectThrown(kIllegalArgument, u"unsupported result type");
  EXPECT_EQ(stringValueOf(first), u"proxy.example:3128");
  for (jobject option : {second, third, fourth}) {
    EXPECT_EQ(stringValueOf(option), u"untouched");
  }
  // Both strings WinInet returned are released: the converted one and the one the
  // pass never reached.
  ASSERT_EQ(log.queries.size(), 1u);
  const ListCall& call = log.queries[0];
  std::vector<void*> returned = {reinterpret_cast<void*>(call.valuesAfter[0]),
                                 reinterpret_cast<void*>(call.valuesAfter[2])};
  ASSERT_NE(returned[0], nullptr);
  ASSERT_NE(returned[1], nullptr);
  EXPECT_EQ(log.freed, returned);
}

TEST_P(ConnectionOptionsTest, FailedQueryWritesNothing) {
  HINTERNET stale = InternetOpenW(L"velaro-inet-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  ASSERT_TRUE(InternetCloseHandle(stale));
  const struct {
    HINTERNET handle;
    DWORD secondOption;
  } cases[] = {{nullptr, 0x7777}, {stale, kFlags}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.secondOption);
    // What WinInet answers for the same list.
    INTERNET_PER_CONN_OPTIONW entries[2] = {};
    entries[0].dwOption = kFlags;
    entries[1].dwOption = c.secondOption;
    INTERNET_PER_CONN_OPTION_LISTW list{sizeof(list), nullptr, 2, 0, entries};
    DWORD length = sizeof(list);
    ASSERT_FALSE(InternetQueryOptionW(c.handle, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length));
    DWORD expected = GetLastError();
    jobject first = wanted(kFlags, "java/lang/Integer");
    query(nullptr, array({first, wanted(c.secondOption, "java/lang/Integer")}), c.handle);
    expectCoded(expected);
    EXPECT_EQ(valueOf(first), nullptr);
  }
}

TEST_P(ConnectionOptionsTest, UnsupportedValueTypeSetsNothing) {
  OptionLog log;
  Logging logging(library.module, &log);
  LanSettings before = readLan();
  jobject wrong = word(kFlags, 0);
  host.setField(wrong, "_value", jObj(host.newObject("java/lang/Long", "(J)V", {jnihost::jLong(3)})));
  set(nullptr, array({text(kProxyServer, u"never.example:1"), wrong}));
  expectThrown(kIllegalArgument, u"unsupported value type");
  EXPECT_TRUE(log.sets.empty());
  LanSettings after = readLan();
  EXPECT_EQ(after.flags, before.flags);
  EXPECT_EQ(after.proxy, before.proxy);
}

TEST_P(ConnectionOptionsTest, PrivateHeapGrowsToTwoMebibytesAndNoFurther) {
  OptionLog log;
  Logging logging(library.module, &log);
  PrivateHeapLog heapLog;
  ActiveInstance<PrivateHeapLog> activeHeap(&heapLog);
  ImportPatch create(intercept::deferred, library.module, "kernel32.dll", "HeapCreate",
                     reinterpret_cast<void*>(loggedHeapCreate));
  heapLog.create = &create;
  create.install();
  // Beyond the first 16 KiB the heap grows.
  const std::u16string large(20000, u'p');
  set(nullptr, array({text(kProxyServer, large)}));
  ASSERT_FALSE(host.exceptionPending());
  EXPECT_EQ(readLan().proxy, std::wstring(large.begin(), large.end()));
  ASSERT_EQ(heapLog.creates.size(), 1u);
  EXPECT_EQ(heapLog.creates[0], (std::vector<SIZE_T>{HEAP_NO_SERIALIZE, 0x4000, 0x200000}));

  // Eight copies of 300 000 bytes do not fit 2 MiB: nothing is set.
  LanSettings before = readLan();
  log.sets.clear();
  const std::u16string huge(150000, u'h');
  std::vector<jobject> options;
  for (int i = 0; i < 8; ++i) {
    options.push_back(text(kProxyServer, huge));
  }
  set(nullptr, array(options));
  expectThrown(kOutOfMemory);
  EXPECT_TRUE(log.sets.empty());
  EXPECT_EQ(readLan().proxy, before.proxy);
}

TEST_P(ConnectionOptionsTest, SetFailuresAreRaisedAndTheHeapGoesAway) {
  OptionLog log;
  Logging logging(library.module, &log);
  log.refuseSetWith = ERROR_INTERNET_BAD_OPTION_LENGTH;
  set(nullptr, array({word(kFlags, PROXY_TYPE_DIRECT)}));
  expectCoded(ERROR_INTERNET_BAD_OPTION_LENGTH);
  log.refuseSetWith = ERROR_SUCCESS;

  PrivateHeapLog heapLog;
  ActiveInstance<PrivateHeapLog> activeHeap(&heapLog);
  ImportPatch create(intercept::deferred, library.module, "kernel32.dll", "HeapCreate",
                     reinterpret_cast<void*>(loggedHeapCreate));
  ImportPatch destroy(intercept::deferred, library.module, "kernel32.dll", "HeapDestroy",
                      reinterpret_cast<void*>(loggedHeapDestroy));
  heapLog.create = &create;
  heapLog.destroy = &destroy;
  create.install();
  destroy.install();
  heapLog.reportDestroyFailure = true;
  set(nullptr, array({word(kFlags, PROXY_TYPE_DIRECT)}));
  expectCoded(ERROR_INVALID_HANDLE);
  // The first failure is the one that stays.
  set(nullptr, array({nullptr}));
  expectThrown(kNullPointer);
  heapLog.reportDestroyFailure = false;

  log.sets.clear();
  heapLog.refuseCreate = true;
  set(nullptr, array({word(kFlags, PROXY_TYPE_DIRECT)}));
  expectThrown(kOutOfMemory);
  EXPECT_TRUE(log.sets.empty());
}

TEST_P(ConnectionOptionsTest, QueryBlocksThatCannotBeHadReachNothing) {
  OptionLog log;
  Logging logging(library.module, &log);
  {
    intercept::FailGetProcessHeap noHeap(library.module, ERROR_INVALID_HANDLE);
    query(nullptr, array({wanted(kFlags, "java/lang/Integer")}));
    expectCoded(ERROR_INVALID_HANDLE);
  }
  // The option array, the element array, the connection name.
  for (unsigned failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    intercept::FailHeapAlloc noMemory(library.module, intercept::Schedule::nth(failing));
    jobject option = wanted(kFlags, "java/lang/Integer");
    query(str(u"Dial-up entry"), array({option}));
    expectThrown(kOutOfMemory);
    EXPECT_EQ(valueOf(option), nullptr);
  }
  EXPECT_TRUE(log.queries.empty());
}

TEST_P(ConnectionOptionsTest, ManyOptionsAreAllAnswered) {
  std::vector<jobject> options;
  for (int i = 0; i < 40; ++i) {
    options.push_back(wanted(kFlags, "java/lang/Integer"));
  }
  query(nullptr, array(options));
  ASSERT_FALSE(host.exceptionPending());
  const DWORD flags = readLan().flags;
  for (jobject option : options) {
    ASSERT_NE(valueOf(option), nullptr);
    EXPECT_EQ(static_cast<DWORD>(host.invoke(valueOf(option), "intValue", "()I").i), flags);
  }
}

// Each element's references are let go before the next one, so that a set of more
// options than a call's 16 local references still keeps within them.
TEST_P(ConnectionOptionsTest, ManyOptionsAreAllSet) {
  OptionLog log;
  Logging logging(library.module, &log);
  std::vector<jobject> options;
  std::vector<std::optional<std::wstring>> strings;
  std::vector<DWORD> words;
  for (int i = 0; i < 40; ++i) {
    if (i % 2 == 0) {
      options.push_back(word(kFlags, PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY));
      strings.push_back(std::nullopt);
      words.push_back(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY);
    } else {
      std::wstring proxy = L"proxy" + std::to_wstring(i) + L".example:8080";
      options.push_back(text(kProxyServer, std::u16string(proxy.begin(), proxy.end())));
      strings.push_back(proxy);
      words.push_back(0);
    }
  }
  set(nullptr, array(options));
  ASSERT_FALSE(host.exceptionPending()) << host.exceptionClass();
  ASSERT_EQ(log.sets.size(), 1u);
  EXPECT_EQ(log.sets[0].count, 40u);
  EXPECT_EQ(log.sets[0].stringsIn, strings);
  EXPECT_EQ(log.sets[0].wordsIn, words);
  EXPECT_EQ(readLan().proxy, strings.back());
}

INSTANTIATE_TEST_SUITE_P(Bridges, ConnectionOptionsTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
