// The script that drives the WinInet stand-in of the cachesweep tests, and the
// log that the stand-in and the spy write for the test to read.
//
// Script lines, per load of the stand-in ("walk N" starts the lines of the N-th load):
//   entry URL TYPE NEEDED DELETE   an entry: type bits, bytes its information needs
//                                  (0 for its natural size), DeleteUrlCacheEntryW's
//                                  error code (0: deleted)
//   first-fails CODE               FindFirstUrlCacheEntryExW fails
//   next-fails CALL CODE           the CALL-th FindNextUrlCacheEntryExW fails
//   close-fails CODE               FindCloseUrlCache fails
//   end-code CODE                  the code that ends the enumeration
//   spy CODE                       load the spy; SetTokenInformation answers CODE
//                                  (0: the real call is made)
//   too-small SIZE                 the size ERROR_INSUFFICIENT_BUFFER reports
//                                  (TooSmallSize as a number)
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sweeptest {

constexpr const wchar_t* kScriptVariable = L"VELARO_SWEEP_SCRIPT";
constexpr const wchar_t* kLogVariable = L"VELARO_SWEEP_LOG";
constexpr const wchar_t* kLoadsVariable = L"VELARO_SWEEP_LOADS";

struct ScriptedEntry {
  std::wstring url;
  DWORD type = 1;
  DWORD needed = 0;
  DWORD deleteAnswer = 0;
};

// The size reported with ERROR_INSUFFICIENT_BUFFER: the size needed, or, as a
// WinInet not to be relied on might, the size offered or 0. With either of those,
// a call offering the size that the call answered "too small" before it offered
// is answered ERROR_INVALID_DATA instead: a loop that would spin ends, and the walk
// fails where the test can see it.
enum class TooSmallSize { Exact = 0, Offered = 1, Zero = 2 };

struct WalkScript {
  std::vector<ScriptedEntry> entries;
  DWORD firstFails = 0;
  unsigned nextFailsAtCall = 0;
  DWORD nextFails = 0;
  DWORD closeFails = 0;
  DWORD endCode = ERROR_NO_MORE_ITEMS;
  bool spy = false;
  DWORD setTokenAnswer = 0;
  TooSmallSize tooSmall = TooSmallSize::Exact;
};

// The script text of the walks, the first load's first.
std::wstring scriptText(const std::vector<WalkScript>& walks);
// The script of the given load (from 1) as the file named by kScriptVariable holds it.
WalkScript readWalk(unsigned load);

// Appends one line to the file named by kLogVariable.
void logLine(const std::string& line);

// The process token's integrity level as a SID string, or the error.
std::string integrityLevel();

std::string narrow(const std::wstring& text);
// The whole content of a file; empty when it cannot be read.
std::string fileText(const std::wstring& path);

}  // namespace sweeptest
