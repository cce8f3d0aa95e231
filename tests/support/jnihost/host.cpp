#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "guard_pages.h"
#include "harness_scope.h"
#include "host_state.h"

namespace jnihost::detail {

namespace {

jobject handleOf(std::uintptr_t id) { return reinterpret_cast<jobject>((id << 4) | 0x8); }
std::uintptr_t keyOf(jobject h) { return reinterpret_cast<std::uintptr_t>(h); }

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

bool isPrimitive(char c) { return std::strchr("ZBCSIJFD", c) != nullptr && c != 0; }

// Length of the field descriptor at sig[pos], 0 when malformed.
std::size_t descriptorLength(const std::string& sig, std::size_t pos) {
  std::size_t i = pos;
  while (i < sig.size() && sig[i] == '[') ++i;
  if (i >= sig.size()) return 0;
  if (isPrimitive(sig[i])) return i + 1 - pos;
  if (sig[i] != 'L') return 0;
  const std::size_t end = sig.find(';', i);
  if (end == std::string::npos || end == i + 1) return 0;
  return end + 1 - pos;
}

}  // namespace

void violation(State& s, const std::string& text) {
  std::string line = s.currentFn.empty() ? text : s.currentFn + ": " + text;
  s.violations.push_back(std::move(line));
}

std::string describe(const Object* o) {
  if (!o) return "null";
  switch (o->kind) {
    case Kind::String: return "String \"" + toUtf8(o->str) + "\"";
    case Kind::Class: return "class " + o->classValue->name;
    default: return "instance of " + o->cls->name;
  }
}

ClassInfo* findClassInfo(State& s, const std::string& name) {
  auto it = s.classes.find(name);
  if (it != s.classes.end()) return it->second.get();
  if (name.size() < 2 || name[0] != '[' || descriptorLength(name, 1) != name.size() - 1) return nullptr;
  const std::string comp = name.substr(1);
  ClassInfo* compClass = nullptr;
  if (comp.size() > 1) {
    compClass = classForDescriptor(s, comp);
    if (!compClass) return nullptr;
  }
  auto c = std::make_unique<ClassInfo>();
  c->name = name;
  c->super = findClassInfo(s, "java/lang/Object");
  c->component = comp;
  c->componentClass = compClass;
  ClassInfo* raw = c.get();
  s.classes[name] = std::move(c);
  return raw;
}

ClassInfo* classForDescriptor(State& s, const std::string& desc) {
  if (desc.size() > 2 && desc[0] == 'L' && desc.back() == ';') return findClassInfo(s, desc.substr(1, desc.size() - 2));
  if (!desc.empty() && desc[0] == '[') return findClassInfo(s, desc);
  return nullptr;
}

bool isAssignable(const ClassInfo* from, const ClassInfo* to) {
  if (!from || !to) return false;
  if (from == to || to->name == "java/lang/Object") return true;
  if (!from->component.empty()) {
    if (to->component.empty()) return false;
    if (from->componentClass && to->componentClass) return isAssignable(from->componentClass, to->componentClass);
    return from->component == to->component;
  }
  for (const ClassInfo* c = from; c; c = c->super) {
    if (c == to) return true;
    for (const ClassInfo* i : c->interfaces) {
      if (isAssignable(i, to)) return true;
    }
  }
  return false;
}

bool isThrowable(State& s, const ClassInfo* c) { return isAssignable(c, findClassInfo(s, "java/lang/Throwable")); }

Object* allocate(State& s, ClassInfo* cls, Kind kind) {
  auto o = std::make_unique<Object>();
  o->cls = cls;
  o->kind = kind;
  o->bornInCall = s.calls.empty() ? 0 : s.callSerial;
  Object* raw = o.get();
  s.objects.push_back(std::move(o));
  return raw;
}

Object* mirror(State& s, ClassInfo* c) {
  if (!c->mirror) {
    c->mirror = allocate(s, findClassInfo(s, "java/lang/Class"), Kind::Class);
    c->mirror->classValue = c;
  }
  return c->mirror;
}

Object* makeString(State& s, std::u16string text) {
  Object* o = allocate(s, findClassInfo(s, "java/lang/String"), Kind::String);
  o->str = std::move(text);
  return o;
}

std::size_t elemSize(char elem) {
  switch (elem) {
    case 'Z': case 'B': return 1;
    case 'C': case 'S': return 2;
    case 'I': case 'F': return 4;
    default: return 8;
  }
}

Object* makePrimArray(State& s, char elem, jsize length) {
  Object* o = allocate(s, findClassInfo(s, std::string("[") + elem), Kind::PrimArray);
  o->elem = elem;
  o->length = length;
  // Even a zero-length array has an address to hand out.
  o->prim.allocate(static_cast<std::size_t>(length) * elemSize(elem), elemSize(elem), s.guardPages,
                   "storage of " + describe(o));
  return o;
}

Object* makeObjArray(State& s, ClassInfo* elemCls, jsize length) {
  const std::string desc = elemCls->name[0] == '[' ? elemCls->name : "L" + elemCls->name + ";";
  Object* o = allocate(s, findClassInfo(s, "[" + desc), Kind::ObjArray);
  o->items.assign(static_cast<std::size_t>(length), nullptr);
  return o;
}

// ---------------------------------------------------------------- memory handed to natives

void Storage::allocate(std::size_t size, std::size_t alignment, bool guarded, std::string label) {
  reset();
  if (guarded) {
    data_ = static_cast<unsigned char*>(
        testsupport::guard::allocate(size, testsupport::guard::Contents::Zero, std::move(label), alignment));
    guarded_ = data_ != nullptr;
  }
  if (data_ == nullptr) data_ = new unsigned char[std::max<std::size_t>(size, 1)]();
  size_ = size;
}

unsigned char* Storage::take() {
  unsigned char* p = data_;
  data_ = nullptr;
  size_ = 0;
  guarded_ = false;
  return p;
}

void Storage::reset() {
  if (data_ == nullptr) return;
  if (guarded_) {
    testsupport::guard::discard(data_);
  } else {
    delete[] data_;
  }
  take();
}

void retire(State& s, Storage& storage) {
  if (!storage.guarded()) {
    storage.reset();
    return;
  }
  unsigned char* p = storage.take();
  testsupport::guard::release(p);
  s.retired.push_back(p);
}

void reclaimRetired(State& s) {
  for (void* p : s.retired) testsupport::guard::reclaim(p);
  s.retired.clear();
}

unsigned char* stringUnits(State& s, Object* str) {
  if (str->chars.empty()) {
    const std::size_t bytes = (str->str.size() + 1) * sizeof(char16_t);
    str->chars.allocate(bytes, sizeof(char16_t), s.guardPages, "characters of " + describe(str));
    std::memcpy(str->chars.data(), str->str.c_str(), bytes);
  }
  return str->chars.data();
}

void* shadowOf(State& s, Object* buffer) {
  for (const Shadow& sh : s.shadows) {
    if (sh.buffer == buffer) return sh.memory->data();
  }
  const auto capacity = static_cast<std::size_t>(buffer->capacity);
  testsupport::guard::BlockInfo own;
  if (testsupport::guard::find(buffer->address, &own) && !own.released && own.size == capacity) return buffer->address;
  auto memory = std::make_unique<Storage>();
  memory->allocate(capacity, testsupport::guard::kAlignment, true,
                   "memory of a direct buffer of " + std::to_string(capacity) + " bytes at 0x" + hex(buffer->address));
  if (capacity > 0) std::memcpy(memory->data(), buffer->address, capacity);
  void* p = memory->data();
  s.shadows.push_back(Shadow{buffer, std::move(memory)});
  return p;
}

void endShadows(State& s) {
  for (Shadow& sh : s.shadows) {
    if (sh.buffer->capacity > 0) {
      std::memcpy(sh.buffer->address, sh.memory->data(), static_cast<std::size_t>(sh.buffer->capacity));
    }
    retire(s, *sh.memory);
  }
  s.shadows.clear();
}

std::vector<std::uint64_t> javaHandles(State& s, Object* result, const std::uint64_t* longResult) {
  // What existed before the call is Java's; of what the call made, only what is
  // reachable from that, the result, the pending exception or a static field.
  std::vector<std::uint64_t> out;
  if (longResult != nullptr) out.push_back(*longResult);
  const bool inCall = !s.calls.empty();
  auto isNew = [&](const Object* o) { return inCall && o->bornInCall == s.callSerial; };
  std::unordered_set<const Object*> seen;
  std::vector<const Object*> work;
  auto reach = [&](const Object* o) {
    if (o != nullptr && isNew(o) && seen.insert(o).second) work.push_back(o);
  };
  auto scan = [&](const Object* o) {
    for (const auto& [f, v] : o->fields) {
      if (f->name == "_handle" && f->sig == "J") {
        out.push_back(static_cast<std::uint64_t>(v.j));
      } else if (f->sig[0] == 'L' || f->sig[0] == '[') {
        reach(v.o);
      }
    }
    for (const Object* item : o->items) reach(item);
    for (const Object* value : o->values) reach(value);
    reach(o->source);
  };
  for (const auto& o : s.objects) {
    if (!isNew(o.get())) scan(o.get());
  }
  reach(result);
  reach(s.pending);
  for (const auto& [name, c] : s.classes) {
    for (const auto& f : c->fields) {
      if (f->isStatic && (f->sig[0] == 'L' || f->sig[0] == '[')) reach(f->staticValue.o);
    }
  }
  while (!work.empty()) {
    const Object* o = work.back();
    work.pop_back();
    scan(o);
  }
  return out;
}

bool isTestOnly(const ClassInfo* c) {
  for (; c != nullptr; c = c->componentClass) {
    if (c->testOnly) return true;
  }
  return false;
}

void recordLookup(State& s, Lookup lookup) {
  if (s.recordLookups) s.lookups.insert(std::move(lookup));
}

// ---------------------------------------------------------------- handles

jobject newLocalIn(State& s, std::size_t frame, Object* o, bool counted) {
  if (!o) return nullptr;
  const std::uintptr_t key = keyOf(handleOf(s.nextRef++));
  Frame& f = s.frames[frame];
  RefEntry e{o, JNILocalRefType};
  e.thread = std::this_thread::get_id();
  e.counted = counted && f.counted;
  e.frame = frame;
  s.refs.emplace(key, e);
  f.refs.push_back(key);
  if (e.counted) {
    ++f.live;
    ++s.countedLive;
    s.peak = std::max(s.peak, s.countedLive);
    if (f.live > f.capacity && !f.warned) {
      f.warned = true;
      violation(s, std::to_string(f.live) + " local references live in a frame with capacity " +
                       std::to_string(f.capacity) + " (reserve with EnsureLocalCapacity/PushLocalFrame)");
    }
  }
  return reinterpret_cast<jobject>(key);
}

jobject newLocal(State& s, Object* o) { return newLocalIn(s, s.frames.size() - 1, o, true); }

jobject newGlobal(State& s, Object* o, jobjectRefType type) {
  if (!o) return nullptr;
  const std::uintptr_t key = keyOf(handleOf(s.nextRef++));
  RefEntry e{o, type};
  s.refs.emplace(key, e);
  if (!s.calls.empty()) s.calls.back().globals.push_back(key);
  return reinterpret_cast<jobject>(key);
}

RefEntry* findRef(State& s, jobject h) {
  auto it = s.refs.find(keyOf(h));
  return it == s.refs.end() ? nullptr : &it->second;
}

Object* deref(State& s, jobject h, bool allowNull, const char* what) {
  if (!h) {
    if (!allowNull) violation(s, std::string("null ") + what);
    return nullptr;
  }
  RefEntry* e = findRef(s, h);
  if (!e) {
    violation(s, std::string(what) + " " + hex(h) + " is not a reference");
    return nullptr;
  }
  if (!e->alive) {
    violation(s, std::string(what) + " " + hex(h) + " used after " + e->death);
    return nullptr;
  }
  if (e->type == JNILocalRefType && e->thread != std::this_thread::get_id()) {
    violation(s, std::string(what) + " " + hex(h) + " is a local reference of another thread");
    return nullptr;
  }
  return e->obj;
}

void killRef(State& s, std::uintptr_t key, const char* reason) {
  auto it = s.refs.find(key);
  if (it == s.refs.end()) return;  // a local ref a plain host already forgot
  RefEntry& e = it->second;
  if (!e.alive) return;
  e.alive = false;
  e.death = reason;
  if (e.counted) {
    --s.frames[e.frame].live;
    --s.countedLive;
  }
  // Nothing in a plain host asks after dead local refs; keeping them would grow without bound.
  if (s.plain && e.type == JNILocalRefType) s.refs.erase(it);
}

void pushFrame(State& s, FrameKind kind, std::size_t capacity) {
  bool counted = kind == FrameKind::Native;
  if (kind == FrameKind::Pushed) counted = s.frames.back().counted;
  Frame f{kind, counted, capacity, 0, {}, false};
  s.frames.push_back(std::move(f));
}

void popFrame(State& s) {
  for (std::uintptr_t key : s.frames.back().refs) killRef(s, key, "its local frame was popped");
  s.frames.pop_back();
}

// ---------------------------------------------------------------- members

const FieldInfo* findField(const ClassInfo* c, const std::string& name, const std::string& sig, bool isStatic) {
  for (; c; c = c->super) {
    for (const auto& f : c->fields) {
      if (f->name == name && (sig.empty() || f->sig == sig) && f->isStatic == isStatic) return f.get();
    }
    if (isStatic) {
      for (const ClassInfo* i : c->interfaces) {
        if (const FieldInfo* f = findField(i, name, sig, true)) return f;
      }
    }
  }
  return nullptr;
}

namespace {
const MethodInfo* ownMethod(const ClassInfo* c, const std::string& name, const std::string& sig, bool isStatic,
                            bool needBody) {
  for (const auto& m : c->methods) {
    if (m->name == name && m->sig == sig && m->isStatic == isStatic && (!needBody || m->body)) return m.get();
  }
  return nullptr;
}

const MethodInfo* interfaceMethod(const ClassInfo* c, const std::string& name, const std::string& sig,
                                  bool needBody) {
  for (; c; c = c->super) {
    for (const ClassInfo* i : c->interfaces) {
      if (const MethodInfo* m = ownMethod(i, name, sig, false, needBody)) return m;
      if (const MethodInfo* m = interfaceMethod(i, name, sig, needBody)) return m;
    }
  }
  return nullptr;
}
}  // namespace

const MethodInfo* findMethod(const ClassInfo* c, const std::string& name, const std::string& sig, bool isStatic) {
  if (name == "<init>") return isStatic ? nullptr : ownMethod(c, name, sig, false, false);
  for (const ClassInfo* k = c; k; k = k->super) {
    if (const MethodInfo* m = ownMethod(k, name, sig, isStatic, false)) return m;
  }
  return isStatic ? nullptr : interfaceMethod(c, name, sig, false);
}

const MethodInfo* resolveVirtual(const ClassInfo* runtime, const MethodInfo* m) {
  if (m->isStatic || m->name == "<init>") return m;
  for (const ClassInfo* k = runtime; k; k = k->super) {
    if (const MethodInfo* impl = ownMethod(k, m->name, m->sig, false, true)) return impl;
  }
  return interfaceMethod(runtime, m->name, m->sig, true);
}

bool parseMethodSig(const std::string& sig, std::vector<std::string>& params, std::string& ret) {
  params.clear();
  if (sig.empty() || sig[0] != '(') return false;
  std::size_t i = 1;
  while (i < sig.size() && sig[i] != ')') {
    const std::size_t n = descriptorLength(sig, i);
    if (!n) return false;
    params.push_back(sig.substr(i, n));
    i += n;
  }
  if (i >= sig.size()) return false;
  ret = sig.substr(i + 1);
  return ret == "V" || (!ret.empty() && descriptorLength(ret, 0) == ret.size());
}

bool fitsType(State& s, Object* o, const std::string& desc) {
  if (!o) return true;
  const ClassInfo* t = classForDescriptor(s, desc);
  return !t || isAssignable(o->cls, t);
}

jvalue toJvalue(State& s, Raw r, char type) {
  jvalue v = jVoid();
  switch (type) {
    case 'Z': v.z = r.z; break;
    case 'B': v.b = r.b; break;
    case 'C': v.c = r.c; break;
    case 'S': v.s = r.s; break;
    case 'I': v.i = r.i; break;
    case 'J': v.j = r.j; break;
    case 'F': v.f = r.f; break;
    case 'D': v.d = r.d; break;
    case 'L': case '[': v.l = newLocal(s, r.o); break;
    default: break;
  }
  return v;
}

Raw fromJvalue(State& s, jvalue v, char type, const char* what) {
  Raw r = zeroRaw();
  switch (type) {
    case 'Z': r.z = v.z; break;
    case 'B': r.b = v.b; break;
    case 'C': r.c = v.c; break;
    case 'S': r.s = v.s; break;
    case 'I': r.i = v.i; break;
    case 'J': r.j = v.j; break;
    case 'F': r.f = v.f; break;
    case 'D': r.d = v.d; break;
    case 'L': case '[': r.o = deref(s, v.l, true, what); break;
    default: break;
  }
  return r;
}

Raw invokeBody(State& s, const MethodInfo* m, Object* self, const Raw* args) {
  const std::string where = m->owner->name + "." + m->name + m->sig;
  if (!m->body) {
    if (m->name != "<init>") raise(s, "java/lang/AbstractMethodError", fromUtf8(where));
    return zeroRaw();
  }
  const std::size_t base = s.frames.size();
  pushFrame(s, FrameKind::Java, std::numeric_limits<std::size_t>::max());
  std::string savedFn;
  savedFn.swap(s.currentFn);
  jobject selfRef = newLocal(s, self ? self : mirror(s, m->owner));
  std::vector<jvalue> jargs;
  for (std::size_t i = 0; i < m->params.size(); ++i) jargs.push_back(toJvalue(s, args[i], m->params[i][0]));
  jvalue result = jVoid();
  try {
    testsupport::HarnessScope scope;
    result = m->body(*s.host, selfRef, jargs.data());
  } catch (...) {
    violation(s, "body of " + where + " threw a C++ exception");
  }
  Raw out = zeroRaw();
  if (!s.pending && m->ret != "V") {
    out = fromJvalue(s, result, m->ret[0], "result of method body");
    if (!fitsType(s, out.o, m->ret) && (m->ret[0] == 'L' || m->ret[0] == '[')) {
      violation(s, "body of " + where + " returned " + describe(out.o));
      out = zeroRaw();
    }
  }
  while (s.frames.size() > base) popFrame(s);
  s.currentFn.swap(savedFn);
  return out;
}

namespace {
const FieldInfo* messageField(State& s) {
  return findField(findClassInfo(s, "java/lang/Throwable"), "detailMessage", "Ljava/lang/String;", false);
}
}  // namespace

void raise(State& s, const std::string& cls, const std::optional<std::u16string>& msg) {
  ClassInfo* c = findClassInfo(s, cls);
  if (!c) {
    violation(s, "host cannot raise undefined " + cls);
    c = findClassInfo(s, "java/lang/RuntimeException");
  }
  Object* t = allocate(s, c);
  t->fields[messageField(s)].o = msg ? makeString(s, *msg) : nullptr;
  s.pending = t;
}

std::optional<std::u16string> messageOf(State& s, Object* throwable) {
  auto it = throwable->fields.find(messageField(s));
  if (it == throwable->fields.end() || !it->second.o) return std::nullopt;
  return it->second.o->str;
}

Object* newThrowable(State& s, ClassInfo* c, const std::optional<std::u16string>& msg) {
  const MethodInfo* ctor = findMethod(c, "<init>", "(Ljava/lang/String;)V", false);
  if (!ctor) {
    raise(s, "java/lang/NoSuchMethodError", fromUtf8(c->name + ".<init>(Ljava/lang/String;)V"));
    return nullptr;
  }
  Object* t = allocate(s, c);
  Raw arg;
  arg.o = msg ? makeString(s, *msg) : nullptr;
  invokeBody(s, ctor, t, &arg);
  return s.pending ? nullptr : t;
}

// ---------------------------------------------------------------- text

std::u16string decodeModifiedUtf8(const char* bytes, bool* ok) {
  std::u16string out;
  *ok = true;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  auto cont = [&](int i) { return (p[i] & 0xC0) == 0x80; };
  while (*p) {
    const unsigned b = p[0];
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      p += 1;
    } else if ((b & 0xE0) == 0xC0 && cont(1)) {
      out += static_cast<char16_t>(((b & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
    } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
      out += static_cast<char16_t>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
      p += 3;
    } else {
      *ok = false;
      out += u'\uFFFD';
      p += 1;
    }
  }
  return out;
}

std::string encodeModifiedUtf8(const char16_t* units, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned u = units[i];
    if (u != 0 && u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

std::string toUtf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned long cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::u16string fromUtf8(std::string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 4;
    unsigned long cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

bool valueEquals(State& s, Object* a, Object* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  if (a->kind == Kind::String && b->kind == Kind::String) return a->str == b->str;
  if (a->cls != b->cls) return false;
  if (a->cls->name == "java/lang/Integer" || a->cls->name == "java/lang/Long") {
    const FieldInfo* f = findField(a->cls, "value", "", false);
    return a->fields[f].j == b->fields[f].j;
  }
  (void)s;
  return false;
}

}  // namespace jnihost::detail
