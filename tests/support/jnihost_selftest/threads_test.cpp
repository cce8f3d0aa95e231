// Several threads in one host: each with its own JNIEnv and pending exception,
// natives of two threads running at once, monitors that block, and the rules that
// keep a JNIEnv and local references to their own thread.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "host_test.h"

namespace jnihost {
namespace {

class ThreadsTest : public HostTest {
 protected:
  bool recorded(const std::string& part) {
    for (const std::string& v : host.violations()) {
      if (v.find(part) != std::string::npos) return true;
    }
    return false;
  }
  // Runs body on a thread of its own, attached to the host, while this one waits.
  template <class Body>
  void onOtherThread(Body body) {
    Host::Unlocked waiting(host);
    std::thread([this, &body] {
      Host::ThreadScope attached(host);
      body();
    }).join();
  }
};

TEST_F(ThreadsTest, EachThreadHasItsOwnEnvAndPendingException) {
  JNIEnv* mine = host.env();
  host.throwNew("java/lang/IllegalStateException", u"main");
  JNIEnv* theirs = nullptr;
  bool theirsPending = true;
  onOtherThread([&] {
    theirs = host.env();
    theirsPending = host.exceptionPending();
    host.throwNew("java/lang/IllegalArgumentException", u"other");
    host.clearException();
  });
  EXPECT_NE(theirs, mine);
  EXPECT_FALSE(theirsPending);
  EXPECT_EQ(host.exceptionClass(), "java/lang/IllegalStateException");
  host.clearException();
}

TEST_F(ThreadsTest, NativesOfTwoThreadsRunAtOnce) {
  // Each native signals its start and waits for the other's: only natives that run
  // side by side, the host's lock given up, both get past the wait.
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto native = [](JNIEnv* env, jlong own, jlong other) -> jint {
    SetEvent(reinterpret_cast<HANDLE>(own));
    const bool met = WaitForSingleObject(reinterpret_cast<HANDLE>(other), 5000) == WAIT_OBJECT_0;
    return met && env->GetVersion() != 0 ? 1 : 0;
  };
  const auto a = reinterpret_cast<jlong>(first);
  const auto b = reinterpret_cast<jlong>(second);
  jint theirs = 0;
  std::thread t;
  {
    Host::Unlocked waiting(host);
    t = std::thread([&] {
      Host::ThreadScope attached(host);
      theirs = host.call(+native, b, a);
    });
  }
  const jint mine = host.call(+native, a, b);
  {
    Host::Unlocked waiting(host);
    t.join();
  }
  EXPECT_EQ(mine, 1);
  EXPECT_EQ(theirs, 1);
  CloseHandle(first);
  CloseHandle(second);
}

TEST_F(ThreadsTest, LocalReferenceOfAnotherThreadIsAViolation) {
  jstring mine = host.newString(u"main's");
  onOtherThread([&] { host.call([](JNIEnv* env, jstring s) { return env->GetStringLength(s); }, mine); });
  EXPECT_TRUE(recorded("is a local reference of another thread")) << "no violation recorded";
  host.clearViolations();
}

TEST_F(ThreadsTest, GlobalReferenceServesEveryThread) {
  jobject shared = host.env()->NewGlobalRef(host.newString(u"shared"));
  jint length = 0;
  onOtherThread([&] {
    length = host.call([](JNIEnv* env, jobject s) { return env->GetStringLength(static_cast<jstring>(s)); }, shared);
  });
  EXPECT_EQ(length, 6);
  host.env()->DeleteGlobalRef(shared);
}

TEST_F(ThreadsTest, EnvOfAnotherThreadIsAViolation) {
  JNIEnv* mine = host.env();
  onOtherThread([&] { mine->GetVersion(); });
  EXPECT_TRUE(recorded("called with the JNIEnv of another thread")) << "no violation recorded";
  host.clearViolations();
}

TEST_F(ThreadsTest, MonitorHeldByAnotherThreadBlocksUntilReleased) {
  jobject lock = host.env()->NewGlobalRef(host.newString(u"lock"));
  ASSERT_EQ(host.env()->MonitorEnter(lock), JNI_OK);
  std::atomic<bool> entered{false};
  std::thread t;
  {
    Host::Unlocked waiting(host);
    t = std::thread([&] {
      Host::ThreadScope attached(host);
      host.env()->MonitorEnter(lock);
      entered = true;
      host.env()->MonitorExit(lock);
    });
    Sleep(200);
  }
  EXPECT_FALSE(entered) << "entered a monitor another thread holds";
  EXPECT_EQ(host.env()->MonitorExit(lock), JNI_OK);
  {
    Host::Unlocked waiting(host);
    t.join();
  }
  EXPECT_TRUE(entered);
  host.env()->DeleteGlobalRef(lock);
}

TEST_F(ThreadsTest, MonitorExitByAThreadThatDoesNotOwnItFails) {
  jobject lock = host.env()->NewGlobalRef(host.newString(u"lock"));
  ASSERT_EQ(host.env()->MonitorEnter(lock), JNI_OK);
  std::string raised;
  onOtherThread([&] {
    host.env()->MonitorExit(lock);
    raised = host.exceptionClass();
    host.clearException();
  });
  EXPECT_EQ(raised, "java/lang/IllegalMonitorStateException");
  EXPECT_EQ(host.env()->MonitorExit(lock), JNI_OK);
  host.env()->DeleteGlobalRef(lock);
}

}  // namespace
}  // namespace jnihost
