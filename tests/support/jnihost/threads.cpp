// Several threads in one host, as in a JVM: each attached thread has its own JNIEnv
// and its own frames, pending exception and native calls; objects, classes and
// global references are shared. One lock guards the host: a thread holds it while
// it runs host code and its own test code, and gives it up while a native runs, so
// that natives of several threads run at once and meet only in the JNI functions
// they call. Whose thread fields State holds follows the lock.
#include <limits>

#include "harness_scope.h"
#include "host_state.h"

namespace jnihost {
namespace detail {

namespace {

void swapFields(State& s, ThreadContext& c) {
  std::swap(s.frames, c.frames);
  std::swap(s.pending, c.pending);
  std::swap(s.pins, c.pins);
  std::swap(s.monitors, c.monitors);
  std::swap(s.criticalDepth, c.criticalDepth);
  std::swap(s.calls, c.calls);
  std::swap(s.countedLive, c.countedLive);
  std::swap(s.peak, c.peak);
  std::swap(s.nativeJniCalls, c.nativeJniCalls);
  std::swap(s.currentFn, c.currentFn);
  std::swap(s.lastReleasedCopy, c.lastReleasedCopy);
  std::swap(s.lockDepthsGivenUp, c.lockDepthsGivenUp);
  std::swap(s.retired, c.retired);
  std::swap(s.shadows, c.shadows);
  std::swap(s.callSerial, c.callSerial);
}

// A new thread's fields: a base frame for the references its test code makes.
std::unique_ptr<ThreadContext> newContext(State& s, std::thread::id thread) {
  auto c = std::make_unique<ThreadContext>();
  c->block.env.functions = &s.table;
  c->block.vm.functions = &s.vmTable;
  c->block.state = &s;
  c->block.thread = thread;
  c->frames.push_back(Frame{FrameKind::Base, false, std::numeric_limits<std::size_t>::max(), 0, {}, false});
  return c;
}

// Called with the lock held by `me`.
void makeResident(State& s, std::thread::id me, bool attaching) {
  if (s.resident == me) return;
  auto own = s.threads.find(me);
  const bool known = own != s.threads.end();
  if (!known) own = s.threads.emplace(me, newContext(s, me)).first;
  auto away = s.threads.find(s.resident);
  if (away != s.threads.end()) swapFields(s, *away->second);
  swapFields(s, *own->second);
  s.resident = me;
  if (!known && !attaching) violation(s, "JNI used on a thread that is not attached to the host");
}

}  // namespace

void lockHost(State& s, bool attaching) {
  const std::thread::id me = std::this_thread::get_id();
  {
    std::unique_lock<std::mutex> hold(s.lockMutex);
    if (s.lockOwner == me) {
      ++s.lockDepth;
      return;
    }
    s.lockFree.wait(hold, [&s] { return s.lockDepth == 0; });
    s.lockOwner = me;
    s.lockDepth = 1;
  }
  makeResident(s, me, attaching);
}

void unlockHost(State& s) {
  std::lock_guard<std::mutex> hold(s.lockMutex);
  if (--s.lockDepth == 0) {
    s.lockOwner = std::thread::id();
    s.lockFree.notify_one();
  }
}

int unlockHostFully(State& s) {
  std::lock_guard<std::mutex> hold(s.lockMutex);
  if (s.lockOwner != std::this_thread::get_id()) return 0;
  const int depth = s.lockDepth;
  s.lockDepth = 0;
  s.lockOwner = std::thread::id();
  s.lockFree.notify_one();
  return depth;
}

void relockHost(State& s, int depth) {
  if (depth <= 0) return;
  lockHost(s);
  setLockDepth(s, depth);
}

void setLockDepth(State& s, int depth) {
  std::lock_guard<std::mutex> hold(s.lockMutex);
  s.lockDepth = depth;
}

EnvBlock* ownBlock(State& s) {
  const std::thread::id me = std::this_thread::get_id();
  if (me == s.block.thread) return &s.block;
  auto it = s.threads.find(me);
  return it == s.threads.end() ? nullptr : &it->second->block;
}

void detachThread(State& s) {
  if (s.pending) violation(s, "thread detached with " + describe(s.pending) + " pending");
  if (!s.calls.empty()) violation(s, "thread detached inside a native call");
  while (!s.frames.empty()) popFrame(s);
  s.threads.erase(std::this_thread::get_id());
  s.resident = std::thread::id();
}

}  // namespace detail

Host::ThreadScope::ThreadScope(Host& host) : host_(host) {
  testsupport::HarnessScope scope;
  detail::State& s = host_.state();
  detail::lockHost(s, true);
  if (std::this_thread::get_id() == s.block.thread) {
    detail::violation(s, "ThreadScope opened on the thread that made the host");
  }
}

Host::ThreadScope::~ThreadScope() {
  testsupport::HarnessScope scope;
  detail::State& s = host_.state();
  detail::detachThread(s);
  detail::unlockHost(s);
}

Host::Unlocked::Unlocked(Host& host) : host_(host) {
  testsupport::HarnessScope scope;
  depth_ = detail::unlockHostFully(host_.state());
}

Host::Unlocked::~Unlocked() {
  testsupport::HarnessScope scope;
  detail::relockHost(host_.state(), depth_);
}

}  // namespace jnihost
