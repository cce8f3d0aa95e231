// The password contract that logonUser and CreateProcessWithLogon share: a null
// array raises NullPointerException and one without a NUL IllegalArgumentException,
// both before Windows is asked; a wrong password is Windows' refusal. Whatever
// happens, the JVM's copy of the password is zeroed and the array itself unchanged.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "bridge_test.h"

namespace passwordcontract {

struct PasswordCase {
  const char* name;
  bool null;  // a null array instead of `password`
  std::u16string password;
  const char* exception;
  const char* message;  // nullptr: not checked (Windows' text for a coded exception)
  DWORD code;           // of a CodedSystemException
  int windowsCalls;
};

inline const std::vector<PasswordCase>& refusedPasswords() {
  static const std::vector<PasswordCase> cases = {
      {"null", true, u"", "java/lang/NullPointerException", "", 0, 0},
      {"empty", false, u"", "java/lang/IllegalArgumentException", "password must end with a NUL character", 0, 0},
      // The array ends flush against a guard page: a search for the NUL that runs
      // one character too far faults.
      {"without NUL", false, u"s3cret", "java/lang/IllegalArgumentException",
       "password must end with a NUL character", 0, 0},
      {"wrong", false, std::u16string(u"guess\0", 6), testsupport::kCodedSystemException, nullptr,
       ERROR_LOGON_FAILURE, 1},
  };
  return cases;
}

inline jcharArray passwordArray(jnihost::Host& host, const std::u16string& chars) {
  return host.newArray<jchar>(std::vector<jchar>(chars.begin(), chars.end()));
}

inline jcharArray arrayFor(jnihost::Host& host, const PasswordCase& c) {
  return c.null ? nullptr : passwordArray(host, c.password);
}

inline std::u16string contents(jnihost::Host& host, jcharArray array) {
  std::vector<jchar> chars = host.arrayContents<jchar>(array);
  return std::u16string(chars.begin(), chars.end());
}

inline bool allZero(const std::vector<unsigned char>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; });
}

// After the call with `array` returned null: the exception `c` names is pending,
// Windows was asked `windowsCalls` times, and no trace of the password is left.
inline void expectRefused(jnihost::Host& host, const PasswordCase& c, jcharArray array, int windowsCalls) {
  if (c.message != nullptr) {
    EXPECT_EQ(host.exceptionMessageUtf8(), c.message);
  }
  jint code = 0;
  EXPECT_EQ(testsupport::takeException(host, &code), c.exception);
  EXPECT_EQ(static_cast<DWORD>(code), c.code);
  EXPECT_EQ(windowsCalls, c.windowsCalls);
  if (c.null) return;
  EXPECT_EQ(host.lastReleasedCopy().size(), c.password.size() * sizeof(jchar));
  EXPECT_TRUE(allZero(host.lastReleasedCopy()));
  EXPECT_EQ(contents(host, array), c.password);
}

// Each refused password through `call`, with a fresh stand-in for the Windows
// function behind it (it counts its calls in `calls`); `nothingMade` checks the
// stand-in handed out nothing.
template <class StandIn, class Call, class NothingMade>
void expectPasswordsRefused(jnihost::Host& host, HMODULE module, Call call, NothingMade nothingMade) {
  for (const PasswordCase& c : refusedPasswords()) {
    SCOPED_TRACE(c.name);
    StandIn standIn(module);
    jcharArray array = arrayFor(host, c);
    EXPECT_EQ(call(array), nullptr);
    expectRefused(host, c, array, standIn.calls);
    nothingMade(standIn);
  }
}

}  // namespace passwordcontract
