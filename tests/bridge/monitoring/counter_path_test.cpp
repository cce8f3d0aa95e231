// WindowsCounterPath natives: crack, resolveCounterPath, both expandWildCardPath
// overloads, lookupName and rawLookupPerfIndex.
#include "heap_faults.h"
#include "monitoring_test.h"

namespace monitoringtest {
namespace {

using intercept::FailHeapAlloc;
using intercept::FailHeapReAlloc;
using intercept::Schedule;

using Crack = void(JNICALL*)(JNIEnv*, jobject, jstring);
using Resolve = jstring(JNICALL*)(JNIEnv*, jobject, jint);
using ExpandOwn = jobject(JNICALL*)(JNIEnv*, jobject, jint, jint);
using ExpandPath = jobject(JNICALL*)(JNIEnv*, jclass, jstring, jint);
using LookupName = jstring(JNICALL*)(JNIEnv*, jclass, jstring, jint);
using LookupIndex = jint(JNICALL*)(JNIEnv*, jclass, jstring, jstring);

// Elements that every crack test starts from, so that a field left alone shows.
const PathElements kStale{u"stale-host", u"stale-object", u"stale-instance", u"stale-parent", 77, u"stale-counter"};

class CounterPathTest : public MonitoringTest {
 protected:
  jclass cls() { return host.findClass(kWindowsCounterPath); }
  void crack(jobject target, jstring path) { host.call(native<Crack>("WindowsCounterPath", "crack"), target, path); }
  jstring resolve(jobject source, jint flags = 0) {
    return host.call(native<Resolve>("WindowsCounterPath", "resolveCounterPath"), source, flags);
  }
  jobject expandPath(jstring path, jint flags) {
    return host.call(native<ExpandPath>("WindowsCounterPath", "expandWildCardPath__Ljava_lang_String_2I"), cls(),
                     path, flags);
  }
  jstring lookupName(const Text& machine, jint index) {
    return host.call(native<LookupName>("WindowsCounterPath", "lookupName"), cls(), text(machine), index);
  }
  jint lookupIndex(const Text& machine, const Text& name) {
    return host.call(native<LookupIndex>("WindowsCounterPath", "rawLookupPerfIndex"), cls(), text(machine),
                     text(name));
  }
};

struct CrackCase {
  std::u16string path;
  PathElements expected;
};

TEST_P(CounterPathTest, CrackSetsEveryElementAndNullsWhatThePathLacks) {
  const CrackCase cases[] = {
      {u"\\\\host\\Process(svchost/thread#3)\\% Processor Time",
       {u"host", u"Process", u"thread", u"svchost", 3, u"% Processor Time"}},
      {u"\\Processor(_Total)\\% Processor Time", {std::nullopt, u"Processor", u"_Total", std::nullopt, 0, u"% Processor Time"}},
      {u"\\System\\System Up Time", {std::nullopt, u"System", std::nullopt, std::nullopt, 0, u"System Up Time"}},
  };
  for (const CrackCase& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    jobject target = newCounterPath(kStale);
    crack(target, str(c.path));
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(elementsOf(target), c.expected);
    EXPECT_EQ(pdh.parse.offeredBytes.back(), 1024u);
  }
}

TEST_P(CounterPathTest, CrackGrowsItsBufferOnceToTheReportedSize) {
  const std::u16string counter(700, u'c');
  jobject target = newCounterPath(kStale);
  crack(target, str(u"\\\\host\\Memory\\" + counter));
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(elementsOf(target), (PathElements{u"host", u"Memory", std::nullopt, std::nullopt, 0, counter}));
  const DWORD needed = sizeof(PDH_COUNTER_PATH_ELEMENTS_W) + (4 + 1 + 6 + 1 + 700 + 1) * sizeof(WCHAR);
  EXPECT_EQ(pdh.parse.offeredBytes, (std::vector<DWORD>{1024, needed}));
}

TEST_P(CounterPathTest, CrackThenResolveHandsPdhExactlyTheParsedElements) {
  auto spy = patchPdh("PdhMakeCounterPathW", spyMakeCounterPath);
  const CrackCase cases[] = {
      {u"\\\\host\\Process(svchost/thread#3)\\% Processor Time",
       {u"host", u"Process", u"thread", u"svchost", 3, u"% Processor Time"}},
      {u"\\System\\System Up Time", {std::nullopt, u"System", std::nullopt, std::nullopt, 0, u"System Up Time"}},
  };
  for (const CrackCase& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    jobject target = newCounterPath(kStale);
    crack(target, str(c.path));
    jstring resolved = resolve(target);
    ASSERT_NE(resolved, nullptr);
    EXPECT_EQ(host.str(resolved), c.path);
    ASSERT_FALSE(pdh.make.received.empty());
    EXPECT_EQ(pdh.make.received.back(), c.expected);
  }
}

struct MisbehaviourCase {
  const char* name;
  Misbehave misbehave;
  PathElements after;  // what the fields hold once the bad string stopped the copy
};

TEST_P(CounterPathTest, CrackNeverReadsAStringPastTheReportedBuffer) {
  const MisbehaviourCase cases[] = {
      // The counter name, copied last, has no NUL inside the reported size.
      {"unterminated", Misbehave::CutLastNul,
       {u"host", u"Process", u"thread", u"svchost", 77, u"stale-counter"}},
      // The object name points outside the buffer; parent and instance went first.
      {"outside", Misbehave::StringOutsideBuffer,
       {u"stale-host", u"stale-object", u"thread", u"svchost", 77, u"stale-counter"}},
      // The reported size does not even hold the record: nothing is read from it.
      {"short record", Misbehave::RecordTooShort, kStale},
  };
  for (const MisbehaviourCase& c : cases) {
    SCOPED_TRACE(c.name);
    pdh.parse.misbehave = c.misbehave;
    jobject target = newCounterPath(kStale);
    crack(target, str(u"\\\\host\\Process(svchost/thread#3)\\Handles"));
    expectCoded(kEInvalidArg);
    EXPECT_EQ(elementsOf(target), c.after);
  }
}

TEST_P(CounterPathTest, CrackRaisesPdhStatusAndHandsANullPathOnAsNull) {
  jobject target = newCounterPath(kStale);
  crack(target, str(u"no backslash"));
  expectPdh(kInvalidPath);
  crack(target, nullptr);
  expectPdh(kInvalidArgument);
  EXPECT_EQ(pdh.parse.paths.back(), std::nullopt);
  EXPECT_EQ(elementsOf(target), kStale);
}

TEST_P(CounterPathTest, CrackFreesItsBuffersWhenMemoryRunsOut) {
  jobject target = newCounterPath(kStale);
  {
    // The first block is the path copy, the second the parse buffer.
    FailHeapAlloc fail(library.module, Schedule::nth(2));
    crack(target, str(u"\\System\\System Up Time"));
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(pdh.parse.offeredBytes.empty());
  }
  // HeapReAlloc sets no last error; whatever an earlier call left is no reason.
  for (DWORD stale : {intercept::kLastErrorUntouched, DWORD{ERROR_MORE_DATA}, DWORD{ERROR_FILE_NOT_FOUND}}) {
    SCOPED_TRACE(stale);
    pdh.parse.offeredBytes.clear();
    FailHeapReAlloc fail(library.module, Schedule::always(), stale);
    crack(target, str(u"\\System\\" + std::u16string(700, u'c')));
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(pdh.parse.offeredBytes.size(), 1u);
  }
  EXPECT_EQ(elementsOf(target), kStale);
}

TEST_P(CounterPathTest, ResolvedPathNeverEndsWithNulWhetherOrNotPdhCountsIt) {
  auto spy = patchPdh("PdhMakeCounterPathW", spyMakeCounterPath);
  jobject source = newCounterPath({u"host", u"System", std::nullopt, std::nullopt, 0, u"System Up Time"});
  for (bool withoutTerminator : {false, true}) {
    SCOPED_TRACE(withoutTerminator);
    pdh.make.sizeWithoutTerminator = withoutTerminator;
    jstring resolved = resolve(source);
    ASSERT_NE(resolved, nullptr);
    EXPECT_EQ(host.str(resolved), u"\\\\host\\System\\System Up Time");
  }
}

TEST_P(CounterPathTest, ResolveGrowsOnceForAPathLongerThan255Characters) {
  auto spy = patchPdh("PdhMakeCounterPathW", spyMakeCounterPath);
  const std::u16string counter(300, u'c');
  jstring resolved = resolve(newCounterPath({std::nullopt, u"System", std::nullopt, std::nullopt, 0, counter}));
  ASSERT_NE(resolved, nullptr);
  const std::u16string expected = u"\\System\\" + counter;
  EXPECT_EQ(host.str(resolved), expected);
  EXPECT_EQ(pdh.make.offeredUnits, (std::vector<DWORD>{256, static_cast<DWORD>(expected.size() + 1)}));
}

TEST_P(CounterPathTest, ResolveRaisesWhatPdhRefusesAndWhatTheHostRefuses) {
  auto spy = patchPdh("PdhMakeCounterPathW", spyMakeCounterPath);
  // PdhMakeCounterPathW needs a counter name.
  jobject incomplete = newCounterPath({std::nullopt, u"System", std::nullopt, std::nullopt, 0, std::nullopt});
  EXPECT_EQ(resolve(incomplete), nullptr);
  expectPdh(kInvalidArgument);

  host.failNextPushLocalFrame();
  EXPECT_EQ(resolve(newCounterPath({std::nullopt, u"System", std::nullopt, std::nullopt, 0, u"x"})), nullptr);
  expectThrown(kOutOfMemory);
  EXPECT_EQ(pdh.make.received.size(), 1u);

  {
    FailHeapReAlloc fail(library.module);
    EXPECT_EQ(resolve(newCounterPath({std::nullopt, u"System", std::nullopt, std::nullopt, 0,
                                      std::u16string(300, u'c')})),
              nullptr);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
  }
}

TEST_P(CounterPathTest, ExpandListsEveryMatchingPath) {
  pdh.expand.paths = {u"\\Processor(0)\\% Processor Time", u"\\Processor(1)\\% Processor Time",
                      u"\\Processor(_Total)\\% Processor Time"};
  jobject list = expandPath(str(u"\\Processor(*)\\% Processor Time"), 0x10);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(host.className(list), "java/util/ArrayList");
  EXPECT_EQ(host.stringElements(list), pdh.expand.paths);
  EXPECT_EQ(pdh.expand.received, (std::vector<Text>{u"\\Processor(*)\\% Processor Time"}));
  EXPECT_EQ(pdh.expand.flags, (std::vector<DWORD>{0x10}));
  EXPECT_EQ(pdh.expand.offeredUnits, (std::vector<DWORD>{5120}));
}

TEST_P(CounterPathTest, ExpandGrowsOnceToTheReportedSizePlusOne) {
  for (int i = 0; i < 40; ++i) {
    pdh.expand.paths.push_back(u"\\Process(" + std::u16string(150, u'p') + u"#" + std::u16string(1, u'a' + i % 26) +
                               u")\\Handles");
  }
  const DWORD needed = multiStringUnits(pdh.expand.paths);
  ASSERT_GT(needed, 5120u);
  jobject list = expandPath(str(u"\\Process(*)\\Handles"), 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(host.stringElements(list), pdh.expand.paths);
  EXPECT_EQ(pdh.expand.offeredUnits, (std::vector<DWORD>{5120, needed + 1}));
}

TEST_P(CounterPathTest, ExpandHandsANullPathOnAsNullAndRaisesTheStatus) {
  EXPECT_EQ(expandPath(nullptr, 0), nullptr);
  expectPdh(kInvalidArgument);
  EXPECT_EQ(pdh.expand.received, (std::vector<Text>{std::nullopt}));

  pdh.expand.status = kCStatusNoObject;
  EXPECT_EQ(expandPath(str(u"\\Nothing(*)\\*"), 0), nullptr);
  expectPdh(kCStatusNoObject);
}

TEST_P(CounterPathTest, ExpandEntryRunningPastTheReportedLengthIsRefused) {
  pdh.expand.paths = {u"\\A\\a", u"\\B\\b"};
  pdh.expand.misbehave = Misbehave::CutLastString;
  EXPECT_EQ(expandPath(str(u"\\*\\*"), 0), nullptr);
  expectCoded(kEInvalidArg);
}

TEST_P(CounterPathTest, ExpandOwnPathHandsPdhThePathBuiltFromTheFields) {
  pdh.expand.paths = {u"\\\\host\\Processor(0#0)\\% Processor Time"};
  jobject source = newCounterPath({u"host", u"Processor", u"*", std::nullopt, 0, u"% Processor Time"});
  jobject list = host.call(native<ExpandOwn>("WindowsCounterPath", "expandWildCardPath__II"), source, jint{0},
                           jint{0x20});
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(host.stringElements(list), pdh.expand.paths);
  EXPECT_EQ(pdh.expand.received, (std::vector<Text>{u"\\\\host\\Processor(*#0)\\% Processor Time"}));
  EXPECT_EQ(pdh.expand.flags, (std::vector<DWORD>{0x20}));

  // Without a counter name no path is made and nothing is expanded.
  source = newCounterPath({std::nullopt, u"Processor", std::nullopt, std::nullopt, 0, std::nullopt});
  EXPECT_EQ(host.call(native<ExpandOwn>("WindowsCounterPath", "expandWildCardPath__II"), source, jint{0}, jint{0}),
            nullptr);
  expectPdh(kInvalidArgument);
  EXPECT_EQ(pdh.expand.received.size(), 1u);
}

TEST_P(CounterPathTest, LookupNameAsksTheLocalMachineForANullName) {
  auto spy = patchPdh("PdhLookupPerfNameByIndexW", spyLookupName);
  jstring name = lookupName(std::nullopt, 674);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(host.str(name), u"System Up Time");
  EXPECT_EQ(host.str(lookupName(std::nullopt, 6)), u"% Processor Time");
  EXPECT_EQ(pdh.lookup.machines, (std::vector<Text>{std::nullopt, std::nullopt}));
  EXPECT_EQ(pdh.lookup.offeredUnits, (std::vector<DWORD>{512, 512}));

  // Wine knows no other machine.
  EXPECT_EQ(lookupName(u"\\\\elsewhere", 6), nullptr);
  expectPdh(kCStatusNoMachine);
  EXPECT_EQ(pdh.lookup.machines.back(), Text(u"\\\\elsewhere"));
  EXPECT_EQ(lookupName(std::nullopt, 12345), nullptr);
  expectPdh(kInvalidArgument);
}

// Wine answers index 0 with success and writes nothing; what the buffer held
// before must not come back as a name.
TEST_P(CounterPathTest, LookupNameWithoutAWrittenNameIsEmpty) {
  jstring name = lookupName(std::nullopt, 0);
  ASSERT_NE(name, nullptr) << host.exceptionClass();
  EXPECT_EQ(host.str(name), u"");
}

TEST_P(CounterPathTest, LookupNameGrowsOnceForALongName) {
  auto spy = patchPdh("PdhLookupPerfNameByIndexW", spyLookupName);
  pdh.lookup.longName = std::u16string(700, u'n');
  jstring name = lookupName(std::nullopt, 2);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(host.str(name), *pdh.lookup.longName);
  EXPECT_EQ(pdh.lookup.offeredUnits, (std::vector<DWORD>{512, 701}));
}

TEST_P(CounterPathTest, LookupNameRaisesOutOfMemoryWhenItsBufferCannotGrow) {
  auto spy = patchPdh("PdhLookupPerfNameByIndexW", spyLookupName);
  pdh.lookup.longName = std::u16string(700, u'n');
  for (unsigned failing : {1u, 2u}) {
    SCOPED_TRACE(failing);
    pdh.lookup.offeredUnits.clear();
    FailRealloc fail(library.module, failing);
    EXPECT_EQ(lookupName(u"\\\\host", 2), nullptr);
    expectThrown(kOutOfMemory, std::nullopt);
    EXPECT_EQ(pdh.lookup.offeredUnits.size(), failing - 1);
  }
}

// A table for one growth loop: how PDH reports the size of a buffer that was too
// small, and the sizes the loop must offer. A loop that offers the same size again
// is answered kRetriedWithoutProgress (see pdh_standins.h).
struct UnreliableSizeCase {
  const char* name;
  TooSmallSize size;
  std::vector<DWORD> offered;
  bool answered;  // false: the loop ends in lack of memory
};

TEST_P(CounterPathTest, LookupNameGrowsWhateverSizePdhReports) {
  auto spy = patchPdh("PdhLookupPerfNameByIndexW", spyLookupName);
  pdh.lookup.longName = std::u16string(700, u'n');
  const UnreliableSizeCase cases[] = {
      {"the size offered", TooSmallSize::Offered, {512, 1024}, true},
      {"0", TooSmallSize::Zero, {512, 1024}, true},
      // A size that can be asked for; 8 GiB are not to be had here.
      {"0xFFFFFFFF", TooSmallSize::AllOnes, {512}, false},
  };
  for (const UnreliableSizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    pdh.tooSmall = c.size;
    pdh.lookup.offeredUnits.clear();
    FailRealloc fail(library.module, c.answered ? 3 : 2);
    jstring name = lookupName(std::nullopt, 2);
    if (c.answered) {
      ASSERT_NE(name, nullptr) << host.exceptionClass();
      EXPECT_EQ(host.str(name), *pdh.lookup.longName);
    } else {
      EXPECT_EQ(name, nullptr);
      expectThrown(kOutOfMemory, std::nullopt);
      EXPECT_EQ(fail.calls(), 2u);
    }
    EXPECT_EQ(pdh.lookup.offeredUnits, c.offered);
  }
}

// The unit where PDH's size puts the terminator is no part of the name, whatever
// it holds; nothing after it is read either.
TEST_P(CounterPathTest, LookupNameEndsAtTheReportedSizeWithoutANul) {
  auto spy = patchPdh("PdhLookupPerfNameByIndexW", spyLookupName);
  pdh.lookup.withoutNul = true;
  for (size_t length : {size_t{5}, size_t{700}}) {
    SCOPED_TRACE(length);
    pdh.lookup.longName = std::u16string(length, u'n');
    jstring name = lookupName(std::nullopt, 2);
    ASSERT_NE(name, nullptr) << host.exceptionClass();
    EXPECT_EQ(host.str(name), *pdh.lookup.longName);
  }
}

TEST_P(CounterPathTest, ExpandGrowsWhateverSizePdhReports) {
  for (int i = 0; i < 40; ++i) {
    pdh.expand.paths.push_back(u"\\Process(" + std::u16string(150, u'p') + u")\\Handles");
  }
  ASSERT_GT(multiStringUnits(pdh.expand.paths), 5120u);
  ASSERT_LE(multiStringUnits(pdh.expand.paths), 10240u);
  const UnreliableSizeCase cases[] = {
      {"the size offered", TooSmallSize::Offered, {5120, 10240}, true},
      {"0", TooSmallSize::Zero, {5120, 10240}, true},
      // Plus one does not fit in 32 bits: refused before any allocation.
      {"0xFFFFFFFF", TooSmallSize::AllOnes, {5120}, false},
  };
  for (const UnreliableSizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    pdh.tooSmall = c.size;
    pdh.expand.offeredUnits.clear();
    jobject list = expandPath(str(u"\\Process(*)\\Handles"), 0);
    if (c.answered) {
      ASSERT_NE(list, nullptr) << host.exceptionClass();
      EXPECT_EQ(host.stringElements(list), pdh.expand.paths);
    } else {
      EXPECT_EQ(list, nullptr);
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
    }
    EXPECT_EQ(pdh.expand.offeredUnits, c.offered);
  }
}

TEST_P(CounterPathTest, CrackAndResolveGrowWhateverSizePdhReports) {
  auto spy = patchPdh("PdhMakeCounterPathW", spyMakeCounterPath);
  // Parsed, more than 1024 bytes and less than 2048; built, 499 characters.
  const std::u16string counter(490, u'c');
  const PathElements elements{std::nullopt, u"System", std::nullopt, std::nullopt, 0, counter};
  struct Case {
    const char* name;
    TooSmallSize size;
    bool answered;  // false: both loops end in lack of memory
  };
  const Case cases[] = {
      {"the size offered", TooSmallSize::Offered, true},
      {"0", TooSmallSize::Zero, true},
      // Sizes that can be asked for; 4 and 8 GiB are not to be had here.
      {"0xFFFFFFFF", TooSmallSize::AllOnes, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pdh.tooSmall = c.size;
    pdh.parse.offeredBytes.clear();
    pdh.make.offeredUnits.clear();
    std::unique_ptr<FailHeapReAlloc> noHugeBlock;
    if (!c.answered) {
      noHugeBlock = std::make_unique<FailHeapReAlloc>(library.module);
    }
    jobject target = newCounterPath(kStale);
    crack(target, str(u"\\System\\" + counter));
    if (c.answered) {
      EXPECT_FALSE(host.exceptionPending()) << host.exceptionClass();
      EXPECT_EQ(elementsOf(target), elements);
      EXPECT_EQ(pdh.parse.offeredBytes, (std::vector<DWORD>{1024, 2048}));
    } else {
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_EQ(elementsOf(target), kStale);
      EXPECT_EQ(pdh.parse.offeredBytes, std::vector<DWORD>{1024});
    }
    jstring resolved = resolve(newCounterPath(elements));
    if (c.answered) {
      ASSERT_NE(resolved, nullptr) << host.exceptionClass();
      EXPECT_EQ(host.str(resolved), u"\\System\\" + counter);
      EXPECT_EQ(pdh.make.offeredUnits, (std::vector<DWORD>{256, 512}));
    } else {
      EXPECT_EQ(resolved, nullptr);
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_EQ(pdh.make.offeredUnits, std::vector<DWORD>{256});
      EXPECT_EQ(noHugeBlock->failures(), 2u);
    }
  }
}

struct IndexCase {
  Text machine;
  Text name;
  jint index;
  DWORD status;
};

TEST_P(CounterPathTest, RawLookupPerfIndexAnswersTheIndexOrMinusOne) {
  const IndexCase cases[] = {
      {std::nullopt, u"% Processor Time", 6, 0},
      {std::nullopt, u"System Up Time", 674, 0},
      {std::nullopt, u"No Such Counter", -1, kStringNotFound},
      {u"\\\\elsewhere", u"System Up Time", -1, kCStatusNoMachine},
      {std::nullopt, std::nullopt, -1, kInvalidArgument},
  };
  for (const IndexCase& c : cases) {
    SCOPED_TRACE(c.name ? std::string(c.name->begin(), c.name->end()) : "null");
    EXPECT_EQ(lookupIndex(c.machine, c.name), c.index);
    if (c.status != 0) {
      expectPdh(c.status);
    }
    EXPECT_FALSE(host.exceptionPending());
  }
}

TEST_P(CounterPathTest, RawLookupPerfIndexIsMinusOneWhenTheNameCannotBeCopied) {
  FailHeapAlloc fail(library.module);
  EXPECT_EQ(lookupIndex(std::nullopt, u"System Up Time"), -1);
  expectThrown(kOutOfMemory, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(BothBridges, CounterPathTest, ::testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
}  // namespace monitoringtest
