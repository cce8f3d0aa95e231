#include <algorithm>
#include <cstring>
#include <limits>

#include "guard_pages.h"
#include "harness_scope.h"
#include "host_state.h"

namespace jnihost {

using namespace detail;
using testsupport::HarnessScope;

namespace {

ClassInfo* createClass(State& s, const std::string& name, ClassInfo* super, bool isInterface) {
  auto c = std::make_unique<ClassInfo>();
  c->name = name;
  c->super = super;
  c->isInterface = isInterface;
  ClassInfo* raw = c.get();
  s.classes[name] = std::move(c);
  return raw;
}

ClassInfo* needClass(State& s, const std::string& name) {
  ClassInfo* c = findClassInfo(s, name);
  if (!c) violation(s, "class " + name + " is not defined");
  return c;
}

// Converts test-side arguments for a method, checking them like a call would.
std::vector<Raw> argumentsFor(State& s, const MethodInfo* m, const std::vector<jvalue>& args) {
  std::vector<Raw> raw;
  if (args.size() != m->params.size()) {
    violation(s, m->owner->name + "." + m->name + m->sig + " given " + std::to_string(args.size()) + " arguments");
  }
  for (std::size_t i = 0; i < m->params.size(); ++i) {
    raw.push_back(i < args.size() ? fromJvalue(s, args[i], m->params[i][0], "argument") : zeroRaw());
  }
  return raw;
}

jvalue setMessage(Host& h, jobject self, const jvalue* args) {
  h.setField(self, "detailMessage", jObj(args ? args[0].l : nullptr));
  return jVoid();
}

void defineCoreClasses(Host& h) {
  State& s = h.state();
  ClassInfo* object = createClass(s, "java/lang/Object", nullptr, false);
  createClass(s, "java/lang/Class", object, false);
  ClassBuilder(h, object)
      .constructor("()V")
      .method("getClass", "()Ljava/lang/Class;",
              [](Host& host, jobject self, const jvalue*) {
                State& st = host.state();
                return jObj(newLocal(st, mirror(st, deref(st, self, false, "receiver")->cls)));
              })
      .method("hashCode", "()I",
              [](Host& host, jobject self, const jvalue*) {
                return jInt(static_cast<jint>(reinterpret_cast<std::uintptr_t>(deref(host.state(), self, false, "receiver")) >> 4));
              })
      .method("equals", "(Ljava/lang/Object;)Z",
              [](Host& host, jobject self, const jvalue* a) { return jBool(host.isSameObject(self, a[0].l)); })
      .method("toString", "()Ljava/lang/String;", [](Host& host, jobject self, const jvalue*) {
        std::string name = host.className(self);
        std::replace(name.begin(), name.end(), '/', '.');
        const jint hash = host.invoke(self, "hashCode", "()I").i;
        char buf[16];
        std::snprintf(buf, sizeof buf, "@%lx", static_cast<unsigned long>(hash));
        return jObj(host.newStringUtf8(name + buf));
      });

  auto dotted = [](Host& host, jobject self) {
    std::string name = deref(host.state(), self, false, "receiver")->classValue->name;
    std::replace(name.begin(), name.end(), '/', '.');
    return name;
  };
  ClassBuilder(h, findClassInfo(s, "java/lang/Class"))
      .method("getName", "()Ljava/lang/String;",
              [dotted](Host& host, jobject self, const jvalue*) { return jObj(host.newStringUtf8(dotted(host, self))); })
      .method("toString", "()Ljava/lang/String;", [dotted](Host& host, jobject self, const jvalue*) {
        const ClassInfo* c = deref(host.state(), self, false, "receiver")->classValue;
        return jObj(host.newStringUtf8((c->isInterface ? "interface " : "class ") + dotted(host, self)));
      });

  ClassBuilder(h, createClass(s, "java/lang/String", object, false))
      .constructor("()V")
      .method("length", "()I", [](Host& host, jobject self, const jvalue*) { return jInt(static_cast<jint>(host.str(self).size())); })
      .method("toString", "()Ljava/lang/String;", [](Host&, jobject self, const jvalue*) { return jObj(self); })
      .method("hashCode", "()I",
              [](Host& host, jobject self, const jvalue*) {
                std::uint32_t hash = 0;
                for (char16_t u : host.str(self)) hash = 31 * hash + u;
                return jInt(static_cast<jint>(static_cast<std::int32_t>(hash)));
              })
      .method("equals", "(Ljava/lang/Object;)Z", [](Host& host, jobject self, const jvalue* a) {
        State& st = host.state();
        return jBool(valueEquals(st, deref(st, self, false, "receiver"), deref(st, a[0].l, true, "argument")));
      });

  ClassInfo* throwable = createClass(s, "java/lang/Throwable", object, false);
  ClassBuilder(h, throwable)
      .field("detailMessage", "Ljava/lang/String;")
      .constructor("()V")
      .constructor("(Ljava/lang/String;)V", setMessage)
      .method("getMessage", "()Ljava/lang/String;",
              [](Host& host, jobject self, const jvalue*) { return host.field(self, "detailMessage"); })
      .method("toString", "()Ljava/lang/String;", [](Host& host, jobject self, const jvalue*) {
        std::string name = host.className(self);
        std::replace(name.begin(), name.end(), '/', '.');
        jobject msg = host.field(self, "detailMessage").l;
        return jObj(host.newStringUtf8(msg ? name + ": " + host.utf8(msg) : name));
      });

  const char* hierarchy[][2] = {
      {"java/lang/Exception", "java/lang/Throwable"},
      {"java/lang/Error", "java/lang/Throwable"},
      {"java/lang/RuntimeException", "java/lang/Exception"},
      {"java/lang/InstantiationException", "java/lang/Exception"},
      {"java/lang/LinkageError", "java/lang/Error"},
      {"java/lang/NoClassDefFoundError", "java/lang/LinkageError"},
      {"java/lang/IncompatibleClassChangeError", "java/lang/LinkageError"},
      {"java/lang/NoSuchFieldError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/NoSuchMethodError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/AbstractMethodError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/VirtualMachineError", "java/lang/Error"},
      {"java/lang/OutOfMemoryError", "java/lang/VirtualMachineError"},
      {"java/lang/IndexOutOfBoundsException", "java/lang/RuntimeException"},
      {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
      {"java/lang/StringIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
      {"java/lang/IllegalMonitorStateException", "java/lang/RuntimeException"},
      {"java/lang/NullPointerException", "java/lang/RuntimeException"},
      {"java/lang/ClassCastException", "java/lang/RuntimeException"},
      {"java/lang/IllegalArgumentException", "java/lang/RuntimeException"},
      {"java/lang/IllegalStateException", "java/lang/RuntimeException"},
      {"java/lang/ArrayStoreException", "java/lang/RuntimeException"},
      {"java/lang/NegativeArraySizeException", "java/lang/RuntimeException"},
      {"java/lang/UnsupportedOperationException", "java/lang/RuntimeException"},
      {"java/util/NoSuchElementException", "java/lang/RuntimeException"},
  };
  for (const auto& pair : hierarchy) h.defineClass(pair[0], pair[1]);

  ClassInfo* buffer = createClass(s, "java/nio/Buffer", object, false);
  ClassBuilder(h, buffer).method("capacity", "()I", [](Host& host, jobject self, const jvalue*) {
    return jInt(static_cast<jint>(deref(host.state(), self, false, "receiver")->capacity));
  });
  createClass(s, "java/nio/DirectByteBuffer", createClass(s, "java/nio/ByteBuffer", buffer, false), false);
}

}  // namespace

// ---------------------------------------------------------------- ClassBuilder

ClassBuilder& ClassBuilder::implements(const std::string& iface) {
  State& s = host_.state();
  HarnessScope scope;
  ClassInfo* i = needClass(s, iface);
  if (i && !i->isInterface) violation(s, cls_->name + " cannot implement class " + iface);
  if (i && i->isInterface) cls_->interfaces.push_back(i);
  return *this;
}

ClassBuilder& ClassBuilder::field(const std::string& name, const std::string& sig) {
  HarnessScope scope;
  auto f = std::make_unique<FieldInfo>();
  *f = FieldInfo{name, sig, cls_, false};
  host_.state().fieldIds.insert(f.get());
  cls_->fields.push_back(std::move(f));
  return *this;
}

ClassBuilder& ClassBuilder::staticField(const std::string& name, const std::string& sig, jvalue initial) {
  HarnessScope scope;
  State& s = host_.state();
  auto f = std::make_unique<FieldInfo>();
  *f = FieldInfo{name, sig, cls_, true};
  f->staticValue = fromJvalue(s, initial, sig[0], "initial value");
  s.fieldIds.insert(f.get());
  cls_->fields.push_back(std::move(f));
  return *this;
}

namespace {
void addMethod(State& s, ClassInfo* c, const std::string& name, const std::string& sig, bool isStatic, MethodFn body) {
  std::vector<std::string> params;
  std::string ret;
  if (!parseMethodSig(sig, params, ret)) {
    violation(s, "malformed method signature " + sig + " for " + c->name + "." + name);
    return;
  }
  for (auto& m : c->methods) {
    if (m->name == name && m->sig == sig) {
      m->isStatic = isStatic;
      m->body = std::move(body);
      return;
    }
  }
  auto m = std::make_unique<MethodInfo>();
  m->name = name;
  m->sig = sig;
  m->owner = c;
  m->isStatic = isStatic;
  m->body = std::move(body);
  m->params = std::move(params);
  m->ret = std::move(ret);
  s.methodIds.insert(m.get());
  c->methods.push_back(std::move(m));
}
}  // namespace

ClassBuilder& ClassBuilder::constructor(const std::string& sig, MethodFn body) {
  HarnessScope scope;
  if (!body) body = [](Host&, jobject, const jvalue*) { return jVoid(); };
  addMethod(host_.state(), cls_, "<init>", sig, false, std::move(body));
  return *this;
}

ClassBuilder& ClassBuilder::method(const std::string& name, const std::string& sig, MethodFn body) {
  HarnessScope scope;
  addMethod(host_.state(), cls_, name, sig, false, std::move(body));
  return *this;
}

ClassBuilder& ClassBuilder::abstractMethod(const std::string& name, const std::string& sig) {
  HarnessScope scope;
  addMethod(host_.state(), cls_, name, sig, false, {});
  return *this;
}

ClassBuilder& ClassBuilder::staticMethod(const std::string& name, const std::string& sig, MethodFn body) {
  HarnessScope scope;
  addMethod(host_.state(), cls_, name, sig, true, std::move(body));
  return *this;
}

ClassBuilder& ClassBuilder::testOnly() {
  cls_->testOnly = true;
  return *this;
}

jclass ClassBuilder::ref() const {
  HarnessScope scope;
  State& s = host_.state();
  return static_cast<jclass>(newLocal(s, mirror(s, cls_)));
}

// ---------------------------------------------------------------- Host

Host::Host() : s_(std::make_unique<State>()) {
  HarnessScope scope;
  State& s = *s_;
  s.host = this;
  s.block.state = &s;
  s.block.thread = std::this_thread::get_id();
  fillFunctionTable(s);
  s.block.env.functions = &s.table;
  s.block.vm.functions = &s.vmTable;
  // The making thread is attached and holds the lock until the host goes.
  lockHost(s, true);
  pushFrame(s, FrameKind::Base, std::numeric_limits<std::size_t>::max());
  defineCoreClasses(*this);
}

Host::~Host() {
  HarnessScope scope;
  reclaimRetired(*s_);
  s_.reset();
}

JNIEnv* Host::env() {
  EnvBlock* own = ownBlock(*s_);
  return own != nullptr ? &own->env : &s_->block.env;
}
JavaVM* Host::vm() { return &s_->block.vm; }

ClassBuilder Host::defineClass(const std::string& name, const std::string& super) {
  HarnessScope scope;
  State& s = *s_;
  ClassInfo* sup = needClass(s, super);
  if (sup && sup->isInterface) violation(s, name + " cannot extend interface " + super);
  if (s.classes.count(name)) {
    violation(s, "class " + name + " defined twice");
    return ClassBuilder(*this, s.classes[name].get());
  }
  ClassInfo* c = createClass(s, name, sup ? sup : findClassInfo(s, "java/lang/Object"), false);
  if (sup && isThrowable(s, sup)) {
    ClassBuilder(*this, c).constructor("()V").constructor("(Ljava/lang/String;)V", setMessage);
  }
  return ClassBuilder(*this, c);
}

ClassBuilder Host::defineInterface(const std::string& name) {
  HarnessScope scope;
  State& s = *s_;
  if (s.classes.count(name)) violation(s, "class " + name + " defined twice");
  // Object as the parent so lookups on an interface also find Object's methods.
  return ClassBuilder(*this, createClass(s, name, findClassInfo(s, "java/lang/Object"), true));
}

jclass Host::findClass(const std::string& name) {
  HarnessScope scope;
  ClassInfo* c = findClassInfo(*s_, name);
  return c ? static_cast<jclass>(newLocal(*s_, mirror(*s_, c))) : nullptr;
}

std::string Host::className(jobject obj) {
  HarnessScope scope;
  Object* o = deref(*s_, obj, false, "object");
  return o ? o->cls->name : std::string();
}

bool Host::isInstanceOf(jobject obj, const std::string& cls) {
  HarnessScope scope;
  Object* o = deref(*s_, obj, false, "object");
  ClassInfo* c = needClass(*s_, cls);
  return o && c && isAssignable(o->cls, c);
}

jobject Host::newObject(const std::string& cls, const std::string& ctorSig, const std::vector<jvalue>& args) {
  HarnessScope scope;
  State& s = *s_;
  ClassInfo* c = needClass(s, cls);
  if (!c) return nullptr;
  const MethodInfo* ctor = findMethod(c, "<init>", ctorSig, false);
  if (!ctor) {
    violation(s, cls + " has no constructor " + ctorSig);
    return nullptr;
  }
  std::vector<Raw> raw = argumentsFor(s, ctor, args);
  Object* o = allocate(s, c);
  invokeBody(s, ctor, o, raw.data());
  return s.pending ? nullptr : newLocal(s, o);
}

jstring Host::newString(std::u16string_view text) {
  HarnessScope scope;
  return static_cast<jstring>(newLocal(*s_, makeString(*s_, std::u16string(text))));
}

jstring Host::newStringUtf8(std::string_view text) { return newString(fromUtf8(text)); }

jobjectArray Host::newObjectArray(const std::string& elemCls, const std::vector<jobject>& elems) {
  HarnessScope scope;
  State& s = *s_;
  ClassInfo* c = needClass(s, elemCls);
  if (!c) return nullptr;
  Object* a = makeObjArray(s, c, static_cast<jsize>(elems.size()));
  for (std::size_t i = 0; i < elems.size(); ++i) a->items[i] = deref(s, elems[i], true, "element");
  return static_cast<jobjectArray>(newLocal(s, a));
}

namespace {
template <typename T> constexpr char primSig() {
  if constexpr (std::is_same_v<T, jboolean>) return 'Z';
  else if constexpr (std::is_same_v<T, jbyte>) return 'B';
  else if constexpr (std::is_same_v<T, jchar>) return 'C';
  else if constexpr (std::is_same_v<T, jshort>) return 'S';
  else if constexpr (std::is_same_v<T, jint>) return 'I';
  else if constexpr (std::is_same_v<T, jlong>) return 'J';
  else if constexpr (std::is_same_v<T, jfloat>) return 'F';
  else return 'D';
}
}  // namespace

template <typename T> typename ArrayOf<T>::type Host::newArray(const std::vector<T>& elems) {
  HarnessScope scope;
  Object* a = makePrimArray(*s_, primSig<T>(), static_cast<jsize>(elems.size()));
  if (!elems.empty()) std::memcpy(a->prim.data(), elems.data(), elems.size() * sizeof(T));
  return static_cast<typename ArrayOf<T>::type>(newLocal(*s_, a));
}

template <typename T> std::vector<T> Host::arrayContents(jarray arr) {
  HarnessScope scope;
  Object* a = deref(*s_, arr, false, "array");
  if (!a) return {};
  if (a->kind != Kind::PrimArray || a->elem != primSig<T>()) {
    violation(*s_, "arrayContents<" + std::string(1, primSig<T>()) + "> of " + describe(a));
    return {};
  }
  std::vector<T> out(static_cast<std::size_t>(a->length));
  if (!out.empty()) std::memcpy(out.data(), a->prim.data(), out.size() * sizeof(T));
  return out;
}

#define JNIHOST_ARRAY_HELPERS(T)                                                 \
  template typename ArrayOf<T>::type Host::newArray<T>(const std::vector<T>&); \
  template std::vector<T> Host::arrayContents<T>(jarray);
JNIHOST_ARRAY_HELPERS(jboolean)
JNIHOST_ARRAY_HELPERS(jbyte)
JNIHOST_ARRAY_HELPERS(jchar)
JNIHOST_ARRAY_HELPERS(jshort)
JNIHOST_ARRAY_HELPERS(jint)
JNIHOST_ARRAY_HELPERS(jlong)
JNIHOST_ARRAY_HELPERS(jfloat)
JNIHOST_ARRAY_HELPERS(jdouble)
#undef JNIHOST_ARRAY_HELPERS

std::vector<jobject> Host::objectArrayContents(jobjectArray arr) {
  HarnessScope scope;
  Object* a = deref(*s_, arr, false, "array");
  if (a && a->kind != Kind::ObjArray) violation(*s_, "objectArrayContents of " + describe(a));
  return elements(arr);
}

jobject Host::newInteger(jint v) { return newObject("java/lang/Integer", "(I)V", {jInt(v)}); }

std::u16string Host::str(jobject obj) {
  HarnessScope scope;
  Object* o = deref(*s_, obj, false, "string");
  if (o && o->kind != Kind::String) violation(*s_, "str() of " + describe(o));
  return o ? o->str : std::u16string();
}

std::string Host::utf8(jobject obj) { return toUtf8(str(obj)); }

bool Host::isSameObject(jobject a, jobject b) {
  HarnessScope scope;
  return deref(*s_, a, true, "object") == deref(*s_, b, true, "object");
}

jvalue Host::field(jobject obj, const std::string& name) {
  HarnessScope scope;
  Object* o = deref(*s_, obj, false, "object");
  const FieldInfo* f = o ? findField(o->cls, name, "", false) : nullptr;
  if (!f) {
    if (o) violation(*s_, "no field " + name + " in " + o->cls->name);
    return jVoid();
  }
  return toJvalue(*s_, o->fields[f], f->sig[0]);
}

void Host::setField(jobject obj, const std::string& name, jvalue v) {
  HarnessScope scope;
  Object* o = deref(*s_, obj, false, "object");
  const FieldInfo* f = o ? findField(o->cls, name, "", false) : nullptr;
  if (!f) {
    if (o) violation(*s_, "no field " + name + " in " + o->cls->name);
    return;
  }
  Raw r = fromJvalue(*s_, v, f->sig[0], "value");
  if (!fitsType(*s_, r.o, f->sig)) violation(*s_, describe(r.o) + " stored in field " + name + " " + f->sig);
  o->fields[f] = r;
}

jvalue Host::staticField(const std::string& cls, const std::string& name) {
  HarnessScope scope;
  ClassInfo* c = needClass(*s_, cls);
  const FieldInfo* f = c ? findField(c, name, "", true) : nullptr;
  if (!f) {
    if (c) violation(*s_, "no static field " + name + " in " + cls);
    return jVoid();
  }
  return toJvalue(*s_, f->staticValue, f->sig[0]);
}

void Host::setStaticField(const std::string& cls, const std::string& name, jvalue v) {
  HarnessScope scope;
  ClassInfo* c = needClass(*s_, cls);
  const FieldInfo* f = c ? findField(c, name, "", true) : nullptr;
  if (!f) {
    if (c) violation(*s_, "no static field " + name + " in " + cls);
    return;
  }
  const_cast<FieldInfo*>(f)->staticValue = fromJvalue(*s_, v, f->sig[0], "value");
}

jvalue Host::invoke(jobject obj, const std::string& name, const std::string& sig, const std::vector<jvalue>& args) {
  HarnessScope scope;
  State& s = *s_;
  Object* o = deref(s, obj, false, "receiver");
  const MethodInfo* m = o ? findMethod(o->cls, name, sig, false) : nullptr;
  if (!m) {
    if (o) violation(s, "no method " + name + sig + " in " + o->cls->name);
    return jVoid();
  }
  std::vector<Raw> raw = argumentsFor(s, m, args);
  const MethodInfo* impl = resolveVirtual(o->cls, m);
  Raw r = invokeBody(s, impl ? impl : m, o, raw.data());
  return toJvalue(s, r, m->ret[0]);
}

jvalue Host::invokeStatic(const std::string& cls, const std::string& name, const std::string& sig,
                          const std::vector<jvalue>& args) {
  HarnessScope scope;
  State& s = *s_;
  ClassInfo* c = needClass(s, cls);
  const MethodInfo* m = c ? findMethod(c, name, sig, true) : nullptr;
  if (!m) {
    if (c) violation(s, "no static method " + name + sig + " in " + cls);
    return jVoid();
  }
  std::vector<Raw> raw = argumentsFor(s, m, args);
  return toJvalue(s, invokeBody(s, m, nullptr, raw.data()), m->ret[0]);
}

std::vector<jobject> Host::elements(jobject collection) {
  HarnessScope scope;
  std::vector<jobject> out;
  Object* o = deref(*s_, collection, false, "collection");
  if (!o) return out;
  for (Object* item : o->items) out.push_back(newLocal(*s_, item));
  return out;
}

std::vector<std::u16string> Host::stringElements(jobject collection) {
  std::vector<std::u16string> out;
  for (jobject e : elements(collection)) out.push_back(str(e));
  return out;
}

std::vector<std::pair<jobject, jobject>> Host::mapEntries(jobject map) {
  HarnessScope scope;
  std::vector<std::pair<jobject, jobject>> out;
  Object* o = deref(*s_, map, false, "map");
  if (!o) return out;
  for (std::size_t i = 0; i < o->items.size() && i < o->values.size(); ++i) {
    out.emplace_back(newLocal(*s_, o->items[i]), newLocal(*s_, o->values[i]));
  }
  return out;
}

bool Host::exceptionPending() const { return s_->pending != nullptr; }

jthrowable Host::exception() {
  HarnessScope scope;
  return static_cast<jthrowable>(newLocal(*s_, s_->pending));
}

std::string Host::exceptionClass() { return s_->pending ? s_->pending->cls->name : std::string(); }

std::optional<std::u16string> Host::exceptionMessage() {
  HarnessScope scope;
  return s_->pending ? messageOf(*s_, s_->pending) : std::nullopt;
}

std::string Host::exceptionMessageUtf8() {
  std::optional<std::u16string> m = exceptionMessage();
  return m ? toUtf8(*m) : std::string();
}

jint Host::exceptionIntField(const std::string& name) {
  HarnessScope scope;
  Object* t = s_->pending;
  const FieldInfo* f = t ? findField(t->cls, name, "I", false) : nullptr;
  if (!f) {
    violation(*s_, "no pending exception with int field " + name);
    return 0;
  }
  return t->fields[f].i;
}

void Host::clearException() { s_->pending = nullptr; }

void Host::throwNew(const std::string& cls, std::optional<std::u16string> msg) {
  HarnessScope scope;
  ClassInfo* c = needClass(*s_, cls);
  if (!c) return;
  s_->pending = nullptr;
  if (Object* t = newThrowable(*s_, c, msg)) s_->pending = t;
}

bool Host::monitorHeld(jobject obj) {
  HarnessScope scope;
  Object* o = deref(*s_, obj, false, "object");
  return o && o->monitor > 0;
}

void Host::setCopyElements(bool on) { s_->copyElements = on; }
void Host::setGuardPages(bool on) { s_->guardPages = on; }
void Host::failNextPushLocalFrame() { s_->failPush = true; }
void Host::failNextEnsureLocalCapacity() { s_->failEnsure = true; }
void Host::failNextMonitorEnter() { s_->failMonitorEnter = true; }
void Host::failNextMonitorExit() { s_->failMonitorExit = true; }
void Host::allowRetainedGlobalRefs(bool on) { s_->allowGlobals = on; }
void Host::setPlain(bool on) {
  s_->plain = on;
  s_->guardPages = !on;
}
bool Host::plain() const { return s_->plain; }
const std::vector<unsigned char>& Host::lastReleasedCopy() const { return s_->lastReleasedCopy; }

std::size_t Host::lastCallPeakLocalRefs() const { return s_->peak; }
const std::vector<std::string>& Host::lastCallJniFunctions() const { return s_->nativeJniCalls; }
const std::vector<std::string>& Host::violations() const { return s_->violations; }
void Host::clearViolations() {
  HarnessScope scope;
  s_->violations.clear();
}
void Host::addViolation(const std::string& text) {
  HarnessScope scope;
  s_->violations.push_back(text);
}

void Host::recordLookups(bool on) { s_->recordLookups = on; }
bool Host::recordingLookups() const { return s_->recordLookups; }
std::vector<Lookup> Host::lookups() const {
  HarnessScope scope;
  return std::vector<Lookup>(s_->lookups.begin(), s_->lookups.end());
}

void Host::addObserver(testsupport::CallObserver* o) {
  HarnessScope scope;
  s_->observers.push_back(o);
}
void Host::removeObserver(testsupport::CallObserver* o) {
  HarnessScope scope;
  auto& v = s_->observers;
  v.erase(std::remove(v.begin(), v.end(), o), v.end());
}

// ---------------------------------------------------------------- calls

void Host::beginCall() {
  HarnessScope scope;
  State& s = *s_;
  if (s.pending) violation(s, "native called with " + describe(s.pending) + " pending");
  if (s.calls.empty()) s.peak = s.countedLive;
  if (s.calls.empty()) s.nativeJniCalls.clear();
  pushFrame(s, FrameKind::Native, 16);
  s.calls.push_back(CallRecord{s.frames.size() - 1, {}, {}});
  if (s.calls.size() == 1) s.callSerial = ++s.callsMade;
  if (!s.observers.empty()) s.calls.back().javaHandlesAtStart = javaHandles(s, nullptr, nullptr);
}

jobject Host::argumentRef(jobject a) {
  HarnessScope scope;
  State& s = *s_;
  // Arguments do not use up the native's own capacity, as in the JVM.
  return newLocalIn(s, s.calls.back().nativeFrame, deref(s, a, true, "argument"), false);
}

// The native runs without the host's lock, which it takes again in each JNI call.
int Host::enterNative() {
  int& depth = testsupport::harnessDepth();
  const int saved = depth;
  depth = 0;
  for (testsupport::CallObserver* o : s_->observers) o->onCallStart();
  // A plain host serves one thread and keeps the lock.
  if (!s_->plain) {
    depth = 1;
    // Kept with the thread's fields, which are resident again once it has the lock back.
    const int held = s_->lockDepth;
    s_->lockDepthsGivenUp.push_back(held);
    unlockHostFully(*s_);
    depth = 0;
  }
  return saved;
}

void Host::leaveNative(int savedDepth) {
  if (!s_->plain) {
    testsupport::harnessDepth() = savedDepth + 1;
    lockHost(*s_);
    const int held = s_->lockDepthsGivenUp.back();
    s_->lockDepthsGivenUp.pop_back();
    setLockDepth(*s_, held);
  }
  testsupport::harnessDepth() = savedDepth;
}

jobject Host::endCall(jobject result, const std::uint64_t* longResult) {
  HarnessScope scope;
  State& s = *s_;
  const bool outermost = s.calls.size() == 1;
  // The buffers' own memory gets what the native wrote before anyone looks at it.
  if (outermost) endShadows(s);
  Object* out = deref(s, result, true, "reference returned by the native");
  if (!s.observers.empty()) {
    testsupport::CallEnd end;
    end.javaHandles = javaHandles(s, out, longResult);
    end.javaHandlesAtStart = std::move(s.calls.back().javaHandlesAtStart);
    std::vector<std::string> found;
    for (testsupport::CallObserver* o : s.observers) o->onCallEnd(end, found);
    for (std::string& f : found) s.violations.push_back(std::move(f));
  }
  const CallRecord rec = s.calls.back();
  const int depth = static_cast<int>(s.calls.size());

  const std::size_t extra = s.frames.size() - 1 - rec.nativeFrame;
  if (extra) violation(s, "native returned with " + std::to_string(extra) + " local frame(s) pushed and not popped");

  for (auto it = s.pins.begin(); it != s.pins.end();) {
    if (it->depth != depth) {
      ++it;
      continue;
    }
    static const char* const getters[] = {"Get<Type>ArrayElements", "GetStringChars", "GetStringUTFChars",
                                          "GetPrimitiveArrayCritical", "GetStringCritical"};
    violation(s, std::string(getters[static_cast<int>(it->what)]) + " of " + describe(it->obj) + " never released");
    if (it->what == Pin::ArrayCritical || it->what == Pin::StringCritical) --s.criticalDepth;
    if (it->copy) retire(s, *it->copy);
    it = s.pins.erase(it);
  }
  for (auto it = s.monitors.begin(); it != s.monitors.end();) {
    if (it->second != depth) {
      ++it;
      continue;
    }
    violation(s, "monitor of " + describe(it->first) + " still held when the native returned");
    --it->first->monitor;
    it = s.monitors.erase(it);
  }
  if (!s.allowGlobals) {
    for (std::uintptr_t key : rec.globals) {
      const RefEntry& e = s.refs.at(key);
      if (e.alive) {
        violation(s, std::string(e.type == JNIWeakGlobalRefType ? "weak global" : "global") + " reference to " +
                         describe(e.obj) + " made during the call is still alive");
      }
    }
  }
  while (s.frames.size() > rec.nativeFrame) popFrame(s);
  s.calls.pop_back();
  if (outermost) reclaimRetired(s);
  for (std::string& f : testsupport::guard::takeFaults()) s.violations.push_back(std::move(f));
  return newLocal(s, out);
}

}  // namespace jnihost
