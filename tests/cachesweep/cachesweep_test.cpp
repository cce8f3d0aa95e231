// cachesweep as a program: run as a child process under Wine, beside a scripted
// WinInet stand-in (sweep_wininet.cpp), with its output lines, exit code and the
// calls it made checked.
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "deliverables.h"
#include "sweep_script.h"
#include "text_lines.h"

namespace {

using sweeptest::ScriptedEntry;
using sweeptest::WalkScript;

constexpr const wchar_t* kOverrideKey = L"Software\\Wine\\AppDefaults\\cachesweep.exe";
constexpr const char* kLowIntegrity = "S-1-16-4096";

WalkScript walkOf(std::vector<std::wstring> urls) {
  WalkScript walk;
  for (const std::wstring& url : urls) {
    walk.entries.push_back(ScriptedEntry{url});
  }
  return walk;
}

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

struct Sweep {
  DWORD exitCode = STILL_ACTIVE;
  std::string output;
  std::string errors;
  std::vector<std::string> log;

  std::vector<std::string> outputLines() const { return testsupport::lines(output); }
  // Log lines that start with prefix.
  std::vector<std::string> logOf(const std::string& prefix) const {
    std::vector<std::string> found;
    std::copy_if(log.begin(), log.end(), std::back_inserter(found),
                 [&](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; });
    return found;
  }
  // The log lines between two lines that start with the given prefixes.
  std::vector<std::string> logBetween(const std::string& from, const std::string& to) const {
    auto starts = [](const std::string& prefix) {
      return [prefix](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; };
    };
    auto begin = std::find_if(log.begin(), log.end(), starts(from));
    auto end = std::find_if(begin, log.end(), starts(to));
    return begin == log.end() ? std::vector<std::string>{} : std::vector<std::string>(begin + 1, end);
  }
};

// An anonymous pipe whose write end the child inherits.
struct OutputPipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  OutputPipe() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    EXPECT_TRUE(CreatePipe(&read, &write, &inheritable, 0));
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  }
  ~OutputPipe() {
    if (write != nullptr) CloseHandle(write);
    if (read != nullptr) CloseHandle(read);
  }
  std::string drain() {
    CloseHandle(write);
    write = nullptr;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
  }
};

class SweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    folder = std::wstring(temp) + L"velaro-sweep-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::wstring(info->name(), info->name() + std::strlen(info->name()));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    program = folder + L"\\cachesweep.exe";
    ASSERT_TRUE(CopyFileW(testsupport::deliverablePath(L"cachesweep.exe").c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((testsupport::testProgramFolder() + L"sweep_wininet.dll").c_str(),
                          (folder + L"\\wininet.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((testsupport::testProgramFolder() + L"sweep_spy.dll").c_str(),
                          (folder + L"\\sweep_spy.dll").c_str(), FALSE));
    // Wine would otherwise load its own wininet in place of the one beside the program.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kOverrideKey) + L"\\DllOverrides").c_str(), 0, nullptr,
                              0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t native[] = L"native";
    RegSetValueExW(key, L"wininet", 0, REG_SZ, reinterpret_cast<const BYTE*>(native), sizeof(native));
    RegCloseKey(key);
  }

  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kOverrideKey);
    for (const wchar_t* file : {L"cachesweep.exe", L"wininet.dll", L"sweep_spy.dll", L"script.txt", L"log.txt"}) {
      DeleteFileW((folder + L"\\" + file).c_str());
    }
    RemoveDirectoryW(folder.c_str());
  }

  Sweep sweep(const std::wstring& arguments, const std::vector<WalkScript>& walks) {
    Sweep run;
    const std::wstring script = folder + L"\\script.txt";
    const std::wstring log = folder + L"\\log.txt";
    std::string text = sweeptest::narrow(sweeptest::scriptText(walks));
    HANDLE file = CreateFileW(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    DeleteFileW(log.c_str());
    SetEnvironmentVariableW(sweeptest::kScriptVariable, script.c_str());
    SetEnvironmentVariableW(sweeptest::kLogVariable, log.c_str());
    SetEnvironmentVariableW(sweeptest::kLoadsVariable, nullptr);

    OutputPipe output;
    OutputPipe errors;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.write;
    startup.hStdError = errors.write;
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
      ADD_FAILURE() << "cannot start cachesweep, error " << GetLastError();
      return run;
    }
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.output = output.drain();
    run.errors = errors.drain();
    run.log = testsupport::lines(sweeptest::fileText(log));
    return run;
  }

  // The count line of a walk.
  static std::string removed(unsigned count, const char* label) {
    return "Removed " + std::to_string(count) + " entries from " + label + " WinInet cache";
  }

  std::wstring folder;
  std::wstring program;
};

// Walk scripts of most tests: three entries at the first load, two at the second,
// and the spy watching from the first load on.
std::vector<WalkScript> threeThenTwo() {
  WalkScript medium = walkOf({L"http://sweep.example/m1", L"http://sweep.example/m2", L"http://sweep.example/m3"});
  medium.spy = true;
  return {medium, walkOf({L"http://sweep.example/l1", L"http://sweep.example/l2"})};
}

TEST_F(SweepTest, ArgumentsChooseTheWalksAndTheCountLines) {
  const struct {
    const wchar_t* arguments;
    std::vector<std::string> output;
    size_t loads;
    bool lowered;
  } cases[] = {
      {L"", {removed(3, "Medium"), removed(2, "Low")}, 2, true},
      {L"/quiet", {}, 2, true},
      {L"/low", {removed(3, "Low")}, 1, false},  // the only load reads the first walk's script
      {L"/medium", {removed(3, "Medium")}, 1, false},
      {L"/low /medium", {removed(3, "Medium"), removed(2, "Low")}, 2, true},
      {L"/quietly /mediums /lowest", {}, 2, true},
      {L"/QUIET -quiet /qu", {removed(3, "Medium"), removed(2, "Low")}, 2, true},
      {L"/medium/low", {removed(3, "Medium")}, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sweeptest::narrow(c.arguments));
    Sweep run = sweep(c.arguments, threeThenTwo());
    EXPECT_EQ(run.outputLines(), c.output);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.logOf("load ").size(), c.loads);
    // The token is changed only when the low walk runs (the spy sees it when the medium walk came first).
    EXPECT_EQ(run.logOf("SetTokenInformation").size(), c.lowered ? 1u : 0u);
  }
}

TEST_F(SweepTest, EmptyCachesGiveZeroCounts) {
  WalkScript noFiles;
  noFiles.endCode = ERROR_NO_MORE_FILES;
  WalkScript noItems;
  noItems.endCode = ERROR_NO_MORE_ITEMS;
  Sweep run = sweep(L"", {noFiles, noItems});
  EXPECT_EQ(run.outputLines(), (std::vector<std::string>{removed(0, "Medium"), removed(0, "Low")}));
  EXPECT_EQ(run.output, removed(0, "Medium") + "\r\n" + removed(0, "Low") + "\r\n");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.logOf("close").empty());
}

TEST_F(SweepTest, WalkEnumeratesWithTheFixedFilterAndNoPattern) {
  WalkScript walk;
  walk.entries = {{L"http://sweep.example/normal", NORMAL_CACHE_ENTRY},
                  {L"http://sweep.example/sparse", SPARSE_CACHE_ENTRY},
                  {L"http://sweep.example/cookie", COOKIE_CACHE_ENTRY},
                  {L"http://sweep.example/sticky", STICKY_CACHE_ENTRY}};
  Sweep run = sweep(L"/medium", {walk});
  EXPECT_EQ(run.outputLines(), std::vector<std::string>{removed(2, "Medium")});
  EXPECT_EQ(run.logOf("first"),
            std::vector<std::string>{"first pattern=null flags=0 filter=0x10001 group=0 size=8192 reserved=null"});
  EXPECT_EQ(run.logOf("delete"),
            (std::vector<std::string>{"delete http://sweep.example/normal", "delete http://sweep.example/sparse"}));
  EXPECT_EQ(run.logOf("close").size(), 1u);
  EXPECT_EQ(run.logOf("unload").size(), 1u);
}

TEST_F(SweepTest, EntryNeedingMoreRoomGrowsTheBufferAndTheWalkGoesOn) {
  WalkScript medium = walkOf({L"http://sweep.example/a", L"http://sweep.example/big", L"http://sweep.example/c"});
  medium.entries[1].needed = 20000;
  WalkScript low = walkOf({L"http://sweep.example/first-big", L"http://sweep.example/d"});
  low.entries[0].needed = 30000;
  Sweep run = sweep(L"", {medium, low});
  EXPECT_EQ(run.outputLines(), (std::vector<std::string>{removed(3, "Medium"), removed(2, "Low")}));
  EXPECT_EQ(run.exitCode, 0u);
  // Each call declares the current size; after a growth the size WinInet asked for.
  std::vector<std::string> firstWalk = run.logBetween("load 1", "unload 1");
  std::vector<std::string> sizes;
  for (const std::string& line : firstWalk) {
    if (line.compare(0, 5, "first") == 0 || line.compare(0, 4, "next") == 0) {
      sizes.push_back(line.substr(line.find("size=")).substr(0, line.substr(line.find("size=")).find(' ')));
    }
  }
  EXPECT_EQ(sizes, (std::vector<std::string>{"size=8192", "size=8192", "size=20000", "size=20000", "size=20000"}));
  std::vector<std::string> secondWalk = run.logBetween("load 2", "unload 2");
  EXPECT_EQ(std::count_if(secondWalk.begin(), secondWalk.end(),
                          [](const std::string& line) { return line.compare(0, 5, "first") == 0; }),
            2);
  EXPECT_EQ(std::count(secondWalk.begin(), secondWalk.end(), "next size=30000"), 2);
}

// WinInet asking for no more room than it was offered is not relied on: the next
// call declares twice the size, until the entry fits.
TEST_F(SweepTest, EntryAskingForNoMoreRoomThanOfferedGetsTwiceAsMuch) {
  for (sweeptest::TooSmallSize reported : {sweeptest::TooSmallSize::Offered, sweeptest::TooSmallSize::Zero}) {
    SCOPED_TRACE(reported == sweeptest::TooSmallSize::Offered ? "the size offered" : "0");
    WalkScript medium = walkOf({L"http://sweep.example/a", L"http://sweep.example/big"});
    medium.entries[1].needed = 20000;
    medium.tooSmall = reported;
    WalkScript low = walkOf({L"http://sweep.example/first-big"});
    low.entries[0].needed = 20000;
    low.tooSmall = reported;
    Sweep run = sweep(L"", {medium, low});
    EXPECT_EQ(run.outputLines(), (std::vector<std::string>{removed(2, "Medium"), removed(1, "Low")}));
    EXPECT_EQ(run.exitCode, 0u);
    // Medium: the big entry twice too small, then it and the end; low: the end.
    EXPECT_EQ(run.logOf("next size="),
              (std::vector<std::string>{"next size=8192", "next size=16384", "next size=32768", "next size=32768",
                                        "next size=32768"}));
    std::vector<std::string> lowFirsts;
    for (const std::string& line : run.logBetween("load 2", "unload 2")) {
      if (line.compare(0, 6, "first ") == 0) lowFirsts.push_back(line.substr(line.find("size=")));
    }
    EXPECT_EQ(lowFirsts, (std::vector<std::string>{"size=8192 reserved=null", "size=16384 reserved=null",
                                                   "size=32768 reserved=null"}));
  }
}

TEST_F(SweepTest, FailedWalkIsReportedAndTheOtherWalkStillRuns) {
  auto withMedium = [](void (*change)(WalkScript&)) {
    std::vector<WalkScript> walks = threeThenTwo();
    change(walks[0]);
    return walks;
  };
  auto withLow = [](void (*change)(WalkScript&)) {
    std::vector<WalkScript> walks = threeThenTwo();
    change(walks[1]);
    return walks;
  };
  const struct {
    const char* name;
    const wchar_t* arguments;
    std::vector<WalkScript> walks;
    std::vector<std::string> output;
  } cases[] = {
      {"next fails",
       L"",
       withMedium([](WalkScript& w) { w.nextFailsAtCall = 2, w.nextFails = 0x1F; }),
       {removed(2, "Medium"), "Medium Integrity clearing incomplete, error code 0x1F", removed(2, "Low")}},
      {"next fails, quiet",
       L"/quiet",
       withMedium([](WalkScript& w) { w.nextFailsAtCall = 2, w.nextFails = 0x1F; }),
       {"Medium Integrity clearing incomplete, error code 0x1F"}},
      {"first fails",
       L"",
       withMedium([](WalkScript& w) { w.firstFails = ERROR_ACCESS_DENIED; }),
       {removed(0, "Medium"), "Medium Integrity clearing incomplete, error code 0x5", removed(2, "Low")}},
      {"deletion refused",
       L"",
       withLow([](WalkScript& w) { w.entries[0].deleteAnswer = ERROR_INVALID_PARAMETER; }),
       {removed(3, "Medium"), removed(0, "Low"), "Low Integrity clearing incomplete, error code 0x57"}},
      {"close fails",
       L"",
       withLow([](WalkScript& w) { w.closeFails = ERROR_INVALID_HANDLE; }),
       {removed(3, "Medium"), removed(2, "Low"), "Low Integrity clearing incomplete, error code 0x6"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sweep run = sweep(c.arguments, c.walks);
    EXPECT_EQ(run.outputLines(), c.output);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.logOf("load ").size(), 2u);
    // Every enumeration that was opened is closed, and every load released.
    EXPECT_EQ(run.logOf("unload ").size(), 2u);
  }
}

TEST_F(SweepTest, GoneOrInUseEntriesAreSkippedUncounted) {
  WalkScript medium =
      walkOf({L"http://sweep.example/in-use", L"http://sweep.example/plain", L"http://sweep.example/gone"});
  medium.entries[0].deleteAnswer = ERROR_ACCESS_DENIED;
  medium.entries[2].deleteAnswer = ERROR_FILE_NOT_FOUND;
  Sweep run = sweep(L"/medium", {medium});
  EXPECT_EQ(run.outputLines(), std::vector<std::string>{removed(1, "Medium")});
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.logOf("delete").size(), 3u);
}

TEST_F(SweepTest, WinInetThatCannotBeLoadedFailsBothWalks) {
  ASSERT_TRUE(DeleteFileW((folder + L"\\wininet.dll").c_str()));
  Sweep run = sweep(L"", {});
  EXPECT_EQ(run.outputLines(),
            (std::vector<std::string>{removed(0, "Medium"), "Medium Integrity clearing incomplete, error code 0x7E",
                                      removed(0, "Low"), "Low Integrity clearing incomplete, error code 0x7E"}));
  EXPECT_EQ(run.exitCode, 1u);
}

TEST_F(SweepTest, FailedLoweringSkipsTheLowWalk) {
  for (const wchar_t* arguments : {L"", L"/quiet"}) {
    SCOPED_TRACE(sweeptest::narrow(arguments));
    std::vector<WalkScript> walks = threeThenTwo();
    walks[0].setTokenAnswer = ERROR_PRIVILEGE_NOT_HELD;
    Sweep run = sweep(arguments, walks);
    std::vector<std::string> expected{"Unable to change to low integrity, error code 0x522"};
    if (*arguments == L'\0') {
      expected.insert(expected.begin(), removed(3, "Medium"));
    }
    EXPECT_EQ(run.outputLines(), expected);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.logOf("load ").size(), 1u);
    // The token is closed and the SID freed after the refusal too.
    EXPECT_EQ(run.logOf("CloseHandle token").size(), 1u);
    EXPECT_EQ(run.logOf("LocalFree sid").size(), 1u);
  }
}

TEST_F(SweepTest, LoweringLabelsTheTokenLowBetweenTheWalks) {
  Sweep run = sweep(L"", threeThenTwo());
  ASSERT_EQ(run.exitCode, 0u);
  std::vector<std::string> between = run.logBetween("unload 1", "load 2");
  ASSERT_EQ(between.size(), 6u) << testing::PrintToString(run.log);
  EXPECT_EQ(between[0], "OpenProcessToken access=128 ok");
  EXPECT_EQ(between[1], std::string("ConvertStringSidToSidA ") + kLowIntegrity + " ok");
  // TOKEN_MANDATORY_LABEL (16 bytes) followed by the SID, with SE_GROUP_INTEGRITY.
  EXPECT_EQ(between[2], std::string("SetTokenInformation token=opened class=25 sid=") + kLowIntegrity +
                            " attributes=32 length=28 sidlength=12");
  EXPECT_EQ(between[3].compare(0, 17, "integrity before="), 0);
  EXPECT_EQ(between[3].substr(between[3].size() - 3), " ok");
  EXPECT_EQ(between[4], "CloseHandle token");
  EXPECT_EQ(between[5], "LocalFree sid");
}

TEST_F(SweepTest, LowWalkRunsAtLowIntegrity) {
  Sweep run = sweep(L"", threeThenTwo());
  ASSERT_EQ(run.exitCode, 0u);
  std::vector<std::string> loads = run.logOf("load ");
  ASSERT_EQ(loads.size(), 2u);
  const std::string low = std::string("load 2 integrity ") + kLowIntegrity;
  if (loads[1] != low && underWine() && loads[1].substr(17) == loads[0].substr(17)) {
    GTEST_SKIP() << "Wine keeps the token's integrity level (" << loads[0].substr(17)
                 << "): its SetTokenInformation(TokenIntegrityLevel) succeeds without changing it";
  }
  EXPECT_EQ(loads[1], low);
}

}  // namespace
