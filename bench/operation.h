// One measured operation: the same Java-visible work done through fullbridge's
// native and through a baseline written with the bare Windows calls.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "jni_host.h"

namespace bench {

struct Target {
  double ratio = 0;  // highest bridge / baseline accepted; 0: shown for information, no target
  // Counter sample only: most heap allocations and JNI calls per operation (-1: none set).
  double allocations = -1;
  double jniCalls = -1;
};

class Operation {
 public:
  Operation(std::string name, std::string baseline, Target target, int repetitions, long items = 0)
      : name(std::move(name)),
        baselineName(std::move(baseline)),
        target(target),
        repetitions(repetitions),
        items(items) {}
  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Around all the passes of this operation (installing and removing stand-ins).
  virtual void start() {}
  virtual void finish() {}
  // Makes the Java objects both sides use in a fresh host; called again
  // whenever the host is replaced.
  virtual void bind(jnihost::Host& host) = 0;
  // Untimed work before each sample, for operations that use up what they work on.
  virtual bool needsPrepare() const { return false; }
  virtual void prepare() {}
  virtual void bridge(JNIEnv* env) = 0;
  virtual void baseline(JNIEnv* env) = 0;
  // What the last call of either side left for Java to see; both sides must agree,
  // and with `expected` unless that is empty.
  virtual std::string outcome(jnihost::Host& host) = 0;
  std::string expected;

  const std::string name;
  const std::string baselineName;
  const Target target;
  const int repetitions;
  const long items;   // per operation, for enumerations; 0 otherwise
  std::string group;  // operations of one group at two sizes are compared per item
  // What the set-up made for this and other operations (keys, stand-ins); released
  // with the last operation that holds it, before the library is unloaded.
  std::shared_ptr<void> shared;
};

using Operations = std::vector<std::unique_ptr<Operation>>;

// The library under test and what the operations share.
struct Context {
  HMODULE bridge = nullptr;
  HMODULE baseline = nullptr;  // the DLL of the baselines
  std::wstring folder;         // of the bench program, with its child program beside it

  template <class F>
  F native(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(bridge, name)));
  }
};

// Each file of operations adds its own; they fail loudly (a message and false)
// when their Windows set-up cannot be made.
bool addCounterOperations(const Context& context, Operations& out);
bool addRegistryOperations(const Context& context, Operations& out);
bool addCommandLineOperations(const Context& context, Operations& out);
bool addCacheOperations(const Context& context, Operations& out);
bool addProcessOperations(const Context& context, Operations& out);

// Short description of a Java string, String[] or list for outcome(): its class,
// how many strings, and a checksum of them.
std::string describeObject(jnihost::Host& host, jobject object);
// The description of an object of that class holding these strings.
std::string describeStrings(const std::string& kind, const std::vector<std::u16string>& strings);

}  // namespace bench

// A native of the library typed by the declaration javac generated for it.
#define BENCH_NATIVE(context, name) (context).native<decltype(&name)>(#name)
