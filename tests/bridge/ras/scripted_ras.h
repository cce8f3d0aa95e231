// A phonebook and connection list in place of rasapi32 for one library under test
// (Wine's RAS has no phonebook entries and never refuses). The stand-ins answer as
// Microsoft documents RasEnumEntriesW, RasEnumConnectionsW and RasGetEntryPropertiesW.
#pragma once

#include <windows.h>
// After windows.h, whose types it uses.
#include <ras.h>
#include <raserror.h>

#include <optional>
#include <string>
#include <vector>

#include "import_patch.h"

namespace rastest {

// The record versions a library hands to RAS: RASENTRYNAMEW, RASCONNW, RASENTRYW.
struct RecordSizes {
  DWORD entryName;
  DWORD connection;
  DWORD entry;
};

struct PhonebookEntry {
  std::wstring name;
  DWORD flags;
  std::wstring phonebookPath;  // longer than the member: cut without a NUL
};

struct ActiveConnection {
  std::wstring entryName;
  std::wstring deviceType;
  std::wstring deviceName;
  std::wstring phonebook;
  DWORD subEntry;
};

struct EntryProperties {
  std::wstring name;         // "" also answers a null entry name (the default entry)
  std::vector<BYTE> record;  // the whole newest RASENTRYW; the first dwSize bytes are handed out
  std::wstring alternates;   // multi-string placed after the record, with its final NUL
};

// One call as a stand-in received it.
struct RasCall {
  std::string function;
  std::optional<std::wstring> phonebook;  // nullopt: null
  std::optional<std::wstring> entry;
  DWORD sizeGiven = 0;       // *lpcb on entry
  DWORD recordSize = 0;      // dwSize of the first record
  SIZE_T heapBlockSize = 0;  // HeapSize of the buffer
  bool deviceInfoNull = true;
};

// The size a stand-in reports with ERROR_BUFFER_TOO_SMALL: the size needed, or, as
// a RAS not to be relied on might, the size offered, 0 or 0xFFFFFFFF.
enum class TooSmallSize { Exact, Offered, Zero, AllOnes };

// With any TooSmallSize but Exact, a call offering the size the call before it
// offered, or one more than kMostCalls, is answered ERROR_BUFFER_INVALID instead:
// a loop that would spin ends at once and fails its test by the result.
constexpr DWORD kRetriedWithoutProgress = ERROR_BUFFER_INVALID;
constexpr size_t kMostCalls = 16;

class ScriptedRas {
 public:
  ScriptedRas(HMODULE module, RecordSizes sizes);

  std::vector<PhonebookEntry> entries;
  std::vector<ActiveConnection> connections;
  std::vector<EntryProperties> properties;
  // When not 0, every call answers with this status instead.
  DWORD failWith = 0;
  // Added to the count a successful enumeration reports, as a faulty RAS might.
  DWORD extraCount = 0;
  TooSmallSize tooSmall = TooSmallSize::Exact;

  // The answer to a buffer of *size bytes that needs `needed`, as tooSmall says.
  DWORD answerTooSmall(LPDWORD size, DWORD needed) const;

  std::vector<RasCall> calls;

 private:
  static DWORD WINAPI enumEntries(LPCWSTR reserved, LPCWSTR phonebook, LPRASENTRYNAMEW buffer, LPDWORD size,
                                  LPDWORD count);
  static DWORD WINAPI enumConnections(LPRASCONNW buffer, LPDWORD size, LPDWORD count);
  static DWORD WINAPI getEntryProperties(LPCWSTR phonebook, LPCWSTR entry, LPRASENTRYW buffer, LPDWORD size,
                                         LPBYTE deviceInfo, LPDWORD deviceInfoSize);

  RasCall& record(const char* function, const void* buffer, DWORD size);
  // The status a call answers before looking at the phonebook: the scripted failure,
  // ERROR_INVALID_SIZE for a record version other than the library's, else 0.
  DWORD refusal(const RasCall& call, DWORD recordSize) const;

  RecordSizes sizes_;
  intercept::ActiveInstance<ScriptedRas> active_;
  intercept::ImportPatch entriesPatch_;
  intercept::ImportPatch connectionsPatch_;
  intercept::ImportPatch propertiesPatch_;
};

// A whole RASENTRYW whose bytes follow a pattern, with dwSize and dwAlternateOffset
// set as RAS sets them for a record of `size` bytes and a few readable members.
std::vector<BYTE> patternedEntry(DWORD size, bool alternates, const wchar_t* phoneNumber);

}  // namespace rastest
