// What the host checks beyond JNI use: memory handed to natives lies before guard
// pages, the lookups natives make are recorded, and observers learn what Java
// holds once a call returned.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "guard_pages.h"
#include "host_test.h"

namespace jnihost {
namespace {

// Accesses the tests make on purpose, which the compiler must neither drop nor merge.
unsigned char readByte(const void* p, std::ptrdiff_t offset) {
  return static_cast<const volatile unsigned char*>(p)[offset];
}
void writeByte(void* p, std::ptrdiff_t offset, unsigned char value) {
  static_cast<volatile unsigned char*>(p)[offset] = value;
}

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%p", p);
  return buf;
}

class GuardedBuffers : public HostTest {
 protected:
  // The violations recorded so far, which are then cleared.
  std::vector<std::string> takeViolations() {
    std::vector<std::string> found = host.violations();
    host.clearViolations();
    return found;
  }
  static bool mentions(const std::vector<std::string>& found, const std::string& fragment) {
    return std::any_of(found.begin(), found.end(),
                       [&](const std::string& v) { return v.find(fragment) != std::string::npos; });
  }
};

struct HandOut {
  const char* name;
  bool copy;      // setCopyElements
  bool critical;  // GetPrimitiveArrayCritical instead of Get<Type>ArrayElements
  const char* label;
};

// An array whose size is no multiple of 16, so that a buffer aligned to 16 would
// leave slack after it.
struct OddArray {
  const char* type;
  std::size_t elementSize;
  jarray (*make)(Host&);
};

// Get<Type>ArrayElements and its release for the array type named by its signature.
void* elementsOf(JNIEnv* e, jarray a, const std::string& type) {
  switch (type[1]) {
    case 'B': return e->GetByteArrayElements(static_cast<jbyteArray>(a), nullptr);
    case 'C': return e->GetCharArrayElements(static_cast<jcharArray>(a), nullptr);
    case 'S': return e->GetShortArrayElements(static_cast<jshortArray>(a), nullptr);
    case 'I': return e->GetIntArrayElements(static_cast<jintArray>(a), nullptr);
    case 'F': return e->GetFloatArrayElements(static_cast<jfloatArray>(a), nullptr);
    case 'J': return e->GetLongArrayElements(static_cast<jlongArray>(a), nullptr);
    case 'D': return e->GetDoubleArrayElements(static_cast<jdoubleArray>(a), nullptr);
    default: return e->GetBooleanArrayElements(static_cast<jbooleanArray>(a), nullptr);
  }
}
void releaseElementsOf(JNIEnv* e, jarray a, void* p, const std::string& type) {
  switch (type[1]) {
    case 'B': return e->ReleaseByteArrayElements(static_cast<jbyteArray>(a), static_cast<jbyte*>(p), JNI_ABORT);
    case 'C': return e->ReleaseCharArrayElements(static_cast<jcharArray>(a), static_cast<jchar*>(p), JNI_ABORT);
    case 'S': return e->ReleaseShortArrayElements(static_cast<jshortArray>(a), static_cast<jshort*>(p), JNI_ABORT);
    case 'I': return e->ReleaseIntArrayElements(static_cast<jintArray>(a), static_cast<jint*>(p), JNI_ABORT);
    case 'F': return e->ReleaseFloatArrayElements(static_cast<jfloatArray>(a), static_cast<jfloat*>(p), JNI_ABORT);
    case 'J': return e->ReleaseLongArrayElements(static_cast<jlongArray>(a), static_cast<jlong*>(p), JNI_ABORT);
    case 'D': return e->ReleaseDoubleArrayElements(static_cast<jdoubleArray>(a), static_cast<jdouble*>(p), JNI_ABORT);
    default:
      return e->ReleaseBooleanArrayElements(static_cast<jbooleanArray>(a), static_cast<jboolean*>(p), JNI_ABORT);
  }
}

template <class T>
jarray threeElements(Host& host) {
  return host.newArray<T>({T(1), T(2), T(3)});
}

const OddArray kOddArrays[] = {
    {"[B", 1, threeElements<jbyte>},  {"[C", 2, threeElements<jchar>},   {"[S", 2, threeElements<jshort>},
    {"[I", 4, threeElements<jint>},   {"[F", 4, threeElements<jfloat>},  {"[J", 8, threeElements<jlong>},
    {"[D", 8, threeElements<jdouble>}, {"[Z", 1, threeElements<jboolean>},
};

// Java's buffers need only their element's alignment: a read of one element past
// the last one faults at once, with no slack up to a 16-byte boundary to hide it.
TEST_F(GuardedBuffers, ReadingOneElementPastAnArrayFaults) {
  const HandOut ways[] = {
      {"copied elements", true, false, "Get<Type>ArrayElements of instance of "},
      {"elements in place", false, false, "storage of instance of "},
      {"critical", true, true, "storage of instance of "},
  };
  for (const HandOut& way : ways) {
    for (const OddArray& odd : kOddArrays) {
      SCOPED_TRACE(std::string(way.name) + " of " + odd.type);
      host.setCopyElements(way.copy);
      jarray array = odd.make(host);
      const std::size_t bytes = 3 * odd.elementSize;
      const void* elements = nullptr;
      host.call(
          [&](JNIEnv* e, jarray a) {
            void* p = way.critical ? e->GetPrimitiveArrayCritical(a, nullptr) : elementsOf(e, a, odd.type);
            elements = p;
            readByte(p, static_cast<std::ptrdiff_t>(bytes));
            if (way.critical) {
              e->ReleasePrimitiveArrayCritical(a, p, JNI_ABORT);
            } else {
              releaseElementsOf(e, a, p, odd.type);
            }
          },
          array);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(elements) % odd.elementSize, 0u);
      const std::vector<std::string> found = takeViolations();
      ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
      EXPECT_TRUE(mentions(found, "read at offset " + std::to_string(bytes) + " of block " + hex(elements) + " (" +
                                      std::to_string(bytes) + " bytes, " + way.label + odd.type + "), past its end"))
          << found[0];
    }
  }
}

TEST_F(GuardedBuffers, ReadingOnePastAPasswordWithoutItsNulFaults) {
  for (bool copy : {true, false}) {
    SCOPED_TRACE(copy ? "copy" : "in place");
    host.setCopyElements(copy);
    jcharArray password = host.newArray<jchar>({u'p', u'w', u'd'});
    jchar past = 1;
    host.call(
        [&](JNIEnv* e, jcharArray a) {
          jchar* chars = e->GetCharArrayElements(a, nullptr);
          past = static_cast<const volatile jchar*>(chars)[3];  // the NUL the array does not have
          e->ReleaseCharArrayElements(a, chars, JNI_ABORT);
        },
        password);
    EXPECT_EQ(past, 0);  // the page made readable for going on comes zeroed
    const std::vector<std::string> found = takeViolations();
    ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
    EXPECT_TRUE(mentions(found, "read at offset 6 of block ")) << found[0];
    EXPECT_TRUE(mentions(found, "(6 bytes, ")) << found[0];
    EXPECT_TRUE(mentions(found, "past its end")) << found[0];
  }
}

TEST_F(GuardedBuffers, ElementsUsedAfterTheyWereGivenBackFault) {
  jbyteArray array = host.newArray<jbyte>({1, 2, 3});
  host.call(
      [](JNIEnv* e, jbyteArray a) {
        jbyte* bytes = e->GetByteArrayElements(a, nullptr);
        e->ReleaseByteArrayElements(a, bytes, 0);
        readByte(bytes, 0);
      },
      array);
  const std::vector<std::string> found = takeViolations();
  ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
  EXPECT_TRUE(mentions(found, "read at offset 0 of block ")) << found[0];
  EXPECT_TRUE(mentions(found, "after it was released")) << found[0];
}

TEST_F(GuardedBuffers, StringCharactersEndWithTheirNulAndNothingAfterIt) {
  // Five units and the NUL are 12 bytes, seven UTF-8 bytes and the NUL 8: neither a
  // multiple of 16, so a read just past the NUL shows only when nothing pads them.
  for (bool copy : {true, false}) {
    SCOPED_TRACE(copy ? "copy" : "in place");
    host.setCopyElements(copy);
    // Fresh strings: a fault leaves the page of what was handed out in place readable.
    jstring text = host.newString(u"seven");
    jstring utf = host.newString(u"fifteen");
    jchar nul = 1;
    char utfNul = 1;
    jchar criticalNul = 1;
    host.call(
        [&](JNIEnv* e, jstring s, jstring u) {
          const jchar* units = e->GetStringChars(s, nullptr);
          nul = units[5];
          readByte(units, 12);
          e->ReleaseStringChars(s, units);
          const char* bytes = e->GetStringUTFChars(u, nullptr);
          utfNul = bytes[7];
          readByte(bytes, 8);
          e->ReleaseStringUTFChars(u, bytes);
          const jchar* critical = e->GetStringCritical(s, nullptr);
          criticalNul = critical[5];
          readByte(critical, 12);
          e->ReleaseStringCritical(s, critical);
        },
        text, utf);
    EXPECT_EQ(nul, 0);
    EXPECT_EQ(utfNul, 0);
    EXPECT_EQ(criticalNul, 0);
    const std::vector<std::string> found = takeViolations();
    // In place, the characters and the critical read share one block and its page,
    // which the first fault made readable.
    ASSERT_EQ(found.size(), copy ? 3u : 2u) << ::testing::PrintToString(found);
    EXPECT_TRUE(mentions(found, "read at offset 12 of block ")) << ::testing::PrintToString(found);
    EXPECT_TRUE(mentions(found, "(12 bytes, " + std::string(copy ? "GetStringChars of " : "characters of ") +
                                    "String \"seven\"), past its end"))
        << ::testing::PrintToString(found);
    EXPECT_TRUE(mentions(found, "read at offset 8 of block ")) << ::testing::PrintToString(found);
    EXPECT_TRUE(mentions(found, "(8 bytes, GetStringUTFChars of String \"fifteen\"), past its end"))
        << ::testing::PrintToString(found);
  }
}

TEST_F(GuardedBuffers, DirectBufferMemoryIsGuardedForTheLengthOfTheCall) {
  std::vector<unsigned char> memory(16, 0);
  jobject buffer = env()->NewDirectByteBuffer(memory.data(), static_cast<jlong>(memory.size()));
  void* handedOut = nullptr;
  void* ownOfNew = nullptr;
  unsigned char scratch[8] = {};
  host.call(
      [&](JNIEnv* e, jobject b) {
        auto* p = static_cast<unsigned char*>(e->GetDirectBufferAddress(b));
        handedOut = p;
        for (int i = 0; i < 16; ++i) p[i] = static_cast<unsigned char>(i + 1);
        writeByte(p, 16, 0xEE);
        // A buffer the native makes over its own memory is handed back as it is.
        jobject made = e->NewDirectByteBuffer(scratch, sizeof scratch);
        ownOfNew = e->GetDirectBufferAddress(made);
      },
      buffer);
  EXPECT_NE(handedOut, memory.data());
  EXPECT_EQ(ownOfNew, static_cast<void*>(scratch));
  // What the native wrote reached the buffer's own memory.
  EXPECT_EQ(memory[0], 1);
  EXPECT_EQ(memory[15], 16);
  const std::vector<std::string> found = takeViolations();
  ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
  EXPECT_TRUE(mentions(
      found, "write at offset 16 of block " + hex(handedOut) + " (16 bytes, memory of a direct buffer of 16 bytes"))
      << found[0];
  // Outside a call, the test sees the memory it gave.
  EXPECT_EQ(env()->GetDirectBufferAddress(buffer), memory.data());
}

TEST_F(GuardedBuffers, AFaultIsReportedEvenWhereAHandlerWouldHaveSwallowedIt) {
  jlongArray array = host.newArray<jlong>({1, 2});
  BOOL bad = TRUE;
  host.call(
      [&](JNIEnv* e, jlongArray a) {
        jlong* values = e->GetLongArrayElements(a, nullptr);
        // IsBadReadPtr turns the fault into its result with a handler of its own.
        bad = IsBadReadPtr(values, 17);
        e->ReleaseLongArrayElements(a, values, JNI_ABORT);
      },
      array);
  EXPECT_FALSE(bad);
  const std::vector<std::string> found = takeViolations();
  ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
  EXPECT_TRUE(mentions(found, "read at offset 16 of block ")) << found[0];
}

TEST_F(GuardedBuffers, PlainMemoryWhenAskedFor) {
  host.setGuardPages(false);
  jintArray array = host.newArray<jint>({1, 2, 3});
  bool guarded = true;
  host.call(
      [&](JNIEnv* e, jintArray a) {
        jint* values = e->GetIntArrayElements(a, nullptr);
        guarded = testsupport::guard::find(values, nullptr);
        e->ReleaseIntArrayElements(a, values, JNI_ABORT);
      },
      array);
  EXPECT_FALSE(guarded);
}

using Lookups = HostTest;

TEST_F(Lookups, TheLookupsNativesMakeAreRecordedWithTheClassDeclaringTheMember) {
  host.defineClass("com/x/Shipped").field("_count", "I").method("run", "()V", [](Host&, jobject, const jvalue*) {
    return jVoid();
  });
  host.defineClass("test/Derived", "com/x/Shipped")
      .testOnly()
      .staticMethod("make", "()V", [](Host& h, jobject, const jvalue*) {
        // A Java body's own lookups are not
        // the library's.
        h.env()->FindClass("com/x/Shipped");
        return jVoid();
      });
  host.recordLookups(true);
  env()->FindClass("java/util/ArrayList");  // the test's own, outside a call
  host.call([](JNIEnv* e) {
    jclass shipped = e->FindClass("com/x/Shipped");
    e->GetMethodID(shipped, "run", "()V");
    jclass derived = e->FindClass("test/Derived");
    e->GetFieldID(derived, "_count", "I");
    e->CallStaticVoidMethod(derived, e->GetStaticMethodID(derived, "make", "()V"));
    e->FindClass("[Ltest/Derived;");
    // Lookups that fail fail on a real JVM too and are not recorded.
    e->FindClass("no/Such");
    e->ExceptionClear();
    e->GetFieldID(shipped, "_count", "J");
    e->ExceptionClear();
  });
  const std::vector<Lookup> expected = {
      {"FindClass", "[Ltest/Derived;", "", "", "", true, true},
      {"FindClass", "com/x/Shipped", "", "", "", false, false},
      {"FindClass", "test/Derived", "", "", "", true, true},
      {"GetFieldID", "test/Derived", "_count", "I", "com/x/Shipped", true, false},
      {"GetMethodID", "com/x/Shipped", "run", "()V", "com/x/Shipped", false, false},
      {"GetStaticMethodID", "test/Derived", "make", "()V", "test/Derived", true, true},
  };
  const std::vector<Lookup> recorded = host.lookups();
  EXPECT_EQ(recorded.size(), expected.size());
  for (const Lookup& l : expected) {
    EXPECT_TRUE(std::any_of(recorded.begin(), recorded.end(), [&](const Lookup& r) { return !(r < l) && !(l < r); }))
        << "not recorded: " << l.function << " " << l.cls << " " << l.name << l.sig;
  }
  // com/x/Shipped stands for a shipped class here; it must not reach the suite's log.
  host.recordLookups(false);
}

TEST_F(Lookups, NothingIsRecordedUnlessAsked) {
  host.call([](JNIEnv* e) { e->FindClass("java/util/ArrayList"); });
  EXPECT_TRUE(host.lookups().empty());
}

// Remembers what the host told about the last call.
struct EndRecorder : testsupport::CallObserver {
  testsupport::CallEnd last;
  void onCallStart() override {}
  void onCallEnd(const testsupport::CallEnd& end, std::vector<std::string>&) override { last = end; }
};

TEST_F(Lookups, ObserversLearnWhichHandlesJavaHoldsOnceTheCallReturned) {
  host.defineClass("test/Holder")
      .testOnly()
      .field("_handle", "J")
      .field("_next", "Ljava/lang/Object;")
      .constructor("()V");
  EndRecorder observer;
  host.addObserver(&observer);
  jobject receiver = host.newObject("test/Holder");
  host.setField(receiver, "_handle", jLong(5));

  // A returned long, and the field of the receiver as it was and as it is.
  host.call(
      [](JNIEnv* e, jobject self) {
        e->SetLongField(self, e->GetFieldID(e->GetObjectClass(self), "_handle", "J"), 6);
        return jlong{0x1234};
      },
      receiver);
  EXPECT_EQ(observer.last.javaHandlesAtStart, (std::vector<std::uint64_t>{5}));
  EXPECT_TRUE(observer.last.heldByJava(0x1234));
  EXPECT_TRUE(observer.last.heldByJava(6));
  EXPECT_FALSE(observer.last.heldByJava(5));

  // Objects the call made count when Java can reach them, not when it dropped them.
  host.call(
      [](JNIEnv* e, jobject self) {
        jclass holder = e->GetObjectClass(self);
        jmethodID make = e->GetMethodID(holder, "<init>", "()V");
        jfieldID handle = e->GetFieldID(holder, "_handle", "J");
        jobject dropped = e->NewObject(holder, make);
        e->SetLongField(dropped, handle, 7);
        jobject kept = e->NewObject(holder, make);
        e->SetLongField(kept, handle, 8);
        jobject chained = e->NewObject(holder, make);
        e->SetLongField(chained, handle, 9);
        e->SetObjectField(kept, e->GetFieldID(holder, "_next", "Ljava/lang/Object;"), chained);
        return kept;
      },
      receiver);
  EXPECT_FALSE(observer.last.heldByJava(7));
  EXPECT_TRUE(observer.last.heldByJava(8));
  EXPECT_TRUE(observer.last.heldByJava(9));
  EXPECT_TRUE(observer.last.heldByJava(6));
  host.removeObserver(&observer);
}

}  // namespace
}  // namespace jnihost
