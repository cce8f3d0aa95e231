// GoogleTest base for tests that run natives in the JNI host: every test gets a
// fresh Host with the JDK classes, and fails when the host recorded violations
// (guard-page faults found between calls included). The lookups natives made, when
// the host records them, go to the program's lookup log.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "guard_pages.h"
#include "jni_host.h"
#include "lookup_log.h"

namespace jnihost {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { defineJdkClasses(host); }

  void TearDown() override {
    for (const std::string& fault : testsupport::guard::takeFaults()) host.addViolation(fault);
    if (host.recordingLookups()) {
      const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
      appendLookupLog(host.lookups(), std::string(test->test_suite_name()) + "." + test->name());
    }
    std::string all;
    for (const std::string& v : host.violations()) all += "\n  " + v;
    if (!all.empty()) ADD_FAILURE() << "JNI host recorded violations:" << all;
    host.clearViolations();
  }

  JNIEnv* env() { return host.env(); }

  Host host;
};

}  // namespace jnihost
