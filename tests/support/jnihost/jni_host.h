// In-process stand-in for the JVM that our JNI libraries run against in tests.
//
// A test owns a Host (usually through HostTest in host_test.h), defines the Java
// classes the library looks up (defineClass/ClassBuilder; defineJdkClasses adds
// Integer, ArrayList, HashSet, HashMap...), makes arguments with the helpers and
// runs the native function the way the JVM would:
//
//   jstring name = host.newString(u"a\0b");            // lives for the whole test
//   jobject r = host.call(Java_pkg_Cls_fn, cls, name);  // native gets its own frame
//   EXPECT_EQ(host.str(r), u"...");                     // result moved to the test's frame
//
// Every JNI function checks its use the way -Xcheck:jni would, and host.call
// checks what the native left behind (frames, references, pinned elements,
// monitors). Findings are texts in violations(); HostTest fails the test on any.
// Objects are never collected: they live until the Host is destroyed. Other threads
// join through ThreadScope, each with its own JNIEnv, as in a JVM.
#pragma once

#include <jni.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "call_observer.h"

namespace jnihost {

class Host;
namespace detail {
struct State;
struct ClassInfo;
}  // namespace detail

// Body of a Java method, constructor or static method. `self` is the receiver
// (the class for static methods); object arguments and `self` are local refs
// valid during the call. Return an object as any live ref; throw by setting a
// pending exception (host.throwNew) and returning jVoid().
using MethodFn = std::function<jvalue(Host& host, jobject self, const jvalue* args)>;

inline jvalue jVoid() {
  jvalue v;
  v.j = 0;
  return v;
}
inline jvalue jBool(bool x) { jvalue v = jVoid(); v.z = x ? JNI_TRUE : JNI_FALSE; return v; }
inline jvalue jByte(jbyte x) { jvalue v = jVoid(); v.b = x; return v; }
inline jvalue jChar(jchar x) { jvalue v = jVoid(); v.c = x; return v; }
inline jvalue jShort(jshort x) { jvalue v = jVoid(); v.s = x; return v; }
inline jvalue jInt(jint x) { jvalue v = jVoid(); v.i = x; return v; }
inline jvalue jLong(jlong x) { jvalue v = jVoid(); v.j = x; return v; }
inline jvalue jFloat(jfloat x) { jvalue v = jVoid(); v.f = x; return v; }
inline jvalue jDouble(jdouble x) { jvalue v = jVoid(); v.d = x; return v; }
inline jvalue jObj(jobject x) { jvalue v = jVoid(); v.l = x; return v; }

template <typename T> struct ArrayOf;
template <> struct ArrayOf<jboolean> { using type = jbooleanArray; };
template <> struct ArrayOf<jbyte> { using type = jbyteArray; };
template <> struct ArrayOf<jchar> { using type = jcharArray; };
template <> struct ArrayOf<jshort> { using type = jshortArray; };
template <> struct ArrayOf<jint> { using type = jintArray; };
template <> struct ArrayOf<jlong> { using type = jlongArray; };
template <> struct ArrayOf<jfloat> { using type = jfloatArray; };
template <> struct ArrayOf<jdouble> { using type = jdoubleArray; };

template <typename T>
constexpr bool isRef = std::is_pointer_v<T> && std::is_base_of_v<_jobject, std::remove_pointer_t<T>>;

// A class or member a native looked up and found (see Host::recordLookups).
struct Lookup {
  std::string function;  // FindClass, GetFieldID, GetStaticFieldID, GetMethodID, GetStaticMethodID
  std::string cls;       // the class found, or the class a member was looked up in
  std::string name;      // the member; "" for FindClass
  std::string sig;
  std::string owner;           // the class declaring the member found; "" for FindClass
  bool testOnly = false;       // the class looked up is a test-only model (ClassBuilder::testOnly)
  bool ownerTestOnly = false;  // so is the class declaring the member (for FindClass: the same)

  friend bool operator<(const Lookup& a, const Lookup& b) {
    return std::tie(a.function, a.cls, a.name, a.sig, a.owner, a.testOnly, a.ownerTestOnly) <
           std::tie(b.function, b.cls, b.name, b.sig, b.owner, b.testOnly, b.ownerTestOnly);
  }
};

// Declares the members of a class made by Host::defineClass/defineInterface.
// Members with the signature of an existing one in the same class replace it.
class ClassBuilder {
 public:
  ClassBuilder(Host& host, detail::ClassInfo* cls) : host_(host), cls_(cls) {}
  ClassBuilder& implements(const std::string& iface);
  ClassBuilder& field(const std::string& name, const std::string& sig);
  ClassBuilder& staticField(const std::string& name, const std::string& sig, jvalue initial = jVoid());
  // An empty body is a constructor that only zero-initialises the fields.
  ClassBuilder& constructor(const std::string& sig, MethodFn body = {});
  ClassBuilder& method(const std::string& name, const std::string& sig, MethodFn body);
  ClassBuilder& abstractMethod(const std::string& name, const std::string& sig);
  ClassBuilder& staticMethod(const std::string& name, const std::string& sig, MethodFn body);
  // The class exists only in the tests (no class of the shipped jar or the JDK is
  // modelled): lookups of it are recorded as such and not checked against the jar.
  ClassBuilder& testOnly();
  jclass ref() const;  // a local ref in the current frame

 private:
  Host& host_;
  detail::ClassInfo* cls_;
};

class Host {
 public:
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Attaches the calling thread for the scope's lifetime, as a JVM's
  // AttachCurrentThread does: env() then answers the thread's own JNIEnv, and the
  // thread has its own frames, pending exception and native calls; objects, classes
  // and global references are shared (a local reference used on another thread, or a
  // JNIEnv on a thread not its own, is a violation). The host has one lock, which an
  // attached thread holds while it runs host or test code and gives up while a
  // native runs, so natives of several threads run at once; the thread that made the
  // host holds it from the start. Observers assume one native call at a time: a test
  // calling natives on several threads accounts in rounds of its own instead.
  class ThreadScope {
   public:
    explicit ThreadScope(Host& host);
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

   private:
    Host& host_;
  };

  // Gives the host's lock up for the scope's lifetime, so that other threads use the
  // host while this one waits (to join them, at a barrier, for a lock of its own).
  class Unlocked {
   public:
    explicit Unlocked(Host& host);
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

   private:
    Host& host_;
    int depth_ = 0;
  };

  // The calling thread's JNIEnv (the made host's own on the thread that made it).
  JNIEnv* env();
  JavaVM* vm();

  // --- classes (slash names: "com/x/Y", "[I", "[Ljava/lang/String;")
  // Subclasses of java/lang/Throwable get "()V" and "(Ljava/lang/String;)V".
  ClassBuilder defineClass(const std::string& name, const std::string& super = "java/lang/Object");
  ClassBuilder defineInterface(const std::string& name);
  jclass findClass(const std::string& name);  // null when unknown; raises nothing
  std::string className(jobject obj);         // runtime class, slash form
  bool isInstanceOf(jobject obj, const std::string& cls);

  // --- objects; refs made here live in the current frame (outside a native
  // call: the base frame, valid for the whole test)
  jobject newObject(const std::string& cls, const std::string& ctorSig = "()V",
                    const std::vector<jvalue>& args = {});
  jstring newString(std::u16string_view s);
  jstring newStringUtf8(std::string_view s);  // standard UTF-8
  jobjectArray newObjectArray(const std::string& elemCls, const std::vector<jobject>& elems);
  template <typename T> typename ArrayOf<T>::type newArray(const std::vector<T>& elems);
  template <typename T> std::vector<T> arrayContents(jarray a);
  std::vector<jobject> objectArrayContents(jobjectArray a);
  jobject newInteger(jint v);

  std::u16string str(jobject s);  // exact UTF-16 units
  std::string utf8(jobject s);    // standard UTF-8 of the same
  bool isSameObject(jobject a, jobject b);

  // Fields by name (searched from the runtime class up); objects come back as refs.
  jvalue field(jobject obj, const std::string& name);
  void setField(jobject obj, const std::string& name, jvalue v);
  jvalue staticField(const std::string& cls, const std::string& name);
  void setStaticField(const std::string& cls, const std::string& name, jvalue v);

  // Java-side calls from test code or method bodies (virtual dispatch).
  jvalue invoke(jobject obj, const std::string& name, const std::string& sig,
                const std::vector<jvalue>& args = {});
  jvalue invokeStatic(const std::string& cls, const std::string& name, const std::string& sig,
                      const std::vector<jvalue>& args = {});

  // Collections of defineJdkClasses (ArrayList, HashSet, HashMap keys) and object arrays.
  std::vector<jobject> elements(jobject collection);
  std::vector<std::u16string> stringElements(jobject collection);
  std::vector<std::pair<jobject, jobject>> mapEntries(jobject map);

  // --- exceptions
  bool exceptionPending() const;
  jthrowable exception();         // ref to the pending one, or null
  std::string exceptionClass();   // slash name, "" when none pending
  std::optional<std::u16string> exceptionMessage();
  std::string exceptionMessageUtf8();  // "" when none or null
  jint exceptionIntField(const std::string& name);
  void clearException();
  void throwNew(const std::string& cls, std::optional<std::u16string> msg);

  bool monitorHeld(jobject obj);

  // --- behaviour switches
  // On (the default): Get<Prim>ArrayElements, GetStringChars and the critical
  // getters hand out copies; off: the object's own storage, *isCopy = JNI_FALSE.
  void setCopyElements(bool on);
  // On (the default): whatever natives are handed to read or write in place (the
  // storage of arrays and strings, copies of either, UTF-8 characters, and for the
  // length of a call the memory of a direct buffer made before it) ends where a
  // page of no access begins (see guard_pages.h); a fault there, or a write found
  // in the slack or before the start when the memory is given back, is a
  // violation naming the memory. Off: plain memory, for tests that measure.
  void setGuardPages(bool on);
  // The next PushLocalFrame / EnsureLocalCapacity fails with OutOfMemoryError.
  void failNextPushLocalFrame();
  void failNextEnsureLocalCapacity();
  // The next MonitorEnter fails with OutOfMemoryError and enters nothing. The next
  // MonitorExit fails with IllegalMonitorStateException; the monitor is given up
  // all the same, so what the test sees is only how the native handles the failure.
  void failNextMonitorEnter();
  void failNextMonitorExit();
  // Plain (off by default), for programs that time natives rather than test them:
  // JNI functions skip their per-call checks and records (so violations(),
  // lastCallJniFunctions() and lookups() stay silent), dead local refs are
  // forgotten instead of kept for stale-use reports, and guard pages are off
  // (switching plain off switches them on again). A plain host serves one thread:
  // it does not give its lock up while natives run.
  void setPlain(bool on);
  bool plain() const;
  // For calls that cache global refs on purpose (JNI_OnLoad-style setup).
  void allowRetainedGlobalRefs(bool on);
  // Contents of the last copied buffer handed back through a Release function,
  // as it was when released (whether or not it was written back).
  const std::vector<unsigned char>& lastReleasedCopy() const;

  // --- native calls
  // Runs fn(env(), args...) with a fresh native frame (capacity 16); object
  // arguments arrive as new local refs, an object result comes back as a ref in
  // the caller's frame. Violations found are appended to violations().
  template <typename F, typename... A>
  auto call(F&& fn, A... args) -> std::invoke_result_t<F&, JNIEnv*, A...>;

  // call() for a native whose signature is known only at run time: `sig` is its
  // JNI descriptor, `self` the receiver (object or class), `args` one value per
  // parameter, read as the descriptor says. Windows x64 passes each parameter of a
  // native in one integer slot, so one calling shape fits every native of up to 16
  // parameters without float or double ones (refused with a violation).
  jvalue callDynamic(void* fn, const std::string& sig, jobject self, const std::vector<jvalue>& args);

  // Most local refs alive at once (all native frames) during the last call.
  std::size_t lastCallPeakLocalRefs() const;

  // The JNI functions the last native call invoked itself, in order (calls made
  // inside other JNI functions, such as by Java method bodies, are not listed;
  // a variadic Call...Method or NewObject is listed under its V form).
  const std::vector<std::string>& lastCallJniFunctions() const;

  const std::vector<std::string>& violations() const;
  void clearViolations();
  void addViolation(const std::string& text);

  // Records the classes and members natives look up and find, for the check
  // against the shipped classes (lookup_log.h); off by default.
  void recordLookups(bool on);
  bool recordingLookups() const;
  std::vector<Lookup> lookups() const;

  void addObserver(testsupport::CallObserver* o);
  void removeObserver(testsupport::CallObserver* o);

  detail::State& state() { return *s_; }

 private:
  template <typename T> T passArgument(T a) {
    if constexpr (isRef<T>) {
      return static_cast<T>(argumentRef(a));
    } else {
      return a;
    }
  }
  void beginCall();
  jobject argumentRef(jobject a);
  int enterNative();
  void leaveNative(int savedDepth);
  // `longResult`: what a native returning a long returned (it may be a handle).
  jobject endCall(jobject result, const std::uint64_t* longResult = nullptr);

  std::unique_ptr<detail::State> s_;
};

template <typename F, typename... A>
auto Host::call(F&& fn, A... args) -> std::invoke_result_t<F&, JNIEnv*, A...> {
  using R = std::invoke_result_t<F&, JNIEnv*, A...>;
  beginCall();
  std::tuple<JNIEnv*, A...> argv{env(), passArgument(args)...};
  const int saved = enterNative();
  if constexpr (std::is_void_v<R>) {
    std::apply(fn, argv);
    leaveNative(saved);
    endCall(nullptr);
  } else {
    R r = std::apply(fn, argv);
    leaveNative(saved);
    if constexpr (isRef<R>) {
      return static_cast<R>(endCall(r));
    } else if constexpr (std::is_same_v<R, jlong>) {
      const auto bits = static_cast<std::uint64_t>(r);
      endCall(nullptr, &bits);
      return r;
    } else {
      endCall(nullptr);
      return r;
    }
  }
}

// java/lang/Integer, Long, Number, Iterable, java/util/Collection, List, Set,
// Map, Iterator, ArrayList, HashSet, HashMap with working behaviour.
void defineJdkClasses(Host& host);

}  // namespace jnihost
