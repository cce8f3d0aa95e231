// Sampling performance counters: one formatted value into a direct buffer, and
// one collection for a query of 50 counters.
#include <com_corvantis_monitoring_windows_PerformanceQuery.h>
#include <com_corvantis_monitoring_windows_WindowsPerformanceCounter.h>
#include <pdh.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "baseline.h"
#include "operation.h"

namespace bench {
namespace {

constexpr const wchar_t* kCounterPaths[] = {L"\\Processor(_Total)\\% Processor Time", L"\\System\\System Up Time"};
constexpr int kQueryCounters = 50;
constexpr jint kOffset = 8;

// A query that has collected twice, so rate counters have a value to format.
struct Query {
  PDH_HQUERY handle = nullptr;
  std::vector<PDH_HCOUNTER> counters;

  bool open(int count) {
    if (PdhOpenQueryW(nullptr, 0, &handle) != ERROR_SUCCESS) {
      return false;
    }
    for (int i = 0; i < count; ++i) {
      PDH_HCOUNTER counter = nullptr;
      if (PdhAddCounterW(handle, kCounterPaths[i % 2], 0, &counter) != ERROR_SUCCESS) {
        return false;
      }
      counters.push_back(counter);
    }
    PdhCollectQueryData(handle);
    Sleep(100);
    return PdhCollectQueryData(handle) == ERROR_SUCCESS;
  }
  ~Query() {
    if (handle != nullptr) {
      PdhCloseQuery(handle);
    }
  }
};

using StoreValue = decltype(&Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_storeValueInBuffer);
using UpdateCounters = decltype(&Java_com_corvantis_monitoring_windows_PerformanceQuery_updateCounters);

using BareStoreValue = void(JNICALL*)(JNIEnv*, jclass, jlong, jint, jint, jobject);

class CounterSample : public Operation {
 public:
  CounterSample(std::string name, std::string baseline, Target target, std::shared_ptr<Query> query, StoreValue store,
                BareStoreValue bare)
      : Operation(std::move(name), std::move(baseline), target, 51),
        query_(std::move(query)),
        store_(store),
        bare_(bare) {}

  void bind(jnihost::Host& host) override { buffer_ = host.env()->NewDirectByteBuffer(storage_, sizeof storage_); }
  void bridge(JNIEnv* env) override { store_(env, nullptr, counter(), PDH_FMT_DOUBLE, kOffset, buffer_); }
  void baseline(JNIEnv* env) override { bare_(env, nullptr, counter(), PDH_FMT_DOUBLE, kOffset, buffer_); }
  std::string outcome(jnihost::Host&) override {
    double value;
    std::memcpy(&value, storage_ + kOffset, sizeof value);
    std::memset(storage_, 0, sizeof storage_);
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
  }

 private:
  jlong counter() const { return reinterpret_cast<jlong>(query_->counters[0]); }

  std::shared_ptr<Query> query_;
  StoreValue store_;
  BareStoreValue bare_;
  jobject buffer_ = nullptr;
  unsigned char storage_[64] = {};
};

class QueryUpdate : public Operation {
 public:
  QueryUpdate(std::unique_ptr<Query> query, UpdateCounters update)
      : Operation("updateCounters, 50 counters", "PdhCollectQueryData", Target{1.05}, 51),
        query_(std::move(query)),
        update_(update) {}

  void bind(jnihost::Host&) override {}
  void bridge(JNIEnv* env) override { update_(env, nullptr, handle()); }
  void baseline(JNIEnv* env) override { bareUpdateCounters(env, nullptr, handle()); }
  std::string outcome(jnihost::Host&) override { return "collected"; }

 private:
  jlong handle() const { return reinterpret_cast<jlong>(query_->handle); }

  std::unique_ptr<Query> query_;
  UpdateCounters update_;
};

}  // namespace

bool addCounterOperations(const Context& context, Operations& out) {
  auto store =
      BENCH_NATIVE(context, Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_storeValueInBuffer);
  auto update = BENCH_NATIVE(context, Java_com_corvantis_monitoring_windows_PerformanceQuery_updateCounters);
  auto single = std::make_shared<Query>();
  auto many = std::make_unique<Query>();
  if (store == nullptr || update == nullptr || !single->open(1) || !many->open(kQueryCounters)) {
    std::fprintf(stderr, "counters: cannot open the PDH queries or find the natives\n");
    return false;
  }
  out.push_back(std::make_unique<CounterSample>("storeValueInBuffer, 1 counter",
                                                "GetDirectBufferAddress + PdhGetFormattedCounterValue + copy",
                                                Target{1.10, 0, 2}, single, store, bareStoreValue));
  // What is left when the baseline makes the library's JNI calls too.
  out.push_back(std::make_unique<CounterSample>("storeValueInBuffer, same JNI calls",
                                                "the same + GetDirectBufferCapacity", Target{}, single, store,
                                                bareStoreValueSameCalls));
  out.push_back(std::make_unique<QueryUpdate>(std::move(many), update));
  return true;
}

}  // namespace bench
