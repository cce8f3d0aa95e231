// Times fullbridge's natives against baselines that do the same work with the
// bare Windows calls, in a JNI host whose checking is switched off, and counts
// the library's JNI calls and heap allocations in a separate pass with the
// host's checks and heap accounting on.
//
//   velaro_bench [--repetitions N] [--only TEXT] [--no-accounting] [--out FOLDER]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "allocation_counter.h"
#include "app_classes.h"
#include "deliverables.h"
#include "heap_accounting.h"
#include "jni_host.h"
#include "measure.h"
#include "report.h"

namespace bench {
namespace {

struct Options {
  int repetitions = 0;  // 0: each operation's own
  std::string only;     // operations whose name contains this
  bool accounting = true;
  std::string out = ".";
};

bool parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--repetitions" && hasValue) {
      options->repetitions = std::atoi(argv[++i]);
    } else if (arg == "--only" && hasValue) {
      options->only = argv[++i];
    } else if (arg == "--out" && hasValue) {
      options->out = argv[++i];
    } else if (arg == "--no-accounting") {
      options->accounting = false;
    } else {
      std::fprintf(stderr, "usage: velaro_bench [--repetitions N] [--only TEXT] [--no-accounting] [--out FOLDER]\n");
      return false;
    }
  }
  return true;
}

// The host an operation runs in, replaced after every sample: its objects are
// never collected, so a fresh one keeps the memory of long runs bounded.
class HostSlot {
 public:
  HostSlot(Operation& operation, bool plain) : operation_(operation), plain_(plain) { renew(); }

  void renew() {
    host_.reset();
    host_ = std::make_unique<jnihost::Host>();
    host_->setPlain(plain_);
    jnihost::defineJdkClasses(*host_);
    testsupport::defineCoreClasses(*host_);
    operation_.bind(*host_);
  }
  jnihost::Host& host() { return *host_; }
  JNIEnv* env() { return host_->env(); }

 private:
  Operation& operation_;
  bool plain_;
  std::unique_ptr<jnihost::Host> host_;
};

std::string pendingText(jnihost::Host& host) {
  std::string text = host.exceptionClass();
  std::string message = host.exceptionMessageUtf8();
  host.clearException();
  return message.empty() ? text : text + ": " + message;
}

// Both sides once: they must give Java the same result without an exception.
bool agree(Operation& op, std::string* error) {
  HostSlot slot(op, true);
  std::string outcomes[2];
  for (int side = 0; side < 2; ++side) {
    if (op.needsPrepare()) {
      op.prepare();
    }
    side == 0 ? op.bridge(slot.env()) : op.baseline(slot.env());
    if (slot.host().exceptionPending()) {
      *error = std::string(side == 0 ? "the library" : "the baseline") + " raised " + pendingText(slot.host());
      return false;
    }
    outcomes[side] = op.outcome(slot.host());
  }
  if (outcomes[0] != outcomes[1]) {
    *error = "results differ: library " + outcomes[0] + ", baseline " + outcomes[1];
    return false;
  }
  if (!op.expected.empty() && outcomes[0] != op.expected) {
    *error = "both sides give " + outcomes[0] + ", expected " + op.expected;
    return false;
  }
  return true;
}

// Times the operations of one unit (one operation, or a group compared per
// item) in one contest: every operation's bridge and baseline lanes take a
// sample in every round.
void timeUnit(const std::vector<Operation*>& unit, const Options& options, std::vector<Result*>& results) {
  std::vector<std::unique_ptr<HostSlot>> slots;
  std::string failure;
  Contest contest;
  contest.rounds = 0;
  long most = 0;
  for (Operation* op : unit) {
    most = std::max(most, op->items);
  }
  for (Operation* op : unit) {
    slots.push_back(std::make_unique<HostSlot>(*op, true));
    HostSlot* slot = slots.back().get();
    for (bool bridge : {true, false}) {
      Lane lane;
      lane.run = [op, slot, bridge](int count) {
        JNIEnv* env = slot->env();
        for (int i = 0; i < count; ++i) {
          bridge ? op->bridge(env) : op->baseline(env);
        }
      };
      if (op->needsPrepare()) {
        lane.prepare = [op] { op->prepare(); };
        // Sizes of a group are sampled in equal amounts of items.
        lane.pieces = op->items > 0 ? static_cast<int>(most / op->items) : 1;
      }
      contest.lanes.push_back(lane);
    }
    contest.rounds = std::max(contest.rounds, options.repetitions > 0 ? options.repetitions : op->repetitions);
  }
  contest.settle = [&] {
    for (auto& slot : slots) {
      if (slot->host().exceptionPending() && failure.empty()) {
        failure = "raised " + pendingText(slot->host()) + " while timed";
      }
      slot->renew();
    }
  };
  Samples samples = runContest(contest);
  for (size_t i = 0; i < unit.size(); ++i) {
    Result& result = *results[i];
    result.samples.bridge = samples.lanes[2 * i];
    result.samples.baseline = samples.lanes[2 * i + 1];
    result.samples.batch = contest.lanes[2 * i].prepare ? contest.lanes[2 * i].pieces : samples.batch;
    result.error = failure;
    summarise(result);
  }
}

// The library's JNI calls and heap allocations per operation, counted by the
// checking host with heap accounting on.
void account(Operation& op, HMODULE library, Result* result) {
  HostSlot slot(op, false);
  jnihost::Host& host = slot.host();
  intercept::HeapAccounting heap(library);
  AllocationCounter allocations(library);
  host.addObserver(&heap);
  int calls = op.needsPrepare() || op.items > 0 ? 1 : 10;
  size_t jniCalls = 0;
  for (int i = 0; i < calls; ++i) {
    if (op.needsPrepare()) {
      op.prepare();
    }
    allocations.setCounting(true);
    host.call([&](JNIEnv* env) { op.bridge(env); });
    allocations.setCounting(false);
    jniCalls += host.lastCallJniFunctions().size();
    if (host.exceptionPending()) {
      result->violations.push_back("raised " + pendingText(host));
    }
  }
  host.removeObserver(&heap);
  result->allocations = static_cast<double>(allocations.count()) / calls;
  result->jniCalls = static_cast<double>(jniCalls) / calls;
  for (const std::string& v : host.violations()) {
    result->violations.push_back(v);
  }
  host.clearViolations();
}

// What one JNI call into the plain host costs by itself, to weigh the JNI calls
// the library makes beyond its baseline's.
double hostCallCost() {
  jnihost::Host host;
  host.setPlain(true);
  jnihost::defineJdkClasses(host);
  JNIEnv* env = host.env();
  unsigned char storage[16];
  jobject buffer = env->NewDirectByteBuffer(storage, sizeof storage);
  std::vector<double> samples;
  constexpr int kCalls = 200000;
  for (int sample = 0; sample < 9; ++sample) {
    jlong sum = 0;
    double start = now();
    for (int i = 0; i < kCalls; ++i) {
      sum += env->GetDirectBufferCapacity(buffer);
    }
    samples.push_back((now() - start) / kCalls);
    if (sum != jlong{kCalls} * 16) {
      return -1;
    }
  }
  return median(samples);
}

std::wstring programFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

const char* kNotes =
    "Times are medians per operation of samples taken round by round, bridge and baseline (and the two sizes of a "
    "group) each once per round, the one going first rotating; fast operations are timed in batches of back-to-back "
    "calls, the sizes of a group in samples of 10,000 items. Ratio = median of the bridge / baseline ratios of the "
    "samples of one round (judged against the target: it cancels the slow drifts of a busy machine); Med/Med = bridge "
    "median / baseline median. Operations without a target are shown to explain others. JNI/op and Allocs/op: the "
    "library's own JNI calls and heap allocations per operation, counted in a separate pass in the checking host "
    "with heap accounting on.";

int run(const Options& options) {
  testsupport::LoadedLibrary library(testsupport::deliverablePath(L"fullbridge.dll"));
  if (library.module == nullptr) {
    std::fprintf(stderr, "cannot load fullbridge.dll (error %lu); VELARO_DELIVERABLES names its folder\n",
                 library.error);
    return 2;
  }
  Context context;
  context.bridge = library.module;
  context.baseline = GetModuleHandleW(L"velaro_bench_baseline.dll");
  context.folder = programFolder();
  std::vector<Result> results;
  {
    Operations operations;
    bool ready = addCounterOperations(context, operations) && addRegistryOperations(context, operations) &&
                 addCommandLineOperations(context, operations) && addCacheOperations(context, operations) &&
                 addProcessOperations(context, operations);
    if (!ready) {
      return 2;
    }
    // Units: an operation alone, or the operations of its group together.
    std::vector<std::vector<Operation*>> units;
    for (auto& op : operations) {
      if (!options.only.empty() && op->name.find(options.only) == std::string::npos) {
        continue;
      }
      auto unit = std::find_if(units.begin(), units.end(), [&](const std::vector<Operation*>& u) {
        return !op->group.empty() && u.front()->group == op->group;
      });
      if (unit != units.end()) {
        unit->push_back(op.get());
      } else {
        units.push_back({op.get()});
      }
    }
    results.reserve(operations.size());
    for (const auto& unit : units) {
      std::vector<Result*> unitResults;
      for (Operation* op : unit) {
        std::fprintf(stderr, "measuring %s\n", op->name.c_str());
        op->start();
        results.push_back(Result{});
        results.back().operation = op;
      }
      for (size_t i = 0; i < unit.size(); ++i) {
        unitResults.push_back(&results[results.size() - unit.size() + i]);
      }
      bool agreed = true;
      for (size_t i = 0; i < unit.size(); ++i) {
        agreed = agree(*unit[i], &unitResults[i]->error) && agreed;
      }
      if (agreed) {
        timeUnit(unit, options, unitResults);
      } else {
        for (Result* result : unitResults) {
          if (result->error.empty()) {
            result->error = "not timed: another size of it failed its check";
          }
        }
      }
      for (size_t i = 0; i < unit.size(); ++i) {
        if (agreed && options.accounting && unitResults[i]->error.empty()) {
          account(*unit[i], library.module, unitResults[i]);
        }
        unit[i]->finish();
      }
    }
    char cost[160];
    std::snprintf(cost, sizeof cost, "\nOne JNI call into the plain host by itself (GetDirectBufferCapacity): %.0f ns.",
                  hostCallCost() * 1e9);
    std::string notes = kNotes + std::string(cost);
    printTable(results, notes);
    bool written =
        writeCsv(results, options.out + "/bench.csv") && writeJson(results, notes, options.out + "/bench.json");
    if (!written) {
      std::fprintf(stderr, "cannot write the results into %s\n", options.out.c_str());
      return 2;
    }
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Options options;
  if (!bench::parse(argc, argv, &options)) {
    return 2;
  }
  return bench::run(options);
}
