// Java strings to Windows buffers and back, heap blocks, multi-strings, times.
#include "bridge/strings.h"

#include <climits>
#include <limits>
#include <string>
#include <vector>

#include "bridge/failures.h"
#include "bridge_test.h"
#include "harness_scope.h"
#include "heap_faults.h"
#include "import_patch.h"

namespace {

using testsupport::BridgeTest;
using testsupport::HarnessScope;
using testsupport::kCodedSystemException;

class StringsTest : public BridgeTest {};

// Copies the units of a wide string buffer, including its terminator, with the
// bookkeeping kept out of the heap accounting.
std::u16string unitsOf(const WCHAR* block, size_t units) {
  HarnessScope harness;
  return std::u16string(reinterpret_cast<const char16_t*>(block), units);
}

TEST_F(StringsTest, WideStringBufferHoldsTheUnitsAndOneNul) {
  for (std::u16string text :
       {std::u16string(u"a\0b", 3), std::u16string(), std::u16string(u"\u00e9t\u00e9 \U0001F600")}) {
    SCOPED_TRACE(testing::PrintToString(std::string(text.begin(), text.end())));
    jstring string = host.newString(text);
    std::u16string copied;
    SIZE_T blockSize = 0;
    host.call([&](JNIEnv* env) {
      LPWSTR chars = GetSzwStringChars(env, string);
      ASSERT_NE(chars, nullptr);
      blockSize = HeapSize(GetProcessHeap(), 0, chars);
      copied = unitsOf(chars, text.size() + 1);
      ReleaseSzwStringChars(env, chars);
    });
    EXPECT_EQ(copied, text + u'\0');
    EXPECT_EQ(blockSize, (text.size() + 1) * sizeof(WCHAR));
    EXPECT_FALSE(host.exceptionPending());
  }
}

TEST_F(StringsTest, NullStringGivesNullWithoutException) {
  EXPECT_EQ(host.call(GetSzwStringCharsFromHeap, GetProcessHeap(), jstring{nullptr}), nullptr);
  EXPECT_EQ(host.call(GetSzwStringChars, jstring{nullptr}), nullptr);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_F(StringsTest, PrivateHeapBlockComesFromThatHeap) {
  HANDLE heap = HeapCreate(0, 0, 0);
  jstring string = host.newString(u"private");
  bool onHeap = false;
  host.call([&](JNIEnv* env) {
    LPWSTR chars = GetSzwStringCharsFromHeap(env, heap, string);
    onHeap = HeapValidate(heap, 0, chars) && lstrcmpW(chars, L"private") == 0;
    ReleaseFromHeap(env, heap, chars);
  });
  EXPECT_TRUE(onHeap);
  HeapDestroy(heap);
}

TEST_F(StringsTest, AllocationFailureRaisesOutOfMemory) {
  intercept::FailHeapAlloc fail(self());
  jstring string = host.newString(u"text");
  EXPECT_EQ(host.call(GetSzwStringChars, string), nullptr);
  EXPECT_EQ(fail.failures(), 1u);
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  host.clearException();
}

TEST_F(StringsTest, MissingProcessHeapRaisesItsLastError) {
  jstring string = host.newString(u"text");
  HANDLE heap = GetProcessHeap();
  LPWSTR block = static_cast<LPWSTR>(HeapAlloc(heap, 0, 16));
  {
    intercept::FailGetProcessHeap fail(self(), ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(host.call(GetSzwStringChars, string), nullptr);
    EXPECT_EQ(host.exceptionIntField("_code"), ERROR_NOT_ENOUGH_QUOTA);
    host.clearException();

    host.call(ReleaseSzwStringChars, block);
    EXPECT_EQ(host.exceptionIntField("_code"), ERROR_NOT_ENOUGH_QUOTA);
    host.clearException();
  }
  HeapFree(heap, 0, block);
}

TEST_F(StringsTest, ReleasingNullDoesNothing) {
  host.call(ReleaseFromHeap, GetProcessHeap(), LPVOID{nullptr});
  host.call(ReleaseSzwStringChars, LPWSTR{nullptr});
  EXPECT_FALSE(host.exceptionPending());
}

TEST_F(StringsTest, FailedHeapFreeRaisesUnlessAnExceptionIsPending) {
  // Blocks made by the test: the failed release leaves them to the test to free.
  HANDLE heap = GetProcessHeap();
  LPVOID block = HeapAlloc(heap, 0, 16);
  {
    intercept::FailHeapFree fail(self(), intercept::Schedule::always(), ERROR_INVALID_PARAMETER);

    host.call(ReleaseFromHeap, heap, block);
    EXPECT_EQ(host.exceptionIntField("_code"), ERROR_INVALID_PARAMETER);
    host.clearException();

    host.call(ReleaseSzwStringChars, static_cast<LPWSTR>(block));
    EXPECT_EQ(host.exceptionIntField("_code"), ERROR_INVALID_PARAMETER);
    host.clearException();

    host.call([&](JNIEnv* env) {
      env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), "first");
      ReleaseFromHeap(env, heap, block);
      ReleaseSzwStringChars(env, static_cast<LPWSTR>(block));
    });
    EXPECT_EQ(host.exceptionClass(), "java/lang/IllegalStateException");
    host.clearException();
    EXPECT_EQ(fail.failures(), 4u);
  }
  HeapFree(heap, 0, block);
}

TEST_F(StringsTest, ReAllocHeapBufferGrowsKeepingContents) {
  HANDLE heap = GetProcessHeap();
  int resized = 0;
  bool contentsKept = false;
  host.call([&](JNIEnv* env) {
    LPVOID block = HeapAlloc(heap, 0, 4);
    memcpy(block, "abc", 4);
    resized = ReAllocHeapBuffer(env, heap, 0, &block, 4096);
    contentsKept = HeapSize(heap, 0, block) == 4096 && memcmp(block, "abc", 4) == 0;
    ReleaseFromHeap(env, heap, block);
  });
  EXPECT_EQ(resized, 1);
  EXPECT_TRUE(contentsKept);
}

TEST_F(StringsTest, ReAllocHeapBufferFailureLeavesTheOldBlockWithTheCaller) {
  HANDLE heap = GetProcessHeap();
  intercept::FailHeapReAlloc fail(self());
  int resized = -1;
  bool oldBlockIntact = false;
  host.call([&](JNIEnv* env) {
    LPVOID block = HeapAlloc(heap, 0, 8);
    memcpy(block, "kept", 5);
    LPVOID before = block;
    resized = ReAllocHeapBuffer(env, heap, 0, &block, 1 << 20);
    oldBlockIntact = block == before && HeapSize(heap, 0, block) == 8 && memcmp(block, "kept", 5) == 0;
    ReleaseFromHeap(env, heap, block);  // raises nothing over the pending error
  });
  EXPECT_EQ(resized, 0);
  EXPECT_TRUE(oldBlockIntact);
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  host.clearException();
}

TEST_F(StringsTest, NewJavaString) {
  EXPECT_EQ(host.call(bridge::newJavaString, static_cast<const WCHAR*>(nullptr)), nullptr);
  jstring s = host.call(bridge::newJavaString, static_cast<const WCHAR*>(L"abc"));
  EXPECT_EQ(host.str(s), u"abc");
}

TEST_F(StringsTest, BoundedStringStopsAtTheFirstNulWithinCapacity) {
  const WCHAR buffer[] = {L'a', L'b', L'\0', L'c', L'd'};
  struct Case {
    size_t capacity;
    bool valid;
  };
  for (const Case& c :
       {Case{5, true}, Case{3, true}, Case{2, false}, Case{0, false}, Case{static_cast<size_t>(INT_MAX) + 1, false}}) {
    SCOPED_TRACE(c.capacity);
    jstring s = host.call(bridge::newJavaStringBounded, static_cast<const WCHAR*>(buffer), c.capacity);
    if (c.valid) {
      EXPECT_EQ(host.str(s), u"ab");
      EXPECT_FALSE(host.exceptionPending());
    } else {
      EXPECT_EQ(s, nullptr);
      EXPECT_EQ(host.exceptionClass(), kCodedSystemException);
      EXPECT_EQ(host.exceptionIntField("_code"), -2147024809);
      host.clearException();
    }
  }
  EXPECT_EQ(host.call(bridge::newJavaStringBounded, static_cast<const WCHAR*>(nullptr), size_t{4}), nullptr);
  EXPECT_FALSE(host.exceptionPending());

  // The largest capacity the rule accepts; the NUL comes first, so nothing past it is read.
  const WCHAR onlyNul[] = {L'\0'};
  jstring empty = host.call(bridge::newJavaStringBounded, static_cast<const WCHAR*>(onlyNul), size_t{INT_MAX});
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(host.str(empty), u"");
  EXPECT_FALSE(host.exceptionPending());
}

// Counts ExpandEnvironmentStringsW calls and passes them on.
struct ExpandCounter {
  static DWORD WINAPI expand(LPCWSTR source, LPWSTR target, DWORD size) {
    auto* self = intercept::ActiveInstance<ExpandCounter>::get();
    ++self->calls;
    return self->patch.previousAs<decltype(ExpandEnvironmentStringsW)>()(source, target, size);
  }
  int calls = 0;
  intercept::ActiveInstance<ExpandCounter> active{this};
  intercept::ImportPatch patch{GetModuleHandleW(nullptr), "KERNEL32.dll", "ExpandEnvironmentStringsW", &expand};
};

TEST_F(StringsTest, ExpansionGrowsOnceToTheReportedSize) {
  std::wstring value(200, L'v');
  ASSERT_TRUE(SetEnvironmentVariableW(L"BRIDGE_TEST_LONG", value.c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"BRIDGE_TEST_SHORT", L"short"));
  struct Case {
    const WCHAR* source;
    std::u16string expected;
    int calls;
  };
  const Case cases[] = {
      {L"[%BRIDGE_TEST_SHORT%]", u"[short]", 1},
      {L"%BRIDGE_TEST_UNSET_VARIABLE%", u"%BRIDGE_TEST_UNSET_VARIABLE%", 1},
      {L"", u"", 1},
      {L"<%BRIDGE_TEST_LONG%>", u"<" + std::u16string(200, u'v') + u">", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    ExpandCounter counter;
    jstring s = host.call(bridge::expandToJavaString, GetProcessHeap(), c.source);
    EXPECT_EQ(host.str(s), c.expected);
    EXPECT_EQ(counter.calls, c.calls);
  }
  SetEnvironmentVariableW(L"BRIDGE_TEST_LONG", nullptr);
  SetEnvironmentVariableW(L"BRIDGE_TEST_SHORT", nullptr);
}

TEST_F(StringsTest, GrownSizeAlwaysOffersMoreOrRefuses) {
  struct Case {
    DWORD offered;
    DWORD asked;
    DWORD extra;
    DWORD next;  // 0: refused
  };
  const Case cases[] = {
      {512, 701, 0, 701},
      {5120, 6000, 1, 6001},
      // An answer asking for no more than was offered is not relied on.
      {512, 512, 0, 1024},
      {512, 0, 0, 1024},
      {5120, 5119, 1, 10240},
      {0x7FFFFFFF, 3, 0, 0xFFFFFFFE},
      // Sizes that do not fit in 32 bits, and 0, are refused.
      {10240, 0xFFFFFFFF, 1, 0},
      {0xFFFFFFF0, 0xFFFFFFFF, 2, 0},
      {0x80000000, 5, 0, 0},
      {0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offered << " offered, " << c.asked << " asked, +" << c.extra);
    EXPECT_EQ(bridge::grownSize(c.offered, c.asked, c.extra), c.next);
  }
}

TEST_F(StringsTest, ExpansionBufferFailuresRaiseLackOfMemoryWhateverTheLastError) {
  std::wstring value(300, L'x');
  ASSERT_TRUE(SetEnvironmentVariableW(L"BRIDGE_TEST_LONG", value.c_str()));
  // HeapAlloc and HeapReAlloc leave the last error as an earlier call left it.
  const DWORD staleErrors[] = {intercept::kLastErrorUntouched, ERROR_SUCCESS, ERROR_MORE_DATA, ERROR_FILE_NOT_FOUND};
  for (DWORD stale : staleErrors) {
    SCOPED_TRACE(stale);
    {
      intercept::FailHeapAlloc fail(self(), intercept::Schedule::always(), stale);
      EXPECT_EQ(host.call(bridge::expandToJavaString, GetProcessHeap(), L"%BRIDGE_TEST_LONG%"), nullptr);
      EXPECT_EQ(host.exceptionIntField("_code"), ERROR_NOT_ENOUGH_MEMORY);
      host.clearException();
    }
    {
      intercept::FailHeapReAlloc fail(self(), intercept::Schedule::always(), stale);
      EXPECT_EQ(host.call(bridge::expandToJavaString, GetProcessHeap(), L"%BRIDGE_TEST_LONG%"), nullptr);
      EXPECT_EQ(host.exceptionIntField("_code"), ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_EQ(fail.failures(), 1u);
      host.clearException();
    }
  }
  SetEnvironmentVariableW(L"BRIDGE_TEST_LONG", nullptr);
}

struct MultiCase {
  const char* name;
  std::u16string units;
  std::vector<std::u16string> strings;
  bool malformed;
};

TEST_F(StringsTest, MultiStringBecomesListEntries) {
  const MultiCase cases[] = {
      {"two strings", std::u16string(u"a\0b\0\0", 5), {u"a", u"b"}, false},
      {"empty string inside", std::u16string(u"a\0\0b\0\0", 6), {u"a", u"", u"b"}, false},
      {"only the final NUL", std::u16string(u"\0", 1), {}, false},
      {"no final extra NUL", std::u16string(u"a\0", 2), {u"a"}, true},
      {"two without final NUL", std::u16string(u"a\0b\0", 4), {u"a", u"b"}, true},
      {"unterminated", std::u16string(u"ab", 2), {}, true},
      // A last string of one unit stands where the closing NUL belongs.
      {"one-unit last string", std::u16string(u"a\0b", 3), {u"a"}, true},
      {"longer last string", std::u16string(u"a\0bc", 4), {u"a"}, true},
      {"a single unit", std::u16string(u"x", 1), {}, true},
      {"no data at all", std::u16string(), {}, true},
  };
  for (const char* exceptionClass : {bridge::kCodedSystemExceptionClass, bridge::kPdhExceptionClass}) {
    for (const MultiCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " / " + exceptionClass);
      const WCHAR* units = reinterpret_cast<const WCHAR*>(c.units.data());
      jobject list = host.call(bridge::newListFromMultiString, units, c.units.size(), exceptionClass);
      ASSERT_NE(list, nullptr);
      EXPECT_EQ(host.className(list), "java/util/ArrayList");
      EXPECT_EQ(host.stringElements(list), c.strings);
      if (c.malformed) {
        EXPECT_EQ(host.exceptionClass(), exceptionClass);
        EXPECT_EQ(host.exceptionIntField("_code"), -2147024809);
        host.clearException();
      } else {
        EXPECT_FALSE(host.exceptionPending());
      }
    }
  }
}

TEST_F(StringsTest, MultiStringReportsWhetherAnyAddChangedTheCollection) {
  jobject set = host.newObject("java/util/HashSet");
  host.invoke(set, "add", "(Ljava/lang/Object;)Z", {jnihost::jObj(host.newString(u"a"))});
  const std::u16string onlyA(u"a\0\0", 3);
  const std::u16string aAndB(u"a\0b\0\0", 5);
  auto add = [&](const std::u16string& units) {
    return host.call(bridge::addMultiStringToCollection, reinterpret_cast<const WCHAR*>(units.data()), units.size(),
                     set, bridge::kCodedSystemExceptionClass);
  };
  EXPECT_FALSE(add(onlyA));
  EXPECT_TRUE(add(aAndB));
  EXPECT_EQ(host.elements(set).size(), 2u);
  EXPECT_FALSE(host.exceptionPending());
}

TEST_F(StringsTest, MultiStringIntoNullCollectionRaisesNullPointer) {
  const std::u16string units(u"a\0\0", 3);
  EXPECT_FALSE(host.call(bridge::addMultiStringToCollection, reinterpret_cast<const WCHAR*>(units.data()), units.size(),
                         jobject{nullptr}, bridge::kCodedSystemExceptionClass));
  EXPECT_EQ(host.exceptionClass(), "java/lang/NullPointerException");
  host.clearException();
}

TEST_F(StringsTest, MultiStringKeepsLocalReferencesConstant) {
  auto peakFor = [&](int count) {
    std::u16string units;
    for (int i = 0; i < count; ++i) units += u"entry" + std::u16string(1, u'\0');
    units += u'\0';
    jobject list = host.call(bridge::newListFromMultiString, reinterpret_cast<const WCHAR*>(units.data()), units.size(),
                             bridge::kCodedSystemExceptionClass);
    EXPECT_EQ(host.elements(list).size(), static_cast<size_t>(count));
    return host.lastCallPeakLocalRefs();
  };
  size_t small = peakFor(3);
  EXPECT_EQ(peakFor(5000), small);
  EXPECT_LE(small, 8u);
}

TEST_F(StringsTest, FileTimeAndJavaTimeConversions) {
  struct Case {
    jlong fileTime;
    jlong millis;
  };
  for (const Case& c : {Case{116444736000000000LL, 0}, Case{0, -11644473600000LL},
                        Case{116444736000000000LL + 12345678, 1234}, Case{133000000000000000LL, 1655526400000LL}}) {
    SCOPED_TRACE(c.fileTime);
    EXPECT_EQ(bridge::fileTimeToJavaMillis(c.fileTime), c.millis);
  }
  EXPECT_EQ(bridge::javaMillisToFileTime(0), 116444736000000000LL);
  EXPECT_EQ(bridge::javaMillisToFileTime(1655526400000LL), 133000000000000000LL);
  // Division truncates toward zero before the epoch shift.
  EXPECT_EQ(bridge::fileTimeToJavaMillis(-19999), -1 - 11644473600000LL);
}

// Constant evaluation refuses signed overflow, so these do not compile if the
// conversion overflows for a Java time at either end of the long range. Modulo
// 2^64, Long.MAX_VALUE times 10,000 is -10,000 and Long.MIN_VALUE times 10,000 is
// 0: the ends of the range wrap to the file times of -1 ms and of the Java epoch.
static_assert(bridge::javaMillisToFileTime(std::numeric_limits<jlong>::max()) == 116444735999990000LL);
static_assert(bridge::javaMillisToFileTime(std::numeric_limits<jlong>::min()) == 116444736000000000LL);
static_assert(bridge::javaMillisToFileTime(-1) == 116444735999990000LL);

}  // namespace
