// Where the sweep's calls run: one deliverable loaded into the JNI host with the
// jar's classes, its heap traffic accounted per call, the stand-ins in place, and
// the scratch resources (a registry key, an ended child process, a folder) that valid
// receivers and arguments are made from. Every call gets fresh values; what it opened
// and what the sweep opened for it is released after it, so the machine is left as
// it was found.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "deliverables.h"
#include "handle_accounting.h"
#include "heap_accounting.h"
#include "jni_host.h"
#include "standins.h"
#include "sweep_table.h"

namespace tcpestatstest {
class EStatsStandIn;
}

namespace sweep {

struct Outcome {
  std::string kind;                 // "returned normally" or the class of the exception raised
  std::vector<std::string> faults;  // what no call may do: rules broken, leaks, ...
};

// The deliverable a file name stands for (a Library bit), 0 for none.
int libraryOf(const std::wstring& file);

class World {
 public:
  explicit World(const std::wstring& libraryFile);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Empty when the world is ready; otherwise why it is not.
  const std::string& problem() const { return problem_; }

  Outcome run(const Call& call);

 private:
  // What one call holds; released after it, newest first.
  struct Held {
    std::vector<std::function<void()>> releases;
    std::vector<std::function<void()>> late;  // closed handles are made last
    std::function<void()> receiverRelease;
  };

  // The value of a parameter or receiver, into `out` (closed handles only once the
  // held.late steps run).
  void makeValue(const Param& p, const std::string& cls, Hostile h, bool isReceiver, Held& held, jvalue& out);
  jobject makeFieldsObject(const std::string& cls, Hostile h);
  jobject newInstance(const std::string& cls);
  // A valid handle of the kind and how to release it (none for a predefined key).
  std::pair<jlong, std::function<void()>> openHandle(Kind kind);
  jlong staleHandle(Kind kind);
  jstring str(const std::u16string& text);
  jstring textValue(const char16_t* text);
  jobject directBuffer(size_t bytes, Held& held);
  void releaseResult(const Call& call, jobject result);

  std::string problem_;
  jnihost::Host host_;
  testsupport::LoadedLibrary library_;
  std::unique_ptr<intercept::HeapAccounting> heap_;
  std::unique_ptr<intercept::HandleAccounting> handles_;
  std::unique_ptr<robustness::StandIns> standIns_;
  std::unique_ptr<tcpestatstest::EStatsStandIn> estats_;
  std::wstring scratchKey_;
  std::wstring folder_;
  HANDLE endedChild_ = nullptr;
  HDESK threadDesktop_ = nullptr;
  jstring empty_ = nullptr;
  jstring longText_ = nullptr;
  unsigned serial_ = 0;
};

}  // namespace sweep
