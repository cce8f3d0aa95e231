// GoogleTest base for tests that run natives in the JNI host: every test gets a
// fresh Host with the JDK classes, and fails when the host recorded violations.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "jni_host.h"

namespace jnihost {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { defineJdkClasses(host); }

  void TearDown() override {
    std::string all;
    for (const std::string& v : host.violations()) all += "\n  " + v;
    if (!all.empty()) ADD_FAILURE() << "JNI host recorded violations:" << all;
    host.clearViolations();
  }

  JNIEnv* env() { return host.env(); }

  Host host;
};

}  // namespace jnihost
