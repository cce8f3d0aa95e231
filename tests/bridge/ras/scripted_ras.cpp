#include "scripted_ras.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "harness_scope.h"

namespace rastest {
namespace {

using testsupport::HarnessScope;

ScriptedRas* active() { return intercept::ActiveInstance<ScriptedRas>::get(); }

std::optional<std::wstring> optionalText(LPCWSTR text) {
  return text != nullptr ? std::optional<std::wstring>(text) : std::nullopt;
}

// Text in a member; text as long as the member fills it without a NUL.
template <size_t N>
void putText(WCHAR (&member)[N], const std::wstring& text) {
  std::memcpy(member, text.data(), std::min(text.size(), N) * sizeof(WCHAR));
}

template <class Record>
std::vector<BYTE> firstBytes(const Record& record, DWORD size) {
  auto bytes = reinterpret_cast<const BYTE*>(&record);
  return std::vector<BYTE>(bytes, bytes + size);
}

// The enumeration answer: ERROR_BUFFER_TOO_SMALL with the bytes needed (and the
// count) when the records do not fit, else the records at a stride of their size.
DWORD answerRecords(const ScriptedRas& ras, const std::vector<std::vector<BYTE>>& records, DWORD stride, void* buffer,
                    LPDWORD size, LPDWORD count, DWORD extraCount) {
  const auto needed = static_cast<DWORD>(records.size() * stride);
  *count = static_cast<DWORD>(records.size());
  if (*size < needed) {
    return ras.answerTooSmall(size, needed);
  }
  for (size_t i = 0; i < records.size(); ++i) {
    std::memcpy(static_cast<BYTE*>(buffer) + i * stride, records[i].data(), stride);
  }
  *size = needed;
  *count += extraCount;
  return ERROR_SUCCESS;
}

}  // namespace

ScriptedRas::ScriptedRas(HMODULE module, RecordSizes sizes)
    : sizes_(sizes),
      active_(this),
      entriesPatch_(module, "rasapi32.dll", "RasEnumEntriesW", &enumEntries),
      connectionsPatch_(module, "rasapi32.dll", "RasEnumConnectionsW", &enumConnections),
      propertiesPatch_(module, "rasapi32.dll", "RasGetEntryPropertiesW", &getEntryProperties) {}

DWORD ScriptedRas::refusal(const RasCall& call, DWORD recordSize) const {
  if (failWith != 0) {
    return failWith;
  }
  // RAS writes no more than the caller says the buffer holds; a library that claims
  // more than it allocated would have RAS write past its block.
  if (call.heapBlockSize == static_cast<SIZE_T>(-1) || call.heapBlockSize < call.sizeGiven) {
    ADD_FAILURE() << call.function << " was told the buffer holds " << call.sizeGiven << " bytes, its heap block has "
                  << call.heapBlockSize;
    return ERROR_INVALID_PARAMETER;
  }
  // RAS knows the records by their dwSize and refuses a version it does not know.
  return call.recordSize != recordSize ? ERROR_INVALID_SIZE : ERROR_SUCCESS;
}

DWORD ScriptedRas::answerTooSmall(LPDWORD size, DWORD needed) const {
  if (tooSmall != TooSmallSize::Exact) {
    const size_t n = calls.size();
    if (n > kMostCalls || (n >= 2 && calls[n - 1].sizeGiven == calls[n - 2].sizeGiven)) {
      return kRetriedWithoutProgress;
    }
  }
  switch (tooSmall) {
    case TooSmallSize::Exact:
      *size = needed;
      break;
    case TooSmallSize::Offered:
      break;
    case TooSmallSize::Zero:
      *size = 0;
      break;
    case TooSmallSize::AllOnes:
      *size = 0xFFFFFFFF;
      break;
  }
  return ERROR_BUFFER_TOO_SMALL;
}

RasCall& ScriptedRas::record(const char* function, const void* buffer, DWORD size) {
  RasCall call;
  call.function = function;
  call.sizeGiven = size;
  if (buffer != nullptr) {
    std::memcpy(&call.recordSize, buffer, sizeof call.recordSize);
    call.heapBlockSize = HeapSize(GetProcessHeap(), 0, buffer);
  }
  calls.push_back(call);
  return calls.back();
}

DWORD WINAPI ScriptedRas::enumEntries(LPCWSTR, LPCWSTR phonebook, LPRASENTRYNAMEW buffer, LPDWORD size, LPDWORD count) {
  HarnessScope harness;
  ScriptedRas* self = active();
  RasCall& call = self->record("RasEnumEntriesW", buffer, *size);
  call.phonebook = optionalText(phonebook);
  if (DWORD refused = self->refusal(call, self->sizes_.entryName)) {
    return refused;
  }
  std::vector<std::vector<BYTE>> records;
  for (const PhonebookEntry& entry : self->entries) {
    RASENTRYNAMEW record{};
    record.dwSize = call.recordSize;
    putText(record.szEntryName, entry.name);
    record.dwFlags = entry.flags;
    putText(record.szPhonebookPath, entry.phonebookPath);
    records.push_back(firstBytes(record, call.recordSize));
  }
  return answerRecords(*self, records, call.recordSize, buffer, size, count, self->extraCount);
}

DWORD WINAPI ScriptedRas::enumConnections(LPRASCONNW buffer, LPDWORD size, LPDWORD count) {
  HarnessScope harness;
  ScriptedRas* self = active();
  RasCall& call = self->record("RasEnumConnectionsW", buffer, *size);
  if (DWORD refused = self->refusal(call, self->sizes_.connection)) {
    return refused;
  }
  std::vector<std::vector<BYTE>> records;
  for (size_t i = 0; i < self->connections.size(); ++i) {
    const ActiveConnection& connection = self->connections[i];
    RASCONNW record{};
    record.dwSize = call.recordSize;
    record.hrasconn = reinterpret_cast<HRASCONN>(0x1000 + i);
    putText(record.szEntryName, connection.entryName);
    putText(record.szDeviceType, connection.deviceType);
    putText(record.szDeviceName, connection.deviceName);
    putText(record.szPhonebook, connection.phonebook);
    record.dwSubEntry = connection.subEntry;
    record.guidEntry.Data1 = static_cast<DWORD>(0xC0DE0000 + i);
    record.dwFlags = RASCF_AllUsers;
    record.luid.LowPart = static_cast<DWORD>(i + 1);
    // Only the version the library asked for: the shorter one lacks dwFlags and luid.
    records.push_back(firstBytes(record, call.recordSize));
  }
  return answerRecords(*self, records, call.recordSize, buffer, size, count, self->extraCount);
}

DWORD WINAPI ScriptedRas::getEntryProperties(LPCWSTR phonebook, LPCWSTR entry, LPRASENTRYW buffer, LPDWORD size,
                                             LPBYTE deviceInfo, LPDWORD deviceInfoSize) {
  HarnessScope harness;
  ScriptedRas* self = active();
  RasCall& call = self->record("RasGetEntryPropertiesW", buffer, *size);
  call.phonebook = optionalText(phonebook);
  call.entry = optionalText(entry);
  call.deviceInfoNull = deviceInfo == nullptr && deviceInfoSize == nullptr;
  if (DWORD refused = self->refusal(call, self->sizes_.entry)) {
    return refused;
  }
  // A null or empty entry name asks for the default properties.
  const std::wstring name = entry != nullptr ? entry : L"";
  auto found = std::find_if(self->properties.begin(), self->properties.end(),
                            [&](const EntryProperties& p) { return p.name == name; });
  if (found == self->properties.end()) {
    return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  }
  const DWORD stride = call.recordSize;
  const auto needed = static_cast<DWORD>(stride + found->alternates.size() * sizeof(WCHAR));
  if (*size < needed) {
    return self->answerTooSmall(size, needed);
  }
  std::memcpy(buffer, found->record.data(), stride);
  std::memcpy(reinterpret_cast<BYTE*>(buffer) + stride, found->alternates.data(),
              found->alternates.size() * sizeof(WCHAR));
  *size = needed;
  return ERROR_SUCCESS;
}

std::vector<BYTE> patternedEntry(DWORD size, bool alternates, const wchar_t* phoneNumber) {
  RASENTRYW record;
  auto bytes = reinterpret_cast<BYTE*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) {
    bytes[i] = static_cast<BYTE>(i * 7 + 1);
  }
  record.dwSize = size;
  record.dwAlternateOffset = alternates ? size : 0;
  const size_t length = std::min<size_t>(wcslen(phoneNumber), RAS_MaxPhoneNumber);
  std::memcpy(record.szLocalPhoneNumber, phoneNumber, length * sizeof(WCHAR));
  record.szLocalPhoneNumber[length] = L'\0';
  return std::vector<BYTE>(bytes, bytes + sizeof record);
}

}  // namespace rastest
