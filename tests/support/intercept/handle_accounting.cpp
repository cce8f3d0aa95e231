#include "handle_accounting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <utility>

#include "hook_scope.h"
#include "import_patch.h"

namespace intercept {
namespace {

// Kinds of handle, each closed by its own function.
enum class Kind : unsigned char {
  Kernel,
  RegistryKey,
  PdhQuery,
  PdhCounter,
  Internet,
  UrlCacheFind,
  UrlCacheStream,
  Desktop,
  WindowStation,
  FileFind,
  Service,
  Lsa,
  EventSource,
  EnvironmentBlock,
  DeviceContext,
};

const char* closerOf(Kind kind) {
  switch (kind) {
    case Kind::Kernel:
      return "CloseHandle";
    case Kind::RegistryKey:
      return "RegCloseKey";
    case Kind::PdhQuery:
      return "PdhCloseQuery";
    case Kind::PdhCounter:
      return "PdhRemoveCounter";
    case Kind::Internet:
      return "InternetCloseHandle";
    case Kind::UrlCacheFind:
      return "FindCloseUrlCache";
    case Kind::UrlCacheStream:
      return "UnlockUrlCacheEntryStream";
    case Kind::Desktop:
      return "CloseDesktop";
    case Kind::WindowStation:
      return "CloseWindowStation";
    case Kind::FileFind:
      return "FindClose";
    case Kind::Service:
      return "CloseServiceHandle";
    case Kind::Lsa:
      return "LsaClose";
    case Kind::EventSource:
      return "DeregisterEventSource";
    case Kind::EnvironmentBlock:
      return "DestroyEnvironmentBlock";
    default:
      return "DeleteDC";
  }
}

enum class Role : unsigned char {
  Result,       // the result is the handle (null or INVALID_HANDLE_VALUE on failure)
  Out,          // the handle is stored through argument `out`
  ProcessInfo,  // argument `out` is a PROCESS_INFORMATION: process and thread handles
  Pipe,         // arguments 0 and 1 receive a handle each
  Duplicate,    // DuplicateHandle: a new handle, and maybe the source closed
  Close,        // closes its first argument
};

// How a function's result says it succeeded.
enum class Success : unsigned char { NonZero, Zero };

constexpr std::uintptr_t kPdhInvalidHandle = 0xC0000BBC;     // PDH_INVALID_HANDLE
constexpr std::uintptr_t kStatusInvalidHandle = 0xC0000008;  // STATUS_INVALID_HANDLE

struct Spec {
  const char* name;
  unsigned char arity;  // every argument travels in a 64-bit slot on x64
  Role role;
  Kind kind;
  signed char out = -1;
  signed char parent = -1;  // argument holding the handle the new one belongs to
  Success success = Success::NonZero;
  std::uintptr_t refusal = 0;  // Close: what a refused close returns
};

constexpr Spec kSpecs[] = {
    // Processes, threads, tokens and logons.
    {"OpenProcess", 3, Role::Result, Kind::Kernel},
    {"OpenThread", 3, Role::Result, Kind::Kernel},
    {"CreateThread", 6, Role::Result, Kind::Kernel},
    {"CreateRemoteThread", 7, Role::Result, Kind::Kernel},
    {"CreateProcessW", 10, Role::ProcessInfo, Kind::Kernel, 9},
    {"CreateProcessAsUserW", 11, Role::ProcessInfo, Kind::Kernel, 10},
    {"CreateProcessWithLogonW", 11, Role::ProcessInfo, Kind::Kernel, 10},
    {"CreateProcessWithTokenW", 9, Role::ProcessInfo, Kind::Kernel, 8},
    {"DuplicateHandle", 7, Role::Duplicate, Kind::Kernel, 3},
    {"OpenProcessToken", 3, Role::Out, Kind::Kernel, 2},
    {"OpenThreadToken", 4, Role::Out, Kind::Kernel, 3},
    {"DuplicateToken", 3, Role::Out, Kind::Kernel, 2},
    {"DuplicateTokenEx", 6, Role::Out, Kind::Kernel, 5},
    {"LogonUserW", 6, Role::Out, Kind::Kernel, 5},
    {"LogonUserExW", 10, Role::Out, Kind::Kernel, 5},
    // Other kernel objects.
    {"CreateEventW", 4, Role::Result, Kind::Kernel},
    {"CreateEventExW", 4, Role::Result, Kind::Kernel},
    {"OpenEventW", 3, Role::Result, Kind::Kernel},
    {"CreateMutexW", 3, Role::Result, Kind::Kernel},
    {"OpenMutexW", 3, Role::Result, Kind::Kernel},
    {"CreateSemaphoreW", 4, Role::Result, Kind::Kernel},
    {"CreateWaitableTimerW", 3, Role::Result, Kind::Kernel},
    {"CreateFileW", 7, Role::Result, Kind::Kernel},
    {"CreateFileMappingW", 6, Role::Result, Kind::Kernel},
    {"OpenFileMappingW", 3, Role::Result, Kind::Kernel},
    {"CreateToolhelp32Snapshot", 2, Role::Result, Kind::Kernel},
    {"CreateJobObjectW", 2, Role::Result, Kind::Kernel},
    {"OpenJobObjectW", 3, Role::Result, Kind::Kernel},
    {"CreateNamedPipeW", 8, Role::Result, Kind::Kernel},
    {"CreatePipe", 4, Role::Pipe, Kind::Kernel},
    {"FindFirstFileW", 2, Role::Result, Kind::FileFind},
    {"FindFirstFileExW", 6, Role::Result, Kind::FileFind},
    // Registry keys.
    {"RegOpenKeyExW", 5, Role::Out, Kind::RegistryKey, 4, -1, Success::Zero},
    {"RegOpenKeyExA", 5, Role::Out, Kind::RegistryKey, 4, -1, Success::Zero},
    {"RegOpenKeyW", 3, Role::Out, Kind::RegistryKey, 2, -1, Success::Zero},
    {"RegCreateKeyExW", 9, Role::Out, Kind::RegistryKey, 7, -1, Success::Zero},
    {"RegCreateKeyExA", 9, Role::Out, Kind::RegistryKey, 7, -1, Success::Zero},
    {"RegCreateKeyW", 3, Role::Out, Kind::RegistryKey, 2, -1, Success::Zero},
    {"RegConnectRegistryW", 3, Role::Out, Kind::RegistryKey, 2, -1, Success::Zero},
    {"RegOpenCurrentUser", 2, Role::Out, Kind::RegistryKey, 1, -1, Success::Zero},
    {"RegOpenUserClassesRoot", 4, Role::Out, Kind::RegistryKey, 3, -1, Success::Zero},
    {"RegLoadAppKeyW", 5, Role::Out, Kind::RegistryKey, 1, -1, Success::Zero},
    // Performance data: a counter belongs to its query and goes with it.
    {"PdhOpenQueryW", 3, Role::Out, Kind::PdhQuery, 2, -1, Success::Zero},
    {"PdhOpenQueryA", 3, Role::Out, Kind::PdhQuery, 2, -1, Success::Zero},
    {"PdhOpenQueryH", 3, Role::Out, Kind::PdhQuery, 2, -1, Success::Zero},
    {"PdhAddCounterW", 4, Role::Out, Kind::PdhCounter, 3, 0, Success::Zero},
    {"PdhAddCounterA", 4, Role::Out, Kind::PdhCounter, 3, 0, Success::Zero},
    {"PdhAddEnglishCounterW", 4, Role::Out, Kind::PdhCounter, 3, 0, Success::Zero},
    {"PdhAddEnglishCounterA", 4, Role::Out, Kind::PdhCounter, 3, 0, Success::Zero},
    // WinInet and its URL cache.
    {"InternetOpenW", 5, Role::Result, Kind::Internet},
    {"InternetOpenA", 5, Role::Result, Kind::Internet},
    {"InternetConnectW", 8, Role::Result, Kind::Internet},
    {"InternetConnectA", 8, Role::Result, Kind::Internet},
    {"InternetOpenUrlW", 6, Role::Result, Kind::Internet},
    {"InternetOpenUrlA", 6, Role::Result, Kind::Internet},
    {"HttpOpenRequestW", 8, Role::Result, Kind::Internet},
    {"HttpOpenRequestA", 8, Role::Result, Kind::Internet},
    {"FindFirstUrlCacheEntryW", 3, Role::Result, Kind::UrlCacheFind},
    {"FindFirstUrlCacheEntryA", 3, Role::Result, Kind::UrlCacheFind},
    {"FindFirstUrlCacheEntryExW", 9, Role::Result, Kind::UrlCacheFind},
    {"FindFirstUrlCacheEntryExA", 9, Role::Result, Kind::UrlCacheFind},
    {"FindFirstUrlCacheGroup", 6, Role::Result, Kind::UrlCacheFind},
    {"RetrieveUrlCacheEntryStreamW", 5, Role::Result, Kind::UrlCacheStream},
    {"RetrieveUrlCacheEntryStreamA", 5, Role::Result, Kind::UrlCacheStream},
    // Desktops, window stations, device contexts.
    {"OpenDesktopW", 4, Role::Result, Kind::Desktop},
    {"OpenDesktopA", 4, Role::Result, Kind::Desktop},
    {"CreateDesktopW", 6, Role::Result, Kind::Desktop},
    {"CreateDesktopA", 6, Role::Result, Kind::Desktop},
    {"CreateDesktopExW", 8, Role::Result, Kind::Desktop},
    {"OpenInputDesktop", 3, Role::Result, Kind::Desktop},
    {"OpenWindowStationW", 3, Role::Result, Kind::WindowStation},
    {"OpenWindowStationA", 3, Role::Result, Kind::WindowStation},
    {"CreateWindowStationW", 4, Role::Result, Kind::WindowStation},
    {"CreateWindowStationA", 4, Role::Result, Kind::WindowStation},
    {"CreateDCW", 4, Role::Result, Kind::DeviceContext},
    {"CreateCompatibleDC", 1, Role::Result, Kind::DeviceContext},
    // Services, LSA policies, event sources, environment blocks.
    {"OpenSCManagerW", 3, Role::Result, Kind::Service},
    {"OpenServiceW", 3, Role::Result, Kind::Service},
    {"CreateServiceW", 13, Role::Result, Kind::Service},
    {"LsaOpenPolicy", 4, Role::Out, Kind::Lsa, 3, -1, Success::Zero},
    {"RegisterEventSourceW", 2, Role::Result, Kind::EventSource},
    {"CreateEnvironmentBlock", 3, Role::Out, Kind::EnvironmentBlock, 0},
    // The closes.
    {"CloseHandle", 1, Role::Close, Kind::Kernel},
    {"FindClose", 1, Role::Close, Kind::FileFind},
    {"RegCloseKey", 1, Role::Close, Kind::RegistryKey, -1, -1, Success::Zero, ERROR_INVALID_HANDLE},
    {"PdhCloseQuery", 1, Role::Close, Kind::PdhQuery, -1, -1, Success::Zero, kPdhInvalidHandle},
    {"PdhRemoveCounter", 1, Role::Close, Kind::PdhCounter, -1, -1, Success::Zero, kPdhInvalidHandle},
    {"InternetCloseHandle", 1, Role::Close, Kind::Internet},
    {"FindCloseUrlCache", 1, Role::Close, Kind::UrlCacheFind},
    {"UnlockUrlCacheEntryStream", 2, Role::Close, Kind::UrlCacheStream},
    {"CloseDesktop", 1, Role::Close, Kind::Desktop},
    {"CloseWindowStation", 1, Role::Close, Kind::WindowStation},
    {"DeleteDC", 1, Role::Close, Kind::DeviceContext},
    {"CloseServiceHandle", 1, Role::Close, Kind::Service},
    {"LsaClose", 1, Role::Close, Kind::Lsa, -1, -1, Success::Zero, kStatusInvalidHandle},
    {"DeregisterEventSource", 1, Role::Close, Kind::EventSource},
    {"DestroyEnvironmentBlock", 1, Role::Close, Kind::EnvironmentBlock},
};
constexpr std::size_t kSpecCount = sizeof kSpecs / sizeof kSpecs[0];

// The library's calls are recorded; the releasing module's closes only update
// the records.
enum Side { kLibrary, kReleaser, kSideCount };

bool succeeded(Success success, std::uintptr_t result) {
  return success == Success::Zero ? static_cast<std::uint32_t>(result) == 0 : result != 0;
}

std::string hex(std::uint64_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

// Values that are not handles to account: null, INVALID_HANDLE_VALUE and the
// other pseudo-handles (-1 to -10), and the predefined registry keys.
bool accountable(std::uint64_t h) {
  if (h == 0 || h >= static_cast<std::uint64_t>(-10)) return false;
  const std::uint64_t low = h & 0xFFFFFFFFull;
  const bool predefinedKey = (h >> 32 == 0 || h >> 32 == 0xFFFFFFFFull) && low >= 0x80000000ull && low < 0x80000100ull;
  return !predefinedKey;
}

bool isCurrentProcess(std::uintptr_t process) {
  const auto handle = reinterpret_cast<HANDLE>(process);
  return handle == GetCurrentProcess() || GetProcessId(handle) == GetCurrentProcessId();
}

struct Open {
  Kind kind;
  const char* opener;
  std::uint64_t parent;  // the query of a PDH counter, else 0
  unsigned long long sequence;
  bool javaOwned;  // handed to Java by an earlier call
  // Number of the call that took it from Java without closing it; 0 for none. It
  // stays accounted: the test may still close it, having kept the value itself.
  unsigned droppedBy = 0;
};

// What a close found.
enum class Closing {
  Untracked,  // not a handle of ours: pass through
  Tracked,    // ours, closed with the right function
  Wrong,      // ours, closed with the function of another kind (reported)
  Twice,      // closed already in this call (reported, refused)
};

}  // namespace

struct HandleAccounting::State {
  explicit State(HMODULE m) : module(m), active(this) {}

  HMODULE module;
  ActiveInstance<State> active;
  std::atomic<bool> recording{false};
  ImportPatch* patches[kSideCount][kSpecCount] = {};
  std::vector<std::unique_ptr<ImportPatch>> owned;

  SRWLOCK lock = SRWLOCK_INIT;
  unsigned long long nextSequence = 0;
  std::map<std::uint64_t, Open> open;
  std::map<std::uint64_t, const char*> closed;  // closed during this call, by opener
  std::vector<std::string> events;
  unsigned calls = 0;

  void opened(std::uint64_t h, const Spec& spec, std::uint64_t parent) {
    if (!accountable(h)) return;
    AcquireSRWLockExclusive(&lock);
    open[h] = Open{spec.kind, spec.name, parent, nextSequence++, false};
    closed.erase(h);
    ReleaseSRWLockExclusive(&lock);
  }

  Closing beforeClose(std::uint64_t h, const Spec& spec, bool record) {
    AcquireSRWLockExclusive(&lock);
    Closing verdict = Closing::Untracked;
    auto it = open.find(h);
    if (it != open.end()) {
      verdict = Closing::Tracked;
      if (record && it->second.kind != spec.kind) {
        events.push_back("handle " + hex(h) + " from " + it->second.opener + " closed with " + spec.name +
                         " (wrong function: " + closerOf(it->second.kind) + " closes it)");
        verdict = Closing::Wrong;
      }
    } else if (auto c = closed.find(h); record && c != closed.end()) {
      events.push_back("handle " + hex(h) + " from " + c->second + " closed twice (again with " + spec.name + ")");
      verdict = Closing::Twice;
    }
    ReleaseSRWLockExclusive(&lock);
    return verdict;
  }

  // A close went through (or, with the wrong function, was tried): the handle and
  // whatever belongs to it are no longer accounted.
  void forget(std::uint64_t h, bool record) {
    AcquireSRWLockExclusive(&lock);
    auto it = open.find(h);
    if (it != open.end()) {
      if (record) closed[h] = it->second.opener;
      open.erase(it);
      for (auto child = open.begin(); child != open.end();) {
        if (child->second.parent == h) {
          if (record) closed[child->first] = child->second.opener;
          child = open.erase(child);
        } else {
          ++child;
        }
      }
    }
    ReleaseSRWLockExclusive(&lock);
  }

  void record(const Spec& spec, const std::uintptr_t* args, std::uintptr_t result) {
    auto handleAt = [&](int index) {
      const auto* slot = reinterpret_cast<const HANDLE*>(args[index]);
      return slot != nullptr ? reinterpret_cast<std::uint64_t>(*slot) : 0;
    };
    const std::uint64_t parent = spec.parent >= 0 ? args[spec.parent] : 0;
    switch (spec.role) {
      case Role::Result:
        opened(result, spec, parent);
        break;
      case Role::Out:
        if (succeeded(spec.success, result)) opened(handleAt(spec.out), spec, parent);
        break;
      case Role::ProcessInfo:
        if (result != 0 && args[spec.out] != 0) {
          const auto* info = reinterpret_cast<const PROCESS_INFORMATION*>(args[spec.out]);
          opened(reinterpret_cast<std::uint64_t>(info->hProcess), spec, 0);
          opened(reinterpret_cast<std::uint64_t>(info->hThread), spec, 0);
        }
        break;
      case Role::Pipe:
        if (result != 0) {
          opened(handleAt(0), spec, 0);
          opened(handleAt(1), spec, 0);
        }
        break;
      case Role::Duplicate:
        if (result != 0 && isCurrentProcess(args[2])) opened(handleAt(spec.out), spec, 0);
        break;
      case Role::Close:
        break;
    }
  }

  std::vector<std::string> endOfCall(const testsupport::CallEnd& end) {
    AcquireSRWLockExclusive(&lock);
    std::vector<std::string> found = std::move(events);
    events.clear();
    std::vector<std::pair<std::uint64_t, Open>> byAge(open.begin(), open.end());
    std::sort(byAge.begin(), byAge.end(),
              [](const auto& a, const auto& b) { return a.second.sequence < b.second.sequence; });
    for (const auto& [h, o] : byAge) {
      Open& record = open[h];
      if (end.heldByJava(h)) {
        record.javaOwned = true;
        record.droppedBy = 0;
      } else if (!o.javaOwned) {
        found.push_back("handle " + hex(h) + " from " + o.opener + " left open: neither closed nor handed to Java (" +
                        closerOf(o.kind) + " closes it)");
        open.erase(h);
      } else if (end.heldAtStart(h)) {
        // Whether that was a leak shows when the test ends (see onTestEnd).
        if (o.droppedBy == 0) record.droppedBy = calls;
      } else if (o.droppedBy == 0) {
        // Java let go of it between calls (the test changed the field): not a call's doing.
        open.erase(h);
      }
    }
    closed.clear();
    ReleaseSRWLockExclusive(&lock);
    return found;
  }
};

namespace {

using State = HandleAccounting::State;

template <std::size_t>
using Word = std::uintptr_t;

// One replacement per function and side, forwarding every argument slot as it came.
template <std::size_t Id, Side side, class Slots>
struct Forwarder;

template <std::size_t Id, Side side, std::size_t... I>
struct Forwarder<Id, side, std::index_sequence<I...>> {
  using Real = std::uintptr_t (*)(Word<I>...);

  static std::uintptr_t hook(Word<I>... args) {
    constexpr Spec spec = kSpecs[Id];
    State& s = *ActiveInstance<State>::get();
    HookScope scope(side == kLibrary && s.recording.load());
    const auto real = reinterpret_cast<Real>(s.patches[side][Id]->previous());
    const std::uintptr_t argv[] = {args...};
    if (scope.nested()) {
      const std::uintptr_t result = real(args...);
      scope.keepLastError();
      return result;
    }
    if constexpr (spec.role == Role::Close) {
      const Closing verdict = s.beforeClose(argv[0], spec, scope.record());
      if (verdict == Closing::Twice) {
        scope.setLastError(ERROR_INVALID_HANDLE);
        return spec.refusal;
      }
      const std::uintptr_t result = real(args...);
      scope.keepLastError();
      if (verdict == Closing::Wrong || (verdict == Closing::Tracked && succeeded(spec.success, result))) {
        s.forget(argv[0], scope.record());
      }
      return result;
    } else {
      // The source goes whatever the outcome.
      if constexpr (spec.role == Role::Duplicate) {
        if ((argv[6] & DUPLICATE_CLOSE_SOURCE) && isCurrentProcess(argv[0])) s.forget(argv[1], scope.record());
      }
      const std::uintptr_t result = real(args...);
      scope.keepLastError();
      if (scope.record()) s.record(spec, argv, result);
      return result;
    }
  }
};

template <std::size_t Id, Side side>
void* hookFor() {
  return reinterpret_cast<void*>(&Forwarder<Id, side, std::make_index_sequence<kSpecs[Id].arity>>::hook);
}

template <Side side, std::size_t... Id>
std::vector<void*> hooksFor(std::index_sequence<Id...>) {
  return {hookFor<Id, side>()...};
}

}  // namespace

HandleAccounting::HandleAccounting(HMODULE module, Options options) : state_(std::make_unique<State>(module)) {
  Busy busy;
  if (state_->active.displacedAnother())
    ADD_FAILURE() << "another HandleAccounting is active; only one may be at a time";
  const std::vector<void*> hooks[kSideCount] = {hooksFor<kLibrary>(std::make_index_sequence<kSpecCount>()),
                                                hooksFor<kReleaser>(std::make_index_sequence<kSpecCount>())};
  const HMODULE releaser = options.releasingModule != module ? options.releasingModule : nullptr;
  for (Side side : {kLibrary, kReleaser}) {
    const HMODULE target = side == kLibrary ? module : releaser;
    if (target == nullptr) continue;
    for (std::size_t id = 0; id < kSpecCount; ++id) {
      // Only the closes matter on the releasing side.
      if (side == kReleaser && kSpecs[id].role != Role::Close) continue;
      // Any DLL: import libraries place these in kernel32, advapi32 or elsewhere.
      auto patch =
          std::make_unique<ImportPatch>(deferred, target, nullptr, kSpecs[id].name, hooks[side][id], OnMissing::Skip);
      if (!patch->found()) continue;
      ImportPatch* raw = patch.get();
      state_->owned.push_back(std::move(patch));
      state_->patches[side][id] = raw;
      raw->install();
    }
  }
}

HandleAccounting::~HandleAccounting() {
  Busy busy;
  state_->recording.store(false);
  while (!state_->owned.empty()) state_->owned.pop_back();
}

void HandleAccounting::onCallStart() {
  Busy::clearStale();
  Busy busy;
  AcquireSRWLockExclusive(&state_->lock);
  ++state_->calls;
  state_->closed.clear();
  state_->events.clear();
  ReleaseSRWLockExclusive(&state_->lock);
  state_->recording.store(true);
}

void HandleAccounting::onCallEnd(const testsupport::CallEnd& end, std::vector<std::string>& violations) {
  Busy::clearStale();
  Busy busy;
  state_->recording.store(false);
  for (std::string& line : state_->endOfCall(end)) violations.push_back(std::move(line));
}

void HandleAccounting::onTestEnd(std::vector<std::string>& violations) {
  Busy busy;
  AcquireSRWLockExclusive(&state_->lock);
  for (auto it = state_->open.begin(); it != state_->open.end();) {
    const Open& o = it->second;
    if (o.droppedBy == 0) {
      ++it;
      continue;
    }
    violations.push_back("handle " + hex(it->first) + " from " + o.opener + ", held by Java until native call " +
                         std::to_string(o.droppedBy) + " of the test took it away without closing it, is still open (" +
                         closerOf(o.kind) + " closes it)");
    it = state_->open.erase(it);
  }
  ReleaseSRWLockExclusive(&state_->lock);
}

std::vector<std::string> HandleAccounting::accountedFunctions() const {
  return patchedFunctions(state_->patches[kLibrary]);
}

}  // namespace intercept
