// Stand-ins the robustness programs put in place of a deliverable's imports where
// Wine would take the process down on a value Windows refuses, or where the real
// call would change the machine (display modes, the input desktop, the LAN proxy
// settings) or end the program itself. Each answers as Microsoft documents the
// function and reads every byte the real one would, so that a buffer handed over
// too short still shows.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "import_patch.h"

namespace robustness {

class StandIns {
 public:
  // Patches whichever of the functions `module` imports.
  explicit StandIns(HMODULE module);
  ~StandIns();
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;

  struct Patches;

 private:
  std::unique_ptr<Patches> patches_;
};

}  // namespace robustness
