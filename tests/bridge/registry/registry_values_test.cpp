// RegistryKey value natives against Wine's registry, in both bridge DLLs.
#include <functional>

#include "registry_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using registrytest::bytesOf;
using registrytest::kInvalidRegistryType;
using registrytest::kNullPointer;
using testsupport::HarnessScope;

using GetString = jstring(JNICALL*)(JNIEnv*, jobject, jstring);
using SetString = void(JNICALL*)(JNIEnv*, jobject, jstring, jstring);
using GetInt = jint(JNICALL*)(JNIEnv*, jobject, jstring);
using SetInt = void(JNICALL*)(JNIEnv*, jobject, jstring, jint);
using GetLong = jlong(JNICALL*)(JNIEnv*, jobject, jstring);
using SetLong = void(JNICALL*)(JNIEnv*, jobject, jstring, jlong);
using GetBinary = jbyteArray(JNICALL*)(JNIEnv*, jobject, jstring);
using SetBinary = void(JNICALL*)(JNIEnv*, jobject, jstring, jbyteArray);
using AddMulti = jboolean(JNICALL*)(JNIEnv*, jobject, jstring, jobject);
using SetMultiIterator = void(JNICALL*)(JNIEnv*, jobject, jstring, jobject);
using SetMultiArray = void(JNICALL*)(JNIEnv*, jobject, jstring, jobjectArray);
using DeleteValue = jboolean(JNICALL*)(JNIEnv*, jobject, jstring);
using KeyCount = jint(JNICALL*)(JNIEnv*, jobject);
using KeyAction = void(JNICALL*)(JNIEnv*, jobject);

constexpr const char* kSetMultiIterator = "setMultiStringValue__Ljava_lang_String_2Ljava_util_Iterator_2";
constexpr const char* kSetMultiArray = "setMultiStringValue__Ljava_lang_String_2_3Ljava_lang_String_2";
constexpr DWORD kStatusNoMemory = 0xC0000017;

std::vector<BYTE> bytes(std::initializer_list<int> values) { return std::vector<BYTE>(values.begin(), values.end()); }

// Buffer sizes the DLL offers RegQueryValueExW, for the real function behind it.
struct QueryLog {
  std::vector<DWORD> offered;
  HKEY key = nullptr;
};

LONG WINAPI loggedQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  QueryLog* log = ActiveInstance<QueryLog>::get();
  {
    HarnessScope harness;
    log->offered.push_back(size != nullptr ? *size : 0);
  }
  return RegQueryValueExW(log->key != nullptr ? log->key : key, name, reserved, type, data, size);
}

// ERROR_MORE_DATA with a size no larger than the buffer offered (the size offered,
// or 0) while the buffer holds less than the value; larger buffers reach Windows.
struct ShortChange {
  bool reportOffered;
  std::vector<DWORD> offered;
};
LONG WINAPI shortChangedQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  ShortChange* script = ActiveInstance<ShortChange>::get();
  DWORD offered = *size;
  {
    HarnessScope harness;
    script->offered.push_back(offered);
  }
  DWORD needed = 0;
  LONG answer = RegQueryValueExW(key, name, reserved, type, nullptr, &needed);
  if (answer != ERROR_SUCCESS || needed <= offered || data == nullptr) {
    return RegQueryValueExW(key, name, reserved, type, data, size);
  }
  *size = script->reportOffered ? offered : 0;
  return ERROR_MORE_DATA;
}

// HKEY_PERFORMANCE_DATA as Windows documents it: ERROR_MORE_DATA while the buffer
// is too small, with the size left undefined, then the data.
constexpr DWORD kPerformanceDataBytes = 20000;
LONG WINAPI performanceDataQuery(HKEY key, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  QueryLog* log = ActiveInstance<QueryLog>::get();
  {
    HarnessScope harness;
    log->offered.push_back(*size);
  }
  if (key != HKEY_PERFORMANCE_DATA) {
    return ERROR_INVALID_HANDLE;
  }
  *type = REG_BINARY;
  if (*size < kPerformanceDataBytes) {
    // The size Windows leaves here is undefined; a plausible but wrong one must
    // not steer the growth.
    *size += 100;
    return ERROR_MORE_DATA;
  }
  FillMemory(data, kPerformanceDataBytes, 0x5A);
  *size = kPerformanceDataBytes;
  return ERROR_SUCCESS;
}

constexpr DWORD kAccessViolation = 0xC0000005;
LONG WINAPI faultingQuery(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  RaiseException(kAccessViolation, 0, 0, nullptr);
  return ERROR_SUCCESS;
}

// HeapReAlloc as documented for HEAP_GENERATE_EXCEPTIONS when memory runs out:
// it raises STATUS_NO_MEMORY instead of returning null. Without the flag it returns
// null and leaves the last error alone.
LPVOID WINAPI exhaustedReAlloc(HANDLE, DWORD flags, LPVOID, SIZE_T) {
  if (flags & HEAP_GENERATE_EXCEPTIONS) {
    RaiseException(kStatusNoMemory, 0, 0, nullptr);
  }
  return nullptr;
}

// Sizes the DLL asks HeapReAlloc for, passed on to the heap.
struct ReAllocLog {
  std::vector<SIZE_T> sizes;
  ImportPatch* patch = nullptr;
};
LPVOID WINAPI loggedReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
  ReAllocLog* log = ActiveInstance<ReAllocLog>::get();
  {
    HarnessScope harness;
    log->sizes.push_back(size);
  }
  return log->patch->previousAs<decltype(HeapReAlloc)>()(heap, flags, block, size);
}

class RegistryValuesTest : public registrytest::RegistryTest {
 protected:
  jstring getString(const char* method, jstring name) { return host.call(keyNative<GetString>(method), key, name); }
  std::u16string text(jobject s) { return s != nullptr ? host.str(s) : u"<null>"; }
  jobject newList(std::initializer_list<jobject> elements) {
    jobject list = host.newObject("java/util/ArrayList");
    for (jobject element : elements) {
      host.invoke(list, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(element)});
    }
    return list;
  }
};

TEST_P(RegistryValuesTest, StringsRoundTripWithOneTerminatingNul) {
  const std::u16string longText(300, u'x');
  const std::u16string texts[] = {u"", u"plain", std::u16string(u"a\0b", 3), u"\u00e9\u4e2d", longText};
  const struct {
    const char* setter;
    const char* getter;
    DWORD type;
  } kinds[] = {{"setStringValue", "getStringValue", REG_SZ},
               {"setExpandableStringValue", "getExpandableStringValue", REG_EXPAND_SZ}};
  for (const auto& kind : kinds) {
    for (const std::u16string& value : texts) {
      SCOPED_TRACE(std::string(kind.setter) + " of " + std::to_string(value.size()) + " units");
      host.call(keyNative<SetString>(kind.setter), key, str(u"v"), str(value));
      ASSERT_FALSE(host.exceptionPending());
      DWORD type = 0;
      std::vector<BYTE> expected = bytesOf(value);
      expected.insert(expected.end(), {0, 0});
      EXPECT_EQ(raw(L"v", &type), expected);
      EXPECT_EQ(type, kind.type);
      EXPECT_EQ(text(getString(kind.getter, str(u"v"))), value);
    }
  }
}

TEST_P(RegistryValuesTest, StoredStringsReadAsStoredWithoutOneTrailingNul) {
  const struct {
    std::vector<BYTE> data;
    std::u16string expected;
  } cases[] = {
      {{}, u""},
      {{0, 0}, u""},
      {bytesOf(u"abc"), u"abc"},                                              // no terminator
      {bytesOf(std::u16string(u"abc\0\0", 5)), std::u16string(u"abc\0", 4)},  // two NULs, one stays
      {bytes({'a', 0, 'b', 0, 'c'}), u"ab"},                                  // odd byte count
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    putRaw(L"v", REG_SZ, c.data);
    EXPECT_EQ(text(getString("getStringValue", str(u"v"))), c.expected);
    EXPECT_EQ(text(getString("resolveStringValue", str(u"v"))), c.expected);
    EXPECT_FALSE(host.exceptionPending());
  }
}

TEST_P(RegistryValuesTest, LongValueCostsExactlyOneMoreQueryOfReportedSizePlusTwo) {
  const std::u16string longText(300, u'y');  // 602 bytes with its NUL
  std::vector<BYTE> stored = bytesOf(longText);
  stored.insert(stored.end(), {0, 0});
  std::vector<BYTE> binary(1000, 0x42);
  const struct {
    const char* method;
    DWORD type;
    std::vector<BYTE> data;
    std::vector<DWORD> offered;
  } cases[] = {
      {"getStringValue", REG_SZ, stored, {256, 604}},
      {"resolveStringValue", REG_SZ, stored, {128, 604}},
      {"getBinaryValue", REG_BINARY, binary, {128, 1002}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    putRaw(L"long", c.type, c.data);
    QueryLog log;
    ActiveInstance<QueryLog> active(&log);
    ImportPatch patch(library.module, "advapi32.dll", "RegQueryValueExW", loggedQuery);
    jobject result = host.call(keyNative<GetString>(c.method), key, str(u"long"));
    EXPECT_EQ(log.offered, c.offered);
    ASSERT_NE(result, nullptr);
    if (c.type == REG_SZ) {
      EXPECT_EQ(host.str(result), longText);
    } else {
      EXPECT_EQ(host.arrayContents<jbyte>(static_cast<jarray>(result)).size(), binary.size());
    }
  }
}

// A size no larger than the buffer is not relied on: the next query offers 8192 bytes more.
TEST_P(RegistryValuesTest, MoreDataAskingForNoMoreGetsAStepMore) {
  const std::u16string longText(300, u'y');  // 602 bytes with its NUL
  putRaw(L"long", REG_SZ, bytesOf(longText + u'\0'));
  for (bool reportOffered : {true, false}) {
    SCOPED_TRACE(reportOffered ? "the size offered" : "0");
    ShortChange script{reportOffered, {}};
    ActiveInstance<ShortChange> active(&script);
    ImportPatch patch(library.module, "advapi32.dll", "RegQueryValueExW", shortChangedQuery);
    jstring result = host.call(keyNative<GetString>("getStringValue"), key, str(u"long"));
    ASSERT_NE(result, nullptr) << host.exceptionClass();
    EXPECT_EQ(host.str(result), longText);
    EXPECT_EQ(script.offered, (std::vector<DWORD>{256, 256 + 8192}));
  }
}

TEST_P(RegistryValuesTest, PerformanceDataGrowsBy8192BytesPerQuery) {
  jobject performanceData = keyObject(HKEY_PERFORMANCE_DATA);
  QueryLog log;
  ActiveInstance<QueryLog> active(&log);
  ImportPatch patch(library.module, "advapi32.dll", "RegQueryValueExW", performanceDataQuery);
  auto data = host.call(keyNative<GetBinary>("getBinaryValue"), performanceData, str(u"Global"));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(log.offered, (std::vector<DWORD>{128, 128 + 8192, 128 + 2 * 8192, 128 + 3 * 8192}));
  std::vector<jbyte> contents = host.arrayContents<jbyte>(data);
  EXPECT_EQ(contents.size(), kPerformanceDataBytes);
  EXPECT_EQ(contents.back(), 0x5A);
}

TEST_P(RegistryValuesTest, StoredTypeNotAcceptedIsRefusedWithItsTypes) {
  const std::vector<BYTE> longData(1000, 1);  // beyond every first buffer: refused on ERROR_MORE_DATA
  const struct {
    const char* method;
    DWORD storedType;
    std::vector<BYTE> data;
    jint arguments, expected, stored;
  } cases[] = {
      {"getStringValue", REG_EXPAND_SZ, bytes({'x', 0, 0, 0}), 2, REG_SZ, REG_EXPAND_SZ},
      {"getExpandableStringValue", REG_SZ, bytes({'x', 0, 0, 0}), 2, REG_EXPAND_SZ, REG_SZ},
      {"getIntValue", REG_QWORD, bytes({1, 0, 0, 0, 0, 0, 0, 0}), 2, REG_DWORD, REG_QWORD},
      {"getIntValue", REG_DWORD_BIG_ENDIAN, bytes({0, 0, 0, 1}), 2, REG_DWORD, REG_DWORD_BIG_ENDIAN},
      {"getIntValue", REG_BINARY, bytes({1, 2, 3, 4}), 2, REG_DWORD, REG_BINARY},
      {"getLongValue", REG_DWORD, bytes({1, 0, 0, 0}), 2, REG_QWORD, REG_DWORD},
      {"getBinaryValue", REG_SZ, bytes({'x', 0, 0, 0}), 2, REG_BINARY, REG_SZ},
      {"getStringValue", REG_BINARY, longData, 2, REG_SZ, REG_BINARY},
      {"resolveStringValue", REG_DWORD, bytes({1, 0, 0, 0}), 1, 0, REG_DWORD},
      {"resolveStringValue", REG_MULTI_SZ, longData, 1, 0, REG_MULTI_SZ},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " of type " + std::to_string(c.storedType));
    putRaw(L"v", c.storedType, c.data);
    host.call(keyNative<GetString>(c.method), key, str(u"v"));
    ASSERT_EQ(host.exceptionClass(), kInvalidRegistryType);
    jthrowable thrown = host.exception();
    EXPECT_EQ(host.field(thrown, "_arguments").i, c.arguments);
    EXPECT_EQ(host.field(thrown, "_expected").i, c.expected);
    EXPECT_EQ(host.field(thrown, "_stored").i, c.stored);
    host.clearException();
  }
  // addMultiStringValuesTo takes a collection as well.
  putRaw(L"v", REG_SZ, bytes({'x', 0, 0, 0}));
  EXPECT_FALSE(host.call(keyNative<AddMulti>("addMultiStringValuesTo"), key, str(u"v"), newList({})));
  ASSERT_EQ(host.exceptionClass(), kInvalidRegistryType);
  EXPECT_EQ(host.field(host.exception(), "_expected").i, REG_MULTI_SZ);
  host.clearException();
}

TEST_P(RegistryValuesTest, MissingValueRaisesNoSuchElementWithItsName) {
  jobject list = newList({});
  const std::function<void(jstring)> readers[] = {
      [&](jstring n) { host.call(keyNative<GetString>("getStringValue"), key, n); },
      [&](jstring n) { host.call(keyNative<GetString>("getExpandableStringValue"), key, n); },
      [&](jstring n) { host.call(keyNative<GetString>("resolveStringValue"), key, n); },
      [&](jstring n) { host.call(keyNative<GetBinary>("getBinaryValue"), key, n); },
      [&](jstring n) { EXPECT_EQ(host.call(keyNative<GetInt>("getIntValue"), key, n), 0); },
      [&](jstring n) { EXPECT_EQ(host.call(keyNative<GetLong>("getLongValue"), key, n), 0); },
      [&](jstring n) { EXPECT_FALSE(host.call(keyNative<AddMulti>("addMultiStringValuesTo"), key, n, list)); },
  };
  for (const auto& read : readers) {
    SCOPED_TRACE("reader " + std::to_string(&read - readers));
    read(str(u"missing"));
    expectNoSuchElement(u"missing");
    read(nullptr);  // the default value is not set either
    expectNoSuchElement(std::nullopt);
  }
}

TEST_P(RegistryValuesTest, NullNameIsTheDefaultValue) {
  host.call(keyNative<SetString>("setStringValue"), key, jstring{nullptr}, str(u"default"));
  ASSERT_FALSE(host.exceptionPending());
  EXPECT_EQ(raw(nullptr), bytesOf(std::u16string(u"default\0", 8)));
  EXPECT_EQ(text(getString("getStringValue", nullptr)), u"default");
  host.call(keyNative<SetInt>("setIntValue"), key, jstring{nullptr}, jint{7});
  EXPECT_EQ(host.call(keyNative<GetInt>("getIntValue"), key, jstring{nullptr}), 7);
  EXPECT_TRUE(host.call(keyNative<DeleteValue>("deleteValue"), key, jstring{nullptr}));
  EXPECT_FALSE(rawExists(nullptr));
}

TEST_P(RegistryValuesTest, ResolveExpandsEnvironmentReferences) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"VELARO_REGISTRY_TEST", L"expanded"));
  const std::u16string unterminated(64, u'%');  // exactly the first 128-byte buffer, no NUL
  const struct {
    std::vector<BYTE> data;
    std::u16string expected;
  } cases[] = {
      {bytesOf(std::u16string(u"%VELARO_REGISTRY_TEST%\\x\0", 25)), u"expanded\\x"},
      {bytesOf(u"%VELARO_REGISTRY_TEST%"), u"expanded"},  // stored without its NUL
      {bytesOf(unterminated), unterminated},
      {{}, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data.size()));
    putRaw(L"e", REG_EXPAND_SZ, c.data);
    EXPECT_EQ(text(getString("resolveStringValue", str(u"e"))), c.expected);
    EXPECT_FALSE(host.exceptionPending());
  }
  // getExpandableStringValue leaves the references alone.
  putRaw(L"e", REG_EXPAND_SZ, bytesOf(std::u16string(u"%VELARO_REGISTRY_TEST%\0", 23)));
  EXPECT_EQ(text(getString("getExpandableStringValue", str(u"e"))), u"%VELARO_REGISTRY_TEST%");
  SetEnvironmentVariableW(L"VELARO_REGISTRY_TEST", nullptr);
}

TEST_P(RegistryValuesTest, NumbersAndBinaryRoundTrip) {
  host.call(keyNative<SetInt>("setIntValue"), key, str(u"i"), jint{-2});
  DWORD type = 0;
  EXPECT_EQ(raw(L"i", &type), bytes({0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(host.call(keyNative<GetInt>("getIntValue"), key, str(u"i")), -2);

  host.call(keyNative<SetLong>("setLongValue"), key, str(u"l"), jlong{0x0123456789ABCDEF});
  EXPECT_EQ(raw(L"l", &type), bytes({0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
  EXPECT_EQ(host.call(keyNative<GetLong>("getLongValue"), key, str(u"l")), 0x0123456789ABCDEF);

  for (const std::vector<jbyte>& data : {std::vector<jbyte>{}, std::vector<jbyte>{1, -1, 0, 127}}) {
    host.call(keyNative<SetBinary>("setBinaryValue"), key, str(u"b"), host.newArray<jbyte>(data));
    EXPECT_EQ(raw(L"b", &type).size(), data.size());
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    jbyteArray read = host.call(keyNative<GetBinary>("getBinaryValue"), key, str(u"b"));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(host.arrayContents<jbyte>(read), data);
  }
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(RegistryValuesTest, NumberOfOtherLengthIsZeroFilledOrRefused) {
  putRaw(L"short", REG_DWORD, bytes({0x34, 0x12}));
  EXPECT_EQ(host.call(keyNative<GetInt>("getIntValue"), key, str(u"short")), 0x1234);
  putRaw(L"short", REG_QWORD, bytes({0x34, 0x12, 0, 0x80}));
  EXPECT_EQ(host.call(keyNative<GetLong>("getLongValue"), key, str(u"short")), 0x80001234LL);
  EXPECT_FALSE(host.exceptionPending());

  putRaw(L"long", REG_DWORD, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(host.call(keyNative<GetInt>("getIntValue"), key, str(u"long")), 0);
  expectCoded(ERROR_MORE_DATA);
  putRaw(L"long", REG_QWORD, std::vector<BYTE>(12, 1));
  EXPECT_EQ(host.call(keyNative<GetLong>("getLongValue"), key, str(u"long")), 0);
  expectCoded(ERROR_MORE_DATA);
}

TEST_P(RegistryValuesTest, NullArgumentsRaiseNullPointerAndWriteNothing) {
  const std::function<void()> calls[] = {
      [&] { host.call(keyNative<SetString>("setStringValue"), key, str(u"v"), jstring{nullptr}); },
      [&] { host.call(keyNative<SetString>("setExpandableStringValue"), key, str(u"v"), jstring{nullptr}); },
      [&] { host.call(keyNative<SetBinary>("setBinaryValue"), key, str(u"v"), jbyteArray{nullptr}); },
      [&] { host.call(keyNative<SetMultiIterator>(kSetMultiIterator), key, str(u"v"), jobject{nullptr}); },
      [&] { host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"v"), jobjectArray{nullptr}); },
      [&] {
        host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"v"),
                  host.newObjectArray("java/lang/String", {str(u"a"), nullptr}));
      },
      [&] {
        jobject list = newList({str(u"a"), nullptr});
        host.call(keyNative<SetMultiIterator>(kSetMultiIterator), key, str(u"v"),
                  host.invoke(list, "iterator", "()Ljava/util/Iterator;").l);
      },
  };
  for (const auto& call : calls) {
    call();
    EXPECT_EQ(host.exceptionClass(), kNullPointer);
    EXPECT_EQ(host.exceptionMessage(), std::nullopt);
    host.clearException();
    EXPECT_FALSE(rawExists(L"v"));
  }
}

TEST_P(RegistryValuesTest, MultiStringsWrittenFromArrayOrIterator) {
  const struct {
    std::vector<std::u16string> strings;
    std::vector<BYTE> stored;
  } cases[] = {
      {{}, bytes({0, 0})},
      {{u"a", u"b"}, bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    std::vector<jobject> elements;
    for (const auto& s : c.strings) {
      elements.push_back(str(s));
    }
    host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"m"),
              host.newObjectArray("java/lang/String", elements));
    DWORD type = 0;
    EXPECT_EQ(raw(L"m", &type), c.stored);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_TRUE(RegDeleteValueW(testKey, L"m") == ERROR_SUCCESS);

    jobject list = host.newObject("java/util/ArrayList");
    for (jobject e : elements) {
      host.invoke(list, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(e)});
    }
    host.call(keyNative<SetMultiIterator>(kSetMultiIterator), key, str(u"m"),
              host.invoke(list, "iterator", "()Ljava/util/Iterator;").l);
    EXPECT_EQ(raw(L"m"), c.stored);
    EXPECT_FALSE(host.exceptionPending());
  }
}

TEST_P(RegistryValuesTest, MultiStringBlockGrowsToTwiceOrToWhatIsNeeded) {
  const struct {
    size_t units;
    SIZE_T grownBytes;
  } cases[] = {{511, 1024 * 2}, {600, 1024 * 2}, {1500, 1502 * 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    const std::u16string text(c.units, u'm');
    ReAllocLog log;
    ActiveInstance<ReAllocLog> active(&log);
    ImportPatch patch(intercept::deferred, library.module, "kernel32.dll", "HeapReAlloc",
                      reinterpret_cast<void*>(loggedReAlloc));
    log.patch = &patch;
    patch.install();
    host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"m"),
              host.newObjectArray("java/lang/String", {str(text)}));
    EXPECT_EQ(log.sizes, std::vector<SIZE_T>{c.grownBytes});
    std::vector<BYTE> expected = bytesOf(text);
    expected.insert(expected.end(), {0, 0, 0, 0});
    EXPECT_EQ(raw(L"m"), expected);
  }
}

TEST_P(RegistryValuesTest, ThousandsOfStringsKeepLocalReferencesFlat) {
  auto peaks = [&](int count) {
    std::vector<jobject> elements;
    jobject list = host.newObject("java/util/ArrayList");
    for (int i = 0; i < count; ++i) {
      elements.push_back(str(u"s" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26))));
      host.invoke(list, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(elements.back())});
    }
    host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"m"),
              host.newObjectArray("java/lang/String", elements));
    size_t arrayPeak = host.lastCallPeakLocalRefs();
    EXPECT_EQ(raw(L"m").size(), static_cast<size_t>(count) * 6 + 2);
    host.call(keyNative<SetMultiIterator>(kSetMultiIterator), key, str(u"m"),
              host.invoke(list, "iterator", "()Ljava/util/Iterator;").l);
    EXPECT_EQ(raw(L"m").size(), static_cast<size_t>(count) * 6 + 2);
    EXPECT_FALSE(host.exceptionPending());
    return std::make_pair(arrayPeak, host.lastCallPeakLocalRefs());
  };
  auto few = peaks(3);
  EXPECT_EQ(peaks(3000), few);
}

// A text that fills the first 128-byte buffer exactly has no room for the NUL
// that expansion needs: the block grows by one unit first. Windows adds the NUL
// a caller forgot to count when the unit behind the data is one, so the test
// data carries another unit behind it.
TEST_P(RegistryValuesTest, ResolvedTextFillingTheBufferGrowsForItsNul) {
  const struct {
    size_t units;
    std::vector<SIZE_T> grown;
  } cases[] = {{64, {130}}, {63, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    std::u16string padded(c.units, u'x');
    padded += u'!';
    std::vector<BYTE> data = bytesOf(padded);
    putRaw(L"full", REG_EXPAND_SZ, data.data(), static_cast<DWORD>(c.units * 2));
    ASSERT_EQ(raw(L"full").size(), c.units * 2);
    ReAllocLog log;
    ActiveInstance<ReAllocLog> active(&log);
    ImportPatch patch(intercept::deferred, library.module, "kernel32.dll", "HeapReAlloc",
                      reinterpret_cast<void*>(loggedReAlloc));
    log.patch = &patch;
    patch.install();
    jstring resolved = getString("resolveStringValue", str(u"full"));
    EXPECT_EQ(log.sizes, c.grown);
    EXPECT_EQ(text(resolved), std::u16string(c.units, u'x'));
  }
}

TEST_P(RegistryValuesTest, IteratorElementNotAStringRaisesClassCastAndWritesNothing) {
  jobject list = newList({str(u"a"), host.newInteger(5)});
  host.call(keyNative<SetMultiIterator>(kSetMultiIterator), key, str(u"m"),
            host.invoke(list, "iterator", "()Ljava/util/Iterator;").l);
  EXPECT_EQ(host.exceptionClass(), "java/lang/ClassCastException");
  EXPECT_EQ(host.exceptionMessageUtf8(), "class java.lang.Integer");
  host.clearException();
  EXPECT_FALSE(rawExists(L"m"));
}

TEST_P(RegistryValuesTest, MultiStringsReadIntoTheCollection) {
  auto add = keyNative<AddMulti>("addMultiStringValuesTo");
  putRaw(L"m", REG_MULTI_SZ, bytesOf(std::u16string(u"one\0two\0\0", 9)));
  jobject list = newList({});
  EXPECT_TRUE(host.call(add, key, str(u"m"), list));
  EXPECT_EQ(host.stringElements(list), (std::vector<std::u16string>{u"one", u"two"}));

  // A set that already holds them adds nothing.
  jobject set = host.newObject("java/util/HashSet");
  host.invoke(set, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(str(u"one"))});
  host.invoke(set, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(str(u"two"))});
  EXPECT_FALSE(host.call(add, key, str(u"m"), set));

  putRaw(L"m", REG_MULTI_SZ, bytes({0, 0}));
  jobject empty = newList({});
  EXPECT_FALSE(host.call(add, key, str(u"m"), empty));
  EXPECT_TRUE(host.stringElements(empty).empty());
  EXPECT_FALSE(host.exceptionPending());

  // Longer than the first 512 bytes.
  const std::u16string longText(400, u'q');
  putRaw(L"m", REG_MULTI_SZ, bytesOf(longText + std::u16string(u"\0z\0\0", 4)));
  jobject longList = newList({});
  EXPECT_TRUE(host.call(add, key, str(u"m"), longList));
  EXPECT_EQ(host.stringElements(longList), (std::vector<std::u16string>{longText, u"z"}));
}

TEST_P(RegistryValuesTest, MalformedMultiStringAndNullCollectionAreRefused) {
  auto add = keyNative<AddMulti>("addMultiStringValuesTo");
  putRaw(L"m", REG_MULTI_SZ, std::vector<BYTE>{});
  EXPECT_FALSE(host.call(add, key, str(u"m"), newList({})));
  expectCoded(0x80070057);

  // Data whose length does not count the closing NUL: what it holds is added, then refused.
  const struct {
    const char* name;
    std::vector<BYTE> data;
    std::vector<std::u16string> added;
  } unterminated[] = {
      {"one unit", bytes({'x', 0}), {}},
      {"last string of one unit", bytes({'a', 0, 0, 0, 'b', 0}), {u"a"}},
      {"last string of two units", bytes({'a', 0, 0, 0, 'b', 0, 'c', 0}), {u"a"}},
  };
  for (const auto& c : unterminated) {
    SCOPED_TRACE(c.name);
    // Windows adds the NUL a caller forgot to count when the unit behind the data
    // is one; a unit that is not keeps the data as given.
    std::vector<BYTE> padded = c.data;
    padded.insert(padded.end(), {'!', 0});
    putRaw(L"m", REG_MULTI_SZ, padded.data(), static_cast<DWORD>(c.data.size()));
    ASSERT_EQ(raw(L"m"), c.data);
    jobject list = newList({});
    host.call(add, key, str(u"m"), list);
    expectCoded(0x80070057);
    EXPECT_EQ(host.stringElements(list), c.added);
  }

  putRaw(L"m", REG_MULTI_SZ, bytes({'a', 0, 0, 0}));
  EXPECT_FALSE(host.call(add, key, str(u"m"), jobject{nullptr}));
  EXPECT_EQ(host.exceptionClass(), kNullPointer);
  host.clearException();
}

TEST_P(RegistryValuesTest, DeleteValueTellsWhetherThereWasOne) {
  putRaw(L"gone", REG_SZ, bytes({0, 0}));
  auto del = keyNative<DeleteValue>("deleteValue");
  EXPECT_TRUE(host.call(del, key, str(u"gone")));
  EXPECT_FALSE(rawExists(L"gone"));
  EXPECT_FALSE(host.call(del, key, str(u"gone")));
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(RegistryValuesTest, NumberOfValuesAndFlush) {
  auto count = keyNative<KeyCount>("getNumberValues");
  EXPECT_EQ(host.call(count, key), 0);
  putRaw(L"a", REG_SZ, bytes({0, 0}));
  putRaw(nullptr, REG_SZ, bytes({0, 0}));
  EXPECT_EQ(host.call(count, key), 2);
  host.call(keyNative<KeyAction>("flush"), key);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(RegistryValuesTest, ClosedKeyReportsWindowsRefusal) {
  jobject closed = keyObject(nullptr);
  jobject list = newList({});
  const std::function<void()> calls[] = {
      [&] { host.call(keyNative<GetString>("getStringValue"), closed, str(u"v")); },
      [&] { host.call(keyNative<GetString>("resolveStringValue"), closed, str(u"v")); },
      [&] { host.call(keyNative<GetInt>("getIntValue"), closed, str(u"v")); },
      [&] { host.call(keyNative<GetBinary>("getBinaryValue"), closed, str(u"v")); },
      [&] { host.call(keyNative<AddMulti>("addMultiStringValuesTo"), closed, str(u"v"), list); },
      [&] { host.call(keyNative<SetString>("setStringValue"), closed, str(u"v"), str(u"x")); },
      [&] { host.call(keyNative<SetLong>("setLongValue"), closed, str(u"v"), jlong{1}); },
      [&] {
        host.call(keyNative<SetMultiArray>(kSetMultiArray), closed, str(u"v"),
                  host.newObjectArray("java/lang/String", {str(u"a")}));
      },
      [&] { host.call(keyNative<DeleteValue>("deleteValue"), closed, str(u"v")); },
      [&] { host.call(keyNative<KeyCount>("getNumberValues"), closed); },
      [&] { host.call(keyNative<KeyAction>("flush"), closed); },
  };
  for (const auto& call : calls) {
    call();
    expectCoded(ERROR_INVALID_HANDLE);
  }
}

TEST_P(RegistryValuesTest, StructuredExceptionsBecomeCodedAndBuffersAreFreed) {
  {
    ImportPatch patch(library.module, "advapi32.dll", "RegQueryValueExW", faultingQuery);
    for (const char* method : {"getStringValue", "resolveStringValue", "getBinaryValue"}) {
      SCOPED_TRACE(method);
      host.call(keyNative<GetString>(method), key, str(u"v"));
      expectCoded(kAccessViolation);
    }
    host.call(keyNative<GetInt>("getIntValue"), key, str(u"v"));
    expectCoded(kAccessViolation);
  }
  // Growth that runs out of memory, reading and writing; the heap accounting
  // checks that every block was still freed.
  putRaw(L"long", REG_SZ, std::vector<BYTE>(1000, 'a'));
  ImportPatch exhausted(library.module, "kernel32.dll", "HeapReAlloc", exhaustedReAlloc);
  host.call(keyNative<GetString>("getStringValue"), key, str(u"long"));
  expectCoded(kStatusNoMemory);
  host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"m"),
            host.newObjectArray("java/lang/String", {str(std::u16string(600, u'm'))}));
  expectCoded(kStatusNoMemory);
  EXPECT_FALSE(rawExists(L"m"));
}

INSTANTIATE_TEST_SUITE_P(Bridges, RegistryValuesTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
