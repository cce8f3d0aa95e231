// Reading and clearing the exception a native left pending, for bridge tests.
#pragma once

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

}  // namespace testsupport
