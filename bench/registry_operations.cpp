// Registry reads of small and 64 KiB values, and sub-key enumeration over 1,000
// and 10,000 sub-keys, under a key of the bench's own below HKCU\Software.
#include <com_corvantis_windows_registry_RegistryKey.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app_classes.h"
#include "baseline.h"
#include "operation.h"

namespace bench {
namespace {

constexpr const wchar_t* kRoot = L"Software\\VelaroBench";
constexpr DWORD kLargeBytes = 64 * 1024;

// The bench's registry tree, removed again when the bench ends.
struct Tree {
  HKEY values = nullptr;
  HKEY keys1000 = nullptr;
  HKEY keys10000 = nullptr;

  ~Tree() {
    for (HKEY key : {values, keys1000, keys10000}) {
      if (key != nullptr) {
        RegCloseKey(key);
      }
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kRoot);
  }
};

HKEY createKey(const std::wstring& path) {
  HKEY key = nullptr;
  return RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                 ERROR_SUCCESS
             ? key
             : nullptr;
}

bool put(HKEY key, const wchar_t* name, DWORD type, const std::wstring& data) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size() * sizeof(WCHAR))) == ERROR_SUCCESS;
}

// REG_SZ data of `bytes` bytes, its NUL included.
std::wstring text(DWORD bytes) {
  std::wstring data;
  for (DWORD i = 0; i + 1 < bytes / sizeof(WCHAR); ++i) {
    data += static_cast<wchar_t>(L'a' + i % 26);
  }
  return data + L'\0';
}

// REG_MULTI_SZ data of about `bytes` bytes: strings of 31 units with their NULs,
// then the closing NUL.
std::wstring multiText(DWORD bytes) {
  std::wstring data;
  for (DWORD n = 0; n < (bytes / sizeof(WCHAR) - 1) / 32; ++n) {
    wchar_t string[40];
    std::swprintf(string, 40, L"entry-%05u-abcdefghijklmnopqrst", static_cast<unsigned>(n));
    data.append(string, 31);
    data += L'\0';
  }
  return data + L'\0';
}

// The strings of REG_SZ or REG_MULTI_SZ data as Java gets them.
std::vector<std::u16string> stringsOf(const std::wstring& data) {
  std::vector<std::u16string> strings;
  for (size_t at = 0; at < data.size() && data[at] != L'\0';) {
    size_t end = std::min(data.find(L'\0', at), data.size());
    strings.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                         data.begin() + static_cast<std::ptrdiff_t>(end));
    at = end + 1;
  }
  return strings;
}

std::wstring subKeyName(int i) {
  wchar_t name[32];
  std::swprintf(name, 32, L"subkey-%05d", i);
  return name;
}

bool fillSubKeys(HKEY parent, int count) {
  for (int i = 0; i < count; ++i) {
    HKEY child = nullptr;
    if (RegCreateKeyExW(parent, subKeyName(i).c_str(), 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(child);
  }
  return true;
}

// Reads one value of the bench's key; the result is kept for outcome().
template <class Result>
class ValueRead : public Operation {
 public:
  using Native = Result(JNICALL*)(JNIEnv*, jobject, jstring);
  ValueRead(std::string name, std::string baseline, HKEY key, const wchar_t* value, Native bridge, Native bare,
            Target target = Target{1.20})
      : Operation(std::move(name), std::move(baseline), target, 61),
        key_(key),
        value_(value),
        bridge_(bridge),
        bare_(bare) {}

  void bind(jnihost::Host& host) override {
    object_ = testsupport::newHandleObject(host, testsupport::kRegistryKey, reinterpret_cast<jlong>(key_));
    name_ = host.newString(std::u16string(value_.begin(), value_.end()));
  }
  void bridge(JNIEnv* env) override { result_ = bridge_(env, object_, name_); }
  void baseline(JNIEnv* env) override { result_ = bare_(env, object_, name_); }
  std::string outcome(jnihost::Host& host) override {
    if constexpr (std::is_same_v<Result, jint>) {
      (void)host;
      return std::to_string(result_);
    } else {
      return describeObject(host, result_);
    }
  }

 private:
  HKEY key_;
  std::wstring value_;
  Native bridge_;
  Native bare_;
  jobject object_ = nullptr;
  jstring name_ = nullptr;
  Result result_{};
};

class MultiStringRead : public Operation {
 public:
  using Native = decltype(&Java_com_corvantis_windows_registry_RegistryKey_addMultiStringValuesTo);
  MultiStringRead(std::string name, HKEY key, const wchar_t* value, Native bridge)
      : Operation(std::move(name), "RegQueryValueExW, right-sized buffer + NewString/add per string", Target{1.20}, 61),
        key_(key),
        value_(value),
        bridge_(bridge) {}

  void bind(jnihost::Host& host) override {
    host_ = &host;
    object_ = testsupport::newHandleObject(host, testsupport::kRegistryKey, reinterpret_cast<jlong>(key_));
    name_ = host.newString(std::u16string(value_.begin(), value_.end()));
    list_ = host.newObject("java/util/ArrayList");
  }
  void bridge(JNIEnv* env) override { bridge_(env, object_, name_, list_); }
  void baseline(JNIEnv* env) override { bareAddMultiStringValuesTo(env, object_, name_, list_); }
  std::string outcome(jnihost::Host& host) override {
    std::string text = describeObject(host, list_);
    list_ = host.newObject("java/util/ArrayList");
    return text;
  }

 private:
  HKEY key_;
  std::wstring value_;
  Native bridge_;
  jnihost::Host* host_ = nullptr;
  jobject object_ = nullptr;
  jstring name_ = nullptr;
  jobject list_ = nullptr;
};

// Lists every sub-key of a key into a new ArrayList per sample.
class SubKeyEnumeration : public Operation {
 public:
  using Native = decltype(&Java_com_corvantis_windows_registry_RegistryKey_addAvailableSubKeys);
  SubKeyEnumeration(std::string name, HKEY key, long count, Native bridge)
      : Operation(std::move(name), "RegEnumKeyExW walk + NewString/add per name", Target{1.10}, count > 1000 ? 11 : 21,
                  count),
        key_(key),
        bridge_(bridge) {}

  void bind(jnihost::Host& host) override {
    host_ = &host;
    object_ = testsupport::newHandleObject(host, testsupport::kRegistryKey, reinterpret_cast<jlong>(key_));
    list_ = host.newObject("java/util/ArrayList");
  }
  bool needsPrepare() const override { return true; }
  void prepare() override { list_ = host_->newObject("java/util/ArrayList"); }
  void bridge(JNIEnv* env) override { bridge_(env, object_, list_); }
  void baseline(JNIEnv* env) override { bareAddAvailableSubKeys(env, object_, list_); }
  std::string outcome(jnihost::Host& host) override { return describeObject(host, list_); }

 private:
  HKEY key_;
  Native bridge_;
  jnihost::Host* host_ = nullptr;
  jobject object_ = nullptr;
  jobject list_ = nullptr;
};

}  // namespace

bool addRegistryOperations(const Context& context, Operations& out) {
  RegDeleteTreeW(HKEY_CURRENT_USER, kRoot);
  auto shared = std::make_shared<Tree>();
  Tree& tree = *shared;
  tree.values = createKey(std::wstring(kRoot) + L"\\values");
  tree.keys1000 = createKey(std::wstring(kRoot) + L"\\keys1000");
  tree.keys10000 = createKey(std::wstring(kRoot) + L"\\keys10000");
  DWORD number = 0x12345678;
  const std::wstring small = text(64);
  const std::wstring large = text(kLargeBytes);
  const std::wstring multiSmall(L"first\0second\0third\0\0", 20);
  const std::wstring multiLarge = multiText(kLargeBytes);
  bool made = tree.values != nullptr && tree.keys1000 != nullptr && tree.keys10000 != nullptr &&
              put(tree.values, L"small", REG_SZ, small) && put(tree.values, L"large", REG_SZ, large) &&
              RegSetValueExW(tree.values, L"number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             sizeof number) == ERROR_SUCCESS &&
              put(tree.values, L"multiSmall", REG_MULTI_SZ, multiSmall) &&
              put(tree.values, L"multiLarge", REG_MULTI_SZ, multiLarge) && fillSubKeys(tree.keys1000, 1000) &&
              fillSubKeys(tree.keys10000, 10000);
  auto getString = BENCH_NATIVE(context, Java_com_corvantis_windows_registry_RegistryKey_getStringValue);
  auto getInt = BENCH_NATIVE(context, Java_com_corvantis_windows_registry_RegistryKey_getIntValue);
  auto addMulti = BENCH_NATIVE(context, Java_com_corvantis_windows_registry_RegistryKey_addMultiStringValuesTo);
  auto addSubKeys = BENCH_NATIVE(context, Java_com_corvantis_windows_registry_RegistryKey_addAvailableSubKeys);
  if (!made || getString == nullptr || getInt == nullptr || addMulti == nullptr || addSubKeys == nullptr) {
    std::fprintf(stderr, "registry: cannot make the bench's keys and values or find the natives\n");
    return false;
  }
  const char* bareString = "RegQueryValueExW, right-sized buffer + NewString";
  size_t first = out.size();
  auto add = [&](std::unique_ptr<Operation> operation, std::string expected) {
    operation->expected = std::move(expected);
    out.push_back(std::move(operation));
  };
  auto javaString = [](const std::wstring& data) { return describeStrings("java/lang/String", stringsOf(data)); };
  auto list = [](const std::wstring& data) { return describeStrings("java/util/ArrayList", stringsOf(data)); };
  add(std::make_unique<ValueRead<jstring>>("getStringValue, 64 B", bareString, tree.values, L"small", getString,
                                           bareGetStringValue),
      javaString(small));
  add(std::make_unique<ValueRead<jstring>>("getStringValue, 64 KiB", bareString, tree.values, L"large", getString,
                                           bareGetStringValue),
      javaString(large));
  // What is left when the baseline makes the library's heap and registry calls too.
  add(std::make_unique<ValueRead<jstring>>("getStringValue, 64 KiB, same calls",
                                           "the same from a 256-byte heap block grown on ERROR_MORE_DATA", tree.values,
                                           L"large", getString, bareGetStringValueSameCalls, Target{}),
      javaString(large));
  add(std::make_unique<ValueRead<jint>>("getIntValue", "RegQueryValueExW into the int", tree.values, L"number", getInt,
                                        bareGetIntValue),
      std::to_string(number));
  add(std::make_unique<MultiStringRead>("addMultiStringValuesTo, 3 strings", tree.values, L"multiSmall", addMulti),
      list(multiSmall));
  add(std::make_unique<MultiStringRead>("addMultiStringValuesTo, 64 KiB", tree.values, L"multiLarge", addMulti),
      list(multiLarge));
  for (auto [key, count] : {std::pair<HKEY, long>{tree.keys1000, 1000}, {tree.keys10000, 10000}}) {
    auto operation = std::make_unique<SubKeyEnumeration>(
        "addAvailableSubKeys, " + std::string(count == 1000 ? "1,000" : "10,000"), key, count, addSubKeys);
    operation->group = "addAvailableSubKeys";
    std::wstring names;
    for (int i = 0; i < count; ++i) {
      names += subKeyName(i) + L'\0';
    }
    add(std::move(operation), list(names));
  }
  for (size_t i = first; i < out.size(); ++i) {
    out[i]->shared = shared;
  }
  return true;
}

}  // namespace bench
