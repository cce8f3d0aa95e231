// A stand-in for an import that Wine never lets fail, or fails only where a test
// cannot arrange it: the call fails the way the function documents its failure,
// with the value it returns then (FALSE, a null handle, ...) and the reason in the
// last error; for functions that answer with the error itself (the registry's),
// the answer alone, the last error left as it was. The test that installs one says
// which real refusal it reproduces.
//
// Refusals of one signature share their replacement: two such at once need tags
// of their own (a second one with the same tag fails the test).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <memory>

#include "harness_scope.h"
#include "import_patch.h"

namespace intercept {

// Selects the form of Refusal that only answers, for functions that return their error.
struct AnswerOnly {};
inline constexpr AnswerOnly answerOnly{};

template <class Signature, class Tag = Signature>
class Refusal;

template <class Result, class... Args, class Tag>
class Refusal<Result WINAPI(Args...), Tag> {
 public:
  // Every call returns `failure` with `lastError` set.
  Refusal(HMODULE module, const char* dll, const char* function, DWORD lastError, Result failure = Result{})
      : failure_(failure), lastError_(lastError), setsLastError_(true), active_(this) {
    install(module, dll, function);
  }
  // Every call returns `failure` and leaves the last error alone.
  Refusal(AnswerOnly, HMODULE module, const char* dll, const char* function, Result failure)
      : failure_(failure), active_(this) {
    install(module, dll, function);
  }
  Refusal(const Refusal&) = delete;
  Refusal& operator=(const Refusal&) = delete;

  // Only the first `count` calls are refused; later ones reach the function.
  void passAfter(unsigned count) { refusals_ = count; }
  // Calls seen, refused or passed on (the harness's own excluded).
  unsigned calls() const { return calls_.load(); }
  bool installed() const { return patch_ != nullptr && patch_->installed(); }

 private:
  void install(HMODULE module, const char* dll, const char* function) {
    if (active_.displacedAnother()) {
      ADD_FAILURE() << "two refusals with one signature and tag at once (" << function << "): give one a tag";
    }
    patch_ = std::make_unique<ImportPatch>(module, dll, function, &replacement);
  }

  static Result WINAPI replacement(Args... args) {
    Refusal* self = ActiveInstance<Refusal>::get();
    if (testsupport::inHarness()) return self->patch_->template previousAs<Result WINAPI(Args...)>()(args...);
    const unsigned call = ++self->calls_;
    if (call > self->refusals_) return self->patch_->template previousAs<Result WINAPI(Args...)>()(args...);
    if (self->setsLastError_) SetLastError(self->lastError_);
    return self->failure_;
  }

  Result failure_;
  DWORD lastError_ = 0;
  bool setsLastError_ = false;
  unsigned refusals_ = UINT_MAX;
  std::atomic<unsigned> calls_{0};
  ActiveInstance<Refusal> active_;
  std::unique_ptr<ImportPatch> patch_;
};

}  // namespace intercept
