// Hook the JNI host runs around every native call, so that accounting kept
// elsewhere (heap blocks, handles) can report what a call left behind.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// What the host knows once a native call has returned.
struct CallEnd {
  // Values Java holds once the call returned: a long the native returned, and the
  // long "_handle" field of every object Java can reach (objects made during the
  // call and dropped by it are not among them).
  std::vector<std::uint64_t> javaHandles;
  // The "_handle" fields Java held when the call began.
  std::vector<std::uint64_t> javaHandlesAtStart;

  bool heldByJava(std::uint64_t value) const { return contains(javaHandles, value); }
  bool heldAtStart(std::uint64_t value) const { return contains(javaHandlesAtStart, value); }

 private:
  static bool contains(const std::vector<std::uint64_t>& values, std::uint64_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
  }
};

struct CallObserver {
  virtual ~CallObserver() = default;
  // Right before the native function is entered.
  virtual void onCallStart() = 0;
  // Right after it returned; appends one line per fault found.
  virtual void onCallEnd(const CallEnd& end, std::vector<std::string>& violations) = 0;
};

}  // namespace testsupport
