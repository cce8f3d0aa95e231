// The plain mode of the host, for programs that time natives.
#include <string>
#include <vector>

#include "guard_pages.h"
#include "host_state.h"
#include "host_test.h"

namespace jnihost {
namespace {

using Plain = HostTest;

// A native that misuses JNI: a call with an exception pending.
void misuse(JNIEnv* e) {
  e->ThrowNew(e->FindClass("java/lang/IllegalStateException"), "pending");
  e->GetVersion();
  e->ExceptionClear();
}

TEST_F(Plain, SkipsTheChecksAndRecordsOfEveryJniCall) {
  host.setPlain(true);
  EXPECT_TRUE(host.plain());
  host.call(misuse);
  EXPECT_TRUE(host.violations().empty());
  EXPECT_TRUE(host.lastCallJniFunctions().empty());

  host.setPlain(false);
  host.call(misuse);
  ASSERT_EQ(host.violations().size(), 1u);
  EXPECT_NE(host.violations()[0].find("GetVersion: called with"), std::string::npos) << host.violations()[0];
  EXPECT_EQ(host.lastCallJniFunctions(),
            (std::vector<std::string>{"FindClass", "ThrowNew", "GetVersion", "ExceptionClear"}));
  host.clearViolations();
}

TEST_F(Plain, HandsOutPlainMemory) {
  jbyteArray array = host.newArray<jbyte>({1, 2, 3});
  auto elementsGuarded = [](JNIEnv* e, jbyteArray a) {
    jbyte* elements = e->GetByteArrayElements(a, nullptr);
    testsupport::guard::BlockInfo info;
    bool guarded = testsupport::guard::find(elements, &info);
    e->ReleaseByteArrayElements(a, elements, JNI_ABORT);
    return guarded;
  };
  unsigned char storage[16] = {};
  jobject buffer = env()->NewDirectByteBuffer(storage, sizeof storage);
  auto address = [](JNIEnv* e, jobject b) { return e->GetDirectBufferAddress(b); };
  EXPECT_TRUE(host.call(elementsGuarded, array));
  EXPECT_NE(host.call(address, buffer), static_cast<void*>(storage));  // a guarded stand-in

  host.setPlain(true);
  EXPECT_FALSE(host.call(elementsGuarded, array));
  EXPECT_EQ(host.call(address, buffer), static_cast<void*>(storage));
}

TEST_F(Plain, ForgetsDeadLocalRefsAndKeepsTheLiveOnes) {
  auto churn = [](JNIEnv* e) {
    for (int i = 0; i < 100; ++i) {
      e->DeleteLocalRef(e->NewStringUTF("x"));
    }
    e->PushLocalFrame(4);
    e->NewStringUTF("popped with its frame");
    e->PopLocalFrame(nullptr);
    return e->NewStringUTF("kept");
  };
  std::size_t before = host.state().refs.size();
  host.call(churn);
  std::size_t checking = host.state().refs.size() - before;
  EXPECT_GE(checking, 102u);  // every dead ref stays on record for stale-use reports

  host.setPlain(true);
  before = host.state().refs.size();
  jobject kept = host.call(churn);
  EXPECT_LE(host.state().refs.size() - before, 2u);  // the result, in the native's frame and in the caller's
  EXPECT_EQ(host.str(kept), u"kept");
}

}  // namespace
}  // namespace jnihost
