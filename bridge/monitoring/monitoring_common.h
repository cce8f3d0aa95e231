// Helpers shared by the performance counter natives: counter path records to and
// from WindowsCounterPath objects, bounded copies out of PDH result buffers, and
// the buffers that grow while PDH answers that they are too small.
#pragma once

#include <pdh.h>

#include <cstddef>

#include "bridge/core.h"
#include "bridge/strings.h"

namespace bridge {
namespace monitoring {

constexpr const char* kWindowsCounterPathClass = "com/corvantis/monitoring/windows/WindowsCounterPath";

// PDH status values (pdhmsg.h spells them as DWORD; PDH functions return LONG).
constexpr PDH_STATUS kPdhSuccess = ERROR_SUCCESS;
constexpr PDH_STATUS kPdhMoreData = static_cast<PDH_STATUS>(0x800007D2);
constexpr PDH_STATUS kPdhNoData = static_cast<PDH_STATUS>(0x800007D5);
constexpr PDH_STATUS kPdhInvalidData = static_cast<PDH_STATUS>(0xC0000BC6);

// The six WindowsCounterPath field IDs, looked up on the class found by name.
struct CounterPathFieldIds {
  jfieldID hostName;
  jfieldID objectName;
  jfieldID instanceName;
  jfieldID parentInstanceName;
  jfieldID instanceIndex;
  jfieldID counterName;
};

// False with the lookup's exception pending at the first field that is missing.
bool getCounterPathFieldIds(JNIEnv* env, CounterPathFieldIds* ids);

// Fills record (all string members null on entry) with copies on heap of the
// object's fields. False with an exception pending; the copies made so far stay
// in the record for releaseCounterPathElements.
bool readCounterPathElements(JNIEnv* env, HANDLE heap, jobject source, const CounterPathFieldIds& ids,
                             PDH_COUNTER_PATH_ELEMENTS_W* record);
void releaseCounterPathElements(JNIEnv* env, HANDLE heap, PDH_COUNTER_PATH_ELEMENTS_W* record);

// Sets a String field from a NUL-terminated string that PDH placed in buffer
// (bufferBytes long); null sets null. A string that does not start inside the
// buffer or has no NUL before its end raises CodedSystemException E_INVALIDARG.
bool setBufferStringField(JNIEnv* env, const WCHAR* string, const void* buffer, size_t bufferBytes, jfieldID field,
                          jobject target);

// Sets the six fields of target from a record whose strings lie in buffer.
bool writeCounterPathElements(JNIEnv* env, const PDH_COUNTER_PATH_ELEMENTS_W* record, const void* buffer,
                              size_t bufferBytes, const CounterPathFieldIds& ids, jobject target);

// True when a record of recordBytes at record lies wholly inside buffer;
// otherwise CodedSystemException E_INVALIDARG.
bool recordInsideBuffer(JNIEnv* env, const void* record, size_t recordBytes, const void* buffer, size_t bufferBytes);

// The full path of source's elements in a heap block the caller frees with
// HeapFree; *size goes in as the first capacity and comes out as the path's
// length without terminator. Null with an exception pending on failure.
WCHAR* makeCounterPath(JNIEnv* env, HANDLE heap, jobject source, DWORD* size, DWORD flags);

// New ArrayList of the paths PDH expands path into; null with an exception pending.
jobject expandCounterPathList(JNIEnv* env, HANDLE heap, const WCHAR* path, DWORD flags);

// Grows a block of the process heap (HeapAlloc when *block is null). On failure
// the block is freed, *block set to null and CodedSystemException raised with
// ERROR_NOT_ENOUGH_MEMORY. A size of 0 (one that cannot be held) fails the same way.
bool growHeapBlock(JNIEnv* env, HANDLE heap, void** block, size_t bytes);
// The same with the C allocator; a failure raises OutOfMemoryError.
bool growAllocatorBlock(JNIEnv* env, void** block, size_t bytes);

// The growth rules above as the callables callWithGrowingBuffer takes.
struct HeapGrowth {
  JNIEnv* env;
  HANDLE heap;
  bool operator()(void** block, size_t bytes) const { return growHeapBlock(env, heap, block, bytes); }
};
struct AllocatorGrowth {
  JNIEnv* env;
  bool operator()(void** block, size_t bytes) const { return growAllocatorBlock(env, block, bytes); }
};

// A buffer that PDH filled and the PDH status of the last call.
struct PdhAnswer {
  void* block;        // null when growing failed (exception pending, nothing held)
  DWORD capacity;     // units allocated for the last call
  PDH_STATUS status;  // meaningful only with a block
};

// Calls call(block, size) on a buffer of *size + extra units, growing it while PDH
// answers PDH_MORE_DATA: to the reported size plus extra, or to twice the last
// capacity when PDH reports no more than that (PDH's size for a buffer that was
// too small is not to be relied on). A size that does not fit in 32 bits is
// refused like a failed growth. grow is a HeapGrowth or an AllocatorGrowth.
template <class Grow, class Call>
PdhAnswer callWithGrowingBuffer(DWORD* size, size_t unitBytes, DWORD extra, Grow grow, Call call) {
  PdhAnswer answer{nullptr, 0, kPdhSuccess};
  DWORD next = grownSize(0, *size, extra);  // the first size plus extra
  for (;;) {
    if (!grow(&answer.block, static_cast<size_t>(next) * unitBytes)) {
      return answer;
    }
    answer.capacity = next;
    *size = next;
    answer.status = call(answer.block, size);
    if (answer.status != kPdhMoreData) {
      return answer;
    }
    next = grownSize(answer.capacity, *size, extra);
  }
}

// Units of a PDH answer that lie in the buffer: PDH's reported size, never more
// than was allocated.
inline size_t unitsInside(DWORD reported, DWORD capacity) { return reported < capacity ? reported : capacity; }

}  // namespace monitoring
}  // namespace bridge
