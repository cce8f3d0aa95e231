// Reading and clearing the exception a native left pending, for bridge tests.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app_classes.h"

namespace testsupport {

// The pending exception's class (slash form, "" for none) and, through `code`, the
// "_code" of a CodedSystemException (0 for any other class); the exception is cleared.
inline std::string takeException(jnihost::Host& host, jint* code = nullptr) {
  std::string cls = host.exceptionClass();
  if (code != nullptr) {
    *code = cls == kCodedSystemException ? host.exceptionIntField("_code") : 0;
  }
  host.clearException();
  return cls;
}

// A CodedSystemException with `code` is pending; whatever is pending is cleared.
// Nothing pending, or another class, fails the class and the code.
inline void expectCoded(jnihost::Host& host, DWORD code) {
  jint actual = 0;
  const std::string cls = takeException(host, &actual);
  EXPECT_EQ(cls, kCodedSystemException);
  EXPECT_EQ(static_cast<DWORD>(actual), code);
}

}  // namespace testsupport
