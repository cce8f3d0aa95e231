// User-object information and access lists of desktops and window stations, and
// the natives' presence in fullbridge only.
#include <aclapi.h>

#include "heap_faults.h"
#include "ui_test.h"

namespace {

using intercept::ActiveInstance;
using intercept::FailGetProcessHeap;
using intercept::FailHeapAlloc;
using intercept::ImportPatch;
using intercept::Schedule;
using testsupport::HarnessScope;
using uitest::kDesktop;
using uitest::kWindowStation;
using uitest::rawInformation;

// Buffer sizes the DLL offers GetUserObjectInformationW, passed on to Windows.
// A call loop that never ends is cut off with a refusal, so that it fails the
// test instead of hanging it.
struct InformationLog {
  std::vector<DWORD> offered;
};
BOOL WINAPI loggedGetInformation(HANDLE object, int index, PVOID buffer, DWORD size, LPDWORD needed) {
  {
    HarnessScope harness;
    std::vector<DWORD>& offered = ActiveInstance<InformationLog>::get()->offered;
    offered.push_back(size);
    if (offered.size() > 8) {
      *needed = 0;
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
  }
  return GetUserObjectInformationW(object, index, buffer, size, needed);
}

// "Too small" (ERROR_INSUFFICIENT_BUFFER) for every buffer below 256 bytes, with a
// needed size not to be relied on: the size offered or 0. Larger buffers reach
// Windows. Logged and cut off as loggedGetInformation is.
struct ShortChange {
  bool reportOffered;
};
BOOL WINAPI shortChangedInformation(HANDLE object, int index, PVOID buffer, DWORD size, LPDWORD needed) {
  {
    HarnessScope harness;
    std::vector<DWORD>& offered = ActiveInstance<InformationLog>::get()->offered;
    offered.push_back(size);
    if (offered.size() > 8 || (offered.size() >= 2 && offered.back() == offered[offered.size() - 2])) {
      *needed = 0;
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    if (size < 256) {
      *needed = ActiveInstance<ShortChange>::get()->reportOffered ? size : 0;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
  }
  return GetUserObjectInformationW(object, index, buffer, size, needed);
}

// Success with a needed size beyond the buffer, which Windows never reports; the
// copy must still stay within the buffer.
BOOL WINAPI overstatedInformation(HANDLE, int, PVOID buffer, DWORD size, LPDWORD needed) {
  FillMemory(buffer, size, 0x5A);
  *needed = size * 4;
  return TRUE;
}

// SetSecurityInfo's arguments, passed on to Windows.
struct SecurityLog {
  struct Call {
    HANDLE object;
    SE_OBJECT_TYPE type;
    SECURITY_INFORMATION what;
    bool allNull;
  };
  std::vector<Call> calls;
};
DWORD WINAPI loggedSetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                                   PSID group, PACL dacl, PACL sacl) {
  {
    HarnessScope harness;
    bool allNull = owner == nullptr && group == nullptr && dacl == nullptr && sacl == nullptr;
    ActiveInstance<SecurityLog>::get()->calls.push_back({object, type, what, allNull});
  }
  return SetSecurityInfo(object, type, what, owner, group, dacl, sacl);
}

std::vector<BYTE> utf16Bytes(const std::wstring& text) {
  auto begin = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
}

class UserObjectsTest : public uitest::UiTest {
 protected:
  jbyteArray information(jobject object, int index) {
    return host.call(UI_NATIVE(Java_com_corvantis_windows_ui_AbstractUserInterfaceContainerObject_getUserInformation),
                     object, jint{index});
  }
  void clearDacl(jobject object) {
    host.call(UI_NATIVE(Java_com_corvantis_windows_ui_AbstractUserInterfaceContainerObject_clearDacl), object);
  }
  std::vector<BYTE> bytesOf(jbyteArray array) {
    std::vector<jbyte> bytes = host.arrayContents<jbyte>(array);
    return std::vector<BYTE>(bytes.begin(), bytes.end());
  }
};

TEST_P(UserObjectsTest, InformationGrowsOnceToTheReportedSize) {
  struct Case {
    const char* what;
    size_t nameLength;
    int index;
    std::vector<DWORD> offered;
  };
  // A name of 100 characters takes 202 bytes with its NUL: one more call.
  const Case cases[] = {
      {"short name", 8, UOI_NAME, {128}},
      {"long name", 100, UOI_NAME, {128, 202}},
      {"type", 100, UOI_TYPE, {128}},
      {"flags", 8, UOI_FLAGS, {128}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::wstring name = uniqueName(L"_");
    name.resize(c.nameLength, L'n');
    HDESK desktop = rawDesktop(name);
    InformationLog log;
    ActiveInstance<InformationLog> active(&log);
    ImportPatch patch(library.module, "user32.dll", "GetUserObjectInformationW", loggedGetInformation);
    jbyteArray bytes = information(containerObject(kDesktop, desktop), c.index);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytesOf(bytes), rawInformation(desktop, c.index));
    EXPECT_EQ(log.offered, c.offered);
    if (c.index == UOI_NAME) {
      EXPECT_EQ(bytesOf(bytes), utf16Bytes(name));
    }
  }
  jbyteArray station = information(containerObject(kWindowStation, GetProcessWindowStation()), UOI_TYPE);
  ASSERT_NE(station, nullptr);
  EXPECT_EQ(bytesOf(station), utf16Bytes(L"WindowStation"));
}

TEST_P(UserObjectsTest, TooSmallAskingForNoMoreGetsTwiceTheRoom) {
  HDESK desktop = rawDesktop(uniqueName());
  for (bool reportOffered : {true, false}) {
    SCOPED_TRACE(reportOffered ? "the size offered" : "0");
    InformationLog log;
    ActiveInstance<InformationLog> active(&log);
    ShortChange shortChange{reportOffered};
    ActiveInstance<ShortChange> answering(&shortChange);
    ImportPatch patch(library.module, "user32.dll", "GetUserObjectInformationW", shortChangedInformation);
    jbyteArray bytes = information(containerObject(kDesktop, desktop), UOI_TYPE);
    ASSERT_NE(bytes, nullptr) << takeException();
    EXPECT_EQ(bytesOf(bytes), utf16Bytes(L"Desktop"));
    EXPECT_EQ(log.offered, (std::vector<DWORD>{128, 256}));
  }
}

TEST_P(UserObjectsTest, RefusedInformationRaisesAfterOneCall) {
  InformationLog log;
  ActiveInstance<InformationLog> active(&log);
  ImportPatch patch(library.module, "user32.dll", "GetUserObjectInformationW", loggedGetInformation);
  HDESK desktop = rawDesktop(uniqueName());
  // Wine keeps no user SID for desktops and says so without asking for room.
  EXPECT_EQ(information(containerObject(kDesktop, desktop), UOI_USER_SID), nullptr);
  expectCoded(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(log.offered, std::vector<DWORD>{128});

  CloseDesktop(desktop);
  ownDesktops.clear();
  EXPECT_EQ(information(containerObject(kDesktop, desktop), UOI_NAME), nullptr);
  expectCoded(ERROR_INVALID_HANDLE);
}

TEST_P(UserObjectsTest, AllocationFailuresRaiseAndFreeWhatIsHeld) {
  std::wstring name = uniqueName(L"_");
  name.resize(100, L'n');
  jobject desktop = containerObject(kDesktop, rawDesktop(name));
  {
    FailGetProcessHeap fault(library.module);
    EXPECT_EQ(information(desktop, UOI_NAME), nullptr);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
  }
  // The first block, then the larger one while the first is still held.
  for (unsigned failing : {1u, 2u}) {
    SCOPED_TRACE(failing);
    FailHeapAlloc fault(library.module, Schedule::nth(failing));
    EXPECT_EQ(information(desktop, UOI_NAME), nullptr);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(fault.calls(), failing);
  }
}

TEST_P(UserObjectsTest, CopyStaysWithinTheBuffer) {
  ImportPatch patch(library.module, "user32.dll", "GetUserObjectInformationW", overstatedInformation);
  jbyteArray bytes = information(containerObject(kDesktop, GetThreadDesktop(GetCurrentThreadId())), UOI_NAME);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytesOf(bytes), std::vector<BYTE>(128, 0x5A));
}

TEST_P(UserObjectsTest, ClearDaclSetsANullDaclOrRaisesTheRefusal) {
  const std::wstring name = uniqueName();
  HDESK full = rawDesktop(name);
  HDESK readOnly = rawDesktop(name, DESKTOP_READOBJECTS);
  struct Case {
    const char* what;
    const char* cls;
    HANDLE object;
    DWORD code;  // 0: accepted
  };
  const Case cases[] = {
      {"desktop with full access", kDesktop, full, 0},
      {"desktop opened to read", kDesktop, readOnly, ERROR_ACCESS_DENIED},
      {"process window station", kWindowStation, GetProcessWindowStation(), ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SecurityLog log;
    ActiveInstance<SecurityLog> active(&log);
    ImportPatch patch(library.module, "advapi32.dll", "SetSecurityInfo", loggedSetSecurityInfo);
    clearDacl(containerObject(c.cls, c.object));
    if (c.code == 0) {
      EXPECT_FALSE(host.exceptionPending());
    } else {
      expectCoded(c.code);
    }
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].object, c.object);
    EXPECT_EQ(log.calls[0].type, SE_WINDOW_OBJECT);
    EXPECT_EQ(log.calls[0].what, SECURITY_INFORMATION{DACL_SECURITY_INFORMATION});
    EXPECT_TRUE(log.calls[0].allNull);
  }
}

INSTANTIATE_TEST_SUITE_P(Full, UserObjectsTest, testing::Values(L"fullbridge.dll"));

TEST(UiExports, OnlyFullBridgeCarriesTheNatives) {
  testsupport::LoadedLibrary full(testsupport::deliverablePath(L"fullbridge.dll"));
  testsupport::LoadedLibrary core(testsupport::deliverablePath(L"corebridge.dll"));
  ASSERT_NE(full.module, nullptr) << "error " << full.error;
  ASSERT_NE(core.module, nullptr) << "error " << core.error;
  for (const char* name : uitest::kUiNatives) {
    EXPECT_NE(full.function<void*>(name), nullptr) << name;
    EXPECT_EQ(core.function<void*>(name), nullptr) << name;
  }
  EXPECT_FALSE(intercept::imports(core.module, "user32.dll", "CreateDesktopW"));
}

}  // namespace
