#include "standins.h"

#include <pdh.h>
#include <pdhmsg.h>
#include <wininet.h>

#include <cstring>
#include <string>

#include "harness_scope.h"
#include "pdh_standins.h"

namespace robustness {

using intercept::ActiveInstance;
using intercept::ImportPatch;
using intercept::OnMissing;

struct StandIns::Patches {
  explicit Patches(HMODULE module) : module(module) {}

  // Every import patched, newest last; removed newest first.
  std::vector<std::unique_ptr<ImportPatch>> owned;
  ImportPatch* find(const char* function) const {
    for (const auto& p : owned) {
      if (p->function() == function) return p.get();
    }
    return nullptr;
  }
  template <class Fn>
  Fn* previous(const char* function) const {
    return find(function)->previousAs<Fn>();
  }

  HMODULE module;
  // Answers for the PDH functions Wine lacks: a counter path parsed as PDH does,
  // and short name lists.
  monitoringtest::PdhStandIns pdh;
  ActiveInstance<monitoringtest::PdhStandIns> pdhActive{&pdh};
  ActiveInstance<Patches> active{this};
};

namespace {

using Patches = StandIns::Patches;
Patches& active() { return *ActiveInstance<Patches>::get(); }

// Windows' PDH keeps its queries and counters in lists and answers PDH_INVALID_HANDLE
// for any other value; Wine's reads through the value and faults where it points to
// no memory. So a value that does not point to readable memory is refused here.
bool pointsToMemory(HANDLE handle) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(handle, &region, sizeof region) != sizeof region || region.State != MEM_COMMIT) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                         PAGE_EXECUTE_WRITECOPY;
  const auto end = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
  return (region.Protect & readable) != 0 && (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0 &&
         static_cast<const char*>(handle) + 64 <= end;
}

constexpr PDH_STATUS kPdhInvalidHandle = static_cast<PDH_STATUS>(0xC0000BBC);

PDH_STATUS WINAPI collectQueryData(PDH_HQUERY query) {
  if (!pointsToMemory(query)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhCollectQueryData)>("PdhCollectQueryData")(query);
}

PDH_STATUS WINAPI closeQuery(PDH_HQUERY query) {
  if (!pointsToMemory(query)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhCloseQuery)>("PdhCloseQuery")(query);
}

PDH_STATUS WINAPI addCounter(PDH_HQUERY query, LPCWSTR path, DWORD_PTR user, PDH_HCOUNTER* counter) {
  if (!pointsToMemory(query)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhAddCounterW)>("PdhAddCounterW")(query, path, user, counter);
}

PDH_STATUS WINAPI removeCounter(PDH_HCOUNTER counter) {
  if (!pointsToMemory(counter)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhRemoveCounter)>("PdhRemoveCounter")(counter);
}

PDH_STATUS WINAPI setScaleFactor(PDH_HCOUNTER counter, LONG factor) {
  if (!pointsToMemory(counter)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhSetCounterScaleFactor)>("PdhSetCounterScaleFactor")(counter, factor);
}

PDH_STATUS WINAPI formattedValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type, PDH_FMT_COUNTERVALUE* value) {
  if (!pointsToMemory(counter)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhGetFormattedCounterValue)>("PdhGetFormattedCounterValue")(counter, format, type,
                                                                                                 value);
}

PDH_STATUS WINAPI counterInfo(PDH_HCOUNTER counter, BOOLEAN explain, LPDWORD bytes, PDH_COUNTER_INFO_W* info) {
  if (!pointsToMemory(counter)) return kPdhInvalidHandle;
  return active().previous<decltype(PdhGetCounterInfoW)>("PdhGetCounterInfoW")(counter, explain, bytes, info);
}

// Reads a NUL-terminated string the way Windows does, so that one not terminated
// inside its buffer runs into the guard page behind it.
size_t touchString(LPCWSTR text) {
  size_t n = 0;
  while (text != nullptr && text[n] != 0) ++n;
  return n;
}

volatile unsigned char sink;

void touchBytes(const void* data, size_t size) {
  auto p = static_cast<const unsigned char*>(data);
  unsigned char sum = 0;
  for (size_t i = 0; i < size; ++i) sum = static_cast<unsigned char>(sum + p[i]);
  sink = sum;
}

// SwitchDesktop makes the desktop the input desktop; this one only checks that it is
// handed a desktop, as Windows does, and leaves the input desktop as it is.
BOOL WINAPI switchDesktop(HDESK desktop) {
  WCHAR type[32] = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(desktop, UOI_TYPE, type, sizeof type, &needed) || lstrcmpiW(type, L"Desktop") != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// ChangeDisplaySettings reads dmSize plus dmDriverExtra bytes of the mode and
// answers DISP_CHANGE_BADMODE for a mode the display cannot take; this one reads
// them, changes nothing, and accepts only a test (CDS_TEST) of a mode.
LONG answerDisplayChange(const DEVMODEW* mode, DWORD flags) {
  if (mode != nullptr) {
    if (mode->dmSize < offsetof(DEVMODEW, dmFields) + sizeof(DWORD)) return DISP_CHANGE_BADMODE;
    touchBytes(mode, static_cast<size_t>(mode->dmSize) + mode->dmDriverExtra);
  }
  return flags == CDS_TEST ? DISP_CHANGE_SUCCESSFUL : DISP_CHANGE_BADMODE;
}

LONG WINAPI changeDisplaySettings(DEVMODEW* mode, DWORD flags) { return answerDisplayChange(mode, flags); }

LONG WINAPI changeDisplaySettingsEx(LPCWSTR device, DEVMODEW* mode, HWND, DWORD flags, LPVOID) {
  touchString(device);
  return answerDisplayChange(mode, flags);
}

bool isStringOption(DWORD option) {
  return option == INTERNET_PER_CONN_PROXY_SERVER || option == INTERNET_PER_CONN_PROXY_BYPASS ||
         option == INTERNET_PER_CONN_AUTOCONFIG_URL || option == INTERNET_PER_CONN_AUTOCONFIG_SECONDARY_URL ||
         option == INTERNET_PER_CONN_AUTOCONFIG_LAST_DETECT_URL;
}

// Setting INTERNET_OPTION_PER_CONNECTION_OPTION writes the proxy settings of the
// machine's user; this one reads the option list as WinInet does (the list, the
// connection name, each option and each string) and keeps the settings as they are.
// Every other option goes to WinInet.
BOOL WINAPI setOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
  if (option != INTERNET_OPTION_PER_CONNECTION_OPTION) {
    return active().previous<decltype(InternetSetOptionW)>("InternetSetOptionW")(handle, option, buffer, length);
  }
  auto list = static_cast<const INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  if (list == nullptr || length < sizeof *list || list->dwSize != sizeof *list) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  touchString(list->pszConnection);
  if (list->dwOptionCount > 0 && list->pOptions == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (DWORD i = 0; i < list->dwOptionCount; ++i) {
    const INTERNET_PER_CONN_OPTIONW& o = list->pOptions[i];
    if (isStringOption(o.dwOption)) touchString(o.Value.pszValue);
  }
  return TRUE;
}

// What Windows refuses before it starts anything, which Wine takes further and
// faults on: no module name at all, a name or command line longer than the 32,767
// characters (with the NUL) a path or command line may have, and an extended
// start-up description whose size is not that of STARTUPINFOEXW. The environment
// block is read up to its double NUL, as Windows reads it.
BOOL WINAPI createProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                          LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                          LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
  if (application == nullptr && commandLine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (touchString(application) >= 32767 || touchString(commandLine) >= 32767) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (environment != nullptr && (flags & CREATE_UNICODE_ENVIRONMENT) != 0) {
    auto block = static_cast<LPCWSTR>(environment);
    while (block[0] != 0 || block[1] != 0) ++block;
  }
  return active().previous<decltype(CreateProcessW)>("CreateProcessW")(
      application, commandLine, process, thread, inherit, flags, environment, directory, startup, information);
}

// Windows builds "\\machine\object(parent/instance#index)\counter" of any length
// (PDH_MORE_DATA with the size needed when the buffer is short); Wine's overruns a
// buffer of its own on long elements. Flags are not looked at.
PDH_STATUS WINAPI makeCounterPath(PDH_COUNTER_PATH_ELEMENTS_W* elements, LPWSTR path, LPDWORD size, DWORD) {
  if (elements == nullptr || size == nullptr || elements->szObjectName == nullptr ||
      elements->szCounterName == nullptr) {
    return static_cast<PDH_STATUS>(PDH_INVALID_ARGUMENT);
  }
  std::wstring text;
  if (elements->szMachineName != nullptr) {
    if (elements->szMachineName[0] != L'\\') text += L"\\\\";
    text += elements->szMachineName;
  }
  text += L"\\";
  text += elements->szObjectName;
  if (elements->szInstanceName != nullptr) {
    text += L"(";
    if (elements->szParentInstance != nullptr) text += std::wstring(elements->szParentInstance) + L"/";
    text += elements->szInstanceName;
    if (elements->dwInstanceIndex != 0) text += L"#" + std::to_wstring(elements->dwInstanceIndex);
    text += L")";
  }
  text += L"\\";
  text += elements->szCounterName;
  const auto needed = static_cast<DWORD>(text.size() + 1);
  if (path == nullptr || *size < needed) {
    *size = needed;
    return static_cast<PDH_STATUS>(PDH_MORE_DATA);
  }
  std::memcpy(path, text.c_str(), needed * sizeof(WCHAR));
  *size = needed;
  return ERROR_SUCCESS;
}

// CreateUrlCacheEntryW hands back a file name of at most MAX_PATH characters; Wine
// writes past the caller's buffer when a long extension makes the name longer. The
// name is made in a buffer of room here; one that does not fit is refused, its file
// removed.
BOOL WINAPI createUrlCacheEntry(LPCWSTR url, DWORD expectedSize, LPCWSTR extension, LPWSTR fileName, DWORD reserved) {
  std::vector<WCHAR> room(touchString(extension) + 2 * MAX_PATH + 64, 0);
  if (!active().previous<decltype(CreateUrlCacheEntryW)>("CreateUrlCacheEntryW")(url, expectedSize, extension,
                                                                                 room.data(), reserved)) {
    return FALSE;
  }
  const size_t length = touchString(room.data());
  if (length > MAX_PATH) {
    DeleteFileW(room.data());
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  std::memcpy(fileName, room.data(), (length + 1) * sizeof(WCHAR));
  return TRUE;
}

// The program's own process is not ended: the call answers as if it had been.
BOOL WINAPI terminateProcess(HANDLE process, UINT code) {
  if (GetProcessId(process) == GetCurrentProcessId()) return TRUE;
  return active().previous<decltype(TerminateProcess)>("TerminateProcess")(process, code);
}

struct Hook {
  const char* dll;
  const char* function;
  void* replacement;
};

template <class F>
void* address(F* f) {
  return reinterpret_cast<void*>(f);
}

}  // namespace

StandIns::StandIns(HMODULE module) : patches_(std::make_unique<Patches>(module)) {
  testsupport::HarnessScope harness;
  monitoringtest::PdhStandIns& pdh = patches_->pdh;
  pdh.expand.paths = {u"\\System\\System Up Time", u"\\System\\Processes"};
  pdh.objects.names = {u"System", u"Processor"};
  pdh.items.counters = {u"System Up Time", u"Processes"};
  pdh.items.instances = std::vector<std::u16string>{u"_Total", u"0"};

  const Hook hooks[] = {
      {"pdh.dll", "PdhCollectQueryData", address(collectQueryData)},
      {"pdh.dll", "PdhCloseQuery", address(closeQuery)},
      {"pdh.dll", "PdhAddCounterW", address(addCounter)},
      {"pdh.dll", "PdhRemoveCounter", address(removeCounter)},
      {"pdh.dll", "PdhSetCounterScaleFactor", address(setScaleFactor)},
      {"pdh.dll", "PdhGetFormattedCounterValue", address(formattedValue)},
      {"pdh.dll", "PdhGetCounterInfoW", address(counterInfo)},
      // Wine aborts the process in the first three and does not implement the others.
      {"pdh.dll", "PdhParseCounterPathW", address(monitoringtest::standInParseCounterPath)},
      {"pdh.dll", "PdhEnumObjectsW", address(monitoringtest::standInEnumObjects)},
      {"pdh.dll", "PdhConnectMachineW", address(monitoringtest::standInConnectMachine)},
      {"pdh.dll", "PdhEnumObjectItemsW", address(monitoringtest::standInEnumObjectItems)},
      {"pdh.dll", "PdhExpandWildCardPathW", address(monitoringtest::standInExpandWildCardPath)},
      {"pdh.dll", "PdhMakeCounterPathW", address(makeCounterPath)},
      {"kernel32.dll", "CreateProcessW", address(createProcess)},
      {"wininet.dll", "CreateUrlCacheEntryW", address(createUrlCacheEntry)},
      {"user32.dll", "SwitchDesktop", address(switchDesktop)},
      {"user32.dll", "ChangeDisplaySettingsW", address(changeDisplaySettings)},
      {"user32.dll", "ChangeDisplaySettingsExW", address(changeDisplaySettingsEx)},
      {"wininet.dll", "InternetSetOptionW", address(setOption)},
      {"kernel32.dll", "TerminateProcess", address(terminateProcess)},
  };
  for (const Hook& h : hooks) {
    auto patch =
        std::make_unique<ImportPatch>(intercept::deferred, module, h.dll, h.function, h.replacement, OnMissing::Skip);
    if (!patch->found()) continue;
    ImportPatch* raw = patch.get();
    patches_->owned.push_back(std::move(patch));
    raw->install();
  }
}

StandIns::~StandIns() {
  testsupport::HarnessScope harness;
  while (!patches_->owned.empty()) patches_->owned.pop_back();
}

}  // namespace robustness
