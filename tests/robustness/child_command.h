// The command line that starts the child program (child.cpp) beside the running one.
#pragma once

#include <string>

namespace robustness {

// The child's path, quoted, then `arguments` (its exit code).
std::wstring childCommand(const std::wstring& arguments);

}  // namespace robustness
