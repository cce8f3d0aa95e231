// tcpestats binds its one import of ours, throwCodedSystemException, from fullbridge
// when it is loaded: it loads beside fullbridge or with fullbridge already in the
// process, and not at all without it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "deliverables.h"
#include "import_patch.h"

namespace tcpestatstest {
namespace {

using testsupport::deliverablePath;
using testsupport::LoadedLibrary;

// The names a module imports from one DLL, read from its import directory.
std::vector<std::string> importedNames(HMODULE module, const char* dll) {
  auto base = reinterpret_cast<const BYTE*>(module);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  std::vector<std::string> names;
  for (auto descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + descriptor->Name), dll) != 0) {
      continue;
    }
    DWORD thunks = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
    for (auto thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + thunks); thunk->u1.AddressOfData != 0; ++thunk) {
      if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) {
        names.push_back("#" + std::to_string(IMAGE_ORDINAL(thunk->u1.Ordinal)));
      } else {
        names.push_back(reinterpret_cast<const char*>(
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData)->Name));
      }
    }
  }
  return names;
}

// A copy of tcpestats.dll alone in a fresh folder, removed with the holder.
struct LoneCopy {
  std::wstring folder;
  std::wstring path;

  LoneCopy() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"velaro-tcpestats-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    path = folder + L"\\tcpestats.dll";
    if (!CopyFileW(deliverablePath(L"tcpestats.dll").c_str(), path.c_str(), FALSE)) {
      ADD_FAILURE() << "cannot copy tcpestats.dll, error " << GetLastError();
    }
  }
  ~LoneCopy() {
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
  }
};

void expectBoundTo(HMODULE tcpestats, HMODULE fullbridge) {
  std::vector<void**> slots = intercept::findImportSlots(tcpestats, "fullbridge.dll", "throwCodedSystemException");
  ASSERT_EQ(slots.size(), 1u);
  EXPECT_EQ(*slots[0], reinterpret_cast<void*>(GetProcAddress(fullbridge, "throwCodedSystemException")));
  HMODULE owner = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 static_cast<LPCWSTR>(*slots[0]), &owner));
  EXPECT_EQ(owner, fullbridge);
}

TEST(TcpEstatsLoading, BesideFullBridgeItBindsItsOnlyImportOfOursThere) {
  LoadedLibrary tcpestats(deliverablePath(L"tcpestats.dll"));
  ASSERT_NE(tcpestats.module, nullptr) << "error " << tcpestats.error;
  HMODULE fullbridge = GetModuleHandleW(L"fullbridge.dll");
  ASSERT_NE(fullbridge, nullptr);
  EXPECT_EQ(importedNames(tcpestats.module, "fullbridge.dll"), std::vector<std::string>{"throwCodedSystemException"});
  expectBoundTo(tcpestats.module, fullbridge);
}

TEST(TcpEstatsLoading, AloneItNeedsFullBridgeAlreadyLoaded) {
  ASSERT_EQ(GetModuleHandleW(L"fullbridge.dll"), nullptr) << "an earlier test kept fullbridge loaded";
  LoneCopy copy;
  {
    LoadedLibrary alone(copy.path);
    EXPECT_EQ(alone.module, nullptr);
    EXPECT_EQ(alone.error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  }
  LoadedLibrary fullbridge(deliverablePath(L"fullbridge.dll"));
  ASSERT_NE(fullbridge.module, nullptr) << "error " << fullbridge.error;
  LoadedLibrary alone(copy.path);
  ASSERT_NE(alone.module, nullptr) << "error " << alone.error;
  expectBoundTo(alone.module, fullbridge.module);
}

}  // namespace
}  // namespace tcpestatstest
