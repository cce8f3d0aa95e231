// RegistryKey key natives: sub-keys, enumeration, last write time, save, close.
#include <algorithm>
#include <functional>

#include "registry_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using registrytest::kNullPointer;
using testsupport::HarnessScope;

using OpenSubKey = jobject(JNICALL*)(JNIEnv*, jobject, jstring, jint);
using CreateSubKey = jobject(JNICALL*)(JNIEnv*, jobject, jstring, jboolean, jint);
using DeleteSubKey = jboolean(JNICALL*)(JNIEnv*, jobject, jstring);
using AddNames = jboolean(JNICALL*)(JNIEnv*, jobject, jobject);
using PutValues = void(JNICALL*)(JNIEnv*, jobject, jobject);
using KeyCount = jint(JNICALL*)(JNIEnv*, jobject);
using KeyTime = jlong(JNICALL*)(JNIEnv*, jobject);
using SaveToFile = void(JNICALL*)(JNIEnv*, jobject, jstring);
using KeyAction = void(JNICALL*)(JNIEnv*, jobject);

HKEY handleOf(jnihost::Host& host, jobject keyObject) {
  return reinterpret_cast<HKEY>(host.field(keyObject, "_handle").j);
}

// (index, buffer characters) of each RegEnumKeyExW call, passed on to Windows.
struct EnumLog {
  std::vector<std::pair<DWORD, DWORD>> calls;
};
LONG WINAPI loggedEnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD length, LPDWORD reserved, LPWSTR cls,
                          LPDWORD clsLength, PFILETIME time) {
  {
    HarnessScope harness;
    ActiveInstance<EnumLog>::get()->calls.emplace_back(index, *length);
  }
  return RegEnumKeyExW(key, index, name, length, reserved, cls, clsLength, time);
}

// RegQueryInfoKeyW reporting a chosen last write time, as Windows reports the key's.
struct WriteTime {
  ULONGLONG fileTime;
};
LONG WINAPI fixedWriteTime(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                           LPDWORD, PFILETIME written) {
  ULONGLONG value = ActiveInstance<WriteTime>::get()->fileTime;
  written->dwLowDateTime = static_cast<DWORD>(value);
  written->dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ERROR_SUCCESS;
}

class RegistryKeysTest : public registrytest::RegistryTest {
 protected:
  jobject openSub(jobject parent, jstring name, REGSAM access = KEY_ALL_ACCESS) {
    return host.call(keyNative<OpenSubKey>("openSubKey"), parent, name, static_cast<jint>(access));
  }
  void closeKey(jobject object) { host.call(keyNative<KeyAction>("close"), object); }
  std::vector<std::u16string> sorted(std::vector<std::u16string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_P(RegistryKeysTest, OpenMissingRaisesCreateMakesItThenOpenFindsIt) {
  openSub(key, str(u"child"));
  expectNoSuchElement(u"child");

  jobject created = host.call(keyNative<CreateSubKey>("createAndGetSubKey"), key, str(u"child"), jboolean{JNI_FALSE},
                              jint{KEY_ALL_ACCESS});
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(host.className(created), testsupport::kRegistryKey);
  EXPECT_EQ(RegSetValueExW(handleOf(host, created), L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
            ERROR_SUCCESS);

  // Creating an existing key opens it.
  jobject again =
      host.call(keyNative<CreateSubKey>("createAndGetSubKey"), key, str(u"child"), jboolean{JNI_TRUE}, jint{KEY_READ});
  ASSERT_NE(again, nullptr);
  jobject opened = openSub(key, str(u"child"), KEY_READ);
  ASSERT_NE(opened, nullptr);
  for (jobject object : {created, again, opened}) {
    EXPECT_EQ(RegQueryValueExW(handleOf(host, object), L"v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    closeKey(object);
  }
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(RegistryKeysTest, VolatileSubKeyIsCreatedVolatile) {
  jobject created = host.call(keyNative<CreateSubKey>("createAndGetSubKey"), key, str(u"volatile"), jboolean{JNI_TRUE},
                              jint{KEY_ALL_ACCESS});
  ASSERT_NE(created, nullptr);
  // Windows refuses a non-volatile child under a volatile key.
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExW(handleOf(host, created), L"stable", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                            &child, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  closeKey(created);
}

TEST_P(RegistryKeysTest, NullNameOpensAnIndependentSecondKey) {
  jobject second = openSub(key, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(handleOf(host, second), testKey);
  closeKey(second);
  EXPECT_EQ(host.field(second, "_handle").j, 0);
  EXPECT_EQ(RegSetValueExW(testKey, L"still", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
            ERROR_SUCCESS);
}

TEST_P(RegistryKeysTest, DeleteSubKeyTellsWhetherThereWasOne) {
  auto del = keyNative<DeleteSubKey>("deleteSubKey");
  RegCloseKey(createRawSubKey(L"leaf"));
  EXPECT_TRUE(host.call(del, key, str(u"leaf")));
  EXPECT_FALSE(host.call(del, key, str(u"leaf")));
  EXPECT_FALSE(host.exceptionPending());

  // Only a key without sub-keys goes; Windows refuses the others.
  HKEY parent = createRawSubKey(L"parent");
  HKEY child = nullptr;
  RegCreateKeyExW(parent, L"child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr);
  RegCloseKey(child);
  RegCloseKey(parent);
  EXPECT_FALSE(host.call(del, key, str(u"parent")));
  expectCoded(ERROR_ACCESS_DENIED);

  EXPECT_FALSE(host.call(del, key, jstring{nullptr}));
  expectThrown(kNullPointer);
}

struct DeleteCount {
  int calls = 0;
};
LONG WINAPI countedDeleteKey(HKEY key, LPCWSTR name) {
  {
    HarnessScope harness;
    ++ActiveInstance<DeleteCount>::get()->calls;
  }
  return RegDeleteKeyW(key, name);
}

// An empty name would make Windows delete the receiver's own key.
TEST_P(RegistryKeysTest, EmptySubKeyNameIsRefusedBeforeWindows) {
  RegCloseKey(createRawSubKey(L"victim"));
  jobject victim = openSub(key, str(u"victim"));
  ASSERT_NE(victim, nullptr);
  DeleteCount count;
  ActiveInstance<DeleteCount> active(&count);
  ImportPatch patch(library.module, "advapi32.dll", "RegDeleteKeyW", countedDeleteKey);
  EXPECT_FALSE(host.call(keyNative<DeleteSubKey>("deleteSubKey"), victim, str(u"")));
  expectThrown("java/lang/IllegalArgumentException");
  EXPECT_EQ(count.calls, 0);
  closeKey(victim);
  HKEY still = nullptr;
  EXPECT_EQ(RegOpenKeyExW(testKey, L"victim", 0, KEY_READ, &still), ERROR_SUCCESS);
  RegCloseKey(still);
}

TEST_P(RegistryKeysTest, SubKeyNamesEnumeratedWithLongNameAskedAgain) {
  auto addSubKeys = keyNative<AddNames>("addAvailableSubKeys");
  jobject empty = host.newObject("java/util/ArrayList");
  EXPECT_FALSE(host.call(addSubKeys, key, empty));
  EXPECT_TRUE(host.stringElements(empty).empty());

  const std::wstring longName(200, L'k');
  std::vector<std::wstring> names = {L"a", longName, L"z"};
  for (const auto& name : names) {
    RegCloseKey(createRawSubKey(name));
  }
  EnumLog log;
  ActiveInstance<EnumLog> active(&log);
  ImportPatch patch(library.module, "advapi32.dll", "RegEnumKeyExW", loggedEnumKey);
  jobject list = host.newObject("java/util/ArrayList");
  EXPECT_TRUE(host.call(addSubKeys, key, list));
  std::vector<std::u16string> expected;
  for (const auto& name : names) {
    expected.emplace_back(name.begin(), name.end());
  }
  EXPECT_EQ(sorted(host.stringElements(list)), sorted(expected));

  // The long name's index is asked twice: 128 characters, then 256; none skipped.
  std::vector<std::pair<DWORD, DWORD>> retried;
  for (size_t i = 1; i < log.calls.size(); ++i) {
    if (log.calls[i].first == log.calls[i - 1].first) {
      retried.push_back(log.calls[i - 1]);
      retried.push_back(log.calls[i]);
    }
  }
  EXPECT_EQ(retried.size(), 2u);
  if (retried.size() == 2) {
    EXPECT_EQ(retried[0].second, 128u);
    EXPECT_EQ(retried[1].second, 256u);
  }
  EXPECT_EQ(log.calls.back().first, 3u);  // ERROR_NO_MORE_ITEMS ends the walk

  // A set that already holds every name adds nothing.
  jobject set = host.newObject("java/util/HashSet");
  for (const auto& name : expected) {
    host.invoke(set, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(str(name))});
  }
  EXPECT_FALSE(host.call(addSubKeys, key, set));
  EXPECT_FALSE(host.exceptionPending());

  EXPECT_FALSE(host.call(addSubKeys, key, jobject{nullptr}));
  expectThrown(kNullPointer);
}

TEST_P(RegistryKeysTest, ValuesEnumeratedWithTypesAndDefaultUnderEmptyName) {
  RegSetValueExW(testKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"d"), 4);
  RegSetValueExW(testKey, L"n", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4);
  RegSetValueExW(testKey, L"m", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(L"\0"), 2);
  RegSetValueExW(testKey, L"b", 0, REG_BINARY, nullptr, 0);
  jobject map = host.newObject("java/util/HashMap");
  // A value already in the map is replaced by the map's own put.
  host.invoke(map, "put", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;",
              {jnihost::jObj(str(u"n")), jnihost::jObj(host.newInteger(99))});
  host.call(keyNative<PutValues>("addAvailableValues"), key, map);
  ASSERT_FALSE(host.exceptionPending());
  std::vector<std::pair<std::u16string, jint>> entries;
  for (const auto& entry : host.mapEntries(map)) {
    entries.emplace_back(host.str(entry.first), host.field(entry.second, "value").i);
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::pair<std::u16string, jint>>{
                         {u"", REG_SZ}, {u"b", REG_BINARY}, {u"m", REG_MULTI_SZ}, {u"n", REG_DWORD}}));

  host.call(keyNative<PutValues>("addAvailableValues"), key, jobject{nullptr});
  expectThrown(kNullPointer);
}

TEST_P(RegistryKeysTest, ThousandsOfEntriesKeepLocalReferencesFlat) {
  auto addSubKeys = keyNative<AddNames>("addAvailableSubKeys");
  auto addValues = keyNative<PutValues>("addAvailableValues");
  auto populate = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      std::wstring name = L"entry" + std::to_wstring(i);
      RegCloseKey(createRawSubKey(name));
      RegSetValueExW(testKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof(i));
    }
  };
  auto peaks = [&](size_t expected) {
    jobject list = host.newObject("java/util/ArrayList");
    EXPECT_TRUE(host.call(addSubKeys, key, list));
    size_t keysPeak = host.lastCallPeakLocalRefs();
    EXPECT_EQ(host.stringElements(list).size(), expected);
    jobject map = host.newObject("java/util/HashMap");
    host.call(addValues, key, map);
    EXPECT_EQ(host.mapEntries(map).size(), expected);
    return std::make_pair(keysPeak, host.lastCallPeakLocalRefs());
  };
  populate(0, 3);
  auto few = peaks(3);
  populate(3, 2000);
  auto many = peaks(2000);
  EXPECT_EQ(many, few);
  EXPECT_FALSE(host.exceptionPending());
}

// Puts that replace what the map holds hand back the previous values; those
// references must go too. One previous value lives beside the name and the type
// for a moment, so a repeated walk may peak one reference above the first.
TEST_P(RegistryKeysTest, ValuesPutAgainKeepLocalReferencesFlat) {
  auto addValues = keyNative<PutValues>("addAvailableValues");
  auto peaks = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      std::wstring name = L"value" + std::to_wstring(i);
      RegSetValueExW(testKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof(i));
    }
    jobject map = host.newObject("java/util/HashMap");
    host.call(addValues, key, map);
    size_t first = host.lastCallPeakLocalRefs();
    host.call(addValues, key, map);
    EXPECT_EQ(host.mapEntries(map).size(), static_cast<size_t>(to));
    EXPECT_FALSE(host.exceptionPending());
    return std::make_pair(first, host.lastCallPeakLocalRefs());
  };
  auto few = peaks(0, 3);
  auto many = peaks(3, 500);
  EXPECT_EQ(many, few);
  EXPECT_LE(many.second, many.first + 1);
}

TEST_P(RegistryKeysTest, LongestValueNameIsEnumerated) {
  const std::wstring longest(16383, L'n');
  ASSERT_EQ(RegSetValueExW(testKey, longest.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
            ERROR_SUCCESS);
  jobject map = host.newObject("java/util/HashMap");
  host.call(keyNative<PutValues>("addAvailableValues"), key, map);
  ASSERT_FALSE(host.exceptionPending()) << host.exceptionClass();
  auto entries = host.mapEntries(map);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(host.str(entries[0].first), std::u16string(longest.begin(), longest.end()));
  EXPECT_EQ(host.field(entries[0].second, "value").i, REG_DWORD);
}

TEST_P(RegistryKeysTest, SubKeyCountAndLastWriteTime) {
  auto count = keyNative<KeyCount>("getNumberSubKeys");
  EXPECT_EQ(host.call(count, key), 0);
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  RegCloseKey(createRawSubKey(L"one"));
  RegCloseKey(createRawSubKey(L"two"));
  RegSetValueExW(testKey, L"touch", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4);
  FILETIME after;
  GetSystemTimeAsFileTime(&after);
  EXPECT_EQ(host.call(count, key), 2);

  auto lastWrite = keyNative<KeyTime>("getLastWriteTime");
  auto millis = [](const FILETIME& t) {
    return static_cast<jlong>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000) -
           11644473600000LL;
  };
  jlong written = host.call(lastWrite, key);
  EXPECT_GE(written, millis(before) - 1000);
  EXPECT_LE(written, millis(after) + 1000);

  const struct {
    ULONGLONG fileTime;
    jlong millis;
  } cases[] = {{116444736000010000ULL, 1}, {0, -11644473600000LL}, {116444736000019999ULL, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileTime);
    WriteTime time{c.fileTime};
    ActiveInstance<WriteTime> active(&time);
    ImportPatch patch(library.module, "advapi32.dll", "RegQueryInfoKeyW", fixedWriteTime);
    EXPECT_EQ(host.call(lastWrite, key), c.millis);
  }
}

TEST_P(RegistryKeysTest, SaveWritesANewFileAndReportsWindowsRefusal) {
  wchar_t folder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
  std::wstring path = std::wstring(folder) + L"velaro_registry_save.hiv";
  DeleteFileW(path.c_str());
  jstring javaPath = str(std::u16string(path.begin(), path.end()));
  auto save = keyNative<SaveToFile>("saveToFile");
  {
    // Windows asks for the backup privilege, which the method leaves to its caller.
    registrytest::ScopedPrivilege backup(SE_BACKUP_NAME);
    ASSERT_TRUE(backup.enabled);
    host.call(save, key, javaPath);
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    std::wstring nowhere = std::wstring(folder) + L"velaro_no_such_folder\\saved.hiv";
    host.call(save, key, str(std::u16string(nowhere.begin(), nowhere.end())));
    expectCoded(ERROR_PATH_NOT_FOUND);
  }
  DeleteFileW(path.c_str());
  host.call(save, key, jstring{nullptr});
  expectThrown(kNullPointer);
}

TEST_P(RegistryKeysTest, CloseReleasesOnceAndKeepsARefusedHandle) {
  HKEY own = createRawSubKey(L"closing");
  jobject object = keyObject(own);
  closeKey(object);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(object, "_handle").j, 0);
  EXPECT_EQ(RegQueryInfoKeyW(own, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  closeKey(object);
  EXPECT_FALSE(host.exceptionPending());

  jobject stale = keyObject(own);  // already closed: Windows refuses it
  closeKey(stale);
  expectCoded(ERROR_INVALID_HANDLE);
  EXPECT_EQ(handleOf(host, stale), own);
}

TEST_P(RegistryKeysTest, ClosedKeyReportsWindowsRefusal) {
  jobject closed = keyObject(nullptr);
  const std::function<void()> calls[] = {
      [&] { openSub(closed, str(u"x")); },
      [&] { host.call(keyNative<CreateSubKey>("createAndGetSubKey"), closed, str(u"x"), jboolean{0}, jint{KEY_READ}); },
      [&] { host.call(keyNative<DeleteSubKey>("deleteSubKey"), closed, str(u"x")); },
      [&] { host.call(keyNative<AddNames>("addAvailableSubKeys"), closed, host.newObject("java/util/ArrayList")); },
      [&] { host.call(keyNative<PutValues>("addAvailableValues"), closed, host.newObject("java/util/HashMap")); },
      [&] { host.call(keyNative<KeyCount>("getNumberSubKeys"), closed); },
      [&] { host.call(keyNative<KeyTime>("getLastWriteTime"), closed); },
  };
  for (const auto& call : calls) {
    call();
    expectCoded(ERROR_INVALID_HANDLE);
  }
}

INSTANTIATE_TEST_SUITE_P(Bridges, RegistryKeysTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
