// Counts the heap blocks a module asks for through its own imports (HeapAlloc,
// HeapReAlloc, HeapCreate, LocalAlloc, LocalReAlloc, GlobalAlloc, GlobalReAlloc,
// malloc, calloc, realloc), while counting is switched on. What the Windows
// functions the module calls allocate inside themselves is theirs, not counted.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "import_patch.h"

namespace bench {

class AllocationCounter {
 public:
  explicit AllocationCounter(HMODULE module);
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  void setCounting(bool on) { counting_ = on; }
  long count() const { return count_; }

  // For the replacements: counts one request when switched on.
  void note() {
    if (counting_) {
      ++count_;
    }
  }
  void* previous(int slot) const;

 private:
  intercept::ActiveInstance<AllocationCounter> active_;
  std::vector<std::unique_ptr<intercept::ImportPatch>> patches_;
  bool counting_ = false;
  long count_ = 0;
};

}  // namespace bench
