// What natives see through the host when they use JNI correctly.
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "harness_scope.h"
#include "host_test.h"

namespace jnihost {
namespace {

using Strings = HostTest;

struct TextCase {
  std::u16string text;
  std::string modifiedUtf8;
};

TEST_F(Strings, UnitsRoundTripAndEncodeAsModifiedUtf8) {
  const TextCase cases[] = {
      {u"", ""},
      {u"plain", "plain"},
      {std::u16string(u"a\0b\0", 4), std::string("a\xC0\x80" "b\xC0\x80", 6)},
      {u"\u00e9\u20ac", "\xC3\xA9\xE2\x82\xAC"},
      {u"\U0001F600", "\xED\xA0\xBD\xED\xB8\x80"},  // each surrogate on its own
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.modifiedUtf8);
    jstring in = host.newString(c.text);
    std::string utf;
    jsize utfLength = -1;
    jstring copy = host.call(
        [&](JNIEnv* e, jstring s) {
          const jsize n = e->GetStringLength(s);
          std::vector<jchar> units(static_cast<std::size_t>(n) + 1);
          e->GetStringRegion(s, 0, n, units.data());
          const char* bytes = e->GetStringUTFChars(s, nullptr);
          utf.assign(bytes, std::strlen(bytes));
          e->ReleaseStringUTFChars(s, bytes);
          utfLength = e->GetStringUTFLength(s);
          return e->NewString(units.data(), n);
        },
        in);
    EXPECT_EQ(host.str(copy), c.text);
    EXPECT_EQ(utf, c.modifiedUtf8);
    EXPECT_EQ(utfLength, static_cast<jsize>(c.modifiedUtf8.size()));
    // And back: the modified UTF-8 decodes to the same units.
    jstring decoded = host.call([&](JNIEnv* e) { return e->NewStringUTF(c.modifiedUtf8.c_str()); });
    EXPECT_EQ(host.str(decoded), c.text);
  }
}

TEST_F(Strings, RegionsOutsideTheStringRaise) {
  jstring s = host.newString(u"abcd");
  struct Range {
    jsize start, len;
    bool ok;
  };
  const Range ranges[] = {{0, 4, true}, {4, 0, true}, {3, 2, false}, {-1, 1, false}, {1, -1, false}};
  for (const Range& r : ranges) {
    for (bool utf : {false, true}) {
      SCOPED_TRACE(std::to_string(r.start) + "," + std::to_string(r.len) + (utf ? " utf" : ""));
      host.call(
          [&](JNIEnv* e, jstring str) {
            char bytes[32];
            jchar units[8];
            if (utf) {
              e->GetStringUTFRegion(str, r.start, r.len, bytes);
            } else {
              e->GetStringRegion(str, r.start, r.len, units);
            }
          },
          s);
      EXPECT_EQ(host.exceptionClass(), r.ok ? "" : "java/lang/StringIndexOutOfBoundsException");
      host.clearException();
    }
  }
}

TEST_F(Strings, GetStringCharsFollowsTheCopySwitch) {
  jstring s = host.newString(u"pw");
  for (bool copies : {true, false}) {
    SCOPED_TRACE(copies ? "copies" : "in place");
    host.setCopyElements(copies);
    jboolean isCopy = 2;
    bool samePointer = false;
    host.call(
        [&](JNIEnv* e, jstring str) {
          const jchar* a = e->GetStringChars(str, &isCopy);
          const jchar* b = e->GetStringChars(str, nullptr);
          samePointer = a == b;
          EXPECT_EQ(a[0], u'p');
          e->ReleaseStringChars(str, b);
          e->ReleaseStringChars(str, a);
        },
        s);
    EXPECT_EQ(isCopy, copies ? JNI_TRUE : JNI_FALSE);
    EXPECT_EQ(samePointer, !copies);
  }
}

using Arrays = HostTest;

struct ReleaseCase {
  bool copies;
  jint mode;
  std::vector<jbyte> after;  // array contents once the native returned
};

// The native zeroes the elements it got, releases with `mode`, and after a
// JNI_COMMIT writes 7 into the buffer it still holds before discarding it.
TEST_F(Arrays, ReleaseModesWithAndWithoutCopies) {
  const ReleaseCase cases[] = {
      {true, 0, {0, 0, 0}},          {true, JNI_COMMIT, {0, 0, 0}},  {true, JNI_ABORT, {1, 2, 3}},
      {false, 0, {0, 0, 0}},         {false, JNI_COMMIT, {7, 0, 0}}, {false, JNI_ABORT, {0, 0, 0}},
  };
  for (const ReleaseCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.copies) + " mode " + std::to_string(c.mode));
    host.setCopyElements(c.copies);
    jbyteArray a = host.newArray<jbyte>({1, 2, 3});
    jboolean isCopy = 2;
    host.call(
        [&](JNIEnv* e, jbyteArray arr) {
          jbyte* p = e->GetByteArrayElements(arr, &isCopy);
          std::memset(p, 0, 3);
          e->ReleaseByteArrayElements(arr, p, c.mode);
          if (c.mode == JNI_COMMIT) {
            p[0] = 7;
            e->ReleaseByteArrayElements(arr, p, JNI_ABORT);
          }
        },
        a);
    EXPECT_EQ(isCopy, c.copies ? JNI_TRUE : JNI_FALSE);
    EXPECT_EQ(host.arrayContents<jbyte>(a), c.after);
  }
  // The copy as released is kept, so a test can tell a wiped copy from a live one.
  host.setCopyElements(true);
  jbyteArray secret = host.newArray<jbyte>({9, 9});
  host.call(
      [](JNIEnv* e, jbyteArray arr) {
        jbyte* p = e->GetByteArrayElements(arr, nullptr);
        p[1] = 0;
        e->ReleaseByteArrayElements(arr, p, JNI_ABORT);
      },
      secret);
  EXPECT_EQ(host.lastReleasedCopy(), (std::vector<unsigned char>{9, 0}));
  EXPECT_EQ(host.arrayContents<jbyte>(secret), (std::vector<jbyte>{9, 9}));
}

TEST_F(Arrays, RegionsElementsAndBounds) {
  jintArray ints = host.newArray<jint>({10, 20, 30});
  jobjectArray strings = host.newObjectArray("java/lang/String", {host.newString(u"a"), nullptr});
  host.call(
      [](JNIEnv* e, jintArray n, jobjectArray s) {
        jint two[2] = {};
        e->GetIntArrayRegion(n, 1, 2, two);
        const jint sum[1] = {two[0] + two[1]};
        e->SetIntArrayRegion(n, 0, 1, sum);
        e->SetObjectArrayElement(s, 1, e->GetObjectArrayElement(s, 0));
        jlongArray longs = e->NewLongArray(0);
        jlong* none = e->GetLongArrayElements(longs, nullptr);
        EXPECT_NE(none, nullptr);  // empty arrays still hand out a buffer
        e->ReleaseLongArrayElements(longs, none, JNI_ABORT);
      },
      ints, strings);
  EXPECT_EQ(host.arrayContents<jint>(ints), (std::vector<jint>{50, 20, 30}));
  EXPECT_EQ(host.stringElements(strings), (std::vector<std::u16string>{u"a", u"a"}));

  struct Misstep {
    void (*native)(JNIEnv*, jintArray, jobjectArray);
    const char* exception;
  };
  const Misstep missteps[] = {
      {[](JNIEnv* e, jintArray n, jobjectArray) { jint b[4]; e->GetIntArrayRegion(n, 2, 2, b); },
       "java/lang/ArrayIndexOutOfBoundsException"},
      {[](JNIEnv* e, jintArray, jobjectArray s) { e->GetObjectArrayElement(s, 2); },
       "java/lang/ArrayIndexOutOfBoundsException"},
      {[](JNIEnv* e, jintArray, jobjectArray s) { e->SetObjectArrayElement(s, 0, e->NewIntArray(1)); },
       "java/lang/ArrayStoreException"},
      {[](JNIEnv* e, jintArray, jobjectArray) { e->NewIntArray(-1); }, "java/lang/NegativeArraySizeException"},
  };
  for (const Misstep& m : missteps) {
    SCOPED_TRACE("step " + std::to_string(&m - missteps));
    host.call(m.native, ints, strings);
    EXPECT_EQ(host.exceptionClass(), m.exception);
    host.clearException();
  }
}

using Frames = HostTest;

TEST_F(Frames, PopLocalFramePassesResultOut) {
  jobject inner = nullptr;
  jstring out = host.call([&inner](JNIEnv* e) {
    EXPECT_EQ(e->PushLocalFrame(4), JNI_OK);
    inner = e->NewStringUTF("kept");
    jobject survivor = e->PopLocalFrame(inner);
    EXPECT_EQ(e->GetObjectRefType(inner), JNIInvalidRefType);
    EXPECT_EQ(e->GetObjectRefType(survivor), JNILocalRefType);
    return static_cast<jstring>(survivor);
  });
  EXPECT_EQ(host.str(out), u"kept");
  EXPECT_NE(static_cast<jobject>(out), inner);
}

TEST_F(Frames, InjectedFailuresReportOutOfMemory) {
  struct Case {
    void (Host::*arm)();
    jint (*native)(JNIEnv*);
  };
  const Case cases[] = {
      {&Host::failNextPushLocalFrame, [](JNIEnv* e) { return e->PushLocalFrame(4); }},
      {&Host::failNextEnsureLocalCapacity, [](JNIEnv* e) { return e->EnsureLocalCapacity(4); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    (host.*c.arm)();
    EXPECT_EQ(host.call(c.native), JNI_ENOMEM);
    EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
    host.clearException();
    EXPECT_EQ(host.call(c.native), JNI_OK) << "only the next one fails";
    host.clearViolations();  // the successful PushLocalFrame is left unpopped on purpose
  }
}

// A native walking an array: deleting each element's ref keeps the peak flat.
TEST_F(Frames, PeakLocalRefsTracksLoops) {
  auto walk = [](JNIEnv* e, jobjectArray a, jboolean deleteRefs) {
    const jsize n = e->GetArrayLength(a);
    if (!deleteRefs) e->EnsureLocalCapacity(n);
    for (jsize i = 0; i < n; ++i) {
      jobject item = e->GetObjectArrayElement(a, i);
      if (deleteRefs) e->DeleteLocalRef(item);
    }
  };
  auto peakFor = [&](std::size_t n, bool deleteRefs) {
    std::vector<jobject> items(n, host.newString(u"x"));
    host.call(walk, host.newObjectArray("java/lang/Object", items), static_cast<jboolean>(deleteRefs));
    return host.lastCallPeakLocalRefs();
  };
  EXPECT_EQ(peakFor(5000, true), peakFor(10, true));
  EXPECT_EQ(peakFor(5000, true), 1u);
  EXPECT_EQ(peakFor(3000, false), 3000u);
}

TEST_F(Frames, ArgumentsAndResultsAreTheNativesOwnRefs) {
  jstring arg = host.newString(u"arg");
  jobject seen = nullptr;
  jstring result = host.call(
      [&seen](JNIEnv* e, jstring s) {
        seen = s;
        jstring r = static_cast<jstring>(e->NewLocalRef(s));
        e->DeleteLocalRef(s);  // the native's copy only
        return r;
      },
      arg);
  EXPECT_NE(seen, static_cast<jobject>(arg));
  EXPECT_EQ(host.str(arg), u"arg");
  EXPECT_TRUE(host.isSameObject(result, arg));
  EXPECT_EQ(host.env()->GetObjectRefType(result), JNILocalRefType);
}

class Dispatch : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    auto says = [](const char16_t* text) {
      return [text](Host& h, jobject, const jvalue*) { return jObj(h.newString(text)); };
    };
    host.defineClass("test/Base").constructor("()V").method("name", "()Ljava/lang/String;", says(u"base"));
    host.defineClass("test/Derived", "test/Base").constructor("()V").method("name", "()Ljava/lang/String;", says(u"derived"));
    // Echoes every argument, to show how each type arrived.
    host.defineClass("test/Echo").staticMethod(
        "all", "(ZBCSIJFDLjava/lang/String;)Ljava/lang/String;", [](Host& h, jobject, const jvalue* a) {
          const std::string text = std::to_string(a[0].z) + " " + std::to_string(a[1].b) + " " + std::to_string(a[2].c) +
                                   " " + std::to_string(a[3].s) + " " + std::to_string(a[4].i) + " " +
                                   std::to_string(a[5].j) + " " + std::to_string(a[6].f) + " " +
                                   std::to_string(a[7].d) + " " + h.utf8(a[8].l);
          return jObj(h.newStringUtf8(text));
        });
  }
};

TEST_F(Dispatch, VirtualAndNonvirtualCalls) {
  jobject derived = host.newObject("test/Derived");
  std::u16string virtualName, baseName;
  host.call(
      [&](JNIEnv* e, jobject d) {
        jclass base = e->FindClass("test/Base");
        jmethodID name = e->GetMethodID(base, "name", "()Ljava/lang/String;");
        virtualName = host.str(e->CallObjectMethod(d, name));
        baseName = host.str(e->CallNonvirtualObjectMethod(d, base, name));
      },
      derived);
  EXPECT_EQ(virtualName, u"derived");
  EXPECT_EQ(baseName, u"base");
}

jobject callStaticV(JNIEnv* e, jclass c, jmethodID m, ...) {
  va_list ap;
  va_start(ap, m);
  jobject r = e->CallStaticObjectMethodV(c, m, ap);
  va_end(ap);
  return r;
}

TEST_F(Dispatch, ArgumentsArriveThroughEveryCallForm) {
  const std::string expected = "1 -5 65 -300 70000 -5000000000 1.500000 2.250000 s";
  for (int form = 0; form < 3; ++form) {
    SCOPED_TRACE(form);
    jobject r = host.call([form](JNIEnv* e) -> jobject {
      jclass c = e->FindClass("test/Echo");
      jmethodID m = e->GetStaticMethodID(c, "all", "(ZBCSIJFDLjava/lang/String;)Ljava/lang/String;");
      jstring s = e->NewStringUTF("s");
      const jboolean z = JNI_TRUE;
      const jbyte b = -5;
      const jchar ch = 65;
      const jshort sh = -300;
      const jint i = 70000;
      const jlong j = -5000000000LL;
      const jfloat f = 1.5f;
      const jdouble d = 2.25;
      // Through the table: the C++ wrapper would forward to the V form.
      if (form == 0) return e->functions->CallStaticObjectMethod(e, c, m, z, b, ch, sh, i, j, f, d, s);
      if (form == 1) return callStaticV(e, c, m, z, b, ch, sh, i, j, f, d, s);
      const jvalue a[] = {jBool(z), jByte(b), jChar(ch), jShort(sh), jInt(i), jLong(j), jFloat(f), jDouble(d), jObj(s)};
      return e->CallStaticObjectMethodA(c, m, a);
    });
    EXPECT_EQ(host.utf8(r), expected);
  }
}

using Exceptions = HostTest;

TEST_F(Exceptions, CodedExceptionsCarryMessageAndCode) {
  host.defineClass("test/CodedException", "java/lang/RuntimeException")
      .field("code", "I")
      .constructor("(Ljava/lang/String;I)V", [](Host& h, jobject self, const jvalue* a) {
        h.setField(self, "detailMessage", jObj(a[0].l));
        h.setField(self, "code", a[1]);
        return jVoid();
      });
  host.call([](JNIEnv* e) {
    jclass c = e->FindClass("test/CodedException");
    jmethodID ctor = e->GetMethodID(c, "<init>", "(Ljava/lang/String;I)V");
    e->Throw(static_cast<jthrowable>(e->NewObject(c, ctor, e->NewStringUTF("denied"), 5)));
  });
  EXPECT_EQ(host.exceptionClass(), "test/CodedException");
  EXPECT_EQ(host.exceptionMessageUtf8(), "denied");
  EXPECT_EQ(host.exceptionIntField("code"), 5);
  EXPECT_TRUE(host.isInstanceOf(host.exception(), "java/lang/RuntimeException"));
  host.clearException();

  host.call([](JNIEnv* e) { e->ThrowNew(e->FindClass("java/lang/IllegalArgumentException"), nullptr); });
  EXPECT_EQ(host.exceptionClass(), "java/lang/IllegalArgumentException");
  EXPECT_FALSE(host.exceptionMessage().has_value());
  host.clearException();
}

TEST_F(Exceptions, FailedLookupsRaiseTheJvmsErrors) {
  host.defineClass("test/Point").field("x", "I");
  struct Case {
    void (*native)(JNIEnv*);
    const char* exception;
    const char* message;
  };
  const Case cases[] = {
      {[](JNIEnv* e) { e->FindClass("test/Missing"); }, "java/lang/NoClassDefFoundError", "test/Missing"},
      {[](JNIEnv* e) { e->FindClass("java.lang.String"); }, "java/lang/NoClassDefFoundError", "java.lang.String"},
      {[](JNIEnv* e) { e->GetFieldID(e->FindClass("test/Point"), "x", "J"); }, "java/lang/NoSuchFieldError", "x"},
      {[](JNIEnv* e) { e->GetStaticFieldID(e->FindClass("test/Point"), "x", "I"); }, "java/lang/NoSuchFieldError", "x"},
      {[](JNIEnv* e) { e->GetMethodID(e->FindClass("test/Point"), "<init>", "()V"); }, "java/lang/NoSuchMethodError",
       "<init>()V"},
      {[](JNIEnv* e) { e->MonitorExit(e->FindClass("test/Point")); }, "java/lang/IllegalMonitorStateException",
       "current thread is not owner"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    host.call(c.native);
    EXPECT_EQ(host.exceptionClass(), c.exception);
    EXPECT_EQ(host.exceptionMessageUtf8(), c.message);
    host.clearException();
  }
}

using Objects = HostTest;

TEST_F(Objects, FieldsInheritedAndStatic) {
  host.defineClass("test/A").constructor("()V").field("id", "J").staticField("count", "I", jInt(3));
  host.defineClass("test/B", "test/A").constructor("()V").field("name", "Ljava/lang/String;");
  jobject b = host.newObject("test/B");
  host.call(
      [](JNIEnv* e, jobject o) {
        jclass bc = e->GetObjectClass(o);
        e->SetLongField(o, e->GetFieldID(bc, "id", "J"), 1LL << 40);
        e->SetObjectField(o, e->GetFieldID(bc, "name", "Ljava/lang/String;"), e->NewStringUTF("n"));
        jfieldID count = e->GetStaticFieldID(bc, "count", "I");
        e->SetStaticIntField(bc, count, e->GetStaticIntField(bc, count) + 1);
        EXPECT_TRUE(e->IsAssignableFrom(bc, e->FindClass("test/A")));
        EXPECT_FALSE(e->IsAssignableFrom(e->FindClass("test/A"), bc));
        EXPECT_TRUE(e->IsInstanceOf(nullptr, bc));
        EXPECT_TRUE(e->IsSameObject(e->GetSuperclass(bc), e->FindClass("test/A")));
      },
      b);
  EXPECT_EQ(host.field(b, "id").j, 1LL << 40);
  EXPECT_EQ(host.utf8(host.field(b, "name").l), "n");
  EXPECT_EQ(host.staticField("test/A", "count").i, 4);
}

TEST_F(Objects, ClassToStringNamesClassesAndInterfaces) {
  const std::pair<const char*, const char*> cases[] = {
      {"java/lang/String", "class java.lang.String"},
      {"java/util/List", "interface java.util.List"},
      {"[I", "class [I"},
      {"[Ljava/lang/String;", "class [Ljava.lang.String;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    jobject text = host.call(
        [](JNIEnv* e, const char* name) {
          jclass cls = e->FindClass(name);
          jmethodID toString = e->GetMethodID(e->GetObjectClass(cls), "toString", "()Ljava/lang/String;");
          return e->CallObjectMethod(cls, toString);
        },
        c.first);
    EXPECT_EQ(host.utf8(text), c.second);
  }
}

TEST_F(Objects, CollectionsBehaveLikeTheJdk) {
  jobject r = host.call([](JNIEnv* e) -> jobject {
    jclass setClass = e->FindClass("java/util/HashSet");
    jobject set = e->NewObject(setClass, e->GetMethodID(setClass, "<init>", "()V"));
    jmethodID add = e->GetMethodID(e->FindClass("java/util/Collection"), "add", "(Ljava/lang/Object;)Z");
    jclass integer = e->FindClass("java/lang/Integer");
    jmethodID box = e->GetMethodID(integer, "<init>", "(I)V");
    EXPECT_TRUE(e->CallBooleanMethod(set, add, e->NewStringUTF("a")));
    EXPECT_FALSE(e->CallBooleanMethod(set, add, e->NewStringUTF("a")));
    EXPECT_TRUE(e->CallBooleanMethod(set, add, e->NewObject(integer, box, 1)));
    EXPECT_FALSE(e->CallBooleanMethod(set, add, e->NewObject(integer, box, 1)));
    EXPECT_TRUE(e->CallBooleanMethod(set, add, e->NewObject(integer, box, 2)));
    return set;
  });
  EXPECT_EQ(host.invoke(r, "size", "()I").i, 3);

  jobject list = host.newObject("java/util/ArrayList", "(I)V", {jInt(4)});
  host.invoke(list, "add", "(Ljava/lang/Object;)Z", {jObj(host.newString(u"x"))});
  host.invoke(list, "add", "(Ljava/lang/Object;)Z", {jObj(host.newString(u"y"))});
  std::vector<std::u16string> seen;
  host.call(
      [&](JNIEnv* e, jobject l) {
        jmethodID iterator = e->GetMethodID(e->FindClass("java/lang/Iterable"), "iterator", "()Ljava/util/Iterator;");
        jclass iter = e->FindClass("java/util/Iterator");
        jmethodID hasNext = e->GetMethodID(iter, "hasNext", "()Z");
        jmethodID next = e->GetMethodID(iter, "next", "()Ljava/lang/Object;");
        jobject it = e->CallObjectMethod(l, iterator);
        while (e->CallBooleanMethod(it, hasNext)) {
          jobject s = e->CallObjectMethod(it, next);
          seen.push_back(host.str(s));
          e->DeleteLocalRef(s);
        }
        e->CallObjectMethod(it, next);
      },
      list);
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"x", u"y"}));
  EXPECT_EQ(host.exceptionClass(), "java/util/NoSuchElementException");
  host.clearException();
  host.invoke(list, "get", "(I)Ljava/lang/Object;", {jInt(2)});
  EXPECT_EQ(host.exceptionClass(), "java/lang/IndexOutOfBoundsException");
  host.clearException();

  jobject map = host.newObject("java/util/HashMap");
  host.invoke(map, "put", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;",
              {jObj(host.newString(u"k")), jObj(host.newInteger(1))});
  jvalue old = host.invoke(map, "put", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;",
                           {jObj(host.newString(u"k")), jObj(host.newInteger(2))});
  EXPECT_EQ(host.invoke(old.l, "intValue", "()I").i, 1);
  jvalue got = host.invoke(map, "get", "(Ljava/lang/Object;)Ljava/lang/Object;", {jObj(host.newString(u"k"))});
  EXPECT_EQ(host.invoke(got.l, "intValue", "()I").i, 2);
  EXPECT_EQ(host.mapEntries(map).size(), 1u);
}

TEST_F(Objects, MonitorsAndDirectBuffers) {
  jobject lock = host.newObject("java/lang/Object");
  bool heldInside = false;
  unsigned char storage[16] = {};
  host.call(
      [&](JNIEnv* e, jobject o) {
        EXPECT_EQ(e->MonitorEnter(o), JNI_OK);
        EXPECT_EQ(e->MonitorEnter(o), JNI_OK);
        EXPECT_EQ(e->MonitorExit(o), JNI_OK);
        heldInside = host.monitorHeld(o);
        EXPECT_EQ(e->MonitorExit(o), JNI_OK);

        jobject buf = e->NewDirectByteBuffer(storage, sizeof storage);
        EXPECT_EQ(e->GetDirectBufferAddress(buf), storage);
        EXPECT_EQ(e->GetDirectBufferCapacity(buf), 16);
        EXPECT_EQ(e->GetDirectBufferAddress(o), nullptr);
        EXPECT_EQ(e->GetDirectBufferCapacity(o), -1);
      },
      lock);
  EXPECT_TRUE(heldInside);
  EXPECT_FALSE(host.monitorHeld(lock));
}

TEST_F(Objects, LastCallListsTheJniFunctionsTheNativeCalledItself) {
  jobject list = host.newObject("java/util/ArrayList");
  host.call(
      [](JNIEnv* e, jobject l) {
        jclass cls = e->GetObjectClass(l);
        jmethodID add = e->GetMethodID(cls, "add", "(Ljava/lang/Object;)Z");
        e->CallBooleanMethod(l, add, l);
      },
      list);
  // The list's own add runs inside the call and is not counted; a variadic call
  // is listed under the V form that serves it.
  EXPECT_EQ(host.lastCallJniFunctions(),
            (std::vector<std::string>{"GetObjectClass", "GetMethodID", "CallBooleanMethodV"}));
  host.call([](JNIEnv*) {});
  EXPECT_TRUE(host.lastCallJniFunctions().empty());
}

TEST_F(Objects, InjectedMonitorFailures) {
  jobject lock = host.newObject("java/lang/Object");
  host.failNextMonitorEnter();
  EXPECT_EQ(host.call([](JNIEnv* e, jobject o) { return e->MonitorEnter(o); }, lock), JNI_ERR);
  EXPECT_EQ(host.exceptionClass(), "java/lang/OutOfMemoryError");
  host.clearException();
  EXPECT_FALSE(host.monitorHeld(lock));

  host.failNextMonitorExit();
  bool heldBeforeExit = false;
  jint exitResult = host.call(
      [&](JNIEnv* e, jobject o) {
        e->MonitorEnter(o);
        heldBeforeExit = host.monitorHeld(o);
        return e->MonitorExit(o);
      },
      lock);
  EXPECT_TRUE(heldBeforeExit);
  EXPECT_EQ(exitResult, JNI_ERR);
  EXPECT_EQ(host.exceptionClass(), "java/lang/IllegalMonitorStateException");
  host.clearException();
  EXPECT_FALSE(host.monitorHeld(lock));

  // Only the next call fails.
  EXPECT_EQ(host.call(
                [](JNIEnv* e, jobject o) {
                  jint entered = e->MonitorEnter(o);
                  return entered == JNI_OK ? e->MonitorExit(o) : entered;
                },
                lock),
            JNI_OK);
}

TEST_F(Objects, JavaVmHandsOutTheSameEnv) {
  JNIEnv* fromVm = nullptr;
  host.call([&fromVm](JNIEnv* e) {
    JavaVM* vm = nullptr;
    ASSERT_EQ(e->GetJavaVM(&vm), JNI_OK);
    ASSERT_EQ(vm->GetEnv(reinterpret_cast<void**>(&fromVm), JNI_VERSION_1_8), JNI_OK);
    EXPECT_EQ(vm->GetEnv(reinterpret_cast<void**>(&fromVm), 0x7fff0000), JNI_EVERSION);
  });
  EXPECT_EQ(fromVm, nullptr) << "the unsupported version clears the result";
  host.call([&fromVm](JNIEnv* e) {
    JavaVM* vm = nullptr;
    e->GetJavaVM(&vm);
    vm->GetEnv(reinterpret_cast<void**>(&fromVm), JNI_VERSION_1_8);
  });
  EXPECT_EQ(fromVm, host.env());
}

struct Recorder : testsupport::CallObserver {
  std::vector<std::string>* log;
  explicit Recorder(std::vector<std::string>* l) : log(l) {}
  void onCallStart() override { log->push_back("start" + std::to_string(testsupport::harnessDepth())); }
  void onCallEnd(const testsupport::CallEnd&, std::vector<std::string>& violations) override {
    log->push_back("end");
    violations.push_back("observer finding");
  }
};

TEST_F(Objects, ObserversWrapTheNativeAndReportFindings) {
  std::vector<std::string> log;
  Recorder rec(&log);
  host.defineClass("test/Probe").staticMethod("depth", "()I", [](Host&, jobject, const jvalue*) {
    return jInt(testsupport::harnessDepth());
  });
  host.addObserver(&rec);
  host.call([&log](JNIEnv* e) {
    log.push_back("native" + std::to_string(testsupport::harnessDepth()));
    jclass probe = e->FindClass("test/Probe");
    const jint depthInBody = e->CallStaticIntMethod(probe, e->GetStaticMethodID(probe, "depth", "()I"));
    log.push_back("body" + std::to_string(depthInBody > 0));
  });
  host.removeObserver(&rec);
  host.call([](JNIEnv*) {});
  EXPECT_EQ(log, (std::vector<std::string>{"start0", "native0", "body1", "end"}));
  EXPECT_EQ(host.violations(), (std::vector<std::string>{"observer finding"}));
  host.clearViolations();
}

}  // namespace
}  // namespace jnihost
