// soak_host_driver: the soak driver for machines without the JVM of ../shared/jvm. It
// drives the same natives on the same threads as the Java driver (java/soak/Driver.java,
// which says what each path does), through our JNI host in its plain mode, and writes
// samples in the same form. Each thread has a host of its own: a plain host serves one
// thread, and never collects its objects, so each is made anew now and then. There is
// no Java heap to measure: that column stays -1.
//
//   soak_host_driver --seconds N --interval-ms N --fullbridge DLL --heapwalk DLL --child EXE
//                    --out CSV --pid-file FILE [--counter-threads N]
#include <com_corvantis_monitoring_windows_PerformanceQuery.h>
#include <com_corvantis_monitoring_windows_WindowsPerformanceCounter.h>
#include <com_corvantis_process_WindowsProcess.h>
#include <com_corvantis_windows_inet_CacheEntry.h>
#include <com_corvantis_windows_inet_InetCache.h>
#include <com_corvantis_windows_inet_InternetHandle.h>
#include <com_corvantis_windows_registry_RegistryKey.h>
#include <com_corvantis_windows_registry_RegistryRoot.h>
#include <com_corvantis_windows_ui_WindowStation.h>
#include <com_corvantis_windows_ui_WindowsUISupport.h>
#include <com_quillstone_velaro_server_WindowsSystem.h>
#include <windows.h>
#include <wininet.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "deliverables.h"
#include "jar_model.h"
#include "jni_host.h"

namespace {

using jnihost::Host;
using jnihost::jInt;
using jnihost::jLong;
using jnihost::jObj;
using Clock = std::chrono::steady_clock;

enum Kind { kCounters, kProcesses, kRegistry, kInet, kCache, kCommandLine, kDesktops, kKinds };
constexpr const char* kKindNames[kKinds] = {"counters", "processes", "registry", "inet",
                                            "cache",    "command_line", "desktops"};
constexpr int kSamplesPerQuery = 20000;
constexpr int kRoundsPerCacheEntry = 8;
constexpr int kRoundsPerHost = 200;
constexpr jint kFormatLarge = 0x400;
constexpr jint kKeyRead = 0x20019;
constexpr jint kKeyAllAccess = 0xF003F;
constexpr jint kWinstaEnumDesktops = 0x0001;
constexpr const char* kQuery = "com/corvantis/monitoring/windows/PerformanceQuery";
constexpr const char* kCounter = "com/corvantis/monitoring/windows/WindowsPerformanceCounter";
constexpr const char* kRegistryKey = "com/corvantis/windows/registry/RegistryKey";
constexpr const char* kInternetHandle = "com/corvantis/windows/inet/InternetHandle";
constexpr const char* kConnectionOption = "com/quillstone/browser/ConnectionOption";
constexpr const char* kCacheEntry = "com/corvantis/windows/inet/CacheEntry";
constexpr const char* kSystem = "com/quillstone/velaro/server/WindowsSystem";
constexpr const char* kUi = "com/corvantis/windows/ui/WindowsUISupport";

struct Options {
  std::map<std::string, std::string> values;
  const std::string& operator[](const std::string& name) { return values[name]; }
};

// Calls and failures of one thread, by kind; read by the sampling thread as it goes.
struct Tally {
  std::array<std::atomic<long long>, kKinds> calls{};
  std::array<std::atomic<long long>, kKinds> errors{};
  std::string firstError;  // written by its thread only, read after the join
};

struct Shared {
  testsupport::LoadedLibrary& bridge;
  Clock::time_point deadline;
  std::wstring child;
  HKEY key;  // the scratch key every thread reads
  bool running() const { return Clock::now() < deadline; }
};

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::unique_ptr<Host> newHost() {
  auto host = std::make_unique<Host>();
  host->setPlain(true);
  jnihost::defineJdkClasses(*host);
  jarmodel::defineJarClasses(*host);
  return host;
}

// One thread's work: its own host, its tally, and the natives it calls by name.
class Worker {
 public:
  Worker(Shared& shared, Tally& tally) : shared_(shared), tally_(tally), host_(newHost()) {}

  template <class F>
  F native(const char* name) {
    return shared_.bridge.function<F>(name);
  }

  // Counts the call; false, with the failure noted and cleared, when it left an exception.
  template <class F, class... A>
  auto call(Kind kind, F fn, A... args) {
    tally_.calls[kind]++;
    return host_->call(fn, args...);
  }
  bool fine(Kind kind) {
    if (!host_->exceptionPending()) return true;
    fail(kind, host_->exceptionClass() + " " + host_->exceptionMessageUtf8());
    host_->clearException();
    return false;
  }
  void fail(Kind kind, const std::string& what) {
    tally_.errors[kind]++;
    if (tally_.firstError.empty()) tally_.firstError = std::string(kKindNames[kind]) + ": " + what;
  }
  void renewHost() { host_ = newHost(); }
  Host& host() { return *host_; }
  Shared& shared() { return shared_; }

 private:
  Shared& shared_;
  Tally& tally_;
  std::unique_ptr<Host> host_;
};

#define NATIVE(w, name) (w).native<decltype(&name)>(#name)

void counters(Worker w) {
  alignas(8) unsigned char values[16] = {};
  while (w.shared().running()) {
    Host& host = w.host();
    jobject query = host.newObject(kQuery);
    jobject counter = host.newObject(kCounter, "(Ljava/lang/String;)V", {jObj(host.newString(u"\\System\\System Up Time"))});
    jobject buffer = host.env()->NewDirectByteBuffer(values, sizeof values);
    w.call(kCounters, NATIVE(w, Java_com_corvantis_monitoring_windows_PerformanceQuery_openHandle), query);
    if (w.fine(kCounters)) {
      w.call(kCounters, NATIVE(w, Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_createHandle), counter,
             host.field(query, "_handle").j);
    }
    if (w.fine(kCounters)) {
      auto update = NATIVE(w, Java_com_corvantis_monitoring_windows_PerformanceQuery_updateCounters);
      auto store = NATIVE(w, Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_storeValueInBuffer);
      const jclass queryClass = host.findClass(kQuery);
      const jclass counterClass = host.findClass(kCounter);
      const jlong queryHandle = host.field(query, "_handle").j;
      const jlong counterHandle = host.field(counter, "_handle").j;
      for (int i = 0; i < kSamplesPerQuery && w.shared().running(); ++i) {
        w.call(kCounters, update, queryClass, queryHandle);
        if (!w.fine(kCounters)) continue;
        std::memset(values + 8, 0, 8);
        w.call(kCounters, store, counterClass, counterHandle, kFormatLarge, jint{8}, buffer);
        jlong upTime = 0;
        std::memcpy(&upTime, values + 8, sizeof upTime);
        if (w.fine(kCounters) && upTime == 0) w.fail(kCounters, "no up time written");
      }
    }
    w.call(kCounters, NATIVE(w, Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_close), counter);
    w.fine(kCounters);
    w.call(kCounters, NATIVE(w, Java_com_corvantis_monitoring_windows_PerformanceQuery_closeHandle), query);
    w.fine(kCounters);
    w.renewHost();
  }
}

void processes(Worker w) {
  for (int n = 0; w.shared().running(); ++n) {
    if (n % kRoundsPerHost == 0) w.renewHost();
    Host& host = w.host();
    const int code = 10 + n % 50;
    jobject child = nullptr;
    // Wine reports a child lost while it is set up as ERROR_INTERNAL_ERROR: started again.
    for (int attempt = 1; attempt <= 3 && child == nullptr; ++attempt) {
      child = w.call(kProcesses, NATIVE(w, Java_com_quillstone_velaro_server_WindowsSystem_CreateProcess),
                     host.findClass(kSystem), jstring{nullptr},
                     host.newString(u16(L"\"" + w.shared().child + L"\" " + std::to_wstring(code))), jboolean{JNI_FALSE},
                     jint{0}, jstring{nullptr}, jstring{nullptr}, jobject{nullptr});
      if (child == nullptr && (attempt == 3 || host.exceptionIntField("_code") != ERROR_INTERNAL_ERROR)) {
        w.fine(kProcesses);
      } else if (child == nullptr) {
        host.clearException();
      }
    }
    if (child == nullptr) continue;
    const jint exit = w.call(kProcesses, NATIVE(w, Java_com_corvantis_process_WindowsProcess_waitFor), child);
    if (w.fine(kProcesses) && exit != code) w.fail(kProcesses, "child ended with " + std::to_string(exit));
    w.call(kProcesses, NATIVE(w, Java_com_corvantis_process_WindowsProcess_getCpuTime), child);
    w.fine(kProcesses);
    w.call(kProcesses, NATIVE(w, Java_com_corvantis_process_WindowsProcess_close), child);
    w.fine(kProcesses);
  }
}

void registry(Worker& w, jobject key) {
  Host& host = w.host();
  jobject text =
      w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_getStringValue), key, host.newString(u"text"));
  if (w.fine(kRegistry) && (text == nullptr || host.str(text) != u"soak")) w.fail(kRegistry, "wrong string value");
  const jint number =
      w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_getIntValue), key, host.newString(u"int"));
  if (w.fine(kRegistry) && number != 42) w.fail(kRegistry, "wrong int value");
  jobject names = host.newObject("java/util/ArrayList");
  w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_addAvailableSubKeys), key, names);
  jobject types = host.newObject("java/util/HashMap");
  w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_addAvailableValues), key, types);
  const jint subKeys = w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_getNumberSubKeys), key);
  if (w.fine(kRegistry) && (host.elements(names).size() != 3 || host.mapEntries(types).size() != 2 || subKeys != 3)) {
    w.fail(kRegistry, "enumeration differs");
  }
  jobject sub = w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_openSubKey), key,
                       host.newString(u"a"), kKeyRead);
  if (w.fine(kRegistry)) {
    w.call(kRegistry, NATIVE(w, Java_com_corvantis_windows_registry_RegistryKey_close), sub);
    w.fine(kRegistry);
  }
}

void internetOptions(Worker& w, jobject internet) {
  Host& host = w.host();
  w.call(kInet, NATIVE(w, Java_com_corvantis_windows_inet_InternetHandle_getIntOption), internet,
         jint{INTERNET_OPTION_CONNECT_TIMEOUT});
  w.fine(kInet);
  jobject option = host.newObject(kConnectionOption, "(ILjava/lang/Class;)V",
                                  {jInt(INTERNET_PER_CONN_FLAGS), jObj(host.findClass("java/lang/Integer"))});
  w.call(kInet, NATIVE(w, Java_com_corvantis_windows_inet_InternetHandle_queryConnectionOptions), internet,
         jstring{nullptr}, host.newObjectArray(kConnectionOption, {option}));
  if (w.fine(kInet) && host.field(option, "_value").l == nullptr) w.fail(kInet, "no proxy flags");
}

void commandLine(Worker& w) {
  Host& host = w.host();
  const jclass system = host.findClass(kSystem);
  w.call(kCommandLine, NATIVE(w, Java_com_quillstone_velaro_server_WindowsSystem_getCommandLine), system);
  w.fine(kCommandLine);
  jobject args = w.call(kCommandLine, NATIVE(w, Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments),
                        system, host.newString(u"soak \"a b\" c"));
  if (w.fine(kCommandLine) && host.objectArrayContents(static_cast<jobjectArray>(args)).size() != 3) {
    w.fail(kCommandLine, "command line parsed wrongly");
  }
  jobject expanded = w.call(kCommandLine, NATIVE(w, Java_com_quillstone_velaro_server_WindowsSystem_expandEnvironmentString),
                            system, host.newString(u"%SystemRoot%\\soak"));
  if (w.fine(kCommandLine) && (expanded == nullptr || host.str(expanded).rfind(u"%", 0) == 0)) {
    w.fail(kCommandLine, "SystemRoot not expanded");
  }
}

void desktops(Worker& w) {
  Host& host = w.host();
  const jclass ui = host.findClass(kUi);
  jobject stations = w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowsUISupport_getWindowStations), ui);
  if (!w.fine(kDesktops)) return;
  // The process's own window station and the thread's desktop are not closed (Windows' rule).
  jobject own = w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowsUISupport_getProcessWindowStation), ui);
  if (w.fine(kDesktops)) {
    w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowStation_getDesktops), own);
    w.fine(kDesktops);
  }
  w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowsUISupport_getCurrentThreadDesktop), ui);
  w.fine(kDesktops);
  const std::vector<jobject> names = host.elements(stations);
  if (names.empty()) {
    w.fail(kDesktops, "no window stations");
    return;
  }
  jobject station = w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowsUISupport_openWindowStation), ui,
                           static_cast<jstring>(names[0]), jboolean{JNI_FALSE}, kWinstaEnumDesktops);
  if (!w.fine(kDesktops)) return;
  w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowStation_getDesktops), station);
  w.fine(kDesktops);
  w.call(kDesktops, NATIVE(w, Java_com_corvantis_windows_ui_WindowStation_close), station);
  w.fine(kDesktops);
}

void cacheEntry(Worker& w, int round) {
  Host& host = w.host();
  const jclass cache = host.findClass("com/corvantis/windows/inet/InetCache");
  const std::u16string url = u16(L"http://soak.invalid/" + std::to_wstring(GetCurrentProcessId()) + L"/" +
                                 std::to_wstring(round));
  jobject file = w.call(kCache, NATIVE(w, Java_com_corvantis_windows_inet_InetCache_createUrlCacheEntry), cache,
                        host.newString(url), jint{0}, host.newString(u"txt"));
  if (!w.fine(kCache)) return;
  const std::u16string path = host.str(file);
  HANDLE f = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(f, "soak", 4, &written, nullptr);
    CloseHandle(f);
  }
  jobject entry = host.newObject(kCacheEntry, "(Ljava/lang/String;Ljava/lang/String;JJILjava/lang/String;Ljava/lang/String;)V",
                                 {jObj(host.newString(url)), jObj(file), jLong(0), jLong(0), jInt(NORMAL_CACHE_ENTRY),
                                  jObj(host.newString(u"HTTP/1.1 200 OK\r\n\r\n")), jObj(nullptr)});
  w.call(kCache, NATIVE(w, Java_com_corvantis_windows_inet_CacheEntry_commit), entry);
  if (!w.fine(kCache)) return;
  const jboolean deleted =
      w.call(kCache, NATIVE(w, Java_com_corvantis_windows_inet_InetCache_deleteEntry), cache, host.newString(url));
  if (w.fine(kCache) && !deleted) w.fail(kCache, "entry not deleted");
}

void mixed(Worker w) {
  jobject key = nullptr;
  jobject internet = nullptr;
  for (int round = 0; w.shared().running(); ++round) {
    if (round % kRoundsPerHost == 0) {
      w.renewHost();
      key = w.host().newObject(kRegistryKey, "(J)V", {jLong(reinterpret_cast<jlong>(w.shared().key))});
      internet = w.host().newObject(kInternetHandle);
    }
    registry(w, key);
    internetOptions(w, internet);
    commandLine(w);
    desktops(w);
    if (round % kRoundsPerCacheEntry == 0) cacheEntry(w, round);
  }
}

// Wall-clock milliseconds since 1970: the driver's and the sampler's samples meet on it.
long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

using HeapWalkFunction = jboolean(JNICALL*)(JNIEnv*, jclass, jlongArray);

std::string sample(const std::vector<std::unique_ptr<Tally>>& tallies, HeapWalkFunction walk) {
  long long calls[kKinds] = {};
  long long all = 0;
  long long errors = 0;
  for (const auto& t : tallies) {
    for (int k = 0; k < kKinds; ++k) {
      calls[k] += t->calls[static_cast<size_t>(k)];
      errors += t->errors[static_cast<size_t>(k)];
    }
  }
  std::string byKind;
  for (long long c : calls) {
    all += c;
    byKind += "," + std::to_string(c);
  }
  // The sampling thread's host is made for each sample, so that it holds no more than one.
  std::unique_ptr<Host> host = newHost();
  jlongArray result = host->newArray<jlong>({-1, -1});
  host->call(walk, host->findClass("java/lang/Object"), result);
  const std::vector<jlong> heap = host->arrayContents<jlong>(result);
  return std::to_string(nowMs()) + "," + std::to_string(all) + byKind + "," + std::to_string(errors) + "," +
         std::to_string(heap[0]) + "," + std::to_string(heap[1]) + ",-1";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) options.values[argv[i]] = argv[i + 1];
  for (const char* required :
       {"--seconds", "--interval-ms", "--fullbridge", "--heapwalk", "--child", "--out", "--pid-file"}) {
    if (options.values.count(required) == 0) {
      std::fprintf(stderr, "soak host driver: missing %s\n", required);
      return 2;
    }
  }
  testsupport::LoadedLibrary bridge(wide(options["--fullbridge"]));
  testsupport::LoadedLibrary heapWalk(wide(options["--heapwalk"]));
  const auto walk = heapWalk.function<HeapWalkFunction>("Java_soak_ProcessHeap_walk");
  if (bridge.module == nullptr || walk == nullptr) {
    std::fprintf(stderr, "soak host driver: cannot load the libraries (error %lu, %lu)\n", bridge.error, heapWalk.error);
    return 1;
  }
  if (FILE* pid = std::fopen(options["--pid-file"].c_str(), "w")) {
    std::fprintf(pid, "%lu\n", GetCurrentProcessId());
    std::fclose(pid);
  }
  const std::wstring keyName = L"Software\\VelaroSoak-" + std::to_wstring(GetCurrentProcessId());
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  const wchar_t text[] = L"soak";
  const DWORD number = 42;
  RegSetValueExW(key, L"text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  RegSetValueExW(key, L"int", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  for (const wchar_t* name : {L"a", L"b", L"c"}) {
    HKEY sub = nullptr;
    RegCreateKeyExW(key, name, 0, nullptr, REG_OPTION_VOLATILE, KEY_READ, nullptr, &sub, nullptr);
    RegCloseKey(sub);
  }

  const auto seconds = std::chrono::seconds(std::atoll(options["--seconds"].c_str()));
  const auto interval = std::chrono::milliseconds(std::atoll(options["--interval-ms"].c_str()));
  const int counterThreads = options.values.count("--counter-threads") ? std::atoi(options["--counter-threads"].c_str()) : 2;
  Shared shared{bridge, Clock::now() + seconds, wide(options["--child"]), key};
  std::vector<std::unique_ptr<Tally>> tallies;
  for (int i = 0; i < counterThreads + 2; ++i) tallies.push_back(std::make_unique<Tally>());

  FILE* out = std::fopen(options["--out"].c_str(), "w");
  if (out == nullptr) {
    std::fprintf(stderr, "soak host driver: cannot write %s\n", options["--out"].c_str());
    return 1;
  }
  std::fprintf(out, "time_ms,calls");
  for (const char* kind : kKindNames) std::fprintf(out, ",calls_%s", kind);
  std::fprintf(out, ",errors,heap_blocks,heap_bytes,jvm_heap_bytes\n%s\n", sample(tallies, walk).c_str());
  std::fflush(out);

  std::vector<std::thread> threads;
  threads.emplace_back([&] { processes(Worker(shared, *tallies[0])); });
  threads.emplace_back([&] { mixed(Worker(shared, *tallies[1])); });
  for (int i = 0; i < counterThreads; ++i) {
    threads.emplace_back([&, i] { counters(Worker(shared, *tallies[static_cast<size_t>(i) + 2])); });
  }
  for (auto next = Clock::now() + interval; shared.running(); next += interval) {
    std::this_thread::sleep_until(next < shared.deadline ? next : shared.deadline);
    if (Clock::now() >= next) {
      std::fprintf(out, "%s\n", sample(tallies, walk).c_str());
      std::fflush(out);
    }
  }
  for (std::thread& t : threads) t.join();
  std::fprintf(out, "%s\n", sample(tallies, walk).c_str());
  std::fclose(out);

  std::printf("driver: native calls by kind:");
  for (int k = 0; k < kKinds; ++k) {
    long long calls = 0;
    long long errors = 0;
    for (const auto& t : tallies) {
      calls += t->calls[static_cast<size_t>(k)];
      errors += t->errors[static_cast<size_t>(k)];
    }
    std::printf(" %s %lld", kKindNames[k], calls);
    if (errors != 0) std::printf(" (%lld failed)", errors);
  }
  std::printf("\n");
  for (const auto& t : tallies) {
    if (!t->firstError.empty()) std::printf("driver: first failure: %s\n", t->firstError.c_str());
  }
  RegCloseKey(key);
  RegDeleteTreeW(HKEY_CURRENT_USER, keyName.c_str());
  return 0;
}
