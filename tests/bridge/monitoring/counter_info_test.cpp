// PerformanceCounterInfo.loadParameters, WindowsMonitor browsing and
// WindowsMonitorPool.getPdhVersion.
#include "heap_faults.h"
#include "monitoring_test.h"

namespace monitoringtest {
namespace {

using intercept::FailHeapAlloc;
using intercept::FailHeapReAlloc;

using LoadParameters = void(JNICALL*)(JNIEnv*, jobject, jobject, jboolean);
using CheckConnect = void(JNICALL*)(JNIEnv*, jclass, jstring);
using GetObjects = jobject(JNICALL*)(JNIEnv*, jclass, jstring, jint, jboolean);
using GetItems = jobject(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jobject, jint);
using GetVersion = jint(JNICALL*)(JNIEnv*, jclass);

constexpr const char* kWindowsMonitor = "com/corvantis/monitoring/windows/WindowsMonitor";
constexpr DWORD kWizard = 400;

const PathElements kStale{u"stale-host", u"stale-object", u"stale-instance", u"stale-parent", 77, u"stale-counter"};

// The fields of a PerformanceCounterInfo apart from its path.
struct InfoFields {
  jint type;
  jint cStatus;
  jint scale;
  jint defaultScale;
  Text fullPath;
  Text explain;
  bool operator==(const InfoFields& o) const {
    return type == o.type && cStatus == o.cStatus && scale == o.scale && defaultScale == o.defaultScale &&
           fullPath == o.fullPath && explain == o.explain;
  }
};
const InfoFields kStaleInfo{-5, -6, -7, -8, u"stale-path", u"stale-explain"};

class CounterInfoTest : public MonitoringTest {
 protected:
  // An info object whose every field holds a stale value.
  jobject staleInfo(bool withPath = true) {
    jobject info = host.newObject(kPerformanceCounterInfo, "(Lcom/corvantis/monitoring/windows/WindowsCounterPath;)V",
                                  {jnihost::jObj(withPath ? newCounterPath(kStale) : nullptr)});
    host.setField(info, "_Type", jnihost::jInt(kStaleInfo.type));
    host.setField(info, "_CStatus", jnihost::jInt(kStaleInfo.cStatus));
    host.setField(info, "_lScale", jnihost::jInt(kStaleInfo.scale));
    host.setField(info, "_lDefaultScale", jnihost::jInt(kStaleInfo.defaultScale));
    host.setField(info, "_FullPath", jnihost::jObj(text(kStaleInfo.fullPath)));
    host.setField(info, "_ExplainText", jnihost::jObj(text(kStaleInfo.explain)));
    return info;
  }
  InfoFields fieldsOf(jobject info) {
    return InfoFields{host.field(info, "_Type").i,         host.field(info, "_CStatus").i,
                      host.field(info, "_lScale").i,       host.field(info, "_lDefaultScale").i,
                      textField(info, "_FullPath"),        textField(info, "_ExplainText")};
  }
  PathElements pathOf(jobject info) { return elementsOf(host.field(info, "_path").l); }
  // A counter object holding `handle`, as loadParameters reads it.
  jobject counterObject(jlong handle) {
    jobject counter =
        host.newObject(kWindowsPerformanceCounter, "(Ljava/lang/String;)V", {jnihost::jObj(str(kUpTimePath))});
    host.setField(counter, "_handle", jnihost::jLong(handle));
    return counter;
  }
  void load(jobject info, jobject counter, bool explain) {
    host.call(native<LoadParameters>("PerformanceCounterInfo", "loadParameters"), info, counter,
              static_cast<jboolean>(explain ? JNI_TRUE : JNI_FALSE));
  }
  jclass monitor() { return host.findClass(kWindowsMonitor); }
  jobject objects(const Text& machine, jint detail, bool refresh) {
    return host.call(native<GetObjects>("WindowsMonitor", "getAvailableObjects"), monitor(), text(machine), detail,
                     static_cast<jboolean>(refresh ? JNI_TRUE : JNI_FALSE));
  }
  jobject items(const Text& machine, const Text& object, jobject counters) {
    return host.call(native<GetItems>("WindowsMonitor", "getAvailableObjectItems"), monitor(), text(machine),
                     text(object), counters, jint{kWizard});
  }
  // A counter info answer with every string the record can carry.
  void fullInfoAnswer() {
    pdh.info.fullPath = u"\\\\host\\Process(svchost/thread#3)\\Handles";
    pdh.info.explain = u"Handles the process holds open.";
    pdh.info.elements = {u"host", u"Process", u"thread", u"svchost", 3, u"Handles"};
  }
  InfoFields answeredFields(bool withExplain) {
    return InfoFields{static_cast<jint>(pdh.info.type), static_cast<jint>(pdh.info.cStatus), pdh.info.scale,
                      pdh.info.defaultScale, pdh.info.fullPath, withExplain ? pdh.info.explain : std::nullopt};
  }
};

TEST_P(CounterInfoTest, WinesCounterInformationFillsTheFields) {
  PDH_HQUERY query = nullptr;
  PDH_HCOUNTER counter = nullptr;
  ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &query), ERROR_SUCCESS);
  ASSERT_EQ(PdhAddCounterW(query, L"\\System\\System Up Time", 0, &counter), ERROR_SUCCESS);
  ASSERT_EQ(PdhSetCounterScaleFactor(counter, 2), ERROR_SUCCESS);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  PDH_COUNTER_INFO_W direct{};
  DWORD size = sizeof direct;
  ASSERT_EQ(PdhGetCounterInfoW(counter, TRUE, &size, &direct), ERROR_SUCCESS);

  jobject info = staleInfo();
  load(info, counterObject(reinterpret_cast<jlong>(counter)), true);
  EXPECT_FALSE(host.exceptionPending());
  // Wine's record carries no strings: every string field is set to null.
  EXPECT_EQ(fieldsOf(info), (InfoFields{static_cast<jint>(direct.dwType), static_cast<jint>(direct.CStatus), 2,
                                        direct.lDefaultScale, std::nullopt, std::nullopt}));
  EXPECT_EQ(pathOf(info), PathElements{});
  PdhCloseQuery(query);
}

TEST_P(CounterInfoTest, StringsOfTheRecordReachTheFieldsAndThePath) {
  auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
  fullInfoAnswer();
  jobject info = staleInfo();
  load(info, counterObject(1), true);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(fieldsOf(info), answeredFields(true));
  EXPECT_EQ(pathOf(info), pdh.info.elements);
  EXPECT_EQ(pdh.info.offeredBytes, (std::vector<DWORD>{1648}));
  EXPECT_EQ(pdh.info.explainFlags, (std::vector<BOOLEAN>{TRUE}));
}

TEST_P(CounterInfoTest, ExplainTextIsNullWhenNotAskedFor) {
  auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
  fullInfoAnswer();
  jobject info = staleInfo();
  load(info, counterObject(1), false);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(fieldsOf(info), answeredFields(false));
  EXPECT_EQ(pdh.info.explainFlags, (std::vector<BOOLEAN>{FALSE}));
}

TEST_P(CounterInfoTest, NullPathSetsTheOtherFieldsOnly) {
  auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
  fullInfoAnswer();
  jobject info = staleInfo(false);
  load(info, counterObject(1), true);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(fieldsOf(info), answeredFields(true));
  EXPECT_EQ(host.field(info, "_path").l, nullptr);
}

TEST_P(CounterInfoTest, LargeRecordGrowsTheBufferOnceToTheReportedSize) {
  auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
  fullInfoAnswer();
  pdh.info.explain = std::u16string(1000, u'e');
  jobject info = staleInfo();
  load(info, counterObject(1), true);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(fieldsOf(info), answeredFields(true));
  ASSERT_EQ(pdh.info.offeredBytes.size(), 2u);
  EXPECT_EQ(pdh.info.offeredBytes[0], 1648u);
  EXPECT_GT(pdh.info.offeredBytes[1], 2000u);
}

// PDH's answer is refused when it does not fit the size PDH reported for it; the
// fields set before the misfit was found keep their new values, the rest are left.
TEST_P(CounterInfoTest, AnswerNotFittingTheReportedSizeIsRefused) {
  struct Case {
    const char* name;
    Misbehave misbehave;
    InfoFields expected;
  };
  fullInfoAnswer();
  InfoFields cutExplain = answeredFields(true);
  cutExplain.explain = kStaleInfo.explain;  // the explanation text comes last
  const Case cases[] = {
      {"string not ending inside the reported size", Misbehave::CutLastNul, cutExplain},
      {"record larger than the reported size", Misbehave::RecordTooShort, kStaleInfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
    pdh.info.misbehave = c.misbehave;
    jobject info = staleInfo();
    load(info, counterObject(1), true);
    expectCoded(kEInvalidArg);
    EXPECT_EQ(fieldsOf(info), c.expected);
    EXPECT_EQ(pathOf(info), kStale);
  }
}

TEST_P(CounterInfoTest, FailuresLeaveEveryFieldAsItWas) {
  jobject info = staleInfo();
  load(info, counterObject(0), true);  // Wine's answer for no counter
  expectPdh(kInvalidHandle);
  load(info, nullptr, true);
  expectThrown(kNullPointer, std::nullopt);
  {
    auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
    FailHeapAlloc fail(library.module);
    load(info, counterObject(1), true);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(pdh.info.offeredBytes.empty());
  }
  {
    auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
    pdh.info.explain = std::u16string(1000, u'e');
    FailHeapReAlloc fail(library.module);
    load(info, counterObject(1), true);
    expectCoded(ERROR_NOT_ENOUGH_MEMORY);
  }
  EXPECT_EQ(fieldsOf(info), kStaleInfo);
  EXPECT_EQ(pathOf(info), kStale);
}

TEST_P(CounterInfoTest, CheckConnectHandsTheMachineNameOnAndRaisesTheStatus) {
  auto connect = native<CheckConnect>("WindowsMonitor", "checkConnect");
  host.call(connect, monitor(), jstring{nullptr});
  EXPECT_FALSE(host.exceptionPending());
  pdh.connect.status = kCStatusNoMachine;
  host.call(connect, monitor(), str(u"\\\\elsewhere"));
  expectPdh(kCStatusNoMachine);
  EXPECT_EQ(pdh.connect.machines, (std::vector<Text>{std::nullopt, u"\\\\elsewhere"}));
}

TEST_P(CounterInfoTest, ObjectNamesComeBackAsAList) {
  pdh.objects.names = {u"Processor", u"System", u"Memory"};
  jobject list = objects(std::nullopt, kWizard, true);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(host.className(list), "java/util/ArrayList");
  EXPECT_EQ(host.stringElements(list), pdh.objects.names);
  EXPECT_EQ(pdh.objects.machines, (std::vector<Text>{std::nullopt}));
  EXPECT_EQ(pdh.objects.detailAndRefresh, (std::vector<std::pair<DWORD, BOOL>>{{kWizard, TRUE}}));
  EXPECT_EQ(pdh.objects.offeredUnits, (std::vector<DWORD>{10240}));
}

TEST_P(CounterInfoTest, LongObjectListIsFetchedAgainWithTheReportedSizePlusOne) {
  for (int i = 0; i < 60; ++i) {
    pdh.objects.names.push_back(std::u16string(200, u'a' + i % 26) + u"#" + std::u16string(1, u'a' + i / 26));
  }
  const DWORD needed = multiStringUnits(pdh.objects.names);
  ASSERT_GT(needed, 10240u);
  jobject list = objects(u"\\\\host", 100, false);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(host.stringElements(list), pdh.objects.names);
  EXPECT_EQ(pdh.objects.offeredUnits, (std::vector<DWORD>{10240, needed + 1}));
  EXPECT_EQ(pdh.objects.machines.back(), Text(u"\\\\host"));
}

TEST_P(CounterInfoTest, ObjectListFailures) {
  pdh.objects.names = {u"Processor", u"System"};
  pdh.objects.misbehave = Misbehave::CutLastString;
  EXPECT_EQ(objects(std::nullopt, kWizard, false), nullptr);
  expectPdh(kEInvalidArg);

  pdh.objects.status = kCStatusNoMachine;
  EXPECT_EQ(objects(u"\\\\elsewhere", kWizard, false), nullptr);
  expectPdh(kCStatusNoMachine);

  pdh.objects.status = 0;
  pdh.objects.misbehave = Misbehave::None;
  pdh.objects.names.assign(60, std::u16string(200, u'n'));
  for (unsigned failing : {1u, 2u}) {
    SCOPED_TRACE(failing);
    pdh.objects.offeredUnits.clear();
    FailRealloc fail(library.module, failing);
    EXPECT_EQ(objects(std::nullopt, kWizard, false), nullptr);
    expectThrown(kOutOfMemory, std::nullopt);
    EXPECT_EQ(pdh.objects.offeredUnits.size(), failing - 1);
  }
}

TEST_P(CounterInfoTest, CountersGoToTheCollectionAndInstancesComeBack) {
  pdh.items.counters = {u"% Processor Time", u"% Idle Time"};
  pdh.items.instances = std::vector<std::u16string>{u"0", u"1", u"_Total"};
  jobject counters = host.newObject("java/util/ArrayList");
  jobject instances = items(std::nullopt, u"Processor", counters);
  ASSERT_NE(instances, nullptr);
  EXPECT_EQ(host.className(instances), "java/util/ArrayList");
  EXPECT_EQ(host.stringElements(instances), *pdh.items.instances);
  EXPECT_EQ(host.stringElements(counters), pdh.items.counters);
  EXPECT_EQ(pdh.items.offeredUnits, (std::vector<std::pair<DWORD, DWORD>>{{4096, 2048}}));
  EXPECT_EQ(pdh.items.machines, (std::vector<Text>{std::nullopt}));
  EXPECT_EQ(pdh.items.objectNames, (std::vector<Text>{u"Processor"}));
  EXPECT_EQ(pdh.items.detailAndFlags, (std::vector<std::pair<DWORD, DWORD>>{{kWizard, 0}}));
}

TEST_P(CounterInfoTest, ObjectWithoutInstanceListGivesNullAndStillFillsTheCounters) {
  pdh.items.counters = {u"System Up Time", u"Processes"};
  jobject counters = host.newObject("java/util/ArrayList");
  EXPECT_EQ(items(u"\\\\host", u"System", counters), nullptr);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.stringElements(counters), pdh.items.counters);
}

TEST_P(CounterInfoTest, NullCounterCollectionIsRefusedAfterThePdhCall) {
  pdh.items.counters = {u"Handles"};
  pdh.items.instances = std::vector<std::u16string>{u"a"};
  EXPECT_EQ(items(std::nullopt, u"Process", nullptr), nullptr);
  expectThrown(kNullPointer, std::nullopt);
  EXPECT_EQ(pdh.items.offeredUnits.size(), 1u);
}

TEST_P(CounterInfoTest, LongItemListsGrowBothBuffersOnce) {
  for (int i = 0; i < 30; ++i) {
    pdh.items.counters.push_back(std::u16string(200, u'c') + std::u16string(1, u'a' + i % 26));
  }
  pdh.items.instances = std::vector<std::u16string>(20, std::u16string(150, u'i'));
  const DWORD counterNeeded = multiStringUnits(pdh.items.counters);
  const DWORD instanceNeeded = multiStringUnits(*pdh.items.instances);
  ASSERT_GT(counterNeeded, 4096u);
  ASSERT_GT(instanceNeeded, 2048u);
  jobject counters = host.newObject("java/util/ArrayList");
  jobject instances = items(std::nullopt, u"Process", counters);
  ASSERT_NE(instances, nullptr);
  EXPECT_EQ(host.stringElements(instances), *pdh.items.instances);
  EXPECT_EQ(host.stringElements(counters), pdh.items.counters);
  EXPECT_EQ(pdh.items.offeredUnits,
            (std::vector<std::pair<DWORD, DWORD>>{{4096, 2048}, {counterNeeded + 1, instanceNeeded + 1}}));
}

TEST_P(CounterInfoTest, ItemListFailures) {
  pdh.items.counters = {u"Handles", u"Threads"};
  pdh.items.instances = std::vector<std::u16string>{u"a", u"bb"};
  pdh.items.misbehave = Misbehave::CutLastString;
  jobject counters = host.newObject("java/util/ArrayList");
  EXPECT_EQ(items(std::nullopt, u"Process", counters), nullptr);
  expectPdh(kEInvalidArg);
  EXPECT_EQ(host.stringElements(counters), pdh.items.counters);

  pdh.items.status = kCStatusNoObject;
  counters = host.newObject("java/util/ArrayList");
  EXPECT_EQ(items(std::nullopt, u"Nothing", counters), nullptr);
  expectPdh(kCStatusNoObject);
  EXPECT_TRUE(host.stringElements(counters).empty());

  // Growth fails for the counter list (third allocation), then for the instance list.
  pdh.items.status = 0;
  pdh.items.misbehave = Misbehave::None;
  pdh.items.counters.assign(30, std::u16string(200, u'c'));
  pdh.items.instances = std::vector<std::u16string>(20, std::u16string(150, u'i'));
  for (unsigned failing : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(failing);
    pdh.items.offeredUnits.clear();
    FailRealloc fail(library.module, failing);
    EXPECT_EQ(items(std::nullopt, u"Process", host.newObject("java/util/ArrayList")), nullptr);
    expectThrown(kOutOfMemory, std::nullopt);
    EXPECT_EQ(pdh.items.offeredUnits.size(), failing <= 2 ? 0u : 1u);
  }
}

// How PDH reports the size of a buffer that was too small, and the sizes each
// loop must offer. A loop that offers the same size again, or asks too often, is
// answered kRetriedWithoutProgress (see pdh_standins.h).
struct UnreliableSizeCase {
  const char* name;
  TooSmallSize size;
  bool answered;  // false: the loop ends in lack of memory
};
const UnreliableSizeCase kUnreliableSizes[] = {
    {"the size offered", TooSmallSize::Offered, true},
    {"0", TooSmallSize::Zero, true},
    {"0xFFFFFFFF", TooSmallSize::AllOnes, false},
};

TEST_P(CounterInfoTest, ObjectListGrowsWhateverSizePdhReports) {
  pdh.objects.names.assign(60, std::u16string(200, u'n'));
  ASSERT_GT(multiStringUnits(pdh.objects.names), 10240u);
  ASSERT_LE(multiStringUnits(pdh.objects.names), 20480u);
  for (const UnreliableSizeCase& c : kUnreliableSizes) {
    SCOPED_TRACE(c.name);
    pdh.tooSmall = c.size;
    pdh.objects.offeredUnits.clear();
    jobject list = objects(std::nullopt, kWizard, false);
    if (c.answered) {
      ASSERT_NE(list, nullptr) << host.exceptionClass();
      EXPECT_EQ(host.stringElements(list), pdh.objects.names);
      EXPECT_EQ(pdh.objects.offeredUnits, (std::vector<DWORD>{10240, 20480}));
    } else {
      // Plus one does not fit in 32 bits: refused, the block freed once.
      EXPECT_EQ(list, nullptr);
      expectThrown(kOutOfMemory, std::nullopt);
      EXPECT_EQ(pdh.objects.offeredUnits, std::vector<DWORD>{10240});
    }
  }
}

TEST_P(CounterInfoTest, ItemListsGrowWhateverSizePdhReports) {
  pdh.items.counters.assign(30, std::u16string(200, u'c'));
  pdh.items.instances = std::vector<std::u16string>(20, std::u16string(150, u'i'));
  for (const UnreliableSizeCase& c : kUnreliableSizes) {
    SCOPED_TRACE(c.name);
    pdh.tooSmall = c.size;
    pdh.items.offeredUnits.clear();
    jobject counters = host.newObject("java/util/ArrayList");
    jobject instances = items(std::nullopt, u"Process", counters);
    if (c.answered) {
      ASSERT_NE(instances, nullptr) << host.exceptionClass();
      EXPECT_EQ(host.stringElements(instances), *pdh.items.instances);
      EXPECT_EQ(host.stringElements(counters), pdh.items.counters);
      EXPECT_EQ(pdh.items.offeredUnits, (std::vector<std::pair<DWORD, DWORD>>{{4096, 2048}, {8192, 4096}}));
    } else {
      EXPECT_EQ(instances, nullptr);
      expectThrown(kOutOfMemory, std::nullopt);
      EXPECT_EQ(pdh.items.offeredUnits, (std::vector<std::pair<DWORD, DWORD>>{{4096, 2048}}));
    }
  }
}

TEST_P(CounterInfoTest, CounterInformationGrowsWhateverSizePdhReports) {
  auto standIn = patchPdh("PdhGetCounterInfoW", standInGetCounterInfo);
  fullInfoAnswer();
  pdh.info.explain = std::u16string(800, u'e');  // more than 1648 bytes in all, less than 3296
  for (const UnreliableSizeCase& c : kUnreliableSizes) {
    SCOPED_TRACE(c.name);
    pdh.tooSmall = c.size;
    pdh.info.offeredBytes.clear();
    // 0xFFFFFFFF bytes can be asked for; 4 GiB are not to be had here.
    std::unique_ptr<FailHeapReAlloc> noHugeBlock;
    if (!c.answered) {
      noHugeBlock = std::make_unique<FailHeapReAlloc>(library.module);
    }
    jobject info = staleInfo();
    load(info, counterObject(1), true);
    if (c.answered) {
      EXPECT_FALSE(host.exceptionPending()) << host.exceptionClass();
      EXPECT_EQ(fieldsOf(info), answeredFields(true));
      EXPECT_EQ(pdh.info.offeredBytes, (std::vector<DWORD>{1648, 3296}));
    } else {
      expectCoded(ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_EQ(fieldsOf(info), kStaleInfo);
      EXPECT_EQ(pdh.info.offeredBytes, std::vector<DWORD>{1648});
      EXPECT_EQ(noHugeBlock->failures(), 1u);
    }
  }
}

TEST_P(CounterInfoTest, PdhVersionIsWines) {
  DWORD expected = 0;
  ASSERT_EQ(PdhGetDllVersion(&expected), ERROR_SUCCESS);
  EXPECT_EQ(host.call(native<GetVersion>("WindowsMonitorPool", "getPdhVersion"),
                      host.findClass("com/corvantis/monitoring/windows/WindowsMonitorPool")),
            static_cast<jint>(expected));
  EXPECT_FALSE(host.exceptionPending());
}

INSTANTIATE_TEST_SUITE_P(BothBridges, CounterInfoTest, ::testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
}  // namespace monitoringtest
