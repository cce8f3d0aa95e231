#include "monitoring_test.h"

#include <cstdlib>

#include "harness_scope.h"

namespace monitoringtest {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using jnihost::Host;
using jnihost::jObj;
using jnihost::jVoid;
using testsupport::HarnessScope;

namespace {

constexpr const char* kString = "Ljava/lang/String;";

using CMalloc = void*(size_t);
using CCalloc = void*(size_t, size_t);
using CRealloc = void*(void*, size_t);

jvalue storeCounterPath(Host& h, jobject self, const jvalue* args) {
  const char* names[] = {"_host_name", "_object_name", "_instance_name", "_parent_instance_name"};
  for (int i = 0; i < 4; ++i) {
    h.setField(self, names[i], args[i]);
  }
  h.setField(self, "_instance_index", args[4]);
  h.setField(self, "_counter_name", args[5]);
  return jVoid();
}

}  // namespace

void MonitoringTest::SetUp() {
  DeliverableTest::SetUp();
  if (HasFatalFailure()) {
    return;
  }
  // The classes as the Java sources declare them (fields and constructors).
  host.defineClass(kWindowsCounterPath)
      .field("_host_name", kString)
      .field("_object_name", kString)
      .field("_instance_name", kString)
      .field("_parent_instance_name", kString)
      .field("_instance_index", "I")
      .field("_counter_name", kString)
      .constructor("()V")
      .constructor("(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ILjava/lang/String;)V",
                   storeCounterPath);
  host.defineClass(kPerformanceQuery).field("_handle", "J").constructor("()V");
  host.defineClass(kWindowsPerformanceCounter)
      .staticField("PDH_FMT_LONG", "I", jnihost::jInt(0x100))
      .staticField("PDH_FMT_DOUBLE", "I", jnihost::jInt(0x200))
      .staticField("PDH_FMT_LARGE", "I", jnihost::jInt(0x400))
      .staticField("PDH_FMT_NOSCALE", "I", jnihost::jInt(0x1000))
      .field("_handle", "J")
      .field("_counter_path", kString)
      .constructor("(Ljava/lang/String;)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_counter_path", args[0]);
        return jVoid();
      });
  host.defineClass(kPerformanceCounterInfo)
      .field("_Type", "I")
      .field("_CStatus", "I")
      .field("_lScale", "I")
      .field("_lDefaultScale", "I")
      .field("_FullPath", kString)
      .field("_ExplainText", kString)
      .field("_path", "Lcom/corvantis/monitoring/windows/WindowsCounterPath;")
      .constructor("()V",
                   [](Host& h, jobject self, const jvalue*) {
                     h.setField(self, "_path", jObj(h.newObject(kWindowsCounterPath)));
                     return jVoid();
                   })
      .constructor("(Lcom/corvantis/monitoring/windows/WindowsCounterPath;)V",
                   [](Host& h, jobject self, const jvalue* args) {
                     h.setField(self, "_path", args[0]);
                     return jVoid();
                   });
  host.defineClass("com/corvantis/monitoring/windows/WindowsMonitor")
      .staticField("PERF_DETAIL_NOVICE", "I", jnihost::jInt(100))
      .staticField("PERF_DETAIL_ADVANCED", "I", jnihost::jInt(200))
      .staticField("PERF_DETAIL_EXPERT", "I", jnihost::jInt(300))
      .staticField("PERF_DETAIL_WIZARD", "I", jnihost::jInt(400));
  host.defineClass("com/corvantis/monitoring/windows/WindowsMonitorPool");
  host.defineClass("java/nio/HeapByteBuffer", "java/nio/ByteBuffer").constructor("()V");

  // Wine aborts the process in these three and answers the other two with
  // PDH_NOT_IMPLEMENTED, so every test sees the documented behaviour instead.
  missingInWine_.push_back(patchPdh("PdhParseCounterPathW", standInParseCounterPath));
  missingInWine_.push_back(patchPdh("PdhEnumObjectsW", standInEnumObjects));
  missingInWine_.push_back(patchPdh("PdhConnectMachineW", standInConnectMachine));
  missingInWine_.push_back(patchPdh("PdhEnumObjectItemsW", standInEnumObjectItems));
  missingInWine_.push_back(patchPdh("PdhExpandWildCardPathW", standInExpandWildCardPath));
}

Text MonitoringTest::textField(jobject object, const char* name) {
  jobject value = host.field(object, name).l;
  return value != nullptr ? Text(host.str(value)) : std::nullopt;
}

jobject MonitoringTest::newCounterPath(const PathElements& e) {
  return host.newObject(kWindowsCounterPath,
                        "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;ILjava/lang/"
                        "String;)V",
                        {jObj(text(e.machine)), jObj(text(e.object)), jObj(text(e.instance)), jObj(text(e.parent)),
                         jnihost::jInt(static_cast<jint>(e.index)), jObj(text(e.counter))});
}

PathElements MonitoringTest::elementsOf(jobject counterPath) {
  return PathElements{textField(counterPath, "_host_name"),
                      textField(counterPath, "_object_name"),
                      textField(counterPath, "_instance_name"),
                      textField(counterPath, "_parent_instance_name"),
                      static_cast<DWORD>(host.field(counterPath, "_instance_index").i),
                      textField(counterPath, "_counter_name")};
}

jobject MonitoringTest::directBuffer(void* address, jlong capacity) {
  return host.env()->NewDirectByteBuffer(address, capacity);
}

void MonitoringTest::expectPdh(DWORD code) {
  EXPECT_EQ(host.exceptionClass(), testsupport::kPdhException);
  if (host.exceptionPending()) {
    EXPECT_EQ(static_cast<DWORD>(host.exceptionIntField("_code")), code);
    host.clearException();
  }
}

void MonitoringTest::expectThrown(const std::string& cls) {
  EXPECT_EQ(host.exceptionClass(), cls);
  host.clearException();
}

void MonitoringTest::expectThrown(const std::string& cls, Text message) {
  EXPECT_EQ(host.exceptionClass(), cls);
  if (host.exceptionPending()) {
    EXPECT_EQ(host.exceptionMessage(), message);
    host.clearException();
  }
}

// ---------------------------------------------------------------- FailRealloc

FailRealloc::FailRealloc(HMODULE module, unsigned firstFailingCall) : first_(firstFailingCall) {
  patch_ = std::make_unique<ImportPatch>(module, "msvcrt.dll", "realloc", replacement);
}

FailRealloc::~FailRealloc() { patch_.reset(); }

void* __cdecl FailRealloc::replacement(void* block, size_t bytes) {
  FailRealloc* self = ActiveInstance<FailRealloc>::get();
  if (!testsupport::inHarness() && ++self->calls_ >= self->first_) {
    return nullptr;
  }
  return self->patch_->previousAs<CRealloc>()(block, bytes);
}

// ---------------------------------------------------------------- AllocationCounter

struct AllocationHooks {
  static void count() {
    if (!testsupport::inHarness()) {
      ++ActiveInstance<AllocationCounter>::get()->count_;
    }
  }
  template <size_t I, class Fn>
  static Fn* previous() {
    return ActiveInstance<AllocationCounter>::get()->patches_[I]->template previousAs<Fn>();
  }
  static LPVOID WINAPI heapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    count();
    return previous<0, decltype(HeapAlloc)>()(heap, flags, bytes);
  }
  static LPVOID WINAPI heapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    count();
    return previous<1, decltype(HeapReAlloc)>()(heap, flags, block, bytes);
  }
  static HLOCAL WINAPI localAlloc(UINT flags, SIZE_T bytes) {
    count();
    return previous<2, decltype(LocalAlloc)>()(flags, bytes);
  }
  static HGLOBAL WINAPI globalAlloc(UINT flags, SIZE_T bytes) {
    count();
    return previous<3, decltype(GlobalAlloc)>()(flags, bytes);
  }
  static void* __cdecl cMalloc(size_t bytes) {
    count();
    return previous<4, CMalloc>()(bytes);
  }
  static void* __cdecl cCalloc(size_t n, size_t bytes) {
    count();
    return previous<5, CCalloc>()(n, bytes);
  }
  static void* __cdecl cRealloc(void* block, size_t bytes) {
    count();
    return previous<6, CRealloc>()(block, bytes);
  }
};

AllocationCounter::AllocationCounter(HMODULE module) {
  using intercept::OnMissing;
  // Order matches the indexes the hooks read.
  patches_.push_back(std::make_unique<ImportPatch>(module, "kernel32.dll", "HeapAlloc",
                                                   AllocationHooks::heapAlloc, OnMissing::Skip));
  patches_.push_back(std::make_unique<ImportPatch>(module, "kernel32.dll", "HeapReAlloc",
                                                   AllocationHooks::heapReAlloc, OnMissing::Skip));
  patches_.push_back(std::make_unique<ImportPatch>(module, "kernel32.dll", "LocalAlloc",
                                                   AllocationHooks::localAlloc, OnMissing::Skip));
  patches_.push_back(std::make_unique<ImportPatch>(module, "kernel32.dll", "GlobalAlloc",
                                                   AllocationHooks::globalAlloc, OnMissing::Skip));
  patches_.push_back(
      std::make_unique<ImportPatch>(module, "msvcrt.dll", "malloc", AllocationHooks::cMalloc, OnMissing::Skip));
  patches_.push_back(
      std::make_unique<ImportPatch>(module, "msvcrt.dll", "calloc", AllocationHooks::cCalloc, OnMissing::Skip));
  patches_.push_back(
      std::make_unique<ImportPatch>(module, "msvcrt.dll", "realloc", AllocationHooks::cRealloc, OnMissing::Skip));
}

AllocationCounter::~AllocationCounter() {
  // Out in reverse, while the hooks can still find their previous functions.
  while (!patches_.empty()) {
    patches_.pop_back();
  }
}

std::vector<std::string> AllocationCounter::watched() const {
  std::vector<std::string> names;
  for (const auto& patch : patches_) {
    if (patch->installed()) {
      names.push_back(patch->function());
    }
  }
  return names;
}

}  // namespace monitoringtest
