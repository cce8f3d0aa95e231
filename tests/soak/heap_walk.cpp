// soak_heapwalk.dll: the soak driver's view of the process heap. Only code inside a
// process can walk its heap, so the driver loads this library beside the bridge.
#include <jni.h>
#include <windows.h>

extern "C" JNIEXPORT jboolean JNICALL Java_soak_ProcessHeap_walk(JNIEnv* env, jclass, jlongArray result) {
  HANDLE heap = GetProcessHeap();
  jlong blocks = 0;
  jlong bytes = 0;
  PROCESS_HEAP_ENTRY entry{};
  // Locked, so that the other threads' allocations wait rather than move the walk.
  if (!HeapLock(heap)) {
    return JNI_FALSE;
  }
  while (HeapWalk(heap, &entry)) {
    if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
      ++blocks;
      bytes += static_cast<jlong>(entry.cbData);
    }
  }
  const bool complete = GetLastError() == ERROR_NO_MORE_ITEMS;
  HeapUnlock(heap);
  const jlong values[2] = {blocks, bytes};
  env->SetLongArrayRegion(result, 0, 2, values);
  return complete && !env->ExceptionCheck() ? JNI_TRUE : JNI_FALSE;
}
