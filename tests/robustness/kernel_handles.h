// The kernel handles the process holds, for tests that look for handles left open
// without handle accounting (Wine answers 0 to GetProcessHandleCount).
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace robustness {

// The values below 0x10000 that name an open kernel handle now (up to the first
// block of 256 values without one).
std::set<uintptr_t> kernelHandles();

// The object type of a handle ("Key", "Process", ...); "?" when it cannot be told.
std::string handleType(uintptr_t value);

// The handles in `after` that are not in `before`, with their types, except the
// events and semaphores the test's own locks make when first contended; "" for none.
std::string handlesOpened(const std::set<uintptr_t>& before, const std::set<uintptr_t>& after);

}  // namespace robustness
