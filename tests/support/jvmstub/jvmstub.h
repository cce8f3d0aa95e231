// Stand-in for the few jvm.dll exports the native libraries call, plus the
// controls tests use to drive it.
#pragma once

#include <windows.h>

#ifdef JVMSTUB_BUILDING
#define JVMSTUB_API extern "C" __declspec(dllexport)
#else
#define JVMSTUB_API extern "C" __declspec(dllimport)
#endif

// The real export hands out the calling thread's interrupt event: a
// manual-reset event the JVM sets on Thread.interrupt. The stand-in hands out
// one such event for every thread, or whatever jvmstub_setReturnedEvent chose.
JVMSTUB_API HANDLE JVM_GetThreadInterruptEvent();

// The stand-in's own event; tests Set/Reset it to play Thread.interrupt.
JVMSTUB_API HANDLE jvmstub_interruptEvent();
// Makes JVM_GetThreadInterruptEvent return `event` (may be null) instead of the
// stand-in's own event; jvmstub_reset() undoes it.
JVMSTUB_API void jvmstub_setReturnedEvent(HANDLE event);
// How often JVM_GetThreadInterruptEvent has been called since the last reset.
JVMSTUB_API LONG jvmstub_callCount();
// Own event returned again and non-signalled, call count zero.
JVMSTUB_API void jvmstub_reset();
