#define JVMSTUB_BUILDING
#include "jvmstub.h"

#include <atomic>

namespace {

HANDLE ownEvent = nullptr;
std::atomic<HANDLE> returnedEvent{nullptr};
std::atomic<LONG> callCount{0};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Manual reset, like the JVM's: stays set until explicitly reset.
    ownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ownEvent) return FALSE;
    returnedEvent = ownEvent;
  } else if (reason == DLL_PROCESS_DETACH) {
    CloseHandle(ownEvent);
    ownEvent = nullptr;
  }
  return TRUE;
}

HANDLE JVM_GetThreadInterruptEvent() {
  ++callCount;
  return returnedEvent;
}

HANDLE jvmstub_interruptEvent() { return ownEvent; }

void jvmstub_setReturnedEvent(HANDLE event) { returnedEvent = event; }

LONG jvmstub_callCount() { return callCount; }

void jvmstub_reset() {
  returnedEvent = ownEvent;
  ResetEvent(ownEvent);
  callCount = 0;
}
