// GoogleTest bases for bridge tests: a JNI host with the JDK and application
// classes, whose native calls are checked for leaked heap blocks and handles,
// whose heap blocks and JNI buffers lie before guard pages, and whose class and
// member lookups go to the lookup log checked against the shipped jar.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app_classes.h"
#include "deliverables.h"
#include "handle_accounting.h"
#include "heap_accounting.h"
#include "host_test.h"
#include "pending_exception.h"

namespace testsupport {

// Heap and handle accounting of a loaded deliverable, observing host's calls; the
// test program's own releases and closes are watched too, so that it may free or
// close what the library handed out or left behind.
inline void accountDeliverable(jnihost::Host& host, HMODULE library, std::unique_ptr<intercept::HeapAccounting>* heap,
                               std::unique_ptr<intercept::HandleAccounting>* handles) {
  intercept::HeapAccounting::Options heapOptions;
  heapOptions.releasingModule = GetModuleHandleW(nullptr);
  *heap = std::make_unique<intercept::HeapAccounting>(library, heapOptions);
  intercept::HandleAccounting::Options handleOptions;
  handleOptions.releasingModule = GetModuleHandleW(nullptr);
  *handles = std::make_unique<intercept::HandleAccounting>(library, handleOptions);
  host.addObserver(heap->get());
  host.addObserver(handles->get());
}

// Switches of the checks every bridge test runs under.
class CheckedHostTest : public jnihost::HostTest {
 protected:
  // For tests that measure: heap blocks and JNI buffers from the plain allocator
  // instead of guard pages (the accounting of leaks and handles stays on).
  void usePlainAllocator() {
    heapAccounting().setGuardPages(false);
    host.setGuardPages(false);
  }

  // Handles calls took from Java and nobody closed since fail the test.
  void reportDroppedHandles(intercept::HandleAccounting& handles) {
    std::vector<std::string> found;
    handles.onTestEnd(found);
    for (const std::string& f : found) host.addViolation(f);
  }

  // See pending_exception.h.
  std::string takeException(jint* code = nullptr) { return testsupport::takeException(host, code); }
  void expectCoded(DWORD code) { testsupport::expectCoded(host, code); }

  virtual intercept::HeapAccounting& heapAccounting() = 0;
};

// For code linked into the test program itself: the program's own imports are
// accounted (the host's traffic is told apart by HarnessScope).
class BridgeTest : public CheckedHostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    defineCoreClasses(host);
    host.recordLookups(true);
    host.addObserver(&heap);
    host.addObserver(&handles);
  }
  void TearDown() override {
    host.removeObserver(&handles);
    host.removeObserver(&heap);
    reportDroppedHandles(handles);
    HostTest::TearDown();
  }
  intercept::HeapAccounting& heapAccounting() override { return heap; }

  static HMODULE self() { return GetModuleHandleW(nullptr); }

  intercept::HeapAccounting heap{GetModuleHandleW(nullptr)};
  intercept::HandleAccounting handles{GetModuleHandleW(nullptr)};
};

// For a deliverable loaded from the build's output folder: the test is run once
// per DLL name given as parameter, and that DLL's imports are accounted. The test
// program's own releases and closes are watched too, so that it may free or close
// what the DLL left behind.
class DeliverableTest : public CheckedHostTest, public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    defineCoreClasses(host);
    host.recordLookups(true);
    ASSERT_NE(library.module, nullptr) << "cannot load the deliverable, error " << library.error;
    accountDeliverable(host, library.module, &heap, &handles);
  }
  void TearDown() override {
    if (handles) {
      host.removeObserver(handles.get());
      reportDroppedHandles(*handles);
    }
    if (heap) host.removeObserver(heap.get());
    HostTest::TearDown();
  }
  intercept::HeapAccounting& heapAccounting() override { return *heap; }

  // The named export of the DLL under test; fails the test when it is missing.
  template <class F>
  F exported(const char* name) {
    F function = library.function<F>(name);
    EXPECT_NE(function, nullptr) << "missing export " << name;
    return function;
  }

  LoadedLibrary library{deliverablePath(GetParam())};
  std::unique_ptr<intercept::HeapAccounting> heap;
  std::unique_ptr<intercept::HandleAccounting> handles;
};

}  // namespace testsupport
