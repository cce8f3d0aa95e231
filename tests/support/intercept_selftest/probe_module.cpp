#include "probe_module.h"

#include <gtest/gtest.h>

namespace {

template <class Fn>
void bind(HMODULE m, const char* name, Fn& fn, bool& ok) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  if (!fn) {
    ADD_FAILURE() << "intercept_probe.dll does not export " << name;
    ok = false;
  }
}

ProbeModule load() {
  ProbeModule p;
  p.module = LoadLibraryW(L"intercept_probe.dll");
  if (!p.module) {
    ADD_FAILURE() << "LoadLibrary(intercept_probe.dll) failed, error " << GetLastError();
    return p;
  }
  bool ok = true;
  bind(p.module, "probe_getProcessHeap", p.getProcessHeap, ok);
  bind(p.module, "probe_heapAlloc", p.heapAlloc, ok);
  bind(p.module, "probe_heapReAlloc", p.heapReAlloc, ok);
  bind(p.module, "probe_heapFree", p.heapFree, ok);
  bind(p.module, "probe_heapAllocFlags", p.heapAllocFlags, ok);
  bind(p.module, "probe_heapSize", p.heapSize, ok);
  bind(p.module, "probe_heapValidate", p.heapValidate, ok);
  bind(p.module, "probe_heapCreate", p.heapCreate, ok);
  bind(p.module, "probe_heapCreateLimited", p.heapCreateLimited, ok);
  bind(p.module, "probe_heapDestroy", p.heapDestroy, ok);
  bind(p.module, "probe_malloc", p.malloc, ok);
  bind(p.module, "probe_calloc", p.calloc, ok);
  bind(p.module, "probe_realloc", p.realloc, ok);
  bind(p.module, "probe_free", p.free, ok);
  bind(p.module, "probe_msize", p.msize, ok);
  bind(p.module, "probe_localAlloc", p.localAlloc, ok);
  bind(p.module, "probe_localReAlloc", p.localReAlloc, ok);
  bind(p.module, "probe_localFree", p.localFree, ok);
  bind(p.module, "probe_localAllocFlags", p.localAllocFlags, ok);
  bind(p.module, "probe_localSize", p.localSize, ok);
  bind(p.module, "probe_globalAlloc", p.globalAlloc, ok);
  bind(p.module, "probe_globalFree", p.globalFree, ok);
  bind(p.module, "probe_queryConnectionOptions", p.queryConnectionOptions, ok);
  bind(p.module, "probe_formatMessage", p.formatMessage, ok);
  bind(p.module, "probe_commandLineToArgv", p.commandLineToArgv, ok);
  bind(p.module, "probe_regOpenKey", p.regOpenKey, ok);
  bind(p.module, "probe_regCloseKey", p.regCloseKey, ok);
  bind(p.module, "probe_openProcess", p.openProcess, ok);
  bind(p.module, "probe_createEvent", p.createEvent, ok);
  bind(p.module, "probe_duplicateHandle", p.duplicateHandle, ok);
  bind(p.module, "probe_closeHandle", p.closeHandle, ok);
  if (!ok) p.module = nullptr;
  return p;
}

}  // namespace

const ProbeModule& probe() {
  static const ProbeModule loaded = load();
  if (!loaded.module) ADD_FAILURE() << "intercept_probe.dll is not usable";
  return loaded;
}
