#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#include "guard_pages.h"
#include "harness_scope.h"
#include "host_state.h"

namespace jnihost::detail {

namespace {

// Names of the function table's slots, in order, for traps of unimplemented ones.
const char* const kSlotNames[] = {
    "reserved0", "reserved1", "reserved2", "reserved3",
    "GetVersion", "DefineClass", "FindClass", "FromReflectedMethod",
    "FromReflectedField", "ToReflectedMethod", "GetSuperclass", "IsAssignableFrom",
    "ToReflectedField", "Throw", "ThrowNew", "ExceptionOccurred",
    "ExceptionDescribe", "ExceptionClear", "FatalError", "PushLocalFrame",
    "PopLocalFrame", "NewGlobalRef", "DeleteGlobalRef", "DeleteLocalRef",
    "IsSameObject", "NewLocalRef", "EnsureLocalCapacity", "AllocObject",
    "NewObject", "NewObjectV", "NewObjectA", "GetObjectClass",
    "IsInstanceOf", "GetMethodID", "CallObjectMethod", "CallObjectMethodV",
    "CallObjectMethodA", "CallBooleanMethod", "CallBooleanMethodV", "CallBooleanMethodA",
    "CallByteMethod", "CallByteMethodV", "CallByteMethodA", "CallCharMethod",
    "CallCharMethodV", "CallCharMethodA", "CallShortMethod", "CallShortMethodV",
    "CallShortMethodA", "CallIntMethod", "CallIntMethodV", "CallIntMethodA",
    "CallLongMethod", "CallLongMethodV", "CallLongMethodA", "CallFloatMethod",
    "CallFloatMethodV", "CallFloatMethodA", "CallDoubleMethod", "CallDoubleMethodV",
    "CallDoubleMethodA", "CallVoidMethod", "CallVoidMethodV", "CallVoidMethodA",
    "CallNonvirtualObjectMethod", "CallNonvirtualObjectMethodV", "CallNonvirtualObjectMethodA", "CallNonvirtualBooleanMethod",
    "CallNonvirtualBooleanMethodV", "CallNonvirtualBooleanMethodA", "CallNonvirtualByteMethod", "CallNonvirtualByteMethodV",
    "CallNonvirtualByteMethodA", "CallNonvirtualCharMethod", "CallNonvirtualCharMethodV", "CallNonvirtualCharMethodA",
    "CallNonvirtualShortMethod", "CallNonvirtualShortMethodV", "CallNonvirtualShortMethodA", "CallNonvirtualIntMethod",
    "CallNonvirtualIntMethodV", "CallNonvirtualIntMethodA", "CallNonvirtualLongMethod", "CallNonvirtualLongMethodV",
    "CallNonvirtualLongMethodA", "CallNonvirtualFloatMethod", "CallNonvirtualFloatMethodV", "CallNonvirtualFloatMethodA",
    "CallNonvirtualDoubleMethod", "CallNonvirtualDoubleMethodV", "CallNonvirtualDoubleMethodA", "CallNonvirtualVoidMethod",
    "CallNonvirtualVoidMethodV", "CallNonvirtualVoidMethodA", "GetFieldID", "GetObjectField",
    "GetBooleanField", "GetByteField", "GetCharField", "GetShortField",
    "GetIntField", "GetLongField", "GetFloatField", "GetDoubleField",
    "SetObjectField", "SetBooleanField", "SetByteField", "SetCharField",
    "SetShortField", "SetIntField", "SetLongField", "SetFloatField",
    "SetDoubleField", "GetStaticMethodID", "CallStaticObjectMethod", "CallStaticObjectMethodV",
    "CallStaticObjectMethodA", "CallStaticBooleanMethod", "CallStaticBooleanMethodV", "CallStaticBooleanMethodA",
    "CallStaticByteMethod", "CallStaticByteMethodV", "CallStaticByteMethodA", "CallStaticCharMethod",
    "CallStaticCharMethodV", "CallStaticCharMethodA", "CallStaticShortMethod", "CallStaticShortMethodV",
    "CallStaticShortMethodA", "CallStaticIntMethod", "CallStaticIntMethodV", "CallStaticIntMethodA",
    "CallStaticLongMethod", "CallStaticLongMethodV", "CallStaticLongMethodA", "CallStaticFloatMethod",
    "CallStaticFloatMethodV", "CallStaticFloatMethodA", "CallStaticDoubleMethod", "CallStaticDoubleMethodV",
    "CallStaticDoubleMethodA", "CallStaticVoidMethod", "CallStaticVoidMethodV", "CallStaticVoidMethodA",
    "GetStaticFieldID", "GetStaticObjectField", "GetStaticBooleanField", "GetStaticByteField",
    "GetStaticCharField", "GetStaticShortField", "GetStaticIntField", "GetStaticLongField",
    "GetStaticFloatField", "GetStaticDoubleField", "SetStaticObjectField", "SetStaticBooleanField",
    "SetStaticByteField", "SetStaticCharField", "SetStaticShortField", "SetStaticIntField",
    "SetStaticLongField", "SetStaticFloatField", "SetStaticDoubleField", "NewString",
    "GetStringLength", "GetStringChars", "ReleaseStringChars", "NewStringUTF",
    "GetStringUTFLength", "GetStringUTFChars", "ReleaseStringUTFChars", "GetArrayLength",
    "NewObjectArray", "GetObjectArrayElement", "SetObjectArrayElement", "NewBooleanArray",
    "NewByteArray", "NewCharArray", "NewShortArray", "NewIntArray",
    "NewLongArray", "NewFloatArray", "NewDoubleArray", "GetBooleanArrayElements",
    "GetByteArrayElements", "GetCharArrayElements", "GetShortArrayElements", "GetIntArrayElements",
    "GetLongArrayElements", "GetFloatArrayElements", "GetDoubleArrayElements", "ReleaseBooleanArrayElements",
    "ReleaseByteArrayElements", "ReleaseCharArrayElements", "ReleaseShortArrayElements", "ReleaseIntArrayElements",
    "ReleaseLongArrayElements", "ReleaseFloatArrayElements", "ReleaseDoubleArrayElements", "GetBooleanArrayRegion",
    "GetByteArrayRegion", "GetCharArrayRegion", "GetShortArrayRegion", "GetIntArrayRegion",
    "GetLongArrayRegion", "GetFloatArrayRegion", "GetDoubleArrayRegion", "SetBooleanArrayRegion",
    "SetByteArrayRegion", "SetCharArrayRegion", "SetShortArrayRegion", "SetIntArrayRegion",
    "SetLongArrayRegion", "SetFloatArrayRegion", "SetDoubleArrayRegion", "RegisterNatives",
    "UnregisterNatives", "MonitorEnter", "MonitorExit", "GetJavaVM",
    "GetStringRegion", "GetStringUTFRegion", "GetPrimitiveArrayCritical", "ReleasePrimitiveArrayCritical",
    "GetStringCritical", "ReleaseStringCritical", "NewWeakGlobalRef", "DeleteWeakGlobalRef",
    "ExceptionCheck", "NewDirectByteBuffer", "GetDirectBufferAddress", "GetDirectBufferCapacity",
    "GetObjectRefType", "GetModule", "IsVirtualThread",
};

const char* slotName(std::size_t i) {
  return i < sizeof kSlotNames / sizeof kSlotNames[0] ? kSlotNames[i] : "(unnamed)";
}


enum Flags : unsigned { kStrict = 0, kExceptionSafe = 1, kCriticalSafe = 2 };

// Opens every JNI function: harness scope first (before anything allocates),
// then the checks that apply to all of them. A plain host does neither.
struct Entry {
  State& s;
  // Taken before the harness scope opens: the caller is native code, not the host
  // or a Java method body.
  bool fromNative = false;
  std::optional<testsupport::HarnessScope> scope;
  std::optional<HostLock> lock;
  std::string saved;
  Entry(JNIEnv* env, unsigned flags, const char* a, const char* b = "", const char* c = "") : s(stateOf(env)) {
    // A plain host serves one thread: it takes no lock either.
    if (s.plain) return;
    fromNative = !testsupport::inHarness();
    scope.emplace();
    lock.emplace(s);
    saved.swap(s.currentFn);
    s.currentFn = std::string(a) + b + c;
    if (saved.empty() && !s.calls.empty()) s.nativeJniCalls.push_back(s.currentFn);
    if (s.pending && !(flags & kExceptionSafe)) violation(s, "called with " + describe(s.pending) + " pending");
    if (s.criticalDepth > 0 && !(flags & kCriticalSafe)) violation(s, "called inside a critical region");
    if (reinterpret_cast<EnvBlock*>(env)->thread != std::this_thread::get_id()) {
      violation(s, "called with the JNIEnv of another thread");
    }
  }
  ~Entry() {
    if (!s.plain) s.currentFn.swap(saved);
  }
  // Called by a native during a native call (lookups made there are the library's).
  bool byNative() const { return fromNative && !s.calls.empty(); }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};

template <typename T> struct JT;
#define JNIHOST_PRIM(T, N, C, M)                        \
  template <> struct JT<T> {                            \
    static constexpr char sig = C;                      \
    static constexpr const char* name = N;              \
    static T get(const Raw& r) { return r.M; }          \
    static void put(Raw& r, T v) { r.M = v; }           \
  };
JNIHOST_PRIM(jboolean, "Boolean", 'Z', z)
JNIHOST_PRIM(jbyte, "Byte", 'B', b)
JNIHOST_PRIM(jchar, "Char", 'C', c)
JNIHOST_PRIM(jshort, "Short", 'S', s)
JNIHOST_PRIM(jint, "Int", 'I', i)
JNIHOST_PRIM(jlong, "Long", 'J', j)
JNIHOST_PRIM(jfloat, "Float", 'F', f)
JNIHOST_PRIM(jdouble, "Double", 'D', d)
#undef JNIHOST_PRIM
template <> struct JT<jobject> {
  static constexpr char sig = 'L';
  static constexpr const char* name = "Object";
};
template <> struct JT<void> {
  static constexpr char sig = 'V';
  static constexpr const char* name = "Void";
};

template <typename T> T zero() {
  if constexpr (!std::is_void_v<T>) return T{};
}

char kindOf(const std::string& desc) { return desc[0] == '[' ? 'L' : desc[0]; }

ClassInfo* classArg(State& s, jclass cls, const char* what) {
  Object* o = deref(s, cls, false, what);
  if (o && o->kind != Kind::Class) {
    violation(s, std::string(what) + " is " + describe(o) + ", not a class");
    return nullptr;
  }
  return o ? o->classValue : nullptr;
}

Object* typedArg(State& s, jobject h, Kind kind, const char* what) {
  Object* o = deref(s, h, false, what);
  if (o && o->kind != kind) {
    violation(s, std::string(what) + " is " + describe(o));
    return nullptr;
  }
  return o;
}

Object* primArrayArg(State& s, jobject h, char elem) {
  Object* o = typedArg(s, h, Kind::PrimArray, "array");
  if (o && elem && o->elem != elem) {
    violation(s, "array is " + describe(o) + ", not [" + elem);
    return nullptr;
  }
  return o;
}

std::size_t arrayBytes(const Object* a) { return static_cast<std::size_t>(a->length) * elemSize(a->elem); }

// ---------------------------------------------------------------- classes

jint JNICALL GetVersion(JNIEnv* env) {
  Entry e(env, kStrict, "GetVersion");
#ifdef JNI_VERSION_10
  return JNI_VERSION_10;
#else
  return JNI_VERSION_1_8;
#endif
}

jclass JNICALL FindClass(JNIEnv* env, const char* name) {
  Entry e(env, kStrict, "FindClass");
  if (!name) {
    violation(e.s, "null class name");
    return nullptr;
  }
  ClassInfo* c = std::strchr(name, '.') ? nullptr : findClassInfo(e.s, name);
  if (!c) {
    raise(e.s, "java/lang/NoClassDefFoundError", fromUtf8(name));
    return nullptr;
  }
  if (e.byNative()) recordLookup(e.s, Lookup{"FindClass", c->name, "", "", "", isTestOnly(c), isTestOnly(c)});
  return static_cast<jclass>(newLocal(e.s, mirror(e.s, c)));
}

jclass JNICALL GetSuperclass(JNIEnv* env, jclass sub) {
  Entry e(env, kStrict, "GetSuperclass");
  ClassInfo* c = classArg(e.s, sub, "class");
  if (!c || c->isInterface || !c->super) return nullptr;
  return static_cast<jclass>(newLocal(e.s, mirror(e.s, c->super)));
}

jboolean JNICALL IsAssignableFrom(JNIEnv* env, jclass sub, jclass sup) {
  Entry e(env, kStrict, "IsAssignableFrom");
  ClassInfo* a = classArg(e.s, sub, "class");
  ClassInfo* b = classArg(e.s, sup, "class");
  return a && b && isAssignable(a, b) ? JNI_TRUE : JNI_FALSE;
}

jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj) {
  Entry e(env, kStrict, "GetObjectClass");
  Object* o = deref(e.s, obj, false, "object");
  return o ? static_cast<jclass>(newLocal(e.s, mirror(e.s, o->cls))) : nullptr;
}

jboolean JNICALL IsInstanceOf(JNIEnv* env, jobject obj, jclass cls) {
  Entry e(env, kStrict, "IsInstanceOf");
  Object* o = deref(e.s, obj, true, "object");
  ClassInfo* c = classArg(e.s, cls, "class");
  if (!c) return JNI_FALSE;
  return !o || isAssignable(o->cls, c) ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b) {
  Entry e(env, kStrict, "IsSameObject");
  return deref(e.s, a, true, "first reference") == deref(e.s, b, true, "second reference") ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL AllocObject(JNIEnv* env, jclass cls) {
  Entry e(env, kStrict, "AllocObject");
  ClassInfo* c = classArg(e.s, cls, "class");
  if (!c) return nullptr;
  if (c->isInterface || !c->component.empty()) {
    raise(e.s, "java/lang/InstantiationException", fromUtf8(c->name));
    return nullptr;
  }
  return newLocal(e.s, allocate(e.s, c, c->name == "java/lang/String" ? Kind::String : Kind::Plain));
}

// ---------------------------------------------------------------- members

template <bool Static>
jfieldID fieldId(JNIEnv* env, jclass cls, const char* name, const char* sig) {
  Entry e(env, kStrict, Static ? "GetStaticFieldID" : "GetFieldID");
  ClassInfo* c = classArg(e.s, cls, "class");
  if (!name || !sig) violation(e.s, "null name or signature");
  if (!c || !name || !sig) return nullptr;
  const FieldInfo* f = findField(c, name, sig, Static);
  if (!f) {
    raise(e.s, "java/lang/NoSuchFieldError", fromUtf8(name));
    return nullptr;
  }
  if (e.byNative()) {
    recordLookup(e.s, Lookup{Static ? "GetStaticFieldID" : "GetFieldID", c->name, name, sig, f->owner->name,
                             isTestOnly(c), f->owner->testOnly});
  }
  return reinterpret_cast<jfieldID>(const_cast<FieldInfo*>(f));
}

template <bool Static>
jmethodID methodId(JNIEnv* env, jclass cls, const char* name, const char* sig) {
  Entry e(env, kStrict, Static ? "GetStaticMethodID" : "GetMethodID");
  ClassInfo* c = classArg(e.s, cls, "class");
  if (!name || !sig) violation(e.s, "null name or signature");
  if (!c || !name || !sig) return nullptr;
  const MethodInfo* m = findMethod(c, name, sig, Static);
  if (!m) {
    raise(e.s, "java/lang/NoSuchMethodError", fromUtf8(std::string(name) + sig));
    return nullptr;
  }
  if (e.byNative()) {
    recordLookup(e.s, Lookup{Static ? "GetStaticMethodID" : "GetMethodID", c->name, name, sig, m->owner->name,
                             isTestOnly(c), m->owner->testOnly});
  }
  return reinterpret_cast<jmethodID>(const_cast<MethodInfo*>(m));
}

jfieldID JNICALL GetFieldID(JNIEnv* env, jclass c, const char* n, const char* s) { return fieldId<false>(env, c, n, s); }
jfieldID JNICALL GetStaticFieldID(JNIEnv* env, jclass c, const char* n, const char* s) { return fieldId<true>(env, c, n, s); }
jmethodID JNICALL GetMethodID(JNIEnv* env, jclass c, const char* n, const char* s) { return methodId<false>(env, c, n, s); }
jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass c, const char* n, const char* s) { return methodId<true>(env, c, n, s); }

const FieldInfo* checkField(State& s, jfieldID id, bool isStatic, char want) {
  const auto* f = reinterpret_cast<const FieldInfo*>(id);
  if (!id || !s.fieldIds.count(f)) {
    violation(s, "invalid field id");
    return nullptr;
  }
  if (f->isStatic != isStatic) {
    violation(s, std::string(f->isStatic ? "static" : "instance") + " field " + f->owner->name + "." + f->name);
    return nullptr;
  }
  if (kindOf(f->sig) != want) {
    violation(s, "field " + f->owner->name + "." + f->name + " has type " + f->sig);
    return nullptr;
  }
  return f;
}

// The owner of an instance field, checked against the object.
template <bool Static>
Raw* fieldSlot(State& s, jobject target, jfieldID id, char want) {
  const FieldInfo* f = checkField(s, id, Static, want);
  if constexpr (Static) {
    ClassInfo* c = classArg(s, static_cast<jclass>(target), "class");
    if (!c || !f) return nullptr;
    if (!isAssignable(c, f->owner)) {
      violation(s, "field " + f->owner->name + "." + f->name + " used with class " + c->name);
      return nullptr;
    }
    return &const_cast<FieldInfo*>(f)->staticValue;
  } else {
    Object* o = deref(s, target, false, "object");
    if (!o || !f) return nullptr;
    if (!isAssignable(o->cls, f->owner)) {
      violation(s, "field " + f->owner->name + "." + f->name + " used with " + describe(o));
      return nullptr;
    }
    return &o->fields[f];
  }
}

template <typename T, bool Static>
T JNICALL GetField(JNIEnv* env, std::conditional_t<Static, jclass, jobject> target, jfieldID id) {
  Entry e(env, kStrict, Static ? "GetStatic" : "Get", JT<T>::name, "Field");
  Raw* slot = fieldSlot<Static>(e.s, target, id, JT<T>::sig);
  if (!slot) return T{};
  if constexpr (std::is_same_v<T, jobject>) {
    return newLocal(e.s, slot->o);
  } else {
    return JT<T>::get(*slot);
  }
}

template <typename T, bool Static>
void JNICALL SetField(JNIEnv* env, std::conditional_t<Static, jclass, jobject> target, jfieldID id, T value) {
  Entry e(env, kStrict, Static ? "SetStatic" : "Set", JT<T>::name, "Field");
  Raw* slot = fieldSlot<Static>(e.s, target, id, JT<T>::sig);
  if (!slot) return;
  if constexpr (std::is_same_v<T, jobject>) {
    Object* v = deref(e.s, value, true, "value");
    const FieldInfo* f = reinterpret_cast<const FieldInfo*>(id);
    if (!fitsType(e.s, v, f->sig)) {
      violation(e.s, describe(v) + " stored in field " + f->name + " of type " + f->sig);
      return;
    }
    slot->o = v;
  } else {
    JT<T>::put(*slot, value);
  }
}

// ---------------------------------------------------------------- calls

enum class Dispatch { Virtual, Nonvirtual, Static };
const char* const kCallPrefix[] = {"Call", "CallNonvirtual", "CallStatic"};

struct ArgSource {
  va_list* ap;
  const jvalue* a;
};

const MethodInfo* checkMethod(State& s, jmethodID id, bool isStatic) {
  const auto* m = reinterpret_cast<const MethodInfo*>(id);
  if (!id || !s.methodIds.count(m)) {
    violation(s, "invalid method id");
    return nullptr;
  }
  if (m->isStatic != isStatic) {
    violation(s, std::string(m->isStatic ? "static" : "instance") + " method " + m->owner->name + "." + m->name + m->sig);
    return nullptr;
  }
  return m;
}

// Varargs arrive promoted: small integers as int, float as double.
std::vector<Raw> readArgs(State& s, const MethodInfo* m, ArgSource src) {
  std::vector<Raw> out;
  for (std::size_t i = 0; i < m->params.size(); ++i) {
    const std::string& p = m->params[i];
    Raw r = zeroRaw();
    if (src.ap) {
      switch (p[0]) {
        case 'Z': r.z = static_cast<jboolean>(va_arg(*src.ap, int)); break;
        case 'B': r.b = static_cast<jbyte>(va_arg(*src.ap, int)); break;
        case 'C': r.c = static_cast<jchar>(va_arg(*src.ap, int)); break;
        case 'S': r.s = static_cast<jshort>(va_arg(*src.ap, int)); break;
        case 'I': r.i = static_cast<jint>(va_arg(*src.ap, int)); break;
        case 'J': r.j = va_arg(*src.ap, jlong); break;
        case 'F': r.f = static_cast<jfloat>(va_arg(*src.ap, double)); break;
        case 'D': r.d = va_arg(*src.ap, double); break;
        default: r.o = deref(s, va_arg(*src.ap, jobject), true, "argument"); break;
      }
    } else if (src.a) {
      r = fromJvalue(s, src.a[i], p[0], "argument");
    } else {
      violation(s, "null argument array");
    }
    if (kindOf(p) == 'L' && !fitsType(s, r.o, p)) {
      violation(s, "argument " + std::to_string(i + 1) + " of " + m->name + m->sig + " is " + describe(r.o));
    }
    out.push_back(r);
  }
  return out;
}

template <typename R>
R callImpl(JNIEnv* env, Dispatch d, const char* suffix, jobject target, jclass cls, jmethodID id, ArgSource src) {
  Entry e(env, kStrict, kCallPrefix[static_cast<int>(d)], JT<R>::name, suffix);
  State& s = e.s;
  const MethodInfo* m = checkMethod(s, id, d == Dispatch::Static);
  if (!m) return zero<R>();
  if (kindOf(m->ret) != JT<R>::sig) {
    violation(s, m->owner->name + "." + m->name + m->sig + " does not return " + JT<R>::name);
    return zero<R>();
  }
  Object* self = nullptr;
  const MethodInfo* impl = m;
  if (d == Dispatch::Static) {
    ClassInfo* c = classArg(s, cls, "class");
    if (!c) return zero<R>();
    if (!isAssignable(c, m->owner)) {
      violation(s, m->owner->name + "." + m->name + m->sig + " called on class " + c->name);
      return zero<R>();
    }
  } else {
    self = deref(s, target, false, "object");
    if (!self) return zero<R>();
    if (m->name == "<init>") {
      violation(s, "constructor of " + m->owner->name + " called as a method");
      return zero<R>();
    }
    if (!isAssignable(self->cls, m->owner)) {
      violation(s, m->owner->name + "." + m->name + m->sig + " called on " + describe(self));
      return zero<R>();
    }
    if (d == Dispatch::Nonvirtual) {
      ClassInfo* c = classArg(s, cls, "class");
      if (!c) return zero<R>();
      if (!isAssignable(self->cls, c) || !isAssignable(c, m->owner)) {
        violation(s, m->owner->name + "." + m->name + m->sig + " called through class " + c->name + " on " + describe(self));
        return zero<R>();
      }
    } else if (const MethodInfo* found = resolveVirtual(self->cls, m)) {
      impl = found;
    }
  }
  std::vector<Raw> args = readArgs(s, m, src);
  Raw r = invokeBody(s, impl, self, args.data());
  if constexpr (std::is_same_v<R, jobject>) {
    return newLocal(s, r.o);
  } else if constexpr (!std::is_void_v<R>) {
    return JT<R>::get(r);
  }
}

template <typename R> R JNICALL CallMethod(JNIEnv* env, jobject obj, jmethodID id, ...) {
  va_list ap;
  va_start(ap, id);
  if constexpr (std::is_void_v<R>) {
    callImpl<R>(env, Dispatch::Virtual, "Method", obj, nullptr, id, {&ap, nullptr});
    va_end(ap);
  } else {
    R r = callImpl<R>(env, Dispatch::Virtual, "Method", obj, nullptr, id, {&ap, nullptr});
    va_end(ap);
    return r;
  }
}
template <typename R> R JNICALL CallMethodV(JNIEnv* env, jobject obj, jmethodID id, va_list ap) {
  return callImpl<R>(env, Dispatch::Virtual, "MethodV", obj, nullptr, id, {&ap, nullptr});
}
template <typename R> R JNICALL CallMethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* a) {
  return callImpl<R>(env, Dispatch::Virtual, "MethodA", obj, nullptr, id, {nullptr, a});
}

template <typename R> R JNICALL CallNonvirtualMethod(JNIEnv* env, jobject obj, jclass cls, jmethodID id, ...) {
  va_list ap;
  va_start(ap, id);
  if constexpr (std::is_void_v<R>) {
    callImpl<R>(env, Dispatch::Nonvirtual, "Method", obj, cls, id, {&ap, nullptr});
    va_end(ap);
  } else {
    R r = callImpl<R>(env, Dispatch::Nonvirtual, "Method", obj, cls, id, {&ap, nullptr});
    va_end(ap);
    return r;
  }
}
template <typename R> R JNICALL CallNonvirtualMethodV(JNIEnv* env, jobject obj, jclass cls, jmethodID id, va_list ap) {
  return callImpl<R>(env, Dispatch::Nonvirtual, "MethodV", obj, cls, id, {&ap, nullptr});
}
template <typename R>
R JNICALL CallNonvirtualMethodA(JNIEnv* env, jobject obj, jclass cls, jmethodID id, const jvalue* a) {
  return callImpl<R>(env, Dispatch::Nonvirtual, "MethodA", obj, cls, id, {nullptr, a});
}

template <typename R> R JNICALL CallStaticMethod(JNIEnv* env, jclass cls, jmethodID id, ...) {
  va_list ap;
  va_start(ap, id);
  if constexpr (std::is_void_v<R>) {
    callImpl<R>(env, Dispatch::Static, "Method", nullptr, cls, id, {&ap, nullptr});
    va_end(ap);
  } else {
    R r = callImpl<R>(env, Dispatch::Static, "Method", nullptr, cls, id, {&ap, nullptr});
    va_end(ap);
    return r;
  }
}
template <typename R> R JNICALL CallStaticMethodV(JNIEnv* env, jclass cls, jmethodID id, va_list ap) {
  return callImpl<R>(env, Dispatch::Static, "MethodV", nullptr, cls, id, {&ap, nullptr});
}
template <typename R> R JNICALL CallStaticMethodA(JNIEnv* env, jclass cls, jmethodID id, const jvalue* a) {
  return callImpl<R>(env, Dispatch::Static, "MethodA", nullptr, cls, id, {nullptr, a});
}

jobject newObjectImpl(JNIEnv* env, const char* name, jclass cls, jmethodID id, ArgSource src) {
  Entry e(env, kStrict, name);
  State& s = e.s;
  ClassInfo* c = classArg(s, cls, "class");
  const MethodInfo* m = checkMethod(s, id, false);
  if (!c || !m) return nullptr;
  if (m->name != "<init>" || m->owner != c) {
    violation(s, m->owner->name + "." + m->name + m->sig + " is not a constructor of " + c->name);
    return nullptr;
  }
  if (c->isInterface) {
    raise(s, "java/lang/InstantiationException", fromUtf8(c->name));
    return nullptr;
  }
  std::vector<Raw> args = readArgs(s, m, src);
  Object* o = allocate(s, c, c->name == "java/lang/String" ? Kind::String : Kind::Plain);
  invokeBody(s, m, o, args.data());
  return s.pending ? nullptr : newLocal(s, o);
}

jobject JNICALL NewObject(JNIEnv* env, jclass cls, jmethodID id, ...) {
  va_list ap;
  va_start(ap, id);
  jobject r = newObjectImpl(env, "NewObject", cls, id, {&ap, nullptr});
  va_end(ap);
  return r;
}
jobject JNICALL NewObjectV(JNIEnv* env, jclass cls, jmethodID id, va_list ap) {
  return newObjectImpl(env, "NewObjectV", cls, id, {&ap, nullptr});
}
jobject JNICALL NewObjectA(JNIEnv* env, jclass cls, jmethodID id, const jvalue* a) {
  return newObjectImpl(env, "NewObjectA", cls, id, {nullptr, a});
}

// ---------------------------------------------------------------- exceptions

jint JNICALL Throw(JNIEnv* env, jthrowable obj) {
  Entry e(env, kExceptionSafe, "Throw");
  if (e.s.pending) violation(e.s, "raised while " + describe(e.s.pending) + " is pending");
  Object* t = deref(e.s, obj, false, "throwable");
  if (!t) return JNI_ERR;
  if (!isThrowable(e.s, t->cls)) {
    violation(e.s, describe(t) + " is not a Throwable");
    return JNI_ERR;
  }
  e.s.pending = t;
  return JNI_OK;
}

jint JNICALL ThrowNew(JNIEnv* env, jclass cls, const char* msg) {
  Entry e(env, kExceptionSafe, "ThrowNew");
  if (e.s.pending) violation(e.s, "raised while " + describe(e.s.pending) + " is pending");
  ClassInfo* c = classArg(e.s, cls, "class");
  if (!c) return JNI_ERR;
  if (!isThrowable(e.s, c)) {
    violation(e.s, c->name + " is not a Throwable");
    return JNI_ERR;
  }
  std::optional<std::u16string> text;
  if (msg) {
    bool ok = true;
    text = decodeModifiedUtf8(msg, &ok);
    if (!ok) violation(e.s, "message is not modified UTF-8");
  }
  e.s.pending = nullptr;
  Object* t = newThrowable(e.s, c, text);
  if (!t) return JNI_ERR;
  e.s.pending = t;
  return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
  Entry e(env, kExceptionSafe, "ExceptionOccurred");
  return static_cast<jthrowable>(newLocal(e.s, e.s.pending));
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
  Entry e(env, kExceptionSafe, "ExceptionDescribe");
  if (!e.s.pending) return;
  std::optional<std::u16string> msg = messageOf(e.s, e.s.pending);
  std::fprintf(stderr, "Exception in native call: %s%s%s\n", e.s.pending->cls->name.c_str(), msg ? ": " : "",
               msg ? toUtf8(*msg).c_str() : "");
  e.s.pending = nullptr;
}

void JNICALL ExceptionClear(JNIEnv* env) {
  Entry e(env, kExceptionSafe, "ExceptionClear");
  e.s.pending = nullptr;
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
  Entry e(env, kExceptionSafe, "ExceptionCheck");
  return e.s.pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL FatalError(JNIEnv* env, const char* msg) {
  Entry e(env, kExceptionSafe | kCriticalSafe, "FatalError");
  std::fprintf(stderr, "FatalError from native code: %s\n", msg ? msg : "(null)");
  violation(e.s, std::string("native code called FatalError: ") + (msg ? msg : "(null)"));
}

// ---------------------------------------------------------------- references

jint JNICALL PushLocalFrame(JNIEnv* env, jint capacity) {
  Entry e(env, kExceptionSafe, "PushLocalFrame");
  if (e.s.failPush) {
    e.s.failPush = false;
    raise(e.s, "java/lang/OutOfMemoryError", u"could not allocate a local frame");
    return JNI_ENOMEM;
  }
  if (capacity < 0) {
    violation(e.s, "negative capacity");
    return JNI_ERR;
  }
  pushFrame(e.s, FrameKind::Pushed, static_cast<std::size_t>(capacity));
  return JNI_OK;
}

jobject JNICALL PopLocalFrame(JNIEnv* env, jobject result) {
  Entry e(env, kExceptionSafe, "PopLocalFrame");
  Object* o = deref(e.s, result, true, "result");
  if (e.s.frames.back().kind != FrameKind::Pushed) {
    violation(e.s, "no frame pushed by PushLocalFrame to pop");
  } else {
    popFrame(e.s);
  }
  return newLocal(e.s, o);
}

jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint capacity) {
  Entry e(env, kStrict, "EnsureLocalCapacity");
  if (e.s.failEnsure) {
    e.s.failEnsure = false;
    raise(e.s, "java/lang/OutOfMemoryError", u"could not ensure local capacity");
    return JNI_ENOMEM;
  }
  if (capacity < 0) {
    violation(e.s, "negative capacity");
    return JNI_ERR;
  }
  Frame& f = e.s.frames.back();
  if (f.counted) f.capacity = std::max(f.capacity, f.live + static_cast<std::size_t>(capacity));
  return JNI_OK;
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject ref) {
  Entry e(env, kStrict, "NewLocalRef");
  return newLocal(e.s, deref(e.s, ref, true, "reference"));
}

jobject JNICALL NewGlobalRef(JNIEnv* env, jobject ref) {
  Entry e(env, kStrict, "NewGlobalRef");
  return newGlobal(e.s, deref(e.s, ref, true, "reference"), JNIGlobalRefType);
}

jweak JNICALL NewWeakGlobalRef(JNIEnv* env, jobject ref) {
  Entry e(env, kStrict, "NewWeakGlobalRef");
  return newGlobal(e.s, deref(e.s, ref, true, "reference"), JNIWeakGlobalRefType);
}

void deleteRef(State& s, jobject ref, jobjectRefType type, const char* reason) {
  if (!ref) return;
  RefEntry* r = findRef(s, ref);
  if (!r || !r->alive) {
    deref(s, ref, true, "reference");
    return;
  }
  if (r->type != type) {
    static const char* const names[] = {"invalid", "local", "global", "weak global"};
    violation(s, std::string("reference is a ") + names[r->type] + " one");
    return;
  }
  killRef(s, reinterpret_cast<std::uintptr_t>(ref), reason);
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject ref) {
  Entry e(env, kExceptionSafe, "DeleteLocalRef");
  deleteRef(e.s, ref, JNILocalRefType, "DeleteLocalRef");
}

void JNICALL DeleteGlobalRef(JNIEnv* env, jobject ref) {
  Entry e(env, kExceptionSafe, "DeleteGlobalRef");
  deleteRef(e.s, ref, JNIGlobalRefType, "DeleteGlobalRef");
}

void JNICALL DeleteWeakGlobalRef(JNIEnv* env, jweak ref) {
  Entry e(env, kExceptionSafe, "DeleteWeakGlobalRef");
  deleteRef(e.s, ref, JNIWeakGlobalRefType, "DeleteWeakGlobalRef");
}

jobjectRefType JNICALL GetObjectRefType(JNIEnv* env, jobject ref) {
  Entry e(env, kStrict, "GetObjectRefType");
  RefEntry* r = ref ? findRef(e.s, ref) : nullptr;
  return r && r->alive ? r->type : JNIInvalidRefType;
}

// ---------------------------------------------------------------- strings

const char* const kGetterNames[] = {"Get<Type>ArrayElements", "GetStringChars", "GetStringUTFChars",
                                     "GetPrimitiveArrayCritical", "GetStringCritical"};

// Hands out `bytes` of an object's contents, in place (`storage`, which is then
// memory made for being handed out) or as a copy.
void* pin(State& s, Pin what, Object* o, void* storage, std::size_t bytes, bool copy, jboolean* isCopy) {
  void* buffer = storage;
  std::unique_ptr<Storage> held;
  if (copy) {
    // A copy is as Java's own buffer: aligned to its unit only, flush against the guard page.
    const std::size_t unit = what == Pin::StringUtfChars                               ? std::size_t{1}
                             : what == Pin::StringChars || what == Pin::StringCritical ? sizeof(jchar)
                                                                                       : elemSize(o->elem);
    held = std::make_unique<Storage>();
    held->allocate(bytes, unit, s.guardPages, std::string(kGetterNames[static_cast<int>(what)]) + " of " + describe(o));
    std::memcpy(held->data(), storage, bytes);
    buffer = held->data();
  }
  if (isCopy) *isCopy = copy ? JNI_TRUE : JNI_FALSE;
  s.pins.push_back(Acquisition{what, o, buffer, std::move(held), static_cast<int>(s.calls.size())});
  if (what == Pin::ArrayCritical || what == Pin::StringCritical) ++s.criticalDepth;
  return buffer;
}

// Ends (or with JNI_COMMIT, only writes back) what pin() handed out.
void unpin(State& s, Pin what, Object* o, const void* buffer, jint mode, void* storage, std::size_t bytes) {
  if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) {
    violation(s, "unknown release mode " + std::to_string(mode));
    return;
  }
  auto it = s.pins.begin();
  while (it != s.pins.end() && !(it->what == what && it->obj == o && it->buffer == buffer)) ++it;
  if (it == s.pins.end()) {
    violation(s, "buffer was not handed out for " + describe(o) + " (or was released already)");
    return;
  }
  if (it->copy) {
    const unsigned char* c = it->copy->data();
    s.lastReleasedCopy.assign(c, c + it->copy->size());
    if (mode != JNI_ABORT && storage) std::memcpy(storage, c, bytes);
    if (mode != JNI_COMMIT) retire(s, *it->copy);
  } else {
    // Handed out in place: a write past it shows in the fences now.
    testsupport::guard::check(it->buffer);
  }
  if (mode != JNI_COMMIT) {
    if (what == Pin::ArrayCritical || what == Pin::StringCritical) --s.criticalDepth;
    s.pins.erase(it);
  }
}

jstring JNICALL NewString(JNIEnv* env, const jchar* units, jsize len) {
  Entry e(env, kStrict, "NewString");
  if (len < 0 || (!units && len > 0)) {
    violation(e.s, "bad buffer or length " + std::to_string(len));
    return nullptr;
  }
  std::u16string text(reinterpret_cast<const char16_t*>(units), static_cast<std::size_t>(len));
  return static_cast<jstring>(newLocal(e.s, makeString(e.s, std::move(text))));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring str) {
  Entry e(env, kStrict, "GetStringLength");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  return o ? static_cast<jsize>(o->str.size()) : 0;
}

const jchar* JNICALL GetStringChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  Entry e(env, kStrict, "GetStringChars");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (!o) return nullptr;
  // Copies carry a terminating NUL, as the storage of the string does.
  const std::size_t bytes = (o->str.size() + 1) * sizeof(jchar);
  return static_cast<const jchar*>(pin(e.s, Pin::StringChars, o, stringUnits(e.s, o), bytes, e.s.copyElements, isCopy));
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring str, const jchar* chars) {
  Entry e(env, kExceptionSafe, "ReleaseStringChars");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (o) unpin(e.s, Pin::StringChars, o, chars, JNI_ABORT, nullptr, (o->str.size() + 1) * sizeof(jchar));
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* bytes) {
  Entry e(env, kStrict, "NewStringUTF");
  if (!bytes) return nullptr;
  bool ok = true;
  std::u16string text = decodeModifiedUtf8(bytes, &ok);
  if (!ok) violation(e.s, "input is not modified UTF-8");
  return static_cast<jstring>(newLocal(e.s, makeString(e.s, std::move(text))));
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str) {
  Entry e(env, kStrict, "GetStringUTFLength");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  return o ? static_cast<jsize>(encodeModifiedUtf8(o->str.data(), o->str.size()).size()) : 0;
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  Entry e(env, kStrict, "GetStringUTFChars");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (!o) return nullptr;
  std::string utf = encodeModifiedUtf8(o->str.data(), o->str.size());
  return static_cast<const char*>(pin(e.s, Pin::StringUtfChars, o, utf.data(), utf.size() + 1, true, isCopy));
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* utf) {
  Entry e(env, kExceptionSafe, "ReleaseStringUTFChars");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (o) unpin(e.s, Pin::StringUtfChars, o, utf, JNI_ABORT, nullptr, 0);
}

bool badRange(State& s, jsize start, jsize len, std::size_t size, const char* exception) {
  if (start < 0 || len < 0 || static_cast<std::size_t>(start) + static_cast<std::size_t>(len) > size) {
    raise(s, exception,
          fromUtf8("offset " + std::to_string(start) + ", count " + std::to_string(len) + ", length " +
                   std::to_string(size)));
    return true;
  }
  return false;
}

void JNICALL GetStringRegion(JNIEnv* env, jstring str, jsize start, jsize len, jchar* buf) {
  Entry e(env, kStrict, "GetStringRegion");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (!o || badRange(e.s, start, len, o->str.size(), "java/lang/StringIndexOutOfBoundsException")) return;
  if (!buf && len > 0) {
    violation(e.s, "null buffer");
    return;
  }
  if (len > 0) std::memcpy(buf, o->str.data() + start, static_cast<std::size_t>(len) * sizeof(jchar));
}

void JNICALL GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
  Entry e(env, kStrict, "GetStringUTFRegion");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (!o || badRange(e.s, start, len, o->str.size(), "java/lang/StringIndexOutOfBoundsException")) return;
  if (!buf) {
    violation(e.s, "null buffer");
    return;
  }
  std::string utf = encodeModifiedUtf8(o->str.data() + start, static_cast<std::size_t>(len));
  std::memcpy(buf, utf.c_str(), utf.size() + 1);
}

const jchar* JNICALL GetStringCritical(JNIEnv* env, jstring str, jboolean* isCopy) {
  Entry e(env, kCriticalSafe, "GetStringCritical");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (!o) return nullptr;
  return static_cast<const jchar*>(pin(e.s, Pin::StringCritical, o, stringUnits(e.s, o), 0, false, isCopy));
}

void JNICALL ReleaseStringCritical(JNIEnv* env, jstring str, const jchar* chars) {
  Entry e(env, kExceptionSafe | kCriticalSafe, "ReleaseStringCritical");
  Object* o = typedArg(e.s, str, Kind::String, "string");
  if (o) unpin(e.s, Pin::StringCritical, o, chars, 0, nullptr, 0);
}

// ---------------------------------------------------------------- arrays

jsize JNICALL GetArrayLength(JNIEnv* env, jarray arr) {
  Entry e(env, kStrict, "GetArrayLength");
  Object* o = deref(e.s, arr, false, "array");
  if (!o) return 0;
  if (o->kind == Kind::PrimArray) return o->length;
  if (o->kind == Kind::ObjArray) return static_cast<jsize>(o->items.size());
  violation(e.s, "array is " + describe(o));
  return 0;
}

jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize len, jclass cls, jobject init) {
  Entry e(env, kStrict, "NewObjectArray");
  ClassInfo* c = classArg(e.s, cls, "element class");
  Object* v = deref(e.s, init, true, "initial element");
  if (!c) return nullptr;
  if (len < 0) {
    raise(e.s, "java/lang/NegativeArraySizeException", fromUtf8(std::to_string(len)));
    return nullptr;
  }
  if (v && !isAssignable(v->cls, c)) {
    violation(e.s, "initial element " + describe(v) + " is not a " + c->name);
    return nullptr;
  }
  Object* a = makeObjArray(e.s, c, len);
  for (Object*& item : a->items) item = v;
  return static_cast<jobjectArray>(newLocal(e.s, a));
}

bool badIndex(State& s, Object* a, jsize index) {
  if (index < 0 || static_cast<std::size_t>(index) >= a->items.size()) {
    raise(s, "java/lang/ArrayIndexOutOfBoundsException",
          fromUtf8("Index " + std::to_string(index) + " out of bounds for length " + std::to_string(a->items.size())));
    return true;
  }
  return false;
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray arr, jsize index) {
  Entry e(env, kStrict, "GetObjectArrayElement");
  Object* a = typedArg(e.s, arr, Kind::ObjArray, "array");
  if (!a || badIndex(e.s, a, index)) return nullptr;
  return newLocal(e.s, a->items[static_cast<std::size_t>(index)]);
}

void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray arr, jsize index, jobject value) {
  Entry e(env, kStrict, "SetObjectArrayElement");
  Object* a = typedArg(e.s, arr, Kind::ObjArray, "array");
  Object* v = deref(e.s, value, true, "value");
  if (!a || badIndex(e.s, a, index)) return;
  if (v && a->cls->componentClass && !isAssignable(v->cls, a->cls->componentClass)) {
    raise(e.s, "java/lang/ArrayStoreException", fromUtf8(v->cls->name));
    return;
  }
  a->items[static_cast<std::size_t>(index)] = v;
}

template <typename T> typename ArrayOf<T>::type JNICALL NewArray(JNIEnv* env, jsize len) {
  Entry e(env, kStrict, "New", JT<T>::name, "Array");
  if (len < 0) {
    raise(e.s, "java/lang/NegativeArraySizeException", fromUtf8(std::to_string(len)));
    return nullptr;
  }
  return static_cast<typename ArrayOf<T>::type>(newLocal(e.s, makePrimArray(e.s, JT<T>::sig, len)));
}

template <typename T> T* JNICALL GetArrayElements(JNIEnv* env, typename ArrayOf<T>::type arr, jboolean* isCopy) {
  Entry e(env, kStrict, "Get", JT<T>::name, "ArrayElements");
  Object* a = primArrayArg(e.s, arr, JT<T>::sig);
  if (!a) return nullptr;
  return static_cast<T*>(pin(e.s, Pin::ArrayElements, a, a->prim.data(), arrayBytes(a), e.s.copyElements, isCopy));
}

template <typename T>
void JNICALL ReleaseArrayElements(JNIEnv* env, typename ArrayOf<T>::type arr, T* elems, jint mode) {
  Entry e(env, kExceptionSafe, "Release", JT<T>::name, "ArrayElements");
  Object* a = primArrayArg(e.s, arr, JT<T>::sig);
  if (a) unpin(e.s, Pin::ArrayElements, a, elems, mode, a->prim.data(), arrayBytes(a));
}

template <typename T>
void JNICALL GetArrayRegion(JNIEnv* env, typename ArrayOf<T>::type arr, jsize start, jsize len, T* buf) {
  Entry e(env, kStrict, "Get", JT<T>::name, "ArrayRegion");
  Object* a = primArrayArg(e.s, arr, JT<T>::sig);
  if (!a || badRange(e.s, start, len, static_cast<std::size_t>(a->length), "java/lang/ArrayIndexOutOfBoundsException")) return;
  if (!buf && len > 0) {
    violation(e.s, "null buffer");
    return;
  }
  if (len > 0) std::memcpy(buf, a->prim.data() + start * sizeof(T), static_cast<std::size_t>(len) * sizeof(T));
}

template <typename T>
void JNICALL SetArrayRegion(JNIEnv* env, typename ArrayOf<T>::type arr, jsize start, jsize len, const T* buf) {
  Entry e(env, kStrict, "Set", JT<T>::name, "ArrayRegion");
  Object* a = primArrayArg(e.s, arr, JT<T>::sig);
  if (!a || badRange(e.s, start, len, static_cast<std::size_t>(a->length), "java/lang/ArrayIndexOutOfBoundsException")) return;
  if (!buf && len > 0) {
    violation(e.s, "null buffer");
    return;
  }
  if (len > 0) std::memcpy(a->prim.data() + start * sizeof(T), buf, static_cast<std::size_t>(len) * sizeof(T));
}

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray arr, jboolean* isCopy) {
  Entry e(env, kCriticalSafe, "GetPrimitiveArrayCritical");
  Object* a = primArrayArg(e.s, arr, 0);
  if (!a) return nullptr;
  return pin(e.s, Pin::ArrayCritical, a, a->prim.data(), arrayBytes(a), false, isCopy);
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray arr, void* carray, jint mode) {
  Entry e(env, kExceptionSafe | kCriticalSafe, "ReleasePrimitiveArrayCritical");
  Object* a = primArrayArg(e.s, arr, 0);
  if (a) unpin(e.s, Pin::ArrayCritical, a, carray, mode, a->prim.data(), arrayBytes(a));
}

// ---------------------------------------------------------------- monitors, buffers, vm

jint JNICALL MonitorEnter(JNIEnv* env, jobject obj) {
  Entry e(env, kStrict, "MonitorEnter");
  Object* o = deref(e.s, obj, false, "object");
  if (!o) return JNI_ERR;
  if (e.s.failMonitorEnter) {
    e.s.failMonitorEnter = false;
    raise(e.s, "java/lang/OutOfMemoryError", u"could not inflate the monitor");
    return JNI_ERR;
  }
  // Another thread's monitor: wait, without the host's lock, until it is free.
  const std::thread::id me = std::this_thread::get_id();
  while (o->monitor > 0 && o->monitorOwner != me) {
    const int held = unlockHostFully(e.s);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    relockHost(e.s, held);
  }
  o->monitorOwner = me;
  ++o->monitor;
  e.s.monitors.emplace_back(o, static_cast<int>(e.s.calls.size()));
  return JNI_OK;
}

jint JNICALL MonitorExit(JNIEnv* env, jobject obj) {
  Entry e(env, kExceptionSafe, "MonitorExit");
  Object* o = deref(e.s, obj, false, "object");
  if (!o) return JNI_ERR;
  if (o->monitor == 0 || o->monitorOwner != std::this_thread::get_id()) {
    raise(e.s, "java/lang/IllegalMonitorStateException", u"current thread is not owner");
    return JNI_ERR;
  }
  --o->monitor;
  for (auto it = e.s.monitors.rbegin(); it != e.s.monitors.rend(); ++it) {
    if (it->first == o) {
      e.s.monitors.erase(std::next(it).base());
      break;
    }
  }
  if (e.s.failMonitorExit) {
    e.s.failMonitorExit = false;
    raise(e.s, "java/lang/IllegalMonitorStateException", u"monitor exit failed");
    return JNI_ERR;
  }
  return JNI_OK;
}

jobject JNICALL NewDirectByteBuffer(JNIEnv* env, void* address, jlong capacity) {
  Entry e(env, kStrict, "NewDirectByteBuffer");
  if (capacity < 0 || capacity > std::numeric_limits<jint>::max()) {
    raise(e.s, "java/lang/IllegalArgumentException", fromUtf8("capacity " + std::to_string(capacity)));
    return nullptr;
  }
  if (!address && capacity > 0) violation(e.s, "null address with capacity " + std::to_string(capacity));
  Object* b = allocate(e.s, findClassInfo(e.s, "java/nio/DirectByteBuffer"), Kind::DirectBuffer);
  b->address = address;
  b->capacity = capacity;
  return newLocal(e.s, b);
}

void* JNICALL GetDirectBufferAddress(JNIEnv* env, jobject buf) {
  Entry e(env, kStrict, "GetDirectBufferAddress");
  Object* b = deref(e.s, buf, false, "buffer");
  if (!b || b->kind != Kind::DirectBuffer) return nullptr;
  // A buffer Java made before the call is handed over in guarded memory of its
  // capacity, written back when the call ends; one the call made is its own memory.
  if (!e.byNative() || !e.s.guardPages || !b->address || b->bornInCall == e.s.callSerial) return b->address;
  return shadowOf(e.s, b);
}

jlong JNICALL GetDirectBufferCapacity(JNIEnv* env, jobject buf) {
  Entry e(env, kStrict, "GetDirectBufferCapacity");
  Object* b = deref(e.s, buf, false, "buffer");
  return b && b->kind == Kind::DirectBuffer ? b->capacity : -1;
}

jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm) {
  Entry e(env, kStrict, "GetJavaVM");
  if (!vm) {
    violation(e.s, "null result pointer");
    return JNI_ERR;
  }
  *vm = &e.s.block.vm;
  return JNI_OK;
}

State& stateOfVm(JavaVM* vm) {
  return *reinterpret_cast<EnvBlock*>(reinterpret_cast<char*>(vm) - offsetof(EnvBlock, vm))->state;
}

jint JNICALL VmGetEnv(JavaVM* vm, void** penv, jint version) {
  testsupport::HarnessScope scope;
  State& s = stateOfVm(vm);
  HostLock lock(s);
  EnvBlock* own = ownBlock(s);
  if (own == nullptr) {
    *penv = nullptr;
    return JNI_EDETACHED;
  }
  switch (version) {
    case JNI_VERSION_1_1: case JNI_VERSION_1_2: case JNI_VERSION_1_4: case JNI_VERSION_1_6: case JNI_VERSION_1_8:
#ifdef JNI_VERSION_9
    case JNI_VERSION_9:
#endif
#ifdef JNI_VERSION_10
    case JNI_VERSION_10:
#endif
      *penv = &own->env;
      return JNI_OK;
    default:
      *penv = nullptr;
      return JNI_EVERSION;
  }
}

jint JNICALL VmAttach(JavaVM* vm, void** penv, void*) {
  testsupport::HarnessScope scope;
  State& s = stateOfVm(vm);
  lockHost(s, true);
  *penv = &ownBlock(s)->env;
  unlockHost(s);
  return JNI_OK;
}

jint JNICALL VmDetach(JavaVM* vm) {
  testsupport::HarnessScope scope;
  State& s = stateOfVm(vm);
  HostLock lock(s);
  // The thread that made the host stays; others leave as a JVM's do.
  if (std::this_thread::get_id() != s.block.thread && ownBlock(s) != nullptr) detachThread(s);
  return JNI_OK;
}

jint JNICALL VmDestroy(JavaVM* vm) {
  testsupport::HarnessScope scope;
  State& s = stateOfVm(vm);
  HostLock lock(s);
  violation(s, "DestroyJavaVM called by native code");
  return JNI_ERR;
}

// ---------------------------------------------------------------- traps

template <std::size_t I> jlong JNICALL trap(JNIEnv* env) {
  testsupport::HarnessScope scope;
  HostLock lock(stateOf(env));
  violation(stateOf(env), std::string("JNI function ") + slotName(I) + " (slot " + std::to_string(I) +
                              ") is not implemented by the test host");
  return 0;
}

constexpr std::size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void*);
static_assert(sizeof(JNINativeInterface_) % sizeof(void*) == 0, "function table is not all pointers");

template <std::size_t... I> void fillTraps(JNINativeInterface_& table, std::index_sequence<I...>) {
  using Slot = jlong(JNICALL*)(JNIEnv*);
  const Slot slots[] = {&trap<I>...};
  static_assert(sizeof slots == sizeof table, "one trap per slot");
  std::memcpy(&table, slots, sizeof slots);
}

}  // namespace

void fillFunctionTable(State& s) {
  JNINativeInterface_& t = s.table;
  fillTraps(t, std::make_index_sequence<kSlots>());

  t.GetVersion = GetVersion;
  t.FindClass = FindClass;
  t.GetSuperclass = GetSuperclass;
  t.IsAssignableFrom = IsAssignableFrom;
  t.Throw = Throw;
  t.ThrowNew = ThrowNew;
  t.ExceptionOccurred = ExceptionOccurred;
  t.ExceptionDescribe = ExceptionDescribe;
  t.ExceptionClear = ExceptionClear;
  t.FatalError = FatalError;
  t.PushLocalFrame = PushLocalFrame;
  t.PopLocalFrame = PopLocalFrame;
  t.NewGlobalRef = NewGlobalRef;
  t.DeleteGlobalRef = DeleteGlobalRef;
  t.DeleteLocalRef = DeleteLocalRef;
  t.IsSameObject = IsSameObject;
  t.NewLocalRef = NewLocalRef;
  t.EnsureLocalCapacity = EnsureLocalCapacity;
  t.AllocObject = AllocObject;
  t.NewObject = NewObject;
  t.NewObjectV = NewObjectV;
  t.NewObjectA = NewObjectA;
  t.GetObjectClass = GetObjectClass;
  t.IsInstanceOf = IsInstanceOf;
  t.GetMethodID = GetMethodID;
  t.GetFieldID = GetFieldID;
  t.GetStaticMethodID = GetStaticMethodID;
  t.GetStaticFieldID = GetStaticFieldID;

#define JNIHOST_CALLS(T, N)                                   \
  t.Call##N##Method = CallMethod<T>;                          \
  t.Call##N##MethodV = CallMethodV<T>;                        \
  t.Call##N##MethodA = CallMethodA<T>;                        \
  t.CallNonvirtual##N##Method = CallNonvirtualMethod<T>;      \
  t.CallNonvirtual##N##MethodV = CallNonvirtualMethodV<T>;    \
  t.CallNonvirtual##N##MethodA = CallNonvirtualMethodA<T>;    \
  t.CallStatic##N##Method = CallStaticMethod<T>;              \
  t.CallStatic##N##MethodV = CallStaticMethodV<T>;            \
  t.CallStatic##N##MethodA = CallStaticMethodA<T>;
#define JNIHOST_FIELDS(T, N)                                  \
  t.Get##N##Field = GetField<T, false>;                       \
  t.Set##N##Field = SetField<T, false>;                       \
  t.GetStatic##N##Field = GetField<T, true>;                  \
  t.SetStatic##N##Field = SetField<T, true>;
#define JNIHOST_ARRAYS(T, N)                                  \
  t.New##N##Array = NewArray<T>;                              \
  t.Get##N##ArrayElements = GetArrayElements<T>;              \
  t.Release##N##ArrayElements = ReleaseArrayElements<T>;      \
  t.Get##N##ArrayRegion = GetArrayRegion<T>;                  \
  t.Set##N##ArrayRegion = SetArrayRegion<T>;
#define JNIHOST_PRIMS(T, N) JNIHOST_CALLS(T, N) JNIHOST_FIELDS(T, N) JNIHOST_ARRAYS(T, N)
  JNIHOST_PRIMS(jboolean, Boolean)
  JNIHOST_PRIMS(jbyte, Byte)
  JNIHOST_PRIMS(jchar, Char)
  JNIHOST_PRIMS(jshort, Short)
  JNIHOST_PRIMS(jint, Int)
  JNIHOST_PRIMS(jlong, Long)
  JNIHOST_PRIMS(jfloat, Float)
  JNIHOST_PRIMS(jdouble, Double)
  JNIHOST_CALLS(jobject, Object)
  JNIHOST_CALLS(void, Void)
  JNIHOST_FIELDS(jobject, Object)
#undef JNIHOST_PRIMS
#undef JNIHOST_ARRAYS
#undef JNIHOST_FIELDS
#undef JNIHOST_CALLS

  t.NewString = NewString;
  t.GetStringLength = GetStringLength;
  t.GetStringChars = GetStringChars;
  t.ReleaseStringChars = ReleaseStringChars;
  t.NewStringUTF = NewStringUTF;
  t.GetStringUTFLength = GetStringUTFLength;
  t.GetStringUTFChars = GetStringUTFChars;
  t.ReleaseStringUTFChars = ReleaseStringUTFChars;
  t.GetStringRegion = GetStringRegion;
  t.GetStringUTFRegion = GetStringUTFRegion;
  t.GetStringCritical = GetStringCritical;
  t.ReleaseStringCritical = ReleaseStringCritical;
  t.GetArrayLength = GetArrayLength;
  t.NewObjectArray = NewObjectArray;
  t.GetObjectArrayElement = GetObjectArrayElement;
  t.SetObjectArrayElement = SetObjectArrayElement;
  t.GetPrimitiveArrayCritical = GetPrimitiveArrayCritical;
  t.ReleasePrimitiveArrayCritical = ReleasePrimitiveArrayCritical;
  t.MonitorEnter = MonitorEnter;
  t.MonitorExit = MonitorExit;
  t.GetJavaVM = GetJavaVM;
  t.NewWeakGlobalRef = NewWeakGlobalRef;
  t.DeleteWeakGlobalRef = DeleteWeakGlobalRef;
  t.ExceptionCheck = ExceptionCheck;
  t.NewDirectByteBuffer = NewDirectByteBuffer;
  t.GetDirectBufferAddress = GetDirectBufferAddress;
  t.GetDirectBufferCapacity = GetDirectBufferCapacity;
  t.GetObjectRefType = GetObjectRefType;

  s.vmTable.GetEnv = VmGetEnv;
  s.vmTable.AttachCurrentThread = VmAttach;
  s.vmTable.AttachCurrentThreadAsDaemon = VmAttach;
  s.vmTable.DetachCurrentThread = VmDetach;
  s.vmTable.DestroyJavaVM = VmDestroy;
}

}  // namespace jnihost::detail
