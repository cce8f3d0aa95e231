#include "registry_test.h"

namespace registrytest {

using jnihost::Host;
using jnihost::jVoid;

void RegistryTest::SetUp() {
  DeliverableTest::SetUp();
  if (HasFatalFailure()) {
    return;
  }
  // The exception records which constructor built it, so tests see its arguments.
  host.defineClass(kInvalidRegistryType, "java/lang/RuntimeException")
      .field("_expected", "I")
      .field("_stored", "I")
      .field("_arguments", "I")
      .constructor("(II)V",
                   [](Host& h, jobject self, const jvalue* args) {
                     h.setField(self, "_expected", args[0]);
                     h.setField(self, "_stored", args[1]);
                     h.setField(self, "_arguments", jnihost::jInt(2));
                     return jVoid();
                   })
      .constructor("(I)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_stored", args[0]);
        h.setField(self, "_arguments", jnihost::jInt(1));
        return jVoid();
      });
  host.defineClass(kRegistryRoot, testsupport::kWindowsHandle)
      .constructor("(J)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_handle", args[0]);
        return jVoid();
      });

  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  testPath = L"Software\\VelaroRegistryTest\\" + std::wstring(name.begin(), name.end());
  RegDeleteTreeW(HKEY_CURRENT_USER, testPath.c_str());
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, testPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &testKey, nullptr),
      ERROR_SUCCESS);
  key = keyObject(testKey);
}

void RegistryTest::TearDown() {
  if (testKey != nullptr) {
    RegCloseKey(testKey);
  }
  if (!testPath.empty()) {
    RegDeleteTreeW(HKEY_CURRENT_USER, testPath.c_str());
  }
  DeliverableTest::TearDown();
}

jobject RegistryTest::keyObject(HKEY handle) {
  return testsupport::newHandleObject(host, testsupport::kRegistryKey, reinterpret_cast<jlong>(handle));
}

void RegistryTest::putRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  ASSERT_EQ(RegSetValueExW(testKey, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

std::vector<BYTE> RegistryTest::raw(const wchar_t* name, DWORD* type) {
  DWORD size = 0;
  DWORD storedType = REG_NONE;
  EXPECT_EQ(RegQueryValueExW(testKey, name, nullptr, &storedType, nullptr, &size), ERROR_SUCCESS);
  std::vector<BYTE> data(size);
  EXPECT_EQ(RegQueryValueExW(testKey, name, nullptr, &storedType, data.data(), &size), ERROR_SUCCESS);
  if (type != nullptr) {
    *type = storedType;
  }
  return data;
}

bool RegistryTest::rawExists(const wchar_t* name) {
  return RegQueryValueExW(testKey, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

HKEY RegistryTest::createRawSubKey(const std::wstring& name) {
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(testKey, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  return sub;
}

void RegistryTest::expectThrown(const std::string& cls) {
  EXPECT_EQ(host.exceptionClass(), cls);
  host.clearException();
}

void RegistryTest::expectNoSuchElement(std::optional<std::u16string> message) {
  EXPECT_EQ(host.exceptionClass(), kNoSuchElement);
  if (host.exceptionPending()) {
    EXPECT_EQ(host.exceptionMessage(), message);
    host.clearException();
  }
}

std::vector<BYTE> bytesOf(std::u16string_view text) {
  auto begin = reinterpret_cast<const BYTE*>(text.data());
  return std::vector<BYTE>(begin, begin + text.size() * sizeof(char16_t));
}

ScopedPrivilege::ScopedPrivilege(const wchar_t* name) {
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) ||
      !LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid)) {
    return;
  }
  DWORD size = sizeof(previous);
  enabled = AdjustTokenPrivileges(token, FALSE, &wanted, sizeof(previous), &previous, &size) &&
            GetLastError() == ERROR_SUCCESS;
}

ScopedPrivilege::~ScopedPrivilege() {
  if (enabled) {
    AdjustTokenPrivileges(token, FALSE, &previous, 0, nullptr, nullptr);
  }
  if (token != nullptr) {
    CloseHandle(token);
  }
}

}  // namespace registrytest
