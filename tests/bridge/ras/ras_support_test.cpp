// RasSupport in both bridge libraries, against a scripted phonebook and connection list.
#include <cstring>
#include <functional>

#include "heap_faults.h"
#include "ras_fixture.h"

namespace rastest {
namespace {

using testsupport::kCodedSystemException;

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

class RasSupportTest : public RasTest {
 protected:
  void addEntries(ScriptedRas& ras, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      ras.entries.push_back({L"Entry " + std::to_wstring(i), i % 2 == 0 ? DWORD{REN_User} : DWORD{REN_AllUsers},
                             L"C:\\pbk\\book" + std::to_wstring(i) + L".pbk"});
    }
  }
  void addConnections(ScriptedRas& ras, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      ras.connections.push_back({L"Dial " + std::to_wstring(i), i % 2 == 0 ? L"vpn" : L"modem",
                                 L"WAN Miniport " + std::to_wstring(i), L"C:\\pbk\\rasphone.pbk", DWORD(i + 1)});
    }
  }
  // An entry named "Office" with or without alternate phone numbers after its record.
  void addOffice(ScriptedRas& ras, bool alternates) {
    ras.properties.push_back({L"Office", patternedEntry(sizes().entry, alternates, L"555-0100"),
                              alternates ? std::wstring(L"555-0101\0555-0102\0\0", 19) : std::wstring()});
  }
  jobject officeProperties() {
    return entryProperties(host.newString(u"C:\\pbk\\office.pbk"), host.newString(u"Office"));
  }

  // The three natives with arguments that reach RAS, by name.
  struct Method {
    const char* name;
    std::function<jobject()> call;
  };
  std::vector<Method> methods() {
    return {{"getEntryNamesByPath", [this] { return entryNames(nullptr); }},
            {"getActiveConnections", [this] { return activeConnections(); }},
            {"getEntryProperties", [this] { return officeProperties(); }}};
  }
};

TEST_P(RasSupportTest, EntryNamesNeedOneCallOrOneGrowth) {
  struct Case {
    size_t entries;
    size_t calls;
  };
  for (const Case& c : {Case{0, 1}, Case{1, 1}, Case{3, 2}}) {
    SCOPED_TRACE(c.entries);
    ScriptedRas ras(library.module, sizes());
    addEntries(ras, c.entries);
    jobjectArray array = entryNames(nullptr);
    ASSERT_NE(array, nullptr) << takeException();
    EXPECT_EQ(host.className(array), "[Lcom/corvantis/windows/ras/RasEntryName;");
    std::vector<jobject> objects = host.objectArrayContents(array);
    ASSERT_EQ(objects.size(), c.entries);
    for (size_t i = 0; i < objects.size(); ++i) {
      EXPECT_EQ(text(objects[i], "_entry_name"), u16(ras.entries[i].name));
      EXPECT_EQ(static_cast<DWORD>(host.field(objects[i], "_flags").i), ras.entries[i].flags);
      EXPECT_EQ(text(objects[i], "_phonebook_path"), u16(ras.entries[i].phonebookPath));
    }
    ASSERT_EQ(ras.calls.size(), c.calls);
    EXPECT_EQ(ras.calls[0].sizeGiven, 1048u);
    EXPECT_EQ(ras.calls.back().sizeGiven, 1048u * std::max<size_t>(c.entries, 1));
    for (const RasCall& call : ras.calls) EXPECT_EQ(call.recordSize, 1048u);
  }
}

TEST_P(RasSupportTest, ConnectionsAreReadAtTheStrideOfTheLibrarysVersion) {
  const DWORD size = sizes().connection;
  for (size_t count : {0, 1, 3}) {
    SCOPED_TRACE(count);
    ScriptedRas ras(library.module, sizes());
    addConnections(ras, count);
    jobjectArray array = activeConnections();
    ASSERT_NE(array, nullptr) << takeException();
    EXPECT_EQ(host.className(array), "[Lcom/corvantis/windows/ras/RasConnection;");
    std::vector<jobject> objects = host.objectArrayContents(array);
    ASSERT_EQ(objects.size(), count);
    for (size_t i = 0; i < count; ++i) {
      const ActiveConnection& expected = ras.connections[i];
      EXPECT_EQ(text(objects[i], "_entry_name"), u16(expected.entryName));
      EXPECT_EQ(text(objects[i], "_device_type"), u16(expected.deviceType));
      EXPECT_EQ(text(objects[i], "_device_name"), u16(expected.deviceName));
      EXPECT_EQ(text(objects[i], "_phonebook"), u16(expected.phonebook));
      EXPECT_EQ(static_cast<DWORD>(host.field(objects[i], "_sub_entry").i), expected.subEntry);
    }
    ASSERT_EQ(ras.calls.size(), count > 1 ? 2u : 1u);
    EXPECT_EQ(ras.calls[0].sizeGiven, size);
    EXPECT_EQ(ras.calls.back().sizeGiven, size * std::max<DWORD>(static_cast<DWORD>(count), 1));
    for (const RasCall& call : ras.calls) EXPECT_EQ(call.recordSize, size);
  }
}

TEST_P(RasSupportTest, EntryPropertiesHoldExactlyTheRecordVersion) {
  const DWORD size = sizes().entry;
  for (bool alternates : {false, true}) {
    SCOPED_TRACE(alternates);
    ScriptedRas ras(library.module, sizes());
    addOffice(ras, alternates);
    jobject entry = officeProperties();
    ASSERT_NE(entry, nullptr) << takeException();
    EXPECT_EQ(host.className(entry), kRasEntry);
    // The record alone, not the alternate numbers RAS placed after it.
    std::vector<jbyte> bytes = host.arrayContents<jbyte>(static_cast<jarray>(host.field(entry, "_record").l));
    ASSERT_EQ(bytes.size(), size);
    EXPECT_EQ(std::memcmp(bytes.data(), ras.properties[0].record.data(), size), 0);
    ASSERT_EQ(ras.calls.size(), alternates ? 2u : 1u);
    EXPECT_EQ(ras.calls[0].sizeGiven, size);
    EXPECT_EQ(ras.calls.back().sizeGiven, size + ras.properties[0].alternates.size() * sizeof(WCHAR));
    for (const RasCall& call : ras.calls) {
      EXPECT_EQ(call.recordSize, size);
      EXPECT_EQ(call.phonebook, std::wstring(L"C:\\pbk\\office.pbk"));
      EXPECT_EQ(call.entry, std::wstring(L"Office"));
      EXPECT_TRUE(call.deviceInfoNull);
    }
  }
}

TEST_P(RasSupportTest, NullPhonebookAndEntryNamesReachRasAsNull) {
  ScriptedRas ras(library.module, sizes());
  addEntries(ras, 1);
  ras.properties.push_back({L"", patternedEntry(sizes().entry, false, L"default"), L""});
  EXPECT_NE(entryNames(nullptr), nullptr);
  EXPECT_NE(entryNames(host.newString(u"C:\\pbk\\other.pbk")), nullptr);
  EXPECT_NE(entryProperties(nullptr, nullptr), nullptr);
  ASSERT_EQ(ras.calls.size(), 3u);
  EXPECT_FALSE(ras.calls[0].phonebook.has_value());
  EXPECT_EQ(ras.calls[1].phonebook, std::wstring(L"C:\\pbk\\other.pbk"));
  EXPECT_FALSE(ras.calls[2].phonebook.has_value());
  EXPECT_FALSE(ras.calls[2].entry.has_value());
}

TEST_P(RasSupportTest, RasErrorsRaiseCodedSystemExceptionWithTheStatus) {
  for (const Method& method : methods()) {
    SCOPED_TRACE(method.name);
    ScriptedRas ras(library.module, sizes());
    ras.failWith = ERROR_CANNOT_OPEN_PHONEBOOK;
    EXPECT_EQ(method.call(), nullptr);
    jint code = 0;
    EXPECT_EQ(takeException(&code), kCodedSystemException);
    EXPECT_EQ(code, ERROR_CANNOT_OPEN_PHONEBOOK);
  }
  // An entry the phonebook lacks.
  ScriptedRas ras(library.module, sizes());
  EXPECT_EQ(entryProperties(nullptr, host.newString(u"Nowhere")), nullptr);
  jint code = 0;
  EXPECT_EQ(takeException(&code), kCodedSystemException);
  EXPECT_EQ(code, ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
}

TEST_P(RasSupportTest, MissingProcessHeapRaisesTheLastError) {
  for (const Method& method : methods()) {
    SCOPED_TRACE(method.name);
    ScriptedRas ras(library.module, sizes());
    intercept::FailGetProcessHeap fault(library.module, ERROR_INVALID_HANDLE);
    EXPECT_EQ(method.call(), nullptr);
    jint code = 0;
    EXPECT_EQ(takeException(&code), kCodedSystemException);
    EXPECT_EQ(code, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(ras.calls.empty());
  }
}

TEST_P(RasSupportTest, UnallocatableCopyOrBufferStopsBeforeRas) {
  struct Case {
    std::function<jobject()> call;
    unsigned failing;  // which allocation fails
  };
  const Case cases[] = {
      {[this] { return entryNames(nullptr); }, 1},
      {[this] { return entryNames(host.newString(u"C:\\pbk\\a.pbk")); }, 1},  // the path copy
      {[this] { return entryNames(host.newString(u"C:\\pbk\\a.pbk")); }, 2},
      {[this] { return activeConnections(); }, 1},
      {[this] { return officeProperties(); }, 1},  // path, entry name, record
      {[this] { return officeProperties(); }, 2},
      {[this] { return officeProperties(); }, 3},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    ScriptedRas ras(library.module, sizes());
    addOffice(ras, false);
    intercept::FailHeapAlloc fault(library.module, intercept::Schedule::nth(cases[i].failing));
    EXPECT_EQ(cases[i].call(), nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
    EXPECT_TRUE(ras.calls.empty());
  }
}

TEST_P(RasSupportTest, UngrowableBufferRaisesOutOfMemoryAndIsReleased) {
  for (const Method& method : methods()) {
    SCOPED_TRACE(method.name);
    ScriptedRas ras(library.module, sizes());
    addEntries(ras, 3);
    addConnections(ras, 2);
    addOffice(ras, true);
    intercept::FailHeapReAlloc fault(library.module);
    EXPECT_EQ(method.call(), nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(ras.calls.size(), 1u);
  }
}

// RAS asking for no more than it was offered is not relied on: each retry offers
// twice the size before, until the records fit.
TEST_P(RasSupportTest, BuffersGrowWhateverSizeRasReports) {
  struct Case {
    const char* name;
    TooSmallSize size;
  };
  const Case cases[] = {{"the size offered", TooSmallSize::Offered}, {"0", TooSmallSize::Zero}};
  for (const Case& c : cases) {
    for (const Method& method : methods()) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << method.name);
      ScriptedRas ras(library.module, sizes());
      ras.tooSmall = c.size;
      addEntries(ras, 3);
      addConnections(ras, 2);
      addOffice(ras, true);
      jobject result = method.call();
      ASSERT_NE(result, nullptr) << takeException();
      ASSERT_GE(ras.calls.size(), 2u);
      for (size_t i = 1; i < ras.calls.size(); ++i) {
        EXPECT_EQ(ras.calls[i].sizeGiven, 2 * ras.calls[i - 1].sizeGiven) << "call " << i;
      }
    }
  }
}

TEST_P(RasSupportTest, SizeThatCannotBeHadRaisesOutOfMemory) {
  for (const Method& method : methods()) {
    SCOPED_TRACE(method.name);
    ScriptedRas ras(library.module, sizes());
    ras.tooSmall = TooSmallSize::AllOnes;
    addEntries(ras, 3);
    addConnections(ras, 2);
    addOffice(ras, true);
    // 0xFFFFFFFF bytes can be asked for; 4 GiB are not to be had here.
    intercept::FailHeapReAlloc noHugeBlock(library.module);
    EXPECT_EQ(method.call(), nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(ras.calls.size(), 1u);
    EXPECT_EQ(noHugeBlock.failures(), 1u);
  }
}

TEST_P(RasSupportTest, RecordFrameFailureStopsAndReleasesEverything) {
  for (const Method& method : methods()) {
    SCOPED_TRACE(method.name);
    ScriptedRas ras(library.module, sizes());
    addEntries(ras, 2);
    addConnections(ras, 2);
    addOffice(ras, true);
    host.failNextPushLocalFrame();
    EXPECT_EQ(method.call(), nullptr);
    EXPECT_EQ(takeException(), "java/lang/OutOfMemoryError");
  }
}

TEST_P(RasSupportTest, FirstRecordWithoutObjectEndsTheArray) {
  ScriptedRas ras(library.module, sizes());
  addEntries(ras, 3);
  refusedEntryName = u"Entry 1";
  EXPECT_EQ(entryNames(host.newString(u"C:\\pbk\\a.pbk")), nullptr);
  EXPECT_EQ(takeException(), "java/lang/IllegalStateException");
  EXPECT_EQ(entryNamesMade, 1);
}

TEST_P(RasSupportTest, ManyRecordsKeepLocalReferencesBounded) {
  ScriptedRas ras(library.module, sizes());
  addEntries(ras, 300);
  addConnections(ras, 300);
  for (const Method& method : {methods()[0], methods()[1]}) {
    SCOPED_TRACE(method.name);
    auto array = static_cast<jobjectArray>(method.call());
    ASSERT_NE(array, nullptr) << takeException();
    EXPECT_EQ(host.objectArrayContents(array).size(), 300u);
    EXPECT_LE(host.lastCallPeakLocalRefs(), 10u);
  }
}

TEST_P(RasSupportTest, TextMemberWithoutNulIsRefusedRatherThanReadPast) {
  ScriptedRas ras(library.module, sizes());
  // The last member of the last record, filled to its end.
  ras.entries.push_back({L"Full", REN_User, std::wstring(MAX_PATH + 1, L'p')});
  ras.connections.push_back({L"Dial", L"vpn", L"WAN Miniport", std::wstring(MAX_PATH, L'p'), 1});
  for (const Method& method : {methods()[0], methods()[1]}) {
    SCOPED_TRACE(method.name);
    EXPECT_EQ(method.call(), nullptr);
    jint code = 0;
    EXPECT_EQ(takeException(&code), kCodedSystemException);
    EXPECT_EQ(static_cast<DWORD>(code), 0x80070057u);
  }
}

TEST_P(RasSupportTest, CountBeyondTheBufferIsNotReadPast) {
  ScriptedRas ras(library.module, sizes());
  addEntries(ras, 2);
  addConnections(ras, 2);
  ras.extraCount = 1;
  for (const Method& method : {methods()[0], methods()[1]}) {
    SCOPED_TRACE(method.name);
    auto array = static_cast<jobjectArray>(method.call());
    ASSERT_NE(array, nullptr) << takeException();
    EXPECT_EQ(host.objectArrayContents(array).size(), 2u);
  }
}

// Without the RAS classes in the host: the lookups fail before RAS is asked, except
// for RasEntry, which is looked up once the record is there.
class RasWithoutClassesTest : public RasSupportTest {
 protected:
  RasWithoutClassesTest() { defineRasClasses = false; }
};

TEST_P(RasWithoutClassesTest, MissingClassIsPassedOnAndNothingIsKept) {
  struct Case {
    const char* name;
    std::function<jobject()> call;
    size_t rasCalls;
  };
  for (const Case& c : {Case{"names", [this] { return entryNames(host.newString(u"C:\\pbk\\a.pbk")); }, 0},
                        Case{"connections", [this] { return activeConnections(); }, 0},
                        Case{"properties", [this] { return officeProperties(); }, 2}}) {
    SCOPED_TRACE(c.name);
    ScriptedRas ras(library.module, sizes());
    addEntries(ras, 1);
    addOffice(ras, true);
    EXPECT_EQ(c.call(), nullptr);
    EXPECT_EQ(takeException(), "java/lang/NoClassDefFoundError");
    EXPECT_EQ(ras.calls.size(), c.rasCalls);
  }
}

const auto kBridges = testing::Values(L"fullbridge.dll", L"corebridge.dll");
INSTANTIATE_TEST_SUITE_P(Bridges, RasSupportTest, kBridges);
INSTANTIATE_TEST_SUITE_P(Bridges, RasWithoutClassesTest, kBridges);

}  // namespace
}  // namespace rastest
