// Every guarded Windows call of the registry natives meeting a structured
// exception, and every buffer of theirs that cannot be allocated: the failure is
// reported with its code and nothing the call took is left behind (the heap
// accounting of the fixture fails the test on a leaked block).
#include <functional>

#include "heap_faults.h"
#include "registry_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using testsupport::HarnessScope;

using SetString = void(JNICALL*)(JNIEnv*, jobject, jstring, jstring);
using SetMultiArray = void(JNICALL*)(JNIEnv*, jobject, jstring, jobjectArray);
using GetString = jstring(JNICALL*)(JNIEnv*, jobject, jstring);
using GetBinary = jbyteArray(JNICALL*)(JNIEnv*, jobject, jstring);
using AddMulti = jboolean(JNICALL*)(JNIEnv*, jobject, jstring, jobject);
using DeleteNamed = jboolean(JNICALL*)(JNIEnv*, jobject, jstring);
using KeyCount = jint(JNICALL*)(JNIEnv*, jobject);
using KeyTime = jlong(JNICALL*)(JNIEnv*, jobject);
using KeyAction = void(JNICALL*)(JNIEnv*, jobject);
using OpenSubKey = jobject(JNICALL*)(JNIEnv*, jobject, jstring, jint);
using CreateSubKey = jobject(JNICALL*)(JNIEnv*, jobject, jstring, jboolean, jint);
using AddNames = jboolean(JNICALL*)(JNIEnv*, jobject, jobject);
using PutValues = void(JNICALL*)(JNIEnv*, jobject, jobject);
using SaveToFile = void(JNICALL*)(JNIEnv*, jobject, jstring);
using OpenCurrentUser = jobject(JNICALL*)(JNIEnv*, jclass, jint);
using Connect = jobject(JNICALL*)(JNIEnv*, jobject, jstring);

constexpr DWORD kAccessViolation = 0xC0000005;
constexpr const char* kSetMultiArray = "setMultiStringValue__Ljava_lang_String_2_3Ljava_lang_String_2";

// A Windows call that faults the way a bad pointer inside it would. On x64 every
// function has one calling convention and the caller owns the stack, so this one
// stand-in can take the place of any import whatever its parameters.
LONG WINAPI faultingCall() {
  RaiseException(kAccessViolation, 0, 0, nullptr);
  return ERROR_SUCCESS;
}

// An enumeration that answers `passes` calls (the real function, or ERROR_MORE_DATA
// to make the caller grow its buffer) and then faults.
struct EnumScript {
  int passes;
  bool askForMore;
  int calls = 0;
};
bool enumCallFaults() {
  EnumScript* script = ActiveInstance<EnumScript>::get();
  HarnessScope harness;
  return script->calls++ >= script->passes;
}
LONG WINAPI scriptedEnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD length, LPDWORD reserved, LPWSTR cls,
                            LPDWORD clsLength, PFILETIME time) {
  if (enumCallFaults()) {
    faultingCall();
  }
  if (ActiveInstance<EnumScript>::get()->askForMore) {
    return ERROR_MORE_DATA;
  }
  return RegEnumKeyExW(key, index, name, length, reserved, cls, clsLength, time);
}
LONG WINAPI scriptedEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD length, LPDWORD reserved, LPDWORD type,
                              LPBYTE data, LPDWORD dataLength) {
  if (enumCallFaults()) {
    faultingCall();
  }
  return RegEnumValueW(key, index, name, length, reserved, type, data, dataLength);
}

class RegistryFailuresTest : public registrytest::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    for (const wchar_t* name : {L"one", L"two"}) {
      RegCloseKey(createRawSubKey(name));
      putRaw(name, REG_SZ, registrytest::bytesOf(u"text"));
    }
  }
  jobject list() { return host.newObject("java/util/ArrayList"); }
  jobjectArray strings() { return host.newObjectArray("java/lang/String", {str(u"a"), str(std::u16string(700, u'b'))}); }
  jstring tempPath(const wchar_t* file) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + file;
    DeleteFileW(path.c_str());
    return str(std::u16string(path.begin(), path.end()));
  }
  jclass rootClass() { return host.findClass(registrytest::kRegistryRoot); }
  jobject root(HKEY predefined) {
    return host.newObject(registrytest::kRegistryRoot, "(J)V", {jnihost::jLong(reinterpret_cast<jlong>(predefined))});
  }
};

struct GuardedCase {
  const char* name;
  const char* function;                                  // the advapi32 import that faults
  std::function<void()> call;  // the native that makes it
};

TEST_P(RegistryFailuresTest, FaultInEveryGuardedCallBecomesItsCode) {
  const GuardedCase cases[] = {
      {"setStringValue", "RegSetValueExW",
       [this] { host.call(keyNative<SetString>("setStringValue"), key, str(u"v"), str(u"text")); }},
      {"setMultiStringValue", "RegSetValueExW",
       [this] { host.call(keyNative<SetMultiArray>(kSetMultiArray), key, str(u"v"), strings()); }},
      {"deleteValue", "RegDeleteValueW",
       [this] { host.call(keyNative<DeleteNamed>("deleteValue"), key, str(u"one")); }},
      {"getNumberValues", "RegQueryInfoKeyW",
       [this] { host.call(keyNative<KeyCount>("getNumberValues"), key); }},
      {"getNumberSubKeys", "RegQueryInfoKeyW",
       [this] { host.call(keyNative<KeyCount>("getNumberSubKeys"), key); }},
      {"getLastWriteTime", "RegQueryInfoKeyW",
       [this] { host.call(keyNative<KeyTime>("getLastWriteTime"), key); }},
      {"flush", "RegFlushKey", [this] { host.call(keyNative<KeyAction>("flush"), key); }},
      {"openSubKey", "RegOpenKeyExW",
       [this] { host.call(keyNative<OpenSubKey>("openSubKey"), key, str(u"one"), jint{KEY_READ}); }},
      {"createAndGetSubKey", "RegCreateKeyExW",
       [this] {
         host.call(keyNative<CreateSubKey>("createAndGetSubKey"), key, str(u"new"), jboolean{JNI_FALSE},
                     jint{KEY_READ});
       }},
      {"deleteSubKey", "RegDeleteKeyW",
       [this] { host.call(keyNative<DeleteNamed>("deleteSubKey"), key, str(u"one")); }},
      {"saveToFile", "RegSaveKeyW",
       [this] { host.call(keyNative<SaveToFile>("saveToFile"), key, tempPath(L"velaro_fault.hiv")); }},
      {"openRegistryCurrentUser", "RegOpenCurrentUser",
       [this] {
         host.call(rootNative<OpenCurrentUser>("openRegistryCurrentUser"), rootClass(), jint{KEY_READ});
       }},
      {"connectRemoteKey", "RegConnectRegistryW",
       [this] { host.call(rootNative<Connect>("connectRemoteKey"), root(HKEY_CURRENT_USER), str(u"m")); }},
  };
  for (const GuardedCase& c : cases) {
    SCOPED_TRACE(c.name);
    ImportPatch patch(library.module, "advapi32.dll", c.function, reinterpret_cast<void*>(faultingCall));
    c.call();
    expectCoded(kAccessViolation);
  }
}

TEST_P(RegistryFailuresTest, FaultInEitherEnumerationLoopFreesItsBuffer) {
  const struct {
    const char* name;
    const char* function;
    void* standIn;
    EnumScript script;
  } cases[] = {
      {"sub-keys at once", "RegEnumKeyExW", reinterpret_cast<void*>(scriptedEnumKey), {0, false}},
      {"sub-keys after a name", "RegEnumKeyExW", reinterpret_cast<void*>(scriptedEnumKey), {1, false}},
      {"sub-keys after growing", "RegEnumKeyExW", reinterpret_cast<void*>(scriptedEnumKey), {2, true}},
      {"values at once", "RegEnumValueW", reinterpret_cast<void*>(scriptedEnumValue), {0, false}},
      {"values after a name", "RegEnumValueW", reinterpret_cast<void*>(scriptedEnumValue), {1, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnumScript script = c.script;
    ActiveInstance<EnumScript> active(&script);
    ImportPatch patch(library.module, "advapi32.dll", c.function, c.standIn);
    jobject names = list();
    if (std::string(c.function) == "RegEnumKeyExW") {
      EXPECT_FALSE(host.call(keyNative<AddNames>("addAvailableSubKeys"), key, names));
      EXPECT_EQ(host.elements(names).size(), static_cast<size_t>(c.script.askForMore ? 0 : c.script.passes));
    } else {
      jobject map = host.newObject("java/util/HashMap");
      host.call(keyNative<PutValues>("addAvailableValues"), key, map);
      EXPECT_EQ(host.mapEntries(map).size(), static_cast<size_t>(c.script.passes));
    }
    expectCoded(kAccessViolation);
    EXPECT_EQ(script.calls, c.script.passes + 1);
  }
}

TEST_P(RegistryFailuresTest, FaultInCloseKeepsTheHandle) {
  HKEY own = createRawSubKey(L"closing");
  jobject object = keyObject(own);
  {
    ImportPatch patch(library.module, "advapi32.dll", "RegCloseKey", reinterpret_cast<void*>(faultingCall));
    host.call(keyNative<KeyAction>("close"), object);
    expectCoded(kAccessViolation);
  }
  EXPECT_EQ(reinterpret_cast<HKEY>(host.field(object, "_handle").j), own);
  EXPECT_EQ(RegCloseKey(own), ERROR_SUCCESS) << "the key was released although the close failed";
}

// A missing process heap is reported with the code Windows set (here a
// distinctive one); a failed allocation, which sets none, as lack of memory
// whatever an earlier call left. Both before anything is read or written.
TEST_P(RegistryFailuresTest, UnallocatableBuffersReportTheCode) {
  constexpr DWORD kInjected = ERROR_OUTOFMEMORY;
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"getStringValue", [this] { host.call(keyNative<GetString>("getStringValue"), key, str(u"one")); }},
      {"getExpandableStringValue",
       [this] { host.call(keyNative<GetString>("getExpandableStringValue"), key, str(u"one")); }},
      {"resolveStringValue",
       [this] { host.call(keyNative<GetString>("resolveStringValue"), key, str(u"one")); }},
      {"getBinaryValue", [this] { host.call(keyNative<GetBinary>("getBinaryValue"), key, str(u"one")); }},
      {"addMultiStringValuesTo",
       [this] { host.call(keyNative<AddMulti>("addMultiStringValuesTo"), key, str(u"one"), list()); }},
      {"setStringValue",
       [this] { host.call(keyNative<SetString>("setStringValue"), key, str(u"written"), str(u"x")); }},
      {"addAvailableSubKeys", [this] { host.call(keyNative<AddNames>("addAvailableSubKeys"), key, list()); }},
      {"addAvailableValues",
       [this] {
         host.call(keyNative<PutValues>("addAvailableValues"), key, host.newObject("java/util/HashMap"));
       }},
      {"connectRemoteKey",
       [this] { host.call(rootNative<Connect>("connectRemoteKey"), root(HKEY_CURRENT_USER), str(u"m")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      SCOPED_TRACE("GetProcessHeap");
      intercept::FailGetProcessHeap fault(library.module, kInjected);
      c.call();
      expectCoded(kInjected);
      EXPECT_GE(fault.failures(), 1u);
    }
    for (DWORD stale : {intercept::kLastErrorUntouched, DWORD{ERROR_MORE_DATA}, DWORD{ERROR_FILE_NOT_FOUND}}) {
      SCOPED_TRACE(testing::Message() << "HeapAlloc, stale last error " << stale);
      intercept::FailHeapAlloc fault(library.module, intercept::Schedule::always(), stale);
      c.call();
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_GE(fault.failures(), 1u);
    }
  }
  EXPECT_FALSE(rawExists(L"written"));
}

INSTANTIATE_TEST_SUITE_P(Bridges, RegistryFailuresTest, testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
