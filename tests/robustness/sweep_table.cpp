#include "sweep_table.h"

#include <cstring>

namespace sweep {
namespace {

// Valid values, named by what they are.
Param cls() { return Param{Kind::Class}; }
Param size(jlong n) { return Param{Kind::Size, n}; }
Param num(jlong n) { return Param{Kind::Number, n}; }
Param lng(jlong n) { return Param{Kind::Long, n}; }
Param flag(bool b) { return Param{Kind::Bool, b ? 1 : 0}; }
Param text(const char16_t* t) { return Param{Kind::Text, 0, t}; }
Param nullText() { return Param{Kind::Text}; }
Param password() { return Param{Kind::Password}; }
Param bytes(jlong n) { return Param{Kind::Bytes, n}; }
Param texts() { return Param{Kind::Texts}; }
Param options() { return Param{Kind::Options}; }
Param object(const char* c) { return Param{Kind::Object, 0, nullptr, c}; }
Param sink(const char* c) { return Param{Kind::Sink, 0, nullptr, c}; }
Param startup() { return Param{Kind::Startup}; }
Param buffer(jlong n) { return Param{Kind::Buffer, n}; }
Param inet4() { return Param{Kind::Inet4}; }
Param inet6() { return Param{Kind::Inet6}; }
Param fields() { return Param{Kind::Fields}; }
Param counterInfo() { return Param{Kind::CounterInfo}; }
Param handle(Kind k, const char* c = nullptr) { return Param{k, 0, nullptr, c}; }
Param handleLong(Kind k) {
  Param p{k};
  p.asLong = true;
  return p;
}

constexpr jlong kGenericRead = static_cast<jlong>(static_cast<jint>(0x80000000));
constexpr jlong kGenericAll = 0x10000000;
constexpr jlong kKeyRead = 0x20019;
constexpr jlong kKeyAllAccess = 0xF003F;
constexpr jlong kTokenQuery = 0x8;
constexpr jlong kNormalPriority = 0x20;
constexpr jlong kCdsTest = 0x2;
constexpr jlong kPerfDetailNovice = 100;
constexpr jlong kPdhFmtLarge = 0x400;
constexpr jlong kTcpStateEstablished = 5;
constexpr jlong kEstatsData = 1;  // TcpConnectionEstatsData

const char* const kDesktop = "com/corvantis/windows/ui/Desktop";
const char* const kArrayList = "java/util/ArrayList";
const char* const kDeviceMode = "com/corvantis/windows/ui/devicecontext/DeviceMode";

std::vector<Recipe> build() {
  const char* const wsys = "com/quillstone/velaro/server/WindowsSystem";
  const char* const xp = "com/quillstone/velaro/server/XPSystem";
  const char* const proc = "com/corvantis/process/WindowsProcess";
  const char* const wh = "com/corvantis/windows/WindowsHandle";
  const char* const token = "com/corvantis/windows/security/UserToken";
  const char* const path = "com/corvantis/monitoring/windows/WindowsCounterPath";
  const char* const query = "com/corvantis/monitoring/windows/PerformanceQuery";
  const char* const counter = "com/corvantis/monitoring/windows/WindowsPerformanceCounter";
  const char* const info = "com/corvantis/monitoring/windows/PerformanceCounterInfo";
  const char* const monitor = "com/corvantis/monitoring/windows/WindowsMonitor";
  const char* const pool = "com/corvantis/monitoring/windows/WindowsMonitorPool";
  const char* const inet = "com/corvantis/windows/inet/InternetHandle";
  const char* const ie = "com/quillstone/browser/InternetExplorer";
  const char* const cache = "com/corvantis/windows/inet/InetCache";
  const char* const entry = "com/corvantis/windows/inet/CacheEntry";
  const char* const ras = "com/corvantis/windows/ras/RasSupport";
  const char* const rasEntry = "com/corvantis/windows/ras/RasEntry";
  const char* const key = "com/corvantis/windows/registry/RegistryKey";
  const char* const root = "com/corvantis/windows/registry/RegistryRoot";
  const char* const ui = "com/corvantis/windows/ui/WindowsUISupport";
  const char* const container = "com/corvantis/windows/ui/AbstractUserInterfaceContainerObject";
  const char* const station = "com/corvantis/windows/ui/WindowStation";
  const char* const tcp = "com/quillstone/velaro/server/VistaNetworkingSupport";

  const Param process = handle(Kind::Process);
  const Param regKey = handle(Kind::Key);
  const Param internet = handle(Kind::Internet);
  const Param desktop = handle(Kind::Desktop, kDesktop);
  const char16_t* const url = u"http://velaro-sweep.invalid/entry";

  std::vector<Recipe> r = {
      // Processes and logon.
      {wsys, "getCurrentProcess", "()Lcom/corvantis/process/WindowsProcess;", cls(), {}, kResultBorrowed},
      {wsys,
       "getProcessById",
       "(II)Lcom/corvantis/process/WindowsProcess;",
       cls(),
       {num(kOwnProcessId), num(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */)}},
      {wsys, "getCommandLine", "()Ljava/lang/String;", cls(), {}},
      {wsys, "parseCommandLineArguments", "(Ljava/lang/String;)[Ljava/lang/String;", cls(), {text(u"a \"b c\" d")}},
      {wsys, "getProcessorCount", "()I", cls(), {}},
      {wsys,
       "expandEnvironmentString",
       "(Ljava/lang/String;)Ljava/lang/String;",
       cls(),
       {text(u"%SystemRoot%\\velaro")}},
      {wsys,
       "CreateProcess",
       "(Ljava/lang/String;Ljava/lang/String;ZILjava/lang/String;Ljava/lang/String;"
       "Lcom/corvantis/windows/process/StartupInfo;)Lcom/corvantis/process/WindowsProcess;",
       cls(),
       {nullText(), text(kChildCommand), flag(false), num(0), nullText(), nullText(), startup()}},
      {wsys,
       "CreateProcessWithLogon",
       "(Ljava/lang/String;Ljava/lang/String;[CILjava/lang/String;Ljava/lang/String;ILjava/lang/String;"
       "Ljava/lang/String;Lcom/corvantis/windows/process/StartupInfo;)Lcom/corvantis/process/WindowsProcess;",
       cls(),
       {text(u"nobody"), text(u"."), password(), num(0), nullText(), text(kChildCommand), num(0), nullText(),
        nullText(), startup()}},
      {proc, "waitFor", "()I", process, {}, kWaits},
      {proc, "exitValue", "()I", process, {}},
      {proc, "destroy", "()V", process, {}},
      {proc, "close", "()V", process, {}, kClosesReceiver},
      {proc, "getCpuTime", "()J", process, {}},
      {proc, "setPriorityClassId", "(I)V", process, {num(kNormalPriority)}},
      {proc, "getPriorityClassId", "()I", process, {}},
      {proc, "getAccessToken", "(I)Lcom/corvantis/windows/security/AccessToken;", process, {num(kTokenQuery)}},
      {wh, "close", "()V", handle(Kind::Token), {}, kClosesReceiver},
      {xp, "getSystemIdleTime", "()J", cls(), {}},
      {xp,
       "logonUser",
       "(Ljava/lang/String;Ljava/lang/String;[CII)Lcom/corvantis/windows/security/UserToken;",
       cls(),
       {text(u"nobody"), text(u"."), password(), num(2), num(0)}},
      {token, "impersonateLoggedOnUser", "()V", handle(Kind::Token), {}, kImpersonates},
      {token, "revertToSelf", "()V", cls(), {}},

      // Performance counters.
      {path, "crack", "(Ljava/lang/String;)V", fields(), {text(u"\\\\host\\Process(svchost/thread#3)\\Handles")}},
      {path, "resolveCounterPath", "(I)Ljava/lang/String;", fields(), {num(0)}},
      {path, "expandWildCardPath", "(II)Ljava/util/ArrayList;", fields(), {num(0), num(0)}},
      {path, "expandWildCardPath", "(Ljava/lang/String;I)Ljava/util/ArrayList;", cls(), {text(u"\\System\\*"), num(0)}},
      {path, "lookupName", "(Ljava/lang/String;I)Ljava/lang/String;", cls(), {nullText(), size(2)}},
      {path, "rawLookupPerfIndex", "(Ljava/lang/String;Ljava/lang/String;)I", cls(), {nullText(), text(u"System")}},
      {query, "openHandle", "()V", handle(Kind::Query), {}, kOpensReceiver},
      {query, "closeHandle", "()V", handle(Kind::Query), {}, kClosesReceiver},
      {query, "updateCounters", "(J)V", cls(), {handleLong(Kind::Query)}},
      {counter, "createHandle", "(J)V", fields(), {handleLong(Kind::Query)}, kOpensReceiver},
      {counter, "close", "()V", handle(Kind::Counter), {}, kClosesReceiver},
      {counter, "setScaleFactor", "(I)V", handle(Kind::Counter), {num(1)}},
      {counter,
       "storeValueInBuffer",
       "(JIILjava/nio/ByteBuffer;)V",
       cls(),
       {handleLong(Kind::Counter), num(kPdhFmtLarge), size(0), buffer(8)}},
      {info,
       "loadParameters",
       "(Lcom/corvantis/monitoring/windows/WindowsPerformanceCounter;Z)V",
       counterInfo(),
       {handle(Kind::Counter), flag(true)}},
      {monitor, "checkConnect", "(Ljava/lang/String;)V", cls(), {nullText()}},
      {monitor,
       "getAvailableObjects",
       "(Ljava/lang/String;IZ)Ljava/util/ArrayList;",
       cls(),
       {nullText(), num(kPerfDetailNovice), flag(false)}},
      {monitor,
       "getAvailableObjectItems",
       "(Ljava/lang/String;Ljava/lang/String;Ljava/util/Collection;I)Ljava/util/ArrayList;",
       cls(),
       {nullText(), text(u"System"), sink(kArrayList), num(kPerfDetailNovice)}},
      {pool, "getPdhVersion", "()I", cls(), {}},

      // Internet settings and URL cache.
      {inet, "close", "()V", internet, {}, kClosesReceiver},
      {inet, "getIntOption", "(I)I", internet, {num(2 /* CONNECT_TIMEOUT */)}},
      {inet, "getLongOption", "(I)J", internet, {num(40 /* VERSION */)}},
      {inet, "setOption", "(I)V", internet, {num(37 /* REFRESH */)}},
      {inet, "setOption", "(II)V", internet, {num(2 /* CONNECT_TIMEOUT */), num(60000)}},
      {inet, "setOption", "(ILjava/lang/String;)V", internet, {num(41 /* USER_AGENT */), text(u"velaro-sweep")}},
      {inet,
       "queryConnectionOptions",
       "(Ljava/lang/String;[Lcom/quillstone/browser/ConnectionOption;)V",
       internet,
       {nullText(), options()}},
      {inet,
       "setConnectionOptions",
       "(Ljava/lang/String;[Lcom/quillstone/browser/ConnectionOption;)V",
       internet,
       {nullText(), options()}},
      {ie, "detectAutoProxyUrl", "(II)Ljava/lang/String;", cls(), {size(256), num(3)}},
      {cache, "clearCache", "(Ljava/lang/String;I)I", cls(), {text(u"http://velaro-sweep.invalid/"), num(0x10001)}},
      {cache, "deleteEntry", "(Ljava/lang/String;)Z", cls(), {text(u"http://velaro-sweep.invalid/doomed")}},
      {cache,
       "createUrlCacheEntry",
       "(Ljava/lang/String;ILjava/lang/String;)Ljava/lang/String;",
       cls(),
       {text(url), size(6000), text(u"txt")}},
      {entry, "commit", "()V", fields(), {}},

      // Dial-up entries.
      {ras,
       "getEntryNamesByPath",
       "(Ljava/lang/String;)[Lcom/corvantis/windows/ras/RasEntryName;",
       cls(),
       {nullText()}},
      {ras, "getActiveConnections", "()[Lcom/corvantis/windows/ras/RasConnection;", cls(), {}},
      {ras,
       "getEntryProperties",
       "(Ljava/lang/String;Ljava/lang/String;)Lcom/corvantis/windows/ras/RasEntry;",
       cls(),
       {nullText(), text(u"VelaroSweep")}},

      // Registry.
      {key, "getStringValue", "(Ljava/lang/String;)Ljava/lang/String;", regKey, {text(u"text")}},
      {key, "getExpandableStringValue", "(Ljava/lang/String;)Ljava/lang/String;", regKey, {text(u"expandable")}},
      {key, "resolveStringValue", "(Ljava/lang/String;)Ljava/lang/String;", regKey, {text(u"expandable")}},
      {key, "setStringValue", "(Ljava/lang/String;Ljava/lang/String;)V", regKey, {text(u"written"), text(u"value")}},
      {key,
       "setExpandableStringValue",
       "(Ljava/lang/String;Ljava/lang/String;)V",
       regKey,
       {text(u"written"), text(u"%SystemRoot%")}},
      {key,
       "addMultiStringValuesTo",
       "(Ljava/lang/String;Ljava/util/Collection;)Z",
       regKey,
       {text(u"multi"), sink(kArrayList)}},
      {key,
       "setMultiStringValue",
       "(Ljava/lang/String;Ljava/util/Iterator;)V",
       regKey,
       {text(u"written"), sink("java/util/Iterator")}},
      {key, "setMultiStringValue", "(Ljava/lang/String;[Ljava/lang/String;)V", regKey, {text(u"written"), texts()}},
      {key, "getIntValue", "(Ljava/lang/String;)I", regKey, {text(u"int")}},
      {key, "setIntValue", "(Ljava/lang/String;I)V", regKey, {text(u"written"), num(7)}},
      {key, "getLongValue", "(Ljava/lang/String;)J", regKey, {text(u"long")}},
      {key, "setLongValue", "(Ljava/lang/String;J)V", regKey, {text(u"written"), lng(7)}},
      {key, "getBinaryValue", "(Ljava/lang/String;)[B", regKey, {text(u"binary")}},
      {key, "setBinaryValue", "(Ljava/lang/String;[B)V", regKey, {text(u"written"), bytes(16)}},
      {key, "deleteValue", "(Ljava/lang/String;)Z", regKey, {text(u"doomed")}},
      {key, "getNumberValues", "()I", regKey, {}},
      {key, "flush", "()V", regKey, {}},
      {key,
       "openSubKey",
       "(Ljava/lang/String;I)Lcom/corvantis/windows/registry/RegistryKey;",
       regKey,
       {text(u"sub"), num(kKeyRead)}},
      {key,
       "createAndGetSubKey",
       "(Ljava/lang/String;ZI)Lcom/corvantis/windows/registry/RegistryKey;",
       regKey,
       {text(u"created"), flag(true), num(kKeyAllAccess)}},
      {key, "deleteSubKey", "(Ljava/lang/String;)Z", regKey, {text(u"doomed")}},
      {key, "addAvailableSubKeys", "(Ljava/util/Collection;)Z", regKey, {sink(kArrayList)}},
      {key, "addAvailableValues", "(Ljava/util/Map;)V", regKey, {sink("java/util/HashMap")}},
      {key, "getNumberSubKeys", "()I", regKey, {}},
      {key, "getLastWriteTime", "()J", regKey, {}},
      {key, "saveToFile", "(Ljava/lang/String;)V", regKey, {text(kScratchFile)}},
      {key, "close", "()V", regKey, {}, kClosesReceiver},
      {root, "openRegistryCurrentUser", "(I)Lcom/corvantis/windows/registry/RegistryKey;", cls(), {num(kKeyRead)}},
      {root,
       "openRegistryUserClassesRoot",
       "(Lcom/corvantis/windows/WindowsHandle;I)Lcom/corvantis/windows/registry/RegistryKey;",
       cls(),
       {handle(Kind::Token), num(kKeyRead)}},
      {root,
       "connectRemoteKey",
       "(Ljava/lang/String;)Lcom/corvantis/windows/registry/RegistryKey;",
       handle(Kind::Root),
       {nullText()}},

      // Window stations, desktops and display.
      {ui,
       "openInputDesktop",
       "(IZI)Lcom/corvantis/windows/ui/Desktop;",
       cls(),
       {num(0), flag(false), num(kGenericRead)}},
      {ui, "getCurrentThreadDesktop", "()Lcom/corvantis/windows/ui/Desktop;", cls(), {}, kResultBorrowed},
      {ui,
       "createDesktop",
       "(Ljava/lang/String;II)Lcom/corvantis/windows/ui/Desktop;",
       cls(),
       {text(u"velaro-sweep"), num(0), num(kGenericAll)}},
      {ui, "getProcessWindowStation", "()Lcom/corvantis/windows/ui/WindowStation;", cls(), {}, kResultBorrowed},
      {ui, "getWindowStations", "()Ljava/util/ArrayList;", cls(), {}},
      {ui,
       "openWindowStation",
       "(Ljava/lang/String;ZI)Lcom/corvantis/windows/ui/WindowStation;",
       cls(),
       {text(u"WinSta0"), flag(false), num(kGenericRead)}},
      {ui,
       "getDisplayDevice",
       "(Ljava/lang/String;II)Lcom/corvantis/windows/ui/devicecontext/DisplayDevice;",
       cls(),
       {nullText(), size(0), num(0)}},
      {ui,
       "changeDisplaySettings",
       "(Lcom/corvantis/windows/ui/devicecontext/DeviceMode;I)V",
       cls(),
       {object(kDeviceMode), num(kCdsTest)}},
      {ui,
       "changeDisplaySettings",
       "(Ljava/lang/String;Lcom/corvantis/windows/ui/devicecontext/DeviceMode;I)V",
       cls(),
       {nullText(), object(kDeviceMode), num(kCdsTest)}},
      {kDesktop, "close", "()V", desktop, {}, kClosesReceiver},
      {kDesktop, "switchDesktop", "()V", desktop, {}},
      {kDesktop, "setThreadDesktop", "()V", desktop, {}, kSetsThreadDesktop},
      {station, "close", "()V", handle(Kind::Station), {}, kClosesReceiver},
      {station, "getDesktops", "()Ljava/util/ArrayList;", handle(Kind::Station), {}},
      {container, "getUserInformation", "(I)[B", desktop, {size(2 /* UOI_NAME */)}},
      {container, "clearDacl", "()V", desktop, {}},

      // TCP statistics.
      {tcp,
       "getPerTcpConnectionEStats",
       "(ILjava/net/Inet4Address;ILjava/net/Inet4Address;II[BI[BI[BI)V",
       cls(),
       {num(kTcpStateEstablished), inet4(), num(80), inet4(), num(8080), num(kEstatsData), bytes(8), num(0), bytes(8),
        num(0), bytes(72), num(0)}},
      {tcp,
       "getPerTcpConnectionEStats",
       "(ILjava/net/Inet6Address;ILjava/net/Inet6Address;II[BI[BI[BI)V",
       cls(),
       {num(kTcpStateEstablished), inet6(), num(80), inet6(), num(8080), num(kEstatsData), bytes(8), num(0), bytes(8),
        num(0), bytes(72), num(0)}},
      {tcp,
       "setPerTcpConnectionEStats",
       "(ILjava/net/Inet4Address;ILjava/net/Inet4Address;II[BI)V",
       cls(),
       {num(kTcpStateEstablished), inet4(), num(80), inet4(), num(8080), num(kEstatsData), bytes(8), num(0)}},
      {tcp,
       "setPerTcpConnectionEStats",
       "(ILjava/net/Inet6Address;ILjava/net/Inet6Address;II[BI)V",
       cls(),
       {num(kTcpStateEstablished), inet6(), num(80), inet6(), num(8080), num(kEstatsData), bytes(8), num(0)}},
      {tcp, "TCP_ESTATS_REC_ROD_V0_sizeof", "()I", cls(), {}},
      {tcp, "TCP_ESTATS_OBS_REC_ROD_V0_sizeof", "()I", cls(), {}},
  };
  for (const char* limit :
       {"MAX_PATH", "RAS_MaxAreaCode", "RAS_MaxPhoneNumber", "RAS_MaxDeviceType", "RAS_MaxDeviceName", "RAS_MaxPadType",
        "RAS_MaxX25Address", "RAS_MaxFacilities", "RAS_MaxUserData"}) {
    r.push_back(Recipe{rasEntry, limit, "()I", cls(), {}});
  }
  return r;
}

}  // namespace

const std::vector<Recipe>& recipes() {
  static const std::vector<Recipe> table = build();
  return table;
}

const Recipe* recipeFor(const jarmodel::JarNative& native) {
  for (const Recipe& r : recipes()) {
    if (std::strcmp(r.cls, native.cls) == 0 && std::strcmp(r.name, native.name) == 0 &&
        std::strcmp(r.sig, native.sig) == 0) {
      return &r;
    }
  }
  return nullptr;
}

const char* describe(Hostile h) {
  switch (h) {
    case Hostile::None:
      return "valid values";
    case Hostile::Null:
      return "null";
    case Hostile::Zero:
      return "0";
    case Hostile::MinusOne:
      return "-1";
    case Hostile::MinInt:
      return "MIN_VALUE";
    case Hostile::MaxInt:
      return "MAX_VALUE";
    case Hostile::Closed:
      return "a closed handle";
    case Hostile::Empty:
      return "empty";
    case Hostile::LongText:
      return "32767 characters";
    case Hostile::Short:
      return "one element short";
    case Hostile::NullElement:
      return "a null element";
    case Hostile::WrongType:
      return "an object of another type";
    case Hostile::NotDirect:
      return "a buffer that is not direct";
    case Hostile::NullBytes:
      return "address bytes null";
    case Hostile::HostileFields:
      return "hostile fields";
  }
  return "?";
}

std::vector<Hostile> hostileValues(const Param& p, bool isReceiver) {
  using H = Hostile;
  std::vector<H> v;
  switch (p.kind) {
    case Kind::Class:
    case Kind::Bool:
      break;
    case Kind::Size:
      v = {H::Zero, H::MinusOne, H::MinInt, H::MaxInt};
      break;
    case Kind::Number:
    case Kind::Long:
      v = {H::Zero, H::MinusOne};
      break;
    case Kind::Text:
      v = {H::Null, H::Empty, H::LongText};
      break;
    case Kind::Password:
    case Kind::Bytes:
      v = {H::Null, H::Empty, H::Short};
      break;
    case Kind::Texts:
      v = {H::Null, H::Empty, H::NullElement};
      break;
    case Kind::Options:
      v = {H::Null, H::Empty, H::NullElement, H::WrongType};
      break;
    case Kind::Object:
      v = {H::Null};
      break;
    case Kind::Sink:
      v = {H::Null, H::WrongType};
      if (std::strcmp(p.cls, "java/util/Iterator") == 0) v.push_back(H::NullElement);
      break;
    case Kind::Startup:
      v = {H::Null, H::HostileFields};
      break;
    case Kind::Buffer:
      v = {H::Null, H::NotDirect, H::Short};
      break;
    case Kind::Inet4:
    case Kind::Inet6:
      v = {H::Null, H::NullBytes, H::Short};
      break;
    case Kind::Fields:
      v = {H::Null, H::Empty, H::LongText};
      break;  // applied to its String fields
    case Kind::CounterInfo:
      v = {H::Null};
      break;  // applied to its "_path"
    default:  // handles
      v = {H::Zero, H::MinusOne, H::Closed};
      if (!isReceiver && !p.asLong) v.insert(v.begin(), H::Null);
      break;
  }
  return v;
}

std::vector<Call> callsFor(int library) {
  std::vector<Call> calls;
  for (const jarmodel::JarNative& n : jarmodel::jarNatives()) {
    if ((n.libraries & library) == 0) continue;
    const Recipe* r = recipeFor(n);
    if (r == nullptr) continue;
    calls.push_back(Call{r, &n, -1, Hostile::None});
    if (!n.isStatic) {
      for (Hostile h : hostileValues(r->receiver, true)) calls.push_back(Call{r, &n, 0, h});
    }
    for (size_t i = 0; i < r->params.size(); ++i) {
      for (Hostile h : hostileValues(r->params[i], false)) {
        // A null where the valid value is null already is the call with valid values.
        if (h == Hostile::Null && r->params[i].kind == Kind::Text && r->params[i].text == nullptr) continue;
        calls.push_back(Call{r, &n, static_cast<int>(i) + 1, h});
      }
    }
  }
  return calls;
}

std::string describe(const Call& call) {
  std::string text = std::string(call.recipe->cls) + "." + call.recipe->name + call.recipe->sig;
  if (call.position < 0) return text + " with valid values";
  if (call.position == 0) {
    const Kind k = call.recipe->receiver.kind;
    const char* what = k == Kind::Fields        ? "receiver's String fields"
                       : k == Kind::CounterInfo ? "receiver's _path"
                                                : "receiver's _handle";
    return text + ", " + what + " " + describe(call.hostile);
  }
  return text + ", argument " + std::to_string(call.position) + " " + describe(call.hostile);
}

}  // namespace sweep
