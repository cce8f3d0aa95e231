// Coded exceptions, the core's other exceptions, and guarded calls.
#include "bridge/failures.h"

#include <functional>
#include <optional>
#include <string>

#include "bridge_test.h"
#include "heap_faults.h"

namespace {

using jnihost::Host;
using testsupport::BridgeTest;
using testsupport::kCodedSystemException;

// What FormatMessageW itself gives for code, or nothing when it has no text.
std::optional<std::u16string> systemText(DWORD code) {
  LPWSTR buffer = nullptr;
  DWORD n = FormatMessageW(0x1300, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::optional<std::u16string> text;
  if (n > 0) text = std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
  LocalFree(buffer);
  return text;
}

class FailuresTest : public BridgeTest {};

TEST_F(FailuresTest, CodedSystemExceptionCarriesCodeAndWholeSystemText) {
  for (DWORD code : {0x80070057UL, DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_ACCESS_DENIED}}) {
    SCOPED_TRACE(code);
    host.call(throwCodedSystemException, code);
    ASSERT_EQ(host.exceptionClass(), kCodedSystemException);
    EXPECT_EQ(host.exceptionIntField("_code"), static_cast<jint>(code));
    std::optional<std::u16string> expected = systemText(code);
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(host.exceptionMessage(), expected);
    EXPECT_EQ(expected->back(), u'\n');  // the line break is part of the text
    host.clearException();
  }
}

TEST_F(FailuresTest, InvalidArgumentReadsNegativeInJava) {
  host.call(throwCodedSystemException, bridge::kInvalidArgument);
  EXPECT_EQ(host.exceptionIntField("_code"), -2147024809);
  host.clearException();
}

TEST_F(FailuresTest, CodeWithoutTextRaisesWithNullMessage) {
  host.call(throwCodedSystemException, DWORD{0x2345ABCD});
  EXPECT_EQ(host.exceptionClass(), kCodedSystemException);
  EXPECT_EQ(host.exceptionIntField("_code"), 0x2345ABCD);
  EXPECT_FALSE(host.exceptionMessage().has_value());
  host.clearException();

  intercept::FailFormatMessageW noText(self());
  host.call(throwCodedSystemException, DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(noText.calls(), 1u);
  EXPECT_EQ(host.exceptionIntField("_code"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(host.exceptionMessage().has_value());
  host.clearException();
}

TEST_F(FailuresTest, PendingExceptionIsNeverReplaced) {
  host.call([](JNIEnv* env) {
    env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), "first");
    throwCodedSystemException(env, ERROR_ACCESS_DENIED);
    throwCodedException(env, bridge::kPdhExceptionClass, 5);
    throwMemoryException(env);
  });
  EXPECT_EQ(host.exceptionClass(), "java/lang/IllegalStateException");
  EXPECT_EQ(host.exceptionMessageUtf8(), "first");
  host.clearException();
}

TEST_F(FailuresTest, ExceptionClassWithoutCodedConstructorLeavesJvmError) {
  host.defineClass("com/example/PlainException", "java/lang/RuntimeException").testOnly();
  struct Case {
    const char* cls;
    const char* expected;
  };
  for (const Case& c : {Case{"com/example/Missing", "java/lang/NoClassDefFoundError"},
                        Case{"com/example/PlainException", "java/lang/NoSuchMethodError"}}) {
    SCOPED_TRACE(c.cls);
    host.call(throwCodedException, c.cls, DWORD{5});
    EXPECT_EQ(host.exceptionClass(), c.expected);
    host.clearException();
  }
}

TEST_F(FailuresTest, PdhExceptionCarriesStatus) {
  host.call([](JNIEnv* env) { bridge::throwPdhException(0xC0000BB8, env); });
  EXPECT_EQ(host.exceptionClass(), testsupport::kPdhException);
  EXPECT_EQ(host.exceptionIntField("_code"), static_cast<jint>(0xC0000BB8));
  host.clearException();
}

TEST_F(FailuresTest, MemoryExceptionHasNoMessage) {
  host.call(throwMemoryException);
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  EXPECT_FALSE(host.exceptionMessage().has_value());
  host.clearException();
}

TEST_F(FailuresTest, NoLocalFrameLeavesTheJvmOutOfMemoryError) {
  host.failNextPushLocalFrame();
  host.call(throwCodedSystemException, DWORD{5});
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  host.clearException();
}

TEST_F(FailuresTest, RequireNonNull) {
  jobject object = host.newInteger(1);
  EXPECT_TRUE(host.call(bridge::requireNonNull, object));
  EXPECT_FALSE(host.exceptionPending());

  EXPECT_FALSE(host.call(bridge::requireNonNull, jobject{nullptr}));
  EXPECT_EQ(host.exceptionClass(), "java/lang/NullPointerException");
  EXPECT_FALSE(host.exceptionMessage().has_value());
  host.clearException();
}

TEST_F(FailuresTest, CheckInstanceOf) {
  jclass integerClass = host.findClass("java/lang/Integer");
  jclass stringClass = host.findClass("java/lang/String");
  jobject number = host.newInteger(7);

  EXPECT_TRUE(host.call(bridge::checkInstanceOf, jobject{nullptr}, stringClass));
  EXPECT_TRUE(host.call(bridge::checkInstanceOf, number, integerClass));
  EXPECT_FALSE(host.exceptionPending());

  EXPECT_FALSE(host.call(bridge::checkInstanceOf, number, stringClass));
  EXPECT_EQ(host.exceptionClass(), "java/lang/ClassCastException");
  EXPECT_EQ(host.exceptionMessageUtf8(), "class java.lang.Integer");
  host.clearException();
}

void raiseStructured(DWORD code) { RaiseException(code, 0, 0, nullptr); }

TEST_F(FailuresTest, GuardedCallTurnsStructuredExceptionsIntoCodedExceptions) {
  // Made outside the native call, so that the abandoned allocation is not the call's.
  HANDLE smallHeap = HeapCreate(HEAP_GENERATE_EXCEPTIONS, 0, 0x10000);
  ASSERT_NE(smallHeap, nullptr);
  struct Case {
    const char* name;
    std::function<void()> body;
    DWORD code;
  };
  const Case cases[] = {
      {"RaiseException", [] { raiseStructured(0xE0000001); }, 0xE0000001},
      {"access fault",
       [] {
         volatile int* nowhere = nullptr;
         *nowhere = 1;
       },
       EXCEPTION_ACCESS_VIOLATION},
      {"heap failure",
       [smallHeap] { HeapFree(smallHeap, 0, HeapAlloc(smallHeap, HEAP_GENERATE_EXCEPTIONS, 0x100000)); },
       STATUS_NO_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool completed = true;
    host.call([&](JNIEnv* env) { completed = bridge::guardedCall(env, c.body); });
    EXPECT_FALSE(completed);
    ASSERT_EQ(host.exceptionClass(), kCodedSystemException);
    EXPECT_EQ(host.exceptionIntField("_code"), static_cast<jint>(c.code));
    host.clearException();
  }
  HeapDestroy(smallHeap);
}

TEST_F(FailuresTest, GuardedCallThatCompletesRaisesNothing) {
  int steps = 0;
  bool completed = false;
  host.call([&](JNIEnv* env) { completed = bridge::guardedCall(env, [&] { ++steps; }); });
  EXPECT_TRUE(completed);
  EXPECT_EQ(steps, 1);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_F(FailuresTest, GuardedCallKeepsJavaExceptionRaisedBeforeTheFault) {
  host.call([](JNIEnv* env) {
    bridge::guardedCall(env, [env] {
      throwCodedSystemException(env, ERROR_ACCESS_DENIED);
      raiseStructured(0xE0000002);
    });
  });
  EXPECT_EQ(host.exceptionIntField("_code"), ERROR_ACCESS_DENIED);
  host.clearException();
}

}  // namespace
