// GoogleTest bases for bridge tests: a JNI host with the JDK and application
// classes, whose native calls are checked for leaked heap blocks.
#pragma once

#include <windows.h>

#include <memory>

#include "app_classes.h"
#include "deliverables.h"
#include "heap_accounting.h"
#include "host_test.h"

namespace testsupport {

// For code linked into the test program itself: the program's own imports are
// accounted (the host's traffic is told apart by HarnessScope).
class BridgeTest : public jnihost::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    defineCoreClasses(host);
    host.addObserver(&heap);
  }
  void TearDown() override {
    host.removeObserver(&heap);
    HostTest::TearDown();
  }

  static HMODULE self() { return GetModuleHandleW(nullptr); }

  intercept::HeapAccounting heap{GetModuleHandleW(nullptr)};
};

// For a deliverable loaded from the build's output folder: the test is run once
// per DLL name given as parameter, and that DLL's imports are accounted.
class DeliverableTest : public jnihost::HostTest, public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    defineCoreClasses(host);
    ASSERT_NE(library.module, nullptr) << "cannot load the deliverable, error " << library.error;
    heap = std::make_unique<intercept::HeapAccounting>(library.module);
    host.addObserver(heap.get());
  }
  void TearDown() override {
    if (heap) {
      host.removeObserver(heap.get());
    }
    HostTest::TearDown();
  }

  // The named export of the DLL under test; fails the test when it is missing.
  template <class F>
  F exported(const char* name) {
    F function = library.function<F>(name);
    EXPECT_NE(function, nullptr) << "missing export " << name;
    return function;
  }

  LoadedLibrary library{deliverablePath(GetParam())};
  std::unique_ptr<intercept::HeapAccounting> heap;
};

}  // namespace testsupport
