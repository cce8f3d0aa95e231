// Accounts for every handle a module opens during one native call and for every
// close, in the manner of the handle checks of Windows' application verifier.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "call_observer.h"

namespace intercept {

// Patches, in `module`, whichever of the handle-making functions it imports
// (processes and threads, tokens and logons, registry keys, events and other
// kernel objects, PDH queries and counters, WinInet and URL-cache handles,
// desktops and window stations, environment blocks, ...) and the functions that
// close them (CloseHandle, RegCloseKey, PdhCloseQuery, PdhRemoveCounter,
// InternetCloseHandle, FindCloseUrlCache, CloseDesktop, CloseWindowStation, ...).
//
// Every handle opened between onCallStart and onCallEnd (not while
// testsupport::inHarness() holds) is recorded with the function that made it.
// At the end of the call, one still open that Java does not hold (as the call's
// result or in a "_handle" field, see CallEnd) is reported as left open; one Java
// holds stays accounted across calls until its own close. A call that takes a
// handle from Java without closing it (clears or overwrites its field) is
// reported at the end of the test if nobody closed the handle by then. Closing a handle twice
// in a call is reported and the second close not passed on; closing one with a
// function of another kind (a process handle with RegCloseKey) is reported.
// Closing the PDH query closes its counters. Handles the test opened are not
// accounted, and closes of handles not recorded pass through unchecked.
// One instance may be active at a time.
class HandleAccounting : public testsupport::CallObserver {
 public:
  struct Options {
    // A second module (the test program) whose closes are watched, silently, so
    // that a handle the test closed is not taken for one still open.
    HMODULE releasingModule = nullptr;
  };

  explicit HandleAccounting(HMODULE module) : HandleAccounting(module, Options{}) {}
  HandleAccounting(HMODULE module, Options options);
  ~HandleAccounting() override;
  HandleAccounting(const HandleAccounting&) = delete;
  HandleAccounting& operator=(const HandleAccounting&) = delete;

  void onCallStart() override;
  // Lines such as "handle 0x... from RegOpenKeyExW left open: neither closed nor
  // handed to Java (RegCloseKey closes it)", "handle 0x... from OpenProcess closed
  // twice (again with CloseHandle)", "handle 0x... from OpenProcess closed with
  // RegCloseKey (wrong function: CloseHandle closes it)".
  void onCallEnd(const testsupport::CallEnd& end, std::vector<std::string>& violations) override;
  // Handles a call took from Java and nobody closed since: "handle 0x... from
  // PdhOpenQueryA, held by Java until native call 3 of the test took it away
  // without closing it, is still open (PdhCloseQuery closes it)".
  void onTestEnd(std::vector<std::string>& violations);

  // The functions the module imports and that are therefore accounted.
  std::vector<std::string> accountedFunctions() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace intercept
