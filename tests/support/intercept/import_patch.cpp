#include "import_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

namespace intercept {
namespace {

std::string lower(const char* s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Groups of DLLs that export the same functions under different names.
int dllFamily(const std::string& lowerName) {
  if (lowerName == "kernel32.dll" || lowerName == "kernelbase.dll" ||
      startsWith(lowerName, "api-ms-win-core-"))
    return 1;
  if (lowerName == "msvcrt.dll" || lowerName == "ucrtbase.dll" ||
      startsWith(lowerName, "api-ms-win-crt-"))
    return 2;
  return 0;
}

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

void writeSlot(void** slot, void* value) {
  DWORD old = 0;
  // Import tables usually sit in read-only pages once the loader is done.
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) {
    ADD_FAILURE() << "VirtualProtect of import slot " << hex(slot) << " failed, error "
                  << GetLastError();
    return;
  }
  InterlockedExchangePointer(slot, value);
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof(void*), old, &ignored);
}

}  // namespace

std::vector<void**> findImportSlots(HMODULE module, const char* dll, const char* function,
                                    std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return std::vector<void**>{};
  };
  if (!module) return fail("no module given");
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return fail("module has no DOS header");
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return fail("module is not a PE32+ image");
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0 || dir.Size == 0) return fail("module has no import directory");

  const std::string wanted = dll != nullptr ? lower(dll) : std::string();
  const int wantedFamily = dllFamily(wanted);
  std::vector<void**> exact;
  std::vector<void**> sameFamily;
  bool dllSeen = false;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       desc->Name != 0; ++desc) {
    const std::string name = lower(reinterpret_cast<const char*>(base + desc->Name));
    const bool isExact = dll == nullptr || name == wanted;
    const bool isFamily = !isExact && wantedFamily != 0 && dllFamily(name) == wantedFamily;
    if (!isExact && !isFamily) continue;
    dllSeen = true;
    // Names live only in the import name table; the address table has been
    // overwritten with addresses by the loader.
    if (desc->OriginalFirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + desc->OriginalFirstThunk);
    auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      (isExact ? exact : sameFamily).push_back(reinterpret_cast<void**>(&addresses->u1.Function));
    }
  }
  if (!exact.empty()) return exact;
  if (!sameFamily.empty()) return sameFamily;
  if (dll == nullptr) return fail(std::string("module does not import ") + function);
  return fail(dllSeen ? std::string("module does not import ") + function + " from " + dll
                      : std::string("module imports nothing from ") + dll);
}

// Patches stacked on one import, oldest first, so that removal out of order
// can relink the chain instead of clobbering a newer patch.
struct PatchRegistry {
  static PatchRegistry& instance() {
    static PatchRegistry registry;
    return registry;
  }

  void push(ImportPatch* patch) {
    AcquireSRWLockExclusive(&lock);
    // Everything that allocates happens before the slots change: the
    // allocator itself may be what is being patched.
    auto& stack = chains[patch->slots_.front()];
    stack.push_back(patch);
    patch->previous_.store(*patch->slots_.front());
    originals[patch] = currentValues(patch);
    for (void** slot : patch->slots_) writeSlot(slot, patch->replacement_);
    ReleaseSRWLockExclusive(&lock);
  }

  void remove(ImportPatch* patch) {
    AcquireSRWLockExclusive(&lock);
    auto& stack = chains[patch->slots_.front()];
    auto it = std::find(stack.begin(), stack.end(), patch);
    if (it + 1 == stack.end()) {
      const auto& values = originals[patch];
      for (size_t i = 0; i < patch->slots_.size(); ++i) writeSlot(patch->slots_[i], values[i]);
    } else {
      ImportPatch* newer = *(it + 1);
      newer->previous_.store(patch->previous_.load());
      originals[newer] = originals[patch];
    }
    stack.erase(it);
    originals.erase(patch);
    if (stack.empty()) chains.erase(patch->slots_.front());
    ReleaseSRWLockExclusive(&lock);
  }

  static std::vector<void*> currentValues(const ImportPatch* patch) {
    std::vector<void*> values;
    for (void** slot : patch->slots_) values.push_back(*slot);
    return values;
  }

  SRWLOCK lock = SRWLOCK_INIT;
  std::map<void**, std::vector<ImportPatch*>> chains;
  std::map<const ImportPatch*, std::vector<void*>> originals;
};

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function,
                         void* replacement, OnMissing onMissing)
    : ImportPatch(deferred, module, dll, function, replacement, onMissing) {
  install();
}

ImportPatch::ImportPatch(Deferred, HMODULE module, const char* dll, const char* function,
                         void* replacement, OnMissing onMissing)
    : function_(function), replacement_(replacement) {
  slots_ = findImportSlots(module, dll, function, &error_);
  if (slots_.empty() && onMissing == OnMissing::Fail)
    ADD_FAILURE() << "cannot patch " << (dll != nullptr ? dll : "*") << "!" << function << ": " << error_;
}

void ImportPatch::install() {
  if (installed_ || slots_.empty()) return;
  PatchRegistry::instance().push(this);
  installed_ = true;
}

ImportPatch::~ImportPatch() {
  if (installed_) PatchRegistry::instance().remove(this);
}

}  // namespace intercept
