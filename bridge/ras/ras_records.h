// The RAS record versions each bridge library hands to Windows, and what the
// RasSupport and RasEntry natives share.
#pragma once

#include <windows.h>
// After windows.h, whose types they use.
#include <ras.h>
#include <raserror.h>

#include <cstddef>

#include "bridge/core.h"

namespace bridge {
namespace ras {

constexpr const char* kRasEntryNameClass = "com/corvantis/windows/ras/RasEntryName";
constexpr const char* kRasConnectionClass = "com/corvantis/windows/ras/RasConnection";
constexpr const char* kRasEntryClass = "com/corvantis/windows/ras/RasEntry";

// ras.h names the records through macros; these names reach their members.
using EntryNameRecord = RASENTRYNAMEW;
using ConnectionRecord = RASCONNW;
using EntryRecord = RASENTRYW;

// A record version is the record up to its last member, padded to the 4-byte packing;
// RAS tells the versions apart by dwSize, and arrays of records follow each other at
// that stride.
constexpr DWORD versionSize(size_t end) { return static_cast<DWORD>((end + 3) & ~size_t{3}); }

constexpr DWORD kEntryNameSize =
    versionSize(offsetof(EntryNameRecord, szPhonebookPath) + sizeof(EntryNameRecord::szPhonebookPath));
#if defined(BRIDGE_CORE_ONLY)
// The versions that end with guidEntry and dwVpnStrategy.
constexpr DWORD kConnectionSize =
    versionSize(offsetof(ConnectionRecord, guidEntry) + sizeof(ConnectionRecord::guidEntry));
constexpr DWORD kEntrySize = versionSize(offsetof(EntryRecord, dwVpnStrategy) + sizeof(EntryRecord::dwVpnStrategy));
static_assert(kConnectionSize == 1360 && kEntrySize == 4048, "corebridge record versions");
#else
// The versions that end with dwFlags and luid, and with dwRedialCount and dwRedialPause.
constexpr DWORD kConnectionSize = versionSize(offsetof(ConnectionRecord, luid) + sizeof(ConnectionRecord::luid));
constexpr DWORD kEntrySize = versionSize(offsetof(EntryRecord, dwRedialPause) + sizeof(EntryRecord::dwRedialPause));
static_assert(kConnectionSize == 1372 && kEntrySize == 5616, "fullbridge record versions");
#endif
static_assert(kEntryNameSize == 1048, "the RASENTRYNAMEW version with dwFlags and szPhonebookPath");
static_assert(offsetof(ConnectionRecord, hrasconn) == 4, "RAS records are laid out with 4-byte packing");
// Every member the natives read lies inside the shorter versions.
static_assert(offsetof(ConnectionRecord, dwSubEntry) + sizeof(ConnectionRecord::dwSubEntry) <= kConnectionSize,
              "RASCONNW members read");

// A RasEntry holding the first dwSize bytes of the RASENTRYW record at the start of
// a buffer of `capacity` bytes (never more than the buffer holds); null with an
// exception pending when it cannot be made.
jobject newRasEntry(JNIEnv* env, const BYTE* record, DWORD capacity);

}  // namespace ras
}  // namespace bridge
