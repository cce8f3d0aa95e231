// Each misuse the host must catch, provoked by a tiny native.
#include <algorithm>
#include <string>
#include <vector>

#include "host_test.h"

namespace jnihost {
namespace {

struct Args {
  jobject point;  // test/Point: int x, long big, int sum(), static int twice(int)
  jstring text;
  jintArray numbers;
};

struct Misuse {
  const char* name;
  void (*native)(JNIEnv*, Args);
  const char* expected;  // part of the recorded violation
};

jclass pointClass(JNIEnv* e) { return e->FindClass("test/Point"); }

void PrintTo(const Misuse& m, std::ostream* os) { *os << m.name; }

const Misuse kMisuses[] = {
    // A JNI function other than the exception-safe ones with an exception pending.
    {"CallWithPendingException",
     [](JNIEnv* e, Args a) {
       e->ThrowNew(e->FindClass("java/lang/IllegalStateException"), "boom");
       e->GetStringLength(a.text);
     },
     "GetStringLength: called with instance of java/lang/IllegalStateException pending"},
    {"ThrowOverPendingException",
     [](JNIEnv* e, Args) {
       jclass c = e->FindClass("java/lang/IllegalStateException");
       e->ThrowNew(c, "first");
       e->ThrowNew(c, "second");
     },
     "ThrowNew: raised while instance of java/lang/IllegalStateException is pending"},
    {"FramePushedNotPopped", [](JNIEnv* e, Args) { e->PushLocalFrame(4); },
     "native returned with 1 local frame(s) pushed and not popped"},
    {"FramePoppedNotPushed", [](JNIEnv* e, Args) { e->PopLocalFrame(nullptr); },
     "PopLocalFrame: no frame pushed by PushLocalFrame to pop"},
    {"UseAfterDeleteLocalRef",
     [](JNIEnv* e, Args a) {
       jclass c = e->GetObjectClass(a.point);
       e->DeleteLocalRef(c);
       e->GetSuperclass(c);
     },
     "used after DeleteLocalRef"},
    {"UseAfterFramePopped",
     [](JNIEnv* e, Args a) {
       e->PushLocalFrame(2);
       jclass c = e->GetObjectClass(a.point);
       e->PopLocalFrame(nullptr);
       e->GetSuperclass(c);
     },
     "used after its local frame was popped"},
    {"DeleteLocalRefTwice",
     [](JNIEnv* e, Args a) {
       jclass c = e->GetObjectClass(a.point);
       e->DeleteLocalRef(c);
       e->DeleteLocalRef(c);
     },
     "DeleteLocalRef: reference"},
    {"DeleteGlobalRefOfLocal", [](JNIEnv* e, Args a) { e->DeleteGlobalRef(e->GetObjectClass(a.point)); },
     "reference is a local one"},
    {"NullWhereRequired", [](JNIEnv* e, Args) { e->GetObjectClass(nullptr); }, "GetObjectClass: null object"},
    {"GarbageReference", [](JNIEnv* e, Args) { e->GetObjectClass(reinterpret_cast<jobject>(0x1234)); },
     "is not a reference"},
    {"FieldOfOtherType", [](JNIEnv* e, Args a) { e->GetLongField(a.point, e->GetFieldID(pointClass(e), "x", "I")); },
     "GetLongField: field test/Point.x has type I"},
    {"FieldOfOtherClass", [](JNIEnv* e, Args a) { e->GetIntField(a.text, e->GetFieldID(pointClass(e), "x", "I")); },
     "field test/Point.x used with String"},
    {"StaticIdForInstanceField",
     [](JNIEnv* e, Args) { e->GetStaticIntField(pointClass(e), e->GetFieldID(pointClass(e), "x", "I")); },
     "instance field test/Point.x"},
    {"MethodOfOtherReturnType",
     [](JNIEnv* e, Args a) {
       e->functions->CallBooleanMethod(e, a.point, e->GetMethodID(pointClass(e), "sum", "()I"));
     },
     "CallBooleanMethod: test/Point.sum()I does not return Boolean"},
    {"InstanceMethodCalledStatic",
     [](JNIEnv* e, Args) { e->CallStaticIntMethod(pointClass(e), e->GetMethodID(pointClass(e), "sum", "()I")); },
     "instance method test/Point.sum()I"},
    {"MethodOnObjectOfOtherClass",
     [](JNIEnv* e, Args a) { e->CallIntMethod(a.text, e->GetMethodID(pointClass(e), "sum", "()I")); },
     "test/Point.sum()I called on String"},
    {"ArgumentOfWrongClass",
     [](JNIEnv* e, Args a) {
       e->CallStaticVoidMethod(pointClass(e), e->GetStaticMethodID(pointClass(e), "show", "(Ljava/lang/String;)V"),
                               a.point);
     },
     "argument 1 of show(Ljava/lang/String;)V is instance of test/Point"},
    {"ElementsOfOtherType",
     [](JNIEnv* e, Args a) { e->GetLongArrayElements(reinterpret_cast<jlongArray>(a.numbers), nullptr); },
     "array is instance of [I, not [J"},
    {"TooManyLocalRefs",
     [](JNIEnv* e, Args a) {
       for (int i = 0; i < 17; ++i) e->GetObjectClass(a.point);
     },
     "17 local references live in a frame with capacity 16"},
    {"GlobalRefNotDeleted", [](JNIEnv* e, Args a) { e->NewGlobalRef(a.point); },
     "global reference to instance of test/Point made during the call is still alive"},
    {"WeakGlobalRefNotDeleted", [](JNIEnv* e, Args a) { e->NewWeakGlobalRef(a.point); },
     "weak global reference to instance of test/Point"},
    {"ArrayElementsNotReleased", [](JNIEnv* e, Args a) { e->GetIntArrayElements(a.numbers, nullptr); },
     "Get<Type>ArrayElements of instance of [I never released"},
    {"StringCharsNotReleased", [](JNIEnv* e, Args a) { e->GetStringChars(a.text, nullptr); },
     "GetStringChars of String \"text\" never released"},
    {"StringUtfCharsNotReleased", [](JNIEnv* e, Args a) { e->GetStringUTFChars(a.text, nullptr); },
     "GetStringUTFChars of String \"text\" never released"},
    {"CriticalNotReleased", [](JNIEnv* e, Args a) { e->GetPrimitiveArrayCritical(a.numbers, nullptr); },
     "GetPrimitiveArrayCritical of instance of [I never released"},
    {"ReleaseOfForeignBuffer",
     [](JNIEnv* e, Args a) {
       jint local[4] = {};
       e->ReleaseIntArrayElements(a.numbers, local, 0);
     },
     "buffer was not handed out for instance of [I"},
    {"MonitorStillHeld", [](JNIEnv* e, Args a) { e->MonitorEnter(a.point); },
     "monitor of instance of test/Point still held when the native returned"},
    {"CallInsideCriticalRegion",
     [](JNIEnv* e, Args a) {
       void* p = e->GetPrimitiveArrayCritical(a.numbers, nullptr);
       e->GetArrayLength(a.numbers);
       e->ReleasePrimitiveArrayCritical(a.numbers, p, JNI_ABORT);
     },
     "GetArrayLength: called inside a critical region"},
    {"NotModifiedUtf8", [](JNIEnv* e, Args) { e->NewStringUTF("\xF0\x9F\x98\x80"); },
     "NewStringUTF: input is not modified UTF-8"},
    {"UnimplementedFunction", [](JNIEnv* e, Args) { e->UnregisterNatives(nullptr); },
     "JNI function UnregisterNatives (slot 216) is not implemented"},
    {"FatalError", [](JNIEnv* e, Args) { e->FatalError("cannot go on"); },
     "native code called FatalError: cannot go on"},
};

class Strictness : public HostTest, public ::testing::WithParamInterface<Misuse> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host.defineClass("test/Point")
        .field("x", "I")
        .field("big", "J")
        .constructor("()V")
        .method("sum", "()I", [](Host& h, jobject self, const jvalue*) { return jInt(h.field(self, "x").i); })
        .staticMethod("show", "(Ljava/lang/String;)V", [](Host&, jobject, const jvalue*) { return jVoid(); });
  }
};

TEST_P(Strictness, IsRecorded) {
  const Misuse& m = GetParam();
  Args a{host.newObject("test/Point"), host.newString(u"text"), host.newArray<jint>({1, 2, 3})};
  host.call(m.native, a);
  const std::vector<std::string> found = host.violations();
  const bool hit = std::any_of(found.begin(), found.end(),
                               [&](const std::string& v) { return v.find(m.expected) != std::string::npos; });
  std::string all;
  for (const std::string& v : found) all += "\n  " + v;
  EXPECT_TRUE(hit) << "expected \"" << m.expected << "\"; recorded:" << all;
  host.clearViolations();
  host.clearException();

  // What the host cleaned up after the call must not be reported again.
  host.call([](JNIEnv*) {});
  EXPECT_TRUE(host.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Rules, Strictness, ::testing::ValuesIn(kMisuses),
                         [](const ::testing::TestParamInfo<Misuse>& info) { return std::string(info.param.name); });

using Tolerance = HostTest;

// The exception-safe functions stay quiet with an exception pending.
TEST_F(Tolerance, ExceptionSafeFunctionsAcceptPendingException) {
  jstring text = host.newString(u"abc");
  jintArray numbers = host.newArray<jint>({1, 2});
  jobject lock = host.newObject("java/lang/Object");
  host.call(
      [](JNIEnv* e, jstring s, jintArray n, jobject o) {
        const char* utf = e->GetStringUTFChars(s, nullptr);
        const jchar* chars = e->GetStringChars(s, nullptr);
        jint* elems = e->GetIntArrayElements(n, nullptr);
        jobject global = e->NewGlobalRef(o);
        jweak weak = e->NewWeakGlobalRef(o);
        e->MonitorEnter(o);
        e->ThrowNew(e->FindClass("java/lang/IllegalStateException"), "pending");

        e->ExceptionCheck();
        e->DeleteLocalRef(e->ExceptionOccurred());
        e->ReleaseStringUTFChars(s, utf);
        e->ReleaseStringChars(s, chars);
        e->ReleaseIntArrayElements(n, elems, JNI_ABORT);
        const jchar* critical = e->GetStringCritical(s, nullptr);  // safe only because released below
        e->ReleaseStringCritical(s, critical);
        e->DeleteGlobalRef(global);
        e->DeleteWeakGlobalRef(weak);
        e->MonitorExit(o);
        e->PushLocalFrame(2);
        e->PopLocalFrame(nullptr);
      },
      text, numbers, lock);
  // GetStringCritical is not exception-safe: exactly that one is reported.
  ASSERT_EQ(host.violations().size(), 1u);
  EXPECT_NE(host.violations()[0].find("GetStringCritical: called with"), std::string::npos);
  host.clearViolations();
  EXPECT_EQ(host.exceptionClass(), "java/lang/IllegalStateException");
  host.clearException();
}

TEST_F(Tolerance, ReservedCapacityAllowsMoreLocalRefs) {
  jobject lock = host.newObject("java/lang/Object");
  host.call(
      [](JNIEnv* e, jobject o) {
        ASSERT_EQ(e->EnsureLocalCapacity(40), JNI_OK);
        for (int i = 0; i < 40; ++i) e->GetObjectClass(o);
        ASSERT_EQ(e->PushLocalFrame(30), JNI_OK);
        for (int i = 0; i < 30; ++i) e->GetObjectClass(o);
        e->PopLocalFrame(nullptr);
      },
      lock);
  EXPECT_EQ(host.lastCallPeakLocalRefs(), 70u);
}

TEST_F(Tolerance, NativeCalledWithPendingExceptionIsReported) {
  host.throwNew("java/lang/IllegalStateException", u"left over");
  host.call([](JNIEnv*) {});
  ASSERT_EQ(host.violations().size(), 1u);
  EXPECT_NE(host.violations()[0].find("native called with"), std::string::npos);
  host.clearViolations();
  host.clearException();
}

TEST_F(Tolerance, RetainedGlobalsCanBeAllowedForSetupCalls) {
  jobject lock = host.newObject("java/lang/Object");
  host.allowRetainedGlobalRefs(true);
  jobject kept = nullptr;
  host.call([&kept](JNIEnv* e, jobject o) { kept = e->NewGlobalRef(o); }, lock);
  EXPECT_TRUE(host.violations().empty());
  host.allowRetainedGlobalRefs(false);
  // The cached global stays usable in later calls.
  host.call([kept](JNIEnv* e) { e->DeleteGlobalRef(kept); });
}

}  // namespace
}  // namespace jnihost
