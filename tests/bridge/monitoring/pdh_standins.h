// Stand-ins for the pdh.dll functions that Wine lacks (PdhParseCounterPathW,
// PdhEnumObjectsW, PdhConnectMachineW abort; PdhEnumObjectItemsW and
// PdhExpandWildCardPathW answer PDH_NOT_IMPLEMENTED) or that a test needs to steer
// (counter information with strings, formatted values with a chosen status).
// They behave as Microsoft documents the functions: results laid out inside the
// caller's buffer, PDH_MORE_DATA with the size needed when it is too small, name
// lists as NUL-terminated strings closed by one more NUL. On request they
// misbehave in the ways a bounded copy has to survive.
//
// One PdhStandIns is active at a time (ActiveInstance); the replacements read
// their answers from it and log what they were handed.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace monitoringtest {

using Text = std::optional<std::u16string>;  // nullopt: a null string

// PDH status values as PDH functions return them.
constexpr PDH_STATUS status(DWORD value) { return static_cast<PDH_STATUS>(value); }
constexpr DWORD kMoreData = 0x800007D2;
constexpr DWORD kNoData = 0x800007D5;
constexpr DWORD kInvalidData = 0xC0000BC6;
constexpr DWORD kCStatusNoInstance = 0x800007D1;
constexpr DWORD kCStatusInvalidData = 0xC0000BBA;
constexpr DWORD kCStatusNoMachine = 0x800007D0;
constexpr DWORD kCStatusNoCounter = 0xC0000BB9;
constexpr DWORD kCStatusNoObject = 0xC0000BB8;
constexpr DWORD kInvalidHandle = 0xC0000BBC;
constexpr DWORD kInvalidArgument = 0xC0000BBD;
constexpr DWORD kInvalidPath = 0xC0000BC4;
constexpr DWORD kNotImplemented = 0xC0000BD3;
constexpr DWORD kStringNotFound = 0xC0000BD4;
constexpr DWORD kEInvalidArg = 0x80070057;

struct PathElements {
  Text machine;
  Text object;
  Text instance;
  Text parent;
  DWORD index = 0;
  Text counter;
  bool operator==(const PathElements& o) const {
    return machine == o.machine && object == o.object && instance == o.instance && parent == o.parent &&
           index == o.index && counter == o.counter;
  }
};

// Ways a stand-in breaks its contract.
enum class Misbehave {
  None,
  // Records: success with a reported size that ends right before the NUL of
  // the last string laid out, so that string is not terminated inside it.
  CutLastNul,
  // Name lists: success with a length two characters short, leaving out the
  // closing NUL and the last entry's NUL, so that entry (of two characters or
  // more) runs past the reported length.
  CutLastString,
  // Records: success with the object name pointing outside the buffer.
  StringOutsideBuffer,
  // Records: success with a reported size one byte smaller than the record itself.
  RecordTooShort,
};

// The size a stand-in reports for a buffer that was offered but is too small.
// PDH documents that this size is not to be relied on; besides the exact size a
// stand-in can report the size offered, 0 or 0xFFFFFFFF.
enum class TooSmallSize { Exact, Offered, Zero, AllOnes };

// With any TooSmallSize but Exact, a stand-in offered the size it was offered
// just before, or called more than kMostRetries times by one test, answers this
// status (PDH_INVALID_BUFFER) instead: a loop that would spin ends at once and
// fails its test by the result. Each case of such a test starts with empty logs.
constexpr DWORD kRetriedWithoutProgress = 0xC0000BC0;
constexpr size_t kMostRetries = 16;

struct PdhStandIns {
  // Applies to every stand-in below that can answer PDH_MORE_DATA.
  TooSmallSize tooSmall = TooSmallSize::Exact;

  // PdhParseCounterPathW: parses \\machine\object(parent/instance#index)\counter.
  struct Parse {
    Misbehave misbehave = Misbehave::None;
    std::vector<DWORD> offeredBytes;
    std::vector<Text> paths;
  } parse;

  // PdhExpandWildCardPathW: answers `paths` for any path.
  struct Expand {
    std::vector<std::u16string> paths;
    DWORD status = 0;
    Misbehave misbehave = Misbehave::None;
    std::vector<DWORD> offeredUnits;
    std::vector<Text> received;
    std::vector<DWORD> flags;
  } expand;

  // PdhEnumObjectsW.
  struct Objects {
    std::vector<std::u16string> names;
    DWORD status = 0;
    Misbehave misbehave = Misbehave::None;
    std::vector<DWORD> offeredUnits;
    std::vector<Text> machines;
    std::vector<std::pair<DWORD, BOOL>> detailAndRefresh;
  } objects;

  // PdhEnumObjectItemsW; instances nullopt: the object has no instance list.
  struct Items {
    std::vector<std::u16string> counters;
    std::optional<std::vector<std::u16string>> instances;
    DWORD status = 0;
    Misbehave misbehave = Misbehave::None;  // applies to the instance list
    std::vector<std::pair<DWORD, DWORD>> offeredUnits;
    std::vector<Text> machines;
    std::vector<Text> objectNames;
    std::vector<std::pair<DWORD, DWORD>> detailAndFlags;
  } items;

  // PdhConnectMachineW.
  struct Connect {
    DWORD status = 0;
    std::vector<Text> machines;
  } connect;

  // PdhGetCounterInfoW with every string laid out after the record.
  struct Info {
    DWORD type = 0x10410400;
    DWORD cStatus = 0;
    LONG scale = 1;
    LONG defaultScale = -2;
    Text fullPath;
    Text explain;  // handed out only when asked for
    PathElements elements;
    DWORD status = 0;
    Misbehave misbehave = Misbehave::None;  // cuts the explanation text
    std::vector<DWORD> offeredBytes;
    std::vector<BOOLEAN> explainFlags;
  } info;

  // PdhGetFormattedCounterValue answering a chosen status and value.
  struct Formatted {
    DWORD status = 0;
    DWORD cStatus = 0;
    LONGLONG valueBits = 0;
    std::vector<DWORD> formats;
  } formatted;

  // Spy on Wine's PdhMakeCounterPathW: logs, then calls through; a PDH_MORE_DATA
  // answer reports its size as tooSmall says. With sizeWithoutTerminator the size
  // reported on success leaves the NUL out.
  struct Make {
    bool sizeWithoutTerminator = false;
    std::vector<PathElements> received;
    std::vector<DWORD> offeredUnits;
  } make;

  // Spy on Wine's PdhLookupPerfNameByIndexW; a longName answers every index, and
  // withoutNul leaves no NUL in the buffer, not even at the end of the reported size.
  struct Lookup {
    Text longName;
    bool withoutNul = false;
    std::vector<DWORD> offeredUnits;
    std::vector<Text> machines;
  } lookup;
};

// Replacements, to be handed to intercept::ImportPatch.
PDH_STATUS WINAPI standInParseCounterPath(LPCWSTR path, PDH_COUNTER_PATH_ELEMENTS_W* elements, LPDWORD bytes,
                                          DWORD flags);
PDH_STATUS WINAPI standInExpandWildCardPath(LPCWSTR source, LPCWSTR path, LPWSTR list, LPDWORD units, DWORD flags);
PDH_STATUS WINAPI standInEnumObjects(LPCWSTR source, LPCWSTR machine, LPWSTR list, LPDWORD units, DWORD detail,
                                     BOOL refresh);
PDH_STATUS WINAPI standInEnumObjectItems(LPCWSTR source, LPCWSTR machine, LPCWSTR object, LPWSTR counters,
                                         LPDWORD counterUnits, LPWSTR instances, LPDWORD instanceUnits, DWORD detail,
                                         DWORD flags);
PDH_STATUS WINAPI standInConnectMachine(LPCWSTR machine);
PDH_STATUS WINAPI standInGetCounterInfo(PDH_HCOUNTER counter, BOOLEAN explain, LPDWORD bytes,
                                        PDH_COUNTER_INFO_W* info);
PDH_STATUS WINAPI standInFormattedValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                        PDH_FMT_COUNTERVALUE* value);
PDH_STATUS WINAPI spyMakeCounterPath(PDH_COUNTER_PATH_ELEMENTS_W* elements, LPWSTR path, LPDWORD units,
                                     DWORD flags);
PDH_STATUS WINAPI spyLookupName(LPCWSTR machine, DWORD index, LPWSTR name, LPDWORD units);

// Characters a name list of these entries takes, both closing NULs included.
DWORD multiStringUnits(const std::vector<std::u16string>& entries);

Text textOf(const WCHAR* string);

}  // namespace monitoringtest
