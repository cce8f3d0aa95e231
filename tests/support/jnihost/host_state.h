// Host internals shared by the host, its JNI function table and the JDK classes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "jni_host.h"

namespace jnihost::detail {

struct Object;
struct ClassInfo;

// Memory the host hands to natives in place (array storage, the characters of a
// string, copies of either, stand-ins for direct-buffer memory): from guard pages
// (see guard_pages.h) unless the host was told to use the plain allocator. Java's
// own buffers are aligned to their element only, so they end flush against the
// guard page and a read one element past them faults; direct-buffer memory comes
// from the C heap and keeps its 16-byte alignment. Released silently with its owner.
class Storage {
 public:
  Storage() = default;
  ~Storage() { reset(); }
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // `size` zero bytes at a multiple of `alignment`; `label` names the memory in
  // fault reports.
  void allocate(std::size_t size, std::size_t alignment, bool guarded, std::string label);
  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool guarded() const { return guarded_; }
  bool empty() const { return data_ == nullptr; }
  // Hands the memory over (see retire in host.cpp) and leaves this empty.
  unsigned char* take();
  void reset();

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  bool guarded_ = false;
};

// A Java value as the host stores it: objects by pointer, never by handle.
union Raw {
  jboolean z;
  jbyte b;
  jchar c;
  jshort s;
  jint i;
  jlong j = 0;  // the widest member, so a default Raw is all zero bits
  jfloat f;
  jdouble d;
  Object* o;
};
inline Raw zeroRaw() {
  Raw r;
  r.j = 0;
  return r;
}

struct FieldInfo {
  std::string name, sig;
  ClassInfo* owner = nullptr;
  bool isStatic = false;
  Raw staticValue = zeroRaw();
};

struct MethodInfo {
  std::string name, sig;
  ClassInfo* owner = nullptr;
  bool isStatic = false;
  MethodFn body;  // empty: abstract (or a constructor without a body)
  std::vector<std::string> params;  // descriptors
  std::string ret;
};

struct ClassInfo {
  std::string name;
  ClassInfo* super = nullptr;
  std::vector<ClassInfo*> interfaces;
  bool isInterface = false;
  std::string component;  // descriptor of the element type, arrays only
  ClassInfo* componentClass = nullptr;  // arrays of objects only
  std::vector<std::unique_ptr<FieldInfo>> fields;
  std::vector<std::unique_ptr<MethodInfo>> methods;
  Object* mirror = nullptr;
  bool testOnly = false;  // a model without a class in the shipped jar or the JDK
};

enum class Kind { Plain, String, Class, PrimArray, ObjArray, DirectBuffer };

struct Object {
  ClassInfo* cls = nullptr;
  Kind kind = Kind::Plain;
  std::map<const FieldInfo*, Raw> fields;
  std::u16string str;              // String
  ClassInfo* classValue = nullptr;  // Class
  char elem = 0;                    // PrimArray element descriptor
  jsize length = 0;                 // PrimArray
  Storage prim;                     // PrimArray storage, exactly length elements
  Storage chars;                    // String: its units and a NUL, once handed out in place
  std::vector<Object*> items;       // ObjArray, list/set contents, map keys
  std::vector<Object*> values;      // map values
  Object* source = nullptr;         // iterator: the collection
  std::size_t cursor = 0;           // iterator position
  void* address = nullptr;          // DirectBuffer
  jlong capacity = 0;
  int monitor = 0;
  std::thread::id monitorOwner;     // the thread that entered it, while monitor > 0
  std::uint64_t bornInCall = 0;     // serial of the native call that made it, 0 outside calls
};

enum class FrameKind { Base, Native, Pushed, Java };

struct Frame {
  FrameKind kind;
  bool counted;  // native code's frames: capacity and peak apply
  std::size_t capacity;
  std::size_t live = 0;
  std::vector<std::uintptr_t> refs;
  bool warned = false;
};

struct RefEntry {
  Object* obj;
  jobjectRefType type;
  bool alive = true;
  bool counted = false;
  std::size_t frame = 0;
  const char* death = nullptr;
  std::thread::id thread = std::thread::id();  // local references belong to the thread that made them
};

enum class Pin { ArrayElements, StringChars, StringUtfChars, ArrayCritical, StringCritical };

struct Acquisition {
  Pin what;
  Object* obj;
  void* buffer;
  std::unique_ptr<Storage> copy;  // null when handed out in place
  int depth;
};

// Guarded memory handed to a native in place of a direct buffer's own for one call.
struct Shadow {
  Object* buffer;
  std::unique_ptr<Storage> memory;
};

struct CallRecord {
  std::size_t nativeFrame;
  std::vector<std::uintptr_t> globals;
  std::vector<std::uint64_t> javaHandlesAtStart;
};

// The JNIEnv first: natives hand back the JNIEnv* and the host finds itself.
struct EnvBlock {
  JNIEnv env;
  JavaVM vm;
  State* state;
  std::thread::id thread;  // the one thread this JNIEnv belongs to
};

// What each thread that runs natives has of its own, as a JVM gives each thread its
// own JNIEnv: frames, pending exception, native calls and what they pinned or
// entered. The thread holding the host's lock has these in State (it is resident);
// every other attached thread's wait here (see threads.cpp).
struct ThreadContext {
  EnvBlock block{};  // unused for the thread that made the host: its JNIEnv is State::block
  std::vector<Frame> frames;
  Object* pending = nullptr;
  std::vector<Acquisition> pins;
  std::vector<std::pair<Object*, int>> monitors;
  int criticalDepth = 0;
  std::vector<CallRecord> calls;
  std::size_t countedLive = 0;
  std::size_t peak = 0;
  std::vector<std::string> nativeJniCalls;
  std::string currentFn;
  std::vector<unsigned char> lastReleasedCopy;
  std::vector<int> lockDepthsGivenUp;
  std::vector<void*> retired;
  std::vector<Shadow> shadows;
  std::uint64_t callSerial = 0;
};

struct State {
  Host* host = nullptr;
  EnvBlock block{};
  JNINativeInterface_ table{};
  JNIInvokeInterface_ vmTable{};

  std::vector<std::unique_ptr<Object>> objects;
  std::map<std::string, std::unique_ptr<ClassInfo>> classes;
  std::set<const FieldInfo*> fieldIds;
  std::set<const MethodInfo*> methodIds;

  std::unordered_map<std::uintptr_t, RefEntry> refs;
  std::uintptr_t nextRef = 1;
  std::vector<Frame> frames;

  Object* pending = nullptr;
  std::vector<std::string> violations;
  std::vector<Acquisition> pins;
  std::vector<std::pair<Object*, int>> monitors;  // entered by natives, with call depth
  int criticalDepth = 0;

  std::vector<CallRecord> calls;
  std::size_t countedLive = 0;
  std::size_t peak = 0;
  std::vector<std::string> nativeJniCalls;  // JNI functions the last native called itself

  bool copyElements = true;
  bool failPush = false;
  bool failEnsure = false;
  bool failMonitorEnter = false;
  bool failMonitorExit = false;
  bool allowGlobals = false;
  bool plain = false;  // see Host::setPlain
  std::vector<unsigned char> lastReleasedCopy;
  std::vector<testsupport::CallObserver*> observers;
  std::string currentFn;  // JNI function running, for violation texts

  // Threads. A thread holds the host's lock while it runs host code (and, once
  // attached, while it runs test code); natives run without it.
  std::mutex lockMutex;
  std::condition_variable lockFree;
  std::thread::id lockOwner;
  int lockDepth = 0;
  std::thread::id resident;  // whose thread fields State holds
  std::vector<int> lockDepthsGivenUp;  // by the resident thread's running natives, innermost last
  std::map<std::thread::id, std::unique_ptr<ThreadContext>> threads;
  // Memory handed to natives comes from guard pages; what they gave back waits,
  // inaccessible, for the end of the call.
  bool guardPages = true;
  std::vector<void*> retired;
  std::vector<Shadow> shadows;
  std::uint64_t callSerial = 0;  // of the thread's outermost native call running or last run
  std::uint64_t callsMade = 0;   // outermost native calls of all threads, for their serials

  bool recordLookups = false;
  std::set<Lookup> lookups;
};

inline State& stateOf(JNIEnv* env) { return *reinterpret_cast<EnvBlock*>(env)->state; }

// --- host.cpp
void violation(State& s, const std::string& text);
std::string describe(const Object* o);
ClassInfo* findClassInfo(State& s, const std::string& name);  // also makes array classes
ClassInfo* classForDescriptor(State& s, const std::string& desc);
bool isAssignable(const ClassInfo* from, const ClassInfo* to);
bool isThrowable(State& s, const ClassInfo* c);
Object* allocate(State& s, ClassInfo* cls, Kind kind = Kind::Plain);
Object* mirror(State& s, ClassInfo* c);
Object* makeString(State& s, std::u16string text);
Object* makePrimArray(State& s, char elem, jsize length);
Object* makeObjArray(State& s, ClassInfo* elemCls, jsize length);
std::size_t elemSize(char elem);

// Handles. deref records a violation for null (unless allowed), stale and
// garbage handles, and returns null for them.
jobject newLocal(State& s, Object* o);
jobject newLocalIn(State& s, std::size_t frame, Object* o, bool counted);
jobject newGlobal(State& s, Object* o, jobjectRefType type);
Object* deref(State& s, jobject h, bool allowNull, const char* what);
RefEntry* findRef(State& s, jobject h);
void killRef(State& s, std::uintptr_t h, const char* reason);
void pushFrame(State& s, FrameKind kind, std::size_t capacity);
void popFrame(State& s);

const FieldInfo* findField(const ClassInfo* c, const std::string& name, const std::string& sig, bool isStatic);
const MethodInfo* findMethod(const ClassInfo* c, const std::string& name, const std::string& sig, bool isStatic);
const MethodInfo* resolveVirtual(const ClassInfo* runtime, const MethodInfo* m);
bool parseMethodSig(const std::string& sig, std::vector<std::string>& params, std::string& ret);

// Runs a method body as Java code: its own frame, object values as refs.
Raw invokeBody(State& s, const MethodInfo* m, Object* self, const Raw* args);
// Checks an object value against a declared type (unknown classes pass).
bool fitsType(State& s, Object* o, const std::string& desc);

void raise(State& s, const std::string& cls, const std::optional<std::u16string>& msg);
std::optional<std::u16string> messageOf(State& s, Object* throwable);
// Constructs cls(String msg); null when that raised (left pending) or is missing.
Object* newThrowable(State& s, ClassInfo* cls, const std::optional<std::u16string>& msg);

jvalue toJvalue(State& s, Raw r, char type);  // objects become local refs
Raw fromJvalue(State& s, jvalue v, char type, const char* what);

std::u16string decodeModifiedUtf8(const char* bytes, bool* ok);
std::string encodeModifiedUtf8(const char16_t* units, std::size_t n);
std::string toUtf8(const std::u16string& s);
std::u16string fromUtf8(std::string_view s);

bool valueEquals(State& s, Object* a, Object* b);

// Memory handed to natives. retire ends it now (fences checked, pages inaccessible)
// and reclaimRetired gives the address space back once the call is over.
void retire(State& s, Storage& storage);
void reclaimRetired(State& s);
// A string's units and a NUL in memory that natives may be handed in place.
unsigned char* stringUnits(State& s, Object* str);
// The guarded stand-in for a direct buffer's memory during this call.
void* shadowOf(State& s, Object* buffer);
// Writes the stand-ins back into the buffers' own memory and ends them.
void endShadows(State& s);
// The "_handle" fields of every object Java can reach, and `result` when given.
std::vector<std::uint64_t> javaHandles(State& s, Object* result, const std::uint64_t* longResult);
bool isTestOnly(const ClassInfo* c);
void recordLookup(State& s, Lookup lookup);

// --- jni_functions.cpp
void fillFunctionTable(State& s);

// --- threads.cpp
// Takes the host's lock (again, on the thread that holds it) and makes the calling
// thread's fields resident. A thread that is not attached gets a context all the
// same; unless `attaching`, that is a violation.
void lockHost(State& s, bool attaching = false);
void unlockHost(State& s);
// Gives the lock up whatever the depth held, and takes it back at that depth.
int unlockHostFully(State& s);
void relockHost(State& s, int depth);
// The depth the calling thread, which holds the lock, holds it at.
void setLockDepth(State& s, int depth);
// The calling thread's own JNIEnv block; null when it is not attached.
EnvBlock* ownBlock(State& s);
// Ends the calling (resident) thread's attachment: its frames go, its context too.
void detachThread(State& s);

// Holds the host's lock for its lifetime.
struct HostLock {
  State& s;
  explicit HostLock(State& state) : s(state) { lockHost(s); }
  ~HostLock() { unlockHost(s); }
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;
};

}  // namespace jnihost::detail
