// Natives on eight threads at once, as a load test calls them while it runs. Each
// thread, with its own JNIEnv, samples counters (on a query of its own, and on one
// query all threads share under the application's own lock), reads and enumerates
// one registry key, starts processes and waits for them, reads processor times,
// parses command lines, expands environment strings and reads WinInet options, and
// checks every result. The run is cut into rounds; between rounds, while every thread
// waits, the heap blocks the library took and the kernel handles the process holds
// are accounted. The host's violations (JNI rules) fail the test as ever.
#include <com_corvantis_monitoring_windows_PerformanceQuery.h>
#include <com_corvantis_monitoring_windows_WindowsPerformanceCounter.h>
#include <com_corvantis_process_WindowsProcess.h>
#include <com_corvantis_windows_inet_InternetHandle.h>
#include <com_corvantis_windows_registry_RegistryKey.h>
#include <com_quillstone_velaro_server_WindowsSystem.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_command.h"
#include "deliverables.h"
#include "heap_accounting.h"
#include "host_test.h"
#include "jar_model.h"
#include "kernel_handles.h"
#include "pending_exception.h"
#include "serialized_heap.h"

namespace robustness {
namespace {

using jnihost::Host;
using jnihost::jInt;
using jnihost::jLong;
using jnihost::jObj;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr int kRounds = 3;
constexpr auto kRoundLength = std::chrono::milliseconds(1000);
constexpr int kFastPerProcess = 8;  // rounds of quick operations per process started
constexpr size_t kErrorsKept = 10;

constexpr const char* kQuery = "com/corvantis/monitoring/windows/PerformanceQuery";
constexpr const char* kCounter = "com/corvantis/monitoring/windows/WindowsPerformanceCounter";
constexpr const char* kRegistryKey = "com/corvantis/windows/registry/RegistryKey";
constexpr const char* kInternetHandle = "com/corvantis/windows/inet/InternetHandle";
constexpr const char* kConnectionOption = "com/quillstone/browser/ConnectionOption";
constexpr const char16_t* kUpTime = u"\\System\\System Up Time";
constexpr jint kFormatLarge = 0x400;

class Barrier {
 public:
  explicit Barrier(int parties) : parties_(parties) {}
  void arriveAndWait() {
    std::unique_lock<std::mutex> hold(mutex_);
    const int generation = generation_;
    if (++arrived_ == parties_) {
      arrived_ = 0;
      ++generation_;
      free_.notify_all();
      return;
    }
    free_.wait(hold, [&] { return generation != generation_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  const int parties_;
  int arrived_ = 0;
  int generation_ = 0;
};

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

struct Worker {
  int index = 0;
  long calls = 0;
  long processes = 0;
  long startsRepeated = 0;  // starts Wine lost while setting the child up
  std::vector<std::string> errors;
  jlong lastUpTime = 0;
  jlong lastCpuTime = 0;
};

// What one thread samples on: a query and counter of its own, a direct buffer, and
// an InternetHandle for the process-wide options.
struct Own {
  jobject query = nullptr;
  jobject counter = nullptr;
  jobject internet = nullptr;
  jobject buffer = nullptr;
  jlong values[2] = {0, 0};  // the buffer's memory: own sample, shared sample
};

class ThreadsTest : public jnihost::HostTest, public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  void SetUp() override;
  void TearDown() override;

  void work(Worker& w);
  void openOwn(Worker& w, Own& own);
  void closeOwn(Worker& w, Own& own);
  void sample(Worker& w, Own& own);
  void readKey(Worker& w);
  void systemCalls(Worker& w);
  void internetOptions(Worker& w, Own& own);
  void process(Worker& w);
  jobject startChild(Worker& w, int code);

  // A native of the library under test, typed by its javac header.
  template <class F>
  F native(const char* name) {
    F f = library.function<F>(name);
    EXPECT_NE(f, nullptr) << "missing export " << name;
    return f;
  }
  template <class F, class... A>
  auto call(Worker& w, F fn, A... args) {
    ++w.calls;
    return host.call(fn, args...);
  }
  // False, with the error noted, when the last call left an exception.
  bool fine(Worker& w, const char* what);
  void fail(Worker& w, const std::string& text) {
    if (w.errors.size() < kErrorsKept) w.errors.push_back("thread " + std::to_string(w.index) + ": " + text);
  }
  jclass system() { return host.findClass("com/quillstone/velaro/server/WindowsSystem"); }

  testsupport::LoadedLibrary library{testsupport::deliverablePath(GetParam())};
  std::unique_ptr<intercept::HeapAccounting> heap;
  std::unique_ptr<SerializedHeap> serialized;  // removed first: declared after the accounting
  Barrier start{kThreads + 1};
  Barrier end{kThreads + 1};

  std::wstring scratchKey;
  HKEY key = nullptr;
  jobject keyObject = nullptr;      // global: one RegistryKey every thread reads
  jobject sharedQuery = nullptr;    // global: one query every thread samples under its monitor
  jobject sharedCounter = nullptr;  // global
  jint expectedTimeout = 0;
  jint expectedProxyFlags = 0;
};

#define NATIVE(name) native<decltype(&name)>(#name)

bool ThreadsTest::fine(Worker& w, const char* what) {
  if (!host.exceptionPending()) return true;
  fail(w, std::string(what) + " raised " + host.exceptionClass() + " " + host.exceptionMessageUtf8());
  host.clearException();
  return false;
}

void ThreadsTest::SetUp() {
  HostTest::SetUp();
  ASSERT_NE(library.module, nullptr) << "cannot load the deliverable, error " << library.error;
  jarmodel::defineJarClasses(host);
  heap = std::make_unique<intercept::HeapAccounting>(library.module);
  serialized = std::make_unique<SerializedHeap>(library.module);

  // One key: a string, an int and three sub-keys.
  scratchKey = L"Software\\VelaroThreads-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, scratchKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  const wchar_t text[] = L"threads";
  const DWORD number = 42;
  RegSetValueExW(key, L"text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  RegSetValueExW(key, L"int", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  for (const wchar_t* name : {L"a", L"b", L"c"}) {
    HKEY sub = nullptr;
    RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr);
    RegCloseKey(sub);
  }
  JNIEnv* env = host.env();
  keyObject = env->NewGlobalRef(host.newObject(kRegistryKey, "(J)V", {jLong(reinterpret_cast<jlong>(key))}));

  sharedQuery = env->NewGlobalRef(host.newObject(kQuery));
  host.call(NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_openHandle), sharedQuery);
  sharedCounter = env->NewGlobalRef(host.newObject(kCounter, "(Ljava/lang/String;)V", {jObj(host.newString(kUpTime))}));
  host.call(NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_createHandle), sharedCounter,
            host.field(sharedQuery, "_handle").j);
  ASSERT_FALSE(host.exceptionPending()) << host.exceptionClass();

  // What the WinInet reads must answer, read directly.
  DWORD timeout = 0;
  DWORD length = sizeof timeout;
  ASSERT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, &length));
  expectedTimeout = static_cast<jint>(timeout);
  INTERNET_PER_CONN_OPTIONW option{};
  option.dwOption = INTERNET_PER_CONN_FLAGS;
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof list;
  list.dwOptionCount = 1;
  list.pOptions = &option;
  length = sizeof list;
  ASSERT_TRUE(InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length));
  expectedProxyFlags = static_cast<jint>(option.Value.dwValue);
}

void ThreadsTest::TearDown() {
  if (sharedCounter != nullptr) {
    host.call(NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_close), sharedCounter);
  }
  if (sharedQuery != nullptr) {
    host.call(NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_closeHandle), sharedQuery);
  }
  if (key != nullptr) RegCloseKey(key);
  if (!scratchKey.empty()) RegDeleteTreeW(HKEY_CURRENT_USER, scratchKey.c_str());
  HostTest::TearDown();
}

void ThreadsTest::openOwn(Worker& w, Own& own) {
  own.query = host.newObject(kQuery);
  call(w, NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_openHandle), own.query);
  own.counter = host.newObject(kCounter, "(Ljava/lang/String;)V", {jObj(host.newString(kUpTime))});
  if (fine(w, "openHandle")) {
    call(w, NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_createHandle), own.counter,
         host.field(own.query, "_handle").j);
    fine(w, "createHandle");
  }
  own.internet = host.newObject(kInternetHandle);
  own.buffer = host.env()->NewDirectByteBuffer(own.values, sizeof own.values);
}

void ThreadsTest::closeOwn(Worker& w, Own& own) {
  call(w, NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_close), own.counter);
  fine(w, "counter close");
  call(w, NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_closeHandle), own.query);
  if (fine(w, "closeHandle") && host.field(own.query, "_handle").j != 0) fail(w, "closed query keeps its handle");
}

// A sample of the thread's own query, then one of the shared query under the
// application's lock (the Java monitor of the query object).
void ThreadsTest::sample(Worker& w, Own& own) {
  auto update = NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_updateCounters);
  auto store = NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_storeValueInBuffer);
  jclass queryClass = host.findClass(kQuery);
  jclass counterClass = host.findClass(kCounter);
  call(w, update, queryClass, host.field(own.query, "_handle").j);
  if (fine(w, "updateCounters on its own query")) {
    call(w, store, counterClass, host.field(own.counter, "_handle").j, kFormatLarge, jint{0}, own.buffer);
    if (fine(w, "storeValueInBuffer")) {
      if (own.values[0] <= 0 || own.values[0] < w.lastUpTime) {
        fail(w, "up time " + std::to_string(own.values[0]) + " after " + std::to_string(w.lastUpTime));
      }
      w.lastUpTime = own.values[0];
    }
  }
  JNIEnv* env = host.env();
  env->MonitorEnter(sharedQuery);
  own.values[1] = 0;
  call(w, update, queryClass, host.field(sharedQuery, "_handle").j);
  if (fine(w, "updateCounters on the shared query")) {
    call(w, store, counterClass, host.field(sharedCounter, "_handle").j, kFormatLarge, jint{8}, own.buffer);
    if (fine(w, "storeValueInBuffer of the shared counter") && own.values[1] <= 0) {
      fail(w, "shared up time " + std::to_string(own.values[1]));
    }
  }
  env->MonitorExit(sharedQuery);
}

void ThreadsTest::readKey(Worker& w) {
  jobject text = call(w, NATIVE(Java_com_corvantis_windows_registry_RegistryKey_getStringValue), keyObject,
                      host.newString(u"text"));
  if (fine(w, "getStringValue") && (text == nullptr || host.str(text) != u"threads")) fail(w, "wrong string value");
  const jint number =
      call(w, NATIVE(Java_com_corvantis_windows_registry_RegistryKey_getIntValue), keyObject, host.newString(u"int"));
  if (fine(w, "getIntValue") && number != 42) fail(w, "int value " + std::to_string(number));

  jobject names = host.newObject("java/util/ArrayList");
  call(w, NATIVE(Java_com_corvantis_windows_registry_RegistryKey_addAvailableSubKeys), keyObject, names);
  if (fine(w, "addAvailableSubKeys")) {
    std::vector<std::u16string> found = host.stringElements(names);
    std::sort(found.begin(), found.end());
    if (found != std::vector<std::u16string>{u"a", u"b", u"c"}) fail(w, "sub-keys are not a, b, c");
  }
  jobject types = host.newObject("java/util/HashMap");
  call(w, NATIVE(Java_com_corvantis_windows_registry_RegistryKey_addAvailableValues), keyObject, types);
  if (fine(w, "addAvailableValues")) {
    std::set<std::pair<std::u16string, jint>> found;
    for (const auto& [name, type] : host.mapEntries(types)) {
      found.emplace(host.str(name), host.invoke(type, "intValue", "()I").i);
    }
    if (found != std::set<std::pair<std::u16string, jint>>{{u"text", REG_SZ}, {u"int", REG_DWORD}}) {
      fail(w, "values are not text and int with their types");
    }
  }
}

// Processor time of this process, a command line, an environment string.
void ThreadsTest::systemCalls(Worker& w) {
  jobject self = call(w, NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getCurrentProcess), system());
  if (fine(w, "getCurrentProcess")) {
    const jlong cpu = call(w, NATIVE(Java_com_corvantis_process_WindowsProcess_getCpuTime), self);
    if (fine(w, "getCpuTime") && cpu < w.lastCpuTime) {
      fail(w, "processor time " + std::to_string(cpu) + " after " + std::to_string(w.lastCpuTime));
    }
    w.lastCpuTime = cpu;
  }
  const std::u16string first = u"t" + u16(std::to_wstring(w.index));
  jobject args = call(w, NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments), system(),
                      host.newString(first + u" \"a b\" c"));
  if (fine(w, "parseCommandLineArguments")) {
    std::vector<std::u16string> found;
    for (jobject a : host.objectArrayContents(static_cast<jobjectArray>(args))) found.push_back(host.str(a));
    if (found != std::vector<std::u16string>{first, u"a b", u"c"}) fail(w, "command line parsed wrongly");
  }
  const std::wstring text = L"%SystemRoot%\\t" + std::to_wstring(w.index);
  wchar_t expected[512];
  ExpandEnvironmentStringsW(text.c_str(), expected, 512);
  jobject expanded = call(w, NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_expandEnvironmentString), system(),
                          host.newString(u16(text)));
  if (fine(w, "expandEnvironmentString") && (expanded == nullptr || host.str(expanded) != u16(expected))) {
    fail(w, "expansion differs");
  }
}

void ThreadsTest::internetOptions(Worker& w, Own& own) {
  const jint timeout = call(w, NATIVE(Java_com_corvantis_windows_inet_InternetHandle_getIntOption), own.internet,
                            jint{INTERNET_OPTION_CONNECT_TIMEOUT});
  if (fine(w, "getIntOption") && timeout != expectedTimeout) fail(w, "connect time-out " + std::to_string(timeout));
  jobject option = host.newObject(kConnectionOption, "(ILjava/lang/Class;)V",
                                  {jInt(INTERNET_PER_CONN_FLAGS), jObj(host.findClass("java/lang/Integer"))});
  call(w, NATIVE(Java_com_corvantis_windows_inet_InternetHandle_queryConnectionOptions), own.internet, jstring{nullptr},
       host.newObjectArray(kConnectionOption, {option}));
  if (fine(w, "queryConnectionOptions")) {
    jobject value = host.field(option, "_value").l;
    if (value == nullptr || host.invoke(value, "intValue", "()I").i != expectedProxyFlags) {
      fail(w, "proxy flags differ");
    }
  }
}

// Wine reports a child that dies while it is still being set up (a loaded machine
// makes that happen now and then, before the child runs any code) as a failed
// CreateProcessW with ERROR_INTERNAL_ERROR. Such a start is made again, up to three
// times in all; any other refusal, or a third loss, fails the test.
jobject ThreadsTest::startChild(Worker& w, int code) {
  for (int attempt = 1;; ++attempt) {
    jobject child = call(w, NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_CreateProcess), system(),
                         jstring{nullptr}, host.newString(u16(childCommand(std::to_wstring(code)))),
                         jboolean{JNI_FALSE}, jint{0}, jstring{nullptr}, jstring{nullptr}, jobject{nullptr});
    if (!host.exceptionPending()) return child;
    const std::string message = host.exceptionMessageUtf8();
    jint error = 0;
    const std::string cls = testsupport::takeException(host, &error);
    if (cls != testsupport::kCodedSystemException || error != ERROR_INTERNAL_ERROR || attempt == 3) {
      fail(w, "CreateProcess raised " + cls + " " + message + " (attempt " + std::to_string(attempt) + ")");
      return nullptr;
    }
    ++w.startsRepeated;
  }
}

// A child that ends with a code of this thread's, waited for and closed.
void ThreadsTest::process(Worker& w) {
  const int code = 10 + (w.index * 7 + static_cast<int>(w.processes)) % 50;
  jobject child = startChild(w, code);
  if (child == nullptr) return;
  const jint exit = call(w, NATIVE(Java_com_corvantis_process_WindowsProcess_waitFor), child);
  if (fine(w, "waitFor") && exit != code) fail(w, "child ended with " + std::to_string(exit));
  const jlong cpu = call(w, NATIVE(Java_com_corvantis_process_WindowsProcess_getCpuTime), child);
  if (fine(w, "getCpuTime of a child") && cpu < 0) fail(w, "child's processor time " + std::to_string(cpu));
  call(w, NATIVE(Java_com_corvantis_process_WindowsProcess_close), child);
  if (fine(w, "close") && host.field(child, "_handle").j != 0) fail(w, "closed process keeps its handle");
  ++w.processes;
}

void ThreadsTest::work(Worker& w) {
  Host::ThreadScope attached(host);
  JNIEnv* env = host.env();
  for (int round = 0; round < kRounds; ++round) {
    {
      Host::Unlocked waiting(host);
      start.arriveAndWait();
    }
    env->PushLocalFrame(16);
    Own own;
    openOwn(w, own);
    const Clock::time_point deadline = Clock::now() + kRoundLength;
    for (int i = 0; Clock::now() < deadline; ++i) {
      env->PushLocalFrame(64);
      if (i % kFastPerProcess == 0) process(w);
      sample(w, own);
      readKey(w);
      systemCalls(w);
      internetOptions(w, own);
      env->PopLocalFrame(nullptr);
    }
    closeOwn(w, own);
    env->PopLocalFrame(nullptr);
    {
      Host::Unlocked waiting(host);
      end.arriveAndWait();
    }
  }
}

TEST_P(ThreadsTest, EightThreadsCallNativesAtOnce) {
  std::vector<Worker> workers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    workers[static_cast<size_t>(t)].index = t;
    threads.emplace_back([this, &w = workers[static_cast<size_t>(t)]] { work(w); });
  }
  std::vector<std::string> accounting;
  std::set<uintptr_t> handlesBefore;
  std::set<uintptr_t> handlesAfter;
  for (int round = 0; round < kRounds; ++round) {
    heap->onCallStart();
    {
      Host::Unlocked waiting(host);
      start.arriveAndWait();
      end.arriveAndWait();
    }
    std::vector<std::string> found;
    heap->onCallEnd(found);
    for (const std::string& f : found) accounting.push_back("round " + std::to_string(round) + ": " + f);
    // After a first round, what Windows opens once for good is open already.
    if (round == 0) handlesBefore = kernelHandles();
  }
  {
    Host::Unlocked waiting(host);
    for (std::thread& t : threads) t.join();
  }
  // Once the threads are gone, so that nothing they do on their way out shows.
  handlesAfter = kernelHandles();

  long calls = 0;
  long processes = 0;
  long startsRepeated = 0;
  for (const Worker& w : workers) {
    calls += w.calls;
    processes += w.processes;
    startsRepeated += w.startsRepeated;
    std::string all;
    for (const std::string& e : w.errors) all += "\n  " + e;
    EXPECT_TRUE(w.errors.empty()) << all;
    EXPECT_GT(w.processes, 0) << "thread " << w.index << " started no process";
  }
  std::string leaks;
  for (const std::string& a : accounting) leaks += "\n  " + a;
  EXPECT_TRUE(accounting.empty()) << "heap blocks left behind:" << leaks;
  const std::string opened = handlesOpened(handlesBefore, handlesAfter);
  EXPECT_TRUE(opened.empty()) << "kernel handles left open: " << opened;
  const std::wstring file = GetParam();
  std::cout << "threads test of " << std::string(file.begin(), file.end()) << ": " << kThreads << " threads, " << calls
            << " native calls, " << processes << " processes (" << startsRepeated
            << " started again after Wine lost them while setting them up)\n";
}

INSTANTIATE_TEST_SUITE_P(BridgeLibraries, ThreadsTest, ::testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
}  // namespace robustness
