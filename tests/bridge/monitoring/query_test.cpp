// PerformanceQuery and WindowsPerformanceCounter natives against Wine's pdh.dll:
// queries, counters, collection and storing values into direct buffers.
#include <climits>
#include <cstring>

#include "harness_scope.h"
#include "monitoring_test.h"

namespace monitoringtest {
namespace {

using intercept::ActiveInstance;
using testsupport::HarnessScope;

using ObjectAction = void(JNICALL*)(JNIEnv*, jobject);
using UpdateCounters = void(JNICALL*)(JNIEnv*, jclass, jlong);
using CreateHandle = void(JNICALL*)(JNIEnv*, jobject, jlong);
using SetScaleFactor = void(JNICALL*)(JNIEnv*, jobject, jint);
using StoreValue = void(JNICALL*)(JNIEnv*, jclass, jlong, jint, jint, jobject);

constexpr jint kLong = 0x100;
constexpr jint kDouble = 0x200;
constexpr jint kLarge = 0x400;
constexpr jint kNoScale = 0x1000;
constexpr jint kTimes1000 = 0x2000;
constexpr unsigned char kUntouched = 0xAB;

// The handles PdhRemoveCounter is handed, before Wine's own runs.
struct RemovedHandles {
  std::vector<PDH_HCOUNTER> handles;
};
PDH_STATUS WINAPI spyRemoveCounter(PDH_HCOUNTER counter) {
  {
    HarnessScope harness;
    ActiveInstance<RemovedHandles>::get()->handles.push_back(counter);
  }
  return PdhRemoveCounter(counter);
}

class QueryTest : public MonitoringTest {
 protected:
  void TearDown() override {
    // Queries a test left open go, with their counters.
    for (jobject query : queries_) {
      if (jlong handle = host.field(query, "_handle").j) {
        PdhCloseQuery(reinterpret_cast<PDH_HQUERY>(handle));
      }
    }
    MonitoringTest::TearDown();
  }

  jobject openQuery() {
    jobject query = host.newObject(kPerformanceQuery);
    host.call(native<ObjectAction>("PerformanceQuery", "openHandle"), query);
    EXPECT_NE(handleOf(query), 0);
    queries_.push_back(query);
    return query;
  }
  jobject newCounter(const Text& path) {
    return host.newObject(kWindowsPerformanceCounter, "(Ljava/lang/String;)V", {jnihost::jObj(text(path))});
  }
  void createHandle(jobject counter, jlong query) {
    host.call(native<CreateHandle>("WindowsPerformanceCounter", "createHandle"), counter, query);
  }
  jobject addCounter(jobject query, const Text& path) {
    jobject counter = newCounter(path);
    createHandle(counter, handleOf(query));
    return counter;
  }
  void update(jlong query) {
    host.call(native<UpdateCounters>("PerformanceQuery", "updateCounters"), host.findClass(kPerformanceQuery), query);
  }
  void store(jlong counter, jint format, jint offset, jobject buffer) {
    host.call(native<StoreValue>("WindowsPerformanceCounter", "storeValueInBuffer"),
              host.findClass(kWindowsPerformanceCounter), counter, format, offset, buffer);
  }
  jlong handleOf(jobject object) { return host.field(object, "_handle").j; }

  // A sampled System Up Time counter of a new query.
  jlong sampledCounter() {
    jobject query = openQuery();
    jobject counter = addCounter(query, kUpTimePath);
    update(handleOf(query));
    EXPECT_FALSE(host.exceptionPending());
    return handleOf(counter);
  }

 private:
  std::vector<jobject> queries_;
};

// What PDH formats for the counter, as the bytes storeValueInBuffer must copy.
std::vector<unsigned char> formattedBytes(jlong counter, jint format, size_t width) {
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_EQ(PdhGetFormattedCounterValue(reinterpret_cast<PDH_HCOUNTER>(counter), static_cast<DWORD>(format), nullptr,
                                        &value),
            ERROR_SUCCESS);
  auto bytes = reinterpret_cast<const unsigned char*>(&value.largeValue);
  return std::vector<unsigned char>(bytes, bytes + width);
}

TEST_P(QueryTest, SampleIsStoredAtTheOffsetWithTheFormatsWidth) {
  jlong counter = sampledCounter();
  const struct {
    jint format;
    size_t width;
  } cases[] = {
      {kLong, 4}, {kDouble, 8}, {kLarge, 8}, {kDouble | kNoScale, 8}, {kLarge | kTimes1000, 8}, {kLong | kNoScale, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    unsigned char storage[32];
    std::memset(storage, kUntouched, sizeof storage);
    store(counter, c.format, 4, directBuffer(storage, sizeof storage));
    ASSERT_FALSE(host.exceptionPending());
    EXPECT_EQ(std::vector<unsigned char>(storage + 4, storage + 4 + c.width), formattedBytes(counter, c.format, c.width));
    for (size_t i = 0; i < sizeof storage; ++i) {
      if (i < 4 || i >= 4 + c.width) {
        EXPECT_EQ(storage[i], kUntouched) << "byte " << i;
      }
    }
  }
}

TEST_P(QueryTest, QueryAndCounterHandlesGoBackToZeroWhenClosed) {
  jobject query = openQuery();
  jobject counter = addCounter(query, kUpTimePath);
  EXPECT_NE(handleOf(counter), 0);
  update(handleOf(query));
  EXPECT_FALSE(host.exceptionPending());

  RemovedHandles removed;
  ActiveInstance<RemovedHandles> active(&removed);
  auto spy = patchPdh("PdhRemoveCounter", spyRemoveCounter);
  const jlong counterHandle = handleOf(counter);
  auto closeTwice = [this](jobject object, const char* cls, const char* method) {
    SCOPED_TRACE(method);
    auto close = native<ObjectAction>(cls, method);
    host.call(close, object);
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(handleOf(object), 0);
    // A second close hands PDH the 0 and raises its answer.
    host.call(close, object);
    expectPdh(kInvalidHandle);
    EXPECT_EQ(handleOf(object), 0);
  };
  closeTwice(counter, "WindowsPerformanceCounter", "close");
  EXPECT_EQ(removed.handles,
            (std::vector<PDH_HCOUNTER>{reinterpret_cast<PDH_HCOUNTER>(counterHandle), nullptr}));
  closeTwice(query, "PerformanceQuery", "closeHandle");
}

TEST_P(QueryTest, HandlePdhRefusesToReleaseStaysInTheObject) {
  // Zeroed memory lacks the signature Wine checks, so PDH refuses it as a handle.
  alignas(16) unsigned char notAHandle[64] = {};
  const jlong bogus = reinterpret_cast<jlong>(notAHandle);
  jobject counter = newCounter(kUpTimePath);
  jobject query = host.newObject(kPerformanceQuery);
  const struct {
    jobject object;
    const char* cls;
    const char* method;
  } closes[] = {{counter, "WindowsPerformanceCounter", "close"}, {query, "PerformanceQuery", "closeHandle"}};
  for (const auto& c : closes) {
    SCOPED_TRACE(c.method);
    host.setField(c.object, "_handle", jnihost::jLong(bogus));
    host.call(native<ObjectAction>(c.cls, c.method), c.object);
    expectPdh(kInvalidHandle);
    EXPECT_EQ(handleOf(c.object), bogus);
  }
}

TEST_P(QueryTest, OpenHandleOpensANewQueryEvenWhenOneIsOpen) {
  jobject query = openQuery();
  const jlong first = handleOf(query);
  host.call(native<ObjectAction>("PerformanceQuery", "openHandle"), query);
  EXPECT_NE(handleOf(query), first);
  EXPECT_EQ(PdhCloseQuery(reinterpret_cast<PDH_HQUERY>(first)), ERROR_SUCCESS);
}

TEST_P(QueryTest, UpdateCountersToleratesNoDataOnly) {
  jobject query = openQuery();
  update(handleOf(query));  // no counters: PDH_NO_DATA
  EXPECT_FALSE(host.exceptionPending());
  update(0);
  expectPdh(kInvalidHandle);
}

TEST_P(QueryTest, CreateHandleTwiceIsRefusedAndKeepsTheFirstCounter) {
  jobject query = openQuery();
  jobject counter = addCounter(query, kUpTimePath);
  const jlong first = handleOf(counter);
  createHandle(counter, handleOf(query));
  expectThrown(kIllegalState, u"Handle already open");
  EXPECT_EQ(handleOf(counter), first);
  update(handleOf(query));
  unsigned char storage[8] = {};
  store(first, kLarge, 0, directBuffer(storage, sizeof storage));
  EXPECT_FALSE(host.exceptionPending());
}

TEST_P(QueryTest, CreateHandleRaisesWhatPdhRefusesAndLeavesTheHandleZero) {
  jobject query = openQuery();
  const struct {
    Text path;
    jlong query;
    DWORD status;
  } cases[] = {
      {u"\\No Such Object\\Nothing", handleOf(query), kCStatusNoCounter},
      {std::nullopt, handleOf(query), kInvalidArgument},  // a null path reaches PDH as null
      {kUpTimePath, 0, kInvalidHandle},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    jobject counter = newCounter(c.path);
    createHandle(counter, c.query);
    expectPdh(c.status);
    EXPECT_EQ(handleOf(counter), 0);
  }
}

TEST_P(QueryTest, ScaleFactorReachesTheCounter) {
  jobject query = openQuery();
  jobject counter = addCounter(query, kUpTimePath);
  auto setScale = native<SetScaleFactor>("WindowsPerformanceCounter", "setScaleFactor");
  host.call(setScale, counter, jint{3});
  EXPECT_FALSE(host.exceptionPending());
  PDH_COUNTER_INFO_W info{};
  DWORD size = sizeof info;
  ASSERT_EQ(PdhGetCounterInfoW(reinterpret_cast<PDH_HCOUNTER>(handleOf(counter)), FALSE, &size, &info), ERROR_SUCCESS);
  EXPECT_EQ(info.lScale, 3);

  host.call(setScale, counter, jint{99});
  expectPdh(kInvalidArgument);
  host.call(setScale, newCounter(kUpTimePath), jint{1});
  expectPdh(kInvalidHandle);
}

struct MarkerCase {
  const char* name;
  DWORD status;
  DWORD cStatus;
  jint format;
  std::vector<unsigned char> stored;  // empty: PdhException with the status, nothing written
};

TEST_P(QueryTest, ValueWithoutValidDataIsStoredAsItsMarker) {
  auto standIn = patchPdh("PdhGetFormattedCounterValue", standInFormattedValue);
  pdh.formatted.valueBits = 0x0102030405060708;
  const std::vector<unsigned char> nan = {0, 0, 0, 0, 0, 0, 0xF8, 0x7F};
  const std::vector<unsigned char> minusOne8(8, 0xFF);
  const MarkerCase cases[] = {
      {"instance gone, double", kInvalidData, kCStatusNoInstance, kDouble, nan},
      {"instance gone, long", kInvalidData, kCStatusNoInstance, kLong, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"instance gone, large", kInvalidData, kCStatusNoInstance, kLarge, minusOne8},
      {"success with bad status, double", 0, kCStatusInvalidData, kDouble | kNoScale, nan},
      {"success with bad status, large", 0, kCStatusNoObject, kLarge, minusOne8},
      {"new data", 0, 1, kLarge, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"valid data", 0, 0, kLong, {8, 7, 6, 5}},
      {"invalid data otherwise", kInvalidData, kCStatusInvalidData, kDouble, {}},
      {"other failure", kInvalidHandle, kCStatusNoInstance, kDouble, {}},
  };
  for (const MarkerCase& c : cases) {
    SCOPED_TRACE(c.name);
    pdh.formatted.status = c.status;
    pdh.formatted.cStatus = c.cStatus;
    unsigned char storage[16];
    std::memset(storage, kUntouched, sizeof storage);
    store(1, c.format, 2, directBuffer(storage, sizeof storage));
    std::vector<unsigned char> expected(sizeof storage, kUntouched);
    if (c.stored.empty()) {
      expectPdh(c.status);
    } else {
      EXPECT_FALSE(host.exceptionPending());
      std::copy(c.stored.begin(), c.stored.end(), expected.begin() + 2);
    }
    EXPECT_EQ(std::vector<unsigned char>(storage, storage + sizeof storage), expected);
  }
}

TEST_P(QueryTest, UnrecognisedFormatIsRefusedAfterThePdhCall) {
  jlong counter = sampledCounter();
  unsigned char storage[16];
  std::memset(storage, kUntouched, sizeof storage);
  // Wine formats 0x300 (long and double bits) but it is none of the three types.
  store(counter, 0x300, 0, directBuffer(storage, sizeof storage));
  expectThrown(kIllegalArgument, u"Unrecognized format type");
  // A format PDH itself refuses is PDH's failure.
  store(counter, 0x800, 0, directBuffer(storage, sizeof storage));
  expectPdh(kInvalidArgument);
  EXPECT_EQ(std::vector<unsigned char>(storage, storage + sizeof storage),
            std::vector<unsigned char>(sizeof storage, kUntouched));

  auto standIn = patchPdh("PdhGetFormattedCounterValue", standInFormattedValue);
  store(counter, 0x300, 0, directBuffer(storage, sizeof storage));
  expectThrown(kIllegalArgument, u"Unrecognized format type");
  EXPECT_EQ(pdh.formatted.formats, (std::vector<DWORD>{0x300}));
}

TEST_P(QueryTest, BufferThatIsNotDirectIsRefusedBeforeThePdhCall) {
  auto standIn = patchPdh("PdhGetFormattedCounterValue", standInFormattedValue);
  store(1, kDouble, 0, host.newObject("java/nio/HeapByteBuffer"));
  expectThrown(kIllegalState, u"Data buffer is not directly accessible");
  store(1, kDouble, 0, nullptr);
  expectThrown(kNullPointer, std::nullopt);
  EXPECT_TRUE(pdh.formatted.formats.empty());
}

TEST_P(QueryTest, OffsetThatWouldWritePastTheBufferIsRefused) {
  jlong counter = sampledCounter();
  const struct {
    jint format;
    jint offset;
    bool fits;
  } cases[] = {
      {kLong, 12, true},      {kLong, 13, false},   {kDouble, 8, true}, {kDouble, 9, false},
      {kLarge | kNoScale, 16, false}, {kLong, -1, false}, {kLarge, INT_MAX, false}, {kLong, INT_MIN, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " offset " << c.offset);
    // Only the first 16 bytes are the buffer; the rest shows a write past it.
    unsigned char storage[48];
    std::memset(storage, kUntouched, sizeof storage);
    store(counter, c.format, c.offset, directBuffer(storage, 16));
    if (c.fits) {
      EXPECT_FALSE(host.exceptionPending());
    } else {
      expectThrown(kIllegalArgument, u"Offset outside the data buffer");
      EXPECT_EQ(std::vector<unsigned char>(storage, storage + 16), std::vector<unsigned char>(16, kUntouched));
    }
    EXPECT_EQ(std::vector<unsigned char>(storage + 16, storage + sizeof storage),
              std::vector<unsigned char>(sizeof storage - 16, kUntouched));
  }
}

TEST_P(QueryTest, SamplingAllocatesNothingAndMakesTwoJniCalls) {
  jlong counter = sampledCounter();
  unsigned char storage[64] = {};
  jobject buffer = directBuffer(storage, sizeof storage);
  const std::vector<std::string> expectedCalls = {"GetDirectBufferAddress", "GetDirectBufferCapacity"};
  AllocationCounter allocations(library.module);
  const std::vector<std::string> watched = allocations.watched();
  ASSERT_NE(std::find(watched.begin(), watched.end(), "HeapAlloc"), watched.end());
  ASSERT_NE(std::find(watched.begin(), watched.end(), "realloc"), watched.end());
  for (int sample = 0; sample < 8; ++sample) {
    for (jint format : {kLong, kDouble, kLarge, kDouble | kNoScale}) {
      SCOPED_TRACE(format);
      store(counter, format, sample * 8, buffer);
      ASSERT_FALSE(host.exceptionPending());
      EXPECT_EQ(host.lastCallJniFunctions(), expectedCalls);
    }
  }
  // A vanished instance takes the same path.
  auto standIn = patchPdh("PdhGetFormattedCounterValue", standInFormattedValue);
  pdh.formatted.status = kInvalidData;
  pdh.formatted.cStatus = kCStatusNoInstance;
  store(counter, kDouble, 0, buffer);
  EXPECT_FALSE(host.exceptionPending());
  EXPECT_EQ(host.lastCallJniFunctions(), expectedCalls);
  EXPECT_EQ(allocations.allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothBridges, QueryTest, ::testing::Values(L"fullbridge.dll", L"corebridge.dll"));

}  // namespace
}  // namespace monitoringtest
