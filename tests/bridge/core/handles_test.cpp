// Handle objects: reading "_handle", WindowsHandle.close and the builders that
// must never lose a handle.
#include "bridge/handles.h"

#include <com_corvantis_windows_WindowsHandle.h>

#include "bridge_test.h"

namespace {

using jnihost::jLong;
using testsupport::BridgeTest;
using testsupport::kAccessToken;
using testsupport::kCodedSystemException;
using testsupport::kWindowsHandle;

bool handleIsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

HANDLE newEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

jlong asLong(HANDLE handle) { return reinterpret_cast<jlong>(handle); }

class HandlesTest : public BridgeTest {};

TEST_F(HandlesTest, HandleFieldReadThroughWindowsHandleOrOwnClass) {
  jobject token = testsupport::newHandleObject(host, kAccessToken, 0x1234);
  EXPECT_EQ(host.call(bridge::getHandleField, token), 0x1234);
  EXPECT_EQ(host.call(bridge::getObjectHandleField, token), 0x1234);

  // WindowsProcess is not a WindowsHandle: only its own class has the field.
  jobject process = host.newObject(testsupport::kWindowsProcess, "(JI)V", {jLong(-2), jnihost::jInt(42)});
  EXPECT_EQ(host.call(bridge::getObjectHandleField, process), -2);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_F(HandlesTest, HandleFieldOfNullObjectRaisesNullPointer) {
  for (auto read : {bridge::getHandleField, bridge::getObjectHandleField}) {
    SCOPED_TRACE(read == bridge::getHandleField ? "getHandleField" : "getObjectHandleField");
    EXPECT_EQ(host.call(read, jobject{nullptr}), 0);
    EXPECT_EQ(host.exceptionClass(), "java/lang/NullPointerException");
    host.clearException();
  }
}

TEST_F(HandlesTest, HandleFieldWithoutFrameLeavesTheJvmError) {
  jobject token = testsupport::newHandleObject(host, kAccessToken, 0x1234);
  host.failNextPushLocalFrame();
  EXPECT_EQ(host.call(bridge::getHandleField, token), 0);
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  host.clearException();
}

TEST_F(HandlesTest, CloseReleasesTheHandleOnceAndZeroesTheField) {
  HANDLE event = newEvent();
  jobject object = testsupport::newHandleObject(host, kAccessToken, asLong(event));

  host.call(Java_com_corvantis_windows_WindowsHandle_close, object);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(object, "_handle").j, 0);
  EXPECT_FALSE(handleIsOpen(event));

  host.call(Java_com_corvantis_windows_WindowsHandle_close, object);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_F(HandlesTest, CloseOfNoHandleDoesNothing) {
  jobject object = testsupport::newHandleObject(host, kWindowsHandle, 0);
  host.call(Java_com_corvantis_windows_WindowsHandle_close, object);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.field(object, "_handle").j, 0);
}

TEST_F(HandlesTest, RefusedCloseRaisesAndKeepsTheValue) {
  HANDLE event = newEvent();
  CloseHandle(event);  // now a stale value Windows refuses
  jobject object = testsupport::newHandleObject(host, kWindowsHandle, asLong(event));
  host.call(Java_com_corvantis_windows_WindowsHandle_close, object);
  EXPECT_EQ(host.exceptionClass(), kCodedSystemException);
  EXPECT_EQ(host.exceptionIntField("_code"), ERROR_INVALID_HANDLE);
  host.clearException();
  EXPECT_EQ(host.field(object, "_handle").j, asLong(event));
}

TEST_F(HandlesTest, BuildersWrapTheHandle) {
  struct Case {
    jobject (*build)(JNIEnv*, HANDLE);
    const char* cls;
  };
  for (const Case& c :
       {Case{bridge::newAccessToken, kAccessToken}, Case{bridge::newUserToken, testsupport::kUserToken}}) {
    SCOPED_TRACE(c.cls);
    HANDLE event = newEvent();
    jobject object = host.call(c.build, event);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(host.className(object), c.cls);
    EXPECT_EQ(host.field(object, "_handle").j, asLong(event));
    EXPECT_TRUE(handleIsOpen(event));
    CloseHandle(event);
  }
}

TEST_F(HandlesTest, FailedWrapClosesTheHandle) {
  host.defineClass("com/example/NoHandleConstructor").testOnly();
  struct Case {
    const char* name;
    const char* cls;
    bool failFrame;
    const char* expected;
  };
  for (const Case& c :
       {Case{"class missing", "com/example/Missing", false, "java/lang/NoClassDefFoundError"},
        Case{"constructor missing", "com/example/NoHandleConstructor", false, "java/lang/NoSuchMethodError"},
        Case{"no local frame", kAccessToken, true, "java/lang/OutOfMemoryError"}}) {
    SCOPED_TRACE(c.name);
    HANDLE event = newEvent();
    if (c.failFrame) host.failNextPushLocalFrame();
    EXPECT_EQ(host.call(bridge::newHandleObject, event, c.cls), nullptr);
    EXPECT_EQ(host.exceptionClass(), c.expected);
    host.clearException();
    EXPECT_FALSE(handleIsOpen(event));
  }
}

TEST_F(HandlesTest, RegistryKeyIsWrappedOrClosedWithRegCloseKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  jobject object = host.call(bridge::newRegistryKey, key);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(host.className(object), testsupport::kRegistryKey);
  EXPECT_EQ(host.field(object, "_handle").j, reinterpret_cast<jlong>(key));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  host.failNextPushLocalFrame();
  EXPECT_EQ(host.call(bridge::newRegistryKey, key), nullptr);
  host.clearException();
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);  // already closed by the builder
}

TEST_F(HandlesTest, NewWindowsProcessClosesNothingOnFailure) {
  HANDLE event = newEvent();
  jobject process = host.call(bridge::newWindowsProcess, event, DWORD{4242});
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(host.field(process, "_handle").j, asLong(event));
  EXPECT_EQ(host.field(process, "_processId").i, 4242);

  host.failNextPushLocalFrame();
  EXPECT_EQ(host.call(bridge::newWindowsProcess, event, DWORD{4242}), nullptr);
  host.clearException();
  EXPECT_TRUE(handleIsOpen(event));
  CloseHandle(event);
}

TEST_F(HandlesTest, WrapProcessAlwaysClosesTheThreadHandle) {
  PROCESS_INFORMATION info{newEvent(), newEvent(), 77, 78};
  jobject process = host.call(wrapJavaProcessAndCloseThread, static_cast<const PROCESS_INFORMATION*>(&info));
  ASSERT_NE(process, nullptr);
  EXPECT_FALSE(handleIsOpen(info.hThread));
  EXPECT_TRUE(handleIsOpen(info.hProcess));
  EXPECT_EQ(host.field(process, "_handle").j, asLong(info.hProcess));
  EXPECT_EQ(host.field(process, "_processId").i, 77);
  CloseHandle(info.hProcess);

  info = PROCESS_INFORMATION{newEvent(), newEvent(), 77, 78};
  host.failNextPushLocalFrame();
  EXPECT_EQ(host.call(wrapJavaProcessAndCloseThread, static_cast<const PROCESS_INFORMATION*>(&info)), nullptr);
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  host.clearException();
  EXPECT_FALSE(handleIsOpen(info.hThread));
  EXPECT_FALSE(handleIsOpen(info.hProcess));
}

}  // namespace

namespace {

// A JVM without the application's classes: the builders cannot find them.
class HandlesWithoutApplicationClassesTest : public jnihost::HostTest {};

TEST_F(HandlesWithoutApplicationClassesTest, TokenIsClosedWhenItsClassIsMissing) {
  for (auto build : {bridge::newUserToken, bridge::newAccessToken}) {
    SCOPED_TRACE(build == bridge::newUserToken ? "newUserToken" : "newAccessToken");
    HANDLE token = newEvent();
    EXPECT_EQ(host.call(build, token), nullptr);
    EXPECT_EQ(host.exceptionClass(), "java/lang/NoClassDefFoundError");
    host.clearException();
    EXPECT_FALSE(handleIsOpen(token));
  }
}

}  // namespace
