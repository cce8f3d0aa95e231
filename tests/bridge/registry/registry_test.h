// Fixture for the registry natives of both bridge DLLs: each test works under a
// key of its own below HKCU\Software in the private Wine prefix, removed afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "bridge_test.h"
#include "harness_scope.h"
#include "import_patch.h"

namespace registrytest {

constexpr const char* kInvalidRegistryType = "com/corvantis/windows/registry/InvalidRegistryTypeException";
constexpr const char* kRegistryRoot = "com/corvantis/windows/registry/RegistryRoot";
constexpr const char* kNoSuchElement = "java/util/NoSuchElementException";
constexpr const char* kNullPointer = "java/lang/NullPointerException";

class RegistryTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // RegistryKey native by method name (with the overload suffix where there is one).
  template <class F>
  F keyNative(const std::string& method) {
    return exported<F>(("Java_com_corvantis_windows_registry_RegistryKey_" + method).c_str());
  }
  template <class F>
  F rootNative(const std::string& method) {
    return exported<F>(("Java_com_corvantis_windows_registry_RegistryRoot_" + method).c_str());
  }

  // A RegistryKey object around handle; the test still owns the handle.
  jobject keyObject(HKEY handle);
  jstring str(std::u16string_view text) { return host.newString(text); }

  // The test key's value as Windows stores it.
  void putRaw(const wchar_t* name, DWORD type, const void* data, DWORD size);
  void putRaw(const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    putRaw(name, type, data.data(), static_cast<DWORD>(data.size()));
  }
  std::vector<BYTE> raw(const wchar_t* name, DWORD* type = nullptr);
  bool rawExists(const wchar_t* name);
  HKEY createRawSubKey(const std::wstring& name);

  // Checks and clears the pending exception.
  void expectThrown(const std::string& cls);
  void expectNoSuchElement(std::optional<std::u16string> message);

  HKEY testKey = nullptr;
  std::wstring testPath;
  jobject key = nullptr;  // RegistryKey object for testKey
};

// Bytes of UTF-16 text, as REG_SZ data holds it.
std::vector<BYTE> bytesOf(std::u16string_view text);

// Enables or disables one privilege of the process token for the holder's lifetime.
struct ScopedPrivilege {
  explicit ScopedPrivilege(const wchar_t* name);
  ~ScopedPrivilege();
  bool enabled = false;
  HANDLE token = nullptr;
  TOKEN_PRIVILEGES previous{};
};

}  // namespace registrytest
