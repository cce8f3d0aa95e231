// The smoke run: loads fullbridge.dll (and tcpestats.dll beside it) into the JNI host
// as the JVM would, calls a few natives of every subsystem and prints one line per
// subsystem of what it saw on this machine, each saying ok or the Java exception it
// got. The exit code is 0 unless a library could not be loaded or the host found a
// JNI rule broken.
#include <com_corvantis_monitoring_windows_PerformanceQuery.h>
#include <com_corvantis_monitoring_windows_WindowsPerformanceCounter.h>
#include <com_corvantis_windows_inet_CacheEntry.h>
#include <com_corvantis_windows_inet_InetCache.h>
#include <com_corvantis_windows_inet_InternetHandle.h>
#include <com_corvantis_windows_ras_RasSupport.h>
#include <com_corvantis_windows_registry_RegistryKey.h>
#include <com_corvantis_windows_registry_RegistryRoot.h>
#include <com_corvantis_windows_ui_WindowStation.h>
#include <com_corvantis_windows_ui_WindowsUISupport.h>
#include <com_quillstone_velaro_server_VistaNetworkingSupport.h>
#include <com_quillstone_velaro_server_WindowsSystem.h>
#include <windows.h>
#include <wininet.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "deliverables.h"
#include "inet_classes.h"
#include "jar_model.h"
#include "jni_host.h"

namespace {

using jnihost::Host;
using jnihost::jInt;
using jnihost::jLong;
using jnihost::jObj;

std::string utf8(const std::wstring& text) {
  std::string out(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr)),
                  '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

class Smoke {
 public:
  Smoke() : full_(testsupport::deliverablePath(L"fullbridge.dll")) {
    jnihost::defineJdkClasses(host_);
    tcpestatstest::defineInetClasses(host_);
    jarmodel::defineJarClasses(host_);
  }

  bool loaded() const { return full_.module != nullptr; }
  DWORD loadError() const { return full_.error; }

  // Prints "<subsystem> ok: <what body saw>" or "<subsystem> <the exception that
  // stopped it>".
  void line(const char* subsystem, const std::function<std::string()>& body) {
    failure_.clear();
    const std::string seen = body();
    const std::string text = failure_.empty() ? "ok: " + seen : failure_;
    std::printf("%-14s %s\n", subsystem, text.c_str());
    std::fflush(stdout);
    ++lines_;
  }

  int lines() const { return lines_; }
  const std::vector<std::string>& violations() { return host_.violations(); }

  std::string processes();
  std::string counters();
  std::string proxy();
  std::string urlCache();
  std::string dialUp();
  std::string registry();
  std::string desktops();
  std::string display();
  std::string tcpStatistics();

 private:
  // The native `name` of `library`, typed by its javac header; when it is missing,
  // a stand-in that only notes so.
  template <class F>
  F native(const testsupport::LoadedLibrary& library, const char* name) {
    F f = library.function<F>(name);
    if (f == nullptr && failure_.empty()) failure_ = std::string("the library does not export ") + name;
    return f;
  }
  // Calls the native unless the line failed already; false once it has.
  template <class F, class... A>
  bool run(F fn, A... args) {
    if (fn == nullptr || !failure_.empty()) return false;
    host_.call(fn, args...);
    return !raised();
  }
  template <class R, class F, class... A>
  bool get(R* result, F fn, A... args) {
    if (fn == nullptr || !failure_.empty()) return false;
    *result = host_.call(fn, args...);
    return !raised();
  }
  // Notes the exception a native left as the line's report, and clears it.
  bool raised() {
    if (!host_.exceptionPending()) return false;
    std::string text = host_.exceptionClass();
    for (char& c : text) {
      if (c == '/') c = '.';
    }
    const std::string message = host_.exceptionMessageUtf8();
    if (!message.empty()) text += ": " + message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    host_.clearException();
    if (failure_.empty()) failure_ = text;
    return true;
  }
  jclass cls(const char* name) { return host_.findClass(name); }
  std::string str(jobject s) { return s == nullptr ? "none" : host_.utf8(s); }
  std::vector<std::string> strings(jobject collection) {
    std::vector<std::string> out;
    for (jobject e : host_.elements(collection)) out.push_back(str(e));
    return out;
  }

  Host host_;
  testsupport::LoadedLibrary full_;
  int lines_ = 0;
  std::string failure_;  // what stopped the current line
};

#define NATIVE(name) native<decltype(&name)>(full_, #name)

std::string joined(const std::vector<std::string>& items, size_t most = 8) {
  std::string out;
  for (size_t i = 0; i < items.size() && i < most; ++i) out += (i ? ", " : "") + items[i];
  if (items.size() > most) out += ", ...";
  return out.empty() ? "none" : out;
}

// The PROXY_TYPE_ bits of INTERNET_PER_CONN_FLAGS, named.
std::string proxyFlags(jint flags) {
  std::vector<std::string> names;
  const std::pair<jint, const char*> bits[] = {{PROXY_TYPE_DIRECT, "direct"},
                                               {PROXY_TYPE_PROXY, "proxy"},
                                               {PROXY_TYPE_AUTO_PROXY_URL, "script"},
                                               {PROXY_TYPE_AUTO_DETECT, "detect"}};
  for (const auto& [bit, name] : bits) {
    if ((flags & bit) != 0) names.push_back(name);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(flags));
  return std::string(hex) + " (" + joined(names) + ")";
}

std::string Smoke::processes() {
  jclass system = cls("com/quillstone/velaro/server/WindowsSystem");
  jobject line = nullptr;
  jint processors = 0;
  if (!get(&line, NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getCommandLine), system) ||
      !get(&processors, NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_getProcessorCount), system)) {
    return {};
  }
  return "command line " + str(line) + ", " + std::to_string(processors) + " processors";
}

std::string Smoke::counters() {
  const char16_t* path = u"\\Processor(_Total)\\% Processor Time";
  jclass queryClass = cls("com/corvantis/monitoring/windows/PerformanceQuery");
  jclass counterClass = cls("com/corvantis/monitoring/windows/WindowsPerformanceCounter");
  jobject query = host_.newObject("com/corvantis/monitoring/windows/PerformanceQuery");
  if (!run(NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_openHandle), query)) return {};
  const jlong queryHandle = host_.field(query, "_handle").j;
  jobject counter = host_.newObject("com/corvantis/monitoring/windows/WindowsPerformanceCounter",
                                    "(Ljava/lang/String;)V", {jObj(host_.newString(path))});
  std::string samples;
  double value = 0;
  jobject buffer = host_.env()->NewDirectByteBuffer(&value, sizeof value);
  if (run(NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_createHandle), counter, queryHandle)) {
    for (int i = 0; i < 4; ++i) {
      Sleep(250);
      if (!run(NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_updateCounters), queryClass,
               queryHandle) ||
          !run(NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_storeValueInBuffer), counterClass,
               host_.field(counter, "_handle").j, jint{0x200 /* PDH_FMT_DOUBLE */}, jint{0}, buffer)) {
        break;
      }
      char text[32];
      std::snprintf(text, sizeof text, std::isnan(value) ? "n/a" : "%.1f", value);
      samples += (i ? ", " : "") + std::string(text);
    }
    run(NATIVE(Java_com_corvantis_monitoring_windows_WindowsPerformanceCounter_close), counter);
  }
  // Closed also when sampling failed.
  if (auto closeQuery = NATIVE(Java_com_corvantis_monitoring_windows_PerformanceQuery_closeHandle)) {
    host_.call(closeQuery, query);
    raised();
  }
  return utf8(reinterpret_cast<const wchar_t*>(path)) + ", 4 samples a quarter second apart: " + samples;
}

std::string Smoke::proxy() {
  const char* const option = "com/quillstone/browser/ConnectionOption";
  struct Wanted {
    jint code;
    const char* type;
    const char* name;
  };
  const Wanted wanted[] = {{INTERNET_PER_CONN_FLAGS, "java/lang/Integer", "flags"},
                           {INTERNET_PER_CONN_PROXY_SERVER, "java/lang/String", "server"},
                           {INTERNET_PER_CONN_PROXY_BYPASS, "java/lang/String", "bypass"},
                           {INTERNET_PER_CONN_AUTOCONFIG_URL, "java/lang/String", "configuration script"}};
  std::vector<jobject> options;
  for (const Wanted& w : wanted) {
    options.push_back(host_.newObject(option, "(ILjava/lang/Class;)V", {jInt(w.code), jObj(cls(w.type))}));
  }
  jobject internet = host_.newObject("com/corvantis/windows/inet/InternetHandle");
  if (!run(NATIVE(Java_com_corvantis_windows_inet_InternetHandle_queryConnectionOptions), internet, jstring{nullptr},
           host_.newObjectArray(option, options))) {
    return {};
  }
  std::string out;
  for (size_t i = 0; i < options.size(); ++i) {
    jobject value = host_.field(options[i], "_value").l;
    std::string text = value == nullptr ? "none"
                       : i == 0         ? proxyFlags(host_.invoke(value, "intValue", "()I").i)
                                        : "\"" + str(value) + "\"";
    out += std::string(i ? ", " : "") + wanted[i].name + " " + text;
  }
  return "LAN settings: " + out;
}

std::string Smoke::urlCache() {
  // How many entries the cache holds, seen through WinInet itself.
  size_t entries = 0;
  std::vector<unsigned char> buffer(16384);
  DWORD size = static_cast<DWORD>(buffer.size());
  auto info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
  HANDLE find = FindFirstUrlCacheEntryW(nullptr, info, &size);
  if (find != nullptr) {
    do {
      ++entries;
      size = static_cast<DWORD>(buffer.size());
    } while (FindNextUrlCacheEntryW(find, info, &size));
    FindCloseUrlCache(find);
  }
  // One entry of our own through the bridge: created, committed, deleted.
  jclass cache = cls("com/corvantis/windows/inet/InetCache");
  jstring url = host_.newString(u"http://velaro-smoke.invalid/check");
  jobject file = nullptr;
  if (!get(&file, NATIVE(Java_com_corvantis_windows_inet_InetCache_createUrlCacheEntry), cache, url, jint{0},
           host_.newString(u"txt"))) {
    return {};
  }
  jobject entry = host_.newObject(
      "com/corvantis/windows/inet/CacheEntry",
      "(Ljava/lang/String;Ljava/lang/String;JJILjava/lang/String;Ljava/lang/String;)V",
      {jObj(url), jObj(file), jLong(0), jLong(0), jInt(NORMAL_CACHE_ENTRY), jObj(nullptr), jObj(nullptr)});
  jboolean deleted = JNI_FALSE;
  if (!run(NATIVE(Java_com_corvantis_windows_inet_CacheEntry_commit), entry) ||
      !get(&deleted, NATIVE(Java_com_corvantis_windows_inet_InetCache_deleteEntry), cache, url)) {
    DeleteFileW(reinterpret_cast<const wchar_t*>(host_.str(file).c_str()));
    return {};
  }
  return std::to_string(entries) + " entries in the cache; an entry of our own created, committed and " +
         (deleted ? "deleted" : "not found to delete");
}

std::string Smoke::dialUp() {
  jclass ras = cls("com/corvantis/windows/ras/RasSupport");
  jobject names = nullptr;
  jobject active = nullptr;
  if (!get(&names, NATIVE(Java_com_corvantis_windows_ras_RasSupport_getEntryNamesByPath), ras, jstring{nullptr}) ||
      !get(&active, NATIVE(Java_com_corvantis_windows_ras_RasSupport_getActiveConnections), ras)) {
    return {};
  }
  std::vector<std::string> entries;
  for (jobject e : host_.objectArrayContents(static_cast<jobjectArray>(names))) {
    entries.push_back(str(host_.field(e, "_entry_name").l));
  }
  return "phonebook entries: " + joined(entries) +
         "; active connections: " + std::to_string(host_.objectArrayContents(static_cast<jobjectArray>(active)).size());
}

std::string Smoke::registry() {
  const jint keyRead = 0x20019;
  const char16_t* path = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  auto close = NATIVE(Java_com_corvantis_windows_registry_RegistryKey_close);
  jobject user = nullptr;
  if (!get(&user, NATIVE(Java_com_corvantis_windows_registry_RegistryRoot_openRegistryCurrentUser),
           cls("com/corvantis/windows/registry/RegistryRoot"), keyRead)) {
    return {};
  }
  jobject key = nullptr;
  jobject types = host_.newObject("java/util/HashMap");
  if (get(&key, NATIVE(Java_com_corvantis_windows_registry_RegistryKey_openSubKey), user, host_.newString(path),
          keyRead)) {
    run(NATIVE(Java_com_corvantis_windows_registry_RegistryKey_addAvailableValues), key, types);
    if (close != nullptr) host_.call(close, key);
    raised();
  }
  if (close != nullptr) host_.call(close, user);
  raised();
  const std::map<jint, const char*> typeNames = {
      {REG_SZ, "REG_SZ"},       {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
      {REG_DWORD, "REG_DWORD"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},   {REG_QWORD, "REG_QWORD"}};
  std::vector<std::string> values;
  for (const auto& [name, type] : host_.mapEntries(types)) {
    const jint t = host_.invoke(type, "intValue", "()I").i;
    values.push_back(str(name) + " (" + (typeNames.count(t) ? typeNames.at(t) : std::to_string(t)) + ")");
  }
  return "HKEY_CURRENT_USER\\" + utf8(reinterpret_cast<const wchar_t*>(path)) + ": " + std::to_string(values.size()) +
         " values: " + joined(values, 6);
}

std::string Smoke::desktops() {
  jclass ui = cls("com/corvantis/windows/ui/WindowsUISupport");
  jobject stations = nullptr;
  jobject own = nullptr;
  jobject desktops = nullptr;
  // The process's own window station is Windows' handle, not one to close.
  if (!get(&stations, NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getWindowStations), ui) ||
      !get(&own, NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getProcessWindowStation), ui) ||
      !get(&desktops, NATIVE(Java_com_corvantis_windows_ui_WindowStation_getDesktops), own)) {
    return {};
  }
  return "window stations: " + joined(strings(stations)) +
         "; desktops of this process's station: " + joined(strings(desktops));
}

std::string Smoke::display() {
  jclass ui = cls("com/corvantis/windows/ui/WindowsUISupport");
  std::vector<std::string> devices;
  for (jint i = 0; i < 16; ++i) {
    jobject device = nullptr;
    if (!get(&device, NATIVE(Java_com_corvantis_windows_ui_WindowsUISupport_getDisplayDevice), ui, jstring{nullptr}, i,
             jint{0})) {
      return {};
    }
    if (device == nullptr) break;
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%X", static_cast<unsigned>(host_.field(device, "_state_flags").i));
    devices.push_back(str(host_.field(device, "_device_name").l) + " \"" +
                      str(host_.field(device, "_device_string").l) + "\" flags " + flags);
  }
  return "display devices: " + joined(devices);
}

std::string Smoke::tcpStatistics() {
  testsupport::LoadedLibrary tcp(testsupport::deliverablePath(L"tcpestats.dll"));
  if (tcp.module == nullptr) {
    failure_ = "tcpestats.dll cannot be loaded, error " + std::to_string(tcp.error);
    return {};
  }
  jclass support = cls("com/quillstone/velaro/server/VistaNetworkingSupport");
  jint rod = 0;
  jint obs = 0;
  if (!get(
          &rod,
          native<decltype(&Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1REC_1ROD_1V0_1sizeof)>(
              tcp, "Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1REC_1ROD_1V0_1sizeof"),
          support) ||
      !get(
          &obs,
          native<
              decltype(&Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1OBS_1REC_1ROD_1V0_1sizeof)>(
              tcp, "Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1OBS_1REC_1ROD_1V0_1sizeof"),
          support)) {
    return {};
  }
  std::string out = "tcpestats.dll loaded beside fullbridge.dll, record sizes " + std::to_string(rod) + " and " +
                    std::to_string(obs) + " bytes; ";
  // Wine's iphlpapi does not implement the statistics calls: calling one ends the process.
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    return out + "per-connection statistics not asked for (Wine lacks GetPerTcpConnectionEStats)";
  }
  std::vector<jbyte> loopback = {127, 0, 0, 1};
  jobject local = tcpestatstest::newInetAddress(host_, tcpestatstest::kInet4Address, loopback);
  jobject remote = tcpestatstest::newInetAddress(host_, tcpestatstest::kInet4Address, loopback);
  auto statistics = native<
      decltype(&Java_com_quillstone_velaro_server_VistaNetworkingSupport_getPerTcpConnectionEStats__ILjava_net_Inet4Address_2ILjava_net_Inet4Address_2II_3BI_3BI_3BI)>(
      tcp,
      "Java_com_quillstone_velaro_server_VistaNetworkingSupport_getPerTcpConnectionEStats__ILjava_net_"
      "Inet4Address_2ILjava_net_Inet4Address_2II_3BI_3BI_3BI");
  if (statistics == nullptr) return {};
  host_.call(statistics, support, jint{5}, local, jint{1}, remote, jint{2}, jint{1}, jbyteArray{nullptr}, jint{0},
             jbyteArray{nullptr}, jint{0}, jbyteArray{nullptr}, jint{0});
  if (!host_.exceptionPending()) return out + "statistics of an unused loopback connection read";
  const std::string cls = host_.exceptionClass();
  const jint code = cls == "com/quillstone/velaro/server/CodedSystemException" ? host_.exceptionIntField("_code") : 0;
  host_.clearException();
  return out + "statistics answer for an unused loopback connection: " + cls.substr(cls.rfind('/') + 1) + " " +
         std::to_string(code);
}

}  // namespace

int main() {
  Smoke smoke;
  if (!smoke.loaded()) {
    std::printf("fullbridge.dll cannot be loaded (error %lu); build with scripts/build.sh first\n",
                static_cast<unsigned long>(smoke.loadError()));
    return 1;
  }
  std::printf("Velaro native layer: fullbridge.dll loaded into the JNI host\n");
  smoke.line("processes", [&] { return smoke.processes(); });
  smoke.line("counters", [&] { return smoke.counters(); });
  smoke.line("proxy", [&] { return smoke.proxy(); });
  smoke.line("URL cache", [&] { return smoke.urlCache(); });
  smoke.line("dial-up", [&] { return smoke.dialUp(); });
  smoke.line("registry", [&] { return smoke.registry(); });
  smoke.line("desktops", [&] { return smoke.desktops(); });
  smoke.line("display", [&] { return smoke.display(); });
  smoke.line("TCP statistics", [&] { return smoke.tcpStatistics(); });
  const std::vector<std::string>& broken = smoke.violations();
  for (const std::string& v : broken) std::printf("JNI rule broken: %s\n", v.c_str());
  return broken.empty() ? 0 : 1;
}
