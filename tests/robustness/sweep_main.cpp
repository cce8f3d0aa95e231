// The hostile-argument sweep: every native of every deliverable, called with valid
// values and then with each hostile value in turn (see sweep_table.h). Each
// deliverable's calls run in a child process of this program, which reports every
// call on a pipe before and after it; a call that takes the child down or never
// returns is reported as such and the sweep goes on in a new child after it.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness_scope.h"
#include "jar_model.h"
#include "kernel_handles.h"
#include "sweep_table.h"
#include "sweep_world.h"

namespace sweep {
namespace {

// ------------------------------------------------------------------ child side

HANDLE reportPipe = nullptr;
size_t currentCall = 0;

void report(const std::string& line) {
  std::string text = line;
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  text += '\n';
  DWORD written = 0;
  WriteFile(reportPipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

LONG WINAPI onUnhandled(EXCEPTION_POINTERS* info) {
  char line[96];
  std::snprintf(line, sizeof line, "CRASH %zu exception 0x%08lX at %p", currentCall,
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                info->ExceptionRecord->ExceptionAddress);
  report(line);
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The kernel handles the calls first..last of one method left open. Windows opens
// some for good on first use (registry roots, display and cache internals): handles
// count as left open only when the same calls, made again, leave more.
std::string handlesLeftOpen(World& world, const std::vector<Call>& calls, size_t first, size_t last,
                            const std::set<uintptr_t>& before) {
  const std::set<uintptr_t> after = robustness::kernelHandles();
  if (robustness::handlesOpened(before, after).empty()) return {};
  for (size_t i = first; i <= last; ++i) world.run(calls[i]);
  return robustness::handlesOpened(after, robustness::kernelHandles());
}

int runChild(const std::wstring& file, size_t from, HANDLE pipe) {
  // 0: report on standard output, to run a child by hand.
  reportPipe = pipe != nullptr ? pipe : GetStdHandle(STD_OUTPUT_HANDLE);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(onUnhandled);
  const std::vector<Call> calls = callsFor(libraryOf(file));
  World world(file);
  if (!world.problem().empty()) {
    report("SETUP " + world.problem());
    return 2;
  }
  std::set<uintptr_t> handlesBefore;
  size_t methodStart = from;
  for (size_t i = from; i < calls.size(); ++i) {
    // Kernel handles are compared around the calls of each method.
    if (i == from || calls[i].native != calls[i - 1].native) {
      handlesBefore = robustness::kernelHandles();
      methodStart = i;
    }
    currentCall = i;
    report("BEGIN " + std::to_string(i));
    Outcome outcome = world.run(calls[i]);
    if (i + 1 == calls.size() || calls[i + 1].native != calls[i].native) {
      const std::string opened = handlesLeftOpen(world, calls, methodStart, i, handlesBefore);
      if (!opened.empty()) outcome.faults.push_back("kernel handles left open by the calls of this method: " + opened);
    }
    for (const std::string& fault : outcome.faults) report("FAULT " + std::to_string(i) + " " + fault);
    report("END " + std::to_string(i) + " " + outcome.kind);
  }
  report("DONE");
  return 0;
}

// ------------------------------------------------------------------ parent side

constexpr DWORD kCallTimeoutMs = 60000;

struct Tally {
  size_t methods = 0;
  size_t calls = 0;
  std::map<std::string, size_t> outcomes;
  std::vector<std::string> faults;

  void add(const Tally& other) {
    methods += other.methods;
    calls += other.calls;
    for (const auto& [kind, n] : other.outcomes) outcomes[kind] += n;
    faults.insert(faults.end(), other.faults.begin(), other.faults.end());
  }
};

std::wstring ownPath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

// One child process running the calls of `file` from `from` on, reporting on a pipe.
struct ChildRun {
  HANDLE process = nullptr;
  HANDLE pipe = nullptr;
  std::string pending;

  ChildRun(const std::wstring& file, size_t from) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&pipe, &write, &inherit, 0)) return;
    SetHandleInformation(pipe, HANDLE_FLAG_INHERIT, 0);
    // The library's own output (the desktop trace) goes nowhere; errors stay visible.
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE err = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &err, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    std::wstring command = L"\"" + ownPath() + L"\" --child " + file + L" " + std::to_wstring(from) + L" " +
                           std::to_wstring(reinterpret_cast<uintptr_t>(write));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      CloseHandle(info.hThread);
      process = info.hProcess;
    }
    CloseHandle(write);
    CloseHandle(nul);
    if (err != nullptr) CloseHandle(err);
  }
  ~ChildRun() {
    if (process != nullptr) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
    if (pipe != nullptr) CloseHandle(pipe);
  }
  ChildRun(const ChildRun&) = delete;
  ChildRun& operator=(const ChildRun&) = delete;

  // The next line the child reported; false once it reported nothing for `timeout`
  // milliseconds or is gone without more to say.
  bool next(std::string* line, DWORD timeout, bool* timedOut) {
    const auto start = std::chrono::steady_clock::now();
    *timedOut = false;
    for (;;) {
      const size_t end = pending.find('\n');
      if (end != std::string::npos) {
        *line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return true;
      }
      DWORD available = 0;
      if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;  // child gone
      if (available > 0) {
        std::string chunk(available, '\0');
        DWORD got = 0;
        if (!ReadFile(pipe, &chunk[0], available, &got, nullptr)) return false;
        pending.append(chunk, 0, got);
        continue;
      }
      if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeout)) {
        *timedOut = true;
        return false;
      }
      Sleep(2);
    }
  }

  DWORD exitCode() {
    DWORD code = 0;
    WaitForSingleObject(process, 10000);
    GetExitCodeProcess(process, &code);
    return code;
  }
};

Tally sweepLibrary(const std::wstring& file) {
  Tally tally;
  const std::vector<Call> calls = callsFor(libraryOf(file));
  const std::string name(file.begin(), file.end());
  for (size_t i = 0; i < calls.size(); ++i) {
    if (i == 0 || calls[i].native != calls[i - 1].native) ++tally.methods;
  }
  size_t from = 0;
  while (from < calls.size()) {
    ChildRun child(file, from);
    if (child.process == nullptr) {
      tally.faults.push_back(name + ": cannot start the sweep's child process");
      break;
    }
    bool inCall = false;
    bool done = false;
    size_t current = from;
    std::string crash;
    std::string line;
    bool timedOut = false;
    while (child.next(&line, kCallTimeoutMs, &timedOut)) {
      std::istringstream in(line);
      std::string word;
      in >> word;
      if (word == "BEGIN") {
        in >> current;
        inCall = true;
      } else if (word == "END" || word == "FAULT") {
        size_t index = 0;
        in >> index;
        std::string rest;
        std::getline(in >> std::ws, rest);
        if (word == "END") {
          ++tally.calls;
          ++tally.outcomes[rest];
          inCall = false;
        } else {
          tally.faults.push_back(name + " call " + std::to_string(index) + ": " + describe(calls[index]) + ": " + rest);
        }
      } else if (word == "CRASH") {
        std::getline(in >> std::ws, crash);
      } else if (word == "SETUP") {
        std::string rest;
        std::getline(in >> std::ws, rest);
        tally.faults.push_back(name + ": the sweep could not set up: " + rest);
        return tally;
      } else if (word == "DONE") {
        done = true;
      }
    }
    if (done) break;
    if (!inCall) {
      tally.faults.push_back(name + ": the sweep's child process ended outside a call, exit code " +
                             std::to_string(child.exitCode()));
      break;
    }
    ++tally.calls;
    if (timedOut) {
      ++tally.outcomes["hung"];
      tally.faults.push_back(name + " call " + std::to_string(current) + ": " + describe(calls[current]) +
                             ": no answer within " + std::to_string(kCallTimeoutMs / 1000) + " s");
    } else {
      ++tally.outcomes["crashed"];
      char code[32];
      std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(child.exitCode()));
      tally.faults.push_back(name + " call " + std::to_string(current) + ": " + describe(calls[current]) +
                             ": the process died (" + (crash.empty() ? std::string("exit code ") + code : crash) + ")");
    }
    from = current + 1;
  }
  return tally;
}

void print(const std::string& title, const Tally& t) {
  std::cout << title << ": " << t.methods << " methods, " << t.calls << " calls\n";
  for (const auto& [kind, n] : t.outcomes) std::cout << "  " << kind << ": " << n << "\n";
  std::cout << "  forbidden outcomes: " << t.faults.size() << "\n";
}

TEST(Sweep, EveryNativeOfTheJarIsInTheTable) {
  for (const jarmodel::JarNative& n : jarmodel::jarNatives()) {
    const std::string name = std::string(n.cls) + "." + n.name + n.sig;
    EXPECT_NE(n.libraries, 0) << name << " is carried by no deliverable (cmake/Deliverables.cmake)";
    const Recipe* r = recipeFor(n);
    EXPECT_NE(r, nullptr) << "native " << name << " of the jar is missing from the sweep's table";
    if (r != nullptr) {
      EXPECT_EQ(r->receiver.kind == Kind::Class, n.isStatic) << name << ": receiver does not match the method";
      EXPECT_EQ(r->params.size(), jarmodel::parameterTypes(r->sig).size()) << name << ": one entry per parameter";
    }
  }
  for (const Recipe& r : recipes()) {
    bool inJar = false;
    for (const jarmodel::JarNative& n : jarmodel::jarNatives()) inJar = inJar || recipeFor(n) == &r;
    EXPECT_TRUE(inJar) << r.cls << "." << r.name << r.sig << " is in the table but not a native of the jar";
  }
}

TEST(Sweep, EveryCallEndsNormallyOrWithAJavaException) {
  Tally total;
  for (const wchar_t* file : {L"fullbridge.dll", L"corebridge.dll", L"tcpestats.dll"}) {
    const Tally t = sweepLibrary(file);
    print("sweep of " + std::string(file, file + wcslen(file)), t);
    EXPECT_GT(t.calls, 0u);
    total.add(t);
  }
  print("sweep of all deliverables", total);
  std::string all;
  for (const std::string& f : total.faults) all += "\n  " + f;
  EXPECT_TRUE(total.faults.empty()) << "forbidden outcomes:" << all;
}

}  // namespace
}  // namespace sweep

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--child") {
    const std::string file = argv[2];
    return sweep::runChild(std::wstring(file.begin(), file.end()), std::stoul(argv[3]),
                           reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::stoull(argv[4]))));
  }
  if (argc == 3 && std::string(argv[1]) == "--list") {
    const std::string file = argv[2];
    const std::vector<sweep::Call> calls = sweep::callsFor(sweep::libraryOf(std::wstring(file.begin(), file.end())));
    for (size_t i = 0; i < calls.size(); ++i) std::cout << i << " " << sweep::describe(calls[i]) << "\n";
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
