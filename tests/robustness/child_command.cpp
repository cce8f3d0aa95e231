#include "child_command.h"

#include "deliverables.h"

namespace robustness {

std::wstring childCommand(const std::wstring& arguments) {
  return L"\"" + testsupport::testProgramFolder() + L"robustness_child.exe\" " + arguments;
}

}  // namespace robustness
