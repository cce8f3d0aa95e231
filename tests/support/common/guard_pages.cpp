#include "guard_pages.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

#include "harness_scope.h"

namespace testsupport::guard {
namespace {

// Larger requests are refused rather than risk overflowing the page arithmetic.
constexpr std::size_t kLargestBlock = std::size_t{1} << 40;

std::size_t pageSize() {
  static const std::size_t size = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<std::size_t>(info.dwPageSize);
  }();
  return size;
}

std::size_t roundUp(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%p", p);
  return buf;
}

// One reservation: a no-access page, the block's committed pages, a no-access page.
struct Region {
  char* base = nullptr;
  std::size_t dataPages = 0;
  char* block = nullptr;
  std::size_t size = 0;
  std::size_t alignment = kAlignment;
  std::string label;
  bool released = false;

  char* dataStart() const { return base + pageSize(); }
  char* dataEnd() const { return dataStart() + dataPages * pageSize(); }
  char* reservationEnd() const { return dataEnd() + pageSize(); }
  std::string describe() const {
    return "block " + hex(block) + " (" + std::to_string(size) + " bytes, " + label + ")";
  }
};

struct Registry {
  SRWLOCK lock = SRWLOCK_INIT;
  std::map<std::uintptr_t, Region> regions;  // by reservation base
  std::vector<std::string> faults;
  void* handler = nullptr;

  Region* containing(const void* p) {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    auto it = regions.upper_bound(address);
    if (it == regions.begin()) return nullptr;
    --it;
    Region& r = it->second;
    return address < reinterpret_cast<std::uintptr_t>(r.reservationEnd()) ? &r : nullptr;
  }
  Region* startingAt(const void* p) {
    Region* r = containing(p);
    return r != nullptr && r->block == p ? r : nullptr;
  }
};

// Never destroyed: blocks may be released by static destructors running at exit.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

class Exclusive {
 public:
  explicit Exclusive(Registry& r) : r_(r) { AcquireSRWLockExclusive(&r_.lock); }
  ~Exclusive() { ReleaseSRWLockExclusive(&r_.lock); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

 private:
  Registry& r_;
};

void layFences(const Region& r) {
  std::memset(r.dataStart(), kFenceFill, static_cast<std::size_t>(r.block - r.dataStart()));
  std::memset(r.block + r.size, kFenceFill, static_cast<std::size_t>(r.dataEnd() - (r.block + r.size)));
}

// First changed fence byte, reported once per block.
void checkFences(Registry& reg, const Region& r) {
  for (char* p = r.dataStart(); p < r.block; ++p) {
    if (static_cast<unsigned char>(*p) != kFenceFill) {
      reg.faults.push_back("write at offset " + std::to_string(p - r.block) + " of " + r.describe() +
                           ", before its start: fence found changed when the block was checked or released");
      return;
    }
  }
  for (char* p = r.block + r.size; p < r.dataEnd(); ++p) {
    if (static_cast<unsigned char>(*p) != kFenceFill) {
      reg.faults.push_back("write at offset " + std::to_string(p - r.block) + " of " + r.describe() +
                           ", past its end: fence (in the slack up to its alignment boundary) found changed when the "
                           "block was checked or released");
      return;
    }
  }
}

// "module+offset" of a code address; false (and the bare address) outside every module.
bool whereFrom(const void* code, std::string* text) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<const char*>(code), &module)) {
    *text = hex(code);
    return false;
  }
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, MAX_PATH);
  const char* name = std::strrchr(path, '\\');
  char offset[32];
  std::snprintf(offset, sizeof offset, "+0x%llx",
                static_cast<unsigned long long>(static_cast<const char*>(code) - reinterpret_cast<char*>(module)));
  *text = std::string(name != nullptr ? name + 1 : path) + offset;
  return true;
}

const char* accessKind(ULONG_PTR code) {
  switch (code) {
    case 0:
      return "read";
    case 1:
      return "write";
    default:
      return "execution";
  }
}

// The code that faulted and a few of its callers, innermost first.
std::string callChain(const CONTEXT* fault) {
  CONTEXT context = *fault;
  std::string chain;
  for (int frame = 0; frame < 6 && context.Rip != 0; ++frame) {
    if (frame > 0) chain += " <- ";
    std::string where;
    const bool inModule = whereFrom(reinterpret_cast<const void*>(context.Rip), &where);
    chain += where;
    // Outside every module there is no unwind information to go on with.
    if (!inModule) break;
    DWORD64 imageBase = 0;
    RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function == nullptr) {
      // A leaf function: the return address is on top of the stack.
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
    } else {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData, &establisher,
                       nullptr);
    }
  }
  return chain;
}

std::string faultText(const Region& r, const char* access, char* address) {
  const std::string where =
      access + std::string(" at offset ") + std::to_string(address - r.block) + " of " + r.describe();
  if (address >= r.block + r.size) return where + ", past its end";
  if (address < r.block) return where + ", before its start";
  return where + ", after it was released";
}

LONG CALLBACK onAccessViolation(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  HarnessScope harness;
  auto* address = reinterpret_cast<char*>(record->ExceptionInformation[1]);
  Registry& reg = registry();
  std::string report;
  {
    Exclusive hold(reg);
    const Region* r = reg.containing(address);
    if (r == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    report = faultText(*r, accessKind(record->ExceptionInformation[0]), address) + ": fault at " + hex(address) +
             " in " + callChain(pointers->ContextRecord);
    // The page is made usable so that the code goes on and the test fails with
    // this report instead of the program dying; a released page comes back zeroed.
    char* page = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(address) / pageSize() * pageSize());
    if (VirtualAlloc(page, pageSize(), MEM_COMMIT, PAGE_READWRITE) == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    reg.faults.push_back(report);
  }
  std::fprintf(stderr, "guard page: %s\n", report.c_str());
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void* allocate(std::size_t size, Contents contents, std::string label, std::size_t alignment) {
  HarnessScope harness;
  if (size > kLargestBlock) return nullptr;
  const std::size_t page = pageSize();
  const std::size_t capacity = roundUp(size, alignment);
  Region r;
  r.dataPages = roundUp(capacity, page) / page;
  r.base = static_cast<char*>(VirtualAlloc(nullptr, (r.dataPages + 2) * page, MEM_RESERVE, PAGE_NOACCESS));
  if (r.base == nullptr) return nullptr;
  if (r.dataPages > 0 && VirtualAlloc(r.dataStart(), r.dataPages * page, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    VirtualFree(r.base, 0, MEM_RELEASE);
    return nullptr;
  }
  r.block = r.dataEnd() - capacity;
  r.size = size;
  r.alignment = alignment;
  r.label = std::move(label);
  std::memset(r.block, contents == Contents::Zero ? 0 : kFreshFill, size);
  layFences(r);

  Registry& reg = registry();
  Exclusive hold(reg);
  if (reg.handler == nullptr) reg.handler = AddVectoredExceptionHandler(1, onAccessViolation);
  char* block = r.block;
  reg.regions.emplace(reinterpret_cast<std::uintptr_t>(r.base), std::move(r));
  return block;
}

bool find(const void* p, BlockInfo* info) {
  HarnessScope harness;
  Registry& reg = registry();
  AcquireSRWLockShared(&reg.lock);
  const Region* r = reg.startingAt(p);
  if (r != nullptr && info != nullptr) *info = BlockInfo{r->block, r->size, r->released};
  ReleaseSRWLockShared(&reg.lock);
  return r != nullptr;
}

std::size_t roomInPlace(const void* p) {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  const Region* r = reg.startingAt(p);
  return r != nullptr && !r->released ? static_cast<std::size_t>(r->dataEnd() - r->block) : 0;
}

bool resize(void* p, std::size_t size, Contents contents) {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  Region* r = reg.startingAt(p);
  if (r == nullptr || r->released || roundUp(size, r->alignment) > static_cast<std::size_t>(r->dataEnd() - r->block)) {
    return false;
  }
  if (size > r->size) std::memset(r->block + r->size, contents == Contents::Zero ? 0 : kFreshFill, size - r->size);
  r->size = size;
  layFences(*r);
  return true;
}

void check(void* p) {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  const Region* r = reg.startingAt(p);
  if (r == nullptr || r->released) return;
  checkFences(reg, *r);
  layFences(*r);
}

bool release(void* p) {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  Region* r = reg.startingAt(p);
  if (r == nullptr || r->released) return false;
  checkFences(reg, *r);
  if (r->dataPages > 0) VirtualFree(r->dataStart(), r->dataPages * pageSize(), MEM_DECOMMIT);
  r->released = true;
  return true;
}

namespace {

// Gives the reservation of the block at `p` back, checking a live block's fences first when asked.
void remove(void* p, bool checkLive) {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  Region* r = reg.startingAt(p);
  if (r == nullptr) return;
  if (checkLive && !r->released) checkFences(reg, *r);
  char* base = r->base;
  reg.regions.erase(reinterpret_cast<std::uintptr_t>(base));
  VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace

void reclaim(void* p) { remove(p, true); }

void discard(void* p) { remove(p, false); }

void report(std::string text) {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  reg.faults.push_back(std::move(text));
}

std::vector<std::string> takeFaults() {
  HarnessScope harness;
  Registry& reg = registry();
  Exclusive hold(reg);
  std::vector<std::string> out;
  out.swap(reg.faults);
  return out;
}

}  // namespace testsupport::guard
