#include "harness_scope.h"

namespace testsupport {

int& harnessDepth() {
  thread_local int depth = 0;
  return depth;
}

}  // namespace testsupport
