// Replaces, for a test's duration, a function a loaded module imports by
// rewriting that module's import address table.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace intercept {

// Addresses of the import address table entries through which `module` calls
// `function` of `dll`. The DLL name matches case-insensitively; when the module
// does not import from `dll` under that exact name, a DLL of the same family
// counts too (KERNEL32/KERNELBASE/api-ms-win-core-*, msvcrt/ucrtbase/
// api-ms-win-crt-*), since toolchains differ in which one they link against.
// A null `dll` matches every DLL the module imports from (for functions that
// import libraries place in different DLLs). Empty when nothing matches; `error`,
// when given, then says why.
std::vector<void**> findImportSlots(HMODULE module, const char* dll, const char* function,
                                    std::string* error = nullptr);

inline bool imports(HMODULE module, const char* dll, const char* function) {
  return !findImportSlots(module, dll, function).empty();
}

// Tag for a patch that resolves its slots now but writes them only on
// install(), so whatever the replacement relies on can be set up in between.
struct Deferred {};
inline constexpr Deferred deferred{};

enum class OnMissing {
  Fail,  // a test failure is raised, so a misspelt import cannot pass vacuously
  Skip,  // silently inactive; installed() tells
};

// RAII patch of one import. The slot value found at installation is kept as
// previous(), so a replacement can call through to whatever was there before
// (the real function or an earlier patch): patches on one import chain.
// Patches may be removed in any order; the chain is relinked.
// GCC may read an import's address once per function, so a call made in the
// very function that installs or removes a patch can miss the change; make
// such calls from a separate (noinline) function.
class ImportPatch {
 public:
  ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement,
              OnMissing onMissing = OnMissing::Fail);
  template <class Fn>
  ImportPatch(HMODULE module, const char* dll, const char* function, Fn* replacement,
              OnMissing onMissing = OnMissing::Fail)
      : ImportPatch(module, dll, function, reinterpret_cast<void*>(replacement), onMissing) {}
  ImportPatch(Deferred, HMODULE module, const char* dll, const char* function,
              void* replacement, OnMissing onMissing = OnMissing::Fail);
  ~ImportPatch();

  // Writes the slots of a deferred patch; no effect when already installed or
  // when the import was not found.
  void install();

  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // The import was found; for a deferred patch, install() may still be due.
  bool found() const { return !slots_.empty(); }
  bool installed() const { return installed_; }
  const std::string& error() const { return error_; }
  const std::string& function() const { return function_; }

  // What the slot held before this patch; null when not installed.
  void* previous() const { return previous_.load(); }
  template <class Fn>
  Fn* previousAs() const {
    return reinterpret_cast<Fn*>(previous_.load());
  }

 private:
  friend struct PatchRegistry;
  std::string function_;
  std::string error_;
  void* replacement_ = nullptr;
  std::atomic<void*> previous_{nullptr};
  std::vector<void**> slots_;
  bool installed_ = false;
};

// The functions of those patches that are in place (null entries skipped).
template <std::size_t N>
std::vector<std::string> patchedFunctions(ImportPatch* const (&patches)[N]) {
  std::vector<std::string> names;
  for (const ImportPatch* p : patches) {
    if (p != nullptr) names.push_back(p->function());
  }
  return names;
}

// Lets a replacement function, which is a plain function without state, reach
// the object that installed it for as long as that object lives. `Tag` tells
// apart several slots for one type.
template <class T, class Tag = T>
class ActiveInstance {
 public:
  explicit ActiveInstance(T* object) : previous_(slot().exchange(object)) {}
  ~ActiveInstance() { slot().store(previous_); }
  ActiveInstance(const ActiveInstance&) = delete;
  ActiveInstance& operator=(const ActiveInstance&) = delete;

  static T* get() { return slot().load(); }
  // True when another instance was already active when this one took over.
  bool displacedAnother() const { return previous_ != nullptr; }

 private:
  // Constant-initialised: reading it never allocates, which matters inside
  // replacements of the allocator itself.
  static std::atomic<T*>& slot() {
    static std::atomic<T*> active{nullptr};
    return active;
  }
  T* previous_;
};

}  // namespace intercept
