// Loaded into cachesweep by the WinInet stand-in on request: watches, through the
// program's own imports, how it lowers its integrity level, and can make
// SetTokenInformation refuse as Windows may (for instance ERROR_PRIVILEGE_NOT_HELD).
#include <windows.h>

// After windows.h, which it builds on.
#include <sddl.h>

#include <string>

#include "import_patch.h"
#include "sweep_script.h"

namespace {

using intercept::ImportPatch;
using sweeptest::logLine;

struct Spy {
  DWORD setTokenAnswer = 0;
  HANDLE token = nullptr;
  PSID sid = nullptr;
  ImportPatch* open = nullptr;
  ImportPatch* convert = nullptr;
  ImportPatch* set = nullptr;
  ImportPatch* close = nullptr;
  ImportPatch* free = nullptr;
};

Spy& spy() {
  static Spy instance;
  return instance;
}

std::string sidText(PSID sid) {
  LPSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) {
    return "invalid";
  }
  std::string result = text;
  LocalFree(text);
  return result;
}

BOOL WINAPI watchedOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  BOOL ok = spy().open->previousAs<decltype(OpenProcessToken)>()(process, access, token);
  DWORD error = GetLastError();
  if (ok) {
    spy().token = *token;
  }
  logLine("OpenProcessToken access=" + std::to_string(access) + (ok ? " ok" : " failed"));
  SetLastError(error);
  return ok;
}

BOOL WINAPI watchedConvert(LPCSTR text, PSID* sid) {
  BOOL ok = spy().convert->previousAs<decltype(ConvertStringSidToSidA)>()(text, sid);
  DWORD error = GetLastError();
  if (ok) {
    spy().sid = *sid;
  }
  logLine(std::string("ConvertStringSidToSidA ") + text + (ok ? " ok" : " failed"));
  SetLastError(error);
  return ok;
}

BOOL WINAPI watchedSet(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID information, DWORD length) {
  auto label = static_cast<TOKEN_MANDATORY_LABEL*>(information);
  logLine("SetTokenInformation token=" + std::string(token == spy().token ? "opened" : "other") +
          " class=" + std::to_string(cls) + " sid=" + sidText(label->Label.Sid) +
          " attributes=" + std::to_string(label->Label.Attributes) + " length=" + std::to_string(length) +
          " sidlength=" + std::to_string(GetLengthSid(label->Label.Sid)));
  if (spy().setTokenAnswer != 0) {
    SetLastError(spy().setTokenAnswer);
    return FALSE;
  }
  std::string before = sweeptest::integrityLevel();
  BOOL ok = spy().set->previousAs<decltype(SetTokenInformation)>()(token, cls, information, length);
  DWORD error = GetLastError();
  logLine("integrity before=" + before + " after=" + sweeptest::integrityLevel() + (ok ? " ok" : " failed"));
  SetLastError(error);
  return ok;
}

BOOL WINAPI watchedCloseHandle(HANDLE handle) {
  if (handle == spy().token && handle != nullptr) {
    logLine("CloseHandle token");
  }
  return spy().close->previousAs<decltype(CloseHandle)>()(handle);
}

HLOCAL WINAPI watchedLocalFree(HLOCAL block) {
  if (block == spy().sid && block != nullptr) {
    logLine("LocalFree sid");
  }
  return spy().free->previousAs<decltype(LocalFree)>()(block);
}

}  // namespace

// Patches the program's imports for the rest of the process; the patches are never removed.
extern "C" __declspec(dllexport) void installSpy(DWORD setTokenAnswer) {
  Spy& s = spy();
  s.setTokenAnswer = setTokenAnswer;
  HMODULE program = GetModuleHandleW(nullptr);
  s.open = new ImportPatch(intercept::deferred, program, "advapi32.dll", "OpenProcessToken",
                           reinterpret_cast<void*>(watchedOpenProcessToken), intercept::OnMissing::Skip);
  s.convert = new ImportPatch(intercept::deferred, program, "advapi32.dll", "ConvertStringSidToSidA",
                              reinterpret_cast<void*>(watchedConvert), intercept::OnMissing::Skip);
  s.set = new ImportPatch(intercept::deferred, program, "advapi32.dll", "SetTokenInformation",
                          reinterpret_cast<void*>(watchedSet), intercept::OnMissing::Skip);
  s.close = new ImportPatch(intercept::deferred, program, "kernel32.dll", "CloseHandle",
                            reinterpret_cast<void*>(watchedCloseHandle), intercept::OnMissing::Skip);
  s.free = new ImportPatch(intercept::deferred, program, "kernel32.dll", "LocalFree",
                           reinterpret_cast<void*>(watchedLocalFree), intercept::OnMissing::Skip);
  for (ImportPatch* patch : {s.open, s.convert, s.set, s.close, s.free}) {
    patch->install();
    if (!patch->installed()) {
      logLine("spy cannot patch " + patch->function() + ": " + patch->error());
    }
  }
}
