// Fixture for the performance counter natives of both bridge DLLs: the
// application's monitoring classes in the host, and stand-ins for the pdh.dll
// functions Wine lacks, installed for every test (see pdh_standins.h).
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bridge_test.h"
#include "import_patch.h"
#include "pdh_standins.h"

namespace monitoringtest {

constexpr const char* kWindowsCounterPath = "com/corvantis/monitoring/windows/WindowsCounterPath";
constexpr const char* kPerformanceQuery = "com/corvantis/monitoring/windows/PerformanceQuery";
constexpr const char* kWindowsPerformanceCounter = "com/corvantis/monitoring/windows/WindowsPerformanceCounter";
constexpr const char* kPerformanceCounterInfo = "com/corvantis/monitoring/windows/PerformanceCounterInfo";
constexpr const char* kNullPointer = "java/lang/NullPointerException";
constexpr const char* kIllegalState = "java/lang/IllegalStateException";
constexpr const char* kIllegalArgument = "java/lang/IllegalArgumentException";
constexpr const char* kOutOfMemory = "java/lang/OutOfMemoryError";

// The two counters Wine's pdh.dll offers.
constexpr char16_t kUpTimePath[] = u"\\System\\System Up Time";
constexpr char16_t kProcessorTimePath[] = u"\\Processor(_Total)\\% Processor Time";

class MonitoringTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override;

  // The export Java_com_corvantis_monitoring_windows_<cls>_<method>.
  template <class F>
  F native(const std::string& cls, const std::string& method) {
    return exported<F>(("Java_com_corvantis_monitoring_windows_" + cls + "_" + method).c_str());
  }

  // Replaces one pdh.dll import of the DLL under test for the patch's lifetime.
  template <class Fn>
  std::unique_ptr<intercept::ImportPatch> patchPdh(const char* function, Fn* replacement) {
    return std::make_unique<intercept::ImportPatch>(library.module, "pdh.dll", function, replacement);
  }

  jstring str(std::u16string_view text) { return host.newString(text); }
  jstring text(const Text& value) { return value ? host.newString(*value) : nullptr; }
  Text textField(jobject object, const char* name);

  jobject newCounterPath(const PathElements& elements);
  PathElements elementsOf(jobject counterPath);

  // A direct buffer over memory the test owns.
  jobject directBuffer(void* address, jlong capacity);

  // Checks and clears the pending exception.
  void expectPdh(DWORD code);
  void expectThrown(const std::string& cls);
  void expectThrown(const std::string& cls, Text message);

  PdhStandIns pdh;

 private:
  intercept::ActiveInstance<PdhStandIns> activeStandIns_{&pdh};
  std::vector<std::unique_ptr<intercept::ImportPatch>> missingInWine_;
};

// The C allocator's realloc of a module failing from the nth call on, as it does
// when memory runs out; the old block stays valid.
class FailRealloc {
 public:
  FailRealloc(HMODULE module, unsigned firstFailingCall);
  ~FailRealloc();
  unsigned calls() const { return calls_.load(); }

 private:
  static void* __cdecl replacement(void* block, size_t bytes);
  unsigned first_;
  std::atomic<unsigned> calls_{0};
  intercept::ActiveInstance<FailRealloc> active_{this};
  std::unique_ptr<intercept::ImportPatch> patch_;
};

// Counts the allocations a module makes through any allocator it imports,
// outside harness code, while it lives.
class AllocationCounter {
 public:
  explicit AllocationCounter(HMODULE module);
  ~AllocationCounter();
  unsigned allocations() const { return count_.load(); }
  // The allocator functions the module imports, all counted.
  std::vector<std::string> watched() const;

 private:
  friend struct AllocationHooks;
  std::atomic<unsigned> count_{0};
  intercept::ActiveInstance<AllocationCounter> active_{this};
  std::vector<std::unique_ptr<intercept::ImportPatch>> patches_;
};

}  // namespace monitoringtest
