// Marks code of the test harness (the JNI host, test callbacks, bookkeeping) on
// this thread, so that import interception can tell the library's own heap
// traffic from the harness's when both live in one module.
#pragma once

namespace testsupport {

// Nesting depth of harness code on the calling thread; 0 while library code runs.
int& harnessDepth();

struct HarnessScope {
  HarnessScope() { ++harnessDepth(); }
  ~HarnessScope() { --harnessDepth(); }
  HarnessScope(const HarnessScope&) = delete;
  HarnessScope& operator=(const HarnessScope&) = delete;
};

inline bool inHarness() { return harnessDepth() > 0; }

}  // namespace testsupport
