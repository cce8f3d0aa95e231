// One lock around every heap call a library makes, for tests that run its natives on
// several threads at once while intercept::HeapAccounting keeps its records: those
// records are one set for all threads, and a block freed on one thread and handed out
// again at once on another would otherwise reach them out of order (and be taken
// for a block freed twice).
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "import_patch.h"

namespace robustness {

class SerializedHeap {
 public:
  // Install after the accounting, so that the lock is taken around it.
  explicit SerializedHeap(HMODULE module);
  ~SerializedHeap();
  SerializedHeap(const SerializedHeap&) = delete;
  SerializedHeap& operator=(const SerializedHeap&) = delete;

 private:
  std::vector<std::unique_ptr<intercept::ImportPatch>> patches_;
};

}  // namespace robustness
