// Hook the JNI host runs around every native call, so that accounting kept
// elsewhere (heap blocks, handles) can report what a call left behind.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct CallObserver {
  virtual ~CallObserver() = default;
  // Right before the native function is entered.
  virtual void onCallStart() = 0;
  // Right after it returned; appends one line per fault found.
  virtual void onCallEnd(std::vector<std::string>& violations) = 0;
};

}  // namespace testsupport
