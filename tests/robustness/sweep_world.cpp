#include "sweep_world.h"

#include <pdh.h>
#include <wininet.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

#include "bridge_test.h"
#include "child_command.h"
#include "estats_stand_in.h"
#include "harness_scope.h"
#include "inet_classes.h"
#include "jar_model.h"
#include "jvmstub.h"

namespace sweep {

using jnihost::jBool;
using jnihost::jInt;
using jnihost::jLong;
using jnihost::jObj;
using jnihost::jVoid;

namespace {

constexpr const char* kWindowsProcess = "com/corvantis/process/WindowsProcess";
constexpr const char* kCounterPath = "com/corvantis/monitoring/windows/WindowsCounterPath";
constexpr const char* kCounter = "com/corvantis/monitoring/windows/WindowsPerformanceCounter";
constexpr const char* kCounterInfo = "com/corvantis/monitoring/windows/PerformanceCounterInfo";
constexpr const char* kCacheEntry = "com/corvantis/windows/inet/CacheEntry";
constexpr const char* kConnectionOption = "com/quillstone/browser/ConnectionOption";
constexpr const char* kStartupInfo = "com/corvantis/windows/process/StartupInfo";
constexpr const char* kWindowsHandle = "com/corvantis/windows/WindowsHandle";
constexpr const wchar_t* kUpTime = L"\\System\\System Up Time";
constexpr const char16_t* kUpTime16 = u"\\System\\System Up Time";
constexpr jlong kCurrentUser = static_cast<jlong>(static_cast<LONG>(0x80000001));

std::string classOf(const std::string& descriptor) {
  return descriptor.size() > 2 && descriptor[0] == 'L' ? descriptor.substr(1, descriptor.size() - 2) : descriptor;
}

bool isHandleKind(Kind k) { return k >= Kind::Process; }

// The String fields a receiver of `cls` has, from the jar (its superclasses too).
std::vector<std::string> stringFields(const std::string& cls) {
  std::vector<std::string> out;
  for (std::string name = cls; !name.empty();) {
    const jarmodel::JarClass* found = nullptr;
    for (const jarmodel::JarClass& c : jarmodel::jarClasses()) {
      if (name == c.name) found = &c;
    }
    if (found == nullptr) break;
    for (const jarmodel::JarField& f : found->fields) {
      if (!f.isStatic && std::strcmp(f.sig, "Ljava/lang/String;") == 0) out.push_back(f.name);
    }
    name = found->super;
  }
  return out;
}

bool isLinkageError(const std::string& cls) {
  return cls == "java/lang/NoSuchFieldError" || cls == "java/lang/NoSuchMethodError" ||
         cls == "java/lang/NoClassDefFoundError" || cls == "java/lang/AbstractMethodError";
}

HANDLE startChild(const std::wstring& arguments) {
  std::wstring command = robustness::childCommand(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

}  // namespace

int libraryOf(const std::wstring& file) {
  if (file == L"fullbridge.dll") return jarmodel::kFullbridge;
  if (file == L"corebridge.dll") return jarmodel::kCorebridge;
  if (file == L"tcpestats.dll") return jarmodel::kTcpestats;
  return 0;
}

World::World(const std::wstring& libraryFile) : library_(testsupport::deliverablePath(libraryFile.c_str())) {
  if (library_.module == nullptr) {
    problem_ = "cannot load the deliverable, error " + std::to_string(library_.error);
    return;
  }
  jnihost::defineJdkClasses(host_);
  tcpestatstest::defineInetClasses(host_);
  jarmodel::defineJarClasses(host_);
  host_.defineClass("java/nio/HeapByteBuffer", "java/nio/ByteBuffer").constructor("()V");
  for (const std::string& v : host_.violations()) problem_ += v + "\n";
  if (!problem_.empty()) return;

  // As in every bridge test: heap blocks on guard pages and accounted, handles accounted.
  testsupport::accountDeliverable(host_, library_.module, &heap_, &handles_);
  standIns_ = std::make_unique<robustness::StandIns>(library_.module);
  if (libraryOf(libraryFile) == jarmodel::kTcpestats) {
    estats_ = std::make_unique<tcpestatstest::EStatsStandIn>(library_.module);
  }

  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  scratchKey_ = L"Software\\VelaroSweep-" + pid;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, scratchKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    problem_ = "cannot create the scratch key";
    return;
  }
  const wchar_t text[] = L"sweep";
  const wchar_t expandable[] = L"%SystemRoot%\\sweep";
  const wchar_t multi[] = L"a\0b\0";
  const DWORD number = 7;
  const ULONGLONG wide = 7;
  const BYTE binary[] = {1, 2, 3, 4};
  RegSetValueExW(key, L"text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  RegSetValueExW(key, L"expandable", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expandable), sizeof expandable);
  RegSetValueExW(key, L"multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi);
  RegSetValueExW(key, L"int", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  RegSetValueExW(key, L"long", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide), sizeof wide);
  RegSetValueExW(key, L"binary", 0, REG_BINARY, binary, sizeof binary);
  HKEY sub = nullptr;
  RegCreateKeyExW(key, L"sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
  RegCloseKey(sub);
  RegCloseKey(key);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  folder_ = std::wstring(temp) + L"velaro-sweep-" + pid;
  CreateDirectoryW(folder_.c_str(), nullptr);

  endedChild_ = startChild(L"3");
  if (endedChild_ == nullptr || WaitForSingleObject(endedChild_, 30000) != WAIT_OBJECT_0) {
    problem_ = "cannot run the child program";
    return;
  }
  threadDesktop_ = GetThreadDesktop(GetCurrentThreadId());
  empty_ = host_.newString(u"");
  longText_ = host_.newString(std::u16string(32767, u'a'));
}

World::~World() {
  if (!scratchKey_.empty()) RegDeleteTreeW(HKEY_CURRENT_USER, scratchKey_.c_str());
  if (!folder_.empty()) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileW((folder_ + L"\\" + found.cFileName).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(folder_.c_str());
  }
  if (endedChild_ != nullptr) CloseHandle(endedChild_);
  if (handles_) host_.removeObserver(handles_.get());
  if (heap_) host_.removeObserver(heap_.get());
}

jstring World::str(const std::u16string& text) { return host_.newString(text); }

jstring World::textValue(const char16_t* text) {
  if (text == nullptr) return nullptr;
  if (std::u16string(text) == kChildCommand) {
    std::wstring command = robustness::childCommand(L"0");
    return str(std::u16string(command.begin(), command.end()));
  }
  if (std::u16string(text) == kScratchFile) {
    std::wstring file = folder_ + L"\\saved" + std::to_wstring(serial_) + L".hiv";
    return str(std::u16string(file.begin(), file.end()));
  }
  return str(text);
}

jobject World::directBuffer(size_t bytes, Held& held) {
  auto memory = std::make_shared<std::vector<unsigned char>>(std::max<size_t>(bytes, 1));
  held.releases.push_back([memory] {});
  return host_.env()->NewDirectByteBuffer(memory->data(), static_cast<jlong>(bytes));
}

// An object of a jar class made with the simplest constructor it has, its fields then
// set by the caller.
jobject World::newInstance(const std::string& cls) {
  const jarmodel::JarClass* found = nullptr;
  for (const jarmodel::JarClass& c : jarmodel::jarClasses()) {
    if (cls == c.name) found = &c;
  }
  if (found == nullptr) return host_.newObject(cls);
  const std::pair<const char*, std::vector<jvalue>> choices[] = {
      {"()V", {}},
      {"(J)V", {jLong(0)}},
      {"(JI)V", {jLong(0), jInt(0)}},
      {"(JLjava/lang/String;)V", {jLong(0), jObj(nullptr)}},
      {"(Ljava/lang/String;)V", {jObj(nullptr)}},
      {"(I)V", {jInt(0)}},
  };
  for (const auto& choice : choices) {
    for (const char* ctor : found->constructors) {
      if (std::strcmp(ctor, choice.first) == 0) return host_.newObject(cls, ctor, choice.second);
    }
  }
  return nullptr;
}

jobject World::makeFieldsObject(const std::string& cls, Hostile h) {
  jobject o = nullptr;
  if (cls == kCounterPath) {
    o = host_.newObject(cls);
    host_.setField(o, "_object_name", jObj(str(u"System")));
    host_.setField(o, "_counter_name", jObj(str(u"System Up Time")));
  } else if (cls == kCounter) {
    o = host_.newObject(cls, "(Ljava/lang/String;)V", {jObj(str(kUpTime16))});
  } else if (cls == kCacheEntry) {
    o = host_.newObject(cls, "(Ljava/lang/String;Ljava/lang/String;JJILjava/lang/String;Ljava/lang/String;)V",
                        {jObj(str(u"http://velaro-sweep.invalid/entry")), jObj(nullptr), jLong(0), jLong(0),
                         jInt(1 /* NORMAL_CACHE_ENTRY */), jObj(str(u"HTTP/1.1 200 OK\r\n\r\n")), jObj(nullptr)});
  }
  if (o == nullptr || h == Hostile::None) return o;
  const jstring value = h == Hostile::Null ? nullptr : h == Hostile::Empty ? empty_ : longText_;
  for (const std::string& field : stringFields(cls)) host_.setField(o, field, jObj(value));
  return o;
}

std::pair<jlong, std::function<void()>> World::openHandle(Kind kind) {
  auto value = [](const void* h) { return reinterpret_cast<jlong>(h); };
  switch (kind) {
    case Kind::Process: {
      HANDLE h = nullptr;
      DuplicateHandle(GetCurrentProcess(), endedChild_, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS);
      return {value(h), [h] { CloseHandle(h); }};
    }
    case Kind::Token: {
      HANDLE h = nullptr;
      OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &h);
      return {value(h), [h] { CloseHandle(h); }};
    }
    case Kind::Key: {
      HKEY h = nullptr;
      RegOpenKeyExW(HKEY_CURRENT_USER, scratchKey_.c_str(), 0, KEY_ALL_ACCESS, &h);
      return {value(h), [h] { RegCloseKey(h); }};
    }
    case Kind::Root:
      return {kCurrentUser, nullptr};
    case Kind::Internet: {
      HINTERNET h = InternetOpenW(L"velaro-sweep", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
      return {value(h), [h] { InternetCloseHandle(h); }};
    }
    case Kind::Desktop: {
      const std::wstring name = L"velaro-sweep-" + std::to_wstring(serial_);
      HDESK h = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
      return {value(h), [h] { CloseDesktop(h); }};
    }
    case Kind::Station: {
      HWINSTA h = OpenWindowStationW(L"WinSta0", FALSE, WINSTA_ALL_ACCESS);
      return {value(h), [h] { CloseWindowStation(h); }};
    }
    case Kind::Query: {
      PDH_HQUERY h = nullptr;
      PdhOpenQueryW(nullptr, 0, &h);
      return {value(h), [h] { PdhCloseQuery(h); }};
    }
    case Kind::Counter: {
      PDH_HQUERY query = nullptr;
      PDH_HCOUNTER counter = nullptr;
      PdhOpenQueryW(nullptr, 0, &query);
      PdhAddCounterW(query, kUpTime, 0, &counter);
      PdhCollectQueryData(query);
      return {value(counter), [query] { PdhCloseQuery(query); }};
    }
    default:
      return {0, nullptr};
  }
}

// A value that named a handle of the kind a moment ago: opened and closed again,
// right before the call, so that nothing opened since can have taken it over.
jlong World::staleHandle(Kind kind) {
  // A predefined key is never closed: a key of its own stands in for it.
  auto [value, release] = openHandle(kind == Kind::Root ? Kind::Key : kind);
  if (release) release();
  return value;
}

void World::makeValue(const Param& p, const std::string& cls, Hostile h, bool isReceiver, Held& held, jvalue& out) {
  using H = Hostile;
  out = jVoid();
  if (h == H::Null && p.kind != Kind::Fields && p.kind != Kind::CounterInfo) return;
  switch (p.kind) {
    case Kind::Class:
      out = jObj(host_.findClass(cls));
      return;
    case Kind::Size:
    case Kind::Number:
    case Kind::Long: {
      jlong v = p.number == kOwnProcessId ? static_cast<jlong>(GetCurrentProcessId()) : p.number;
      if (h == H::Zero) v = 0;
      if (h == H::MinusOne) v = -1;
      if (h == H::MinInt) v = INT_MIN;
      if (h == H::MaxInt) v = INT_MAX;
      out = p.kind == Kind::Long ? jLong(v) : jInt(static_cast<jint>(v));
      return;
    }
    case Kind::Bool:
      out = jBool(p.number != 0);
      return;
    case Kind::Text:
      out = jObj(h == H::Empty ? empty_ : h == H::LongText ? longText_ : textValue(p.text));
      return;
    case Kind::Password: {
      std::vector<jchar> chars = {u'x', u'y', 0};
      if (h == H::Empty) chars.clear();
      if (h == H::Short) chars.pop_back();
      out = jObj(host_.newArray<jchar>(chars));
      return;
    }
    case Kind::Bytes: {
      size_t n = static_cast<size_t>(p.number);
      if (h == H::Empty) n = 0;
      if (h == H::Short) n -= 1;
      out = jObj(host_.newArray<jbyte>(std::vector<jbyte>(n, 0)));
      return;
    }
    case Kind::Texts: {
      std::vector<jobject> items = {str(u"a"), str(u"b")};
      if (h == H::Empty) items.clear();
      if (h == H::NullElement) items[1] = nullptr;
      out = jObj(host_.newObjectArray("java/lang/String", items));
      return;
    }
    case Kind::Options: {
      auto option = [&](jint code, jobject value, const char* type) {
        jobject o =
            host_.newObject(kConnectionOption, "(ILjava/lang/Class;)V", {jInt(code), jObj(host_.findClass(type))});
        host_.setField(o, "_value", jObj(value));
        return o;
      };
      std::vector<jobject> items = {option(1 /* FLAGS */, host_.newInteger(1), "java/lang/Integer"),
                                    option(2 /* PROXY_SERVER */, str(u"proxy.invalid:80"), "java/lang/String")};
      if (h == H::Empty) items.clear();
      if (h == H::NullElement) items[1] = nullptr;
      if (h == H::WrongType) {
        items[1] = option(1, host_.newObject("java/lang/Long", "(J)V", {jLong(1)}), "java/lang/Long");
      }
      out = jObj(host_.newObjectArray(kConnectionOption, items));
      return;
    }
    case Kind::Object:
      out = jObj(newInstance(p.cls));
      return;
    case Kind::Sink: {
      if (h == H::WrongType) {
        out = jObj(str(u"not a collection"));
      } else if (std::strcmp(p.cls, "java/util/Iterator") == 0) {
        jobject list = host_.newObject("java/util/ArrayList");
        for (jobject item : {jobject{str(u"a")}, h == H::NullElement ? nullptr : jobject{str(u"b")}}) {
          host_.invoke(list, "add", "(Ljava/lang/Object;)Z", {jObj(item)});
        }
        out = host_.invoke(list, "iterator", "()Ljava/util/Iterator;");
      } else {
        out = jObj(host_.newObject(p.cls));
      }
      return;
    }
    case Kind::Startup: {
      jobject o = host_.newObject(kStartupInfo);
      if (h == H::HostileFields) {
        host_.setField(o, "desktop", jObj(longText_));
        host_.setField(o, "title", jObj(empty_));
        host_.setField(o, "dwFlags", jInt(0x101 /* STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW */));
        host_.setField(o, "stdInput", jObj(newInstance(kWindowsHandle)));
        host_.setField(host_.field(o, "stdInput").l, "_handle", jLong(-1));
        jobject closed = newInstance(kWindowsHandle);
        host_.setField(o, "stdOutput", jObj(closed));
        held.late.push_back([this, closed] { host_.setField(closed, "_handle", jLong(staleHandle(Kind::Process))); });
      }
      out = jObj(o);
      return;
    }
    case Kind::Buffer: {
      const auto n = static_cast<size_t>(p.number);
      out = jObj(h == H::NotDirect ? host_.newObject("java/nio/HeapByteBuffer")
                                   : directBuffer(h == H::Short ? n - 1 : n, held));
      return;
    }
    case Kind::Inet4:
    case Kind::Inet6: {
      const bool six = p.kind == Kind::Inet6;
      std::vector<jbyte> bytes(six ? 16 : 4, 0);
      bytes[0] = six ? 0 : 127;
      bytes.back() = 1;
      if (h == H::Short) bytes.pop_back();
      out = jObj(tcpestatstest::newInetAddress(host_, six ? tcpestatstest::kInet6Address : tcpestatstest::kInet4Address,
                                               h == H::NullBytes ? std::nullopt : std::optional(bytes)));
      return;
    }
    case Kind::Fields:
      out = jObj(makeFieldsObject(cls, h));
      return;
    case Kind::CounterInfo: {
      jobject o = host_.newObject(kCounterInfo);
      if (h != H::Null) host_.setField(o, "_path", jObj(host_.newObject(kCounterPath)));
      out = jObj(o);
      return;
    }
    default:
      break;
  }
  // A handle: in a long argument, or in the "_handle" field of an object.
  jobject holder = nullptr;
  if (!p.asLong) {
    holder = newInstance(p.cls != nullptr ? p.cls : cls);
    if (p.kind == Kind::Counter) host_.setField(holder, "_counter_path", jObj(str(kUpTime16)));
  }
  auto store = [this, holder, &out](jlong v) {
    if (holder != nullptr) {
      host_.setField(holder, "_handle", jLong(v));
    } else {
      out = jLong(v);
    }
  };
  if (h == H::Zero || h == H::MinusOne) {
    store(h == H::Zero ? 0 : -1);
  } else if (h == H::Closed) {
    const Kind kind = p.kind;
    held.late.push_back([store, kind, this] { store(staleHandle(kind)); });
  } else {
    auto [value, release] = openHandle(p.kind);
    store(value);
    if (release) (isReceiver ? held.receiverRelease : held.releases.emplace_back()) = release;
  }
  if (holder != nullptr) out = jObj(holder);
}

void World::releaseResult(const Call& call, jobject result) {
  if (result == nullptr) return;
  const std::string cls = host_.className(result);
  const bool borrowed = (call.recipe->effects & kResultBorrowed) != 0;
  if (cls == "java/lang/String") {
    if (std::strcmp(call.recipe->name, "createUrlCacheEntry") == 0) {
      const std::u16string file = host_.str(result);
      DeleteFileW(std::wstring(file.begin(), file.end()).c_str());
    }
    return;
  }
  if (!host_.isInstanceOf(result, kWindowsHandle) && cls != kWindowsProcess) return;
  const auto handle = reinterpret_cast<HANDLE>(host_.field(result, "_handle").j);
  if (handle == nullptr || borrowed) return;
  if (cls == kWindowsProcess) {
    if (handle == GetCurrentProcess()) return;
    if (GetProcessId(handle) != GetCurrentProcessId()) {
      DebugActiveProcessStop(GetProcessId(handle));
      TerminateProcess(handle, 0);
      WaitForSingleObject(handle, 5000);
    }
    CloseHandle(handle);
  } else if (cls == "com/corvantis/windows/registry/RegistryKey") {
    RegCloseKey(static_cast<HKEY>(handle));
  } else if (cls == "com/corvantis/windows/ui/Desktop") {
    CloseDesktop(static_cast<HDESK>(handle));
  } else if (cls == "com/corvantis/windows/ui/WindowStation") {
    CloseWindowStation(static_cast<HWINSTA>(handle));
  } else {
    CloseHandle(handle);  // AccessToken, UserToken
  }
}

Outcome World::run(const Call& call) {
  Outcome outcome;
  const Recipe& r = *call.recipe;
  void* fn = reinterpret_cast<void*>(GetProcAddress(library_.module, call.native->symbol));
  if (fn == nullptr) {
    outcome.kind = "missing export";
    outcome.faults.push_back(std::string("the library does not export ") + call.native->symbol);
    return outcome;
  }
  ++serial_;
  Held held;
  const std::vector<std::string> types = jarmodel::parameterTypes(r.sig);
  jvalue receiverValue = jVoid();
  jobject receiver = nullptr;
  if (call.native->isStatic) {
    receiver = host_.findClass(r.cls);
  } else {
    makeValue(r.receiver, r.receiver.cls != nullptr ? r.receiver.cls : r.cls,
              call.position == 0 ? call.hostile : Hostile::None, true, held, receiverValue);
    receiver = receiverValue.l;
  }
  std::vector<jvalue> args(r.params.size());
  for (size_t i = 0; i < r.params.size(); ++i) {
    makeValue(r.params[i], classOf(types[i]), call.position == static_cast<int>(i) + 1 ? call.hostile : Hostile::None,
              false, held, args[i]);
  }
  for (const auto& make : held.late) make();
  const bool holdsHandle = !call.native->isStatic && isHandleKind(r.receiver.kind);
  const jlong handleBefore = holdsHandle || (r.effects & kOpensReceiver) ? host_.field(receiver, "_handle").j : 0;

  if (r.effects & kWaits) SetEvent(jvmstub_interruptEvent());
  const size_t before = host_.violations().size();
  const jvalue result = host_.callDynamic(fn, r.sig, receiver, args);
  if (r.effects & kWaits) ResetEvent(jvmstub_interruptEvent());
  if (r.effects & kImpersonates) RevertToSelf();
  if (r.effects & kSetsThreadDesktop) SetThreadDesktop(threadDesktop_);

  const bool raised = host_.exceptionPending();
  outcome.kind = raised ? host_.exceptionClass() : "returned normally";
  if (raised) host_.clearException();
  const std::vector<std::string>& found = host_.violations();
  outcome.faults.assign(found.begin() + static_cast<std::ptrdiff_t>(before), found.end());
  host_.clearViolations();
  if (isLinkageError(outcome.kind) && call.hostile != Hostile::WrongType) {
    outcome.faults.push_back("a lookup of the native failed: " + outcome.kind);
  }

  // What the call opened.
  const char ret = std::strchr(r.sig, ')')[1];
  if (ret == 'L' || ret == '[') releaseResult(call, result.l);
  if (r.effects & kOpensReceiver) {
    const auto now = reinterpret_cast<HANDLE>(host_.field(receiver, "_handle").j);
    if (now != nullptr && reinterpret_cast<jlong>(now) != handleBefore) {
      if (r.receiver.kind == Kind::Query) {
        PdhCloseQuery(now);
      } else {
        PdhRemoveCounter(now);
      }
    }
  }
  if (std::strcmp(r.name, "commit") == 0) {
    if (jobject url = host_.field(receiver, "_url").l) {
      const std::u16string text = host_.str(url);
      DeleteUrlCacheEntryW(std::wstring(text.begin(), text.end()).c_str());
    }
  }
  // What the sweep opened for it.
  const bool closedByCall = (r.effects & kClosesReceiver) != 0 && !raised;
  if (held.receiverRelease && !closedByCall) held.receiverRelease();
  for (auto it = held.releases.rbegin(); it != held.releases.rend(); ++it) {
    if (*it) (*it)();
  }
  return outcome;
}

}  // namespace sweep
