#include "pdh_standins.h"

#include <algorithm>
#include <cstring>

#include "harness_scope.h"
#include "import_patch.h"

namespace monitoringtest {
namespace {

using intercept::ActiveInstance;
using testsupport::HarnessScope;

PdhStandIns& active() { return *ActiveInstance<PdhStandIns>::get(); }

DWORD textBytes(const Text& text) { return text ? static_cast<DWORD>((text->size() + 1) * sizeof(WCHAR)) : 0; }

// Copies text (with its NUL) to *cursor and advances it; null for no text.
LPWSTR place(BYTE** cursor, const Text& text) {
  if (!text) {
    return nullptr;
  }
  auto at = reinterpret_cast<LPWSTR>(*cursor);
  std::memcpy(at, text->c_str(), textBytes(text));
  *cursor += textBytes(text);
  return at;
}

// \\machine\object(parent/instance#index)\counter, each part but object and
// counter optional, as PDH reads a counter path.
bool parsePath(const std::u16string& path, PathElements* e) {
  if (path.size() < 2 || path[0] != u'\\') {
    return false;
  }
  size_t at = 0;
  if (path[1] == u'\\') {
    size_t end = path.find(u'\\', 2);
    if (end == std::u16string::npos || end == 2) {
      return false;
    }
    e->machine = path.substr(2, end - 2);
    at = end;
  }
  size_t last = path.rfind(u'\\');
  if (last <= at) {
    return false;
  }
  std::u16string object = path.substr(at + 1, last - at - 1);
  e->counter = path.substr(last + 1);
  size_t open = object.find(u'(');
  if (open != std::u16string::npos) {
    if (object.back() != u')') {
      return false;
    }
    std::u16string instance = object.substr(open + 1, object.size() - open - 2);
    object.resize(open);
    size_t slash = instance.find(u'/');
    if (slash != std::u16string::npos) {
      e->parent = instance.substr(0, slash);
      instance.erase(0, slash + 1);
    }
    size_t hash = instance.rfind(u'#');
    if (hash != std::u16string::npos) {
      e->index = static_cast<DWORD>(std::stoul(std::string(instance.begin() + hash + 1, instance.end())));
      instance.resize(hash);
    }
    e->instance = instance;
  }
  e->object = object;
  return !object.empty() && !e->counter->empty();
}

// A retry that a loop making no progress would make (see kRetriedWithoutProgress);
// offered holds the sizes offered so far, this call's last.
template <class Offer>
bool retriedWithoutProgress(const std::vector<Offer>& offered) {
  if (active().tooSmall == TooSmallSize::Exact) {
    return false;
  }
  size_t calls = offered.size();
  return calls > kMostRetries || (calls >= 2 && offered[calls - 1] == offered[calls - 2]);
}

// The size reported with PDH_MORE_DATA for a buffer of `offered` that needs `needed`.
DWORD reportedSize(DWORD offered, DWORD needed) {
  switch (active().tooSmall) {
    case TooSmallSize::Offered:
      return offered;
    case TooSmallSize::Zero:
      return 0;
    case TooSmallSize::AllOnes:
      return 0xFFFFFFFF;
    case TooSmallSize::Exact:
      break;
  }
  return needed;
}

// PDH_MORE_DATA for a buffer too small, its size in *size reported as chosen.
template <class Offer>
PDH_STATUS answerTooSmall(const std::vector<Offer>& offered, DWORD needed, DWORD* size) {
  if (retriedWithoutProgress(offered)) {
    return status(kRetriedWithoutProgress);
  }
  *size = reportedSize(*size, needed);
  return status(kMoreData);
}

// A name list answer: the entries, each with its NUL, and one more NUL.
PDH_STATUS answerList(const std::vector<std::u16string>& entries, LPWSTR list, DWORD* units, Misbehave misbehave,
                      const std::vector<DWORD>& offered) {
  DWORD needed = multiStringUnits(entries);
  if (list == nullptr || *units < needed) {
    return answerTooSmall(offered, needed, units);
  }
  DWORD* reported = units;
  WCHAR* cursor = list;
  for (const auto& entry : entries) {
    std::memcpy(cursor, entry.c_str(), (entry.size() + 1) * sizeof(WCHAR));
    cursor += entry.size() + 1;
  }
  *cursor = L'\0';
  *reported = misbehave == Misbehave::CutLastString ? needed - 2 : needed;
  return ERROR_SUCCESS;
}

const WCHAR kOutside[] = L"Outside";

}  // namespace

DWORD multiStringUnits(const std::vector<std::u16string>& entries) {
  DWORD units = 1;
  for (const auto& entry : entries) {
    units += static_cast<DWORD>(entry.size() + 1);
  }
  return units;
}

Text textOf(const WCHAR* string) {
  if (string == nullptr) {
    return std::nullopt;
  }
  return std::u16string(reinterpret_cast<const char16_t*>(string));
}

PDH_STATUS WINAPI standInParseCounterPath(LPCWSTR path, PDH_COUNTER_PATH_ELEMENTS_W* elements, LPDWORD bytes,
                                          DWORD flags) {
  HarnessScope harness;
  PdhStandIns::Parse& parse = active().parse;
  parse.offeredBytes.push_back(*bytes);
  parse.paths.push_back(textOf(path));
  PathElements e;
  if (path == nullptr || flags != 0) {
    return status(kInvalidArgument);
  }
  if (!parsePath(*textOf(path), &e)) {
    return status(kInvalidPath);
  }
  DWORD needed = sizeof(PDH_COUNTER_PATH_ELEMENTS_W) + textBytes(e.machine) + textBytes(e.object) +
                 textBytes(e.instance) + textBytes(e.parent) + textBytes(e.counter);
  if (elements == nullptr || *bytes < needed) {
    return answerTooSmall(parse.offeredBytes, needed, bytes);
  }
  // The strings follow the record in the caller's buffer.
  auto cursor = reinterpret_cast<BYTE*>(elements + 1);
  elements->szMachineName = place(&cursor, e.machine);
  elements->szObjectName = place(&cursor, e.object);
  elements->szInstanceName = place(&cursor, e.instance);
  elements->szParentInstance = place(&cursor, e.parent);
  elements->dwInstanceIndex = e.index;
  elements->szCounterName = place(&cursor, e.counter);
  *bytes = needed;
  if (parse.misbehave == Misbehave::CutLastNul) {
    *bytes = needed - sizeof(WCHAR);
  } else if (parse.misbehave == Misbehave::RecordTooShort) {
    *bytes = sizeof(PDH_COUNTER_PATH_ELEMENTS_W) - 1;
  } else if (parse.misbehave == Misbehave::StringOutsideBuffer) {
    elements->szObjectName = const_cast<LPWSTR>(kOutside);
  }
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI standInExpandWildCardPath(LPCWSTR source, LPCWSTR path, LPWSTR list, LPDWORD units, DWORD flags) {
  HarnessScope harness;
  PdhStandIns::Expand& expand = active().expand;
  expand.offeredUnits.push_back(*units);
  expand.received.push_back(textOf(path));
  expand.flags.push_back(flags);
  if (expand.status != 0) {
    return status(expand.status);
  }
  if (source != nullptr || path == nullptr) {
    return status(kInvalidArgument);
  }
  return answerList(expand.paths, list, units, expand.misbehave, expand.offeredUnits);
}

PDH_STATUS WINAPI standInEnumObjects(LPCWSTR source, LPCWSTR machine, LPWSTR list, LPDWORD units, DWORD detail,
                                     BOOL refresh) {
  HarnessScope harness;
  PdhStandIns::Objects& objects = active().objects;
  objects.offeredUnits.push_back(*units);
  objects.machines.push_back(textOf(machine));
  objects.detailAndRefresh.emplace_back(detail, refresh);
  if (objects.status != 0) {
    return status(objects.status);
  }
  if (source != nullptr) {
    return status(kInvalidArgument);
  }
  return answerList(objects.names, list, units, objects.misbehave, objects.offeredUnits);
}

PDH_STATUS WINAPI standInEnumObjectItems(LPCWSTR source, LPCWSTR machine, LPCWSTR object, LPWSTR counters,
                                         LPDWORD counterUnits, LPWSTR instances, LPDWORD instanceUnits, DWORD detail,
                                         DWORD flags) {
  HarnessScope harness;
  PdhStandIns::Items& items = active().items;
  items.offeredUnits.emplace_back(*counterUnits, *instanceUnits);
  items.machines.push_back(textOf(machine));
  items.objectNames.push_back(textOf(object));
  items.detailAndFlags.emplace_back(detail, flags);
  if (items.status != 0) {
    return status(items.status);
  }
  if (source != nullptr || object == nullptr) {
    return status(kInvalidArgument);
  }
  DWORD counterNeeded = multiStringUnits(items.counters);
  // An object without instances reports 0; one that has none at the moment, 2.
  DWORD instanceNeeded = items.instances ? multiStringUnits(*items.instances) : 0;
  if (*counterUnits < counterNeeded || *instanceUnits < instanceNeeded) {
    if (retriedWithoutProgress(items.offeredUnits)) {
      return status(kRetriedWithoutProgress);
    }
    *counterUnits = reportedSize(*counterUnits, counterNeeded);
    *instanceUnits = reportedSize(*instanceUnits, instanceNeeded);
    return status(kMoreData);
  }
  answerList(items.counters, counters, counterUnits, Misbehave::None, {});
  if (items.instances) {
    answerList(*items.instances, instances, instanceUnits, items.misbehave, {});
  } else {
    *instanceUnits = 0;
  }
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI standInConnectMachine(LPCWSTR machine) {
  HarnessScope harness;
  active().connect.machines.push_back(textOf(machine));
  return status(active().connect.status);
}

PDH_STATUS WINAPI standInGetCounterInfo(PDH_HCOUNTER, BOOLEAN explain, LPDWORD bytes, PDH_COUNTER_INFO_W* info) {
  HarnessScope harness;
  PdhStandIns::Info& answer = active().info;
  answer.offeredBytes.push_back(*bytes);
  answer.explainFlags.push_back(explain);
  if (answer.status != 0) {
    return status(answer.status);
  }
  const PathElements& e = answer.elements;
  Text explainText = explain ? answer.explain : std::nullopt;
  DWORD needed = sizeof(PDH_COUNTER_INFO_W) + textBytes(answer.fullPath) + textBytes(e.machine) +
                 textBytes(e.object) + textBytes(e.instance) + textBytes(e.parent) + textBytes(e.counter) +
                 textBytes(explainText);
  if (info == nullptr || *bytes < needed) {
    return answerTooSmall(answer.offeredBytes, needed, bytes);
  }
  std::memset(info, 0, sizeof(*info));
  info->dwLength = needed;
  info->dwType = answer.type;
  info->CVersion = 0x0601;
  info->CStatus = answer.cStatus;
  info->lScale = answer.scale;
  info->lDefaultScale = answer.defaultScale;
  auto cursor = reinterpret_cast<BYTE*>(info + 1);
  info->szFullPath = place(&cursor, answer.fullPath);
  info->CounterPath.szMachineName = place(&cursor, e.machine);
  info->CounterPath.szObjectName = place(&cursor, e.object);
  info->CounterPath.szInstanceName = place(&cursor, e.instance);
  info->CounterPath.szParentInstance = place(&cursor, e.parent);
  info->CounterPath.dwInstanceIndex = e.index;
  info->CounterPath.szCounterName = place(&cursor, e.counter);
  info->szExplainText = place(&cursor, explainText);
  *bytes = needed;
  if (answer.misbehave == Misbehave::CutLastNul) {
    *bytes = needed - sizeof(WCHAR);
  } else if (answer.misbehave == Misbehave::RecordTooShort) {
    *bytes = sizeof(PDH_COUNTER_INFO_W) - 1;
  }
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI standInFormattedValue(PDH_HCOUNTER, DWORD format, LPDWORD, PDH_FMT_COUNTERVALUE* value) {
  HarnessScope harness;
  PdhStandIns::Formatted& answer = active().formatted;
  answer.formats.push_back(format);
  value->CStatus = answer.cStatus;
  value->largeValue = answer.valueBits;
  return status(answer.status);
}

PDH_STATUS WINAPI spyMakeCounterPath(PDH_COUNTER_PATH_ELEMENTS_W* elements, LPWSTR path, LPDWORD units,
                                     DWORD flags) {
  PdhStandIns::Make& make = active().make;
  {
    HarnessScope harness;
    make.offeredUnits.push_back(*units);
    make.received.push_back(PathElements{textOf(elements->szMachineName), textOf(elements->szObjectName),
                                         textOf(elements->szInstanceName), textOf(elements->szParentInstance),
                                         elements->dwInstanceIndex, textOf(elements->szCounterName)});
  }
  DWORD offered = *units;
  PDH_STATUS answer = PdhMakeCounterPathW(elements, path, units, flags);
  if (answer == status(kMoreData)) {
    HarnessScope harness;
    DWORD needed = *units;
    *units = offered;
    return answerTooSmall(make.offeredUnits, needed, units);
  }
  if (answer == ERROR_SUCCESS && make.sizeWithoutTerminator) {
    --*units;
  }
  return answer;
}

PDH_STATUS WINAPI spyLookupName(LPCWSTR machine, DWORD index, LPWSTR name, LPDWORD units) {
  PdhStandIns::Lookup& lookup = active().lookup;
  {
    HarnessScope harness;
    lookup.offeredUnits.push_back(*units);
    lookup.machines.push_back(textOf(machine));
  }
  if (!lookup.longName) {
    return PdhLookupPerfNameByIndexW(machine, index, name, units);
  }
  HarnessScope harness;
  DWORD offered = *units;
  DWORD needed = static_cast<DWORD>(lookup.longName->size() + 1);
  if (offered < needed) {
    return answerTooSmall(lookup.offeredUnits, needed, units);
  }
  std::memcpy(name, lookup.longName->c_str(), needed * sizeof(WCHAR));
  *units = needed;
  if (lookup.withoutNul) {
    // Not one NUL: neither where the reported size puts the terminator nor after it.
    std::fill(name + needed - 1, name + offered, L'x');
  }
  return ERROR_SUCCESS;
}

}  // namespace monitoringtest
